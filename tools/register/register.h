// nimbra-register: registers the host with the Chromium-family browsers and
// Firefox. The command line and the manifests are the same on every OS; where
// the manifests go and how a browser finds them live in register_win32.cpp
// and register_posix.cpp.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nimbra::registration {

inline constexpr std::string_view kHostName = "com.velisto.nimbra";
inline constexpr std::string_view kManifestFileName = "com.velisto.nimbra.json";
inline constexpr std::string_view kDescription = "Velisto Download Manager browser connector";
// The companion extension, allowed when no --extension-id is given.
inline constexpr std::string_view kCompanionExtensionId = "kembcdlbgbcnnchcnbdhbmbhbejnedjf";
// The companion add-on's id on Firefox, allowed when no --firefox-extension-id
// is given: the build setting NIMBRA_FIREFOX_EXTENSION_ID.
inline constexpr std::string_view kCompanionFirefoxExtensionId = NIMBRA_FIREFOX_EXTENSION_ID;

// The two kinds of manifest: Chromium's lists "allowed_origins", Firefox's
// "allowed_extensions" (Firefox refuses a manifest that has the former).
enum class ManifestForm { chromium, firefox };

// Arguments and paths stay in the OS's own encoding (UTF-16 on Windows) until
// they have to go into the manifest.
using NativeString = std::filesystem::path::string_type;

// Exit statuses.
inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;  // some location could not be written, or status found one missing
inline constexpr int kUsage = 2;

enum class Command { install, uninstall, status, manifest, doctor, help };

struct Options {
    Command command = Command::help;
    bool system = false;
    std::optional<std::filesystem::path> host;
    // Treats this folder as the file system root for system-wide locations, so
    // packaging and tests never write into the real /etc.
    std::optional<std::filesystem::path> root;
    std::vector<std::string> extension_ids;  // never empty after parsing
    std::vector<std::string> firefox_extension_ids;  // never empty after parsing
    bool firefox = false;  // manifest: print Firefox's form
    // doctor: the report for programs, where it looked, and how long a host
    // may take to answer its ping (10 s unless given).
    bool json = false;
    bool verbose = false;
    std::optional<int> wait_seconds;
};

struct ParsedArguments {
    std::optional<Options> options;  // set on success
    std::string error;               // a one-line reason otherwise
};

// `args` excludes the program name.
ParsedArguments parse_arguments(std::span<const NativeString> args);

// 32 letters a-p, the form a browser derives from the extension's key.
bool is_extension_id(std::string_view text);

// A Firefox add-on id: a GUID in braces, or a text in the form of an e-mail
// address (letters, digits, '.', '_', '-' on either side of one '@').
bool is_firefox_extension_id(std::string_view text);

// The manifest's text, or nothing when the host path is not valid UTF-8 (a
// JSON file cannot name it then).
std::optional<std::string> manifest_text(std::string_view host_path_utf8, const std::vector<std::string>& extension_ids);
std::optional<std::string> firefox_manifest_text(std::string_view host_path_utf8,
                                                 const std::vector<std::string>& firefox_extension_ids);

// The "path" member of a manifest of this host, or nothing when the text is
// not such a manifest.
std::optional<std::string> manifest_host_path(std::string_view text);
// The same for a manifest that Firefox would also accept: one with
// "allowed_extensions" and without "allowed_origins".
std::optional<std::string> firefox_manifest_host_path(std::string_view text);

// The whole program after the OS-specific entry point has collected the
// arguments: parses them and runs the command.
int run(std::span<const NativeString> args);

// What each browser would answer the extension's ping, why, and the fix
// (doctor.cpp).
int run_doctor(const Options& options);

// ---- provided by the file of the OS being built for ----

int install(const Options& options);
int uninstall(const Options& options);
int status(const Options& options);

// The path as the manifest's UTF-8 text, or nothing when it is not valid
// Unicode.
std::optional<std::string> manifest_path_text(const std::filesystem::path& path);

// Where this OS keeps registrations, for --help.
std::string_view locations_help();
bool supports_root_option();

void print_out(std::string_view utf8);
void print_error(std::string_view utf8);

}  // namespace nimbra::registration

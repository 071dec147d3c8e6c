#include "register.h"

#include <algorithm>
#include <string>

#include <nlohmann/json.hpp>

namespace nimbra::registration {

namespace {

// Option names are ASCII, so they compare unit by unit in either width.
bool equals_ascii(const NativeString& arg, std::string_view ascii) {
    return arg.size() == ascii.size() &&
           std::equal(arg.begin(), arg.end(), ascii.begin(),
                      [](auto unit, char c) { return unit == static_cast<NativeString::value_type>(c); });
}

bool starts_with_ascii(const NativeString& arg, std::string_view ascii) {
    return arg.size() >= ascii.size() &&
           std::equal(ascii.begin(), ascii.end(), arg.begin(),
                      [](char c, auto unit) { return unit == static_cast<NativeString::value_type>(c); });
}

// Non-ASCII text is never a valid extension id or option, so it becomes '?'
// here and fails validation with a readable message.
std::string to_ascii(const NativeString& arg) {
    std::string out;
    out.reserve(arg.size());
    for (auto unit : arg) {
        const auto code = static_cast<unsigned long>(unit);
        out.push_back(code < 0x80 ? static_cast<char>(code) : '?');
    }
    return out;
}

const char* command_name(Command command) {
    switch (command) {
        case Command::install: return "install";
        case Command::uninstall: return "uninstall";
        case Command::status: return "status";
        case Command::manifest: return "manifest";
        case Command::doctor: return "doctor";
        case Command::help: return "--help";
    }
    return "";
}

std::string usage() {
    std::string text =
        "usage: nimbra-register install [--system] [--host PATH] [--extension-id ID]...\n"
        "                               [--firefox-extension-id ID]...\n"
        "       nimbra-register uninstall [--system]\n"
        "       nimbra-register status [--system]\n"
        "       nimbra-register manifest --host PATH [--extension-id ID]...\n"
        "       nimbra-register manifest --firefox --host PATH [--firefox-extension-id ID]...\n"
        "       nimbra-register doctor [--json] [-v] [--extension-id ID]...\n"
        "                              [--firefox-extension-id ID]... [--wait SECONDS]\n"
        "       nimbra-register --help\n"
        "\n"
        "Registers the Velisto Download Manager browser connector (native messaging\n"
        "host \"com.velisto.nimbra\") with the Chromium-family browsers and Firefox\n"
        "listed below, for the current user or, with --system, for every user.\n"
        "\n"
        "  install       writes the host manifest and registers it\n"
        "  uninstall     removes the registrations and the manifests written here\n"
        "  status        shows each registration; exits 0 only when all are in place\n"
        "  manifest      prints the manifest naming the host by PATH exactly as given, for\n"
        "                installers (on Windows a relative PATH is taken from the folder\n"
        "                the manifest is in); registers nothing; --firefox prints\n"
        "                Firefox's form, which lists add-ons instead of origins\n"
        "  doctor        for each browser, what it would tell the extension when it sends\n"
        "                {\"type\":\"ping\"}, why, and the fix: follows the browser's policies\n"
        "                and lookup, reads the manifest as the browser does, starts the host\n"
        "                as the browser does and pings it; also checks the desktop\n"
        "                application beside the host and the data directory; exits 0 when\n"
        "                every browser that is installed or registered says ok\n"
        "                (--json: the same for programs; -v: where it looked; --wait: how\n"
        "                long the host may take to answer, 10 s unless given)\n"
        "\n"
        "  --host PATH         the host executable (default: nimbra-native-host beside\n"
        "                      this tool); a relative path is taken from the current folder\n"
        "  --extension-id ID   an extension allowed to start the host, 32 letters a-p;\n"
        "                      repeatable; replaces the default companion extension\n"
        "                      ";
    text += kCompanionExtensionId;
    text +=
        "\n"
        "  --firefox-extension-id ID\n"
        "                      a Firefox add-on allowed to start the host, a GUID in\n"
        "                      braces or name@domain; repeatable; replaces the default\n"
        "                      companion add-on ";
    text += kCompanionFirefoxExtensionId;
    text += "\n"
            "                      (with doctor: the extensions or add-ons to judge)\n";
    if (supports_root_option()) {
        text +=
            "  --root DIR          with --system: treat DIR as the file system root (for\n"
            "                      packaging); the manifest still names the host by PATH;\n"
            "                      with doctor: read system-wide places below DIR\n";
    }
    text += "\n";
    text += locations_help();
    text +=
        "\n"
        "Exit status: 0 done, 1 some location failed or is not registered, 2 usage error.\n";
    return text;
}

// Reads the value of an option given as "--name VALUE" or "--name=VALUE".
// Returns false when `args[i]` is not that option; `missing` is set when the
// value is absent.
bool take_value(std::span<const NativeString> args, std::size_t& i, std::string_view name, NativeString& value,
                bool& missing) {
    const NativeString& arg = args[i];
    if (equals_ascii(arg, name)) {
        if (i + 1 >= args.size()) {
            missing = true;
            return true;
        }
        value = args[++i];
        missing = value.empty();
        return true;
    }
    if (arg.size() > name.size() && starts_with_ascii(arg, name) &&
        arg[name.size()] == static_cast<NativeString::value_type>('=')) {
        value = arg.substr(name.size() + 1);
        missing = value.empty();
        return true;
    }
    return false;
}

ParsedArguments failure(std::string message) { return ParsedArguments{std::nullopt, std::move(message)}; }

void add_once(std::vector<std::string>& ids, std::string id) {
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(std::move(id));
}

bool is_ascii_alnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

bool is_extension_id(std::string_view text) {
    return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) { return c >= 'a' && c <= 'p'; });
}

bool is_firefox_extension_id(std::string_view text) {
    // {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
        for (std::size_t i = 1; i + 1 < text.size(); ++i) {
            const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
            if (dash ? text[i] != '-' : !is_hex_digit(text[i])) return false;
        }
        return true;
    }
    const std::size_t at = text.find('@');
    if (at == std::string_view::npos || at + 1 == text.size()) return false;
    const auto word = [](char c) { return is_ascii_alnum(c) || c == '.' || c == '_' || c == '-'; };
    const std::string_view name = text.substr(0, at);
    const std::string_view domain = text.substr(at + 1);
    return std::all_of(name.begin(), name.end(), word) && std::all_of(domain.begin(), domain.end(), word);
}

ParsedArguments parse_arguments(std::span<const NativeString> args) {
    Options options;
    std::optional<Command> command;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const NativeString& arg = args[i];
        NativeString value;
        bool missing = false;
        if (equals_ascii(arg, "--help") || equals_ascii(arg, "-h") || equals_ascii(arg, "help")) {
            options.command = Command::help;
            return ParsedArguments{options, {}};
        }
        if (equals_ascii(arg, "--system")) {
            options.system = true;
        } else if (equals_ascii(arg, "--json")) {
            options.json = true;
        } else if (equals_ascii(arg, "-v") || equals_ascii(arg, "--verbose")) {
            options.verbose = true;
        } else if (take_value(args, i, "--wait", value, missing)) {
            const std::string seconds = to_ascii(value);
            const bool number = !seconds.empty() && seconds.size() <= 3 &&
                                std::all_of(seconds.begin(), seconds.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (missing || !number || std::stoi(seconds) == 0) return failure("--wait needs a number of seconds, 1 to 999");
            options.wait_seconds = std::stoi(seconds);
        } else if (take_value(args, i, "--host", value, missing)) {
            if (missing) return failure("--host needs a path");
            if (options.host) return failure("--host given twice");
            options.host = std::filesystem::path(value);
        } else if (take_value(args, i, "--root", value, missing)) {
            if (missing) return failure("--root needs a folder");
            if (options.root) return failure("--root given twice");
            options.root = std::filesystem::path(value);
        } else if (take_value(args, i, "--extension-id", value, missing)) {
            if (missing) return failure("--extension-id needs an id");
            std::string id = to_ascii(value);
            if (!is_extension_id(id)) {
                return failure("not an extension id (32 letters a-p): " + id);
            }
            add_once(options.extension_ids, std::move(id));
        } else if (take_value(args, i, "--firefox-extension-id", value, missing)) {
            if (missing) return failure("--firefox-extension-id needs an id");
            std::string id = to_ascii(value);
            if (!is_firefox_extension_id(id)) {
                return failure("not a Firefox add-on id ({GUID} or name@domain): " + id);
            }
            add_once(options.firefox_extension_ids, std::move(id));
        } else if (equals_ascii(arg, "--firefox")) {
            options.firefox = true;
        } else if (starts_with_ascii(arg, "-")) {
            return failure("unknown option " + to_ascii(arg));
        } else if (command) {
            return failure("unexpected argument " + to_ascii(arg));
        } else if (equals_ascii(arg, "install")) {
            command = Command::install;
        } else if (equals_ascii(arg, "uninstall")) {
            command = Command::uninstall;
        } else if (equals_ascii(arg, "status")) {
            command = Command::status;
        } else if (equals_ascii(arg, "manifest")) {
            command = Command::manifest;
        } else if (equals_ascii(arg, "doctor")) {
            command = Command::doctor;
        } else {
            return failure("unknown command " + to_ascii(arg));
        }
    }
    if (!command) return failure("no command given");
    options.command = *command;
    const bool doctor_options = options.json || options.verbose || options.wait_seconds;
    if (doctor_options && options.command != Command::doctor) {
        return failure(std::string("--json, -v and --wait are for doctor, not ") + command_name(*command));
    }
    if (options.firefox && options.command != Command::manifest) {
        return failure(std::string("--firefox is for manifest, not ") + command_name(*command));
    }
    if (options.command == Command::doctor) {
        if (options.system) return failure("--system is not for doctor, which looks at every level");
        if (options.host) return failure("--host is not for doctor, which follows the browsers to the host");
    } else if (options.command == Command::manifest) {
        if (!options.host) return failure("manifest needs --host");
        if (options.system) return failure("--system is not for manifest");
        // Each form lists only its own browsers' ids.
        if (options.firefox && !options.extension_ids.empty()) {
            return failure("--extension-id is not for Firefox's manifest; give --firefox-extension-id");
        }
        if (!options.firefox && !options.firefox_extension_ids.empty()) {
            return failure("--firefox-extension-id is for Firefox's manifest; add --firefox");
        }
    } else if (options.command != Command::install) {
        if (options.host) {
            return failure(std::string("--host is for install and manifest, not ") + command_name(*command));
        }
        if (!options.extension_ids.empty() || !options.firefox_extension_ids.empty()) {
            return failure(std::string("extension ids are for install and manifest, not ") + command_name(*command));
        }
    }
    if (options.root) {
        if (!supports_root_option()) return failure("--root is not available on this system");
        if (!options.system && options.command != Command::doctor) return failure("--root only applies to --system");
    }
    if (options.extension_ids.empty()) options.extension_ids.emplace_back(kCompanionExtensionId);
    if (options.firefox_extension_ids.empty()) options.firefox_extension_ids.emplace_back(kCompanionFirefoxExtensionId);
    return ParsedArguments{options, {}};
}

namespace {

// The members both forms share, in insertion order, so the file reads in
// the order people expect; the allow-list follows.
nlohmann::ordered_json manifest_start(std::string_view host_path_utf8) {
    nlohmann::ordered_json manifest;
    manifest["name"] = kHostName;
    manifest["description"] = kDescription;
    manifest["path"] = host_path_utf8;
    manifest["type"] = "stdio";
    return manifest;
}

std::optional<std::string> dumped(const nlohmann::ordered_json& manifest) {
    try {
        return manifest.dump(2) + "\n";
    } catch (const nlohmann::json::type_error&) {
        return std::nullopt;  // the path is not UTF-8
    }
}

std::optional<std::string> host_path_of(const nlohmann::json& manifest) {
    if (!manifest.is_object()) return std::nullopt;
    const auto name = manifest.find("name");
    const auto path = manifest.find("path");
    if (name == manifest.end() || !name->is_string() || name->get<std::string>() != kHostName) return std::nullopt;
    if (path == manifest.end() || !path->is_string()) return std::nullopt;
    return path->get<std::string>();
}

}  // namespace

std::optional<std::string> manifest_text(std::string_view host_path_utf8,
                                         const std::vector<std::string>& extension_ids) {
    auto manifest = manifest_start(host_path_utf8);
    auto origins = nlohmann::ordered_json::array();
    for (const auto& id : extension_ids) origins.push_back("chrome-extension://" + id + "/");
    manifest["allowed_origins"] = std::move(origins);
    return dumped(manifest);
}

std::optional<std::string> firefox_manifest_text(std::string_view host_path_utf8,
                                                 const std::vector<std::string>& firefox_extension_ids) {
    auto manifest = manifest_start(host_path_utf8);
    manifest["allowed_extensions"] = firefox_extension_ids;
    return dumped(manifest);
}

std::optional<std::string> manifest_host_path(std::string_view text) {
    return host_path_of(nlohmann::json::parse(text, nullptr, false));
}

std::optional<std::string> firefox_manifest_host_path(std::string_view text) {
    const auto manifest = nlohmann::json::parse(text, nullptr, false);
    if (!manifest.is_object() || manifest.contains("allowed_origins")) return std::nullopt;
    const auto allowed = manifest.find("allowed_extensions");
    if (allowed == manifest.end() || !allowed->is_array()) return std::nullopt;
    return host_path_of(manifest);
}

namespace {

int print_manifest(const Options& options) {
    const auto host = manifest_path_text(*options.host);
    const auto text = !host            ? std::nullopt
                      : options.firefox ? firefox_manifest_text(*host, options.firefox_extension_ids)
                                        : manifest_text(*host, options.extension_ids);
    if (!text) {
        print_error("nimbra-register: the host path is not valid Unicode, so no manifest can name it\n");
        return kFailed;
    }
    print_out(*text);
    return kOk;
}

}  // namespace

int run(std::span<const NativeString> args) {
    const ParsedArguments parsed = parse_arguments(args);
    if (!parsed.options) {
        print_error("nimbra-register: " + parsed.error + " (see nimbra-register --help)\n");
        return kUsage;
    }
    const Options& options = *parsed.options;
    switch (options.command) {
        case Command::help: print_out(usage()); return kOk;
        case Command::install: return install(options);
        case Command::uninstall: return uninstall(options);
        case Command::status: return status(options);
        case Command::manifest: return print_manifest(options);
        case Command::doctor: return run_doctor(options);
    }
    return kUsage;
}

}  // namespace nimbra::registration

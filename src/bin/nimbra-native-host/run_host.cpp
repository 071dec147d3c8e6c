#include "bin/nimbra-native-host/run_host.h"

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "browser/heartbeat.h"
#include "browser/identification.h"
#include "handlers/blob.h"
#include "handlers/download.h"
#include "handlers/open_app.h"
#include "host/fatal_error.h"
#include "host/reply.h"

namespace nimbra {

namespace {

using host::Json;

using Handler = Json (*)(host::Request& request, platform::System& system);

Json handle_ping(const Json&, platform::System&) {
    return Json{{"host", host::kHostName}, {"ok", true}, {"version", host::kHostVersion}};
}

// A handler that takes the request whole.
template <Json (*handle)(const Json&, platform::System&)>
Json whole(host::Request& request, platform::System& system) {
    return handle(request.complete(), system);
}

// A chunk's text is read where the frame left it.
Json chunk(host::Request& request, platform::System& system) {
    return handlers::handle_blob_chunk(request.value(), request.data_base64(), system);
}

// Every request type the host serves; anything else gets the unknown-type reply.
struct Route {
    std::string_view type;
    Handler handler;
    // What to undo when the request's reply cannot be written.
    void (*reply_lost)(const Json& request, platform::System& system) noexcept = nullptr;
};
constexpr Route kRoutes[] = {
    {"ping", whole<handle_ping>},
    {"add_download", whole<handlers::handle_add_download>},
    {"open_app", whole<handlers::handle_open_app>},
    {"blob_begin", whole<handlers::handle_blob_begin>},
    // The extension never learns that the chunk went in, and a chunk sent
    // again would be in the file twice.
    {"blob_chunk", chunk, handlers::abandon_blob_transfer},
    {"blob_end", whole<handlers::handle_blob_end>},
};

// The system as one request sees it. The shell is asked for the data
// directory at the request's first use of it, and that answer serves the rest
// of the request: each request still finds the folder afresh, all of its
// files land in one folder, and a chunk costs one lookup rather than two
// (under wine every lookup rewrites registry keys through the wineserver).
// Everything else goes straight to the system.
class RequestSystem final : public platform::System {
public:
    explicit RequestSystem(platform::System& system) : system_(system) {}

    void next_request() { folder_.reset(); }

    std::optional<platform::Path> local_app_data() override {
        if (!folder_) folder_ = system_.local_app_data();
        return *folder_;
    }

    std::optional<std::vector<platform::ProcessEntry>> snapshot_processes() override {
        return system_.snapshot_processes();
    }
    std::optional<std::vector<platform::ProcessEntry>> snapshot_ancestry() override {
        return system_.snapshot_ancestry();
    }
    std::uint32_t current_process_id() override { return system_.current_process_id(); }
    bool is_own_process(std::uint32_t pid) override { return system_.is_own_process(pid); }
    std::optional<platform::Path> own_executable() override { return system_.own_executable(); }
    platform::Status start_program(const platform::Path& program) override {
        return system_.start_program(program);
    }
    std::uint64_t now_file_time() override { return system_.now_file_time(); }
    void sleep_ms(std::uint32_t milliseconds) override { system_.sleep_ms(milliseconds); }
    platform::Status random_bytes(std::span<std::uint8_t> buffer) override {
        return system_.random_bytes(buffer);
    }

private:
    platform::System& system_;
    // The lookup's answer for this request, a failed one included.
    std::optional<std::optional<platform::Path>> folder_;
};

const Route* find_route(const Json& request) {
    if (!request.is_object()) return nullptr;
    auto type = request.find("type");
    if (type == request.end() || !type->is_string()) return nullptr;
    const auto& name = type->get_ref<const std::string&>();
    for (const Route& route : kRoutes) {
        if (route.type == name) return &route;
    }
    return nullptr;
}

}  // namespace

void run_host(platform::System& os, host::MessageReader& reader, host::ByteSink& replies) {
    const std::optional<browser::BrowserId> ancestry = browser::browser_from_ancestry(os);
    RequestSystem system(os);
    for (;;) {
        system.next_request();
        host::InboundRequest message = reader.read_request();
        if (std::holds_alternative<host::EndOfInput>(message)) return;
        host::Request& request = std::get<host::Request>(message);

        // The heartbeat never reads a chunk's text, so the value as read serves.
        browser::refresh_heartbeats(system, ancestry, request.value());

        const Route* route = find_route(request.value());
        Json reply = route != nullptr ? route->handler(request, system)
                                      : host::error_reply("Unknown message type");
        if (platform::Status written = host::write_message(replies, reply); !written) {
            if (route != nullptr && route->reply_lost != nullptr) route->reply_lost(request.value(), system);
            throw host::FatalError::from_os(written.error());
        }
    }
}

int host_main(platform::System& system) {
    host::MessageReader reader(host::standard_input());
    host::ByteSink& replies = host::standard_output();
    std::string failure;
    try {
        run_host(system, reader, replies);
        return 0;
    } catch (const host::FatalError& error) {
        failure = error.what();
    } catch (const std::bad_alloc&) {
        failure = "out of memory";
    } catch (const std::exception& error) {
        // Not expected from any handler; still one final reply rather than a crash.
        failure = error.what();
    }
    // The final reply has `error` then `ok`, as every reply orders its keys.
    static_cast<void>(host::write_message(replies, host::error_reply(failure)));
    return 0;
}

}  // namespace nimbra

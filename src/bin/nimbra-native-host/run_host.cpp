#include "bin/nimbra-native-host/run_host.h"

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/data_dir.h"
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

// What a handler works with besides its request.
struct Context {
    platform::System& system;
    // The data directory as this request found it.
    const bridge::PathResult& data_dir;
    // The decoded bytes of a chunk, kept from one chunk to the next as the
    // reader keeps the frame's: the host serves one request at a time.
    std::string& decoded;
};

using Handler = Json (*)(host::Request& request, Context& context);

Json ping(host::Request&, Context&) {
    return Json{{"host", host::kHostName}, {"ok", true}, {"version", host::kHostVersion}};
}
Json add_download(host::Request& request, Context& context) {
    return handlers::handle_add_download(request.complete(), context.system, context.data_dir);
}
Json open_app(host::Request& request, Context& context) {
    return handlers::handle_open_app(request.complete(), context.system, context.data_dir);
}
Json blob_begin(host::Request& request, Context& context) {
    return handlers::handle_blob_begin(request.complete(), context.data_dir);
}
// A chunk's text is read where the frame left it.
Json blob_chunk(host::Request& request, Context& context) {
    return handlers::handle_blob_chunk(request.value(), request.data_base64(), context.data_dir, context.decoded);
}
Json blob_end(host::Request& request, Context& context) {
    return handlers::handle_blob_end(request.complete(), context.system, context.data_dir);
}

void abandon_chunk(const Json& request, Context& context) noexcept {
    handlers::abandon_blob_transfer(request, context.data_dir);
}

// Every request type the host serves; anything else gets the unknown-type reply.
struct Route {
    std::string_view type;
    Handler handler;
    // What to undo when the request's reply cannot be written.
    void (*reply_lost)(const Json& request, Context& context) noexcept = nullptr;
};
constexpr Route kRoutes[] = {
    {"ping", ping},
    {"add_download", add_download},
    {"open_app", open_app},
    {"blob_begin", blob_begin},
    // The extension never learns that the chunk went in, and a chunk sent
    // again would be in the file twice.
    {"blob_chunk", blob_chunk, abandon_chunk},
    {"blob_end", blob_end},
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

void run_host(platform::System& system, host::MessageReader& reader, host::ByteSink& replies) {
    const std::optional<browser::BrowserId> ancestry = browser::browser_from_ancestry(system);
    browser::HeartbeatLocks heartbeat_locks;
    std::string decoded;
    for (;;) {
        host::InboundRequest message = reader.read_request();
        if (std::holds_alternative<host::EndOfInput>(message)) return;
        host::Request& request = std::get<host::Request>(message);

        // Asked once per request, afresh for each: every file of one request
        // lands in one folder, and a chunk costs one lookup rather than two
        // (on Windows the system answers from the shell's last answer while
        // the registry's record of the folder is unchanged). A failed lookup
        // stands for the whole request too.
        const bridge::PathResult data_dir = bridge::local_data_dir(system);
        Context context{system, data_dir, decoded};

        // The heartbeat never reads a chunk's text, so the value as read serves.
        browser::refresh_heartbeats(system, data_dir, heartbeat_locks, ancestry, request.value());

        const Route* route = find_route(request.value());
        Json reply = route != nullptr ? route->handler(request, context) : host::error_reply("Unknown message type");
        if (platform::Status written = host::write_message(replies, reply); !written) {
            if (route != nullptr && route->reply_lost != nullptr) route->reply_lost(request.value(), context);
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

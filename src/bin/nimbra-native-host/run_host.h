// The request loop: one request at a time, each answered before the next is read.
#pragma once

#include "host/framing.h"
#include "platform/platform.h"

namespace nimbra {

// Serves requests until the input ends. Throws host::FatalError for anything
// that ends the host; the caller writes the final error reply.
void run_host(platform::System& system, host::MessageReader& reader, host::ByteSink& replies);

// The whole program: runs the loop on the standard handles, turns a fatal
// error into the final reply, and returns the exit status (always 0).
int host_main(platform::System& system);

}  // namespace nimbra

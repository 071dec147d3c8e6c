// nimbra-native-host: started by the browser for the companion extension,
// with the extension's messages on standard input and replies on standard output.
#include "bin/nimbra-native-host/run_host.h"
#include "platform/platform.h"

int main() {
    nimbra::platform::prepare_process();
    return nimbra::host_main(nimbra::platform::real_system());
}

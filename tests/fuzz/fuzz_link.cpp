// libFuzzer entry for the link listener (linkfuzz.h); NUSK_FUZZ_MODE=term fuzzes the term
// stream readers instead, =udp the opening of UDP sessions (udpfuzz.h), =tor what a Tor
// control port says (torfuzz.h).

#include "linkfuzz.h"
#include "torfuzz.h"
#include "udpfuzz.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const auto drive = [] {
        linkfuzz::ensureApplication();
        const char *mode = std::getenv("NUSK_FUZZ_MODE");
        const auto is = [mode](const char *name) { return mode && std::strcmp(mode, name) == 0; };
        return is("term") ? linkfuzz::fuzzTermStream
            : is("udp")   ? udpfuzz::fuzzUdpSession
            : is("tor")   ? torfuzz::fuzzTorControl
                          : linkfuzz::fuzzLink;
    }();
    drive(data, size);
    return 0;
}

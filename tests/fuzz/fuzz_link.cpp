// libFuzzer entry for the link listener (linkfuzz.h); NUSK_FUZZ_MODE=term fuzzes the term
// stream readers instead.

#include "linkfuzz.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const bool term = [] {
        const char *mode = std::getenv("NUSK_FUZZ_MODE");
        return mode && std::strcmp(mode, "term") == 0;
    }();
    if (term)
        linkfuzz::fuzzTermStream(data, size);
    else
        linkfuzz::fuzzLink(data, size);
    return 0;
}

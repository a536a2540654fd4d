// libFuzzer entry. NUSK_FUZZ_MODE chooses what an input drives: "parser" (the default)
// decodes it as one FSO message; "server" feeds the requests it holds to a real file
// server; "both" does the one and then the other.

#include "fsofuzz.h"
#include "fsoserverfuzz.h"

#include <cstdlib>
#include <cstring>

namespace {

enum Mode { Parser = 1, Server = 2 };

int mode()
{
    static const int chosen = []() {
        const char *value = std::getenv("NUSK_FUZZ_MODE");
        if (!value || std::strcmp(value, "parser") == 0)
            return int(Parser);
        if (std::strcmp(value, "server") == 0)
            return int(Server);
        return Parser | Server;
    }();
    return chosen;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (mode() & Parser)
        fuzzFsoMessage(data, size);
    if (mode() & Server)
        fuzzFsoServer(data, size);
    return 0;
}

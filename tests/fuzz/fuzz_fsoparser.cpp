#include "fsofuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzzFsoMessage(data, size);
    return 0;
}

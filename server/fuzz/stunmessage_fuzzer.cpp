// libFuzzer target for the STUN answer reader. Beyond out-of-bounds reads it checks that only a
// Binding success response is valid and that an address comes with an address attribute.
#include "sip/stunmessage.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096)
        return 0;
    // An exact-size copy, so that any read past the datagram is seen by the sanitizer.
    uint8_t *copy = static_cast<uint8_t *>(std::malloc(size ? size : 1));
    for (size_t i = 0; i < size; ++i)
        copy[i] = data[i];
    const StunAnswer answer = stunParseResponse(copy, int(size));
    if (answer.valid && (size < 20 || copy[0] != 0x01 || copy[1] != 0x01))
        std::abort();
    if (answer.address != 0 && size < 32)
        std::abort();
    std::free(copy);
    uint8_t request[StunRequestSize];
    stunBindingRequest(request, size >= StunTransactionIdSize ? data : nullptr);
    return 0;
}

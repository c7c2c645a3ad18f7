// libFuzzer entry point for the client's reply handling.
#include "reply_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return FuzzReplyHandling(data, size);
}

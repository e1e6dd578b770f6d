// Arbitrary bytes from the radio into the link's frame decoder. Every message
// it hands out must fit what a 1024-byte raw frame can carry, and whatever
// came before, a start byte followed by a well-formed frame must give back
// exactly that frame's message.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "link/FrameDecoder.h"
#include "tests/support/TestFrames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FrameDecoder decoder;
    for (size_t i = 0; i < size; ++i) {
        if (decoder.Push(data[i]) == FrameDecoder::Event::Message) {
            const int count = decoder.Message().count;
            if (count < 0 || count > FrameDecoder::kRawFrameLimit - 3) {
                std::abort();
            }
        }
    }

    // The first bytes of the input, framed as the radio frames them.
    const testframes::Bytes message(data, data + std::min<size_t>(size, 64));
    int messages = 0;
    for (uint8_t b : testframes::RadioFrame(message)) {
        if (decoder.Push(b) == FrameDecoder::Event::Message) {
            ++messages;
            const LinkMessage& decoded = decoder.Message();
            if (decoded.count != static_cast<int>(message.size())
                || !std::equal(message.begin(), message.end(), decoded.data)) {
                std::abort();
            }
        }
    }
    if (messages != 1) {
        std::abort();
    }
    return 0;
}

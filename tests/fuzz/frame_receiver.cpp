// Arbitrary bytes from the radio into the link session's receiver. The first
// byte picks the wait; the rest arrive on a scripted line that closes once
// they are used up. Every reply must fit what a 1024-byte raw frame can
// carry, and an Exchange may only hand back what it asked for.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "link/CommSession.h"
#include "tests/link/FakeLink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    const uint8_t mode = data[0];
    CommSession session;
    auto owned = std::make_unique<linktest::FakeDevice>();
    linktest::FakeDevice* device = owned.get();
    device->Feed(linktest::Bytes(data + 1, data + size));
    device->closeWhenDrained = true;
    session.AttachDevice(std::move(owned));
    session.SetFraming(CommSession::kFramingFramed);
    session.SetWaitTime(10000);
    session.SetReceiveEnable(true);

    const LinkCode expected(mode, 0x07);
    const int expectedLength = 2 + (mode >> 4);
    const LinkCode other = LinkCode::One(0x04);
    // Every wait takes at least one byte while the line is open.
    while (device->Pending() > 0) {
        LinkMessage reply;
        switch (mode % 3) {
        case 0: {
            bool alternative = false;
            reply = session.Exchange(expected, expectedLength, other, 4, &alternative);
            if (reply.count != 0) {
                const LinkCode& code = alternative ? other : expected;
                const int length = alternative ? 4 : expectedLength;
                if (reply.count != length || reply.data[0] != code.bytes[0]
                    || (code.size == 2 && reply.data[1] != code.bytes[1])) {
                    std::abort();
                }
            }
            break;
        }
        case 1:
            reply = session.ReceiveAny();
            break;
        default:
            if (session.ReceiveMessage(reply) != 1) {
                reply.count = 0;
            }
            break;
        }
        if (reply.count < 0 || reply.count > CommSession::kRawFrameLimit - 3) {
            std::abort();
        }
        if (!session.ReceiveEnabled()) {
            std::abort(); // nothing here may look like a time-out
        }
    }
    return 0;
}

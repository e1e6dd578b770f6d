#include "tests/link/FakeLink.h"

namespace linktest {

namespace {

void PutEscaped(Bytes& out, uint8_t byte)
{
    switch (byte) {
    case 0xBA:
        out.insert(out.end(), { 0x10, 0x00 });
        break;
    case 0x7E:
        out.insert(out.end(), { 0x10, 0x01 });
        break;
    case 0x10:
        out.insert(out.end(), { 0x10, 0x02 });
        break;
    default:
        out.push_back(byte);
    }
}

} // namespace

Bytes RadioFrame(const Bytes& payload, uint8_t header1, uint8_t header2)
{
    Bytes out { 0xBA, header1, header2 };
    unsigned sum = header1 + header2;
    for (uint8_t b : payload) {
        PutEscaped(out, b);
        sum += b;
    }
    PutEscaped(out, static_cast<uint8_t>(-sum));
    out.push_back(0x7E);
    return out;
}

} // namespace linktest

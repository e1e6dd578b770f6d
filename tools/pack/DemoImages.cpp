#include "tools/pack/DemoImages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/HexText.h"

namespace pack {

std::string MakeDemoImage(const DemoImageShape& shape)
{
    const int addressBytes = shape.s3 ? 4 : 3;
    std::string out;
    const std::uint64_t records = (shape.dataBytes + 15) / 16;
    out.reserve(static_cast<std::size_t>(records * (4 + 2 * (addressBytes + 17) + 2) + 12));
    std::uint32_t state = shape.seed == 0 ? 0x9E3779B9u : shape.seed;
    std::uint64_t address = shape.firstAddress;
    std::uint64_t left = shape.dataBytes;
    while (left > 0) {
        const unsigned length = static_cast<unsigned>(left < 16 ? left : 16);
        const unsigned count = static_cast<unsigned>(addressBytes) + length + 1;
        out.push_back('S');
        out.push_back(shape.s3 ? '3' : '2');
        platform::AppendHexByte(out, static_cast<std::uint8_t>(count));
        unsigned sum = count;
        for (int i = addressBytes - 1; i >= 0; --i) {
            const unsigned b = static_cast<unsigned>(address >> (8 * i)) & 0xFF;
            platform::AppendHexByte(out, static_cast<std::uint8_t>(b));
            sum += b;
        }
        for (unsigned i = 0; i < length; ++i) {
            // xorshift32: a fixed, cheap pattern that does not repeat within an image.
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            const unsigned b = state >> 24;
            platform::AppendHexByte(out, static_cast<std::uint8_t>(b));
            sum += b;
        }
        platform::AppendHexByte(out, static_cast<std::uint8_t>(~sum & 0xFF));
        out += "\r\n";
        address += length;
        left -= length;
    }
    out += "S9030000FC\r\n";
    return out;
}

DemoImageShape DemoAppLoaderShape()
{
    return { false, 0x010100, 383 * 16 + 8, 0x1001 };
}

DemoImageShape DemoAppCodeShape()
{
    return { true, 0xFE040100, (11ull * 21312 + 12678) * 16 + 12, 0x2002 };
}

DemoImageShape DemoBootLoaderShape()
{
    return { false, 0x010100, 256 * 16 + 12, 0x3003 };
}

DemoImageShape DemoBootCodeShape()
{
    return { true, 0xFE000100, 16383 * 16 + 8, 0x4004 };
}

bool WriteDemoImages(const std::string& directory, std::string* error)
{
    const std::pair<const char*, DemoImageShape> images[] = {
        { "app-loader.srec", DemoAppLoaderShape() },
        { "app-code.srec", DemoAppCodeShape() },
        { "boot-loader.srec", DemoBootLoaderShape() },
        { "boot-code.srec", DemoBootCodeShape() },
    };
    for (const auto& [name, shape] : images) {
        const std::string path = directory + "/" + name;
        const std::string text = MakeDemoImage(shape);
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(text.data(), static_cast<std::streamsize>(text.size()));
        file.close();
        if (!file) {
            if (error != nullptr)
                *error = "cannot write " + path + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

} // namespace pack

#include "tests/download_flash/FlashSim.h"

#include <algorithm>
#include <fstream>

#include "tests/support/TestSupport.h"

namespace flashtest {

std::string SRecordLine(char type, uint32_t address, const std::vector<uint8_t>& data)
{
    static const char hex[] = "0123456789ABCDEF";
    const int addressBytes = type - '0' + 1;
    std::string line = { 'S', type };
    unsigned sum = 0;
    auto put = [&](unsigned b) {
        line += hex[b >> 4];
        line += hex[b & 15];
        sum += b;
    };
    put(static_cast<unsigned>(data.size()) + addressBytes + 1);
    for (int i = addressBytes - 1; i >= 0; --i)
        put((address >> (8 * i)) & 0xFF);
    for (uint8_t b : data)
        put(b);
    put(~sum & 0xFF);
    return line;
}

std::string MakeSRecords(char type, uint32_t address, const std::vector<uint8_t>& data, int perLine)
{
    std::string text = "S00F000068656C6C6F202020202000003C\r\n";
    text.reserve(text.size() + data.size() * 2 + data.size() / 8 + 64);
    for (size_t at = 0; at < data.size(); at += static_cast<size_t>(perLine)) {
        const size_t n = std::min(data.size() - at, static_cast<size_t>(perLine));
        text += SRecordLine(type, address, std::vector<uint8_t>(&data[at], &data[at] + n)) + "\r\n";
        address += static_cast<uint32_t>(n);
    }
    return text + (type == '3' ? "S70500000000FA\r\n" : "S9030000FC\r\n");
}

std::vector<uint8_t> Pattern(size_t count, uint8_t seed)
{
    std::vector<uint8_t> out(count);
    uint32_t x = 0x9E3779B9u * (seed + 1u);
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 8);
    }
    return out;
}

std::vector<uint8_t> WriteImage(const std::filesystem::path& path, char type, uint32_t address,
    size_t dataBytes, int perLine, uint8_t seed)
{
    std::vector<uint8_t> data = Pattern(dataBytes, seed);
    testsupport::WriteFileText(path, MakeSRecords(type, address, data, perLine));
    return data;
}

std::vector<std::string> ReadSimLog(const std::filesystem::path& log)
{
    std::vector<std::string> lines;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace flashtest

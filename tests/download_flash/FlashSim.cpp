#include "tests/download_flash/FlashSim.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace flashtest {

std::string MakeSRecords(char type, uint32_t address, const std::vector<uint8_t>& data, int perLine)
{
    static const char hex[] = "0123456789ABCDEF";
    const int addressBytes = type == '1' ? 2 : type == '2' ? 3 : 4;
    std::string text = "S00F000068656C6C6F202020202000003C\r\n";
    text.reserve(text.size() + data.size() * 2 + data.size() / 8 + 64);
    auto put = [&](unsigned b) {
        text += hex[b >> 4];
        text += hex[b & 15];
    };
    for (size_t at = 0; at < data.size(); at += static_cast<size_t>(perLine)) {
        const size_t n = std::min(data.size() - at, static_cast<size_t>(perLine));
        const unsigned count = static_cast<unsigned>(n) + addressBytes + 1;
        unsigned sum = count;
        text += 'S';
        text += type;
        put(count);
        for (int i = addressBytes - 1; i >= 0; --i) {
            const unsigned b = (address >> (8 * i)) & 0xFF;
            put(b);
            sum += b;
        }
        for (size_t i = 0; i < n; ++i) {
            put(data[at + i]);
            sum += data[at + i];
        }
        put(~sum & 0xFF);
        text += "\r\n";
        address += static_cast<uint32_t>(n);
    }
    text += type == '3' ? "S70500000000FA\r\n" : "S9030000FC\r\n";
    return text;
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
    const std::string text = MakeSRecords(type, address, data, perLine);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size()) {
        data.clear();
    }
    if (f != nullptr) {
        std::fclose(f);
    }
    return data;
}

std::vector<uint8_t> SRecordData(const std::string& text)
{
    std::vector<uint8_t> data;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 4 || line[0] != 'S') {
            continue;
        }
        if (line[1] == '7' || line[1] == '8' || line[1] == '9') {
            break;
        }
        if (line[1] < '1' || line[1] > '3') {
            continue;
        }
        const size_t count = std::stoul(line.substr(2, 2), nullptr, 16);
        const size_t addressBytes = static_cast<size_t>(line[1] - '0') + 1;
        for (size_t i = 0; i + addressBytes + 1 < count; ++i) {
            const size_t at = 4 + 2 * (addressBytes + i);
            data.push_back(static_cast<uint8_t>(std::stoul(line.substr(at, 2), nullptr, 16)));
        }
    }
    return data;
}

std::vector<uint8_t> PaddedToPairs(std::vector<uint8_t> data)
{
    const size_t pairs = data.empty() ? 1 : (data.size() + 255) / 256;
    data.resize(pairs * 256, 0xFF);
    return data;
}

LogTraffic ReadSimLog(const std::filesystem::path& log)
{
    LogTraffic traffic;
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string time, direction, byte;
        fields >> time >> direction;
        uint64_t bytes = 0;
        while (fields >> byte) {
            ++bytes;
        }
        (direction == ">>" ? traffic.toRadio : traffic.fromRadio) += bytes;
        traffic.lines.push_back(line);
    }
    return traffic;
}

} // namespace flashtest

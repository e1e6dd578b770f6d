#include "link/ModelTraits.h"

#include <iterator>

namespace {

// Erase waits in ticks of 55 ms, and their status texts.
constexpr EraseWait kEraseShortest { kEraseTicksBootCode, nullptr };
constexpr EraseWait kEraseShort { 36, "Erasing flash (2 seconds)..." };
constexpr EraseWait kEraseMedium { 720, "Erasing flash (40 seconds)..." };
constexpr EraseWait kEraseLong { 1440, "Erasing flash (80 seconds)..." };

constexpr bool Y = true;
constexpr bool N = false;
constexpr DspLayout D40 = DspLayout::Header40;
constexpr DspLayout D48 = DspLayout::Header48;

// clang-format off
constexpr ModelTraits kModels[] = {
//  code  version  boot    SEM  skips  hardware flash  erase          DSP  update
//        boot     info         boot   revision type                  layout rate
//        optional optional     checks
    { 0,  N,       N,       Y,  N,     N,       N,     kEraseShort,    D40, kFastBaudRate },
    { 1,  Y,       Y,       Y,  Y,     Y,       Y,     kEraseShortest, D40, kLineBaudRate },
    { 2,  N,       N,       N,  N,     N,       N,     kEraseLong,     D40, kFastBaudRate },
    { 3,  N,       N,       N,  N,     N,       N,     kEraseLong,     D48, kFastBaudRate },
    { 4,  N,       N,       Y,  Y,     N,       N,     kEraseMedium,   D40, kFastBaudRate },
    { 5,  Y,       Y,       Y,  Y,     Y,       N,     kEraseLong,     D40, kFastBaudRate },
    { 6,  N,       N,       Y,  N,     N,       N,     kEraseLong,     D40, kFastBaudRate },
    { 7,  Y,       Y,       Y,  N,     Y,       N,     kEraseLong,     D40, kFastBaudRate },
    { 8,  N,       Y,       Y,  N,     N,       N,     kEraseShort,    D40, kFastBaudRate },
};
// clang-format on

constexpr int kPlainModel = 2;

} // namespace

const ModelTraits& ModelTraitsOf(int modelCode)
{
    for (const ModelTraits& model : kModels) {
        if (model.code == modelCode) {
            return model;
        }
    }
    return kModels[kPlainModel];
}

static_assert(std::size(kModels) > kPlainModel && kModels[kPlainModel].code == kPlainModel);

uint8_t TargetModelCodeOf(int family, int series, int platformFlag)
{
    const int signedSeries = static_cast<int8_t>(static_cast<uint8_t>(series));
    if (family == 1) {
        if (platformFlag == 0)
            return 1;
        if (signedSeries == 4)
            return 7;
        if (signedSeries == 6)
            return 8;
        return 5;
    }
    if (signedSeries == 4)
        return 6;
    if (signedSeries == 6)
        return 0;
    return 4;
}

uint8_t RadioModelCodeOf(uint8_t family, uint8_t bootMajor, uint8_t bootMinor)
{
    if (family == 0) {
        switch (bootMajor) {
        case 4:
        case 7:
            return 6;
        case 6:
            return 0;
        default:
            return 4;
        }
    }
    switch (bootMajor) {
    case 0:
        return 1;
    case 1:
        return bootMinor <= 8 ? 1 : 5;
    case 4:
        return 7;
    case 6:
        return 8;
    default:
        return 5;
    }
}

#pragma once

#include <cstdint>

// The line rates the link uses, each with the serial device's baud code and
// the index by which the radio is told the rate. Any other rate counts as
// 19200 bit/s.
struct LineRate {
    int baudRate;
    uint8_t deviceCode;
    uint8_t radioIndex;
};

inline constexpr LineRate kLineRates[] = {
    { 9600, 12, 0 },
    { 19200, 14, 1 },
    { 38400, 15, 3 },
    { 57600, 17, 4 },
    { 115200, 19, 5 },
};

constexpr const LineRate& LineRateOf(int baudRate)
{
    for (const LineRate& rate : kLineRates) {
        if (rate.baudRate == baudRate) {
            return rate;
        }
    }
    return kLineRates[1];
}

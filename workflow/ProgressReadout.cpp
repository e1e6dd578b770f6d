#include "workflow/ProgressReadout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

std::string MinutesAndSeconds(double seconds)
{
    const long whole = std::lround(std::max(0.0, seconds));
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

} // namespace

std::string MeasuredProgressText(int percent, double elapsedSeconds)
{
    percent = std::clamp(percent, 0, 100);
    std::string text
        = std::to_string(percent) + "%  " + MinutesAndSeconds(elapsedSeconds) + " elapsed";
    if (percent > 0 && percent < 100)
        text += "  " + MinutesAndSeconds(elapsedSeconds * (100 - percent) / percent) + " left";
    return text;
}

std::string FixedWaitText(int secondsLeft)
{
    return std::to_string(std::max(0, secondsLeft)) + " s left";
}

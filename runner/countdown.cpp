#include "runner/countdown.h"

#include <cstdio>

int32_t FrameSeconds(int32_t duration, int32_t beforeDelay, int32_t afterDelay)
{
    return afterDelay + beforeDelay + duration;
}

int32_t EstimateSeconds(int32_t exposures, int32_t duration, int32_t startDelay, int32_t beforeDelay,
                        int32_t afterDelay, bool infrared)
{
    int32_t seconds = exposures * FrameSeconds(duration, beforeDelay, afterDelay) + startDelay + 1;
    if (infrared)
        seconds += exposures / 5;
    else if (beforeDelay == 0 && afterDelay == 0 && exposures > 1)
        seconds += (exposures - 1) / 5;
    return seconds;
}

std::string ClockText(int32_t seconds)
{
    const int64_t magnitude = seconds < 0 ? -int64_t{seconds} : seconds;
    char text[32];
    std::snprintf(text, sizeof text, "%s%02lld:%02lld:%02lld", seconds < 0 ? "-" : "",
                  static_cast<long long>(magnitude / 3600), static_cast<long long>(magnitude / 60 % 60),
                  static_cast<long long>(magnitude % 60));
    return text;
}

std::string DurationText(int64_t seconds)
{
    if (seconds >= 3600)
        return std::to_string(seconds / 3600) + " h " + std::to_string(seconds % 3600 / 60) + " min";
    if (seconds >= 60)
        return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
    return std::to_string(seconds) + " s";
}

std::string RemainingLabel(int32_t seconds) { return "Total Remaining " + ClockText(seconds); }

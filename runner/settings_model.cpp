#include "runner/settings_model.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "runner/countdown.h"

namespace {

// The window's fields: up to four digits.
constexpr int FIELD_MAX = 9999;
// A script's guider settings are held to these, as the controls hold theirs.
constexpr int MAX_DITHER_PIXELS = 100;
constexpr int MAX_DITHER_SETTLE_SECONDS = 3600;
constexpr int MAX_GUIDE_WAIT_SECONDS = 3600;
constexpr int MAX_RETAKE_SUSPECT = 99;

}  // namespace

SettingRange RangeOf(RunSetting setting)
{
    switch (setting) {
    case RunSetting::EXPOSURES:
    case RunSetting::DURATION:
        return {1, FIELD_MAX};
    case RunSetting::MIRROR_LOCK:
        return {0, 1};
    case RunSetting::START_DELAY:
    case RunSetting::BEFORE_DELAY:
    case RunSetting::AFTER_DELAY:
        return {0, FIELD_MAX};
    case RunSetting::DITHER_PIXELS:
        return {0, MAX_DITHER_PIXELS};
    case RunSetting::DITHER_SETTLE:
        return {0, MAX_DITHER_SETTLE_SECONDS};
    case RunSetting::GUIDE_WAIT:
        return {0, MAX_GUIDE_WAIT_SECONDS};
    case RunSetting::DITHER_EVERY:
        return {1, FIELD_MAX};
    case RunSetting::RETAKE_SUSPECT:
        return {0, MAX_RETAKE_SUSPECT};
    }
    return {0, 0};
}

int HeldToRange(RunSetting setting, int value)
{
    const SettingRange range = RangeOf(setting);
    return std::clamp(value, range.min, range.max);
}

SettingsModel::SettingsModel(std::function<void(RunSetting, int)> shown)
    : shown_(std::move(shown))
{
}

std::string FrameTypeNamed(const std::string& text)
{
    for (const char* type : FRAME_TYPES)
        if (text.size() == std::strlen(type) && std::equal(text.begin(), text.end(), type, [](char a, char b) {
                return std::tolower(a) == std::tolower(b);
            }))
            return type;
    return "";
}

bool SettingsModel::SetFrameType(const std::string& text)
{
    const std::string type = FrameTypeNamed(text);
    if (!type.empty())
        run_.frameType = type;
    return !type.empty();
}

void SettingsModel::SetTarget(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    run_.target = first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(" \t") - first + 1);
    if (run_.target == "-")  // none
        run_.target.clear();
}

void SettingsModel::Set(RunSetting setting, int value)
{
    const SettingRange range = RangeOf(setting);
    const int held = setting == RunSetting::MIRROR_LOCK ? value > 0 : std::clamp(value, range.min, range.max);
    switch (setting) {
    case RunSetting::EXPOSURES:
        run_.exposures = held;
        break;
    case RunSetting::DURATION:
        run_.durationMs = held * MS_PER_SECOND;
        break;
    case RunSetting::MIRROR_LOCK:
        mirrorLock_ = held != 0;
        break;
    case RunSetting::START_DELAY:
        run_.startDelayMs = held * MS_PER_SECOND;
        break;
    case RunSetting::BEFORE_DELAY:
        run_.beforeDelayMs = held * MS_PER_SECOND;
        break;
    case RunSetting::AFTER_DELAY:
        run_.afterDelayMs = held * MS_PER_SECOND;
        break;
    case RunSetting::DITHER_PIXELS:
        run_.ditherPixels = held;
        break;
    case RunSetting::DITHER_SETTLE:
        run_.ditherSettleSeconds = held;
        break;
    case RunSetting::GUIDE_WAIT:
        run_.guideWaitSeconds = held;
        break;
    case RunSetting::DITHER_EVERY:
        run_.ditherEvery = held;
        break;
    case RunSetting::RETAKE_SUSPECT:
        run_.retakeSuspect = held;
        break;
    }
    if (shown_)  // shown even when it is the same: the model is what holds
        shown_(setting, held);
}

int SettingsModel::Get(RunSetting setting) const
{
    switch (setting) {
    case RunSetting::EXPOSURES:
        return run_.exposures;
    case RunSetting::DURATION:
        return WholeSeconds(run_.durationMs);
    case RunSetting::MIRROR_LOCK:
        return mirrorLock_;
    case RunSetting::START_DELAY:
        return WholeSeconds(run_.startDelayMs);
    case RunSetting::BEFORE_DELAY:
        return WholeSeconds(run_.beforeDelayMs);
    case RunSetting::AFTER_DELAY:
        return WholeSeconds(run_.afterDelayMs);
    case RunSetting::DITHER_PIXELS:
        return run_.ditherPixels;
    case RunSetting::DITHER_SETTLE:
        return run_.ditherSettleSeconds;
    case RunSetting::GUIDE_WAIT:
        return run_.guideWaitSeconds;
    case RunSetting::DITHER_EVERY:
        return run_.ditherEvery;
    case RunSetting::RETAKE_SUSPECT:
        return run_.retakeSuspect;
    }
    return 0;
}

void SettingsModel::ResetGuiderSettings()
{
    const RunSettings defaults;
    run_.ditherPixels = defaults.ditherPixels;
    run_.ditherSettleSeconds = defaults.ditherSettleSeconds;
    run_.ditherEvery = defaults.ditherEvery;
    run_.guideWaitSeconds = defaults.guideWaitSeconds;
    run_.retakeSuspect = defaults.retakeSuspect;
}

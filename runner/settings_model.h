// The settings the next run starts from, as the window's controls and a
// script's lines set them: the one copy, which the controls show. Each
// value is held to its range here. No toolkit.
#pragma once

#include <functional>

#include "runner/sequence_runner.h"

enum class RunSetting {
    BEFORE_DELAY,
    AFTER_DELAY,
    DURATION,
    EXPOSURES,
    MIRROR_LOCK,
    DITHER_PIXELS,
    DITHER_SETTLE,
    GUIDE_WAIT,
    DITHER_EVERY,
    RETAKE_SUSPECT,
    START_DELAY,
};

// The frame types, as the log, the files and a FITS header name them.
inline constexpr const char* FRAME_TYPES[] = {"Light", "Dark", "Flat", "Bias"};
// The frame type `text` names, whatever its case ("dark": "Dark"); "" for
// none.
std::string FrameTypeNamed(const std::string& text);

struct SettingRange {
    int min;
    int max;
};
// The window's spin controls take these ranges too, and a run holds its
// settings to them.
SettingRange RangeOf(RunSetting setting);
int HeldToRange(RunSetting setting, int value);

class SettingsModel {
public:
    // `shown` is told of each value set, to show it.
    explicit SettingsModel(std::function<void(RunSetting, int)> shown = nullptr);

    // Held to the setting's range (mirror lock-up: on above 0).
    void Set(RunSetting setting, int value);
    int Get(RunSetting setting) const;
    // What a run starts from (the mirror lock-up is handed to the runner
    // on its own).
    const RunSettings& Run() const { return run_; }
    bool MirrorLock() const { return mirrorLock_; }
    // The frame type (one of FRAME_TYPES, any case; false and nothing set
    // for another word) and the target (its spaces trimmed; "-" for none).
    bool SetFrameType(const std::string& text);
    void SetTarget(const std::string& text);
    // The guider's settings back to their defaults: a script's affair, and
    // each script run starts without them.
    void ResetGuiderSettings();

private:
    int* Field(RunSetting setting);

    RunSettings run_;
    bool mirrorLock_ = false;
    std::function<void(RunSetting, int)> shown_;
};

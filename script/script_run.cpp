#include "script/script_run.h"

#include <utility>

#include "runner/clock.h"
#include "script/script_line.h"

const std::vector<std::string>& ScriptCommandWords()
{
    static const std::vector<std::string> words = {"BeforeDelay",  "AfterDelay",   "Duration",    "Exposures",
                                                   "MirrorLock",   "StartCapture", "PromptOK",    "DitherPixels",
                                                   "DitherSettle", "GuideWait",    "DitherEvery", "RetakeSuspect"};
    return words;
}

ScriptRun::ScriptRun(ScriptTarget& target, Clock& clock)
    : target_(target)
    , clock_(clock)
{
}

long ScriptRun::FirstBadLine(const std::vector<std::string>& lines)
{
    for (size_t i = 0; i < lines.size(); ++i)
        if (CheckScriptText(ScriptCommandWords(), lines[i]) != LINE_OK)
            return static_cast<long>(i);
    return -1;
}

std::string ScriptRun::Run(const std::vector<std::string>& lines, ScriptRunView& view)
{
    running_ = true;
    abortRequested_ = false;  // a press of Abort Script before this run does not end it
    target_.ResetDithering();
    bool guider = false;
    for (const std::string& line : lines)
        guider = guider || IsGuiderCommand(ParseScriptCommand(ScriptCommandWords(), line).number);
    if (guider)
        target_.WatchGuider(true);
    for (size_t t = 0; t < lines.size() && !abortRequested_; ++t) {
        view.ShowRunningLine(static_cast<long>(t), lines[t]);
        clock_.Yield();
        if (abortRequested_)
            break;
        Execute(lines[t], static_cast<long>(t));
        // Only what happened during this run ends it: an Abort Script press
        // or a PromptOK cancel, a close, a lost port.
        if (target_.ScriptMustStop())
            break;
        clock_.Yield();
    }
    view.ShowRunningLine(-1, "");
    const std::string summary = guider ? target_.GuideSummary() : "";
    if (guider)
        target_.WatchGuider(false);
    target_.ResetDithering();
    running_ = false;
    return summary;
}

void ScriptRun::Execute(const std::string& line, long index)
{
    // The commands that set one of the run's settings, and which.
    static const std::pair<int, ScriptSetting> SETTINGS[] = {
        {CMD_BEFORE_DELAY, ScriptSetting::BEFORE_DELAY},   {CMD_AFTER_DELAY, ScriptSetting::AFTER_DELAY},
        {CMD_DURATION, ScriptSetting::DURATION},           {CMD_EXPOSURES, ScriptSetting::EXPOSURES},
        {CMD_MIRROR_LOCK, ScriptSetting::MIRROR_LOCK},     {CMD_DITHER_PIXELS, ScriptSetting::DITHER_PIXELS},
        {CMD_DITHER_SETTLE, ScriptSetting::DITHER_SETTLE}, {CMD_GUIDE_WAIT, ScriptSetting::GUIDE_WAIT},
        {CMD_DITHER_EVERY, ScriptSetting::DITHER_EVERY},   {CMD_RETAKE_SUSPECT, ScriptSetting::RETAKE_SUSPECT},
    };
    const ScriptCommand command = ParseScriptCommand(ScriptCommandWords(), line);
    for (const auto& [number, setting] : SETTINGS) {
        if (command.number == number) {
            target_.SetSetting(setting, command.value);
            return;
        }
    }
    if (command.number == CMD_START_CAPTURE)
        target_.Capture(command.value, "script:" + std::to_string(index + 1));
    // Cancel ends the script run, as Abort Script does; OK goes on.
    if (command.number == CMD_PROMPT_OK && !target_.Prompt(command.text))
        abortRequested_ = running_;
}

void ScriptRun::Abort()
{
    abortRequested_ = running_;
    target_.AbortCapture();
}

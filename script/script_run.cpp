#include "script/script_run.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>

#include "runner/clock.h"
#include "runner/sequence_runner.h"
#include "script/plan.h"
#include "script/script_line.h"

const std::vector<std::string>& ScriptCommandWords()
{
    static const std::vector<std::string> words = {"BeforeDelay",  "AfterDelay",   "Duration",    "Exposures",
                                                   "MirrorLock",   "StartCapture", "PromptOK",    "DitherPixels",
                                                   "DitherSettle", "GuideWait",    "DitherEvery", "RetakeSuspect",
                                                   "FrameType",    "Target",       "StartAt",     "AfMode"};
    return words;
}

int CheckScriptLine(const std::string& line)
{
    const int check = CheckScriptText(ScriptCommandWords(), line);
    const ScriptCommand command = ParseScriptCommand(ScriptCommandWords(), line);
    if (check == LINE_OK && command.number == CMD_FRAME_TYPE && FrameTypeNamed(command.text).empty())
        return LINE_BAD_COMMAND;
    if (check == LINE_OK && command.number == CMD_START_AT && ClockMinutes(command.text) < 0)
        return LINE_BAD_COMMAND;
    if (check == LINE_OK && command.number == CMD_AF_MODE && (command.value < 0 || command.value > 2))
        return LINE_BAD_COMMAND;
    return check;
}

int ClockMinutes(const std::string& text)
{
    int hours = -1, minutes = -1;
    char rest = 0;
    if (std::sscanf(text.c_str(), "%2d:%2d%c", &hours, &minutes, &rest) != 2 || hours < 0 || hours > 23 ||
        minutes < 0 || minutes > 59)
        return -1;
    return hours * 60 + minutes;
}

int64_t NextClockTimeUtcMs(int minutes, int64_t nowUtcMs)
{
    const time_t now = static_cast<time_t>(nowUtcMs / 1000);
    std::tm local{};
    localtime_r(&now, &local);
    local.tm_hour = minutes / 60;
    local.tm_min = minutes % 60;
    local.tm_sec = 0;
    local.tm_isdst = -1;
    time_t at = std::mktime(&local);
    if (int64_t{at} * 1000 <= nowUtcMs) {
        ++local.tm_mday;  // tomorrow's
        local.tm_hour = minutes / 60;
        local.tm_min = minutes % 60;
        local.tm_isdst = -1;
        at = std::mktime(&local);
    }
    return int64_t{at} * 1000;
}

ScriptRun::ScriptRun(ScriptTarget& target, Clock& clock)
    : target_(target)
    , clock_(clock)
{
}

long ScriptRun::FirstBadLine(const std::vector<std::string>& lines)
{
    for (size_t i = 0; i < lines.size(); ++i)
        if (CheckScriptLine(lines[i]) != LINE_OK)
            return static_cast<long>(i);
    return -1;
}

void ScriptRun::Start(const std::vector<std::string>& lines, ScriptRunView& view)
{
    lines_ = lines;
    view_ = &view;
    next_ = 0;
    running_ = true;
    capturing_ = false;
    abortRequested_ = false;  // a press of Abort Script before this run does not end it
    target_.ResetDithering();
    guider_ = false;
    captures_ = 0;
    if (!ReadPlan(lines, plan_))
        plan_ = Plan();
    for (const std::string& line : lines)
        guider_ = guider_ || IsGuiderCommand(ParseScriptCommand(ScriptCommandWords(), line).number);
    if (guider_)
        target_.WatchGuider(true);
    Go();
}

void ScriptRun::Go()
{
    while (next_ < lines_.size() && !abortRequested_) {
        const size_t t = next_++;
        view_->ShowRunningLine(static_cast<long>(t), lines_[t]);
        clock_.Yield();
        if (abortRequested_)
            break;
        Execute(lines_[t], static_cast<long>(t));
        if (capturing_)
            return;
        // Only what happened during this run ends it: an Abort Script press
        // or a PromptOK cancel, a close, a lost port.
        if (target_.ScriptMustStop())
            break;
        clock_.Yield();
    }
    Stop();
}

void ScriptRun::CaptureEnded()
{
    if (!capturing_)
        return;
    capturing_ = false;
    if (target_.ScriptMustStop()) {
        Stop();
        return;
    }
    clock_.Yield();
    Go();
}

void ScriptRun::Stop()
{
    view_->ShowRunningLine(-1, "");
    const std::string summary = guider_ ? target_.GuideSummary() : "";
    if (guider_)
        target_.WatchGuider(false);
    target_.ResetDithering();
    running_ = false;
    view_->ScriptEnded(summary);
    target_.ScriptRunEnded();
}

void ScriptRun::Execute(const std::string& line, long index)
{
    // The commands that set one of the run's settings, and which.
    static const std::pair<int, RunSetting> SETTINGS[] = {
        {CMD_BEFORE_DELAY, RunSetting::BEFORE_DELAY},   {CMD_AFTER_DELAY, RunSetting::AFTER_DELAY},
        {CMD_DURATION, RunSetting::DURATION},           {CMD_EXPOSURES, RunSetting::EXPOSURES},
        {CMD_MIRROR_LOCK, RunSetting::MIRROR_LOCK},     {CMD_DITHER_PIXELS, RunSetting::DITHER_PIXELS},
        {CMD_DITHER_SETTLE, RunSetting::DITHER_SETTLE}, {CMD_GUIDE_WAIT, RunSetting::GUIDE_WAIT},
        {CMD_DITHER_EVERY, RunSetting::DITHER_EVERY},   {CMD_RETAKE_SUSPECT, RunSetting::RETAKE_SUSPECT},
    };
    const ScriptCommand command = ParseScriptCommand(ScriptCommandWords(), line);
    for (const auto& [number, setting] : SETTINGS) {
        if (command.number == number) {
            target_.SetSetting(setting, command.value);
            return;
        }
    }
    if (command.number == CMD_FRAME_TYPE || command.number == CMD_TARGET) {
        target_.SetFrameNaming(command.number == CMD_FRAME_TYPE, command.text);
        return;
    }
    if (command.number == CMD_START_AT) {
        startAt_ = ClockMinutes(command.text);
        return;
    }
    if (command.number == CMD_AF_MODE) {
        target_.SetScriptAfMode(command.value);
        return;
    }
    if (command.number == CMD_START_CAPTURE) {
        // A clock time asked for: the capture waits until then, by the
        // wall clock (its own delay if that is longer).
        const int delay = HeldToRange(RunSetting::START_DELAY, command.value);
        const int64_t atUtcMs = startAt_ >= 0 ? NextClockTimeUtcMs(startAt_, clock_.WallMs()) : 0;
        startAt_ = -1;
        // A plan's end, from this capture's start and the runs left.
        if (running_ && captures_ < plan_.runs.size()) {
            int64_t seconds = std::max<int64_t>(delay, (atUtcMs - clock_.WallMs() + 999) / 1000);
            for (size_t k = captures_; k < plan_.runs.size(); ++k)
                seconds += RunSeconds(plan_.runs[k]);
            view_->ShowPlanEnd("ends at " + ClockTimeText(clock_.WallMs() + seconds * 1000) + " (run " +
                               std::to_string(captures_ + 1) + " of " + std::to_string(plan_.runs.size()) + ")");
            ++captures_;
        }
        capturing_ =
            target_.Capture(delay, atUtcMs, "script:" + std::to_string(index + 1), [this] { CaptureEnded(); }) &&
            running_;
    }
    // Cancel ends the script run, as Abort Script does; OK goes on.
    if (command.number == CMD_PROMPT_OK && !target_.Prompt(command.text))
        abortRequested_ = running_;
}

void ScriptRun::Abort()
{
    abortRequested_ = running_;
    target_.AbortCapture();
}

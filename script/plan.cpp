#include "script/plan.h"

#include <ctime>

#include "runner/countdown.h"
#include "runner/settings_model.h"
#include "script/script_line.h"
#include "script/script_run.h"

std::vector<std::string> PlanScript(const Plan& plan)
{
    std::vector<std::string> lines = {"% A plan of " + std::to_string(plan.runs.size()) + " runs (File > Plan)"};
    if (!plan.startAt.empty())
        lines.push_back("StartAt " + plan.startAt);
    for (const PlannedRun& run : plan.runs) {
        const auto line = [&lines](const char* command, const std::string& value) {
            lines.push_back(std::string(command) + " " + value);
        };
        line("FrameType", run.type);
        line("Target", run.target.empty() ? "-" : run.target);
        line("Exposures", std::to_string(run.exposures));
        line("Duration", std::to_string(run.durationS));
        line("BeforeDelay", std::to_string(run.beforeS));
        line("AfterDelay", std::to_string(run.afterS));
        line("MirrorLock", run.mirrorLock ? "1" : "0");
        line("DitherPixels", std::to_string(run.ditherPixels));
        line("DitherEvery", std::to_string(run.ditherEvery));
        line("GuideWait", std::to_string(run.guideWaitS));
        if (run.afMode >= 0)
            line("AfMode", std::to_string(run.afMode));
        line("StartCapture", "0");
    }
    return lines;
}

bool ReadPlan(const std::vector<std::string>& lines, Plan& plan)
{
    Plan read;
    PlannedRun next;
    for (const std::string& text : lines) {
        if (CheckScriptLine(text) != LINE_OK)
            return false;
        const ScriptCommand command = ParseScriptCommand(ScriptCommandWords(), text);
        switch (command.number) {
        case CMD_NONE:
            break;
        case CMD_FRAME_TYPE:
            next.type = FrameTypeNamed(command.text);
            break;
        case CMD_TARGET:
            next.target = command.text == "-" ? "" : command.text;
            break;
        case CMD_EXPOSURES:
            next.exposures = HeldToRange(RunSetting::EXPOSURES, command.value);
            break;
        case CMD_DURATION:
            next.durationS = HeldToRange(RunSetting::DURATION, command.value);
            break;
        case CMD_BEFORE_DELAY:
            next.beforeS = HeldToRange(RunSetting::BEFORE_DELAY, command.value);
            break;
        case CMD_AFTER_DELAY:
            next.afterS = HeldToRange(RunSetting::AFTER_DELAY, command.value);
            break;
        case CMD_MIRROR_LOCK:
            next.mirrorLock = command.value > 0;
            break;
        case CMD_DITHER_PIXELS:
            next.ditherPixels = HeldToRange(RunSetting::DITHER_PIXELS, command.value);
            break;
        case CMD_DITHER_EVERY:
            next.ditherEvery = HeldToRange(RunSetting::DITHER_EVERY, command.value);
            break;
        case CMD_GUIDE_WAIT:
            next.guideWaitS = HeldToRange(RunSetting::GUIDE_WAIT, command.value);
            break;
        case CMD_AF_MODE:
            next.afMode = command.value;
            break;
        case CMD_START_AT:
            if (!read.runs.empty())
                return false;
            read.startAt = command.text;
            break;
        case CMD_START_CAPTURE:
            if (command.value != 0)
                return false;
            read.runs.push_back(next);
            break;
        default:  // PromptOK, the guider's other settings
            return false;
        }
    }
    plan = read;
    return true;
}

std::string ClockTimeText(int64_t utcMs)
{
    const time_t at = static_cast<time_t>(utcMs / 1000);
    std::tm local{};
    localtime_r(&at, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M", &local);
    return text;
}

// The run's countdown starts a second above its waits; a plan counts
// only the waits.
int32_t RunSeconds(const PlannedRun& run)
{
    return EstimateSeconds(run.exposures, run.durationS, 0, run.beforeS, run.afterS, false) - 1;
}

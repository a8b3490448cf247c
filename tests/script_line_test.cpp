// The script language: checking a line, reading its parameter, that the
// check and the execution split and look a line up the same way, and what a
// script run does with its lines.
#include <gtest/gtest.h>

#include <climits>
#include <functional>

#include "runner/clock.h"
#include "script/plan.h"
#include "script/script_line.h"
#include "script/script_run.h"

namespace {

const std::vector<std::string> WORDS = {"BeforeDelay", "AfterDelay",   "Duration", "Exposures",
                                        "MirrorLock",  "StartCapture", "PromptOK"};

TEST(ScriptLine, CheckCodes)
{
    const struct {
        const char* line;
        int code;
    } rows[] = {
        {"Duration 30", LINE_OK},
        {"duration 30", LINE_OK},
        {"DURATION 30", LINE_OK},
        {" \t DuRaTiOn    30  \r", LINE_OK},
        {"\v\fExposures 5\n", LINE_OK},
        {"Exposures 5 % a comment", LINE_OK},
        {"PromptOK   Point at the flat panel  ", LINE_OK},
        {"MirrorLock word", LINE_OK},  // the form of the parameter plays no part
        {"", LINE_OK},
        {" \t\r\n", LINE_OK},
        {"% Duration", LINE_OK},
        {"  # Duration", LINE_OK},
        {"%", LINE_OK},
        {"Duration", LINE_INCOMPLETE},
        {"Duration30", LINE_INCOMPLETE},
        {"Duration\t30", LINE_INCOMPLETE},  // only a space separates
        {"PromptOK", LINE_INCOMPLETE},
        {"PromptOK    ", LINE_INCOMPLETE},
        {"  30", LINE_INCOMPLETE},
        {"Durationx 30", LINE_BAD_COMMAND},
        {"Dur 30", LINE_BAD_COMMAND},
        {"x%Duration 30", LINE_BAD_COMMAND},
        {"Exposures\xC2\xA0 5", LINE_BAD_COMMAND},  // a no-break space is not white space
        {"\xC2\xA0"
         "Exposures 5",
         LINE_BAD_COMMAND},
        {"D\xC3\xBCration 5", LINE_BAD_COMMAND},
    };
    for (const auto& row : rows)
        EXPECT_EQ(CheckScriptText(WORDS, row.line), row.code) << '"' << row.line << '"';
}

TEST(ScriptLine, ParameterReadsLikeStrtolWithin32Bits)
{
    const struct {
        const char* text;
        int32_t value;
    } rows[] = {
        {"30", 30},
        {"30x", 30},
        {"30 % more", 30},
        {"abc", 0},
        {"", 0},
        {"-", 0},
        {"0x10", 0},
        {"-1", -1},
        {"+7", 7},
        {" \t12", 12},
        {"007", 7},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"99999999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"-99999999999999999999999", INT32_MIN},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ParameterValue(row.text), row.value) << '"' << row.text << '"';
}

TEST(ScriptLine, ExecutionFindsTheCommandAndItsParameter)
{
    const struct {
        const char* line;
        int number;
        int32_t value;
        const char* text;
    } rows[] = {
        {"  startcapture   0  ", CMD_START_CAPTURE, 0, "0"},
        {"PromptOK   Flat 100% done \xC3\xA4  ", CMD_PROMPT_OK, 0, "Flat 100% done \xC3\xA4"},
        {"Exposures 12 frames", CMD_EXPOSURES, 12, "12 frames"},
        {"% Duration 5", CMD_NONE, 0, ""},
        {"# Duration 5", CMD_NONE, 0, ""},
        {"", CMD_NONE, 0, ""},
        {"Durationx 5", CMD_NONE, 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        const ScriptCommand command = ParseScriptCommand(WORDS, row.line);
        EXPECT_EQ(command.number, row.number);
        EXPECT_EQ(command.value, row.value);
        EXPECT_EQ(command.text, row.text);
    }
}

// A script run against a target that logs what it is asked, without a
// display: each row's lines, and what ends a run early.
class LoggingTarget : public ScriptTarget, public ScriptRunView {
public:
    void SetSetting(RunSetting setting, int value) override
    {
        log.push_back("set " + std::to_string(static_cast<int>(setting)) + " " + std::to_string(value));
    }
    void SetFrameNaming(bool type, const std::string& text) override
    {
        log.push_back((type ? "type " : "target ") + text);
    }
    bool Capture(int startDelaySeconds, int64_t startAtUtcMs, const std::string& source,
                 std::function<void()> ended) override
    {
        captureEnded = std::move(ended);
        log.push_back("capture " + std::to_string(startDelaySeconds) +
                      (startAtUtcMs > 0 ? " at " + FormatUtc(startAtUtcMs) : "") + " " + source);
        if (duringCapture)
            duringCapture();
        return true;
    }
    bool Prompt(const std::string& text) override { return log.push_back("prompt " + text), promptOk; }
    void AbortCapture() override { log.push_back("abort"); }
    bool ScriptMustStop() override { return mustStop; }
    bool ProgramClosing() override { return false; }
    void ResetDithering() override { log.push_back("reset"); }
    void WatchGuider(bool on) override { log.push_back(on ? "watch" : "unwatch"); }
    std::string GuideSummary() override { return "1 frames, 0 suspect, 0 retaken"; }
    std::string LastScript() override { return ""; }
    void RememberScript(const std::string&) override { }
    void ShowRunningLine(long index, const std::string&) override { shown.push_back(index); }
    void ScriptEnded(const std::string& text) override { summary = text; }
    void ShowPlanEnd(const std::string& text) override { ends.push_back(text); }
    void SetScriptAfMode(int mode) override { log.push_back("af " + std::to_string(mode)); }

    std::vector<std::string> log;
    std::vector<long> shown;
    std::vector<std::string> ends;
    std::string summary;
    std::function<void()> duringCapture;
    std::function<void()> captureEnded;
    bool promptOk = true;
    bool mustStop = false;
};

class StillClock : public Clock {
public:
    int64_t NowUs() override { return 0; }
    int64_t WallMs() override { return 10000; }  // 00:00:10 UTC
    bool CallAt(int64_t, std::function<void()>) override { return true; }
    void CancelCall() override { }
    void RunUntil(const std::function<bool()>&) override { }
    void Yield() override { }
};

TEST(ScriptRun, LinesActOnTheTarget)
{
    setenv("TZ", "UTC", 1);  // StartAt's clock times, against the still clock's
    tzset();
    struct Row {
        const char* name;
        std::vector<std::string> lines;
        std::function<void(LoggingTarget&, ScriptRun&)> setUp;
        std::vector<std::string> log;
        std::string summary = "";
    };
    const Row rows[] = {
        {"settings and a capture; comments and blank lines do nothing",
         {"% darks", "", "Duration 300", "exposures 2", "FrameType dark", "Target NGC 7000", "StartCapture 5"},
         nullptr,
         {"reset", "set 2 300", "set 3 2", "type dark", "target NGC 7000", "capture 5 script:7", "reset"}},
        {"PromptOK cancelled: no further line",
         {"PromptOK Cover the telescope", "Duration 1"},
         [](LoggingTarget& target, ScriptRun&) { target.promptOk = false; },
         {"reset", "prompt Cover the telescope", "reset"}},
        {"Abort Script during a capture: no further line",
         {"StartCapture 0", "Duration 1"},
         [](LoggingTarget& target, ScriptRun& run) { target.duringCapture = [&run] { run.Abort(); }; },
         {"reset", "capture 0 script:1", "abort", "reset"}},
        {"the port lost (or the window closing): no further line",
         {"StartCapture 0", "Duration 1"},
         [](LoggingTarget& target, ScriptRun&) { target.mustStop = true; },
         {"reset", "capture 0 script:1", "reset"}},
        {"StartAt: the next capture waits until the clock time (from 00:00:10 UTC here), once; a start "
         "delay held to the field's range",
         {"StartAt 21:30", "StartCapture 5", "StartAt 0:00", "StartCapture 0", "StartCapture 20000"},
         nullptr,
         {"reset", "capture 5 at 1970-01-01T21:30:00.000Z script:2", "capture 0 at 1970-01-02T00:00:00.000Z script:4",
          "capture 9999 script:5", "reset"}},
        {"a guider command: watched from the first line to the end, and summed up",
         {"StartCapture 0", "DitherPixels 3"},
         nullptr,
         {"reset", "watch", "capture 0 script:1", "set 5 3", "unwatch", "reset"},
         "1 frames, 0 suspect, 0 retaken"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LoggingTarget target;
        StillClock clock;
        ScriptRun run(target, clock);
        if (row.setUp)
            row.setUp(target, run);
        run.Start(row.lines, target);
        while (run.Running())  // each capture ends as the front end says so
            target.captureEnded();
        EXPECT_EQ(target.summary, row.summary);
        EXPECT_EQ(target.log, row.log);
        EXPECT_EQ(target.shown.back(), -1);  // the running line's mark taken off
        EXPECT_FALSE(run.Running());
    }
    EXPECT_EQ(ScriptRun::FirstBadLine({"Duration 1", "% fine", "Duraton 2", "Exposures"}), 2);
    EXPECT_EQ(ScriptRun::FirstBadLine({"FrameType Flat", "FrameType Darks"}), 1);  // names no frame type
    EXPECT_EQ(ScriptRun::FirstBadLine({"StartAt 23:59", "StartAt 24:00", "StartAt 9pm"}), 1);
    EXPECT_EQ(ScriptRun::FirstBadLine({"AfMode 2", "AfMode 3"}), 1);
}

}  // namespace

namespace {

// A plan is saved as a script and read back as the same plan; a script
// with lines a plan cannot show is no plan.
TEST(Plan, SavedAsAScriptAndReadBack)
{
    Plan plan;
    plan.startAt = "21:30";
    PlannedRun lights;
    lights.target = "M42, core";
    lights.exposures = 20;
    lights.durationS = 300;
    lights.ditherPixels = 3;
    lights.ditherEvery = 3;
    PlannedRun darks = lights;
    darks.type = "Dark";
    darks.target = "";
    darks.mirrorLock = true;
    plan.runs = {lights, darks};
    const std::vector<std::string> script = PlanScript(plan);
    EXPECT_EQ(ScriptRun::FirstBadLine(script), -1);
    Plan read;
    ASSERT_TRUE(ReadPlan(script, read));
    EXPECT_EQ(read.startAt, "21:30");
    ASSERT_EQ(read.runs.size(), 2u);
    EXPECT_EQ(PlanScript(read), script);
    EXPECT_EQ(RunSeconds(read.runs[0]), 20 * (300 + 1 + 5));  // what its waits take
    // Run, it shows its end as each capture starts (from 00:00:10 UTC
    // here, waiting for 21:30 first), and each run's AF mode.
    setenv("TZ", "UTC", 1);
    tzset();
    darks.afMode = 2;
    plan.runs = {lights, darks};
    LoggingTarget target;
    StillClock clock;
    ScriptRun run(target, clock);
    run.Start(PlanScript(plan), target);
    while (run.Running())
        target.captureEnded();
    EXPECT_EQ(target.ends, (std::vector<std::string>{"ends at 00:54 (run 1 of 2)", "ends at 01:42 (run 2 of 2)"}));
    EXPECT_EQ(std::count(target.log.begin(), target.log.end(), "af 2"), 1);
    // "Target -" is no target.
    ASSERT_TRUE(ReadPlan({"Target M42", "StartCapture 0", "Target -", "StartCapture 0"}, read));
    EXPECT_EQ(read.runs[1].target, "");
    // Values beyond the fields are held to them, as the fields would.
    ASSERT_TRUE(ReadPlan({"Exposures 2147483647", "Duration 99999", "AfterDelay -5", "StartCapture 0"}, read));
    EXPECT_EQ(RunSeconds(read.runs[0]), 9999 * (9999 + 1));
    for (const std::vector<std::string>& other :
         {std::vector<std::string>{"PromptOK Cover the telescope", "StartCapture 0"},
          std::vector<std::string>{"StartCapture 5"}, std::vector<std::string>{"StartCapture 0", "StartAt 5:00"}})
        EXPECT_FALSE(ReadPlan(other, read)) << other[0];
}

}  // namespace

// A script run: the interpreter that runs a script's lines, one by one,
// against its target (the engine, through the window's settings), until
// the end, Abort Script, a PromptOK cancelled, a close or a lost port. A
// capture is waited for by the front end's event loop, not here. The editor
// is its view. No toolkit.
#pragma once

#include <string>
#include <vector>

#include "script/plan.h"
#include "script/script_target.h"

class Clock;

// The command words in table order; a word's index is its command number
// (CommandNumber in script/script_line.h).
const std::vector<std::string>& ScriptCommandWords();
// A line's check (CheckScriptText), a FrameType that names no frame type
// being a bad command.
int CheckScriptLine(const std::string& line);

// The minutes after midnight of a clock time ("21:30", "5:07"), or -1.
int ClockMinutes(const std::string& text);
// The wall-clock time (ms since 1970, UTC) of the next `minutes` after
// midnight, local time, after `nowUtcMs` (tomorrow's when today's has
// passed).
int64_t NextClockTimeUtcMs(int minutes, int64_t nowUtcMs);

// What the editor shows of a run.
class ScriptRunView {
public:
    virtual ~ScriptRunView() = default;
    // The line about to run (from 0); -1 once the run is over.
    virtual void ShowRunningLine(long index, const std::string& text) = 0;
    // The run is over: the guider's summary of its frames ("" without a
    // guider command).
    virtual void ScriptEnded(const std::string& /*summary*/) { }
    // A plan's end as its capture starts ("ends at 02:42 (run 2 of 3)"),
    // for a script that reads as a plan.
    virtual void ShowPlanEnd(const std::string& /*text*/) { }
};

class ScriptRun {
public:
    // `clock` lets the event loop run between lines, so that the view
    // follows and Abort Script is seen.
    ScriptRun(ScriptTarget& target, Clock& clock);

    // The first line that does not pass its check, or -1.
    static long FirstBadLine(const std::vector<std::string>& lines);

    // Runs the lines until a capture starts or the script ends; after a
    // capture the lines go on at CaptureEnded. A script that holds a guider
    // command watches the guider from its first line to its end. The view
    // is told when it ends.
    void Start(const std::vector<std::string>& lines, ScriptRunView& view);
    // Acts on the target; never fails. `index` names the line in the
    // exposure log ("script:7"). A capture started outside a run is not
    // waited for.
    void Execute(const std::string& line, long index);
    // Abort Script: the line in progress ends at its next checkpoint, and
    // no further line runs. A press while no script runs ends no later run.
    void Abort();
    bool Running() const { return running_; }

private:
    void Go();
    // The capture that a line started is over.
    void CaptureEnded();
    void Stop();

    ScriptTarget& target_;
    Clock& clock_;
    std::vector<std::string> lines_;
    ScriptRunView* view_ = nullptr;
    size_t next_ = 0;
    bool guider_ = false;
    bool running_ = false;
    bool capturing_ = false;
    bool abortRequested_ = false;
    int startAt_ = -1;  // the next capture's clock time (StartAt), or -1
    // The script as a plan (no runs when it is none), and its captures
    // started so far.
    Plan plan_;
    size_t captures_ = 0;
};

// What a script acts on: the run's settings model (which the window's
// controls show), the engine, and the user. A script line sets a setting,
// starts a capture (and the script goes on when the front end says it has
// ended), or asks the user to go on. No toolkit.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "runner/settings_model.h"

class ScriptTarget {
public:
    virtual ~ScriptTarget() = default;
    // Sets the setting in the model, held to its range.
    virtual void SetSetting(RunSetting setting, int value) = 0;
    // Sets the frame type (`type`: a word of FRAME_TYPES) or the target
    // that the next captures' files and log lines carry.
    virtual void SetFrameNaming(bool type, const std::string& text) = 0;
    // Sets the start delay and starts a capture (`source` names the script
    // line in the exposure log) that begins no sooner than `startAtUtcMs`
    // by the wall clock (0: no clock time); true when it started, and then
    // `ended` is called from the event loop once the front end has shown
    // its end. Starts nothing while another run is in progress.
    virtual bool Capture(int startDelaySeconds, int64_t startAtUtcMs, const std::string& source,
                         std::function<void()> ended) = 0;
    // The user's OK (true) or Cancel to a message.
    virtual bool Prompt(const std::string& text) = 0;
    // Abort Script: the capture in progress ends at its next checkpoint.
    virtual void AbortCapture() = 0;
    // True when no line may run any more: the window is closing, the port
    // has gone, or the user stopped the capture after its frame.
    virtual bool ScriptMustStop() = 0;
    // The program is closing: the editor closes without a question.
    virtual bool ProgramClosing() = 0;
    // A script run begins or ends: dithering and the other guider settings
    // are a script's affair, and each script run starts without them.
    virtual void ResetDithering() = 0;
    // The AF mode for the script's next captures (0, 1, 2); the window's
    // own comes back when the script run ends.
    virtual void SetScriptAfMode(int /*mode*/) { }
    // The script run is over: what the night brought is told.
    virtual void ScriptRunEnded() { }
    // A script run that holds a guider command watches the guider from its
    // start (true) to its end (false), over one connection.
    virtual void WatchGuider(bool on) = 0;
    // What the guider made of the frames since WatchGuider(true): "20
    // frames, 2 suspect, 2 retaken".
    virtual std::string GuideSummary() = 0;
    // The script file last opened or saved, kept between runs of the
    // program ("" when there is none).
    virtual std::string LastScript() = 0;
    virtual void RememberScript(const std::string& path) = 0;
};

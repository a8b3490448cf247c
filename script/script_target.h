// What a script acts on: the engine, through the window that holds its
// controls. A script line sets a control as the user would, starts a
// capture and waits for its end, or asks the user to go on. No toolkit.
#pragma once

#include <string>

enum class ScriptSetting {
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
};

class ScriptTarget {
public:
    virtual ~ScriptTarget() = default;
    // Sets the setting, held to its control's range (the guider's, to the
    // engine's when a run starts).
    virtual void SetSetting(ScriptSetting setting, int value) = 0;
    // Sets the start delay and runs a capture to its end (`source` names
    // the script line in the exposure log). Returns at once, starting
    // nothing, while another run is in progress.
    virtual void Capture(int startDelaySeconds, const std::string& source) = 0;
    // The user's OK (true) or Cancel to a message.
    virtual bool Prompt(const std::string& text) = 0;
    // Abort Script: the capture in progress ends at its next checkpoint.
    virtual void AbortCapture() = 0;
    // True when no line may run any more: the window is closing, or the
    // port has gone.
    virtual bool ScriptMustStop() = 0;
    // The program is closing: the editor closes without a question.
    virtual bool ProgramClosing() = 0;
    // A script run begins or ends: dithering and the other guider settings
    // are a script's affair, and each script run starts without them.
    virtual void ResetDithering() = 0;
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

// The one way to run: the window, a script (through the window) and the
// INDI driver ask it to run, and it owns what a run is made of (the runner,
// the exposure log with the camera's files, the camera link) and the hop to
// where the run lives: its own thread (the window's runs) or the caller's
// loop (the driver's). Requests never wait on the run's thread; questions
// are answered from the state it publishes after each change. What a run
// shows, and what came of the camera's files, reach the client through its
// own loop. No toolkit.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "camera/camera_link.h"
#include "frames/frame_decoder.h"
#include "runner/camera_files_log.h"
#include "runner/run_thread.h"
#include "runner/sequence_runner.h"
#include "runner/settings_model.h"

// What a run is made of, built by the program (or a test) and handed in.
struct RunParts {
    Ports& ports;
    Clock& clock;  // the caller's loop's: used where there is no run thread
    Guider& guider;
    SleepInhibitor& sleep;
    ExposureLog& log;
    // The run's own thread; none: the run goes on the caller's loop.
    RunThread* thread = nullptr;
    // Links the camera whose files are fetched; none where the program is
    // built without libgphoto2.
    CameraLinkMaker makeCameraLink = nullptr;
    // The camera's files numbered by the exposures logged (a driver's are
    // each frame 1 of 1), not by their frame.
    bool countExposures = false;
};

// What the run's thread last published.
struct RunState {
    bool busy = false;
    bool portLost = false;  // the port went and has not come back
    bool paused = false;  // asked to pause between frames
    bool stopping = false;  // asked to stop after the frame in progress
    GuideTally tally;
};

class RunControl {
public:
    // `view` gets the run's events and `files` the camera's outcomes, each
    // through `post`, which hands a call to the client's loop in order
    // (from any thread). Without a run thread, the run's events are told
    // at once, on the caller's loop. `shown` is told of each setting set,
    // on the caller's loop, to show it.
    RunControl(const RunParts& parts, RunView& view, std::function<void(const CameraFileOutcome&)> files,
               std::function<void(std::function<void()>)> post, std::function<void(RunSetting, int)> shown = nullptr);
    // The camera let go, the lines waiting for its files written (a second
    // at most), the runner gone.
    ~RunControl();
    RunControl(const RunControl&) = delete;
    RunControl& operator=(const RunControl&) = delete;

    // The settings the next run starts from, as the controls and a
    // script's lines set them (on the client's loop). Whoever sets mirror
    // lock-up, it reaches a run in progress, which reads it at each frame.
    SettingsModel& Settings() { return settings_; }

    // Requests, made in order where the run lives.
    void Connect(PortKind kind, const std::string& choiceText);
    void Start(const RunSettings& settings);
    void Abort();
    void StopAfterFrame();
    void Pause();
    void Resume();
    void Close();
    // The run ends now, its lines released at once (a port about to go).
    void EndNow();
    // The port released (before another is chosen).
    void ReleasePort();
    // What the run reads as it goes: the AF mode at each line action,
    // mirror lock-up at each frame.
    void SetAfMode(int mode);
    void SetMirrorLock(bool on);
    void WatchGuider(bool on);
    // The camera whose files are fetched from now on (`settings`), or none
    // (nullptr). Its outcomes go to the log's lines and to `files`.
    void LinkCamera(const CameraLinkSettings* settings);
    // A FITS made of each frame from now on (`fits`), saying what
    // `details` tell besides its exposure's own hold and start (the
    // driver's clients ask for one), or none.
    void MakeFits(bool fits, const FitsDetails& details);
    // For the ways out of the program: an exposure in progress ended and
    // logged, the lines released and the log flushed; waits for that.
    void ReleaseAtExit();

    // Questions, answered at once.
    RunState State() const;
    // The camera linked, as the user knows it, or "" for none.
    std::string CameraDescription() const { return camera_ ? camera_->Description() : ""; }
    bool CameraConnected() const { return camera_ && camera_->Connected(); }
    bool CanLinkCamera() const { return static_cast<bool>(makeCameraLink_); }
    // The camera a link would take now, as the user knows it, or why there
    // is none.
    std::string LookForCamera() const
    {
        return makeCameraLink_ ? makeCameraLink_(CameraLinkSettings(), nullptr)->Description() : "";
    }
    // The exposure logged last, by the camera's number (0: none).
    uint32_t LastExposure() const { return filesLog_.LastExposure(); }

    // Where the run lives: for a caller on the run's own loop (the driver),
    // which asks the lines of the port in use, and for tests.
    SequenceRunner& Runner() { return *runner_; }

private:
    class Published;
    // `work` where the run lives, then the state published; returns at
    // once.
    void Request(std::function<void()> work);
    // The same, waited for: only for the end.
    void Wait(const std::function<void()>& work);
    void Publish();
    // Each exposure's first file is read and measured, and a RAW that comes
    // after its JPEG too: the RAW's figures are the line's.
    void FileWritten(const CameraFileOutcome& outcome, const std::string& folder);

    RunThread* thread_;
    RunView& view_;
    std::function<void(std::function<void()>)> post_;
    std::unique_ptr<Published> published_;
    CameraFilesLog filesLog_;
    CameraLinkMaker makeCameraLink_;
    std::function<void(const CameraFileOutcome&)> files_;
    SettingsModel settings_;
    std::unique_ptr<CameraLink> camera_;
    // Links let go, until the log has let them go too (the client's loop's).
    std::vector<std::unique_ptr<CameraLink>> retired_;
    std::unique_ptr<SequenceRunner> runner_;
    std::mutex framesMutex_;
    bool fits_ = false;
    FitsDetails fitsDetails_;
    // The last exposures whose frame was asked for, and whether as a RAW;
    // the files of each being read, and the figures of the last read.
    struct FrameAsked {
        uint32_t exposure;
        bool raw;
    };
    std::deque<FrameAsked> framesAsked_;
    std::map<uint32_t, int> decoding_;
    std::map<uint32_t, StarFigures> figures_;
    std::unique_ptr<FrameDecoder> decoder_;
    mutable std::mutex stateMutex_;
    RunState state_;
    uint64_t startsAsked_ = 0;  // by the client
    uint64_t startsMade_ = 0;  // where the run lives
};

// The camera behind the INDI driver, without INDI: a port opened by its
// chooser name or device path, the AF mode and mirror lock-up, and one
// exposure at a time run as a one-frame run by the RunControl, inline on the
// driver's loop, with the camera's files where they are asked for. The
// driver (indi/vantrel_ccd.cpp) maps properties onto it; tests drive it
// directly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "runner/run_control.h"

// What the camera tells the driver.
class BulbCameraEvents {
public:
    virtual ~BulbCameraEvents() = default;
    // The exposure's lines are released: it is done.
    virtual void ExposureDone() = 0;
    // It ended without an image's worth of exposure: the port went, or the
    // run could not go on. `message` says why, for the client.
    virtual void ExposureFailed(const std::string& message) = 0;
    // What the engine would show on a status line, for the driver's log.
    virtual void Status(const std::string& text) = 0;
    // A frame's file read and measured (and its FITS, when asked for).
    virtual void FrameDecoded(const std::shared_ptr<const DecodedFrame>& /*frame*/) { }
};

class BulbCamera : public RunView {
public:
    // `files` gets what came of the camera's files, through `post` (which
    // hands a call to the driver's loop from any thread).
    BulbCamera(Ports& ports, Clock& clock, Guider& guider, SleepInhibitor& sleep, ExposureLog& log,
               BulbCameraEvents& events, CameraLinkMaker makeCameraLink = nullptr,
               std::function<void(const CameraFileOutcome&)> files = nullptr,
               std::function<void(std::function<void()>)> post = nullptr);

    // Opens `port`: a chooser entry ("COM5", "COM5-IR", "0x378-LPT1 Pin3",
    // "DSUSB", each by the settings' device map) or the path of a serial or
    // parallel port's device (never a console or another terminal), its
    // lines released. False with the reason in `why` when it does not open.
    bool Connect(const std::string& port, std::string& why);
    // Ends an exposure in progress, releases the lines and the port.
    void Disconnect();
    // While not connected: sets the lines of the box or a parallel port
    // (which keep what they were last set to when their holder dies) idle,
    // and lets the port go again. Nothing for a serial port, whose lines
    // the kernel drops as it is closed.
    void ReleaseUnheld(const std::string& port);
    bool Connected() const { return connected_; }

    // Starts an exposure of `seconds` (fractions held as given), the mirror
    // lock-up pulse and its settle time first when set. One in progress is
    // aborted first, and this one starts once its lines are released.
    // False, and nothing done, for a time that is not a number; false when
    // not connected, shorter than the port's lines can time, or the port is
    // gone and cannot be opened again (ExposureFailed says why).
    bool StartExposure(double seconds);
    // The exposure in progress ends now (on "-IR" its pulses run whole).
    void AbortExposure();
    bool Exposing() const { return control_.State().busy || pendingMs_ > 0; }
    // Seconds left of the exposure in progress, on the monotonic clock.
    double SecondsLeft() const;
    // The image stays on the camera's card: only the Local upload mode is
    // taken. Empty for Local, else why another is refused.
    static std::string UploadRefusal(bool local);
    // For the ways out of the driver: the lines released at once.
    void ReleaseAtExit() { control_.ReleaseAtExit(); }

    // AF_NONE, AF_PULSE_AT_START, AF_HELD_DURING: acts at the next line
    // action, in an exposure too.
    void SetAfMode(int mode) { control_.SetAfMode(mode); }
    void SetMirrorLock(bool on) { control_.Settings().Set(RunSetting::MIRROR_LOCK, on); }
    // The next exposures' frame type (a word of FRAME_TYPES), for the log
    // and the files' names.
    void SetFrameType(const std::string& type) { control_.Settings().SetFrameType(type); }
    // The target the next exposures' files and log lines carry ("" for none).
    void SetTarget(const std::string& target) { control_.Settings().SetTarget(target); }

    // The camera whose files are the images (none: nullptr), as the user
    // knows it, and the exposure whose files come next.
    void LinkCamera(const CameraLinkSettings* settings) { control_.LinkCamera(settings); }
    bool CameraConnected() const { return control_.CameraConnected(); }
    std::string CameraDescription() const { return control_.CameraDescription(); }
    uint32_t LastExposure() const { return control_.LastExposure(); }
    // A FITS of each frame from now on, or none (see RunControl).
    void MakeFits(bool fits, const FitsDetails& details) { control_.MakeFits(fits, details); }
    double mirrorSettleSeconds = 1.0;  // the before-frame delay after the pulse
    std::string sysfs = "/sys";  // where the kernel tells what a device is

    // RunView: the status texts as messages, and the exposure's end.
    void OnRunEvent(const RunEvent& event) override;
    void OnFrameDecoded(const std::shared_ptr<const DecodedFrame>& frame) override { events_.FrameDecoded(frame); }

private:
    void RunEnded(RunEnd end, const std::string& port, const std::string& why);
    // False when the run could not start (its port is gone): RunEnded has
    // said why.
    bool Begin(int32_t ms);

    Ports& ports_;
    Clock& clock_;
    BulbCameraEvents& events_;
    RunControl control_;
    bool connected_ = false;
    int32_t pendingMs_ = 0;  // an exposure asked for while the last one ends
    int64_t endUs_ = 0;
};

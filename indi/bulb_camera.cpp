#include "indi/bulb_camera.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "ports/open_port.h"
#include "ports/trigger_lines.h"
#include "runner/countdown.h"

namespace {
constexpr double US_PER_SECOND = 1e6;

int32_t Milliseconds(double seconds) { return static_cast<int32_t>(std::lround(std::max(0.0, seconds) * 1000)); }
}  // namespace

BulbCamera::BulbCamera(Ports& ports, Clock& clock, Guider& guider, SleepInhibitor& sleep, ExposureLog& log,
                       BulbCameraEvents& events, CameraLinkMaker makeCameraLink,
                       std::function<void(const CameraFileOutcome&)> files,
                       std::function<void(std::function<void()>)> post)
    : ports_(ports)
    , clock_(clock)
    , events_(events)
    , control_(
          RunParts{ports, clock, guider, sleep, log, nullptr, std::move(makeCameraLink), true}, *this,
          files ? std::move(files) : [](const CameraFileOutcome&) {},
          post ? std::move(post) : [](std::function<void()> call) { call(); })
{
}

bool BulbCamera::Connect(const std::string& port, std::string& why)
{
    Disconnect();
    // Any client may set the port: a path must be a port's device, never a
    // console or another terminal whose lines would be pulsed.
    std::string notPort;
    if (!port.empty() && port[0] == '/' && !IsPortDevice(port, sysfs, notPort)) {
        why = "\"" + port + "\" is not a port: " + notPort;
        return false;
    }
    const PortOpening opening = OpenPort(ports_, port);
    if (opening.kind == PORT_NONE) {
        why = opening.reason.empty() ? opening.failure : opening.failure + ": " + opening.reason;
        return false;
    }
    control_.Connect(opening.kind, port);
    connected_ = true;
    return true;
}

// An exposure in progress ends at once, logged as aborted, and the port is
// released and closed.
void BulbCamera::Disconnect()
{
    pendingMs_ = 0;
    control_.EndNow();
    if (connected_)
        control_.ReleasePort();
    control_.Connect(PORT_NONE, "");
    connected_ = false;
}

void BulbCamera::ReleaseUnheld(const std::string& port)
{
    std::string why;
    if (!connected_ && PortKindFor(port) && PortKindFor(port)->keepsLines && Connect(port, why))
        Disconnect();
}

bool BulbCamera::StartExposure(double seconds)
{
    // INDI's range check lets a value that is not a number through.
    if (!std::isfinite(seconds))
        return false;
    const int32_t ms = std::max<int32_t>(1, Milliseconds(seconds));
    // Nothing is reported done that reached no camera.
    if (!connected_) {
        events_.ExposureFailed("Not connected: connect to a port first.");
        return false;
    }
    TriggerLines& lines = control_.Runner().Lines();  // on this loop: asked at once
    const int32_t shortestMs = lines.ShortestExposureMs();
    if (ms < shortestMs) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "%s takes exposures of %g s or more: one press opens the shutter and another closes it.",
                      lines.Name().c_str(), shortestMs / double{MS_PER_SECOND});
        events_.ExposureFailed(text);
        return false;
    }
    if (control_.State().busy) {
        pendingMs_ = ms;
        control_.Abort();
        return true;
    }
    return Begin(ms);
}

bool BulbCamera::Begin(int32_t ms)
{
    RunSettings settings;
    settings.exposures = 1;
    settings.durationMs = ms;
    const int32_t settleMs = control_.Settings().MirrorLock() ? Milliseconds(mirrorSettleSeconds) : 0;
    settings.beforeDelayMs = settleMs;
    settings.afterDelayMs = 0;
    settings.source = "indi";
    settings.frameType = control_.Settings().Run().frameType;
    settings.target = control_.Settings().Run().target;
    endUs_ = clock_.NowUs() + (int64_t{settleMs} + ms) * US_PER_MS;
    // Made at once, on this loop: a run refused has said why already.
    control_.Start(settings);
    return control_.State().busy;
}

std::string BulbCamera::UploadRefusal(bool local)
{
    return local ? "" : "Only Local upload: the image stays on the camera's card.";
}

void BulbCamera::AbortExposure()
{
    pendingMs_ = 0;
    control_.Abort();
}

double BulbCamera::SecondsLeft() const
{
    return control_.State().busy ? std::max<int64_t>(0, endUs_ - clock_.NowUs()) / US_PER_SECOND : 0.0;
}

void BulbCamera::OnRunEvent(const RunEvent& event)
{
    const std::string status = StatusText(event);
    if (!status.empty())
        events_.Status(status);
    if (event.kind == RunEventKind::ENDED)
        RunEnded(event.end, event.port, event.why);
}

// An exposure asked for while the one before was ending starts now, its
// lines released.
void BulbCamera::RunEnded(RunEnd end, const std::string& port, const std::string& why)
{
    switch (end) {
    case RunEnd::DONE:
    case RunEnd::STOPPED:  // its one exposure ran to its end
        events_.ExposureDone();
        return;
    case RunEnd::ABORTED:
        if (pendingMs_ > 0) {
            const int32_t ms = pendingMs_;
            pendingMs_ = 0;
            Begin(ms);
        }
        return;
    case RunEnd::PORT_LOST:
        pendingMs_ = 0;
        events_.ExposureFailed(EndText(end, port) + (why.empty() ? "" : ": " + why));
        return;
    case RunEnd::FAILED:
        pendingMs_ = 0;
        events_.ExposureFailed(why);
        return;
    case RunEnd::CLOSED:
        return;
    }
}

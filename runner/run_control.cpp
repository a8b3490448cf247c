#include "runner/run_control.h"

#include <algorithm>
#include <chrono>

namespace {
// The exit waits this long at most for the lines still waiting for the
// camera's files.
constexpr auto CLOSE_FLUSH_LIMIT = std::chrono::seconds(1);
}  // namespace

// Between the runner and the client's view, where the run lives: the state
// is published before each start and end is told, so that a client asked
// at once answers as the view shows.
class RunControl::Published : public RunView {
public:
    Published(RunControl& control, RunView& view)
        : control_(control)
        , view_(view)
    {
    }
    void OnRunEvent(const RunEvent& event) override
    {
        if (event.kind == RunEventKind::STARTED || event.kind == RunEventKind::ENDED)
            control_.Publish();
        if (!control_.thread_) {
            view_.OnRunEvent(event);
            return;
        }
        control_.post_([view = &view_, event] { view->OnRunEvent(event); });
    }

private:
    RunControl& control_;
    RunView& view_;
};

RunControl::RunControl(const RunParts& parts, RunView& view, std::function<void(const CameraFileOutcome&)> files,
                       std::function<void(std::function<void()>)> post, std::function<void(RunSetting, int)> shown)
    : thread_(parts.thread)
    , view_(view)
    , post_(std::move(post))
    , published_(std::make_unique<Published>(*this, view))
    , filesLog_(parts.log, parts.countExposures)
    , makeCameraLink_(parts.makeCameraLink)
    , files_(std::move(files))
    , settings_([this, shown = std::move(shown)](RunSetting setting, int value) {
        if (setting == RunSetting::MIRROR_LOCK)
            SetMirrorLock(value != 0);
        if (shown)
            shown(setting, value);
    })
{
    Wait([&] {
        runner_ = std::make_unique<SequenceRunner>(parts.ports, thread_ ? thread_->RunClock() : parts.clock,
                                                   parts.guider, parts.sleep, filesLog_, *published_);
    });
    decoder_ = std::make_unique<FrameDecoder>([this](std::shared_ptr<const DecodedFrame> frame) {
        const uint32_t exposure = frame->request.exposure;
        // The line waits while another of its exposure's files is read, and
        // takes the figures of the last one read (its RAW).
        std::optional<StarFigures> figures;
        bool last = true;
        {
            std::lock_guard<std::mutex> lock(framesMutex_);
            if (!frame->left && frame->error.empty())
                figures_[exposure] = frame->view.stars;
            if (--decoding_[exposure] > 0) {
                last = false;
            } else {
                decoding_.erase(exposure);
                const auto kept = figures_.find(exposure);
                if (kept != figures_.end()) {
                    figures = kept->second;
                    figures_.erase(kept);
                }
            }
        }
        if (last)
            filesLog_.Measured(exposure, figures ? &*figures : nullptr);
        post_([view = &view_, frame] { view->OnFrameDecoded(frame); });
    });
}

RunControl::~RunControl()
{
    // A download in progress ends first, and the lines that waited for the
    // camera's files are written.
    Wait([this] { filesLog_.Link(nullptr); });
    retired_.clear();
    camera_.reset();
    decoder_.reset();
    filesLog_.Flush(CLOSE_FLUSH_LIMIT);
    Wait([this] { runner_.reset(); });
}

void RunControl::Request(std::function<void()> work)
{
    if (!thread_) {
        work();
        Publish();
        return;
    }
    thread_->Post([this, work = std::move(work)] {
        work();
        Publish();
    });
}

void RunControl::Wait(const std::function<void()>& work)
{
    if (thread_)
        thread_->Call(work);
    else
        work();
}

void RunControl::Publish()
{
    RunState state;
    state.busy = runner_->Busy();
    state.portLost = runner_->Lines().Lost();
    state.paused = runner_->Paused();
    state.stopping = runner_->Stopping();
    state.tally = runner_->Tally();
    std::lock_guard<std::mutex> lock(stateMutex_);
    state_ = state;
}

RunState RunControl::State() const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    RunState state = state_;
    // A start asked for is a run in progress until the run's thread has
    // made it (or refused it).
    state.busy = state.busy || startsAsked_ > startsMade_;
    return state;
}

void RunControl::Connect(PortKind kind, const std::string& choiceText)
{
    Request([this, kind, choiceText] { runner_->Connect(kind, choiceText); });
}

void RunControl::Start(const RunSettings& settings)
{
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        ++startsAsked_;
    }
    Request([this, settings] {
        runner_->Start(settings);
        std::lock_guard<std::mutex> lock(stateMutex_);
        ++startsMade_;
    });
}

void RunControl::Abort()
{
    Request([this] { runner_->Abort(); });
}

void RunControl::StopAfterFrame()
{
    Request([this] { runner_->StopAfterFrame(); });
}

void RunControl::Pause()
{
    Request([this] { runner_->Pause(); });
}

void RunControl::Resume()
{
    Request([this] { runner_->Resume(); });
}

void RunControl::Close()
{
    Request([this] { runner_->Close(); });
}

void RunControl::EndNow()
{
    Request([this] { runner_->EndNow(); });
}

void RunControl::ReleasePort()
{
    Request([this] { runner_->Lines().Release(); });
}

void RunControl::SetAfMode(int mode)
{
    Request([this, mode] { runner_->SetAfMode(mode); });
}

void RunControl::SetMirrorLock(bool on)
{
    Request([this, on] { runner_->SetMirrorLock(on); });
}

void RunControl::WatchGuider(bool on)
{
    Request([this, on] { runner_->WatchGuider(on); });
}

// The log changes its link where the run lives; the link let go is ended
// on the client's loop once the log has let it go, never on the run's
// thread (it may wait a moment for its worker), and at the latest with the
// control.
void RunControl::LinkCamera(const CameraLinkSettings* settings)
{
    std::unique_ptr<CameraLink> camera;
    if (settings && makeCameraLink_)
        camera = makeCameraLink_(*settings, [this, folder = settings->folder](const CameraFileOutcome& outcome) {
            filesLog_.Outcome(outcome);
            post_([files = files_, outcome] { files(outcome); });
            FileWritten(outcome, folder);  // told after the file, on the client's loop
        });
    CameraLink* linked = camera.get();
    CameraLink* old = camera_.get();
    if (camera_)
        retired_.push_back(std::move(camera_));
    camera_ = std::move(camera);
    Request([this, linked, old] {
        filesLog_.Link(linked);
        // What waited for the camera let go is logged now, not when its
        // minute is long over.
        if (old)
            filesLog_.EndWaiting("not fetched: the camera was linked again");
        if (old)
            post_([this, old] {
                retired_.erase(
                    std::remove_if(retired_.begin(), retired_.end(),
                                   [old](const std::unique_ptr<CameraLink>& link) { return link.get() == old; }),
                    retired_.end());
            });
    });
}

void RunControl::FileWritten(const CameraFileOutcome& outcome, const std::string& folder)
{
    if (outcome.kind != FileOutcome::WRITTEN || outcome.exposure == 0)
        return;
    FrameRequest request;
    request.exposure = outcome.exposure;
    request.frame = outcome.frame;
    request.path = folder + "/" + outcome.file;
    {
        std::lock_guard<std::mutex> lock(framesMutex_);
        // A JPEG is read when it is the exposure's first file; a RAW unless
        // one was read already: a shot's RAW always has the last word.
        const bool raw = !IsJpeg(outcome.file);
        const auto asked = std::find_if(framesAsked_.begin(), framesAsked_.end(),
                                        [&](const FrameAsked& frame) { return frame.exposure == outcome.exposure; });
        if (asked != framesAsked_.end() && (asked->raw || !raw))
            return;
        if (asked != framesAsked_.end())
            asked->raw = true;
        else
            framesAsked_.push_back({outcome.exposure, raw});
        constexpr size_t REMEMBERED = 16;  // far more than are fetched at once
        if (framesAsked_.size() > REMEMBERED)
            framesAsked_.pop_front();
        ++decoding_[outcome.exposure];
        request.fits = fits_;
        request.details = fitsDetails_;
    }
    ExposureRecord record;
    if (filesLog_.Waiting(outcome.exposure, record)) {
        request.details.exposureS = record.heldMs / 1000.0;
        request.details.startUtcMs = record.startUtcMs;
    }
    filesLog_.Measuring(outcome.exposure);
    decoder_->Decode(std::move(request));
}

void RunControl::MakeFits(bool fits, const FitsDetails& details)
{
    std::lock_guard<std::mutex> lock(framesMutex_);
    fits_ = fits;
    fitsDetails_ = details;
}

void RunControl::ReleaseAtExit()
{
    Wait([this] {
        filesLog_.Link(nullptr);
        runner_->ReleaseAtExit();
    });
}

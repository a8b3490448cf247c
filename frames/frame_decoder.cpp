#include "frames/frame_decoder.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

std::shared_ptr<DecodedFrame> DecodeFrame(const FrameRequest& request, const ReadLimits& limits)
{
    auto decoded = std::make_shared<DecodedFrame>();
    decoded->request = request;
    if (!ReadFrame(request.path, decoded->image, decoded->error, limits))
        return decoded;
    decoded->view = SummariseFrame(decoded->image);
    if (!request.fits)
        decoded->image.data = {};
    return decoded;
}

// What the thread needs, kept alive by the thread itself: a reader left to
// end alone outlives the decoder.
struct FrameDecoder::Shared {
    DecodedFrameHandler done;
    ReadLimits limits;
    std::atomic<bool> cancel{false};
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<FrameRequest> waiting;
    bool stopping = false;
    bool telling = false;  // `done` is being called
    bool ended = false;
};

FrameDecoder::FrameDecoder(DecodedFrameHandler done, ReadLimits limits)
    : shared_(std::make_shared<Shared>())
{
    shared_->done = std::move(done);
    shared_->limits = limits;
    shared_->limits.cancel = &shared_->cancel;
    std::thread(Work, shared_).detach();
}

FrameDecoder::~FrameDecoder()
{
    std::unique_lock<std::mutex> lock(shared_->mutex);
    shared_->stopping = true;
    shared_->cancel = true;
    shared_->changed.notify_all();
    // `done` may be telling of a frame now: that ends soon, and must end
    // before whatever it calls goes.
    shared_->changed.wait(lock, [this] { return !shared_->telling; });
    shared_->changed.wait_for(lock, CLOSE_WAIT, [this] { return shared_->ended; });
}

void FrameDecoder::Decode(FrameRequest request)
{
    std::optional<FrameRequest> left;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        left.swap(shared_->waiting);
        shared_->waiting = std::move(request);
    }
    shared_->changed.notify_all();
    if (left) {
        auto decoded = std::make_shared<DecodedFrame>();
        decoded->request = std::move(*left);
        decoded->left = true;
        shared_->done(decoded);
    }
}

void FrameDecoder::Work(std::shared_ptr<Shared> shared)
{
    // Below the window's thread too: a frame waits, a click does not.
    constexpr int NICER = 10;
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), NICER) != 0) { }
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
        shared->changed.wait(lock, [&] { return shared->stopping || shared->waiting; });
        if (shared->stopping)
            break;
        const FrameRequest request = std::move(*shared->waiting);
        shared->waiting.reset();
        lock.unlock();
        auto decoded = DecodeFrame(request, shared->limits);
        lock.lock();
        if (shared->stopping)
            break;
        shared->telling = true;
        lock.unlock();
        shared->done(std::move(decoded));
        lock.lock();
        shared->telling = false;
        shared->changed.notify_all();
    }
    shared->ended = true;
    shared->changed.notify_all();
}

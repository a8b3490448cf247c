#include "frames/frame_decoder.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

std::shared_ptr<DecodedFrame> DecodeFrame(const FrameRequest& request)
{
    auto decoded = std::make_shared<DecodedFrame>();
    decoded->request = request;
    if (!ReadFrame(request.path, decoded->image, decoded->error))
        return decoded;
    decoded->view = SummariseFrame(decoded->image);
    if (!request.fits)
        decoded->image.data = {};
    return decoded;
}

FrameDecoder::FrameDecoder(DecodedFrameHandler done)
    : done_(std::move(done))
    , thread_([this] { Work(); })
{
}

FrameDecoder::~FrameDecoder()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void FrameDecoder::Decode(FrameRequest request)
{
    std::optional<FrameRequest> left;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        left.swap(waiting_);
        waiting_ = std::move(request);
    }
    wake_.notify_one();
    if (left) {
        auto decoded = std::make_shared<DecodedFrame>();
        decoded->request = std::move(*left);
        decoded->left = true;
        done_(decoded);
    }
}

void FrameDecoder::Work()
{
    // Below the window's thread too: a frame waits, a click does not.
    constexpr int NICER = 10;
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), NICER) != 0) { }
    for (;;) {
        FrameRequest request;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || waiting_; });
            if (stopping_)
                return;
            request = std::move(*waiting_);
            waiting_.reset();
        }
        done_(DecodeFrame(request));
    }
}

// Frames read and measured on a thread of their own, one at a time: a
// frame that comes while another is read waits, and a newer one takes the
// place of a waiting one (which is told it was left). Never on the run's
// thread, never holding up an exposure. No toolkit.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "frames/frame.h"

struct FrameRequest {
    uint32_t exposure = 0;  // the camera link's number for it
    int32_t frame = 0;
    std::string path;  // the file written
    bool fits = false;  // a FITS wanted: the data is kept for it
    FitsDetails details;
};

struct DecodedFrame {
    FrameRequest request;
    bool left = false;  // a newer frame came before it was read
    std::string error;  // why it could not be read; "" when it was
    FrameImage image;  // what it is; its data let go unless a FITS is wanted
    FrameSummary view;
};

using DecodedFrameHandler = std::function<void(std::shared_ptr<const DecodedFrame>)>;

class FrameDecoder {
public:
    // `done` is told of each request, on the decoder's thread, within the
    // limits given (their `cancel` is the decoder's own).
    explicit FrameDecoder(DecodedFrameHandler done, ReadLimits limits = {});
    // Cancels the frame being read and waits for it at most `CLOSE_WAIT`;
    // a reader that does not stop by then is left to end alone, and tells
    // nobody. `done` is never called once this returns.
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;
    // Never waits.
    void Decode(FrameRequest request);

    static constexpr std::chrono::milliseconds CLOSE_WAIT{1000};

private:
    struct Shared;
    static void Work(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> shared_;
};

// Reads and measures one frame, at once.
std::shared_ptr<DecodedFrame> DecodeFrame(const FrameRequest& request, const ReadLimits& limits = {});

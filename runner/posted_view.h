// A view on another thread (the window's), for a run on a thread of its
// own: what the run shows is posted there, in order. No toolkit.
#pragma once

#include <functional>
#include <string>

#include "runner/sequence_runner.h"

class PostedView : public RunView {
public:
    // `post` hands a call to the view's thread, to be made there in order.
    PostedView(RunView& view, std::function<void(std::function<void()>)> post)
        : view_(view)
        , post_(std::move(post))
    {
    }
    void ShowStatus(const std::string& text) override
    {
        post_([this, text] { view_.ShowStatus(text); });
    }
    void ShowRemaining(const std::string& label) override
    {
        post_([this, label] { view_.ShowRemaining(label); });
    }
    void ShowRunning(bool running) override
    {
        post_([this, running] { view_.ShowRunning(running); });
    }
    void RunEnded(RunEnd end, const std::string& port, const std::string& why) override
    {
        post_([this, end, port, why] { view_.RunEnded(end, port, why); });
    }
    void ShowFramesDone(int32_t done, int32_t of) override
    {
        post_([this, done, of] { view_.ShowFramesDone(done, of); });
    }
    void ShowProgress(const RunProgress& progress) override
    {
        post_([this, progress] { view_.ShowProgress(progress); });
    }

private:
    RunView& view_;
    std::function<void(std::function<void()>)> post_;
};

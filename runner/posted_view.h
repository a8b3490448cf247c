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
    void OnRunEvent(const RunEvent& event) override
    {
        post_([this, event] { view_.OnRunEvent(event); });
    }

private:
    RunView& view_;
    std::function<void(std::function<void()>)> post_;
};

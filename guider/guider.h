// The guider, asked to dither between frames: a part of the engine.
// Production talks to PHD2 on its event server; tests pass a fake.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <string>

struct DitherRequest {
    int pixels = 0;
    int settleSeconds = 10;
    double settlePixels = 1.5;
    int settleTimeoutSeconds = 70;  // PHD2's own settle timeout
    int32_t giveUpMs = 80000;  // when the guider says nothing more
};

// How a dither ended: settled, or why not, in the guider's words where it
// gave any ("not guiding", "guider sent an over-long line").
struct DitherOutcome {
    bool settled = false;
    std::string reason;
};

class Guider {
public:
    virtual ~Guider() = default;
    // Asks for a dither; `done` is called once, from the event loop. Never
    // called after Cancel.
    virtual void Dither(const DitherRequest& request, std::function<void(const DitherOutcome&)> done) = 0;
    virtual void Cancel() = 0;
};

// PHD2's event server on localhost (port 4400: its first instance).
std::unique_ptr<Guider> MakePhd2Guider(uint16_t port = 4400);

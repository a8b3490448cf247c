#include "runner/guide_watch.h"

#include <cmath>
#include <cstdio>

void GuideWatch::Start()
{
    *this = GuideWatch();
    watching_ = true;
}

bool GuideWatch::Steady() const { return connected_ && guiding_ && !paused_ && !settling_ && !starLost_; }

// PHD2's events, and the states that AppState names on connecting.
void GuideWatch::Take(const GuideEvent& event, int64_t atUs)
{
    if (event.kind == GuideEventKind::CONNECTION_LOST) {
        // A connection that never came about changes nothing in a frame.
        if (connected_)
            Note("GuiderLost", atUs);
        connected_ = guiding_ = paused_ = settling_ = starLost_ = false;
        return;
    }
    connected_ = true;
    switch (event.kind) {
    case GuideEventKind::APP_STATE:
        // LostLock: guiding, its star lost just now (PHD2 sends no
        // StartGuiding then).
        guiding_ = event.state == GuiderState::GUIDING || event.state == GuiderState::LOST_LOCK;
        paused_ = event.state == GuiderState::PAUSED;
        starLost_ = event.state == GuiderState::LOST_LOCK;
        settling_ = false;
        if (starLost_)
            Note(GuideEventName(GuideEventKind::STAR_LOST), atUs);
        break;
    case GuideEventKind::GUIDE_STEP: {
        guiding_ = true;
        starLost_ = false;
        // A distance that is no number (or whose square is none) makes no
        // RMS: the frame is suspect instead.
        const double square = event.raDistanceRaw * event.raDistanceRaw + event.decDistanceRaw * event.decDistanceRaw;
        if (exposing_ && !std::isfinite(sumSquares_ + square)) {
            Note("BadGuideStep", atUs);
        } else if (exposing_) {
            ++steps_;
            sumSquares_ += square;
        }
        break;
    }
    case GuideEventKind::START_GUIDING:
    case GuideEventKind::RESUMED:
        guiding_ = true;
        paused_ = false;
        break;
    case GuideEventKind::STAR_LOST:
        starLost_ = true;
        Note(GuideEventName(event.kind), atUs);
        break;
    case GuideEventKind::GUIDING_STOPPED:
        guiding_ = false;
        Note(GuideEventName(event.kind), atUs);
        break;
    case GuideEventKind::PAUSED:
        paused_ = true;
        Note(GuideEventName(event.kind), atUs);
        break;
    case GuideEventKind::LOCK_POSITION_LOST:
        Note(GuideEventName(event.kind), atUs);
        break;
    case GuideEventKind::SETTLE_BEGIN:
        settling_ = true;
        Note(GuideEventName(event.kind), atUs);  // another client's dither
        break;
    case GuideEventKind::SETTLE_DONE:
        settling_ = false;
        break;
    default:
        break;
    }
}

void GuideWatch::Note(const char* what, int64_t atUs)
{
    if (!exposing_)
        return;
    suspect_ = true;
    for (Noted& noted : noted_) {
        if (noted.what == what || std::string(noted.what) == what) {
            ++noted.count;
            return;
        }
    }
    noted_.push_back({what, atUs, 1});
}

void GuideWatch::BeginExposure(int64_t atUs, bool waitRanOut)
{
    exposing_ = watching_;
    exposureStartUs_ = atUs;
    steps_ = 0;
    sumSquares_ = 0;
    noted_.clear();
    suspect_ = false;
    guidedAtStart_ = guiding_;
    if (waitRanOut)
        Note("GuideWaitRanOut", atUs);
    else if (paused_)
        Note(GuideEventName(GuideEventKind::PAUSED), atUs);
    else if (starLost_)
        Note(GuideEventName(GuideEventKind::STAR_LOST), atUs);
}

GuideRecord GuideWatch::EndExposure()
{
    GuideRecord record;
    if (!exposing_)
        return record;
    exposing_ = false;
    if (steps_ > 0) {
        char rms[32];
        std::snprintf(rms, sizeof rms, "%.2f", std::sqrt(sumSquares_ / steps_));
        record.rmsPx = rms;
    }
    for (const Noted& noted : noted_) {
        char text[96];
        std::snprintf(text, sizeof text, "%s%s@%.1fs", record.events.empty() ? "" : ";", noted.what,
                      static_cast<double>(noted.atUs - exposureStartUs_) / 1e6);
        record.events += text;
        if (noted.count > 1)
            record.events += "\u00d7" + std::to_string(noted.count);
    }
    record.guided = suspect_ ? "suspect" : guidedAtStart_ || steps_ > 0 ? "yes" : "no";
    return record;
}

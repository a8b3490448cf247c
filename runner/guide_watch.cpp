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
    const std::string& name = event.name;
    if (name == "ConnectionLost") {
        // A connection that never came about changes nothing in a frame.
        if (connected_)
            Note("GuiderLost", atUs);
        connected_ = guiding_ = paused_ = settling_ = starLost_ = false;
        return;
    }
    connected_ = true;
    if (name == "AppState") {
        // LostLock: guiding, its star lost just now (PHD2 sends no
        // StartGuiding then).
        guiding_ = event.state == "Guiding" || event.state == "LostLock";
        paused_ = event.state == "Paused";
        starLost_ = event.state == "LostLock";
        settling_ = false;
        if (starLost_)
            Note("StarLost", atUs);
    } else if (name == "GuideStep") {
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
    } else if (name == "StartGuiding" || name == "Resumed") {
        guiding_ = true;
        paused_ = false;
    } else if (name == "StarLost") {
        starLost_ = true;
        Note("StarLost", atUs);
    } else if (name == "GuidingStopped") {
        guiding_ = false;
        Note("GuidingStopped", atUs);
    } else if (name == "Paused") {
        paused_ = true;
        Note("Paused", atUs);
    } else if (name == "LockPositionLost") {
        Note("LockPositionLost", atUs);
    } else if (name == "SettleBegin") {
        settling_ = true;
        Note("SettleBegin", atUs);  // another client's dither
    } else if (name == "SettleDone") {
        settling_ = false;
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
        Note("Paused", atUs);
    else if (starLost_)
        Note("StarLost", atUs);
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

// The exposure log with each line's file column from the camera: a line
// waits for its exposure's last outcome (its files, or why none came) and
// is then written. Without a camera linked, lines go on at once with the
// column empty. No toolkit.
#pragma once

#include <atomic>
#include <map>
#include <set>

#include "camera/camera_link.h"
#include "frames/frame.h"
#include "runner/exposure_log.h"
#include "runner/run_thread.h"

class CameraFilesLog : public ExposureLog {
public:
    // `countExposures`: the files are numbered by the exposures logged so
    // far (a driver's exposures are each frame 1 of 1), not by their frame.
    explicit CameraFilesLog(ExposureLog& log, bool countExposures = false)
        : log_(log)
        , countExposures_(countExposures)
    {
    }
    // The camera whose files fill the column (none: nullptr); its outcomes
    // must be handed to Outcome.
    void Link(CameraLink* camera) { camera_ = camera; }
    // From the camera's worker thread.
    void Outcome(const CameraFileOutcome& outcome);
    // The exposure's frame is being measured: its line waits for the
    // figures too, told by Measured (none: nullptr), from any thread.
    void Measuring(uint32_t exposure);
    void Measured(uint32_t exposure, const StarFigures* figures);
    // The line of an exposure that waits for its files; false for none.
    bool Waiting(uint32_t exposure, ExposureRecord& record);

    // Tells the camera, so that it is left alone during the exposure.
    void ExposureStarting() override
    {
        if (CameraLink* camera = camera_)
            camera->ExposureStarting();
    }
    // Tells the camera that the exposure has ended (the line's end), and
    // holds the line until its files are known. Never waits long: the
    // run's thread calls it.
    void Log(const ExposureRecord& record) override;
    // The lines still waiting for their last outcome are written first, with
    // the files fetched so far, why a file failed, or "not fetched: closed".
    bool Flush(std::chrono::milliseconds limit = std::chrono::hours(1)) override;
    // The same, without the wait, `why` for a line that got nothing: the
    // lines of a camera that is linked no more.
    void EndWaiting(const std::string& why);
    std::string Failure() override { return log_.Failure(); }
    // The number the camera gave the exposure logged last (0: none): its
    // outcomes carry it.
    uint32_t LastExposure() const { return lastExposure_; }

private:
    ExposureLog& log_;
    const bool countExposures_;
    int32_t exposures_ = 0;  // the run's thread's own
    std::atomic<uint32_t> lastExposure_{0};
    std::atomic<CameraLink*> camera_{nullptr};
    PiMutex mutex_;
    std::map<uint32_t, ExposureRecord> waiting_;
    // Last outcomes that came before their line (a camera gone answers at
    // once).
    std::map<uint32_t, std::string> early_;
    // The files fetched so far for each exposure whose last outcome has
    // not come, or why its first file failed.
    std::map<uint32_t, std::string> fetched_;
    std::map<uint32_t, std::string> failed_;
    // Exposures whose frame is being measured, the files column of those
    // whose last outcome has come meanwhile, and figures not yet written.
    std::set<uint32_t> measuring_;
    std::map<uint32_t, std::string> ended_;
    std::map<uint32_t, StarFigures> figures_;
    // Figures for the line, taken from those kept (under the mutex).
    void TakeFigures(uint32_t exposure, ExposureRecord& line);
};

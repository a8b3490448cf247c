#include "runner/camera_files_log.h"

#include <mutex>

namespace {

std::string FileColumn(const CameraFileOutcome& outcome)
{
    return outcome.file.empty() ? outcome.reason : outcome.file;
}

// A waiting line as it is to stay if the program dies before its files are
// known: with those fetched so far.
ExposureRecord IfEndedNow(ExposureRecord record, const std::string& fetched)
{
    record.file = fetched.empty() ? "not fetched: the program ended" : fetched;
    return record;
}

}  // namespace

void CameraFilesLog::Log(const ExposureRecord& record)
{
    CameraLink* camera = camera_;
    if (!camera) {
        log_.Log(record);
        return;
    }
    const uint32_t exposure = camera->ExposureEnded(countExposures_ ? ++exposures_ : record.frame);
    lastExposure_ = exposure;
    ExposureRecord line = record;
    {
        std::lock_guard<PiMutex> lock(mutex_);
        const auto early = early_.find(exposure);
        if (early == early_.end()) {
            waiting_[exposure] = record;
            log_.Hold(exposure, IfEndedNow(record, ""));
            return;
        }
        line.file = early->second;
        early_.erase(early);
    }
    log_.Log(line);
}

void CameraFilesLog::Outcome(const CameraFileOutcome& outcome)
{
    if (outcome.exposure == 0 || outcome.kind == FileOutcome::FETCHING || outcome.kind == FileOutcome::GONE)
        return;
    ExposureRecord line;
    {
        std::lock_guard<PiMutex> lock(mutex_);
        if (outcome.kind != FileOutcome::LAST) {  // kept for a line written before the last outcome
            if (outcome.kind == FileOutcome::WRITTEN) {
                std::string& fetched = fetched_[outcome.exposure];
                fetched += (fetched.empty() ? "" : " ") + outcome.file;
                const auto waiting = waiting_.find(outcome.exposure);
                if (waiting != waiting_.end())
                    log_.Hold(outcome.exposure, IfEndedNow(waiting->second, fetched));
            } else {
                failed_.emplace(outcome.exposure, outcome.reason);
            }
            return;
        }
        fetched_.erase(outcome.exposure);
        failed_.erase(outcome.exposure);
        const auto waiting = waiting_.find(outcome.exposure);
        if (waiting == waiting_.end()) {
            early_[outcome.exposure] = FileColumn(outcome);
            return;
        }
        line = waiting->second;
        line.heldAs = outcome.exposure;
        waiting_.erase(waiting);
    }
    line.file = FileColumn(outcome);
    log_.Log(line);
}

bool CameraFilesLog::Flush(std::chrono::milliseconds limit)
{
    std::map<uint32_t, ExposureRecord> waiting;
    std::map<uint32_t, std::string> fetched, failed;
    {
        std::lock_guard<PiMutex> lock(mutex_);
        waiting.swap(waiting_);
        fetched.swap(fetched_);
        failed.swap(failed_);
    }
    for (auto& [exposure, line] : waiting) {
        line.heldAs = exposure;
        line.file = fetched.count(exposure) ? fetched[exposure]
            : failed.count(exposure)        ? failed[exposure]
                                            : "not fetched: closed";
        log_.Log(line);
    }
    return log_.Flush(limit);
}

#include "runner/camera_files_log.h"

#include <cstdio>
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
    camera->NameNextFiles(record.type, record.target);
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
        TakeFigures(exposure, line);
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
        if (measuring_.count(outcome.exposure)) {
            ended_[outcome.exposure] = FileColumn(outcome);
            return;
        }
        line = waiting->second;
        line.heldAs = outcome.exposure;
        waiting_.erase(waiting);
        TakeFigures(outcome.exposure, line);
    }
    line.file = FileColumn(outcome);
    log_.Log(line);
}

void CameraFilesLog::Measuring(uint32_t exposure)
{
    std::lock_guard<PiMutex> lock(mutex_);
    measuring_.insert(exposure);
}

void CameraFilesLog::Measured(uint32_t exposure, const StarFigures* figures)
{
    ExposureRecord line;
    {
        std::lock_guard<PiMutex> lock(mutex_);
        measuring_.erase(exposure);
        if (figures)
            figures_[exposure] = *figures;
        const auto ended = ended_.find(exposure);
        const auto waiting = waiting_.find(exposure);
        if (ended == ended_.end() || waiting == waiting_.end())
            return;
        line = waiting->second;
        line.heldAs = exposure;
        line.file = ended->second;
        waiting_.erase(waiting);
        ended_.erase(ended);
        TakeFigures(exposure, line);
    }
    log_.Log(line);
}

bool CameraFilesLog::Waiting(uint32_t exposure, ExposureRecord& record)
{
    std::lock_guard<PiMutex> lock(mutex_);
    const auto waiting = waiting_.find(exposure);
    if (waiting == waiting_.end())
        return false;
    record = waiting->second;
    return true;
}

void CameraFilesLog::TakeFigures(uint32_t exposure, ExposureRecord& line)
{
    const auto figures = figures_.find(exposure);
    if (figures == figures_.end())
        return;
    char hfr[32];
    std::snprintf(hfr, sizeof hfr, "%.2f", figures->second.hfrPx);
    line.stars = std::to_string(figures->second.count);
    line.hfrPx = figures->second.count > 0 ? hfr : "";
    figures_.erase(figures);
}

bool CameraFilesLog::Flush(std::chrono::milliseconds limit)
{
    EndWaiting("not fetched: closed");
    return log_.Flush(limit);
}

void CameraFilesLog::EndWaiting(const std::string& why)
{
    std::map<uint32_t, ExposureRecord> waiting;
    std::map<uint32_t, std::string> fetched, failed, ended;
    {
        std::lock_guard<PiMutex> lock(mutex_);
        waiting.swap(waiting_);
        fetched.swap(fetched_);
        failed.swap(failed_);
        ended.swap(ended_);
        measuring_.clear();
        for (auto& [exposure, line] : waiting)
            TakeFigures(exposure, line);
    }
    for (auto& [exposure, line] : waiting) {
        line.heldAs = exposure;
        line.file = ended.count(exposure) ? ended[exposure]
            : fetched.count(exposure)     ? fetched[exposure]
            : failed.count(exposure)      ? failed[exposure]
                                          : why;
        log_.Log(line);
    }
}

// The exposure log: one CSV line per exposure, appended to
// $XDG_DATA_HOME/vantrel/exposures.csv (~/.local/share/vantrel/...) and
// flushed to the disk, by a writer thread of its own so that a slow disk
// never holds up a run. No toolkit.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

inline constexpr const char* EXPOSURE_LOG_HEADER =
    "start_utc,end_utc,held_ms,frame,frames,set_s,port,af_mode,mirror_lock,outcome,source,dither,guide_rms_px,"
    "guide_events,guided,file,stars,hfr_px,type,target";

struct ExposureRecord {
    int64_t startUtcMs = 0;  // wall clock, when the shutter line was set
    int64_t endUtcMs = 0;  // and released
    int64_t heldMs = 0;  // monotonic clock
    int32_t frame = 0;
    int32_t frames = 0;
    int32_t setMs = 0;  // the length asked for; "2", or "0.5" when not whole
    std::string port;  // the chooser entry, "DSUSB" or "none"
    int afMode = 0;
    bool mirrorLock = false;
    std::string outcome;  // done, aborted, closed, port-lost
    std::string source;  // window, script:<line>
    std::string dither;  // ok, failed, or empty
    // What the guider did while the shutter was open (see GuideRecord);
    // empty without a guider.
    std::string guideRmsPx;
    std::string guideEvents;
    std::string guided;
    // The camera's files for it ("M42_0007.cr2 M42_0007.jpg"), or why none
    // came ("timed out", "no camera", "download failed: …"); empty when no
    // camera is linked.
    std::string file;
    // The stars measured on its frame and their median half-flux radius in
    // pixels ("2.84"); empty when its frame was not measured.
    std::string stars;
    std::string hfrPx;
    // The frame type ("Light") and the target ("M42", or empty).
    std::string type;
    std::string target;
    // Not in the line: the key its waiting form was held under (Hold), 0
    // for none.
    uint64_t heldAs = 0;
};

// "2026-12-07T21:04:05.123Z".
std::string FormatUtc(int64_t unixMs);
// A length in seconds as the user asked for it: "2", "0.5", "1.25".
std::string SecondsText(int32_t ms);
// The record's line; a control character in a text becomes a space.
std::string ExposureLine(const ExposureRecord& record);
// A line of the log split into its fields (quoted as RFC 4180 has it,
// within the line); false for one that is not a line of fields (a quote
// left open).
bool SplitLogLine(const std::string& line, std::vector<std::string>& fields);
// Whether `text` is UTF-8; the same text with each byte that is not
// replaced by U+FFFD.
bool ValidUtf8(const std::string& text);
std::string ValidUtf8Text(const std::string& text);
// Where the log goes, by the environment.
std::string ExposureLogPath();

class ExposureLog {
public:
    virtual ~ExposureLog() = default;
    // An exposure (or its mirror lock-up pulse) is about to set the
    // shutter line; its record follows at its end. Never waits.
    virtual void ExposureStarting() { }
    // Queues the record's line; it is written later, off the run's thread.
    // A line held before (heldAs) is let go once this one is on the disk.
    virtual void Log(const ExposureRecord& record) = 0;
    // A line that waits for more (its exposure's files), in the form it
    // should take if the program died now: kept in a journal beside the log
    // (exposures-waiting-<pid>-<random>.csv, with a lock its program holds
    // while it lives) until Log writes its final form. A journal whose
    // program has died is written into the log by the next one, once, but
    // for lines that are not the log's. Holding a key again replaces its
    // line. Never waits.
    virtual void Hold(uint64_t /*key*/, const ExposureRecord& /*record*/) { }
    // Waits until every queued line is on the disk (or has failed), at most
    // `limit`; false when the writer is still busy then (a hung disk).
    virtual bool Flush(std::chrono::milliseconds limit = std::chrono::hours(1)) = 0;
    // Why the last line could not be written ("No space left on device"),
    // or empty when it was.
    virtual std::string Failure() = 0;
};

// The file above, appended by a writer thread (one for the process) that
// adds the header first in a new file and fsyncs each line. A record is
// never torn: a write that fails or falls short is cut off the file again,
// and the record goes with the next one. Only a regular file is written (a
// FIFO or a device is skipped). A log that cannot be written is reported
// once on stderr, and the run goes on.
std::unique_ptr<ExposureLog> MakeFileExposureLog();

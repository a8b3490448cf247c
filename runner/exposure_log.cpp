#include "runner/exposure_log.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

std::string Field(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

bool MakeFolders(const std::string& path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        if (mkdir(path.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    return true;
}

bool WriteAll(int fd, const std::string& text)
{
    for (size_t done = 0; done < text.size();) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

// Written as one piece, or not at all: a short or failed write is cut off
// again, so that a full disk never leaves half a record for the next one to
// be glued onto. Returns 0 or the errno of what failed.
int AppendWhole(int fd, const std::string& text, off_t size)
{
    if (WriteAll(fd, text) && fsync(fd) == 0)
        return 0;
    const int error = errno != 0 ? errno : EIO;
    if (ftruncate(fd, size) == 0)
        fsync(fd);
    return error;
}

// The records at a time: open, append (the header first into an empty file,
// a line break first after a last line without one), fsync, close, so that
// a crash loses at most the exposure in progress. Only a regular file is
// opened: O_NONBLOCK keeps a FIFO without a reader from holding the writer
// (and the exit) for ever. Returns 0, NOT_A_FILE or the errno of what failed.
constexpr int NOT_A_FILE = -1;
// A night of records waits for a disk that has room again; past that, they
// are given up rather than memory.
constexpr size_t MAX_UNWRITTEN_BYTES = 1 << 20;
constexpr auto RETRY_INTERVAL = std::chrono::seconds(10);

// A log whose first line is another header (an older layout) is never
// rewritten: it is renamed "exposures-until-YYYY-MM-DD.csv" (today's date;
// "-2", "-3", ... after it when that name is taken) and a new log begins.
void PutAsideOtherLayout(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return;
    const std::string header = std::string(EXPOSURE_LOG_HEADER) + "\n";
    std::string first(header.size(), '\0');
    struct stat info { };
    const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0;
    const ssize_t got = regular ? pread(fd, &first[0], first.size(), 0) : -1;
    close(fd);
    if (!regular || (got == static_cast<ssize_t>(header.size()) && first == header))
        return;
    const time_t now = time(nullptr);
    struct tm day { };
    localtime_r(&now, &day);
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", &day);
    const std::string stem = path.substr(0, path.rfind('/') + 1) + "exposures-until-" + date;
    std::string target = stem + ".csv";
    for (int n = 2; access(target.c_str(), F_OK) == 0; ++n)
        target = stem + "-" + std::to_string(n) + ".csv";
    if (rename(path.c_str(), target.c_str()) == 0)
        std::fprintf(stderr, "vantrel: the exposure log's columns have changed; the old log is now %s\n",
                     target.c_str());
}

int Append(const std::string& records)
{
    const std::string path = ExposureLogPath();
    if (!MakeFolders(path))
        return errno;
    PutAsideOtherLayout(path);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno == ENXIO ? NOT_A_FILE : errno;  // ENXIO: a FIFO nobody reads
    struct stat info { };
    int error = fstat(fd, &info) != 0 ? errno : S_ISREG(info.st_mode) ? 0 : NOT_A_FILE;
    if (error == 0) {
        std::string text = records;
        char last = '\n';
        if (info.st_size == 0)
            text = std::string(EXPOSURE_LOG_HEADER) + "\n" + text;
        else if (pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n')
            text = "\n" + text;
        error = AppendWhole(fd, text, info.st_size);
    }
    if (close(fd) != 0 && error == 0)
        error = errno;
    return error;
}

std::string JournalPath(pid_t pid)
{
    const std::string path = ExposureLogPath();
    return path.substr(0, path.rfind('/')) + "/exposures-waiting-" + std::to_string(pid) + ".csv";
}

// The lines held, written whole under a new name and renamed over the old:
// never half a journal. None: no journal.
void WriteJournal(const std::map<uint64_t, std::string>& held)
{
    const std::string path = JournalPath(getpid());
    if (held.empty()) {
        unlink(path.c_str());
        return;
    }
    std::string text;
    for (const auto& [key, line] : held)
        text += line + "\n";
    const std::string fresh = path + ".new";
    if (!MakeFolders(path))
        return;
    const int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const bool written = WriteAll(fd, text) && fsync(fd) == 0;
    close(fd);
    if (!written || rename(fresh.c_str(), path.c_str()) != 0)
        unlink(fresh.c_str());
}

// The start of a line that tells it from every other: its times and frame.
std::string LineKey(const std::string& line)
{
    size_t end = 0;
    for (int field = 0; field < 4 && end != std::string::npos; ++field)
        end = line.find(',', end + 1);
    return line.substr(0, end);
}

constexpr std::streamoff LOG_TAIL_BYTES = 1 << 20;

// The journals of programs that have died: their lines go into the log,
// but for those it has already (a program that died between writing a
// line and letting it go), and the journal goes.
void TakeOverJournals()
{
    const std::string path = ExposureLogPath();
    const std::string folder = path.substr(0, path.rfind('/'));
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return;
    std::vector<std::string> journals;
    while (const dirent* entry = readdir(dir)) {
        int pid = 0;
        int end = 0;
        const std::string name = entry->d_name;
        if (std::sscanf(name.c_str(), "exposures-waiting-%d.csv%n", &pid, &end) == 1 &&
            static_cast<size_t>(end) == name.size() && pid != getpid() && kill(pid, 0) != 0 && errno == ESRCH)
            journals.push_back(folder + "/" + name);
    }
    closedir(dir);
    for (const std::string& journal : journals) {
        // A line the dead program wrote stands near the log's end.
        std::ifstream log(path, std::ios::binary | std::ios::ate);
        const std::streamoff size = log ? static_cast<std::streamoff>(log.tellg()) : 0;
        std::string logged(static_cast<size_t>(std::min<std::streamoff>(size, LOG_TAIL_BYTES)), '\0');
        log.seekg(size - static_cast<std::streamoff>(logged.size()));
        log.read(&logged[0], static_cast<std::streamsize>(logged.size()));
        logged.insert(0, "\n");
        std::ifstream held(journal);
        std::string records;
        for (std::string line; std::getline(held, line);)
            if (!line.empty() && logged.find("\n" + LineKey(line) + ",") == std::string::npos)
                records += line + "\n";
        if (records.empty() || Append(records) == 0)
            unlink(journal.c_str());
    }
}

// Lives as long as the process: the exit-time handlers flush it.
class Writer {
public:
    // A line to append (and then the key it was held under to let go), or
    // a line to hold under `key`.
    struct Item {
        std::string line;
        uint64_t key = 0;
        bool hold = false;
    };

    void Queue(Item item)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable())
            thread_ = std::thread([this] { Run(); });
        lines_.push_back(std::move(item));
        changed_.notify_all();
    }

    std::string Failure()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return failure_;
    }

    // Records that could not be written are tried again here too.
    bool Flush(std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        retryNow_ = !unwritten_.empty();
        changed_.notify_all();
        return changed_.wait_for(lock, limit, [this] { return lines_.empty() && !writing_ && !retryNow_; });
    }

private:
    void Run()
    {
        // Started from the run's thread: not at its real-time priority.
        const sched_param normal{};
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
        std::unique_lock<std::mutex> lock(mutex_);
        writing_ = true;
        lock.unlock();
        TakeOverJournals();
        lock.lock();
        writing_ = false;
        for (;;) {
            // Records that could not be written go again with the next one,
            // at a flush, or after a while by themselves (the night's last
            // frame, once the disk has room again).
            changed_.wait_for(lock, RETRY_INTERVAL, [this] { return !lines_.empty() || retryNow_; });
            if (lines_.empty() && unwritten_.empty()) {
                retryNow_ = false;
                continue;
            }
            std::string records = std::move(unwritten_);
            unwritten_.clear();
            bool journal = false;
            for (; !lines_.empty() && lines_.front().hold; lines_.pop_front()) {
                held_[lines_.front().key] = lines_.front().line;
                journal = true;
            }
            if (!lines_.empty()) {
                records += lines_.front().line + "\n";
                if (lines_.front().key != 0)
                    releasing_.push_back(lines_.front().key);
                lines_.pop_front();
            }
            retryNow_ = false;
            writing_ = true;
            lock.unlock();
            if (journal)
                WriteJournal(held_);
            if (records.empty()) {
                lock.lock();
                writing_ = false;
                changed_.notify_all();
                continue;
            }
            const int error = Append(records);
            // Held lines are let go once their final form is on the disk.
            if ((error == 0 || error == NOT_A_FILE) && !releasing_.empty()) {
                for (uint64_t key : releasing_)
                    held_.erase(key);
                releasing_.clear();
                WriteJournal(held_);
            }
            if (error != 0 && !complained_) {
                complained_ = true;
                std::fprintf(stderr, "vantrel: cannot write the exposure log %s: %s\n", ExposureLogPath().c_str(),
                             error == NOT_A_FILE ? "not a regular file; no exposure is logged" : std::strerror(error));
            }
            lock.lock();
            failure_ = error == 0 ? "" : error == NOT_A_FILE ? "not a regular file" : std::strerror(error);
            // Not kept for a FIFO or a device: those are never written.
            if (error != 0 && error != NOT_A_FILE && records.size() <= MAX_UNWRITTEN_BYTES)
                unwritten_ = std::move(records);
            writing_ = false;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Item> lines_;
    std::string unwritten_;
    // The writer thread's own: the journal's lines, and the keys to let go
    // once unwritten_ is written.
    std::map<uint64_t, std::string> held_;
    std::vector<uint64_t> releasing_;
    std::string failure_;
    bool writing_ = false;
    bool retryNow_ = false;
    bool complained_ = false;
    std::thread thread_;
};

Writer& TheWriter()
{
    static Writer* const writer = new Writer;
    return *writer;
}

}  // namespace

std::string FormatUtc(int64_t unixMs)
{
    const time_t seconds = static_cast<time_t>(unixMs / 1000 - (unixMs % 1000 < 0 ? 1 : 0));
    const int millis = static_cast<int>(unixMs - int64_t{seconds} * 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}

std::string SecondsText(int32_t ms)
{
    if (ms % 1000 == 0)
        return std::to_string(ms / 1000);
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", ms / 1000.0);
    std::string shown = text;
    return shown.substr(0, shown.find_last_not_of('0') + 1);
}

std::string ExposureLine(const ExposureRecord& r)
{
    return FormatUtc(r.startUtcMs) + "," + FormatUtc(r.endUtcMs) + "," + std::to_string(r.heldMs) + "," +
        std::to_string(r.frame) + "," + std::to_string(r.frames) + "," + SecondsText(r.setMs) + "," + Field(r.port) +
        "," + std::to_string(r.afMode) + "," + (r.mirrorLock ? "1" : "0") + "," + r.outcome + "," + Field(r.source) +
        "," + Field(r.dither) + "," + r.guideRmsPx + "," + Field(r.guideEvents) + "," + r.guided + "," + Field(r.file) +
        "," + r.stars + "," + r.hfrPx + "," + r.type + "," + Field(r.target);
}

std::string ExposureLogPath()
{
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/')
        return std::string(data) + "/vantrel/exposures.csv";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.local/share/vantrel/exposures.csv";
}

namespace {
class FileExposureLog : public ExposureLog {
public:
    void Log(const ExposureRecord& record) override { TheWriter().Queue({ExposureLine(record), record.heldAs}); }
    void Hold(uint64_t key, const ExposureRecord& record) override
    {
        TheWriter().Queue({ExposureLine(record), key, true});
    }
    bool Flush(std::chrono::milliseconds limit) override { return TheWriter().Flush(limit); }
    std::string Failure() override { return TheWriter().Failure(); }
};
}  // namespace

std::unique_ptr<ExposureLog> MakeFileExposureLog() { return std::make_unique<FileExposureLog>(); }

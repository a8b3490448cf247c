#include "runner/exposure_log.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace {

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

// A control character (a line break, a tab, an escape) becomes a space: a
// record is one line of text, whoever reads it.
std::string Field(std::string text)
{
    std::replace_if(text.begin(), text.end(), IsControl, ' ');
    if (text.find_first_of(",\"") == std::string::npos)
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

const char* const JOURNAL_PREFIX = "exposures-waiting-";

std::string LogFolder()
{
    const std::string path = ExposureLogPath();
    return path.substr(0, path.rfind('/'));
}

// This program's journal, "exposures-waiting-<pid>-<random>": a pid used
// again (a service started at boot) never names another program's. While
// it lives, the program holds a lock on "<stem>.lock", which the kernel
// lets go when it dies however it dies.
class Journal {
public:
    const std::string& Stem()
    {
        if (stem_.empty()) {
            char random[9];
            std::snprintf(random, sizeof random, "%08x", static_cast<unsigned>(std::random_device()()));
            stem_ = std::string(JOURNAL_PREFIX) + std::to_string(getpid()) + "-" + random;
        }
        return stem_;
    }

    // The lines held, written whole under a new name and renamed over the
    // old: never half a journal. None: no journal, and no lock.
    void Write(const std::map<uint64_t, std::string>& held)
    {
        const std::string path = LogFolder() + "/" + Stem();
        if (held.empty()) {
            unlink((path + ".csv").c_str());
            if (lock_ >= 0) {
                unlink((path + ".lock").c_str());
                close(lock_);
                lock_ = -1;
            }
            return;
        }
        std::string text;
        for (const auto& [key, line] : held)
            text += line + "\n";
        if (!MakeFolders(path))
            return;
        if (lock_ < 0) {
            lock_ = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (lock_ >= 0 && flock(lock_, LOCK_EX | LOCK_NB) != 0) {
                close(lock_);
                lock_ = -1;
            }
            if (lock_ < 0)
                return;
        }
        const std::string fresh = path + ".csv.new";
        const int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0)
            return;
        const bool written = WriteAll(fd, text) && fsync(fd) == 0;
        close(fd);
        if (!written || rename(fresh.c_str(), (path + ".csv").c_str()) != 0)
            unlink(fresh.c_str());
    }

private:
    std::string stem_;
    int lock_ = -1;
};

// The start of a line that tells it from every other: its times and frame.
std::string LineKey(const std::string& line)
{
    size_t end = 0;
    for (int field = 0; field < 4 && end != std::string::npos; ++field)
        end = line.find(',', end + 1);
    return line.substr(0, end);
}

// A line as this program writes it: the log's columns, its start a time,
// nothing but printable UTF-8.
bool LooksLogged(const std::string& line)
{
    static const size_t columns = [] {
        std::vector<std::string> header;
        SplitLogLine(EXPOSURE_LOG_HEADER, header);
        return header.size();
    }();
    std::vector<std::string> fields;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
    char zone = 0;
    return ValidUtf8(line) && std::none_of(line.begin(), line.end(), [](char c) { return IsControl(c); }) &&
        SplitLogLine(line, fields) && fields.size() == columns &&
        std::sscanf(fields[0].c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &year, &month, &day, &hour, &minute, &second,
                    &millis, &zone) == 8 &&
        zone == 'Z';
}

constexpr std::streamoff LOG_TAIL_BYTES = 1 << 20;
constexpr std::streamoff MAX_JOURNAL_BYTES = 4 << 20;  // a night of lines is far less

// The whole lines of a journal (a last line without its line break was
// being written when its program died).
std::vector<std::string> JournalLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream file(path, std::ios::binary);
    std::string text(static_cast<size_t>(MAX_JOURNAL_BYTES), '\0');
    file.read(&text[0], MAX_JOURNAL_BYTES);
    text.resize(static_cast<size_t>(file.gcount()));
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// Whether the program behind a journal's stem has died: its lock can be
// taken (then it is held until the journal is written), or, for a journal
// named by a pid alone, no such process lives but this one, which never
// names its journal so.
bool Dead(const std::string& folder, const std::string& stem, int& lock)
{
    int pid = 0, end = 0;
    const std::string name = stem;
    if (std::sscanf(name.c_str(), "exposures-waiting-%d%n", &pid, &end) == 1 && static_cast<size_t>(end) == name.size())
        return pid == getpid() || (kill(pid, 0) != 0 && errno == ESRCH);
    lock = open((folder + "/" + stem + ".lock").c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (lock < 0)
        return errno == ENOENT;
    return flock(lock, LOCK_EX | LOCK_NB) == 0;
}

// The journals of programs that have died: their lines go into the log,
// but for those it has already (a program that died between writing a
// line and letting it go) and those that are not a log's lines (junk, a
// line cut off), which are told on stderr; the journal goes once its lines
// are in the log.
void TakeOverJournals(const std::string& own)
{
    const std::string path = ExposureLogPath();
    const std::string folder = LogFolder();
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return;
    std::set<std::string> stems;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.rfind(JOURNAL_PREFIX, 0) != 0)
            continue;
        for (const char* ending : {".csv", ".csv.new", ".lock"})
            if (name.size() > std::strlen(ending) &&
                name.compare(name.size() - std::strlen(ending), std::string::npos, ending) == 0) {
                stems.insert(name.substr(0, name.size() - std::strlen(ending)));
                break;
            }
    }
    closedir(dir);
    for (const std::string& stem : stems) {
        int lock = -1;
        if (stem == own || !Dead(folder, stem, lock)) {
            if (lock >= 0)
                close(lock);
            continue;
        }
        const std::string journal = folder + "/" + stem + ".csv";
        // A line the dead program wrote stands near the log's end.
        std::ifstream log(path, std::ios::binary | std::ios::ate);
        const std::streamoff size = log ? static_cast<std::streamoff>(log.tellg()) : 0;
        std::string logged(static_cast<size_t>(std::min<std::streamoff>(size, LOG_TAIL_BYTES)), '\0');
        log.seekg(size - static_cast<std::streamoff>(logged.size()));
        log.read(&logged[0], static_cast<std::streamsize>(logged.size()));
        logged.insert(0, "\n");
        // The journal, and the newer one it died writing.
        std::vector<std::string> lines = JournalLines(journal);
        for (const std::string& line : JournalLines(journal + ".new")) {
            const auto same = std::find_if(lines.begin(), lines.end(),
                                           [&](const std::string& held) { return LineKey(held) == LineKey(line); });
            if (same != lines.end())
                *same = line;
            else
                lines.push_back(line);
        }
        std::string records;
        for (const std::string& line : lines) {
            if (!LooksLogged(line))
                std::fprintf(stderr, "vantrel: a damaged line of %s is left out of the exposure log\n",
                             journal.c_str());
            else if (logged.find("\n" + LineKey(line) + ",") == std::string::npos)
                records += line + "\n";
        }
        if (records.empty() || Append(records) == 0) {
            unlink(journal.c_str());
            unlink((journal + ".new").c_str());
            unlink((folder + "/" + stem + ".lock").c_str());
        }
        if (lock >= 0)
            close(lock);
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
        TakeOverJournals(journal_.Stem());
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
                journal_.Write(held_);
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
                journal_.Write(held_);
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
    Journal journal_;
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

bool SplitLogLine(const std::string& line, std::vector<std::string>& fields)
{
    fields.assign(1, "");
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"')
            fields.back() += line[++i];
        else if (c == '"')
            quoted = !quoted;
        else if (c == ',' && !quoted)
            fields.emplace_back();
        else if (c != '\r' || quoted)
            fields.back() += c;
    }
    return !quoted;
}

// GLib's own reading of UTF-8 (no overlong form, no surrogate).
bool ValidUtf8(const std::string& text)
{
    return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr);
}

std::string ValidUtf8Text(const std::string& text)
{
    gchar* valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
    std::string made(valid);
    g_free(valid);
    return made;
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

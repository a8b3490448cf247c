// The exposure log's writer against a file system that fails it: a full
// disk (a file-size limit makes the kernel cut writes short), a last line
// that another program left without its line break, a FIFO in the log's
// place. A record is whole or absent, and nothing waits for ever.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "runner/camera_files_log.h"
#include "runner/exposure_log.h"
#include "runner/night_summary.h"
#include "tests/fakes.h"

namespace {

std::string Read(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// The stems of the waiting-lines journals in `folder`.
std::vector<std::string> Journals(const std::string& folder)
{
    std::vector<std::string> stems;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename();
        const std::string stem = name.substr(0, name.find('.'));
        if (name.rfind("exposures-waiting-", 0) == 0 && std::find(stems.begin(), stems.end(), stem) == stems.end())
            stems.push_back(stem);
    }
    return stems;
}

ExposureRecord Record(int frame)
{
    ExposureRecord record;
    record.startUtcMs = 1796677200000;
    record.endUtcMs = record.startUtcMs + 1000;
    record.heldMs = 1000;
    record.frame = frame;
    record.frames = 9;
    record.setMs = 1000;
    record.port = "COM5";
    record.outcome = "done";
    record.source = "window";
    return record;
}

// Holds the process's files to `bytes` (RLIMIT_FSIZE) while it lives: a
// write past it is cut short, the next fails with EFBIG.
class FullDisk {
public:
    explicit FullDisk(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &before_);
        rlimit limit = before_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FullDisk() { setrlimit(RLIMIT_FSIZE, &before_); }

private:
    rlimit before_{};
};

class ExposureLogFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder[] = "/tmp/vantrel-log-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
        setenv("XDG_DATA_HOME", folder, 1);
        mkdir((folder_ + "/vantrel").c_str(), 0755);
        path = ExposureLogPath();
        ASSERT_EQ(path, folder_ + "/vantrel/exposures.csv");
        setenv("VANTREL_SHIM_SYNC_LOG", (folder_ + "/syncs").c_str(), 1);
    }
    void TearDown() override { std::system(("rm -rf " + folder_).c_str()); }

    std::string path;
    std::unique_ptr<ExposureLog> logFile = MakeFileExposureLog();

private:
    std::string folder_;
};

const std::string HEADER = std::string(EXPOSURE_LOG_HEADER) + "\n";

TEST_F(ExposureLogFile, ARecordIsWholeOrAbsent)
{
    const std::string one = ExposureLine(Record(1)) + "\n";
    const std::string two = ExposureLine(Record(2)) + "\n";
    struct Row {
        const char* name;
        std::string before;  // the file's text; the log is then written with record 1
        std::function<void()> during;  // while record 1 is written
        std::string after;  // once record 2 has been written too
    };
    const Row rows[] = {
        {"a new file gets the header", "", nullptr, HEADER + one + two},
        {"a last line without its line break is ended first", HEADER + "2026-12-08,half a line", nullptr,
         HEADER + "2026-12-08,half a line\n" + one + two},
        {"a full disk cuts the record off; it goes again at the next flush, once there is room", HEADER, [] {},
         HEADER + one + two},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::remove(path.c_str());
        if (!row.before.empty())
            Write(path, row.before);
        if (row.during) {
            {
                FullDisk full(row.before.size() + 20);
                logFile->Log(Record(1));
                ASSERT_TRUE(logFile->Flush());
                EXPECT_EQ(Read(path), row.before) << "torn";
            }
            ASSERT_TRUE(logFile->Flush());
            EXPECT_EQ(Read(path), row.before + one) << "not tried again";
        } else {
            logFile->Log(Record(1));
            ASSERT_TRUE(logFile->Flush());
        }
        logFile->Log(Record(2));
        ASSERT_TRUE(logFile->Flush());
        EXPECT_EQ(Read(path), row.after);
        // On the disk before the writer goes on (the device shim sees it).
        const std::string syncs = getenv("VANTREL_SHIM_SYNC_LOG");
        if (std::string(getenv("LD_PRELOAD") ? getenv("LD_PRELOAD") : "").find("device_shim") != std::string::npos) {
            EXPECT_NE(Read(syncs).find(path + "\n"), std::string::npos);
        }
        std::remove(syncs.c_str());
    }
}

// A log of an older layout is never rewritten: it is put aside under
// today's date (twice on one day: "-2"), and a new log begins.
TEST_F(ExposureLogFile, ALogWithOtherColumnsIsPutAside)
{
    const std::string old = "start_utc,end_utc,held_ms,frame,frames,set_s,port,af_mode,mirror_lock,outcome,"
                            "source,dither\n2026-12-01T21:00:00.000Z,x\n";
    const time_t now = time(nullptr);
    struct tm day { };
    localtime_r(&now, &day);
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", &day);
    const std::string folder = path.substr(0, path.rfind('/') + 1);
    for (const std::string suffix : {"", "-2"}) {
        Write(path, old);
        logFile->Log(Record(1));
        ASSERT_TRUE(logFile->Flush());
        EXPECT_EQ(Read(folder + "exposures-until-" + date + suffix + ".csv"), old);
        EXPECT_EQ(Read(path), HEADER + ExposureLine(Record(1)) + "\n");
    }
}

// The writer is started by the first line, which comes from the run's
// real-time thread; it runs at the ordinary priority all the same.
TEST_F(ExposureLogFile, TheWriterNeverTakesTheRunsPriority)
{
    std::string skipped;
    std::thread([&] {
        sched_param realTime{};
        realTime.sched_priority = 10;
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &realTime) != 0) {
            skipped = "no real-time priority here";
            return;
        }
        logFile->Log(Record(1));
        logFile->Flush();
    }).join();
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        EXPECT_EQ(sched_getscheduler(std::stoi(task.path().filename())), SCHED_OTHER) << task.path();
}

TEST_F(ExposureLogFile, AFifoInItsPlaceIsSkippedAndNeverHoldsTheWriter)
{
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    logFile->Log(Record(1));
    EXPECT_TRUE(logFile->Flush(std::chrono::seconds(5)));
    struct stat info { };
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    // Nothing of it is kept for a regular file later.
    std::remove(path.c_str());
    logFile->Log(Record(2));
    ASSERT_TRUE(logFile->Flush());
    EXPECT_EQ(Read(path), HEADER + ExposureLine(Record(2)) + "\n");
}

// A line that waits for its camera's files is not lost when the program
// dies: the next one writes it from the journal, with the files fetched so
// far, once.
TEST_F(ExposureLogFile, ALineWaitingWhenTheProgramDiesIsWrittenByTheNext)
{
    class Link : public CameraLink {
    public:
        std::string Description() const override { return ""; }
        bool Connected() const override { return true; }
        uint32_t ExposureEnded(int32_t) override { return ++next; }
        uint32_t next = 0;
    };
    const pid_t child = fork();
    if (child == 0) {
        Link camera;
        CameraFilesLog log(*logFile);
        log.Link(&camera);
        log.Log(Record(1));  // waits: nothing comes
        log.Outcome({FileOutcome::LAST, 2, 2, "", "no camera"});
        log.Log(Record(2));  // written at once: its outcome came first
        log.Log(Record(3));
        log.Outcome({FileOutcome::WRITTEN, 3, 3, "M42_0003.cr2", ""});
        logFile->Flush(std::chrono::seconds(5));
        _exit(0);  // killed: no exit-time flush
    }
    ASSERT_GT(child, 0);
    int status = 0;
    waitpid(child, &status, 0);
    const std::string folder = path.substr(0, path.rfind('/'));
    const std::string stem = Journals(folder).at(0);
    const std::string journal = folder + "/" + stem + ".csv";
    EXPECT_EQ(stem.rfind("exposures-waiting-" + std::to_string(child) + "-", 0), 0u);
    EXPECT_NE(Read(journal), "");
    ExposureRecord one = Record(1);
    one.file = "not fetched: the program ended";
    ExposureRecord three = Record(3);
    three.file = "M42_0003.cr2";
    ExposureRecord two = Record(2);
    two.file = "no camera";
    logFile->Log(Record(4));
    ASSERT_TRUE(logFile->Flush());
    EXPECT_EQ(Read(path),
              HEADER + ExposureLine(two) + "\n" + ExposureLine(one) + "\n" + ExposureLine(three) + "\n" +
                  ExposureLine(Record(4)) + "\n");
    EXPECT_EQ(Journals(folder), std::vector<std::string>{});
}

// The journals another program finds: a live program's is left alone (its
// lock held), a dead one's taken whatever its pid (this one's own, reused),
// with the newer journal it died writing; junk and a line cut off are left
// out; a journal whose lines cannot be appended is kept.
TEST_F(ExposureLogFile, TheJournalsOfDeadProgramsAreTakenOverWhole)
{
    const std::string folder = path.substr(0, path.rfind('/'));
    const std::string alive = folder + "/exposures-waiting-1-0000beef";
    const int lock = open((alive + ".lock").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    Write(alive + ".csv", ExposureLine(Record(1)) + "\n");
    const std::string reused = folder + "/exposures-waiting-" + std::to_string(getpid());
    Write(reused + ".csv",
          ExposureLine(Record(2)) + "\n\x01\xfe junk\n" + ExposureLine(Record(9)).substr(0, 60) + "\n");
    const std::string dead = folder + "/exposures-waiting-7-0000dead";
    Write(dead + ".csv", ExposureLine(Record(3)) + "\n");
    ExposureRecord three = Record(3);
    three.file = "M42_0003.cr2";
    Write(dead + ".csv.new", ExposureLine(three) + "\n" + ExposureLine(Record(4)) + "\n" + ExposureLine(Record(5)));
    Write(dead + ".lock", "");
    // A program that cannot write the log (a directory in its place) keeps
    // them. (Forked before this one's writer thread starts.)
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    const pid_t child = fork();
    if (child == 0) {
        logFile->Log(Record(7));
        _exit(logFile->Flush(std::chrono::seconds(5)) ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(Journals(folder).size(), 3u);
    rmdir(path.c_str());
    logFile->Log(Record(8));
    ASSERT_TRUE(logFile->Flush());
    const std::string logged = Read(path);
    for (int frame : {2, 4, 8})
        EXPECT_NE(logged.find(ExposureLine(Record(frame)) + "\n"), std::string::npos) << frame;
    EXPECT_NE(logged.find(ExposureLine(three) + "\n"), std::string::npos);
    for (const std::string& left : {ExposureLine(Record(1)), ExposureLine(Record(5)), std::string("junk")})
        EXPECT_EQ(logged.find(left), std::string::npos) << left;
    EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 5);  // the header and four
    EXPECT_EQ(Journals(folder), std::vector<std::string>{"exposures-waiting-1-0000beef"});
    close(lock);
}

TEST(ExposureLine, FieldsWithCommasOrQuotesAreQuotedAndControlsAreSpaces)
{
    ExposureRecord record = Record(1);
    record.port = "/dev/serial/by-id/usb-FTDI,\"x\"\r";
    record.source = "script:4";
    const std::string line = ExposureLine(record);
    EXPECT_NE(line.find(",\"/dev/serial/by-id/usb-FTDI,\"\"x\"\" \",0,0,done,script:4,"), std::string::npos) << line;
}

// A line waits for its exposure's files, and is written once they are
// known, whichever comes first: the line or the camera's answer.
TEST(CameraFilesLog, ALineWaitsForItsExposuresFiles)
{
    class Link : public CameraLink {
    public:
        std::string Description() const override { return ""; }
        bool Connected() const override { return true; }
        uint32_t ExposureEnded(int32_t frame) override
        {
            if (gone)  // answers at once, before the line is held
                log->Outcome({FileOutcome::LAST, next + 1, frame, "", "no camera"});
            return ++next;
        }
        CameraFilesLog* log = nullptr;
        uint32_t next = 0;
        bool gone = false;
    };
    // The file column, before the frame's stars, HFR, type and target.
    const auto fileColumn = [](std::string line) {
        for (int i = 0; i < 4; ++i)
            line.erase(line.rfind(','));
        return line.substr(line.rfind(',') + 1);
    };
    FakeExposureLog lines;
    CameraFilesLog log(lines);
    log.Log(Record(1));  // no camera linked: at once, no file
    ASSERT_EQ(lines.lines.size(), 1u);
    EXPECT_EQ(fileColumn(lines.lines[0]), "");

    Link camera;
    camera.log = &log;
    log.Link(&camera);
    log.Log(Record(2));
    log.Outcome({FileOutcome::WRITTEN, 1, 2, "M42_0002.cr2", ""});
    EXPECT_EQ(lines.lines.size(), 1u);  // more may come
    log.Outcome({FileOutcome::LAST, 1, 2, "M42_0002.cr2 M42_0002.jpg", ""});
    ASSERT_EQ(lines.lines.size(), 2u);
    EXPECT_EQ(fileColumn(lines.lines[1]), "M42_0002.cr2 M42_0002.jpg");

    camera.gone = true;
    log.Log(Record(3));
    ASSERT_EQ(lines.lines.size(), 3u);
    EXPECT_EQ(fileColumn(lines.lines[2]), "no camera");

    camera.gone = false;
    log.Log(Record(4));
    log.Log(Record(5));
    log.Log(Record(6));
    log.Outcome({FileOutcome::WRITTEN, 4, 5, "M42_0005.nef", ""});
    log.Outcome({FileOutcome::FAILED, 5, 6, "", "download failed: I/O problem"});
    log.Flush();  // the program closes first: what came so far, or why not
    ASSERT_EQ(lines.lines.size(), 6u);
    EXPECT_EQ(fileColumn(lines.lines[3]), "not fetched: closed");
    EXPECT_EQ(fileColumn(lines.lines[4]), "M42_0005.nef");
    EXPECT_EQ(fileColumn(lines.lines[5]), "download failed: I/O problem");

    // A frame being measured: its line waits for the figures too.
    log.Log(Record(7));
    log.Outcome({FileOutcome::WRITTEN, 6, 7, "M42_0007.cr2", ""});
    log.Measuring(6);
    log.Outcome({FileOutcome::LAST, 6, 7, "M42_0007.cr2", ""});
    EXPECT_EQ(lines.lines.size(), 6u);
    StarFigures figures;
    figures.count = 41;
    figures.hfrPx = 2.8449;
    log.Measured(6, &figures);
    ASSERT_EQ(lines.lines.size(), 7u);
    EXPECT_NE(lines.lines[6].find(",M42_0007.cr2,41,2.84,"), std::string::npos) << lines.lines[6];
}

}  // namespace

// The night's summary: grouped by target and type, outcomes counted, only
// the lines since the night began, fields read by the header's names.
TEST(NightSummary, EachTargetAndTypeSummedUp)
{
    const std::string csv = std::string(EXPOSURE_LOG_HEADER) +
        "\n"
        "2026-12-07T11:00:00.000Z,x,60000,1,1,60,COM5,0,0,done,window,,,,,a.cr2,,,Light,M42\n"  // before the night
        "2026-12-07T21:00:00.000Z,x,300000,1,3,300,COM5,0,0,done,window,,,,suspect,M42_Light_0001.cr2,,,Light,M42\n"
        "2026-12-07T21:05:00.000Z,x,300000,2,3,300,COM5,0,0,stopped,window,,,,yes,timed out,,,Light,M42\n"
        "2026-12-07T21:10:00.000Z,x,1000,3,3,300,COM5,0,0,aborted,window,,,,,,,,Light,M42\n"
        "2026-12-07T21:11:00.000Z,x,1000,1,1,300,COM5,0,0,done,\"window,,,,,,,,Light,M42\n"  // damaged: alone
        "2026-12-07T21:12:00.000Z,x,1000,1,1\n"
        "2026-12-07T21:13:00.000Z,x,60000,1,1,60,COM5,0,0,done,window,,,,,,,,Light,M\xff\n"
        "2026-12-07T22:00:00.000Z,x,120000,1,1,120,COM5,0,0,done,script:3,,,,,\"no file: the camera took no "
        "picture\",,,Dark,\"NGC 7000, \"\"core\"\"\"\n";
    const int64_t night = 1796677200000;  // 2026-12-07T21:00:00Z
    EXPECT_EQ(SummaryText(SummariseLog(csv, night)),
              "M42, Light: 2 frames, 10 min 0 s; 1 aborted, 1 suspect, 1 without a file\n"
              "M\ufffd, Light: 1 frame, 1 min 0 s\n"
              "NGC 7000, \"core\", Dark: 1 frame, 2 min 0 s; 1 without a file");
    EXPECT_EQ(SummaryText(SummariseLog(csv, night + 86400000)), "No exposure logged.");
}

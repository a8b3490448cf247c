// How close real runs come to what the user set, and how quickly the window
// and Abort answer during them: real sequences as the program runs them (on
// the run's own thread and clock) through a recording serial port, timed in
// microseconds.
//
//   xvfb-run -a build/bench/timing_bench [--long] [--load] [--camera [--frames]]
//   --long: D = 300 s too. --load: under load: two processes that spin, one
//   that writes and syncs a file without pause, and Night Mode toggled
//   (every window restyled) 5 ms before each release. --camera: only the
//   1 s holds, each while the file of the exposure before it (25 MB) is
//   fetched from a fake camera (libgphoto2's directory camlib, the tests'
//   event shim preloaded). --frames: the file is a 24-megapixel DNG (the
//   tests' star field), read and measured for the Last Frame window while
//   the next exposure runs.
#include <wx/app.h>
#include <wx/checkbox.h>
#include <wx/init.h>
#include <wx/spinctrl.h>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>
#include <vector>

#include "app/settings.h"
#ifdef VANTREL_GPHOTO
#include "bench/fake_camera.h"
#include "tests/frame_maker.h"
#endif
#include "app/toolkit_clock.h"
#include "mainwindow/main_frame.h"
#include "ports/af_mode.h"
#include "ports/ports.h"
#include "tests/fakes.h"
#include "theme/night_mode.h"

namespace {

class NullNotifier : public DesktopNotifier {
public:
    void Notify(const std::string&, const std::string&) override { }
};

using SteadyClock = std::chrono::steady_clock;
const SteadyClock::time_point ORIGIN = SteadyClock::now();

int64_t Micros() { return std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - ORIGIN).count(); }

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void Report(const char* what, std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    std::printf("%-52s median %9.3f ms   max %9.3f ms   (%zu)\n", what, values[values.size() / 2], values.back(),
                values.size());
    std::fflush(stdout);
}

// From another thread: queues `action` into the window's event queue after
// `delayMs`, and returns the microsecond at which it was queued. Only the
// queueing happens there; the action runs on the GUI thread.
std::thread PostLater(int delayMs, std::atomic<int64_t>& postedAt, std::function<void()> action)
{
    return std::thread([delayMs, &postedAt, action] {
        // It stands for the input device: under load an ordinary thread may
        // be put off between reading the time and queueing, which is not
        // the window's delay.
        sched_param param{};
        param.sched_priority = 10;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        postedAt = Micros();
        wxTheApp->CallAfter(action);
    });
}

// The load: children that spin or write, ended with the bench.
class Load {
public:
    Load()
    {
        for (int i = 0; i < 2; ++i)
            Start([] {
                for (volatile unsigned long n = 0;; n = n + 1) { }
            });
        Start([] {
            char path[] = "/tmp/vantrel-load-XXXXXX";
            const int fd = mkstemp(path);
            unlink(path);
            std::vector<char> block(1 << 20, 'x');
            for (int n = 0;; ++n) {
                if (write(fd, block.data(), block.size()) < 0) { }
                fsync(fd);
                if (n % 64 == 63 && ftruncate(fd, 0) == 0)
                    lseek(fd, 0, SEEK_SET);
            }
        });
    }
    ~Load()
    {
        for (const pid_t child : children_) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }

private:
    void Start(void (*body)())
    {
        const pid_t child = fork();
        if (child == 0) {
            body();
            _exit(0);
        }
        children_.push_back(child);
    }
    std::vector<pid_t> children_;
};

// Under load, Night Mode is toggled this long before each release.
constexpr int RESTYLE_BEFORE_RELEASE_MS = 5;

// The fake camera's card and the folder its files go to (--camera).
std::string cardFolder, framesFolder;
// What the camera writes for each frame: 25 MB that no one reads, or a DNG.
std::string cardContent(25 * 1000 * 1000, 'x');

struct Bench {
    bool restyle = false;  // --load
    bool camera = false;  // --camera
    Fakes fakes;
    std::unique_ptr<Clock> clock = MakeToolkitClock();  // the program's own
    VirtualClock idleClock{fakes.log};  // the guider's, never asked to dither
    FakeGuider guider{fakes.log, idleClock};
    FakeSleep sleep;
    FakeExposureLog log;
    std::unique_ptr<SettingsStore> settings = MakeSettingsFileStore();
    NullNotifier notifier;
    RunThread runThread;  // as the program runs it
    MyFrame* frame = nullptr;
    std::thread cardWriter;
    int files = 0;

    explicit Bench(bool withCamera = false)
        : camera(withCamera)
    {
        InstallFakes(fakes);
        fakes.log.realTime = Micros;
        WindowParts parts{*fakes.ports, *clock, guider, sleep, log, *settings, notifier, &runThread};
#ifdef VANTREL_GPHOTO
        if (camera) {
            settings->WriteFlag("Camera Files", true);
            settings->WriteText("Camera Folder", framesFolder);
            parts.makeCameraLink = [](const CameraLinkSettings& asked,
                                      std::function<void(const CameraFileOutcome&)> outcome) {
                CameraLinkSettings link = asked;
                link.model = "Directory Browse";
                link.port = "disk:" + cardFolder;
                return MakeGphotoLink(link, std::move(outcome));
            };
        }
#endif
        frame = new MyFrame("Vantrel", parts);
        MainFrame = frame;
        frame->Show();
        fakes.ports->Serial().Open("COM2");
    }

    void Start(PortKind port, int afMode, int exposures, int duration, int before, bool mirror)
    {
        frame->Connect(port, port == PORT_SERIAL_IR ? "COM2-IR" : "COM2");
        frame->SetAfMode(afMode);
        frame->SetSetting(RunSetting::EXPOSURES, exposures);
        frame->SetSetting(RunSetting::DURATION, duration);
        frame->SetSetting(RunSetting::BEFORE_DELAY, before);
        frame->SetSetting(RunSetting::AFTER_DELAY, 0);
        frame->SetSetting(RunSetting::MIRROR_LOCK, mirror);
        fakes.log.events.clear();
        wxCommandEvent start(wxEVT_BUTTON, ID_START_SEQUENCE);
        frame->GetEventHandler()->ProcessEvent(start);
    }

    void Finish()
    {
        clock->RunUntil([this] { return !frame->Busy(); });
    }

    // The microsecond times of the RTS edges of a whole run.
    std::vector<int64_t> Run(PortKind port, int duration, int before, bool mirror)
    {
        Start(port, AF_NONE, 1, duration, before, mirror);
        std::atomic<int64_t> posted{0};
        std::thread restyler;
        if (restyle && port == PORT_SERIAL)
            restyler =
                PostLater(duration * 1000 - RESTYLE_BEFORE_RELEASE_MS, posted, [] { SetNightMode(!NightMode()); });
        Finish();
        if (restyler.joinable())
            restyler.join();
        if (camera) {  // the camera writes the frame's file, fetched during the next exposure
            if (cardWriter.joinable())
                cardWriter.join();
            cardWriter = std::thread([n = ++files] {
                std::remove((cardFolder + "/IMG_" + std::to_string(n - 1) + ".CR2").c_str());  // fetched long since
                std::FILE* file = std::fopen((cardFolder + "/.writing").c_str(), "wb");
                std::fwrite(cardContent.data(), 1, cardContent.size(), file);
                std::fclose(file);
                std::rename((cardFolder + "/.writing").c_str(),
                            (cardFolder + "/IMG_" + std::to_string(n) + ".CR2").c_str());
            });
        }
        std::vector<int64_t> times;
        for (const LineEvent& event : fakes.log.events)
            if (event.what == "RTS 1" || event.what == "RTS 0")
                times.push_back(event.ms);
        return times;
    }

    // Microseconds from queueing a no-op into the window's queue to its run.
    double RoundTripMs()
    {
        std::atomic<int64_t> posted{0};
        std::atomic<int64_t> ran{0};
        std::thread poster = PostLater(37, posted, [&ran] { ran = Micros(); });
        clock->RunUntil([&ran] { return ran != 0; });
        poster.join();
        return (ran - posted) / 1000.0;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    bool longRuns = false;
    bool load = false;
    bool camera = false;
    bool frames = false;
    for (int i = 1; i < argc; ++i) {
        longRuns = longRuns || std::strcmp(argv[i], "--long") == 0;
        load = load || std::strcmp(argv[i], "--load") == 0;
        camera = camera || std::strcmp(argv[i], "--camera") == 0;
        frames = frames || std::strcmp(argv[i], "--frames") == 0;
    }
#ifdef VANTREL_GPHOTO
    if (camera) {
        const FakeCamera fake = PreloadFakeCamera(argv);
        cardFolder = fake.card;
        framesFolder = fake.frames;
        if (frames) {
            StarField field;
            field.width = 6000;
            field.height = 4000;
            field.stars = 400;
            const std::string dng = cardFolder.substr(0, cardFolder.rfind('/')) + "/field.dng";
            WriteDng(dng, field, MakeStarField(field));
            std::ifstream in(dng, std::ios::binary);
            cardContent.assign(std::istreambuf_iterator<char>(in), {});
            std::remove(dng.c_str());
        }
    }
#else
    if (camera) {
        std::fprintf(stderr, "timing_bench: built without libgphoto2\n");
        return 1;
    }
#endif
    std::unique_ptr<Load> loading;
    if (load)  // before the toolkit starts: the children never touch it
        loading = std::make_unique<Load>();
    char logFolder[] = "/tmp/vantrel-bench-XXXXXX";  // not the user's exposure log
    if (mkdtemp(logFolder))
        setenv("XDG_DATA_HOME", logFolder, 1);
    int wxArgc = 1;  // the toolkit would refuse --long
    wxApp::SetInstance(new wxApp);
    if (!wxEntryStart(wxArgc, argv) || !wxTheApp->CallOnInit())
        return 1;
    if (camera) {
        Bench bench(true);
        std::vector<double> holds;
        for (int i = 0; i < 20; ++i) {
            const auto times = bench.Run(PORT_SERIAL, 1, 0, false);
            holds.push_back((times.at(1) - times.at(0)) / 1000.0 - 1000.0);
        }
        if (bench.cardWriter.joinable())
            bench.cardWriter.join();
        Report(frames ? "shutter hold - 1000 ms, a 24 MP DNG fetched, read and measured meanwhile"
                      : "shutter hold - 1000 ms, a 25 MB file fetched meanwhile",
               holds);
        // The last file is fetched after the last hold: waited for, 3 s at most.
        int fetched = 0;
        for (int wait = 0; wait < 30 && fetched < bench.files; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            fetched = 0;
            if (DIR* frames = opendir(framesFolder.c_str())) {
                while (const dirent* entry = readdir(frames))
                    fetched += entry->d_name[0] != '.';
                closedir(frames);
            }
        }
        delete bench.frame;
        std::printf("files fetched: %d of %d\n", fetched, bench.files);
        if (frames) {  // the lines with the stars measured on their frame
            int measured = 0;
            for (const std::string& line : bench.log.lines)
                measured += line.substr(line.size() - 2) != ",,";
            std::printf("frames read and measured: %d of %zu (a newer one takes a waiting one's place)\n", measured,
                        bench.log.lines.size());
        }
        if (std::system(("rm -rf " + cardFolder.substr(0, cardFolder.rfind('/'))).c_str()) != 0) { }
    } else {
        Bench bench;
        bench.restyle = load;
        struct Case {
            int duration;
            int runs;
        };
        std::vector<Case> cases = {{1, 20}, {5, 10}, {30, 5}};
        if (longRuns)
            cases.push_back({300, 3});
        for (const Case c : cases) {
            std::vector<double> holds;
            for (int i = 0; i < c.runs; ++i) {
                const auto times = bench.Run(PORT_SERIAL, c.duration, 0, false);
                holds.push_back((times.at(1) - times.at(0)) / 1000.0 - c.duration * 1000.0);
            }
            char label[64];
            std::snprintf(label, sizeof label, "shutter hold - %d000 ms (D = %d s)", c.duration, c.duration);
            Report(label, holds);
        }

        std::vector<double> mirror, opening, closing, delay;
        for (int i = 0; i < 10; ++i) {
            // mirror pulse, 800 ms delay, opening pulse, 800 ms, closing pulse
            const auto t = bench.Run(PORT_SERIAL_IR, 1, 1, true);
            mirror.push_back((t.at(1) - t.at(0)) / 1000.0);
            delay.push_back((t.at(2) - t.at(1)) / 1000.0 - 800);
            opening.push_back((t.at(3) - t.at(2)) / 1000.0);
            closing.push_back((t.at(5) - t.at(4)) / 1000.0);
        }
        Report("mirror lock-up pulse (200 ms set)", mirror);
        Report("infra-red opening pulse (200 ms set)", opening);
        Report("infra-red closing pulse (200 ms set)", closing);
        Report("before-frame delay after the pulse - 800 ms", delay);

        // Abort queued at a random moment of a 5 s exposure: to RTS 0.
        std::mt19937 random(7);
        std::vector<double> abort, woken, handled;
        for (int i = 0; i < 20; ++i) {
            bench.Start(PORT_SERIAL, AF_NONE, 1, 5, 0, false);
            std::atomic<int64_t> posted{0};
            int64_t handlerAt = 0;
            MyFrame* frame = bench.frame;
            std::thread poster = PostLater(300 + static_cast<int>(random() % 1400), posted, [frame, &handlerAt] {
                handlerAt = Micros();
                wxCommandEvent event(wxEVT_BUTTON, ID_ABORT_SEQUENCE);
                frame->GetEventHandler()->ProcessEvent(event);
            });
            bench.Finish();
            poster.join();
            const int64_t released = bench.fakes.log.events.back().ms;
            abort.push_back((released - posted) / 1000.0);
            woken.push_back((handlerAt - posted) / 1000.0);
            handled.push_back((released - handlerAt) / 1000.0);
        }
        Report("Abort queued to shutter released", abort);
        Report("  of which: queued to the window's handler", woken);
        Report("  of which: the handler to shutter released", handled);

        std::vector<double> idle, running;
        for (int i = 0; i < 20; ++i)
            idle.push_back(bench.RoundTripMs());
        Report("event round trip, idle", idle);
        bench.Start(PORT_SERIAL, AF_NONE, 1, 15, 0, false);
        for (int i = 0; i < 20; ++i)
            running.push_back(bench.RoundTripMs());
        Report("event round trip, during a run", running);
        const double cpuBefore = CpuSeconds();  // the rest of the 15 s wait
        const int64_t waitStart = Micros();
        bench.Finish();
        const double cpu = CpuSeconds() - cpuBefore;
        std::printf("CPU time while a run waits: %.3f ms per second (%.3f %% of a core)\n",
                    cpu * 1e3 / ((Micros() - waitStart) / 1e6), cpu * 1e2 / ((Micros() - waitStart) / 1e6));
        delete bench.frame;  // before the run thread goes
    }
    wxTheApp->OnExit();
    wxEntryCleanup();
    return 0;
}

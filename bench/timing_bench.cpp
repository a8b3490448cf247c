// How close real exposures come to what the user set: real sequences through
// the toolkit's clock on a recording serial backend.
//
//   xvfb-run -a build/bench/timing_bench
#include <wx/app.h>
#include <wx/checkbox.h>
#include <wx/init.h>
#include <wx/spinctrl.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "mainwindow/af_mode.h"
#include "mainwindow/clock.h"
#include "mainwindow/main_frame.h"
#include "ports/ports.h"
#include "tests/fakes.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

double Ms(SteadyClock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The toolkit's clock, with the time each call takes added up.
class MeasuredClock : public Clock {
public:
    int64_t NowMs() override { return inner_->NowMs(); }
    void SleepMs(int32_t ms) override
    {
        const auto start = SteadyClock::now();
        inner_->SleepMs(ms);
        sleepOverrunMs += Ms(SteadyClock::now() - start) - ms;
        ++sleeps;
    }
    void Yield() override
    {
        const auto start = SteadyClock::now();
        inner_->Yield();
        yieldMs += Ms(SteadyClock::now() - start);
    }

    double sleepOverrunMs = 0;
    double yieldMs = 0;
    long sleeps = 0;

private:
    std::unique_ptr<Clock> inner_ = MakeToolkitClock();
};

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Bench {
    Fakes fakes;
    MyFrame* frame = nullptr;
    MeasuredClock* clock = nullptr;

    Bench()
    {
        InstallFakes(fakes);
        const auto origin = SteadyClock::now();
        fakes.log.realTime = [origin] {
            return std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - origin).count();
        };
        auto measured = std::make_unique<MeasuredClock>();
        clock = measured.get();
        InstallClock(std::move(measured));
        frame = new MyFrame("Vantrel");
        MainFrame = frame;
        frame->Show();
    }

    // Runs one sequence on `port`; returns the (microsecond) times at which
    // RTS went on and off.
    std::vector<int64_t> Run(PortKind port, int afMode, int duration, int before, bool mirror)
    {
        ActivePort = port;
        AFMode = afMode;
        if (!SerialLines().IsOpen())
            SerialLines().Open("COM2");
        frame->ExposuresCtrl->SetValue(1);
        frame->DurationCtrl->SetValue(duration);
        frame->StartDelayCtrl->SetValue(0);
        frame->PreDelayCtrl->SetValue(before);
        frame->PostDelayCtrl->SetValue(0);
        frame->MirrorLockCtrl->SetValue(mirror);
        fakes.log.events.clear();
        wxCommandEvent start(wxEVT_BUTTON, ID_START_SEQUENCE);
        frame->GetEventHandler()->ProcessEvent(start);
        std::vector<int64_t> times;
        for (const LineEvent& event : fakes.log.events)
            if (event.what == "RTS 1" || event.what == "RTS 0")
                times.push_back(event.ms);
        return times;
    }
};

void Report(const char* what, std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    std::printf("%-44s median %8.2f ms   max %8.2f ms   (%zu runs)\n", what, values[values.size() / 2], values.back(),
                values.size());
}

}  // namespace

int main(int argc, char** argv)
{
    wxApp::SetInstance(new wxApp);
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit())
        return 1;
    {
        Bench bench;
        struct Case {
            int duration;
            int runs;
        };
        for (const Case c : {Case{1, 10}, Case{5, 5}, Case{30, 3}}) {
            std::vector<double> holds;
            for (int i = 0; i < c.runs; ++i) {
                const auto times = bench.Run(PORT_SERIAL, AF_NONE, c.duration, 0, false);
                holds.push_back((times.at(1) - times.at(0)) / 1000.0 - c.duration * 1000.0);
            }
            char label[64];
            std::snprintf(label, sizeof label, "shutter hold - %d000 ms (D = %d s)", c.duration, c.duration);
            Report(label, holds);
        }

        std::vector<double> mirror;
        std::vector<double> startPulse;
        for (int i = 0; i < 5; ++i) {
            const auto times = bench.Run(PORT_SERIAL_IR, AF_NONE, 1, 1, true);
            mirror.push_back((times.at(1) - times.at(0)) / 1000.0);
            startPulse.push_back((times.at(3) - times.at(2)) / 1000.0);
        }
        Report("mirror lock-up pulse (200 ms set)", mirror);
        Report("infra-red start pulse (200 ms set)", startPulse);

        // One long wait, measured step by step.
        bench.clock->sleepOverrunMs = bench.clock->yieldMs = 0;
        bench.clock->sleeps = 0;
        bench.frame->SecondsRemaining = 100;
        const double cpuBefore = CpuSeconds();
        const auto start = SteadyClock::now();
        bench.frame->WaitWithCountdown(10000);
        const double wallMs = Ms(SteadyClock::now() - start);
        const double cpu = CpuSeconds() - cpuBefore;
        const double steps = static_cast<double>(bench.clock->sleeps);
        std::printf("wait step (10 s wait, %.0f steps): %.3f ms over 100 ms per step "
                    "(sleep overrun %.3f ms, yield %.3f ms, display update and rest %.3f ms)\n",
                    steps, wallMs / steps - 100, bench.clock->sleepOverrunMs / steps, bench.clock->yieldMs / steps,
                    (wallMs - steps * 100 - bench.clock->sleepOverrunMs - bench.clock->yieldMs) / steps);
        std::printf("CPU time while waiting: %.2f ms per second\n", cpu * 1000 / (wallMs / 1000));
        bench.frame->Destroy();
    }
    wxTheApp->OnExit();
    wxEntryCleanup();
    return 0;
}

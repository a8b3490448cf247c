// The camera behind the INDI driver, without INDI: ports by name or path,
// fractional exposures, mirror lock-up with its settle time, an abort with a
// new exposure right after it, a lost port. On the engine's virtual clock.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "indi/bulb_camera.h"
#include "ports/af_mode.h"
#include "tests/fakes.h"

namespace {

using Timeline = std::vector<LineEvent>;

class Events : public BulbCameraEvents {
public:
    void ExposureDone() override { ends.push_back("done"); }
    void ExposureFailed(const std::string& message) override { ends.push_back("failed: " + message); }
    void Status(const std::string&) override { }
    std::vector<std::string> ends;
};

class BulbCameraTest : public ::testing::Test {
protected:
    static bool Installed(Fakes& fakes)
    {
        InstallFakes(fakes);
        return true;
    }

    // Starts an exposure and lets it (and whatever the clock's script adds)
    // go to its end.
    void Expose(double seconds)
    {
        camera.StartExposure(seconds);
        clock.RunUntil([this] { return !camera.Exposing(); });
    }

    Fakes fakes;
    bool installed = Installed(fakes);
    VirtualClock clock{fakes.log};
    FakeGuider guider{fakes.log, clock};
    FakeSleep sleep;
    FakeExposureLog log;
    Events events;
    BulbCamera camera{*fakes.ports, clock, guider, sleep, log, events};
};

TEST_F(BulbCameraTest, PortsByChooserNameOrDevicePath)
{
    struct Row {
        const char* port;
        bool opens;
        std::vector<std::string> reached;
        std::string why = "";
    };
    fakes.usb->present = true;
    const Row rows[] = {
        {"COM2", true, {"serial open COM2", "serial 2400 8N1", "RTS 0", "DTR 0"}},
        {"COM2-IR", true, {"serial open COM2", "serial 2400 8N1", "RTS 0", "DTR 1"}},
        {"/dev/ttyACM0", true, {"serial open /dev/ttyACM0", "serial 2400 8N1", "RTS 0", "DTR 0"}},
        {"0x378-LPT1 Pin3", true, {"parallel open 378", "data 00"}},
        {"DSUSB", true, {"usb open", "usb 00", "usb 00"}},
        {"COM9", false, {}, "give a chooser name (COM5, COM5-IR, 0x378-LPT1, DSUSB) or a device path"},
        // A client may name any path: only a port's device is opened.
        {"/dev/ttyS0", false, {}, "the system's console"},
        {"/dev/tty1", false, {}, "not a serial port (a terminal or a console, or no such device)"},
        {"/etc/passwd", false, {}, "not a serial or parallel port's device"},
    };
    // The kernel's word on the devices: a USB modem, a UART that is the
    // console.
    char sysfs[] = "/tmp/vantrel-sysfs-XXXXXX";
    ASSERT_NE(mkdtemp(sysfs), nullptr);
    camera.sysfs = sysfs;
    std::filesystem::create_directories(std::string(sysfs) + "/class/tty/ttyACM0/device");
    std::filesystem::create_directories(std::string(sysfs) + "/class/tty/ttyS0/device");
    std::filesystem::create_directories(std::string(sysfs) + "/class/tty/console");
    std::ofstream(std::string(sysfs) + "/class/tty/console/active") << "tty0 ttyS0\n";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.port);
        fakes.log.events.clear();
        std::string why;
        EXPECT_EQ(camera.Connect(row.port, why), row.opens) << why;
        EXPECT_EQ(camera.Connected(), row.opens);
        std::vector<std::string> whats = fakes.log.Whats();
        whats.resize(row.reached.size());
        EXPECT_EQ(whats, row.reached);
        if (!row.opens) {
            EXPECT_EQ(why, "\"" + std::string(row.port) + "\" is not a port: " + row.why);
        }
        camera.Disconnect();
    }
    std::filesystem::remove_all(sysfs);
}

TEST_F(BulbCameraTest, ExposuresAsTheWindowTakesThem)
{
    struct Row {
        const char* name;
        const char* port;
        int afMode;
        bool mirror;
        double seconds;
        Timeline expected;
    };
    const Row rows[] = {
        {"half a second, held as given", "COM2", AF_NONE, false, 0.5, {{0, "RTS 1"}, {500, "RTS 0"}}},
        {"mirror lock-up, 1.5 s to settle, AF held",
         "COM2",
         AF_HELD_DURING,
         true,
         1,
         {{0, "RTS 1"},
          {0, "DTR 1"},
          {200, "RTS 0"},
          {200, "DTR 0"},
          {1500, "RTS 1"},
          {1500, "DTR 1"},
          {2500, "RTS 0"},
          {2500, "DTR 0"}}},
        {"infra-red", "COM2-IR", AF_NONE, false, 1, {{0, "RTS 1"}, {200, "RTS 0"}, {1000, "RTS 1"}, {1200, "RTS 0"}}},
        {"shorter than the AF pulse: the pulse ends with the exposure",
         "COM2",
         AF_PULSE_AT_START,
         false,
         0.05,
         {{0, "RTS 1"}, {0, "DTR 1"}, {50, "DTR 0"}, {50, "RTS 0"}}},
        {"infra-red, the shortest",
         "COM2-IR",
         AF_NONE,
         false,
         0.4,
         {{0, "RTS 1"}, {200, "RTS 0"}, {400, "RTS 1"}, {600, "RTS 0"}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string why;
        ASSERT_TRUE(camera.Connect(row.port, why));
        fakes.log.events.clear();
        camera.SetAfMode(row.afMode);
        camera.SetMirrorLock(row.mirror);
        camera.mirrorSettleSeconds = 1.5;
        fakes.log.now += 1000;  // a client's next exposure comes a while after the last
        const int64_t start = fakes.log.now;
        Expose(row.seconds);
        Timeline shifted;
        for (const LineEvent& event : fakes.log.events)
            shifted.push_back({event.ms - start, event.what});
        EXPECT_EQ(shifted, row.expected);
        EXPECT_EQ(events.ends.back(), "done");
        EXPECT_NE(log.lines.back().find(",done,indi,"), std::string::npos) << log.lines.back();
        // Logged as long as asked for: 0.5, not 1.
        EXPECT_NE(log.lines.back().find("," + SecondsText(static_cast<int32_t>(std::lround(row.seconds * 1000))) + "," +
                                        row.port + ","),
                  std::string::npos)
            << log.lines.back();
        camera.Disconnect();
    }
}

// Abort and a new exposure back to back, as libindi sends them: the old one
// ends (its closing pulse whole), then the new one starts, its first press a
// pulse's length after the last.
TEST_F(BulbCameraTest, AbortThenStartRunsTheNewExposureAfterTheOld)
{
    std::string why;
    ASSERT_TRUE(camera.Connect("COM2-IR", why));
    fakes.log.events.clear();
    clock.At(1000, [this] {
        camera.AbortExposure();
        camera.StartExposure(1);
    });
    Expose(2);
    EXPECT_EQ(fakes.log.events,
              (Timeline{{0, "RTS 1"},
                        {200, "RTS 0"},
                        {1000, "RTS 1"},
                        {1200, "RTS 0"},
                        {1400, "RTS 1"},
                        {1600, "RTS 0"},
                        {2400, "RTS 1"},
                        {2600, "RTS 0"}}));
    EXPECT_EQ(events.ends, std::vector<std::string>{"done"});
}

// A disconnect in the middle of an exposure, or of the mirror's settle
// time, releases the lines and ends the run there: nothing more reaches a
// port and no exposure is reported done. The next connection exposes as
// usual.
TEST_F(BulbCameraTest, DisconnectEndsTheExposureInProgress)
{
    struct Row {
        const char* name;
        bool mirror;
        int64_t disconnectMs;
        Timeline expected;
        size_t aborted;  // exposures logged as aborted
    };
    const Row rows[] = {
        {"during the exposure", false, 500, {{0, "RTS 1"}, {500, "RTS 0"}, {500, "serial close"}}, 1},
        {"during the mirror's settle time", true, 500, {{0, "RTS 1"}, {200, "RTS 0"}, {500, "serial close"}}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string why;
        ASSERT_TRUE(camera.Connect("COM2", why));
        fakes.log.events.clear();
        events.ends.clear();
        log.lines.clear();
        camera.SetMirrorLock(row.mirror);
        camera.mirrorSettleSeconds = 1.5;
        fakes.log.now += 1000;  // a client's next exposure comes a while after the last
        const int64_t start = fakes.log.now;
        clock.At(start + row.disconnectMs, [this] { camera.Disconnect(); });
        camera.StartExposure(1);
        clock.RunUntil([] { return false; });  // all that is left to happen
        EXPECT_FALSE(camera.Exposing());
        Timeline shifted;
        for (const LineEvent& event : fakes.log.events)
            if (event.what.rfind("RTS", 0) == 0 || event.what == "serial close")
                shifted.push_back({event.ms - start, event.what});
        EXPECT_EQ(shifted, row.expected);
        EXPECT_EQ(events.ends, std::vector<std::string>{});
        EXPECT_EQ(log.lines.size(), row.aborted);
        for (const std::string& line : log.lines)
            EXPECT_NE(line.find(",aborted,indi,"), std::string::npos) << line;
        ASSERT_TRUE(camera.Connect("COM2", why));
        fakes.log.events.clear();
        camera.SetMirrorLock(false);
        Expose(1);
        EXPECT_EQ(fakes.log.Whats(), (std::vector<std::string>{"RTS 1", "RTS 0"}));
        EXPECT_EQ(events.ends, std::vector<std::string>{"done"});
        camera.Disconnect();
    }
}

// A time that is not a number is refused, not taken as the shortest
// exposure; one in progress goes on.
TEST_F(BulbCameraTest, ATimeThatIsNotANumberIsRefused)
{
    std::string why;
    ASSERT_TRUE(camera.Connect("COM2", why));
    fakes.log.events.clear();
    clock.At(500, [this] {
        EXPECT_FALSE(camera.StartExposure(std::nan("")));
        EXPECT_FALSE(camera.StartExposure(HUGE_VAL));
    });
    Expose(1);
    EXPECT_EQ(fakes.log.events, (Timeline{{0, "RTS 1"}, {1000, "RTS 0"}}));
    EXPECT_EQ(events.ends, std::vector<std::string>{"done"});
}

// What no camera can take is refused with the reason; nothing reaches a
// line and nothing is logged.
TEST_F(BulbCameraTest, WhatCannotBeExposedIsRefusedWithTheReason)
{
    struct Row {
        const char* port;  // empty: connected, then disconnected
        double seconds;
        std::string message;
    };
    const Row rows[] = {
        {"", 3, "Not connected: connect to a port first."},
        {"COM2-IR", 0.3,
         "COM2-IR takes exposures of 0.4 s or more: one press opens the shutter and another closes it."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.seconds);
        std::string why;
        ASSERT_TRUE(camera.Connect(*row.port ? row.port : "COM2", why));
        if (!*row.port)
            camera.Disconnect();
        fakes.log.events.clear();
        events.ends.clear();
        EXPECT_FALSE(camera.StartExposure(row.seconds));
        clock.RunUntil([] { return false; });
        EXPECT_EQ(events.ends, std::vector<std::string>{"failed: " + row.message});
        EXPECT_EQ(fakes.log.Whats(), std::vector<std::string>{});
        EXPECT_TRUE(log.lines.empty());
        camera.Disconnect();
    }
}

TEST(BulbCamera, OnlyLocalUploadIsTaken)
{
    EXPECT_EQ(BulbCamera::UploadRefusal(true), "");
    EXPECT_EQ(BulbCamera::UploadRefusal(false), "Only Local upload: the image stays on the camera's card.");
}

TEST_F(BulbCameraTest, ALostPortFailsTheExposureWithItsReason)
{
    std::string why;
    ASSERT_TRUE(camera.Connect("COM2", why));
    clock.At(500, [this] {
        fakes.log.failures = 5;
        fakes.log.error = EIO;
    });
    Expose(1);
    EXPECT_EQ(
        events.ends,
        std::vector<std::string>{"failed: Lost the connection to COM2 (/dev/ttyS1): RTS release: Input/output error"});
    EXPECT_FALSE(camera.Exposing());
    // Still gone at the next exposure: refused, with the reason, not shown
    // as one in progress.
    fakes.serial->openSucceeds = false;
    EXPECT_FALSE(camera.StartExposure(1));
    EXPECT_EQ(events.ends.size(), 2U);
    EXPECT_FALSE(camera.Exposing());
    // Back again: the exposure after it is taken.
    fakes.serial->openSucceeds = true;
    fakes.log.failures = 0;
    fakes.log.events.clear();
    Expose(1);
    EXPECT_EQ(fakes.log.Whats(),
              (std::vector<std::string>{"serial close", "serial open COM2", "serial 2400 8N1", "RTS 0", "DTR 0",
                                        "RTS 1", "RTS 0"}));
    EXPECT_EQ(events.ends.back(), "done");
}

}  // namespace

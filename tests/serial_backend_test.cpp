// The real backends against stand-in devices: a pseudo-terminal (its modem
// lines, which a pty lacks, kept by the preloaded device shim) and the
// shim's libusb and libieee1284. What reached the device is read from the
// shim's log and, for the terminal settings, from the pty itself.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ports/backends.h"
#include "ports/ports.h"
#include "ports/serial/serial_lines.h"

namespace {

class RealBackends : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!getenv("LD_PRELOAD") || std::string(getenv("LD_PRELOAD")).find("device_shim") == std::string::npos)
            GTEST_SKIP() << "needs the device shim preloaded";
        char dir[] = "/tmp/vantrel-backend-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        folder = dir;
        setenv("VANTREL_SHIM_LOG", (folder + "/log").c_str(), 1);
        setenv("VANTREL_SHIM_GONE", (folder + "/gone").c_str(), 1);
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        pty = ptsname(master);
        ClearPortDevices();
        SetPortDevice("COM7", pty);
        ports = std::make_unique<Ports>(MakeTerminalBackend(folder), MakeIeee1284Backend(), MakeLibusbBackend());
    }

    void TearDown() override
    {
        ports.reset();
        ClearPortDevices();
        for (const char* name : {"VANTREL_SHIM_USB", "VANTREL_SHIM_PARPORT", "VANTREL_SHIM_DATA"})
            unsetenv(name);
        if (master >= 0)
            close(master);
        std::filesystem::remove_all(folder);
        if (!unchecked.empty())
            GTEST_SKIP() << unchecked;
    }

    // The terminal's exclusive mode as `on`. Where the kernel below cannot
    // tell (qemu's user mode lacks TIOCGEXCL), the test goes on and is
    // skipped at its end, with the reason.
    void ExpectExclusive(int fd, bool on)
    {
        int exclusive = !on;
        if (ioctl(fd, TIOCGEXCL, &exclusive) != 0 && errno == ENOSYS) {
            unchecked = std::string("exclusive mode not checked: TIOCGEXCL: ") + std::strerror(errno);
            return;
        }
        EXPECT_EQ(exclusive, on);
    }
    std::string unchecked;

    // What reached the devices since the last call.
    std::vector<std::string> Reached()
    {
        std::vector<std::string> lines;
        std::ifstream log(folder + "/log");
        for (std::string line; std::getline(log, line);)
            lines.push_back(line);
        unlink((folder + "/log").c_str());
        return lines;
    }

    void Unplug() { std::ofstream(folder + "/gone").put('\n'); }

    std::unique_ptr<Ports> ports;
    std::string folder;
    std::string pty;
    int master = -1;
};

TEST(SerialDevices, ComNamesMapToLinuxDevicesUnlessTheSettingsSayOtherwise)
{
    ClearPortDevices();
    EXPECT_EQ(PortDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(PortDevicePath("COM4"), "/dev/ttyS3");
    EXPECT_EQ(PortDevicePath("COM5"), "/dev/ttyUSB0");
    EXPECT_EQ(PortDevicePath("COM8"), "/dev/ttyUSB3");
    EXPECT_EQ(PortDevicePath("COM9"), "");
    EXPECT_EQ(PortDevicePath("0x378-LPT1"), "");
    SetPortDevice("COM5", "/dev/ttyACM0");
    EXPECT_EQ(PortDevicePath("COM5"), "/dev/ttyACM0");
    ClearPortDevices();
    // The lock is named by the device a path resolves to (its own files
    // here: never the machine's /dev).
    char folder[] = "/tmp/vantrel-lock-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string device = std::string(folder) + "/ttyUSB9", named = std::string(folder) + "/usb-FTDI-if00";
    std::ofstream(device).put('\n');
    ASSERT_EQ(symlink(device.c_str(), named.c_str()), 0);
    EXPECT_EQ(LockFilePath("/run/lock", named), "/run/lock/LCK..ttyUSB9");
    EXPECT_EQ(LockFilePath("/run/lock", "/nonexistent/ttyUSB0"), "/run/lock/LCK..ttyUSB0");
    unlink(named.c_str());
    unlink(device.c_str());
    rmdir(folder);
}

// Whatever flow control and framing the port had, it ends at 2400 8N1 with
// none, HUPCL set, claimed exclusively, and only RTS and DTR driven.
TEST_F(RealBackends, SerialPortIsClaimedAndConfiguredAndDrivesItsLines)
{
    const int other = open(pty.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(other, &before), 0);
    before.c_cflag = (before.c_cflag & ~HUPCL) | CRTSCTS | PARENB | CSTOPB;
    before.c_iflag |= IXON | IXOFF;
    cfsetospeed(&before, B9600);
    ASSERT_EQ(tcsetattr(other, TCSANOW, &before), 0);

    EXPECT_EQ(ports->OpenSerialPort("COM7-IR"), SERIAL_OPENED);
    EXPECT_EQ(Reached(), (std::vector<std::string>{"RTS 0", "DTR 0", "RTS 0", "DTR 1"}));
    termios after{};
    ASSERT_EQ(tcgetattr(other, &after), 0);
    EXPECT_EQ(cfgetospeed(&after), B2400);
    EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(after.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(after.c_cflag & HUPCL, 0u);
    EXPECT_EQ(after.c_iflag & (IXON | IXOFF | IXANY), 0u);
    ExpectExclusive(other, true);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    std::ifstream lock(LockFilePath(folder, pty));
    long owner = 0;
    EXPECT_TRUE(lock >> owner);
    EXPECT_EQ(owner, getpid());

    ports->SetSerialShutter(true);
    ports->SetSerialFocus(false);
    ports->SetSerialShutter(false);
    ports->CloseSerialPort();
    EXPECT_EQ(Reached(), (std::vector<std::string>{"RTS 1", "DTR 0", "RTS 0", "RTS 0", "DTR 0"}));
    EXPECT_EQ(access(LockFilePath(folder, pty).c_str(), F_OK), -1);
    ExpectExclusive(other, false);
    close(other);
}

// A port that another process holds (its lock file, or its claim) is
// reported in use, and not one of its lines is touched. A lock is read in
// both formats; one that cannot be read is never deleted.
TEST_F(RealBackends, PortInUseIsLeftAlone)
{
    const auto binary = [](int32_t pid) { return std::string(reinterpret_cast<const char*>(&pid), sizeof pid); };
    const std::string unreadable = " is held by another program (unreadable lock file)";
    struct Row {
        const char* name;
        std::string lock;  // the lock file's bytes; empty: no lock file
        bool claimed;  // another descriptor holds flock
        bool opens;
        std::string why;  // the backend's own words, after the lock file's path
    };
    const Row rows[] = {
        {"locked by a live process", "  1\n", false, false, ""},
        {"locked by a live process, binary pid", binary(1), false, false, ""},
        {"stale lock of a gone process", "  999999999\n", false, true, ""},
        {"stale binary lock of a gone process", binary(999999999), false, true, ""},
        {"a lock with this process's own pid is stale", "  " + std::to_string(getpid()) + "\n", false, true, ""},
        {"a lock that cannot be read", "garbage\n", false, false, unreadable},
        {"no lock file", "", false, true, ""},
        {"an empty lock (its writer died before the pid)", "\n", false, false, unreadable},
        {"held with flock", "", true, false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string lockFile = LockFilePath(folder, pty);
        if (!row.lock.empty())
            std::ofstream(lockFile, std::ios::binary) << row.lock;
        const int holder = open(pty.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(holder, 0);
        if (row.claimed) {
            ASSERT_EQ(flock(holder, LOCK_EX), 0);
        }
        EXPECT_EQ(ports->OpenSerialPort("COM7") == SERIAL_OPENED, row.opens);
        if (!row.opens) {
            EXPECT_EQ(Reached(), std::vector<std::string>{});
            EXPECT_EQ(ports->Serial().ErrorDetail(), row.why.empty() ? "" : lockFile + row.why);
            EXPECT_EQ(ports->PortErrorText(), row.why.empty() ? "in use by another program" : lockFile + row.why);
            EXPECT_EQ(access(lockFile.c_str(), F_OK) == 0, !row.lock.empty());  // never deleted
        }
        ports->CloseSerialPort();
        close(holder);
        unlink(lockFile.c_str());
        Reached();
    }
    SetPortDevice("COM7", folder + "/ttyUSB9");
    EXPECT_EQ(ports->OpenSerialPort("COM7"), SERIAL_OPEN_FAILED);
    EXPECT_EQ(ports->Serial().Device(), folder + "/ttyUSB9");
    EXPECT_EQ(ports->PortErrorText(), "no such device (is the adapter plugged in?)");
    // Not a terminal at all: said so, not "in use".
    SetPortDevice("COM7", "/dev/null");
    EXPECT_EQ(ports->OpenSerialPort("COM7"), SERIAL_OPEN_FAILED);
    EXPECT_EQ(ports->PortErrorText(), "not a serial port");
}

// An open that fails after the claim (here: the device goes as its lines
// are lowered) gives the terminal back: no exclusive mode, no flock, no
// lock file, for every other program.
TEST_F(RealBackends, AFailedOpenGivesTheTerminalBack)
{
    Unplug();
    EXPECT_EQ(ports->OpenSerialPort("COM7"), SERIAL_OPEN_FAILED);
    EXPECT_EQ(ports->PortErrorText(), "Input/output error");
    const int other = open(pty.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ExpectExclusive(other, false);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(access(LockFilePath(folder, pty).c_str(), F_OK), -1);
    close(other);
}

// An unplugged device: each kind's line change fails, a release is tried
// three times, and the port layer knows the port is lost.
TEST_F(RealBackends, UnpluggedDeviceMarksThePortLost)
{
    setenv("VANTREL_SHIM_USB", "present", 1);
    setenv("VANTREL_SHIM_PARPORT", "present", 1);
    ASSERT_EQ(ports->OpenSerialPort("COM7"), SERIAL_OPENED);
    ports->SetSerialShutter(true);
    Unplug();
    ports->CheckPort(PORT_SERIAL);  // found gone without a line change
    EXPECT_TRUE(ports->PortLost());
    ports->CloseSerialPort();
    unlink((folder + "/gone").c_str());

    ASSERT_TRUE(ports->DsusbOpen());
    EXPECT_FALSE(ports->PortLost());
    ports->DsusbShutterOn();
    ports->CheckPort(PORT_DSUSB);
    EXPECT_FALSE(ports->PortLost());
    Unplug();
    ports->CheckPort(PORT_DSUSB);
    EXPECT_TRUE(ports->PortLost());
    ports->DsusbClose();
    unlink((folder + "/gone").c_str());

    setenv("VANTREL_SHIM_DATA", "A7", 1);
    ASSERT_TRUE(ports->OpenParallelPort("0x378-LPT1"));
    EXPECT_FALSE(ports->PortLost());
    Unplug();
    ports->SetParallelLine(true);
    EXPECT_TRUE(ports->PortLost());
    EXPECT_EQ(Reached(),
              (std::vector<std::string>{"RTS 0", "DTR 0", "RTS 0", "DTR 0", "RTS 1", "usb claim 0",
                                        "usb 01 to 01 within 100 ms", "usb close", "parport open exclusive",
                                        "parport claim", "data A6"}));
    ports->CloseParallelPort();

    // A terminal that hangs up (its other end gone) is lost too.
    unlink((folder + "/gone").c_str());
    ASSERT_EQ(ports->OpenSerialPort("COM7"), SERIAL_OPENED);
    ports->CheckPort(PORT_SERIAL);
    EXPECT_FALSE(ports->PortLost());
    close(master);
    master = -1;
    ports->CheckPort(PORT_SERIAL);
    EXPECT_TRUE(ports->PortLost());
}

TEST_F(RealBackends, BoxAndParallelPortOpenOrSayWhyNot)
{
    struct Row {
        const char* usb;
        bool opens;
        bool present;
        const char* why;
    };
    const Row boxes[] = {
        {"absent", false, false, "no such device (is the box plugged in?)"},
        {"present", true, false, ""},
        {"denied", false, true, "permission denied (install Vantrel's udev rule, then plug the box in again)"},
        {"busy", false, true, "in use by another program"},
        {"noinit", false, false, "USB is not available (libusb_init: LIBUSB_ERROR_NO_MEM)"},
    };
    for (const Row& row : boxes) {
        SCOPED_TRACE(row.usb);
        setenv("VANTREL_SHIM_USB", row.usb, 1);
        EXPECT_EQ(ports->DsusbOpen(), row.opens);
        EXPECT_EQ(ports->DsusbPresent(), row.present);
        EXPECT_EQ(ports->PortErrorText(), row.why);
        ports->DsusbClose();
    }
    const Row parports[] = {
        {"absent", false, false, "no such device (is the adapter plugged in?)"},
        {"noppdev", false, false, "no such device (is the adapter plugged in?)"},
        {"lp", true, false, ""},  // the printer driver holds it: shared
        {"denied", false, false, "permission denied (add yourself to the group lp, then log in again)"},
    };
    for (const Row& row : parports) {
        SCOPED_TRACE(row.usb);
        setenv("VANTREL_SHIM_PARPORT", row.usb, 1);
        EXPECT_EQ(ports->OpenParallelPort("0x378-LPT1 Pin3"), row.opens);
        EXPECT_EQ(ports->PortErrorText(), row.why);
        EXPECT_EQ(ports->Parallel().Device(), row.opens || row.usb == std::string("denied") ? "" : "/dev/parport0");
        ports->CloseParallelPort();
    }
    Reached();
    setenv("VANTREL_SHIM_PARPORT", "present", 1);
    SetPortDevice("0x378-LPT1", "/dev/parport0");
    setenv("VANTREL_SHIM_DATA", "FF", 1);
    EXPECT_TRUE(ports->OpenParallelPort("0x378-LPT1 Pin3"));
    ports->CloseParallelPort();
    EXPECT_EQ(Reached(),
              (std::vector<std::string>{"parport open exclusive", "parport claim", "data FD", "parport release"}));
}

}  // namespace

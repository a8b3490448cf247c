// Tests on real hardware, for the day some is at hand. Each part runs only
// when its environment variable names the device; with none set, the
// program says so and exits 77, which CTest reports as skipped.
//   VANTREL_HW_SERIAL=/dev/ttyUSB0    a loopback plug: RTS to CTS, DTR to DSR
//   VANTREL_HW_PARPORT=/dev/parport0  a parallel port: the data register is
//                                     written and read back (pins unwired)
//   VANTREL_HW_DSUSB=1                a ShoeString DSUSB box: the shutter
//                                     closes for half a second
#include <dirent.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "ports/backends.h"

namespace {

int failures = 0;

void Check(bool condition, const std::string& what)
{
    std::printf("%s %s\n", condition ? "ok  " : "FAIL", what.c_str());
    failures += !condition;
}

void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

// The backend's own descriptor of `device` (a second open would be refused).
int OpenDescriptorOf(const std::string& device)
{
    char wanted[PATH_MAX];
    if (!realpath(device.c_str(), wanted))
        return -1;
    DIR* fds = opendir("/proc/self/fd");
    int found = -1;
    for (dirent* entry = fds ? readdir(fds) : nullptr; entry && found < 0; entry = readdir(fds)) {
        char target[PATH_MAX] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && std::string(target) == wanted)
            found = std::atoi(entry->d_name);
    }
    if (fds)
        closedir(fds);
    return found;
}

void SerialLoopback(const std::string& device)
{
    SetPortDevice("COM5", device);
    auto serial = MakeTerminalBackend();
    Check(serial->Open("COM5") && serial->Configure(), "serial: open and configure " + device);
    const int fd = OpenDescriptorOf(device);
    for (int state = 0; state < 4 && fd >= 0; ++state) {
        const bool rts = state & 1, dtr = state & 2;
        serial->SetRts(rts);
        serial->SetDtr(dtr);
        Settle();
        int lines = 0;
        ioctl(fd, TIOCMGET, &lines);
        Check(((lines & TIOCM_CTS) != 0) == rts && ((lines & TIOCM_DSR) != 0) == dtr,
              std::string("serial: RTS ") + (rts ? "1" : "0") + " DTR " + (dtr ? "1" : "0") + " read back");
    }
    serial->CloseDevice();
}

void ParallelReadBack(const std::string& device)
{
    auto parallel = MakeIeee1284Backend();
    Check(parallel->Open(0, device), "parallel: open " + device);
    for (uint8_t value : {0x01, 0x02, 0x00}) {
        uint8_t read = 0xFF;
        Check(parallel->WriteData(value) && parallel->ReadData(read) && read == value,
              "parallel: data " + std::to_string(value) + " read back");
    }
    parallel->CloseDevice();
}

void DsusbCycle()
{
    auto box = MakeLibusbBackend();
    Check(box->Open(), "DSUSB: open");
    Check(box->Send(0x00) && box->Send(0x31), "DSUSB: shutter closed");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Check(box->Send(0x30) && box->Send(0x00), "DSUSB: shutter released");
    box->CloseDevice();
}

}  // namespace

int main()
{
    const char* serial = std::getenv("VANTREL_HW_SERIAL");
    const char* parallel = std::getenv("VANTREL_HW_PARPORT");
    const char* dsusb = std::getenv("VANTREL_HW_DSUSB");
    if (!serial && !parallel && !dsusb) {
        std::printf("skipped: set VANTREL_HW_SERIAL, VANTREL_HW_PARPORT or VANTREL_HW_DSUSB to test real hardware\n");
        return 77;
    }
    if (serial)
        SerialLoopback(serial);
    if (parallel)
        ParallelReadBack(parallel);
    if (dsusb)
        DsusbCycle();
    return failures ? 1 : 0;
}

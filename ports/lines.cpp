// The line operations, each a thin call on the backend of its port kind,
// the DSUSB box's command byte, and what the port layer knows of a failure.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "ports/backends.h"
#include "ports/port_choice.h"
#include "ports/ports.h"

uint16_t ParallelAddress = 0;
uint16_t ParallelPinMask = 0;

namespace {

constexpr int RELEASE_TRIES = 3;
constexpr auto RELEASE_RETRY_PAUSE = std::chrono::milliseconds(10);

bool lost = false;
int lastError = 0;
std::string lastDetail;  // the backend's own words for lastError, if any
PortKind failedKind = PORT_NONE;  // the kind of port whose failure lastError is

// A change that sets a line is tried once; a release is tried again, since
// a line left active ruins the frame.
template <typename Change> void Drive(bool on, PortKind kind, int (*error)(), Change change)
{
    for (int attempt = 0; attempt < (on ? 1 : RELEASE_TRIES); ++attempt) {
        if (attempt > 0)
            std::this_thread::sleep_for(RELEASE_RETRY_PAUSE);
        if (change())
            return;
    }
    lost = true;
    lastError = error();
    lastDetail.clear();
    failedKind = kind;
}

int SerialError() { return SerialLines().Error(); }
int ParallelError() { return ParallelLines().Error(); }
int UsbError() { return UsbBox().Error(); }

void Opened(PortKind kind, bool ok, int error, const std::string& detail = "")
{
    lost = false;
    lastError = ok ? 0 : error;
    lastDetail = ok ? "" : detail;
    failedKind = kind;
}

}  // namespace

SerialOpen OpenSerialPort(const std::string& choiceText)
{
    const PortChoice choice = DecodePortChoice(choiceText);
    SerialBackend& serial = SerialLines();
    const bool opened = serial.Open(choice.portName);
    Opened(PORT_SERIAL, opened, serial.Error());
    if (!opened)
        return SERIAL_OPEN_FAILED;
    if (!serial.Configure()) {
        Opened(PORT_SERIAL, false, serial.Error());
        serial.CloseDevice();
        return SERIAL_CONFIGURE_FAILED;
    }
    SetSerialShutter(false);
    // The infra-red remote is powered from DTR.
    SetSerialFocus(choice.infrared);
    return SERIAL_OPENED;
}

void CloseSerialPort() { SerialLines().CloseDevice(); }

void SetSerialShutter(bool on)
{
    SerialBackend& port = SerialLines();
    if (port.IsOpen())
        Drive(on, PORT_SERIAL, SerialError, [&] { return port.SetRts(on); });
}

void SetSerialFocus(bool on)
{
    SerialBackend& port = SerialLines();
    if (port.IsOpen())
        Drive(on, PORT_SERIAL, SerialError, [&] { return port.SetDtr(on); });
}

// A register that cannot be read is not written: writing a guess would
// change the other seven bits.
void SetParallelLine(bool on)
{
    ParallelBackend& port = ParallelLines();
    if (!port.IsOpen())
        return;
    Drive(on, PORT_PARALLEL, ParallelError, [&] {
        uint8_t data = 0;
        return port.ReadData(data) && port.WriteData(WithParallelLine(data, ParallelPinMask, on));
    });
}

bool OpenParallelPort(const std::string& choiceText)
{
    const PortChoice choice = DecodePortChoice(choiceText);
    ParallelAddress = choice.address;
    ParallelPinMask = choice.pinMask;
    ParallelBackend& port = ParallelLines();
    const bool ok = port.Open(ParallelAddress, PortDevicePath(choice.deviceName));
    Opened(PORT_PARALLEL, ok, port.Error());
    if (ok)
        SetParallelLine(false);
    return ok;
}

void CloseParallelPort() { ParallelLines().CloseDevice(); }

bool PortLost() { return lost; }

std::string PortErrorText()
{
    if (!lastDetail.empty())
        return lastDetail;
    switch (lastError) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return failedKind == PORT_DSUSB ? "no such device (is the box plugged in?)"
                                        : "no such device (is the adapter plugged in?)";
    case EACCES:
    case EPERM:
        if (failedKind == PORT_DSUSB)
            return "permission denied (install Vantrel's udev rule, then plug the box in again)";
        return failedKind == PORT_PARALLEL ? "permission denied (add yourself to the group lp, then log in again)"
                                           : "permission denied (add yourself to the group dialout, then log in again)";
    case EBUSY:
        return "in use by another program";
    case ETIMEDOUT:
        return "no answer";
    case ENOTTY:
        return "not a serial port";
    case 0:
        return "";
    default:
        return std::strerror(lastError);
    }
}

std::string ShortenedPath(const std::string& path, size_t limit)
{
    std::vector<size_t> starts;  // of each character (UTF-8)
    for (size_t i = 0; i < path.size(); ++i)
        if ((static_cast<unsigned char>(path[i]) & 0xC0) != 0x80)
            starts.push_back(i);
    if (starts.size() <= limit || limit < 3)
        return path;
    const size_t head = (limit - 1) / 2;
    const size_t tail = limit - 1 - head;
    return path.substr(0, starts[head]) + "\u2026" + path.substr(starts[starts.size() - tail]);
}

// The box takes one byte and acts on all of it, so the whole byte is sent at
// every change.
namespace {
constexpr uint8_t DSUSB_SHUTTER = 0x01;
constexpr uint8_t DSUSB_FOCUS = 0x02;
constexpr uint8_t DSUSB_LED_RED = 0x10;  // green when clear
constexpr uint8_t DSUSB_LED_ON = 0x20;
constexpr uint8_t DSUSB_LINES = DSUSB_SHUTTER | DSUSB_FOCUS;

bool boxOpen = false;
bool boxPresent = false;
uint8_t boxCommand = 0;

void SendBox(uint8_t command)
{
    if (!boxOpen)
        return;
    const bool releases = (boxCommand & DSUSB_LINES & ~command) != 0;
    boxCommand = command;
    Drive(!releases, PORT_DSUSB, UsbError, [&] { return UsbBox().Send(boxCommand); });
}
}  // namespace

bool DsusbOpen()
{
    boxCommand = 0;
    boxOpen = UsbBox().Open();
    const int error = UsbBox().Error();
    boxPresent = !boxOpen && error != ENODEV;
    Opened(PORT_DSUSB, boxOpen, error, UsbBox().ErrorDetail());
    return boxOpen;
}

bool DsusbPresent() { return boxPresent; }

void DsusbClose()
{
    if (!boxOpen)
        return;
    SendBox(0);
    UsbBox().CloseDevice();
    boxOpen = false;
}

void DsusbPrepare() { SendBox(0); }
void DsusbShutterOn() { SendBox(boxCommand | DSUSB_SHUTTER); }
void DsusbShutterOff() { SendBox(boxCommand & ~DSUSB_SHUTTER); }
void DsusbFocusOn() { SendBox(boxCommand | DSUSB_FOCUS); }
void DsusbFocusOff() { SendBox(boxCommand & ~DSUSB_FOCUS); }
void DsusbSignalActive() { SendBox(boxCommand | DSUSB_LED_ON); }
void DsusbSignalIdle() { SendBox(boxCommand & ~DSUSB_LED_ON); }
void DsusbSignalWaiting() { SendBox(boxCommand & ~DSUSB_LED_RED); }
void DsusbSignalExposing() { SendBox(boxCommand | DSUSB_LED_RED); }

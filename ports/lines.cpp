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
#include "ports/trigger_lines.h"

namespace {

constexpr int RELEASE_TRIES = 3;
constexpr auto RELEASE_RETRY_PAUSE = std::chrono::milliseconds(10);

// The box takes one byte and acts on all of it, so the whole byte is sent at
// every change.
constexpr uint8_t DSUSB_SHUTTER = 0x01;
constexpr uint8_t DSUSB_FOCUS = 0x02;
constexpr uint8_t DSUSB_LED_RED = 0x10;  // green when clear
constexpr uint8_t DSUSB_LED_ON = 0x20;
constexpr uint8_t DSUSB_LINES = DSUSB_SHUTTER | DSUSB_FOCUS;

}  // namespace

Ports::Ports(std::unique_ptr<SerialBackend> serial, std::unique_ptr<ParallelBackend> parallel,
             std::unique_ptr<UsbBoxBackend> usb)
    : serial_(std::move(serial))
    , parallel_(std::move(parallel))
    , usb_(std::move(usb))
{
}

Ports::~Ports() = default;

// A change that sets a line is tried once; a release is tried again, since
// a line left active ruins the frame.
template <typename Backend, typename Change>
void Ports::Drive(bool on, PortKind kind, const Backend& backend, const std::string& operation, Change change)
{
    for (int attempt = 0; attempt < (on ? 1 : RELEASE_TRIES); ++attempt) {
        if (attempt > 0)
            std::this_thread::sleep_for(RELEASE_RETRY_PAUSE);
        if (change())
            return;
    }
    if (lost_)  // the first failure says why
        return;
    lost_ = true;
    lastError_ = backend.Error();
    lastDetail_.clear();
    lastOperation_ = operation;
    failedKind_ = kind;
}

void Ports::Opened(PortKind kind, bool ok, int error, const std::string& detail)
{
    lost_ = false;
    lastError_ = ok ? 0 : error;
    lastDetail_ = ok ? "" : detail;
    lastOperation_.clear();
    failedKind_ = kind;
}

SerialOpen Ports::OpenSerialPort(const std::string& choiceText)
{
    const PortChoice choice = DecodePortChoice(choiceText);
    const bool opened = serial_->Open(choice.portName);
    Opened(PORT_SERIAL, opened, serial_->Error(), serial_->ErrorDetail());
    if (!opened)
        return SERIAL_OPEN_FAILED;
    if (!serial_->Configure()) {
        Opened(PORT_SERIAL, false, serial_->Error());
        serial_->CloseDevice();
        return SERIAL_CONFIGURE_FAILED;
    }
    SetSerialShutter(false);
    // The infra-red remote is powered from DTR.
    SetSerialFocus(choice.infrared);
    return SERIAL_OPENED;
}

void Ports::CloseSerialPort() { serial_->CloseDevice(); }

void Ports::CheckPort(PortKind kind)
{
    const char* const operation = "line check";
    uint8_t data = 0;
    if ((kind == PORT_SERIAL || kind == PORT_SERIAL_IR) && serial_->IsOpen())
        Drive(true, PORT_SERIAL, *serial_, operation, [&] { return serial_->Present(); });
    else if (kind == PORT_PARALLEL && parallel_->IsOpen())
        Drive(true, PORT_PARALLEL, *parallel_, operation, [&] { return parallel_->ReadData(data); });
    else if (kind == PORT_DSUSB && boxOpen_)
        Drive(true, PORT_DSUSB, *usb_, operation, [&] { return usb_->Present(); });
}

void Ports::SetSerialShutter(bool on)
{
    if (serial_->IsOpen())
        Drive(on, PORT_SERIAL, *serial_, on ? "RTS set" : "RTS release", [&] { return serial_->SetRts(on); });
}

void Ports::SetSerialFocus(bool on)
{
    if (serial_->IsOpen())
        Drive(on, PORT_SERIAL, *serial_, on ? "DTR set" : "DTR release", [&] { return serial_->SetDtr(on); });
}

// A register that cannot be read is not written: writing a guess would
// change the other seven bits.
void Ports::SetParallelLine(bool on)
{
    if (!parallel_->IsOpen())
        return;
    Drive(on, PORT_PARALLEL, *parallel_, on ? "data bit set" : "data bit release", [&] {
        uint8_t data = 0;
        return parallel_->ReadData(data) && parallel_->WriteData(WithParallelLine(data, parallelPinMask_, on));
    });
}

bool Ports::OpenParallelPort(const std::string& choiceText)
{
    const PortChoice choice = DecodePortChoice(choiceText);
    parallelAddress_ = choice.address;
    parallelPinMask_ = choice.pinMask;
    const bool ok = parallel_->Open(parallelAddress_, PortDevicePath(choice.deviceName));
    Opened(PORT_PARALLEL, ok, parallel_->Error());
    if (ok)
        SetParallelLine(false);
    return ok;
}

void Ports::CloseParallelPort() { parallel_->CloseDevice(); }

std::string Ports::PortErrorText() const
{
    const std::string why = ErrorText();
    return lastOperation_.empty() || why.empty() ? why : lastOperation_ + ": " + why;
}

std::string Ports::ErrorText() const
{
    if (!lastDetail_.empty())
        return lastDetail_;
    switch (lastError_) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return PortKindOf(failedKind_).notThere;
    case EACCES:
    case EPERM:
        return PortKindOf(failedKind_).notAllowed;
    case EBUSY:
        return "in use by another program";
    case ETIMEDOUT:
        return "no answer";
    case ENOTTY:
        return "not a serial port";
    case 0:
        return "";
    default:
        return std::strerror(lastError_);
    }
}

void Ports::SendBox(uint8_t command)
{
    if (!boxOpen_)
        return;
    const bool releases = (boxCommand_ & DSUSB_LINES & ~command) != 0;
    const uint8_t changed = boxCommand_ ^ command;
    boxCommand_ = command;
    const char* line = changed & DSUSB_SHUTTER ? "shutter" : changed & DSUSB_FOCUS ? "focus" : "light";
    Drive(!releases, PORT_DSUSB, *usb_, std::string("box ") + line + (releases ? " release" : " set"),
          [&] { return usb_->Send(boxCommand_); });
}

bool Ports::DsusbOpen()
{
    boxCommand_ = 0;
    boxOpen_ = usb_->Open();
    const int error = usb_->Error();
    boxPresent_ = !boxOpen_ && error != ENODEV;
    Opened(PORT_DSUSB, boxOpen_, error, usb_->ErrorDetail());
    return boxOpen_;
}

void Ports::DsusbClose()
{
    if (!boxOpen_)
        return;
    SendBox(0);
    usb_->CloseDevice();
    boxOpen_ = false;
}

void Ports::DsusbPrepare() { SendBox(0); }
void Ports::DsusbShutterOn() { SendBox(boxCommand_ | DSUSB_SHUTTER); }
void Ports::DsusbShutterOff() { SendBox(boxCommand_ & ~DSUSB_SHUTTER); }
void Ports::DsusbFocusOn() { SendBox(boxCommand_ | DSUSB_FOCUS); }
void Ports::DsusbFocusOff() { SendBox(boxCommand_ & ~DSUSB_FOCUS); }
void Ports::DsusbSignalActive() { SendBox(boxCommand_ | DSUSB_LED_ON); }
void Ports::DsusbSignalIdle() { SendBox(boxCommand_ & ~DSUSB_LED_ON); }
void Ports::DsusbSignalWaiting() { SendBox(boxCommand_ & ~DSUSB_LED_RED); }
void Ports::DsusbSignalExposing() { SendBox(boxCommand_ | DSUSB_LED_RED); }

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

// The trigger ports: the kinds, and the operations that set the camera's
// shutter and focus lines on them.
//
// Everything here runs where the run lives (the run's own thread, or the
// driver's loop). No line operation returns a
// result: a line change that fails marks the port lost (PortLost), and the
// runner stops at its next checkpoint. A release (a line made inactive) is
// tried up to three times, 10 ms apart, before it counts as failed. A line
// operation on a port that is not open (never opened, or closed again) does
// nothing at all.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

enum PortKind : int32_t {
    PORT_NONE = 0,
    PORT_DSUSB = 1,
    PORT_SERIAL = 2,
    PORT_SERIAL_IR = 3,  // RTS is pulsed, DTR stays set
    PORT_PARALLEL = 4,
};

class SerialBackend;
class ParallelBackend;
class UsbBoxBackend;

// Opens the serial port of a chooser entry: its outcome.
enum SerialOpen { SERIAL_OPENED, SERIAL_OPEN_FAILED, SERIAL_CONFIGURE_FAILED };

// The machine's trigger ports, on one backend each (ports/backends.h): the
// program makes the system's (MakeSystemPorts), tests hand in recording
// fakes.
class Ports {
public:
    Ports(std::unique_ptr<SerialBackend> serial, std::unique_ptr<ParallelBackend> parallel,
          std::unique_ptr<UsbBoxBackend> usb);
    ~Ports();
    SerialBackend& Serial() { return *serial_; }
    ParallelBackend& Parallel() { return *parallel_; }
    UsbBoxBackend& Usb() { return *usb_; }

    // Opens the serial port of a chooser entry ("COM5", "COM5-IR"),
    // configures it and sets its first line states: RTS released, DTR set
    // on "-IR" (it powers the remote) and released otherwise.
    SerialOpen OpenSerialPort(const std::string& choiceText);
    // Releases the serial port. After it, the serial line operations do
    // nothing.
    void CloseSerialPort();
    // Opens the parallel port of a chooser entry and clears its shutter
    // bit, the other seven bits kept. False when it cannot be opened or
    // claimed.
    bool OpenParallelPort(const std::string& choiceText);
    void CloseParallelPort();
    // The parallel port's data register (base address) and the data bit
    // that drives the shutter: 1 = data bit 0 (pin 2), 2 = data bit 1 (pin 3).
    uint16_t ParallelAddress() const { return parallelAddress_; }
    uint16_t ParallelPinMask() const { return parallelPinMask_; }

    // True once a line change failed on the open port: the device is gone
    // or no longer answers. Cleared when a port is opened.
    bool PortLost() const { return lost_; }
    // Why the last open or line change failed, in the user's words, with
    // the fix where there is one ("permission denied (add yourself to the
    // group dialout, then log in again)"); a line change's with the
    // operation that failed ("RTS release: Input/output error").
    std::string PortErrorText() const;

    // Whether the open port of `kind` is still there, no line touched: a
    // port found gone is lost, as by a failed line change ("line check:
    // Input/output error").
    void CheckPort(PortKind kind);

    // Serial lines: RTS = shutter, DTR = focus. true = line active.
    void SetSerialShutter(bool on);
    void SetSerialFocus(bool on);
    // Parallel: the ParallelPinMask bit of the data register, the other
    // seven bits written back as read.
    void SetParallelLine(bool on);

    // The DSUSB box. DsusbOpen is true when a box was found and claimed;
    // the other operations do nothing unless a box is open. DsusbPresent is
    // true when DsusbOpen failed although a box is there (no permission, in
    // use).
    bool DsusbOpen();
    bool DsusbPresent() const { return boxPresent_; }
    void DsusbClose();
    void DsusbPrepare();
    void DsusbShutterOn();
    void DsusbShutterOff();
    void DsusbFocusOn();
    void DsusbFocusOff();
    void DsusbSignalActive();
    void DsusbSignalIdle();
    void DsusbSignalWaiting();
    void DsusbSignalExposing();

private:
    template <typename Backend, typename Change>
    void Drive(bool on, PortKind kind, const Backend& backend, const std::string& operation, Change change);
    void Opened(PortKind kind, bool ok, int error, const std::string& detail = "");
    void SendBox(uint8_t command);
    std::string ErrorText() const;

    std::unique_ptr<SerialBackend> serial_;
    std::unique_ptr<ParallelBackend> parallel_;
    std::unique_ptr<UsbBoxBackend> usb_;
    uint16_t parallelAddress_ = 0;
    uint16_t parallelPinMask_ = 0;
    bool lost_ = false;
    int lastError_ = 0;
    std::string lastDetail_;  // the backend's own words for lastError_, if any
    std::string lastOperation_;  // the line change that failed, if one did
    PortKind failedKind_ = PORT_NONE;  // the kind of port whose failure lastError_ is
    bool boxOpen_ = false;
    bool boxPresent_ = false;
    uint8_t boxCommand_ = 0;
};

// The system's backends: the terminal interface, libieee1284, libusb.
std::unique_ptr<Ports> MakeSystemPorts();

// A device path for a message box: one longer than `limit` characters is
// shortened in the middle with "…", so that the reason after it stays on the
// screen (the full path goes to stderr).
std::string ShortenedPath(const std::string& path, size_t limit = 80);

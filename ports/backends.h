// The three hardware backends behind the line operations. Each is one object
// per port kind; production uses the system's terminal interface and the
// libraries that touch hardware, tests hand recording fakes to Ports. None of them
// talks to the user: they return an outcome, and keep the cause of the last
// failure as an errno value (Error()) until the next operation, so that the
// caller can say why.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class SerialBackend {
public:
    virtual ~SerialBackend() = default;
    // Opens the device behind the chooser's port name ("COM1".."COM8", see
    // SerialDevicePath) for exclusive use and releases RTS and DTR. False
    // when it does not exist, is held by another program or may not be
    // opened; nothing stays open then, and no line of it was touched.
    virtual bool Open(const std::string& portName) = 0;
    // 2400 baud, 8 data bits, no parity, one stop bit, no flow control,
    // HUPCL. False when the port refuses; the port stays open.
    virtual bool Configure() = 0;
    // One edge each; only called while open. False when the change did not
    // reach the device (it is gone, or hung up).
    virtual bool SetRts(bool active) = 0;
    virtual bool SetDtr(bool active) = 0;
    // Lowers both lines and closes. Harmless when nothing is open.
    virtual void CloseDevice() = 0;
    virtual bool IsOpen() const = 0;
    // Whether the open device is still there (not unplugged, not hung up),
    // without touching a line; only called while open.
    virtual bool Present() { return true; }
    // The device path of the open port, or of the last one tried.
    virtual std::string Device() const = 0;
    virtual int Error() const = 0;
    // The whole reason for the last failure, where the errno cannot say it
    // ("/run/lock/LCK..ttyUSB0 is held by another program (unreadable lock
    // file)"); empty otherwise.
    virtual std::string ErrorDetail() const { return ""; }
};

class ParallelBackend {
public:
    virtual ~ParallelBackend() = default;
    // Claims the parallel port at `device` (a ppdev path such as
    // /dev/parport1), or, when it is empty, the one whose base address is
    // `baseAddress`: exclusively, or shared when a driver (lp) holds it.
    // False when there is none or it cannot be opened or claimed.
    virtual bool Open(uint16_t baseAddress, const std::string& device) = 0;
    // The data register; only called while open. False when it could not
    // be read or written.
    virtual bool ReadData(uint8_t& value) = 0;
    virtual bool WriteData(uint8_t value) = 0;
    virtual void CloseDevice() = 0;
    virtual bool IsOpen() const = 0;
    virtual int Error() const = 0;
    // The ppdev device that was looked for when no port was found at the
    // address (Error() ENODEV): "/dev/parport0"; empty otherwise.
    virtual std::string Device() const { return ""; }
};

// The DSUSB box takes one command byte; see lines.cpp for its bits.
class UsbBoxBackend {
public:
    virtual ~UsbBoxBackend() = default;
    // Finds, opens and claims the box. False with nothing left open when
    // there is no box (Error() is ENODEV), or it may not be used (EACCES,
    // EBUSY).
    virtual bool Open() = 0;
    // Sends one command byte, waiting at most 100 ms. False when it did not
    // reach the box.
    virtual bool Send(uint8_t command) = 0;
    // Whether the open box still answers, without a command.
    virtual bool Present() { return true; }
    virtual void CloseDevice() = 0;
    virtual int Error() const = 0;
    // The whole reason where the errno cannot say it ("USB is not available
    // (libusb_init: LIBUSB_ERROR_NO_MEM)"); empty otherwise.
    virtual std::string ErrorDetail() const { return ""; }
};

// Production backends (ports/serial, ports/parallel, ports/usb).
std::unique_ptr<SerialBackend> MakeTerminalBackend();
std::unique_ptr<ParallelBackend> MakeIeee1284Backend();
std::unique_ptr<UsbBoxBackend> MakeLibusbBackend();

// The device behind a chooser port name: "COM1".."COM4" -> /dev/ttyS0..3,
// "COM5".."COM8" -> /dev/ttyUSB0..3, parallel names -> "" (found by base
// address), unless SetPortDevice gave the name another device.
std::string PortDevicePath(const std::string& portName);
// The settings' [Ports] entries: `portName` ("COM5", "0x378-LPT1") is
// served by `device` from now on.
void SetPortDevice(const std::string& portName, const std::string& device);
// The [Ports] group of the settings file at `settingsPath` (~/.Vantrel):
// each entry puts another device behind a chooser port name
// ("COM5=/dev/ttyACM0", "0x378-LPT1=/dev/parport1"; "COM5-IR" and the
// "Pin3" entries use their base name's device). An entry that does not name
// a port of the chooser, or not an absolute path to a character device (or
// to none yet), is ignored with a line on stderr. A missing file is no group.
void ReadPortDevices(const std::string& settingsPath);
// The settings file: ~/.Vantrel ($HOME, else the password database's
// home folder).
std::string SettingsFilePath();
void ClearPortDevices();

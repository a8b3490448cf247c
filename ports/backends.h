// The three hardware backends behind the line operations. Each is one object
// per port kind; production uses the libraries that touch hardware, tests
// install recording fakes. None of them talks to the user: they return an
// outcome and the caller decides what the user sees.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class SerialBackend {
public:
    virtual ~SerialBackend() = default;
    // Opens the port named as the chooser names it ("COM1".."COM8") for
    // exclusive use and releases RTS and DTR. False when it does not exist,
    // is held by another program or may not be opened; nothing stays open.
    virtual bool Open(const std::string& portName) = 0;
    // 2400 baud, 8 data bits, no parity, one stop bit; everything else as
    // the port had it. False when the port refuses; the port stays open.
    virtual bool Configure() = 0;
    // One edge each; only called while open.
    virtual void SetRts(bool active) = 0;
    virtual void SetDtr(bool active) = 0;
    // Lowers both lines and closes. Harmless when nothing is open.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
};

class ParallelBackend {
public:
    virtual ~ParallelBackend() = default;
    // Claims the parallel port whose base address is `baseAddress`.
    // False when there is none there (or no access to it).
    virtual bool Open(uint16_t baseAddress) = 0;
    // The data register; only called while open.
    virtual uint8_t ReadData() = 0;
    virtual void WriteData(uint8_t value) = 0;
    virtual bool IsOpen() const = 0;
};

// The DSUSB box takes one command byte; see lines.cpp for its bits.
class UsbBoxBackend {
public:
    virtual ~UsbBoxBackend() = default;
    // Finds, opens and claims the box. False with nothing left open when
    // there is no box, no permission or no USB at all.
    virtual bool Open() = 0;
    // Sends one command byte; waits at most a second; a failure is ignored.
    virtual void Send(uint8_t command) = 0;
    virtual void Close() = 0;
};

// The backends in use. Production backends are made on first use; tests
// install their own before anything touches a port.
SerialBackend& SerialLines();
ParallelBackend& ParallelLines();
UsbBoxBackend& UsbBox();
void InstallBackends(std::unique_ptr<SerialBackend> serial, std::unique_ptr<ParallelBackend> parallel,
                     std::unique_ptr<UsbBoxBackend> usb);

// Production backends (ports/serial, ports/parallel, ports/usb).
std::unique_ptr<SerialBackend> MakeLibserialportBackend();
std::unique_ptr<ParallelBackend> MakeIeee1284Backend();
std::unique_ptr<UsbBoxBackend> MakeLibusbBackend();

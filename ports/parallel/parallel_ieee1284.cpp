// The parallel backend on libieee1284 (ppdev where the system has it).
#include <ieee1284.h>

#include <unistd.h>

#include <cerrno>
#include <string>

#include "ports/backends.h"

namespace {

const char* const PPDEV_PREFIX = "/dev/parport";
const char* const FIRST_PPDEV = "/dev/parport0";

// libieee1284 says little; errno holds the system's reason where it had one.
int Cause(int result)
{
    if (result == E1284_SYS && errno != 0)
        return errno;
    return result == E1284_NOTAVAIL ? ENODEV : EIO;
}

class Ieee1284Lines : public ParallelBackend {
public:
    ~Ieee1284Lines() override { CloseDevice(); }

    bool Open(uint16_t baseAddress, const std::string& device) override
    {
        CloseDevice();
        error_ = ENODEV;
        device_.clear();
        std::string ppdev = FIRST_PPDEV;  // the device that serves the address, where the kernel has one
        parport_list ports{};
        const int found = ieee1284_find_ports(&ports, 0);
        if (found != E1284_OK) {
            error_ = Cause(found);
            return false;
        }
        for (int i = 0; i < ports.portc && !port_; ++i) {
            parport* candidate = ports.portv[i];
            const bool wanted = device.empty() ? candidate->base_addr == baseAddress
                                               : candidate->filename && device == candidate->filename;
            if (wanted && candidate->filename && std::string(candidate->filename).rfind(PPDEV_PREFIX, 0) == 0)
                ppdev = candidate->filename;
            if (wanted && Claim(candidate)) {
                ieee1284_ref(candidate);  // keep it past the list
                port_ = candidate;
            }
        }
        ieee1284_free_ports(&ports);
        // Without a ppdev device the library guesses at raw I/O ports and
        // fails with an I/O error; what the user needs to know is that no
        // port is there.
        if (!port_ && device.empty() && (error_ == ENODEV || error_ == EIO) && access(ppdev.c_str(), F_OK) != 0) {
            error_ = ENODEV;
            device_ = ppdev;
        }
        return port_ != nullptr;
    }

    bool ReadData(uint8_t& value) override
    {
        const int data = ieee1284_read_data(port_);
        if (data < 0) {
            error_ = Cause(data);
            return false;
        }
        value = static_cast<uint8_t>(data);
        return true;
    }

    // The library's write reports nothing; reading the register back shows
    // whether the port is still there. (Its value is not compared: not
    // every port reads back what it drives in every mode.)
    bool WriteData(uint8_t value) override
    {
        ieee1284_write_data(port_, value);
        uint8_t back = 0;
        return ReadData(back);
    }

    void CloseDevice() override
    {
        if (!port_)
            return;
        ieee1284_release(port_);
        ieee1284_close(port_);
        ieee1284_unref(port_);
        port_ = nullptr;
    }

    bool IsOpen() const override { return port_ != nullptr; }
    int Error() const override { return error_; }
    std::string Device() const override { return device_; }

private:
    // Exclusively if it can be had; shared when a driver (the printer
    // module lp) holds the port, since the shutter bit is all this program
    // writes.
    bool Claim(parport* candidate)
    {
        int capabilities = 0;
        errno = 0;
        int result = ieee1284_open(candidate, F1284_EXCL, &capabilities);
        if (result != E1284_OK) {
            errno = 0;
            result = ieee1284_open(candidate, 0, &capabilities);
        }
        if (result != E1284_OK) {
            error_ = Cause(result);
            return false;
        }
        errno = 0;
        result = ieee1284_claim(candidate);
        if (result != E1284_OK) {
            error_ = Cause(result);
            ieee1284_close(candidate);
            return false;
        }
        return true;
    }

    parport* port_ = nullptr;
    int error_ = 0;
    std::string device_;
};

}  // namespace

std::unique_ptr<ParallelBackend> MakeIeee1284Backend() { return std::make_unique<Ieee1284Lines>(); }

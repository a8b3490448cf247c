#include "ports/serial/serial_libserialport.h"

#include <libserialport.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace {

constexpr int SERIAL_BAUD = 2400;
constexpr int SERIAL_DATA_BITS = 8;
constexpr int SERIAL_STOP_BITS = 1;

void SetModemLine(int fd, int line, bool active) { ioctl(fd, active ? TIOCMBIS : TIOCMBIC, &line); }

class LibserialportLines : public SerialBackend {
public:
    explicit LibserialportLines(std::function<std::string(const std::string&)> devicePath)
        : devicePath_(std::move(devicePath))
    {
    }
    ~LibserialportLines() override { Close(); }

    bool Open(const std::string& portName) override
    {
        Close();
        const std::string path = devicePath_(portName);
        if (path.empty() || sp_get_port_by_name(path.c_str(), &port_) != SP_OK) {
            port_ = nullptr;
            return false;
        }
        if (sp_open(port_, SP_MODE_READ_WRITE) != SP_OK || sp_get_port_handle(port_, &fd_) != SP_OK) {
            Free();
            return false;
        }
        // The lock comes before any line is touched: a port that another
        // program holds must keep its lines as they are.
        if (!ClaimExclusive(fd_)) {
            sp_close(port_);
            Free();
            return false;
        }
        // Opening raised RTS and DTR; the camera must see that for as short
        // a time as possible.
        SetModemLine(fd_, TIOCM_RTS, false);
        SetModemLine(fd_, TIOCM_DTR, false);
        return true;
    }

    bool Configure() override
    {
        if (!port_)
            return false;
        sp_port_config* config = nullptr;
        if (sp_new_config(&config) != SP_OK)
            return false;
        bool ok = sp_get_config(port_, config) == SP_OK && sp_set_config_baudrate(config, SERIAL_BAUD) == SP_OK &&
            sp_set_config_bits(config, SERIAL_DATA_BITS) == SP_OK &&
            sp_set_config_parity(config, SP_PARITY_NONE) == SP_OK &&
            sp_set_config_stopbits(config, SERIAL_STOP_BITS) == SP_OK && sp_set_config(port_, config) == SP_OK;
        sp_free_config(config);
        // Keep HUPCL, so that the kernel drops both lines if the program dies.
        termios settings{};
        ok = ok && tcgetattr(fd_, &settings) == 0;
        if (ok && !(settings.c_cflag & HUPCL)) {
            settings.c_cflag |= HUPCL;
            ok = tcsetattr(fd_, TCSANOW, &settings) == 0;
        }
        return ok;
    }

    void SetRts(bool active) override { SetModemLine(fd_, TIOCM_RTS, active); }
    void SetDtr(bool active) override { SetModemLine(fd_, TIOCM_DTR, active); }

    void Close() override
    {
        if (!port_)
            return;
        SetModemLine(fd_, TIOCM_RTS, false);
        SetModemLine(fd_, TIOCM_DTR, false);
        sp_close(port_);
        Free();
    }

    bool IsOpen() const override { return port_ != nullptr; }

private:
    void Free()
    {
        sp_free_port(port_);
        port_ = nullptr;
        fd_ = -1;
    }

    std::function<std::string(const std::string&)> devicePath_;
    sp_port* port_ = nullptr;
    int fd_ = -1;
};

}  // namespace

std::string SerialDevicePath(const std::string& portName)
{
    if (portName.size() != 4 || portName.compare(0, 3, "COM") != 0 || portName[3] < '1' || portName[3] > '8')
        return "";
    const int number = portName[3] - '1';
    return number < 4 ? "/dev/ttyS" + std::to_string(number) : "/dev/ttyUSB" + std::to_string(number - 4);
}

bool ClaimExclusive(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return false;
    if (ioctl(fd, TIOCEXCL) != 0) {
        flock(fd, LOCK_UN);
        return false;
    }
    return true;
}

std::unique_ptr<SerialBackend> MakeLibserialportBackend(std::function<std::string(const std::string&)> devicePath)
{
    return std::make_unique<LibserialportLines>(std::move(devicePath));
}

std::unique_ptr<SerialBackend> MakeLibserialportBackend() { return MakeLibserialportBackend(SerialDevicePath); }

#include "ports/serial/serial_lines.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

const char* const LOCK_DIR = "/run/lock";
constexpr speed_t SERIAL_BAUD = B2400;
constexpr mode_t LOCK_FILE_MODE = 0644;

// The pid written in a UUCP lock file ("%10d\n"), or 0.
pid_t LockOwner(const std::string& lockFile)
{
    FILE* file = std::fopen(lockFile.c_str(), "r");
    if (!file)
        return 0;
    long pid = 0;
    if (std::fscanf(file, "%ld", &pid) != 1)
        pid = 0;
    std::fclose(file);
    return static_cast<pid_t>(pid);
}

bool Alive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

class TerminalLines : public SerialBackend {
public:
    explicit TerminalLines(std::string lockDir)
        : lockDir_(std::move(lockDir))
    {
    }
    ~TerminalLines() override { Close(); }

    bool Open(const std::string& portName) override
    {
        Close();
        error_ = 0;
        device_ = PortDevicePath(portName);
        if (device_.empty())
            return Fail(ENOENT);
        if (!TakeLockFile())
            return false;
        fd_ = open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            return Abandon(errno);
        // The claim comes before any line is touched: a port that another
        // program holds must keep its lines as they are. Root opens a port
        // in exclusive mode all the same, so that mode is looked at first.
        int exclusive = 0;
        if ((ioctl(fd_, TIOCGEXCL, &exclusive) == 0 && exclusive) || !ClaimExclusive(fd_))
            return Abandon(EBUSY);
        // Opening raised RTS and DTR; the camera must see that for as short
        // a time as possible.
        if (!SetRts(false) || !SetDtr(false))
            return Abandon(error_);
        return true;
    }

    bool Configure() override
    {
        termios settings{};
        if (fd_ < 0 || tcgetattr(fd_, &settings) != 0)
            return Fail(fd_ < 0 ? EBADF : errno);
        cfmakeraw(&settings);
        cfsetispeed(&settings, SERIAL_BAUD);
        cfsetospeed(&settings, SERIAL_BAUD);
        // 8N1; no RTS/CTS and no XON/XOFF, whatever the port had before:
        // this program alone drives RTS and DTR. HUPCL drops both lines
        // when the last descriptor closes, also if the program dies.
        settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
        settings.c_cflag |= CS8 | CLOCAL | CREAD | HUPCL;
        settings.c_iflag &= ~(IXON | IXOFF | IXANY);
        if (tcsetattr(fd_, TCSANOW, &settings) != 0)
            return Fail(errno);
        // tcsetattr succeeds when any of the settings took; check them all.
        termios applied{};
        if (tcgetattr(fd_, &applied) != 0)
            return Fail(errno);
        const tcflag_t wanted = CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL;
        if ((applied.c_cflag & wanted) != (settings.c_cflag & wanted) || cfgetospeed(&applied) != SERIAL_BAUD ||
            (applied.c_iflag & (IXON | IXOFF)) != 0)
            return Fail(EINVAL);
        return true;
    }

    bool SetRts(bool active) override { return SetModemLine(TIOCM_RTS, active); }
    bool SetDtr(bool active) override { return SetModemLine(TIOCM_DTR, active); }

    void Close() override
    {
        if (fd_ < 0)
            return;
        SetModemLine(TIOCM_RTS, false);
        SetModemLine(TIOCM_DTR, false);
        ioctl(fd_, TIOCNXCL);
        close(fd_);
        fd_ = -1;
        ReleaseLockFile();
    }

    bool IsOpen() const override { return fd_ >= 0; }
    std::string Device() const override { return device_; }
    int Error() const override { return error_; }

private:
    bool SetModemLine(int line, bool active)
    {
        if (ioctl(fd_, active ? TIOCMBIS : TIOCMBIC, &line) == 0)
            return true;
        return Fail(errno);
    }

    bool Fail(int error)
    {
        error_ = error;
        return false;
    }

    // Gives up an open that went wrong: nothing stays open or locked.
    bool Abandon(int error)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        ReleaseLockFile();
        return Fail(error);
    }

    // A lock held by a live process means the port is in use; a stale one
    // (its process is gone) is removed. Where no lock file can be made at
    // all (no lock folder), the exclusive claim alone protects the port.
    bool TakeLockFile()
    {
        lockFile_ = LockFilePath(lockDir_, device_);
        for (int attempt = 0; attempt < 2; ++attempt) {
            const int fd = open(lockFile_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, LOCK_FILE_MODE);
            if (fd >= 0) {
                const std::string text = std::to_string(getpid());
                char line[16];
                const int length = std::snprintf(line, sizeof line, "%10s\n", text.c_str());
                const bool written = write(fd, line, length) == length;
                close(fd);
                if (!written) {
                    unlink(lockFile_.c_str());
                    break;
                }
                ownLock_ = true;
                return true;
            }
            if (errno != EEXIST)
                break;
            const pid_t owner = LockOwner(lockFile_);
            if (owner == getpid() || Alive(owner))
                return Fail(EBUSY);
            unlink(lockFile_.c_str());
        }
        return true;
    }

    void ReleaseLockFile()
    {
        if (ownLock_)
            unlink(lockFile_.c_str());
        ownLock_ = false;
    }

    std::string lockDir_;
    std::string device_;
    std::string lockFile_;
    bool ownLock_ = false;
    int fd_ = -1;
    int error_ = 0;
};

}  // namespace

std::string LockFilePath(const std::string& lockDir, const std::string& device)
{
    char resolved[PATH_MAX];
    const std::string path = realpath(device.c_str(), resolved) ? std::string(resolved) : device;
    return lockDir + "/LCK.." + path.substr(path.rfind('/') + 1);
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

std::unique_ptr<SerialBackend> MakeTerminalBackend(const std::string& lockDir)
{
    return std::make_unique<TerminalLines>(lockDir);
}

std::unique_ptr<SerialBackend> MakeTerminalBackend() { return MakeTerminalBackend(LOCK_DIR); }

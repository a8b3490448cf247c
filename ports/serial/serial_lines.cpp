#include "ports/serial/serial_lines.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const LOCK_DIR = "/run/lock";
constexpr speed_t SERIAL_BAUD = B2400;
constexpr mode_t LOCK_FILE_MODE = 0644;

// Who holds a UUCP lock file, by the pid written in it: ASCII ("%10d\n", as
// programs write it today) or the older 4-byte binary form. A lock that
// cannot be read that way is held by someone all the same.
enum class LockHolder { NOBODY, SOMEONE_ALIVE, UNREADABLE };

bool ReadLockPid(const std::string& lockFile, pid_t& pid)
{
    FILE* file = std::fopen(lockFile.c_str(), "rb");
    if (!file)
        return false;
    char text[64];
    const size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[length] = '\0';
    size_t at = std::strspn(text, " ");
    const size_t digits = std::strspn(text + at, "0123456789");
    if (digits > 0 && digits <= 10 && std::strspn(text + at + digits, " \n") == length - at - digits) {
        pid = static_cast<pid_t>(std::strtol(text + at, nullptr, 10));
        return pid > 0;
    }
    if (length == sizeof(int32_t)) {
        int32_t binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        pid = binary;
        return pid > 0;
    }
    return false;
}

bool Alive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

// A lock with Vantrel's own pid is stale: this process holds no port of
// that name (in a container, the pid of an earlier Vantrel comes back).
LockHolder Holder(const std::string& lockFile)
{
    pid_t pid = 0;
    if (!ReadLockPid(lockFile, pid))
        return access(lockFile.c_str(), F_OK) == 0 ? LockHolder::UNREADABLE : LockHolder::NOBODY;
    return pid != getpid() && Alive(pid) ? LockHolder::SOMEONE_ALIVE : LockHolder::NOBODY;
}

class TerminalLines : public SerialBackend {
public:
    explicit TerminalLines(std::string lockDir)
        : lockDir_(std::move(lockDir))
    {
    }
    ~TerminalLines() override { CloseDevice(); }

    bool Open(const std::string& portName) override
    {
        CloseDevice();
        error_ = 0;
        detail_.clear();
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
        if (ioctl(fd_, TIOCGEXCL, &exclusive) == 0 && exclusive)
            return Abandon(EBUSY);
        const int claim = ClaimExclusive(fd_);
        if (claim != 0)
            return Abandon(claim);
        claimed_ = true;
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

    void CloseDevice() override
    {
        if (fd_ < 0)
            return;
        SetModemLine(TIOCM_RTS, false);
        SetModemLine(TIOCM_DTR, false);
        CloseClaimed();
        ReleaseLockFile();
    }

    bool IsOpen() const override { return fd_ >= 0; }
    // A hung-up terminal (an adapter unplugged, a pseudo-terminal's other
    // end gone) says so to poll; a modem-status read fails on some.
    bool Present() override
    {
        pollfd device{fd_, 0, 0};
        if (poll(&device, 1, 0) > 0 && (device.revents & (POLLHUP | POLLERR | POLLNVAL)))
            return Fail(EIO);
        int lines = 0;
        if (ioctl(fd_, TIOCMGET, &lines) != 0 && errno != ENOTTY && errno != EINVAL)
            return Fail(errno);
        return true;
    }
    std::string Device() const override { return device_; }
    int Error() const override { return error_; }
    std::string ErrorDetail() const override { return detail_; }

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

    // The terminal is given back as it was found: exclusive mode cleared
    // and the flock released before the close, or every other program's
    // open fails with EBUSY, after this one has gone too.
    void CloseClaimed()
    {
        if (claimed_) {
            ioctl(fd_, TIOCNXCL);
            flock(fd_, LOCK_UN);
        }
        claimed_ = false;
        close(fd_);
        fd_ = -1;
    }

    // Gives up an open that went wrong: nothing stays open, claimed or
    // locked.
    bool Abandon(int error)
    {
        if (fd_ >= 0)
            CloseClaimed();
        ReleaseLockFile();
        return Fail(error);
    }

    // A lock held by a live process (or one that cannot be read) means the
    // port is in use; a stale one (its process is gone) is removed. Where no lock file can be made at
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
            switch (Holder(lockFile_)) {
            case LockHolder::SOMEONE_ALIVE:
                return Fail(EBUSY);
            case LockHolder::UNREADABLE:  // never deleted: its owner may be alive
                detail_ = lockFile_ + " is held by another program (unreadable lock file)";
                return Fail(EBUSY);
            case LockHolder::NOBODY:
                unlink(lockFile_.c_str());
                break;
            }
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
    bool claimed_ = false;  // flock and exclusive mode taken on fd_
    int error_ = 0;
    std::string detail_;
};

}  // namespace

std::string LockFilePath(const std::string& lockDir, const std::string& device)
{
    char resolved[PATH_MAX];
    const std::string path = realpath(device.c_str(), resolved) ? std::string(resolved) : device;
    return lockDir + "/LCK.." + path.substr(path.rfind('/') + 1);
}

int ClaimExclusive(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? EBUSY : errno;
    if (ioctl(fd, TIOCEXCL) != 0) {
        const int error = errno;  // ENOTTY: not a terminal at all
        flock(fd, LOCK_UN);
        return error;
    }
    return 0;
}

std::unique_ptr<SerialBackend> MakeTerminalBackend(const std::string& lockDir)
{
    return std::make_unique<TerminalLines>(lockDir);
}

std::unique_ptr<SerialBackend> MakeTerminalBackend() { return MakeTerminalBackend(LOCK_DIR); }

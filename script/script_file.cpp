// Scripts in files: read whole, written whole.
#include "script/script_file.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {
// A script is a few hundred bytes; a megabyte is something else.
constexpr off_t MAX_SCRIPT_BYTES = 1 << 20;
}  // namespace

// The text is written beside the file and put in its place only once it is
// whole on the disk: a full disk or a failed write leaves the file as it
// was. The file keeps its permissions, and a link to it stays a link.
// Returns 0, or the errno of what failed.
int WriteScriptFile(const std::string& chosen, const std::string& text)
{
    char* real = realpath(chosen.c_str(), nullptr);
    const std::string path = real ? real : chosen;
    std::free(real);
    const std::string beside = path + ".saving";
    struct stat before { };
    const bool existed = stat(path.c_str(), &before) == 0;
    const int fd = open(beside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    int error = existed && fchmod(fd, before.st_mode & 07777) != 0 ? errno : 0;
    for (size_t done = 0; error == 0 && done < text.size();) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written >= 0)
            done += static_cast<size_t>(written);
        else if (errno != EINTR)
            error = errno;
    }
    if (error == 0 && fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && rename(beside.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0)
        unlink(beside.c_str());
    return error;
}

// A script is a small text file. Empty, or why the file at `path` cannot
// be one: whatever else is chosen (an image, a folder, a FIFO) is refused
// before it reaches the editor.
std::string ReadScriptFile(const std::string& path, std::string& text)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    struct stat info { };
    std::string why = fstat(fd, &info) != 0 ? std::strerror(errno)
        : !S_ISREG(info.st_mode)            ? "not a file"
        : info.st_size > MAX_SCRIPT_BYTES   ? "too large for a script"
                                            : "";
    char chunk[4096];
    while (why.empty() && text.size() <= static_cast<size_t>(MAX_SCRIPT_BYTES)) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got > 0)
            text.append(chunk, static_cast<size_t>(got));
        else if (got == 0)
            break;
        else if (errno != EINTR)
            why = std::strerror(errno);
    }
    close(fd);
    if (why.empty() && text.size() > static_cast<size_t>(MAX_SCRIPT_BYTES))
        why = "too large for a script";
    if (why.empty() && !g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        why = "not a text file";
    return why;
}

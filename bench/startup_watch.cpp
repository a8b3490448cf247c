// Starts a program and reports when its window named TITLE is mapped (the
// time from the start of the process) and the peak memory of the process
// soon after; then ends it.
//
//   startup_watch TITLE PROGRAM [ARGUMENT...]   ->  "<ms> <peak kB>"
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace {

bool HasTitle(Display* display, Window window, const char* title)
{
    char* name = nullptr;
    const bool match = XFetchName(display, window, &name) && name && std::strcmp(name, title) == 0;
    if (name)
        XFree(name);
    return match;
}

long PeakKilobytes(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return 2;
    const Window root = DefaultRootWindow(display);
    XSelectInput(display, root, SubstructureNotifyMask);
    XSync(display, False);

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    // A program that ends without showing its window ends the watch too.
    double ms = -1;
    while (ms < 0) {
        if (!XPending(display)) {
            pollfd connection{ConnectionNumber(display), POLLIN, 0};
            poll(&connection, 1, 100);
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                std::fprintf(stderr, "startup_watch: %s ended without showing \"%s\"\n", argv[2], argv[1]);
                return 1;
            }
            continue;
        }
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MapNotify && HasTitle(display, event.xmap.window, argv[1]))
            ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long peak = PeakKilobytes(pid);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    std::printf("%.1f %ld\n", ms, peak);
    return 0;
}

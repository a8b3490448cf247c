#include "ports/open_port.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "ports/port_choice.h"
#include "ports/trigger_lines.h"

PortOpening OpenPort(Ports& ports, const std::string& text)
{
    const auto& entries = PortChoiceTexts();
    const bool named = text == "DSUSB" || (!text.empty() && text[0] == '/') ||
        std::find(entries.begin(), entries.end(), text) != entries.end();
    if (!named) {
        PortOpening opening;
        opening.failure =
            "\"" + text + "\" is not a port: give a chooser name (COM5, COM5-IR, 0x378-LPT1, DSUSB) or a device path";
        return opening;
    }
    return PortKindFor(text)->open(ports, text);
}

bool IsPortDevice(const std::string& path, const std::string& sysfs, std::string& why)
{
    char resolved[PATH_MAX];
    const std::string device = realpath(path.c_str(), resolved) ? resolved : path;
    const std::string DEV = "/dev/";
    const std::string name = device.rfind(DEV, 0) == 0 ? device.substr(DEV.size()) : "";
    if (name.empty() || name.find('/') != std::string::npos) {
        why = "not a serial or parallel port's device";
        return false;
    }
    if (name.rfind("parport", 0) == 0)
        return true;
    // A tty the hardware backs has a device behind it; a virtual console,
    // a pseudo-terminal or /dev/tty has none.
    struct stat info { };
    if (stat((sysfs + "/class/tty/" + name + "/device").c_str(), &info) != 0) {
        why = "not a serial port (a terminal or a console, or no such device)";
        return false;
    }
    std::ifstream consoles(sysfs + "/class/tty/console/active");
    std::string active((std::istreambuf_iterator<char>(consoles)), {});
    std::istringstream words(active);
    for (std::string word; words >> word;)
        if (word == name) {
            why = "the system's console";
            return false;
        }
    return true;
}

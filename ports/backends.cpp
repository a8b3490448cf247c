#include "ports/backends.h"
#include "ports/port_choice.h"
#include "ports/ports.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>

namespace {
const char* const PORTS_GROUP = "[Ports]";
// Made on first use: a driver's device may read it during static
// initialisation.
std::map<std::string, std::string>& PortDevices()
{
    static std::map<std::string, std::string> devices;
    return devices;
}
constexpr int SERIAL_PORTS = 8;
constexpr int ONBOARD_SERIAL_PORTS = 4;  // COM1..COM4 are the UARTs, the rest USB adapters
}  // namespace

std::unique_ptr<Ports> MakeSystemPorts()
{
    return std::make_unique<Ports>(MakeTerminalBackend(), MakeIeee1284Backend(), MakeLibusbBackend());
}

std::string PortDevicePath(const std::string& portName)
{
    const auto mapped = PortDevices().find(portName);
    if (mapped != PortDevices().end())
        return mapped->second;
    if (!portName.empty() && portName[0] == '/')
        return portName;  // a device path names itself
    if (portName.size() != 4 || portName.compare(0, 3, "COM") != 0 || portName[3] < '1' ||
        portName[3] > '0' + SERIAL_PORTS)
        return "";
    const int number = portName[3] - '1';
    return number < ONBOARD_SERIAL_PORTS ? "/dev/ttyS" + std::to_string(number)
                                         : "/dev/ttyUSB" + std::to_string(number - ONBOARD_SERIAL_PORTS);
}

void SetPortDevice(const std::string& portName, const std::string& device) { PortDevices()[portName] = device; }

namespace {

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// An absolute path that is a character device, or that does not exist yet
// (an adapter that is not plugged in: opening it then says so).
bool UsableDevicePath(const std::string& device)
{
    if (device.empty() || device[0] != '/')
        return false;
    struct stat info { };
    if (stat(device.c_str(), &info) != 0)
        return true;
    return S_ISCHR(info.st_mode);
}

}  // namespace

std::string SettingsFilePath()
{
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* user = getpwuid(getuid());
        home = user ? user->pw_dir : "";
    }
    return std::string(home) + "/.Vantrel";
}

// The file is the toolkit's store: "[Group]" lines and "key=value" entries.
void ReadPortDevices(const std::string& settingsPath)
{
    std::ifstream file(settingsPath);
    bool inPorts = false;
    for (std::string line; std::getline(file, line);) {
        line = Trimmed(line);
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        if (line[0] == '[') {
            inPorts = line == PORTS_GROUP;
            continue;
        }
        const size_t equals = line.find('=');
        if (!inPorts || equals == std::string::npos)
            continue;
        const std::string name = Trimmed(line.substr(0, equals));
        std::string device = Trimmed(line.substr(equals + 1));
        if (device.size() >= 2 && device.front() == '"' && device.back() == '"')
            device = device.substr(1, device.size() - 2);
        bool known = false;
        for (const std::string& text : PortChoiceTexts())
            known = known || DecodePortChoice(text).deviceName == name;
        if (!known || !UsableDevicePath(device)) {
            std::fprintf(stderr, "vantrel: ignoring [Ports] %s=%s in the settings (%s)\n", name.c_str(), device.c_str(),
                         known ? "not an absolute path to a device" : "not a port of the chooser");
            continue;
        }
        SetPortDevice(name, device);
    }
}
void ClearPortDevices() { PortDevices().clear(); }

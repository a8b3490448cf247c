#include "ports/backends.h"
#include "ports/ports.h"

#include <map>

namespace {
std::map<std::string, std::string> portDevices;
constexpr int SERIAL_PORTS = 8;
constexpr int ONBOARD_SERIAL_PORTS = 4;  // COM1..COM4 are the UARTs, the rest USB adapters
}  // namespace

std::unique_ptr<Ports> MakeSystemPorts()
{
    return std::make_unique<Ports>(MakeTerminalBackend(), MakeIeee1284Backend(), MakeLibusbBackend());
}

std::string PortDevicePath(const std::string& portName)
{
    const auto mapped = portDevices.find(portName);
    if (mapped != portDevices.end())
        return mapped->second;
    if (portName.size() != 4 || portName.compare(0, 3, "COM") != 0 || portName[3] < '1' ||
        portName[3] > '0' + SERIAL_PORTS)
        return "";
    const int number = portName[3] - '1';
    return number < ONBOARD_SERIAL_PORTS ? "/dev/ttyS" + std::to_string(number)
                                         : "/dev/ttyUSB" + std::to_string(number - ONBOARD_SERIAL_PORTS);
}

void SetPortDevice(const std::string& portName, const std::string& device) { portDevices[portName] = device; }
void ClearPortDevices() { portDevices.clear(); }

// The port chooser's entries and what each one opens, decided by its text
// alone. No toolkit, no hardware.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The 22 entries, in the order the chooser shows them.
const std::vector<std::string>& PortChoiceTexts();

struct PortChoice {
    std::string portName;  // the text up to its first '-': "COM3", "0x278"
    // What the settings' [Ports] group names its device by: the entry
    // without "-IR" or " Pin3" ("COM3", "0x278-LPT2").
    std::string deviceName;
    bool parallel = false;  // the port name begins with "0x"
    bool infrared = false;  // serial, and the text contains "-IR"
    uint16_t address = 0;  // parallel: the port name read as hexadecimal
    uint16_t pinMask = 0;  // parallel: 2 when the text contains "Pin3", else 1
};

// A device path ("/dev/ttyACM0", as the INDI driver takes it) decodes as a
// serial port whose port and device names are the path.
PortChoice DecodePortChoice(const std::string& text);

// The data register value with the `pinMask` bit set (on) or cleared (off),
// every other bit as in `data`.
uint8_t WithParallelLine(uint8_t data, uint16_t pinMask, bool on);

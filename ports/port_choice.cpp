#include "ports/port_choice.h"

#include <cstdlib>

const std::vector<std::string>& PortChoiceTexts()
{
    static const std::vector<std::string> texts = {
        "COM1",
        "COM2",
        "COM3",
        "COM4",
        "0x378-LPT1",
        "0x278-LPT2",
        "0x3BC-LPTx",
        "COM5",
        "COM6",
        "COM7",
        "COM8",
        "COM1-IR",
        "COM2-IR",
        "COM3-IR",
        "COM4-IR",
        "COM5-IR",
        "COM6-IR",
        "COM7-IR",
        "COM8-IR",
        "0x378-LPT1 Pin3",
        "0x278-LPT2 Pin3",
        "0x3BC-LPTx Pin3",
    };
    return texts;
}

PortChoice DecodePortChoice(const std::string& text)
{
    PortChoice choice;
    if (!text.empty() && text[0] == '/') {  // a device path: a serial port by that device
        choice.portName = text;
        choice.deviceName = text;
        return choice;
    }
    choice.portName = text.substr(0, text.find('-'));
    choice.parallel = choice.portName.compare(0, 2, "0x") == 0;
    if (choice.parallel) {
        choice.address = static_cast<uint16_t>(std::strtoul(choice.portName.c_str(), nullptr, 16));
        choice.pinMask = text.find("Pin3") != std::string::npos ? 2 : 1;
        choice.deviceName = text.substr(0, text.find(' '));
    } else {
        choice.infrared = text.find("-IR") != std::string::npos;
        choice.deviceName = choice.portName;
    }
    return choice;
}

uint8_t WithParallelLine(uint8_t data, uint16_t pinMask, bool on)
{
    const auto mask = static_cast<uint8_t>(pinMask);
    return static_cast<uint8_t>(on ? (data | mask) : (data & ~mask));
}

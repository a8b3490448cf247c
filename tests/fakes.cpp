#include "tests/fakes.h"

#include <wx/app.h>

#include <cstdio>
#include <memory>
#include <ostream>

namespace {
std::string Hex(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value);
    return text;
}
}  // namespace

std::ostream& operator<<(std::ostream& out, const LineEvent& event) { return out << event.ms << " " << event.what; }

std::vector<std::string> EventLog::Whats() const
{
    std::vector<std::string> whats;
    for (const LineEvent& event : events)
        whats.push_back(event.what);
    return whats;
}

bool FakeSerial::Open(const std::string& portName)
{
    log_.Add("serial open " + portName);
    open_ = openSucceeds;
    return open_;
}

bool FakeSerial::Configure()
{
    log_.Add("serial 2400 8N1");
    return configureSucceeds;
}

void FakeSerial::SetRts(bool active) { log_.Add(active ? "RTS 1" : "RTS 0"); }
void FakeSerial::SetDtr(bool active) { log_.Add(active ? "DTR 1" : "DTR 0"); }

void FakeSerial::Close()
{
    log_.Add("serial close");
    open_ = false;
}

bool FakeParallel::Open(uint16_t baseAddress)
{
    log_.Add("parallel open " + Hex(baseAddress));
    open_ = present;
    return open_;
}

void FakeParallel::WriteData(uint8_t value)
{
    data = value;
    log_.Add("data " + Hex(value));
}

bool FakeUsb::Open()
{
    log_.Add("usb open");
    return present;
}

void FakeUsb::Send(uint8_t command) { log_.Add("usb " + Hex(command)); }
void FakeUsb::Close() { log_.Add("usb close"); }

void InstallFakes(Fakes& fakes)
{
    fakes.log = EventLog();
    auto serial = std::make_unique<FakeSerial>(fakes.log);
    auto parallel = std::make_unique<FakeParallel>(fakes.log);
    auto usb = std::make_unique<FakeUsb>(fakes.log);
    fakes.serial = serial.get();
    fakes.parallel = parallel.get();
    fakes.usb = usb.get();
    InstallBackends(std::move(serial), std::move(parallel), std::move(usb));
}

void VirtualClock::Yield()
{
    while (!scripted_.empty() && scripted_.begin()->first <= log_.now) {
        auto action = std::move(scripted_.begin()->second);
        scripted_.erase(scripted_.begin());
        action();
    }
    if (onYield)
        onYield();
    if (wxTheApp)
        wxTheApp->Yield(true);
}

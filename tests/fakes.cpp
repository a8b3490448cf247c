#include "tests/fakes.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <ostream>
#include <sstream>

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

bool EventLog::Reach(const std::string& what)
{
    if (failures > 0) {
        --failures;
        Add(what + " failed");
        return false;
    }
    Add(what);
    return true;
}

bool FakeSerial::Open(const std::string& portName)
{
    log_.Add("serial open " + portName);
    device_ = PortDevicePath(portName);
    open_ = openSucceeds;
    return open_;
}

bool FakeSerial::Configure()
{
    log_.Add("serial 2400 8N1");
    return configureSucceeds;
}

bool FakeSerial::SetRts(bool active) { return log_.Reach(active ? "RTS 1" : "RTS 0"); }
bool FakeSerial::SetDtr(bool active) { return log_.Reach(active ? "DTR 1" : "DTR 0"); }

void FakeSerial::CloseDevice()
{
    log_.Add("serial close");
    open_ = false;
}

bool FakeParallel::Open(uint16_t baseAddress, const std::string& device)
{
    log_.Add("parallel open " + (device.empty() ? Hex(baseAddress) : device));
    open_ = present;
    return open_;
}

bool FakeParallel::ReadData(uint8_t& value)
{
    value = data;
    return !unreadable && !log_.hungUp;
}

bool FakeParallel::WriteData(uint8_t value)
{
    if (!log_.Reach("data " + Hex(value)))
        return false;
    data = value;
    return true;
}

void FakeParallel::CloseDevice()
{
    if (open_)
        log_.Add("parallel close");
    open_ = false;
}

bool FakeUsb::Open()
{
    log_.Add("usb open");
    return present && usable;
}

bool FakeUsb::Send(uint8_t command) { return log_.Reach("usb " + Hex(command)); }
void FakeUsb::CloseDevice() { log_.Add("usb close"); }

void InstallFakes(Fakes& fakes)
{
    fakes.log = EventLog();
    auto serial = std::make_unique<FakeSerial>(fakes.log);
    auto parallel = std::make_unique<FakeParallel>(fakes.log);
    auto usb = std::make_unique<FakeUsb>(fakes.log);
    fakes.serial = serial.get();
    fakes.parallel = parallel.get();
    fakes.usb = usb.get();
    fakes.ports = std::make_unique<Ports>(std::move(serial), std::move(parallel), std::move(usb));
}

std::string OpenFakePort(Fakes& fakes, PortKind kind)
{
    std::string name = "none";
    switch (kind) {
    case PORT_DSUSB:
        fakes.usb->present = true;
        fakes.ports->DsusbOpen();
        name = "DSUSB";
        break;
    case PORT_SERIAL:
    case PORT_SERIAL_IR:
        fakes.ports->Serial().Open("COM2");
        name = kind == PORT_SERIAL_IR ? "COM2-IR" : "COM2";
        break;
    case PORT_PARALLEL:
        fakes.ports->OpenParallelPort("0x378-LPT1");
        name = "0x378-LPT1";
        break;
    case PORT_NONE:
        break;
    }
    fakes.log.events.clear();
    return name;
}

void VirtualClock::RunUntil(const std::function<bool()>& done)
{
    while (!done()) {
        if (!due_ && scripted_.empty())
            return;  // nothing will ever happen: the caller's checks fail
        const int64_t next =
            due_ && (scripted_.empty() || deadline_ <= scripted_.begin()->first) ? deadline_ : scripted_.begin()->first;
        log_.now = std::max(log_.now, next);
        if (due_ && deadline_ <= log_.now) {
            auto due = std::move(due_);
            due_ = nullptr;
            due();
        }
        if (!done())
            Yield();
    }
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
    if (toolkitYield)
        toolkitYield();
}

void FakeGuider::Watch(std::function<void(const GuideEvent&)> onEvent)
{
    onEvent_ = std::move(onEvent);
    if (connected_)
        return;
    if (refuses) {
        log_.Add("watch refused");
        GuideEvent lost;
        lost.kind = GuideEventKind::CONNECTION_LOST;
        onEvent_(lost);
        return;
    }
    connected_ = true;
    log_.Add("watch");
    if (!appState.empty()) {
        GuideEvent state;
        state.kind = GuideEventKind::APP_STATE;
        state.state = GuiderStateNamed(appState);
        onEvent_(state);
    }
}

void FakeGuider::EventAt(int64_t atMs, const std::string& text)
{
    GuideEvent event;
    std::istringstream words(text);
    std::string name;
    words >> name;
    event.kind = GuideEventNamed(name);
    if (event.kind == GuideEventKind::APP_STATE) {
        words >> name;
        event.state = GuiderStateNamed(name);
    } else {
        words >> event.raDistanceRaw >> event.decDistanceRaw;
    }
    clock_.At(atMs, [this, event] {
        connected_ = connected_ && event.kind != GuideEventKind::CONNECTION_LOST;
        if (onEvent_)
            onEvent_(event);
    });
}

void FakeGuider::Dither(const DitherRequest& request, std::function<void(const DitherOutcome&)> done)
{
    log_.Add("dither " + std::to_string(request.pixels) + " px, settle " + std::to_string(request.settleSeconds) +
             " s");
    if (answerMs < 0)
        return;
    const int generation = ++generation_;
    clock_.At(log_.now + answerMs, [this, generation, done, settled = settles] {
        if (generation == generation_)
            done(DitherOutcome{settled, settled ? "" : "not guiding"});
    });
}

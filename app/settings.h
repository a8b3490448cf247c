// The settings file (~/.Vantrel, the toolkit's store): the AF mode, kept by
// the window through its SettingsStore with the View menu's choices and the
// last script file, and the [Ports] group that puts
// another device behind a chooser port name ("COM5=/dev/ttyACM0",
// "0x378-LPT1=/dev/parport1"; "COM5-IR" and the "Pin3" entries use their
// base name's device), read at start and never written: a bad entry is
// ignored with a line on stderr.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "mainwindow/main_frame.h"

void ReadPortDevices();

// The [Guider] group: where PHD2's event server listens (Host=localhost,
// Port=4400; a second PHD2 listens on 4401). Read, never written; a bad
// port is ignored with a line on stderr.
struct GuiderAddress {
    std::string host = "localhost";
    uint16_t port = 4400;
};
GuiderAddress ReadGuiderAddress();
std::unique_ptr<SettingsStore> MakeSettingsFileStore();

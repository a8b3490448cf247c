// The settings file (~/.Vantrel, the toolkit's store): the AF mode, kept by
// the window through its SettingsStore with the View menu's choices and the
// last script file, and the [Ports] group that puts
// another device behind a chooser port name ("COM5=/dev/ttyACM0",
// "0x378-LPT1=/dev/parport1"; "COM5-IR" and the "Pin3" entries use their
// base name's device), read at start and never written: a bad entry is
// ignored with a line on stderr.
#pragma once

#include <memory>

#include "mainwindow/main_frame.h"

void ReadPortDevices();
std::unique_ptr<SettingsStore> MakeSettingsFileStore();

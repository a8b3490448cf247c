#pragma once

#include "mainwindow/main_frame.h"

// Builds and shows the main window on the engine's parts, then connects a
// trigger port: the DSUSB box if one answers, else the port the user picks.
// The outcome is on the status line; without a port the user is told so
// and the program carries on.
MyFrame* OpenMainWindowAndPort(const WindowParts& parts);

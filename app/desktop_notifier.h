#pragma once

#include <memory>

#include "mainwindow/frame_view.h"

// org.freedesktop.Notifications on the session bus, asked without waiting
// for an answer. Without a session bus or a notification server nothing is
// shown, and stderr says so once. Sounds through libcanberra (the sound
// theme's names), or the display's bell without a sound server.
std::unique_ptr<DesktopNotifier> MakeDesktopNotifier();

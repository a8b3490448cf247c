#pragma once

class MyFrame;

// Builds and shows the main window, then connects a trigger port: the DSUSB
// box if one answers, else the port the user picks. The outcome is on the
// status line; without a port the user is told so and the program carries on.
MyFrame* OpenMainWindowAndPort();

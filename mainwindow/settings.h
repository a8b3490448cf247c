// The [Ports] group of the settings file: each entry puts another device
// behind a chooser port name ("COM5=/dev/ttyACM0", "0x378-LPT1=/dev/parport1";
// "COM5-IR" and the "Pin3" entries use their base name's device). Read at
// start, never written; a bad entry is ignored with a line on stderr.
#pragma once

void ReadPortDevices();

// The auto-focus line modes: what the focus line does during an exposure.
#pragma once

enum AFModes : int { AF_NONE = 0, AF_PULSE_AT_START = 1, AF_HELD_DURING = 2 };

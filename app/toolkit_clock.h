#pragma once

#include <memory>

#include "runner/clock.h"

// The engine's monotonic clock, running the toolkit's event loop.
std::unique_ptr<Clock> MakeToolkitClock();

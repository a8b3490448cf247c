#include <string>

#include "guider/guider.h"

namespace {

// PHD2's event names, in the enum's order.
const char* const EVENT_NAMES[] = {
    "Other",
    "ConnectionLost",
    "Version",
    "AppState",
    "LockPositionSet",
    "LockPositionLost",
    "StarSelected",
    "StarLost",
    "StartCalibration",
    "Calibrating",
    "CalibrationComplete",
    "StartGuiding",
    "GuideStep",
    "GuidingDithered",
    "SettleBegin",
    "Settling",
    "SettleDone",
    "Paused",
    "Resumed",
    "GuidingStopped",
    "LoopingExposures",
    "LoopingExposuresStopped",
    "Alert",
    "ConfigurationChange",
};
static_assert(sizeof EVENT_NAMES / sizeof EVENT_NAMES[0] ==
                  static_cast<size_t>(GuideEventKind::CONFIGURATION_CHANGE) + 1,
              "a name for each kind");

const char* const STATE_NAMES[] = {"Unknown", "Stopped",  "Selected", "Calibrating",
                                   "Guiding", "LostLock", "Paused",   "Looping"};
static_assert(sizeof STATE_NAMES / sizeof STATE_NAMES[0] == static_cast<size_t>(GuiderState::LOOPING) + 1,
              "a name for each state");

template <typename Enum, size_t N> Enum Named(const char* const (&names)[N], const std::string& name)
{
    for (size_t i = 1; i < N; ++i)
        if (name == names[i])
            return static_cast<Enum>(i);
    return static_cast<Enum>(0);
}

}  // namespace

const char* GuideEventName(GuideEventKind kind) { return EVENT_NAMES[static_cast<size_t>(kind)]; }
GuideEventKind GuideEventNamed(const std::string& name) { return Named<GuideEventKind>(EVENT_NAMES, name); }
const char* GuiderStateName(GuiderState state) { return STATE_NAMES[static_cast<size_t>(state)]; }
GuiderState GuiderStateNamed(const std::string& name) { return Named<GuiderState>(STATE_NAMES, name); }

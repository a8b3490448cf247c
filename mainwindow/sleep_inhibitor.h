// Keeps the machine awake while a run is in progress: a logind inhibitor
// (sleep and idle, mode "block") on the system bus, taken at Start and
// closed when the run ends or is aborted. Without a system bus or logind
// the run goes on as it is and stderr says so, once.
#pragma once

void InhibitSleep();
void ReleaseSleep();
// True while an inhibitor is held.
bool SleepInhibited();

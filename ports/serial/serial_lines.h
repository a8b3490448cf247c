// The serial backend on the terminal interface, the way picocom does it, in
// one unit from open to close:
//   1. the UUCP lock file (/run/lock/LCK..ttyUSB0), ASCII or the older
//      4-byte binary pid: a port that a live process has locked, or whose
//      lock cannot be read, is reported in use and never opened;
//   2. open(2) without becoming the controlling terminal;
//   3. flock(2) and TIOCEXCL: a port that another program holds is closed
//      again before anything is written to it; every close of a claimed
//      terminal (a failed open's too) clears both first;
//   4. RTS and DTR lowered (the kernel raised them on open);
//   5. on Configure: 2400 baud 8N1, raw, no flow control of any kind, HUPCL
//      so that the kernel drops both lines if the program dies.
// Each line edge is one TIOCMBIS or TIOCMBIC ioctl. A failure keeps its
// errno until the next operation (Error()).
#pragma once

#include <memory>
#include <string>

#include "ports/backends.h"

// `lockDir` is where the UUCP lock files live; tests pass their own.
std::unique_ptr<SerialBackend> MakeTerminalBackend(const std::string& lockDir);

// Takes the advisory lock and the kernel's exclusive mode on an open
// terminal. 0, or the errno of what failed (EBUSY: another open file holds
// the lock; ENOTTY: not a terminal); nothing changes then.
int ClaimExclusive(int fd);

// "/run/lock/LCK..ttyUSB0" for "/dev/serial/by-id/..." that resolves to
// /dev/ttyUSB0: the lock names the device, not the link to it.
std::string LockFilePath(const std::string& lockDir, const std::string& device);

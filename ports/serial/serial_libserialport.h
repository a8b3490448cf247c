// The serial backend on libserialport. The port is opened by libserialport;
// the four line edges are one ioctl each on its descriptor.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "ports/backends.h"

// "COM1".."COM4" -> /dev/ttyS0..3, "COM5".."COM8" -> /dev/ttyUSB0..3;
// "" for any other name.
std::string SerialDevicePath(const std::string& portName);

// Tests pass their own mapping from port names to device paths.
std::unique_ptr<SerialBackend> MakeLibserialportBackend(std::function<std::string(const std::string&)> devicePath);

// Takes the advisory lock and the kernel's exclusive mode on an open
// terminal. False when another open file holds the lock; nothing changes then.
bool ClaimExclusive(int fd);

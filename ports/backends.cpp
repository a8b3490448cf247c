#include "ports/backends.h"

namespace {
std::unique_ptr<SerialBackend> serialBackend;
std::unique_ptr<ParallelBackend> parallelBackend;
std::unique_ptr<UsbBoxBackend> usbBackend;
}  // namespace

SerialBackend& SerialLines()
{
    if (!serialBackend)
        serialBackend = MakeLibserialportBackend();
    return *serialBackend;
}

ParallelBackend& ParallelLines()
{
    if (!parallelBackend)
        parallelBackend = MakeIeee1284Backend();
    return *parallelBackend;
}

UsbBoxBackend& UsbBox()
{
    if (!usbBackend)
        usbBackend = MakeLibusbBackend();
    return *usbBackend;
}

void InstallBackends(std::unique_ptr<SerialBackend> serial, std::unique_ptr<ParallelBackend> parallel,
                     std::unique_ptr<UsbBoxBackend> usb)
{
    serialBackend = std::move(serial);
    parallelBackend = std::move(parallel);
    usbBackend = std::move(usb);
}

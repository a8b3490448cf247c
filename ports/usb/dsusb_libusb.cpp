// The DSUSB box on libusb-1.0: vendor 0x134A, product 0x9021 or 0x9026,
// interface 0, one command byte per transfer on its OUT endpoint.
#include <libusb.h>

#include <cerrno>
#include <string>

#include "ports/backends.h"

namespace {

constexpr uint16_t DSUSB_VENDOR = 0x134A;
constexpr uint16_t DSUSB_PRODUCTS[] = {0x9021, 0x9026};
constexpr int DSUSB_INTERFACE = 0;
// A stalled box must not hold the window up for long at each line change.
constexpr unsigned DSUSB_TIMEOUT_MS = 100;

// The libusb error as an errno value, for the message that says why.
int Cause(int result)
{
    switch (result) {
    case LIBUSB_ERROR_ACCESS:
        return EACCES;
    case LIBUSB_ERROR_BUSY:
        return EBUSY;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
        return ENODEV;
    case LIBUSB_ERROR_TIMEOUT:
        return ETIMEDOUT;
    case LIBUSB_ERROR_NO_MEM:
        return ENOMEM;
    default:
        return EIO;
    }
}

bool IsBox(libusb_device* device)
{
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0 || descriptor.idVendor != DSUSB_VENDOR)
        return false;
    for (uint16_t product : DSUSB_PRODUCTS)
        if (descriptor.idProduct == product)
            return true;
    return false;
}

class LibusbBox : public UsbBoxBackend {
public:
    ~LibusbBox() override { CloseDevice(); }

    bool Open() override
    {
        CloseDevice();
        error_ = ENODEV;
        detail_.clear();
        const int initialised = libusb_init(&context_);
        if (initialised != 0) {
            context_ = nullptr;
            return Unavailable("libusb_init", initialised);
        }
        libusb_device** devices = nullptr;
        const ssize_t count = libusb_get_device_list(context_, &devices);
        if (count < 0) {
            CloseDevice();
            return Unavailable("libusb_get_device_list", static_cast<int>(count));
        }
        for (ssize_t i = 0; i < count && !handle_; ++i) {
            if (!IsBox(devices[i]))
                continue;
            const int opened = libusb_open(devices[i], &handle_);
            if (opened != 0) {
                error_ = Cause(opened);
                handle_ = nullptr;
            }
        }
        if (count >= 0)
            libusb_free_device_list(devices, 1);
        if (!handle_ || !Claim()) {
            CloseDevice();
            return false;
        }
        return true;
    }

    bool Send(uint8_t command) override
    {
        if (!claimed_)
            return false;
        int sent = 0;
        const int result = interruptEndpoint_
            ? libusb_interrupt_transfer(handle_, endpoint_, &command, 1, &sent, DSUSB_TIMEOUT_MS)
            : libusb_bulk_transfer(handle_, endpoint_, &command, 1, &sent, DSUSB_TIMEOUT_MS);
        if (result != 0 || sent != 1) {
            error_ = result != 0 ? Cause(result) : EIO;
            return false;
        }
        return true;
    }

    // The device's status, asked for on the control endpoint.
    bool Present() override
    {
        if (!claimed_)
            return false;
        unsigned char status[2] = {};
        const int result = libusb_control_transfer(handle_, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_STATUS, 0, 0, status,
                                                   sizeof status, DSUSB_TIMEOUT_MS);
        if (result == LIBUSB_ERROR_NO_DEVICE || result == LIBUSB_ERROR_IO) {
            error_ = Cause(result);
            return false;
        }
        return true;
    }

    int Error() const override { return error_; }
    std::string ErrorDetail() const override { return detail_; }

    void CloseDevice() override
    {
        if (claimed_)
            libusb_release_interface(handle_, DSUSB_INTERFACE);
        claimed_ = false;
        if (handle_)
            libusb_close(handle_);
        handle_ = nullptr;
        if (context_)
            libusb_exit(context_);
        context_ = nullptr;
    }

private:
    // USB itself cannot be used (no usbfs in a container, no memory): not
    // "is the box plugged in?". No box is there as far as anyone can tell.
    bool Unavailable(const char* call, int result)
    {
        error_ = ENODEV;
        detail_ = std::string("USB is not available (") + call + ": " + libusb_error_name(result) + ")";
        return false;
    }

    bool Claim()
    {
        libusb_set_auto_detach_kernel_driver(handle_, 1);
        if (libusb_kernel_driver_active(handle_, DSUSB_INTERFACE) == 1)
            libusb_detach_kernel_driver(handle_, DSUSB_INTERFACE);
        const int claimed = libusb_claim_interface(handle_, DSUSB_INTERFACE);
        if (claimed != 0) {
            error_ = Cause(claimed);
            return false;
        }
        claimed_ = true;
        if (FindOutEndpoint())
            return true;
        error_ = EIO;
        return false;
    }

    bool FindOutEndpoint()
    {
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_active_config_descriptor(libusb_get_device(handle_), &config) != 0)
            return false;
        bool found = false;
        if (config->bNumInterfaces > DSUSB_INTERFACE && config->interface[DSUSB_INTERFACE].num_altsetting > 0) {
            const libusb_interface_descriptor& setting = config->interface[DSUSB_INTERFACE].altsetting[0];
            for (int i = 0; i < setting.bNumEndpoints && !found; ++i) {
                const libusb_endpoint_descriptor& endpoint = setting.endpoint[i];
                if ((endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) != LIBUSB_ENDPOINT_OUT)
                    continue;
                endpoint_ = endpoint.bEndpointAddress;
                interruptEndpoint_ =
                    (endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_INTERRUPT;
                found = true;
            }
        }
        libusb_free_config_descriptor(config);
        return found;
    }

    libusb_context* context_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    bool claimed_ = false;
    uint8_t endpoint_ = 0;
    bool interruptEndpoint_ = false;
    int error_ = 0;
    std::string detail_;
};

}  // namespace

std::unique_ptr<UsbBoxBackend> MakeLibusbBackend() { return std::make_unique<LibusbBox>(); }

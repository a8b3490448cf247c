// A stand-in device below the real backends, loaded with LD_PRELOAD: it
// takes the place of the modem-line ioctls on pseudo-terminals (which have
// no modem lines), of libusb (one DSUSB box) and of libieee1284 (one
// parallel port at 0x378, /dev/parport0), and appends what reached the
// "device" to the file named by VANTREL_SHIM_LOG, a line each:
//   RTS 1 / DTR 0        a modem-line edge on a pseudo-terminal
//   usb 31 to 01 within 100 ms   a command byte sent to the box
//   data A6              a byte written to the parallel data register
//   parport open shared  how the parallel port was opened
// It is steered by the environment, read at every call:
//   VANTREL_SHIM_GONE    a file; while it exists the device is unplugged:
//                        ioctls fail with EIO, transfers with NO_DEVICE,
//                        data register reads with E1284_SYS
//   VANTREL_SHIM_USB     absent (default), present, denied, busy, or noinit
//                        (libusb_init fails: no USB at all)
//   VANTREL_SHIM_PARPORT absent (default), present, lp (a printer driver
//                        holds it: only a shared open works), denied, or
//                        noppdev (no /dev/parport0: the library lists a
//                        guess at /dev/port and fails to open it)
//   VANTREL_SHIM_DATA    the data register's first value, hexadecimal
//   VANTREL_SHIM_STAMP   set: each line starts with the monotonic time in
//                        milliseconds ("1234.567 RTS 1"), for gaps and pulses
//   VANTREL_SHIM_WALL_STEP  seconds added to the wall clock (clock_gettime
//                        CLOCK_REALTIME, gettimeofday): a clock stepped by
//                        NTP or a GPS fix; the monotonic clock is left alone
//   VANTREL_SHIM_SYNC_LOG   a file; each fsync appends the synced file's path
//   VANTREL_SHIM_PASSWD_HOME  the home the password database gives
//                        (getpwuid), so that a program started without HOME
//                        is tested without the user's own home
#include <dlfcn.h>
#include <ieee1284.h>
#include <libusb.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

void Record(const char* format, ...)
{
    const std::string path = Env("VANTREL_SHIM_LOG");
    if (path.empty())
        return;
    FILE* log = std::fopen(path.c_str(), "a");
    if (!log)
        return;
    if (!Env("VANTREL_SHIM_STAMP").empty()) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::fprintf(log, "%lld.%03ld ", static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000,
                     now.tv_nsec / 1000 % 1000);
    }
    va_list args;
    va_start(args, format);
    std::vfprintf(log, format, args);
    va_end(args);
    std::fputc('\n', log);
    std::fclose(log);
}

bool Gone()
{
    const std::string path = Env("VANTREL_SHIM_GONE");
    return !path.empty() && access(path.c_str(), F_OK) == 0;
}

// Unix98 pseudo-terminal slaves have majors 136..143.
bool IsPty(int fd)
{
    struct stat info { };
    return fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) && major(info.st_rdev) >= 136 && major(info.st_rdev) <= 143;
}

int modemLines = 0;

}  // namespace

extern "C" struct passwd* getpwuid(uid_t uid)
{
    static const auto real = reinterpret_cast<struct passwd* (*)(uid_t)>(dlsym(RTLD_NEXT, "getpwuid"));
    struct passwd* entry = real(uid);
    static std::string home;
    static struct passwd given;
    home = Env("VANTREL_SHIM_PASSWD_HOME");
    if (!entry || home.empty())
        return entry;
    given = *entry;
    given.pw_dir = home.data();
    return &given;
}

extern "C" int fsync(int fd)
{
    static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    const int result = real(fd);
    const std::string log = Env("VANTREL_SHIM_SYNC_LOG");
    char path[4096];
    const ssize_t length = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
    if (!log.empty() && length > 0) {
        if (FILE* file = std::fopen(log.c_str(), "a")) {
            std::fprintf(file, "%.*s\n", static_cast<int>(length), path);
            std::fclose(file);
        }
    }
    return result;
}

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    const bool modem = request == TIOCMBIS || request == TIOCMBIC || request == TIOCMGET || request == TIOCMSET;
    if (modem && IsPty(fd)) {
        if (Gone()) {
            errno = EIO;
            return -1;
        }
        int* bits = static_cast<int*>(argument);
        if (request == TIOCMGET) {
            *bits = modemLines;
            return 0;
        }
        const int before = modemLines;
        modemLines = request == TIOCMSET ? *bits : request == TIOCMBIS ? (modemLines | *bits) : (modemLines & ~*bits);
        for (int line : {TIOCM_RTS, TIOCM_DTR})
            if ((*bits & line) || ((before ^ modemLines) & line))
                Record("%s %d", line == TIOCM_RTS ? "RTS" : "DTR", (modemLines & line) ? 1 : 0);
        return 0;
    }
    using Real = int (*)(int, unsigned long, void*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, argument);
}

namespace {
long WallStep() { return std::strtol(Env("VANTREL_SHIM_WALL_STEP").c_str(), nullptr, 10); }
}  // namespace

extern "C" int clock_gettime(clockid_t id, struct timespec* time)
{
    using Real = int (*)(clockid_t, struct timespec*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "clock_gettime"));
    const int result = real(id, time);
    if (result == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE))
        time->tv_sec += WallStep();
    return result;
}

extern "C" int gettimeofday(struct timeval* __restrict time, void* __restrict zone)
{
    using Real = int (*)(struct timeval*, void*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "gettimeofday"));
    const int result = real(time, zone);
    if (result == 0)
        time->tv_sec += WallStep();
    return result;
}

// ---------------------------------------------------------------------------
// libusb: one box, 134a:9021, interface 0 with an interrupt OUT endpoint.
// ---------------------------------------------------------------------------
namespace {
int usbObject;  // what the opaque pointers point at
libusb_context* const USB_CONTEXT = reinterpret_cast<libusb_context*>(&usbObject);
libusb_device* const USB_BOX = reinterpret_cast<libusb_device*>(&usbObject + 1);
libusb_device_handle* const USB_HANDLE = reinterpret_cast<libusb_device_handle*>(&usbObject + 2);
libusb_device* usbList[] = {USB_BOX, nullptr};
}  // namespace

extern "C" {
int libusb_init(libusb_context** context)
{
    if (Env("VANTREL_SHIM_USB") == "noinit")
        return LIBUSB_ERROR_NO_MEM;
    if (context)
        *context = USB_CONTEXT;
    return 0;
}
void libusb_exit(libusb_context*) { }
ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list)
{
    const std::string usb = Env("VANTREL_SHIM_USB");
    *list = usbList + (usb.empty() || usb == "absent" || Gone() ? 1 : 0);
    return *list == usbList ? 1 : 0;
}
void libusb_free_device_list(libusb_device**, int) { }
int libusb_get_device_descriptor(libusb_device*, libusb_device_descriptor* descriptor)
{
    std::memset(descriptor, 0, sizeof *descriptor);
    descriptor->idVendor = 0x134A;
    descriptor->idProduct = 0x9021;
    return 0;
}
int libusb_open(libusb_device*, libusb_device_handle** handle)
{
    const std::string usb = Env("VANTREL_SHIM_USB");
    if (usb == "denied")
        return LIBUSB_ERROR_ACCESS;
    *handle = USB_HANDLE;
    return 0;
}
void libusb_close(libusb_device_handle*) { Record("usb close"); }
libusb_device* libusb_get_device(libusb_device_handle*) { return USB_BOX; }
int libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) { return 0; }
int libusb_kernel_driver_active(libusb_device_handle*, int) { return 0; }
int libusb_detach_kernel_driver(libusb_device_handle*, int) { return 0; }
int libusb_claim_interface(libusb_device_handle*, int number)
{
    if (Env("VANTREL_SHIM_USB") == "busy")
        return LIBUSB_ERROR_BUSY;
    Record("usb claim %d", number);
    return 0;
}
int libusb_release_interface(libusb_device_handle*, int) { return 0; }
int libusb_get_active_config_descriptor(libusb_device*, libusb_config_descriptor** config)
{
    static libusb_endpoint_descriptor endpoint{};
    static libusb_interface_descriptor setting{};
    static libusb_interface interface {
    };
    static libusb_config_descriptor descriptor{};
    endpoint.bEndpointAddress = 0x01;
    endpoint.bmAttributes = LIBUSB_TRANSFER_TYPE_INTERRUPT;
    setting.bNumEndpoints = 1;
    setting.endpoint = &endpoint;
    interface.altsetting = &setting;
    interface.num_altsetting = 1;
    descriptor.bNumInterfaces = 1;
    descriptor.interface = &interface;
    *config = &descriptor;
    return 0;
}
void libusb_free_config_descriptor(libusb_config_descriptor*) { }
static int Transfer(unsigned char endpoint, unsigned char* data, int length, int* sent, unsigned timeout)
{
    if (Gone())
        return LIBUSB_ERROR_NO_DEVICE;
    for (int i = 0; i < length; ++i)
        Record("usb %02X to %02X within %u ms", data[i], endpoint, timeout);
    *sent = length;
    return 0;
}
int libusb_interrupt_transfer(libusb_device_handle*, unsigned char endpoint, unsigned char* data, int length, int* sent,
                              unsigned timeout)
{
    return Transfer(endpoint, data, length, sent, timeout);
}
int libusb_control_transfer(libusb_device_handle*, uint8_t, uint8_t, uint16_t, uint16_t, unsigned char* data,
                            uint16_t length, unsigned)
{
    if (Gone())
        return LIBUSB_ERROR_NO_DEVICE;
    std::memset(data, 0, length);
    return length;
}
int libusb_bulk_transfer(libusb_device_handle*, unsigned char endpoint, unsigned char* data, int length, int* sent,
                         unsigned timeout)
{
    return Transfer(endpoint, data, length, sent, timeout);
}
}  // extern "C"

// ---------------------------------------------------------------------------
// libieee1284: one port at 0x378, /dev/parport0.
// ---------------------------------------------------------------------------
namespace {
parport parallelPort{"parport0", 0x378, 0, nullptr, "/dev/parport0"};
parport* parallelList[] = {&parallelPort};
int dataRegister = -1;
}  // namespace

extern "C" {
int ieee1284_find_ports(parport_list* list, int)
{
    const std::string parport = Env("VANTREL_SHIM_PARPORT");
    const bool present = !parport.empty() && parport != "absent";
    list->portc = present ? 1 : 0;
    list->portv = parallelList;
    parallelPort.filename = parport == "noppdev" ? "/dev/port" : "/dev/parport0";
    return E1284_OK;
}
void ieee1284_free_ports(parport_list*) { }
int ieee1284_open(parport*, int flags, int* capabilities)
{
    const std::string parport = Env("VANTREL_SHIM_PARPORT");
    if (parport == "denied") {
        errno = EACCES;
        return E1284_SYS;
    }
    if (parport == "noppdev")
        return E1284_INIT;
    if (parport == "lp" && (flags & F1284_EXCL)) {
        errno = EBUSY;
        return E1284_SYS;
    }
    *capabilities = 0;
    dataRegister = -1;  // VANTREL_SHIM_DATA again
    Record("parport open %s", (flags & F1284_EXCL) ? "exclusive" : "shared");
    return E1284_OK;
}
int ieee1284_close(parport*) { return E1284_OK; }
int ieee1284_claim(parport*)
{
    Record("parport claim");
    return E1284_OK;
}
void ieee1284_release(parport*) { Record("parport release"); }
int ieee1284_ref(parport*) { return 0; }
int ieee1284_unref(parport*) { return 0; }
int ieee1284_read_data(parport*)
{
    if (Gone()) {
        errno = EIO;
        return E1284_SYS;
    }
    if (dataRegister < 0)
        dataRegister = static_cast<int>(std::strtol(Env("VANTREL_SHIM_DATA").c_str(), nullptr, 16)) & 0xFF;
    return dataRegister;
}
void ieee1284_write_data(parport*, unsigned char value)
{
    if (Gone())
        return;
    dataRegister = value;
    Record("data %02X", value);
}
}  // extern "C"

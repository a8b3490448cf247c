// indi_vantrel_ccd: Vantrel as an INDI camera ("Vantrel", an INDI::CCD), so
// that Ekos or any INDI client takes cable-release bulb exposures through
// the engine. No window: the properties are the controls. The image stays
// on the camera's card; the driver sends none.
// Vantrel's own headers first: libindi defines a macro named Log.
#include "indi/camera.h"
#include "indi/indi_clock.h"
#include "ports/backends.h"
#include "runner/af_mode.h"

#include <indiccd.h>
#include <indidevapi.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <memory>

namespace {

// The [Ports] group of ~/.Vantrel, read afresh each time a port is opened.
void ReadPortSettings()
{
    ClearPortDevices();
    ReadPortDevices(SettingsFilePath());
}

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t\r\n");
    return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

const char* const PORT_PROPERTY = "DEVICE_PORT";
const char* const AF_PROPERTY = "VANTREL_AF";
const char* const MIRROR_PROPERTY = "VANTREL_MIRROR";
const char* const SETTLE_PROPERTY = "VANTREL_MIRROR_SETTLE";
const char* const SENSOR_PROPERTY = "VANTREL_SENSOR";
const char* const VANTREL_TAB = "Vantrel";
// A nominal frame: INDI refuses a camera without one, and Ekos takes its
// field of view from it; the user sets the camera's own figures
// (VANTREL_SENSOR). Nothing is read out.
constexpr int NOMINAL_WIDTH = 6000;
constexpr int NOMINAL_HEIGHT = 4000;
constexpr double NOMINAL_PIXEL_UM = 4.0;
constexpr int NOMINAL_BPP = 16;
constexpr double LONGEST_EXPOSURE_S = 36000;
constexpr int PROGRESS_MS = 1000;

// The driver asks no guider to dither and watches none: Ekos does that
// itself.
class NoGuider : public Guider {
public:
    void Dither(const DitherRequest&, std::function<void(const DitherOutcome&)> done) override
    {
        done(DitherOutcome{false, "no guider"});
    }
    void Cancel() override { }
    void Watch(std::function<void(const GuideEvent&)>) override { }
    void Unwatch() override { }
};

class VantrelCCD : public INDI::CCD, public CameraEvents {
public:
    VantrelCCD()
        : ports_(MakeSystemPorts())
        , sleep_(MakeLogindInhibitor())
        , log_(MakeFileExposureLog())
        , camera_(*ports_, clock_, guider_, *sleep_, *log_, *this)
    {
        setVersion(VANTREL_VERSION_MAJOR, VANTREL_VERSION_MINOR);
    }

    // For the ways out of the driver.
    void ReleaseAtExit() { camera_.ReleaseAtExit(); }

    // A driver killed mid-exposure left the box or the parallel port set
    // (no kernel releases those): the saved port is set idle as the driver
    // starts, before any client connects, and let go again.
    void ReleaseSavedPort()
    {
        char port[MAXINDINAME] = "";
        if (IUGetConfigText(getDefaultName(), PORT_PROPERTY, "PORT", port, sizeof port) != 0)
            return;
        ReadPortSettings();
        camera_.ReleaseUnheld(Trimmed(port));
    }

protected:
    const char* getDefaultName() override { return "Vantrel"; }

    bool initProperties() override
    {
        INDI::CCD::initProperties();
        SetCCDCapability(CCD_CAN_ABORT);
        IUFillText(&PortT[0], "PORT", "Port (COM5, COM5-IR, 0x378-LPT1, DSUSB or /dev/...)", "COM5");
        IUFillTextVector(&PortTP, PortT, 1, getDeviceName(), PORT_PROPERTY, "Port", CONNECTION_TAB, IP_RW, 60,
                         IPS_IDLE);
        IUFillSwitch(&AfS[AF_NONE], "AF_NONE", "No AF signal", ISS_ON);
        IUFillSwitch(&AfS[AF_PULSE_AT_START], "AF_PULSE_AT_START", "AF pulse at start", ISS_OFF);
        IUFillSwitch(&AfS[AF_HELD_DURING], "AF_HELD_DURING", "AF during exposure", ISS_OFF);
        IUFillSwitchVector(&AfSP, AfS, 3, getDeviceName(), AF_PROPERTY, "Auto-focus line", VANTREL_TAB, IP_RW,
                           ISR_1OFMANY, 60, IPS_IDLE);
        IUFillSwitch(&MirrorS[0], "MIRROR_OFF", "Off", ISS_ON);
        IUFillSwitch(&MirrorS[1], "MIRROR_ON", "On", ISS_OFF);
        IUFillSwitchVector(&MirrorSP, MirrorS, 2, getDeviceName(), MIRROR_PROPERTY, "Mirror lock-up", VANTREL_TAB,
                           IP_RW, ISR_1OFMANY, 60, IPS_IDLE);
        IUFillNumber(&SettleN[0], "SECONDS", "Settle (s)", "%.1f", 0.2, 9999, 0.1, 1.0);
        IUFillNumberVector(&SettleNP, SettleN, 1, getDeviceName(), SETTLE_PROPERTY, "Mirror settle", VANTREL_TAB, IP_RW,
                           60, IPS_IDLE);
        IUFillNumber(&SensorN[SENSOR_WIDTH], "WIDTH", "Width (px)", "%.0f", 1, 100000, 1, NOMINAL_WIDTH);
        IUFillNumber(&SensorN[SENSOR_HEIGHT], "HEIGHT", "Height (px)", "%.0f", 1, 100000, 1, NOMINAL_HEIGHT);
        IUFillNumber(&SensorN[SENSOR_PIXEL], "PIXEL_SIZE", "Pixel size (um)", "%.2f", 0.1, 100, 0.01, NOMINAL_PIXEL_UM);
        IUFillNumber(&SensorN[SENSOR_BITS], "BITS_PER_PIXEL", "Bits per pixel", "%.0f", 8, 32, 1, NOMINAL_BPP);
        IUFillNumberVector(&SensorNP, SensorN, SENSOR_COUNT, getDeviceName(), SENSOR_PROPERTY, "Camera's sensor",
                           VANTREL_TAB, IP_RW, 60, IPS_IDLE);
        // One format: the file stays on the camera's card as the camera
        // writes it.
        CaptureFormat card = {"CARD", "Camera's card", NOMINAL_BPP, true};
        addCaptureFormat(card);
        // The image stays on the camera's card: Local is the only upload.
        IUResetSwitch(&UploadSP);
        UploadS[UPLOAD_LOCAL].s = ISS_ON;
        PrimaryCCD.setMinMaxStep("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 0.001, LONGEST_EXPOSURE_S, 0.001, false);
        ApplySensor();
        addAuxControls();
        return true;
    }

    void ApplySensor()
    {
        SetCCDParams(static_cast<int>(SensorN[SENSOR_WIDTH].value), static_cast<int>(SensorN[SENSOR_HEIGHT].value),
                     static_cast<int>(SensorN[SENSOR_BITS].value), SensorN[SENSOR_PIXEL].value,
                     SensorN[SENSOR_PIXEL].value);
    }

    // Defined and loaded once: from then on the toolkit defines them with
    // the rest, and a client that attaches later (indi_getprop, Ekos
    // again) does not bring back what the user has changed since. Later
    // calls skip INDI::CCD's own, which would define ACTIVE_DEVICES again
    // and adds nothing else for a camera without streaming.
    void ISGetProperties(const char* dev) override
    {
        if (configLoaded_) {
            INDI::DefaultDevice::ISGetProperties(dev);
            return;
        }
        INDI::CCD::ISGetProperties(dev);
        configLoaded_ = true;
        defineProperty(&PortTP);
        defineProperty(&AfSP);
        defineProperty(&MirrorSP);
        defineProperty(&SettleNP);
        defineProperty(&SensorNP);
        for (const char* property : {PORT_PROPERTY, AF_PROPERTY, MIRROR_PROPERTY, SETTLE_PROPERTY, SENSOR_PROPERTY})
            loadConfig(true, property);
    }

    bool updateProperties() override
    {
        INDI::CCD::updateProperties();
        if (isConnected()) {
            ApplySensor();
            PrimaryCCD.setFrameBufferSize(0, false);
        }
        return true;
    }

    // The [Ports] group of ~/.Vantrel is read afresh at each Connect.
    bool Connect() override
    {
        ReadPortSettings();
        std::string why;
        if (!camera_.Connect(PortT[0].text ? PortT[0].text : "", why)) {
            LOGF_ERROR("%s", why.c_str());
            return false;
        }
        LOGF_INFO("Connected to %s.", PortT[0].text);
        return true;
    }

    bool Disconnect() override
    {
        camera_.Disconnect();
        InExposure = false;  // and the progress timer stops
        return true;
    }

    bool ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) override
    {
        if (dev && !std::strcmp(dev, getDeviceName()) && !std::strcmp(name, PORT_PROPERTY)) {
            // The port in use, sent again, is no change.
            if (isConnected() && !(n == 1 && texts[0] && PortT[0].text && !std::strcmp(texts[0], PortT[0].text))) {
                PortTP.s = IPS_ALERT;
                IDSetText(&PortTP, "Disconnect before choosing another port.");
                return true;
            }
            if (!isConnected())
                IUUpdateText(&PortTP, texts, names, n);
            PortTP.s = IPS_OK;
            IDSetText(&PortTP, nullptr);
            return true;
        }
        return INDI::CCD::ISNewText(dev, name, texts, names, n);
    }

    bool ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[], int n) override
    {
        if (dev && !std::strcmp(dev, getDeviceName())) {
            if (!std::strcmp(name, AF_PROPERTY) || !std::strcmp(name, MIRROR_PROPERTY)) {
                ISwitchVectorProperty* property = !std::strcmp(name, AF_PROPERTY) ? &AfSP : &MirrorSP;
                IUUpdateSwitch(property, states, names, n);
                camera_.afMode = IUFindOnSwitchIndex(&AfSP);
                camera_.mirrorLock = IUFindOnSwitchIndex(&MirrorSP) == 1;
                property->s = IPS_OK;
                IDSetSwitch(property, nullptr);
                return true;
            }
            // Ekos re-sends the upload mode for every frame, and asks for
            // Client for a preview: only Local is taken.
            if (!std::strcmp(name, UploadSP.name)) {
                for (int i = 0; i < n; ++i) {
                    const bool local = IUFindSwitch(&UploadSP, names[i]) == &UploadS[UPLOAD_LOCAL];
                    if (states[i] == ISS_ON && !Camera::UploadRefusal(local).empty()) {
                        IUResetSwitch(&UploadSP);
                        UploadS[UPLOAD_LOCAL].s = ISS_ON;
                        UploadSP.s = IPS_ALERT;
                        IDSetSwitch(&UploadSP, "%s", Camera::UploadRefusal(local).c_str());
                        return true;
                    }
                }
                UploadSP.s = IPS_OK;
                IDSetSwitch(&UploadSP, nullptr);
                return true;
            }
        }
        return INDI::CCD::ISNewSwitch(dev, name, states, names, n);
    }

    // The range check lets a value that is not a number through; a refused
    // value leaves the ones before, and the property turns Alert with why.
    static bool Take(INumberVectorProperty& property, double values[], char* names[], int n, const char* refusal)
    {
        if (!std::all_of(values, values + n, [](double value) { return std::isfinite(value); }) ||
            IUUpdateNumber(&property, values, names, n) != 0) {
            property.s = IPS_ALERT;
            IDSetNumber(&property, "%s", refusal);
            return false;
        }
        property.s = IPS_OK;
        IDSetNumber(&property, nullptr);
        return true;
    }

    bool ISNewNumber(const char* dev, const char* name, double values[], char* names[], int n) override
    {
        if (dev && !std::strcmp(dev, getDeviceName()) && !std::strcmp(name, SETTLE_PROPERTY)) {
            if (Take(SettleNP, values, names, n, "The settle time is a number of seconds from 0.2 to 9999."))
                camera_.mirrorSettleSeconds = SettleN[0].value;
            return true;
        }
        if (dev && !std::strcmp(dev, getDeviceName()) && !std::strcmp(name, SENSOR_PROPERTY)) {
            if (Take(SensorNP, values, names, n, "Out of range: the figures are kept as they were."))
                ApplySensor();
            return true;
        }
        return INDI::CCD::ISNewNumber(dev, name, values, names, n);
    }

    bool saveConfigItems(FILE* fp) override
    {
        INDI::CCD::saveConfigItems(fp);
        IUSaveConfigText(fp, &PortTP);
        IUSaveConfigSwitch(fp, &AfSP);
        IUSaveConfigSwitch(fp, &MirrorSP);
        IUSaveConfigNumber(fp, &SettleNP);
        IUSaveConfigNumber(fp, &SensorNP);
        return true;
    }

    bool StartExposure(float duration) override
    {
        PrimaryCCD.setExposureDuration(duration);
        InExposure = camera_.StartExposure(duration);
        if (InExposure)
            SetTimer(PROGRESS_MS);
        return InExposure;
    }

    bool AbortExposure() override
    {
        camera_.AbortExposure();
        InExposure = false;
        return true;
    }

    // Progress for the client only: the exposure is timed by the engine on
    // the monotonic clock, not by this (wall-clock) timer.
    void TimerHit() override
    {
        if (!InExposure)
            return;
        PrimaryCCD.setExposureLeft(camera_.SecondsLeft());
        SetTimer(PROGRESS_MS);
    }

    // CameraEvents
    void ExposureDone() override
    {
        InExposure = false;
        PrimaryCCD.setFrameBufferSize(0, false);
        ExposureComplete(&PrimaryCCD);
    }

    void ExposureFailed(const std::string& message) override
    {
        InExposure = false;
        LOGF_ERROR("%s", message.c_str());
        PrimaryCCD.setExposureFailed();
    }

    void Status(const std::string& text) override { LOGF_DEBUG("%s", text.c_str()); }

private:
    std::unique_ptr<Ports> ports_;
    IndiClock clock_;
    NoGuider guider_;
    std::unique_ptr<SleepInhibitor> sleep_;
    std::unique_ptr<ExposureLog> log_;
    Camera camera_;
    bool configLoaded_ = false;

    IText PortT[1]{};
    ITextVectorProperty PortTP;
    ISwitch AfS[3];
    ISwitchVectorProperty AfSP;
    ISwitch MirrorS[2];
    ISwitchVectorProperty MirrorSP;
    INumber SettleN[1];
    INumberVectorProperty SettleNP;
    enum { SENSOR_WIDTH, SENSOR_HEIGHT, SENSOR_PIXEL, SENSOR_BITS, SENSOR_COUNT };
    INumber SensorN[SENSOR_COUNT];
    INumberVectorProperty SensorNP;
};

std::unique_ptr<VantrelCCD> camera(new VantrelCCD());

// SIGTERM, SIGINT, SIGHUP (indiserver stopping it) and SIGPIPE (indiserver
// gone) are handled in the event loop, through a pipe: the lines are
// released, then the driver ends. End of input ends the driver through
// exit(), and the exit-time handler releases them there.
int signalPipe[2] = {-1, -1};

void OnSignal(int number)
{
    const unsigned char byte = static_cast<unsigned char>(number);
    if (write(signalPipe[1], &byte, 1) < 0) { }
}

void OnSignalInLoop(int fd, void*)
{
    unsigned char byte = 0;
    if (read(fd, &byte, 1) != 1)
        return;
    camera->ReleaseAtExit();
    _exit(0);
}

void ReleaseAtExit()
{
    if (camera)
        camera->ReleaseAtExit();
}

void ReleaseSavedPort(void*) { camera->ReleaseSavedPort(); }

struct SignalSetUp {
    SignalSetUp()
    {
        if (pipe(signalPipe) == 0)
            IEAddCallback(signalPipe[0], OnSignalInLoop, nullptr);
        for (int number : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
            std::signal(number, OnSignal);
        std::atexit(ReleaseAtExit);
        IEAddTimer(0, ReleaseSavedPort, nullptr);  // at the event loop's first pass
    }
} signalSetUp;

}  // namespace

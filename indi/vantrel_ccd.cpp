// indi_vantrel_ccd: Vantrel as an INDI camera ("Vantrel", an INDI::CCD), so
// that Ekos or any INDI client takes cable-release bulb exposures through
// the engine. No window: the properties are the controls. Without a camera
// linked (VANTREL_CAMERA_FILES), the image stays on the camera's card and the
// driver sends none; with one, each exposure's file, fetched from the camera
// over USB, is its image.
// Vantrel's own headers first: libindi defines a macro named Log.
#include "camera/camera_link.h"
#include "indi/bulb_camera.h"
#include "indi/indi_clock.h"
#include "ports/af_mode.h"
#include "ports/backends.h"

#include <fcntl.h>
#include <indiccd.h>
#include <indidevapi.h>
#include <pwd.h>
#include <sharedblob.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <vector>

namespace {

// Started without HOME (a service with no user's environment), libindi
// would crash saving its configuration at Connect: the home is taken from
// the password database before anything reads it.
struct HomeSetUp {
    HomeSetUp()
    {
        const char* home = std::getenv("HOME");
        if (home && *home)
            return;
        const passwd* entry = getpwuid(getuid());
        setenv("HOME", entry && entry->pw_dir && *entry->pw_dir ? entry->pw_dir : "/", 1);
    }
} homeSetUp;

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
const char* const FILES_PROPERTY = "VANTREL_CAMERA_FILES";
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
// The camera link's own limit for a file, and a little more.
constexpr int FILE_LIMIT_MS = 65000;
constexpr int RELINK_MS = 5000;

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

class VantrelCCD : public INDI::CCD, public BulbCameraEvents {
public:
    VantrelCCD()
        : ports_(MakeSystemPorts())
        , sleep_(MakeLogindInhibitor())
        , log_(MakeFileExposureLog())
        , camera_(
              *ports_, clock_, guider_, *sleep_, *log_, *this, CameraLinkMakerOfThisBuild(),
              [this](const CameraFileOutcome& outcome) { TakeOutcome(outcome); },
              [this](std::function<void()> call) { Post(std::move(call)); })
    {
        setVersion(VANTREL_VERSION_MAJOR, VANTREL_VERSION_MINOR);
        // Non-blocking: a full pipe has a wake-up in it already.
        if (pipe2(callsPipe_, O_NONBLOCK | O_CLOEXEC) == 0)
            IEAddCallback(callsPipe_[0], &VantrelCCD::OnCalls, this);
        else
            std::fprintf(stderr, "indi_vantrel_ccd: no camera's files (pipe: %s)\n", std::strerror(errno));
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
        PortTP[0].fill("PORT", "Port (COM5, COM5-IR, 0x378-LPT1, DSUSB or /dev/...)", "COM5");
        PortTP.fill(getDeviceName(), PORT_PROPERTY, "Port", CONNECTION_TAB, IP_RW, 60, IPS_IDLE);
        AfSP[AF_NONE].fill("AF_NONE", "No AF signal", ISS_ON);
        AfSP[AF_PULSE_AT_START].fill("AF_PULSE_AT_START", "AF pulse at start", ISS_OFF);
        AfSP[AF_HELD_DURING].fill("AF_HELD_DURING", "AF during exposure", ISS_OFF);
        AfSP.fill(getDeviceName(), AF_PROPERTY, "Auto-focus line", VANTREL_TAB, IP_RW, ISR_1OFMANY, 60, IPS_IDLE);
        MirrorSP[0].fill("MIRROR_OFF", "Off", ISS_ON);
        MirrorSP[1].fill("MIRROR_ON", "On", ISS_OFF);
        MirrorSP.fill(getDeviceName(), MIRROR_PROPERTY, "Mirror lock-up", VANTREL_TAB, IP_RW, ISR_1OFMANY, 60,
                      IPS_IDLE);
        SettleNP[0].fill("SECONDS", "Settle (s)", "%.1f", 0.2, RangeOf(RunSetting::BEFORE_DELAY).max, 0.1, 1.0);
        SettleNP.fill(getDeviceName(), SETTLE_PROPERTY, "Mirror settle", VANTREL_TAB, IP_RW, 60, IPS_IDLE);
        SensorNP[SENSOR_WIDTH].fill("WIDTH", "Width (px)", "%.0f", 1, 100000, 1, NOMINAL_WIDTH);
        SensorNP[SENSOR_HEIGHT].fill("HEIGHT", "Height (px)", "%.0f", 1, 100000, 1, NOMINAL_HEIGHT);
        SensorNP[SENSOR_PIXEL].fill("PIXEL_SIZE", "Pixel size (um)", "%.2f", 0.1, 100, 0.01, NOMINAL_PIXEL_UM);
        SensorNP[SENSOR_BITS].fill("BITS_PER_PIXEL", "Bits per pixel", "%.0f", 8, 32, 1, NOMINAL_BPP);
        SensorNP.fill(getDeviceName(), SENSOR_PROPERTY, "Camera's sensor", VANTREL_TAB, IP_RW, 60, IPS_IDLE);
        FilesSP[0].fill("FILES_OFF", "Off", ISS_ON);
        FilesSP[1].fill("FILES_ON", "On", ISS_OFF);
        FilesSP.fill(getDeviceName(), FILES_PROPERTY, "Camera's files over USB", VANTREL_TAB, IP_RW, ISR_1OFMANY, 60,
                     IPS_IDLE);
        // One format: the file stays on the camera's card as the camera
        // writes it.
        CaptureFormat card = {"CARD", "Camera's card", NOMINAL_BPP, true};
        addCaptureFormat(card);
        // The image stays on the camera's card: Local is the only upload.
        IUResetSwitch(&UploadSP);
        UploadS[UPLOAD_LOCAL].s = ISS_ON;
        ShowFormat();
        PrimaryCCD.setMinMaxStep("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 0.001, LONGEST_EXPOSURE_S, 0.001, false);
        ApplySensor();
        addAuxControls();
        return true;
    }

    void ApplySensor()
    {
        SetCCDParams(static_cast<int>(SensorNP[SENSOR_WIDTH].getValue()),
                     static_cast<int>(SensorNP[SENSOR_HEIGHT].getValue()),
                     static_cast<int>(SensorNP[SENSOR_BITS].getValue()), SensorNP[SENSOR_PIXEL].getValue(),
                     SensorNP[SENSOR_PIXEL].getValue());
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
        for (INDI::Property* property : OwnProperties()) {
            defineProperty(*property);
            loadConfig(*property);
        }
    }

    bool updateProperties() override
    {
        INDI::CCD::updateProperties();
        if (isConnected()) {
            ApplySensor();
            PrimaryCCD.setFrameBufferSize(0, false);
            ShowFormat();
            EncodeFormatSP.apply();
        }
        return true;
    }

    // The image is the camera's own file as it is (Native), or a FITS made
    // here of its data (FITS), as the client chose.
    void ShowFormat()
    {
        EncodeFormatSP.reset();
        EncodeFormatSP[fits_ ? FORMAT_FITS : FORMAT_NATIVE].setState(ISS_ON);
        EncodeFormatSP.setState(IPS_OK);
    }

    // The image is sent in the format its exposure was asked in, whatever
    // the client has chosen since: libindi reads the format when it sends,
    // on a thread of its own after ExposureComplete returns, so the
    // exposure's stays until the next exposure starts (or the client
    // chooses again). A camera's file is sent as it is: libindi is never
    // asked to make a FITS of it (it would read the buffer as the sensor's
    // pixels).
    void Complete(bool fits = false)
    {
        EncodeFormatSP.reset();
        EncodeFormatSP[fits ? FORMAT_FITS : FORMAT_NATIVE].setState(ISS_ON);
        ExposureComplete(&PrimaryCCD);
    }

    // The [Ports] group of ~/.Vantrel is read afresh at each Connect.
    bool Connect() override
    {
        ReadPortSettings();
        std::string why;
        if (!camera_.Connect(PortTP[0].getText(), why)) {
            LOGF_ERROR("%s", why.c_str());
            return false;
        }
        LOGF_INFO("Connected to %s.", PortTP[0].getText());
        LinkCamera();
        return true;
    }

    // The port first: the camera's worker is never waited for with a line
    // set.
    bool Disconnect() override
    {
        camera_.Disconnect();
        UnlinkCamera();
        InExposure = false;  // and the progress timer stops
        return true;
    }

    bool ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) override
    {
        if (dev && !std::strcmp(dev, getDeviceName()) && PortTP.isNameMatch(name)) {
            // The port in use, sent again, is no change.
            if (isConnected() && !(n == 1 && texts[0] && !std::strcmp(texts[0], PortTP[0].getText()))) {
                PortTP.setState(IPS_ALERT);
                PortTP.apply("Disconnect before choosing another port.");
                return true;
            }
            if (!isConnected())
                PortTP.update(texts, names, n);
            PortTP.setState(IPS_OK);
            PortTP.apply();
            return true;
        }
        return INDI::CCD::ISNewText(dev, name, texts, names, n);
    }

    bool ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[], int n) override
    {
        if (dev && !std::strcmp(dev, getDeviceName())) {
            if (FilesSP.isNameMatch(name)) {
                FilesSP.update(states, names, n);
                FilesSP.setState(IPS_OK);
                if (isConnected())
                    LinkCamera();
                FilesSP.apply();
                return true;
            }
            if (AfSP.isNameMatch(name) || MirrorSP.isNameMatch(name)) {
                INDI::PropertySwitch& property = AfSP.isNameMatch(name) ? AfSP : MirrorSP;
                property.update(states, names, n);
                camera_.SetAfMode(AfSP.findOnSwitchIndex());
                camera_.SetMirrorLock(MirrorSP.findOnSwitchIndex() == 1);
                property.setState(IPS_OK);
                property.apply();
                return true;
            }
            if (EncodeFormatSP.isNameMatch(name)) {
                for (int i = 0; i < n; ++i)
                    if (states[i] == ISS_ON) {
                        const auto* chosen = EncodeFormatSP.findWidgetByName(names[i]);
                        if (chosen == &EncodeFormatSP[FORMAT_FITS] || chosen == &EncodeFormatSP[FORMAT_NATIVE])
                            fits_ = chosen == &EncodeFormatSP[FORMAT_FITS];
                    }
                ShowFormat();
                EncodeFormatSP.apply();
                return true;
            }
            // Ekos re-sends the upload mode for every frame, and asks for
            // Client for a preview: without the camera's files only Local
            // is taken; with them, each mode as INDI has it.
            if (!std::strcmp(name, UploadSP.name)) {
                for (int i = 0; i < n; ++i) {
                    const bool local = IUFindSwitch(&UploadSP, names[i]) == &UploadS[UPLOAD_LOCAL];
                    if (states[i] == ISS_ON && !linked_ && !BulbCamera::UploadRefusal(local).empty()) {
                        IUResetSwitch(&UploadSP);
                        UploadS[UPLOAD_LOCAL].s = ISS_ON;
                        UploadSP.s = IPS_ALERT;
                        IDSetSwitch(&UploadSP, "%s", BulbCamera::UploadRefusal(local).c_str());
                        return true;
                    }
                }
                if (!linked_) {
                    UploadSP.s = IPS_OK;
                    IDSetSwitch(&UploadSP, nullptr);
                    return true;
                }
            }
        }
        return INDI::CCD::ISNewSwitch(dev, name, states, names, n);
    }

    // The range check lets a value that is not a number through; a refused
    // value leaves the ones before, and the property turns Alert with why.
    static bool Take(INDI::PropertyNumber& property, double values[], char* names[], int n, const char* refusal)
    {
        if (!std::all_of(values, values + n, [](double value) { return std::isfinite(value); }) ||
            !property.update(values, names, n)) {
            property.setState(IPS_ALERT);
            property.apply("%s", refusal);
            return false;
        }
        property.setState(IPS_OK);
        property.apply();
        return true;
    }

    bool ISNewNumber(const char* dev, const char* name, double values[], char* names[], int n) override
    {
        if (dev && !std::strcmp(dev, getDeviceName()) && SettleNP.isNameMatch(name)) {
            if (Take(SettleNP, values, names, n,
                     ("The settle time is a number of seconds from 0.2 to " +
                      std::to_string(RangeOf(RunSetting::BEFORE_DELAY).max) + ".")
                         .c_str()))
                camera_.mirrorSettleSeconds = SettleNP[0].getValue();
            return true;
        }
        if (dev && !std::strcmp(dev, getDeviceName()) && SensorNP.isNameMatch(name)) {
            if (Take(SensorNP, values, names, n, "Out of range: the figures are kept as they were."))
                ApplySensor();
            return true;
        }
        return INDI::CCD::ISNewNumber(dev, name, values, names, n);
    }

    bool saveConfigItems(FILE* fp) override
    {
        INDI::CCD::saveConfigItems(fp);
        for (INDI::Property* property : OwnProperties())
            property->save(fp);
        return true;
    }

    bool StartExposure(float duration) override
    {
        PrimaryCCD.setExposureDuration(duration);
        // INDI's frame types, in its order.
        static const char* const TYPES[] = {"Light", "Bias", "Dark", "Flat"};
        FitsDetails details;
        details.frameType = TYPES[std::clamp(static_cast<int>(PrimaryCCD.getFrameType()), 0, 3)];
        camera_.SetFrameType(details.frameType);
        // The client's object (Ekos's target) names the files and the log's
        // line, as a script's Target does in the window; libindi's own
        // "Unknown" is none.
        const std::string object = FITSHeaderT[FITS_OBJECT].text ? FITSHeaderT[FITS_OBJECT].text : "";
        camera_.SetTarget(object == "Unknown" ? "" : object);
        details.pixelUm = SensorNP[SENSOR_PIXEL].getValue();
        camera_.MakeFits(fits_, details);
        fitsAsked_ = fits_;
        ShowFormat();  // the client's choice again, after the last image's
        InExposure = camera_.StartExposure(duration);
        if (InExposure)
            SetTimer(PROGRESS_MS);
        return InExposure;
    }

    bool AbortExposure() override
    {
        camera_.AbortExposure();
        InExposure = false;
        StopAwaiting();  // its file, when it comes, is not an image
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

    // BulbCameraEvents: with a camera linked, the exposure is complete when its
    // file is here.
    void ExposureDone() override
    {
        if (linked_ && camera_.LastExposure() != 0) {
            Await(camera_.LastExposure());
            PrimaryCCD.setExposureLeft(0);
            return;
        }
        InExposure = false;
        PrimaryCCD.setFrameBufferSize(0, false);
        Complete();
    }

    void ExposureFailed(const std::string& message) override
    {
        InExposure = false;
        LOGF_ERROR("%s", message.c_str());
        PrimaryCCD.setExposureFailed();
    }

    void Status(const std::string& text) override { LOGF_DEBUG("%s", text.c_str()); }

    // The sensor's figures from the first frame read, kept from then on;
    // the awaited exposure's FITS is its image.
    void FrameDecoded(const std::shared_ptr<const DecodedFrame>& frame) override
    {
        const bool read = !frame->left && frame->error.empty();
        if (read && !sensorTaken_) {
            sensorTaken_ = true;
            SensorNP[SENSOR_WIDTH].setValue(frame->image.width);
            SensorNP[SENSOR_HEIGHT].setValue(frame->image.height);
            SensorNP[SENSOR_BITS].setValue(frame->image.bits);
            ApplySensor();
            SensorNP.apply("The sensor: %d x %d pixels, from the first frame.", frame->image.width,
                           frame->image.height);
            // Kept, so that the next start knows it before its first frame
            // (a client's field of view from the start).
            saveConfig(true, SensorNP.getName());
        }
        if (!fitsAsked_ || awaited_ == 0 || frame->request.exposure != awaited_)
            return;
        if (!read) {
            FileNotCome("no FITS of it: " + (frame->left ? std::string("a newer frame came first") : frame->error));
            return;
        }
        LOGF_INFO("Frame %d: %s as FITS, %d stars, HFR %.2f px", frame->request.frame,
                  frame->request.path.substr(frame->request.path.rfind('/') + 1).c_str(), frame->view.stars.count,
                  frame->view.stars.hfrPx);
        SendFits(frame);
    }

    // libindi writes the FITS of the frame buffer, read as the chip's
    // pixels: the chip is given the frame's size and depth, and the buffer
    // its data, so that the two always agree; the header is then the
    // frame's own (addFITSKeywords).
    void SendFits(const std::shared_ptr<const DecodedFrame>& frame)
    {
        const FrameImage& image = frame->image;
        const int bytesPerValue = image.bits <= 8 ? 1 : 2;
        const size_t size = image.data.size() * bytesPerValue;
        auto* buffer = static_cast<uint8_t*>(IDSharedBlobAlloc(std::max<size_t>(1, size)));
        if (!buffer) {
            FileNotCome("no memory for the image");
            return;
        }
        if (bytesPerValue == 1)
            std::transform(image.data.begin(), image.data.end(), buffer,
                           [](uint16_t value) { return static_cast<uint8_t>(value); });
        else
            std::memcpy(buffer, image.data.data(), size);
        if (uint8_t* sent = PrimaryCCD.getFrameBuffer())
            IDSharedBlobFree(sent);
        const double pixel = SensorNP[SENSOR_PIXEL].getValue();
        SetCCDParams(image.width, image.height, bytesPerValue * 8, pixel, pixel);
        PrimaryCCD.setFrame(0, 0, image.width, image.height);
        PrimaryCCD.setBin(1, 1);
        PrimaryCCD.setNAxis(image.planes == 3 ? 3 : 2);
        PrimaryCCD.setFrameBuffer(buffer);
        PrimaryCCD.setFrameBufferSize(static_cast<uint32_t>(size), false);
        if (!image.cfa.empty()) {
            SetCCDCapability(GetCCDCapability() | CCD_HAS_BAYER);
            IUSaveText(&BayerT[0], "0");
            IUSaveText(&BayerT[1], "0");
            IUSaveText(&BayerT[2], image.cfa.c_str());
        } else {
            SetCCDCapability(GetCCDCapability() & ~CCD_HAS_BAYER);
        }
        StopAwaiting();
        InExposure = false;
        PrimaryCCD.setImageExtension("fits");
        // Kept until the next frame's: libindi writes the FITS, and asks
        // for its keys, on a thread of its own after ExposureComplete
        // returns.
        {
            std::lock_guard<std::mutex> lock(fitsFrameMutex_);
            fitsFrame_ = frame;
        }
        Complete(true);
    }

    void addFITSKeywords(INDI::CCDChip* chip) override
    {
        INDI::CCD::addFITSKeywords(chip);
        std::shared_ptr<const DecodedFrame> frame;
        {
            std::lock_guard<std::mutex> lock(fitsFrameMutex_);
            frame = fitsFrame_;
        }
        if (!frame)
            return;
        int status = 0;
        WriteFitsKeys(*chip->fitsFilePointer(), frame->image, frame->request.details, status);
        if (status)
            LOGF_WARN("The FITS header: cfitsio status %d", status);
    }

private:
    // The camera whose files are the images, while VANTREL_CAMERA_FILES is
    // On and a port is connected: the first camera on USB, or the one
    // VANTREL_CAMERA names ("model@port").
    void LinkCamera()
    {
        UnlinkCamera();
        if (FilesSP.findOnSwitchIndex() != 1 || callsPipe_[1] < 0)
            return;
#ifndef VANTREL_GPHOTO
        LOG_WARN("This driver was built without libgphoto2: it cannot fetch the camera's files.");
#else
        CameraLinkSettings settings;
        settings.folder = ExposureLogPath().substr(0, ExposureLogPath().rfind('/')) + "/frames";
        settings.prefix = "indi";
        folder_ = settings.folder;
        camera_.LinkCamera(&settings);
        // Said once for each change, not at every look for a camera gone.
        const std::string description = camera_.CameraDescription();
        if (description != linkDescription_)
            LOGF_INFO("Camera's files: %s.", description.c_str());
        linkDescription_ = description;
        if (!camera_.CameraConnected()) {
            camera_.LinkCamera(nullptr);
            LookForCameraLater();
            return;
        }
        linked_ = true;
#endif
    }

    // A camera gone (or not there yet) is looked for again every few
    // seconds while its files are asked for, between exposures only (the
    // look takes the driver's loop for a while).
    void LookForCameraLater()
    {
        if (relinkTimer_ < 0)
            relinkTimer_ = IEAddTimer(RELINK_MS, &VantrelCCD::OnRelink, this);
    }

    static void OnRelink(void* self)
    {
        auto* driver = static_cast<VantrelCCD*>(self);
        driver->relinkTimer_ = -1;
        if (!driver->isConnected() || driver->FilesSP.findOnSwitchIndex() != 1 || driver->camera_.CameraConnected())
            return;
        if (driver->camera_.Exposing() || driver->awaited_ != 0)
            driver->LookForCameraLater();
        else
            driver->LinkCamera();
    }

    static void OnFileLimit(void* self)
    {
        auto* driver = static_cast<VantrelCCD*>(self);
        driver->fileLimitTimer_ = -1;
        if (driver->awaited_ != 0)
            driver->FileNotCome("timed out (the camera does not answer)");
    }

    void UnlinkCamera()
    {
        camera_.LinkCamera(nullptr);
        linked_ = false;
        if (awaited_ != 0)
            FileNotCome("the camera was let go");
    }

    static CameraLinkMaker CameraLinkMakerOfThisBuild()
    {
#ifdef VANTREL_GPHOTO
        return MakeGphotoLink;
#else
        return nullptr;
#endif
    }

    // A call handed to this loop from any thread (the camera's worker).
    void Post(std::function<void()> call)
    {
        {
            std::lock_guard<std::mutex> lock(callsMutex_);
            calls_.push_back(std::move(call));
        }
        const char byte = 1;
        if (write(callsPipe_[1], &byte, 1) < 0 && errno != EAGAIN)
            std::fprintf(stderr, "indi_vantrel_ccd: the camera's files: %s\n", std::strerror(errno));
    }

    static void OnCalls(int fd, void* self)
    {
        char bytes[64];
        if (read(fd, bytes, sizeof bytes) <= 0)
            return;
        auto* driver = static_cast<VantrelCCD*>(self);
        std::deque<std::function<void()>> calls;
        {
            std::lock_guard<std::mutex> lock(driver->callsMutex_);
            calls.swap(driver->calls_);
        }
        for (const auto& call : calls)
            call();
    }

    // The awaited exposure's first file is its image (RAW before JPEG, as
    // the camera writes them); an exposure that gets none fails. Another
    // exposure's file (an aborted one's, a late JPEG) is no image.
    void TakeOutcome(const CameraFileOutcome& outcome)
    {
        if (outcome.kind == FileOutcome::GONE) {
            LOGF_WARN("%s", outcome.reason.c_str());
            linkDescription_.clear();  // said again when it is back
            LookForCameraLater();
        }
        if (awaited_ == 0 || outcome.exposure != awaited_)
            return;
        if (outcome.kind == FileOutcome::FAILED || (outcome.kind == FileOutcome::LAST && outcome.file.empty()))
            FileNotCome(outcome.reason);
        if (outcome.kind != FileOutcome::WRITTEN || fitsAsked_)  // a FITS waits for the frame read
            return;
        std::ifstream in(folder_ + "/" + outcome.file, std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(in)), {});
        if (!in.is_open()) {
            FileNotCome(outcome.file + " could not be read");
            return;
        }
        const size_t dot = outcome.file.rfind('.');
        LOGF_INFO("Frame %d: %s", outcome.frame, outcome.file.c_str());
        SendImage(content.data(), content.size(), dot == std::string::npos ? "raw" : outcome.file.substr(dot + 1));
    }

    // The awaited exposure's image, sent; an image over 2 GiB fails it.
    void SendImage(const char* data, size_t size, const std::string& extension)
    {
        if (size > static_cast<size_t>(INT_MAX)) {
            FileNotCome("the image is over 2 GiB");
            return;
        }
        // A buffer of its own for each frame: libindi seals the one it has
        // sent (read-only), and keeps it while the size stays the same.
        auto* buffer = static_cast<uint8_t*>(IDSharedBlobAlloc(std::max<size_t>(1, size)));
        if (!buffer) {
            FileNotCome("no memory for the image");
            return;
        }
        std::memcpy(buffer, data, size);
        if (uint8_t* sent = PrimaryCCD.getFrameBuffer())
            IDSharedBlobFree(sent);
        PrimaryCCD.setFrameBuffer(buffer);
        PrimaryCCD.setFrameBufferSize(static_cast<uint32_t>(size), false);
        StopAwaiting();
        InExposure = false;
        PrimaryCCD.setImageExtension(extension.c_str());
        Complete();
    }

    // The exposure whose file is the next image, with the link's limit kept
    // here too (a camera hung inside a call tells nothing); and no longer.
    void Await(uint32_t exposure)
    {
        StopAwaiting();
        awaited_ = exposure;
        fileLimitTimer_ = IEAddTimer(FILE_LIMIT_MS, &VantrelCCD::OnFileLimit, this);
    }

    void StopAwaiting()
    {
        awaited_ = 0;
        IERmTimer(fileLimitTimer_);
        fileLimitTimer_ = -1;
    }

    void FileNotCome(const std::string& why)
    {
        StopAwaiting();
        ExposureFailed("No file from the camera: " + why);
    }

    std::unique_ptr<Ports> ports_;
    IndiClock clock_;
    NoGuider guider_;
    std::unique_ptr<SleepInhibitor> sleep_;
    std::unique_ptr<ExposureLog> log_;
    BulbCamera camera_;
    bool linked_ = false;  // a camera's files are the images
    std::string folder_;
    uint32_t awaited_ = 0;  // the exposure whose file is the next image
    int fileLimitTimer_ = -1;
    int relinkTimer_ = -1;
    std::string linkDescription_;
    int callsPipe_[2] = {-1, -1};
    std::mutex callsMutex_;
    std::deque<std::function<void()>> calls_;
    bool configLoaded_ = false;
    bool fits_ = false;  // the client asks for FITS
    bool fitsAsked_ = false;  // for the exposure in progress
    bool sensorTaken_ = false;  // from the first frame read
    // The frame whose FITS libindi writes (on its completion thread).
    std::mutex fitsFrameMutex_;
    std::shared_ptr<const DecodedFrame> fitsFrame_;

    INDI::PropertyText PortTP{1};
    INDI::PropertySwitch AfSP{3};
    INDI::PropertySwitch MirrorSP{2};
    INDI::PropertyNumber SettleNP{1};
    enum { SENSOR_WIDTH, SENSOR_HEIGHT, SENSOR_PIXEL, SENSOR_BITS, SENSOR_COUNT };
    INDI::PropertyNumber SensorNP{SENSOR_COUNT};
    INDI::PropertySwitch FilesSP{2};

    // Vantrel's own, defined, loaded and saved together.
    std::vector<INDI::Property*> OwnProperties()
    {
        // (The typed properties' own operator& gives their vectors.)
        return {std::addressof(PortTP),   std::addressof(AfSP),     std::addressof(MirrorSP),
                std::addressof(SettleNP), std::addressof(SensorNP), std::addressof(FilesSP)};
    }
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

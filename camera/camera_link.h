// The camera's own files, over USB through libgphoto2: after each exposure
// the files the camera writes to its card are fetched on a worker thread
// and written as <folder>/<prefix>_<frame>.<ext> (RAW and JPEG alike), each
// beside its place under a hidden name, synced, and renamed into place, so
// that no file is ever half there or written over. No toolkit.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// What a camera outcome tells.
enum class FileOutcome {
    FETCHING,  // a file is being fetched: `file` is its name on the camera
    WRITTEN,  // a file is written: `file` is its name ("M42_0007.cr2")
    FAILED,  // a file could not be fetched or written: `reason` says why
    // No more files come for the exposure: `file` holds every name written
    // for it, space-separated, or `reason` why none came ("no camera",
    // "timed out", "download failed: …"). Once for each exposure.
    LAST,
    GONE,  // the camera is gone (unplugged, switched off): `reason` says how
};

struct CameraFileOutcome {
    FileOutcome kind = FileOutcome::WRITTEN;
    uint32_t exposure = 0;  // as ExposureEnded numbered it; 0: none
    int32_t frame = 0;  // 0: a file that belongs to no exposure
    std::string file;
    std::string reason;
};

struct CameraLinkSettings {
    std::string folder;  // where the files go; made when it is not there
    std::string prefix = "frame";
    // The camera: "" for the one VANTREL_CAMERA="model@port" names, else
    // the first one found on USB; or a libgphoto2 model and port
    // ("Directory Browse", "disk:/media/card").
    std::string model;
    std::string port;
    // How long after its exposure's end a file is still that exposure's:
    // a camera writes its card for seconds after a long exposure.
    int32_t limitMs = 60000;
};

class CameraLink {
public:
    virtual ~CameraLink() = default;
    // The camera, as the user knows it ("Canon EOS 600D on usb:001,005"),
    // or why there is none.
    virtual std::string Description() const = 0;
    virtual bool Connected() const = 0;
    // An exposure (or its mirror lock-up pulse) is about to set the
    // shutter line: the camera is left alone until it has ended (some
    // bodies ignore the cable during a USB exchange). A call in progress
    // ends first. Never waits.
    virtual void ExposureStarting() { }
    // An exposure's shutter was released: the files that appear from now
    // on are this frame's, until the next exposure ends or the limit.
    // Returns the exposure's number for the outcomes. Never waits.
    virtual uint32_t ExposureEnded(int32_t frame) = 0;
    // The files of the exposures that end from now on are named by their
    // frame type and target (FramePrefix). Never waits.
    virtual void NameNextFiles(const std::string& /*frameType*/, const std::string& /*target*/) { }
};

// Makes a camera link (a seam: the program's is MakeGphotoLink).
using CameraLinkMaker = std::function<std::unique_ptr<CameraLink>(
    const CameraLinkSettings& settings, std::function<void(const CameraFileOutcome&)> outcome)>;

// Opens the camera and starts watching it. `outcome` is called on the
// worker thread for each file written, each file that failed and each
// exposure that got none within the limit.
std::unique_ptr<CameraLink> MakeGphotoLink(const CameraLinkSettings& settings,
                                           std::function<void(const CameraFileOutcome&)> outcome);

// What a frame's file name begins with: "<target>_<type>" ("M42_Light"),
// or without a target the link's own prefix, with "_<type>" for a frame that
// is not a Light ("frame_Dark"). A target keeps its letters, digits, '-'
// and '+'; anything else becomes '_' (never a path).
std::string FramePrefix(const std::string& prefix, const std::string& frameType, const std::string& target);

// The name a frame's file is written under: "<prefix>_<frame, 4 digits>.<ext,
// lower case>", with "-2", "-3", … before the extension while that name is
// taken in `folder`. The extension is the camera name's letters and digits
// after its last dot, nothing else of it.
std::string FrameFileName(const std::string& folder, const std::string& prefix, int32_t frame,
                          const std::string& cameraName);

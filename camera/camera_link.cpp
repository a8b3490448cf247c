#include "camera/camera_link.h"

#include <fcntl.h>
#include <glib.h>
#include <gphoto2/gphoto2.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using Steady = std::chrono::steady_clock;

// How long one look at the camera's events may take: also how soon a
// closing link lets its worker go.
constexpr int WAIT_MS = 100;
// How long closing a link waits for its worker.
constexpr auto CLOSE_LIMIT = std::chrono::milliseconds(500);
// An event that a look at the camera returns sooner than this was waiting
// already: after an exposure, it came while the camera was left alone.
constexpr auto QUEUED_LIMIT = std::chrono::milliseconds(5);
// A file the camera is still writing reads short: it is fetched again,
// this often, this far apart, before it counts as failed.
constexpr int FETCH_TRIES = 10;
// Past this many other events at once, the camera is left alone a while.
constexpr int FLOOD_LIMIT = 20;
constexpr auto FETCH_RETRY = std::chrono::milliseconds(300);

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string GphotoError(int code) { return gp_result_as_string(code); }

// Exposures are numbered across the links of a process, so that a line
// waiting under one link's number is never taken by a later link's.
std::atomic<uint32_t> lastExposure{0};

// A shot is the files of one press: "IMG_0007.CR2" and "IMG_0007.JPG".
std::string ShotOf(const std::string& cameraName) { return cameraName.substr(0, cameraName.rfind('.')); }

// A name the camera gave, as text to show: bytes that are not UTF-8 become
// '?'.
std::string ValidUtf8(const std::string& text)
{
    std::string valid;
    for (size_t i = 0; i < text.size();) {
        const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
        const unsigned char lead = byte(0);
        const size_t length = lead < 0x80  ? 1
            : lead >= 0xC2 && lead <= 0xDF ? 2
            : (lead & 0xF0) == 0xE0        ? 3
            : lead >= 0xF0 && lead <= 0xF4 ? 4
                                           : 0;
        bool whole = length > 0 && i + length <= text.size();
        for (size_t k = 1; whole && k < length; ++k)
            whole = (byte(k) & 0xC0) == 0x80;
        // No overlong forms, surrogates or code points past U+10FFFF.
        if (whole && length >= 3)
            whole = !((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) >= 0xA0) ||
                      (lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) >= 0x90));
        valid += whole ? text.substr(i, length) : "?";
        i += whole ? length : 1;
    }
    return valid;
}

bool WriteAll(int fd, const char* data, unsigned long size)
{
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<unsigned long>(written);
    }
    return true;
}

// Lives as long as its worker: a camera hung inside a call is left behind
// with it (the link's owner goes on at once), and ends with it.
class GphotoLink : public CameraLink, public std::enable_shared_from_this<GphotoLink> {
public:
    GphotoLink(CameraLinkSettings settings, std::function<void(const CameraFileOutcome&)> outcome)
        : settings_(std::move(settings))
        , outcome_(std::move(outcome))
        , context_(gp_context_new())
    {
        if (pipe2(endings_, O_NONBLOCK | O_CLOEXEC) != 0) {
            description_ = std::string("no camera (") + std::strerror(errno) + ")";
            endings_[0] = endings_[1] = -1;
            return;
        }
        for (size_t slash = 1; slash != std::string::npos; slash = settings_.folder.find('/', slash + 1))
            mkdir(settings_.folder.substr(0, slash).c_str(), 0755);
        mkdir(settings_.folder.c_str(), 0755);
        gp_camera_new(&camera_);
        const int result = Open();
        if (result < GP_OK) {
            description_ = "no camera (" + GphotoError(result) + ")";
            gp_camera_unref(camera_);
            camera_ = nullptr;
            return;
        }
        description_ = Describe();
        KeepFilesOnCard();
    }

    void StartWorker()
    {
        if (!camera_)
            return;
        working_ = true;
        std::thread([self = shared_from_this()] {
            self->Watch();
            std::lock_guard<std::mutex> lock(self->reportMutex_);
            self->working_ = false;
            self->finished_.notify_all();
        }).detach();
    }

    // No outcome is reported once this returns; the worker is waited for
    // up to CLOSE_LIMIT (its look at the camera ends within WAIT_MS), and
    // else left to end by itself.
    void Close()
    {
        stop_ = true;
        std::unique_lock<std::mutex> lock(reportMutex_);
        closed_ = true;
        finished_.wait_for(lock, CLOSE_LIMIT, [this] { return !working_; });
    }

    ~GphotoLink() override
    {
        if (camera_) {
            gp_camera_exit(camera_, context_);
            gp_camera_unref(camera_);
        }
        gp_context_unref(context_);
        for (int fd : endings_)
            if (fd >= 0)
                close(fd);
    }

    std::string Description() const override { return description_; }
    bool Connected() const override { return camera_ && !lost_; }

    void ExposureStarting() override
    {
        const Ended starting{0, 0, Steady::now().time_since_epoch().count(), {}};
        if (write(endings_[1], &starting, sizeof starting) < 0) { }  // a full pipe: ends are waiting anyway
    }

    uint32_t ExposureEnded(int32_t frame) override
    {
        const uint32_t id = ++lastExposure;
        // Through a pipe, not a lock: the caller is the run's thread, which
        // must never wait on this one.
        Ended ended{id, frame, Steady::now().time_since_epoch().count(), {}};
        nextPrefix_.copy(ended.prefix, sizeof ended.prefix - 1);
        const char* none = !Connected()                                ? "no camera"
            : write(endings_[1], &ended, sizeof ended) != sizeof ended ? "download failed: too many exposures waiting"
                                                                       : nullptr;
        if (none)
            Report({FileOutcome::LAST, id, frame, "", none});
        return id;
    }

    void NameNextFiles(const std::string& frameType, const std::string& target) override
    {
        std::string prefix = FramePrefix(settings_.prefix, frameType, target);
        // Cut between two letters, never inside one.
        size_t cut = std::min(prefix.size(), sizeof(Ended::prefix) - 1);
        while (cut > 0 && cut < prefix.size() && (static_cast<unsigned char>(prefix[cut]) & 0xc0) == 0x80)
            --cut;
        nextPrefix_ = prefix.substr(0, cut);
    }

private:
    // An exposure's end; id 0: an exposure's start.
    struct Ended {
        uint32_t id;
        int32_t frame;
        Steady::rep at;
        char prefix[64];  // its files' names' beginning; "": the link's own
    };
    struct Exposure {
        uint32_t id;
        int32_t frame;
        Steady::time_point ended;
        std::string shot;  // the camera's base name of its files, once one came
        std::string files;  // written, space-separated
        std::string failure;  // the first file's that failed
        std::string prefix;  // its files' names' beginning
    };

    // The model and port given, or named by VANTREL_CAMERA, or the first
    // camera on USB.
    int Open()
    {
        const char* named = std::getenv("VANTREL_CAMERA");
        const char* at = named ? std::strchr(named, '@') : nullptr;
        if (settings_.model.empty() && at) {
            settings_.model.assign(named, at);
            settings_.port = at + 1;
        }
        if (settings_.model.empty())
            return gp_camera_init(camera_, context_);
        CameraAbilitiesList* list = nullptr;
        gp_abilities_list_new(&list);
        gp_abilities_list_load(list, context_);
        const int index = gp_abilities_list_lookup_model(list, settings_.model.c_str());
        CameraAbilities abilities{};
        if (index >= GP_OK)
            gp_abilities_list_get_abilities(list, index, &abilities);
        gp_abilities_list_free(list);
        if (index < GP_OK)
            return index;
        gp_camera_set_abilities(camera_, abilities);
        GPPortInfoList* ports = nullptr;
        gp_port_info_list_new(&ports);
        gp_port_info_list_load(ports);
        int port = gp_port_info_list_lookup_path(ports, settings_.port.c_str());
        if (port < GP_OK && settings_.port.rfind("disk:", 0) == 0) {  // a folder served as a card
            GPPortInfo info;
            gp_port_info_new(&info);
            gp_port_info_set_type(info, GP_PORT_DISK);
            gp_port_info_set_name(info, settings_.port.c_str());
            gp_port_info_set_path(info, settings_.port.c_str());
            port = gp_port_info_list_append(ports, info);
        }
        GPPortInfo info;
        if (port >= GP_OK && gp_port_info_list_get_info(ports, port, &info) >= GP_OK)
            port = gp_camera_set_port_info(camera_, info);
        gp_port_info_list_free(ports);
        return port < GP_OK ? port : gp_camera_init(camera_, context_);
    }

    std::string Describe()
    {
        CameraAbilities abilities{};
        gp_camera_get_abilities(camera_, &abilities);
        GPPortInfo info;
        char* path = nullptr;
        if (gp_camera_get_port_info(camera_, &info) >= GP_OK)
            gp_port_info_get_path(info, &path);
        return std::string(abilities.model) + (path ? std::string(" on ") + path : "");
    }

    // Files left in the camera's memory are lost when a download fails:
    // the capture target is the card wherever the camera has the setting.
    void KeepFilesOnCard()
    {
        CameraWidget* widget = nullptr;
        if (gp_camera_get_single_config(camera_, "capturetarget", &widget, context_) < GP_OK)
            return;
        for (int i = 0; i < gp_widget_count_choices(widget); ++i) {
            const char* choice = nullptr;
            if (gp_widget_get_choice(widget, i, &choice) >= GP_OK && choice &&
                Lower(choice).find("card") != std::string::npos) {
                gp_widget_set_value(widget, choice);
                gp_camera_set_single_config(camera_, "capturetarget", widget, context_);
                break;
            }
        }
        gp_widget_free(widget);
    }

    void TakeEndings()
    {
        Ended ended{};
        while (read(endings_[0], &ended, sizeof ended) == sizeof ended) {
            const Steady::time_point at{Steady::duration(ended.at)};
            if (ended.id == 0) {
                exposing_ = true;
                pausedAt_ = at;
                continue;
            }
            exposures_.push_back({ended.id, ended.frame, at, "", "", "", ended.prefix});
            // What the camera reports first when it is looked at again
            // came during the exposure: before this one ended.
            backlog_ = exposing_;
            exposing_ = false;
        }
    }

    void Watch()
    {
        // Made on whichever thread links the camera: never at the run's
        // real-time priority.
        const sched_param normal{};
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
        while (!stop_ && !lost_) {
            TakeEndings();
            if (exposing_) {  // no call while the shutter line is set
                pollfd endings{endings_[0], POLLIN, 0};
                poll(&endings, 1, WAIT_MS);
                continue;
            }
            if (!waiting_.empty()) {  // seen as an exposure began: fetched now
                const Waiting file = waiting_.front();
                waiting_.pop_front();
                Fetch(file.folder, file.name, file.appeared, file.seen);
                continue;
            }
            CameraEventType type = GP_EVENT_UNKNOWN;
            void* data = nullptr;
            const Steady::time_point lookedAt = Steady::now();
            const int result = gp_camera_wait_for_event(camera_, WAIT_MS, &type, &data, context_);
            const Steady::time_point seenAt = Steady::now();
            // What was waiting came while the shutter line was set: before
            // the exposure that has just ended.
            // Other events ("a property changed") can come first.
            const bool queued = backlog_ && seenAt - lookedAt < QUEUED_LIMIT;
            backlog_ = queued && result >= GP_OK && type != GP_EVENT_TIMEOUT;
            // A camera that floods its events is looked at less often.
            const bool other = result >= GP_OK && type != GP_EVENT_TIMEOUT && type != GP_EVENT_FILE_ADDED;
            flood_ = other && seenAt - lookedAt < QUEUED_LIMIT ? flood_ + 1 : 0;
            if (result == GP_ERROR_CAMERA_BUSY || result == GP_ERROR_TIMEOUT || flood_ > FLOOD_LIMIT) {
                flood_ = 0;
                std::this_thread::sleep_for(std::chrono::milliseconds(WAIT_MS));
            } else if (result < GP_OK) {
                // Unplugged, or switched off: one message, and the
                // exposures go on without their files.
                lost_ = true;
                Report(
                    {FileOutcome::GONE, 0, 0, "", "download failed: the camera is gone (" + GphotoError(result) + ")"});
            } else if (type == GP_EVENT_FILE_ADDED && data) {
                const auto* path = static_cast<const CameraFilePath*>(data);
                waiting_.push_back({path->folder, path->name, queued ? pausedAt_ : seenAt, seenAt});
            }
            std::free(data);
            GiveUp(Steady::now());
        }
        GiveUp(Steady::time_point::max());
    }

    // The exposure a file made at `appeared` belongs to: the one its shot
    // went to already; else, of those that ended before it without a shot
    // and within the limit, the oldest, or the one whose delay from its end
    // to the file is nearest the last shot's (a camera that ignored a press
    // does not move every later file a frame on). None: nullptr.
    Exposure* ExposureFor(const std::string& shot, Steady::time_point appeared)
    {
        TakeEndings();
        Exposure* best = nullptr;
        for (Exposure& exposure : exposures_) {
            if (exposure.shot == shot)
                return &exposure;
            if (!exposure.shot.empty() || exposure.ended > appeared ||
                appeared - exposure.ended > std::chrono::milliseconds(settings_.limitMs))
                continue;
            const auto Off = [&](const Exposure& e) {
                const auto lag = appeared - e.ended;
                return lag > lag_ ? lag - lag_ : lag_ - lag;
            };
            if (!best || (lagKnown_ && Off(exposure) < Off(*best)))
                best = &exposure;
        }
        if (best) {
            best->shot = shot;
            lag_ = appeared - best->ended;
            lagKnown_ = true;
        }
        return best;
    }

    // Each exposure on its own gets its last outcome, with its files or why
    // none came: once a later one has a shot (the camera has moved on), or
    // its limit has passed (at once when the link closes).
    void GiveUp(Steady::time_point now)
    {
        TakeEndings();
        for (auto exposure = exposures_.begin(); exposure != exposures_.end();) {
            const bool later =
                std::any_of(exposure + 1, exposures_.end(), [](const Exposure& e) { return !e.shot.empty(); });
            if (!later && now != Steady::time_point::max() &&
                now - exposure->ended <= std::chrono::milliseconds(settings_.limitMs)) {
                ++exposure;
                continue;
            }
            const std::string why = !exposure->files.empty() ? ""
                : !exposure->failure.empty()                 ? exposure->failure
                : lost_                                      ? "no camera"
                : later                                      ? "no file: the camera took no picture"
                                                             : "timed out";
            Report({FileOutcome::LAST, exposure->id, exposure->frame, exposure->files, why});
            exposure = exposures_.erase(exposure);
        }
    }

    // `appeared`: when the camera made the file, as far as it is known;
    // `seen`: when it was seen. A file taken for one that came during an
    // exposure, but which no exposure before that can have made, is the
    // exposure's that has just ended (it landed while another was fetched).
    void Fetch(const std::string& folder, const std::string& name, Steady::time_point appeared, Steady::time_point seen)
    {
        Exposure* exposure = ExposureFor(ShotOf(name), appeared);
        if (!exposure && seen > appeared)
            exposure = ExposureFor(ShotOf(name), seen);
        const int32_t frame = exposure ? exposure->frame : 0;
        Report({FileOutcome::FETCHING, exposure ? exposure->id : 0, frame, ValidUtf8(name), ""});
        CameraFileInfo info{};
        const bool sized = gp_camera_file_get_info(camera_, folder.c_str(), name.c_str(), &info, context_) >= GP_OK &&
            (info.file.fields & GP_FILE_INFO_SIZE);
        CameraFile* file = nullptr;
        gp_file_new(&file);
        const char* data = nullptr;
        unsigned long size = 0;
        std::string failure;
        for (int attempt = 0; attempt < FETCH_TRIES; ++attempt) {
            if (attempt > 0)
                std::this_thread::sleep_for(FETCH_RETRY);
            const int result =
                gp_camera_file_get(camera_, folder.c_str(), name.c_str(), GP_FILE_TYPE_NORMAL, file, context_);
            if (result < GP_OK) {
                failure = "download failed: " + GphotoError(result);
                continue;
            }
            gp_file_get_data_and_size(file, &data, &size);
            if (!sized || size == info.file.size) {
                failure.clear();
                break;
            }
            failure = "download failed: " + std::to_string(size) + " of " + std::to_string(info.file.size) + " bytes";
        }
        std::string written;
        if (failure.empty())
            failure = Store(frame, exposure && !exposure->prefix.empty() ? exposure->prefix : settings_.prefix, name,
                            data, size, written);
        gp_file_unref(file);
        if (exposure && !written.empty())
            exposure->files += (exposure->files.empty() ? "" : " ") + written;
        if (exposure && !failure.empty() && exposure->failure.empty())
            exposure->failure = failure;
        Report({failure.empty() ? FileOutcome::WRITTEN : FileOutcome::FAILED, exposure ? exposure->id : 0, frame,
                written, failure});
    }

    // Written as a file without a name in the folder, synced, and given a
    // name that is free: "" when it is there. Nothing half written ever
    // has a name, and nothing is left behind if the program dies. Where the
    // folder's file system has no such files, under a hidden name that is
    // the frame's own, renamed.
    std::string Store(int32_t frame, const std::string& prefix, const std::string& cameraName, const char* data,
                      unsigned long size, std::string& stored)
    {
        const std::string& folder = settings_.folder;
        int fd = open(folder.c_str(), O_WRONLY | O_TMPFILE | O_CLOEXEC, 0644);
        const std::string hidden =
            fd >= 0 ? "" : folder + "/." + FrameFileName(folder, prefix, frame, cameraName) + ".part";
        if (fd < 0)
            fd = open(hidden.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0)
            return std::string("download failed: ") + std::strerror(errno) + " (" + folder + ")";
        const bool written = WriteAll(fd, data, size) && fsync(fd) == 0;
        int error = errno;
        std::string why;
        for (;;) {
            if (!written) {
                why = std::strerror(error);
                break;
            }
            const std::string name = FrameFileName(folder, prefix, frame, cameraName);
            const std::string place = folder + "/" + name;
            const bool named = hidden.empty()
                ? linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(fd)).c_str(), AT_FDCWD, place.c_str(),
                         AT_SYMLINK_FOLLOW) == 0
                : renameat2(AT_FDCWD, hidden.c_str(), AT_FDCWD, place.c_str(), RENAME_NOREPLACE) == 0;
            if (named) {
                stored = name;
                break;
            }
            if (errno != EEXIST) {  // taken since it was chosen: choose again
                why = std::strerror(errno);
                break;
            }
        }
        close(fd);
        if (!hidden.empty() && stored.empty())
            unlink(hidden.c_str());
        if (!why.empty())
            return "download failed: " + why;
        const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            fsync(dir);
            close(dir);
        }
        return "";
    }

    void Report(const CameraFileOutcome& outcome)
    {
        std::lock_guard<std::mutex> lock(reportMutex_);
        if (outcome_ && !closed_)
            outcome_(outcome);
    }

    CameraLinkSettings settings_;
    std::string nextPrefix_;  // the run thread's own (NameNextFiles, ExposureEnded)
    std::function<void(const CameraFileOutcome&)> outcome_;
    GPContext* context_;
    Camera* camera_ = nullptr;
    std::string description_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> lost_{false};
    int endings_[2] = {-1, -1};  // the exposures' ends, from the run's thread
    std::deque<Exposure> exposures_;  // the worker's own
    bool exposing_ = false;
    Steady::time_point pausedAt_;
    bool backlog_ = false;
    // How long after its exposure's end the last shot came.
    Steady::duration lag_{};
    bool lagKnown_ = false;
    // The files seen, to be fetched once no exposure is open.
    struct Waiting {
        std::string folder, name;
        Steady::time_point appeared, seen;
    };
    int flood_ = 0;  // events other than files, one straight after another
    std::deque<Waiting> waiting_;
    std::mutex reportMutex_;
    std::condition_variable finished_;
    bool working_ = false;
    bool closed_ = false;
};

}  // namespace

std::string FramePrefix(const std::string& prefix, const std::string& frameType, const std::string& target)
{
    std::string safe;
    for (size_t at = 0; at < target.size();) {
        const char* c = target.c_str() + at;
        const gunichar letter = g_utf8_get_char_validated(c, static_cast<gssize>(target.size() - at));
        const bool whole = letter != static_cast<gunichar>(-1) && letter != static_cast<gunichar>(-2);
        const size_t length = whole ? static_cast<size_t>(g_utf8_next_char(c) - c) : 1;
        safe +=
            whole && (g_unichar_isalnum(letter) || letter == '-' || letter == '+') ? target.substr(at, length) : "_";
        at += length;
    }
    if (safe.empty())
        return frameType.empty() || frameType == "Light" ? prefix : prefix + "_" + frameType;
    return safe + "_" + (frameType.empty() ? "Light" : frameType);
}

std::string FrameFileName(const std::string& folder, const std::string& prefix, int32_t frame,
                          const std::string& cameraName)
{
    // The camera's name is data, never a path: only the letters and digits
    // of its extension are kept.
    const size_t dot = cameraName.rfind('.');
    std::string extension;
    for (size_t i = dot == std::string::npos ? cameraName.size() : dot + 1; i < cameraName.size(); ++i)
        if (std::isalnum(static_cast<unsigned char>(cameraName[i])) && extension.size() < 8)
            extension += static_cast<char>(std::tolower(static_cast<unsigned char>(cameraName[i])));
    if (!extension.empty())
        extension.insert(0, ".");
    char number[16];
    std::snprintf(number, sizeof number, "%04d", frame);
    const std::string stem = prefix + "_" + (frame > 0 ? number : "unmatched");
    std::string name = stem + extension;
    struct stat info { };
    for (int n = 2; lstat((folder + "/" + name).c_str(), &info) == 0; ++n)
        name = stem + "-" + std::to_string(n) + extension;
    return name;
}

namespace {

// What the link's owner holds: closing it never waits on a hung camera.
class LinkHandle : public CameraLink {
public:
    explicit LinkHandle(std::shared_ptr<GphotoLink> link)
        : link_(std::move(link))
    {
    }
    ~LinkHandle() override { link_->Close(); }
    std::string Description() const override { return link_->Description(); }
    bool Connected() const override { return link_->Connected(); }
    void ExposureStarting() override { link_->ExposureStarting(); }
    uint32_t ExposureEnded(int32_t frame) override { return link_->ExposureEnded(frame); }
    void NameNextFiles(const std::string& frameType, const std::string& target) override
    {
        link_->NameNextFiles(frameType, target);
    }

private:
    std::shared_ptr<GphotoLink> link_;
};

}  // namespace

std::unique_ptr<CameraLink> MakeGphotoLink(const CameraLinkSettings& settings,
                                           std::function<void(const CameraFileOutcome&)> outcome)
{
    auto link = std::make_shared<GphotoLink>(settings, std::move(outcome));
    link->StartWorker();
    return std::make_unique<LinkHandle>(std::move(link));
}

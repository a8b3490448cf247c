// A camera for the tests: libgphoto2's directory camlib serves a folder as
// a card, but has no events. Preloaded, this shim gives it the one event a
// camera sends after an exposure: each file that appears in the folder
// VANTREL_FAKE_CARD (the test writes it under a hidden name and renames it
// in, as a camera finishes a file) is a GP_EVENT_FILE_ADDED, once. A card
// folder that is gone is a camera unplugged. VANTREL_FAKE_CARD_SHORT=N makes
// the first N reads of each file come N bytes short: a file still being
// written. VANTREL_FAKE_CARD_CALLS names a file that gets the monotonic
// time (ns) of each look at the camera. While the file VANTREL_FAKE_CARD_HANG
// names is there, a download hangs (a camera stuck inside a call), and says
// so by making "<that file>.in". VANTREL_FAKE_CARD_OTHER_FIRST set: each
// file's event comes after another ("a property changed"), as real bodies
// send them.
#include <dirent.h>
#include <dlfcn.h>
#include <gphoto2/gphoto2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>

namespace {

using Steady = std::chrono::steady_clock;

// The files seen in each card folder so far (name, inode, change time).
std::map<std::string, std::set<std::string>> seenIn;

// The new files, by name; false when the folder is gone.
bool NewFiles(const char* card, std::set<std::string>& found)
{
    DIR* dir = opendir(card);
    if (!dir)
        return false;
    const bool listed = seenIn.count(card) > 0;  // what was there at the start is old
    std::set<std::string>& seen = seenIn[card];
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        struct stat info { };
        if (name[0] == '.' || stat((std::string(card) + "/" + name).c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        // A name again (a new card) is a new file.
        const std::string file = name + " " + std::to_string(info.st_ino) + " " + std::to_string(info.st_ctim.tv_nsec);
        if (seen.insert(file).second && listed)
            found.insert(name);
    }
    closedir(dir);
    return true;
}

template <typename Function> Function Real(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int gp_camera_wait_for_event(Camera* camera, int timeout, CameraEventType* type, void** data,
                                        GPContext* context)
{
    static auto real = Real<int (*)(Camera*, int, CameraEventType*, void**, GPContext*)>("gp_camera_wait_for_event");
    const char* card = std::getenv("VANTREL_FAKE_CARD");
    if (const char* calls = std::getenv("VANTREL_FAKE_CARD_CALLS")) {
        if (std::FILE* log = std::fopen(calls, "a")) {
            std::fprintf(log, "%lld\n", static_cast<long long>(Steady::now().time_since_epoch().count()));
            std::fclose(log);
        }
    }
    const int result = real(camera, timeout, type, data, context);
    if (result != GP_ERROR_NOT_SUPPORTED || !card)
        return result;
    static std::set<std::string> pending;
    const auto deadline = Steady::now() + std::chrono::milliseconds(timeout);
    do {
        if (!NewFiles(card, pending))
            return GP_ERROR_IO;
        static bool otherSent = false;
        if (!pending.empty() && std::getenv("VANTREL_FAKE_CARD_OTHER_FIRST") && !otherSent) {
            otherSent = true;
            *type = GP_EVENT_UNKNOWN;
            *data = strdup("PTP Property d1a3 changed");
            return GP_OK;
        }
        otherSent = false;
        if (!pending.empty()) {
            auto* path = static_cast<CameraFilePath*>(std::calloc(1, sizeof(CameraFilePath)));
            std::strncpy(path->folder, "/", sizeof path->folder - 1);  // the card's own root
            std::strncpy(path->name, pending.begin()->c_str(), sizeof path->name - 1);
            pending.erase(pending.begin());
            gp_filesystem_reset(camera->fs);  // as a camera's driver learns of its new file
            *type = GP_EVENT_FILE_ADDED;
            *data = path;
            return GP_OK;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (Steady::now() < deadline);
    *type = GP_EVENT_TIMEOUT;
    *data = nullptr;
    return GP_OK;
}

extern "C" int gp_camera_file_get(Camera* camera, const char* folder, const char* file, CameraFileType type,
                                  CameraFile* cameraFile, GPContext* context)
{
    static auto real =
        Real<int (*)(Camera*, const char*, const char*, CameraFileType, CameraFile*, GPContext*)>("gp_camera_file_get");
    if (const char* hang = std::getenv("VANTREL_FAKE_CARD_HANG")) {
        std::fclose(std::fopen((std::string(hang) + ".in").c_str(), "w"));
        while (access(hang, F_OK) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const int result = real(camera, folder, file, type, cameraFile, context);
    const char* shortBy = std::getenv("VANTREL_FAKE_CARD_SHORT");
    static std::map<std::string, int> reads;
    if (result < GP_OK || !shortBy)
        return result;
    const int times = std::atoi(shortBy);
    if (reads[file]++ >= times)
        return result;
    const char* content = nullptr;
    unsigned long size = 0;
    gp_file_get_data_and_size(cameraFile, &content, &size);
    const unsigned long cut = size > static_cast<unsigned long>(times) ? size - times : 0;
    std::string head(content, cut);
    gp_file_set_data_and_size(cameraFile, static_cast<char*>(std::memcpy(std::malloc(cut + 1), head.data(), cut)), cut);
    return result;
}

// How long a frame's file takes from the camera's card to the disk: a
// 25 MB file through the fake camera (libgphoto2's directory camlib with
// the tests' event shim, preloaded by the bench itself), from the moment it
// appears on the card to the moment it is on the disk under its frame's
// name, synced.
//
//   cmake --build build-bench --target camera_bench && build-bench/bench/camera_bench
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "bench/fake_camera.h"
#include "camera/camera_link.h"

int main(int argc, char** argv)
{
    (void)argc;
    const FakeCamera camera = PreloadFakeCamera(argv);
    const std::string& card = camera.card;
    const std::string& folder = camera.frames;
    std::mutex mutex;
    std::condition_variable written;
    int files = 0;
    CameraLinkSettings settings;
    settings.folder = folder;
    settings.prefix = "bench";
    settings.model = "Directory Browse";
    settings.port = "disk:" + card;
    auto link = MakeGphotoLink(settings, [&](const CameraFileOutcome& outcome) {
        if (outcome.kind != FileOutcome::WRITTEN)
            return;
        std::lock_guard<std::mutex> lock(mutex);
        ++files;
        written.notify_all();
    });
    if (!link->Connected()) {
        std::fprintf(stderr, "camera_bench: %s\n", link->Description().c_str());
        return 1;
    }
    const std::string content(25 * 1000 * 1000, 'x');
    std::vector<double> times;
    for (int frame = 1; frame <= 5; ++frame) {
        const std::string name = card + "/IMG_" + std::to_string(frame) + ".CR2";
        std::ofstream(card + "/.writing", std::ios::binary) << content;
        link->ExposureEnded(frame);
        const auto appeared = std::chrono::steady_clock::now();
        rename((card + "/.writing").c_str(), name.c_str());
        std::unique_lock<std::mutex> lock(mutex);
        written.wait(lock, [&] { return files == frame; });
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - appeared).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("25 MB file, on the card to on the disk: median %.0f ms, max %.0f ms (5)\n", times[times.size() / 2],
                times.back());
    link.reset();
    if (std::system(("rm -rf " + card.substr(0, card.rfind('/'))).c_str()) != 0) { }
    return 0;
}

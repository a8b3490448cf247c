// How long a frame's file takes from the camera's card to the disk: a
// 25 MB file through the fake camera (libgphoto2's directory camlib with
// the tests' event shim, preloaded by the bench itself), from the moment it
// appears on the card to the moment it is on the disk under its frame's
// name, synced. Then how long a 24-megapixel DNG (the tests' star field)
// takes from the disk to what the Last Frame window shows (read, preview,
// histogram, stars), and to a FITS.
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
#include "frames/frame_decoder.h"
#include "tests/frame_maker.h"

namespace {

double MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Median and largest of five.
void Report(const char* what, std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    std::printf("%s: median %.0f ms, max %.0f ms (%zu)\n", what, times[times.size() / 2], times.back(), times.size());
}

// A 6000 x 4000 star field as a DNG, read and measured, and written as a FITS.
void FrameFigures(const std::string& folder)
{
    StarField field;
    field.width = 6000;
    field.height = 4000;
    field.stars = 400;
    const std::string path = folder + "/field.dng";
    if (!WriteDng(path, field, MakeStarField(field))) {
        std::fprintf(stderr, "camera_bench: %s could not be written\n", path.c_str());
        return;
    }
    std::vector<double> shown, fits;
    for (int i = 0; i < 5; ++i) {
        FrameRequest request;
        request.path = path;
        request.fits = true;
        auto start = std::chrono::steady_clock::now();
        const auto decoded = DecodeFrame(request);
        shown.push_back(MsSince(start));
        std::vector<char> bytes;
        std::string error;
        start = std::chrono::steady_clock::now();
        WriteFits(decoded->image, request.details, bytes, error);
        fits.push_back(MsSince(start));
        if (i == 0)
            std::printf("24 MP DNG: %d stars, HFR %.2f px (made %d, HFR %.2f)\n", decoded->view.stars.count,
                        decoded->view.stars.hfrPx, field.stars, field.hfrPx);
    }
    Report("24 MP DNG, on the disk to preview, histogram and stars", shown);
    Report("24 MP frame to a FITS in memory", fits);
    unlink(path.c_str());
}

}  // namespace

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
    Report("25 MB file, on the card to on the disk", times);
    link.reset();
    FrameFigures(folder);
    if (std::system(("rm -rf " + card.substr(0, card.rfind('/'))).c_str()) != 0) { }
    return 0;
}

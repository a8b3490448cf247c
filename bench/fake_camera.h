// The benchmarks' fake camera: a folder served as a card by libgphoto2's
// directory camlib, its events given by the tests' shim, which must be
// preloaded: the bench starts itself again with it.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

struct FakeCamera {
    std::string card;  // the camera's card
    std::string frames;  // where its files go
};

// In the bench started again: the card and the frames' folder. Otherwise it
// makes them, starts the bench again with the shim and does not return.
inline FakeCamera PreloadFakeCamera(char** argv)
{
    if (const char* card = std::getenv("VANTREL_FAKE_CARD")) {
        const std::string path = card;
        return {path, path.substr(0, path.rfind('/')) + "/frames"};
    }
    char root[] = "/tmp/vantrel-card-XXXXXX";
    const std::string folder = mkdtemp(root);
    mkdir((folder + "/card").c_str(), 0755);
    setenv("VANTREL_FAKE_CARD", (folder + "/card").c_str(), 1);
    setenv("LD_PRELOAD", VANTREL_CAMERA_SHIM, 1);
    execv("/proc/self/exe", argv);
    std::exit(1);
}

// The camera's files through libgphoto2, with a folder as the camera's card
// (the directory camlib, given events by tests/shims/camera_shim.cpp): each
// row writes files as a camera would and checks what the link made of them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera/camera_link.h"

namespace {

std::string Read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class Card {
public:
    Card()
    {
        char root[] = "/tmp/vantrel-camera-XXXXXX";
        root_ = mkdtemp(root);
        card = root_ + "/card";
        folder = root_ + "/frames";
        mkdir(card.c_str(), 0755);
        mkdir(folder.c_str(), 0755);
        setenv("VANTREL_FAKE_CARD", card.c_str(), 1);
        calls = root_ + "/calls";
        setenv("VANTREL_FAKE_CARD_CALLS", calls.c_str(), 1);
    }
    ~Card() { std::system(("rm -rf " + root_).c_str()); }

    // As a camera finishes a file: written whole, then there.
    std::string Take(const std::string& name, size_t size)
    {
        std::string content(size, '\0');
        for (size_t i = 0; i < size; ++i)
            content[i] = static_cast<char>(i * 7 + name.size());
        std::ofstream(card + "/.writing", std::ios::binary) << content;
        rename((card + "/.writing").c_str(), (card + "/" + name).c_str());
        taken.push_back(content);
        return content;
    }

    std::string card, folder, calls;
    std::vector<std::string> taken;  // each file's content, in order

private:
    std::string root_;
};

// What the link reported, waited for.
class Outcomes {
public:
    void Add(const CameraFileOutcome& outcome)
    {
        if (outcome.kind == FileOutcome::FETCHING)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back((outcome.kind == FileOutcome::LAST ? "last " : "") + std::to_string(outcome.frame) + " " +
                        outcome.file + (outcome.file.empty() || outcome.reason.empty() ? "" : " ") + outcome.reason);
        changed_.notify_all();
    }
    std::vector<std::string> Wait(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return seen_.size() >= count; });
        return seen_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> seen_;
};

TEST(CameraLink, EachFileIsFetchedWholeUnderItsFramesName)
{
    struct Row {
        const char* name;
        std::function<void(Card&, CameraLink&, Outcomes&)> act;
        std::vector<std::string> outcomes;
        const char* shortReads = nullptr;  // reads of each file that come short
        bool otherEventFirst = false;  // before each file's, as real bodies send
    };
    const Row rows[] = {
        {"one frame, one file",
         [](Card& card, CameraLink& link, Outcomes&) {
             link.ExposureEnded(1);
             card.Take("IMG_0001.CR2", 300000);
         },
         {"1 M42_0001.cr2", "last 1 M42_0001.cr2"}},
        {"RAW and JPEG: two files for one frame",
         [](Card& card, CameraLink& link, Outcomes&) {
             link.ExposureEnded(2);
             card.Take("IMG_0002.CR2", 1000);
             card.Take("IMG_0002.JPG", 500);
         },
         {"2 M42_0002.cr2", "2 M42_0002.jpg", "last 2 M42_0002.cr2 M42_0002.jpg"}},
        {"a file still being written is fetched again until whole",
         [](Card& card, CameraLink& link, Outcomes&) {
             link.ExposureEnded(3);
             card.Take("IMG_0003.NEF", 4096);
         },
         {"3 M42_0003.nef", "last 3 M42_0003.nef"},
         "2"},
        {"the same name twice (a new card), and a name taken: nothing is written over",
         [](Card& card, CameraLink& link, Outcomes& outcomes) {
             std::ofstream(card.folder + "/M42_0004.cr2") << "the user's own";
             link.ExposureEnded(4);
             card.Take("IMG_0001.CR2", 100);
             outcomes.Wait(1);
             unlink((card.card + "/IMG_0001.CR2").c_str());
             card.Take("IMG_0001.CR2", 200);
         },
         {"4 M42_0004-2.cr2", "4 M42_0004-3.cr2", "last 4 M42_0004-2.cr2 M42_0004-3.cr2"}},
        {"a slow card: a file that comes during the next exposure is the frame before's, and the camera is not "
         "looked at while the shutter line is set",
         [](Card& card, CameraLink& link, Outcomes&) {
             link.ExposureEnded(8);
             const auto set = std::chrono::steady_clock::now();
             link.ExposureStarting();
             std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a look in progress has ended
             card.Take("IMG_0008.CR2", 1000);
             std::this_thread::sleep_for(std::chrono::milliseconds(600));
             const auto released = std::chrono::steady_clock::now();
             link.ExposureEnded(9);
             std::ifstream calls(card.calls);
             int during = 0;  // after the one in progress (at most WAIT_MS) has ended
             for (long long at = 0; calls >> at;)
                 during += at > (set + std::chrono::milliseconds(150)).time_since_epoch().count() &&
                     at < released.time_since_epoch().count();
             EXPECT_EQ(during, 0);
         },
         {"8 M42_0008.cr2", "last 8 M42_0008.cr2", "last 9 timed out"}},
        {"a slow card, and another event before each file's: the file is still the frame before's",
         [](Card& card, CameraLink& link, Outcomes&) {
             link.ExposureEnded(8);
             link.ExposureStarting();
             std::this_thread::sleep_for(std::chrono::milliseconds(200));
             card.Take("IMG_0008.CR2", 1000);
             std::this_thread::sleep_for(std::chrono::milliseconds(300));
             link.ExposureEnded(9);
         },
         {"8 M42_0008.cr2", "last 8 M42_0008.cr2", "last 9 timed out"},
         nullptr,
         true},
        {"RAW and JPEG back to back: the JPEG that comes after the next exposure is its RAW's frame's",
         [](Card& card, CameraLink& link, Outcomes&) {
             link.ExposureEnded(1);
             link.ExposureStarting();
             std::this_thread::sleep_for(std::chrono::milliseconds(200));
             card.Take("IMG_0001.CR2", 100);
             std::this_thread::sleep_for(std::chrono::milliseconds(300));
             link.ExposureEnded(2);
             std::this_thread::sleep_for(std::chrono::milliseconds(300));
             for (const char* name : {"IMG_0001.JPG", "IMG_0002.CR2", "IMG_0002.JPG"})
                 card.Take(name, 100);
         },
         {"1 M42_0001.cr2", "1 M42_0001.jpg", "2 M42_0002.cr2", "last 1 M42_0001.cr2 M42_0001.jpg", "2 M42_0002.jpg",
          "last 2 M42_0002.cr2 M42_0002.jpg"}},
        {"a press the camera ignored costs its frame only",
         [](Card& card, CameraLink& link, Outcomes& outcomes) {
             link.ExposureEnded(1);
             card.Take("IMG_0001.CR2", 100);
             outcomes.Wait(1);
             link.ExposureEnded(2);
             std::this_thread::sleep_for(std::chrono::milliseconds(700));
             link.ExposureEnded(3);
             card.Take("IMG_0002.CR2", 100);
         },
         {"1 M42_0001.cr2", "3 M42_0003.cr2", "last 1 M42_0001.cr2", "last 2 no file: the camera took no picture",
          "last 3 M42_0003.cr2"}},
        {"no file within the limit",
         [](Card&, CameraLink& link, Outcomes&) { link.ExposureEnded(5); },
         {"last 5 timed out"}},
        {"a file that belongs to no exposure",
         [](Card& card, CameraLink&, Outcomes&) { card.Take("IMG_0006.CR2", 10); },
         {"0 M42_unmatched.cr2"}},
        {"the camera unplugged: one message, and then no camera",
         [](Card& card, CameraLink& link, Outcomes&) {
             std::system(("rm -rf " + card.card).c_str());
             std::this_thread::sleep_for(std::chrono::milliseconds(500));
             link.ExposureEnded(7);
         },
         {"0 download failed: the camera is gone (I/O problem)", "last 7 no camera"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Card card;
        if (row.shortReads)
            setenv("VANTREL_FAKE_CARD_SHORT", row.shortReads, 1);
        if (row.otherEventFirst)
            setenv("VANTREL_FAKE_CARD_OTHER_FIRST", "1", 1);
        Outcomes outcomes;
        CameraLinkSettings settings;
        settings.folder = card.folder;
        settings.prefix = "M42";
        settings.model = "Directory Browse";
        settings.port = "disk:" + card.card;
        settings.limitMs = 1500;
        auto link = MakeGphotoLink(settings, [&](const CameraFileOutcome& outcome) { outcomes.Add(outcome); });
        ASSERT_TRUE(link->Connected()) << link->Description();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the card looked at once
        row.act(card, *link, outcomes);
        EXPECT_EQ(outcomes.Wait(row.outcomes.size()), row.outcomes);
        unsetenv("VANTREL_FAKE_CARD_SHORT");
        unsetenv("VANTREL_FAKE_CARD_OTHER_FIRST");
        size_t taken = 0;  // each file fetched byte for byte
        for (const std::string& outcome : row.outcomes) {
            const std::string file = outcome.substr(outcome.find(' ') + 1);
            if (outcome.rfind("last ", 0) != 0 && file.find('.') != std::string::npos) {
                EXPECT_TRUE(Read(card.folder + "/" + file) == card.taken.at(taken++)) << file;
            }
        }
    }

    // A camera's name is data: only its extension's letters and digits reach the file's.
    EXPECT_EQ(FrameFileName("/nonexistent", "M42", 3, "/../../x.C\xff/R2;"), "M42_0003.cr2");
    // Named by target and type; a target is data too.
    EXPECT_EQ(FramePrefix("M42", "Light", ""), "M42");
    EXPECT_EQ(FramePrefix("frame", "Dark", ""), "frame_Dark");
    EXPECT_EQ(FramePrefix("frame", "Flat", "NGC 7000/../x"), "NGC_7000____x_Flat");
    // Letters of any script kept; a byte that is no UTF-8, or a control, not.
    EXPECT_EQ(FramePrefix("frame", "Light", "Ĳsselmeer Włodzimierz 北斗\xff\x1b"),
              "Ĳsselmeer_Włodzimierz_北斗___Light");

    // A camera hung inside a call: letting the link go does not wait for it.
    {
        Card card;
        const std::string hang = card.folder + "/../hang";
        std::ofstream(hang.c_str()) << "";
        setenv("VANTREL_FAKE_CARD_HANG", hang.c_str(), 1);
        CameraLinkSettings settings;
        settings.folder = card.folder;
        settings.model = "Directory Browse";
        settings.port = "disk:" + card.card;
        auto link = MakeGphotoLink(settings, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the card looked at once
        link->ExposureEnded(1);
        card.Take("IMG_0001.CR2", 10);
        for (int i = 0; i < 1000 && access((hang + ".in").c_str(), F_OK) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        link.reset();  // with the download still hung
        unsetenv("VANTREL_FAKE_CARD_HANG");
        unlink(hang.c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the worker ends by itself
    }

    // No camera at all: every exposure says so.
    Outcomes outcomes;
    CameraLinkSettings none;
    none.model = "No Such Camera";
    auto link = MakeGphotoLink(none, [&](const CameraFileOutcome& outcome) { outcomes.Add(outcome); });
    EXPECT_FALSE(link->Connected());
    EXPECT_EQ(link->Description().rfind("no camera (", 0), 0u) << link->Description();
    link->ExposureEnded(1);
    EXPECT_EQ(outcomes.Wait(1), std::vector<std::string>{"last 1 no camera"});
}

}  // namespace

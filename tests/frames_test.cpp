// Frames read back from their files, their stars measured and their FITS,
// on star fields the tests make.
#include <fcntl.h>
#include <fitsio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>

#include "frames/frame.h"
#include "frames/frame_decoder.h"
#include "tests/frame_maker.h"

namespace {

std::string TempPath(const std::string& name)
{
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/vantrel-frames-" + std::to_string(getpid()) + "-" + name;
}

}  // namespace

// The frame's stars on one side of it, or in its middle.
FrameImage Part(const FrameImage& image, int left, int top, int width, int height)
{
    FrameImage part = image;
    part.width = width;
    part.height = height;
    part.data.clear();
    for (int y = top; y < top + height; ++y)
        part.data.insert(part.data.end(), image.data.begin() + static_cast<size_t>(y) * image.width + left,
                         image.data.begin() + static_cast<size_t>(y) * image.width + left + width);
    return part;
}

// Each kind of file: its size, its mosaic; and its stars as many as were
// made (within two) and as wide (HFR and FWHM within 5 %), on a flat sky and on real
// ones: a gradient, vignetting, small stars, hot pixels, saturated stars
// (counted apart); the same on either side of the frame and in its middle.
TEST(Frames, ReadsEachKindAndMeasuresItsStars)
{
    struct Row {
        const char* name;
        StarField field;
        bool jpeg;
        int saturated = 0;
    };
    StarField sharp, soft, bright, gradient, vignetted, small, hot, clipped;
    soft.hfrPx = 5.0;
    soft.width = 800;
    soft.height = 600;
    soft.stars = 30;
    bright.sky = 3000;
    bright.noise = 150;
    gradient.gradient = 3000;  // the sky three times brighter on the right
    vignetted.sky = 4000;
    vignetted.vignetting = 0.2;
    small.hfrPx = 1.0;  // a FWHM of 2 px
    small.width = 1200;
    small.height = 800;
    small.stars = 100;
    hot.hotPixels = 200;
    clipped.brightest = 1.5;  // the two brightest of each five clip
    for (const Row& row :
         {Row{"sharp.dng", sharp, false}, Row{"soft.dng", soft, false}, Row{"field.jpg", bright, true},
          Row{"gradient.dng", gradient, false}, Row{"vignetted.dng", vignetted, false}, Row{"small.dng", small, false},
          Row{"hot.dng", hot, false}, Row{"clipped.dng", clipped, false, 16}}) {
        SCOPED_TRACE(row.name);
        const std::string path = TempPath(row.name);
        const auto pixels = MakeStarField(row.field);
        ASSERT_TRUE(row.jpeg ? WriteJpeg(path, row.field, pixels) : WriteDng(path, row.field, pixels));
        FrameImage image;
        std::string error;
        ASSERT_TRUE(ReadFrame(path, image, error)) << error;
        unlink(path.c_str());
        EXPECT_EQ(image.width, row.field.width);
        EXPECT_EQ(image.height, row.field.height);
        EXPECT_EQ(image.planes, row.jpeg ? 3 : 1);
        EXPECT_EQ(image.cfa, row.jpeg ? "" : "RGGB");
        if (!row.jpeg) {
            EXPECT_EQ(image.data, pixels);  // the mosaic as it was written
        }
        const FrameSummary view = SummariseFrame(image, 300);
        EXPECT_NEAR(view.stars.count, row.field.stars - row.saturated, 2);  // within a few
        EXPECT_NEAR(view.stars.saturated, row.saturated, 2);
        EXPECT_NEAR(view.stars.hfrPx, row.field.hfrPx, row.field.hfrPx / 20);
        EXPECT_NEAR(view.stars.fwhmPx, 2 * row.field.hfrPx, 2 * row.field.hfrPx / 20);
        EXPECT_LE(std::max(view.preview.width, view.preview.height), 300);
        EXPECT_FALSE(view.zoom.rgb.empty());
        // The sky a dark grey: its median brought to a quarter of full scale,
        // what lies well below it (the black point) black.
        std::vector<uint8_t> sky(view.preview.rgb.begin(), view.preview.rgb.end());
        std::sort(sky.begin(), sky.end());
        EXPECT_NEAR(sky[sky.size() / 2], 64, 8);
        EXPECT_LT(sky[sky.size() / 500], 46);
        if (row.jpeg)
            continue;
        const int w = image.width, h = image.height;
        for (const FrameImage& part :
             {Part(image, 0, 0, w / 2, h), Part(image, w / 2, 0, w / 2, h), Part(image, w / 4, h / 4, w / 2, h / 2)}) {
            EXPECT_NEAR(SummariseFrame(part).stars.hfrPx, view.stars.hfrPx, view.stars.hfrPx / 20);
        }
    }
}

// Hot pixels and clipped stars are no stars; a frame without any has none.
TEST(Frames, LeavesOutHotPixelsAndClippedStars)
{
    StarField field;
    field.stars = 0;
    auto pixels = MakeStarField(field);
    FrameImage image;
    image.width = field.width;
    image.height = field.height;
    image.cfa = "RGGB";
    image.white = field.white;
    for (int i = 0; i < 20; ++i)
        pixels[static_cast<size_t>(37 + i * 15) * field.width + 41 + i * 23] = field.white - 1;
    for (int y = 195; y < 205; ++y)  // a flat-topped, clipped star
        for (int x = 295; x < 305; ++x)
            pixels[static_cast<size_t>(y) * field.width + x] = field.white;
    image.data = pixels;
    const FrameSummary view = SummariseFrame(image);
    EXPECT_EQ(view.stars.count, 0);
    EXPECT_EQ(view.histogram.clipped[0] + view.histogram.clipped[1] + view.histogram.clipped[2], 100u);
}

// Hostile and damaged files: each refused with why, before it takes more
// memory or time than a frame may; a saturated frame is drawn white.
TEST(Frames, RefusesWhatNoCameraWrites)
{
    StarField field;
    const auto pixels = MakeStarField(field);
    StarField scans = field;
    scans.scanEachCoefficient = true;
    const std::string jpeg = TempPath("good.jpg"), dng = TempPath("good.dng"), bomb = TempPath("scans.jpg");
    ASSERT_TRUE(WriteJpeg(jpeg, field, pixels) && WriteDng(dng, field, pixels) && WriteJpeg(bomb, scans, pixels));
    auto bytes = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    };
    // The first lines of the JPEG, its header claiming another size.
    auto claiming = [&](int width, int height) {
        std::string file = bytes(jpeg);
        const size_t sof = file.find("\xff\xc0");
        file[sof + 5] = static_cast<char>(height >> 8), file[sof + 6] = static_cast<char>(height);
        file[sof + 7] = static_cast<char>(width >> 8), file[sof + 8] = static_cast<char>(width);
        return file.substr(0, 700);
    };
    // The DNG with its picture said to start near its end: a file cut short.
    std::string cut = bytes(dng);
    uint32_t at = 0;
    std::memcpy(&at, &cut[4], 4);
    uint16_t entries = 0;
    std::memcpy(&entries, &cut[at], 2);
    for (uint32_t e = at + 2; e < at + 2 + 12u * entries; e += 12)
        if (cut[e] == 17 && cut[e + 1] == 1) {  // StripOffsets, 273
            const uint32_t late = static_cast<uint32_t>(cut.size() - 4096);
            std::memcpy(&cut[e + 8], &late, 4);
        }
    struct Row {
        const char* name;
        std::string content;
        const char* error;
    };
    for (const Row& row : {
             Row{"bomb.jpg", claiming(65000, 65000), "claims 65000×65000 pixels, more than a camera makes"},
             Row{"large.jpg", claiming(12000, 12000), "claims 12000×12000 pixels, more memory than a frame may take"},
             Row{"short.jpg", claiming(9000, 9000), "cut short or damaged: Premature end of JPEG file"},
             Row{"half.jpg", bytes(jpeg).substr(0, bytes(jpeg).size() / 2), "cut short or damaged"},
             Row{"scans.jpg", bytes(bomb), "more scans than a camera writes"},
             Row{"cut.dng", cut, "cut short: the file ends before its picture"},
             Row{"junk.cr2", std::string(4000, '\x5a'), "not a RAW LibRaw knows"},
         }) {
        SCOPED_TRACE(row.name);
        const std::string path = TempPath(row.name);
        std::ofstream(path, std::ios::binary) << row.content;
        FrameImage image;
        std::string error;
        EXPECT_FALSE(ReadFrame(path, image, error));
        EXPECT_EQ(error.rfind(row.error, 0), 0u) << error;
        EXPECT_TRUE(image.data.empty());
        unlink(path.c_str());
    }
    for (const std::string& path : {jpeg, dng, bomb})
        unlink(path.c_str());

    FrameImage saturated;
    saturated.width = saturated.height = 64;
    saturated.cfa = "RGGB";
    saturated.white = 16383;
    saturated.data.assign(64 * 64, 16383);
    const FrameSummary view = SummariseFrame(saturated);
    ASSERT_FALSE(view.preview.rgb.empty());
    EXPECT_EQ(view.preview.rgb[0], 255);
}

// Closing never waits long on a reader: one held in its file's open (a
// FIFO nobody writes) is left to end alone, and tells nobody.
TEST(Frames, ClosingLeavesAReaderThatCannotStop)
{
    const std::string fifo = TempPath("held.jpg");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::atomic<int> told{0};
    int writer = -1;
    {
        FrameDecoder decoder([&](std::shared_ptr<const DecodedFrame>) { ++told; });
        decoder.Decode({1, 1, fifo, false, {}});
        while ((writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0)  // until the reader has it open
            usleep(1000);
    }
    EXPECT_EQ(told, 0);
    close(writer);
    unlink(fifo.c_str());
}

// The FITS: its header, and the mosaic in it value for value.
TEST(Frames, FitsHoldsTheMosaicAndWhatIsKnownOfIt)
{
    StarField field;
    const auto pixels = MakeStarField(field);
    FrameImage image;
    image.width = field.width;
    image.height = field.height;
    image.cfa = "GRBG";
    image.data = pixels;
    image.iso = 800;
    image.camera = "Canon EOS 600D";
    std::vector<char> fits;
    std::string error;
    ASSERT_TRUE(WriteFits(image, {120.5, 1796677445123, "Dark", 4.3}, fits, error)) << error;
    EXPECT_EQ(fits.size() % 2880, 0u);
    fitsfile* file = nullptr;
    int status = 0;
    void* memory = fits.data();
    size_t size = fits.size();
    ASSERT_EQ(fits_open_memfile(&file, "frame.fits", READONLY, &memory, &size, 0, nullptr, &status), 0);
    char value[FLEN_VALUE];
    auto text = [&](const char* key) {
        fits_read_key(file, TSTRING, key, value, nullptr, &status);
        return std::string(value);
    };
    EXPECT_EQ(text("BAYERPAT"), "GRBG");
    EXPECT_EQ(text("FRAME"), "Dark");
    EXPECT_EQ(text("ROWORDER"), "TOP-DOWN");
    EXPECT_EQ(text("INSTRUME"), "Canon EOS 600D");
    EXPECT_EQ(text("DATE-OBS"), "2026-12-07T21:04:05.123");
    double exposure = 0, iso = 0, pixel = 0;
    fits_read_key(file, TDOUBLE, "EXPTIME", &exposure, nullptr, &status);
    fits_read_key(file, TDOUBLE, "ISOSPEED", &iso, nullptr, &status);
    fits_read_key(file, TDOUBLE, "XPIXSZ", &pixel, nullptr, &status);
    EXPECT_EQ(exposure, 120.5);
    EXPECT_EQ(iso, 800);
    EXPECT_EQ(pixel, 4.3);
    long axes[2] = {0, 0};
    fits_get_img_size(file, 2, axes, &status);
    EXPECT_EQ(axes[0], field.width);
    EXPECT_EQ(axes[1], field.height);
    std::vector<uint16_t> back(pixels.size());
    fits_read_img(file, TUSHORT, 1, static_cast<LONGLONG>(back.size()), nullptr, back.data(), nullptr, &status);
    fits_close_file(file, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(back, pixels);
}

// One frame is read at a time; a newer one takes the place of one waiting,
// which is told it was left; a file that is no frame says why.
TEST(Frames, ANewerFrameTakesTheWaitingOnesPlace)
{
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<const DecodedFrame>> done;
    bool release = false;
    FrameDecoder decoder([&](std::shared_ptr<const DecodedFrame> frame) {
        std::unique_lock<std::mutex> lock(mutex);
        done.push_back(frame);
        changed.notify_all();
        changed.wait(lock, [&] { return release || frame->left; });
    });
    const std::string junk = TempPath("junk.cr2");
    std::ofstream(junk) << "no frame";
    for (uint32_t exposure = 1; exposure <= 3; ++exposure) {
        decoder.Decode({exposure, static_cast<int32_t>(exposure), junk, false, {}});
        if (exposure == 1) {  // the first is being read (held in `done`)
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return !done.empty(); });
        }
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        release = true;
        changed.notify_all();
        changed.wait(lock, [&] { return done.size() == 3; });
    }
    unlink(junk.c_str());
    EXPECT_EQ(done[0]->request.exposure, 1u);
    EXPECT_EQ(done[0]->error.rfind("not a RAW LibRaw knows", 0), 0u) << done[0]->error;
    EXPECT_TRUE(done[1]->left);
    EXPECT_EQ(done[1]->request.exposure, 2u);
    EXPECT_EQ(done[2]->request.exposure, 3u);
    EXPECT_FALSE(done[2]->left);
}

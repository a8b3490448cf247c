// Frames in and out of files: LibRaw and libjpeg in, cfitsio out.
#include <fitsio.h>
#include <jpeglib.h>
#include <libraw/libraw.h>

#include <algorithm>
#include <cctype>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "frames/frame.h"

namespace {

// Refused before anything is allocated for it.
bool TooLarge(int64_t width, int64_t height, int64_t bytesPerPixel, const ReadLimits& limits, std::string& error)
{
    const int64_t pixels = width * height;
    if (width > 0 && height > 0 && pixels <= limits.maxPixels && pixels * bytesPerPixel <= limits.maxBytes)
        return false;
    error = "claims " + std::to_string(width) + "×" + std::to_string(height) + " pixels, " +
        (width <= 0 || height <= 0 ? std::string("no picture")
             : pixels > limits.maxPixels
             ? "more than a camera makes"
             : "more memory than a frame may take (" + std::to_string(limits.maxBytes >> 20) + " MB)");
    return true;
}

// Stops a read that is cancelled or takes too long; for LibRaw, by the
// exception its decoders give up on.
class Watch {
public:
    explicit Watch(const ReadLimits& limits)
        : limits_(limits)
        , deadline_(std::chrono::steady_clock::now() + limits.maxTime)
    {
    }
    // "" while the read may go on.
    const char* Stop() const
    {
        if (limits_.cancel && limits_.cancel->load())
            return "cancelled";
        if (std::chrono::steady_clock::now() > deadline_)
            return "took too long to read";
        return "";
    }

private:
    const ReadLimits& limits_;
    std::chrono::steady_clock::time_point deadline_;
};

class WatchedFile : public LibRaw_file_datastream {
public:
    WatchedFile(const char* path, const Watch& watch)
        : LibRaw_file_datastream(path)
        , watch_(watch)
    {
    }
    int read(void* data, size_t size, size_t count) override
    {
        if (*watch_.Stop())
            throw LIBRAW_EXCEPTION_CANCELLED_BY_CALLBACK;
        return LibRaw_file_datastream::read(data, size, count);
    }

private:
    const Watch& watch_;
};

struct RawDamage {
    bool cutShort = false;
    bool damaged = false;
};

void OnRawDataError(void* data, const char* /*file*/, const int offset)
{
    auto* damage = static_cast<RawDamage*>(data);
    (offset < 0 ? damage->cutShort : damage->damaged) = true;
}

bool ReadRaw(const std::string& path, FrameImage& image, std::string& error, const ReadLimits& limits)
{
    const Watch watch(limits);
    auto raw = std::make_unique<LibRaw>();
    RawDamage damage;
    raw->set_dataerror_handler(OnRawDataError, &damage);
    raw->imgdata.params.max_raw_memory_mb = static_cast<unsigned>(limits.maxBytes >> 20);
    WatchedFile file(path.c_str(), watch);
    if (!file.valid()) {
        error = "cannot be read";
        return false;
    }
    int status = raw->open_datastream(&file);
    // LibRaw's buffer and the copy of the visible part.
    if (status == LIBRAW_SUCCESS &&
        TooLarge(raw->imgdata.sizes.raw_width, raw->imgdata.sizes.raw_height, 4, limits, error))
        return false;
    if (status == LIBRAW_SUCCESS) {
        status = raw->unpack();
        damage.cutShort = damage.cutShort || status == LIBRAW_IO_ERROR;  // its reads ran off the end
    }
    if (status == LIBRAW_CANCELLED_BY_CALLBACK) {
        error = watch.Stop();
        return false;
    }
    if (status != LIBRAW_SUCCESS && !damage.cutShort) {
        error = std::string("not a RAW LibRaw knows: ") + libraw_strerror(status);
        return false;
    }
    if (damage.cutShort || damage.damaged) {
        error =
            damage.cutShort ? "cut short: the file ends before its picture" : "damaged: its picture cannot be decoded";
        return false;
    }
    const libraw_data_t& data = raw->imgdata;
    // A mosaic of two-by-two cells only: not X-Trans, not a linear DNG.
    if (!data.rawdata.raw_image || data.idata.filters < 1000) {
        error = "no Bayer mosaic in the RAW";
        return false;
    }
    const int width = data.sizes.width, height = data.sizes.height;
    const int pitch = data.sizes.raw_pitch / 2;
    image = FrameImage();
    image.width = width;
    image.height = height;
    image.data.resize(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        const uint16_t* row =
            data.rawdata.raw_image + static_cast<size_t>(y + data.sizes.top_margin) * pitch + data.sizes.left_margin;
        std::copy(row, row + width, image.data.begin() + static_cast<size_t>(y) * width);
    }
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x)
            image.cfa += "RGBG"[raw->COLOR(y, x) & 3];
    image.white = data.color.maximum > 0 ? static_cast<int>(data.color.maximum) : 65535;
    image.iso = data.other.iso_speed;
    image.shutterS = data.other.shutter;
    image.camera = std::string(data.idata.make) + " " + data.idata.model;
    image.takenUnix = data.other.timestamp;
    return true;
}

struct JpegErrors {
    jpeg_error_mgr manager;
    jpeg_progress_mgr progress;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    const Watch* watch;
    int maxScans;
};

[[noreturn]] void OnJpegError(j_common_ptr info)
{
    auto* errors = reinterpret_cast<JpegErrors*>(info->err);
    info->err->format_message(info, errors->message);
    std::longjmp(errors->jump, 1);
}

// A warning is a damaged file: libjpeg would fill what is missing with grey
// and go on, and its stars would be made up.
void OnJpegMessage(j_common_ptr info, int level)
{
    if (level < 0) {
        auto* errors = reinterpret_cast<JpegErrors*>(info->err);
        info->err->format_message(info, errors->message);
        std::longjmp(errors->jump, 2);
    }
}

void OnJpegProgress(j_common_ptr common)
{
    auto* errors = reinterpret_cast<JpegErrors*>(common->err);
    const auto* info = reinterpret_cast<j_decompress_ptr>(common);
    const char* stop = errors->watch->Stop();
    if (!*stop && info->input_scan_number > errors->maxScans)
        stop = "more scans than a camera writes";
    if (*stop) {
        std::snprintf(errors->message, sizeof errors->message, "%s", stop);
        std::longjmp(errors->jump, 3);
    }
}

bool ReadJpeg(const std::string& path, FrameImage& image, std::string& error, const ReadLimits& limits)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = "cannot be read";
        return false;
    }
    const Watch watch(limits);
    jpeg_decompress_struct info;
    JpegErrors errors;
    errors.watch = &watch;
    errors.maxScans = limits.maxScans;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = OnJpegError;
    errors.manager.emit_message = OnJpegMessage;
    errors.progress.progress_monitor = OnJpegProgress;
    // The rows as they come, grown only as far as the file really reaches.
    std::vector<uint8_t> rows;
    image = FrameImage();
    if (const int why = setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        std::fclose(file);
        error = why == 3 ? errors.message
            : why == 2   ? std::string("cut short or damaged: ") + errors.message
                         : std::string("not a JPEG libjpeg reads: ") + errors.message;
        return false;
    }
    jpeg_create_decompress(&info);
    info.progress = &errors.progress;
    info.mem->max_memory_to_use = static_cast<long>(limits.maxBytes / 4);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    // The three planes, and the rows before them.
    if (TooLarge(info.image_width, info.image_height, 9, limits, error)) {
        jpeg_destroy_decompress(&info);
        std::fclose(file);
        return false;
    }
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    const size_t stride = static_cast<size_t>(info.output_width) * 3;
    while (info.output_scanline < info.output_height) {
        rows.resize(rows.size() + stride);
        JSAMPROW row[] = {rows.data() + rows.size() - stride};
        jpeg_read_scanlines(&info, row, 1);
    }
    jpeg_finish_decompress(&info);
    image.width = static_cast<int>(info.output_width);
    image.height = static_cast<int>(info.output_height);
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    image.planes = 3;
    image.bits = 8;
    image.white = 255;
    const size_t plane = static_cast<size_t>(image.width) * image.height;
    image.data.resize(plane * 3);
    for (size_t at = 0; at < plane; ++at)
        for (size_t c = 0; c < 3; ++c)
            image.data[c * plane + at] = rows[at * 3 + c];
    return true;
}

std::string FitsTime(int64_t unixMs)
{
    const time_t seconds = static_cast<time_t>(unixMs / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(unixMs % 1000));
    return text;
}

}  // namespace

bool IsJpeg(const std::string& path)
{
    const auto dot = path.find_last_of('.');
    std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
    for (char& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == "jpg" || ext == "jpeg";
}

bool ReadFrame(const std::string& path, FrameImage& image, std::string& error, const ReadLimits& limits)
{
    return IsJpeg(path) ? ReadJpeg(path, image, error, limits) : ReadRaw(path, image, error, limits);
}

void WriteFitsKeys(void* fitsFile, const FrameImage& image, const FitsDetails& details, int& status)
{
    auto* file = static_cast<fitsfile*>(fitsFile);
    auto key = [&](const char* name, auto value, const char* comment) {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::string>)
            fits_update_key(file, TSTRING, name, const_cast<char*>(value.c_str()), comment, &status);
        else if constexpr (std::is_same_v<T, double>)
            fits_update_key(file, TDOUBLE, name, &value, comment, &status);
        else
            fits_update_key(file, TINT, name, &value, comment, &status);
    };
    key("EXPTIME", details.exposureS, "seconds, the shutter line's measured hold");
    if (details.startUtcMs > 0)
        key("DATE-OBS", FitsTime(details.startUtcMs), "UTC, the shutter's release");
    key("FRAME", details.frameType, "frame type");
    if (!image.camera.empty())
        key("INSTRUME", image.camera, "camera");
    if (image.iso > 0)
        key("ISOSPEED", static_cast<double>(image.iso), "ISO speed");
    if (details.pixelUm > 0) {
        key("PIXSIZE1", details.pixelUm, "micrometres");
        key("PIXSIZE2", details.pixelUm, "micrometres");
        key("XPIXSZ", details.pixelUm, "micrometres");
        key("YPIXSZ", details.pixelUm, "micrometres");
    }
    if (!image.cfa.empty()) {
        key("BAYERPAT", image.cfa, "the mosaic's top-left cell");
        key("XBAYROFF", 0, "");
        key("YBAYROFF", 0, "");
    }
    key("ROWORDER", std::string("TOP-DOWN"), "first row at the top");
    key("DATAMAX", image.white, "saturation");
}

bool WriteFits(const FrameImage& image, const FitsDetails& details, std::vector<char>& fits, std::string& error)
{
    size_t size = 2880 * 10;
    void* memory = std::malloc(size);
    if (!memory) {
        error = "FITS: no memory";
        return false;
    }
    fitsfile* file = nullptr;
    int status = 0;
    fits_create_memfile(&file, &memory, &size, 2880 * 100, std::realloc, &status);
    long axes[3] = {image.width, image.height, image.planes};
    fits_create_img(file, image.bits <= 8 ? BYTE_IMG : USHORT_IMG, image.planes == 1 ? 2 : 3, axes, &status);
    WriteFitsKeys(file, image, details, status);
    fits_write_img(file, TUSHORT, 1, static_cast<LONGLONG>(image.data.size()), const_cast<uint16_t*>(image.data.data()),
                   &status);
    // The memory may be longer than the file: the file ends with its data,
    // padded to whole blocks.
    LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
    fits_flush_file(file, &status);
    fits_get_hduaddrll(file, &headStart, &dataStart, &dataEnd, &status);
    const size_t length = static_cast<size_t>((dataEnd + 2879) / 2880 * 2880);
    if (status) {
        char text[FLEN_STATUS];
        fits_get_errstatus(status, text);
        error = std::string("FITS: ") + text;
    }
    int closeStatus = 0;
    if (file)
        fits_close_file(file, &closeStatus);
    if (!status && !closeStatus)
        fits.assign(static_cast<char*>(memory), static_cast<char*>(memory) + std::min(length, size));
    std::free(memory);
    return !status && !closeStatus;
}

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

bool IsJpeg(const std::string& path)
{
    const auto dot = path.find_last_of('.');
    std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
    for (char& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == "jpg" || ext == "jpeg";
}

bool ReadRaw(const std::string& path, FrameImage& image, std::string& error)
{
    auto raw = std::make_unique<LibRaw>();
    int status = raw->open_file(path.c_str());
    if (status == LIBRAW_SUCCESS)
        status = raw->unpack();
    if (status != LIBRAW_SUCCESS) {
        error = std::string("not a RAW LibRaw knows: ") + libraw_strerror(status);
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
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void OnJpegError(j_common_ptr info)
{
    auto* errors = reinterpret_cast<JpegErrors*>(info->err);
    info->err->format_message(info, errors->message);
    std::longjmp(errors->jump, 1);
}

bool ReadJpeg(const std::string& path, FrameImage& image, std::string& error)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = "cannot be read";
        return false;
    }
    jpeg_decompress_struct info;
    JpegErrors errors;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = OnJpegError;
    std::vector<uint8_t> row;
    image = FrameImage();
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        std::fclose(file);
        error = std::string("not a JPEG libjpeg reads: ") + errors.message;
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    image.width = static_cast<int>(info.output_width);
    image.height = static_cast<int>(info.output_height);
    image.planes = 3;
    image.bits = 8;
    image.white = 255;
    const size_t plane = static_cast<size_t>(image.width) * image.height;
    image.data.resize(plane * 3);
    row.resize(static_cast<size_t>(image.width) * 3);
    while (info.output_scanline < info.output_height) {
        const size_t y = info.output_scanline;
        JSAMPROW rows[] = {row.data()};
        jpeg_read_scanlines(&info, rows, 1);
        for (int x = 0; x < image.width; ++x)
            for (int c = 0; c < 3; ++c)
                image.data[c * plane + y * image.width + x] = row[static_cast<size_t>(x) * 3 + c];
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::fclose(file);
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

bool ReadFrame(const std::string& path, FrameImage& image, std::string& error)
{
    return IsJpeg(path) ? ReadJpeg(path, image, error) : ReadRaw(path, image, error);
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

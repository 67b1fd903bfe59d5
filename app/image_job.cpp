#include "image_job.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

// clang-format off
#include <jpeglib.h>
#include <jerror.h>
#include <png.h>
// clang-format on

#include "document_job.h"
#include "mono_driver.h"

namespace {

// Luminance of sRGB values, ITU-R BT.601 weights in 1/256ths: pure red is
// a mid-dark grey, not blank.
std::uint8_t Luminance(unsigned r, unsigned g, unsigned b)
{
    return static_cast<std::uint8_t>((77 * r + 150 * g + 29 * b + 128) >> 8);
}

// Far more pixels than the paper has dots (A4 at 600 dpi is 35 million):
// refused before memory is taken for them.
constexpr unsigned long long kMaxPixels = 1ULL << 27;
constexpr const char* kTooLarge = "the image has more pixels than the printer can use";

bool TooLarge(unsigned width, unsigned height)
{
    return static_cast<unsigned long long>(width) * height > kMaxPixels;
}

struct JpegError {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    bool endsEarly;  // libjpeg fills a file that ends early with grey, and only warns
};

void JpegWarn(j_common_ptr info, int level)
{
    auto* error = reinterpret_cast<JpegError*>(info->err);
    if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF)
        error->endsEarly = true;
}

void JpegFail(j_common_ptr info)
{
    auto* error = reinterpret_cast<JpegError*>(info->err);
    (*info->err->format_message)(info, error->message);
    // libjpeg's error handler must not return, and no C++ exception may
    // cross its C frames.
    std::longjmp(error->jump, 1);  // NOLINT(cert-err52-cpp)
}

struct FileCloser {
    void operator()(FILE* file) const { (void)std::fclose(file); }
};

// Only plain C objects live between setjmp and longjmp here.
bool DecodeJpeg(FILE* file, GreyImage& image, std::string& error)
{
    jpeg_decompress_struct info{};
    JpegError jerr{};
    info.err = jpeg_std_error(&jerr.manager);
    jerr.manager.error_exit = JpegFail;
    jerr.manager.emit_message = JpegWarn;
    if (setjmp(jerr.jump) != 0) {  // NOLINT(cert-err52-cpp): see JpegFail
        jpeg_destroy_decompress(&info);
        error = std::string("the JPEG cannot be read: ") + jerr.message;
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    if (info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK) {
        jpeg_destroy_decompress(&info);
        error = "the JPEG is in CMYK, which the printer does not print";
        return false;
    }
    const bool grey = info.jpeg_color_space == JCS_GRAYSCALE;
    info.out_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&info);
    if (TooLarge(info.output_width, info.output_height)) {
        jpeg_destroy_decompress(&info);
        error = kTooLarge;
        return false;
    }
    image.width = info.output_width;
    image.height = info.output_height;
    image.dots.resize(static_cast<std::size_t>(image.width) * image.height);
    // From libjpeg's pool, freed with it even when an error jumps out.
    JSAMPARRAY rows = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                                image.width * 3, 1);
    const JSAMPLE* row = rows[0];
    while (info.output_scanline < info.output_height) {
        std::uint8_t* out = image.dots.data() + static_cast<std::size_t>(info.output_scanline) * image.width;
        jpeg_read_scanlines(&info, rows, 1);
        for (std::size_t x = 0; x < image.width; ++x)
            out[x] = grey ? row[x] : Luminance(row[3 * x], row[3 * x + 1], row[3 * x + 2]);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    if (jerr.endsEarly) {
        error = "the JPEG cannot be read: it ends early";
        return false;
    }
    return true;
}

bool DecodePng(FILE* file, GreyImage& image, std::string& error)
{
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_stdio(&png, file) == 0) {
        error = std::string("the PNG cannot be read: ") + png.message;
        return false;
    }
    if (TooLarge(png.width, png.height)) {
        png_image_free(&png);
        error = kTooLarge;
        return false;
    }
    // Colour and transparency become RGB on white paper; the grey is ours.
    png.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> rgb(PNG_IMAGE_SIZE(png));
    png_color white{255, 255, 255};
    if (png_image_finish_read(&png, &white, rgb.data(), 0, nullptr) == 0) {
        error = std::string("the PNG cannot be read: ") + png.message;
        png_image_free(&png);
        return false;
    }
    image.width = png.width;
    image.height = png.height;
    image.dots.resize(static_cast<std::size_t>(image.width) * image.height);
    for (std::size_t i = 0; i < image.dots.size(); ++i)
        image.dots[i] = Luminance(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
    return true;
}

GreyImage Turned(const GreyImage& image)
{
    GreyImage turned;
    turned.width = image.height;
    turned.height = image.width;
    turned.dots.resize(image.dots.size());
    for (unsigned y = 0; y < turned.height; ++y)
        for (unsigned x = 0; x < turned.width; ++x)
            turned.dots[static_cast<std::size_t>(y) * turned.width + x] =
                image.dots[static_cast<std::size_t>(image.height - 1 - x) * image.width + y];
    return turned;
}

// Source span [from, to) of each of `out` output dots over `in` input dots.
std::vector<unsigned> Spans(unsigned in, unsigned out)
{
    std::vector<unsigned> edges(out + 1);
    for (unsigned i = 0; i <= out; ++i)
        edges[i] = static_cast<unsigned>(static_cast<unsigned long long>(i) * in / out);
    return edges;
}

// Sends the image, fitted into the printable area and centred, as the
// whole sheet in 8-bit grey. Each dot is the mean of the image pixels it
// covers (the nearest one when it covers less than one).
bool SendImage(DocumentPrint& print, const GreyImage& image, const Paper& paper)
{
    cups_page_header2_t header;
    cupsRasterInitPWGHeader(&header, pwgMediaForPWG(paper.pwgName.c_str()), "sgray_8", 600, 600, "one-sided",
                            nullptr);
    const unsigned areaW = paper.header.cupsWidth;
    const unsigned areaH = paper.header.cupsHeight;
    const double scale = std::min(static_cast<double>(areaW) / image.width, static_cast<double>(areaH) / image.height);
    const auto outW = std::max(1U, static_cast<unsigned>(image.width * scale));
    const auto outH = std::max(1U, static_cast<unsigned>(image.height * scale));
    const unsigned left = paper.left + (areaW - std::min(outW, areaW)) / 2;
    const unsigned top = paper.top + (areaH - std::min(outH, areaH)) / 2;
    const std::vector<unsigned> xs = Spans(image.width, outW);
    const std::vector<unsigned> ys = Spans(image.height, outH);

    if (!BeginPage(print, header))
        return false;
    std::vector<unsigned char> line(header.cupsBytesPerLine, 255);
    std::vector<unsigned> sums(outW);
    for (unsigned y = 0; y < header.cupsHeight; ++y) {
        if (y % 64 == 0 && papplJobIsCanceled(print.job))
            break;
        std::fill(line.begin(), line.end(), 255);
        if (y >= top && y - top < outH) {
            const unsigned v = y - top;
            const unsigned y0 = ys[v];
            const unsigned y1 = std::max(ys[v + 1], y0 + 1);
            std::fill(sums.begin(), sums.end(), 0U);
            for (unsigned sy = y0; sy < y1; ++sy) {
                const std::uint8_t* row = image.dots.data() + static_cast<std::size_t>(sy) * image.width;
                for (unsigned u = 0; u < outW; ++u) {
                    const unsigned x0 = xs[u];
                    const unsigned x1 = std::max(xs[u + 1], x0 + 1);
                    for (unsigned sx = x0; sx < x1; ++sx)
                        sums[u] += row[sx];
                }
            }
            for (unsigned u = 0; u < outW && left + u < header.cupsWidth; ++u) {
                const unsigned area = (std::max(ys[v + 1], y0 + 1) - y0) * (std::max(xs[u + 1], xs[u] + 1) - xs[u]);
                line[left + u] = static_cast<unsigned char>(sums[u] / area);
            }
        }
        SendLine(print, y, line.data());
    }
    return EndPage(print);
}

}  // namespace

bool DecodeImage(const char* path, const char* format, GreyImage& image, std::string& error)
{
    const std::unique_ptr<FILE, FileCloser> file(std::fopen(path, "rb"));
    if (!file) {
        error = std::string("cannot open the document: ") + std::strerror(errno);
        return false;
    }
    const bool ok = std::strcmp(format, "image/jpeg") == 0 ? DecodeJpeg(file.get(), image, error)
                                                           : DecodePng(file.get(), image, error);
    if (ok && (image.width == 0 || image.height == 0)) {
        error = "the image has no pixels";
        return false;
    }
    return ok;
}

namespace {

bool PrintImageOf(pappl_job_t* job, pappl_device_t* device)
{
    DocumentPrint print;
    if (!BeginDocument(print, job, device))
        return EndDocument(print, false, "");
    const Paper* paper = FindPaper(gSettings.papers, print.options->media.size_name);
    GreyImage image;
    std::string error;
    if (paper == nullptr)
        error = std::string("the printer has no paper named ") + print.options->media.size_name;
    else if (DecodeImage(papplJobGetFilename(job), papplJobGetFormat(job), image, error)) {
        // Turned when the paper's long side then meets the image's.
        if ((image.width > image.height) != (paper->header.cupsWidth > paper->header.cupsHeight))
            image = Turned(image);
        // Photos get the driver's dither for photos.
        std::memcpy(print.options->dither, print.driver.pdither, sizeof print.options->dither);
        return EndDocument(print, SendImage(print, image, *paper), "");
    }
    FailDocument(job, error);
    return EndDocument(print, false, "");
}

}  // namespace

bool PrintImage(pappl_job_t* job, pappl_device_t* device, void* /*data*/)
{
    return PrintCatching(job, device, "image", PrintImageOf);
}

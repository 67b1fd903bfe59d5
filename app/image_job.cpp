#include "image_job.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>

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
    if (info.density_unit == 1 || info.density_unit == 2)  // per inch, per centimetre
        image.ppi = info.X_density * (info.density_unit == 2 ? 2.54 : 1.0);
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

// The resolution a PNG states in its pHYs chunk, which libpng's simple API
// does not tell; 0 when it states none.
double PngResolution(FILE* file)
{
    unsigned char chunk[8];
    double ppi = 0;
    (void)std::fseek(file, 8, SEEK_SET);
    while (std::fread(chunk, 1, sizeof chunk, file) == sizeof chunk) {
        const unsigned long length = png_get_uint_32(chunk);
        if (std::memcmp(chunk + 4, "IDAT", 4) == 0 || length > (1UL << 24))
            break;
        unsigned char phys[9];
        if (std::memcmp(chunk + 4, "pHYs", 4) == 0 && length == 9 && std::fread(phys, 1, 9, file) == 9) {
            if (phys[8] == 1)  // per metre
                ppi = png_get_uint_32(phys) * 0.0254;
            break;
        }
        (void)std::fseek(file, static_cast<long>(length) + 4, SEEK_CUR);
    }
    std::rewind(file);
    return ppi;
}

bool DecodePng(FILE* file, GreyImage& image, std::string& error)
{
    image.ppi = PngResolution(file);
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

// The image turned 90, 180 or 270 degrees counter-clockwise.
GreyImage Turned(const GreyImage& image, int degrees)
{
    GreyImage turned;
    const bool across = degrees % 180 != 0;
    turned.width = across ? image.height : image.width;
    turned.height = across ? image.width : image.height;
    turned.ppi = image.ppi;
    turned.dots.resize(image.dots.size());
    for (unsigned y = 0; y < turned.height; ++y)
        for (unsigned x = 0; x < turned.width; ++x) {
            // The source pixel that lands at (x, y).
            unsigned sx = x;
            unsigned sy = y;
            if (degrees == 90)
                sx = image.width - 1 - y, sy = x;
            else if (degrees == 180)
                sx = image.width - 1 - x, sy = image.height - 1 - y;
            else if (degrees == 270)
                sx = y, sy = image.height - 1 - x;
            turned.dots[static_cast<std::size_t>(y) * turned.width + x] =
                image.dots[static_cast<std::size_t>(sy) * image.width + sx];
        }
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

// Where the image lies on the sheet, in dots: it may reach past the sheet.
struct Placement {
    long left = 0, top = 0;
    unsigned width = 1, height = 1;
};

// The image's own size at 600 dpi, at the resolution its file states or,
// when it states none, at 200 pixels per inch (a screenshot across A4).
std::pair<double, double> OwnSize(const GreyImage& image)
{
    const double ppi = image.ppi > 0 ? image.ppi : 200.0;
    return {image.width * 600.0 / ppi, image.height * 600.0 / ppi};
}

// The image placed by print-scaling: "fit" (and "auto", the printer's
// choice for images) scales it into the printable area, "fill" over the
// whole paper, "none" keeps its own size, each centred; "auto-fit" fits
// an image larger than the printable area and keeps the size of a smaller one.
Placement Place(const GreyImage& image, const Paper& paper, pappl_scaling_t scaling)
{
    const unsigned areaW = paper.header.cupsWidth;
    const unsigned areaH = paper.header.cupsHeight;
    const auto [ownW, ownH] = OwnSize(image);
    if (scaling == PAPPL_SCALING_AUTO_FIT)
        scaling = ownW > areaW || ownH > areaH ? PAPPL_SCALING_FIT : PAPPL_SCALING_NONE;
    // The span the image is centred on: the printable area, or the paper.
    long originX = paper.left;
    long originY = paper.top;
    long spanW = areaW;
    long spanH = areaH;
    double width = ownW;
    double height = ownH;
    if (scaling == PAPPL_SCALING_FILL || scaling == PAPPL_SCALING_NONE) {
        originX = originY = 0;
        spanW = std::lround(paper.header.cupsPageSize[0] * 600.0 / 72);
        spanH = std::lround(paper.header.cupsPageSize[1] * 600.0 / 72);
        if (scaling == PAPPL_SCALING_FILL) {
            const double scale = std::max(static_cast<double>(spanW) / image.width, static_cast<double>(spanH) / image.height);
            width = image.width * scale, height = image.height * scale;
        }
    } else {
        const double scale = std::min(static_cast<double>(areaW) / image.width, static_cast<double>(areaH) / image.height);
        width = image.width * scale, height = image.height * scale;
    }
    Placement placed;
    placed.width = std::max(1U, static_cast<unsigned>(width));
    placed.height = std::max(1U, static_cast<unsigned>(height));
    // Whole dots, the odd one to the right and below.
    placed.left = originX + (spanW - static_cast<long>(placed.width)) / 2;
    placed.top = originY + (spanH - static_cast<long>(placed.height)) / 2;
    return placed;
}

// Sends the image as the whole sheet in 8-bit grey. Each dot is the mean
// of the image pixels it covers (the nearest one when it covers less than
// one); the sheet around the image is white.
bool SendImage(DocumentPrint& print, const GreyImage& image, const Paper& paper, const Placement& placed)
{
    cups_page_header2_t header;
    cupsRasterInitPWGHeader(&header, pwgMediaForPWG(paper.pwgName.c_str()), "sgray_8", 600, 600, "one-sided",
                            nullptr);
    const std::vector<unsigned> xs = Spans(image.width, placed.width);
    const std::vector<unsigned> ys = Spans(image.height, placed.height);
    // The dots of the image on the sheet: [u0, u1) across, from placed.left.
    const long u0 = std::max(0L, -placed.left);
    const long u1 = std::min<long>(placed.width, static_cast<long>(header.cupsWidth) - placed.left);

    if (!BeginPage(print, header))
        return false;
    std::vector<unsigned char> line(header.cupsBytesPerLine, 255);
    std::vector<unsigned> sums(placed.width);
    for (unsigned y = 0; y < header.cupsHeight; ++y) {
        if (y % 64 == 0 && papplJobIsCanceled(print.job))
            break;
        std::fill(line.begin(), line.end(), 255);
        const long v = static_cast<long>(y) - placed.top;
        if (v >= 0 && v < static_cast<long>(placed.height) && u1 > u0) {
            const unsigned y0 = ys[static_cast<std::size_t>(v)];
            const unsigned y1 = std::max(ys[static_cast<std::size_t>(v) + 1], y0 + 1);
            std::fill(sums.begin(), sums.end(), 0U);
            for (unsigned sy = y0; sy < y1; ++sy) {
                const std::uint8_t* row = image.dots.data() + static_cast<std::size_t>(sy) * image.width;
                for (long u = u0; u < u1; ++u) {
                    const unsigned x0 = xs[static_cast<std::size_t>(u)];
                    const unsigned x1 = std::max(xs[static_cast<std::size_t>(u) + 1], x0 + 1);
                    for (unsigned sx = x0; sx < x1; ++sx)
                        sums[static_cast<std::size_t>(u)] += row[sx];
                }
            }
            for (long u = u0; u < u1; ++u) {
                const unsigned x0 = xs[static_cast<std::size_t>(u)];
                const unsigned area = (y1 - y0) * (std::max(xs[static_cast<std::size_t>(u) + 1], x0 + 1) - x0);
                line[static_cast<std::size_t>(placed.left + u)] =
                    static_cast<unsigned char>(sums[static_cast<std::size_t>(u)] / area);
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
        int turn = TurnFor(print.options->orientation_requested,
                           papplJobGetAttribute(job, "orientation-requested") != nullptr);
        // Turned when the paper's long side then meets the image's.
        if (turn < 0)
            turn = (image.width > image.height) != (paper->header.cupsWidth > paper->header.cupsHeight) ? 90 : 0;
        if (turn != 0)
            image = Turned(image, turn);
        return EndDocument(print, SendImage(print, image, *paper, Place(image, *paper, print.options->print_scaling)),
                           "");
    }
    FailDocument(job, error);
    return EndDocument(print, false, "");
}

}  // namespace

bool PrintImage(pappl_job_t* job, pappl_device_t* device, void* /*data*/)
{
    return PrintCatching(job, device, "image", PrintImageOf);
}

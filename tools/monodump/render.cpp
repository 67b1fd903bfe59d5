#include "render.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { (void)std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::uint32_t RowBytes(std::uint32_t width)
{
    return (width + 7U) / 8U;
}

// The dots of a row's last byte that are still on the paper.
std::uint8_t LastByteMask(std::uint32_t width)
{
    const std::uint32_t w = width % 8U;
    return static_cast<std::uint8_t>(w == 0 ? 0xFF : (0xFF << (8U - w)) & 0xFF);
}

bool InkPast(const InkBytes& ink, std::uint32_t width)
{
    const std::uint32_t onPaper = RowBytes(width);
    if (onPaper > 0 && ink.size() >= onPaper && (ink[onPaper - 1] & ~LastByteMask(width) & 0xFF) != 0)
        return true;
    return ink.size() > onPaper &&
           std::any_of(ink.begin() + onPaper, ink.end(), [](std::uint8_t byte) { return byte != 0; });
}

bool HasInk(const InkBytes& ink)
{
    return std::any_of(ink.begin(), ink.end(), [](std::uint8_t byte) { return byte != 0; });
}

std::string Failed(const std::string& path)
{
    return path + ": " + std::strerror(errno);
}

// libpng reports failures by jumping back to the setjmp below; only plain
// values live in this frame across it.
bool WritePng(std::FILE* file, const DecodedPage& page, std::uint32_t width, std::uint32_t height,
              std::span<std::uint8_t> row)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr)
        return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png)) != 0) {  // NOLINT(cert-err52-cpp): libpng's own error protocol
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (std::uint32_t y = 0; y < height; ++y) {
        PaperRow(page, width, y, row);
        // Grey 0 is black in PNG.
        std::transform(row.begin(), row.end(), row.begin(),
                       [](std::uint8_t byte) { return static_cast<std::uint8_t>(~byte); });
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

bool WritePbm(std::FILE* file, const DecodedPage& page, std::uint32_t width, std::uint32_t height,
              std::span<std::uint8_t> row)
{
    // Raw PBM: 1 is black, as on the wire.
    if (std::fprintf(file, "P4\n%u %u\n", width, height) < 0)
        return false;
    for (std::uint32_t y = 0; y < height; ++y) {
        PaperRow(page, width, y, row);
        if (std::fwrite(row.data(), 1, row.size(), file) != row.size())
            return false;
    }
    return true;
}

}  // namespace

InkOffPaper FindInkOffPaper(const DecodedPage& page, const JobSettings& settings)
{
    InkOffPaper off;
    for (std::size_t y = 0; y < page.rows.size(); ++y) {
        const InkBytes& ink = page.rows[y].ink;
        if (y >= settings.paperHeight) {
            if (HasInk(ink))
                ++off.pastBottomEdge;
        } else if (InkPast(ink, settings.paperWidth)) {
            ++off.pastRightEdge;
        }
    }
    return off;
}

void PaperRow(const DecodedPage& page, std::uint32_t width, std::uint32_t y, std::span<std::uint8_t> out)
{
    std::fill(out.begin(), out.end(), 0);
    if (y >= page.rows.size() || out.empty())
        return;
    const InkBytes& ink = page.rows[y].ink;
    const std::size_t shown = std::min(ink.size(), out.size());
    std::copy_n(ink.begin(), shown, out.begin());
    if (shown == out.size())
        out.back() &= LastByteMask(width);
}

bool WritePageImage(const DecodedPage& page, const JobSettings& settings, ImageFormat format,
                    const std::string& path, std::string& error)
{
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        error = Failed(path);
        return false;
    }
    errno = 0;
    std::vector<std::uint8_t> row(RowBytes(settings.paperWidth));
    const bool written = format == ImageFormat::Png
                             ? WritePng(file.get(), page, settings.paperWidth, settings.paperHeight, row)
                             : WritePbm(file.get(), page, settings.paperWidth, settings.paperHeight, row);
    const bool flushed = std::fflush(file.get()) == 0 && std::ferror(file.get()) == 0;
    if (!written || !flushed) {
        error = errno != 0 ? Failed(path) : path + ": cannot write the image";
        return false;
    }
    if (std::fclose(file.release()) != 0) {
        error = Failed(path);
        return false;
    }
    return true;
}

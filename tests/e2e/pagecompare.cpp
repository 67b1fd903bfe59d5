// pagecompare REFERENCE.ras PRINTED.prn
//
// Compares the pages the printer was told to print (the printer stream
// PRINTED.prn, each page read back onto the whole paper) with a reference
// rendering of the same document (a one-bit, white = 1 CUPS raster of whole
// pages at the same resolution, as ghostscript's cups device writes it).
//
// Both images are laid on the paper from its top left corner. They may differ
// in size by a few dots (the printer's paper sizes are rounded differently
// from the document's); a dot that only one of them covers must be white.
//
// Ghostscript maps coordinates to dots in floating point, so rendering the
// same page with its origin moved (the print path renders only the imageable
// area) can turn single edge dots the other way. The comparison therefore
// accepts a differing dot when it is edge jitter: each image has the other's
// colour within one dot of it. It fails on any other difference, and when
// the jittered dots exceed one per 10,000 black dots of the reference (a page
// shifted by one dot differs on every edge, thousands of times that).
//
// Exit status: 0 all pages match, 1 they differ, 2 bad arguments or input.

#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "decode.h"
#include "render.h"

namespace {

// A page of dots, true = black.
struct Bitmap {
    std::size_t width = 0;
    std::size_t height = 0;
    std::vector<bool> dots;

    [[nodiscard]] bool At(long x, long y) const
    {
        if (x < 0 || y < 0 || static_cast<std::size_t>(x) >= width || static_cast<std::size_t>(y) >= height)
            return false;
        return dots[static_cast<std::size_t>(y) * width + static_cast<std::size_t>(x)];
    }
    [[nodiscard]] std::size_t Black() const { return static_cast<std::size_t>(std::count(dots.begin(), dots.end(), true)); }
};

struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The pages of a printer stream as the printer puts them on its paper.
std::vector<Bitmap> ReadStream(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw InputError("cannot open " + path);
    const std::vector<std::uint8_t> stream{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const DecodedJob job = DecodeJob(stream);
    if (job.violation)
        throw InputError(path + ": " + Describe(*job.violation));
    std::vector<Bitmap> pages;
    for (const DecodedPage& page : job.pages) {
        Bitmap& bitmap = pages.emplace_back(Bitmap{job.settings->paperWidth, job.settings->paperHeight, {}});
        std::vector<std::uint8_t> row((bitmap.width + 7) / 8);
        for (std::uint32_t y = 0; y < bitmap.height; ++y) {
            PaperRow(page, job.settings->paperWidth, y, row);
            for (std::size_t x = 0; x < bitmap.width; ++x)
                bitmap.dots.push_back(((row[x / 8] >> (7 - x % 8)) & 1) != 0);
        }
    }
    return pages;
}

// All pages of a one-bit CUPS raster in the white colour space.
std::vector<Bitmap> ReadRaster(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        throw InputError("cannot open " + path);
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
    std::vector<Bitmap> pages;
    std::string error;
    cups_page_header2_t header;
    while (error.empty() && ras != nullptr && cupsRasterReadHeader2(ras, &header) != 0) {
        if (header.cupsBitsPerPixel != 1 || header.cupsColorSpace != CUPS_CSPACE_W)
            error = path + " is not a one-bit white raster";
        Bitmap page{header.cupsWidth, header.cupsHeight, std::vector<bool>(std::size_t{header.cupsWidth} * header.cupsHeight)};
        std::vector<unsigned char> row(header.cupsBytesPerLine);
        for (std::size_t y = 0; y < page.height && error.empty(); ++y) {
            if (cupsRasterReadPixels(ras, row.data(), header.cupsBytesPerLine) == 0)
                error = path + " ends inside a page";
            for (std::size_t x = 0; x < page.width; ++x)
                page.dots[y * page.width + x] = ((row[x / 8] >> (7 - x % 8)) & 1) == 0;
        }
        pages.push_back(std::move(page));
    }
    cupsRasterClose(ras);
    close(fd);
    if (!error.empty())
        throw InputError(error);
    return pages;
}

bool HasNear(const Bitmap& image, long x, long y, bool colour)
{
    for (long dy = -1; dy <= 1; ++dy)
        for (long dx = -1; dx <= 1; ++dx)
            if (image.At(x + dx, y + dy) == colour)
                return true;
    return false;
}

struct Difference {
    std::size_t jitter = 0;
    std::size_t beyond = 0;
    std::optional<std::pair<long, long>> firstBeyond;
};

Difference Compare(const Bitmap& printed, const Bitmap& reference)
{
    Difference diff;
    const auto width = static_cast<long>(std::max(printed.width, reference.width));
    const auto height = static_cast<long>(std::max(printed.height, reference.height));
    for (long y = 0; y < height; ++y) {
        for (long x = 0; x < width; ++x) {
            const bool p = printed.At(x, y);
            const bool r = reference.At(x, y);
            if (p == r)
                continue;
            if (HasNear(reference, x, y, p) && HasNear(printed, x, y, r)) {
                ++diff.jitter;
            } else {
                ++diff.beyond;
                if (!diff.firstBeyond)
                    diff.firstBeyond = {x, y};
            }
        }
    }
    return diff;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        (void)std::fprintf(stderr, "usage: pagecompare REFERENCE.ras PRINTED.prn\n");
        return 2;
    }
    try {
        const std::vector<Bitmap> reference = ReadRaster(argv[1]);
        const std::vector<Bitmap> printed = ReadStream(argv[2]);
        if (printed.size() != reference.size()) {
            std::printf("pages: printed %zu, reference %zu\n", printed.size(), reference.size());
            return 1;
        }
        if (printed.empty())
            throw InputError("no pages to compare");

        bool allMatch = true;
        for (std::size_t i = 0; i < reference.size(); ++i) {
            const Bitmap& ref = reference[i];
            const std::size_t refBlack = ref.Black();
            const Difference diff = Compare(printed[i], ref);
            const bool match = diff.beyond == 0 && diff.jitter * 10000 <= refBlack;
            allMatch = allMatch && match;
            std::printf("page %zu: printed %zux%zu black %zu, reference %zux%zu black %zu, "
                        "edge jitter %zu, beyond jitter %zu",
                        i + 1, printed[i].width, printed[i].height, printed[i].Black(), ref.width, ref.height, refBlack,
                        diff.jitter, diff.beyond);
            if (diff.firstBeyond)
                std::printf(" (first at x=%ld y=%ld)", diff.firstBeyond->first, diff.firstBeyond->second);
            std::printf(": %s\n", match ? "match" : "DIFFER");
        }
        return allMatch ? 0 : 1;
    } catch (const InputError& e) {
        (void)std::fprintf(stderr, "pagecompare: %s\n", e.what());
        return 2;
    }
}

// pagecompare REFERENCE.ras PRINTED_DIR
//
// Compares the pages the printer was told to print (PRINTED_DIR/page-001.pbm,
// ... as monodump writes them: the whole paper, 1 = toner) with a reference
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
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

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

// Binary PBM (P4) as monodump writes it: no comments in the header.
Bitmap ReadPbm(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw InputError("cannot open " + path);
    std::string magic;
    if (!(in >> magic) || magic != "P4")
        throw InputError(path + " is not a binary PBM");
    Bitmap bitmap;
    // One white-space byte ends the header.
    if (!(in >> bitmap.width >> bitmap.height) || std::isspace(in.get()) == 0)
        throw InputError(path + " has no readable size");
    const std::size_t rowBytes = (bitmap.width + 7) / 8;
    std::vector<unsigned char> row(rowBytes);
    bitmap.dots.resize(bitmap.width * bitmap.height);
    for (std::size_t y = 0; y < bitmap.height; ++y) {
        if (!in.read(reinterpret_cast<char*>(row.data()), static_cast<std::streamsize>(rowBytes)))
            throw InputError(path + " ends before its last row");
        for (std::size_t x = 0; x < bitmap.width; ++x)
            bitmap.dots[y * bitmap.width + x] = ((row[x / 8] >> (7 - x % 8)) & 1) != 0;
    }
    return bitmap;
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

std::string PagePath(const std::string& dir, std::size_t page)
{
    char name[32];
    (void)std::snprintf(name, sizeof name, "page-%03zu.pbm", page);
    return dir + "/" + name;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        (void)std::fprintf(stderr, "usage: pagecompare REFERENCE.ras PRINTED_DIR\n");
        return 2;
    }
    try {
        const std::vector<Bitmap> reference = ReadRaster(argv[1]);
        const std::string dir = argv[2];
        std::size_t printedPages = 0;
        while (std::filesystem::exists(PagePath(dir, printedPages + 1)))
            ++printedPages;
        if (printedPages != reference.size()) {
            std::printf("pages: printed %zu, reference %zu\n", printedPages, reference.size());
            return 1;
        }
        if (printedPages == 0)
            throw InputError("no pages to compare");

        bool allMatch = true;
        for (std::size_t i = 0; i < reference.size(); ++i) {
            const Bitmap printed = ReadPbm(PagePath(dir, i + 1));
            const Bitmap& ref = reference[i];
            const std::size_t refBlack = ref.Black();
            const Difference diff = Compare(printed, ref);
            const bool match = diff.beyond == 0 && diff.jitter * 10000 <= refBlack;
            allMatch = allMatch && match;
            std::printf("page %zu: printed %zux%zu black %zu, reference %zux%zu black %zu, "
                        "edge jitter %zu, beyond jitter %zu",
                        i + 1, printed.width, printed.height, printed.Black(), ref.width, ref.height, refBlack,
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

// Makes the benchmark corpus's rasters that ghostscript does not render.
//
//   rtm_raster_tool recode IN OUT FORM [PAGES]  copy the first PAGES pages (all by default)
//   rtm_raster_tool ink IN OUT FORM             the same image with 1 = black (colour space K)
//   rtm_raster_tool white OUT PAPER PAGES FORM  all-white pages
//   rtm_raster_tool noise OUT PAPER PAGES FORM  random pixels from a fixed seed
//
// FORM is "plain" (libcups's uncompressed stream) or "compressed"; PAPER is
// "a4" or "letter". Every header asks for PackBits (cupsCompression 2), as
// ghostscript's does when the corpus renders it, so that rastertohp given
// the same raster compresses too.
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Row = std::vector<std::uint8_t>;

bool Fail(const std::string& message)
{
    (void)std::fprintf(stderr, "rtm_raster_tool: %s\n", message.c_str());
    return false;
}

struct Stream {
    int fd = -1;
    cups_raster_t* ras = nullptr;
};

bool OpenRead(const char* path, Stream& in)
{
    in.fd = open(path, O_RDONLY);
    if (in.fd < 0)
        return Fail(std::string("cannot read ") + path);
    in.ras = cupsRasterOpen(in.fd, CUPS_RASTER_READ);
    return in.ras != nullptr || Fail(std::string("not a raster: ") + path);
}

bool OpenWrite(const char* path, std::string_view form, Stream& out)
{
    if (form != "plain" && form != "compressed")
        return Fail("form must be plain or compressed");
    out.fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out.fd < 0)
        return Fail(std::string("cannot write ") + path);
    out.ras = cupsRasterOpen(out.fd, form == "plain" ? CUPS_RASTER_WRITE : CUPS_RASTER_WRITE_COMPRESSED);
    return out.ras != nullptr || Fail(std::string("cannot open a raster stream on ") + path);
}

bool Close(Stream& stream)
{
    if (stream.ras != nullptr)
        cupsRasterClose(stream.ras);
    return stream.fd < 0 || close(stream.fd) == 0;
}

// The bits past the last pixel of a row are 0 in both colour senses.
void ClearPadding(Row& row, unsigned width)
{
    if (const unsigned w = width & 7; w != 0 && !row.empty())
        row.back() &= static_cast<std::uint8_t>(0xFF << (8 - w));
}

bool Copy(const char* inPath, const char* outPath, std::string_view form, unsigned maxPages, bool ink)
{
    Stream in;
    Stream out;
    if (!OpenRead(inPath, in) || !OpenWrite(outPath, form, out))
        return false;
    cups_page_header2_t header{};
    for (unsigned page = 0; page < maxPages && cupsRasterReadHeader2(in.ras, &header) != 0; ++page) {
        Row row(header.cupsBytesPerLine);
        const unsigned width = header.cupsWidth;
        if (ink)
            header.cupsColorSpace = CUPS_CSPACE_K;
        if (cupsRasterWriteHeader2(out.ras, &header) == 0)
            return Fail("cannot write a page header");
        for (unsigned y = 0; y < header.cupsHeight; ++y) {
            if (cupsRasterReadPixels(in.ras, row.data(), header.cupsBytesPerLine) == 0)
                return Fail("short page in " + std::string(inPath));
            if (ink) {
                for (std::uint8_t& byte : row)
                    byte = static_cast<std::uint8_t>(~byte);
                ClearPadding(row, width);
            }
            cupsRasterWritePixels(out.ras, row.data(), header.cupsBytesPerLine);
        }
    }
    return Close(in) && Close(out);
}

// A one-bit, white = 1, 600-dpi header of the size ghostscript gives.
bool PaperHeader(std::string_view paper, cups_page_header2_t& header)
{
    header = {};
    if (paper == "a4") {
        header.PageSize[0] = 595;
        header.PageSize[1] = 842;
        header.cupsWidth = 4958;
        header.cupsHeight = 7016;
    } else if (paper == "letter") {
        header.PageSize[0] = 612;
        header.PageSize[1] = 792;
        header.cupsWidth = 5100;
        header.cupsHeight = 6600;
    } else {
        return Fail("paper must be a4 or letter");
    }
    header.cupsPageSize[0] = static_cast<float>(header.PageSize[0]);
    header.cupsPageSize[1] = static_cast<float>(header.PageSize[1]);
    header.HWResolution[0] = header.HWResolution[1] = 600;
    header.NumCopies = 1;
    header.cupsBitsPerColor = 1;
    header.cupsBitsPerPixel = 1;
    header.cupsBytesPerLine = (header.cupsWidth + 7) / 8;
    header.cupsColorOrder = CUPS_ORDER_CHUNKED;
    header.cupsColorSpace = CUPS_CSPACE_W;
    header.cupsCompression = 2;
    header.cupsNumColors = 1;
    return true;
}

bool Synthesize(const char* outPath, std::string_view paper, unsigned pages, std::string_view form, bool noise)
{
    cups_page_header2_t header{};
    Stream out;
    if (!PaperHeader(paper, header) || !OpenWrite(outPath, form, out))
        return false;
    std::uint64_t state = 0x9E3779B97F4A7C15U;  // fixed: the corpus is the same on every run
    Row row(header.cupsBytesPerLine, 0xFF);
    ClearPadding(row, header.cupsWidth);
    for (unsigned page = 0; page < pages; ++page) {
        if (cupsRasterWriteHeader2(out.ras, &header) == 0)
            return Fail("cannot write a page header");
        for (unsigned y = 0; y < header.cupsHeight; ++y) {
            if (noise) {
                for (std::uint8_t& byte : row) {
                    // xorshift64*: fast, and the same bytes everywhere
                    state ^= state >> 12;
                    state ^= state << 25;
                    state ^= state >> 27;
                    byte = static_cast<std::uint8_t>((state * 0x2545F4914F6CDD1DU) >> 56);
                }
                ClearPadding(row, header.cupsWidth);
            }
            cupsRasterWritePixels(out.ras, row.data(), header.cupsBytesPerLine);
        }
    }
    return Close(out);
}

bool Run(const std::vector<std::string_view>& args)
{
    const auto count = [](std::string_view text) { return static_cast<unsigned>(std::stoul(std::string(text))); };
    if (args.size() >= 4 && args[0] == "recode")
        return Copy(args[1].data(), args[2].data(), args[3], args.size() > 4 ? count(args[4]) : ~0U, false);
    if (args.size() == 4 && args[0] == "ink")
        return Copy(args[1].data(), args[2].data(), args[3], ~0U, true);
    if (args.size() == 5 && (args[0] == "white" || args[0] == "noise"))
        return Synthesize(args[1].data(), args[2], count(args[3]), args[4], args[0] == "noise");
    return Fail("usage: recode IN OUT FORM [PAGES] | ink IN OUT FORM | white|noise OUT PAPER PAGES FORM");
}

}  // namespace

int main(int argc, char* argv[])
{
    return Run(std::vector<std::string_view>(argv + 1, argv + argc)) ? 0 : 1;
}

// The application's reading of a client's run-length coded lines must be
// libcups's, byte for byte, hostile lines included: runs past the line's
// end, 128 fills in either colour sense, lines cut short. Its coding of the
// filter's rows must read back through libcups as the rows it was given.

#include <random>

#include "coded_lines.h"
#include "support.h"

namespace {

// The page header alone, as libcups writes it in `mode`.
Bytes HeaderBytes(const TempDir& dir, const cups_page_header2_t& header, cups_mode_t mode)
{
    WriteRaster(dir.File("header"), {{header, {}}}, mode);
    return ReadFile(dir.File("header"));
}

// The rows libcups reads from a stream of one page, as far as it can.
std::vector<Bytes> LibcupsRows(const TempDir& dir, const Bytes& stream)
{
    WriteFile(dir.File("page"), stream);
    const int fd = open(dir.File("page").c_str(), O_RDONLY);
    cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
    cups_page_header2_t header;
    std::vector<Bytes> rows;
    if (cupsRasterReadHeader2(raster, &header) != 0)
        for (Bytes row(header.cupsBytesPerLine);
             rows.size() < header.cupsHeight && cupsRasterReadPixels(raster, row.data(), header.cupsBytesPerLine) != 0;)
            rows.push_back(row);
    cupsRasterClose(raster);
    close(fd);
    return rows;
}

}  // namespace

TEST(CodedLines, ReadAsLibcupsReadsThemAndRowsCodedReadBack)
{
    const TempDir dir;
    std::mt19937 random(2026);
    int whole = 0;
    for (int page = 0; page < 300; ++page) {
        cups_page_header2_t header{};
        header.HWResolution[0] = header.HWResolution[1] = 600;
        const unsigned bytesPerLine = header.cupsWidth = header.cupsBytesPerLine = 1 + random() % 300;
        const unsigned height = header.cupsHeight = 1 + random() % 40;
        header.cupsBitsPerColor = header.cupsBitsPerPixel = 8;
        header.cupsNumColors = 1;
        header.cupsColorSpace = page % 2 == 0 ? CUPS_CSPACE_K : CUPS_CSPACE_SW;
        Bytes pwg = HeaderBytes(dir, header, CUPS_RASTER_WRITE_PWG);
        const std::size_t headerEnd = pwg.size();
        for (unsigned lines = 0, repeat = 0; lines < height; lines += 1 + repeat) {
            repeat = random() % 4;
            pwg.push_back(static_cast<std::uint8_t>(repeat));
            for (unsigned covered = 0; covered < bytesPerLine;) {
                const unsigned code = random() % 40 == 0 ? 128 : random() % 256;
                pwg.push_back(static_cast<std::uint8_t>(code));
                const unsigned count = code == 128 ? bytesPerLine : code > 128 ? 257 - code : code + 1;
                for (unsigned i = 0; i < (code > 128 ? std::min(count, bytesPerLine - covered) : code < 128); ++i)
                    pwg.push_back(static_cast<std::uint8_t>(random()));
                covered += count;
            }
        }
        // Every third page is cut short somewhere in its lines.
        if (page % 3 == 2)
            pwg.resize(headerEnd + random() % (pwg.size() - headerEnd));

        std::vector<Bytes> rows;
        Bytes coded = HeaderBytes(dir, header, CUPS_RASTER_WRITE_COMPRESSED);
        const std::span<const std::uint8_t> stream(pwg);
        for (std::size_t at = headerEnd; rows.size() < height && at < stream.size();) {
            Bytes line(bytesPerLine);
            const std::size_t size = DecodeRuns(stream.subspan(at + 1), line, ClearFill(header));
            if (size == 0)
                break;
            const unsigned lines = std::min<unsigned>(1 + stream[at], height - static_cast<unsigned>(rows.size()));
            rows.insert(rows.end(), lines, line);
            CodeRow(line, lines, coded);
            at += 1 + size;
        }
        ASSERT_EQ(rows, LibcupsRows(dir, pwg)) << "page " << page;
        if (rows.size() == height) {
            ASSERT_EQ(LibcupsRows(dir, coded), rows) << "page " << page;
            ++whole;
        }
    }
    EXPECT_GE(whole, 200);  // the pages not cut short
}

// The application's reading of a client's run-length coded lines must be
// libcups's, byte for byte, hostile lines included: runs past the line's
// end, 128 fills in either colour sense, lines cut short. Its coding of the
// filter's rows must read back through libcups as the rows it was given.

#include <cups/raster.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "coded_lines.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Memory {
    Bytes bytes;
    std::size_t at = 0;
};

ssize_t Put(void* ctx, unsigned char* buffer, std::size_t length)
{
    auto& memory = *static_cast<Memory*>(ctx);
    memory.bytes.insert(memory.bytes.end(), buffer, buffer + length);
    return static_cast<ssize_t>(length);
}

ssize_t Get(void* ctx, unsigned char* buffer, std::size_t length)
{
    auto& memory = *static_cast<Memory*>(ctx);
    const std::size_t n = std::min(length, memory.bytes.size() - memory.at);
    std::memcpy(buffer, memory.bytes.data() + memory.at, n);
    memory.at += n;
    return static_cast<ssize_t>(n);
}

// The rows libcups reads from a stream of one page, as far as it can.
std::vector<Bytes> LibcupsRows(Memory memory)
{
    cups_raster_t* raster = cupsRasterOpenIO(Get, &memory, CUPS_RASTER_READ);
    cups_page_header2_t header;
    std::vector<Bytes> rows;
    if (raster != nullptr && cupsRasterReadHeader2(raster, &header) != 0)
        for (Bytes row(header.cupsBytesPerLine);
             rows.size() < header.cupsHeight && cupsRasterReadPixels(raster, row.data(), header.cupsBytesPerLine) != 0;)
            rows.push_back(row);
    cupsRasterClose(raster);
    return rows;
}

Memory PageHeader(cups_mode_t mode, unsigned bytesPerLine, unsigned height, cups_cspace_t space)
{
    Memory memory;
    cups_page_header2_t header{};
    header.HWResolution[0] = header.HWResolution[1] = 600;
    header.cupsWidth = header.cupsBytesPerLine = bytesPerLine;
    header.cupsHeight = height;
    header.cupsBitsPerColor = header.cupsBitsPerPixel = 8;
    header.cupsNumColors = 1;
    header.cupsColorSpace = space;
    cups_raster_t* raster = cupsRasterOpenIO(Put, &memory, mode);
    EXPECT_NE(cupsRasterWriteHeader2(raster, &header), 0U);
    cupsRasterClose(raster);
    return memory;
}

}  // namespace

TEST(CodedLines, ReadAsLibcupsReadsThemAndRowsCodedReadBack)
{
    std::mt19937 random(2026);
    int whole = 0;
    for (int page = 0; page < 300; ++page) {
        const unsigned bytesPerLine = 1 + random() % 300;
        const unsigned height = 1 + random() % 40;
        const cups_cspace_t space = page % 2 == 0 ? CUPS_CSPACE_K : CUPS_CSPACE_SW;
        cups_page_header2_t spaceOnly{};
        spaceOnly.cupsColorSpace = space;
        const std::uint8_t fill = ClearFill(spaceOnly);
        Memory pwg = PageHeader(CUPS_RASTER_WRITE_PWG, bytesPerLine, height, space);
        const std::size_t headerEnd = pwg.bytes.size();
        for (unsigned lines = 0, repeat = 0; lines < height; lines += 1 + repeat) {
            repeat = random() % 4;
            pwg.bytes.push_back(static_cast<std::uint8_t>(repeat));
            for (unsigned covered = 0; covered < bytesPerLine;) {
                const unsigned code = random() % 40 == 0 ? 128 : random() % 256;
                pwg.bytes.push_back(static_cast<std::uint8_t>(code));
                const unsigned count = code == 128 ? bytesPerLine : code > 128 ? 257 - code : code + 1;
                for (unsigned i = 0; i < (code > 128 ? std::min(count, bytesPerLine - covered) : code < 128); ++i)
                    pwg.bytes.push_back(static_cast<std::uint8_t>(random()));
                covered += count;
            }
        }
        // Every third page is cut short somewhere in its lines.
        if (page % 3 == 2)
            pwg.bytes.resize(headerEnd + random() % (pwg.bytes.size() - headerEnd));

        const std::vector<Bytes> expected = LibcupsRows(pwg);
        std::vector<Bytes> rows;
        Memory coded = PageHeader(CUPS_RASTER_WRITE_COMPRESSED, bytesPerLine, height, space);
        const std::span<const std::uint8_t> stream(pwg.bytes);
        for (std::size_t at = headerEnd; rows.size() < height && at < stream.size();) {
            Bytes line(bytesPerLine);
            const std::size_t size = DecodeRuns(stream.subspan(at + 1), line, fill);
            if (size == 0)
                break;
            const unsigned lines = std::min<unsigned>(1 + stream[at], height - static_cast<unsigned>(rows.size()));
            rows.insert(rows.end(), lines, line);
            CodeRow(line, lines, coded.bytes);
            at += 1 + size;
        }
        ASSERT_EQ(rows, expected) << "page " << page;
        if (rows.size() == height) {
            ASSERT_EQ(LibcupsRows(coded), rows) << "page " << page;
            ++whole;
        }
    }
    EXPECT_GE(whole, 200);  // the pages not cut short
}

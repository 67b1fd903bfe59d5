// The filter's units on the design's own examples: row payloads, the
// output cache's blocks, and the settings block's fields.

#include <random>

#include "commands.h"
#include "output_cache.h"
#include "row_encoder.h"
#include "settings.h"
#include "support.h"

namespace {

TEST(RowEncoder, WorkedExamples)
{
    for (const PayloadExample& example : kPayloadExamples) {
        const Bytes row = Hex(example.row);
        Bytes out(MaxPayloadSize(row.size()));
        out.resize(EncodeRow(row.data(), static_cast<std::uint32_t>(row.size()), out.data()));
        EXPECT_EQ(out, Hex(example.payload)) << "row: " << example.row;
    }
}

// Every write (unbuffered) or every flush (buffered) to standard output.
struct Capture {
    std::vector<std::size_t> chunks;
    Bytes bytes;
};

Capture CaptureStdout(const std::function<void()>& fn, bool unbuffered)
{
    Capture capture;
    cookie_io_functions_t io{};
    io.write = [](void* cookie, const char* data, size_t size) {
        auto* into = static_cast<Capture*>(cookie);
        into->chunks.push_back(size);
        into->bytes.insert(into->bytes.end(), data, data + size);
        return static_cast<ssize_t>(size);
    };
    FILE* stream = fopencookie(&capture, "w", io);
    std::vector<char> buffer(1 << 20);
    (void)setvbuf(stream, unbuffered ? nullptr : buffer.data(), unbuffered ? _IONBF : _IOFBF, buffer.size());
    (void)std::fflush(stdout);
    FILE* saved = stdout;
    stdout = stream;
    fn();
    stdout = saved;
    const std::size_t flushed = capture.chunks.size();
    (void)std::fclose(stream);
    capture.chunks.resize(flushed);  // what fclose wrote was never flushed
    return capture;
}

TEST(OutputCache, WritesWholeBlocksWhileCollectingAndTheTailAtJobEnd)
{
    using Sizes = std::vector<std::size_t>;
    Sizes blocks187(187, 512);
    blocks187.push_back(135);
    const struct {
        Sizes appends;
        bool finish;
        Sizes writes;
        Sizes flushes;
    } cases[] = {
        {{1024, 12}, true, {512, 512, 12}, {1036}},
        {{5115, 5}, false, Sizes(9, 512), {}},
        {{5114, 5}, false, {}, {}},
        {{1024}, true, {512, 512}, {}},
        {{}, true, {}, {}},
        {{100, 4609, 5120, 20000, 3, 65536, 511}, true, blocks187, {95879}},
    };
    for (const auto& c : cases) {
        for (const bool unbuffered : {true, false}) {
            std::mt19937 random(7);
            Bytes appended;
            ResetImageCache();
            const Capture capture = CaptureStdout(
                [&] {
                    for (const std::size_t size : c.appends) {
                        Bytes bytes(size);
                        for (std::uint8_t& byte : bytes)
                            byte = static_cast<std::uint8_t>(random());
                        appended.insert(appended.end(), bytes.begin(), bytes.end());
                        ImageDataCpy(bytes);
                    }
                    if (c.finish) {
                        gJobFinishFlag = 1;
                        ImageDataCpy(nullptr, 0);
                    }
                },
                unbuffered);
            EXPECT_EQ(capture.chunks, unbuffered ? c.writes : c.flushes) << c.appends.size();
            EXPECT_EQ(Cat({capture.bytes, Bytes(szImageCacheBuf.begin(), szImageCacheBuf.begin() + gImageCacheBufSize)}),
                      appended);
        }
    }
}

struct PpdCloser {
    void operator()(ppd_file_t* ppd) const { ppdClose(ppd); }
};

void Parse(const std::string& ppdName, const std::string& options, const cups_page_header2_t& header)
{
    const std::unique_ptr<ppd_file_t, PpdCloser> ppd(ppdOpenFile(TestData(ppdName).c_str()));
    ASSERT_NE(ppd, nullptr) << ppdName;
    parsePrinterSettings(ppd.get(), options.c_str(), header);
}

template <std::size_t N>
Bytes AsBytes(const std::array<std::uint8_t, N>& command)
{
    return {command.begin(), command.end()};
}

TEST(Settings, PaperFromTheTableOrThePointSizeAndMarginsCentredAcrossAndThreeEighthsAbove)
{
    const struct {
        unsigned width, height;
        float pageWidth, pageLength;
        const char* paperSize;
        std::uint32_t left;
        std::int32_t top;
    } cases[] = {
        {4958, 6814, 595, 842, "1B 78 60 13 1B 79 68 1B", 0, 75},  // A4, 4960 x 7016
        {4800, 6200, 612, 792, "1B 78 EC 13 1B 79 C8 19", 18, 150},  // Letter, from its points
        {4800, 3000, 595, 420, "1B 78 5E 13 1B 79 B8 0D", 9, 192},  // A5 landscape, 4958 x 3512
        {3000, 4900, 420, 595, "1B 78 B8 0D 1B 79 5E 13", 32, 21},  // A5
        {4000, 5900, 498, 708, "1B 78 50 10 1B 79 14 17", 11, 3},   // B5, 4176 x 5908
        {5000, 8000, 595, 842, "1B 78 60 13 1B 79 68 1B", 0, 0},   // larger than the paper
        {7000, 7000, 841.89F, 700, "1B 78 67 1B 1B 79 C9 16", 0, 0},  // 841.89 * 600 / 72 is 7,015.75
    };
    for (const auto& c : cases) {
        Parse("no-options.ppd", "", MonoHeader(c.width, c.height, c.pageWidth, c.pageLength));
        EXPECT_EQ(AsBytes(szPaperSizeSelfdefCmd), Hex(c.paperSize)) << c.width;
        EXPECT_EQ(gMarginLeft, c.left) << c.width;
        EXPECT_EQ(gMarginTop, c.top) << c.height;
    }
}

TEST(Settings, DensityWeightAndCopiesFromDefaultsPpdAndJob)
{
    const struct {
        const char* ppd;
        const char* options;
        unsigned copies;
        const char* darkness;
        const char* weight;
        const char* copiesCommand;
    } cases[] = {
        {"no-options.ppd", "", 1, "1C 16 02 42 12", "1C 16 01 42 11", "1B 26 6C 01 00 49 25"},
        {"with-options.ppd", "", 0, "1C 16 02 42 15", "1C 16 01 42 12", "1B 26 6C 01 00 49 25"},
        {"with-options.ppd", "PrintDensity=3 PaperWeight=3", 2, "1C 16 02 42 13", "1C 16 01 42 13",
         "1B 26 6C 02 00 1A 70"},
        // A choice the PPD does not offer is ignored.
        {"with-options.ppd", "PrintDensity=9", 10, "1C 16 02 42 15", "1C 16 01 42 12", "1B 26 6C 0A 00 B3 F9"},
        // A keyword that is not a number reads as 0.
        {"named-choice.ppd", "", 40000, "1C 16 02 42 10", "1C 16 01 42 12", "1B 26 6C 01 00 49 25"},
        {"no-options.ppd", "", 65538, "1C 16 02 42 12", "1C 16 01 42 11", "1B 26 6C 02 00 1A 70"},
        {"no-options.ppd", "", 32767, "1C 16 02 42 12", "1C 16 01 42 11", "1B 26 6C FF 7F FF 9A"},
    };
    for (const auto& c : cases) {
        Parse(c.ppd, c.options, MonoHeader(600, 600, 72, 72, c.copies));
        EXPECT_EQ(AsBytes(szDarknessCmd), Hex(c.darkness)) << c.ppd << " " << c.options;
        EXPECT_EQ(AsBytes(szPaperWeightCmd), Hex(c.weight)) << c.ppd << " " << c.options;
        EXPECT_EQ(AsBytes(szPrintNumCopiesCmd), Hex(c.copiesCommand)) << c.copies;
    }
}

}  // namespace

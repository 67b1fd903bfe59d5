// Row encoder micro-benchmarks: input bytes per second of the filter's
// encoder in each form this processor runs and, beside them in the same
// run, of the plain reference encoder.
//
//   rtm_encoder_bench TEXT.ras HALFTONE.ras [--benchmark_...]
//
// Text and halftone rows are the printed (not blank) rows of the two
// rasters, as the page body hands them to the encoder; white, noise and
// alternating rows are made here at the text raster's row length. Each set
// is at most 1,024 rows taken evenly from the page, small enough to stay in
// the second-level cache as a row just read does in the filter.
#include <benchmark/benchmark.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "driver.h"
#include "reference_encoder.h"
#include "row_encoder.h"

namespace {

using Row = std::vector<std::uint8_t>;
using Encoder = std::uint32_t (*)(const std::uint8_t*, std::uint32_t, std::uint8_t*);

constexpr std::size_t kMaxRows = 1024;

std::vector<Row> PrintedRows(const char* path)
{
    std::vector<Row> rows;
    const int fd = open(path, O_RDONLY);
    if (fd < 0)
        return rows;
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
    cups_page_header2_t header{};
    while (cupsRasterReadHeader2(ras, &header) != 0) {
        Row row(header.cupsBytesPerLine);
        for (unsigned y = 0; y < header.cupsHeight; ++y) {
            if (cupsRasterReadPixels(ras, row.data(), header.cupsBytesPerLine) == 0)
                break;
            if (!IsBlankRow(row.data(), header.cupsBytesPerLine, header.cupsWidth))
                rows.push_back(row);
        }
    }
    cupsRasterClose(ras);
    close(fd);

    if (rows.size() <= kMaxRows)
        return rows;
    std::vector<Row> sample;
    for (std::size_t i = 0; i < kMaxRows; ++i)
        sample.push_back(rows[i * rows.size() / kMaxRows]);
    return sample;
}

std::vector<Row> MadeRows(std::size_t length, std::uint8_t (*byteAt)(std::size_t, std::uint64_t&))
{
    std::vector<Row> rows(kMaxRows, Row(length));
    std::uint64_t state = 0x9E3779B97F4A7C15U;
    for (Row& row : rows)
        for (std::size_t i = 0; i < length; ++i)
            row[i] = byteAt(i, state);
    return rows;
}

std::uint8_t White(std::size_t /*index*/, std::uint64_t& /*state*/)
{
    return 0xFF;
}

std::uint8_t Noise(std::size_t /*index*/, std::uint64_t& state)
{
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return static_cast<std::uint8_t>((state * 0x2545F4914F6CDD1DU) >> 56);
}

std::uint8_t Alternating(std::size_t index, std::uint64_t& /*state*/)
{
    return index % 2 == 0 ? 0x55 : 0xAA;
}

// The row sets, filled by main before the benchmarks run.
std::vector<Row> gText;
std::vector<Row> gHalftone;
std::vector<Row> gWhite;
std::vector<Row> gNoise;
std::vector<Row> gAlternating;

void Encode(benchmark::State& state, Encoder encode, const std::vector<Row>* rows, RowForm form)
{
    const std::span<const RowForm> forms = AvailableRowForms();
    if (std::find(forms.begin(), forms.end(), form) == forms.end()) {
        state.SkipWithError("not on this processor");
        return;
    }
    UseRowForm(form);
    std::size_t longest = 0;
    std::size_t bytes = 0;
    for (const Row& row : *rows) {
        longest = std::max(longest, row.size());
        bytes += row.size();
    }
    Row out(MaxPayloadSize(longest));
    std::size_t payload = 0;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the library's loop idiom
        for (const Row& row : *rows) {
            payload += encode(row.data(), static_cast<std::uint32_t>(row.size()), out.data());
            benchmark::DoNotOptimize(out.data());
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["rows"] = static_cast<double>(rows->size());
    state.counters["payload/row"] =
        static_cast<double>(payload) / static_cast<double>(state.iterations() * rows->size());
    UseRowForm(AvailableRowForms().back());
}

}  // namespace

// Named Encode/ENCODER/ROWS: EncodeRow in each form, and the reference.
BENCHMARK_CAPTURE(Encode, Words/text, EncodeRow, &gText, RowForm::Words);
BENCHMARK_CAPTURE(Encode, Sse2/text, EncodeRow, &gText, RowForm::Sse2);
BENCHMARK_CAPTURE(Encode, Avx2/text, EncodeRow, &gText, RowForm::Avx2);
BENCHMARK_CAPTURE(Encode, Avx512/text, EncodeRow, &gText, RowForm::Avx512);
BENCHMARK_CAPTURE(Encode, ReferenceEncodeRow/text, ReferenceEncodeRow, &gText, RowForm::Words);
BENCHMARK_CAPTURE(Encode, Words/halftone, EncodeRow, &gHalftone, RowForm::Words);
BENCHMARK_CAPTURE(Encode, Sse2/halftone, EncodeRow, &gHalftone, RowForm::Sse2);
BENCHMARK_CAPTURE(Encode, Avx2/halftone, EncodeRow, &gHalftone, RowForm::Avx2);
BENCHMARK_CAPTURE(Encode, Avx512/halftone, EncodeRow, &gHalftone, RowForm::Avx512);
BENCHMARK_CAPTURE(Encode, ReferenceEncodeRow/halftone, ReferenceEncodeRow, &gHalftone, RowForm::Words);
BENCHMARK_CAPTURE(Encode, Words/white, EncodeRow, &gWhite, RowForm::Words);
BENCHMARK_CAPTURE(Encode, Sse2/white, EncodeRow, &gWhite, RowForm::Sse2);
BENCHMARK_CAPTURE(Encode, Avx2/white, EncodeRow, &gWhite, RowForm::Avx2);
BENCHMARK_CAPTURE(Encode, Avx512/white, EncodeRow, &gWhite, RowForm::Avx512);
BENCHMARK_CAPTURE(Encode, ReferenceEncodeRow/white, ReferenceEncodeRow, &gWhite, RowForm::Words);
BENCHMARK_CAPTURE(Encode, Words/noise, EncodeRow, &gNoise, RowForm::Words);
BENCHMARK_CAPTURE(Encode, Sse2/noise, EncodeRow, &gNoise, RowForm::Sse2);
BENCHMARK_CAPTURE(Encode, Avx2/noise, EncodeRow, &gNoise, RowForm::Avx2);
BENCHMARK_CAPTURE(Encode, Avx512/noise, EncodeRow, &gNoise, RowForm::Avx512);
BENCHMARK_CAPTURE(Encode, ReferenceEncodeRow/noise, ReferenceEncodeRow, &gNoise, RowForm::Words);
BENCHMARK_CAPTURE(Encode, Words/alternating, EncodeRow, &gAlternating, RowForm::Words);
BENCHMARK_CAPTURE(Encode, Sse2/alternating, EncodeRow, &gAlternating, RowForm::Sse2);
BENCHMARK_CAPTURE(Encode, Avx2/alternating, EncodeRow, &gAlternating, RowForm::Avx2);
BENCHMARK_CAPTURE(Encode, Avx512/alternating, EncodeRow, &gAlternating, RowForm::Avx512);
BENCHMARK_CAPTURE(Encode, ReferenceEncodeRow/alternating, ReferenceEncodeRow, &gAlternating, RowForm::Words);

int main(int argc, char* argv[])
{
    benchmark::Initialize(&argc, argv);
    if (argc != 3) {
        (void)std::fprintf(stderr, "usage: rtm_encoder_bench TEXT.ras HALFTONE.ras [--benchmark_...]\n");
        return 2;
    }
    gText = PrintedRows(argv[1]);
    gHalftone = PrintedRows(argv[2]);
    if (gText.empty() || gHalftone.empty()) {
        (void)std::fprintf(stderr, "rtm_encoder_bench: no printed rows in %s or %s\n", argv[1], argv[2]);
        return 2;
    }
    const std::size_t length = gText.front().size();
    gWhite = MadeRows(length, White);
    gNoise = MadeRows(length, Noise);
    gAlternating = MadeRows(length, Alternating);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// The row encoder against the plain reference encoder, byte for byte, on
// two million random rows: mostly short ones over few values, where run
// boundaries crowd, with runs of every length up to 200 at every offset or
// of three and four bytes back to back, and now and then a long row of runs
// or of noise; and the white test on the same rows. Each row lies right
// before an unmapped page and is encoded into exactly MaxPayloadSize bytes
// right before another, so a word read or written past either end stops
// the test. Once for every form of the code this processor runs, the
// word-at-a-time one included.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "reference_encoder.h"
#include "row_encoder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The last n bytes before an unmapped page.
std::uint8_t* Guarded(std::size_t capacity, std::size_t n)
{
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t size = (capacity + page - 1) / page * page + page;
    auto* base = static_cast<std::uint8_t*>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base + size - page, page, PROT_NONE);  // never unmapped: one pair per test
    return base + size - page - n;
}

class EncoderOracle : public ::testing::TestWithParam<RowForm> {
protected:
    void SetUp() override { UseRowForm(GetParam()); }
    void TearDown() override
    {
        UseRowForm(AvailableRowForms().back());
        EXPECT_EQ(failures_, 0U) << "rows that differ, of " << rows_;
    }
    void Check(const Bytes& row)
    {
        ++rows_;
        const auto length = static_cast<std::uint32_t>(row.size());
        Bytes expected(MaxPayloadSize(length));
        expected.resize(ReferenceEncodeRow(row.data(), length, expected.data()));
        std::uint8_t* in = input_ + kLongest - row.size();
        if (!row.empty())
            std::memcpy(in, row.data(), row.size());
        std::uint8_t* out = output_ + MaxPayloadSize(kLongest) - MaxPayloadSize(length);
        const std::uint32_t size = EncodeRow(in, length, out);
        const auto isWhite = [](std::uint8_t byte) { return byte == 0xFF; };
        const bool white = std::all_of(row.begin(), row.end(), isWhite);
        if ((size != expected.size() || !std::equal(out, out + size, expected.begin()) || IsWhite(in, length) != white) &&
            ++failures_ <= 3)
            ADD_FAILURE() << "row of " << row.size() << " bytes: " << ::testing::PrintToString(row);
    }

    static constexpr std::size_t kLongest = 8192;
    std::uint64_t rows_ = 0;
    std::uint64_t failures_ = 0;
    std::uint8_t* input_ = Guarded(kLongest, kLongest);
    std::uint8_t* output_ = Guarded(MaxPayloadSize(kLongest), MaxPayloadSize(kLongest));
};

TEST_P(EncoderOracle, MillionsOfRandomRows)
{
    std::mt19937_64 random(20240601);
    Bytes row;
    while (rows_ < 2'000'000) {
        // Mostly short rows over few values, where run boundaries crowd;
        // now and then a long row of runs or of noise, rarely past the masked length.
        const std::uint64_t kind = random() % 16;
        row.resize(random() % (kind < 14 ? 80 : kind == 14 || random() % 16 != 0 ? 1400 : 5000));
        if (kind < 15) {
            const std::uint64_t alphabet = 1 + random() % 3;
            const std::uint8_t base = random() % 2 == 0 ? 0xFF : static_cast<std::uint8_t>(random());
            // Or runs of three and four bytes back to back, as many as fit.
            const bool crowded = random() % 8 == 0;
            for (std::size_t i = 0, n = 0; i < row.size(); ++n) {
                const std::size_t run = std::min<std::size_t>(
                    row.size() - i, crowded ? 3 + random() % 2 : 1 + random() % (random() % 2 == 0 ? 4 : 200));
                std::fill_n(row.begin() + static_cast<long>(i), run,
                            static_cast<std::uint8_t>(base - (crowded ? n % 2 : random() % alphabet)));
                i += run;
            }
        } else {
            for (std::uint8_t& byte : row)
                byte = static_cast<std::uint8_t>(random());
        }
        Check(row);
    }
}

std::string FormName(const ::testing::TestParamInfo<RowForm>& info)
{
    constexpr std::array kNames{"Words", "Sse2", "Avx2", "Avx512"};
    return kNames[static_cast<std::size_t>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Forms, EncoderOracle, ::testing::ValuesIn(AvailableRowForms()), FormName);

}  // namespace

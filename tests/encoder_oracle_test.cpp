// The row encoder against the plain reference encoder, byte for byte, on
// millions of rows: every short row over a few byte values, runs of every
// length around the limits of the run rules, every row length around a
// word, and random rows. Each row is laid right before an unmapped page and
// encoded into a buffer of exactly MaxPayloadSize bytes right before
// another, so a word read or written past either end stops the test. The
// test is built twice: with the encoder as the filter has it, and with its
// portable form, which processors without SSE2 run.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "reference_encoder.h"
#include "row_encoder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kLongestRow = 8192;

// Bytes ending where an unmapped page begins.
class GuardedBytes {
public:
    explicit GuardedBytes(std::size_t capacity)
        : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))),
          size_((capacity + page_ - 1) / page_ * page_ + page_),
          base_(static_cast<std::uint8_t*>(
              mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)))
    {
        if (base_ == MAP_FAILED || mprotect(base_ + size_ - page_, page_, PROT_NONE) != 0)
            throw std::runtime_error("cannot map a guarded buffer");
    }
    ~GuardedBytes() { munmap(base_, size_); }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    // The last n bytes before the guard page.
    [[nodiscard]] std::uint8_t* Last(std::size_t n) const { return base_ + size_ - page_ - n; }

private:
    std::size_t page_;
    std::size_t size_;
    std::uint8_t* base_;
};

class EncoderOracle : public ::testing::Test {
protected:
    // Encodes row both ways and reports the first row that differs.
    void Check(const Bytes& row)
    {
        ++rows_;
        const auto length = static_cast<std::uint32_t>(row.size());
        const std::size_t room = MaxPayloadSize(length);
        expected_.resize(room);
        expected_.resize(ReferenceEncodeRow(row.data(), length, expected_.data()));

        std::uint8_t* in = input_.Last(row.size());
        if (!row.empty())
            std::memcpy(in, row.data(), row.size());
        std::uint8_t* out = output_.Last(room);
        const std::uint32_t size = EncodeRow(in, length, out);
        if (size != expected_.size() || (size != 0 && std::memcmp(out, expected_.data(), size) != 0)) {
            ++failures_;
            if (failures_ <= 3)
                ADD_FAILURE() << "row of " << row.size() << " bytes: " << HexOf(row) << "\n  expected "
                              << HexOf(expected_) << "\n  got      " << HexOf(Bytes(out, out + size));
        }
    }

    void TearDown() override { EXPECT_EQ(failures_, 0U) << "rows that differ, of " << rows_; }

    std::uint64_t rows_ = 0;

private:
    static std::string HexOf(const Bytes& bytes)
    {
        std::string text;
        for (const std::uint8_t byte : bytes) {
            static constexpr char kDigits[] = "0123456789ABCDEF";
            text += kDigits[byte >> 4];
            text += kDigits[byte & 0xF];
            text += ' ';
        }
        return text;
    }

    GuardedBytes input_{kLongestRow};
    GuardedBytes output_{MaxPayloadSize(kLongestRow)};
    Bytes expected_;
    std::uint64_t failures_ = 0;
};

TEST_F(EncoderOracle, EveryShortRowOverThreeByteValues)
{
    // White, black and one grey byte: every run boundary, the trim and the
    // last-two-bytes rule meet in every arrangement up to 11 bytes.
    const std::uint8_t values[] = {0xFF, 0x00, 0x5A};
    for (std::size_t length = 0; length <= 11; ++length) {
        Bytes row(length);
        std::size_t total = 1;
        for (std::size_t i = 0; i < length; ++i)
            total *= 3;
        for (std::size_t code = 0; code < total; ++code) {
            std::size_t digits = code;
            for (std::uint8_t& byte : row) {
                byte = values[digits % 3];
                digits /= 3;
            }
            Check(row);
        }
    }
    EXPECT_GT(rows_, 250000U);
}

TEST_F(EncoderOracle, RunsAroundTheLimitsAtEveryOffset)
{
    // A run of each length that matters (the three that start a repeat, the
    // 127 cap and twice it, a word and its neighbours), after every lead-in
    // up to 33 bytes and before each kind of tail.
    const std::size_t runs[] = {1,  2,  3,  4,  5,  7,   8,   9,   15,  16,  17,  31,  32,
                                33, 63, 64, 65, 126, 127, 128, 129, 130, 253, 254, 255, 256};
    const Bytes tails[] = {{}, {0xFF}, {0xFF, 0xFF, 0xFF}, {0x12}, {0x12, 0x34}, {0x12, 0x12}, {0xFF, 0xF0}};
    for (const std::uint8_t value : {0x00, 0xFF, 0x81}) {
        for (const std::size_t run : runs) {
            for (std::size_t lead = 0; lead <= 33; ++lead) {
                for (const Bytes& tail : tails) {
                    Bytes row;
                    for (std::size_t i = 0; i < lead; ++i)
                        row.push_back(static_cast<std::uint8_t>(0x30 + i % 5));
                    row.insert(row.end(), run, value);
                    row.insert(row.end(), tail.begin(), tail.end());
                    Check(row);
                }
            }
        }
    }
}

TEST_F(EncoderOracle, EveryRowLengthOfTheUsualShapes)
{
    // Lengths 1 to 700 cover every remainder modulo 8, 16 and 32 many times
    // over and reach past the width of a Letter row.
    for (std::size_t length = 1; length <= 700; ++length) {
        Check(Bytes(length, 0xFF));
        Check(Bytes(length, 0x00));
        Bytes alternating(length);
        Bytes pairs(length);
        Bytes trailingWhite(length, 0xFF);
        Bytes text(length, 0xFF);
        for (std::size_t i = 0; i < length; ++i) {
            alternating[i] = i % 2 == 0 ? 0x55 : 0xAA;
            pairs[i] = (i / 2) % 2 == 0 ? 0x00 : 0xFF;
            if (i < length / 2)
                trailingWhite[i] = static_cast<std::uint8_t>(i * 37);
            // glyph-like: short inked stretches between short white gaps
            if (i % 11 < 3 || i % 7 == 0)
                text[i] = static_cast<std::uint8_t>(0xF0 >> (i % 4));
        }
        Check(alternating);
        Check(pairs);
        Check(trailingWhite);
        Check(text);
        // Padding bits clear in the last byte, the rest white.
        Bytes padded(length, 0xFF);
        padded.back() = 0xF0;
        Check(padded);
    }
}

TEST_F(EncoderOracle, MillionsOfRandomRows)
{
    std::mt19937_64 random(20240601);
    Bytes row;
    while (rows_ < 2'000'000) {
        // Mostly short rows over few values, where run boundaries crowd;
        // now and then a full-width row of runs or of plain noise.
        const std::uint64_t kind = random() % 16;
        const std::size_t length = random() % (kind < 14 ? 80 : 1400);
        row.resize(length);
        if (kind < 15) {
            const std::uint64_t alphabet = 1 + random() % 3;
            const std::uint8_t base = random() % 2 == 0 ? 0xFF : static_cast<std::uint8_t>(random());
            for (std::size_t i = 0; i < length;) {
                const std::size_t run = std::min<std::size_t>(length - i, 1 + random() % (random() % 2 == 0 ? 4 : 200));
                const auto value = static_cast<std::uint8_t>(base - random() % alphabet);
                std::fill_n(row.begin() + static_cast<long>(i), run, value);
                i += run;
            }
        } else {
            for (std::uint8_t& byte : row)
                byte = static_cast<std::uint8_t>(random());
        }
        Check(row);
    }
}

}  // namespace

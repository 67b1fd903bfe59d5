#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "output_cache.h"
#include "row_encoder.h"
#include "support.h"

namespace {

Bytes Encode(const Bytes& row)
{
    Bytes out(MaxPayloadSize(row.size()) + 1, 0xEE);
    const std::uint32_t size = EncodeRow(row.data(), static_cast<std::uint32_t>(row.size()), out.data());
    EXPECT_LE(size, MaxPayloadSize(row.size()));
    out.resize(size);
    return out;
}

// Plain TIFF PackBits decoding followed by a complement: the printer's view.
Bytes DecodeToRaster(const Bytes& payload)
{
    Bytes row;
    for (std::size_t i = 0; i < payload.size();) {
        const auto header = static_cast<std::int8_t>(payload[i++]);
        if (header >= 0) {
            for (int n = 0; n <= header; ++n)
                row.push_back(static_cast<std::uint8_t>(~payload.at(i++)));
        } else if (header != -128) {
            row.insert(row.end(), 1 - header, static_cast<std::uint8_t>(~payload.at(i++)));
        }
    }
    return row;
}

TEST(RowEncoder, WorkedExamples)
{
    for (const PayloadExample& example : kPayloadExamples)
        EXPECT_EQ(Encode(Hex(example.row)), Hex(example.payload)) << "row: " << example.row;
}

TEST(RowEncoder, RepeatRunsAreCappedAt127)
{
    EXPECT_EQ(Encode(Bytes(127, 0x00)), Hex("83 FF 00 FF"));
    EXPECT_EQ(Encode(Bytes(129, 0x00)), Hex("82 FF 01 FF FF"));
    EXPECT_EQ(Encode(Bytes(130, 0x55)), Hex("82 AA FE AA"));
    EXPECT_EQ(Encode(Bytes(254, 0x00)), Hex("82 FF 83 FF 00 FF"));
}

TEST(RowEncoder, LiteralRunsAreCappedAt127AndLeaveTheLastTwoBytes)
{
    Bytes row(200);
    std::iota(row.begin(), row.end(), 0);
    Bytes expected = {0x7E};
    for (int i = 0x00; i <= 0x7E; ++i)
        expected.push_back(static_cast<std::uint8_t>(~i));
    expected.push_back(0x46);
    for (int i = 0x7F; i <= 0xC5; ++i)
        expected.push_back(static_cast<std::uint8_t>(~i));
    for (const char* tail : {"01", "39", "38"})
        expected.push_back(Hex(tail)[0]);
    EXPECT_EQ(Encode(row), expected);
}

TEST(RowEncoder, GrowthStopsShortOfTheLastTwoPositions)
{
    // A repeat run reaching the end takes the last byte only when its
    // first three bytes end there.
    EXPECT_EQ(Encode(Hex("01 05 05 05")), Hex("00 FE FE FA"));
    EXPECT_EQ(Encode(Hex("01 05 05 05 05")), Hex("00 FE FE FA 00 FA"));
    EXPECT_EQ(Encode(Hex("05 05 05 05 05 05")), Hex("FC FA 00 FA"));
    // Two equal bytes inside varying data stay in the literal run.
    EXPECT_EQ(Encode(Hex("01 02 02 03 04")), Hex("02 FE FD FD 01 FC FB"));
    // Three equal bytes end a literal run.
    EXPECT_EQ(Encode(Hex("01 02 07 07 07 09")), Hex("01 FE FD FE F8 00 F6"));
}

TEST(RowEncoder, OnlyTrailingWhiteIsCut)
{
    EXPECT_EQ(Encode(Hex("FF FF FF 00 FF")), Hex("FE 00 00 FF"));
    EXPECT_EQ(Encode(Hex("FF 00 FF FF 00")), Hex("02 00 FF 00 01 00 FF"));
}

TEST(RowEncoder, RandomAndStructuredRowsDecodeBackAndNeverUseReservedHeaders)
{
    std::mt19937 random(2024);
    for (int round = 0; round < 20000; ++round) {
        const std::size_t length = random() % 300;
        Bytes row(length);
        // Few distinct values make runs of every length likely.
        const unsigned alphabet = 1 + random() % 4;
        for (std::uint8_t& byte : row)
            byte = static_cast<std::uint8_t>(0xFF - random() % alphabet);
        const Bytes payload = Encode(row);

        std::size_t end = row.size();
        while (end > 0 && row[end - 1] == 0xFF)
            --end;
        ASSERT_EQ(DecodeToRaster(payload), Bytes(row.begin(), row.begin() + static_cast<long>(end)));
        for (std::size_t i = 0; i < payload.size();) {
            const std::uint8_t header = payload[i];
            ASSERT_TRUE(header != 0x7F && header != 0x80 && header != 0x81 && header != 0xFF);
            i += header < 0x80 ? header + 2U : 2U;
        }
    }
}

TEST(RowEncoder, SendsTheRowCommandWithItsLength)
{
    ResetImageCache();
    szCompressBuf.reset(new std::uint8_t[64]);
    const Bytes row = Hex("12 34 FF");
    const Bytes white = Hex("FF FF");
    const Capture sent = CaptureStdout(
        [&] {
            CompressDataAndSend(row.data(), 3);
            CompressDataAndSend(white.data(), 2);
            gJobFinishFlag = 1;
            ImageDataCpy(nullptr, 0);
        },
        true);
    EXPECT_EQ(sent.All(), Hex("1B 2A 41 02 03 00 01 ED CB  1B 2A 41 02 00 00"));
    szCompressBuf.reset();
}

TEST(RowEncoder, LengthFieldIsLittleEndian)
{
    ResetImageCache();
    Bytes row(400);
    std::iota(row.begin(), row.end(), 0);  // wraps at 256: no runs of three
    szCompressBuf.reset(new std::uint8_t[MaxPayloadSize(row.size())]);
    const Capture sent = CaptureStdout(
        [&] {
            CompressDataAndSend(row.data(), 400);
            gJobFinishFlag = 1;
            ImageDataCpy(nullptr, 0);
        },
        true);
    const Bytes all = sent.All();
    ASSERT_GE(all.size(), 6U);
    const std::size_t length = all[4] | (all[5] << 8);
    EXPECT_EQ(length, all.size() - 6);
    EXPECT_GT(length, 255U);
    szCompressBuf.reset();
}

}  // namespace

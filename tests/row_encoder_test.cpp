#include <gtest/gtest.h>

#include <numeric>

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

TEST(RowEncoder, WorkedExamples)
{
    for (const PayloadExample& example : kPayloadExamples)
        EXPECT_EQ(Encode(Hex(example.row)), Hex(example.payload)) << "row: " << example.row;
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

TEST(RowEncoder, SendsTheRowCommandWithItsLittleEndianLength)
{
    ResetImageCache();
    Bytes wide(400);
    std::iota(wide.begin(), wide.end(), 0);  // wraps at 256: no runs of three
    ASSERT_GT(Encode(wide).size(), 255U);
    szCompressBuf.reset(new std::uint8_t[MaxPayloadSize(wide.size())]);
    const Bytes row = Hex("12 34 FF");
    const Bytes white = Hex("FF FF");
    const Capture sent = CaptureStdout(
        [&] {
            CompressDataAndSend(row.data(), 3);
            CompressDataAndSend(white.data(), 2);
            CompressDataAndSend(wide.data(), 400);
            gJobFinishFlag = 1;
            ImageDataCpy(nullptr, 0);
        },
        true);
    EXPECT_EQ(sent.All(), Cat({Hex("1B 2A 41 02 03 00 01 ED CB  1B 2A 41 02 00 00"), RowCommand(Encode(wide))}));
    szCompressBuf.reset();
}

}  // namespace

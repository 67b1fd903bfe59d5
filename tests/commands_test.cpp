#include <gtest/gtest.h>

#include <string>

#include "commands.h"
#include "support.h"

namespace {

std::uint16_t Crc(const Bytes& bytes)
{
    return cyg_crc16(bytes.data(), static_cast<int>(bytes.size()));
}

TEST(Crc16, CopiesCommandExamples)
{
    EXPECT_EQ(Crc(Hex("1B 26 6C 01 00")), 0x2549);
    EXPECT_EQ(Crc(Hex("1B 26 6C 02 00")), 0x701A);
    EXPECT_EQ(Crc(Hex("1B 26 6C 0A 00")), 0xF9B3);
}

TEST(Crc16, IsXmodemWithItsCheckValue)
{
    const std::string check = "123456789";
    EXPECT_EQ(cyg_crc16(reinterpret_cast<const std::uint8_t*>(check.data()), 9), 0x31C3);
    EXPECT_EQ(crc16_tab[1], 0x1021);
    EXPECT_EQ(crc16_tab[255], 0x1EF0);
}

TEST(Crc16, EmptyOrNegativeCountGivesZero)
{
    const Bytes bytes = Hex("1B 26");
    EXPECT_EQ(cyg_crc16(bytes.data(), 0), 0);
    EXPECT_EQ(cyg_crc16(bytes.data(), -5), 0);
}

}  // namespace

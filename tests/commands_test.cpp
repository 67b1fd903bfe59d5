#include <gtest/gtest.h>

#include <string>

#include "commands.h"
#include "support.h"

namespace {

TEST(Crc16, IsXmodemWithItsCheckValueAndZeroForNoBytes)
{
    const std::string check = "123456789";
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(check.data());
    EXPECT_EQ(cyg_crc16(bytes, 9), 0x31C3);
    EXPECT_EQ(crc16_tab[1], 0x1021);
    EXPECT_EQ(crc16_tab[255], 0x1EF0);
    EXPECT_EQ(cyg_crc16(bytes, 0), 0);
    EXPECT_EQ(cyg_crc16(bytes, -5), 0);
}

}  // namespace

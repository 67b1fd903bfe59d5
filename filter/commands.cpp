#include "commands.h"

std::array<std::uint8_t, 5> szPaperWeightCmd = {0x1C, 0x16, 0x01, 0x42, 0x11};
std::array<std::uint8_t, 5> szDarknessCmd = {0x1C, 0x16, 0x02, 0x42, 0x12};
std::array<std::uint8_t, 8> szPaperSizeSelfdefCmd = {0x1B, 0x78, 0x00, 0x00, 0x1B, 0x79, 0x00, 0x00};
std::array<std::uint8_t, 7> szPrintNumCopiesCmd = {0x1B, 0x26, 0x6C, 0x01, 0x00, 0x49, 0x25};

namespace {

constexpr std::array<std::uint16_t, 256> MakeCrc16Table()
{
    std::array<std::uint16_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
        table[i] = static_cast<std::uint16_t>(crc & 0xFFFF);
    }
    return table;
}

}  // namespace

const std::array<std::uint16_t, 256> crc16_tab = MakeCrc16Table();

std::uint16_t cyg_crc16(const std::uint8_t* buf, int len)
{
    std::uint32_t crc = 0;
    for (int i = 0; i < len; ++i)
        crc = ((crc << 8) ^ crc16_tab[((crc >> 8) ^ buf[i]) & 0xFF]) & 0xFFFF;
    return static_cast<std::uint16_t>(crc);
}

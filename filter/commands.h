// The printer's command set: every command the filter sends, as byte
// templates, and the CRC-16 that guards the copies command.
//
// ESC is 0x1B, FS is 0x1C. Every 16-bit field is little-endian. Only the
// settings templates are writable; the job settings patch their variable
// fields at the offsets named below before the settings block goes out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// 1,024 zero bytes open every job.
inline constexpr std::array<std::uint8_t, 1024> szZeroCmd{};

// ESC "&B" ESC "%-98765X"
inline constexpr std::array<std::uint8_t, 12> szInitCmd = {
    0x1B, 0x26, 0x42, 0x1B, 0x25, 0x2D, 0x39, 0x38, 0x37, 0x36, 0x35, 0x58};

// FS 16 sel 42 value: the value byte is the setting plus 0x10.
extern std::array<std::uint8_t, 5> szPaperWeightCmd;  // sel 01
extern std::array<std::uint8_t, 5> szDarknessCmd;     // sel 02
inline constexpr std::array<std::uint8_t, 5> szRenderTypeCmd = {0x1C, 0x16, 0x03, 0x42, 0x10};
inline constexpr std::size_t kSettingValueAt = 4;
inline constexpr std::uint8_t kSettingValueBias = 0x10;

// ESC 26 41 sel ...: sel 01 input bin, sel 03 resolution.
inline constexpr std::array<std::uint8_t, 6> szInputBinCmd = {0x1B, 0x26, 0x41, 0x01, 0x00, 0x01};
inline constexpr std::array<std::uint8_t, 7> szResolutionCmd = {
    0x1B, 0x26, 0x41, 0x03, 0x00, 0x00, 0x00};

// ESC 78 width, ESC 79 height (dots), sent as one unit.
extern std::array<std::uint8_t, 8> szPaperSizeSelfdefCmd;
inline constexpr std::size_t kPaperWidthAt = 2;
inline constexpr std::size_t kPaperHeightAt = 6;

// ESC 26 6C copies crc: the CRC-16 covers the five bytes before it.
extern std::array<std::uint8_t, 7> szPrintNumCopiesCmd;
inline constexpr std::size_t kCopiesAt = 3;
inline constexpr std::size_t kCopiesCrcAt = 5;

inline constexpr std::array<std::uint8_t, 9> szStartPageCmd = {
    0x1B, 0x24, 0x41, 0x1B, 0x21, 0x41, 0x00, 0x00, 0x00};
// One white row; the 16-bit count is always 1.
inline constexpr std::array<std::uint8_t, 5> szBlankLineCmd = {0x1B, 0x2A, 0x42, 0x01, 0x00};
inline constexpr std::array<std::uint8_t, 3> szEndPageCmd = {0x1B, 0x24, 0x42};

// A printed row: these four bytes, the 16-bit payload length, the payload.
inline constexpr std::array<std::uint8_t, 4> kRowCmdPrefix = {0x1B, 0x2A, 0x41, 0x02};
inline constexpr std::size_t kRowCmdHeaderSize = 6;

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final XOR.
extern const std::array<std::uint16_t, 256> crc16_tab;
std::uint16_t cyg_crc16(const std::uint8_t* buf, int len);

inline void PutLe16(std::uint8_t* at, std::uint32_t value)
{
    at[0] = static_cast<std::uint8_t>(value & 0xFF);
    at[1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

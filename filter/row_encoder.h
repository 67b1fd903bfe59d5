// The row encoder: one raster row becomes one row command.
//
// Trailing white is cut, the rest is run-length coded PackBits-style and
// every data byte is complemented on the way, because the raster says
// 1 = white and the printer says 1 = black. Run headers:
//   00..7E  literal run of h + 1 bytes, which follow
//   FE..82  repeat run of 1 - h bytes (3..127), one byte follows
#pragma once

#include <cstdint>
#include <memory>

// Encoder output for the current page, allocated by the page body.
extern std::unique_ptr<std::uint8_t[]> szCompressBuf;

// The payload of a row of `length` bytes never exceeds twice its length.
inline constexpr std::uint64_t MaxPayloadSize(std::uint64_t length)
{
    return length * 2;
}

// Codes row[0, length) into out and returns the payload length.
std::uint32_t EncodeRow(const std::uint8_t* row, std::uint32_t length, std::uint8_t* out);

// Encodes dataLine[0, length) into szCompressBuf and sends the row command.
void CompressDataAndSend(const std::uint8_t* dataLine, std::uint32_t length);

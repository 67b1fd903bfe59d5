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
#include <span>

// Encoder output for the current page, allocated by the page body: the row
// command's header, then the payload.
extern std::unique_ptr<std::uint8_t[]> szCompressBuf;

// The payload of a row of `length` bytes never exceeds twice its length.
inline constexpr std::uint64_t MaxPayloadSize(std::uint64_t length)
{
    return length * 2;
}

// Codes row[0, length) into out and returns the payload length.
std::uint32_t EncodeRow(const std::uint8_t* row, std::uint32_t length, std::uint8_t* out);

// True when every byte of row[0, n) is white (0xFF).
bool IsWhite(const std::uint8_t* row, std::uint32_t n);

// Encodes dataLine[0, length) into szCompressBuf and sends the row command.
void CompressDataAndSend(const std::uint8_t* dataLine, std::uint32_t length);

// The same code built for several processor generations: the word-at-a-time
// form runs anywhere, the others use the vector units of x86-64. The widest
// form the processor has is chosen when the program starts; all give the
// same bytes.
enum class RowForm { Words, Sse2, Avx2, Avx512 };

// The forms this processor runs, narrowest first; the program uses the last.
std::span<const RowForm> AvailableRowForms();

// Makes EncodeRow and IsWhite use `form`, which must be available.
void UseRowForm(RowForm form);

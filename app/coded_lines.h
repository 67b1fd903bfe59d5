// Lines as PWG raster and compressed CUPS raster code them. A coded line
// is a repeat byte (the line stands for 1 + that many lines), then runs
// until the line's bytes are all given: 0-127 repeats the next byte 1 +
// that many times, 129-255 copies the next 257 - that many bytes, 128
// fills the rest of the line with white. A run longer than what is left of
// the line is cut there, as libcups reads it.
//
// A client's PWG raster is decoded a coded line at a time, and a 1-bit
// page's line goes to the filter once for all the rows it stands for. The
// filter's rows are coded in copied runs: libcups reads those a run at a
// time, but a repeated byte one byte at a time.
#pragma once

#include <cups/raster.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The byte a 128 run fills the page's lines with: 0xFF where 1 bits are
// paper (W, SW), else 0x00, as libcups fills it.
std::uint8_t ClearFill(const cups_page_header2_t& header);

// Decodes one coded line's runs into `line`; returns the bytes of `runs`
// used, or 0 when `runs` ends first.
std::size_t DecodeRuns(std::span<const std::uint8_t> runs, std::span<std::uint8_t> line, std::uint8_t clearFill);

// Appends `row` to `out` as one coded line standing for `lines` (1-256)
// rows, in copied runs: rows made here are not worth searching for repeats.
void CodeRow(std::span<const std::uint8_t> row, unsigned lines, std::vector<std::uint8_t>& out);

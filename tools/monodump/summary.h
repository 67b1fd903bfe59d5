// The readable summary of a job: one line for the settings, one per page
// and one for the whole stream, in a fixed form that scripts can grep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "decode.h"

// The nearest common paper size within 2 mm on both sides ("A4",
// "Letter landscape"), or "custom".
std::string PaperName(std::uint32_t widthDots, std::uint32_t heightDots);

double DotsToMillimetres(std::uint32_t dots);

struct RowCounts {
    std::uint64_t rows = 0;
    std::uint64_t blank = 0;
    std::uint64_t encoded = 0;
    std::uint64_t bytes = 0;        // of the commands counted
    std::uint64_t rasterBytes = 0;  // the same rows sent uncompressed, a whole paper width each
};

RowCounts CountPage(const DecodedPage& page, const JobSettings& settings);
void Add(RowCounts& total, const RowCounts& page);

// "settings: density=2 weight=1 paper=4960x7016 dots (210.0x297.0 mm, A4) copies=1"
std::string SettingsLine(const JobSettings& settings);
// "page 1: rows=7016 blank=6000 encoded=1016 bytes=91234 ratio=47.7"
std::string PageLine(std::uint32_t number, const RowCounts& counts);
// "total: pages=1 rows=... bytes=<the whole stream> ratio=..."
std::string TotalLine(std::uint32_t pages, const RowCounts& counts);

// Reading a printer command stream back into what the printer would do
// with it: the job settings and, for every page, one row per row command,
// expanded to the dots it prints.
//
// The stream must be exactly what rastertomono sends: 1,024 zero bytes,
// init, the settings block when pages follow, then pages framed by
// start-page and end-page with one command per row. The first byte that
// breaks this order or the command layout is reported with its offset;
// nothing past it is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

using InkBytes = std::vector<std::uint8_t>;

struct JobSettings {
    std::int32_t density;       // darkness value byte minus 0x10
    std::int32_t weight;        // paper-weight value byte minus 0x10
    std::uint16_t paperWidth;   // dots at 600 dpi
    std::uint16_t paperHeight;  // dots at 600 dpi
    std::uint16_t copies;
};

struct DecodedRow {
    std::size_t offset = 0;                 // of the row's command in the stream
    bool blank = false;                     // a blank-row command
    std::span<const std::uint8_t> payload;  // a row command's payload, inside the stream
    // The row's bytes as the printer takes them, 1 = black, from the left
    // edge of the paper; trailing white is not sent, so rows are as long
    // as their last black byte.
    InkBytes ink;
};

struct DecodedPage {
    std::size_t offset = 0;  // of start-page
    std::size_t bytes = 0;   // start-page through end-page
    std::uint32_t blankRows = 0;
    std::uint32_t encodedRows = 0;
    std::vector<DecodedRow> rows;  // row 0 is the first command after start-page
};

struct Violation {
    std::size_t offset;  // of the first byte that breaks the rules
    std::string found;
    std::string expected;
};

// "offset N: <found>, expected <expected>"
std::string Describe(const Violation& violation);

// A stream read page by page, so that only one decoded page need be held.
struct StreamDecoder {
    std::span<const std::uint8_t> stream;
    std::size_t at = 0;                   // next byte to read
    std::optional<JobSettings> settings;  // once the settings block has been read
    std::uint32_t pages = 0;              // pages read whole
    std::optional<Violation> violation;   // set at the first broken rule; reading stops there
};

// Starts reading stream, which must outlive the decoder and the pages read
// from it: the preamble, init and, unless the stream ends after init, the
// settings block.
void DecodeJobStart(StreamDecoder& decoder, std::span<const std::uint8_t> stream);

// Reads the next page into page. Returns false at a clean end of the
// stream or when the page breaks a rule (decoder.violation then says
// where; page holds the rows read before it).
bool DecodeNextPage(StreamDecoder& decoder, DecodedPage& page);

struct DecodedJob {
    std::optional<JobSettings> settings;
    std::vector<DecodedPage> pages;  // the pages read whole
    std::optional<Violation> violation;
};

// The whole stream at once.
DecodedJob DecodeJob(std::span<const std::uint8_t> stream);

// Expands one row payload: headers 00..7E open a literal run of h + 1
// bytes, FE..82 repeat the next byte 1 - h times (3..127). offset is the
// payload's position in the stream, for the report.
std::optional<Violation> ExpandRowPayload(std::span<const std::uint8_t> payload, std::size_t offset,
                                          InkBytes& ink);

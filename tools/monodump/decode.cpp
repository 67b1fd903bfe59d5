#include "decode.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "commands.h"

namespace {

constexpr std::size_t kPreambleSize = szZeroCmd.size();

// A command as it must appear on the wire: fixed bytes, and the bytes
// that carry a value (bit i of variable set for byte i).
struct Shape {
    const char* name;
    std::span<const std::uint8_t> bytes;
    std::uint32_t variable;
};

constexpr std::array<std::uint8_t, kRowCmdHeaderSize> kRowHeader = {
    kRowCmdPrefix[0], kRowCmdPrefix[1], kRowCmdPrefix[2], kRowCmdPrefix[3], 0, 0};
constexpr std::size_t kRowLengthAt = kRowCmdPrefix.size();

constexpr std::uint32_t Bit(std::size_t i)
{
    return 1U << i;
}

const Shape kInit{"init command", szInitCmd, 0};
const Shape kPaperWeight{"paper-weight command", szPaperWeightCmd, Bit(kSettingValueAt)};
const Shape kDarkness{"darkness command", szDarknessCmd, Bit(kSettingValueAt)};
const Shape kRenderType{"render-type command", szRenderTypeCmd, 0};
const Shape kInputBin{"input-bin command", szInputBinCmd, 0};
const Shape kPaperSize{"paper-size command", szPaperSizeSelfdefCmd,
                       Bit(kPaperWidthAt) | Bit(kPaperWidthAt + 1) | Bit(kPaperHeightAt) |
                           Bit(kPaperHeightAt + 1)};
const Shape kResolution{"resolution command", szResolutionCmd, 0};
const Shape kCopies{"copies command", szPrintNumCopiesCmd,
                    Bit(kCopiesAt) | Bit(kCopiesAt + 1) | Bit(kCopiesCrcAt) | Bit(kCopiesCrcAt + 1)};
const Shape kStartPage{"start-page command", szStartPageCmd, 0};
const Shape kBlankRow{"blank-row command", szBlankLineCmd, 0};
const Shape kRow{"row command", kRowHeader, Bit(kRowLengthAt) | Bit(kRowLengthAt + 1)};
const Shape kEndPage{"end-page command", szEndPageCmd, 0};

// The settings block, in the one order the printer is sent it.
const std::array<const Shape*, 7> kSettingsBlock = {&kPaperWeight, &kDarkness,   &kRenderType, &kInputBin,
                                                    &kPaperSize,   &kResolution, &kCopies};
const std::array<const Shape*, 12> kAllShapes = {&kInit,      &kPaperWeight, &kDarkness, &kRenderType,
                                                 &kInputBin,  &kPaperSize,   &kResolution, &kCopies,
                                                 &kStartPage, &kBlankRow,    &kRow,        &kEndPage};

std::string HexByte(std::uint8_t byte)
{
    std::array<char, 3> text{};
    (void)std::snprintf(text.data(), text.size(), "%02X", byte);
    return text.data();
}

std::string HexBytes(std::span<const std::uint8_t> bytes)
{
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (!text.empty())
            text += ' ';
        text += HexByte(byte);
    }
    return text;
}

// "1B 78 .. .. 1B 79 .. ..": the bytes that carry a value shown as dots.
std::string Pattern(const Shape& shape)
{
    std::string text;
    for (std::size_t i = 0; i < shape.bytes.size(); ++i) {
        if (i != 0)
            text += ' ';
        text += (shape.variable & Bit(i)) != 0 ? ".." : HexByte(shape.bytes[i]);
    }
    return text;
}

std::string Named(const Shape& shape)
{
    return std::string(shape.name) + " " + Pattern(shape);
}

// How many leading bytes at `at` fit the shape, up to the end of the stream.
std::size_t Matched(std::span<const std::uint8_t> stream, std::size_t at, const Shape& shape)
{
    std::size_t i = 0;
    while (i < shape.bytes.size() && at + i < stream.size() &&
           ((shape.variable & Bit(i)) != 0 || stream[at + i] == shape.bytes[i]))
        ++i;
    return i;
}

bool Fits(std::span<const std::uint8_t> stream, std::size_t at, const Shape& shape)
{
    return Matched(stream, at, shape) == shape.bytes.size();
}

std::uint16_t Le16(std::span<const std::uint8_t> stream, std::size_t at)
{
    return static_cast<std::uint16_t>(stream[at] | (stream[at + 1] << 8));
}

std::string FoundAt(std::span<const std::uint8_t> stream, std::size_t at)
{
    if (at >= stream.size())
        return "end of stream";
    const auto* known = std::find_if(kAllShapes.begin(), kAllShapes.end(),
                                     [&](const Shape* shape) { return Fits(stream, at, *shape); });
    if (known != kAllShapes.end())
        return (*known)->name;
    constexpr std::size_t kShown = 6;
    const std::size_t shown = std::min(kShown, stream.size() - at);
    std::string text = "bytes " + HexBytes(stream.subspan(at, shown));
    if (at + shown < stream.size())
        text += " ...";
    return text;
}

std::string OneOf(std::span<const Shape* const> shapes)
{
    std::string text;
    for (std::size_t i = 0; i < shapes.size(); ++i) {
        if (i != 0)
            text += i + 1 == shapes.size() ? " or " : ", ";
        text += Named(*shapes[i]);
    }
    return text;
}

// What went wrong at `at`, where one of the candidates had to begin. When
// one candidate is clearly meant (three or more bytes fit), the report
// points at its first wrong byte.
Violation Mismatch(std::span<const std::uint8_t> stream, std::size_t at, std::span<const Shape* const> candidates,
                   const std::string& otherwise = "")
{
    const std::string orEnd = otherwise.empty() ? "" : ", " + otherwise;
    std::size_t best = 0;
    const Shape* meant = nullptr;
    std::vector<const Shape*> cutShort;
    for (const Shape* shape : candidates) {
        const std::size_t matched = Matched(stream, at, *shape);
        if (at + matched == stream.size())
            cutShort.push_back(shape);
        if (matched > best) {
            best = matched;
            meant = shape;
        } else if (matched == best) {
            meant = nullptr;
        }
    }
    if (at >= stream.size())
        return {stream.size(), "end of stream", OneOf(candidates) + orEnd};
    if (!cutShort.empty())
        return {stream.size(), "end of stream", "the rest of the " + OneOf(cutShort)};
    constexpr std::size_t kClearlyMeant = 3;
    if (meant != nullptr && best >= kClearlyMeant)
        return {at + best, "byte " + HexByte(stream[at + best]),
                HexByte(meant->bytes[best]) + " of the " + Named(*meant)};
    return {at, FoundAt(stream, at), OneOf(candidates) + orEnd};
}

Violation Mismatch(std::span<const std::uint8_t> stream, std::size_t at, const Shape& expected,
                   const std::string& otherwise = "")
{
    const std::array<const Shape*, 1> candidates = {&expected};
    return Mismatch(stream, at, candidates, otherwise);
}

bool ReadPreamble(StreamDecoder& decoder)
{
    const std::span<const std::uint8_t> stream = decoder.stream;
    const std::size_t limit = std::min(kPreambleSize, stream.size());
    const auto nonZero = std::find_if(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(limit),
                                       [](std::uint8_t byte) { return byte != 0; });
    const auto at = static_cast<std::size_t>(nonZero - stream.begin());
    if (at < limit) {
        decoder.violation = Violation{at, "byte " + HexByte(stream[at]), "00: every job opens with 1024 zero bytes"};
        return false;
    }
    if (limit < kPreambleSize) {
        decoder.violation =
            Violation{stream.size(), "end of stream", "the rest of the 1024 zero bytes that open every job"};
        return false;
    }
    decoder.at = kPreambleSize;
    return true;
}

bool ReadCommand(StreamDecoder& decoder, const Shape& shape, const std::string& otherwise = "")
{
    if (!Fits(decoder.stream, decoder.at, shape)) {
        decoder.violation = Mismatch(decoder.stream, decoder.at, shape, otherwise);
        return false;
    }
    decoder.at += shape.bytes.size();
    return true;
}

std::int32_t SettingValue(std::uint8_t byte)
{
    return static_cast<std::int32_t>(byte) - kSettingValueBias;
}

bool ReadSettingsBlock(StreamDecoder& decoder)
{
    const std::span<const std::uint8_t> stream = decoder.stream;
    JobSettings settings{};
    for (const Shape* shape : kSettingsBlock) {
        const std::size_t at = decoder.at;
        if (!ReadCommand(decoder, *shape, shape == &kPaperWeight ? "which opens the settings block" : ""))
            return false;
        if (shape == &kPaperWeight) {
            settings.weight = SettingValue(stream[at + kSettingValueAt]);
        } else if (shape == &kDarkness) {
            settings.density = SettingValue(stream[at + kSettingValueAt]);
        } else if (shape == &kPaperSize) {
            settings.paperWidth = Le16(stream, at + kPaperWidthAt);
            settings.paperHeight = Le16(stream, at + kPaperHeightAt);
        } else if (shape == &kCopies) {
            const std::uint16_t crc = cyg_crc16(&stream[at], static_cast<int>(kCopiesCrcAt));
            if (Le16(stream, at + kCopiesCrcAt) != crc) {
                const std::array<std::uint8_t, 2> wanted = {static_cast<std::uint8_t>(crc & 0xFF),
                                                            static_cast<std::uint8_t>(crc >> 8)};
                decoder.violation =
                    Violation{at + kCopiesCrcAt, "CRC-16 " + HexBytes(stream.subspan(at + kCopiesCrcAt, 2)),
                              HexBytes(wanted) + ", the CRC-16 of " + HexBytes(stream.subspan(at, kCopiesCrcAt))};
                return false;
            }
            settings.copies = Le16(stream, at + kCopiesAt);
            // The filter sends at least one copy and never a count that
            // reads as negative in 16 bits.
            if (settings.copies == 0 || settings.copies > 0x7FFF) {
                decoder.violation = Violation{at + kCopiesAt, "copy count " + std::to_string(settings.copies),
                                     "a count from 1 to 32767"};
                return false;
            }
        }
    }
    decoder.settings = settings;
    return true;
}

bool ReadRowCommand(StreamDecoder& decoder, DecodedRow& row)
{
    const std::span<const std::uint8_t> stream = decoder.stream;
    const std::size_t at = decoder.at;
    const std::size_t length = Le16(stream, at + kRowLengthAt);
    const std::size_t payloadAt = at + kRowCmdHeaderSize;
    const std::size_t present = stream.size() - payloadAt;
    if (present < length) {
        decoder.violation = Violation{stream.size(),
                             "end of stream after " + std::to_string(present) + " of the row's payload bytes",
                             std::to_string(length) + " payload bytes, as the length field at offset " +
                                 std::to_string(at + kRowLengthAt) + " says"};
        return false;
    }
    row.payload = stream.subspan(payloadAt, length);
    if (auto broken = ExpandRowPayload(row.payload, payloadAt, row.ink)) {
        decoder.violation = std::move(broken);
        return false;
    }
    decoder.at = payloadAt + length;
    return true;
}

}  // namespace

std::string Describe(const Violation& violation)
{
    return "offset " + std::to_string(violation.offset) + ": " + violation.found + ", expected " +
           violation.expected;
}

std::optional<Violation> ExpandRowPayload(std::span<const std::uint8_t> payload, std::size_t offset,
                                          InkBytes& ink)
{
    constexpr std::uint8_t kLastLiteral = 0x7E;
    constexpr std::uint8_t kLongestRepeat = 0x82;  // 127 copies
    constexpr std::uint8_t kShortestRepeat = 0xFE;  // 3 copies
    const std::string runsEndWithPayload =
        "runs that end where the " + std::to_string(payload.size()) + "-byte payload ends";

    ink.clear();
    std::size_t i = 0;
    while (i < payload.size()) {
        const std::uint8_t header = payload[i];
        const std::size_t left = payload.size() - i - 1;
        if (header <= kLastLiteral) {
            const std::size_t count = header + 1U;
            if (count > left)
                return Violation{offset + i,
                                 "literal run of " + std::to_string(count) + " bytes with " +
                                     std::to_string(left) + " payload bytes left",
                                 runsEndWithPayload};
            ink.insert(ink.end(), payload.begin() + static_cast<std::ptrdiff_t>(i + 1),
                       payload.begin() + static_cast<std::ptrdiff_t>(i + 1 + count));
            i += 1 + count;
        } else if (header >= kLongestRepeat && header <= kShortestRepeat) {
            const std::size_t count = 257U - header;
            if (left == 0)
                return Violation{offset + i,
                                 "repeat run of " + std::to_string(count) + " with its byte missing",
                                 runsEndWithPayload};
            ink.insert(ink.end(), count, payload[i + 1]);
            i += 2;
        } else {
            return Violation{offset + i, "run header " + HexByte(header),
                             "a literal-run header 00..7E or a repeat-run header 82..FE"};
        }
    }
    return std::nullopt;
}

void DecodeJobStart(StreamDecoder& decoder, std::span<const std::uint8_t> stream)
{
    decoder.stream = stream;
    decoder.at = 0;
    decoder.settings.reset();
    decoder.pages = 0;
    decoder.violation.reset();
    if (!ReadPreamble(decoder) || !ReadCommand(decoder, kInit))
        return;
    // A job without pages ends after init.
    if (decoder.at == decoder.stream.size())
        return;
    if (!ReadSettingsBlock(decoder))
        return;
    if (decoder.at == decoder.stream.size())
        decoder.violation = Violation{decoder.at, "end of stream",
                             Named(kStartPage) + ": the settings block is only sent before a first page"};
}

bool DecodeNextPage(StreamDecoder& decoder, DecodedPage& page)
{
    page = DecodedPage{};
    if (decoder.violation || decoder.at >= decoder.stream.size())
        return false;
    page.offset = decoder.at;
    if (!ReadCommand(decoder, kStartPage, "or the end of the stream"))
        return false;

    const std::array<const Shape*, 3> inPage = {&kRow, &kBlankRow, &kEndPage};
    for (;;) {
        const std::size_t at = decoder.at;
        if (Fits(decoder.stream, at, kEndPage)) {
            decoder.at += kEndPage.bytes.size();
            page.bytes = decoder.at - page.offset;
            ++decoder.pages;
            return true;
        }
        DecodedRow row;
        row.offset = at;
        if (Fits(decoder.stream, at, kBlankRow)) {
            row.blank = true;
            decoder.at += kBlankRow.bytes.size();
            ++page.blankRows;
        } else if (Fits(decoder.stream, at, kRow)) {
            if (!ReadRowCommand(decoder, row))
                return false;
            ++page.encodedRows;
        } else {
            decoder.violation = Mismatch(decoder.stream, at, inPage);
            if (at >= decoder.stream.size())
                decoder.violation->found = "end of stream inside page " + std::to_string(decoder.pages + 1);
            return false;
        }
        page.rows.push_back(std::move(row));
    }
}

DecodedJob DecodeJob(std::span<const std::uint8_t> stream)
{
    StreamDecoder decoder;
    DecodeJobStart(decoder, stream);
    DecodedJob job;
    DecodedPage page;
    while (DecodeNextPage(decoder, page))
        job.pages.push_back(std::move(page));
    job.settings = decoder.settings;
    job.violation = decoder.violation;
    return job;
}

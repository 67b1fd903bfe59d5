#include "row_encoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "commands.h"
#include "output_cache.h"

std::unique_ptr<std::uint8_t[]> szCompressBuf;

// The encoder sees every printed row of every page, so it looks at eight
// bytes at a time. A text row is long stretches of white broken by short
// literals and short runs of white between the strokes; scanning it a byte
// at a time, or even a word at a time with a fresh look per run, spends
// nearly all of the filter's time there, waiting on each run to find where
// the next one starts. The runs produced are exactly those of a plain
// byte-at-a-time scan (the tests hold a copy of one as the oracle).
namespace {

constexpr std::uint32_t kMaxRun = 127;
constexpr std::uint32_t kWord = 8;
constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};
constexpr std::uint64_t kEveryByte = kAllOnes / 0xFF;  // 0x0101...01
constexpr std::uint64_t kByteMarks = kEveryByte * 0x80;

// Words are read and written with the byte at the lowest address in the
// low bits, so that "first byte" is the lowest set bit on any machine.
std::uint64_t LowByteFirst(std::uint64_t word)
{
    if constexpr (std::endian::native == std::endian::little) {
        return word;
    } else {
        std::uint64_t swapped = 0;
        for (std::uint32_t i = 0; i < kWord; ++i, word >>= 8)
            swapped = (swapped << 8) | (word & 0xFF);
        return swapped;
    }
}

std::uint64_t Load(const std::uint8_t* at)
{
    std::uint64_t word = 0;
    std::memcpy(&word, at, sizeof word);
    return LowByteFirst(word);
}

void Store(std::uint8_t* at, std::uint64_t word)
{
    word = LowByteFirst(word);
    std::memcpy(at, &word, sizeof word);
}

// Index of the first nonzero byte of a nonzero word.
std::uint32_t FirstByte(std::uint64_t word)
{
    return static_cast<std::uint32_t>(std::countr_zero(word)) / 8;
}

// Marks (0x80) the zero bytes of word. Only the first mark is exact: a
// borrow can mark a nonzero byte after a zero one, never before it.
std::uint64_t ZeroByteMarks(std::uint64_t word)
{
    return (word - kEveryByte) & ~word & kByteMarks;
}

// Marks the positions i of the word at `at` where three equal bytes start.
std::uint64_t TripleMarks(const std::uint8_t* at)
{
    const std::uint64_t a = Load(at);
    const std::uint64_t b = Load(at + 1);
    return ZeroByteMarks((a ^ b) | (b ^ Load(at + 2)));
}

// Length of row[0, e) once its trailing white bytes are cut.
std::uint32_t TrimWhite(const std::uint8_t* row, std::uint32_t e)
{
    while (e >= kWord && Load(row + e - kWord) == kAllOnes)
        e -= kWord;
    while (e > 0 && row[e - 1] == 0xFF)
        --e;
    return e;
}

// How many of the first limit bytes of s equal s[0].
std::uint32_t SameBytes(const std::uint8_t* s, std::uint32_t limit)
{
    const std::uint64_t pattern = s[0] * kEveryByte;
    std::uint32_t n = 0;
    // Long runs are white margins and gaps, capped at 127 bytes a run: four
    // words a step, with one test, cover them in a few steps.
    for (; n + 4 * kWord <= limit; n += 4 * kWord) {
        const std::uint64_t d0 = Load(s + n) ^ pattern;
        const std::uint64_t d1 = Load(s + n + kWord) ^ pattern;
        const std::uint64_t d2 = Load(s + n + 2 * kWord) ^ pattern;
        const std::uint64_t d3 = Load(s + n + 3 * kWord) ^ pattern;
        if ((d0 | d1 | d2 | d3) != 0) {
            if (d0 != 0)
                return n + FirstByte(d0);
            if (d1 != 0)
                return n + kWord + FirstByte(d1);
            return d2 != 0 ? n + 2 * kWord + FirstByte(d2) : n + 3 * kWord + FirstByte(d3);
        }
    }
    for (; n + kWord <= limit; n += kWord) {
        const std::uint64_t diff = Load(s + n) ^ pattern;
        if (diff != 0)
            return n + FirstByte(diff);
    }
    if (n == limit || limit < kWord) {
        while (n < limit && s[n] == s[0])
            ++n;
        return n;
    }
    // The last word overlaps bytes already known to be equal, so its first
    // differing byte is the first past them.
    const std::uint64_t diff = Load(s + limit - kWord) ^ pattern;
    return diff != 0 ? limit - kWord + FirstByte(diff) : limit;
}

bool StartsTriple(const std::uint8_t* s)
{
    return s[0] == s[1] && s[1] == s[2];
}

// First position t in [from, bound) where three equal bytes start, or bound.
// Reads up to row[bound + 1].
std::uint32_t NextTriple(const std::uint8_t* row, std::uint32_t from, std::uint32_t bound)
{
    std::uint32_t t = from;
    for (; t + kWord <= bound; t += kWord) {
        const std::uint64_t triples = TripleMarks(row + t);
        if (triples != 0)
            return t + FirstByte(triples);
    }
    while (t < bound && !StartsTriple(row + t))
        ++t;
    return t;
}

// Writes the complements of src[0, n).
void CopyInk(std::uint8_t* dst, const std::uint8_t* src, std::uint32_t n)
{
    if (n < kWord) {
        for (std::uint32_t i = 0; i < n; ++i)
            dst[i] = static_cast<std::uint8_t>(~src[i]);
        return;
    }
    for (std::uint32_t i = 0; i + kWord <= n; i += kWord)
        Store(dst + i, ~Load(src + i));
    // The last, partial word overlaps the one before: same bytes, no overrun.
    Store(dst + n - kWord, ~Load(src + n - kWord));
}

// Writes a literal run of src[0, count) and returns the new write cursor.
// wordFits: a whole word may be read at src and written after the header.
std::uint8_t* PutLiteral(std::uint8_t* comp, const std::uint8_t* src, std::uint32_t count, bool wordFits)
{
    *comp++ = static_cast<std::uint8_t>(count - 1);
    // Most literals in text are a few bytes: one word store beats a loop of
    // unpredictable length.
    if (count <= kWord && wordFits)
        Store(comp, ~Load(src));
    else
        CopyInk(comp, src, count);
    return comp + count;
}

std::uint8_t* PutRepeat(std::uint8_t* comp, std::uint8_t rasterByte, std::uint32_t count)
{
    comp[0] = static_cast<std::uint8_t>(1 - count);
    comp[1] = static_cast<std::uint8_t>(~rasterByte);
    return comp + 2;
}

// A repeat run grows up to 127 bytes and, unless it is just the three bytes
// that start it, not onto the last position.
std::uint32_t RepeatLimit(std::uint32_t left)
{
    return std::min(kMaxRun, std::max(3U, left - 1));
}

}  // namespace

std::uint32_t EncodeRow(const std::uint8_t* row, std::uint32_t length, std::uint8_t* out)
{
    const std::uint32_t end = TrimWhite(row, length);
    std::uint8_t* const outEnd = out + MaxPayloadSize(length);
    std::uint8_t* comp = out;
    std::uint32_t p = 0;
    // While ten bytes are left, one look at the eight positions from p finds
    // a literal and the repeat run after it, or a repeat run, whenever they
    // end inside those eight. None of them can be one of the last two
    // positions, where runs must not grow.
    while (p + kWord + 2 <= end) {
        const std::uint64_t a = Load(row + p);
        const std::uint64_t b = Load(row + p + 1);
        const std::uint64_t unequal = a ^ b;  // byte i: row[p + i] != row[p + i + 1]
        const std::uint64_t triples = ZeroByteMarks(unequal | (b ^ Load(row + p + 2)));
        std::uint32_t skip = 0;  // literal bytes before the repeat run
        if ((triples & 0x80) == 0) {
            if (triples == 0) {
                const std::uint32_t next = NextTriple(row, p + kWord, std::min(p + kMaxRun, end - 2));
                comp = PutLiteral(comp, row + p, next - p, comp + 1 + kWord <= outEnd);
                p = next;
                continue;
            }
            skip = FirstByte(triples);
            comp = PutLiteral(comp, row + p, skip, comp + 1 + kWord <= outEnd);
        }
        // A repeat run starts at p + skip; the first unequal byte ends it.
        const std::uint64_t rest = unequal >> (8 * skip);
        p += skip;
        const std::uint32_t count = rest != 0 ? FirstByte(rest) + 1 : SameBytes(row + p, RepeatLimit(end - p));
        comp = PutRepeat(comp, row[p], count);
        p += count;
    }
    // The last few bytes, where the growth limits matter, one rule at a time.
    while (end - p >= 3) {
        if (StartsTriple(row + p)) {
            const std::uint32_t count = SameBytes(row + p, RepeatLimit(end - p));
            comp = PutRepeat(comp, row[p], count);
            p += count;
        } else {
            const std::uint32_t next = NextTriple(row, p + 1, std::min(p + kMaxRun, end - 2));
            comp = PutLiteral(comp, row + p, next - p, p + kWord <= length && comp + 1 + kWord <= outEnd);
            p = next;
        }
    }
    if (end - p == 2) {
        // The last two bytes always leave as a literal, even when equal.
        *comp++ = 0x01;
        *comp++ = static_cast<std::uint8_t>(~row[p]);
        *comp++ = static_cast<std::uint8_t>(~row[p + 1]);
    } else if (end - p == 1) {
        *comp++ = 0x00;
        *comp++ = static_cast<std::uint8_t>(~row[p]);
    }
    return static_cast<std::uint32_t>(comp - out);
}

void CompressDataAndSend(const std::uint8_t* dataLine, std::uint32_t length)
{
    const std::uint32_t datLen = EncodeRow(dataLine, length, szCompressBuf.get());
    std::array<std::uint8_t, kRowCmdHeaderSize> toData{};
    std::copy(kRowCmdPrefix.begin(), kRowCmdPrefix.end(), toData.begin());
    PutLe16(&toData[kRowCmdPrefix.size()], datLen);
    ImageDataCpy(toData);
    ImageDataCpy(szCompressBuf.get(), datLen);
}

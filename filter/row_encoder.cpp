#include "row_encoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__) && !defined(RTM_PORTABLE_ROW_ENCODER)
#include <emmintrin.h>
#endif

#include "commands.h"
#include "output_cache.h"

std::unique_ptr<std::uint8_t[]> szCompressBuf;

// The encoder sees every printed row of every page. Coding a row one run at
// a time, each run found by looking at the bytes after the last, spends
// most of its time waiting on the previous run and on branches nobody can
// predict: a text row has thirty-odd runs. So the row is first turned into
// a bit mask of "this byte equals the next", 64 positions a step, and the
// runs are read off the mask:
//
// - A literal run stops in front of three equal bytes, which can only be
//   the start of a stretch of three or more equal bytes (were the byte
//   before it equal too, the literal would have stopped there), and a
//   repeat run then takes the whole stretch. So every stretch of three or
//   more equal bytes is a repeat run, the bytes between stretches are
//   literal runs, and both are cut into pieces of at most 127 bytes; after
//   a stretch cut at 127, one or two bytes left over start the next literal.
// - Near the end of the row the rules for the last two positions change
//   that, so the stretch that reaches the last byte, and all that follows
//   the last stretch, go through the rules one run at a time, as do rows
//   too short for the mask and whatever of a very long row lies past it.
//
// The output is exactly that of the plain byte-at-a-time coder, which the
// tests keep as their oracle.
namespace {

constexpr std::uint32_t kMaxRun = 127;
constexpr std::uint32_t kWord = 8;
constexpr std::uint32_t kMaskBits = 64;
// Rows up to this many bytes are masked whole; past it, the rules take over.
constexpr std::uint32_t kMaskedBytes = 4096;
// The literal fast path copies this many bytes whatever the run's length.
constexpr std::uint32_t kShortLiteral = 4 * kWord;
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

// Bit k set where at[k] equals at[k + 1], for k in [0, 64). Reads at[0, 65).
inline std::uint64_t EqualNext64(const std::uint8_t* at)
{
#if defined(__SSE2__) && !defined(RTM_PORTABLE_ROW_ENCODER)
    // 16 positions at a time; written out, as GCC does not unroll it at -O2.
    const auto equal16 = [at](std::size_t k) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + k));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + k + 1));
        return std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)))};
    };
    return equal16(0) | equal16(16) << 16 | equal16(32) << 32 | equal16(48) << 48;
#else
    std::uint64_t bits = 0;
    constexpr std::uint64_t kLow7 = kEveryByte * 0x7F;
    // Multiplying moves the mark of byte j (bit 8j + 7) to bit 56 + j.
    constexpr std::uint64_t kGather = 0x0002040810204081;
    for (std::size_t k = 0; k < kWord; ++k) {
        const std::uint64_t unequal = Load(at + kWord * k) ^ Load(at + kWord * k + 1);
        const std::uint64_t marks = ~(((unequal & kLow7) + kLow7) | unequal | kLow7);  // exact in every byte
        bits |= ((marks * kGather) >> 56) << (kWord * k);
    }
    return bits;
#endif
}

// bits[w] bit k: row[64w + k] equals row[64w + k + 1], for positions whose
// next byte is inside row[0, n); clear past them. Needs n >= 65.
void EqualNextMask(const std::uint8_t* row, std::uint32_t n, std::uint64_t* bits)
{
    std::uint32_t i = 0;
    for (; i + kMaskBits + 1 <= n; i += kMaskBits)
        bits[i / kMaskBits] = EqualNext64(row + i);
    if (i + 1 < n) {
        // The last, partial word: the 64 positions that end at n - 2,
        // shifted down to start at i. Position n - 1 has no next byte.
        const std::uint32_t from = n - kMaskBits - 1;
        bits[i / kMaskBits] = EqualNext64(row + from) >> (i - from);
    } else if (i < n) {
        bits[i / kMaskBits] = 0;
    }
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
    for (; n + kWord <= limit; n += kWord) {
        const std::uint64_t diff = Load(s + n) ^ pattern;
        if (diff != 0)
            return n + FirstByte(diff);
    }
    while (n < limit && s[n] == s[0])
        ++n;
    return n;
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
        const std::uint64_t a = Load(row + t);
        const std::uint64_t b = Load(row + t + 1);
        const std::uint64_t triples = ZeroByteMarks((a ^ b) | (b ^ Load(row + t + 2)));
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

// Writes src[0, count) as literal runs of at most 127 bytes.
std::uint8_t* PutLiterals(std::uint8_t* comp, const std::uint8_t* src, std::uint32_t count)
{
    while (count > 0) {
        const std::uint32_t n = std::min(count, kMaxRun);
        *comp++ = static_cast<std::uint8_t>(n - 1);
        CopyInk(comp, src, n);
        comp += n;
        src += n;
        count -= n;
    }
    return comp;
}

// Writes a literal run of src[0, count), count <= 32, reading 32 bytes at
// src and writing 33 at comp whatever count is: most literals in text are
// short, and one fixed copy beats a loop of unpredictable length.
std::uint8_t* PutShortLiteral(std::uint8_t* comp, const std::uint8_t* src, std::uint32_t count)
{
    *comp = static_cast<std::uint8_t>(count - 1);
    // Written out: GCC does not unroll a loop here at -O2, and the loop
    // costs about a tenth of the encoder's time on text.
    constexpr std::size_t k1 = kWord;
    constexpr std::size_t k2 = k1 + k1;
    constexpr std::size_t k3 = k2 + k1;
    Store(comp + 1, ~Load(src));
    Store(comp + 1 + k1, ~Load(src + k1));
    Store(comp + 1 + k2, ~Load(src + k2));
    Store(comp + 1 + k3, ~Load(src + k3));
    return comp + 1 + count;
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

struct Coded {
    std::uint32_t p;     // row[0, p) is coded
    std::uint8_t* comp;  // the payload so far ends here
};

// Codes the stretches of three or more equal bytes of row[0, end), and the
// literals between them, up to the last stretch that ends before the row's
// last byte. Needs end >= 65.
Coded CodeStretches(const std::uint8_t* row, std::uint32_t length, std::uint32_t end, std::uint8_t* comp)
{
    const std::uint32_t n = std::min(end, kMaskedBytes);
    // A stretch whose last byte is at or past this is left to the rules:
    // the row's last byte, or the edge of the mask.
    const std::uint32_t stop = n - 1;
    // Filled up to `words`; not cleared first, which would cost as much.
    std::array<std::uint64_t, kMaskedBytes / kMaskBits + 1> equal;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    EqualNextMask(row, n, equal.data());
    const std::uint32_t words = (n + kMaskBits - 1) / kMaskBits;
    equal[words] = 0;

    std::uint32_t p = 0;
    std::uint64_t previous = 0;
    for (std::uint32_t w = 0; w < words; ++w) {
        const std::uint64_t e = equal[w];
        const std::uint64_t before = (e << 1) | (previous >> 63);
        const std::uint64_t after = (e >> 1) | (equal[w + 1] << 63);
        previous = e;
        // Not equal to the byte before, equal to the next two.
        for (std::uint64_t starts = ~before & e & after; starts != 0; starts &= starts - 1) {
            const std::uint32_t i = kMaskBits * w + static_cast<std::uint32_t>(std::countr_zero(starts));
            // The stretch's last byte is the first not equal to the next;
            // the zero word after the mask ends the search.
            std::uint32_t v = w;
            std::uint64_t last = ~e & (kAllOnes << (i % kMaskBits));
            while (last == 0)
                last = ~equal[++v];
            const std::uint32_t j = kMaskBits * v + static_cast<std::uint32_t>(std::countr_zero(last));
            if (j >= stop)
                return {p, comp};

            // Every run costs at most twice its bytes, so the payload so far
            // is at most 2p, and 33 bytes written there stay inside the
            // 2 * length bytes of out whenever 32 can be read at p.
            if (i > p) {
                if (i - p <= kShortLiteral && p + kShortLiteral <= length)
                    comp = PutShortLiteral(comp, row + p, i - p);
                else
                    comp = PutLiterals(comp, row + p, i - p);
            }
            // A stretch longer than a run goes out 127 bytes at a time; one
            // or two bytes left over open the next literal.
            std::uint32_t count = j + 1 - i;
            for (; count >= kMaxRun; count -= kMaxRun)
                comp = PutRepeat(comp, row[i], kMaxRun);
            if (count >= 3) {
                comp = PutRepeat(comp, row[i], count);
                count = 0;
            }
            p = j + 1 - count;
        }
    }
    return {p, comp};
}

}  // namespace

std::uint32_t EncodeRow(const std::uint8_t* row, std::uint32_t length, std::uint8_t* out)
{
    const std::uint32_t end = TrimWhite(row, length);
    Coded coded{0, out};
    if (end > kMaskBits)
        coded = CodeStretches(row, length, end, out);

    // The rest, one run at a time.
    std::uint32_t p = coded.p;
    std::uint8_t* comp = coded.comp;
    while (end - p >= 3) {
        if (StartsTriple(row + p)) {
            const std::uint32_t count = SameBytes(row + p, RepeatLimit(end - p));
            comp = PutRepeat(comp, row[p], count);
            p += count;
        } else {
            const std::uint32_t next = NextTriple(row, p + 1, std::min(p + kMaxRun, end - 2));
            comp = PutLiterals(comp, row + p, next - p);
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

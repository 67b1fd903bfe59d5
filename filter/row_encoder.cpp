#include "row_encoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__) && defined(__SSE2__)
#include <immintrin.h>
#define RTM_X86_64 1
// What the AVX2 form is built for: every processor with AVX2 has these.
#define RTM_AVX2 gnu::target("avx2,bmi,bmi2,popcnt")
// And the AVX-512 form: the same, with 64-byte compares and compress.
#define RTM_AVX512 gnu::target("avx2,bmi,bmi2,popcnt,avx512f,avx512bw,avx512vbmi2")
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
constexpr std::uint32_t kShortLiteral = 8 * kWord;
constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};
constexpr std::uint64_t kEveryByte = kAllOnes / 0xFF;  // 0x0101...01
constexpr std::uint64_t kByteMarks = kEveryByte * 0x80;
constexpr std::uint8_t kWhite = 0xFF;

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

// The three things done to every byte of a row, once per form:
//   EqualNext64(at)     bit k set where at[k] equals at[k + 1], k in [0, 64);
//                       reads at[0, 65)
//   CopyInk64(to, from) writes the complements of from[0, 64)
//   White64(at)         at[0, 64) is all white

// Word at a time, for any processor.
struct Words {
    static std::uint64_t EqualNext64(const std::uint8_t* at)
    {
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
    }
    static void CopyInk64(std::uint8_t* to, const std::uint8_t* from)
    {
        for (std::uint32_t k = 0; k < kShortLiteral; k += kWord)
            Store(to + k, ~Load(from + k));
    }
    static bool White64(const std::uint8_t* at)
    {
        std::uint64_t all = kAllOnes;
        for (std::uint32_t k = 0; k < kMaskBits; k += kWord)
            all &= Load(at + k);
        return all == kAllOnes;
    }
};

#ifdef RTM_X86_64
// 16 bytes at a time: every x86-64 processor has SSE2.
struct Sse2 {
    static std::uint64_t EqualNext64(const std::uint8_t* at)
    {
        // Written out, as GCC does not unroll the loop at -O2.
        return Equal16(at) | Equal16(at + 16) << 16 | Equal16(at + 32) << 32 | Equal16(at + 48) << 48;
    }
    static void CopyInk64(std::uint8_t* to, const std::uint8_t* from)
    {
        const __m128i ones = _mm_set1_epi8(-1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_xor_si128(Load16(from), ones));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 16), _mm_xor_si128(Load16(from + 16), ones));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 32), _mm_xor_si128(Load16(from + 32), ones));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 48), _mm_xor_si128(Load16(from + 48), ones));
    }
    static bool White64(const std::uint8_t* at)
    {
        const __m128i all = _mm_and_si128(_mm_and_si128(Load16(at), Load16(at + 16)),
                                          _mm_and_si128(Load16(at + 32), Load16(at + 48)));
        return _mm_movemask_epi8(_mm_cmpeq_epi8(all, _mm_set1_epi8(-1))) == 0xFFFF;
    }

private:
    static __m128i Load16(const std::uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }
    static std::uint64_t Equal16(const std::uint8_t* at)
    {
        return static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(Load16(at), Load16(at + 1))));
    }
};

// 32 bytes at a time. Its functions are compiled for AVX2 and only ever
// inlined into the AVX2 entry points below.
struct Avx2 {
    [[RTM_AVX2]] static std::uint64_t EqualNext64(const std::uint8_t* at)
    {
        const auto low = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(Load32(at), Load32(at + 1))));
        const auto high =
            static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(Load32(at + 32), Load32(at + 33))));
        return std::uint64_t{high} << 32 | low;
    }
    [[RTM_AVX2]] static void CopyInk64(std::uint8_t* to, const std::uint8_t* from)
    {
        const __m256i ones = _mm256_set1_epi8(-1);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), _mm256_xor_si256(Load32(from), ones));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 32), _mm256_xor_si256(Load32(from + 32), ones));
    }
    [[RTM_AVX2]] static bool White64(const std::uint8_t* at)
    {
        return _mm256_testc_si256(_mm256_and_si256(Load32(at), Load32(at + 32)), _mm256_set1_epi8(-1)) != 0;
    }

private:
    [[RTM_AVX2]] static __m256i Load32(const std::uint8_t* at)
    {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    }
};

// 64 bytes at a time, and the stretches listed by vector compress: a word
// of marks becomes the positions of its set bits in a few instructions,
// where a bit scan per mark would cost four. Only its entry point below is
// compiled for AVX-512.
struct Avx512 : Avx2 {
    [[RTM_AVX512]] static std::uint64_t EqualNext64(const std::uint8_t* at)
    {
        return _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(at), _mm512_loadu_si512(at + 1));
    }
    [[RTM_AVX512]] static void CopyInk64(std::uint8_t* to, const std::uint8_t* from)
    {
        _mm512_storeu_si512(to, _mm512_xor_si512(_mm512_loadu_si512(from), _mm512_set1_epi8(-1)));
    }
    // Writes 64w + k for each set bit k of marks, in order, to to[0, 64),
    // and returns how many there are.
    [[RTM_AVX512]] static std::uint32_t ListMarks(std::uint64_t marks, std::uint32_t w, std::uint16_t* to)
    {
        const __m512i bits = _mm512_maskz_compress_epi8(marks, kBitNumbers);
        // 64w has its low six bits clear: or-ing a bit number in adds it.
        const __m512i base = _mm512_set1_epi16(static_cast<short>(kMaskBits * w));
        _mm512_storeu_si512(to, _mm512_or_si512(Widen<0>(bits), base));
        const auto count = static_cast<std::uint32_t>(std::popcount(marks));
        // A word has more than 32 marks only where runs of three and four
        // bytes follow each other closely.
        if (count > kMaskBits / 2) [[unlikely]]
            _mm512_storeu_si512(to + kMaskBits / 2, _mm512_or_si512(Widen<1>(bits), base));
        return count;
    }

private:
    // Bytes [32 half, 32 half + 32) of v as 16-bit numbers. The halves are
    // taken with a plain vector shuffle: GCC 12's extract intrinsics warn
    // of an uninitialised value of their own.
    template <int half>
    [[RTM_AVX512]] static __m512i Widen(__m512i v)
    {
        using Quads = std::int64_t __attribute__((vector_size(64)));
        return _mm512_cvtepu8_epi16(reinterpret_cast<__m256i>(
            __builtin_shufflevector(reinterpret_cast<Quads>(v), reinterpret_cast<Quads>(v), 4 * half, 4 * half + 1,
                                    4 * half + 2, 4 * half + 3)));
    }
    static constexpr __m512i kBitNumbers{0x0706050403020100, 0x0F0E0D0C0B0A0908, 0x1716151413121110,
                                         0x1F1E1D1C1B1A1918, 0x2726252423222120, 0x2F2E2D2C2B2A2928,
                                         0x3736353433323130, 0x3F3E3D3C3B3A3938};
};
#endif

// True when row[0, n) is all white: 64 bytes a step, the last step
// overlapping the one before; short rows a word or a byte at a time.
template <class Form>
bool IsWhiteWith(const std::uint8_t* row, std::uint32_t n)
{
    if (n < kMaskBits) {
        std::uint32_t i = 0;
        for (; i + kWord <= n; i += kWord)
            if (Load(row + i) != kAllOnes)
                return false;
        for (; i < n; ++i)
            if (row[i] != kWhite)
                return false;
        return true;
    }
    for (std::uint32_t i = 0; i + kMaskBits < n; i += kMaskBits)
        if (!Form::White64(row + i))
            return false;
    return Form::White64(row + n - kMaskBits);
}

// bits[w] bit k: row[64w + k] equals row[64w + k + 1], for positions whose
// next byte is inside row[0, n); clear past them. Needs n >= 65.
template <class Form>
void EqualNextMask(const std::uint8_t* row, std::uint32_t n, std::uint64_t* bits)
{
    std::uint32_t i = 0;
    for (; i + kMaskBits + 1 <= n; i += kMaskBits)
        bits[i / kMaskBits] = Form::EqualNext64(row + i);
    if (i + 1 < n) {
        // The last, partial word: the 64 positions that end at n - 2,
        // shifted down to start at i. Position n - 1 has no next byte.
        const std::uint32_t from = n - kMaskBits - 1;
        bits[i / kMaskBits] = Form::EqualNext64(row + from) >> (i - from);
    } else if (i < n) {
        bits[i / kMaskBits] = 0;
    }
}

// Length of row[0, e) once its trailing white bytes are cut.
std::uint32_t TrimWhite(const std::uint8_t* row, std::uint32_t e)
{
    while (e >= kWord && Load(row + e - kWord) == kAllOnes)
        e -= kWord;
    while (e > 0 && row[e - 1] == kWhite)
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

// A stretch of 127 bytes or more goes out 127 bytes at a time; one or two
// bytes left over open the next literal. The stretch ends at j.
Coded PutLongRepeat(std::uint8_t* comp, std::uint8_t rasterByte, std::uint32_t count, std::uint32_t j)
{
    for (; count >= kMaxRun; count -= kMaxRun)
        comp = PutRepeat(comp, rasterByte, kMaxRun);
    if (count >= 3) {
        comp = PutRepeat(comp, rasterByte, count);
        count = 0;
    }
    return {j + 1 - count, comp};
}

// Codes the literal row[p, i) and the stretch row[i, j] of equal bytes.
// shortUntil is the last p from which 64 bytes can be read in the row.
template <class Form>
Coded CodeStretch(const std::uint8_t* row, Coded coded, std::uint32_t i, std::uint32_t j, std::uint32_t shortUntil)
{
    auto [p, comp] = coded;
    // Most literals are short: one fixed copy, whatever the length, beats a
    // loop of unpredictable length. Every run costs at most twice its
    // bytes, so the payload so far is at most 2p, and the 65 bytes written
    // there stay inside the 2 * length bytes of out. Without a literal the
    // header and copy are written all the same, and overwritten next.
    const std::uint32_t literal = i - p;
    if (literal <= kShortLiteral && p <= shortUntil) [[likely]] {
        comp[0] = static_cast<std::uint8_t>(literal - 1);
        Form::CopyInk64(comp + 1, row + p);
        comp += literal + static_cast<std::uint32_t>(literal != 0);
    } else {
        comp = PutLiterals(comp, row + p, literal);
    }
    const std::uint32_t count = j + 1 - i;
    if (count < kMaxRun) [[likely]]
        return {j + 1, PutRepeat(comp, row[i], count)};
    return PutLongRepeat(comp, row[i], count, j);
}

// A row's equal-next mask, as far as stretches are found in it.
struct StretchMask {
    const std::uint64_t* equal;  // words [0, words], the last 0
    std::uint32_t words;
    std::uint32_t stop;        // a stretch whose last byte is here or past is left to the rules
    std::uint32_t shortUntil;  // the last position from which 64 bytes can be read in the row
};

// Bit k set where a stretch starts at position k of mask word e: not equal
// to the byte before, equal to the next two. previous and next are the
// mask's words around e.
std::uint64_t StretchStarts(std::uint64_t e, std::uint64_t previous, std::uint64_t next)
{
    const std::uint64_t before = (e << 1) | (previous >> 63);
    const std::uint64_t after = (e >> 1) | (next << 63);
    return ~before & e & after;
}

// Bit k set where a stretch has its last byte: not equal to the next, the
// two before equal to theirs.
std::uint64_t StretchEnds(std::uint64_t e, std::uint64_t previous)
{
    const std::uint64_t before = (e << 1) | (previous >> 63);
    const std::uint64_t twoBefore = (e << 2) | (previous >> 62);
    return before & twoBefore & ~e;
}

// The stretches from a list. Every stretch has one start and one last
// byte, and they alternate along the row: listed in order, the positions
// pair up.
template <class Form>
Coded CodeListedStretches(const std::uint8_t* row, const StretchMask& mask, Coded coded)
{
    std::array<std::uint16_t, kMaskedBytes + kMaskBits> at;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    std::uint32_t listed = 0;
    std::uint64_t previous = 0;
    for (std::uint32_t w = 0; w < mask.words; ++w) {
        const std::uint64_t e = mask.equal[w];
        const std::uint64_t marks = StretchStarts(e, previous, mask.equal[w + 1]) | StretchEnds(e, previous);
        previous = e;
        listed += Form::ListMarks(marks, w, at.data() + listed);
    }
    // The mask ends at the stop, so only the last stretch can reach it.
    if (listed != 0 && at[listed - 1] >= mask.stop)
        listed -= 2;
    for (std::uint32_t k = 0; k < listed; k += 2)
        coded = CodeStretch<Form>(row, coded, at[k], at[k + 1], mask.shortUntil);
    return coded;
}

// The stretches by walking the bits of their starts.
template <class Form>
Coded CodeWalkedStretches(const std::uint8_t* row, const StretchMask& mask, Coded coded)
{
    constexpr std::uint32_t kWords = kMaskedBytes / kMaskBits;
    // firstEnd[w]: the first position at or after word w whose byte differs
    // from the next, where a stretch that runs past its own word ends.
    std::array<std::uint32_t, kWords + 1> firstEnd;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    firstEnd[mask.words] = kMaskBits * mask.words;
    for (std::uint32_t w = mask.words; w-- > 0;) {
        const std::uint64_t same = mask.equal[w];
        firstEnd[w] =
            same != kAllOnes ? kMaskBits * w + static_cast<std::uint32_t>(std::countr_one(same)) : firstEnd[w + 1];
    }

    // Where stretches start, for the words that have any, and which words
    // those are.
    // Walking these rather than every word saves the branch on whether a
    // word has starts, which is as hard to predict as it is frequent.
    std::array<std::uint64_t, kWords + 2> startsIn;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    std::array<std::uint32_t, kWords + 2> wordOf;    // NOLINT(cppcoreguidelines-pro-type-member-init)
    std::uint32_t busy = 0;
    std::uint32_t stretches = 0;
    std::uint64_t previous = 0;
    for (std::uint32_t w = 0; w < mask.words; ++w) {
        const std::uint64_t starts = StretchStarts(mask.equal[w], previous, mask.equal[w + 1]);
        previous = mask.equal[w];
        startsIn[busy] = starts;
        wordOf[busy] = w;
        busy += static_cast<std::uint32_t>(starts != 0);
        stretches += static_cast<std::uint32_t>(std::popcount(starts));
    }
    startsIn[busy] = startsIn[busy + 1] = 0;
    wordOf[busy] = wordOf[busy + 1] = 0;

    std::uint32_t k = 0;
    std::uint64_t starts = startsIn[0];
    for (; stretches > 0; --stretches) {
        const std::uint32_t w = wordOf[k];
        const std::uint64_t upcoming = startsIn[k + 1];
        const auto bit = static_cast<std::uint32_t>(std::countr_zero(starts));
        const std::uint32_t i = kMaskBits * w + bit;
        // The stretch's last byte is the first not equal to the next: in
        // this word, or else wherever the next word with one has it, chosen
        // without a branch, for the choice is hard to predict.
        const std::uint64_t here = ~mask.equal[w] >> bit;
        const std::uint32_t hereAt = i + static_cast<std::uint32_t>(std::countr_zero(here));
        const std::uint64_t inHere = 0 - static_cast<std::uint64_t>(here != 0);
        const auto j = static_cast<std::uint32_t>((hereAt & inHere) | (firstEnd[w + 1] & ~inHere));
        if (j >= mask.stop)
            return coded;
        coded = CodeStretch<Form>(row, coded, i, j, mask.shortUntil);

        // The next word's starts were loaded before they are needed.
        starts &= starts - 1;
        if (starts == 0) {
            starts = upcoming;
            ++k;
        }
    }
    return coded;
}

// Codes the stretches of three or more equal bytes of row[0, end), and the
// literals between them, up to the last stretch that ends before the row's
// last byte: from a list where the processor can make one cheaply, else by
// walking bits. Needs end >= 65.
template <class Form>
Coded CodeStretches(const std::uint8_t* row, std::uint32_t length, std::uint32_t end, Coded coded)
{
    constexpr std::uint32_t kWords = kMaskedBytes / kMaskBits;
    const std::uint32_t n = std::min(end, kMaskedBytes);
    const std::uint32_t words = (n + kMaskBits - 1) / kMaskBits;
    // The arrays are filled as far as they are read; clearing them first
    // would cost as much as the rest.
    std::array<std::uint64_t, kWords + 1> equal;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    EqualNextMask<Form>(row, n, equal.data());
    equal[words] = 0;
    // The stop is the row's last byte, or the edge of the mask.
    const StretchMask mask{equal.data(), words, n - 1, length - kShortLiteral};  // length >= end > 64
    if constexpr (requires { Form::ListMarks; })
        return CodeListedStretches<Form>(row, mask, coded);
    else
        return CodeWalkedStretches<Form>(row, mask, coded);
}

template <class Form>
std::uint32_t EncodeRowWith(const std::uint8_t* row, std::uint32_t length, std::uint8_t* out)
{
    const std::uint32_t end = TrimWhite(row, length);
    Coded coded{0, out};
    if (end > kMaskBits)
        coded = CodeStretches<Form>(row, length, end, coded);

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

// The entry points of each form. The AVX2 ones are compiled for AVX2 with
// everything they call inlined, so that the whole encoder uses it.
std::uint32_t EncodeRowWords(const std::uint8_t* row, std::uint32_t length, std::uint8_t* out)
{
    return EncodeRowWith<Words>(row, length, out);
}

bool IsWhiteWords(const std::uint8_t* row, std::uint32_t n)
{
    return IsWhiteWith<Words>(row, n);
}

#ifdef RTM_X86_64
std::uint32_t EncodeRowSse2(const std::uint8_t* row, std::uint32_t length, std::uint8_t* out)
{
    return EncodeRowWith<Sse2>(row, length, out);
}

bool IsWhiteSse2(const std::uint8_t* row, std::uint32_t n)
{
    return IsWhiteWith<Sse2>(row, n);
}

[[RTM_AVX2, gnu::flatten]] std::uint32_t EncodeRowAvx2(const std::uint8_t* row, std::uint32_t length,
                                                       std::uint8_t* out)
{
    return EncodeRowWith<Avx2>(row, length, out);
}

[[RTM_AVX2, gnu::flatten]] bool IsWhiteAvx2(const std::uint8_t* row, std::uint32_t n)
{
    return IsWhiteWith<Avx2>(row, n);
}

[[RTM_AVX512, gnu::flatten]] std::uint32_t EncodeRowAvx512(const std::uint8_t* row, std::uint32_t length,
                                                           std::uint8_t* out)
{
    return EncodeRowWith<Avx512>(row, length, out);
}
#endif

struct Kernels {
    std::uint32_t (*encodeRow)(const std::uint8_t*, std::uint32_t, std::uint8_t*);
    bool (*isWhite)(const std::uint8_t*, std::uint32_t);
};

Kernels KernelsOf(RowForm form)
{
    switch (form) {
#ifdef RTM_X86_64
    case RowForm::Sse2:
        return {EncodeRowSse2, IsWhiteSse2};
    case RowForm::Avx2:
        return {EncodeRowAvx2, IsWhiteAvx2};
    case RowForm::Avx512:
        return {EncodeRowAvx512, IsWhiteAvx2};
#endif
    default:
        return {EncodeRowWords, IsWhiteWords};
    }
}

// Narrowest first; the widest is the one used.
std::span<const RowForm> FormsOfThisProcessor()
{
#ifdef RTM_X86_64
    static constexpr std::array kX86{RowForm::Words, RowForm::Sse2, RowForm::Avx2, RowForm::Avx512};
    __builtin_cpu_init();  // the program's constructors may not have run it yet
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                      __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
    // Also false where the system does not save the 512-bit registers.
    const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                        __builtin_cpu_supports("avx512vbmi2");
    return {kX86.data(), avx512 ? 4U : avx2 ? 3U : 2U};
#else
    static constexpr std::array kAny{RowForm::Words};
    return kAny;
#endif
}

const std::span<const RowForm> gForms = FormsOfThisProcessor();
Kernels gKernels = KernelsOf(gForms.back());

}  // namespace

std::uint32_t EncodeRow(const std::uint8_t* row, std::uint32_t length, std::uint8_t* out)
{
    return gKernels.encodeRow(row, length, out);
}

bool IsWhite(const std::uint8_t* row, std::uint32_t n)
{
    return gKernels.isWhite(row, n);
}

std::span<const RowForm> AvailableRowForms()
{
    return gForms;
}

void UseRowForm(RowForm form)
{
    gKernels = KernelsOf(form);
}

void CompressDataAndSend(const std::uint8_t* dataLine, std::uint32_t length)
{
    // The command is coded where it is sent from: straight into the output
    // cache when even the longest payload would fit there without a
    // write-out, else into szCompressBuf, from where the cache takes it in
    // one piece. The cache holds the same bytes either way; the first saves
    // copying each row's command a second time.
    const std::uint64_t longest = kRowCmdHeaderSize + MaxPayloadSize(length);
    const bool inCache = !gOutputFailed && gImageCacheBufSize + longest < kImageCacheSize;
    std::uint8_t* command = inCache ? szImageCacheBuf.data() + gImageCacheBufSize : szCompressBuf.get();
    const std::uint32_t datLen = EncodeRow(dataLine, length, command + kRowCmdHeaderSize);
    std::copy(kRowCmdPrefix.begin(), kRowCmdPrefix.end(), command);
    PutLe16(command + kRowCmdPrefix.size(), datLen);
    if (inCache)
        gImageCacheBufSize += kRowCmdHeaderSize + datLen;
    else
        ImageDataCpy(command, kRowCmdHeaderSize + datLen);
}

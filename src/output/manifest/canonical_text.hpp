// The canonical JSON text of the checksum, written natively: the JSON
// encoder's escaping of text (ASCII output) and the ordering of text by
// leading key, shared by the writers over text objects and over the arena.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ref.hpp"

namespace manifest {

// ---------------------------------------------------------------- escaping

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

inline uint64_t bytes_equal_to(uint64_t word, unsigned char byte) {
    uint64_t x = word ^ (kOnes * byte);
    return (x - kOnes) & ~x & kHighs;
}

// Eight ASCII characters that the JSON encoder writes as themselves.
inline bool word_is_plain(uint64_t word) {
    uint64_t control = (word - kOnes * 0x20) & ~word & kHighs;
    return (control | bytes_equal_to(word, '"') | bytes_equal_to(word, '\\') | bytes_equal_to(word, 0x7f)) == 0;
}

inline Py_ssize_t escaped_width(Py_UCS4 c) {
    if (c >= 0x20 && c < 0x7f) return (c == '"' || c == '\\') ? 2 : 1;
    if (c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t') return 2;
    return c >= 0x10000 ? 12 : 6;
}

// Escaped length of ASCII text: word by word while nothing needs escaping.
inline Py_ssize_t ascii_escaped_length(const unsigned char* data, Py_ssize_t length) {
    Py_ssize_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, 8);
        if (!word_is_plain(word)) break;
    }
    Py_ssize_t extra = 0;
    for (; i < length; ++i) extra += escaped_width(data[i]) - 1;
    return length + extra;
}

inline char* write_unit(char* out, unsigned unit) {
    static const char hex[] = "0123456789abcdef";
    out[0] = '\\';
    out[1] = 'u';
    out[2] = hex[(unit >> 12) & 0xf];
    out[3] = hex[(unit >> 8) & 0xf];
    out[4] = hex[(unit >> 4) & 0xf];
    out[5] = hex[unit & 0xf];
    return out + 6;
}

inline char* write_escaped_char(char* out, Py_UCS4 c) {
    switch (c) {
        case '"': *out++ = '\\'; *out++ = '"'; return out;
        case '\\': *out++ = '\\'; *out++ = '\\'; return out;
        case '\b': *out++ = '\\'; *out++ = 'b'; return out;
        case '\f': *out++ = '\\'; *out++ = 'f'; return out;
        case '\n': *out++ = '\\'; *out++ = 'n'; return out;
        case '\r': *out++ = '\\'; *out++ = 'r'; return out;
        case '\t': *out++ = '\\'; *out++ = 't'; return out;
        default: break;
    }
    if (c >= 0x20 && c < 0x7f) {
        *out++ = static_cast<char>(c);
        return out;
    }
    if (c >= 0x10000) {
        Py_UCS4 v = c - 0x10000;
        out = write_unit(out, 0xd800 | ((v >> 10) & 0x3ff));
        return write_unit(out, 0xdc00 | (v & 0x3ff));
    }
    return write_unit(out, c);
}

// ---------------------------------------------------------------- ordering

// The first eight bytes of one-byte text, big-endian, zero-padded: ordering
// these keys orders the texts by their first eight characters.
inline uint64_t leading_key(const unsigned char* data, Py_ssize_t length) {
    if (length >= 8) {
        uint64_t word;
        std::memcpy(&word, data, 8);
        return __builtin_bswap64(word);
    }
    uint64_t key = 0;
    for (Py_ssize_t i = 0; i < length; ++i) key |= static_cast<uint64_t>(data[i]) << (56 - 8 * i);
    return key;
}

// Below kRadixMinimum items the radix passes' fixed cost (three histograms
// of 2048 counts) outweighs what they save, and one comparison sort serves.
constexpr size_t kRadixMinimum = 1024;

// Orders `items` by the top Bits bits of key_of(item): 32 bits in three
// passes of 11, 11 and 10, or 24 bits in two passes of 12, least
// significant first, their histograms gathered in one read; a pass whose
// digit is the same everywhere moves nothing.
template <int Bits, typename Item, typename KeyOf>
void radix_sort_top_bits(std::vector<Item>& items, std::vector<Item>& scratch, KeyOf key_of) {
    static_assert(Bits == 32 || Bits == 24, "digit layouts for 32 and 24 bits only");
    struct Digit {
        int shift;
        uint64_t mask;
    };
    constexpr size_t kPasses = Bits == 32 ? 3 : 2;
    constexpr Digit kDigits32[] = {{32, 0x7ff}, {43, 0x7ff}, {54, 0x3ff}};
    constexpr Digit kDigits24[] = {{40, 0xfff}, {52, 0xfff}};
    const Digit* const digits = Bits == 32 ? kDigits32 : kDigits24;
    constexpr size_t kBuckets = 4096;
    std::vector<size_t> counts(kPasses * kBuckets, 0);
    for (const Item& item : items) {
        const uint64_t key = key_of(item);
        for (size_t d = 0; d < kPasses; ++d) ++counts[d * kBuckets + ((key >> digits[d].shift) & digits[d].mask)];
    }
    scratch.resize(items.size());
    for (size_t d = 0; d < kPasses; ++d) {
        size_t* count = counts.data() + d * kBuckets;
        const Digit digit = digits[d];
        if (count[(key_of(items.front()) >> digit.shift) & digit.mask] == items.size()) continue;
        size_t offset = 0;
        for (size_t b = 0; b <= digit.mask; ++b) {
            const size_t n = count[b];
            count[b] = offset;
            offset += n;
        }
        for (const Item& item : items) scratch[count[(key_of(item) >> digit.shift) & digit.mask]++] = item;
        items.swap(scratch);
    }
}

// Sorts, with `less`, each run of items whose keys share their top Bits bits.
template <int Bits, typename Item, typename KeyOf, typename Less>
void sort_runs_of_equal_top_bits(std::vector<Item>& items, KeyOf key_of, Less less) {
    for (size_t begin = 0; begin < items.size();) {
        const uint64_t top = key_of(items[begin]) >> (64 - Bits);
        size_t end = begin + 1;
        while (end < items.size() && key_of(items[end]) >> (64 - Bits) == top) ++end;
        if (end - begin > 1) std::sort(items.begin() + begin, items.begin() + end, less);
        begin = end;
    }
}

// Radix sort on the upper half of the leading keys, then a comparison sort
// inside each run of equal upper halves, by the whole key and, where that
// ties too, the whole text.
template <typename Entry, typename TextLess>
void sort_by_leading_key(std::vector<Entry>& entries, std::vector<Entry>& scratch, TextLess text_less) {
    auto by_key_then_text = [&](const Entry& a, const Entry& b) {
        return a.key != b.key ? a.key < b.key : text_less(a, b);
    };
    if (entries.size() < kRadixMinimum) {
        std::sort(entries.begin(), entries.end(), by_key_then_text);
        return;
    }
    // Leading bytes of digests vary in only half of their bits: 32 of them
    // leave runs short enough.
    auto key_of = [](const Entry& e) { return e.key; };
    radix_sort_top_bits<32>(entries, scratch, key_of);
    sort_runs_of_equal_top_bits<32>(entries, key_of, by_key_then_text);
}

// The first eight characters of a leading key as eight 4-bit digits, when
// every one is a lowercase hexadecimal digit ('0'-'9', 'a'-'f', which the
// digits order as their bytes do); false for anything else, a text shorter
// than eight characters (its key is padded with zero bytes) included.
inline bool hex_digits_of_leading_key(uint64_t key, uint32_t* digits) {
    // For bytes below 0x80 (ASCII), the high bit of each byte of
    // in_range(lo, hi) is set exactly where lo < byte < hi.
    const uint64_t low7 = key & (kOnes * 0x7f);
    auto in_range = [&](unsigned lo, unsigned hi) {
        return ((kOnes * (127 + hi) - low7) & ~key & (low7 + kOnes * (127 - lo))) & kHighs;
    };
    if ((in_range('0' - 1, '9' + 1) | in_range('a' - 1, 'f' + 1)) != kHighs) return false;
    // '0'-'9' keep their low four bits; 'a'-'f' (0x61-0x66) add 9 to theirs.
    uint64_t v = (key & (kOnes * 0x0f)) + ((key >> 6) & kOnes) * 9;
    v = (v | (v >> 4)) & 0x00ff00ff00ff00ffULL;  // pairs of digits into bytes, first character highest
    v = (v | (v >> 8)) & 0x0000ffff0000ffffULL;
    v = (v | (v >> 16)) & 0x00000000ffffffffULL;
    *digits = static_cast<uint32_t>(v);
    return true;
}

}  // namespace manifest

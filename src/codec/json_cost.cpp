#include "json_cost.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace vorna {
namespace {

// CPython's sizes (3.10 to 3.13, 64-bit), as tracemalloc sees json.loads
// build them, rounded up.
constexpr long long kContainer = 80;  // an empty dict (72 with its GC header) or list (64)
constexpr long long kMember = 64;     // a dict's entry and index growth per key (the key's str counts apart)
constexpr long long kSlot = 16;       // a value's pointer in its container, over-allocation included
constexpr long long kString = 56;     // a str's header (49 for ASCII, more for wider ones)
constexpr long long kNumber = 32;     // an int (28) or a float (24)

// Bytes per character of a str holding this UTF-8 byte: CPython stores a
// str at the width of its widest character (1 up to U+00FF, 2 up to U+FFFF,
// 4 beyond).
int width_of_byte(unsigned char c) {
    if (c < 0xC4) return 1;  // ASCII, continuation bytes, and the leads of U+0080..U+00FF
    return c < 0xF0 ? 2 : 4;
}

// Raw text: its widest character, and how many of its bytes continue a
// character (UTF-8 takes up to four bytes for one character).
struct Span {
    int width = 1;
    long long continuation = 0;

    void add(const unsigned char *p, size_t n) {
        constexpr uint64_t kHigh = 0x8080808080808080ULL;
        uint64_t any = 0;
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            uint64_t word;
            std::memcpy(&word, p + i, 8);
            any |= word;
        }
        for (; i < n; ++i) any |= p[i];
        if (!(any & kHigh)) return;  // ASCII
        for (i = 0; i < n; ++i) {
            width = std::max(width, width_of_byte(p[i]));
            continuation += (p[i] & 0xC0) == 0x80;
        }
    }
};

int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The width of the character a \uXXXX escape makes (a surrogate half counts
// as the character beyond U+FFFF that a pair makes).
int width_of_escape(const unsigned char *hex) {
    unsigned v = 0;
    for (int k = 0; k < 4; ++k) {
        int d = hex_digit(hex[k]);
        if (d < 0) return 1;  // the parser refuses it
        v = v * 16 + unsigned(d);
    }
    if (v < 0x100) return 1;
    return v >= 0xD800 && v < 0xE000 ? 4 : 2;
}

// A string from just after its opening quote: its cost is added to `cost`,
// its text to `text`; returns the position after its closing quote. Linear:
// the closing quote is searched again only past an escaped one.
size_t scan_string(const unsigned char *p, size_t i, size_t n, long long &cost, Span &text) {
    const size_t start = i;
    Span span;
    auto find = [&](size_t from, unsigned char c) {
        const void *at = std::memchr(p + from, c, n - from);
        return at ? size_t(static_cast<const unsigned char *>(at) - p) : n;
    };
    size_t quote = find(i, '"');
    for (;;) {
        const void *at = std::memchr(p + i, '\\', quote - i);
        if (!at) break;
        const size_t slash = size_t(static_cast<const unsigned char *>(at) - p);
        span.add(p + i, slash - i);
        if (slash + 5 < n && p[slash + 1] == 'u') {
            span.width = std::max(span.width, width_of_escape(p + slash + 2));
            i = slash + 6;
        } else {
            i = std::min(slash + 2, n);
        }
        if (i > quote) quote = find(i, '"');  // that quote was escaped
    }
    span.add(p + i, quote - i);
    text.width = std::max(text.width, span.width);
    // An escape counts a character per byte of it.
    const long long characters = static_cast<long long>(quote - start) - span.continuation;
    cost += kString + characters * span.width;
    return quote + 1;
}

bool in_number(unsigned char c) {
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

bool is_letter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

long long json_parse_cost(const unsigned char *p, size_t n) {
    long long cost = 0;
    Span text;  // json.loads decodes the whole body to a str first
    size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c == '{' || c == '[') {
            cost += kContainer + kSlot;
            ++i;
        } else if (c == ':') {
            cost += kMember;
            ++i;
        } else if (c == '"') {
            i = scan_string(p, i + 1, n, cost, text);
            cost += kSlot;
        } else if (in_number(c)) {
            const size_t start = i;
            while (i < n && in_number(p[i])) ++i;
            // Long ints take about half a byte per digit.
            cost += kNumber + kSlot + static_cast<long long>(i - start) / 2;
        } else if (is_letter(c)) {
            // true, false and null are shared; NaN and Infinity are floats.
            const bool number = c == 'N' || c == 'I';
            while (i < n && is_letter(p[i])) ++i;
            cost += kSlot + (number ? kNumber : 0);
        } else {
            text.add(p + i, 1);
            ++i;
        }
    }
    // Decoding a body with wider characters sizes its buffer by bytes, not
    // characters, and widens it from the narrow one it started with.
    const long long bytes = static_cast<long long>(n);
    return cost + bytes * text.width + (text.width > 1 ? bytes : 0);
}

}  // namespace vorna

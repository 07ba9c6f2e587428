#include "image_scan.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace vorna {
namespace {

// --- JPEG: scans ------------------------------------------------------------------------------

// libjpeg's default progressive script writes 10 scans for a colour image (6
// for grey), a sequential file one per component at most; other encoders'
// progressive scripts stay near a dozen. Each scan costs a pass over all the
// image's blocks however few bytes it takes (an end-of-band run of 16 bytes
// covers them all), so the count bounds the decoding work: at most 32 passes.
constexpr int kMostJpegScans = 32;

std::string jpeg_refusal(const unsigned char *p, size_t n) {
    size_t i = 2;  // after SOI
    int scans = 0;
    while (i + 1 < n) {
        if (p[i] != 0xFF) return {};  // not a marker where one belongs: Pillow reports it
        const unsigned char marker = p[i + 1];
        if (marker == 0xFF) {  // fill byte
            ++i;
            continue;
        }
        i += 2;
        if (marker == 0xD9) break;  // EOI: only the first image is decoded (an MPO's others are not)
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // markers without a length
        if (i + 2 > n) break;
        const size_t length = (size_t(p[i]) << 8) | p[i + 1];
        if (length < 2) return {};
        i += length;
        if (marker != 0xDA) continue;
        if (++scans > kMostJpegScans)
            return "the JPEG image has more than " + std::to_string(kMostJpegScans) +
                   " scans (encoders write about a dozen at most), and each one is a pass over all its pixels";
        // Entropy-coded data up to the next marker: 0xFF is followed by 0x00
        // (a stuffed byte), a restart marker, more fill, or the next marker.
        while (i < n) {
            const void *at = std::memchr(p + i, 0xFF, n - i);
            if (!at) return {};
            i = size_t(static_cast<const unsigned char *>(at) - p);
            if (i + 1 >= n) return {};
            const unsigned char next = p[i + 1];
            if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
                i += 2;
            } else if (next == 0xFF) {
                ++i;
            } else {
                break;
            }
        }
    }
    return {};
}

// --- PNG: text --------------------------------------------------------------------------------

uint32_t be32(const unsigned char *p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Deflate inflates to at most 1032 times its length.
long long inflated_at_most(long long length, long long max_text_chunk) {
    return std::min(max_text_chunk, length > (1LL << 40) ? (1LL << 50) : length * 1032);
}

long long png_text(const unsigned char *p, size_t n, long long max_text_chunk) {
    long long text = 0;
    size_t i = 8;  // after the signature
    while (i + 8 <= n) {
        const long long length = std::min<long long>(be32(p + i), static_cast<long long>(n - i - 8));
        const unsigned char *type = p + i + 4, *data = p + i + 8;
        if (std::memcmp(type, "tEXt", 4) == 0) {
            text += length;
        } else if (std::memcmp(type, "zTXt", 4) == 0 || std::memcmp(type, "iCCP", 4) == 0) {
            text += inflated_at_most(length, max_text_chunk);
        } else if (std::memcmp(type, "iTXt", 4) == 0) {
            // keyword, NUL, then the compression flag
            const void *end = std::memchr(data, 0, static_cast<size_t>(length));
            const size_t flag = end ? size_t(static_cast<const unsigned char *>(end) - data) + 1 : size_t(length);
            const bool compressed = flag < size_t(length) && data[flag] != 0;
            text += compressed ? inflated_at_most(length, max_text_chunk) : length;
        } else if (std::memcmp(type, "IEND", 4) == 0) {
            break;
        }
        i += 12 + static_cast<size_t>(length);
    }
    return text;
}

// --- TIFF: the first image's strips or tiles -----------------------------------------------

class TiffReader {
public:
    TiffReader(const unsigned char *p, size_t n) : p_(p), n_(n), little_(p[0] == 'I') {}

    // An unsigned value of `width` bytes at `at`, or nothing when out of range.
    bool read(size_t at, int width, uint64_t &value) const {
        if (at > n_ || n_ - at < size_t(width)) return false;
        value = 0;
        for (int k = 0; k < width; ++k) {
            const int shift = little_ ? 8 * k : 8 * (width - 1 - k);
            value |= uint64_t(p_[at + k]) << shift;
        }
        return true;
    }

private:
    const unsigned char *p_;
    size_t n_;
    bool little_;
};

uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

uint64_t saturating_product(uint64_t a, uint64_t b) { return a != 0 && b > UINT64_MAX / a ? UINT64_MAX : a * b; }

std::string tiff_refusal(const unsigned char *p, size_t n) {
    if (n < 16) return {};
    const TiffReader r(p, n);
    uint64_t magic = 0;
    r.read(2, 2, magic);
    const bool big = magic == 43;  // BigTIFF: 8-byte offsets and counts
    const int word = big ? 8 : 4, entry_size = big ? 20 : 12;
    uint64_t at = 0, entries = 0;
    if (!r.read(big ? 8 : 4, word, at) || !r.read(at, big ? 8 : 2, entries)) return {};
    at += big ? 8 : 2;
    entries = std::min<uint64_t>(entries, (n - std::min<uint64_t>(at, n)) / entry_size);

    uint64_t width = 0, height = 0, samples = 1, planar = 1, rows = 0, tile_width = 0, tile_length = 0;
    uint64_t strips = 0, tiles = 0;
    bool has_rows = false;
    for (uint64_t e = 0; e < entries; ++e, at += entry_size) {
        uint64_t tag = 0, type = 0, count = 0, value = 0;
        r.read(at, 2, tag);
        r.read(at + 2, 2, type);
        r.read(at + 4, word, count);
        // The first value, where it sits in the entry (SHORT, LONG, LONG8).
        const int size = type == 3 ? 2 : type == 4 ? 4 : type == 16 ? 8 : 0;
        if (size && size <= word) r.read(at + 4 + word, size, value);
        switch (tag) {
            case 256: width = value; break;
            case 257: height = value; break;
            case 273: strips = count; break;
            case 277: samples = std::max<uint64_t>(value, 1); break;
            case 278: rows = value; has_rows = true; break;
            case 284: planar = value; break;
            case 322: tile_width = value; break;
            case 323: tile_length = value; break;
            case 324: tiles = count; break;
            default: break;
        }
    }
    if (!width || !height) return {};
    const uint64_t planes = planar == 2 ? std::min<uint64_t>(samples, 1 << 16) : 1;
    if (tiles) {
        // Tiles are multiples of 16 pixels; a small image may sit in one larger tile.
        const uint64_t widest = std::max<uint64_t>(ceil_div(width, 16) * 16, 1024);
        const uint64_t longest = std::max<uint64_t>(ceil_div(height, 16) * 16, 1024);
        if (tile_width > widest || tile_length > longest)
            return "the TIFF image of " + std::to_string(width) + " x " + std::to_string(height) +
                   " pixels comes in tiles of " + std::to_string(tile_width) + " x " + std::to_string(tile_length) +
                   ", each decoded into a buffer of its own";
        const uint64_t needed = saturating_product(
            saturating_product(planes, ceil_div(width, std::max<uint64_t>(tile_width, 1))),
            ceil_div(height, std::max<uint64_t>(tile_length, 1)));
        if (tiles > needed)
            return "the TIFF image lists " + std::to_string(tiles) + " tiles where its size needs " +
                   std::to_string(needed) + ", and each one is decoded on its own";
    } else if (strips) {
        const uint64_t per_strip = has_rows ? std::min(std::max<uint64_t>(rows, 1), height) : height;
        const uint64_t needed = saturating_product(planes, ceil_div(height, per_strip));
        if (strips > needed)
            return "the TIFF image lists " + std::to_string(strips) + " strips where its size needs " +
                   std::to_string(needed) + ", and each one is decoded on its own";
    }
    return {};
}

bool starts_with(const unsigned char *p, size_t n, const char *prefix, size_t length) {
    return n >= length && std::memcmp(p, prefix, length) == 0;
}

}  // namespace

ImageScan scan_image(const unsigned char *p, size_t n, long long max_text_chunk) {
    ImageScan scan;
    if (starts_with(p, n, "\xFF\xD8\xFF", 3)) {
        scan.refusal = jpeg_refusal(p, n);
    } else if (starts_with(p, n, "\x89PNG\r\n\x1A\n", 8)) {
        scan.text_bytes = png_text(p, n, max_text_chunk);
    } else if (n >= 4 && ((p[0] == 'I' && p[1] == 'I') || (p[0] == 'M' && p[1] == 'M')) &&
               ((p[2] == 0 && (p[3] == 42 || p[3] == 43)) || ((p[2] == 42 || p[2] == 43) && p[3] == 0))) {
        // Pillow's prefixes: either byte order, the magic number in either place.
        scan.refusal = tiff_refusal(p, n);
    }
    return scan;
}

}  // namespace vorna

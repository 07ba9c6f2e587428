// What decoding an image answer costs beyond its pixels, read from its bytes
// before Pillow sees them: Pillow's own checks bound an image's size, not the
// work or the memory its structure asks for.
#pragma once
#include <cstddef>
#include <string>

namespace vorna {

struct ImageScan {
    // Why the image is refused (its format's reason), or empty.
    std::string refusal;
    // The most bytes of text (PNG's text chunks and colour profile, inflated
    // at their worst) that Pillow reads into memory while opening it.
    long long text_bytes = 0;
};

// Scans `data`: a JPEG's scans (each one a pass over all its pixels), the
// strips or tiles of a TIFF's first image (each one decoded on its own), a
// PNG's text. Formats it does not know, and bytes that are not what they
// claim, pass: Pillow reports those itself. `max_text_chunk` is the most
// Pillow inflates of one text chunk.
ImageScan scan_image(const unsigned char *data, size_t size, long long max_text_chunk);

}  // namespace vorna

// Image answers of the service, opened and sized before decoding.
#pragma once
#include "answers.hpp"

namespace vorna {

// Before Pillow reads `raw` (an image answer's bytes): refuses it when its
// structure asks for more decoding work than its size says (a JPEG's scans, a
// TIFF's strips or tiles), and counts the text Pillow would read from it into
// memory while opening it against `answer`.
void check_image_bytes(AnswerScope &answer, py::handle raw);

// `Image.open(buffer, formats=...)` with the formats image answers may come
// in: those whose opening reads only the header. An image of another format
// Pillow knows is refused by name (ValueError).
py::object open_image_answer(py::handle image_module, py::handle buffer);

// For an image opened (not yet decoded) from an answer: refuses it when its
// pixels exceed `Image.MAX_IMAGE_PIXELS` (Pillow's DecompressionBombError) or
// when, decoded to a float32 RGB image, it would not fit what is left of
// `answer`'s limit (ValueError), and counts it. `image_module` is the
// `PIL.Image` the caller opened it with.
void check_image_answer(AnswerScope &answer, py::handle image_module, py::handle pil_image);

// `values / 255.0` where `values` is a fresh result of astype, in place
// when that is an unshared float32 ndarray (a fresh image-sized array is the
// costliest step for large pictures: fresh pages for every element).
py::object scaled_to_unit(py::object values);

}  // namespace vorna

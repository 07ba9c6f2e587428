// Image answers: opened only in formats whose opening reads the header, and
// sized before anything is decoded.
#include "image_answer.hpp"

#include "image_scan.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace vorna {
namespace {

// The formats image answers may come in: those whose opening reads only the
// header. ICO and CUR decode an embedded image while opening, before any size
// is known.
constexpr const char *kImageFormats[] = {"PNG", "JPEG", "WEBP", "BMP", "GIF", "TIFF"};

py::tuple image_answer_formats() {
    py::tuple formats(std::size(kImageFormats));
    for (size_t i = 0; i < std::size(kImageFormats); ++i) formats[i] = py::str(kImageFormats[i]);
    return formats;
}

// The most Pillow inflates of one PNG text chunk (read at every call: an
// application may set it).
long long pillow_text_chunk_limit() {
    constexpr long long kPillowDefault = 1LL << 20;
    py::object most = py::getattr(py::module_::import("PIL.PngImagePlugin"), "MAX_TEXT_CHUNK", py::none());
    return PyLong_Check(most.ptr()) ? std::max(0LL, as_size(most)) : kPillowDefault;
}

}  // namespace

void check_image_bytes(AnswerScope &answer, py::handle raw) {
    struct View {
        Py_buffer view{};
        bool held = false;
        ~View() {
            if (held) PyBuffer_Release(&view);
        }
    } bytes;
    bytes.held = PyObject_GetBuffer(raw.ptr(), &bytes.view, PyBUF_SIMPLE) == 0;
    if (!bytes.held) {
        PyErr_Clear();  // Pillow reports what it is
        return;
    }
    const auto *data = static_cast<const unsigned char *>(bytes.view.buf);
    const size_t size = static_cast<size_t>(bytes.view.len);
    const bool png = size >= 8 && std::memcmp(data, "\x89PNG\r\n\x1A\n", 8) == 0;
    const ImageScan scan = scan_image(data, size, png ? pillow_text_chunk_limit() : 0);
    if (!scan.refusal.empty()) refuse(scan.refusal);
    if (scan.text_bytes > 0) {
        answer.check_room(scan.text_bytes);
        answer.add(scan.text_bytes);
    }
}

py::object open_image_answer(py::handle image_module, py::handle buffer) {
    py::tuple formats = image_answer_formats();
    try {
        return image_module.attr("open")(buffer, py::arg("formats") = formats);
    } catch (py::error_already_set &e) {
        py::object unidentified = py::getattr(image_module, "UnidentifiedImageError", py::none());
        py::object registry = py::getattr(image_module, "OPEN", py::none());
        if (!PyExceptionClass_Check(unidentified.ptr()) || !e.matches(unidentified) || !PyDict_Check(registry.ptr()))
            throw;
        // Name the format when another of Pillow's formats claims the first
        // bytes (its own test, as Image.open makes it; nothing is opened).
        Handling handling(e);
        buffer.attr("seek")(0);
        py::object prefix = buffer.attr("read")(16);
        for (auto item : py::reinterpret_borrow<py::dict>(registry)) {
            py::handle accept = PyTuple_Check(item.second.ptr()) && PyTuple_GET_SIZE(item.second.ptr()) == 2
                                    ? PyTuple_GET_ITEM(item.second.ptr(), 1)
                                    : Py_None;
            int allowed = PySequence_Contains(formats.ptr(), item.first.ptr());
            if (allowed < 0) throw py::error_already_set();
            if (allowed || !PyCallable_Check(accept.ptr())) continue;
            auto verdict = py::reinterpret_steal<py::object>(PyObject_CallOneArg(accept.ptr(), prefix.ptr()));
            if (!verdict) {
                // As Image.open does: a test that fails is no claim.
                if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
                PyErr_Clear();
                continue;
            }
            if (PyUnicode_Check(verdict.ptr()) || !truth(verdict)) continue;
            raise_with_context(PyExc_ValueError,
                               py::str("answer refused: the image's format (Pillow takes it for {}) is not one of {}")
                                   .format(item.first, py::str(", ").attr("join")(formats)),
                               e);
        }
        throw;
    }
}

void check_image_answer(AnswerScope &answer, py::handle image_module, py::handle pil_image) {
    py::object size = py::getattr(pil_image, "size", py::none());
    if (!PyTuple_Check(size.ptr()) || PyTuple_GET_SIZE(size.ptr()) != 2) return;
    py::handle width = PyTuple_GET_ITEM(size.ptr(), 0), height = PyTuple_GET_ITEM(size.ptr(), 1);
    if (!PyLong_Check(width.ptr()) || !PyLong_Check(height.ptr())) return;
    const long long pixels = saturating_mul(std::max(0LL, as_size(width)), std::max(0LL, as_size(height)));

    py::object max_pixels = py::getattr(image_module, "MAX_IMAGE_PIXELS", py::none());
    if (PyLong_Check(max_pixels.ptr()) && pixels > as_size(max_pixels)) {
        // Pillow itself only warns up to twice its limit; here the limit holds.
        py::object error = py::getattr(image_module, "DecompressionBombError", py::none());
        std::string text = "Image size (" + std::to_string(pixels) + " pixels) exceeds limit of " +
                           py::str(max_pixels).cast<std::string>() +
                           " pixels, could be decompression bomb DOS attack.";
        if (!PyExceptionClass_Check(error.ptr())) refuse(text);
        PyErr_SetObject(error.ptr(), py::str(text).ptr());
        throw py::error_already_set();
    }
    // Decoded to float32 RGB: twelve bytes a pixel.
    const long long bytes = saturating_mul(pixels, 12);
    answer.check_room(bytes);
    answer.add(bytes);
}

py::object scaled_to_unit(py::object values) {
    py::float_ scale(255.0);
    py::object np = loaded_module("numpy");
    if (!np.is_none() && unshared(values) && py::type::of(values).is(np.attr("ndarray")) &&
        values.attr("dtype").equal(np.attr("float32")))
        return values /= scale;
    return values / scale;
}

}  // namespace vorna

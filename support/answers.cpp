#include "answers.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

namespace vorna {
namespace {

constexpr const char *kSetting = "VORNA_MAX_ANSWER_BYTES";

// Sizes: a * b and a + b, or LLONG_MAX when the result would not fit; a size
// below zero counts as zero. Plain checks instead of compiler built-ins,
// which MSVC lacks.
long long saturating_mul(long long a, long long b) {
    a = std::max(a, 0LL);
    b = std::max(b, 0LL);
    return a != 0 && b > LLONG_MAX / a ? LLONG_MAX : a * b;
}

long long saturating_add(long long a, long long b) {
    a = std::max(a, 0LL);
    b = std::max(b, 0LL);
    return b > LLONG_MAX - a ? LLONG_MAX : a + b;
}

// The config module's `_MAX_ANSWER_BYTES`, looked up at every call so that
// it can be patched; `from .config import _MAX_ANSWER_BYTES`.
long long answer_limit(py::handle module) {
    py::object config = import_from(module, "config", {"_MAX_ANSWER_BYTES"}, 1);
    py::object value = config.attr("_MAX_ANSWER_BYTES");
    int overflow = 0;
    long long limit = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (limit == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow) return overflow > 0 ? LLONG_MAX : -1;
    return limit;
}

[[noreturn]] void refuse(const std::string &why) {
    PyErr_SetString(PyExc_ValueError, ("answer refused: " + why).c_str());
    throw py::error_already_set();
}

[[noreturn]] void refuse_size(long long size, long long limit) {
    refuse("it would decode to " + (size == LLONG_MAX ? std::string("more than 2^63") : std::to_string(size)) +
           " bytes, more than the limit of " + std::to_string(limit) + " bytes (" + kSetting + ")");
}

long long as_size(py::handle value) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow) return overflow > 0 ? LLONG_MAX : -1;
    return v;
}

// The records of a zip archive, as its central directory declares them: the
// reader allocates each record's declared size, then fills it, inflating
// compressed ones. torch.save stores every record uncompressed.
void check_archive(py::handle raw, Py_ssize_t length, long long limit) {
    py::object infos;
    try {
        py::object stream = py::module_::import("io").attr("BytesIO")(raw);
        py::object archive = py::module_::import("zipfile").attr("ZipFile")(stream);
        infos = archive.attr("infolist")();
        archive.attr("close")();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        raise_with_context(PyExc_ValueError,
                           py::str("answer refused: not a readable tensor archive: ") + exception_text(e), e);
    }
    long long total = 0;
    for (py::handle info : infos) {
        if (as_size(info.attr("compress_type")) != 0)
            refuse("the tensor archive holds a compressed record (" +
                   py::str(info.attr("filename")).cast<std::string>() + ")");
        long long size = as_size(info.attr("file_size"));
        if (size < 0 || size != as_size(info.attr("compress_size")) || size > length)
            refuse("a record of the tensor archive declares a size that its bytes do not hold");
        total = saturating_add(total, size);
        if (total > limit) refuse_size(total, limit);
    }
}

// True when the stream is in torch's legacy (pre-archive) format: it starts
// with a pickle of torch's magic number, read the way torch.load reads it.
// Such a stream allocates every storage at the size its pickle claims before
// any data is read, so it cannot be checked in advance.
bool is_legacy_stream(py::handle raw) {
    py::object reader, magic;
    try {
        reader = py::module_::import("torch._weights_only_unpickler").attr("load");
        magic = py::module_::import("torch.serialization").attr("MAGIC_NUMBER");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return true;  // cannot tell: treat it as unreadable in advance
    }
    try {
        py::object stream = py::module_::import("io").attr("BytesIO")(raw);
        py::object first = reader(stream, py::arg("encoding") = "utf-8");
        return first.equal(magic);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;  // torch.load will report what is wrong with it
    }
}

// Every tensor reachable from the loaded value (containers, tensor
// attributes), each once.
void check_loaded(py::handle value, long long limit) {
    py::object torch = py::module_::import("torch");
    py::object tensor_type = torch.attr("Tensor");
    py::object strided = torch.attr("strided");
    std::vector<py::object> pending{py::reinterpret_borrow<py::object>(value)};
    std::unordered_set<PyObject *> seen;
    long long total = 0;
    auto push_items = [&](py::handle iterable) {
        for (py::handle item : iterable) pending.push_back(py::reinterpret_borrow<py::object>(item));
    };
    while (!pending.empty()) {
        py::object item = std::move(pending.back());
        pending.pop_back();
        PyObject *o = item.ptr();
        const bool tensor = PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject *>(tensor_type.ptr()));
        if (!tensor && !PyDict_Check(o) && !PyList_Check(o) && !PyTuple_Check(o) && !PyAnySet_Check(o)) continue;
        if (!seen.insert(o).second) continue;
        if (PyDict_Check(o)) {
            push_items(item.attr("keys")());
            push_items(item.attr("values")());
            continue;
        }
        if (!tensor) {
            push_items(item);
            continue;
        }
        long long count = 1;
        for (py::handle extent : item.attr("shape")) count = saturating_mul(count, std::max(0LL, as_size(extent)));
        if (py::object(item.attr("layout")).is(strided)) {
            for (py::handle step : item.attr("stride")())
                if (as_size(step) < 0) refuse("a tensor in it has a negative stride");
        }
        total = saturating_add(total, saturating_mul(count, as_size(item.attr("element_size")())));
        if (total > limit) refuse_size(total, limit);
        // Attributes restored onto a tensor may hold tensors too.
        py::object attributes = py::getattr(item, "__dict__", py::none());
        if (PyDict_Check(attributes.ptr()) && PyDict_GET_SIZE(attributes.ptr())) pending.push_back(attributes);
    }
}

}  // namespace

py::object load_tensor_answer(py::handle module, py::handle torch, py::handle buffer, py::handle raw) {
    const long long limit = answer_limit(module);
    Py_buffer view;
    if (PyObject_GetBuffer(raw.ptr(), &view, PyBUF_SIMPLE) == 0) {
        const bool archive = view.len >= 4 && std::memcmp(view.buf, "PK\x03\x04", 4) == 0;
        const Py_ssize_t length = view.len;
        PyBuffer_Release(&view);
        // torch.load tells the two formats apart by the same four bytes.
        if (archive)
            check_archive(raw, length, limit);
        else if (is_legacy_stream(raw))
            refuse("a tensor stream in the legacy format (its sizes cannot be checked before loading)");
    } else {
        PyErr_Clear();  // not bytes: torch.load reports it
    }
    py::object loaded = torch.attr("load")(buffer, py::arg("map_location") = "cpu", py::arg("weights_only") = true);
    check_loaded(loaded, limit);
    return loaded;
}

void check_image_answer(py::handle module, py::handle image_module, py::handle pil_image) {
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
    const long long limit = answer_limit(module);
    const long long bytes = saturating_mul(pixels, 12);
    if (bytes > limit) refuse_size(bytes, limit);
}

}  // namespace vorna

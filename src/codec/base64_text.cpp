#include "base64_text.hpp"

#include <array>
#include <cstdint>
#include <cstring>

namespace vorna {
namespace {

// Encoding: text written straight into an ASCII str, the same text as
// base64.b64encode(data).decode("utf-8"), without the bytes in between.

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two output characters for every 12-bit group.
struct PairTable {
    std::array<char, 2 * 4096> chars{};
    constexpr PairTable() {
        for (int i = 0; i < 4096; ++i) {
            chars[2 * i] = kAlphabet[i >> 6];
            chars[2 * i + 1] = kAlphabet[i & 63];
        }
    }
};
constexpr PairTable kPairs;

void encode_into(const unsigned char *in, Py_ssize_t n, char *out) {
    const char *pairs = kPairs.chars.data();
    Py_ssize_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
        std::memcpy(out, pairs + 2 * (v >> 12), 2);
        std::memcpy(out + 2, pairs + 2 * (v & 0xfff), 2);
        out += 4;
    }
    const Py_ssize_t rest = n - i;
    if (rest == 1) {
        const uint32_t v = uint32_t(in[i]) << 16;
        out[0] = kAlphabet[v >> 18];
        out[1] = kAlphabet[(v >> 12) & 63];
        out[2] = '=';
        out[3] = '=';
    } else if (rest == 2) {
        const uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8);
        out[0] = kAlphabet[v >> 18];
        out[1] = kAlphabet[(v >> 12) & 63];
        out[2] = kAlphabet[(v >> 6) & 63];
        out[3] = '=';
    }
}

// Any C-contiguous bytes-like object, as b64encode accepts it.
py::str encode_buffer(py::handle data) {
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) < 0) throw py::error_already_set();
    struct Release {
        Py_buffer *v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    const Py_ssize_t n = view.len;
    if (n > (PY_SSIZE_T_MAX - 3) / 4 * 3) {
        PyErr_NoMemory();
        throw py::error_already_set();
    }
    const Py_ssize_t out_len = (n + 2) / 3 * 4;
    PyObject *text = PyUnicode_New(out_len, 127);
    if (!text) throw py::error_already_set();
    py::str result = py::reinterpret_steal<py::str>(text);
    if (out_len == 0) return result;
    const auto *in = static_cast<const unsigned char *>(view.buf);
    char *out = reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(text));
    // The copy keeps the interpreter lock, as the standard library's base64
    // does: a thread that gives it up cannot safely take it back while the
    // interpreter exits (it is ended by unwinding through frames that own
    // Python references).
    encode_into(in, n, out);
    return result;
}

// True when `func` is the standard library's own `base64.<name>` (its code,
// its defaults, run in the module's namespace) and the binascii routine it
// ends in is binascii's own. Only then may the one-pass routines here stand
// in for it; a replaced or wrapped function, on the module or elsewhere, is
// called as it is.
bool is_library_base64(py::handle func, const char *name, const char *helper) {
    PyObject *f = func.ptr();
    if (!PyFunction_Check(f)) return false;
    py::object module = loaded_module("base64");
    if (module.is_none() || PyFunction_GET_GLOBALS(f) != PyModule_GetDict(module.ptr())) return false;
    auto *code = reinterpret_cast<PyCodeObject *>(PyFunction_GET_CODE(f));
    if (PyUnicode_CompareWithASCIIString(code->co_name, name) != 0) return false;
    if (PyFunction_GET_KW_DEFAULTS(f)) return false;
    // b64encode(s, altchars=None), b64decode(s, altchars=None, validate=False)
    PyObject *defaults = PyFunction_GET_DEFAULTS(f);
    const bool decoding = std::strcmp(name, "b64decode") == 0;
    if (!defaults || !PyTuple_CheckExact(defaults) || PyTuple_GET_SIZE(defaults) != (decoding ? 2 : 1) ||
        PyTuple_GET_ITEM(defaults, 0) != Py_None || (decoding && PyTuple_GET_ITEM(defaults, 1) != Py_False))
        return false;
    py::object binascii = loaded_module("binascii");
    PyObject *seen = PyDict_GetItemString(PyFunction_GET_GLOBALS(f), "binascii");  // borrowed
    if (binascii.is_none() || seen != binascii.ptr()) return false;
    PyObject *routine = PyDict_GetItemString(PyModule_GetDict(binascii.ptr()), helper);  // borrowed
    return routine && PyCFunction_Check(routine) && PyCFunction_GET_SELF(routine) == binascii.ptr();
}

}  // namespace

// `base64.b64encode(buffer.getvalue()).decode("utf-8")`. With the library's
// b64encode and a plain BytesIO the text is built from the buffer's memory in
// one pass; anything else (a patched function or buffer) gets the literal steps.
py::object encode_bytesio(py::handle base64, py::handle buffer) {
    py::object b64encode = base64.attr("b64encode");
    py::object io_impl = loaded_module("_io");
    if (is_library_base64(b64encode, "b64encode", "b2a_base64") && !io_impl.is_none() &&
        py::handle(reinterpret_cast<PyObject *>(Py_TYPE(buffer.ptr()))).is(io_impl.attr("BytesIO"))) {
        py::object view = buffer.attr("getbuffer")();
        py::str text = encode_buffer(view);
        view.attr("release")();
        return std::move(text);
    }
    py::object value = buffer.attr("getvalue")();
    return b64encode(value).attr("decode")("utf-8");
}

// `base64.b64encode(data).decode("utf-8")` for bytes-like `data`.
py::object encode_bytes(py::handle base64, py::handle data) {
    py::object b64encode = base64.attr("b64encode");
    if (is_library_base64(b64encode, "b64encode", "b2a_base64")) return encode_buffer(data);
    return b64encode(data).attr("decode")("utf-8");
}

namespace {

// Decoding. The library's lenient rules (stray characters skipped, odd
// padding) stay the contract, so only canonical text is decoded here: length
// a multiple of 4, alphabet only, "=" only as the last one or two characters.
// For such text every reading gives the same bytes; anything else goes to
// base64.b64decode. Each table places one character's six bits; kBad marks a
// character outside the alphabet.
constexpr uint32_t kBad = 1u << 24;

struct DecodeTables {
    std::array<uint32_t, 256> t[4]{};
    constexpr DecodeTables() {
        for (int k = 0; k < 4; ++k)
            for (int c = 0; c < 256; ++c) t[k][c] = kBad;
        for (uint32_t i = 0; i < 64; ++i) {
            const auto c = static_cast<unsigned char>(kAlphabet[i]);
            for (int k = 0; k < 4; ++k) t[k][c] = i << (18 - 6 * k);
        }
    }
};
constexpr DecodeTables kDecode;

inline uint32_t quad(const unsigned char *in) {
    return kDecode.t[0][in[0]] | kDecode.t[1][in[1]] | kDecode.t[2][in[2]] | kDecode.t[3][in[3]];
}

// Decodes the full quads of `in` (n a multiple of 4); false on any
// character outside the alphabet.
bool decode_quads(const unsigned char *in, Py_ssize_t n, unsigned char *out) {
    uint32_t seen = 0;
    for (Py_ssize_t i = 0; i < n; i += 4) {
        const uint32_t v = quad(in + i);
        seen |= v;
        out[0] = static_cast<unsigned char>(v >> 16);
        out[1] = static_cast<unsigned char>(v >> 8);
        out[2] = static_cast<unsigned char>(v);
        out += 3;
    }
    return !(seen & kBad);
}

// The bytes of canonical base64 text, or a null object when the text is not
// canonical.
py::object decode_canonical(const unsigned char *in, Py_ssize_t n) {
    if (n % 4) return py::object();
    Py_ssize_t pads = 0;
    if (n && in[n - 1] == '=') pads = in[n - 2] == '=' ? 2 : 1;
    const Py_ssize_t body = pads ? n - 4 : n;
    unsigned char tail[4] = {'A', 'A', 'A', 'A'};
    if (pads) {
        std::memcpy(tail, in + body, 4 - pads);
        if (quad(tail) & kBad) return py::object();
    }
    PyObject *bytes = PyBytes_FromStringAndSize(nullptr, n / 4 * 3 - pads);
    if (!bytes) throw py::error_already_set();
    py::object result = py::reinterpret_steal<py::object>(bytes);
    auto *out = reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(bytes));
    if (!decode_quads(in, body, out)) return py::object();
    if (pads) {
        const uint32_t v = quad(tail);
        out += body / 4 * 3;
        out[0] = static_cast<unsigned char>(v >> 16);
        if (pads == 1) out[1] = static_cast<unsigned char>(v >> 8);
    }
    return result;
}

}  // namespace

py::object call_b64decode(py::handle func, py::handle data) {
    if (is_library_base64(func, "b64decode", "a2b_base64")) {
        py::object raw;
        if (PyUnicode_Check(data.ptr())) {
#if PY_VERSION_HEX < 0x030C0000
            if (PyUnicode_READY(data.ptr()) < 0) throw py::error_already_set();
#endif
            if (PyUnicode_IS_ASCII(data.ptr()))
                raw = decode_canonical(PyUnicode_1BYTE_DATA(data.ptr()), PyUnicode_GET_LENGTH(data.ptr()));
        } else if (PyBytes_CheckExact(data.ptr())) {
            raw = decode_canonical(reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(data.ptr())),
                                   PyBytes_GET_SIZE(data.ptr()));
        }
        if (raw) return raw;
    }
    return py::reinterpret_borrow<py::object>(func)(data);
}


}  // namespace vorna

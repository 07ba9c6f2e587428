// The codecs of `base`: host values (tensors, image batches, conditioning,
// arbitrary objects) to and from the text forms carried in requests and
// answers, and the one decoding of tensor and image answers that the nodes
// share. Module globals are looked up at call time so they can be patched.
#include "codecs.hpp"

#include "answers.hpp"
#include "image_answer.hpp"
#include "tensor_answer.hpp"

#include <array>
#include <cstdint>
#include <cstring>

namespace vorna {
namespace {

// ---------------------------------------------------------------------------
// Small helpers

py::object call_method(py::handle obj, const char *name) {
    return obj.attr(name)();
}

bool is_instance(py::handle obj, PyTypeObject *type) {
    int r = PyObject_IsInstance(obj.ptr(), reinterpret_cast<PyObject *>(type));
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// `import <name>` inside a function body: through the import system every time.
py::object import_module(py::handle module, const char *name) { return import_from(module, name, {}, 0); }

// ---------------------------------------------------------------------------
// base64 text, written straight into an ASCII str: the same text as
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

// `base64.b64encode(buffer.getvalue()).decode("utf-8")`. With the library's
// b64encode and a plain BytesIO the text is built from the buffer's memory in
// one pass; anything else (a patched function or buffer) gets the literal steps.
py::object encode_bytesio(py::handle base64, py::handle buffer) {
    py::object b64encode = base64.attr("b64encode");
    py::object io_impl = loaded_module("_io");
    if (is_library_base64(b64encode, "b64encode", "b2a_base64") && !io_impl.is_none() &&
        py::handle(reinterpret_cast<PyObject *>(Py_TYPE(buffer.ptr()))).is(io_impl.attr("BytesIO"))) {
        py::object view = call_method(buffer, "getbuffer");
        py::str text = encode_buffer(view);
        call_method(view, "release");
        return std::move(text);
    }
    py::object value = call_method(buffer, "getvalue");
    return b64encode(value).attr("decode")("utf-8");
}

// `base64.b64encode(data).decode("utf-8")` for bytes-like `data`.
py::object encode_bytes(py::handle base64, py::handle data) {
    py::object b64encode = base64.attr("b64encode");
    if (is_library_base64(b64encode, "b64encode", "b2a_base64")) return encode_buffer(data);
    return b64encode(data).attr("decode")("utf-8");
}

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

namespace {

// `values / 255.0` where `values` is astype's result, in place when that is
// an unshared float32 ndarray (a fresh image-sized array is the costliest
// step for large pictures: fresh pages for every element).
py::object scaled_to_unit(py::object values) {
    py::float_ scale(255.0);
    py::object np = loaded_module("numpy");
    if (!np.is_none() && unshared(values) && py::type::of(values).is(np.attr("ndarray")) &&
        values.attr("dtype").equal(np.attr("float32")))
        return values /= scale;
    return values / scale;
}

}  // namespace

py::object decode_tensor_answer(py::handle module, Libraries libraries, py::handle data) {
    auto library = [&](const char *name) {
        return libraries == Libraries::globals ? global(module, name) : import_module(module, name);
    };
    py::object b64decode = library("base64").attr("b64decode");
    py::object raw = call_b64decode(b64decode, data);
    // The answer is untrusted: tensors and plain containers only, never
    // code, and no more of them than the answer limit allows.
    return load_tensor_answer(module, library("torch"), raw);
}

// Each intermediate goes as soon as the next exists, so a large picture is
// not held several times over.
py::object decode_image_answer(py::handle module, py::handle data) {
    py::object b64decode = global(module, "base64").attr("b64decode");
    py::object raw = call_b64decode(b64decode, data);
    // The text an image carries and its pixels count against one limit.
    AnswerScope answer(module);
    check_image_bytes(module, raw);
    py::object buffer = global(module, "io").attr("BytesIO")(raw);
    raw = py::object();
    py::object image_module = global(module, "Image");
    py::object pil_image = open_image_answer(image_module, buffer);
    buffer = py::object();
    // Opening reads only the header: the size is known before any decoding.
    check_image_answer(module, image_module, pil_image);
    py::object image = pil_image.attr("convert")("RGB");
    pil_image = py::object();
    py::object pixels = global(module, "np").attr("array")(image);
    image = py::object();
    py::object astype = pixels.attr("astype");
    pixels = py::object();
    py::object values = astype(global(module, "np").attr("float32"));
    astype = py::object();
    py::object image_array = scaled_to_unit(std::move(values));
    py::object tensor = global(module, "torch").attr("from_numpy")(image_array);
    return tensor[py::make_tuple(py::none())];
}

namespace {

// ---------------------------------------------------------------------------
// The six functions

// `product.clamp(0, 255)` for the scaled image, in place on the fresh
// product when that is a plain tensor without autograd.
py::object clamp_to_bytes_range(py::object product) {
    py::object torch = loaded_module("torch");
    if (!torch.is_none() && unshared(product) && py::type::of(product).is(torch.attr("Tensor")) &&
        !truth(product.attr("requires_grad")))
        return product.attr("clamp_")(0, 255);
    return product.attr("clamp")(0, 255);
}

py::object image_to_base64(FunctionObject *fn, py::handle *args) {
    py::object image = py::reinterpret_borrow<py::object>(args[0]);
    Py_ssize_t ndim = PyObject_Size(image.attr("shape").ptr());
    if (ndim < 0) throw py::error_already_set();
    // Only the first entry of a batch travels.
    if (ndim == 4) image = image[py::int_(0)];
    if (equals(image.attr("shape")[py::int_(0)], py::int_(3))) image = image.attr("permute")(1, 2, 0);
    py::object clamped = clamp_to_bytes_range(image * py::int_(255));
    image = clamped.attr("byte")();
    clamped = py::object();
    // The callee is looked up before its argument is computed.
    py::object fromarray = global(fn, "Image").attr("fromarray");
    py::object pil_image = fromarray(call_method(call_method(image, "cpu"), "numpy"));
    py::object buffer = global(fn, "io").attr("BytesIO")();
    pil_image.attr("save")(buffer, py::arg("format") = "PNG");
    return encode_bytesio(global(fn, "base64"), buffer);
}

py::object base64_to_image(FunctionObject *fn, py::handle *args) { return decode_image_answer(module_of(fn), args[0]); }

py::object base64_to_tensor(FunctionObject *fn, py::handle *args) {
    return decode_tensor_answer(module_of(fn), Libraries::globals, args[0]);
}

py::object tensor_to_base64(FunctionObject *fn, py::handle *args) {
    py::handle module = module_of(fn);
    py::object io = import_module(module, "io");
    py::object base64 = import_module(module, "base64");
    py::object torch_local = import_module(module, "torch");
    py::object buf = io.attr("BytesIO")();
    torch_local.attr("save")(args[0], buf);
    return encode_bytesio(base64, buf);
}

py::object serialize_with_pyarrow(FunctionObject *fn, py::handle *args) {
    py::handle obj = args[0];
    try {
        py::object serialized;
        py::object pa = global(fn, "pa");
        if (has_attribute(pa, "serialize")) {
            serialized = call_method(pa.attr("serialize")(obj), "to_buffer");
        } else {
            py::object pas = global(fn, "pas");
            if (has_attribute(pas, "serialize")) {
                serialized = call_method(pas.attr("serialize")(obj), "to_buffer");
            } else {
                serialized = import_module(module_of(fn), "pickle").attr("dumps")(obj);
            }
        }
        return encode_bytes(global(fn, "base64"), serialized);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        Handling handling(e);
        py::object log_error = global(fn, "logger").attr("error");
        PyObject *text = PyObject_Str(e.value().ptr());
        if (!text) throw py::error_already_set();
        log_error(py::str("PyArrow 序列化失败: ") + py::reinterpret_steal<py::str>(text));
        return global(fn, "json").attr("dumps")(obj, py::arg("default") = global(fn, "str"));
    }
}

// `key in ("cond", "pooled")`: identity or equality with either text, in order.
bool is_tensor_key(py::handle key) {
    if (PyUnicode_CheckExact(key.ptr()))
        return PyUnicode_CompareWithASCIIString(key.ptr(), "cond") == 0 ||
               PyUnicode_CompareWithASCIIString(key.ptr(), "pooled") == 0;
    for (const char *name : {"cond", "pooled"}) {
        int r = PyObject_RichCompareBool(key.ptr(), py::str(name).ptr(), Py_EQ);
        if (r < 0) throw py::error_already_set();
        if (r) return true;
    }
    return false;
}

// `k, v = item`.
std::pair<py::object, py::object> unpack_pair(py::handle item) {
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2)
        return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 0)),
                py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 1))};
    PyObject *it = PyObject_GetIter(item.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    py::object iter = py::reinterpret_steal<py::object>(it);
    py::object parts[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *next = PyIter_Next(it);
        if (!next) {
            if (PyErr_Occurred()) throw py::error_already_set();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw py::error_already_set();
        }
        parts[i] = py::reinterpret_steal<py::object>(next);
    }
    if (py::reinterpret_steal<py::object>(PyIter_Next(it))) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {parts[0], parts[1]};
}

py::object deserialize_conditioning(FunctionObject *fn, py::handle *args) {
    py::handle data = args[0];
    NestingGuard guard(" while decoding conditioning");
    // The tensors of one conditioning answer count against one limit.
    AnswerScope answer(module_of(fn));
    if (is_instance(data, &PyList_Type)) {
        py::list result;
        auto add = [&](py::handle item) {
            py::object value = global(fn, "deserialize_conditioning")(item);
            if (PyList_Append(result.ptr(), value.ptr()) < 0) throw py::error_already_set();
        };
        if (PyList_CheckExact(data.ptr())) {
            // As the list iterator does: the length is read afresh at every step.
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data.ptr()); ++i)
                add(py::reinterpret_borrow<py::object>(PyList_GET_ITEM(data.ptr(), i)));
        } else {
            for (py::handle item : py::iter(py::reinterpret_borrow<py::object>(data))) add(item);
        }
        return std::move(result);
    }
    if (!is_instance(data, &PyDict_Type)) return py::reinterpret_borrow<py::object>(data);

    py::str marker("__tensor__");
    int has_marker = PySequence_Contains(data.ptr(), marker.ptr());
    if (has_marker < 0) throw py::error_already_set();
    if (has_marker) {
        py::object encoded = py::reinterpret_borrow<py::object>(data)[marker];
        if (is_instance(encoded, &PyUnicode_Type))
            return global(fn, "base64_to_tensor")(py::reinterpret_borrow<py::object>(data)[marker]);
    }

    py::dict result;
    auto add = [&](py::handle key, py::handle value) {
        py::object decoded;
        if (is_tensor_key(key) && is_instance(value, &PyUnicode_Type))
            decoded = global(fn, "base64_to_tensor")(value);
        else
            decoded = global(fn, "deserialize_conditioning")(value);
        if (PyDict_SetItem(result.ptr(), key.ptr(), decoded.ptr()) < 0) throw py::error_already_set();
    };
    if (PyDict_CheckExact(data.ptr())) {
        const Py_ssize_t size = PyDict_GET_SIZE(data.ptr());
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(data.ptr(), &pos, &k, &v)) {
            py::object key = py::reinterpret_borrow<py::object>(k);
            py::object value = py::reinterpret_borrow<py::object>(v);
            add(key, value);
            if (PyDict_GET_SIZE(data.ptr()) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                throw py::error_already_set();
            }
        }
    } else {
        py::object items = call_method(data, "items");
        for (py::handle item : py::iter(items)) {
            auto kv = unpack_pair(item);
            add(kv.first, kv.second);
        }
    }
    return std::move(result);
}

const FunctionDef kImageToBase64{"image_to_base64", {"image"}, image_to_base64};
const FunctionDef kBase64ToImage{"base64_to_image", {"data"}, base64_to_image};
const FunctionDef kBase64ToTensor{"base64_to_tensor", {"data"}, base64_to_tensor};
const FunctionDef kTensorToBase64{"tensor_to_base64", {"tensor"}, tensor_to_base64};
const FunctionDef kSerializeWithPyarrow{"serialize_with_pyarrow", {"obj"}, serialize_with_pyarrow};
const FunctionDef kDeserializeConditioning{"deserialize_conditioning", {"conditioning_data"},
                                           deserialize_conditioning};

}  // namespace

void define_codecs(py::module_ m) {
    py::object str = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    py::object tensor = global(m, "torch").attr("Tensor");

    FunctionOptions image_opts;
    image_opts.annotations = make_dict({{"image", tensor}, {"return", str}});
    bind(m, "image_to_base64", make_function(m, kImageToBase64, image_opts));

    // Each function owns its annotations dict, as separate `def`s would.
    FunctionOptions image_decode_opts;
    image_decode_opts.annotations = make_dict({{"data", str}, {"return", tensor}});
    bind(m, "base64_to_image", make_function(m, kBase64ToImage, image_decode_opts));
    FunctionOptions tensor_decode_opts;
    tensor_decode_opts.annotations = make_dict({{"data", str}, {"return", tensor}});
    bind(m, "base64_to_tensor", make_function(m, kBase64ToTensor, tensor_decode_opts));

    bind(m, "tensor_to_base64", make_function(m, kTensorToBase64));

    FunctionOptions serialize_opts;
    serialize_opts.doc = "使用 pyarrow 序列化对象为 base64 字符串";
    serialize_opts.annotations = make_dict({{"obj", global(m, "Any")}, {"return", str}});
    bind(m, "serialize_with_pyarrow", make_function(m, kSerializeWithPyarrow, serialize_opts));

    bind(m, "deserialize_conditioning", make_function(m, kDeserializeConditioning));
}

}  // namespace vorna

// vorna_comfyui_engine.base, its codecs: host values (tensors, image
// batches, conditioning, arbitrary objects) to and from the text forms
// carried in requests and answers. The bodies look base's globals up at call
// time, as Python functions would (so they can be patched); the work on the
// bytes (base64, the checks of untrusted answers) is the codec layer's.
#include "base_codecs.hpp"

#include "../codec/base64_text.hpp"
#include "../codec/image_answer.hpp"
#include "../codec/tensor_answer.hpp"

namespace vorna {
namespace {

bool is_instance(py::handle obj, PyTypeObject *type) {
    int r = PyObject_IsInstance(obj.ptr(), reinterpret_cast<PyObject *>(type));
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// `import <name>` inside a function body: through the import system every time.
py::object import_module(py::handle module, const char *name) { return import_from(module, name, {}, 0); }

long long read_node_limit(py::handle node) { return as_size(node.attr("MAX_ANSWER_BYTES")); }

long long read_base_limit(py::handle module) { return read_node_limit(global(module, "BaseNode")); }

// The limit of the answers base's own functions decode: `BaseNode.MAX_ANSWER_BYTES`,
// `BaseNode` looked up in base's globals when the limit is first needed.
AnswerLimit base_answer_limit(FunctionObject *fn) { return AnswerLimit{read_base_limit, module_of(fn)}; }

}  // namespace

AnswerLimit node_answer_limit(py::handle node) { return AnswerLimit{read_node_limit, node}; }

py::object decode_tensor_answer(py::handle module, Libraries libraries, py::handle data, AnswerLimit limit) {
    auto library = [&](const char *name) {
        return libraries == Libraries::globals ? global(module, name) : import_module(module, name);
    };
    py::object b64decode = library("base64").attr("b64decode");
    py::object raw = call_b64decode(b64decode, data);
    // The answer is untrusted: tensors and plain containers only, never
    // code, and no more of them than the answer limit allows.
    AnswerScope answer(limit);
    return load_tensor_answer(answer, library("torch"), raw);
}

// Each intermediate goes as soon as the next exists, so a large picture is
// not held several times over.
py::object decode_image_answer(py::handle module, py::handle data, AnswerLimit limit) {
    py::object b64decode = global(module, "base64").attr("b64decode");
    py::object raw = call_b64decode(b64decode, data);
    // The text an image carries and its pixels count against one limit.
    AnswerScope answer(limit);
    check_image_bytes(answer, raw);
    py::object buffer = global(module, "io").attr("BytesIO")(raw);
    raw = py::object();
    py::object image_module = global(module, "Image");
    py::object pil_image = open_image_answer(image_module, buffer);
    buffer = py::object();
    // Opening reads only the header: the size is known before any decoding.
    check_image_answer(answer, image_module, pil_image);
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
    py::object pil_image = fromarray(image.attr("cpu")().attr("numpy")());
    py::object buffer = global(fn, "io").attr("BytesIO")();
    pil_image.attr("save")(buffer, py::arg("format") = "PNG");
    return encode_bytesio(global(fn, "base64"), buffer);
}

py::object base64_to_image(FunctionObject *fn, py::handle *args) {
    return decode_image_answer(module_of(fn), args[0], base_answer_limit(fn));
}

py::object base64_to_tensor(FunctionObject *fn, py::handle *args) {
    return decode_tensor_answer(module_of(fn), Libraries::globals, args[0], base_answer_limit(fn));
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
            serialized = pa.attr("serialize")(obj).attr("to_buffer")();
        } else {
            py::object pas = global(fn, "pas");
            if (has_attribute(pas, "serialize")) {
                serialized = pas.attr("serialize")(obj).attr("to_buffer")();
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
    AnswerScope answer(base_answer_limit(fn));
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
        py::object items = data.attr("items")();
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

// The value a checked tensor pickle describes, built the way
// _rebuild_tensor_v2 builds tensors (an empty tensor set_ onto its storage),
// every storage filled from the exact bytes of the record the reader located.
#include "tensor_pickle_tables.hpp"

#include <cstring>

namespace vorna {
using namespace pickle_tables;
namespace {

// Building the checked value: each table entry once, so shared values stay
// shared (as the pickle's memo makes them) and nothing is built twice.

class Builder {
public:
    Builder(const Checked &c, py::handle raw, py::handle torch)
        : c_(c), raw_(raw), torch_(torch), containers_(c.containers.size()), storages_(c.storages.size()),
          tensors_(c.tensors.size()), dtypes_(kTypeCount) {}

    py::object build(const Value &v) {
        switch (v.kind) {
        case Kind::None: return py::none();
        case Kind::Bool: return py::bool_(v.n != 0);
        case Kind::Int: return steal(PyLong_FromLongLong(v.n));
        case Kind::Float: {
            double f;
            std::memcpy(&f, &v.n, sizeof f);
            return steal(PyFloat_FromDouble(f));
        }
        case Kind::Str: return c_.texts[v.index].text;
        case Kind::Tuple: case Kind::List: case Kind::Dict: case Kind::OrderedDict: return container(v.index);
        case Kind::Tensor: return tensor(v.index);
        default: refuse("the tensor archive's pickle holds a value that is not one");  // the reader lets none through
        }
    }

private:
    const Checked &c_;
    py::handle raw_, torch_;
    std::vector<py::object> containers_, storages_, tensors_, dtypes_;
    py::object empty_, from_buffer_, uint8_, ordered_dict_;

    static py::object steal(PyObject *o) {
        if (!o) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(o);
    }

    py::object ordered_dict() {
        if (!ordered_dict_) ordered_dict_ = py::module_::import("collections").attr("OrderedDict");
        return ordered_dict_();
    }

    py::object container(uint32_t index) {
        py::object &built = containers_[index];
        if (built) return built;
        const Container &c = c_.containers[index];
        const Py_ssize_t n = Py_ssize_t(c.items.size());
        if (c.kind == Kind::Tuple || c.kind == Kind::List) {
            const bool tuple = c.kind == Kind::Tuple;
            py::object out = steal(tuple ? PyTuple_New(n) : PyList_New(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject *item = build(c.items[size_t(i)]).release().ptr();
                if (tuple) PyTuple_SET_ITEM(out.ptr(), i, item);
                else PyList_SET_ITEM(out.ptr(), i, item);
            }
            return built = std::move(out);
        }
        py::object out = c.kind == Kind::Dict ? steal(PyDict_New()) : ordered_dict();
        for (size_t i = 0; i < c.items.size(); i += 2) {
            py::object key = build(c.items[i]), value = build(c.items[i + 1]);
            if (PyObject_SetItem(out.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
        }
        return built = std::move(out);
    }

    // One copy, from the record's bytes into a storage of torch's own
    // allocator (as torch.load makes it).
    py::object storage(uint32_t index) {
        py::object &built = storages_[index];
        if (built) return built;
        if (!from_buffer_) {
            from_buffer_ = torch_.attr("UntypedStorage").attr("from_buffer");
            uint8_ = torch_.attr("uint8");
        }
        const RecordSpan span = c_.storages[index].span;
        return built = from_buffer_(raw_, py::arg("count") = span.size, py::arg("offset") = span.at,
                                    py::arg("dtype") = uint8_);
    }

    // What _rebuild_tensor_v2 does.
    py::object tensor(uint32_t index) {
        py::object &built = tensors_[index];
        if (built) return built;
        const Tensor &t = c_.tensors[index];
        const uint32_t type = c_.storages[t.storage].type;
        if (!dtypes_[type]) dtypes_[type] = torch_.attr(kStorageTypes[type].dtype);
        if (!empty_) empty_ = torch_.attr("empty");
        py::object storage_obj = storage(t.storage);
        py::object out = empty_(py::make_tuple(0), py::arg("dtype") = dtypes_[type]);
        out = out.attr("set_")(storage_obj, t.offset, container(t.size), container(t.stride));
        if (t.requires_grad) out.attr("requires_grad") = true;
        out.attr("_backward_hooks") = ordered_dict();
        return built = std::move(out);
    }
};

}  // namespace

py::object build_checked(const Checked &checked, const Value &root, py::handle raw, py::handle torch) {
    return Builder(checked, raw, torch).build(root);
}

}  // namespace vorna

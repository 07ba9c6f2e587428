#include "function.hpp"

#include "errors.hpp"

#include <cstring>
#include <string>

namespace vorna {
namespace {

PyTypeObject FunctionType;

FunctionObject *as_function(PyObject *o) { return reinterpret_cast<FunctionObject *>(o); }

const char *qualname_utf8(FunctionObject *f) {
    const char *q = PyUnicode_Check(f->qualname) ? PyUnicode_AsUTF8(f->qualname) : nullptr;
    if (!q) {
        PyErr_Clear();
        q = f->def->name;
    }
    return q;
}

// Matches Python's own argument errors, so callers see familiar messages.
PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
    FunctionObject *f = as_function(callable);
    const FunctionDef *def = f->def;
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(def->params.size());
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Small fixed-size buffer: node entry methods take at most a dozen inputs.
    PyObject *slots[16] = {nullptr};
    if (nparams > 16) {
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        return nullptr;
    }
    if (nargs > nparams) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                     qualname_utf8(f), nparams, nparams == 1 ? "" : "s", nargs,
                     nargs == 1 ? "was" : "were");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t idx = -1;
            for (Py_ssize_t i = 0; i < nparams; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, def->params[i]) == 0) {
                    idx = i;
                    break;
                }
            }
            if (idx < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             qualname_utf8(f), key);
                return nullptr;
            }
            if (slots[idx]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                             qualname_utf8(f), def->params[idx]);
                return nullptr;
            }
            slots[idx] = args[nargs + k];
        }
    }
    const Py_ssize_t ndefaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    const Py_ssize_t first_default = nparams - ndefaults;
    std::vector<const char *> missing;
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        if (slots[i]) continue;
        if (i >= first_default) {
            slots[i] = PyTuple_GET_ITEM(f->defaults, i - first_default);
            continue;
        }
        missing.push_back(def->params[i]);
    }
    if (!missing.empty()) {
        // Same wording as the interpreter: 'a', 'a' and 'b', 'a', 'b', and 'c'.
        std::string names;
        for (size_t i = 0; i < missing.size(); ++i) {
            if (i) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
            names += "'" + std::string(missing[i]) + "'";
        }
        PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", qualname_utf8(f),
                     static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s", names.c_str());
        return nullptr;
    }
    py::handle handles[16];
    for (Py_ssize_t i = 0; i < nparams; ++i) handles[i] = slots[i];
    try {
        return def->impl(f, handles).release().ptr();
    } catch (...) {
        set_python_error(PyExc_SystemError);
    }
    return nullptr;
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

// Every object a function holds, for the garbage collector's two walks.
#define FUNCTION_REFERENCES(APPLY) \
    APPLY(f->module);              \
    APPLY(f->name);                \
    APPLY(f->qualname);            \
    APPLY(f->doc);                 \
    APPLY(f->module_name);         \
    APPLY(f->defaults);            \
    APPLY(f->annotations);         \
    APPLY(f->dict)

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    FUNCTION_REFERENCES(Py_VISIT);
    return 0;
}

int function_clear(PyObject *self) {
    FunctionObject *f = as_function(self);
    FUNCTION_REFERENCES(Py_CLEAR);
    return 0;
}

void function_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    FunctionObject *f = as_function(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Attribute accessors: writable like a Python function's, text-only where
// Python insists on text.
PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_function(self)->name); }
PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_function(self)->qualname); }
PyObject *get_module(PyObject *self, void *) { return Py_NewRef(as_function(self)->module_name); }

int set_text(PyObject **slot, PyObject *value, const char *what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(*slot, value);
    return 0;
}
int set_name(PyObject *self, PyObject *v, void *) { return set_text(&as_function(self)->name, v, "__name__"); }
int set_qualname(PyObject *self, PyObject *v, void *) {
    return set_text(&as_function(self)->qualname, v, "__qualname__");
}
int set_any(PyObject **slot, PyObject *value) {
    if (!value) value = Py_None;
    Py_INCREF(value);
    Py_XSETREF(*slot, value);
    return 0;
}
int set_module(PyObject *self, PyObject *v, void *) { return set_any(&as_function(self)->module_name, v); }
PyObject *get_doc(PyObject *self, void *) { return Py_NewRef(as_function(self)->doc); }
int set_doc(PyObject *self, PyObject *v, void *) { return set_any(&as_function(self)->doc, v); }

PyObject *get_defaults(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    return Py_NewRef(f->defaults ? f->defaults : Py_None);
}

PyObject *get_annotations(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject *self, PyObject *v, void *) {
    if (v && v != Py_None && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    FunctionObject *f = as_function(self);
    if (v == Py_None) v = nullptr;
    Py_XINCREF(v);
    Py_XSETREF(f->annotations, v);
    return 0;
}

PyObject *get_globals(PyObject *self, void *) {
    return Py_NewRef(PyModule_GetDict(as_function(self)->module));
}

// "(a, b='x')": what CPython's own functions publish for inspect.
PyObject *get_text_signature(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    const auto &params = f->def->params;
    const Py_ssize_t ndefaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    const Py_ssize_t first_default = static_cast<Py_ssize_t>(params.size()) - ndefaults;
    try {
        std::string text = "(";
        for (size_t i = 0; i < params.size(); ++i) {
            if (i) text += ", ";
            text += params[i];
            if (static_cast<Py_ssize_t>(i) >= first_default) {
                text += "=";
                text += py::repr(PyTuple_GET_ITEM(f->defaults, i - first_default)).cast<std::string>();
            }
        }
        text += ")";
        return PyUnicode_FromString(text.c_str());
    } catch (py::error_already_set &e) {
        e.restore();
        return nullptr;
    }
}

// A full inspect.Signature, annotations included, so inspect.signature()
// reports what the equivalent Python function would.
PyObject *get_signature(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    try {
        py::module_ inspect = py::module_::import("inspect");
        py::object Parameter = inspect.attr("Parameter");
        py::object kind = Parameter.attr("POSITIONAL_OR_KEYWORD");
        py::object empty = Parameter.attr("empty");
        py::dict annotations = f->annotations ? py::reinterpret_borrow<py::dict>(f->annotations) : py::dict();
        const auto &params = f->def->params;
        const Py_ssize_t ndefaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
        const Py_ssize_t first_default = static_cast<Py_ssize_t>(params.size()) - ndefaults;
        py::list out;
        for (size_t i = 0; i < params.size(); ++i) {
            py::str pname(params[i]);
            py::object dflt = static_cast<Py_ssize_t>(i) >= first_default
                                  ? py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(f->defaults, i - first_default))
                                  : empty;
            py::object ann = annotations.contains(pname) ? py::object(annotations[pname]) : empty;
            out.append(Parameter(pname, kind, py::arg("default") = dflt, py::arg("annotation") = ann));
        }
        py::str ret("return");
        py::object ret_ann = annotations.contains(ret) ? py::object(annotations[ret]) : empty;
        return inspect.attr("Signature")(out, py::arg("return_annotation") = ret_ann).release().ptr();
    } catch (py::error_already_set &e) {
        e.restore();
        return nullptr;
    }
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool ready_types() {
    static bool done = false;
    if (done) return true;
    PyTypeObject &t = FunctionType;
    t.tp_name = "vorna_comfyui_engine.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_descr_get = function_descr_get;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_dealloc = function_dealloc;
    t.tp_repr = function_repr;
    t.tp_getset = function_getset;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    t.tp_doc = "Function defined by the native package.";
    if (PyType_Ready(&t) < 0) return false;
    done = true;
    return true;
}

py::object make_function(py::handle module, const FunctionDef &def, const FunctionOptions &opts) {
    if (!ready_types()) throw py::error_already_set();
    FunctionObject *f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) throw py::error_already_set();
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->module = nullptr;
    f->name = f->qualname = f->doc = f->module_name = nullptr;
    f->defaults = f->annotations = f->dict = f->weakreflist = nullptr;
    py::object result = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(f));
    f->module = Py_NewRef(module.ptr());
    f->name = py::str(def.name).release().ptr();
    f->qualname = py::str(opts.qualname ? opts.qualname : def.name).release().ptr();
    f->doc = opts.doc ? py::str(opts.doc).release().ptr() : Py_NewRef(Py_None);
    py::object modname = py::getattr(module, "__name__", py::none());
    f->module_name = modname.release().ptr();
    if (opts.defaults.size()) f->defaults = py::object(opts.defaults).release().ptr();
    if (opts.annotations.size()) f->annotations = py::object(opts.annotations).release().ptr();
    PyObject_GC_Track(f);
    return result;
}

py::object make_classmethod(py::handle module, const FunctionDef &def, const FunctionOptions &opts) {
    py::object fn = make_function(module, def, opts);
    PyObject *cm = PyClassMethod_New(fn.ptr());
    if (!cm) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(cm);
}

py::handle Arguments::operator[](const char *name) const {
    const auto &params = def_->params;
    for (size_t i = 0; i < params.size(); ++i)
        if (std::strcmp(params[i], name) == 0) return args_[i];
    PyErr_Format(PyExc_SystemError, "%s() has no parameter named '%s'", def_->name, name);
    throw py::error_already_set();
}

FunctionObject *defined_function(py::handle value) {
    PyObject *o = value.ptr();
    if (PyObject_TypeCheck(o, &PyClassMethod_Type)) {
        o = py::getattr(value, "__func__").ptr();  // a borrowed view: the classmethod holds it
    }
    return Py_IS_TYPE(o, &FunctionType) ? as_function(o) : nullptr;
}

}  // namespace vorna

// What the tensor pickle's reader proves and its builder builds from: the
// tables of texts, containers, storages and tensors a checked pickle
// describes (tensor_pickle.cpp reads them, tensor_build.cpp builds the value).
#pragma once
#include "tensor_pickle.hpp"

#include <cstdint>
#include <string_view>
#include <vector>

namespace vorna {
namespace pickle_tables {

// The storage types torch.save names (torch/storage.py,
// _dtype_to_storage_type_map), less the quantized ones, which only
// _rebuild_qtensor takes. Newer dtypes (float8, uint16 to uint64, complex32)
// are written as an UntypedStorage for _rebuild_tensor_v3: answers carry
// none of them.
struct StorageType {
    std::string_view name;  // torch.<name>
    const char *dtype;      // torch.<dtype>
    int element_size;
    bool differentiable;    // floating point or complex: may require grad
};
inline constexpr StorageType kStorageTypes[] = {
    {"FloatStorage", "float32", 4, true},       {"HalfStorage", "float16", 2, true},
    {"BFloat16Storage", "bfloat16", 2, true},   {"DoubleStorage", "float64", 8, true},
    {"ComplexFloatStorage", "complex64", 8, true}, {"ComplexDoubleStorage", "complex128", 16, true},
    {"LongStorage", "int64", 8, false},         {"IntStorage", "int32", 4, false},
    {"ShortStorage", "int16", 2, false},        {"CharStorage", "int8", 1, false},
    {"ByteStorage", "uint8", 1, false},         {"BoolStorage", "bool", 1, false},
};
inline constexpr size_t kTypeCount = sizeof(kStorageTypes) / sizeof(kStorageTypes[0]);

// Rough sizes of the Python objects the pickle becomes, counted against the
// answer with its tensors, so that a small pickle cannot become a large
// structure (and the reader's own tables stay within the same bound).
inline constexpr long long kObjectCost = 64, kItemCost = 16, kTensorCost = 512;
// torch.save opens at most a few marks per level of nesting.
inline constexpr size_t kMaxMarks = 2 * NestingGuard::kMaxNesting;

enum class Kind : uint8_t {
    None, Bool, Int, Float, Str,                    // scalars
    Tuple, List, Dict, OrderedDict,                 // containers
    Tensor,
    Storage,                                        // a persistent id: a tensor's first argument only
    RebuildTensor, OrderedDictClass, StorageClass,  // globals: called, or named in a persistent id
};

struct Value {
    Kind kind = Kind::None;
    uint32_t index = 0;  // table index; a storage class's kStorageTypes index
    int64_t n = 0;       // Bool, Int; Float: the double's bits
};

struct Container {
    Kind kind;
    bool sealed = false;  // inside another value: changes no more
    bool plain = true;    // a value (a tuple may hold a storage or a global for a call)
    int depth = 1;
    std::vector<Value> items;  // a dict's key, value, key, value, ...
};

struct Text {
    std::string_view bytes;
    py::object text;
};

struct Storage {
    uint32_t type;
    int64_t numel;
    RecordSpan span;
};

struct Tensor {
    uint32_t storage, size, stride;  // size and stride: tuples of whole numbers
    int64_t offset;
    bool requires_grad;
};

inline bool is_container(Kind k) { return k == Kind::Tuple || k == Kind::List || k == Kind::Dict || k == Kind::OrderedDict; }

// What the reader proved: the tables the value is built from.
struct Checked {
    std::vector<Text> texts;
    std::vector<Container> containers;
    std::vector<Storage> storages;
    std::vector<Tensor> tensors;
};

}  // namespace pickle_tables

// The value `root` of what the reader proved, built: every storage filled
// from the bytes of its record in `raw`, with `torch`'s own types; each
// table entry once, so shared values stay shared.
py::object build_checked(const pickle_tables::Checked &checked, const pickle_tables::Value &root, py::handle raw,
                         py::handle torch);

}  // namespace vorna

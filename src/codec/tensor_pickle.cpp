// The pickle of a tensor archive, read by an allow-list; the value it
// describes is then built from the checked tables (tensor_build.cpp).
//
// Nothing of torch's unpickler runs on service bytes. The reader proves that
// the pickle does only what torch.save writes for our answers (its opcodes,
// its globals in the call shapes it writes, storages matching their records,
// views inside their storages); then the tensors are built from the checked
// records the way _rebuild_tensor_v2 builds them (an empty tensor set_ onto
// its storage), instead of handing the bytes to torch.load. What was checked
// is exactly what is built: no second parser reads the bytes, and every
// storage is filled from the exact bytes of the record the check located.
#include "tensor_pickle_tables.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace vorna {
using namespace pickle_tables;

std::string shown(std::string_view text) {
    constexpr size_t kMost = 40;
    std::string out;
    for (char c : text.substr(0, kMost)) out += (c >= 0x20 && c < 0x7f) ? c : '?';
    if (text.size() > kMost) out += "...";
    return out;
}

namespace {

[[noreturn]] void bad(const std::string &why) { refuse("the tensor archive's pickle " + why); }

class Reader {
public:
    Reader(std::string_view pickle, const StorageRecords &records, AnswerScope &answer, long long records_total)
        : p_(pickle), records_(records), answer_(answer), records_total_(records_total) {}

    // The whole pickle; returns its value.
    Value read();
    // What the answer comes to: its records, or its tensors by shape and its structure.
    long long total() const { return std::max(records_total_, saturating_add(tensor_bytes_, structure_bytes_)); }
    const Checked &checked() const { return c_; }

private:
    std::string_view p_;
    size_t pos_ = 0;
    const StorageRecords &records_;
    AnswerScope &answer_;
    long long records_total_, tensor_bytes_ = 0, structure_bytes_ = 0;
    std::vector<Value> stack_, memo_;
    std::vector<size_t> marks_;
    std::unordered_map<std::string_view, uint32_t> storage_by_key_;
    Checked c_;

    const unsigned char *take(size_t n) {
        if (p_.size() - pos_ < n) bad("is cut short");
        const auto *at = reinterpret_cast<const unsigned char *>(p_.data()) + pos_;
        pos_ += n;
        return at;
    }
    uint32_t u32() {
        const unsigned char *b = take(4);
        return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    }
    std::string_view line() {
        const size_t end = p_.find('\n', pos_);
        if (end == std::string_view::npos) bad("is cut short");
        std::string_view s = p_.substr(pos_, end - pos_);
        pos_ = end + 1;
        return s;
    }

    void charge(long long bytes) {
        structure_bytes_ = saturating_add(structure_bytes_, bytes);
        answer_.check_room(total());
    }

    // The stack above the innermost mark is all an opcode may take from.
    size_t floor() const { return marks_.empty() ? 0 : marks_.back(); }
    void push(Value v) { stack_.push_back(v); }
    Value pop() {
        if (stack_.size() <= floor()) bad("takes a value from an empty stack");
        Value v = stack_.back();
        stack_.pop_back();
        return v;
    }
    Value &top() {
        if (stack_.size() <= floor()) bad("takes a value from an empty stack");
        return stack_.back();
    }
    std::vector<Value> pop_mark() {
        if (marks_.empty()) bad("closes a mark it did not open");
        std::vector<Value> items(stack_.begin() + std::ptrdiff_t(marks_.back()), stack_.end());
        stack_.resize(marks_.back());
        marks_.pop_back();
        return items;
    }

    Value scalar(Kind kind, int64_t n) { return Value{kind, 0, n}; }
    Value new_container(Kind kind, std::vector<Value> items = {});
    bool is_value(const Value &v) const {
        return v.kind <= Kind::Tensor && (!is_container(v.kind) || c_.containers[v.index].plain);
    }
    // An item goes into a container: it changes no more (so depths stay true
    // and nothing contains itself).
    void seal(const Value &item) {
        if (is_container(item.kind)) c_.containers[item.index].sealed = true;
    }
    int depth_of(const Value &v) const { return is_container(v.kind) ? c_.containers[v.index].depth : 0; }
    void deepen(Container &c, const Value &item) {
        c.depth = std::max(c.depth, depth_of(item) + 1);
        if (c.depth > NestingGuard::kMaxNesting)
            bad("nests its values more than " + std::to_string(NestingGuard::kMaxNesting) + " levels deep");
    }
    Container &mutable_target(Kind a, Kind b, const char *what);
    void add_item(const Value &item);
    void add_pair(const Value &key, const Value &value);
    Value text();
    Value global();
    Value persistent_storage(const Value &pid);
    Value rebuild_tensor(const Value &args);
    Value reduce(const Value &fn, const Value &args);
};

Value Reader::new_container(Kind kind, std::vector<Value> items) {
    Container c{kind};
    for (const Value &item : items) {
        seal(item);
        c.plain = c.plain && is_value(item);
        deepen(c, item);
    }
    charge(kObjectCost + kItemCost * (long long)items.size());
    c.items = std::move(items);
    c_.containers.push_back(std::move(c));
    return Value{kind, uint32_t(c_.containers.size() - 1), 0};
}

Container &Reader::mutable_target(Kind a, Kind b, const char *what) {
    const Value &target = top();
    if (target.kind != a && target.kind != b) bad(std::string("adds ") + what + " to something other than a container of them");
    Container &c = c_.containers[target.index];
    if (c.sealed) bad("changes a container after placing it in another");
    return c;
}

// Lists and dicts hold values only.
void Reader::add_item(const Value &item) {
    if (!is_value(item)) bad("puts a storage or a function into a container");
    seal(item);
    Container &list = mutable_target(Kind::List, Kind::List, "items");
    deepen(list, item);
    list.items.push_back(item);
    charge(kItemCost);
}

void Reader::add_pair(const Value &key, const Value &value) {
    // Keys whose hashes a service cannot make collide.
    if (key.kind != Kind::Str && key.kind != Kind::Int && key.kind != Kind::Bool && key.kind != Kind::None)
        bad("uses a dict key other than text, a whole number, a truth value or None");
    if (!is_value(value)) bad("puts a storage or a function into a container");
    seal(value);
    Container &dict = mutable_target(Kind::Dict, Kind::OrderedDict, "entries");
    deepen(dict, value);
    dict.items.push_back(key);
    dict.items.push_back(value);
    charge(2 * kItemCost);
}

Value Reader::text() {
    const uint32_t n = u32();
    const char *at = reinterpret_cast<const char *>(take(n));
    // As pickle reads it.
    PyObject *s = PyUnicode_DecodeUTF8(at, Py_ssize_t(n), "surrogatepass");
    if (!s) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw py::error_already_set();
        PyErr_Clear();
        bad("holds text that is not UTF-8");
    }
    c_.texts.push_back({std::string_view(at, n), py::reinterpret_steal<py::object>(s)});
    charge(kObjectCost + n);
    return Value{Kind::Str, uint32_t(c_.texts.size() - 1), 0};
}

Value Reader::global() {
    const std::string_view module = line(), name = line();
    if (module == "torch._utils" && name == "_rebuild_tensor_v2") return Value{Kind::RebuildTensor};
    if (module == "collections" && name == "OrderedDict") return Value{Kind::OrderedDictClass};
    if (module == "torch") {
        for (size_t i = 0; i < kTypeCount; ++i)
            if (name == kStorageTypes[i].name) return Value{Kind::StorageClass, uint32_t(i), 0};
    }
    bad("names " + shown(module) + "." + shown(name) + ", which torch.save does not write for the tensors of an answer");
}

// ('storage', <storage type>, key, location, numel): one storage per key,
// of its record's exact size. The location is not read: all lands on the CPU.
Value Reader::persistent_storage(const Value &pid) {
    static const char *const kShape = "names a storage other than as torch.save does";
    if (pid.kind != Kind::Tuple) bad(kShape);
    const std::vector<Value> &f = c_.containers[pid.index].items;
    if (f.size() != 5 || f[0].kind != Kind::Str || c_.texts[f[0].index].bytes != "storage" ||
        f[1].kind != Kind::StorageClass || f[2].kind != Kind::Str || f[3].kind != Kind::Str || f[4].kind != Kind::Int)
        bad(kShape);
    const std::string_view key = c_.texts[f[2].index].bytes;
    const uint32_t type = f[1].index;
    const int64_t numel = f[4].n;
    auto [known, fresh] = storage_by_key_.try_emplace(key, uint32_t(c_.storages.size()));
    if (!fresh) {
        const Storage &s = c_.storages[known->second];
        if (s.type != type || s.numel != numel) bad("names storage " + shown(key) + " twice, as different storages");
        return Value{Kind::Storage, known->second, 0};
    }
    const auto record = records_.find(key);
    if (record == records_.end()) bad("names storage " + shown(key) + ", which the archive does not hold");
    const long long bytes = saturating_mul(numel, kStorageTypes[type].element_size);
    if (numel < 0 || uint64_t(bytes) != record->second.size)
        bad("names storage " + shown(key) + " with another size than its record's");
    c_.storages.push_back({type, numel, record->second});
    charge(kObjectCost);
    return Value{Kind::Storage, known->second, 0};
}

// _rebuild_tensor_v2(storage, offset, size, stride, requires_grad, OrderedDict()),
// as torch.save writes it for a tensor on its storage.
Value Reader::rebuild_tensor(const Value &args) {
    const std::vector<Value> &a = c_.containers[args.index].items;
    if (a.size() == 7) bad("rebuilds a tensor with metadata (a conjugate or negative view), which answers do not carry");
    static const char *const kShape = "rebuilds a tensor with other arguments than torch.save writes";
    if (a.size() != 6 || a[0].kind != Kind::Storage || a[1].kind != Kind::Int || a[2].kind != Kind::Tuple ||
        a[3].kind != Kind::Tuple || a[4].kind != Kind::Bool || a[5].kind != Kind::OrderedDict ||
        !c_.containers[a[5].index].items.empty())
        bad(kShape);
    const std::vector<Value> &size = c_.containers[a[2].index].items, &stride = c_.containers[a[3].index].items;
    if (size.size() != stride.size()) bad(kShape);
    const Storage &storage = c_.storages[a[0].index];
    const StorageType &type = kStorageTypes[storage.type];
    const int64_t offset = a[1].n;
    if (offset < 0) bad("holds a tensor at a negative offset");
    // The last element a view reaches; it needs none with a zero extent.
    long long last = offset, elements = 1;
    for (size_t i = 0; i < size.size(); ++i) {
        if (size[i].kind != Kind::Int || stride[i].kind != Kind::Int) bad(kShape);
        if (size[i].n < 0) bad("holds a tensor of negative size");
        if (stride[i].n < 0) bad("holds a tensor with a negative stride");
        elements = saturating_mul(elements, size[i].n);
        if (size[i].n > 0) last = saturating_add(last, saturating_mul(size[i].n - 1, stride[i].n));
    }
    if (elements > 0 && last >= storage.numel) bad("holds a tensor that reaches past its storage");
    const bool requires_grad = a[4].n != 0;
    if (requires_grad && !type.differentiable)
        bad("asks for gradients of a tensor that is neither floating point nor complex");
    // Views may claim more than their storage: an expanded one counts by shape.
    tensor_bytes_ = saturating_add(tensor_bytes_, saturating_mul(elements, type.element_size));
    c_.tensors.push_back({a[0].index, a[2].index, a[3].index, offset, requires_grad});
    charge(kTensorCost);
    return Value{Kind::Tensor, uint32_t(c_.tensors.size() - 1), 0};
}

Value Reader::reduce(const Value &fn, const Value &args) {
    if (args.kind != Kind::Tuple) bad("calls a function with arguments that are not a tuple");
    if (fn.kind == Kind::OrderedDictClass) {
        if (!c_.containers[args.index].items.empty()) bad("makes an OrderedDict other than as torch.save does");
        return new_container(Kind::OrderedDict);
    }
    if (fn.kind == Kind::RebuildTensor) return rebuild_tensor(args);
    bad("calls something other than the functions torch.save writes");
}

Value Reader::read() {
    if (p_.size() < 2 || static_cast<unsigned char>(p_[0]) != 0x80 || (p_[1] != 2 && p_[1] != 3))
        bad("does not begin with protocol 2 or 3");
    pos_ = 2;
    for (;;) {
        const unsigned char op = *take(1);
        switch (op) {
        case '(':  // MARK
            if (marks_.size() >= kMaxMarks) bad("nests its marks too deep");
            marks_.push_back(stack_.size());
            break;
        case '.': {  // STOP
            if (pos_ != p_.size()) bad("goes on after its end");
            if (!marks_.empty() || stack_.size() != 1) bad("does not end with one value");
            const Value result = stack_.back();
            if (!is_value(result)) bad("ends with something other than a value");
            // One storage per record, and every record named.
            if (c_.storages.size() != records_.size()) bad("leaves a storage record of the archive unnamed");
            return result;
        }
        case 'N': push(scalar(Kind::None, 0)); break;
        case 0x88: push(scalar(Kind::Bool, 1)); break;  // NEWTRUE
        case 0x89: push(scalar(Kind::Bool, 0)); break;  // NEWFALSE
        case 'J': push(scalar(Kind::Int, int32_t(u32()))); break;  // BININT
        case 'K': push(scalar(Kind::Int, *take(1))); break;        // BININT1
        case 'M': {                                                // BININT2
            const unsigned char *b = take(2);
            push(scalar(Kind::Int, b[0] | b[1] << 8));
            break;
        }
        case 0x8a: {  // LONG1: little-endian two's complement
            const unsigned n = *take(1);
            if (n > 8) bad("holds a whole number wider than 64 bits");
            const unsigned char *b = take(n);
            uint64_t v = 0;
            for (unsigned i = 0; i < n; ++i) v |= uint64_t(b[i]) << (8 * i);
            if (n > 0 && n < 8 && (b[n - 1] & 0x80)) v |= ~uint64_t(0) << (8 * n);
            push(scalar(Kind::Int, int64_t(v)));
            break;
        }
        case 'G': {  // BINFLOAT: big-endian
            const unsigned char *b = take(8);
            uint64_t bits = 0;
            for (int i = 0; i < 8; ++i) bits = bits << 8 | b[i];
            push(scalar(Kind::Float, int64_t(bits)));
            break;
        }
        case 'X': push(text()); break;  // BINUNICODE
        case ')': push(new_container(Kind::Tuple)); break;
        case 't': push(new_container(Kind::Tuple, pop_mark())); break;
        case 0x85: case 0x86: case 0x87: {  // TUPLE1..3
            std::vector<Value> items(op - 0x84);
            for (size_t i = items.size(); i-- > 0;) items[i] = pop();
            push(new_container(Kind::Tuple, std::move(items)));
            break;
        }
        case ']': push(new_container(Kind::List)); break;
        case '}': push(new_container(Kind::Dict)); break;
        case 'a': add_item(pop()); break;  // APPEND
        case 'e':                          // APPENDS
            for (const Value &item : pop_mark()) add_item(item);
            break;
        case 's': {  // SETITEM
            const Value value = pop(), key = pop();
            add_pair(key, value);
            break;
        }
        case 'u': {  // SETITEMS
            const std::vector<Value> items = pop_mark();
            if (items.size() % 2) bad("sets a key without a value");
            for (size_t i = 0; i < items.size(); i += 2) add_pair(items[i], items[i + 1]);
            break;
        }
        case 'c': push(global()); break;
        case 'R': {
            const Value args = pop(), fn = pop();
            push(reduce(fn, args));
            break;
        }
        case 'Q': push(persistent_storage(pop())); break;  // BINPERSID
        case 'q': case 'r': {                              // BINPUT, LONG_BINPUT
            const uint32_t index = op == 'q' ? *take(1) : u32();
            if (index != memo_.size()) bad("numbers its memo out of order");
            memo_.push_back(top());
            charge(kItemCost);
            break;
        }
        case 'h': case 'j': {  // BINGET, LONG_BINGET
            const uint32_t index = op == 'h' ? *take(1) : u32();
            if (index >= memo_.size()) bad("takes a memo entry it did not make");
            push(memo_[index]);
            break;
        }
        default: {
            static const char kHex[] = "0123456789abcdef";
            bad(std::string("uses opcode 0x") + kHex[op >> 4] + kHex[op & 15] +
                ", which torch.save does not write for the tensors of an answer");
        }
        }
    }
}

}  // namespace

py::object load_tensor_pickle(std::string_view pickle, const StorageRecords &records, py::handle raw,
                              py::handle torch, AnswerScope &answer, long long records_total) {
    Reader reader(pickle, records, answer, records_total);
    const Value value = reader.read();
    const long long total = reader.total();
    answer.check_room(total);
    py::object built = build_checked(reader.checked(), value, raw, torch);
    answer.add(total);
    return built;
}

}  // namespace vorna

// Tensor answers: the archive torch.save writes, checked before it is loaded.
#include "tensor_answer.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vorna {
namespace {

// ---------------------------------------------------------------------------
// The tensor archive. torch's reader takes the end record from the last 22
// bytes, the central directory at the offset that record (or its zip64
// record) names, and each record's data after its local header, with the
// sizes the central directory gives; Python's zipfile takes the directory
// that ends where the end records begin. Only an archive in which both are
// the same place, and which holds nothing but its records one after the
// other (local header, name, extra fields with torch's alignment padding,
// data, data descriptor: what torch.save writes) is handed to torch.load.

constexpr uint32_t kLocalSig = 0x04034b50, kCentralSig = 0x02014b50, kEndSig = 0x06054b50;
constexpr uint32_t kZip64EndSig = 0x06064b50, kZip64LocatorSig = 0x07064b50, kDescriptorSig = 0x08074b50;
constexpr uint16_t kZip64Field = 0x0001;
constexpr uint16_t kEncrypted = 0x0001, kHasDescriptor = 0x0008;

struct Bytes {
    const unsigned char *p;
    uint64_t n;

    bool has(uint64_t at, uint64_t len) const { return at <= n && len <= n - at; }
    uint16_t u16(uint64_t at) const { return uint16_t(p[at] | p[at + 1] << 8); }
    uint32_t u32(uint64_t at) const { return u16(at) | uint32_t(u16(at + 2)) << 16; }
    uint64_t u64(uint64_t at) const { return u32(at) | uint64_t(u32(at + 4)) << 32; }
};

[[noreturn]] void malformed(const std::string &why) { refuse("not a tensor archive as torch.save writes it: " + why); }

// The extra fields of a header: each (id, length, data) inside [at, at + len).
// Returns the position of the zip64 field's data and its length, if any.
std::pair<uint64_t, uint16_t> zip64_field(const Bytes &b, uint64_t at, uint16_t len) {
    std::pair<uint64_t, uint16_t> found{0, 0};
    bool seen = false;
    for (uint64_t pos = at, end = at + len; pos < end;) {
        if (end - pos < 4) malformed("an extra field is cut short");
        const uint16_t id = b.u16(pos), size = b.u16(pos + 2);
        if (end - pos - 4 < size) malformed("an extra field is cut short");
        if (id == kZip64Field) {
            if (seen) malformed("a header holds two zip64 fields");
            seen = true;
            found = {pos + 4, size};
        }
        pos += 4 + uint64_t(size);
    }
    return found;
}

// Reads the next 64-bit value of a zip64 field in place of a 32-bit one that
// is 0xFFFFFFFF, in the order the format lists them.
struct Zip64Reader {
    const Bytes &b;
    std::pair<uint64_t, uint16_t> field;
    uint64_t taken = 0;

    uint64_t widen(uint32_t narrow) {
        if (narrow != 0xFFFFFFFFu) return narrow;
        if (taken + 8 > field.second) malformed("a size is missing from its zip64 field");
        const uint64_t v = b.u64(field.first + taken);
        taken += 8;
        return v;
    }
};

struct Record {
    uint64_t start, end;  // local header to end of data descriptor
};

// Returns the total of the records' sizes.
long long check_archive(const Bytes &b) {
    if (b.n < 22 || b.u32(b.n - 22) != kEndSig || b.u16(b.n - 2) != 0)
        malformed("it does not end with its end record");
    const uint64_t end_at = b.n - 22;
    uint64_t disk = b.u16(end_at + 4), cd_disk = b.u16(end_at + 6);
    uint64_t entries_here = b.u16(end_at + 8), entries = b.u16(end_at + 10);
    uint64_t cd_size = b.u32(end_at + 12), cd_offset = b.u32(end_at + 16);
    uint64_t cd_end = end_at;

    if (end_at >= 20 && b.u32(end_at - 20) == kZip64LocatorSig) {
        const uint64_t locator = end_at - 20;
        // Readers look for the zip64 end record just before its locator, or
        // where the locator says: both must be the one place, of the plain size.
        if (locator < 56 || b.u32(locator + 4) != 0 || b.u64(locator + 8) != locator - 56 || b.u32(locator + 16) != 1)
            malformed("its zip64 end record is not where its locator says");
        const uint64_t z = locator - 56;
        if (b.u32(z) != kZip64EndSig || b.u64(z + 4) != 44) malformed("its zip64 end record is not where its locator says");
        // Readers differ in which end record they take a value from (some
        // take the plain one unless it is all ones): the two must agree.
        auto agree = [](uint64_t narrow, uint64_t sentinel, uint64_t wide) {
            if (narrow != sentinel && narrow != wide) malformed("its two end records disagree");
            return wide;
        };
        disk = agree(disk, 0xFFFF, b.u32(z + 16));
        cd_disk = agree(cd_disk, 0xFFFF, b.u32(z + 20));
        entries_here = agree(entries_here, 0xFFFF, b.u64(z + 24));
        entries = agree(entries, 0xFFFF, b.u64(z + 32));
        cd_size = agree(cd_size, 0xFFFFFFFF, b.u64(z + 40));
        cd_offset = agree(cd_offset, 0xFFFFFFFF, b.u64(z + 48));
        cd_end = z;
    }
    if (disk != 0 || cd_disk != 0 || entries_here != entries) malformed("it spans several disks");
    if (cd_offset > cd_end || cd_end - cd_offset != cd_size)
        malformed("its central directory is not the one that ends at its end record");

    std::vector<Record> records;
    records.reserve(std::min<uint64_t>(entries, cd_size / 46));
    std::unordered_set<std::string_view> names;
    long long total = 0;
    uint64_t pos = cd_offset;
    for (uint64_t i = 0; i < entries; ++i) {
        if (!b.has(pos, 46) || pos + 46 > cd_end || b.u32(pos) != kCentralSig)
            malformed("its central directory holds fewer entries than its end record says");
        const uint16_t flags = b.u16(pos + 8), method = b.u16(pos + 10);
        const uint32_t crc = b.u32(pos + 16);
        const uint16_t name_len = b.u16(pos + 28), extra_len = b.u16(pos + 30), comment_len = b.u16(pos + 32);
        const uint64_t entry_end = pos + 46 + name_len + extra_len + comment_len;
        if (entry_end > cd_end) malformed("an entry runs past its central directory");
        std::string_view name(reinterpret_cast<const char *>(b.p + pos + 46), name_len);
        if (method != 0) refuse("the tensor archive holds a compressed record (" + std::string(name) + ")");
        if (flags & kEncrypted) malformed("a record is encrypted");
        if (name.empty() || !names.insert(name).second) malformed("two records have the same name");
        Zip64Reader wide{b, zip64_field(b, pos + 46 + name_len, extra_len)};
        const uint64_t size = wide.widen(b.u32(pos + 24));
        const uint64_t compressed = wide.widen(b.u32(pos + 20));
        const uint64_t local = wide.widen(b.u32(pos + 42));
        if (b.u16(pos + 34) != 0 && !(b.u16(pos + 34) == 0xFFFF && wide.taken + 4 <= wide.field.second &&
                                      b.u32(wide.field.first + wide.taken) == 0))
            malformed("it spans several disks");
        if (compressed != size) malformed("a record's sizes disagree");

        // The local header, as torch's reader finds the data through it.
        if (!b.has(local, 30) || b.u32(local) != kLocalSig) malformed("a record's local header is missing");
        const uint16_t local_flags = b.u16(local + 6), local_name_len = b.u16(local + 26);
        const uint16_t local_extra_len = b.u16(local + 28);
        if (b.u16(local + 8) != 0) refuse("the tensor archive holds a compressed record (" + std::string(name) + ")");
        if (local_flags != flags || local_name_len != name_len ||
            !b.has(local + 30, uint64_t(local_name_len) + local_extra_len) ||
            std::memcmp(b.p + local + 30, name.data(), name_len) != 0)
            malformed("a record's local header disagrees with its central one");
        Zip64Reader local_wide{b, zip64_field(b, local + 30 + local_name_len, local_extra_len)};
        const uint64_t local_size = local_wide.widen(b.u32(local + 22));
        const uint64_t local_compressed = local_wide.widen(b.u32(local + 18));
        const uint64_t data = local + 30 + local_name_len + local_extra_len;
        if (!b.has(data, size)) malformed("a record's data runs past the archive");
        uint64_t record_end = data + size;
        if (flags & kHasDescriptor) {
            // Sizes follow the data (0 in the header, as torch's writer
            // leaves them), 64-bit when the header has a zip64 field.
            const bool zip64 = local_wide.field.second != 0;
            const uint64_t len = zip64 ? 24 : 16;
            if ((local_size != 0 || local_compressed != 0) && (local_size != size || local_compressed != size))
                malformed("a record's local header disagrees with its central one");
            if (!b.has(record_end, len) || b.u32(record_end) != kDescriptorSig || b.u32(record_end + 4) != crc ||
                (zip64 ? b.u64(record_end + 8) != size || b.u64(record_end + 16) != size
                       : b.u32(record_end + 8) != size || b.u32(record_end + 12) != size))
                malformed("a record's data descriptor disagrees with its central header");
            record_end += len;
        } else if (local_size != size || local_compressed != size || b.u32(local + 14) != crc) {
            malformed("a record's local header disagrees with its central one");
        }
        records.push_back({local, record_end});
        total = saturating_add(total, size > uint64_t(LLONG_MAX) ? LLONG_MAX : (long long)size);
        pos = entry_end;
    }
    if (pos != cd_end) malformed("its central directory holds more than its end record says");

    // The records fill everything before the central directory, one after
    // the other: no record overlaps another, and no bytes lie outside them.
    std::sort(records.begin(), records.end(), [](const Record &a, const Record &c) { return a.start < c.start; });
    uint64_t expected = 0;
    for (const Record &r : records) {
        if (r.start < expected) malformed("two records overlap");
        if (r.start > expected) malformed("it holds bytes outside its records");
        expected = r.end;
    }
    if (expected != cd_offset) malformed(expected > cd_offset ? "two records overlap" : "it holds bytes outside its records");
    return total;
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
// attributes), each once: their sizes together, in elements times element
// size.
long long loaded_size(py::handle value, const AnswerScope &answer) {
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
        answer.check_room(total);
        // Attributes restored onto a tensor may hold tensors too.
        py::object attributes = py::getattr(item, "__dict__", py::none());
        if (PyDict_Check(attributes.ptr()) && PyDict_GET_SIZE(attributes.ptr())) pending.push_back(attributes);
    }
    return total;
}

// Formats whose opening reads the header only. Containers such as ICO, ICNS
}  // namespace

py::object load_tensor_answer(py::handle module, py::handle torch, py::handle buffer, py::handle raw) {
    AnswerScope answer(module);
    long long records = 0;
    Py_buffer view;
    if (PyObject_GetBuffer(raw.ptr(), &view, PyBUF_SIMPLE) == 0) {
        struct Release {
            Py_buffer *v;
            ~Release() { PyBuffer_Release(v); }
        } release{&view};
        const Bytes bytes{static_cast<const unsigned char *>(view.buf), uint64_t(view.len)};
        // torch.load tells the two formats apart by the same four bytes.
        if (bytes.n >= 4 && std::memcmp(bytes.p, "PK\x03\x04", 4) == 0) {
            records = check_archive(bytes);
            answer.check_room(records);
        } else if (is_legacy_stream(raw)) {
            refuse("a tensor stream in the legacy format (its sizes cannot be checked before loading)");
        }
    } else {
        PyErr_Clear();  // not bytes: torch.load reports it
    }
    py::object loaded = torch.attr("load")(buffer, py::arg("map_location") = "cpu", py::arg("weights_only") = true);
    // The records become the tensors' storages; views may claim more.
    answer.add(std::max(records, loaded_size(loaded, answer)));
    return loaded;
}

}  // namespace vorna

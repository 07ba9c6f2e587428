// Tensor answers: the archive torch.save writes, checked record by record;
// its pickle is read and its tensors built by tensor_pickle.
#include "tensor_answer.hpp"

#include "tensor_pickle.hpp"

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
// sizes the central directory gives, looking names up without regard to
// case; Python's zipfile takes the directory that ends where the end records
// begin. Only an archive that every reader reads the same way is taken: both
// directories the same place, nothing but its records one after the other
// (local header, name, extra fields with torch's alignment padding, data,
// data descriptor: what torch.save writes), headers as torch's writer sets
// them, and names that differ in more than case.

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

// A record as torch's reader finds it: its name and its data.
struct Entry {
    std::string_view name;
    RecordSpan data;
};

// What torch's writer sets in a header: general-purpose flags (sizes after
// the data, UTF-8 names), version made by and needed (0), external
// attributes (0). torch's reader takes an entry with the directory bit
// (0x10) or a name ending in '/' for a directory and extracts nothing from
// it, leaving the buffer it allocated as it was.
constexpr uint16_t kWrittenFlags = kHasDescriptor | 0x0800;

// Names compared as torch's reader compares them: ASCII letters in either case.
std::string folded(std::string_view name) {
    std::string out(name);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

// The records in central directory order; `total` is their sizes together.
std::vector<Entry> check_archive(const Bytes &b, long long &total) {
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
    std::vector<Entry> found;
    records.reserve(std::min<uint64_t>(entries, cd_size / 46));
    found.reserve(records.capacity());
    std::unordered_set<std::string> names;
    std::string_view prefix;
    total = 0;
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
        if (method != 0) refuse("the tensor archive holds a compressed record (" + shown(name) + ")");
        if (flags & kEncrypted) malformed("a record is encrypted");
        if ((flags & ~kWrittenFlags) || b.u16(pos + 4) != 0 || b.u16(pos + 6) != 0 || b.u32(pos + 38) != 0)
            malformed("a record's header is not as torch's writer sets it (" + shown(name) + ")");
        if (name.empty() || name.back() == '/') malformed("it holds a directory");
        // torch's reader takes the folder of the first record for the
        // archive's and looks every record up inside it.
        if (i == 0) {
            const size_t slash = name.find('/');
            if (slash == 0 || slash == std::string_view::npos) malformed("its first record is not inside a folder");
            prefix = name.substr(0, slash + 1);
        }
        if (name.compare(0, prefix.size(), prefix) != 0) malformed("its records are not all in one folder");
        if (!names.insert(folded(name)).second) malformed("two records have the same name");
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
        if (b.u16(local + 8) != 0) refuse("the tensor archive holds a compressed record (" + shown(name) + ")");
        if (local_flags != flags || b.u16(local + 4) != 0 || local_name_len != name_len ||
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
        found.push_back({name.substr(prefix.size()), {data, size}});
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
    return found;
}

// The small records torch.save writes beside the pickle and the storages,
// with what they may hold: a few digits (and a newline), or the byte order.
bool digits(std::string_view s, size_t most, bool newline = false) {
    if (newline && !s.empty() && s.back() == '\n') s.remove_suffix(1);
    return !s.empty() && s.size() <= most &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void check_small_record(std::string_view name, std::string_view content) {
    bool plausible;
    if (name == "byteorder") {
        if (content == "big") refuse("a tensor archive written in big-endian byte order");
        plausible = content == "little";
    } else if (name == "version" || name == ".data/version") {
        plausible = digits(content, 8, true);
    } else if (name == ".format_version" || name == ".storage_alignment") {
        plausible = digits(content, 8);
    } else if (name == ".data/serialization_id") {
        plausible = !content.empty() && content.size() <= 64 &&
                    std::all_of(content.begin(), content.end(), [](char c) {
                        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
                    });
    } else {
        malformed("it holds a record torch.save does not write (" + shown(name) + ")");
    }
    if (!plausible) malformed("its record " + shown(name) + " holds what torch.save does not write there");
}
}  // namespace

py::object load_tensor_answer(AnswerScope &answer, py::handle torch, py::handle raw) {
    // Immutable bytes, so that what is checked stays what is built from.
    py::object bytes_obj = PyBytes_CheckExact(raw.ptr()) ? py::reinterpret_borrow<py::object>(raw)
                                                          : py::reinterpret_steal<py::object>(PyBytes_FromObject(raw.ptr()));
    if (!bytes_obj) throw py::error_already_set();
    const Bytes b{reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(bytes_obj.ptr())),
                  uint64_t(PyBytes_GET_SIZE(bytes_obj.ptr()))};
    // torch.load tells its formats apart by these four bytes; the legacy
    // format allocates every storage at the size its pickle claims before
    // any data is read, so it is not read at all.
    if (b.n < 4 || std::memcmp(b.p, "PK\x03\x04", 4) != 0) malformed("it does not begin as a zip archive");
    long long total = 0;
    const std::vector<Entry> entries = check_archive(b, total);
    answer.check_room(total);

    const RecordSpan *pickle = nullptr;
    StorageRecords storages;
    for (const Entry &e : entries) {
        const std::string_view content(reinterpret_cast<const char *>(b.p + e.data.at), size_t(e.data.size));
        if (e.name == "data.pkl") {
            pickle = &e.data;
        } else if (e.name.substr(0, 5) == "data/" && e.name.size() > 5 && e.name.find('/', 5) == std::string_view::npos) {
            storages.emplace(e.name.substr(5), e.data);
        } else {
            check_small_record(e.name, content);
        }
    }
    if (!pickle) malformed("it holds no data.pkl");
    const std::string_view pkl(reinterpret_cast<const char *>(b.p + pickle->at), size_t(pickle->size));
    return load_tensor_pickle(pkl, storages, bytes_obj, torch, answer, total);
}

}  // namespace vorna

#include "checksum.hpp"

#include <algorithm>
#include <iterator>
#include <cstdint>
#include <cstring>
#include <vector>

#include "encoder_guard.hpp"
#include "errors.hpp"
#include "names.hpp"
#include "state.hpp"

namespace manifest {

void require_exact_type(PyObject* value, PyTypeObject* expected, const char* parameter) {
    if (Py_IS_TYPE(value, expected)) return;
    const bool subclass = PyObject_TypeCheck(value, expected);
    Ref sentence = subclass ? require(PyUnicode_FromString(kSubclassRefusedText)) : Ref::borrow(names.empty);
    PyErr_Format(PyExc_TypeError, kArgumentTypeText, parameter, expected->tp_name, Py_TYPE(value)->tp_name,
                 subclass ? ". " : "", sentence.get());
    throw PyErrOccurred{};
}

namespace {

// ---------------------------------------------------------------- canonical text

// One finding hash, owned by the HashList holding it. The low bit of
// `tagged` marks exact ASCII text that the JSON encoder writes unchanged, so
// it is copied as it is. `key` holds the first eight characters big-endian
// when the text is one byte per character, so most comparisons end on one
// integer compare.
struct Entry {
    uint64_t key;
    uintptr_t tagged;
};

constexpr uintptr_t kVerbatim = 1;

inline PyObject* entry_text(const Entry& e) { return reinterpret_cast<PyObject*>(e.tagged & ~kVerbatim); }

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

inline uint64_t bytes_equal_to(uint64_t word, unsigned char byte) {
    uint64_t x = word ^ (kOnes * byte);
    return (x - kOnes) & ~x & kHighs;
}

// Eight ASCII characters that the JSON encoder writes as themselves.
inline bool word_is_plain(uint64_t word) {
    uint64_t control = (word - kOnes * 0x20) & ~word & kHighs;
    return (control | bytes_equal_to(word, '"') | bytes_equal_to(word, '\\') | bytes_equal_to(word, 0x7f)) == 0;
}

inline Py_ssize_t escaped_width(Py_UCS4 c) {
    if (c >= 0x20 && c < 0x7f) return (c == '"' || c == '\\') ? 2 : 1;
    if (c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t') return 2;
    return c >= 0x10000 ? 12 : 6;
}

Py_ssize_t escaped_length(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) {
        const unsigned char* data = PyUnicode_1BYTE_DATA(text);
        Py_ssize_t i = 0;
        for (; i + 8 <= length; i += 8) {
            uint64_t word;
            std::memcpy(&word, data + i, 8);
            if (!word_is_plain(word)) break;
        }
        Py_ssize_t extra = 0;
        for (; i < length; ++i) extra += escaped_width(data[i]) - 1;
        return length + extra;
    }
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t total = 0;
    for (Py_ssize_t i = 0; i < length; ++i) total += escaped_width(PyUnicode_READ(kind, data, i));
    return total;
}

inline char* write_unit(char* out, unsigned unit) {
    static const char hex[] = "0123456789abcdef";
    out[0] = '\\';
    out[1] = 'u';
    out[2] = hex[(unit >> 12) & 0xf];
    out[3] = hex[(unit >> 8) & 0xf];
    out[4] = hex[(unit >> 4) & 0xf];
    out[5] = hex[unit & 0xf];
    return out + 6;
}

char* write_escaped_char(char* out, Py_UCS4 c) {
    switch (c) {
        case '"': *out++ = '\\'; *out++ = '"'; return out;
        case '\\': *out++ = '\\'; *out++ = '\\'; return out;
        case '\b': *out++ = '\\'; *out++ = 'b'; return out;
        case '\f': *out++ = '\\'; *out++ = 'f'; return out;
        case '\n': *out++ = '\\'; *out++ = 'n'; return out;
        case '\r': *out++ = '\\'; *out++ = 'r'; return out;
        case '\t': *out++ = '\\'; *out++ = 't'; return out;
        default: break;
    }
    if (c >= 0x20 && c < 0x7f) {
        *out++ = static_cast<char>(c);
        return out;
    }
    if (c >= 0x10000) {
        Py_UCS4 v = c - 0x10000;
        out = write_unit(out, 0xd800 | ((v >> 10) & 0x3ff));
        return write_unit(out, 0xdc00 | (v & 0x3ff));
    }
    return write_unit(out, c);
}

char* write_string(char* out, const Entry& entry) {
    PyObject* text = entry_text(entry);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    *out++ = '"';
    if (entry.tagged & kVerbatim) {
        std::memcpy(out, PyUnicode_1BYTE_DATA(text), static_cast<size_t>(length));
        out += length;
    } else {
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        for (Py_ssize_t i = 0; i < length; ++i) out = write_escaped_char(out, PyUnicode_READ(kind, data, i));
    }
    *out++ = '"';
    return out;
}

// ---------------------------------------------------------------- ordering

uint64_t leading_key(PyObject* text) {
    const unsigned char* data = PyUnicode_1BYTE_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length >= 8) {
        uint64_t word;
        std::memcpy(&word, data, 8);
        return __builtin_bswap64(word);
    }
    uint64_t key = 0;
    for (Py_ssize_t i = 0; i < length; ++i) key |= static_cast<uint64_t>(data[i]) << (56 - 8 * i);
    return key;
}

// Code-point order, a proper prefix first: the host's ordering of text.
bool text_less(PyObject* a, PyObject* b) {
    const Py_ssize_t la = PyUnicode_GET_LENGTH(a), lb = PyUnicode_GET_LENGTH(b);
    const int ka = PyUnicode_KIND(a), kb = PyUnicode_KIND(b);
    const Py_ssize_t common = std::min(la, lb);
    if (ka == PyUnicode_1BYTE_KIND && kb == PyUnicode_1BYTE_KIND) {
        int c = std::memcmp(PyUnicode_1BYTE_DATA(a), PyUnicode_1BYTE_DATA(b), static_cast<size_t>(common));
        return c != 0 ? c < 0 : la < lb;
    }
    const void* da = PyUnicode_DATA(a);
    const void* db = PyUnicode_DATA(b);
    for (Py_ssize_t i = 0; i < common; ++i) {
        Py_UCS4 ca = PyUnicode_READ(ka, da, i), cb = PyUnicode_READ(kb, db, i);
        if (ca != cb) return ca < cb;
    }
    return la < lb;
}

bool entry_less(const Entry& a, const Entry& b) { return text_less(entry_text(a), entry_text(b)); }

// Radix sort on the upper half of the leading keys (four byte-wide passes,
// least significant first), then a comparison sort inside each run of equal
// upper halves, by the whole key and, where that ties too, the whole text.
// Runs are short for digests, so this beats sorting all eight bytes.
void sort_by_leading_key(std::vector<Entry>& entries) {
    std::vector<Entry> scratch(entries.size());
    for (int shift = 32; shift < 64; shift += 8) {
        size_t counts[256] = {};
        for (const Entry& e : entries) ++counts[(e.key >> shift) & 0xff];
        if (counts[(entries.front().key >> shift) & 0xff] == entries.size()) continue;  // one bucket: nothing moves
        size_t offset = 0;
        for (size_t& c : counts) {
            size_t n = c;
            c = offset;
            offset += n;
        }
        for (const Entry& e : entries) scratch[counts[(e.key >> shift) & 0xff]++] = e;
        entries.swap(scratch);
    }
    auto by_key_then_text = [](const Entry& a, const Entry& b) {
        return a.key != b.key ? a.key < b.key : entry_less(a, b);
    };
    for (size_t begin = 0; begin < entries.size();) {
        const uint64_t upper = entries[begin].key >> 32;
        size_t end = begin + 1;
        while (end < entries.size() && entries[end].key >> 32 == upper) ++end;
        if (end - begin > 1) std::sort(entries.begin() + begin, entries.begin() + end, by_key_then_text);
        begin = end;
    }
}

// Equal texts write the same bytes, so stability cannot show.
void sort_entries(std::vector<Entry>& entries, bool one_byte_kind) {
    if (entries.size() < 2) return;
    if (one_byte_kind) {
        sort_by_leading_key(entries);
    } else {
        std::sort(entries.begin(), entries.end(), entry_less);
    }
}

// ---------------------------------------------------------------- hash list

// The finding hashes in list order, owned, with what the native canonical
// text needs of each one measured while the text is still in cache.
class HashList {
public:
    HashList() = default;
    HashList(const HashList&) = delete;
    HashList& operator=(const HashList&) = delete;
    ~HashList() {
        for (const Entry& e : entries_) Py_DECREF(entry_text(e));
    }

    void reserve(Py_ssize_t n) { entries_.reserve(static_cast<size_t>(n)); }

    // Text made through the deprecated wide-character API has no canonical
    // buffer until it is made ready; the writer reads only ready text.
    void add(Ref hash) {
        if (PyUnicode_CheckExact(hash.get())) {
            require_status(PyUnicode_READY(hash.get()));
        } else {
            all_exact_text_ = false;
        }
        entries_.push_back(Entry{0, reinterpret_cast<uintptr_t>(hash.get())});
        hash.release();  // owned by entries_ from here on
    }

    bool all_exact_text() const { return all_exact_text_; }

    // The UTF-8 bytes of json.dumps(sorted(hashes), separators=(",", ":")),
    // written in one buffer; only for hashes that are all exact text.
    Ref canonical_bytes() {
        measure_all();
        sort_entries(entries_, all_one_byte_);
        Ref bytes = require(PyBytes_FromStringAndSize(nullptr, canonical_length()));
        char* out = PyBytes_AS_STRING(bytes.get());
        *out++ = '[';
        // Each text is released right after it is written, while its header
        // is still in cache; a later pass in sorted order would miss on every
        // one. Nothing in this loop can fail.
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (i + 8 < entries_.size()) __builtin_prefetch(entry_text(entries_[i + 8]));
            if (i != 0) *out++ = ',';
            out = write_string(out, entries_[i]);
            Py_DECREF(entry_text(entries_[i]));
        }
        entries_.clear();
        *out++ = ']';
        return bytes;
    }

    // A new list of the hashes, in list order, for the host's own path.
    Ref to_list() {
        Ref list = require(PyList_New(static_cast<Py_ssize_t>(entries_.size())));
        for (size_t i = 0; i < entries_.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry_text(entries_[i]));
        }
        entries_.clear();  // the list owns them now
        return list;
    }

private:
    // A separate pass over the texts, prefetching ahead, so that their
    // cache misses overlap instead of following each attribute lookup.
    void measure_all() {
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (i + 8 < entries_.size()) __builtin_prefetch(reinterpret_cast<const char*>(entry_text(entries_[i + 8])) + 64);
            measure(entry_text(entries_[i]), entries_[i]);
        }
    }

    void measure(PyObject* text, Entry& entry) {
        const Py_ssize_t escaped = escaped_length(text);
        if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND) {
            entry.key = leading_key(text);
        } else {
            all_one_byte_ = false;
        }
        if (PyUnicode_IS_ASCII(text) && escaped == PyUnicode_GET_LENGTH(text)) entry.tagged |= kVerbatim;
        if (escaped > PY_SSIZE_T_MAX / 2 - escaped_total_) {
            PyErr_NoMemory();
            throw PyErrOccurred{};
        }
        escaped_total_ += escaped + 2;
    }

    Py_ssize_t canonical_length() const {
        const Py_ssize_t n = static_cast<Py_ssize_t>(entries_.size());
        return escaped_total_ + 2 + (n > 0 ? n - 1 : 0);
    }

    std::vector<Entry> entries_;
    bool all_exact_text_ = true;
    bool all_one_byte_ = true;
    Py_ssize_t escaped_total_ = 0;  // the texts' escaped lengths with their quotation marks
};

// ---------------------------------------------------------------- host path

Ref call_dumps(PyObject* dumps, PyObject* values) {
    PyObject* args[] = {values, state.json_separators};
    return require(PyObject_Vectorcall(dumps, args, 1, state.dumps_keywords));
}

Ref json_dumps_function(PyObject* globals) {
    Ref json = lookup_global(globals, names.json);
    return require(PyObject_GetAttr(json.get(), names.dumps));
}

// json.dumps(sorted_hashes, ...).encode() through the host, for a list
// already sorted.
Ref host_encoded(PyObject* dumps, PyObject* sorted_hashes) {
    Ref canonical = call_dumps(dumps, sorted_hashes);
    PyObject* self[] = {canonical.get()};
    return require(PyObject_VectorcallMethod(names.encode, self, 1, nullptr));
}

// sorted_hashes.sort(); json.dumps(...).encode(), all through the host.
Ref host_canonical_bytes(PyObject* globals, HashList& hashes, PyObject* dumps_already_found) {
    Ref sorted_hashes = hashes.to_list();
    require_status(PyList_Sort(sorted_hashes.get()));
    Ref dumps = dumps_already_found ? Ref::borrow(dumps_already_found) : json_dumps_function(globals);
    return host_encoded(dumps.get(), sorted_hashes.get());
}

Ref sha256_hexdigest(PyObject* globals, PyObject* encoded) {
    Ref hashlib = lookup_global(globals, names.hashlib);
    PyObject* call[] = {hashlib.get(), encoded};
    Ref digest = require(PyObject_VectorcallMethod(names.sha256, call, 2, nullptr));
    PyObject* self[] = {digest.get()};
    return require(PyObject_VectorcallMethod(names.hexdigest, self, 1, nullptr));
}

constexpr Py_ssize_t kSignalCheckMask = 4095;

void read_finding_hashes(PyObject* findings, HashList& hashes) {
    hashes.reserve(PyList_GET_SIZE(findings));
    // By index with the length re-read each step: a list changed by an
    // attribute lookup is walked as Python's list iterator would.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(findings); ++i) {
        if (i + 8 < PyList_GET_SIZE(findings)) {
            const char* ahead = reinterpret_cast<const char*>(PyList_GET_ITEM(findings, i + 8));
            __builtin_prefetch(ahead);
            __builtin_prefetch(ahead - 32);
        }
        Ref finding = Ref::borrow(PyList_GET_ITEM(findings, i));
        hashes.add(require(PyObject_GetAttr(finding.get(), names.finding_hash)));
        // A long list still answers Ctrl-C promptly, as the host's loop would.
        if ((i & kSignalCheckMask) == kSignalCheckMask) require_status(PyErr_CheckSignals());
    }
}

}  // namespace

bool canonical_writer_agrees(PyObject* dumps) {
    // Every escape class, every string kind, ties and a prefix pair; the
    // two lists take the one-byte (radix) and the general sort.
    static const char* const mixed[] = {
        "b", "a", "A", "", "ab", "\"\\/\b\f\n\r\t", "\x01\x1f\x7f ~", "\xc3\xa9", "\xe2\x80\xa8", "\xf0\x9f\x98\x80", "a",
    };
    static const char* const plain[] = {
        "f0e1d2c3b4a5968778695a4b3c2d1e0ff0e1d2c3b4a5968778695a4b3c2d1e0f",
        "f0e1d2c3b4a5968778695a4b3c2d1e0ff0e1d2c3b4a5968778695a4b3c2d1e0e", "0", "f0e1d2c3", "\"x\"",
    };
    auto agrees = [&](const char* const* texts, size_t count) {
        HashList hashes;
        Ref host_list = require(PyList_New(0));
        for (size_t i = 0; i < count; ++i) {
            Ref text = require(PyUnicode_FromString(texts[i]));
            require_status(PyList_Append(host_list.get(), text.get()));
            hashes.add(std::move(text));
        }
        Ref native = hashes.canonical_bytes();
        require_status(PyList_Sort(host_list.get()));
        Ref host = host_encoded(dumps, host_list.get());
        return PyBytes_Check(host.get()) && PyBytes_GET_SIZE(host.get()) == PyBytes_GET_SIZE(native.get()) &&
               std::memcmp(PyBytes_AS_STRING(host.get()), PyBytes_AS_STRING(native.get()),
                           static_cast<size_t>(PyBytes_GET_SIZE(native.get()))) == 0;
    };
    return agrees(mixed, std::size(mixed)) && agrees(plain, std::size(plain));
}

Ref compute_integrity_checksum_body(PyObject* globals, PyObject* const* args) {
    PyObject* findings = args[0];
    require_exact_type(findings, &PyList_Type, "findings");
    HashList hashes;
    read_finding_hashes(findings, hashes);

    Ref encoded;
    if (hashes.all_exact_text()) {
        // Text never fails to sort or encode, so the json lookup happens at
        // the same point of the algorithm on either path.
        Ref dumps = json_dumps_function(globals);
        encoded = json_encoder_unchanged(dumps.get()) ? hashes.canonical_bytes()
                                                      : host_canonical_bytes(globals, hashes, dumps.get());
    } else {
        encoded = host_canonical_bytes(globals, hashes, nullptr);
    }
    return sha256_hexdigest(globals, encoded.get());
}

}  // namespace manifest

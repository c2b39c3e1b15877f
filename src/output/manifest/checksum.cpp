#include "checksum.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

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

// One hash of the native path: exact text, held by the caller's list of
// hashes. `key` holds the first eight code units big-endian when every hash
// is one byte per character, so most comparisons end on one integer compare.
struct Entry {
    uint64_t key;
    PyObject* text;
    Py_ssize_t escaped_length;  // characters between the quotation marks
};

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
    PyObject* text = entry.text;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    *out++ = '"';
    if (PyUnicode_IS_ASCII(text) && entry.escaped_length == length) {
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
    const Py_ssize_t length = std::min<Py_ssize_t>(PyUnicode_GET_LENGTH(text), 8);
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

void sort_entries(std::vector<Entry>& entries, bool one_byte_kind) {
    // Equal texts write the same bytes, so stability cannot show.
    if (one_byte_kind) {
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
            if (a.key != b.key) return a.key < b.key;
            return text_less(a.text, b.text);
        });
    } else {
        std::sort(entries.begin(), entries.end(),
                  [](const Entry& a, const Entry& b) { return text_less(a.text, b.text); });
    }
}

// The UTF-8 bytes of json.dumps(sorted(hashes), separators=(",", ":")),
// written in one buffer, for hashes that are all exact text.
Ref native_canonical_bytes(const std::vector<Ref>& hashes) {
    std::vector<Entry> entries;
    entries.reserve(hashes.size());
    bool one_byte_kind = true;
    for (const Ref& hash : hashes) {
        one_byte_kind = one_byte_kind && PyUnicode_KIND(hash.get()) == PyUnicode_1BYTE_KIND;
    }
    Py_ssize_t total = 2 + (hashes.empty() ? 0 : static_cast<Py_ssize_t>(hashes.size()) - 1);
    for (const Ref& hash : hashes) {
        Entry entry{one_byte_kind ? leading_key(hash.get()) : 0, hash.get(), escaped_length(hash.get())};
        if (entry.escaped_length > PY_SSIZE_T_MAX - 2 - total) {
            PyErr_NoMemory();
            throw PyErrOccurred{};
        }
        total += entry.escaped_length + 2;
        entries.push_back(entry);
    }
    sort_entries(entries, one_byte_kind);

    Ref bytes = require(PyBytes_FromStringAndSize(nullptr, total));
    char* out = PyBytes_AS_STRING(bytes.get());
    *out++ = '[';
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i != 0) *out++ = ',';
        out = write_string(out, entries[i]);
    }
    *out++ = ']';
    return bytes;
}

// ---------------------------------------------------------------- host path

Ref call_dumps(PyObject* dumps, PyObject* values) {
    PyObject* args[] = {values, state.json_separators};
    return require(PyObject_Vectorcall(dumps, args, 1, state.dumps_keywords));
}

Ref json_dumps_function() {
    Ref json = lookup_global(names.json);
    return require(PyObject_GetAttr(json.get(), names.dumps));
}

// sorted_hashes.sort(); json.dumps(...).encode(), all through the host.
Ref host_canonical_bytes(std::vector<Ref>& hashes, PyObject* dumps_already_found) {
    Ref sorted_hashes = require(PyList_New(static_cast<Py_ssize_t>(hashes.size())));
    for (size_t i = 0; i < hashes.size(); ++i) {
        PyList_SET_ITEM(sorted_hashes.get(), static_cast<Py_ssize_t>(i), hashes[i].release());
    }
    require_status(PyList_Sort(sorted_hashes.get()));
    Ref dumps = dumps_already_found ? Ref::borrow(dumps_already_found) : json_dumps_function();
    Ref canonical = call_dumps(dumps.get(), sorted_hashes.get());
    PyObject* self[] = {canonical.get()};
    return require(PyObject_VectorcallMethod(names.encode, self, 1, nullptr));
}

Ref sha256_hexdigest(PyObject* encoded) {
    Ref hashlib = lookup_global(names.hashlib);
    PyObject* call[] = {hashlib.get(), encoded};
    Ref digest = require(PyObject_VectorcallMethod(names.sha256, call, 2, nullptr));
    PyObject* self[] = {digest.get()};
    return require(PyObject_VectorcallMethod(names.hexdigest, self, 1, nullptr));
}

std::vector<Ref> read_finding_hashes(PyObject* findings, bool& all_exact_text) {
    std::vector<Ref> hashes;
    hashes.reserve(static_cast<size_t>(PyList_GET_SIZE(findings)));
    all_exact_text = true;
    // By index with the length re-read each step: a list changed by an
    // attribute lookup is walked as Python's list iterator would.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(findings); ++i) {
        Ref finding = Ref::borrow(PyList_GET_ITEM(findings, i));
        Ref hash = require(PyObject_GetAttr(finding.get(), names.finding_hash));
        all_exact_text = all_exact_text && PyUnicode_CheckExact(hash.get());
        hashes.push_back(std::move(hash));
    }
    return hashes;
}

}  // namespace

Ref compute_integrity_checksum_body(PyObject* const* args) {
    PyObject* findings = args[0];
    require_exact_type(findings, &PyList_Type, "findings");
    bool all_exact_text = false;
    std::vector<Ref> hashes = read_finding_hashes(findings, all_exact_text);

    Ref encoded;
    if (all_exact_text) {
        // Text never fails to sort or encode, so the json lookup happens at
        // the same point of the algorithm on either path.
        Ref dumps = json_dumps_function();
        if (dumps.get() == state.original_json_dumps) {
            encoded = native_canonical_bytes(hashes);
        } else {
            encoded = host_canonical_bytes(hashes, dumps.get());
        }
    } else {
        encoded = host_canonical_bytes(hashes, nullptr);
    }
    return sha256_hexdigest(encoded.get());
}

}  // namespace manifest

#include "checksum.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "canonical_text.hpp"
#include "encoder_guard.hpp"
#include "hash_arena.hpp"
#include "instance_attribute.hpp"
#include "errors.hpp"
#include "names.hpp"
#include "state.hpp"

// How often the native writer and the streamed hasher stood in for the
// host, counted under the GIL. A profiler cannot tell the paths apart (it
// sends every call to the host's path), so tests read these through ctypes.
extern "C" {
__attribute__((visibility("default"))) uint64_t brimwick_manifest_native_texts = 0;
__attribute__((visibility("default"))) uint64_t brimwick_manifest_streamed_digests = 0;
}

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

Py_ssize_t escaped_length(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) return ascii_escaped_length(PyUnicode_1BYTE_DATA(text), length);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t total = 0;
    for (Py_ssize_t i = 0; i < length; ++i) total += escaped_width(PyUnicode_READ(kind, data, i));
    return total;
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

uint64_t text_leading_key(PyObject* text) { return leading_key(PyUnicode_1BYTE_DATA(text), PyUnicode_GET_LENGTH(text)); }

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

// Equal texts write the same bytes, so stability cannot show.
void sort_entries(std::vector<Entry>& entries, bool one_byte_kind) {
    if (entries.size() < 2) return;
    if (one_byte_kind) {
        std::vector<Entry> scratch;
        sort_by_leading_key(entries, scratch, entry_less);
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
            all_ascii_ = all_ascii_ && PyUnicode_IS_ASCII(hash.get());
            longest_ = std::max(longest_, PyUnicode_GET_LENGTH(hash.get()));
            characters_ += PyUnicode_GET_LENGTH(hash.get());
        } else {
            all_exact_text_ = false;
        }
        entries_.push_back(Entry{0, reinterpret_cast<uintptr_t>(hash.get())});
        hash.release();  // owned by entries_ from here on
    }

    bool all_exact_text() const { return all_exact_text_; }
    size_t size() const { return entries_.size(); }

    // Exact ASCII text that the arena can hold, every one.
    bool fits_arena() const { return all_exact_text_ && all_ascii_ && HashArena::can_hold(longest_, characters_); }

    // Copies every text into the arena (fits_arena() holds), in list order,
    // prefetching ahead, and releases each one while it is in cache.
    void move_into(HashArena& arena) noexcept {
        constexpr size_t kAhead = 28;
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (i + kAhead < entries_.size()) {
                // Header and characters: up to three lines for a digest.
                const char* ahead = reinterpret_cast<const char*>(entry_text(entries_[i + kAhead]));
                __builtin_prefetch(ahead);
                __builtin_prefetch(ahead + 64);
                __builtin_prefetch(ahead + 111);
            }
            arena.add(entry_text(entries_[i]));
            Py_DECREF(entry_text(entries_[i]));
        }
        entries_.clear();
    }

    // The number of characters of all the texts (exact text only).
    Py_ssize_t characters() const { return characters_; }

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
            entry.key = text_leading_key(text);
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
    bool all_ascii_ = true;
    Py_ssize_t longest_ = 0;
    Py_ssize_t characters_ = 0;  // cannot overflow: every text is in memory
    bool all_one_byte_ = true;
    Py_ssize_t escaped_total_ = 0;  // the texts' escaped lengths with their quotation marks
};

// ---------------------------------------------------------------- host path

Ref call_dumps(PyObject* dumps, PyObject* values) {
    PyObject* args[] = {values, state.json_separators};
    return require(PyObject_Vectorcall(dumps, args, 1, state.dumps_keywords));
}

Ref json_dumps_function(const Scope& scope) {
    Ref json = lookup_global(scope, names.json);
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
Ref host_canonical_bytes(const Scope& scope, HashList& hashes, PyObject* dumps_already_found) {
    Ref sorted_hashes = hashes.to_list();
    require_status(PyList_Sort(sorted_hashes.get()));
    Ref dumps = dumps_already_found ? Ref::borrow(dumps_already_found) : json_dumps_function(scope);
    return host_encoded(dumps.get(), sorted_hashes.get());
}

// hashlib.sha256(encoded).hexdigest()
Ref hexdigest_with(PyObject* hashlib, PyObject* encoded) {
    PyObject* call[] = {hashlib, encoded};
    Ref digest = require(PyObject_VectorcallMethod(names.sha256, call, 2, nullptr));
    PyObject* self[] = {digest.get()};
    return require(PyObject_VectorcallMethod(names.hexdigest, self, 1, nullptr));
}

constexpr Py_ssize_t kSignalCheckMask = 4095;

// Findings are scattered over the heap: prefetching the object (and its
// pre-header, where CPython 3.11 keeps the pointer to an instance's inline
// values) a few findings ahead lets their cache misses overlap. Prefetches
// never fault and change nothing observable. (Prefetching the values array
// and the hash text too, through loads of the lines fetched earlier, was
// tried: those loads stall often enough to lose more than they save.)
inline void prefetch_ahead(PyObject* findings, Py_ssize_t i) {
    constexpr Py_ssize_t kAhead = 16;
    if (i + kAhead < PyList_GET_SIZE(findings)) {
        const char* object = reinterpret_cast<const char*>(PyList_GET_ITEM(findings, i + kAhead));
        __builtin_prefetch(object);
        __builtin_prefetch(object - 32);
    }
}

// The hashes as read, in list order, each one owned.
void read_finding_hashes(PyObject* findings, HashList& hashes) {
    hashes.reserve(PyList_GET_SIZE(findings));
    InstanceAttribute finding_hash(names.finding_hash);
    // By index with the length re-read each step: a list changed by an
    // attribute lookup is walked as Python's list iterator would.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(findings); ++i) {
        prefetch_ahead(findings, i);
        Ref finding = Ref::borrow(PyList_GET_ITEM(findings, i));
        Ref hash = finding_hash.read(finding.get());
        hashes.add(std::move(hash));
        // A long list still answers Ctrl-C promptly, as the host's loop would.
        if ((i & kSignalCheckMask) == kSignalCheckMask) require_status(PyErr_CheckSignals());
    }
}

}  // namespace

Ref compute_integrity_checksum_body(const Scope& scope, PyObject* const* args) {
    PyObject* findings = args[0];
    require_exact_type(findings, &PyList_Type, "findings");
    HashList hashes;
    read_finding_hashes(findings, hashes);

    Ref encoded;
    if (hashes.all_exact_text()) {
        // Text never fails to sort or encode, so the json lookup happens at
        // the same point of the algorithm on either path.
        Ref dumps = json_dumps_function(scope);
        if (host_frames_observable() || !json_dumps_is_standard(dumps.get())) {
            encoded = host_canonical_bytes(scope, hashes, dumps.get());
        } else if (hashes.fits_arena()) {
            ++brimwick_manifest_native_texts;
            HashArena arena(static_cast<Py_ssize_t>(hashes.size()), hashes.characters());
            hashes.move_into(arena);
            // Nothing between this lookup and the host's later one runs
            // Python code, so it may come first.
            Ref hashlib = lookup_global(scope, names.hashlib);
            if (PyObject* sha256 = standard_sha256(hashlib.get())) {
                if (Ref digest = arena.streamed_hexdigest(sha256)) {
                    ++brimwick_manifest_streamed_digests;
                    return digest;
                }
            }
            return hexdigest_with(hashlib.get(), arena.canonical_bytes().get());
        } else {
            ++brimwick_manifest_native_texts;
            encoded = hashes.canonical_bytes();
        }
    } else {
        encoded = host_canonical_bytes(scope, hashes, nullptr);
    }
    Ref hashlib = lookup_global(scope, names.hashlib);
    return hexdigest_with(hashlib.get(), encoded.get());
}

}  // namespace manifest

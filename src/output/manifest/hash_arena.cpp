#include "hash_arena.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "canonical_text.hpp"
#include "encoder_guard.hpp"
#include "errors.hpp"
#include "names.hpp"

namespace manifest {

namespace {

// Room for one stretch of streamed canonical text: small enough to stay in
// the core's own cache while it is hashed.
constexpr size_t kChunkBytes = size_t{64} << 10;

// A digest's 64 characters are copied with a fixed-size copy the compiler
// inlines; any other length goes through memcpy.
inline void copy_text(void* to, const void* from, Py_ssize_t length) {
    if (length == 64) {
        std::memcpy(to, from, 64);
    } else {
        std::memcpy(to, from, static_cast<size_t>(length));
    }
}

// What the spare may hold once a call is over: enough for the arenas of
// the common checksums (some thousands of digests); a larger one is freed,
// so that no call leaves megabytes behind that the host would not keep.
constexpr size_t kSpareByteLimit = size_t{1} << 20;

}  // namespace

HashArena::Spare HashArena::spare_;

HashArena::HashArena(Py_ssize_t count, Py_ssize_t characters) {
    if (!spare_.lent) {
        spare_.lent = borrowed_ = true;
        std::swap(block_, spare_.block);
        std::swap(bytes_, spare_.bytes);
        std::swap(capacity_, spare_.capacity);
        entries_.swap(spare_.entries);
        scratch_.swap(spare_.scratch);
        order_.swap(spare_.order);
        order_scratch_.swap(spare_.order_scratch);
    }
    // No destructor runs for a constructor that throws: what was borrowed
    // goes back before the error leaves.
    try {
        entries_.reserve(static_cast<size_t>(count));
        order_.clear();
        if (count >= static_cast<Py_ssize_t>(kRadixMinimum) && static_cast<uint64_t>(count) <= UINT32_MAX) {
            order_.reserve(static_cast<size_t>(count));
        } else {
            hex_prefixed_ = false;  // the hexadecimal sort does not pay, or cannot index them
        }
        reserve_bytes(static_cast<size_t>(characters));
    } catch (...) {
        give_back();
        throw;
    }
}

HashArena::~HashArena() { give_back(); }

// Keeps the memory for the next arena, within the limit, or frees it.
void HashArena::give_back() noexcept {
    const size_t kept = capacity_ + (entries_.capacity() + scratch_.capacity()) * sizeof(Entry) +
                        (order_.capacity() + order_scratch_.capacity()) * sizeof(uint64_t);
    if (borrowed_ && kept <= kSpareByteLimit) {
        entries_.clear();
        order_.clear();
        spare_.block = block_;
        spare_.bytes = bytes_;
        spare_.capacity = capacity_;
        spare_.entries.swap(entries_);
        spare_.scratch.swap(scratch_);
        spare_.order.swap(order_);
        spare_.order_scratch.swap(order_scratch_);
    } else {
        PyMem_RawFree(block_);
    }
    block_ = bytes_ = nullptr;
    capacity_ = 0;
    if (borrowed_) spare_.lent = false;
    borrowed_ = false;
}

// Only the empty arena takes room, so nothing held needs copying over. The
// texts start at a cache-line boundary, so that each 64-character digest
// fills exactly one line: the sorted walk then reads one line a text, not two.
void HashArena::reserve_bytes(size_t total) {
    if (capacity_ >= total) return;
    constexpr uintptr_t kLine = 64;
    char* block = static_cast<char*>(PyMem_RawMalloc(total + kLine - 1));
    if (block == nullptr) throw std::bad_alloc();
    PyMem_RawFree(block_);
    block_ = block;
    bytes_ = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(block) + kLine - 1) & ~(kLine - 1));
    capacity_ = total;
}

// The room was taken at construction, and can_hold bounds the characters
// far below any overflow of the escaped total (at most six bytes each).
void HashArena::add(PyObject* text) noexcept {
    const size_t index = count_++;
    const bool was_compact = index == 0 ? hex_prefixed_ : compact();  // before any text, no length yet
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const unsigned char* source = PyUnicode_1BYTE_DATA(text);
    const Py_ssize_t escaped = ascii_escaped_length(source, length);
    copy_text(bytes_ + used_, source, length);
    const uint64_t key = leading_key(source, length);
    // The digits are worked out here, while the read of the text stalls.
    uint32_t digits;
    if (hex_prefixed_ && hex_digits_of_leading_key(key, &digits)) {
        order_.push_back(static_cast<uint64_t>(digits) << 32 | index);
    } else {
        hex_prefixed_ = false;
    }
    const Py_ssize_t earlier_length = uniform_length_;
    if (uniform_length_ != length) uniform_length_ = index == 0 ? length : -1;
    all_verbatim_ = all_verbatim_ && escaped == length;
    if (was_compact && !compact()) expand(earlier_length);
    if (!compact()) {
        uint64_t place = (static_cast<uint64_t>(used_) << (kLengthBits + 1)) | static_cast<uint64_t>(length);
        if (escaped == length) place |= kVerbatimBit;
        entries_.push_back(Entry{key, place});
    }
    used_ += static_cast<size_t>(length);
    escaped_total_ += escaped + 2;
    escaped_longest_ = std::max(escaped_longest_, escaped);
}

// Writes the entries of the count_ - 1 texts held compactly: all of
// `length` characters, none escaped, the i-th at i x length. The room was
// taken at construction.
void HashArena::expand(Py_ssize_t length) noexcept {
    for (size_t i = 0; i + 1 < count_; ++i) {
        const size_t offset = i * static_cast<size_t>(length);
        const uint64_t place = (static_cast<uint64_t>(offset) << (kLengthBits + 1)) | kVerbatimBit |
                               static_cast<uint64_t>(length);
        entries_.push_back(Entry{leading_key(reinterpret_cast<const unsigned char*>(bytes_ + offset), length), place});
    }
}

// Byte order is code-point order for ASCII; a proper prefix comes first.
bool HashArena::text_less(const Entry& a, const Entry& b) const {
    const Py_ssize_t la = length(a), lb = length(b);
    int c = std::memcmp(data(a), data(b), static_cast<size_t>(std::min(la, lb)));
    return c != 0 ? c < 0 : la < lb;
}

// Lowercase hexadecimal digits order as their bytes do, and eight of them
// fit 32 bits with every bit telling texts apart (as bytes, digests' keys
// vary in only 16 of their upper 32 bits, leaving long runs to compare).
// Sorting 8-byte (prefix, index) words also moves half the bytes of
// (key, place) entries. Ties on the prefix go by the whole text.
bool HashArena::sort_by_hex_prefix() {
    if (!hex_prefixed_) {
        order_.clear();
        return false;
    }
    // Every bit of the digits tells digests apart: 24 of them, two radix
    // passes, leave few ties, which go by the rest of the digits, then the
    // whole text.
    auto word = [](uint64_t w) { return w; };
    radix_sort_top_bits<24>(order_, order_scratch_, word);
    sort_runs_of_equal_top_bits<24>(order_, word, [this](uint64_t a, uint64_t b) {
        if (a >> 32 != b >> 32) return a >> 32 < b >> 32;
        const size_t i = a & UINT32_MAX, j = b & UINT32_MAX;
        if (!compact()) return text_less(entries_[i], entries_[j]);
        const size_t length = static_cast<size_t>(uniform_length_);  // all of one length
        return std::memcmp(bytes_ + i * length, bytes_ + j * length, length) < 0;
    });
    return true;
}

template <typename Flush, typename TextAt>
void HashArena::write_texts(char* buffer, size_t size, size_t room_per_text, Flush& flush, TextAt text_at) const {
    char* out = buffer;
    const char* const flush_point = buffer + (size - room_per_text);  // size >= room_per_text
    *out++ = '[';
    constexpr size_t kAhead = 20;
    const size_t n = count_;
    for (size_t i = 0; i < n; ++i) {
        if (i + kAhead < n) {
            const char* ahead = text_at(i + kAhead).data;
            __builtin_prefetch(ahead);
            __builtin_prefetch(ahead + 63);
        }
        if (room_per_text != 0 && out > flush_point) {
            flush(buffer, static_cast<size_t>(out - buffer));
            out = buffer;
        }
        const Text text = text_at(i);
        if (i != 0) *out++ = ',';
        *out++ = '"';
        if (text.verbatim) {
            copy_text(out, text.data, text.length);
            out += text.length;
        } else {
            const unsigned char* chars = reinterpret_cast<const unsigned char*>(text.data);
            for (Py_ssize_t k = 0; k < text.length; ++k) out = write_escaped_char(out, chars[k]);
        }
        *out++ = '"';
    }
    *out++ = ']';
    flush(buffer, static_cast<size_t>(out - buffer));
}

template <typename Flush>
void HashArena::write_canonical(char* buffer, size_t size, size_t room_per_text, Flush&& flush) {
    if (count_ > 1 && !sort_by_hex_prefix()) {
        sort_by_leading_key(entries_, scratch_, [this](const Entry& a, const Entry& b) { return text_less(a, b); });
    }
    auto text_of = [this](const Entry& e) { return Text{data(e), length(e), verbatim(e)}; };
    if (order_.empty()) {
        write_texts(buffer, size, room_per_text, flush, [&](size_t i) { return text_of(entries_[i]); });
    } else if (compact()) {
        // Texts of one length lie at index x length: the sorted walk needs
        // no entry, only the order word, which it reads in sequence.
        const Py_ssize_t length = uniform_length_;
        write_texts(buffer, size, room_per_text, flush, [this, length](size_t i) {
            return Text{bytes_ + static_cast<size_t>(order_[i] & UINT32_MAX) * static_cast<size_t>(length), length, true};
        });
    } else {
        write_texts(buffer, size, room_per_text, flush,
                    [&](size_t i) { return text_of(entries_[order_[i] & UINT32_MAX]); });
    }
}

Ref HashArena::canonical_bytes() {
    const Py_ssize_t n = static_cast<Py_ssize_t>(count_);
    Ref bytes = require(PyBytes_FromStringAndSize(nullptr, escaped_total_ + 2 + (n > 0 ? n - 1 : 0)));
    write_canonical(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())), 0,
                    [](const char*, size_t) {});
    return bytes;
}

// Each piece goes to update() as a view that is released as soon as the
// call returns, so nothing can read the buffer after it is reused or freed.
void HashArena::update_with_view(PyObject* update, const char* data, size_t size) {
    Ref view = require(PyMemoryView_FromMemory(const_cast<char*>(data), static_cast<Py_ssize_t>(size), PyBUF_READ));
    PyObject* args[] = {view.get()};
    Ref updated = Ref::steal(PyObject_Vectorcall(update, args, 1, nullptr));
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);  // the update's error, if any, outranks the release's
    PyObject* release[] = {view.get()};
    Ref released = Ref::steal(PyObject_VectorcallMethod(names.release, release, 1, nullptr));
    if (type != nullptr) {
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
    }
    if (!updated || !released) throw PyErrOccurred{};
}

Ref HashArena::streamed_hexdigest(PyObject* sha256) {
    // Room for the longest text with its comma and quotation marks, and the
    // closing bracket.
    const size_t room = static_cast<size_t>(escaped_longest_) + 4;
    if (room > kChunkBytes / 2) return Ref();  // too long to stream
    // Text that fits one chunk goes to the hasher whole: the hasher object
    // and its method calls would cost more than the one bytes object.
    const size_t total = static_cast<size_t>(escaped_total_) + count_ + 2;
    if (total <= kChunkBytes) return Ref();
    // A quarter of the text at a time, within what stays in cache.
    const size_t chunk_size = std::max(std::min(total / 4, kChunkBytes), 2 * room);
    // The standard constructor runs no Python code; a hasher of any other
    // type than its module's own is dropped unused.
    Ref hasher = require(PyObject_CallNoArgs(sha256));
    if (!is_standard_hasher(hasher.get())) return Ref();
    Ref update = require(PyObject_GetAttr(hasher.get(), names.update));
    std::unique_ptr<char[]> chunk(new char[chunk_size]);
    write_canonical(chunk.get(), chunk_size, room, [&](const char* data, size_t size) {
        update_with_view(update.get(), data, size);
    });
    PyObject* self[] = {hasher.get()};
    return require(PyObject_VectorcallMethod(names.hexdigest, self, 1, nullptr));
}

}  // namespace manifest

// Finding hashes that are exact ASCII text (as digests are), copied into one
// contiguous arena while each text is still in cache from its attribute
// read. Measuring, ordering and writing the canonical text then run over
// dense memory instead of text objects scattered over the heap, and each
// text object is released right away.
#pragma once

#include <cstdint>
#include <vector>

#include "ref.hpp"

namespace manifest {

class HashArena {
public:
    // Room for `count` texts of `characters` characters in all, taken now,
    // so that adding them cannot fail.
    HashArena(Py_ssize_t count, Py_ssize_t characters);
    HashArena(const HashArena&) = delete;
    HashArena& operator=(const HashArena&) = delete;
    ~HashArena();

    // Whether ASCII texts of at most `longest` characters, `total` in all, fit.
    static bool can_hold(Py_ssize_t longest, Py_ssize_t total) {
        return static_cast<uint64_t>(longest) <= kLengthMask && static_cast<uint64_t>(total) < kOffsetLimit;
    }

    // Copies `text`: exact, ready ASCII text within what can_hold admits
    // and the room taken at construction.
    void add(PyObject* text) noexcept;

    // The UTF-8 bytes of json.dumps(sorted(hashes), separators=(",", ":")).
    Ref canonical_bytes();

    // hashlib.sha256(canonical_bytes()).hexdigest() for `sha256`, the
    // interpreter's own constructor, with the text written in cache-sized
    // chunks straight into the hasher instead of into one large object;
    // Ref() when the text is better hashed whole.
    Ref streamed_hexdigest(PyObject* sha256);

private:
    // `place` packs the text's arena offset (upper 40 bits), whether it is
    // written unescaped (bit 23) and its length (lower 23 bits).
    struct Entry {
        uint64_t key;
        uint64_t place;
    };

    // Memory of an earlier call, kept for the next one: fresh pages for
    // megabytes of arena and entries would cost a fault per page on every
    // call. Only one arena at a time uses it (a hash's attribute read may
    // itself compute a checksum), and only a bounded amount is kept.
    struct Spare {
        char* block = nullptr;
        char* bytes = nullptr;
        size_t capacity = 0;
        std::vector<Entry> entries;
        std::vector<Entry> scratch;
        std::vector<uint64_t> order;
        std::vector<uint64_t> order_scratch;
        bool lent = false;
    };
    static Spare spare_;
    bool borrowed_ = false;
    void give_back() noexcept;
    static void update_with_view(PyObject* update, const char* data, size_t size);
    static constexpr uint64_t kLengthBits = 23;
    static constexpr uint64_t kVerbatimBit = uint64_t{1} << kLengthBits;
    static constexpr uint64_t kLengthMask = kVerbatimBit - 1;
    static constexpr uint64_t kOffsetLimit = uint64_t{1} << (64 - kLengthBits - 1);

    const char* data(const Entry& e) const { return bytes_ + (e.place >> (kLengthBits + 1)); }
    static Py_ssize_t length(const Entry& e) { return static_cast<Py_ssize_t>(e.place & kLengthMask); }
    static bool verbatim(const Entry& e) { return (e.place & kVerbatimBit) != 0; }
    bool text_less(const Entry& a, const Entry& b) const;
    // Sorts order_ when every text starts with eight lowercase hexadecimal
    // digits (as digests do) and there are enough of them; false, with
    // nothing sorted, otherwise.
    bool sort_by_hex_prefix();
    // Sorts, then writes the canonical text into `buffer` of `size` bytes,
    // handing each full stretch to flush(data, size); `room_per_text` is
    // the room kept free for the next text and the closing bracket (0: the
    // buffer holds the whole text).
    template <typename Flush>
    void write_canonical(char* buffer, size_t size, size_t room_per_text, Flush&& flush);
    // One text as the writer needs it.
    struct Text {
        const char* data;
        Py_ssize_t length;
        bool verbatim;
    };
    // Writes the texts text_at(0), text_at(1), ... as write_canonical does.
    template <typename Flush, typename TextAt>
    void write_texts(char* buffer, size_t size, size_t room_per_text, Flush& flush, TextAt text_at) const;
    void reserve_bytes(size_t total);

    char* block_ = nullptr;  // the allocation, which bytes_ starts in
    char* bytes_ = nullptr;
    size_t used_ = 0;
    size_t capacity_ = 0;
    std::vector<Entry> entries_;
    std::vector<Entry> scratch_;  // the general sort's second buffer
    // The hexadecimal sort's (32-bit prefix << 32 | index of the text)
    // words, made by add() while every text so far starts with eight
    // hexadecimal digits, and their second buffer; empty when entries_
    // itself is sorted.
    std::vector<uint64_t> order_;
    std::vector<uint64_t> order_scratch_;
    Py_ssize_t escaped_total_ = 0;  // escaped lengths with their quotation marks
    Py_ssize_t escaped_longest_ = 0;
    Py_ssize_t uniform_length_ = -1;  // the length every text has, or -1 (texts of several lengths)
    bool all_verbatim_ = true;  // no text needs escaping
    bool hex_prefixed_ = true;  // order_ holds a word for every text
    // No entries are kept while every text starts with hexadecimal digits,
    // has the first one's length and needs no escaping (digests): each is
    // found at index x length. The first text that does not brings them in.
    bool compact() const { return hex_prefixed_ && uniform_length_ >= 0 && all_verbatim_; }
    size_t count_ = 0;  // texts held
    void expand(Py_ssize_t length) noexcept;
};

}  // namespace manifest

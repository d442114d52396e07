#pragma once
// Identifier sets over a pool's key index.
//
// A pool owns a KeyIndex (identifiers in pool order plus a hash index). Sets built against the
// same index are bitmaps over its positions, so the set algebra of a filter tree costs a few
// word operations per 64 signals; identifiers outside the index (a caller's foreign ids) are
// kept aside, sorted. Semantically an IdSet is a set of strings.

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <span>
#include <string_view>
#include <vector>

#include "brindlecap/runtime/huge_pages.hpp"

namespace brindlecap::functions::filtrations_evaluation {

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};

// Identifiers in insertion order with a hash index of their positions. The identifiers live in
// chunks that double in size and never move, so references handed out by id() stay valid while
// the index grows; consecutive positions are adjacent in memory.
class KeyIndex {
public:
    KeyIndex() = default;
    KeyIndex(const KeyIndex& other);
    KeyIndex& operator=(const KeyIndex& other);
    KeyIndex(KeyIndex&& other) noexcept;
    KeyIndex& operator=(KeyIndex&& other) noexcept;

    std::size_t size() const noexcept { return size_; }
    const std::string& id(std::size_t pos) const {
        const std::size_t chunk = chunk_of(pos);
        return chunks_[chunk][pos - chunk_start(chunk)];
    }
    // Visits every identifier in position order, f(position, id): cheaper than id() for each.
    template <class F>
    void for_each(F&& f) const {
        std::size_t pos = 0;
        for (const auto& chunk : chunks_) {
            for (const std::string& id : chunk) f(pos++, id);
        }
    }
    std::optional<std::uint32_t> find(std::string_view id) const;
    // Position of id, appending it when new.
    std::uint32_t add(std::string id);
    void reserve(std::size_t n);

    // Bulk loading: append() adds an identifier at the next position without looking it up;
    // index_appended() then indexes everything at once, faster than one add() each. find() and
    // add() see appended identifiers only once indexed. index_appended() returns false when an
    // identifier occurs twice; the index is then unusable and must be dropped. defer_index()
    // instead leaves the indexing to the first find() or add() (from any thread), for callers
    // that know the identifiers are distinct and may never look one up.
    void append(std::string id);
    void append(std::string_view id);
    bool index_appended();
    void defer_index();

private:
    static constexpr std::size_t FIRST_CHUNK = 16;
    // Chunk 0 holds positions [0, 16), chunk c >= 1 holds [16 * 2^(c-1), 16 * 2^c).
    static std::size_t chunk_of(std::size_t pos) noexcept {
        return static_cast<std::size_t>(std::bit_width(pos / FIRST_CHUNK));
    }
    static std::size_t chunk_start(std::size_t chunk) noexcept {
        return chunk == 0 ? 0 : FIRST_CHUNK << (chunk - 1);
    }
    static std::size_t chunk_capacity(std::size_t chunk) noexcept {
        return chunk == 0 ? FIRST_CHUNK : FIRST_CHUNK << (chunk - 1);
    }
    void rehash(std::size_t slots) const;
    void new_chunk_if_full();
    // Builds the deferred index.
    void index_now() const;
    void ensure_indexed() const {
        if (deferred_.load(std::memory_order_acquire)) index_now();
    }

    std::vector<runtime::LargeVector<std::string>> chunks_;  // each reserved to its full capacity
    std::size_t size_ = 0;
    // Low half: position + 1, 0 when free; high half: the high half of the identifier's hash.
    // At most half full. Built by a const member when deferred.
    mutable runtime::LargeVector<std::uint64_t> slots_;
    mutable std::atomic<bool> deferred_{false};
};

using KeyIndexPtr = std::shared_ptr<const KeyIndex>;

class IdSet {
public:
    IdSet() = default;
    IdSet(std::initializer_list<std::string_view> ids);
    explicit IdSet(const std::vector<std::string>& ids);

    // Empty set / full set positioned on a universe.
    static IdSet over(KeyIndexPtr universe);
    static IdSet all_of(KeyIndexPtr universe);
    // The universe members whose position bits are set: one bit per position, (size + 63) / 64
    // words, bits past the universe's size clear.
    static IdSet from_bits(KeyIndexPtr universe, std::vector<std::uint64_t> bits);

    const KeyIndexPtr& universe() const noexcept { return universe_; }

    // One identifier; one outside the universe costs a shift of the others (insert_all for many).
    void insert(std::string_view id);
    // Many identifiers at once: those outside the universe are sorted and merged in one step.
    void insert_all(std::span<const std::string_view> ids);
    // Position in the universe (fast path for operators that walk prepared values).
    void insert_pos(std::uint32_t pos) {
        std::uint64_t& w = bits_[pos >> 6];
        const std::uint64_t m = std::uint64_t{1} << (pos & 63);
        count_ += (w & m) == 0;
        w |= m;
    }
    bool contains_pos(std::uint32_t pos) const {
        return (bits_[pos >> 6] >> (pos & 63)) & 1;
    }
    bool erase(std::string_view id);
    bool contains(std::string_view id) const;

    std::size_t size() const noexcept { return count_ + others_.size(); }
    bool empty() const noexcept { return size() == 0; }

    // Visits every identifier: universe members in universe order, then the others ascending.
    template <class F>
    void for_each(F&& f) const {
        for (std::size_t w = 0; w < bits_.size(); ++w) {
            std::uint64_t word = bits_[w];
            while (word) {
                const int b = __builtin_ctzll(word);
                f(std::string_view(universe_->id(w * 64 + static_cast<std::size_t>(b))));
                word &= word - 1;
            }
        }
        for (const auto& s : others_) f(std::string_view(s));
    }
    std::vector<std::string> to_vector() const;  // for_each order
    std::vector<std::string> sorted() const;     // ascending by code point

    // The same set expressed over another universe.
    IdSet rebased(const KeyIndexPtr& universe) const;

    IdSet& operator&=(const IdSet& other);
    IdSet& operator|=(const IdSet& other);
    IdSet& operator-=(const IdSet& other);
    friend IdSet operator&(IdSet a, const IdSet& b) { return a &= b; }
    friend IdSet operator|(IdSet a, const IdSet& b) { return a |= b; }
    friend IdSet operator-(IdSet a, const IdSet& b) { return a -= b; }
    friend bool operator==(const IdSet& a, const IdSet& b);

    // Members outside the universe, ascending.
    const std::vector<std::string>& others() const noexcept { return others_; }
    // The universe members as bits over its positions (empty without a universe).
    const std::vector<std::uint64_t>& bits() const noexcept { return bits_; }

private:
    KeyIndexPtr universe_;
    std::vector<std::uint64_t> bits_;  // one bit per universe position
    std::size_t count_ = 0;            // bits set
    std::vector<std::string> others_;  // sorted, unique
};

}  // namespace brindlecap::functions::filtrations_evaluation

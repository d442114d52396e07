#include "brindlecap/functions/filtrations_evaluation/core/ids.hpp"

#include "brindlecap/functions/filtrations_evaluation/core/same_text_internal.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace brindlecap::functions::filtrations_evaluation {

// ---- KeyIndex -------------------------------------------------------------------------------

namespace {

std::size_t slot_hash(std::string_view id) noexcept {
    // Spread the hash: the table uses its low bits.
    std::uint64_t x = std::hash<std::string_view>{}(id);
    x ^= x >> 31;
    x *= 0x9e3779b97f4a7c15ULL;
    return static_cast<std::size_t>(x ^ (x >> 29));
}

}  // namespace

KeyIndex::KeyIndex(const KeyIndex& other) { *this = other; }

KeyIndex& KeyIndex::operator=(const KeyIndex& other) {
    if (this == &other) return *this;
    other.ensure_indexed();
    // Plain vector copies would drop the reserved room that keeps identifiers in place.
    std::vector<runtime::LargeVector<std::string>> chunks(other.chunks_.size());
    for (std::size_t c = 0; c < chunks.size(); ++c) {
        chunks[c].reserve(chunk_capacity(c));
        chunks[c].insert(chunks[c].end(), other.chunks_[c].begin(), other.chunks_[c].end());
    }
    chunks_ = std::move(chunks);
    size_ = other.size_;
    slots_ = other.slots_;
    deferred_.store(false, std::memory_order_relaxed);
    return *this;
}

KeyIndex::KeyIndex(KeyIndex&& other) noexcept { *this = std::move(other); }

KeyIndex& KeyIndex::operator=(KeyIndex&& other) noexcept {
    if (this == &other) return *this;
    chunks_ = std::move(other.chunks_);
    size_ = std::exchange(other.size_, 0);
    slots_ = std::move(other.slots_);
    other.slots_.clear();
    deferred_.store(other.deferred_.exchange(false, std::memory_order_acq_rel), std::memory_order_release);
    return *this;
}

namespace {

constexpr std::uint64_t POS_MASK = 0xffffffffULL;

std::uint64_t slot_of(std::size_t hash, std::uint32_t pos) noexcept {
    return (static_cast<std::uint64_t>(hash) & ~POS_MASK) | (static_cast<std::uint64_t>(pos) + 1);
}

bool tag_matches(std::uint64_t slot, std::size_t hash) noexcept {
    return ((slot ^ static_cast<std::uint64_t>(hash)) & ~POS_MASK) == 0;
}

}  // namespace

std::optional<std::uint32_t> KeyIndex::find(std::string_view id) const {
    ensure_indexed();
    if (slots_.empty()) return std::nullopt;
    const std::size_t h = slot_hash(id);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask; slots_[i] != 0; i = (i + 1) & mask) {
        if (!tag_matches(slots_[i], h)) continue;
        const auto pos = static_cast<std::uint32_t>((slots_[i] & POS_MASK) - 1);
        if (detail::same_text(this->id(pos), id)) return pos;
    }
    return std::nullopt;
}

std::uint32_t KeyIndex::add(std::string id) {
    ensure_indexed();
    if (const auto pos = find(id)) return *pos;
    if (size_ >= std::numeric_limits<std::uint32_t>::max() - 1) throw std::length_error("KeyIndex is full");
    if (2 * (size_ + 1) > slots_.size()) rehash(std::max<std::size_t>(16, 2 * slots_.size()));
    const auto pos = static_cast<std::uint32_t>(size_);
    const std::size_t h = slot_hash(id);
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = h & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = slot_of(h, pos);
    append(std::move(id));
    return pos;
}

void KeyIndex::new_chunk_if_full() {
    if (size_ >= std::numeric_limits<std::uint32_t>::max() - 1) throw std::length_error("KeyIndex is full");
    const std::size_t chunk = chunk_of(size_);
    if (chunk == chunks_.size()) {
        chunks_.emplace_back();
        chunks_.back().reserve(chunk_capacity(chunk));
    }
}

void KeyIndex::append(std::string id) {
    new_chunk_if_full();
    chunks_.back().push_back(std::move(id));
    ++size_;
}

void KeyIndex::append(std::string_view id) {
    new_chunk_if_full();
    chunks_.back().emplace_back(id);
    ++size_;
}

void KeyIndex::defer_index() { deferred_.store(true, std::memory_order_release); }

void KeyIndex::index_now() const {
    static std::mutex mutex;
    const std::lock_guard lock(mutex);
    if (!deferred_.load(std::memory_order_acquire)) return;
    rehash(std::bit_ceil(std::max<std::size_t>(16, 2 * size_)));
    deferred_.store(false, std::memory_order_release);
}

bool KeyIndex::index_appended() {
    // Each identifier's slot is fetched a few insertions ahead: the hashes of the next AHEAD
    // identifiers are kept in a ring.
    runtime::LargeVector<std::uint64_t> table(std::bit_ceil(std::max<std::size_t>(16, 2 * size_)), 0);
    const std::size_t mask = table.size() - 1;
    constexpr std::size_t AHEAD = 8;
    std::array<std::size_t, AHEAD> ahead{};
    bool unique = true;
    std::size_t pos = 0;
    const auto insert = [&](std::size_t h) {
        std::size_t i = h & mask;
        for (; table[i] != 0; i = (i + 1) & mask) {
            if (tag_matches(table[i], h) && detail::same_text(id(static_cast<std::size_t>((table[i] & POS_MASK) - 1)), id(pos))) {
                unique = false;
                return;
            }
        }
        table[i] = slot_of(h, static_cast<std::uint32_t>(pos));
        ++pos;
    };
    for_each([&](std::size_t next, const std::string& id) {
        if (!unique) return;
        const std::size_t h = slot_hash(id);
        __builtin_prefetch(&table[h & mask]);
        if (next >= AHEAD) insert(ahead[next % AHEAD]);
        ahead[next % AHEAD] = h;
    });
    while (unique && pos < size_) insert(ahead[pos % AHEAD]);
    if (!unique) return false;
    slots_ = std::move(table);
    return true;
}

void KeyIndex::reserve(std::size_t n) {
    ensure_indexed();
    const std::size_t wanted = std::bit_ceil(std::max<std::size_t>(16, 2 * n));
    if (wanted > slots_.size()) rehash(wanted);
}

void KeyIndex::rehash(std::size_t slots) const {
    runtime::LargeVector<std::uint64_t> table(slots, 0);
    const std::size_t mask = slots - 1;
    for_each([&](std::size_t pos, const std::string& id) {
        const std::size_t h = slot_hash(id);
        std::size_t i = h & mask;
        while (table[i] != 0) i = (i + 1) & mask;
        table[i] = slot_of(h, static_cast<std::uint32_t>(pos));
    });
    slots_ = std::move(table);
}

// ---- IdSet ----------------------------------------------------------------------------------

namespace {

void sort_unique(std::vector<std::string>& v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

std::size_t word_count(const KeyIndexPtr& universe) { return universe ? (universe->size() + 63) / 64 : 0; }

std::size_t popcount(const std::vector<std::uint64_t>& bits) {
    std::size_t n = 0;
    for (const std::uint64_t w : bits) n += static_cast<std::size_t>(__builtin_popcountll(w));
    return n;
}

template <class F>
void for_each_bit(const std::vector<std::uint64_t>& bits, F&& f) {
    for (std::size_t w = 0; w < bits.size(); ++w) {
        std::uint64_t word = bits[w];
        while (word) {
            f(w * 64 + static_cast<std::size_t>(__builtin_ctzll(word)));
            word &= word - 1;
        }
    }
}

// Clears the bits of the universe members for which keep(id) is false.
template <class Keep>
void keep_bits_if(std::vector<std::uint64_t>& bits, std::size_t& count, const KeyIndex& universe,
                  Keep&& keep) {
    for_each_bit(bits, [&](std::size_t pos) {
        if (!keep(std::string_view(universe.id(pos)))) {
            bits[pos >> 6] &= ~(std::uint64_t{1} << (pos & 63));
            --count;
        }
    });
}

// The first 16 bytes of an identifier as two big-endian words (zero-padded), so that comparing
// the words orders identifiers by their leading bytes.
struct SortKey {
    std::uint64_t hi;
    std::uint64_t lo;
    std::string_view id;
};

std::uint64_t big_endian_word(std::string_view s, std::size_t from) {
    std::uint64_t w = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        const std::size_t k = from + i;
        w = (w << 8) | (k < s.size() ? static_cast<unsigned char>(s[k]) : 0u);
    }
    return w;
}

bool key_less(const SortKey& a, const SortKey& b) {
    if (a.hi != b.hi) return a.hi < b.hi;
    if (a.lo != b.lo) return a.lo < b.lo;
    return a.id < b.id;
}

// Sorts identifiers by code point (unsigned bytes). The keys keep most comparisons inside one
// contiguous array instead of chasing each identifier's storage. Members of a set come in pool
// order, which is often made of a few ascending runs (ids numbered without padding: s1..s9,
// s10..s99, ...), so runs are found first and merged pairwise: linear for sorted input, a
// merge sort otherwise.
void sort_views(std::vector<std::string_view>& ids) {
    const std::size_t n = ids.size();
    std::vector<SortKey> keys;
    keys.reserve(n);
    for (const auto id : ids) keys.push_back(SortKey{big_endian_word(id, 0), big_endian_word(id, 8), id});

    // Run boundaries; short runs are extended to a minimum length by insertion sort.
    constexpr std::size_t MIN_RUN = 32;
    std::vector<std::size_t> bounds{0};
    for (std::size_t start = 0; start < n;) {
        std::size_t end = start + 1;
        while (end < n && !key_less(keys[end], keys[end - 1])) ++end;
        if (end - start < MIN_RUN) {
            end = std::min(n, start + MIN_RUN);
            for (std::size_t i = start + 1; i < end; ++i) {
                SortKey k = keys[i];
                std::size_t j = i;
                for (; j > start && key_less(k, keys[j - 1]); --j) keys[j] = keys[j - 1];
                keys[j] = k;
            }
            while (end < n && !key_less(keys[end], keys[end - 1])) ++end;
        }
        bounds.push_back(end);
        start = end;
    }

    std::vector<SortKey> buffer(n);
    while (bounds.size() > 2) {
        std::vector<std::size_t> merged{0};
        for (std::size_t r = 0; r + 1 < bounds.size(); r += 2) {
            const std::size_t lo = bounds[r];
            const std::size_t mid = bounds[r + 1];
            const std::size_t hi = r + 2 < bounds.size() ? bounds[r + 2] : mid;
            std::merge(keys.begin() + static_cast<std::ptrdiff_t>(lo), keys.begin() + static_cast<std::ptrdiff_t>(mid),
                       keys.begin() + static_cast<std::ptrdiff_t>(mid), keys.begin() + static_cast<std::ptrdiff_t>(hi),
                       buffer.begin() + static_cast<std::ptrdiff_t>(lo), key_less);
            merged.push_back(hi);
        }
        keys.swap(buffer);
        bounds = std::move(merged);
    }
    for (std::size_t i = 0; i < n; ++i) ids[i] = keys[i].id;
}

}  // namespace

IdSet::IdSet(std::initializer_list<std::string_view> ids) {
    others_.reserve(ids.size());
    for (const auto id : ids) others_.emplace_back(id);
    sort_unique(others_);
}

IdSet::IdSet(const std::vector<std::string>& ids) : others_(ids) { sort_unique(others_); }

IdSet IdSet::over(KeyIndexPtr universe) {
    IdSet s;
    s.bits_.assign(word_count(universe), 0);
    s.universe_ = std::move(universe);
    return s;
}

IdSet IdSet::all_of(KeyIndexPtr universe) {
    IdSet s = over(std::move(universe));
    if (!s.universe_) return s;
    const std::size_t n = s.universe_->size();
    std::fill(s.bits_.begin(), s.bits_.end(), ~std::uint64_t{0});
    if (n % 64 != 0) s.bits_.back() = (std::uint64_t{1} << (n % 64)) - 1;
    s.count_ = n;
    return s;
}

IdSet IdSet::from_bits(KeyIndexPtr universe, std::vector<std::uint64_t> bits) {
    if (bits.size() != word_count(universe)) throw std::invalid_argument("IdSet::from_bits: wrong word count");
    IdSet s;
    s.universe_ = std::move(universe);
    s.bits_ = std::move(bits);
    s.count_ = popcount(s.bits_);
    return s;
}

void IdSet::insert(std::string_view id) {
    if (universe_) {
        if (const auto pos = universe_->find(id)) {
            insert_pos(*pos);
            return;
        }
    }
    const auto it = std::lower_bound(others_.begin(), others_.end(), id);
    if (it == others_.end() || *it != id) others_.emplace(it, id);
}

void IdSet::insert_all(std::span<const std::string_view> ids) {
    std::vector<std::string> foreign;
    for (const std::string_view id : ids) {
        if (universe_) {
            if (const auto pos = universe_->find(id)) {
                insert_pos(*pos);
                continue;
            }
        }
        foreign.emplace_back(id);
    }
    if (foreign.empty()) return;
    sort_unique(foreign);
    if (others_.empty()) {
        others_ = std::move(foreign);
        return;
    }
    std::vector<std::string> merged;
    merged.reserve(others_.size() + foreign.size());
    std::set_union(std::make_move_iterator(others_.begin()), std::make_move_iterator(others_.end()),
                   std::make_move_iterator(foreign.begin()), std::make_move_iterator(foreign.end()),
                   std::back_inserter(merged));
    others_ = std::move(merged);
}

bool IdSet::erase(std::string_view id) {
    if (universe_) {
        if (const auto pos = universe_->find(id)) {
            if (!contains_pos(*pos)) return false;
            bits_[*pos >> 6] &= ~(std::uint64_t{1} << (*pos & 63));
            --count_;
            return true;
        }
    }
    const auto it = std::lower_bound(others_.begin(), others_.end(), id);
    if (it == others_.end() || *it != id) return false;
    others_.erase(it);
    return true;
}

bool IdSet::contains(std::string_view id) const {
    if (universe_) {
        if (const auto pos = universe_->find(id)) return contains_pos(*pos);
    }
    return std::binary_search(others_.begin(), others_.end(), id);
}

std::vector<std::string> IdSet::to_vector() const {
    std::vector<std::string> out;
    out.reserve(size());
    for_each([&](std::string_view id) { out.emplace_back(id); });
    return out;
}

std::vector<std::string> IdSet::sorted() const {
    std::vector<std::string_view> members;
    members.reserve(count_);
    bool ascending = true;
    for_each_bit(bits_, [&](std::size_t pos) {
        const std::string_view id = universe_->id(pos);
        if (ascending && !members.empty() && !(members.back() < id)) ascending = false;
        members.push_back(id);
    });
    if (!ascending) sort_views(members);
    std::vector<std::string> out;
    out.reserve(members.size() + others_.size());
    auto other = others_.begin();
    for (const auto id : members) {
        for (; other != others_.end() && *other < id; ++other) out.push_back(*other);
        out.emplace_back(id);
    }
    out.insert(out.end(), other, others_.end());
    return out;
}

IdSet IdSet::rebased(const KeyIndexPtr& universe) const {
    if (universe == universe_) return *this;
    IdSet out = over(universe);
    std::vector<std::string> foreign;
    for_each([&](std::string_view id) {
        if (universe) {
            if (const auto pos = universe->find(id)) {
                out.insert_pos(*pos);
                return;
            }
        }
        foreign.emplace_back(id);
    });
    sort_unique(foreign);
    out.others_ = std::move(foreign);
    return out;
}

IdSet& IdSet::operator&=(const IdSet& other) {
    if (universe_ && universe_ == other.universe_) {
        for (std::size_t w = 0; w < bits_.size(); ++w) bits_[w] &= other.bits_[w];
        count_ = popcount(bits_);
    } else if (count_ != 0) {
        keep_bits_if(bits_, count_, *universe_, [&](std::string_view id) { return other.contains(id); });
    }
    std::erase_if(others_, [&](const std::string& id) { return !other.contains(id); });
    return *this;
}

IdSet& IdSet::operator|=(const IdSet& other) {
    // A set without a universe adopts the other's, so that large unions stay bitmaps.
    if (!universe_ && other.universe_) *this = rebased(other.universe_);
    std::vector<std::string> merged_others;
    if (universe_ && universe_ == other.universe_) {
        for (std::size_t w = 0; w < bits_.size(); ++w) bits_[w] |= other.bits_[w];
        count_ = popcount(bits_);
        merged_others = other.others_;
    } else {
        other.for_each([&](std::string_view id) {
            if (universe_) {
                if (const auto pos = universe_->find(id)) {
                    insert_pos(*pos);
                    return;
                }
            }
            merged_others.emplace_back(id);
        });
        sort_unique(merged_others);
    }
    if (!merged_others.empty()) {
        std::vector<std::string> out;
        out.reserve(others_.size() + merged_others.size());
        std::set_union(std::make_move_iterator(others_.begin()), std::make_move_iterator(others_.end()),
                       std::make_move_iterator(merged_others.begin()),
                       std::make_move_iterator(merged_others.end()), std::back_inserter(out));
        others_ = std::move(out);
    }
    return *this;
}

IdSet& IdSet::operator-=(const IdSet& other) {
    if (universe_ && universe_ == other.universe_) {
        for (std::size_t w = 0; w < bits_.size(); ++w) bits_[w] &= ~other.bits_[w];
        count_ = popcount(bits_);
    } else if (count_ != 0 && !other.empty()) {
        keep_bits_if(bits_, count_, *universe_, [&](std::string_view id) { return !other.contains(id); });
    }
    std::erase_if(others_, [&](const std::string& id) { return other.contains(id); });
    return *this;
}

bool operator==(const IdSet& a, const IdSet& b) {
    if (a.size() != b.size()) return false;
    if (a.universe_ && a.universe_ == b.universe_) return a.bits_ == b.bits_ && a.others_ == b.others_;
    bool equal = true;
    a.for_each([&](std::string_view id) {
        if (equal && !b.contains(id)) equal = false;
    });
    return equal;
}

}  // namespace brindlecap::functions::filtrations_evaluation

#include "brindlecap/functions/filtrations_evaluation/tree/ids.hpp"

#include <algorithm>
#include <iterator>

namespace brindlecap::functions::filtrations_evaluation {

// ---- KeyIndex -------------------------------------------------------------------------------

KeyIndex::KeyIndex(const KeyIndex& other) { *this = other; }

KeyIndex& KeyIndex::operator=(const KeyIndex& other) {
    if (this == &other) return *this;
    // ids_ points into pos_, so the copy rebuilds it against its own map.
    pos_ = other.pos_;
    ids_.assign(other.ids_.size(), nullptr);
    for (const auto& [id, pos] : pos_) ids_[pos] = &id;
    return *this;
}

std::optional<std::uint32_t> KeyIndex::find(std::string_view id) const {
    const auto it = pos_.find(id);
    if (it == pos_.end()) return std::nullopt;
    return it->second;
}

std::uint32_t KeyIndex::add(std::string id) {
    const auto pos = static_cast<std::uint32_t>(ids_.size());
    const auto [it, inserted] = pos_.try_emplace(std::move(id), pos);
    if (!inserted) return it->second;
    ids_.push_back(&it->first);
    return pos;
}

void KeyIndex::reserve(std::size_t n) {
    ids_.reserve(n);
    pos_.reserve(n);
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

// Sorts identifiers by code point (unsigned bytes). The keys keep most comparisons inside one
// contiguous array instead of chasing each identifier's storage.
void sort_views(std::vector<std::string_view>& ids) {
    std::vector<SortKey> keys;
    keys.reserve(ids.size());
    for (const auto id : ids) keys.push_back(SortKey{big_endian_word(id, 0), big_endian_word(id, 8), id});
    std::sort(keys.begin(), keys.end(), [](const SortKey& a, const SortKey& b) {
        if (a.hi != b.hi) return a.hi < b.hi;
        if (a.lo != b.lo) return a.lo < b.lo;
        return a.id < b.id;
    });
    for (std::size_t i = 0; i < keys.size(); ++i) ids[i] = keys[i].id;
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

#include "brindlecap/functions/filtrations_evaluation/tree/ids.hpp"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>

namespace brindlecap::functions::filtrations_evaluation {

// ---- KeyIndex -------------------------------------------------------------------------------

struct KeyIndex::SortCache {
    std::mutex mutex;
    std::atomic<bool> ready{false};
    bool identity = false;
    std::vector<std::uint32_t> positions;
};

KeyIndex::KeyIndex(const KeyIndex& other) { *this = other; }

KeyIndex& KeyIndex::operator=(const KeyIndex& other) {
    if (this == &other) return *this;
    // ids_ points into pos_, so the copy rebuilds it against its own map.
    pos_ = other.pos_;
    ids_.assign(other.ids_.size(), nullptr);
    for (const auto& [id, pos] : pos_) ids_[pos] = &id;
    sort_cache_ = std::make_shared<SortCache>();
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
    if (!sort_cache_ || sort_cache_->ready.load(std::memory_order_acquire)) {
        sort_cache_ = std::make_shared<SortCache>();
    }
    return pos;
}

void KeyIndex::reserve(std::size_t n) {
    ids_.reserve(n);
    pos_.reserve(n);
}

const std::vector<std::uint32_t>* KeyIndex::sorted_order() const {
    if (!sort_cache_) return nullptr;  // empty index
    SortCache& cache = *sort_cache_;
    if (!cache.ready.load(std::memory_order_acquire)) {
        std::lock_guard lock(cache.mutex);
        if (!cache.ready.load(std::memory_order_relaxed)) {
            const auto less = [this](std::uint32_t a, std::uint32_t b) { return *ids_[a] < *ids_[b]; };
            bool ascending = true;
            for (std::size_t i = 1; i < ids_.size() && ascending; ++i) {
                ascending = *ids_[i - 1] < *ids_[i];
            }
            cache.identity = ascending;
            if (!ascending) {
                cache.positions.resize(ids_.size());
                for (std::size_t i = 0; i < ids_.size(); ++i) cache.positions[i] = static_cast<std::uint32_t>(i);
                std::sort(cache.positions.begin(), cache.positions.end(), less);
            }
            cache.ready.store(true, std::memory_order_release);
        }
    }
    return cache.identity ? nullptr : &cache.positions;
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
    std::vector<std::string> members;
    members.reserve(count_);
    if (count_ != 0) {
        const std::vector<std::uint32_t>* order = universe_->sorted_order();
        if (order == nullptr) {
            // The universe is in ascending order already.
            for_each_bit(bits_, [&](std::size_t pos) { members.push_back(universe_->id(pos)); });
        } else if (count_ < universe_->size() / 16) {
            // Few members: sorting them beats walking the whole order.
            std::vector<std::string_view> views;
            views.reserve(count_);
            for_each_bit(bits_, [&](std::size_t pos) { views.push_back(universe_->id(pos)); });
            std::sort(views.begin(), views.end());
            for (const auto v : views) members.emplace_back(v);
        } else {
            for (const std::uint32_t pos : *order) {
                if (contains_pos(pos)) members.push_back(universe_->id(pos));
            }
        }
    }
    if (others_.empty()) return members;
    std::vector<std::string> out;
    out.reserve(members.size() + others_.size());
    std::merge(std::make_move_iterator(members.begin()), std::make_move_iterator(members.end()),
               others_.begin(), others_.end(), std::back_inserter(out));
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

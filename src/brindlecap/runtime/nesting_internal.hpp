#pragma once
// Bookkeeping for walks over nested lists and dicts that use an explicit stack.

#include <cstddef>
#include <unordered_set>
#include <vector>

namespace brindlecap::runtime::detail {

// The containers being written, innermost last: a short list scanned linearly, with a hash set
// for deep nesting.
class OpenContainers {
public:
    bool contains(const void* c) const {
        for (const void* p : shallow_) {
            if (p == c) return true;
        }
        return deep_.count(c) != 0;
    }
    void insert(const void* c) {
        if (shallow_.size() < SHALLOW) {
            shallow_.push_back(c);
        } else {
            deep_.insert(c);
            ++deep_count_;
        }
    }
    // Removes the innermost container.
    void erase(const void* c) {
        if (deep_count_ > 0) {
            deep_.erase(c);
            --deep_count_;
        } else {
            shallow_.pop_back();
        }
    }

private:
    static constexpr std::size_t SHALLOW = 64;
    std::vector<const void*> shallow_;
    std::unordered_set<const void*> deep_;
    std::size_t deep_count_ = 0;
};

}  // namespace brindlecap::runtime::detail

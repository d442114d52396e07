#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"

#include <string>
#include <utility>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation {

UsefulSignal UsefulSignal::make(Dict metadata, numeric::Matrix weights) {
    return UsefulSignal{std::make_shared<numeric::Matrix>(std::move(weights)), nullptr,
                        std::make_shared<Dict>(std::move(metadata))};
}

SignalPool::SignalPool() : index_(std::make_shared<KeyIndex>()) {}

void SignalPool::reserve(std::size_t n) {
    // Copy on write: sets built over the current index keep it unchanged.
    if (index_.use_count() > 1) index_ = std::make_shared<KeyIndex>(*index_);
    index_->reserve(n);
    signals_.reserve(n);
}

void SignalPool::insert(std::string id, UsefulSignal signal) {
    if (index_.use_count() > 1) {
        if (const auto pos = index_->find(id)) {
            signals_[*pos] = std::move(signal);
            return;
        }
        index_ = std::make_shared<KeyIndex>(*index_);
    }
    // One lookup: add() finds an existing identifier or appends a new one.
    const std::size_t known = index_->size();
    const std::uint32_t pos = index_->add(std::move(id));
    if (pos < known) {
        signals_[pos] = std::move(signal);
    } else {
        signals_.push_back(std::move(signal));
    }
}

const UsefulSignal* SignalPool::find(std::string_view id) const {
    const auto pos = index_->find(id);
    return pos ? &signals_[*pos] : nullptr;
}

UsefulSignal* SignalPool::find(std::string_view id) {
    const auto pos = index_->find(id);
    return pos ? &signals_[*pos] : nullptr;
}

SignalPool pool_from_value(const runtime::Value& signals, std::string_view where) {
    if (!signals.is_dict()) {
        throw runtime::ValueError(std::string(where) + ": expected an object mapping signal ids to metadata objects, got " +
                                  runtime::type_name(signals));
    }
    const runtime::Dict& entries = signals.as_dict();
    SignalPool pool;
    pool.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Value& id = entries.key(i);
        Value metadata = entries.value(i);
        if (!id.is_str()) {
            throw runtime::ValueError(std::string(where) + ": signal ids must be strings, got " + runtime::type_name(id));
        }
        if (!metadata.is_dict()) {
            throw runtime::ValueError(std::string(where) + ": signal " + runtime::repr(id) +
                                      ": metadata must be an object, got " + runtime::type_name(metadata));
        }
        pool.insert(id.as_str(), UsefulSignal{nullptr, nullptr, metadata.dict_ptr()});
    }
    return pool;
}

}  // namespace brindlecap::functions::filtrations_evaluation

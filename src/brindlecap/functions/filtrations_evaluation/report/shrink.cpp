// Replaying a failing comparison on other pools and shrinking its pool (delta debugging).

#include "brindlecap/functions/filtrations_evaluation/report/shrink_internal.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "brindlecap/functions/filtrations_evaluation/checks/strict_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/invocation_internal.hpp"
#include "brindlecap/runtime/errors.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

Entries entries_of(const SignalPool& pool) {
    Entries out;
    out.reserve(pool.size());
    for (const auto& [id, signal] : pool) out.push_back(Entry{id, signal.metadata->deep_copy()});
    return out;
}

SignalPool pool_of(const Entries& entries) {
    SignalPool pool;
    pool.reserve(entries.size());
    for (const Entry& e : entries) pool.insert(e.id, UsefulSignal::make(e.metadata.deep_copy()));
    return pool;
}

namespace {

// `ids` on `pool`: identifiers of the check's pool that `pool` lacks are dropped, identifiers
// foreign to both are kept as they were.
IdSet restrict_to(const IdSet& ids, const SignalPool& pool, const SignalPool& original) {
    IdSet out = IdSet::over(pool.index());
    ids.for_each([&](std::string_view id) {
        if (pool.contains(id) || !original.contains(id)) out.insert(id);
    });
    return out;
}

// One call of `op` as the check made it (nesting: each result is the next call's only child),
// noting where an error stopped it. A direct call hands the operator `params` and `children`
// themselves (which it may change).
Outcome call(const Disagreement& d, const Operator& op, const SignalPool& pool, Dict& params,
             std::optional<std::vector<IdSet>>& children) {
    bool entered = false;
    bool returned = false;
    const Operator tracked = [&](const OperatorCall& c) {
        entered = true;
        OperatorResult r = op(c);
        returned = true;
        return r;
    };
    const auto once = [&](std::optional<std::vector<IdSet>>& kids) {
        entered = returned = false;
        if (d.direct) return strict_call_shared(tracked, d.op_name, pool, params, kids ? &*kids : nullptr);
        return kids ? dispatch_op(d.op_name, tracked, pool, params, kids) : dispatch_op(d.op_name, tracked, pool, params);
    };
    Outcome out;
    try {
        IdSet result = once(children);
        for (int level = 1; level < d.nesting && children; ++level) {
            std::optional<std::vector<IdSet>> current = std::vector<IdSet>{result};
            result = once(current);
        }
        out.ids = std::move(result);
    } catch (const std::exception& e) {
        runtime::rethrow_if_fatal(e);
        out.ids.reset();
        out.error_kind = runtime::error_kind(e);
        out.error_text = runtime::error_text(e);
        out.source = !entered ? ErrorSource::validation : !returned ? ErrorSource::operator_call : ErrorSource::result;
    }
    return out;
}

Outcome call(const Disagreement& d, const Operator& op, const SignalPool& pool, const Dict& params,
             const std::optional<std::vector<IdSet>>& children) {
    Dict own = params.deep_copy();
    std::optional<std::vector<IdSet>> kids = children;
    return call(d, op, pool, own, kids);
}

// `ids` (of another pool) on `pool`, those it lacks dropped; `keep` decides which.
template <class Keep>
IdSet carried(const IdSet& ids, const SignalPool& pool, Keep&& keep, const std::string& prefix = "") {
    IdSet out = IdSet::over(pool.index());
    ids.for_each([&](std::string_view id) {
        const std::string named = prefix + std::string(id);
        if (pool.contains(named) && keep(id)) out.insert(named);
    });
    return out;
}

// The second call of a relation and what it must select, given the first call's selection.
void relate(const Disagreement& d, const SignalPool& pool, const std::optional<std::vector<IdSet>>& children,
            const IdSet& first, Replay& r) {
    const Related& rel = *d.related;
    const std::shared_ptr<const SignalPool> derived = related_pool(rel, pool);
    const SignalPool* other = derived ? derived.get() : &pool;
    std::optional<std::vector<IdSet>> kids = children;
    if (kids) {
        std::vector<IdSet>& k = *kids;
        switch (rel.relation) {
            case Relation::commuted: std::reverse(k.begin(), k.end()); break;
            case Relation::doubled: k.insert(k.end(), children->begin(), children->end()); break;
            case Relation::padded: k.push_back(rel.pad_all ? pool.keys() : IdSet::over(pool.index())); break;
            case Relation::grouped: {
                if (k.size() < 2) break;
                const Outcome inner = call(d, d.op, pool, d.params, std::vector<IdSet>{k[0], k[1]});
                if (inner.raised()) return;  // nothing to group
                k.erase(k.begin(), k.begin() + 2);
                k.insert(k.begin(), *inner.ids);
                break;
            }
            default: break;
        }
    }
    const bool grows = rel.relation == Relation::fewer || rel.relation == Relation::more;
    r.selected = call(d, d.op, *other, grows ? rel.params : d.params, kids);
    const auto any = [](std::string_view) { return true; };
    IdSet want = carried(first, *other, any, rel.relation == Relation::renamed ? rel.prefix : "");
    if (const std::optional<IdSet>& got = r.selected.ids) {
        if (rel.relation == Relation::superset) want |= carried(*got, *other, [&](std::string_view id) { return !pool.contains(id); });
        if (rel.relation == Relation::fewer) want = carried(*got, *other, [&](std::string_view id) { return first.contains(id); });
        if (rel.relation == Relation::more) want |= *got;
    }
    r.expected = Outcome::selection(std::move(want));
}

std::string metadata_text(const SignalPool& pool) {
    std::string out;
    for (const auto& [id, signal] : pool) out += runtime::repr(Value(signal.metadata->copy())) + "\n";
    return out;
}

// The call made with the check's own parameters and children: what it changed of them or the pool.
void unchanged(const Disagreement& d, const SignalPool& pool, const std::optional<std::vector<IdSet>>& children,
               Replay& r) {
    Dict params = d.params.deep_copy();
    std::optional<std::vector<IdSet>> kids = children;
    const std::string params_before = runtime::repr(Value(params.deep_copy()));
    const std::string pool_before = metadata_text(pool);
    r.selected = call(d, d.op, pool, params, kids);
    if (runtime::repr(Value(params)) != params_before) {
        r.changed = "parameters";
        r.change = "parameters " + params_before + " became " + runtime::repr(Value(params));
    } else if (kids != children) {
        r.changed = "children";
        r.change = "the children's sets changed";
    } else if (const std::string after = metadata_text(pool); after != pool_before) {
        r.changed = "metadata";
        r.change = "the pool's metadata changed";
    }
}

}  // namespace

const char* relation_name(Relation r) {
    switch (r) {
        case Relation::pool_order: return "pool order";
        case Relation::renamed: return "renamed identifiers";
        case Relation::subset: return "subset";
        case Relation::superset: return "superset";
        case Relation::fewer: return "monotone (decreasing)";
        case Relation::more: return "monotone (increasing)";
        case Relation::commuted: return "commutativity";
        case Relation::doubled: return "idempotence";
        case Relation::padded: return "identity";
        case Relation::grouped: return "associativity";
    }
    return "";
}

std::shared_ptr<const SignalPool> related_pool(const Related& rel, const SignalPool& pool) {
    if (rel.order.empty() && rel.extra.empty()) return nullptr;
    auto out = std::make_shared<SignalPool>();
    const auto add = [&](const std::string& id) {
        if (const UsefulSignal* s = pool.find(id); s != nullptr && !out->contains(rel.prefix + id)) {
            out->insert(rel.prefix + id, UsefulSignal::make(s->metadata->deep_copy()));
        }
    };
    if (!pool.empty()) add(pool.id(0));
    for (const std::string& id : rel.order) add(id);
    for (const auto& [id, metadata] : rel.extra) out->insert(id, UsefulSignal::make(metadata.deep_copy()));
    return out;
}

namespace {

bool allowed(const Disagreement& d, const std::string& kind) {
    return std::find(d.allowed_errors.begin(), d.allowed_errors.end(), kind) != d.allowed_errors.end();
}

}  // namespace

Replay replay(const Disagreement& d, const SignalPool& pool) {
    std::optional<std::vector<IdSet>> children;
    if (d.children) {
        children.emplace();
        for (const IdSet& child : *d.children) children->push_back(restrict_to(child, pool, *d.pool));
    }
    Replay r;
    switch (d.expectation) {
        case Expectation::reference:
            r.selected = call(d, d.op, pool, d.params, children);
            if (d.reference) {
                r.expected = call(d, *d.reference, pool, d.params, children);
            } else {
                r.expected = Outcome::error("RuntimeError", "no reference operator for " + d.op_name,
                                            ErrorSource::validation);
            }
            break;
        case Expectation::fixed_set:
            r.selected = call(d, d.op, pool, d.params, children);
            r.expected = Outcome::selection(restrict_to(d.ids, pool, *d.pool));
            break;
        case Expectation::excluded:
            r.selected = call(d, d.op, pool, d.params, children);
            if (r.selected.ids) r.expected = Outcome::selection(*r.selected.ids - restrict_to(d.ids, pool, *d.pool));
            break;
        case Expectation::no_error:
            r.selected = call(d, d.op, pool, d.params, children);
            if (r.selected.ids) r.expected = r.selected;
            break;
        case Expectation::repeat:
            r.expected = call(d, d.op, pool, d.params, children);
            r.selected = call(d, d.op, pool, d.params, children);
            break;
        case Expectation::related:
            r.selected = call(d, d.op, pool, d.params, children);
            if (r.selected.ids && d.related) relate(d, pool, children, IdSet(*r.selected.ids), r);
            break;
        case Expectation::raises:
            r.selected = call(d, d.op, pool, d.params, children);
            r.expected = Outcome::error(d.allowed_errors.empty() ? "" : d.allowed_errors.front(), "", ErrorSource::operator_call);
            break;
        case Expectation::split:
            r.selected = call(d, d.op, pool, d.params, children);
            if (r.selected.ids && d.reference) {
                Outcome other = call(d, *d.reference, pool, d.params, children);
                if (other.ids) {
                    const IdSet held = holders(pool, d.params, d.held);
                    other = Outcome::selection((held - *other.ids) | (*r.selected.ids - held));
                }
                r.expected = std::move(other);
            }
            break;
        case Expectation::unchanged:
            unchanged(d, pool, children, r);
            break;
    }
    return r;
}

std::optional<Signature> signature_of(const Disagreement& d, const Replay& r) {
    using Kind = Signature::Kind;
    if (d.expectation == Expectation::unchanged) {
        if (r.changed.empty()) return std::nullopt;
        return Signature{Kind::changed, r.changed, "", ErrorSource::validation};
    }
    if (d.expectation == Expectation::related && !r.expected) return std::nullopt;
    if (r.selected.raised()) {
        const bool error_is_the_question =
            d.expectation == Expectation::no_error || d.expectation == Expectation::excluded;
        if (error_is_the_question && allowed(d, r.selected.error_kind)) return std::nullopt;
        if (!error_is_the_question && r.expected && r.expected->raised() &&
            r.expected->error_kind == r.selected.error_kind) {
            return std::nullopt;  // both sides refuse the input alike
        }
        return Signature{Kind::operator_error, "", r.selected.error_kind, r.selected.source};
    }
    if (!r.expected) return std::nullopt;
    if (r.expected->raised()) return Signature{Kind::expected_error, "", r.expected->error_kind, r.expected->source};
    const Difference diff = difference_of(r);
    if (!diff.extra.empty()) return Signature{Kind::extra, diff.extra.front(), "", ErrorSource::validation};
    if (!diff.missing.empty()) return Signature{Kind::missing, diff.missing.front(), "", ErrorSource::validation};
    return std::nullopt;
}

Difference difference_of(const Replay& r) {
    Difference diff;
    if (!r.selected.ids || !r.expected || !r.expected->ids) return diff;
    diff.missing = (*r.expected->ids - *r.selected.ids).sorted();
    diff.extra = (*r.selected.ids - *r.expected->ids).sorted();
    return diff;
}

namespace {

using Clock = std::chrono::steady_clock;

// Delta debugging: a small subset of `items` (positions) that passes `test`; 1-minimal unless
// `test` starts refusing everything (a bound was reached).
template <class Test>
std::vector<std::size_t> ddmin(std::vector<std::size_t> items, Test&& test) {
    if (items.empty() || test(std::vector<std::size_t>{})) return {};
    std::size_t n = 2;
    while (items.size() >= 2) {
        const std::size_t size = items.size();
        std::vector<std::vector<std::size_t>> chunks;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t begin = i * size / n;
            const std::size_t end = (i + 1) * size / n;
            if (begin < end) chunks.emplace_back(items.begin() + static_cast<std::ptrdiff_t>(begin),
                                                 items.begin() + static_cast<std::ptrdiff_t>(end));
        }
        bool reduced = false;
        for (const auto& chunk : chunks) {
            if (test(chunk)) {
                items = chunk;
                n = 2;
                reduced = true;
                break;
            }
        }
        if (!reduced && chunks.size() > 2) {
            for (std::size_t i = 0; i < chunks.size() && !reduced; ++i) {
                std::vector<std::size_t> complement;
                for (std::size_t j = 0; j < chunks.size(); ++j) {
                    if (j != i) complement.insert(complement.end(), chunks[j].begin(), chunks[j].end());
                }
                if (test(complement)) {
                    items = std::move(complement);
                    n = std::max<std::size_t>(n - 1, 2);
                    reduced = true;
                }
            }
        }
        if (!reduced) {
            if (n >= items.size()) break;
            n = std::min(items.size(), n * 2);
        }
    }
    return items;
}

// Simpler values of the same kind, simplest first; none for NaN.
std::vector<Value> simpler_values(const Value& v) {
    std::vector<Value> out;
    const auto offer = [&](Value candidate) {
        if (candidate.kind() != v.kind() || candidate == v) return;
        for (const Value& o : out) {
            if (o == candidate) return;
        }
        out.push_back(std::move(candidate));
    };
    switch (v.kind()) {
        case Value::Kind::floating: {
            const double x = v.as_float();
            if (!std::isfinite(x)) break;
            offer(Value(0.0));
            offer(Value(std::trunc(x)));
            for (const double scale : {10.0, 100.0, 1000.0}) {
                const double rounded = std::round(x * scale) / scale;
                if (std::isfinite(rounded)) offer(Value(rounded));
            }
            break;
        }
        case Value::Kind::integer:
            offer(Value(0));
            offer(Value(1));
            break;
        case Value::Kind::boolean:
            offer(Value(false));
            break;
        case Value::Kind::str: {
            const std::string& s = v.as_str();
            offer(Value(""));
            if (!s.empty() && static_cast<unsigned char>(s[0]) < 0x80) offer(Value(s.substr(0, 1)));
            break;
        }
        case Value::Kind::list: {
            const runtime::List& items = v.as_list();
            offer(Value::list(runtime::List{}));
            for (std::size_t i = 0; i < items.size() && items.size() > 1; ++i) {
                runtime::List fewer = items;
                fewer.erase(fewer.begin() + static_cast<std::ptrdiff_t>(i));
                offer(Value::list(std::move(fewer)));
            }
            break;
        }
        case Value::Kind::dict:
            offer(Value(Dict{}));
            break;
        default:
            break;
    }
    return out;
}

class Shrinker {
public:
    Shrinker(const Disagreement& d, const ShrinkOptions& options, Signature target, bool allow_empty)
        : d_(d), options_(options), target_(std::move(target)), allow_empty_(allow_empty),
          deadline_(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(std::max(options.seconds_per_failure, 0.0)))) {}

    // Whether the candidate shows the target disagreement; false once a bound is reached.
    bool test(const Entries& candidate) {
        if (stopped()) return false;
        if (candidate.empty() && !allow_empty_) return false;
        if (Clock::now() >= deadline_) {
            time_bound_ = true;
            return false;
        }
        if (evaluations_ >= options_.max_evaluations) {
            evaluation_bound_ = true;
            return false;
        }
        ++evaluations_;
        const SignalPool pool = pool_of(candidate);
        return signature_of(d_, replay(d_, pool)) == target_;
    }

    Entries signals(const Entries& full) {
        std::optional<std::size_t> pinned;
        if (target_.kind == Signature::Kind::extra || target_.kind == Signature::Kind::missing) {
            for (std::size_t i = 0; i < full.size(); ++i) {
                if (full[i].id == target_.id) pinned = i;
            }
        }
        std::vector<std::size_t> removable;
        for (std::size_t i = 0; i < full.size(); ++i) {
            if (i != pinned) removable.push_back(i);
        }
        const auto compose = [&](const std::vector<std::size_t>& kept) {
            std::vector<std::size_t> positions = kept;
            if (pinned) positions.push_back(*pinned);
            std::sort(positions.begin(), positions.end());
            Entries out;
            for (const std::size_t i : positions) out.push_back(full[i]);
            return out;
        };
        return compose(
            ddmin(removable, [&](const std::vector<std::size_t>& kept) { return !stopped() && test(compose(kept)); }));
    }

    Entries fields(const Entries& current) {
        std::vector<std::pair<std::size_t, Value>> pairs;
        for (std::size_t i = 0; i < current.size(); ++i) {
            for (const auto& [key, value] : current[i].metadata) pairs.emplace_back(i, key);
        }
        const auto compose = [&](const std::vector<std::size_t>& kept) {
            Entries out;
            for (const Entry& e : current) out.push_back(Entry{e.id, Dict{}});
            std::vector<std::size_t> sorted = kept;
            std::sort(sorted.begin(), sorted.end());
            for (const std::size_t k : sorted) {
                const auto& [i, key] = pairs[k];
                out[i].metadata.set(key, current[i].metadata.at(key));
            }
            return out;
        };
        std::vector<std::size_t> all(pairs.size());
        for (std::size_t k = 0; k < all.size(); ++k) all[k] = k;
        return compose(
            ddmin(all, [&](const std::vector<std::size_t>& kept) { return !stopped() && test(compose(kept)); }));
    }

    Entries values(Entries current) {
        for (std::size_t i = 0; i < current.size() && !stopped(); ++i) {
            const runtime::List keys = current[i].metadata.keys();
            for (const Value& key : keys) {
                for (const Value& candidate : simpler_values(current[i].metadata.at(key))) {
                    Entries trial = current;
                    trial[i].metadata.set(key, candidate);
                    if (test(trial)) {
                        current = std::move(trial);
                        break;
                    }
                    if (stopped()) return current;
                }
            }
        }
        return current;
    }

    bool stopped() const { return time_bound_ || evaluation_bound_; }
    bool time_bound() const { return time_bound_; }
    bool evaluation_bound() const { return evaluation_bound_; }
    std::size_t evaluations() const { return evaluations_; }

private:
    const Disagreement& d_;
    const ShrinkOptions& options_;
    Signature target_;
    bool allow_empty_;
    Clock::time_point deadline_;
    std::size_t evaluations_ = 0;
    bool time_bound_ = false;
    bool evaluation_bound_ = false;
};

}  // namespace

Shrunk shrink(const Disagreement& d, const ShrinkOptions& options) {
    const Clock::time_point start = Clock::now();
    Shrunk out;
    const Entries full = entries_of(*d.pool);
    out.original = replay(d, *d.pool);
    out.signature = signature_of(d, out.original);
    if (!out.signature) {
        out.pool = full;
        out.outcome = out.original;
        return out;
    }
    Shrinker shrinker(d, options, *out.signature, full.empty());
    Entries current = shrinker.signals(full);
    current = shrinker.fields(current);
    current = shrinker.values(std::move(current));

    out.pool = std::move(current);
    out.outcome = replay(d, pool_of(out.pool));
    out.evaluations = shrinker.evaluations();
    out.stopped_by_time_bound = shrinker.time_bound();
    out.stopped_by_evaluation_bound = shrinker.evaluation_bound();
    out.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return out;
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail

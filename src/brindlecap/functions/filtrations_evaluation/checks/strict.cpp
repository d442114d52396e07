// The strict checks: differential testing against the oracle, relations that need none,
// immutability, concurrency, growth and validation parity.

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
#include <utility>
#include <thread>

#include "brindlecap/functions/filtrations_evaluation/checks/check_support_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/strict_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/reference_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/run_observer_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/dispatch_internal.hpp"
#include "brindlecap/runtime/clock_internal.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

namespace {

using Children = std::vector<IdSet>;

// Pool sizes of the differential cases: mostly small (where ties, cutoffs and the minimum of one
// position bite), some hundreds and thousands, and two of ten thousand signals.
std::size_t differential_size(std::size_t trial, numeric::Generator& g) {
    if (trial < 300) return static_cast<std::size_t>(trial % 5 == 0 ? g.integers(1, 6) : g.integers(1, 41));
    if (trial < 360) return static_cast<std::size_t>(g.integers(40, 400));
    if (trial < 378) return static_cast<std::size_t>(g.integers(400, 2500));
    return 10000;
}
constexpr std::size_t DIFFERENTIAL_CASES = 380;

std::string show(const CallOutcome& o) {
    if (const auto* kind = std::get_if<std::string>(&o)) return "error " + *kind;
    const std::vector<std::string> ids = std::get<IdSet>(o).sorted();
    if (ids.size() <= 8) return runtime::repr_list(ids);
    return runtime::repr_list(std::vector<std::string>(ids.begin(), ids.begin() + 8)) + " and " +
           std::to_string(ids.size() - 8) + " more";
}

// Same selection, or both raised (which error is the validation check's concern).
bool agree(const CallOutcome& a, const CallOutcome& b) {
    if (a.index() != b.index()) return false;
    return a.index() == 1 || std::get<IdSet>(a) == std::get<IdSet>(b);
}

std::string case_text(const StrictCase& c) {
    std::string text = std::to_string(c.pool->size()) + (c.pool->size() == 1 ? " signal, " : " signals, ") +
                       runtime::repr(Value(c.params.copy()));
    if (c.children) text += ", " + std::to_string(c.children->size()) + " children";
    return text;
}

// Hands the observer a differential disagreement, for a reproducer.
void report(const std::string& check, const std::string& label, const std::string& op_name, const Operator& op,
            const Oracle& oracle, const StrictCase& c, const CallOutcome& want, const CallOutcome& got) {
    report_disagreement([&] {
        const bool fixed = c.children.has_value();
        Disagreement d = make_disagreement(check, label, op_name, op, c.pool, c.params.copy(), c.children,
                                           fixed ? Expectation::fixed_set : Expectation::reference);
        if (fixed) {
            if (const auto* ids = std::get_if<IdSet>(&want)) d.ids = *ids;
        } else {
            d.reference = oracle.selects;
        }
        if (const auto* ids = std::get_if<IdSet>(&want)) d.expected_seen = *ids;
        if (const auto* ids = std::get_if<IdSet>(&got)) d.selected_seen = *ids;
        return d;
    });
}

// Hands the observer a finding of a check other than the differential one: the call as the check
// made it, and what `fill` says it expected.
void report_call(const char* check, const std::string& label, const std::string& op_name, const Operator& op,
                 const StrictCase& c, Expectation expectation, const std::function<void(Disagreement&)>& fill = {}) {
    report_disagreement([&] {
        Disagreement d = make_disagreement(check, label, op_name, op, c.pool, c.params.deep_copy(), c.children, expectation);
        d.direct = true;
        if (fill) fill(d);
        return d;
    });
}

Related related(Relation relation, bool pad_all = false) {
    Related r;
    r.relation = relation;
    r.pad_all = pad_all;
    return r;
}

// A relation whose second call is on `other`: `c`'s signals (renamed `prefix` + id), then `extra` more.
Related related_pool_of(Relation relation, const SignalPool& other, const std::string& prefix = "", std::size_t extra = 0) {
    Related r = related(relation);
    r.prefix = prefix;
    for (std::size_t i = 0; i < other.size(); ++i) {
        if (i + extra < other.size()) {
            r.order.push_back(other.id(i).substr(prefix.size()));
        } else {
            r.extra.emplace_back(other.id(i), other.signal(i).metadata->deep_copy());
        }
    }
    return r;
}

// Collects the first few findings of a check, and how many there were.
struct Findings {
    std::int64_t count = 0;
    runtime::List examples;
    // Whether to write a reproducer of it: the first three findings that can have one do.
    bool add(std::string text, bool reproducible = true) {
        if (count++ < 3) examples.push_back(Value(std::move(text)));
        return reproducible && reproducers++ < 3;
    }
    int reproducers = 0;
    CheckOutcome outcome(const std::string& summary, Dict evidence) {
        evidence.set("findings", count);
        evidence.set("examples", Value::list(examples));
        if (count == 0) return {CheckStatus::pass, summary, std::move(evidence)};
        std::string details = summary + "; " + std::to_string(count) + (count == 1 ? " finding" : " findings");
        if (!examples.empty()) details += ", first: " + examples.front().as_str();
        return {CheckStatus::fail, details, std::move(evidence)};
    }
};

// Without an oracle or declared properties the strict checks have nothing to go by.
CheckOutcome no_oracle(const std::string& op_name, const char* what) {
    return {CheckStatus::skip,
            "No oracle for " + op_name + ": " + what + " needs the operator's oracle (--reference " + op_name +
                "=MODULE:ATTRIBUTE, references in the configuration) or its declared properties (--property " +
                op_name + "=PROP[,PROP...], properties in the configuration)",
            Dict{{"missing_oracle", true}}};
}

// ---- Differential testing -------------------------------------------------------------------

CheckOutcome differential(const std::string& op_name, const Operator& op, const std::optional<Oracle>& oracle,
                          FiltrationEvaluationConfig& config, numeric::Generator& g) {
    if (!oracle) return no_oracle(op_name, "differential testing");
    if (!oracle->selects) {
        return {CheckStatus::skip,
                "No oracle for " + op_name + ": differential testing needs one (--reference " + op_name +
                    "=MODULE:ATTRIBUTE); its declared properties drive the other strict checks",
                Dict{{"missing_oracle", true}}};
    }
    Findings findings;
    std::int64_t selected = 0;
    std::size_t largest = 0;
    double slowest = 0.0;  // the slowest call so far, s
    std::size_t cases = 0;
    for (std::size_t trial = 0; trial < DIFFERENTIAL_CASES; ++trial) {
        // A slow operator (the growth check's concern) is not run on the large pools.
        if (trial >= 300 && slowest > 0.05) break;
        ++cases;
        // The large pools depend on the seed and the trial only: every operator of a run shares them.
        StrictCase c;
        if (trial < 300) {
            c = adversarial_case(*oracle->facts, g, differential_size(trial, g));
        } else {
            const std::uint64_t key = static_cast<std::uint64_t>(config.seed) * 1000003U + trial;
            numeric::Generator sizes(key);
            const auto pool = shared_adversarial_pool(oracle->facts->combines(), key, differential_size(trial, sizes));
            c = adversarial_case(*oracle->facts, g, *pool);
        }
        largest = std::max(largest, c.pool->size());
        const CallOutcome want = strict_call(oracle->selects, op_name, c);
        const double start = runtime::thread_cpu();
        const CallOutcome got = strict_call(op, op_name, c);
        slowest = std::max(slowest, runtime::thread_cpu() - start);
        if (const auto* ids = std::get_if<IdSet>(&want)) selected += ids->empty() ? 0 : 1;
        if (agree(want, got)) continue;
        findings.add(case_text(c) + ": expected " + show(want) + ", got " + show(got));
        // The first three become reproducers (each is shrunk, which takes calls of its own).
        if (findings.count <= 3) report("strict_oracle", "case " + std::to_string(trial + 1), op_name, op, *oracle, c, want, got);
    }
    return findings.outcome("Differential: " + std::to_string(cases) + " adversarial cases of 1 to " +
                                std::to_string(largest) + " signals against " + oracle->origin,
                            Dict{{"cases", static_cast<std::int64_t>(cases)},
                                 {"cases_selecting", selected},
                                 {"oracle", oracle->origin}});
}

// ---- Relations without an oracle ------------------------------------------------------------

// The pool with the same signals in another order (the first kept first: it decides field types),
// or renamed ("r" for "s").
std::shared_ptr<const SignalPool> reordered(const SignalPool& pool, numeric::Generator& g, bool rename,
                                            const IdSet* keep = nullptr, std::size_t extra = 0) {
    std::vector<std::size_t> order(pool.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    for (std::size_t i = order.size(); i > 2; --i) {
        std::swap(order[i - 1], order[1 + static_cast<std::size_t>(g.integers(0, static_cast<std::int64_t>(i - 1)))]);
    }
    auto out = std::make_shared<SignalPool>();
    for (std::size_t pos : order) {
        const std::string& id = pool.id(pos);
        if (keep != nullptr && pos != 0 && !keep->contains(id)) continue;
        out->insert(rename ? "r" + id : id, UsefulSignal::make(pool.signal(pos).metadata->deep_copy()));
    }
    for (std::size_t i = 0; i < extra; ++i) {
        out->insert("e" + std::to_string(i), UsefulSignal::make(pool.signal(static_cast<std::size_t>(
                                                  g.integers(0, static_cast<std::int64_t>(pool.size())))).metadata->deep_copy()));
    }
    return out;
}

std::vector<std::string> renamed(const IdSet& ids) {
    std::vector<std::string> out;
    for (const std::string& id : ids.sorted()) out.push_back("r" + id);
    std::sort(out.begin(), out.end());
    return out;
}

IdSet restricted(const IdSet& ids, const SignalPool& pool) {
    IdSet out = IdSet::over(pool.index());
    for (const std::string& id : ids.to_vector()) {
        if (pool.contains(id)) out.insert(id);
    }
    return out;
}

// The field an adversarial case gives a leaf for values of this type, and whether a value is one.
const char* field_of(FieldType type) {
    return type == FieldType::categorical ? "c" : type == FieldType::list_str ? "tags" : "x";
}

// The case's parameters with its one monotone parameter grown (value, n or pct larger, one more
// entry in values); nullopt when the case has none to grow (n with pct, pct with n).
std::optional<Dict> grown(const BuiltinOperatorFacts& facts, const Dict& params, numeric::Generator& g) {
    Dict out = params.deep_copy();
    const auto number = [&](const char* key) -> const Value* {
        const Value* v = params.find(std::string_view(key));
        return v != nullptr && v->is_number() && !v->is_bool() && std::isfinite(v->to_double()) ? v : nullptr;
    };
    switch (facts.shape) {
        case ParameterShape::threshold:
            if (const Value* v = number("value")) {
                const std::array<double, 5> steps = {1e-12, 2e-12, 0.25, 1.0, 3.0};
                out.set("value", v->to_double() + steps[static_cast<std::size_t>(g.integers(0, 5))]);
                return out;
            }
            return std::nullopt;
        case ParameterShape::members:
            if (const Value* v = params.find(std::string_view("values")); v != nullptr && v->is_list()) {
                runtime::List values = v->as_list();
                values.push_back(adversarial_string(g));
                out.set("values", Value::list(std::move(values)));
                return out;
            }
            return std::nullopt;
        case ParameterShape::count:
            if (const Value* v = number("n"); v != nullptr && params.find(std::string_view("pct")) == nullptr) {
                const std::int64_t step = g.integers(1, 4);
                out.set("n", v->is_int() ? Value(v->as_int() + step) : Value(v->to_double() + static_cast<double>(step)));
                return out;
            }
            return std::nullopt;
        case ParameterShape::share:
            if (const Value* v = number("pct"); v != nullptr && params.find(std::string_view("n")) == nullptr) {
                out.set("pct", std::min(1.0, v->to_double() + g.random() * 0.3));
                return out;
            }
            return std::nullopt;
        case ParameterShape::range:
        case ParameterShape::children:
            break;
    }
    return std::nullopt;
}

void leaf_relations(const std::string& op_name, const Operator& op, const BuiltinOperatorFacts& facts,
                    const FiltrationEvaluationConfig& config, numeric::Generator& g, Findings& findings) {
    const Operator complement = complement_oracle(facts, config);
    // The values a complement splits: those of the field type the leaf is mainly about.
    const FieldType held_type = facts.accepts(FieldType::numeric)       ? FieldType::numeric
                                : facts.accepts(FieldType::categorical) ? FieldType::categorical
                                                                        : FieldType::list_str;
    for (int trial = 0; trial < 120; ++trial) {
        StrictCase c = adversarial_case(facts, g, static_cast<std::size_t>(g.integers(2, 40)));
        const CallOutcome base = strict_call(op, op_name, c);
        const auto* selected = std::get_if<IdSet>(&base);
        const auto found = [&](std::string text, Related related) {
            if (!findings.add(std::move(text))) return;
            report_call("strict_relations", std::string(relation_name(related.relation)) + ", case " + std::to_string(trial + 1),
                        op_name, op, c, Expectation::related, [&](Disagreement& d) { d.related = std::move(related); });
        };
        const auto compare = [&](Relation relation, const StrictCase& other, const std::vector<std::string>& want,
                                 const std::string& prefix = "") {
            const CallOutcome got = strict_call(op, op_name, other);
            const auto* ids = std::get_if<IdSet>(&got);
            if (ids != nullptr && ids->sorted() == want) return;
            found(std::string(relation_name(relation)) + " on " + case_text(c) + ": expected " + runtime::repr_list(want) +
                      ", got " + show(got),
                  related_pool_of(relation, *other.pool, prefix));
        };
        if (selected == nullptr) continue;
        const std::vector<std::string> base_ids = selected->sorted();
        compare(Relation::pool_order, StrictCase{reordered(*c.pool, g, false), c.params, std::nullopt}, base_ids);
        compare(Relation::renamed, StrictCase{reordered(*c.pool, g, true), c.params, std::nullopt}, renamed(*selected), "r");
        if (facts.pointwise) {
            IdSet keep = IdSet::over(c.pool->index());
            for (std::size_t i = 0; i < c.pool->size(); ++i) {
                if (g.random() < 0.5) keep.insert_pos(static_cast<std::uint32_t>(i));
            }
            const StrictCase subset{reordered(*c.pool, g, false, &keep), c.params, std::nullopt};
            compare(Relation::subset, subset, restricted(*selected, *subset.pool).sorted());
            const StrictCase superset{reordered(*c.pool, g, false, nullptr, 5), c.params, std::nullopt};
            const CallOutcome grown_pool = strict_call(op, op_name, superset);
            if (const auto* ids = std::get_if<IdSet>(&grown_pool);
                ids == nullptr || restricted(*ids, *c.pool).sorted() != base_ids) {
                found("superset on " + case_text(c) + ": the original signals' selection changed to " + show(grown_pool),
                      related_pool_of(Relation::superset, *superset.pool, "", 5));
            }
        }
        if (facts.monotone != Monotone::none) {
            if (const std::optional<Dict> larger = grown(facts, c.params, g)) {
                const StrictCase other{c.pool, *larger, std::nullopt};
                const CallOutcome got = strict_call(op, op_name, other);
                if (const auto* ids = std::get_if<IdSet>(&got)) {
                    const bool fewer = facts.monotone == Monotone::decreasing;
                    const IdSet against = fewer ? *ids - *selected : *selected - *ids;
                    if (!against.empty()) {
                        found(std::string("monotone (") + (fewer ? "decreasing" : "increasing") + ") on " + case_text(c) +
                                  ": with " + runtime::repr(Value(larger->copy())) + " it " +
                                  (fewer ? "also selects " : "no longer selects ") + show(against),
                              [&] {
                                  Related r = related(fewer ? Relation::fewer : Relation::more);
                                  r.params = larger->deep_copy();
                                  return r;
                              }());
                    }
                }
            }
        }
        if (complement && c.params.get("field") == Value(field_of(held_type))) {
            // Every holder of a value of the field's type is selected by exactly one of the two.
            const CallOutcome other = strict_call(complement, op_name, c);
            const auto* other_ids = std::get_if<IdSet>(&other);
            if (other_ids == nullptr) continue;
            const IdSet held = holders(*c.pool, c.params, held_type);
            if ((!(*selected & *other_ids & held).empty() || ((*selected | *other_ids) & held) != held) &&
                findings.add("complement " + std::string(facts.complement) + " on " + case_text(c) + ": " +
                             show(base) + " and " + show(other) + " do not split the values")) {
                report_call("strict_relations", "complement " + std::string(facts.complement) + ", case " + std::to_string(trial + 1),
                            op_name, op, c, Expectation::split, [&](Disagreement& d) {
                                d.reference = complement;
                                d.complement = facts.complement;
                                d.held = held_type;
                            });
            }
        }
    }
}

void combinator_relations(const std::string& op_name, const Operator& op, const BuiltinOperatorFacts& facts,
                          numeric::Generator& g, Findings& findings) {
    const ChildrenCase kind = facts.children_case;
    const bool single = kind == ChildrenCase::one_complemented;
    for (int trial = 0; trial < 80; ++trial) {
        StrictCase c = adversarial_case(facts, g, static_cast<std::size_t>(g.integers(1, 30)));
        Children& children = *c.children;
        if (children.empty() || (single && children.size() != 1)) children.resize(1, IdSet::over(c.pool->index()));
        const IdSet all = c.pool->keys();
        const IdSet none = IdSet::over(c.pool->index());
        const auto with = [&](Children kids) { return StrictCase{c.pool, c.params, std::move(kids)}; };
        const CallOutcome base = strict_call(op, op_name, c);
        const auto* selected = std::get_if<IdSet>(&base);
        const std::string label = "case " + std::to_string(trial + 1);
        // The call must select `want` (a set of the children's), or `nesting` calls, each on the last's result.
        const auto fixed = [&](const std::string& law, const IdSet& want, int nesting = 1) {
            report_call("strict_relations", law + ", " + label, op_name, op, c, Expectation::fixed_set, [&](Disagreement& d) {
                d.ids = want;
                d.nesting = nesting;
            });
        };
        if (selected == nullptr) {
            if (findings.add("law of " + op_name + " on " + case_text(c) + ": raised " + show(base))) {
                report_call("strict_relations", "law, " + label, op_name, op, c, Expectation::no_error);
            }
            continue;
        }
        const auto expect = [&](Related law, const Children& kids, const IdSet& want) {
            const CallOutcome got = strict_call(op, op_name, with(kids));
            const auto* ids = std::get_if<IdSet>(&got);
            if (ids != nullptr && *ids == want) return;
            const std::string name = relation_name(law.relation);
            if (findings.add(name + " on " + case_text(with(kids)) + ": expected " + show(want) + ", got " + show(got))) {
                report_call("strict_relations", name + ", " + label, op_name, op, c, Expectation::related,
                            [&](Disagreement& d) { d.related = std::move(law); });
            }
        };
        if (single) {
            const CallOutcome once = strict_call(op, op_name, with(Children{*selected}));
            if (once != CallOutcome(children.front()) &&
                findings.add("involution on " + case_text(c) + ": expected " + show(children.front()) + ", got " + show(once))) {
                fixed("involution", children.front(), 2);
            }
            if ((!(*selected & children.front()).empty() || (*selected | children.front()) != all) &&
                findings.add("complement on " + case_text(c) + ": " + show(base) + " does not split the pool with the child")) {
                fixed("complement", all - children.front());
            }
            continue;
        }
        const bool united = kind == ChildrenCase::two_united;
        Children reversed(children.rbegin(), children.rend());
        expect(related(Relation::commuted), reversed, *selected);
        Children doubled = children;
        doubled.insert(doubled.end(), children.begin(), children.end());
        expect(related(Relation::doubled), doubled, *selected);
        Children padded = children;
        padded.push_back(united ? none : all);
        expect(related(Relation::padded, !united), padded, *selected);
        if (children.size() >= 2) {
            const CallOutcome inner = strict_call(op, op_name, with(Children{children[0], children[1]}));
            if (const auto* ids = std::get_if<IdSet>(&inner)) {
                Children grouped{*ids};
                grouped.insert(grouped.end(), children.begin() + 2, children.end());
                expect(related(Relation::grouped), grouped, *selected);
            }
        }
        // De Morgan: the complement of the result is what the dual makes of the complements.
        IdSet dual = united ? all : none;
        for (const IdSet& child : children) {
            if (united) {
                dual &= all - child;
            } else {
                dual |= all - child;
            }
        }
        if (all - *selected != dual && findings.add("De Morgan on " + case_text(c) + ": the complement of " + show(base) +
                                                     " is not what the dual makes of the children's complements")) {
            fixed("De Morgan", all - dual);
        }
    }
}

CheckOutcome relations(const std::string& op_name, const Operator& op, const std::optional<Oracle>& oracle,
                       FiltrationEvaluationConfig& config, numeric::Generator& g) {
    if (!oracle) return no_oracle(op_name, "choosing the relations");
    Findings findings;
    if (oracle->facts->combines() && !oracle->facts->laws) {
        return {CheckStatus::skip, "No laws declared for " + op_name + " (laws=and, laws=or or laws=not)", Dict{}};
    }
    if (oracle->facts->combines()) {
        combinator_relations(op_name, op, *oracle->facts, g, findings);
        return findings.outcome("Laws of " + op_name + " over 1 to 12 children", {});
    }
    leaf_relations(op_name, op, *oracle->facts, config, g, findings);
    const BuiltinOperatorFacts& facts = *oracle->facts;
    return findings.outcome("Pool order, renaming" + std::string(facts.pointwise ? ", subsets and supersets" : "") +
                                (facts.monotone == Monotone::none ? "" : ", monotone") +
                                (facts.complement.empty() ? "" : ", complement " + std::string(facts.complement)),
                            {});
}

// ---- Immutability ---------------------------------------------------------------------------

std::string fingerprint(const SignalPool& pool) {
    std::string out;
    for (std::size_t i = 0; i < pool.size(); ++i) out += runtime::repr(Value(pool.signal(i).metadata->copy())) + "\n";
    return out;
}

CheckOutcome immutability(const std::string& op_name, const Operator& op, const std::optional<Oracle>& oracle,
                          FiltrationEvaluationConfig&, numeric::Generator& g) {
    if (!oracle) return no_oracle(op_name, "choosing the inputs");
    Findings findings;
    for (int trial = 0; trial < 60; ++trial) {
        StrictCase c = adversarial_case(*oracle->facts, g, static_cast<std::size_t>(g.integers(1, 30)));
        const std::string params_before = runtime::repr(Value(c.params.deep_copy()));
        const std::optional<Children> children_before = c.children;
        const std::string pool_before = fingerprint(*c.pool);
        Dict params = c.params.deep_copy();
        std::optional<Children> children = c.children;
        try {
            (void)strict_call_shared(op, op_name, *c.pool, params, children ? &*children : nullptr);
        } catch (const std::exception& e) {
            runtime::rethrow_if_fatal(e);
        }
        bool reported = false;
        const auto found = [&](std::string text) {
            if (!findings.add(std::move(text)) || std::exchange(reported, true)) return;
            report_call("strict_immutable", "call " + std::to_string(trial + 1), op_name, op, c, Expectation::unchanged);
        };
        if (runtime::repr(Value(params)) != params_before) {
            found("parameters " + params_before + " became " + runtime::repr(Value(params)));
        }
        if (children != children_before) found("the children's sets changed on " + case_text(c));
        if (fingerprint(*c.pool) != pool_before) found("the pool's metadata changed on " + case_text(c));
    }
    return findings.outcome("Parameters, children's sets and metadata unchanged by 60 calls", {});
}

// ---- Concurrency ----------------------------------------------------------------------------

constexpr int THREADS = 8;
constexpr int CALLS_PER_THREAD = 6;

CheckOutcome concurrency(const std::string& op_name, const Operator& op, const std::optional<Oracle>& oracle,
                         FiltrationEvaluationConfig&, numeric::Generator& g) {
    if (!oracle) return no_oracle(op_name, "choosing the inputs");
    {
        // A slow operator would take minutes here; the growth check judges its speed.
        numeric::Generator probe_rng(1);
        const StrictCase probe = large_case(*oracle->facts, 500, probe_rng);
        const double start = runtime::thread_cpu();
        (void)strict_call(op, op_name, probe);
        const double took = runtime::thread_cpu() - start;
        if (took > 0.02) {
            return {CheckStatus::pass,
                    "Concurrency not probed: a call on 500 signals takes " + std::to_string(static_cast<int>(took * 1e3)) + " ms",
                    Dict{{"probed", false}}};
        }
    }
    std::vector<StrictCase> cases;
    std::vector<CallOutcome> sequential;
    for (int k = 0; k < 4; ++k) {
        cases.push_back(large_case(*oracle->facts, 3000 + 500 * static_cast<std::size_t>(k), g));
        sequential.push_back(strict_call(op, op_name, cases.back()));
    }
    std::atomic<int> diverged{0};
    std::atomic<bool> interrupted{false};
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < THREADS; ++t) {
            threads.emplace_back([&, t] {
                for (int call = 0; call < CALLS_PER_THREAD; ++call) {
                    const std::size_t k = static_cast<std::size_t>(t + call) % cases.size();
                    try {
                        if (!agree(strict_call(op, op_name, cases[k]), sequential[k]) ||
                            std::holds_alternative<std::string>(sequential[k])) {
                            diverged.fetch_add(1);
                        }
                    } catch (...) {
                        interrupted = true;  // fatal errors end the run once the threads are joined
                        return;
                    }
                }
            });
        }
        for (std::thread& t : threads) t.join();
    }
    runtime::check_interrupt();
    Findings findings;
    if (interrupted) findings.add("a call failed fatally on a worker thread");
    if (diverged > 0) {
        findings.add(std::to_string(diverged.load()) + " of " + std::to_string(THREADS * CALLS_PER_THREAD) +
                     " concurrent calls differed from the sequential ones on pools of 3000 to 4500 signals");
    }
    return findings.outcome(std::to_string(THREADS) + " threads x " + std::to_string(CALLS_PER_THREAD) +
                                " calls against sequential calls",
                            Dict{{"diverged", diverged.load()}});
}

// ---- Growth ---------------------------------------------------------------------------------

// The median of the slopes of log(time) over log(size) between every two points (Theil-Sen):
// one time bent by the machine moves it little.
double fitted_exponent(const std::vector<std::pair<double, double>>& points) {
    std::vector<double> slopes;
    for (std::size_t i = 0; i < points.size(); ++i) {
        for (std::size_t j = i + 1; j < points.size(); ++j) {
            slopes.push_back(std::log(points[j].second / points[i].second) / std::log(points[j].first / points[i].first));
        }
    }
    std::sort(slopes.begin(), slopes.end());
    const std::size_t m = slopes.size();
    return m % 2 == 1 ? slopes[m / 2] : (slopes[m / 2 - 1] + slopes[m / 2]) / 2.0;
}

// Times on doubling pools (the fastest of three calls each) until a call takes 60 ms or the pool
// holds 4,000 signals; the points above 0.2 ms (clear of the clock and call overhead). Beyond a
// few thousand signals the caches of the machine bend the times of any operator. The time is the
// calling thread's CPU time, which a loaded machine does not stretch (work an operator hands to
// other threads is not counted).
std::vector<std::pair<double, double>> timings(const std::string& op_name, const Operator& op,
                                               const BuiltinOperatorFacts& facts, std::uint64_t seed) {
    std::vector<std::pair<double, double>> points;
    for (std::size_t n = 125; n <= 4000; n *= 2) {
        numeric::Generator g(seed);
        const StrictCase c = large_case(facts, n, g);
        double best = INFINITY;
        for (int r = 0; r < 3; ++r) {
            const double start = runtime::thread_cpu();
            (void)strict_call(op, op_name, c);
            best = std::min(best, runtime::thread_cpu() - start);
        }
        if (best >= 2e-4) points.emplace_back(static_cast<double>(n), best);
        if (best > 0.06) break;
    }
    return points;
}

// Linear Python operators fit 1.0 to 1.7 over these sizes (allocation and cache effects grow with
// the pool); quadratic ones 1.8 to 2.0.
constexpr double GROWTH_LIMIT = 1.75;
constexpr double GROWTH_FLOOR_S = 0.003;  // a slope below 3 ms at the largest size is noise

CheckOutcome growth(const std::string& op_name, const Operator& op, const std::optional<Oracle>& oracle,
                    FiltrationEvaluationConfig& config, numeric::Generator&) {
    if (!oracle) return no_oracle(op_name, "choosing the inputs");
    const auto seed = static_cast<std::uint64_t>(config.seed);
    std::vector<std::pair<double, double>> points = timings(op_name, op, *oracle->facts, seed);
    if (points.size() < 3) {
        return {CheckStatus::pass, "Growth: too fast to time on pools of up to 4,000 signals",
                Dict{{"points", static_cast<std::int64_t>(points.size())}}};
    }
    double exponent = fitted_exponent(points);
    // A loaded machine can bend one series; only a second series that agrees flags.
    if (exponent > GROWTH_LIMIT) {
        const auto again = timings(op_name, op, *oracle->facts, seed);
        if (again.size() >= 3) exponent = std::min(exponent, fitted_exponent(again));
    }
    runtime::List sizes, seconds;
    for (const auto& [n, t] : points) sizes.push_back(Value(n)), seconds.push_back(Value(t));
    Dict evidence{{"exponent", exponent}, {"sizes", Value::list(sizes)}, {"seconds", Value::list(seconds)}};
    char text[160];
    std::snprintf(text, sizeof text, "Growth: time ~ n^%.2f over %.0f to %.0f signals (limit n^%.2f)", exponent,
                  points.front().first, points.back().first, GROWTH_LIMIT);
    const bool slow = exponent > GROWTH_LIMIT && points.back().second >= GROWTH_FLOOR_S;
    return {slow ? CheckStatus::fail : CheckStatus::pass, text, std::move(evidence)};
}

// ---- Validation parity ----------------------------------------------------------------------

// The inputs a built-in refuses: parameters left out, bounds reversed, shares and counts out of
// range, a combinator's wrong number of children.
std::vector<StrictCase> validation_probes(const BuiltinOperatorFacts& facts, numeric::Generator& g) {
    std::vector<StrictCase> probes;
    if (facts.combines()) {
        const auto pool = numeric_pool(6, g);
        IdSet a = IdSet::over(pool->index()), b = IdSet::over(pool->index());
        a.insert("s0"), a.insert("s1"), b.insert("s1"), b.insert("s2");
        for (Children kids : {Children{}, Children{a, b}, Children{a, b, a}}) {
            probes.push_back({pool, Dict{}, kids});
            probes.push_back({pool, Dict{{"select_all", false}}, kids});
        }
        return probes;
    }
    const StrictCase base = large_case(facts, 8, g);
    probes.push_back({base.pool, Dict{}, std::nullopt});
    for (const Value& key : base.params.keys()) {
        Dict without = base.params.deep_copy();
        without.pop(key);
        probes.push_back({base.pool, std::move(without), std::nullopt});
    }
    const auto with = [&](const char* key, Value v) {
        Dict params = base.params.deep_copy();
        params.set(key, std::move(v));
        probes.push_back({base.pool, std::move(params), std::nullopt});
    };
    if (facts.shape == ParameterShape::range) with("low", Value(1.0)), with("high", Value(-1.0));
    for (double pct : {0.0, -0.5, 1.5, std::nan("")}) {
        if (facts.shape == ParameterShape::share) with("pct", Value(pct));
    }
    for (double n : {0.0, -2.0, std::nan("")}) {
        if (facts.shape == ParameterShape::count) with("n", Value(n));
    }
    return probes;
}

CheckOutcome validation(const std::string& op_name, const Operator& op, const std::optional<Oracle>& oracle,
                        FiltrationEvaluationConfig&, numeric::Generator& g) {
    if (!oracle) return no_oracle(op_name, "validation parity");
    if (!oracle->validates) {
        return {CheckStatus::skip, "Validation parity: no built-in named " + op_name + " to compare with", Dict{}};
    }
    Findings findings;
    std::int64_t probed = 0;
    const std::vector<StrictCase> probes = validation_probes(*oracle->facts, g);
    for (std::size_t k = 0; k < probes.size(); ++k) {
        const StrictCase& c = probes[k];
        const CallOutcome want = strict_call(*oracle->validates, op_name, c);
        const auto* kind = std::get_if<std::string>(&want);
        if (kind == nullptr || *kind != "FilterValidationError") continue;
        ++probed;
        const CallOutcome got = strict_call(op, op_name, c);
        if (const auto* got_kind = std::get_if<std::string>(&got); got_kind != nullptr && *got_kind == *kind) continue;
        if (findings.add(case_text(c) + ": the built-in raises FilterValidationError, this one gave " + show(got))) {
            report_call("strict_validation", "probe " + std::to_string(k + 1), op_name, op, c, Expectation::raises,
                        [&](Disagreement& d) { d.allowed_errors = {*kind}; });
        }
    }
    return findings.outcome("Validation: " + std::to_string(probed) + " inputs the built-in refuses",
                            Dict{{"probes", probed}});
}

constexpr std::array<StrictCheck, 6> STRICT_CHECKS{{
    {"strict_oracle", &differential},
    {"strict_relations", &relations},
    {"strict_immutable", &immutability},
    {"strict_threads", &concurrency},
    {"strict_growth", &growth},
    {"strict_validation", &validation},
}};

}  // namespace

IdSet holders(const SignalPool& pool, const Dict& params, FieldType type) {
    const PreparedField prepared = preprocess_field(pool, params, "");
    IdSet held = IdSet::over(pool.index());
    for (const PreparedValue& v : prepared.values) {
        const Value& x = *v.value;
        if (type == FieldType::categorical ? x.is_str() : type == FieldType::list_str ? x.is_list() : x.is_number()) {
            held.insert(v.id);
        }
    }
    return held;
}

std::span<const StrictCheck> strict_check_table() { return STRICT_CHECKS; }

}  // namespace brindlecap::functions::filtrations_evaluation::detail

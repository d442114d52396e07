// The caller's oracles: correctness cases computed by them, and test cases read from JSON.

#include "brindlecap/functions/filtrations_evaluation/acceptance/references.hpp"

#include <algorithm>
#include <utility>

#include "brindlecap/functions/filtrations_evaluation/checks/checks_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/invocation_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/oracle_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/synthetic_internal.hpp"
#include "brindlecap/numeric/matrix.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation {

namespace {

using runtime::Value;
using CaseList = std::vector<CorrectnessTestCase>;

bool takes_children(const std::string& op_name) {
    const OperatorCategory category = operator_category(op_name);
    return category == OperatorCategory::boolean || category == OperatorCategory::wrapper;
}

// The parameter sets an oracle's cases use: a built-in's own, the declared shape's for a new
// leaf with declared properties (a string field: signal_category), else the threshold
// comparisons'.
std::vector<Dict> leaf_parameter_sets(const std::string& op_name, const FiltrationEvaluationConfig& config) {
    const auto declared = config.properties.find(op_name);
    if (declared == config.properties.end() || detail::find_builtin(op_name) != nullptr) {
        return detail::leaf_parameters(op_name).correctness;
    }
    const detail::BuiltinOperatorFacts facts = detail::declared_operator(op_name, declared->second, &config)->facts;
    if (facts.combines()) return detail::leaf_parameters(op_name).correctness;
    if (!facts.accepts(FieldType::numeric) && facts.shape == detail::ParameterShape::threshold) {
        std::vector<Dict> out;
        for (const char* category : {"momentum", "value", "quality"}) {
            out.push_back(Dict{{"field", "signal_category"}, {"value", category}});
        }
        return out;
    }
    return detail::leaf_parameters(facts.shape).correctness;
}

// The correctness pool's signals as a case pool, in its order.
std::vector<std::pair<std::string, CorrectnessTestCase::PoolEntry>> pool_entries_of(const SignalPool& pool) {
    std::vector<std::pair<std::string, CorrectnessTestCase::PoolEntry>> out;
    out.reserve(pool.size());
    for (std::size_t i = 0; i < pool.size(); ++i) out.emplace_back(pool.id(i), pool.signal(i));
    return out;
}

detail::PoolPtr oracle_pool(const FiltrationEvaluationConfig& config) {
    numeric::Generator rng = detail::make_rng(config.seed);
    return detail::build_correctness_test_pool(config, rng);
}

// A case's pool as the check builds it: signals as given, metadata dicts with all-zero weights.
SignalPool built_case_pool(const CorrectnessTestCase& tc, const FiltrationEvaluationConfig& config) {
    SignalPool pool;
    for (const auto& [id, entry] : *tc.pool) {
        if (const auto* signal = std::get_if<UsefulSignal>(&entry)) {
            pool.insert(id, *signal);
        } else {
            pool.insert(id, UsefulSignal::make(std::get<Dict>(entry).copy(),
                                               numeric::Matrix::zeros(static_cast<std::size_t>(std::max<std::int64_t>(0, config.T)),
                                                                      static_cast<std::size_t>(std::max<std::int64_t>(0, config.N_alloc)))));
        }
    }
    return pool;
}

// The oracle's selection for one case, as a plain set of identifiers.
IdSet oracle_selection(const std::string& op_name, const Operator& oracle, const SignalPool& pool,
                       const CorrectnessTestCase& tc, std::size_t number) {
    try {
        Dict params = tc.params ? tc.params->deep_copy() : Dict{};
        const IdSet selected =
            takes_children(op_name)
                ? detail::dispatch_op(op_name, oracle, pool, params,
                                      tc.children_results ? tc.children_results : std::vector<IdSet>{IdSet{}})
                : detail::dispatch_op(op_name, oracle, pool, params);
        return IdSet(selected.sorted());
    } catch (const runtime::Interrupt&) {
        throw;
    } catch (const std::exception& e) {
        runtime::rethrow_if_fatal(e);
        throw runtime::RuntimeError("the reference for '" + op_name + "' raised on test case " + std::to_string(number) +
                                    " (parameters " + runtime::repr(Value(tc.params.value_or(Dict{}))) +
                                    "): " + runtime::error_kind(e) + ": " + runtime::error_text(e));
    }
}

// ---- JSON --------------------------------------------------------------------------------------

[[noreturn]] void refuse_item(const std::string& where, const std::string& item, const std::string& problem,
                      const Value* got = nullptr) {
    std::string text = where + ": " + item + ": " + problem;
    if (got != nullptr) text += ", got " + runtime::repr(*got);
    throw runtime::ValueError(text);
}

IdSet parse_ids(const Value& v, const std::string& where, const std::string& item) {
    if (!v.is_list()) refuse_item(where, item, "expected a list of signal ids", &v);
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < v.as_list().size(); ++i) {
        const Value& id = v.as_list()[i];
        if (!id.is_str()) refuse_item(where, item + "[" + std::to_string(i) + "]", "expected a signal id (a string)", &id);
        ids.push_back(id.as_str());
    }
    return IdSet(ids);
}

CorrectnessTestCase parse_case(const Value& v, const std::string& where, const std::string& item) {
    if (!v.is_dict()) refuse_item(where, item, "expected an object with pool, params, expected, children_results", &v);
    CorrectnessTestCase tc;
    for (const auto& [key_value, value] : v.as_dict()) {
        const std::string key = runtime::str(key_value);
        const std::string at = item + "." + key;
        if (key == "pool") {
            if (!value.is_dict()) refuse_item(where, at, "expected an object {signal id: {metadata}}", &value);
            tc.pool.emplace();
            for (const auto& [id, metadata] : value.as_dict()) {
                const std::string id_text = runtime::str(id);
                if (!metadata.is_dict()) refuse_item(where, at + "[" + runtime::repr(std::string_view(id_text)) + "]",
                                             "expected a metadata object", &metadata);
                tc.pool->emplace_back(id_text, metadata.as_dict());
            }
        } else if (key == "params") {
            if (!value.is_dict()) refuse_item(where, at, "expected an object of parameters", &value);
            tc.params = value.as_dict();
        } else if (key == "expected") {
            tc.expected = parse_ids(value, where, at);
        } else if (key == "children_results") {
            if (!value.is_list()) refuse_item(where, at, "expected a list of lists of signal ids", &value);
            tc.children_results.emplace();
            for (std::size_t i = 0; i < value.as_list().size(); ++i) {
                tc.children_results->push_back(parse_ids(value.as_list()[i], where, at + "[" + std::to_string(i) + "]"));
            }
        } else {
            refuse_item(where, at, "unknown key (expected pool, params, expected or children_results)");
        }
    }
    return tc;
}

}  // namespace

std::optional<Operator> researcher_reference(std::string_view op_name, const FiltrationEvaluationConfig& config) {
    const auto it = config.references.find(op_name);
    if (it == config.references.end() || !it->second) return std::nullopt;
    return it->second;
}

std::string missing_oracle_hint(std::string_view op_name) {
    const std::string name(op_name);
    return "no oracle for '" + name + "': name one with --reference " + name +
           "=MODULE:ATTRIBUTE (references in the configuration), or give its correctness cases with --test-cases "
           "FILE (test_cases of its EvalFiltrationConfig); the strict checks also go by its declared properties: "
           "--property " + name + "=PROP[,PROP...] (properties in the configuration)";
}

std::vector<CorrectnessTestCase> reference_test_cases(const std::string& op_name, const Operator& oracle,
                                                      const FiltrationEvaluationConfig& config) {
    const detail::PoolPtr pool = oracle_pool(config);
    CaseList cases;
    if (takes_children(op_name)) {
        CorrectnessTestCase tc;
        tc.params = Dict{};
        tc.children_results = detail::correctness_combinator_case(op_name, *pool).first;
        cases.push_back(std::move(tc));
    } else {
        for (const Dict& params : leaf_parameter_sets(op_name, config)) {
            CorrectnessTestCase tc;
            tc.params = params.deep_copy();
            cases.push_back(std::move(tc));
        }
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        cases[i].expected = oracle_selection(op_name, oracle, *pool, cases[i], i + 1);
        cases[i].oracle = oracle;
        cases[i].pool = pool_entries_of(*pool);
    }
    return cases;
}

std::vector<CorrectnessTestCase> complete_test_cases(const std::string& op_name, const Operator& oracle,
                                                     std::vector<CorrectnessTestCase> cases,
                                                     const FiltrationEvaluationConfig& config) {
    detail::PoolPtr shared;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        CorrectnessTestCase& tc = cases[i];
        if (tc.expected) continue;
        if (!tc.pool) {
            if (!shared) shared = oracle_pool(config);
            tc.pool = pool_entries_of(*shared);
        }
        tc.expected = oracle_selection(op_name, oracle, built_case_pool(tc, config), tc, i + 1);
        tc.oracle = oracle;
    }
    return cases;
}

void apply_references(std::vector<EvalFiltrationConfig>& operator_configs, const FiltrationEvaluationConfig& config) {
    for (EvalFiltrationConfig& op_config : operator_configs) {
        const std::optional<Operator> oracle = researcher_reference(op_config.name, config);
        if (!oracle) continue;
        op_config.test_cases = op_config.test_cases && !op_config.test_cases->empty()
                                   ? complete_test_cases(op_config.name, *oracle, std::move(*op_config.test_cases), config)
                                   : reference_test_cases(op_config.name, *oracle, config);
    }
}

std::map<std::string, std::vector<CorrectnessTestCase>, std::less<>> test_cases_from_value(const Value& document,
                                                                                          const std::string& where) {
    if (!document.is_dict()) {
        throw runtime::ValueError(where + ": expected an object {operator name: [test case, ...]}, got " +
                                  runtime::repr(document));
    }
    std::map<std::string, CaseList, std::less<>> out;
    for (const auto& [name_value, cases] : document.as_dict()) {
        const std::string name = runtime::str(name_value);
        if (!cases.is_list()) refuse_item(where, name, "expected a list of test cases", &cases);
        CaseList& into = out[name];
        for (std::size_t i = 0; i < cases.as_list().size(); ++i) {
            into.push_back(parse_case(cases.as_list()[i], where, name + "[" + std::to_string(i) + "]"));
        }
    }
    return out;
}

std::map<std::string, std::vector<CorrectnessTestCase>, std::less<>> read_test_cases_json(const std::string& path) {
    return test_cases_from_value(runtime::read_json_file(path), "test cases file '" + path + "'");
}

}  // namespace brindlecap::functions::filtrations_evaluation

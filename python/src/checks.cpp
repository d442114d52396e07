// The acceptance checks, their runners and tables, and the fixtures they build, callable from
// Python one by one.

#include "checks.hpp"

#include "brindlecap/functions/filtrations_evaluation/checks/catalogue_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/checks_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/id_set_object_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/invocation_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/order_probe_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/pool_keeper_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/reference_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/snapshot_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/synthetic_internal.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "operators.hpp"
#include "records.hpp"

namespace brindlecap::python {

using namespace pybind11::literals;
namespace detail = fe::detail;

namespace {

// A check on a Python operator, configuration and generator (left where the check's draws end).
py::object run_check(detail::CheckRoutine check, const std::string& op_name, py::handle op_impl, py::handle config,
                     py::handle rng) {
    const fe::Operator op = operator_of(op_impl, op_name);
    fe::FiltrationEvaluationConfig cfg = config_of(config);
    SyncedGenerator g(rng);
    eu::CheckOutcome outcome;
    {
        py::gil_scoped_release nogil;
        outcome = check(op_name, op, cfg, g.get());
    }
    return export_outcome(outcome);
}

py::object run_check_with_cases(detail::CheckRoutineWithCases check, const std::string& op_name, py::handle op_impl,
                                py::handle config, py::handle rng, py::handle test_cases) {
    const fe::Operator op = operator_of(op_impl, op_name);
    fe::FiltrationEvaluationConfig cfg = config_of(config);
    IdentityScope scope;
    auto cases = test_cases_of(test_cases, &scope);  // written back to by operators
    SyncedGenerator g(rng);
    eu::CheckOutcome outcome;
    {
        py::gil_scoped_release nogil;
        outcome = check(op_name, op, cfg, g.get(), cases);
    }
    return export_outcome(outcome);
}

// A catalogue check's routine under its own name: _run_check_1_contract, "Check 1 -- Contract Conformance.".
void def_routine(py::module_& m, const detail::CheckDescriptor& check) {
    const std::string name = std::string("_") + check.routine;
    const std::string doc = "Check " + std::to_string(check.number) + " -- " + check.title + ".";
    if (const auto* with_cases = std::get_if<detail::CheckRoutineWithCases>(&check.run)) {
        m.def(
            name.c_str(),
            [fn = *with_cases](const std::string& op_name, py::handle op_impl, py::handle config, py::handle rng,
                               py::handle test_cases) {
                return run_check_with_cases(fn, op_name, op_impl, config, rng, test_cases);
            },
            "op_name"_a, "op_impl"_a, "config"_a, "rng"_a, "test_cases"_a = py::none(), doc.c_str());
    } else {
        m.def(
            name.c_str(),
            [fn = std::get<detail::CheckRoutine>(check.run)](const std::string& op_name, py::handle op_impl,
                                                              py::handle config, py::handle rng) {
                return run_check(fn, op_name, op_impl, config, rng);
            },
            "op_name"_a, "op_impl"_a, "config"_a, "rng"_a, doc.c_str());
    }
}

// Python callable runner(name, impl, cfg, rng, **kwargs): kwargs other than test_cases are ignored.
py::object runner_of(const detail::CheckDescriptor& check) {
    return py::cpp_function(
        [&check](const std::string& name, py::handle impl, py::handle config, py::handle rng, py::kwargs kwargs) {
            const fe::Operator op = operator_of(impl, name);
            fe::FiltrationEvaluationConfig cfg = config_of(config);
            IdentityScope scope;
            auto cases =
                test_cases_of(kwargs.contains("test_cases") ? py::object(kwargs["test_cases"]) : py::none(), &scope);
            SyncedGenerator g(rng);
            eu::CheckOutcome outcome;
            {
                py::gil_scoped_release nogil;
                outcome = check(name, op, cfg, g.get(), cases);
            }
            return export_outcome(outcome);
        },
        py::name(("check_runner_" + std::to_string(check.number)).c_str()), "name"_a, "impl"_a, "cfg"_a, "rng"_a);
}

fe::OperatorCategory category_of(const std::string& category) { return fe::parse_operator_category(category); }

// children_results entries: sets, or lists and tuples of str.
std::vector<fe::IdSet> children_of(Converter& c, py::handle children, const fe::SignalPool& pool) {
    if (!PyList_Check(children.ptr()) && !PyTuple_Check(children.ptr()))
        throw py::type_error("children_results must be a list of sets, got " + type_name_of(children));
    std::vector<fe::IdSet> out;
    for (const auto child : children) out.push_back(c.id_set(child, pool.index(), "children_results entries"));
    return out;
}

py::object call_operator(const std::string& op_name, py::handle op_impl, py::handle pool_obj,
                         const std::string& category, py::handle params_obj) {
    Converter c;
    IdentityScope scope;
    const fe::Operator op = operator_of(op_impl, op_name);
    const fe::SignalPool pool = c.pool(pool_obj);
    const fe::OperatorCategory cat = category_of(category);
    fe::IdSet result;
    if (params_obj.is_none()) {
        py::gil_scoped_release nogil;
        result = detail::call_operator(op_name, op, pool, cat, nullptr);
    } else {
        Dict params = c.dict(params_obj, "params");
        const bool combines = cat == fe::OperatorCategory::boolean || cat == fe::OperatorCategory::wrapper;
        std::optional<std::vector<fe::IdSet>> children;
        py::object children_obj;
        if (combines) {
            // children_results leaves the caller's own mapping; the operator gets that very list.
            children_obj = params_obj.attr("pop")("children_results", py::none());
            params.pop(Value("children_results"));
            if (children_obj.is_none()) {
                children.emplace(1);
            } else {
                children = children_of(c, children_obj, pool);
                bind_or_remember(scope, *children, children_obj);
            }
        }
        bind_or_remember(scope, params, params_obj);
        py::gil_scoped_release nogil;
        result = detail::dispatch_op(op_name, op, pool, params, children);
    }
    Exporter out;
    return out.id_set(result);
}

py::object dispatch_op(const std::string& op_name, py::handle op_impl, py::handle pool_obj, py::handle params_obj,
                       py::handle children_results) {
    Converter c;
    IdentityScope scope;
    const fe::Operator op = operator_of(op_impl, op_name);
    const fe::SignalPool pool = c.pool(pool_obj);
    Dict params = c.dict(params_obj, "params");
    bind_or_remember(scope, params, params_obj);
    std::optional<std::vector<fe::IdSet>> children;
    if (!children_results.is_none()) {
        children = children_of(c, children_results, pool);
        bind_or_remember(scope, *children, children_results);
    }
    fe::IdSet result;
    {
        py::gil_scoped_release nogil;
        result = detail::dispatch_op(op_name, op, pool, params, children);
    }
    Exporter out;
    return out.id_set(result);
}

py::object export_snapshot(const detail::PoolSnapshot& snapshot) {
    Exporter out;
    py::dict d;
    for (const auto& [id, snap] : snapshot) {
        d[out.str(id)] = py::dict("weights"_a = out.matrix(snap.weights), "pnl"_a = out.matrix(snap.pnl),
                                  "metadata"_a = out.dict(snap.metadata));
    }
    return d;
}

detail::PoolSnapshot snapshot_of(py::handle obj) {
    if (!PyDict_Check(obj.ptr()) && !is_mapping(obj)) throw py::type_error("snapshot must be a mapping, got " + type_name_of(obj));
    Converter c;
    detail::PoolSnapshot out;
    for_each_item(obj, "snapshot", [&](py::handle id, py::handle snap) {
        if (!PyDict_Check(snap.ptr()) && !is_mapping(snap))
            throw py::type_error("snapshot entries must be mappings, got " + type_name_of(snap));
        detail::SignalSnapshot s;
        s.weights = c.matrix(snap["weights"], "snapshot weights", true);
        s.pnl = c.matrix(snap["pnl"], "snapshot pnl", true);
        s.metadata = c.dict(snap["metadata"], "snapshot metadata");
        out.emplace_back(c.str(id, "a signal id"), std::move(s));
    });
    return out;
}

// The pools the fixtures have registered since the driver last emptied the keeper.
struct PoolKeeperView {};

}  // namespace

void init_checks(py::module_& m) {
    // ---- fixtures
    const auto synthetic_signals = [](py::handle config, py::handle rng) {
        const fe::FiltrationEvaluationConfig cfg = config_of(config);
        std::optional<SyncedGenerator> g;
        if (!rng.is_none()) g.emplace(rng);
        detail::PoolPtr pool;
        {
            py::gil_scoped_release nogil;
            pool = detail::generate_synthetic_signals(cfg, g ? &g->get() : nullptr);
        }
        Exporter out;
        return out.pool(*pool);
    };
    m.def("_generate_synthetic_signals", synthetic_signals, "config"_a, "rng"_a = py::none());
    m.def("generate_synthetic_signals", synthetic_signals, "config"_a, "rng"_a = py::none(),
          "A reproducible pool of synthetic signals, the checks' fixture.\n\n"
          "Parameters\n----------\n"
          "config : FiltrationEvaluationConfig\n    N_signals and seed shape the pool.\n"
          "rng : numpy.random.Generator | None\n"
          "    Draws from it (left where numpy's own draws would leave it); None seeds from config.seed.\n\n"
          "Returns\n-------\ndict[str, UsefulSignal]");
    m.def(
        "_build_correctness_test_pool",
        [](py::handle config, py::handle rng) {
            const fe::FiltrationEvaluationConfig cfg = config_of(config);
            SyncedGenerator g(rng);
            detail::PoolPtr pool;
            {
                py::gil_scoped_release nogil;
                pool = detail::build_correctness_test_pool(cfg, g.get());
            }
            Exporter out;
            return out.pool(*pool);
        },
        "config"_a, "rng"_a, "Build a deterministic test pool with known values for correctness checks.");
    m.def(
        "_build_seeded_operator_fixture",
        [](const std::string& op_name, py::handle config) {
            const fe::FiltrationEvaluationConfig cfg = config_of(config);
            std::pair<detail::PoolPtr, fe::OperatorCategory> fixture;
            {
                py::gil_scoped_release nogil;
                fixture = detail::build_seeded_operator_fixture(op_name, cfg);
            }
            Exporter out;
            return py::make_tuple(out.pool(*fixture.first), std::string(fe::to_string(fixture.second)));
        },
        "op_name"_a, "config"_a, "Build a deterministic independent input pool for one operator call.");
    m.def(
        "_get_operator_category", [](const std::string& op_name) { return std::string(fe::to_string(fe::operator_category(op_name))); },
        "op_name"_a);
    m.def("_call_operator", &call_operator, "op_name"_a, "op_impl"_a, "pool"_a, "category"_a, "params"_a = py::none());
    m.def("_dispatch_op", &dispatch_op, "op_name"_a, "op_impl"_a, "pool"_a, "params"_a, "children_results"_a = py::none());
    m.def(
        "_test_id_order_independence",
        [](const std::string& op_name, py::handle op_impl, const std::string& category, py::handle config) {
            const fe::Operator op = operator_of(op_impl, op_name);
            const fe::FiltrationEvaluationConfig cfg = config_of(config);
            py::gil_scoped_release nogil;
            return detail::test_id_order_independence(op_name, op, category_of(category), cfg);
        },
        "op_name"_a, "op_impl"_a, "category"_a, "config"_a,
        "Test whether operator output is independent of pool iteration order.");
    m.def(
        "_get_reference_operator",
        [](const std::string& op_name) -> py::object {
            const auto op = detail::get_reference_operator(op_name);
            return op ? export_operator(*op, "reference_" + op_name) : py::none();
        },
        "op_name"_a, "Return an independent reference operator for default correctness checks.");
    m.def(
        "_snapshot_signal_pool",
        [](py::handle pool_obj) {
            Converter c;
            const fe::SignalPool pool = c.pool(pool_obj);
            return export_snapshot(detail::snapshot_signal_pool(pool));
        },
        "pool"_a);
    m.def(
        "_pool_matches_snapshot",
        [](py::handle pool_obj, py::handle snapshot) {
            Converter c;
            const fe::SignalPool pool = c.pool(pool_obj);
            return detail::pool_matches_snapshot(pool, snapshot_of(snapshot));
        },
        "pool"_a, "snapshot"_a);

    // ---- checks
    for (const detail::CheckDescriptor& check : detail::check_catalogue()) def_routine(m, check);
    // The shape routine has no number of its own: the pipeline never runs it.
    m.def(
        "_run_check_2_shape",
        [](const std::string& op_name, py::handle op_impl, py::handle config, py::handle rng) {
            return run_check(&detail::run_check_2_shape, op_name, op_impl, config, rng);
        },
        "op_name"_a, "op_impl"_a, "config"_a, "rng"_a, "Check 2 -- Shape Correctness.");
    m.def(
        "_run_shared_filtration_check",
        [](const std::string& canonical_check_name, py::kwargs context) {
            Converter c;
            Dict ctx;
            for (const auto& [key, value] : context) ctx.set(c.value(key), c.value(value));
            functions::evaluation_pipeline::SharedCheckResult result;
            {
                py::gil_scoped_release nogil;
                result = detail::run_shared_filtration_check(canonical_check_name, ctx);
            }
            return export_shared(result);
        },
        "canonical_check_name"_a);

    // ---- tables
    py::dict runners;
    for (const detail::CheckDescriptor& check : detail::check_catalogue()) {
        runners[py::int_(check.number)] = runner_of(check);
    }
    m.attr("_CHECK_RUNNERS") = runners;
    py::dict names;
    for (const auto& [number, name] : detail::CHECK_NAME_BY_NUMBER()) names[py::int_(number)] = name;
    m.attr("_CHECK_NAME_BY_NUMBER") = names;
    py::dict registry;
    py::dict metadata_by_name;
    const fe::CheckRegistryEntry plain;
    for (const auto& [name, entry] : fe::CHECK_REGISTRY()) {
        registry[py::str(name)] = records().check_registry_entry(
            entry.check_number, entry.name, entry.default_mode, entry.verifies_return_shape, entry.verifies_return_ids,
            entry.verifies_input_immutability, entry.verifies_empty_pool);
        // The fields a check sets apart from the defaults.
        py::dict flags;
        const auto note = [&flags](const char* field, bool value, bool fallback) {
            if (value != fallback) flags[field] = value;
        };
        note("verifies_return_shape", entry.verifies_return_shape, plain.verifies_return_shape);
        note("verifies_return_ids", entry.verifies_return_ids, plain.verifies_return_ids);
        note("verifies_input_immutability", entry.verifies_input_immutability, plain.verifies_input_immutability);
        note("verifies_empty_pool", entry.verifies_empty_pool, plain.verifies_empty_pool);
        if (entry.default_mode != plain.default_mode) flags["default_mode"] = entry.default_mode;
        if (py::len(flags) > 0) metadata_by_name[py::str(name)] = flags;
    }
    m.attr("CHECK_REGISTRY") = registry;
    m.attr("_CHECK_METADATA_BY_NAME") = metadata_by_name;

    py::class_<PoolKeeperView>(m, "_PoolKeeper",
                               "Fixture pools registered since the driver last emptied it (held weakly).")
        .def("__len__", [](const PoolKeeperView&) { return detail::pool_keeper().size(); })
        .def_property_readonly("alive", [](const PoolKeeperView&) { return detail::pool_keeper().alive(); })
        .def("clear", [](const PoolKeeperView&) { detail::pool_keeper().clear(); })
        .def("__repr__", [](const PoolKeeperView&) {
            return "<pool keeper: " + std::to_string(detail::pool_keeper().size()) + " pools, " +
                   std::to_string(detail::pool_keeper().alive()) + " alive>";
        });
    m.attr("_pool_keeper") = PoolKeeperView{};
}

}  // namespace brindlecap::python

// flatten_signal_metadata on generated bags: dicts with shared or differing key sets (string,
// integer and other keys), colliding metadata keys, None and non-dict bags, with and without an
// observer, and with recording hooks bound.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/metadata/flatten.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/flatten_internal.hpp"
#include "brindlecap/runtime/text.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace brindlecap::fuzz;

Value key(FuzzedDataProvider& fdp, ValueGen& gen) {
    static const char* names[] = {"sharpe", "turnover", "is_sharpe", "os_sharpe", "", "drawdown"};
    switch (fdp.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: return Value(gen.integer());
        case 1: return Value(gen.text());
        case 2: return gen.hashable();
        default: return Value(names[fdp.ConsumeIntegralInRange<int>(0, 5)]);
    }
}

Value bag(FuzzedDataProvider& fdp, ValueGen& gen, const std::vector<Value>& keys) {
    switch (fdp.ConsumeIntegralInRange<int>(0, 15)) {
        case 0: return Value{};
        case 1: return gen.any(1);
        default: break;
    }
    Dict d;
    for (const Value& k : keys)
        if (fdp.ConsumeIntegralInRange<int>(0, 15) != 0) d.set(k, gen.any(1));
    if (fdp.ConsumeIntegralInRange<int>(0, 7) == 0) d.set(key(fdp, gen), gen.any(1));
    return Value(std::move(d));
}

struct Recorder {
    std::vector<std::string> behaviours;
    int flushes = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    ValueGen gen(fdp);

    std::vector<Value> keys;
    for (int i = fdp.ConsumeIntegralInRange<int>(0, 6); i > 0; --i) keys.push_back(key(fdp, gen));
    const Value is_stats = bag(fdp, gen, keys);
    const Value os_stats = bag(fdp, gen, keys);
    std::vector<Value> meta_keys;
    for (int i = fdp.ConsumeIntegralInRange<int>(0, 4); i > 0; --i) meta_keys.push_back(key(fdp, gen));
    const Value metadata = bag(fdp, gen, meta_keys);

    fe::TelemetryObserver observer;
    const auto mode = fdp.ConsumeIntegralInRange<int>(0, 3);  // 0: observer, default hooks; 1: recorders
    Recorder recorder;
    if (mode == 1) {
        fe::set_record_surface_observation_hook(
            [&recorder](fe::TelemetryObserver*, const std::string&, const std::string& behaviour, double,
                        const std::optional<Dict>&) { recorder.behaviours.push_back(behaviour); });
        fe::set_flush_surface_observer_hook([&recorder](fe::TelemetryObserver*) { ++recorder.flushes; });
    }
    fe::TelemetryObserver* attached = mode <= 1 ? &observer : nullptr;

    bool failed = false;
    try {
        const Dict flat = fe::flatten_signal_metadata(is_stats, os_stats, metadata, attached);
        if (mode == 0) finding("observer accepted by the default hooks");
        const auto n = [](const Value& v) { return v.is_dict() ? v.as_dict().size() : 0; };
        // Keys whose texts coincide (1 and "1") share one prefixed entry, so the size is a bound.
        if (flat.size() > n(is_stats) + n(os_stats) + n(metadata)) finding("flattened more entries than given");
        for (const auto& [k, v] : is_stats.as_dict())
            if (!flat.contains(Value("is_" + brindlecap::runtime::str(k)))) finding("missing is_ key");
        for (const auto& [k, v] : os_stats.as_dict())
            if (!flat.contains(Value("os_" + brindlecap::runtime::str(k)))) finding("missing os_ key");
        for (const auto& [k, v] : metadata.as_dict())
            if (!flat.contains(k)) finding("missing metadata key");
    } catch (const std::exception& e) {
        failed = true;
        expect_documented(e, {"ValueError", "AttributeError", "TypeError", "RuntimeError"});
    }
    if (mode == 1) {
        fe::set_record_surface_observation_hook({});
        fe::set_flush_surface_observer_hook({});
        const std::vector<std::string> expected{"entry", "decision", "exit"};
        if (recorder.behaviours != expected || recorder.flushes != 1)
            finding(std::string("observation sequence broken after ") + (failed ? "an error" : "success"));
    }
    return 0;
}

#pragma once
// Shared pieces of the fuzz targets: the acceptance rule for errors and generators of open
// values, signal pools and filter trees driven by the fuzzer's bytes.

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::fuzz {

namespace fe = functions::filtrations_evaluation;
using runtime::Dict;
using runtime::List;
using runtime::Value;

// A broken invariant: report it and abort so that libFuzzer keeps the input.
[[noreturn]] inline void finding(const std::string& what) {
    std::fprintf(stderr, "fuzz finding: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// An error is acceptable when it is one of the documented kinds and carries a message.
inline void expect_documented(const std::exception& e, std::initializer_list<std::string_view> kinds) {
    const auto* error = dynamic_cast<const runtime::Exception*>(&e);
    if (error == nullptr) finding(std::string("undocumented error type: ") + e.what());
    for (const std::string_view kind : kinds) {
        if (error->kind() == kind) {
            if (error->message().empty()) finding(error->kind() + " without a message");
            return;
        }
    }
    finding("undocumented error kind " + error->kind() + ": " + error->message());
}

// Draws values of every kind, with the awkward ones (NaN, infinities, extreme integers, empty
// and non-ASCII strings, nested containers, objects) over-represented.
class ValueGen {
public:
    explicit ValueGen(FuzzedDataProvider& fdp) : fdp_(fdp) {}

    double number() {
        static constexpr double specials[] = {
            std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
            std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
            0.0, -0.0, 0.5, 1.0, 1.0000001, -1.0, 0.1, 2.0, 1e-300, 5e-324, 1e16, 1.7976931348623157e308,
            1e-13, 3.0, 10.0, 100.0};
        if (fdp_.ConsumeBool()) return specials[fdp_.ConsumeIntegralInRange<std::size_t>(0, std::size(specials) - 1)];
        return fdp_.ConsumeFloatingPoint<double>();
    }

    std::int64_t integer() {
        static constexpr std::int64_t specials[] = {0, 1, -1, 2, 3, 5, 10, 100,
                                                    std::numeric_limits<std::int64_t>::max(),
                                                    std::numeric_limits<std::int64_t>::min(),
                                                    (std::int64_t{1} << 53) + 1, -(std::int64_t{1} << 31)};
        if (fdp_.ConsumeBool()) return specials[fdp_.ConsumeIntegralInRange<std::size_t>(0, std::size(specials) - 1)];
        return fdp_.ConsumeIntegral<std::int64_t>();
    }

    std::string text() {
        static constexpr std::string_view words[] = {
            "", "a", "b", "s1", "s2", "alpha", "beta", "momentum", "carry", "it's", "say \"hi\"",
            "é", "日本", "is_sharpe", "x9", "NaN", "True", "0", " ", "\\", "\n"};
        if (fdp_.ConsumeBool()) return std::string(words[fdp_.ConsumeIntegralInRange<std::size_t>(0, std::size(words) - 1)]);
        return fdp_.ConsumeRandomLengthString(12);
    }

    List text_list() {
        List out;
        const auto n = fdp_.ConsumeIntegralInRange<int>(0, 4);
        for (int i = 0; i < n; ++i) out.emplace_back(text());
        return out;
    }

    // A value that can key a dict (no lists or dicts).
    Value hashable() {
        switch (fdp_.ConsumeIntegralInRange<int>(0, 4)) {
            case 0: return Value{};
            case 1: return Value{fdp_.ConsumeBool()};
            case 2: return Value{integer()};
            case 3: return Value{number()};
            default: return Value{text()};
        }
    }

    Value any(int depth = 2) {
        switch (fdp_.ConsumeIntegralInRange<int>(0, depth > 0 ? 9 : 6)) {
            case 0: return Value{};
            case 1: return Value{fdp_.ConsumeBool()};
            case 2: return Value{integer()};
            case 3:
            case 4: return Value{number()};
            case 5: return Value{text()};
            case 6: return Value{text_list()};
            case 7: {
                List out;
                const auto n = fdp_.ConsumeIntegralInRange<int>(0, 3);
                for (int i = 0; i < n; ++i) out.push_back(any(depth - 1));
                return Value{std::move(out)};
            }
            case 8: {
                Dict out;
                const auto n = fdp_.ConsumeIntegralInRange<int>(0, 3);
                for (int i = 0; i < n; ++i) out.set(fdp_.ConsumeBool() ? Value{text()} : Value{integer()}, any(depth - 1));
                return Value{std::move(out)};
            }
            default: {
                Dict attrs;
                attrs.set(Value("value"), any(depth - 1));
                return Value{std::static_pointer_cast<runtime::Object>(
                    std::make_shared<runtime::AttrObject>(fdp_.ConsumeBool() ? "date" : "Thing", std::move(attrs)))};
            }
        }
    }

private:
    FuzzedDataProvider& fdp_;
};

// Metadata field names of generated pools, each with the kind its values usually have.
struct FieldSpec {
    std::string_view name;
    enum class Kind { Number, Integer, Text, Bool, TextList } kind;
};
inline constexpr FieldSpec POOL_FIELDS[] = {
    {"is_sharpe", FieldSpec::Kind::Number},         {"os_sharpe", FieldSpec::Kind::Number},
    {"is_turnover", FieldSpec::Kind::Number},       {"n_trades", FieldSpec::Kind::Integer},
    {"submission_date", FieldSpec::Kind::Integer},  {"signal_category", FieldSpec::Kind::Text},
    {"is_active", FieldSpec::Kind::boolean},           {"rotation_families", FieldSpec::Kind::TextList},
};

// Metadata with each field missing now and then and, rarely, of another kind.
inline Dict signal_metadata(FuzzedDataProvider& fdp, ValueGen& gen) {
    Dict metadata;
    for (const FieldSpec& field : POOL_FIELDS) {
        const auto roll = fdp.ConsumeIntegralInRange<int>(0, 15);
        if (roll == 0) continue;
        Value v;
        if (roll == 1) {
            v = gen.any();
        } else {
            switch (field.kind) {
                case FieldSpec::Kind::Number: v = Value{gen.number()}; break;
                case FieldSpec::Kind::Integer: v = Value{gen.integer()}; break;
                case FieldSpec::Kind::Text: v = Value{gen.text()}; break;
                case FieldSpec::Kind::boolean: v = Value{fdp.ConsumeBool()}; break;
                case FieldSpec::Kind::TextList: v = Value{gen.text_list()}; break;
            }
        }
        metadata.set(Value(std::string(field.name)), std::move(v));
    }
    if (fdp.ConsumeIntegralInRange<int>(0, 7) == 0) metadata.set(Value(gen.text()), gen.any());
    return metadata;
}

// Parameters of a filter node: the keys operators read, with values of the expected kind most
// of the time and of any kind otherwise.
inline Dict node_params(FuzzedDataProvider& fdp, ValueGen& gen, const std::vector<std::string>& fields) {
    Dict params;
    const auto pick_field = [&]() -> Value {
        if (fields.empty() || fdp.ConsumeIntegralInRange<int>(0, 9) == 0) return gen.any(1);
        return Value(fields[fdp.ConsumeIntegralInRange<std::size_t>(0, fields.size() - 1)]);
    };
    const auto maybe_any = [&](Value usual) { return fdp.ConsumeIntegralInRange<int>(0, 7) == 0 ? gen.any(1) : usual; };
    const auto keys = fdp.ConsumeIntegral<std::uint8_t>();
    if (keys & 0x01) params.set(Value("field"), pick_field());
    if (keys & 0x02) params.set(Value("value"), maybe_any(Value(gen.number())));
    if (keys & 0x04) params.set(Value("low"), maybe_any(Value(gen.number())));
    if (keys & 0x08) params.set(Value("high"), maybe_any(Value(gen.number())));
    if (keys & 0x10) params.set(Value("n"), maybe_any(Value(gen.integer())));
    if (keys & 0x20) params.set(Value("pct"), maybe_any(Value(gen.number())));
    if (keys & 0x40) params.set(Value("values"), maybe_any(Value(gen.text_list())));
    if (keys & 0x80) params.set(Value("select_all"), maybe_any(Value(fdp.ConsumeBool())));
    if (fdp.ConsumeIntegralInRange<int>(0, 15) == 0) params.set(Value(gen.text()), gen.any(1));
    return params;
}

// A tree over `names`, at most `max_depth` levels, now and then with a long not_/or_ chain.
inline fe::FilterNode filter_tree(FuzzedDataProvider& fdp, ValueGen& gen, const std::vector<std::string>& names,
                                  const std::vector<std::string>& fields, int max_depth) {
    fe::FilterNode node;
    node.function_name = names[fdp.ConsumeIntegralInRange<std::size_t>(0, names.size() - 1)];
    node.params = node_params(fdp, gen, fields);
    if (max_depth <= 0) return node;
    const auto shape = fdp.ConsumeIntegralInRange<int>(0, 31);
    if (shape == 0) {
        // A chain: deep nesting through single-child combinators.
        const auto length = fdp.ConsumeIntegralInRange<int>(1, 300);
        fe::FilterNode leaf = filter_tree(fdp, gen, names, fields, 0);
        for (int i = 0; i < length; ++i) {
            fe::FilterNode parent;
            parent.function_name = (i % 2 == 0) ? "or_" : "and_";
            parent.children.push_back(std::move(leaf));
            leaf = std::move(parent);
        }
        node.children.push_back(std::move(leaf));
        return node;
    }
    const auto children = shape < 12 ? 0 : fdp.ConsumeIntegralInRange<int>(1, 3);
    for (int i = 0; i < children; ++i) node.children.push_back(filter_tree(fdp, gen, names, fields, max_depth - 1));
    return node;
}

inline std::size_t node_count(const fe::FilterNode& node) {
    std::size_t n = 1;
    for (const auto& child : node.children) n += node_count(child);
    return n;
}

}  // namespace brindlecap::fuzz

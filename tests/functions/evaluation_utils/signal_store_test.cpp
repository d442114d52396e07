#include <sqlite3.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::functions::evaluation_utils {
namespace {

using runtime::Dict;
using runtime::Value;

template <class E>
std::string error_message(const std::function<void()>& f) {
    try {
        f();
    } catch (const E& e) {
        return e.message();
    }
    ADD_FAILURE() << "expected an error";
    return {};
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<std::string> key_texts(const Dict& d) {
    std::vector<std::string> out;
    for (const auto& [k, v] : d) out.push_back(runtime::str(k));
    return out;
}

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A temporary directory and a configured store path, both restored afterwards.
class SignalStore : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "brindlecap_store_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        db = (dir_ / "signals.db").string();
        previous_path_ = configured_signal_metadata_store();
    }
    void TearDown() override {
        configure_signal_metadata_store(previous_path_);
        std::filesystem::remove_all(dir_);
    }

    void raw_sql(const std::string& path, const std::string& sql) {
        sqlite3* handle = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
        char* error = nullptr;
        const int rc = sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, &error);
        EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "");
        sqlite3_free(error);
        sqlite3_close(handle);
    }

    std::filesystem::path dir_;
    std::string db;

private:
    std::optional<std::string> previous_path_;
};

TEST_F(SignalStore, UnconfiguredStoreRaises) {
    configure_signal_metadata_store(std::nullopt);
    EXPECT_FALSE(configured_signal_metadata_store().has_value());
    EXPECT_EQ(error_message<runtime::RuntimeError>([] { query_signal_metadata({"a"}, 1, 1); }),
              "signal metadata store is not configured");
}

TEST_F(SignalStore, RoundTripByMarketAndEra) {
    create_signal_metadata_db(db);
    Dict a{{"is_sharpe", 1.0}, {"count", 3}, {"families", Value::list({"x", "y"})},
           {"nested", Dict{{"k", Value()}}}};
    a.set("gap", std::nan(""));
    const Dict b{{"is_sharpe", -0.5}, {"name", "it's \"b\""}};
    EXPECT_EQ(import_signal_metadata(db, Dict{{"a", a}, {"b", b}}, 1, 2), 2u);
    EXPECT_EQ(import_signal_metadata(db, Dict{{"a", Dict{{"era", 3}}}}, 1, 3), 1u);
    EXPECT_EQ(import_signal_metadata(db, Dict{{"a", Dict{{"market", 9}}}}, 9, 2), 1u);
    // Creating again keeps what is there.
    create_signal_metadata_db(db);
    configure_signal_metadata_store(db);

    const Dict got = query_signal_metadata({"b", "a", "missing", "b"}, 1, 2);
    EXPECT_EQ(key_texts(got), (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(got.at("b"), Value(b));
    const Dict& got_a = got.at("a").as_dict();
    EXPECT_EQ(key_texts(got_a), key_texts(a));
    EXPECT_TRUE(got_a.at("is_sharpe").is_float());
    EXPECT_TRUE(got_a.at("count").is_int());
    EXPECT_TRUE(got_a.at("gap").is_nan());
    EXPECT_EQ(got_a.at("families"), a.at("families"));
    EXPECT_EQ(got_a.at("nested"), a.at("nested"));

    EXPECT_EQ(query_signal_metadata({"a", "b"}, 1, 3), (Dict{{"a", Dict{{"era", 3}}}}));
    EXPECT_EQ(query_signal_metadata({"a"}, 9, 2), (Dict{{"a", Dict{{"market", 9}}}}));
    EXPECT_TRUE(query_signal_metadata({"a", "b"}, 2, 2).empty());
    EXPECT_TRUE(query_signal_metadata({}, 1, 2).empty());

    // Importing again replaces the row of the same signal, market and era.
    import_signal_metadata(db, Dict{{"b", Dict{{"is_sharpe", 2.0}}}}, 1, 2);
    EXPECT_EQ(query_signal_metadata({"b"}, 1, 2).at("b"), Value(Dict{{"is_sharpe", 2.0}}));
    EXPECT_EQ(query_signal_metadata({"a"}, 1, 2).at("a").as_dict().size(), a.size());
}

TEST_F(SignalStore, ImportIsAllOrNothing) {
    create_signal_metadata_db(db);
    configure_signal_metadata_store(db);
    EXPECT_EQ(error_message<runtime::ValueError>([&] {
                  import_signal_metadata(db, Dict{{"a", Dict{{"x", 1}}}, {"b", Value::list({1})}}, 1, 1);
              }),
              "metadata of signal 'b' must be a dict, got list");
    Dict int_key;
    int_key.set(Value("a"), Value(Dict{}));
    int_key.set(Value(5), Value(Dict{}));
    EXPECT_THROW(import_signal_metadata(db, int_key, 1, 1), runtime::TypeError);
    const Value obj(std::make_shared<runtime::AttrObject>("Date", Dict{}));
    EXPECT_THROW(import_signal_metadata(db, Dict{{"a", Dict{{"x", 1}}}, {"c", Dict{{"when", obj}}}}, 1, 1),
                 runtime::TypeError);
    EXPECT_TRUE(query_signal_metadata({"a", "b", "c"}, 1, 1).empty());

    const std::string elsewhere = (dir_ / "absent.db").string();
    EXPECT_THROW(import_signal_metadata(elsewhere, Dict{{"a", Dict{}}}, 1, 1), runtime::RuntimeError);
    EXPECT_FALSE(std::filesystem::exists(elsewhere));
}

TEST_F(SignalStore, UnusableStoresRaiseClearErrors) {
    const std::string missing = (dir_ / "missing.db").string();
    configure_signal_metadata_store(missing);
    const std::string missing_message =
        error_message<runtime::RuntimeError>([] { query_signal_metadata({"a"}, 1, 1); });
    EXPECT_TRUE(contains(missing_message, "'" + missing + "'")) << missing_message;
    EXPECT_FALSE(std::filesystem::exists(missing));

    const std::string garbage = (dir_ / "garbage.db").string();
    const std::string junk(4096, 'j');
    std::ofstream(garbage, std::ios::binary) << junk;
    configure_signal_metadata_store(garbage);
    const std::string garbage_message =
        error_message<runtime::RuntimeError>([] { query_signal_metadata({"a"}, 1, 1); });
    EXPECT_TRUE(contains(garbage_message, garbage)) << garbage_message;
    EXPECT_TRUE(contains(garbage_message, "not a database")) << garbage_message;
    EXPECT_EQ(file_bytes(garbage), junk);

    configure_signal_metadata_store(dir_.string());
    EXPECT_THROW(query_signal_metadata({"a"}, 1, 1), runtime::RuntimeError);

    const std::string other = (dir_ / "other.db").string();
    raw_sql(other, "CREATE TABLE unrelated(x INTEGER)");
    configure_signal_metadata_store(other);
    EXPECT_EQ(error_message<runtime::RuntimeError>([] { query_signal_metadata({"a"}, 1, 1); }),
              "signal metadata store '" + other + "' has no table signal_era_results");
}

TEST_F(SignalStore, RowsThatAreNotJsonObjectsNameTheSignal) {
    create_signal_metadata_db(db);
    raw_sql(db,
            "INSERT INTO signal_era_results VALUES ('ok', 1, 1, '{\"a\": 1}'), "
            "('listy', 1, 1, '[1, 2]'), ('broken', 1, 1, '{\"a\": ')");
    configure_signal_metadata_store(db);
    EXPECT_EQ(query_signal_metadata({"ok"}, 1, 1), (Dict{{"ok", Dict{{"a", 1}}}}));
    EXPECT_EQ(error_message<runtime::ValueError>([] { query_signal_metadata({"ok", "listy"}, 1, 1); }),
              "metadata of signal 'listy' (market_id 1, era_number 1) in '" + db +
                  "' is not a JSON object, got list");
    EXPECT_EQ(error_message<runtime::ValueError>([] { query_signal_metadata({"broken"}, 1, 1); }),
              "metadata of signal 'broken' (market_id 1, era_number 1) in '" + db +
                  "' is not valid JSON: Expecting value: line 1 column 7 (char 6)");
}

TEST(SignalMetadataQueryBinding, ReplaceableAndRestorable) {
    const SignalMetadataQuery fake = [](const std::vector<std::string>& ids, std::int64_t,
                                        std::int64_t) {
        Dict out;
        for (const auto& id : ids) out.set(Value(id), Value(Dict{}));
        return out;
    };
    const SignalMetadataQuery previous = set_signal_metadata_query(fake);
    EXPECT_EQ(current_signal_metadata_query()({"x"}, 0, 0), (Dict{{"x", Dict{}}}));
    const SignalMetadataQuery returned = set_signal_metadata_query({});
    EXPECT_EQ(returned({"y"}, 0, 0), (Dict{{"y", Dict{}}}));

    // The restored default reads the configured store.
    const auto previous_path = configured_signal_metadata_store();
    configure_signal_metadata_store(std::nullopt);
    EXPECT_THROW(current_signal_metadata_query()({"x"}, 0, 0), runtime::RuntimeError);
    configure_signal_metadata_store(previous_path);
    set_signal_metadata_query(previous);
}

}  // namespace
}  // namespace brindlecap::functions::evaluation_utils

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::functions::evaluation_utils {
namespace {

using runtime::Dict;
using runtime::Value;
using test::key_texts;
using test::message_of;

// A temporary directory; the configured store path is reset after each test.
class SignalStore : public ::testing::Test {
protected:
    static void raw_sql(const std::string& path, const std::string& sql) {
        sqlite3* handle = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(handle);
        sqlite3_close(handle);
    }
    static std::string query_error(const std::string& store) {
        configure_signal_metadata_store(store);
        return message_of<runtime::RuntimeError>([] { query_signal_metadata({"a"}, 1, 1); });
    }

    test::TempDir dir;
    std::string db = dir.file("signals.db");

private:
};

TEST_F(SignalStore, RoundTripByMarketAndEra) {
    create_signal_metadata_db(db);
    Dict a{{"is_sharpe", 1.0}, {"count", 3}, {"families", Value::list({"x", "y"})}, {"nested", Dict{{"k", Value()}}}};
    a.set("gap", std::nan(""));
    const Dict b{{"is_sharpe", -0.5}, {"name", "it's \"b\""}};
    EXPECT_EQ(import_signal_metadata(db, Dict{{"a", a}, {"b", b}}, 1, 2), 2u);
    EXPECT_EQ(import_signal_metadata(db, Dict{{"a", Dict{{"era", 3}}}}, 1, 3), 1u);
    import_signal_metadata(db, Dict{{"a", Dict{{"market", 9}}}}, 9, 2);
    create_signal_metadata_db(db);  // creating again keeps what is there
    configure_signal_metadata_store(db);

    // Requested order, repeats and unknown ids dropped, kinds and key order as stored.
    const Dict got = query_signal_metadata({"b", "a", "missing", "b"}, 1, 2);
    EXPECT_EQ(key_texts(got), (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(got.at("b"), Value(b));
    const Dict& got_a = got.at("a").as_dict();
    EXPECT_EQ(key_texts(got_a), key_texts(a));
    EXPECT_TRUE(got_a.at("is_sharpe").is_float() && got_a.at("count").is_int() && got_a.at("gap").is_nan());
    EXPECT_EQ(got_a.at("families"), a.at("families"));
    EXPECT_EQ(got_a.at("nested"), a.at("nested"));
    EXPECT_EQ(query_signal_metadata({"a", "b"}, 1, 3), (Dict{{"a", Dict{{"era", 3}}}}));
    EXPECT_EQ(query_signal_metadata({"a"}, 9, 2), (Dict{{"a", Dict{{"market", 9}}}}));
    EXPECT_TRUE(query_signal_metadata({"a", "b"}, 2, 2).empty());

    // Importing again replaces the row of the same signal, market and era.
    import_signal_metadata(db, Dict{{"b", Dict{{"is_sharpe", 2.0}}}}, 1, 2);
    EXPECT_EQ(query_signal_metadata({"b"}, 1, 2).at("b"), Value(Dict{{"is_sharpe", 2.0}}));
}

TEST_F(SignalStore, ImportIsAllOrNothing) {
    create_signal_metadata_db(db);
    configure_signal_metadata_store(db);
    EXPECT_EQ(message_of<runtime::ValueError>([&] {
                  import_signal_metadata(db, Dict{{"a", Dict{{"x", 1}}}, {"b", Value::list({1})}}, 1, 1);
              }),
              "metadata of signal 'b' must be a dict, got list");
    Dict int_key{{"a", Dict{}}};
    int_key.set(Value(5), Value(Dict{}));
    EXPECT_THROW(import_signal_metadata(db, int_key, 1, 1), runtime::TypeError);
    const Value obj(std::make_shared<runtime::AttrObject>("Date", Dict{}));
    EXPECT_THROW(import_signal_metadata(db, Dict{{"a", Dict{{"x", 1}}}, {"c", Dict{{"when", obj}}}}, 1, 1),
                 runtime::TypeError);
    EXPECT_TRUE(query_signal_metadata({"a", "b", "c"}, 1, 1).empty());

    const std::string elsewhere = dir.file("absent.db");
    EXPECT_THROW(import_signal_metadata(elsewhere, Dict{{"a", Dict{}}}, 1, 1), runtime::RuntimeError);
    EXPECT_FALSE(std::filesystem::exists(elsewhere));
}

TEST_F(SignalStore, UnusableStoresRaiseClearErrorsAndChangeNothing) {
    configure_signal_metadata_store(std::nullopt);
    EXPECT_EQ(message_of<runtime::RuntimeError>([] { query_signal_metadata({"a"}, 1, 1); }),
              "signal metadata store is not configured");

    const std::string missing = dir.file("missing.db");
    EXPECT_NE(query_error(missing).find("'" + missing + "'"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(missing));

    const std::string garbage = dir.file("garbage.db");
    const std::string junk(4096, 'j');
    std::ofstream(garbage, std::ios::binary) << junk;
    const std::string garbage_message = query_error(garbage);
    EXPECT_NE(garbage_message.find(garbage), std::string::npos) << garbage_message;
    EXPECT_NE(garbage_message.find("not a database"), std::string::npos) << garbage_message;
    std::ostringstream after;
    after << std::ifstream(garbage, std::ios::binary).rdbuf();
    EXPECT_EQ(after.str(), junk);

    const std::string other = dir.file("other.db");
    raw_sql(other, "CREATE TABLE unrelated(x INTEGER)");
    EXPECT_EQ(query_error(other), "signal metadata store '" + other + "' has no table signal_era_results");
}

TEST_F(SignalStore, RowsThatAreNotJsonObjectsNameTheSignal) {
    create_signal_metadata_db(db);
    raw_sql(db, "INSERT INTO signal_era_results VALUES ('ok', 1, 1, '{\"a\": 1}'), "
                "('listy', 1, 1, '[1, 2]'), ('broken', 1, 1, '{\"a\": ')");
    configure_signal_metadata_store(db);
    EXPECT_EQ(query_signal_metadata({"ok"}, 1, 1), (Dict{{"ok", Dict{{"a", 1}}}}));
    EXPECT_EQ(message_of<runtime::ValueError>([] { query_signal_metadata({"ok", "listy"}, 1, 1); }),
              "metadata of signal 'listy' (market_id 1, era_number 1) in '" + db + "' is not a JSON object, got list");
    EXPECT_EQ(message_of<runtime::ValueError>([] { query_signal_metadata({"broken"}, 1, 1); }),
              "metadata of signal 'broken' (market_id 1, era_number 1) in '" + db +
                  "' is not valid JSON: Expecting value: line 1 column 7 (char 6)");
}

}  // namespace
}  // namespace brindlecap::functions::evaluation_utils

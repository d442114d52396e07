#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"

#include <sqlite3.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/process_state_internal.hpp"
#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/warnings.hpp"

namespace brindlecap::functions::evaluation_utils {

std::string_view to_string(CheckStatus status) noexcept {
    switch (status) {
        case CheckStatus::pass:
            return "pass";
        case CheckStatus::fail:
            return "fail";
        case CheckStatus::skip:
            return "skip";
    }
    return "fail";
}

std::optional<CheckStatus> parse_check_status(std::string_view text) noexcept {
    for (const CheckStatus s : {CheckStatus::pass, CheckStatus::fail, CheckStatus::skip}) {
        if (to_string(s) == text) return s;
    }
    return std::nullopt;
}


using runtime::Dict;
using runtime::Value;

namespace {

constexpr const char* TABLE = "signal_era_results";

std::mutex state_mutex;
std::optional<std::string> store_path;
SignalMetadataQuery query_binding = &query_signal_metadata;

class Database {
public:
    Database(const std::string& path, int flags, const char* action) : path_(path) {
        const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
        if (rc != SQLITE_OK) {
            const std::string reason = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
            sqlite3_close(db_);
            db_ = nullptr;
            throw runtime::RuntimeError(std::string("cannot ") + action + " signal metadata store '" +
                                        path + "': " + reason);
        }
        sqlite3_busy_timeout(db_, 5000);
    }
    ~Database() { sqlite3_close(db_); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    sqlite3* get() const { return db_; }
    const std::string& path() const { return path_; }
    std::string error() const { return sqlite3_errmsg(db_); }

    void exec(const char* sql, const char* action) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            std::string reason = message ? message : error();
            sqlite3_free(message);
            throw runtime::RuntimeError(std::string("cannot ") + action + " signal metadata store '" +
                                        path_ + "': " + reason);
        }
    }

private:
    std::string path_;
    sqlite3* db_ = nullptr;
};

class Statement {
public:
    Statement(Database& db, const char* sql, const char* action) {
        if (sqlite3_prepare_v2(db.get(), sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            throw runtime::RuntimeError(std::string("cannot ") + action + " signal metadata store '" +
                                        db.path() + "': " + db.error());
        }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

bool has_table(Database& db, const char* action) {
    Statement stmt(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1", action);
    sqlite3_bind_text(stmt.get(), 1, TABLE, -1, SQLITE_STATIC);
    const int rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw runtime::RuntimeError(std::string("cannot ") + action + " signal metadata store '" +
                                db.path() + "': " + db.error());
}

// A write that did not finish (a killed import, a full disk) leaves a hot journal, which only a
// connection that can write may roll back; on a read-only one every read fails with
// SQLITE_READONLY_ROLLBACK ("attempt to write a readonly database").
bool meets_hot_journal(Database& db) {
    const int rc =
        sqlite3_exec(db.get(), "SELECT 1 FROM sqlite_master LIMIT 1", nullptr, nullptr, nullptr);
    return rc != SQLITE_OK && sqlite3_extended_errcode(db.get()) == SQLITE_READONLY_ROLLBACK;
}

// Opens the database read-write once, so that SQLite rolls the journal back on the first read.
void roll_back_hot_journal(const std::string& path) {
    const std::string found = "signal metadata store '" + path + "' has a hot journal ('" + path +
                              "-journal') left by a write that did not finish";
    try {
        Database db(path, SQLITE_OPEN_READWRITE, "open");
        db.exec("SELECT 1 FROM sqlite_master LIMIT 1", "roll back");
    } catch (const runtime::RuntimeError& e) {
        throw runtime::RuntimeError(
            found + "; rolling it back needs write access to the file and its directory (" +
            e.message() + "). Run sqlite3 '" + path +
            "' 'PRAGMA quick_check' as a user who may write both, then try again.");
    }
    runtime::warn(found + "; rolled it back to the last completed import");
}

// ValueError when the database has the table with other columns or another primary key
// (CREATE TABLE IF NOT EXISTS would keep it, and every import would fail).
void require_table_shape(Database& db, const char* action) {
    static constexpr const char* COLUMNS = "signal_id, market_id, era_number, metadata";
    static constexpr const char* KEY = "signal_id, market_id, era_number";
    Statement stmt(db, "PRAGMA table_info(signal_era_results)", action);
    std::string columns;
    std::map<int, std::string> key;  // place in the primary key -> column
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 1));
        columns += (columns.empty() ? "" : ", ") + std::string(name ? name : "");
        if (const int place = sqlite3_column_int(stmt.get(), 5); place > 0) key[place] = name ? name : "";
    }
    if (rc != SQLITE_DONE) {
        throw runtime::RuntimeError(std::string("cannot ") + action + " signal metadata store '" + db.path() +
                                    "': " + db.error());
    }
    if (columns.empty()) return;  // no such table
    std::string key_columns;
    for (const auto& [place, name] : key) key_columns += (key_columns.empty() ? "" : ", ") + name;
    if (columns == COLUMNS && key_columns == KEY) return;
    const std::string has_key = key_columns.empty() ? "no primary key" : "primary key (" + key_columns + ")";
    throw runtime::ValueError("signal metadata database '" + db.path() + "': table " + TABLE + " has columns (" +
                              columns + ") and " + has_key + "; expected columns (" + COLUMNS +
                              ") with primary key (" + KEY + "). Use another database file, or drop or rename the table.");
}

std::string row_identity(const std::string& id, std::int64_t market_id, std::int64_t era_number) {
    return "signal " + runtime::repr(std::string_view{id}) + " (market_id " +
           std::to_string(market_id) + ", era_number " + std::to_string(era_number) + ")";
}

}  // namespace

void configure_signal_metadata_store(std::optional<std::string> db_path) {
    std::lock_guard lock(state_mutex);
    store_path = std::move(db_path);
}

std::optional<std::string> configured_signal_metadata_store() {
    std::lock_guard lock(state_mutex);
    return store_path;
}

Dict query_signal_metadata(const std::vector<std::string>& signal_ids, std::int64_t market_id,
                           std::int64_t era_number) {
    const std::optional<std::string> path = configured_signal_metadata_store();
    if (!path) throw runtime::RuntimeError("signal metadata store is not configured");

    std::optional<Database> opened(std::in_place, *path, SQLITE_OPEN_READONLY, "open");
    if (meets_hot_journal(*opened)) {
        opened.reset();
        roll_back_hot_journal(*path);
        opened.emplace(*path, SQLITE_OPEN_READONLY, "open");
    }
    Database& db = *opened;
    if (!has_table(db, "read"))
        throw runtime::RuntimeError("signal metadata store '" + *path + "' has no table " + TABLE);

    Statement stmt(db,
                   "SELECT metadata FROM signal_era_results "
                   "WHERE signal_id = ?1 AND market_id = ?2 AND era_number = ?3",
                   "read");
    Dict result;
    for (const std::string& id : signal_ids) {
        if (result.contains(std::string_view{id})) continue;
        sqlite3_reset(stmt.get());
        sqlite3_bind_text(stmt.get(), 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(stmt.get(), 2, market_id);
        sqlite3_bind_int64(stmt.get(), 3, era_number);
        const int rc = sqlite3_step(stmt.get());
        if (rc == SQLITE_DONE) continue;
        if (rc != SQLITE_ROW)
            throw runtime::RuntimeError("cannot read signal metadata store '" + *path +
                                        "': " + db.error());
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
        const int size = sqlite3_column_bytes(stmt.get(), 0);
        Value metadata;
        try {
            metadata = runtime::parse_json(std::string_view(text ? text : "", text ? size : 0));
        } catch (const runtime::ValueError& e) {
            throw runtime::ValueError("metadata of " + row_identity(id, market_id, era_number) +
                                      " in '" + *path + "' is not valid JSON: " + e.message());
        }
        if (!metadata.is_dict())
            throw runtime::ValueError("metadata of " + row_identity(id, market_id, era_number) +
                                      " in '" + *path + "' is not a JSON object, got " +
                                      runtime::type_name(metadata));
        result.set(Value{id}, std::move(metadata));
    }
    return result;
}

SignalMetadataQuery set_signal_metadata_query(SignalMetadataQuery query) {
    if (!query) query = &query_signal_metadata;
    std::lock_guard lock(state_mutex);
    return std::exchange(query_binding, std::move(query));
}

SignalMetadataQuery current_signal_metadata_query() {
    std::lock_guard lock(state_mutex);
    return query_binding;
}

namespace {
const runtime::detail::RegisteredSlot metadata_store_slot{
    "signal metadata database", [] { configure_signal_metadata_store(std::nullopt); },
    runtime::detail::SlotHolds::library_values};
const runtime::detail::RegisteredSlot metadata_query_slot{
    "signal metadata query", [] { set_signal_metadata_query({}); }, runtime::detail::SlotHolds::host_objects};
}  // namespace

void create_signal_metadata_db(const std::string& db_path) {
    Database db(db_path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, "create");
    require_table_shape(db, "create");
    db.exec(
        "CREATE TABLE IF NOT EXISTS signal_era_results ("
        "signal_id TEXT NOT NULL, "
        "market_id INTEGER NOT NULL, "
        "era_number INTEGER NOT NULL, "
        "metadata TEXT NOT NULL, "
        "PRIMARY KEY (signal_id, market_id, era_number))",
        "create");
}

std::size_t import_signal_metadata(const std::string& db_path, const Dict& signals,
                                   std::int64_t market_id, std::int64_t era_number) {
    // Everything is checked and serialised before the database is touched.
    std::vector<std::pair<std::string, std::string>> rows;
    rows.reserve(signals.size());
    for (const auto& [key, metadata] : signals) {
        if (!key.is_str())
            throw runtime::TypeError("signal id must be a string, got " + runtime::type_name(key));
        if (!metadata.is_dict())
            throw runtime::ValueError("metadata of signal " + runtime::repr(key) +
                                      " must be a dict, got " + runtime::type_name(metadata));
        rows.emplace_back(key.as_str(), runtime::to_json(metadata));
    }

    Database db(db_path, SQLITE_OPEN_READWRITE, "open");
    if (!has_table(db, "write"))
        throw runtime::RuntimeError("signal metadata store '" + db_path + "' has no table " + TABLE);
    require_table_shape(db, "write");
    db.exec("BEGIN IMMEDIATE", "write");
    try {
        Statement stmt(db,
                       "INSERT OR REPLACE INTO signal_era_results "
                       "(signal_id, market_id, era_number, metadata) VALUES (?1, ?2, ?3, ?4)",
                       "write");
        for (const auto& [id, json] : rows) {
            sqlite3_reset(stmt.get());
            sqlite3_bind_text(stmt.get(), 1, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
            sqlite3_bind_int64(stmt.get(), 2, market_id);
            sqlite3_bind_int64(stmt.get(), 3, era_number);
            sqlite3_bind_text(stmt.get(), 4, json.data(), static_cast<int>(json.size()),
                              SQLITE_STATIC);
            if (sqlite3_step(stmt.get()) != SQLITE_DONE)
                throw runtime::RuntimeError("cannot write signal metadata store '" + db_path +
                                            "': " + db.error());
        }
    } catch (...) {
        sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    db.exec("COMMIT", "write");
    return rows.size();
}

}  // namespace brindlecap::functions::evaluation_utils

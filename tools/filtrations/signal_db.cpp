#include "signal_db.hpp"

#include <sqlite3.h>

#include <map>
#include <memory>

#include "inputs.hpp"

namespace brindlecap::cli {

void check_signal_table(const std::string& path) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    const auto fail = [&] {
        throw InputError("cannot read signal metadata database '" + path + "': " +
                         (db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc)));
    };
    if (rc != SQLITE_OK) fail();

    // Column name -> place in the primary key (0: not in it), in table order.
    sqlite3_stmt* raw_stmt = nullptr;
    const std::string sql = std::string("PRAGMA table_info(") + SIGNAL_TABLE + ")";
    if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &raw_stmt, nullptr) != SQLITE_OK) fail();
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw_stmt, sqlite3_finalize);
    std::string columns;
    std::map<int, std::string> key;
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 1));
        columns += (columns.empty() ? "" : ", ") + std::string(name ? name : "");
        const int place = sqlite3_column_int(stmt.get(), 5);
        if (place > 0) key[place] = name ? name : "";
    }
    if (step != SQLITE_DONE) fail();
    if (columns.empty()) return;  // no such table

    std::string key_columns;
    for (const auto& [place, name] : key) key_columns += (key_columns.empty() ? "" : ", ") + name;
    if (columns != SIGNAL_TABLE_COLUMNS || key_columns != SIGNAL_TABLE_KEY) {
        const std::string has_key =
            key_columns.empty() ? "no primary key" : "primary key (" + key_columns + ")";
        throw InputError("signal metadata database '" + path + "': table " + SIGNAL_TABLE +
                         " has columns (" + columns + ") and " + has_key + "; expected columns (" +
                         SIGNAL_TABLE_COLUMNS + ") with primary key (" + SIGNAL_TABLE_KEY +
                         "). Use another database file, or drop or rename the table.");
    }
}

}  // namespace brindlecap::cli

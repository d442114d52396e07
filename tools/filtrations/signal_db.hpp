#pragma once
// A look at an existing signal metadata database before db init / db import write to it.

#include <string>

namespace brindlecap::cli {

// The table real mode reads, with its columns in the order create_signal_metadata_db makes them
// and the columns of its primary key.
inline constexpr const char* SIGNAL_TABLE = "signal_era_results";
inline constexpr const char* SIGNAL_TABLE_COLUMNS = "signal_id, market_id, era_number, metadata";
inline constexpr const char* SIGNAL_TABLE_KEY = "signal_id, market_id, era_number";

// InputError when the database at `path` has table signal_era_results with other columns or
// another primary key (CREATE TABLE IF NOT EXISTS would keep it, and every import would fail).
// A database without the table passes.
void check_signal_table(const std::string& path);

}  // namespace brindlecap::cli

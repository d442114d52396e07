// The DuckDB engine of the side-by-side benchmark (run.py): loads signals.csv into an in-memory
// table (one thread), then times the SQL form of one of two trees
//   families    and_(gt(is_sharpe, 0.0), or_(in_(rotation_families_used, ["numerical"]), top_pct(is_returns, 0.2)))
//   categories  and_(gt(is_sharpe, 0.0), top_pct(is_returns, 0.2), in_(signal_category, ["momentum", "quality"]))
// including fetching the ids into JavaScript strings.
//
//   node duckdb_engine.mjs CSV REPS IDS_OUT [families|categories] [--list-has-any]
//
// Prints one JSON object like the C++ engine's, plus `engine_ms`: the query with its result
// materialised inside DuckDB, before the ids become JavaScript strings. IDS_OUT gets the ids, one
// per line. in_ is list_contains (one target); --list-has-any writes the general form
// list_has_any(field, [targets]) instead, which DuckDB runs several times slower.

import { writeFileSync } from 'node:fs';
import { DuckDBInstance } from '@duckdb/node-api';

// DuckDB orders NaN above every number and NaN > 0.0 is true, so NaN is excluded explicitly.
// The cut-off count is computed in DOUBLE, as the library does (a bare 0.2 is DECIMAL here).
const queryText = (tree, inPredicate) => `
WITH ranked AS (
    SELECT is_returns FROM signals WHERE NOT isnan(is_returns)
),
cutoff AS (
    SELECT is_returns AS value FROM ranked
    ORDER BY is_returns DESC
    LIMIT 1
    OFFSET (SELECT greatest(ceil(count(*)::DOUBLE * 0.2::DOUBLE), 1)::BIGINT - 1 FROM ranked)
)
SELECT id FROM signals
WHERE NOT isnan(is_sharpe) AND is_sharpe > 0.0
  AND ${tree === 'categories'
        ? `NOT isnan(is_returns) AND is_returns >= (SELECT value FROM cutoff)
  AND signal_category IN ('momentum', 'quality')`
        : `(${inPredicate}
       OR (NOT isnan(is_returns) AND is_returns >= (SELECT value FROM cutoff)))`}
ORDER BY id`;

function median(values) {
    const v = [...values].sort((a, b) => a - b);
    const n = v.length;
    return n % 2 === 1 ? v[(n - 1) / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

async function main() {
    const [csv, repsArg, idsOut, treeArg, variant] = process.argv.slice(2);
    const reps = Number(repsArg);
    const tree = treeArg ?? 'families';
    if (!csv || !(reps >= 1) || !idsOut || !['families', 'categories'].includes(tree) ||
        (variant !== undefined && variant !== '--list-has-any')) {
        console.error('usage: node duckdb_engine.mjs CSV REPS IDS_OUT [families|categories] [--list-has-any]');
        process.exit(2);
    }
    const inPredicate = variant
        ? "list_has_any(rotation_families_used, ['numerical'])"
        : "list_contains(rotation_families_used, 'numerical')";
    const sql = queryText(tree, inPredicate);

    const instance = await DuckDBInstance.create(':memory:', { threads: '1' });
    const con = await instance.connect();
    await con.run('SET threads = 1');
    const version = (await con.runAndReadAll('SELECT version()')).getColumns()[0][0];

    let start = performance.now();
    await con.run(`
        CREATE TABLE signals AS
        SELECT id, is_sharpe, is_returns, is_turnover,
               string_split(rotation_families_used, '|') AS rotation_families_used,
               signal_category, is_active, expression_complexity
        FROM read_csv('${csv.replaceAll("'", "''")}', header = true, columns = {
            'id': 'VARCHAR', 'is_sharpe': 'DOUBLE', 'is_returns': 'DOUBLE', 'is_turnover': 'DOUBLE',
            'rotation_families_used': 'VARCHAR', 'signal_category': 'VARCHAR', 'is_active': 'BOOLEAN',
            'expression_complexity': 'BIGINT'})`);
    const loadMs = performance.now() - start;
    const rows = Number((await con.runAndReadAll('SELECT count(*) FROM signals')).getColumns()[0][0]);

    // Milliseconds to the materialised result and to the ids as JavaScript strings.
    const query = async () => {
        const t0 = performance.now();
        const result = await con.runAndReadAll(sql);
        const t1 = performance.now();
        const ids = result.getColumns()[0] ?? [];
        return { ids, engineMs: t1 - t0, ms: performance.now() - t0 };
    };

    const first = await query();
    const ids = first.ids;

    const times = [];
    const engineTimes = [];
    for (let r = 0; r < reps; ++r) {
        const { ids: again, engineMs, ms } = await query();
        times.push(ms);
        engineTimes.push(engineMs);
        if (again.length !== ids.length || again.some((id, i) => id !== ids[i])) {
            console.error(`duckdb_engine: repetition ${r + 1} returned other ids`);
            process.exit(1);
        }
    }

    writeFileSync(idsOut, ids.map((id) => id + '\n').join(''));
    console.log(JSON.stringify({
        engine: 'duckdb', version, tree, in_: inPredicate, signals: rows, passing: ids.length, load_ms: loadMs,
        first_ms: first.ms, times_ms: times, median_ms: median(times), engine_ms: median(engineTimes),
    }));
}

await main();

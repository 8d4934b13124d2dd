// DuckDB doing the counting of a flights ingest, as a benchmark peer: the
// CSV read into memory, then the rows counted by month (or day), origin and
// destination into the 20 equal-width bins of delay and of distance (the
// histograms the ingest builds). Prints the seconds it took and the
// process's peak resident memory in KB.
//   node bench/duckdb_flights.mjs <csv> <threads> [monthly|daily]
// with NODE_PATH naming the node_modules that holds @duckdb/node-api.
import { createRequire } from 'node:module';
import path from 'node:path';

const require = createRequire(path.join(process.env.NODE_PATH ?? '.', 'x.js'));
const { DuckDBInstance } = require('@duckdb/node-api');

const [csv, threads, granularity = 'monthly'] = process.argv.slice(2);
const bucket = granularity === 'daily' ? '%Y-%m-%d' : '%Y-%m';
const instance = await DuckDBInstance.create(':memory:', { threads: String(threads) });
const conn = await instance.connect();
const bins = (col) => `
  SELECT strftime(date, '${bucket}') AS bucket, origin, destination,
         least(19, greatest(0, floor((${col} - lo) / ((hi - lo) / 20))))::INTEGER AS bin, count(*) AS n
  FROM f, (SELECT min(${col}) AS lo, max(${col}) AS hi FROM f)
  GROUP BY ALL`;
const start = performance.now();
await conn.run(`CREATE TABLE f AS SELECT * FROM read_csv('${csv.replaceAll("'", "''")}', header = true)`);
const delay = await conn.runAndReadAll(bins('delay'));
const distance = await conn.runAndReadAll(bins('distance'));
const seconds = (performance.now() - start) / 1000;
console.log(`${seconds.toFixed(4)} ${process.resourceUsage().maxRSS} ${delay.currentRowCount} ${distance.currentRowCount}`);

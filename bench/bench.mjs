// Drives one benchmark run over the generated libraries and writes the report.
//   node bench/bench.mjs --build DIR --libraries DIR --out DIR [--runs N] [--calls N]
// Every bound (openssl, cat, grep, a trivial process) is measured in the same
// run, right beside the figure it bounds, and every figure is a median.
import { execFileSync, spawnSync } from "node:child_process";
import { mkdirSync, readdirSync, rmSync, statSync, writeFileSync } from "node:fs";
import os from "node:os";
import path from "node:path";
import { sharedMemory, startTimes, stats, toolRoundTrips } from "./client.mjs";
import { rcloneRefresh } from "./mount.mjs";

const options = { runs: 5, calls: 50 };
for (let i = 2; i + 1 < process.argv.length; i += 2)
  options[process.argv[i].replace(/^--/, "")] = process.argv[i + 1];
const runs = Number(options.runs), calls = Number(options.calls);
const bin = path.join(options.build, "bin");
const server = path.join(bin, "quillmere-mcp");
const sizes = [["S", 200], ["M", 2000], ["L", 6000]];
const probe = "zephyrine", absent = "qwxyzzy";
const now = () => Number(process.hrtime.bigint()) / 1e6;
const median = (values) => stats(values).median;
const log = (text) => process.stderr.write(text + "\n");

function recordFiles(root) {
  const files = [];
  for (const source of readdirSync(root)) {
    const records = path.join(root, source, "records");
    try {
      for (const name of readdirSync(records)) files.push(path.join(records, name));
    } catch {}
  }
  return files.sort();
}

// Wall time of a shell pipeline, in milliseconds.
function timeShell(script, env) {
  const start = now();
  const result = spawnSync("sh", ["-c", script], { env: { ...process.env, ...env }, stdio: ["ignore", "ignore", "inherit"] });
  if (result.status !== 0) throw new Error(`failed: ${script}`);
  return now() - start;
}

function refreshBench(root, extra = []) {
  // The index an earlier process stored (hundreds of MiB on L) is still being
  // written back, or freed after its removal: every process starts after that.
  execFileSync("sync");
  const out = execFileSync(path.join(bin, "bench-refresh"), ["--root", root, ...extra], { encoding: "utf8", maxBuffer: 1 << 26 });
  return JSON.parse(out);
}

const tmp = path.join(os.tmpdir(), `quillmere-bench-${process.pid}`);
mkdirSync(tmp, { recursive: true });
const results = { sizes: {} };

for (const [size, count] of sizes) {
  const root = path.resolve(options.libraries, size);
  const files = recordFiles(root);
  const list = path.join(tmp, `${size}.files`);
  writeFileSync(list, files.join("\0"));
  const bytes = files.reduce((sum, f) => sum + statSync(f).size, 0);
  const r = { recordings: count, files: files.length, bytes };
  log(`${size}: ${files.length} record files, ${(bytes / 1048576).toFixed(1)} MiB`);

  // The servers' own cache folder, so the record index is this run's alone.
  const xdg = { XDG_CACHE_HOME: path.join(tmp, `${size}-xdg`) };
  const index = path.join(xdg.XDG_CACHE_HOME, "QuillmereBridge", "Index");
  const checked = (bench, inMemory) => {
    if (bench.items !== count || bench.issues !== 0) throw new Error(`${size}: ${bench.items} items, ${bench.issues} issues`);
    if (inMemory !== undefined && bench.in_memory !== inMemory) throw new Error(`${size}: ${bench.in_memory} recordings in memory`);
    return bench;
  };

  // Read everything once so every measurement below starts from the page cache.
  timeShell(`xargs -0 cat < "$LIST" > /dev/null`, { LIST: list });
  const openssl = [], cat = [], cold = [], warm = [], coldEmpty = [], coldMemory = [], warmMemory = [];
  for (let i = 0; i < runs; ++i) {
    openssl.push(timeShell(`xargs -0 openssl dgst -sha256 < "$LIST" > /dev/null`, { LIST: list }));
    cat.push(timeShell(`xargs -0 cat < "$LIST" > /dev/null`, { LIST: list }));
    // Without an index (every record decoded by each process), into an empty
    // one (decoded and stored), then a new process over the filled one. The
    // run without an index goes first and last in turn, so neither side of
    // the empty-index ratio always follows the other.
    const withoutIndex = () => {
      const memoryOnly = checked(refreshBench(root, ["--warm", "5"]), count);
      coldMemory.push(memoryOnly.cold_ms);
      warmMemory.push(median(memoryOnly.warm_ms));
    };
    if (i % 2 === 0) withoutIndex();
    rmSync(index, { recursive: true, force: true });
    coldEmpty.push(checked(refreshBench(root, ["--index", index, "--warm", "0"]), count).cold_ms);
    const bench = checked(refreshBench(root, ["--index", index, "--warm", "5"]), 0);
    cold.push(bench.cold_ms);
    warm.push(median(bench.warm_ms));
    r.longestKey = bench.longest_key;
    r.audioKey = bench.audio_key;
    if (i % 2 === 1) withoutIndex();
  }
  Object.assign(r, { openssl: median(openssl), cat: median(cat), cold: median(cold), warm: median(warm),
    coldEmpty: median(coldEmpty), coldMemory: median(coldMemory), warmMemory: median(warmMemory) });
  log(`  warm ${r.warm.toFixed(1)} ms, cold ${r.cold.toFixed(1)} ms (empty index ${r.coldEmpty.toFixed(1)}, none ${r.coldMemory.toFixed(1)}), ` +
    `openssl ${r.openssl.toFixed(1)} ms, cat ${r.cat.toFixed(1)} ms`);

  if (size === "M") {
    const text = path.join(tmp, "M.txt");
    const search = {};
    for (const word of [probe, absent]) {
      const bench = refreshBench(root, ["--index", index, "--warm", "0", "--search", word, "--repeat", String(Math.max(10, runs * 2)), "--extract", text]);
      // Not straight to /dev/null: GNU grep then stops at the first match.
      const counted = path.join(tmp, "grep.count");
      const grep = [];
      for (let i = 0; i < runs * 2; ++i)
        grep.push(timeShell(`grep -F -i -c "$WORD" "$TEXT" > "$OUT" || true`, { WORD: word, TEXT: text, OUT: counted }));
      search[word] = { server: median(bench.search_ms), grep: median(grep) };
    }
    search.textBytes = statSync(text).size;
    r.search = search;
    log(`  search ${JSON.stringify(search)}`);
  }

  const cache = path.join(tmp, `${size}-cache`);
  const toolCalls = [
    { label: "get_sync_status", name: "get_sync_status", arguments: {} },
    { label: "list_recordings", name: "list_recordings", arguments: {} },
    { label: "search_transcripts (1%)", name: "search_transcripts", arguments: { query: probe } },
    { label: "search_transcripts (none)", name: "search_transcripts", arguments: { query: absent } },
    { label: "get_transcript (longest)", name: "get_transcript", arguments: { recording_key: r.longestKey } },
    { label: "get_audio (cached)", name: "get_audio", arguments: { recording_key: r.audioKey } },
  ];
  r.tools = await toolRoundTrips(server, root, cache, toolCalls, calls, xdg);
  log(`  list_recordings ${r.tools.list_recordings.median.toFixed(2)} ms, peak RSS ${(r.tools.peakResidentKiB / 1024).toFixed(1)} MiB`);
  if (size === "S") r.start = await startTimes(server, root, cache, Math.max(20, runs * 4), xdg);
  // The first refresh over the mount fills its cache; the warm ones are compared.
  if (size === "M") r.rclone = rcloneRefresh(root, tmp, runs, (dir) => {
    const bench = refreshBench(dir, ["--warm", "3"]);
    if (bench.items !== count) throw new Error(`${size} over rclone: ${bench.items} items`);
    return median(bench.warm_ms);
  });
  if (size === "L") {
    // Every tool once, so each server has touched every passage text.
    const alone = await sharedMemory(server, root, cache, toolCalls, 1, xdg);
    const three = await sharedMemory(server, root, cache, toolCalls, 3, xdg);
    r.shared = { alone: alone[0], three };
    log(`  memory alone ${JSON.stringify(alone[0])} KiB, three ${JSON.stringify(three)} KiB`);
  }
  results.sizes[size] = r;
}
rmSync(tmp, { recursive: true, force: true });

results.machine = {
  date: new Date().toISOString().replace(/\.\d+Z$/, "Z"),
  cpu: os.cpus()[0].model,
  cores: os.cpus().length,
  memoryGiB: Math.round(os.totalmem() / 2 ** 30),
  kernel: os.release(),
  loadavg: os.loadavg().map((l) => l.toFixed(2)).join(" "),
  openssl: execFileSync("openssl", ["version"], { encoding: "utf8" }).trim(),
};
results.counts = { runs, calls };
writeFileSync(path.join(options.out, "latest.json"), JSON.stringify(results, null, 2) + "\n");
const { writeReport } = await import("./report.mjs");
writeReport(results, options.out, { runs, calls });

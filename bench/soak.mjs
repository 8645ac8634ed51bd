// Soak: one quillmere-mcp process answering many mixed tool calls over stdio,
// one at a time, on one library. Reports resident memory after the first
// answered call and at the end, the peak, and every error response or failed
// tool result by kind.
//   node bench/soak.mjs --server BIN --root DIR --cache DIR [--calls N]
import { spawn } from "node:child_process";
import { readFileSync } from "node:fs";

const args = process.argv.slice(2);
const option = (name, fallback) => {
  const at = args.indexOf(name);
  return at >= 0 && at + 1 < args.length ? args[at + 1] : fallback;
};
const server = option("--server");
const root = option("--root");
const cache = option("--cache");
const calls = Number(option("--calls", "100000"));
if (!server || !root || !cache) {
  process.stderr.write("usage: node bench/soak.mjs --server BIN --root DIR --cache DIR [--calls N]\n");
  process.exit(2);
}

const child = spawn(server, ["--stdio", "--cloud-root", root, "--cache-root", cache], {
  stdio: ["pipe", "pipe", "inherit"],
});
let buffer = "";
let waiting = null;
child.stdout.setEncoding("utf8");
child.stdout.on("data", (chunk) => {
  buffer += chunk;
  let newline;
  while ((newline = buffer.indexOf("\n")) >= 0) {
    const line = buffer.slice(0, newline);
    buffer = buffer.slice(newline + 1);
    const resolve = waiting;
    waiting = null;
    if (resolve) resolve(JSON.parse(line));
  }
});
child.on("exit", (code, signal) => {
  if (waiting) {
    process.stderr.write(`soak: server ended early (${code ?? signal})\n`);
    process.exit(1);
  }
});

let nextId = 1;
function request(method, params) {
  return new Promise((resolve) => {
    waiting = resolve;
    child.stdin.write(JSON.stringify({ jsonrpc: "2.0", id: nextId++, method, params }) + "\n");
  });
}

function residentKiB() {
  const status = readFileSync(`/proc/${child.pid}/status`, "utf8");
  const value = (key) => Number(status.match(new RegExp(`${key}:\\s+(\\d+)`))[1]);
  return { rss: value("VmRSS"), peak: value("VmHWM") };
}

// A fixed-seed generator, so two soaks make the same calls.
let seed = 12345;
const random = () => ((seed = (seed * 1103515245 + 12345) % 2147483648) / 2147483648);
const pick = (list) => list[Math.floor(random() * list.length)];

const queries = ["zephyrine", "qwxyzzy", "budget", "预算", "会议", "café", "MÜNCHEN", "the"];
const errors = new Map();
const count = (kind) => errors.set(kind, (errors.get(kind) ?? 0) + 1);

const init = await request("initialize", {
  protocolVersion: "2025-11-25",
  capabilities: {},
  clientInfo: { name: "soak", version: "1" },
});
if (!init.result) throw new Error("initialize failed");
child.stdin.write(JSON.stringify({ jsonrpc: "2.0", method: "notifications/initialized" }) + "\n");

async function call(name, args) {
  const response = await request("tools/call", { name, arguments: args });
  if (response.error) {
    count(`error ${response.error.code}`);
    return null;
  }
  if (response.result.isError) {
    count(response.result.content[0].text.split(":")[0]);
    return null;
  }
  return response.result.structuredContent;
}

let keys = (await call("list_recordings", { limit: 100 }))?.items.map((i) => i.recording_key) ?? [];
const start = residentKiB();
const started = Date.now();
let cursor = null;
for (let i = 1; i <= calls; ++i) {
  const kind = random();
  if (kind < 0.25) {
    const page = await call("list_recordings", cursor ? { cursor, limit: 50 } : { limit: 50 });
    cursor = page?.next_cursor ?? null;
    if (page) keys = keys.concat(page.items.map((item) => item.recording_key)).slice(-500);
  } else if (kind < 0.5) {
    await call("search_transcripts", { query: pick(queries), limit: 20 });
  } else if (kind < 0.75 && keys.length) {
    const start = Math.floor(random() * 600);
    await call("get_transcript", { recording_key: pick(keys), start_seconds: start, end_seconds: start + 120 });
  } else if (kind < 0.85 && keys.length) {
    await call("get_audio", { recording_key: pick(keys) });
  } else if (kind < 0.95) {
    await call("get_sync_status", {});
  } else {
    // Refused by the server on purpose: not counted as errors of the soak.
    const response = await request("tools/call", { name: "get_transcript", arguments: { recording_key: "nope" } });
    if (!response.result?.isError) count("unexpected success for an unknown key");
  }
  if (i % 1000 === 0) {
    const now = residentKiB();
    process.stderr.write(`soak: ${i} calls, ${((Date.now() - started) / 1000).toFixed(0)} s, RSS ${(now.rss / 1024).toFixed(1)} MiB\n`);
  }
}
const end = residentKiB();
child.stdin.end();
const report = {
  calls,
  seconds: (Date.now() - started) / 1000,
  rss_start_mib: +(start.rss / 1024).toFixed(1),
  rss_end_mib: +(end.rss / 1024).toFixed(1),
  rss_peak_mib: +(end.peak / 1024).toFixed(1),
  errors: Object.fromEntries(errors),
};
console.log(JSON.stringify(report, null, 2));
process.exitCode = errors.size ? 1 : 0;

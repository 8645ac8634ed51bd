// Measures the server as an AI client sees it: one stdio session per library,
// each tool called repeatedly, every round trip timed from the request's write
// to its answer's last byte. Also times process start to the first
// initialize answer, and reads the serving process's peak resident memory and
// how much of its memory is its own when several servers share one index.
import { spawn } from "node:child_process";
import { readFileSync } from "node:fs";

const now = () => Number(process.hrtime.bigint()) / 1e6;

export function stats(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const at = (q) => sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
  return { median: at(0.5), p95: at(0.95), n: sorted.length };
}

class Session {
  constructor(command, args, env = {}) {
    this.child = spawn(command, args, { stdio: ["pipe", "pipe", "ignore"], env: { ...process.env, ...env } });
    this.buffer = "";
    this.waiting = new Map();
    this.nextId = 1;
    this.child.on("exit", (code) => {
      for (const resolve of this.waiting.values()) resolve({ error: { message: `server exited with ${code}` } });
      this.waiting.clear();
    });
    // A process that has already answered and exited may refuse the rest.
    this.child.stdin.on("error", () => {});
    this.child.stdout.setEncoding("utf8");
    this.child.stdout.on("data", (chunk) => {
      this.buffer += chunk;
      let newline;
      while ((newline = this.buffer.indexOf("\n")) >= 0) {
        const line = this.buffer.slice(0, newline);
        this.buffer = this.buffer.slice(newline + 1);
        const message = JSON.parse(line);
        const resolve = this.waiting.get(message.id);
        if (resolve) {
          this.waiting.delete(message.id);
          resolve(message);
        }
      }
    });
  }
  request(method, params) {
    const id = this.nextId++;
    return new Promise((resolve) => {
      this.waiting.set(id, resolve);
      this.child.stdin.write(JSON.stringify({ jsonrpc: "2.0", id, method, params }) + "\n");
    });
  }
  notify(method) {
    this.child.stdin.write(JSON.stringify({ jsonrpc: "2.0", method }) + "\n");
  }
  async initialize() {
    const answer = await this.request("initialize", {
      protocolVersion: "2025-06-18",
      capabilities: {},
      clientInfo: { name: "quillmere-bench", version: "1" },
    });
    this.notify("notifications/initialized");
    return answer;
  }
  peakResidentKiB() {
    const status = readFileSync(`/proc/${this.child.pid}/status`, "utf8");
    return Number(/VmHWM:\s+(\d+)/.exec(status)[1]);
  }
  // KiB of smaps_rollup: proportional set size and private pages.
  memory() {
    const rollup = readFileSync(`/proc/${this.child.pid}/smaps_rollup`, "utf8");
    const field = (name) => Number(new RegExp(`^${name}:\\s+(\\d+)`, "m").exec(rollup)[1]);
    return { pss: field("Pss"), private: field("Private_Clean") + field("Private_Dirty") };
  }
  close() {
    return new Promise((resolve) => {
      if (this.child.exitCode !== null || this.child.signalCode !== null) return resolve();
      this.child.on("exit", resolve);
      this.child.stdin.end();
    });
  }
}

// Time from spawn to the answer of an initialize written at once, for the
// server and for a process that only echoes its first line back (the cost of
// starting any process from here).
export async function startTimes(server, root, cache, runs, env = {}) {
  const measure = async (command, args) => {
    const times = [];
    for (let i = 0; i < runs; ++i) {
      const start = now();
      const session = new Session(command, args, env);
      const answer = await session.initialize();
      if (answer.error) throw new Error(`${command}: ${answer.error.message}`);
      times.push(now() - start);
      await session.close();
    }
    return stats(times);
  };
  const echo = await measure("head", ["-n1"]);
  const quillmere = await measure(server, ["--stdio", "--cloud-root", root, "--cache-root", cache]);
  return { server: quillmere, echo };
}

// calls: [{label, name, arguments}]; every call made `repeat` times after
// two unmeasured ones.
export async function toolRoundTrips(server, root, cache, calls, repeat, env = {}) {
  const session = new Session(server, ["--stdio", "--cloud-root", root, "--cache-root", cache], env);
  const started = await session.initialize();
  if (started.error) throw new Error(`initialize: ${started.error.message}`);
  const results = {};
  for (const call of calls) {
    const times = [];
    for (let i = 0; i < repeat + 2; ++i) {
      const start = now();
      const answer = await session.request("tools/call", { name: call.name, arguments: call.arguments });
      const elapsed = now() - start;
      if (answer.error || answer.result.isError)
        throw new Error(`${call.label}: ${JSON.stringify(answer).slice(0, 300)}`);
      if (i >= 2) times.push(elapsed);
    }
    results[call.label] = stats(times);
  }
  results.peakResidentKiB = session.peakResidentKiB();
  await session.close();
  return results;
}

// count servers at once over one library and one index, each answering every
// call once; then the memory of each (see Session.memory).
export async function sharedMemory(server, root, cache, calls, count, env = {}) {
  const sessions = [];
  for (let i = 0; i < count; ++i)
    sessions.push(new Session(server, ["--stdio", "--cloud-root", root, "--cache-root", cache], env));
  await Promise.all(sessions.map((s) => s.initialize()));
  for (const call of calls) {
    const answers = await Promise.all(sessions.map((s) => s.request("tools/call", { name: call.name, arguments: call.arguments })));
    for (const answer of answers)
      if (answer.error || answer.result.isError) throw new Error(`${call.label}: ${JSON.stringify(answer).slice(0, 300)}`);
  }
  const memory = sessions.map((s) => s.memory());
  await Promise.all(sessions.map((s) => s.close()));
  return memory;
}

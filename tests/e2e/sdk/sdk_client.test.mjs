// The official MCP TypeScript SDK client drives the built quillmere-mcp over
// stdio, as an AI client would, against a library generated here.
// Run by CTest: QUILLMERE_MCP names the server binary.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { createHash, randomBytes, randomUUID } from "node:crypto";
import { mkdtempSync, mkdirSync, writeFileSync, readFileSync, existsSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { fileURLToPath } from "node:url";

import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";

const server = process.env.QUILLMERE_MCP;
const sha256 = (bytes) => createHash("sha256").update(bytes).digest("hex");
const uuid = () => randomUUID().toUpperCase();
const internetDate = (ms) => new Date(ms).toISOString().replace(/\.\d{3}Z$/, "Z");

const recordingCount = 45;
let dir, root, cache, client, stderr;
const sourceID = uuid();
const audioBytes = randomBytes(200_000);
let audioKey;

// One source as the publisher writes it: record files named by the digest of
// their bytes, audio named by its digest, the manifest listing them.
function writeLibrary() {
  const sourceDir = join(root, sourceID);
  mkdirSync(join(sourceDir, "records"), { recursive: true });
  mkdirSync(join(sourceDir, "audio"), { recursive: true });
  const audioHash = sha256(audioBytes);
  const audioName = `${audioHash}.m4a`;
  writeFileSync(join(sourceDir, "audio", audioName), audioBytes);

  const entries = [];
  const start = Date.parse("2026-03-01T00:00:00Z");
  for (let i = 0; i < recordingCount; i++) {
    const id = uuid();
    const record = {
      schemaVersion: 1,
      id,
      sourceID,
      name: `Recording ${i}`,
      createdAt: internetDate(start + i * 3_600_000),
      duration: 120,
      locale: "en-GB",
      transcriptComplete: i % 2 === 0,
      passages: [
        { start: 0, end: 30, text: `Opening of recording ${i}.` },
        { start: 30, end: 75.5, text: i % 5 === 0 ? "We agreed on the Quarterly budget." : "Small talk." },
        { start: 75.5, end: 120, text: "Closing words." },
      ],
      audio: i === 7 ? [{ fileName: audioName, sha256: audioHash, bytes: audioBytes.length, track: 0 }] : [],
    };
    const bytes = Buffer.from(JSON.stringify(record), "utf8");
    const revision = sha256(bytes);
    writeFileSync(join(sourceDir, "records", `${id}-${revision}.json`), bytes);
    entries.push({ id, revision });
    if (i === 7) audioKey = `${sourceID}/${id}`;
  }
  const manifest = {
    schemaVersion: 1,
    sourceID,
    publishedAt: "2026-03-03T08:15:00Z",
    includesAudio: true,
    entries,
  };
  writeFileSync(join(sourceDir, "manifest.json"), JSON.stringify(manifest));
}

// Calls a tool and checks the result's shape common to every success.
async function callTool(name, args = {}) {
  const result = await client.callTool({ name, arguments: args });
  assert.equal(result.isError, false, `${name}: ${JSON.stringify(result.content)}`);
  assert.equal(result.content[0].type, "text");
  const parsed = JSON.parse(result.content[0].text);
  assert.deepEqual(result.structuredContent, parsed, `${name}: structuredContent differs from the text`);
  return { result, value: parsed };
}

before(async () => {
  assert.ok(server && existsSync(server), `QUILLMERE_MCP must name the built server (got ${server})`);
  dir = mkdtempSync(join(tmpdir(), "quillmere-sdk-"));
  root = join(dir, "AgentLibrary");
  // A space and a non-ASCII letter, so the file URL must be percent-encoded.
  cache = join(dir, "audio cache é");
  writeLibrary();

  const transport = new StdioClientTransport({
    command: server,
    args: ["--stdio", "--cloud-root", root, "--cache-root", cache],
    stderr: "pipe",
  });
  stderr = "";
  transport.stderr?.on("data", (chunk) => (stderr += chunk));
  client = new Client({ name: "quillmere-e2e", version: "1.0.0" });
  await client.connect(transport);
});

after(async () => {
  await client?.close();
  if (dir) rmSync(dir, { recursive: true, force: true });
});

test("the server introduces itself and lists five read-only tools", async () => {
  assert.equal(client.getServerVersion()?.name, "quillmere");
  assert.match(client.getInstructions() ?? "", /untrusted/);
  const { tools } = await client.listTools();
  assert.deepEqual(
    tools.map((t) => t.name),
    ["get_sync_status", "list_recordings", "search_transcripts", "get_transcript", "get_audio"],
  );
  for (const tool of tools) {
    assert.equal(tool.inputSchema.type, "object");
    assert.equal(tool.annotations?.readOnlyHint, true);
  }
});

test("get_sync_status reports the generated library", async () => {
  const { value } = await callTool("get_sync_status");
  assert.equal(value.state, "local_snapshot_available");
  assert.equal(value.available_recordings, recordingCount);
  assert.equal(value.pending_recordings, 0);
  assert.deepEqual(value.sources, [
    { source_id: sourceID, published_at: "2026-03-03T08:15:00Z", recordings: recordingCount, includes_audio: true },
  ]);
});

test("list_recordings pages to the end, newest first, each recording once", async () => {
  const keys = [];
  let cursor;
  let pages = 0;
  do {
    const args = cursor ? { limit: 20, cursor } : { limit: 20 };
    const { value } = await callTool("list_recordings", args);
    assert.equal(value.total, recordingCount);
    keys.push(...value.items.map((item) => item.recording_key));
    cursor = value.next_cursor ?? undefined;
    pages++;
  } while (cursor);
  assert.equal(pages, 3);
  assert.equal(new Set(keys).size, recordingCount);
  const { value } = await callTool("list_recordings", { limit: 1 });
  assert.equal(value.items[0].name, `Recording ${recordingCount - 1}`);
  assert.equal(value.items[0].recorded_at, internetDate(Date.parse("2026-03-01T00:00:00Z") + (recordingCount - 1) * 3_600_000));
});

test("search_transcripts finds passages regardless of letter case", async () => {
  const { value } = await callTool("search_transcripts", { query: "QUARTERLY budget" });
  assert.equal(value.total, Math.ceil(recordingCount / 5));
  for (const item of value.items) {
    assert.equal(item.text, "We agreed on the Quarterly budget.");
    assert.equal(item.start_seconds, 30);
    assert.equal(item.end_seconds, 75.5);
    assert.equal(item.excerpt_truncated, false);
  }
  assert.equal(value.sync.state, "local_snapshot_available");
});

test("get_transcript reads a window of passages", async () => {
  const { value: list } = await callTool("list_recordings", { limit: 1 });
  const key = list.items[0].recording_key;
  const { value } = await callTool("get_transcript", { recording_key: key, start_seconds: 30, end_seconds: 76 });
  assert.equal(value.recording_key, key);
  assert.equal(value.locale, "en-GB");
  assert.equal(value.total_passages, 2);
  assert.deepEqual(
    value.passages.map((p) => p.start_seconds),
    [30, 75.5],
  );
});

test("get_audio links a verified copy in the cache", async () => {
  const { result, value } = await callTool("get_audio", { recording_key: audioKey });
  assert.equal(value.state, "available");
  assert.equal(value.mime_type, "audio/mp4");
  assert.equal(value.bytes, audioBytes.length);
  const link = result.content.find((c) => c.type === "resource_link");
  assert.ok(link, `no resource_link in ${JSON.stringify(result.content)}`);
  assert.equal(link.uri, value.uri);
  assert.match(link.uri, /^file:\/\/\/.*audio%20cache%20%C3%A9\//);
  const file = fileURLToPath(link.uri);
  assert.ok(file.startsWith(cache), `${file} is outside the cache`);
  assert.ok(existsSync(file));
  assert.equal(sha256(readFileSync(file)), value.sha256);
  assert.equal(value.sha256, sha256(audioBytes));

  const { value: missing } = await callTool("get_audio", { recording_key: audioKey, track: 3 });
  assert.equal(missing.state, "not_shared");
});

test("tool failures come back as error results", async () => {
  const result = await client.callTool({ name: "get_transcript", arguments: { recording_key: "nope" } });
  assert.equal(result.isError, true);
  assert.match(result.content[0].text, /^recording_not_available: /);
  assert.equal(stderr, "", "the server wrote diagnostics");
});

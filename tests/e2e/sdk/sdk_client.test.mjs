// The official MCP TypeScript clients drive the built quillmere-mcp over stdio,
// as an AI client would, over the sample library: the v1 SDK, and the v2 SDK
// in each of its negotiation modes (the handshake, a discover probe that falls
// back to it, and the 2026-07-28 revision alone).
// Run by CTest: QUILLMERE_MCP names the server binary.
import { describe, test, before, after } from "node:test";
import assert from "node:assert/strict";
import { createHash } from "node:crypto";
import { mkdtempSync, readFileSync, existsSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { fileURLToPath } from "node:url";

import { Client as ClientV1 } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport as StdioV1 } from "@modelcontextprotocol/sdk/client/stdio.js";
import { Client as ClientV2 } from "@modelcontextprotocol/client";
import { StdioClientTransport as StdioV2 } from "@modelcontextprotocol/client/stdio";

const server = process.env.QUILLMERE_MCP;
const sha256 = (bytes) => createHash("sha256").update(bytes).digest("hex");
// The sample library: five recordings of one source, the microphone check with two tracks.
const root = fileURLToPath(new URL("../../../examples/AgentLibrary", import.meta.url));
const sourceID = "7D3C1A2B-4E5F-4A6B-8C7D-9E0F1A2B3C4D";
const micCheck = `${sourceID}/B3942ED6-D479-4471-8BC9-7994FAC44E98`;
const interview = `${sourceID}/A1F9DD56-05E8-4D3B-8C8F-8A55F51FF5EE`;

// Each client, and the era and version it must end in (the v1 SDK has no eras).
const peers = [
  { name: "v1 SDK", Client: ClientV1, Stdio: StdioV1, options: {}, era: undefined, version: "2025-11-25" },
  { name: "v2 SDK, legacy", Client: ClientV2, Stdio: StdioV2, options: { versionNegotiation: { mode: "legacy" } }, era: "legacy", version: "2025-11-25" },
  { name: "v2 SDK, auto", Client: ClientV2, Stdio: StdioV2, options: { versionNegotiation: { mode: "auto" } }, era: "modern", version: "2026-07-28" },
  { name: "v2 SDK, pinned", Client: ClientV2, Stdio: StdioV2, options: { versionNegotiation: { mode: { pin: "2026-07-28" } } }, era: "modern", version: "2026-07-28" },
];

for (const peer of peers) describe(peer.name, () => {
let dir, cache, client, stderr;

// Calls a tool and checks the result's shape common to every success.
async function callTool(name, args = {}) {
  const result = await client.callTool({ name, arguments: args });
  assert.equal(result.isError ?? false, false, `${name}: ${JSON.stringify(result.content)}`);
  assert.equal(result.content[0].type, "text");
  const parsed = JSON.parse(result.content[0].text);
  assert.deepEqual(result.structuredContent, parsed, `${name}: structuredContent differs from the text`);
  return { result, value: parsed };
}

before(async () => {
  assert.ok(server && existsSync(server), `QUILLMERE_MCP must name the built server (got ${server})`);
  dir = mkdtempSync(join(tmpdir(), "quillmere-sdk-"));
  // A space and a non-ASCII letter, so the file URL must be percent-encoded.
  cache = join(dir, "audio cache é");

  const transport = new peer.Stdio({
    command: server,
    args: ["--stdio", "--cloud-root", root, "--cache-root", cache],
    stderr: "pipe",
  });
  stderr = "";
  transport.stderr?.on("data", (chunk) => (stderr += chunk));
  client = new peer.Client({ name: "quillmere-e2e", version: "1.0.0" }, peer.options);
  await client.connect(transport);
});

after(async () => {
  await client?.close();
  if (dir) rmSync(dir, { recursive: true, force: true });
});

test("the client negotiates the revision its mode asks for", () => {
  if (peer.era) assert.equal(client.getProtocolEra(), peer.era);
  if (client.getNegotiatedProtocolVersion) assert.equal(client.getNegotiatedProtocolVersion(), peer.version);
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

// Exact results are in the golden session; here the client reads them.
test("get_sync_status reports the sample library", async () => {
  const { value } = await callTool("get_sync_status");
  assert.equal(value.state, "local_snapshot_available");
  assert.equal(value.available_recordings, 5);
});

test("list_recordings pages to the end, newest first, each recording once", async () => {
  const keys = [];
  let cursor;
  let pages = 0;
  do {
    const { value } = await callTool("list_recordings", cursor ? { limit: 2, cursor } : { limit: 2 });
    assert.equal(value.total, 5);
    keys.push(...value.items.map((item) => item.recording_key));
    cursor = value.next_cursor ?? undefined;
    pages++;
  } while (cursor);
  assert.equal(pages, 3);
  assert.equal(new Set(keys).size, 5);
  const { value } = await callTool("list_recordings", { limit: 1 });
  assert.equal(value.items[0].name, "电话记录：供应商交付时间");
  assert.equal(value.items[0].recorded_at, "2025-03-06T00:45:00Z");
});

test("search_transcripts and get_transcript read passages", async () => {
  const { value: found } = await callTool("search_transcripts", { query: "MICROPHONE check" });
  assert.deepEqual(found.items.map((item) => [item.recording_key, item.text]), [[micCheck, "Left microphone check."], [micCheck, "Right microphone check."]]);
  const { value } = await callTool("get_transcript", { recording_key: interview, start_seconds: 19.5, end_seconds: 40 });
  assert.deepEqual(value.passages.map((p) => p.start_seconds), [19.5, 33]);
});

test("get_audio links a verified copy in the cache", async () => {
  const { result, value } = await callTool("get_audio", { recording_key: micCheck });
  assert.equal(value.state, "available");
  assert.equal(value.mime_type, "audio/wav");
  assert.equal(value.bytes, 100892);
  const link = result.content.find((c) => c.type === "resource_link");
  assert.ok(link, `no resource_link in ${JSON.stringify(result.content)}`);
  assert.equal(link.uri, value.uri);
  assert.match(link.uri, /^file:\/\/\/.*audio%20cache%20%C3%A9\//);
  const file = fileURLToPath(link.uri);
  assert.ok(file.startsWith(cache), `${file} is outside the cache`);
  assert.equal(sha256(readFileSync(file)), value.sha256);
  assert.equal(value.sha256, "f470adab0cb2685dcb6039eca211247b417852f0d7cd331c6aeca7e8824b266c");

  const { value: missing } = await callTool("get_audio", { recording_key: micCheck, track: 3 });
  assert.equal(missing.state, "not_shared");
});

test("tool failures come back as error results", async () => {
  const result = await client.callTool({ name: "get_transcript", arguments: { recording_key: "nope" } });
  assert.equal(result.isError, true);
  assert.match(result.content[0].text, /^recording_not_available: /);
  assert.equal(stderr, "", "the server wrote diagnostics");
});
});

// qor-mcp through the MCP TypeScript SDK client, on a private desktop with the GTK fixture:
// negotiation, the tools' schemas, observe-act-observe, capture, refusals and cancellation.
//
//   node sdk_test.mjs QOR_MCP FIXTURE
//
// Exits 0 when every check passed; otherwise names the check that failed.

import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, existsSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import assert from 'node:assert/strict';
import Ajv from 'ajv';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { LATEST_PROTOCOL_VERSION } from '@modelcontextprotocol/sdk/types.js';

const [qorMcp, fixturePath] = process.argv.slice(2);
const FIXTURE = 'dev.qor.Fixture';
const traceFile = join(mkdtempSync(join(tmpdir(), 'qor-mcp-sdk-')), 'trace');

let failures = 0;
async function check(name, body) {
  try {
    await body();
    console.log(`ok   ${name}`);
  } catch (error) {
    failures += 1;
    console.log(`FAIL ${name}: ${error.stack || error}`);
  }
}

// Waits for `condition` to hold, looking again every 50 ms, until `seconds` have passed.
async function waitFor(what, condition, seconds = 10) {
  const deadline = Date.now() + seconds * 1000;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

function startFixture() {
  const fixture = spawn(fixturePath, [], { stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    const lines = createInterface({ input: fixture.stdout });
    lines.once('line', (line) => (line.startsWith('ready') ? resolve(fixture) : reject(new Error(line))));
    fixture.once('exit', (code) => reject(new Error(`fixture exited with ${code}`)));
  });
}

// Depth-first search of an observation tree.
function find(nodes, predicate) {
  for (const node of nodes ?? []) {
    if (predicate(node)) return node;
    const found = find(node.children, predicate);
    if (found) return found;
  }
  return undefined;
}

function errorOf(result) {
  assert.equal(result.isError, true, JSON.stringify(result));
  const text = result.content[0].text;
  return JSON.parse(text.slice(text.indexOf('\n') + 1)).error;
}

// The width and height in a PNG's header.
function pngSize(base64) {
  const bytes = Buffer.from(base64, 'base64');
  assert.equal(bytes.subarray(1, 4).toString('latin1'), 'PNG');
  return { width: bytes.readUInt32BE(16), height: bytes.readUInt32BE(20) };
}

// One initialize written by hand, for a client that speaks an older revision.
async function negotiateRaw(revision) {
  const server = spawn(qorMcp, [], { stdio: ['pipe', 'pipe', 'inherit'] });
  const lines = createInterface({ input: server.stdout });
  const answer = new Promise((resolve) => lines.once('line', (line) => resolve(JSON.parse(line))));
  server.stdin.write(JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'initialize',
    params: { protocolVersion: revision, capabilities: {}, clientInfo: { name: 'raw', version: '1' } } }) + '\n');
  const response = await answer;
  server.stdin.end();
  return response.result.protocolVersion;
}

const fixture = await startFixture();
const transport = new StdioClientTransport({ command: qorMcp, args: ['--trace', traceFile], stderr: 'inherit',
  // The SDK passes only a few variables on by default; the bridge needs the session's.
  env: { ...process.env } });
let negotiated;
const setVersion = transport.setProtocolVersion?.bind(transport);
transport.setProtocolVersion = (version) => { negotiated = version; setVersion?.(version); };
const client = new Client({ name: 'qor-sdk-test', version: '1.0.0' });

await check('initialize negotiates the newest revision', async () => {
  await client.connect(transport);
  assert.equal(negotiated, LATEST_PROTOCOL_VERSION);
  assert.equal(client.getServerVersion().name, 'qor-mcp');
  assert.ok(client.getServerCapabilities().tools);
});

await check('older clients get their own revision', async () => {
  for (const revision of ['2025-06-18', '2025-03-26', '2024-11-05']) {
    assert.equal(await negotiateRaw(revision), revision);
  }
});

await check('every tool schema compiles in ajv', async () => {
  const { tools } = await client.listTools();
  const names = tools.map((tool) => tool.name).sort();
  assert.deepEqual(names, ['act', 'capture', 'focus_app', 'launch_app', 'list_apps', 'observe',
    'open_documents', 'permissions_status', 'release_capture', 'request_permission', 'send_app_event']);
  const ajv = new Ajv({ strict: false });
  for (const tool of tools) {
    ajv.compile(tool.inputSchema);
    if (tool.outputSchema) ajv.compile(tool.outputSchema);
    assert.match(tool.description, /observe/i, tool.name);
  }
});

let observation;
async function observe() {
  const result = await client.callTool({ name: 'observe', arguments: { bundleId: FIXTURE } });
  assert.notEqual(result.isError, true, JSON.stringify(result));
  assert.match(result.content[0].text, /AXPushButton|AXButton/);
  return result.structuredContent;
}

await check('observe, act, observe shows the fixture changed', async () => {
  await waitFor('the fixture in list_apps', async () => {
    const listed = await client.callTool({ name: 'list_apps', arguments: {} });
    return listed.structuredContent.applications.some((app) => app.bundleId === FIXTURE && app.running);
  });
  observation = await observe();
  const button = find(observation.tree, (node) => node.title === 'Count Click');
  assert.ok(button, 'the Count Click button');
  const acted = await client.callTool({ name: 'act', arguments: { bundleId: FIXTURE,
    observationId: observation.observationId, focus: true,
    actions: [{ type: 'ax', ref: button.ref, action: 'AXPress' }] } });
  assert.notEqual(acted.isError, true, JSON.stringify(acted));
  await waitFor('the counter to read 1', async () => {
    observation = await observe();
    return find(observation.tree, (node) => node.title === 'Clicks: 1' || node.value === 'Clicks: 1');
  });
});

await check('a stale observation comes back with isError', async () => {
  const result = await client.callTool({ name: 'act', arguments: { bundleId: FIXTURE,
    observationId: '00000000-0000-0000-0000-000000000000', actions: [{ type: 'wait' }] } });
  assert.equal(errorOf(result).code, 'staleObservation');
});

await check('a password field comes back with isError', async () => {
  observation = await observe();
  const password = find(observation.tree, (node) => node.secure === true);
  assert.ok(password, 'the password field');
  const result = await client.callTool({ name: 'act', arguments: { bundleId: FIXTURE,
    observationId: observation.observationId,
    actions: [{ type: 'setValue', ref: password.ref, value: 'guess' }] } });
  assert.equal(errorOf(result).code, 'userInputRequired');
});

await check('capture returns a PNG of the size given', async () => {
  for (const maxPixels of [undefined, 200]) {
    const args = maxPixels ? { bundleId: FIXTURE, maxPixels } : { bundleId: FIXTURE };
    const result = await client.callTool({ name: 'capture', arguments: args });
    assert.notEqual(result.isError, true, JSON.stringify(result));
    const image = result.content.find((content) => content.type === 'image');
    assert.equal(image.mimeType, 'image/png');
    const { width, height } = result.structuredContent;
    assert.deepEqual(pngSize(image.data), { width, height });
    if (maxPixels) assert.equal(Math.max(width, height), maxPixels);
    await client.callTool({ name: 'release_capture', arguments: { path: result.structuredContent.path } });
  }
});

await check('cancelling a long wait ends it with the bridge\'s cancellation', async () => {
  observation = await observe();
  const controller = new AbortController();
  let progressed = 0;
  const call = client.callTool({ name: 'act', arguments: { bundleId: FIXTURE,
    observationId: observation.observationId,
    actions: Array(10).fill({ type: 'wait', milliseconds: 5000 }) } }, undefined,
  { signal: controller.signal, timeout: 120000, onprogress: () => { progressed += 1; } });
  await waitFor('progress of the batch', () => progressed > 0);
  controller.abort('the user changed their mind');
  await assert.rejects(call);
  await waitFor('the bridge to answer "cancelled"', () =>
    existsSync(traceFile) && /^bridge> \S+ \{"error":\{"code":"cancelled"/m.test(readFileSync(traceFile, 'utf8')));
  // The bridge is free at once for the next batch.
  observation = await observe();
  const next = await client.callTool({ name: 'act', arguments: { bundleId: FIXTURE,
    observationId: observation.observationId, actions: [{ type: 'wait', milliseconds: 0 }] } });
  assert.notEqual(next.isError, true, JSON.stringify(next));
});

await client.close();
fixture.kill();
console.log(failures === 0 ? 'all checks passed' : `${failures} check(s) failed`);
process.exit(failures === 0 ? 0 : 1);

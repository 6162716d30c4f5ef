// The MCP demonstration: an MCP client (the official TypeScript SDK) starts qor-mcp, which
// starts qor-native, and does one small piece of work in the GTK fixture the way an assistant
// would, printing each tool call and what came back.
//
//   node demo_client.mjs QOR_MCP FIXTURE CAPTURE_PNG
//
// Exits 0 when every step answered as expected; otherwise names the step that failed.

import { spawn } from 'node:child_process';
import { writeFileSync } from 'node:fs';
import { createInterface } from 'node:readline';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

const [qorMcp, fixturePath, capturePath] = process.argv.slice(2);
const FIXTURE = 'dev.qor.Fixture';

function say(text) { console.log(`\n== ${text}`); }
function fail(step, why) {
  console.error(`\nThe demonstration stopped at "${step}": ${why}`);
  process.exit(1);
}
function find(nodes, predicate) {
  for (const node of nodes ?? []) {
    if (predicate(node)) return node;
    const found = find(node.children, predicate);
    if (found) return found;
  }
  return undefined;
}

async function call(client, step, name, args) {
  console.log(`-> ${name} ${JSON.stringify(args)}`);
  const result = await client.callTool({ name, arguments: args });
  for (const content of result.content) {
    if (content.type === 'text') console.log(content.text.length > 3000 ? `${content.text.slice(0, 3000)}...` : content.text);
    else console.log(`<${content.type} ${content.mimeType}, ${content.data.length} base64 characters>`);
  }
  if (result.isError) fail(step, 'the tool refused');
  return result;
}

const fixture = spawn(fixturePath, [], { stdio: ['ignore', 'pipe', 'inherit'] });
await new Promise((resolve, reject) => {
  createInterface({ input: fixture.stdout }).once('line', resolve);
  fixture.once('exit', () => reject(new Error('the fixture ended')));
}).catch((error) => fail('starting the fixture', error.message));

say('Starting qor-mcp as an MCP client does: one "command" with no arguments');
const client = new Client({ name: 'qor-mcp-demo', version: '1.0.0' });
await client.connect(new StdioClientTransport({ command: qorMcp, args: [], stderr: 'inherit',
  // The SDK passes only a few variables on by default; the bridge needs the desktop session's.
  env: { ...process.env } }));
console.log(`connected to ${client.getServerVersion().name} ${client.getServerVersion().version}`);
const { tools } = await client.listTools();
console.log(`tools: ${tools.map((tool) => tool.name).join(', ')}`);

say('Is the fixture running?');
await call(client, 'list_apps', 'list_apps', {});

say('Observe its window: one line per element, with the references act uses');
let observed = (await call(client, 'observe', 'observe', { bundleId: FIXTURE })).structuredContent;
const button = find(observed.tree, (node) => node.title === 'Count Click');
const name = find(observed.tree, (node) => node.role === 'AXTextField' && node.value === 'Ada');
if (!button || !name) fail('observe', 'no Count Click button or Name field');

say(`Act on that observation: press ${button.ref} and set the Name field ${name.ref}`);
await call(client, 'act', 'act', { bundleId: FIXTURE, observationId: observed.observationId, focus: true,
  actions: [{ type: 'ax', ref: button.ref, action: 'AXPress' },
            { type: 'setValue', ref: name.ref, value: 'Ada Lovelace' }] });

say('Observe again: the counter and the field changed');
observed = (await call(client, 'observe', 'observe', { bundleId: FIXTURE })).structuredContent;
if (!find(observed.tree, (node) => node.title === 'Clicks: 1' || node.value === 'Clicks: 1')) fail('observe again', 'the counter does not read "Clicks: 1"');
if (!find(observed.tree, (node) => node.value === 'Ada Lovelace')) fail('observe again', 'the Name field does not read "Ada Lovelace"');

say('A refusal: the password field cannot be set, and the message says what to do');
const password = find(observed.tree, (node) => node.secure === true);
const refused = await client.callTool({ name: 'act', arguments: { bundleId: FIXTURE, observationId: observed.observationId,
  actions: [{ type: 'setValue', ref: password.ref, value: 'guess' }] } });
console.log(`isError: ${refused.isError}\n${refused.content[0].text}`);
if (!refused.isError) fail('refusal', 'the password field was set');

say('Capture the window, scaled down to 400 pixels on its longest side');
const captured = await call(client, 'capture', 'capture', { bundleId: FIXTURE, maxPixels: 400 });
const image = captured.content.find((content) => content.type === 'image');
writeFileSync(capturePath, Buffer.from(image.data, 'base64'));
console.log(`the image is in ${capturePath}`);
await call(client, 'release_capture', 'release_capture', { path: captured.structuredContent.path });

await client.close();
fixture.kill();
say('Done: every step answered as expected');

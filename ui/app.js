// The gateway's web page: its state, the node table, the network map drawn from the neighbour
// tables and a live log of the event stream. Everything comes from the gateway's own REST
// resources by relative URLs; every text from the network is shown with textContent.
import cytoscape from './vendor/cytoscape.esm.min.mjs';

const REST = '../';
// The gateway's application end point the page sends ZCL commands from (config/config.ini).
let gatewayEndpoint = 8;
// A walk needs a listener URL; the page names its own origin and reads the results from
// the event stream or from the caches afterwards (orq's POST to it is refused, harmlessly).
const SELF_LISTENER = new URL('./', location.href).href;
const EVENT_KINDS = ['gateway', 'node-added', 'node-announced', 'node-dead', 'node-removed',
  'message', 'result', 'gap', 'overflow'];
const GW_STATES = ['ready to start', 'waiting for a start', 'starting', 'running', 'stopping',
  'stopped'];
const LOG_LIMIT = 500;

const nodes = new Map();   // by IEEE address (16 hex digits)
const links = new Map();   // by "ieeeA|ieeeB", A < B: the best LQI either side reported
let walkUntil = 0;         // a walk the page started runs until then: no node list meanwhile

const $ = (id) => document.getElementById(id);

// --- REST and XML ---

async function rest(path, options = {}) {
  const response = await fetch(REST + path, {
    method: options.method || 'GET',
    body: options.body,
    headers: options.body !== undefined ? { 'Content-Type': 'application/xml' } : {},
    credentials: 'same-origin',
  });
  const text = await response.text();
  const doc = new DOMParser().parseFromString(text, 'application/xml');
  if (!response.ok || doc.getElementsByTagName('parsererror').length > 0) {
    throw new Error(`${path}: HTTP ${response.status}`);
  }
  const code = first(doc, 'Code');
  if (code !== null && code !== '0') {
    throw new Error(`${path}: ${first(doc, 'Message') || 'code ' + code}`);
  }
  return doc;
}

function all(root, name) {
  return Array.from(root.getElementsByTagNameNS('*', name));
}

function first(root, name) {
  const el = all(root, name)[0];
  return el ? el.textContent.trim() : null;
}

// IEEE addresses come as one unsigned decimal number.
function ieeeHex(decimal) {
  try {
    return BigInt(decimal).toString(16).padStart(16, '0');
  } catch {
    return null;
  }
}

const hex4 = (n) => Number(n).toString(16).padStart(4, '0');

function printable(hex) {
  let out = '';
  for (let i = 0; i + 1 < hex.length; i += 2) {
    const c = parseInt(hex.substr(i, 2), 16);
    out += c >= 0x20 && c < 0x7f ? String.fromCharCode(c) : '.';
  }
  return out;
}

// --- The model ---

function nodeFor(ieee, short) {
  let node = nodes.get(ieee);
  if (!node) {
    node = { ieee, short: null, type: null, power: null, endpoints: [], onOff: [], lqi: null,
      lastHeard: null, alive: true, reportedDead: false };
    nodes.set(ieee, node);
  }
  if (short !== null && short !== undefined && !Number.isNaN(short)) {
    node.short = short;
  }
  return node;
}

function heard(node) {
  node.lastHeard = new Date();
}

// The addresses an element carries: NetworkAddress and IeeeAddress children.
function addressOf(el) {
  const short = first(el, 'NetworkAddress');
  const ieee = first(el, 'IeeeAddress');
  return { short: short !== null ? Number(short) : null, ieee: ieee !== null ? ieeeHex(ieee) : null };
}

function nodeByShort(short) {
  for (const node of nodes.values()) {
    if (node.short === short) return node;
  }
  return null;
}

// The device type in a neighbour entry: bits 0-1 (0 coordinator, 1 router, 2 end device).
const NEIGHBOUR_TYPES = ['Coordinator', 'Router', 'EndDevice'];

function readNodeList(doc) {
  const seen = new Set();
  for (const el of all(doc, 'WSNNode')) {
    const { short, ieee } = addressOf(el);
    if (ieee === null) continue;
    nodeFor(ieee, short);
    seen.add(ieee);
  }
  return seen;
}

function readAliases(doc, activeOnly) {
  for (const el of all(doc, 'Alias')) {
    const { short, ieee } = addressOf(el);
    if (ieee !== null && activeOnly) nodeFor(ieee, short).alive = true;
  }
}

function readLqi(doc) {
  links.clear();
  for (const entry of all(doc, 'LQINode')) {
    const owner = ieeeHex(first(entry, 'NodeAddress'));
    if (owner === null) continue;
    const ownerNode = nodeFor(owner, null);
    for (const n of all(entry, 'Neighbor')) {
      const ieee = ieeeHex(first(n, 'IeeeAddress'));
      const lqi = Number(first(n, 'LQI'));
      if (ieee === null || ieee === owner) continue;
      const neighbour = nodeFor(ieee, Number(first(n, 'ShortAddress')));
      const type = NEIGHBOUR_TYPES[Number(first(n, 'DeviceTypeRxOnWhenIdleRelationship')) & 3];
      if (type && !neighbour.type) neighbour.type = type;
      neighbour.lqi = Math.max(neighbour.lqi ?? 0, lqi);
      const key = owner < ieee ? `${owner}|${ieee}` : `${ieee}|${owner}`;
      links.set(key, Math.max(links.get(key) ?? 0, lqi));
    }
    if (ownerNode.short === 0 && !ownerNode.type) ownerNode.type = 'Coordinator';
  }
}

// --- Drawing ---

let cy = null;
function setUpMap() {
  if (typeof window.cytoscapeFcose === 'function') {
    cytoscape.use(window.cytoscapeFcose);
  }
  cy = cytoscape({
    container: $('map'),
    style: [
      { selector: 'node', style: { label: 'data(label)', 'font-size': 10, 'text-valign': 'bottom',
        'text-margin-y': 3, 'background-color': '#3b7dd8', width: 26, height: 26 } },
      { selector: 'node[type = "Coordinator"]', style: { shape: 'hexagon', 'background-color': '#22303f', width: 36, height: 36 } },
      { selector: 'node[type = "Router"]', style: { shape: 'round-rectangle', 'background-color': '#2e9d6a' } },
      { selector: 'node[type = "EndDevice"]', style: { shape: 'ellipse', 'background-color': '#d98a1e' } },
      { selector: 'node.dead', style: { 'background-color': '#b9bec6', 'border-width': 2, 'border-color': '#b3261e' } },
      { selector: 'edge', style: { width: 'mapData(lqi, 0, 255, 1, 6)', 'line-color': 'mapData(lqi, 0, 255, #e0a0a0, #3a9d5d)',
        label: 'data(lqi)', 'font-size': 8, 'text-background-color': '#fff', 'text-background-opacity': 0.8 } },
    ],
  });
  window.orqMap = cy;  // for the browser test and the curious
}

let layoutPending = false;
function drawMap() {
  const wanted = new Set();
  for (const node of nodes.values()) {
    const id = 'n' + node.ieee;
    wanted.add(id);
    const label = node.short !== null ? hex4(node.short) : node.ieee;
    const data = { id, label, type: node.type || 'Unknown' };
    const el = cy.getElementById(id);
    if (el.empty()) {
      cy.add({ group: 'nodes', data });
      layoutPending = true;
    } else {
      el.data(data);
    }
    cy.getElementById(id).toggleClass('dead', !node.alive);
  }
  for (const [key, lqi] of links) {
    const [a, b] = key.split('|');
    if (!nodes.has(a) || !nodes.has(b)) continue;
    const id = `e${a}-${b}`;
    wanted.add(id);
    const el = cy.getElementById(id);
    if (el.empty()) {
      cy.add({ group: 'edges', data: { id, source: 'n' + a, target: 'n' + b, lqi } });
      layoutPending = true;
    } else {
      el.data('lqi', lqi);
    }
  }
  cy.elements().forEach((el) => {
    if (!wanted.has(el.id())) {
      el.remove();
      layoutPending = true;
    }
  });
  if (layoutPending) {
    layoutPending = false;
    const name = typeof window.cytoscapeFcose === 'function' ? 'fcose' : 'cose';
    cy.layout({ name, animate: false, randomize: true, nodeRepulsion: 8000, idealEdgeLength: 90 }).run();
    cy.fit(undefined, 30);
  }
  $('map-counts').textContent = `(${cy.nodes().length} nodes, ${cy.edges().length} links)`;
}

function cell(row, text, className) {
  const td = document.createElement('td');
  td.textContent = text;
  if (className) td.className = className;
  row.appendChild(td);
  return td;
}

function button(parent, label, onClick) {
  const b = document.createElement('button');
  b.type = 'button';
  b.textContent = label;
  b.addEventListener('click', onClick);
  parent.appendChild(b);
  return b;
}

function drawTable() {
  const body = $('nodes').tBodies[0];
  body.replaceChildren();
  const sorted = [...nodes.values()].sort((a, b) => (a.short ?? 1e9) - (b.short ?? 1e9));
  for (const node of sorted) {
    const row = document.createElement('tr');
    row.dataset.ieee = node.ieee;
    if (node.short !== null) row.dataset.short = hex4(node.short);
    row.classList.toggle('dead', !node.alive);
    cell(row, node.short !== null ? hex4(node.short) : '?', 'short');
    cell(row, node.ieee, 'ieee');
    cell(row, node.type || '?', 'type');
    cell(row, node.power || '?', 'power');
    cell(row, node.endpoints.length ? node.endpoints.join(', ') : '?', 'endpoints');
    cell(row, node.lqi !== null ? String(node.lqi) : '?', 'lqi');
    cell(row, node.lastHeard ? node.lastHeard.toLocaleTimeString() : '', 'heard');
    cell(row, node.alive ? 'alive' : 'dead', 'state');
    const actions = cell(row, '', 'actions');
    if (node.short !== null) {
      button(actions, 'Descriptors', () => act(`read ${hex4(node.short)}`, () => readDescriptors(node)));
      for (const ep of node.onOff) {
        button(actions, `EP ${ep} on`, () => act(`switch ${hex4(node.short)}/${ep} on`, () => switchOnOff(node, ep, 1)));
        button(actions, `EP ${ep} off`, () => act(`switch ${hex4(node.short)}/${ep} off`, () => switchOnOff(node, ep, 0)));
      }
      if (node.short !== 0) {
        button(actions, 'Remove', () => {
          if (confirm(`Ask node ${hex4(node.short)} to leave the network?`)) {
            act(`remove ${hex4(node.short)}`, () => removeNode(node));
          }
        });
      }
    }
    body.appendChild(row);
  }
}

function draw() {
  drawTable();
  drawMap();
}

function log(kind, text) {
  const li = document.createElement('li');
  const time = document.createElement('span');
  time.className = 'time';
  time.textContent = new Date().toLocaleTimeString();
  const k = document.createElement('span');
  k.className = 'kind';
  k.textContent = kind;
  const t = document.createElement('span');
  t.className = 'text';
  t.textContent = text;
  li.append(time, k, t);
  const list = $('log');
  list.prepend(li);
  while (list.children.length > LOG_LIMIT) list.lastChild.remove();
}

function setStatus(text) {
  $('status').textContent = text;
}

// --- Reading the gateway ---

async function readGateway() {
  const [version, state, mask, epid] = await Promise.allSettled([
    rest('version'), rest('ib/00/00'), rest('net/default/ib/c3'), rest('net/default/ib/c4')]);
  if (version.status === 'fulfilled') {
    $('gw-version').textContent = first(version.value, 'ManufacturerVersion') || '?';
  }
  if (state.status === 'fulfilled') {
    const v = Number(first(state.value, 'Value'));
    $('gw-state').textContent = `${v} (${GW_STATES[v] || 'unknown'})`;
  }
  if (mask.status === 'fulfilled') {
    const m = Number(first(mask.value, 'Value'));
    const channels = [];
    for (let c = 11; c <= 26; ++c) if (m & (1 << c)) channels.push(c);
    $('gw-channel').textContent = channels.length ? channels.join(', ') : '?';
  }
  if (epid.status === 'fulfilled') {
    $('gw-epid').textContent = first(epid.value, 'Value') || '?';
  }
  try {
    const services = await rest('net/default/localnode/services');
    const eps = all(services, 'EndPoint').map((e) => Number(e.textContent)).filter((e) => e > 0);
    if (eps.length) gatewayEndpoint = eps[0];
  } catch (e) {
    log('error', e.message);
  }
}

// The node list, who is alive, and the neighbour tables, from the gateway's caches.
async function readNetwork() {
  if (Date.now() < walkUntil) return;
  const list = await rest('net/default/wsnnodes?mode=cache');
  const known = readNodeList(list);
  const active = await rest('net/default/aliases');
  for (const node of nodes.values()) node.alive = false;
  readAliases(active, true);
  readLqi(await rest('net/default/allwsnnodes/lqi'));
  // The gateway forgets a node it reported dead: the page keeps it, shown dead, until the
  // node is heard of again.
  for (const [ieee, node] of [...nodes]) {
    if (node.alive) node.reportedDead = false;
    if (!known.has(ieee) && !node.reportedDead) nodes.delete(ieee);
  }
  draw();
}

let refreshTimer = null;
function refreshSoon(ms = 300) {
  clearTimeout(refreshTimer);
  refreshTimer = setTimeout(() => readNetwork().catch((e) => log('error', e.message)), ms);
}

// --- Actions ---

async function act(label, fn) {
  setStatus(label + '…');
  try {
    await fn();
    setStatus(label + ': done');
  } catch (e) {
    setStatus(label + ': ' + e.message);
    log('error', `${label}: ${e.message}`);
  }
}

async function permitJoin() {
  await rest('net/default/allwsnnodes/permitjoin?timeout=7530', {
    method: 'POST',
    body: '<JoiningInfo><PermitDuration>60</PermitDuration><TCSignificance>false</TCSignificance></JoiningInfo>',
  });
  log('action', 'joining open for 60 s');
}

// How long the page leaves a walk alone before reading the caches (without the stream).
const WALK_MS = 40000;

async function startWalk(kind) {
  const query = `${kind}&timeout=ea60&urilistener=${encodeURIComponent(SELF_LISTENER)}`;
  await rest('net/default/wsnnodes?' + query);
  walkUntil = Date.now() + WALK_MS;
  log('action', `${kind === 'lqi' ? 'LQI walk' : 'inquiry'} started`);
  pollWalk(kind);
}

// The neighbour tables (one entry per active node) are read while the walk fills them, which
// does not end it, and everything once they stop changing: the stream tells of the nodes, not
// of the walk's end.
async function pollWalk(kind) {
  let last = null;
  let steady = 0;
  while (Date.now() < walkUntil && steady < 3) {
    await new Promise((r) => setTimeout(r, 2000));
    const doc = await rest('net/default/allwsnnodes/lqi');
    const text = new XMLSerializer().serializeToString(doc);
    readLqi(doc);
    draw();
    steady = text === last ? steady + 1 : 0;
    last = text;
  }
  walkUntil = 0;
  await readNetwork();
  setStatus(`${kind === 'lqi' ? 'LQI walk' : 'inquiry'} finished`);
}

async function readDescriptors(node) {
  const base = `net/default/wsnnodes/${hex4(node.short)}`;
  const nd = await rest(`${base}/nodedescriptor?timeout=1388`);
  node.type = first(nd, 'LogicalType') || node.type;
  const pd = await rest(`${base}/powerdescriptor?timeout=1388`);
  const current = all(pd, 'CurrentPowerSources')[0];
  if (current) {
    const sources = [['ConstrantMains', 'mains'], ['RechargeableBattery', 'rechargeable'],
      ['DisposableBattery', 'battery']].filter(([tag]) => first(current, tag) === 'true');
    node.power = sources.map(([, name]) => name).join(', ') || 'none';
    const level = first(pd, 'PowerSourceLevel');
    if (level) node.power += ` (${level})`;
  }
  const services = await rest(`${base}/services?timeout=1388`);
  node.endpoints = all(services, 'ActiveEndpoints').map((e) => Number(first(e, 'EndPoint')))
    .filter((e) => e > 0);
  node.onOff = [];
  for (const ep of node.endpoints) {
    const sd = await rest(`${base}/services/${ep.toString(16).padStart(2, '0')}?timeout=1388`);
    const inClusters = all(sd, 'ApplicationInputCluster').map((c) => Number(c.textContent));
    if (inClusters.includes(6)) node.onOff.push(ep);
  }
  heard(node);
  draw();
}

async function switchOnOff(node, ep, on) {
  const tx = '<TxOptions><SecurityEnabled>false</SecurityEnabled><UseNetworkKey>false</UseNetworkKey>' +
    '<Acknowledged>true</Acknowledged><PermitFragmentation>false</PermitFragmentation></TxOptions>';
  const body = `<ZCLCommand><DestinationAddress><NetworkAddress>${node.short}</NetworkAddress></DestinationAddress>` +
    `<DestinationEndpoint>${ep}</DestinationEndpoint><ProfileID>260</ProfileID><ClusterID>6</ClusterID>` +
    `<SourceEndpoint>${gatewayEndpoint}</SourceEndpoint>${tx}<Radius>10</Radius>` +
    `<ZCLHeader>0101</ZCLHeader><ZCLPayload>0${on}</ZCLPayload></ZCLCommand>`;
  const ep2 = gatewayEndpoint.toString(16).padStart(2, '0');
  await rest(`net/default/localnode/services/${ep2}/wsnconnection/message?timeout=1388`, { method: 'POST', body });
  log('action', `${hex4(node.short)} end point ${ep} switched ${on ? 'on' : 'off'}`);
}

async function removeNode(node) {
  await rest(`net/default/wsnnodes/${hex4(node.short)}`, { method: 'DELETE' });
  log('action', `${hex4(node.short)} asked to leave`);
  refreshSoon();
}

// --- The event stream ---

function describe(doc) {
  const parts = [];
  const root = doc.documentElement;
  const sent = all(root, 'APSMessageEvent')[0];
  if (sent) {
    const src = all(sent, 'SourceAddress')[0];
    if (src) parts.push('from ' + (first(src, 'NetworkAddress') ?? '?'));
    parts.push(`ep ${first(sent, 'SourceEndpoint')}→${first(sent, 'DestinationEndpoint')}`,
      `cluster ${first(sent, 'ClusterID')}`);
    const data = first(sent, 'Data') || '';
    parts.push(`data ${data} "${printable(data)}"`);
    return parts.join(' ');
  }
  const text = root.textContent.replace(/\s+/g, ' ').trim();
  return text.length > 300 ? text.slice(0, 300) + '…' : text;
}

function onEvent(kind, e) {
  const doc = new DOMParser().parseFromString(e.data || '', 'application/xml');
  if (doc.getElementsByTagName('parsererror').length > 0) {
    log(kind, e.data || '');
    return;
  }
  log(kind, describe(doc));
  if (kind === 'gateway') {
    const state = first(doc, 'GWState') ?? first(doc, 'Value');
    if (state !== null) {
      const v = parseInt(state, 16);
      $('gw-state').textContent = `${v} (${GW_STATES[v] || 'unknown'})`;
    }
    const wsn = first(doc, 'WSNId');
    if (wsn) $('gw-wsn').textContent = wsn;
    return;
  }
  const { short, ieee } = addressOf(doc);
  let node = ieee !== null ? nodes.get(ieee) : short !== null ? nodeByShort(short) : null;
  if (kind === 'node-added' || kind === 'node-announced') {
    if (ieee !== null) node = nodeFor(ieee, short);
  }
  if (node) {
    heard(node);
    if (kind === 'node-removed') {
      // A dead node's folders go at once: the page keeps it, shown dead.
      if (!node.reportedDead) nodes.delete(node.ieee);
    } else {
      node.reportedDead = kind === 'node-dead';
      node.alive = !node.reportedDead;
    }
    const quality = first(doc, 'LinkQuality');
    if (quality !== null && kind === 'message') node.lqi = Number(quality);
    draw();
  }
  if (kind === 'gap' || kind === 'overflow' || kind.startsWith('node-')) refreshSoon(1000);
}

function connectStream() {
  if (typeof EventSource !== 'function') {
    $('stream').textContent = 'event stream unavailable';
    return;
  }
  const source = new EventSource(REST + 'events');
  source.addEventListener('open', () => {
    $('stream').textContent = 'live';
    // What changed while the stream was not open (the network formed during the page's
    // start, or while it reconnected) came with no event: the header is read again.
    readGateway().catch((e) => log('error', e.message));
  });
  source.addEventListener('error', () => {
    // A gateway without the stream answers 404: the page then refreshes on its actions.
    const closed = source.readyState === EventSource.CLOSED;
    $('stream').textContent = closed ? 'event stream unavailable' : 'reconnecting';
  });
  for (const kind of EVENT_KINDS) {
    source.addEventListener(kind, (e) => onEvent(kind, e));
  }
}

// --- Start ---

function wire() {
  $('permit-join').addEventListener('click', () => act('open joining', permitJoin));
  $('inquiry').addEventListener('click', () => act('inquiry', () => startWalk('inquiry')));
  $('lqi-walk').addEventListener('click', () => act('LQI walk', () => startWalk('lqi')));
  $('refresh').addEventListener('click', () => act('refresh', async () => {
    walkUntil = 0;
    await readGateway();
    await readNetwork();
  }));
}

// Without the stream nothing tells the page that the gateway changed state: the header is
// read again every few seconds until the stream is live.
const GATEWAY_POLL_MS = 5000;
setInterval(() => {
  if ($('stream').textContent !== 'live') readGateway().catch((e) => log('error', e.message));
}, GATEWAY_POLL_MS);

setUpMap();
wire();
connectStream();
act('loading', async () => {
  await readGateway();
  await readNetwork();
});

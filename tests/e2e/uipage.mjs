// Drives the web page in Debian's chromium (puppeteer-core) against a running orq and zbsim,
// and prints one line per check: "ok NAME", "skip NAME: reason" or "fail NAME: reason".
// Started by test_ui_page.py, which passes the setting as JSON in ORQ_UI_TEST.
import { execFileSync } from 'node:child_process';
import { createRequire } from 'node:module';
import path from 'node:path';

const cfg = JSON.parse(process.env.ORQ_UI_TEST);
const require = createRequire(path.join(cfg.sourceDir, 'ui', 'package.json'));
const puppeteer = require('puppeteer-core');

const DEADLINE = cfg.deadlineMs;
const HOSTILE = '<img src=x onerror="window.__orqInjected=1">';

function ctl(...args) {
  try {
    return execFileSync(cfg.zbsimCtl, [cfg.control, ...args], { encoding: 'utf8' }).trim();
  } catch (e) {
    return 'error: ' + String(e.stdout || e.message).trim();
  }
}

// Polls `probe` (sync or async) until it returns a true value; throws with `what` (and what
// `shown` returns, if given) at the deadline.
// Generous: chromium, the layout and the gateway share a small, loaded machine.
async function until(what, probe, timeout = 2 * DEADLINE, shown = null) {
  const end = Date.now() + timeout;
  for (;;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > end) {
      throw new Error('timed out waiting for ' + what + (shown ? `, shown: "${await shown()}"` : ''));
    }
    await new Promise((r) => setTimeout(r, 200));
  }
}

const consoleErrors = [];
function watch(page) {
  page.on('console', (msg) => {
    if (msg.type() !== 'error') return;
    const where = msg.location()?.url || '';
    // Without the stream, the browser reports its 404 (and nothing else may go wrong).
    if (cfg.events !== true && where.endsWith('/events')) return;
    consoleErrors.push(`${msg.text()} (${where})`);
  });
  page.on('pageerror', (err) => consoleErrors.push('uncaught: ' + err.message));
  page.on('dialog', (d) => d.accept());
}

const rowCount = (page) => page.$$eval('#nodes tbody tr', (rows) => rows.length);
const cellOf = (page, short, cls) => page.evaluate((s, c) => {
  const td = document.querySelector(`#nodes tr[data-short="${s}"] td.${c}`);
  return td ? td.textContent : null;
}, short, cls);
const mapCounts = (page) => page.evaluate(() => ({
  nodes: window.orqMap ? window.orqMap.nodes().length : 0,
  edges: window.orqMap ? window.orqMap.edges().length : 0,
}));
const clickButton = (page, short, label) => page.evaluate((s, l) => {
  const b = [...document.querySelectorAll(`#nodes tr[data-short="${s}"] button`)]
    .find((x) => x.textContent === l);
  if (!b) return false;
  b.click();
  return true;
}, short, label);
const noInjection = (page) => page.evaluate(() => window.__orqInjected === undefined &&
  document.querySelectorAll('main img, header img').length === 0);

const results = [];
// Runs the check `name` unless the run names the checks it wants (cfg.only) without it.
async function check(name, fn) {
  if (cfg.only && !cfg.only.includes(name)) return;
  try {
    const skipped = await fn();
    results.push(skipped ? `skip ${name}: ${skipped}` : `ok ${name}`);
  } catch (e) {
    results.push(`fail ${name}: ${e.message.split('\n')[0]}`);
  }
  console.log(results[results.length - 1]);
}

const browser = await puppeteer.launch({
  executablePath: cfg.chromium,
  headless: true,
  // The secure run's certificate is made by the test for the loopback address.
  acceptInsecureCerts: Boolean(cfg.credentials),
  args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
  timeout: 4 * DEADLINE,
  protocolTimeout: 8 * DEADLINE,
});
try {
  const page = await browser.newPage();
  page.setDefaultTimeout(4 * DEADLINE);
  watch(page);
  if (cfg.credentials) await page.authenticate(cfg.credentials);
  // A browser without EventSource: the page has to find out by itself what changes.
  if (cfg.noEventSource) await page.evaluateOnNewDocument(() => { delete window.EventSource; });
  await page.setViewport({ width: 1280, height: 900 });
  await page.goto(cfg.url, { waitUntil: 'load' });

  await check('gateway', async () => {
    const state = () => page.$eval('#gw-state', (e) => e.textContent);
    if (cfg.startFromPage) {
      // The page opened on a gateway waiting for its start-up request: it shows that state,
      // then follows the network forming once the request is made.
      const before = await until('a gateway state', async () => {
        const shown = await state();
        return shown !== '?' && shown;
      });
      if (before.startsWith('3 ')) throw new Error('running before the start-up request');
      const status = await page.evaluate(async () => (await fetch('/startup?start=true&timeout=7530', {
        method: 'POST',
        body: '<StartupAttributeInfo><StartupControl>0</StartupControl></StartupAttributeInfo>',
      })).status);
      if (status !== 200) throw new Error(`the start-up request answered ${status}`);
    }
    await until('gateway state 3', async () => (await state()).startsWith('3 '), 2 * DEADLINE, state);
    const version = await page.$eval('#gw-version', (e) => e.textContent);
    if (!/^\d+\.\d+/.test(version)) throw new Error('version shown: ' + version);
    const channel = await page.$eval('#gw-channel', (e) => e.textContent);
    if (channel !== '15') throw new Error('channel shown: ' + channel);
    // events: true (the stream is there), false (404) or null (the run cannot tell).
    const expected = cfg.events === true ? ['live'] : cfg.events === false
      ? ['event stream unavailable'] : ['live', 'event stream unavailable'];
    await until(`the stream shown as ${expected.join(' or ')}`, async () =>
      expected.includes(await page.$eval('#stream', (e) => e.textContent)));
  });

  await check('inquiry', async () => {
    await page.click('#inquiry');
    await until('the inquiry to end', async () =>
      (await page.$eval('#status', (e) => e.textContent)) === 'inquiry finished', 3 * DEADLINE);
    if ((await rowCount(page)) !== 6) throw new Error(`${await rowCount(page)} rows, not 6`);
  });
  await check('network', async () => {
    // An LQI walk goes down to the nodes already known: the inquiry found them.
    const status = () => page.$eval('#status', (e) => e.textContent);
    await page.click('#lqi-walk');
    await until('the LQI walk to end', async () => (await status()) === 'LQI walk finished',
      3 * DEADLINE);
    await until('6 nodes and their links', async () => {
      const m = await mapCounts(page);
      return (await rowCount(page)) === 6 && m.nodes === 6 && m.edges >= 5;
    }, 3 * DEADLINE);
    for (const [short, type] of [['0000', 'Coordinator'], ['1001', 'Router'], ['2101', 'EndDevice']]) {
      // A node's type comes with its descriptor, which may be read after its links.
      const shown = () => cellOf(page, short, 'type');
      await until(`node ${short} shown as ${type}`, async () => (await shown()) === type,
        3 * DEADLINE, shown);
    }
    await until('map drawn', async () => (await page.$eval('#map canvas', (c) => c.width)) > 0);
    await (await page.$('#map-section')).screenshot({ path: cfg.screenshot });
  });

  await check('light', async () => {
    await until('descriptors button', () => clickButton(page, '1101', 'Descriptors'));
    await until('on/off buttons for end point 1', () => clickButton(page, '1101', 'EP 1 on'));
    await until('zbsim light on', () => /on=(true|1|on)\b/.test(ctl('show', 'light')));
    const power = await cellOf(page, '1101', 'power');
    if (!power.startsWith('mains')) throw new Error('light power shown: ' + power);
    await until('off button', () => clickButton(page, '1101', 'EP 1 off'));
    await until('zbsim light off', () => /on=(false|0|off)\b/.test(ctl('show', 'light')));
  });

  await check('hostile-text', async () => {
    // Replies crafted as a hostile gateway would send them: markup in every text field.
    const hostile = await browser.newPage();
    hostile.setDefaultTimeout(4 * DEADLINE);
    watch(hostile);
    await hostile.setRequestInterception(true);
    const escaped = HOSTILE.replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;');
    hostile.on('request', (req) => {
      const u = new URL(req.url());
      const doc = (inner) => `<?xml version="1.0"?><Info><Status><Code>0</Code></Status><Detail>${inner}</Detail></Info>`;
      if (u.pathname === '/version') {
        req.respond({ contentType: 'application/xml', body: doc(`<Version><ManufacturerVersion>${escaped}</ManufacturerVersion></Version>`) });
      } else if (u.pathname === '/net/default/ib/c4') {
        req.respond({ contentType: 'application/xml', body: doc(`<Value>${escaped}</Value>`) });
      } else {
        req.continue();
      }
    });
    await hostile.goto(cfg.url, { waitUntil: 'load' });
    await until('the crafted version shown', async () =>
      (await hostile.$eval('#gw-version', (e) => e.textContent)) === HOSTILE);
    if ((await hostile.$eval('#gw-epid', (e) => e.textContent)) !== HOSTILE) {
      throw new Error('the crafted PAN id is not shown as text');
    }
    if (!(await noInjection(hostile))) throw new Error('the crafted markup became an element');
    await hostile.close();
  });

  const needsStream = cfg.events ? null : 'GET /events answers 404 here: no live updates to watch';

  await check('payload-as-text', async () => {
    if (needsStream) return needsStream;
    const hex = Buffer.from(HOSTILE).toString('hex');
    ctl('send', 'sensor', '1', '0x0000', hex);
    await until('the payload in the event log', () => page.evaluate((h) =>
      [...document.querySelectorAll('#log .text')].some((t) => t.textContent.includes(h)), HOSTILE));
    if (!(await noInjection(page))) throw new Error('the payload became an element');
  });

  await check('join-live', async () => {
    if (needsStream) return needsStream;
    await page.click('#permit-join');
    await until('joining open', async () =>
      (await page.$eval('#status', (e) => e.textContent)).endsWith('done'));
    await until('zbsim join', () => ctl('join', 'newcomer').startsWith('ok'));
    await until('the new node on the page', async () =>
      (await cellOf(page, cfg.newcomerShort, 'state')) === 'alive' &&
      (await mapCounts(page)).nodes === 7, 2 * DEADLINE);
  });

  await check('kill-live', async () => {
    if (needsStream) return needsStream;
    if (!ctl('kill', 'plug').startsWith('ok')) throw new Error('zbsim did not kill the plug');
    await until('the plug dead on the page', async () =>
      (await cellOf(page, '2101', 'state')) === 'dead', 4 * DEADLINE);
  });

  await check('console', async () => {
    if (consoleErrors.length) throw new Error(consoleErrors.join(' | '));
  });
} finally {
  await browser.close();
}
process.exit(results.some((r) => r.startsWith('fail')) ? 1 : 0);

// Drives mgtweb in Debian's headless Chromium. Started by browser_test.cpp,
// which runs mgtd and the servers and passes their URLs in the environment.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, mkdirSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';

const env = (name) => {
  const v = process.env[name];
  if (!v) throw new Error(`${name} is not set (run through mgtweb_browser_test)`);
  return v;
};
const URL = env('MGTWEB_URL');
const SHOTS = env('SCREENSHOT_DIR');
const DOWNLOADS = join(env('PROFILE_DIR'), '..', 'downloads');
const XSS = '<img src=x onerror=alert(1)>';

let browser;
let admin; // the administrator's page, shared by the tests in order

before(async () => {
  browser = await puppeteer.launch({
    executablePath: env('CHROMIUM'),
    headless: false, // the flags below make it headless, as on the CI machine
    userDataDir: env('PROFILE_DIR'),
    acceptInsecureCerts: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
});

after(async () => { if (browser) await browser.close(); });

async function newPage(context = browser.defaultBrowserContext()) {
  const page = await context.newPage();
  await page.setViewport({ width: 1280, height: 820 });
  page.alerts = [];
  page.requests = [];
  page.on('request', (r) => page.requests.push(r.url()));
  page.on('dialog', async (d) => { page.alerts.push(d.message()); await d.dismiss(); });
  return page;
}

const shot = (page, name) => page.screenshot({ path: join(SHOTS, name + '.png') });
const text = (page, sel) => page.$eval(sel, (e) => e.textContent);
const visible = (page, sel) => page.waitForSelector(sel, { visible: true, timeout: 5000 });

async function login(page, user, password) {
  await visible(page, '#login-page');
  await page.$eval('#login-user', (e) => { e.value = ''; });
  await page.type('#login-user', user);
  await page.type('#login-password', password);
  await page.click('#login-button');
}

// Types into a parameter's field and submits it; returns the message shown.
async function setParam(page, full, value) {
  const form = `form[data-param="${full}"]`;
  await visible(page, form);
  await page.$eval(`${form} input`, (e) => { e.value = ''; });
  await page.type(`${form} input`, value);
  await page.click(`${form} button`);
  await page.waitForFunction((f) => {
    const m = document.querySelector(`${f} .msg`);
    return m && m.textContent && m.textContent !== 'Saving…';
  }, { timeout: 5000 }, form);
  return text(page, `${form} .msg`);
}

// Clicks once the element is there (the page fills itself in after login).
async function click(page, sel) {
  await visible(page, sel);
  await page.click(sel);
}

async function selectEntity(page, path) {
  await click(page, `li[data-path="${path}"] > button.name`);
  await page.waitForSelector(`#params[data-path="${path}"]`, { timeout: 5000 });
}

async function expand(page, path) {
  await click(page, `li[data-path="${path}"] > button.toggle`);
  await page.waitForSelector(`li[data-path="${path}"] > ul > li`, { timeout: 5000 });
}

async function runCommand(page, name, options = '') {
  await page.select('#command', name);
  await page.$eval('#options', (e, v) => { e.value = v; }, options);
  await page.click('#run');
}

const finished = (page) => page.waitForFunction(
  () => /^(Finished|Failed)/.test(document.getElementById('run-status').textContent), { timeout: 5000 });

test('a wrong password is refused with one generic text, the right one logs in', async () => {
  admin = await newPage();
  await admin.goto(URL);
  await shot(admin, 'login');
  await login(admin, 'admin', 'wrong');
  await admin.waitForFunction(() => document.getElementById('login-error').textContent !== '');
  assert.equal(await text(admin, '#login-error'), 'Login failed');
  await login(admin, 'admin', 'admin');
  await visible(admin, '#app');
  await admin.waitForSelector('#params[data-path="system"]', { timeout: 5000 });
  await admin.waitForSelector('#command option', { timeout: 5000 });
  assert.equal(await text(admin, '#host'), 'appliance-01');
  assert.equal(await text(admin, '#level'), 'administrator');
  assert.match(await text(admin, '#user'), /^admin/);
});

test('the tree opens on demand and shows each entity\'s parameters', async () => {
  await expand(admin, 'system.network');
  await selectEntity(admin, 'system.network.eth0');
  assert.equal(await text(admin, '#entity-title'), 'Ethernet port eth0');
  const names = await admin.$$eval('#params tbody th', (ths) => ths.map((t) => t.textContent));
  assert.deepEqual(names.slice(0, 3), ['admin', 'speed', 'mtu']);
  assert.ok(names.includes('ipv4.address'));
  assert.equal(await admin.$('li[data-path="system.network.debug"]'), null, 'hidden entity not listed');
  // Keyboard: arrows move between nodes, Enter selects.
  await admin.focus('li[data-path="system.network.eth0"] > button.name');
  await admin.keyboard.press('ArrowDown');
  await admin.keyboard.press('Enter');
  await admin.waitForFunction(() => document.getElementById('entity-title').textContent === 'Ethernet port eth1');
  await selectEntity(admin, 'system.network.eth0');
  await shot(admin, 'main');
});

test('a refused value shows the daemon\'s text, an accepted one is stored', async () => {
  assert.equal(await setParam(admin, 'system.network.eth0.mtu', '99999'), 'Value out of range');
  assert.equal(await setParam(admin, 'system.network.eth0.mtu', '1400'), 'Saved.');
  await selectEntity(admin, 'system.network.eth1');
  await selectEntity(admin, 'system.network.eth0');
  assert.equal(await admin.$eval('form[data-param="system.network.eth0.mtu"] input', (e) => e.value), '1400');
});

test('a value with markup is shown as text, never run', async () => {
  await selectEntity(admin, 'system');
  assert.equal(await setParam(admin, 'system.contact', XSS), 'Saved.');
  await selectEntity(admin, 'system.network');
  await selectEntity(admin, 'system');
  assert.equal(await admin.$eval('form[data-param="system.contact"] input', (e) => e.value), XSS);
  assert.equal(await admin.$('#params img'), null);
  assert.deepEqual(admin.alerts, []);
});

test('a state-changing request without the CSRF token is refused', async () => {
  const status = await admin.evaluate(async () => (await fetch('api/param', {
    method: 'PUT', headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ name: 'system.contact', value: 'forged' }),
  })).status);
  assert.equal(status, 403);
});

test('a command streams its output and asks its question in the page', async () => {
  await runCommand(admin, 'ping');
  await visible(admin, '#prompt-form');
  assert.equal(await text(admin, '#prompt-text'), 'Host to ping: ');
  assert.equal(await admin.$eval('#prompt-input', (e) => e.type), 'text');
  await admin.type('#prompt-input', '192.0.2.1');
  await admin.keyboard.press('Enter');
  await finished(admin);
  assert.match(await text(admin, '#output'), /64 bytes from 192\.0\.2\.1: seq=1 time=0\.3 ms/);
  await selectEntity(admin, 'system.network.eth0');
  await shot(admin, 'commands');
  // A secret prompt is masked and its answer not echoed.
  await runCommand(admin, 'set-root-password');
  await visible(admin, '#prompt-form');
  assert.equal(await admin.$eval('#prompt-input', (e) => e.type), 'password');
  await admin.type('#prompt-input', 'n3w-s3cret-pw');
  await admin.keyboard.press('Enter');
  await finished(admin);
  assert.doesNotMatch(await text(admin, '#output'), /n3w-s3cret-pw/);
  assert.match(await text(admin, '#output'), /Password changed\./);
});

test('the XML result downloads as a file', async () => {
  mkdirSync(DOWNLOADS, { recursive: true });
  const cdp = await admin.createCDPSession();
  await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: DOWNLOADS });
  await runCommand(admin, 'export-config');
  await finished(admin);
  await visible(admin, '#xml-link');
  await admin.click('#xml-link');
  const file = join(DOWNLOADS, 'result.xml');
  for (let i = 0; i < 100 && !existsSync(file); i++) await new Promise((r) => setTimeout(r, 50));
  const xml = readFileSync(file, 'utf8');
  assert.match(xml, /<model host="appliance-01">/);
  assert.match(xml, /<\/model>\n$/);
});

test('two users at different levels work at the same time', async () => {
  const other = await browser.createBrowserContext();
  const monitor = await newPage(other);
  await monitor.goto(URL);
  await login(monitor, 'monitor', 'monitor');
  await visible(monitor, '#app');
  await monitor.waitForSelector('#params[data-path="system"]', { timeout: 5000 });
  await monitor.waitForSelector('#command option', { timeout: 5000 });
  assert.equal(await text(monitor, '#level'), 'monitor');
  assert.equal(await monitor.$eval('#show-log', (e) => e.hidden), true);
  const commands = await monitor.$$eval('#command option', (os) => os.map((o) => o.value));
  assert.ok(!commands.includes('export-config') && commands.includes('ping'));
  await selectEntity(monitor, 'system');
  await selectEntity(admin, 'system');
  // The monitor's location row is read-only for it; the request is refused
  // by the daemon even when sent.
  assert.equal(await monitor.$('form[data-param="system.location"]'), null);
  assert.equal(await text(monitor, 'tr[data-param="system.contact"] .value'), XSS);
  assert.equal(await monitor.$('#params img'), null);
  const [mine, theirs] = await Promise.all([
    setParam(admin, 'system.location', 'Rack 7'),
    monitor.evaluate(async () => {
      const s = await (await fetch('api/session')).json();
      const r = await fetch('api/param', { method: 'PUT', headers: { 'Content-Type': 'application/json', 'X-CSRF-Token': s.csrf },
        body: JSON.stringify({ name: 'system.location', value: 'Monitor was here' }) });
      return [r.status, (await r.json()).error];
    }),
  ]);
  assert.equal(mine, 'Saved.');
  assert.equal(theirs[0], 422);
  assert.match(theirs[1], /Permission denied/);
  await monitor.setViewport({ width: 420, height: 900 });
  await shot(monitor, 'narrow-monitor');
  await other.close();
});

test('administrators read the security log', async () => {
  await admin.click('#show-log');
  await visible(admin, '#log-dialog');
  const lines = await text(admin, '#log-lines');
  assert.match(lines, /user=admin: web login from 127\.0\.0\.1/);
  assert.match(lines, /set system\.location=Rack 7/);
  await admin.keyboard.press('Escape');
});

test('the page loads nothing from anywhere but its own server', async () => {
  const origin = new globalThis.URL(URL).origin;
  const foreign = admin.requests.filter((u) => new globalThis.URL(u).origin !== origin);
  assert.deepEqual(foreign, []);
  assert.ok(admin.requests.some((u) => u.endsWith('/js/main.js')));
});

test('logout ends the session and returns to the login page', async () => {
  await admin.click('#logout');
  await visible(admin, '#login-page');
  assert.equal(await text(admin, '#login-note'), 'You have logged out.');
  assert.equal(await admin.evaluate(async () => (await fetch('api/session')).status), 401);
});

test('a session closed by the idle monitor sends the page back to the login', async () => {
  const ctx = await browser.createBrowserContext();
  const page = await newPage(ctx);
  await page.goto(env('MGTWEB_QUICK_URL'));
  await login(page, 'operator', 'operator');
  await visible(page, '#app');
  await new Promise((r) => setTimeout(r, 1200)); // idle for more than three monitor passes
  await click(page, 'li[data-path="system"] > button.name');
  await visible(page, '#login-page');
  assert.equal(await text(page, '#login-note'), 'Your session has expired. Please log in again.');
  await shot(page, 'expired');
  await ctx.close();
});

test('over HTTPS the cookie is Secure as well', async () => {
  const ctx = await browser.createBrowserContext();
  const page = await newPage(ctx);
  await page.goto(env('MGTWEB_TLS_URL'));
  await login(page, 'admin', 'admin');
  await visible(page, '#app');
  const [cookie] = await page.cookies();
  assert.equal(cookie.name, 'mgtweb');
  assert.ok(cookie.secure && cookie.httpOnly);
  assert.equal(cookie.sameSite, 'Strict');
  await ctx.close();
});

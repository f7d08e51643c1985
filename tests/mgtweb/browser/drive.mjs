// Drives mgtweb in Debian's headless Chromium; started by test_mgtweb, which
// runs mgtd and the servers and passes their URLs in the environment.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';

const { MGTWEB_URL: URL, MGTWEB_TLS_URL: TLS_URL, SCREENSHOT_DIR: SHOTS } = process.env;
const XSS = '<img src=x onerror=alert(1)>';
let browser, admin; // the administrator's page, shared by the tests in order

before(async () => {
  browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium', headless: false, userDataDir: process.env.PROFILE_DIR, acceptInsecureCerts: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'],
  });
});
after(async () => { if (browser) await browser.close(); });

const text = (page, sel) => page.$eval(sel, (e) => e.textContent);
const visible = (page, sel) => page.waitForSelector(sel, { visible: true, timeout: 5000 });
const click = async (page, sel) => { await visible(page, sel); await page.click(sel); };
const select = async (page, path) => { // an entity of the tree, once its parameters are shown
  await click(page, `li[data-path="${path}"] > button.name`);
  await page.waitForSelector(`#params[data-path="${path}"]`, { timeout: 5000 });
};
async function open(url, user, password) {
  const page = await (await browser.createBrowserContext()).newPage();
  page.alerts = [];
  page.requests = [];
  page.on('request', (r) => page.requests.push(r.url()));
  page.on('dialog', async (d) => { page.alerts.push(d.message()); await d.dismiss(); });
  await page.goto(url);
  for (const pw of [password + 'x', password]) { // a wrong password first
    await visible(page, '#login-page');
    await page.$eval('#login-user', (e) => { e.value = ''; });
    await page.type('#login-user', user);
    await page.type('#login-password', pw);
    await page.click('#login-button');
    if (pw !== password) await page.waitForFunction(() => document.getElementById('login-error').textContent !== '');
  }
  await page.waitForSelector('#params[data-path="system"]', { timeout: 5000 });
  await page.waitForSelector('#command option', { timeout: 5000 });
  return page;
}
async function setParam(page, full, value) { // returns the message shown
  const form = `form[data-param="${full}"]`;
  await page.$eval(`${form} input`, (e) => { e.value = ''; });
  await page.type(`${form} input`, value);
  await page.click(`${form} button`);
  await page.waitForFunction((f) => !/^(|Saving…)$/.test(document.querySelector(`${f} .msg`).textContent), {}, form);
  return text(page, `${form} .msg`);
}
async function run(page, name, answer) { // answers the command's one question
  await page.select('#command', name);
  await page.click('#run');
  await visible(page, '#prompt-form');
  const secret = await page.$eval('#prompt-input', (e) => e.type === 'password');
  await page.type('#prompt-input', answer);
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => /^(Finished|Failed)/.test(document.getElementById('run-status').textContent));
  return [secret, await text(page, '#output')];
}

test('an administrator logs in, walks the tree and sets values; markup stays text', async () => {
  admin = await open(URL, 'admin', 'admin');
  assert.equal(await text(admin, '#level'), 'administrator');
  await click(admin, 'li[data-path="system.network"] > button.toggle');
  await select(admin, 'system.network.eth0');
  assert.equal(await admin.$('li[data-path="system.network.debug"]'), null, 'hidden entity not listed');
  assert.equal(await setParam(admin, 'system.network.eth0.mtu', '99999'), 'Value out of range');
  await admin.screenshot({ path: join(SHOTS, 'main.png') });
  await select(admin, 'system');
  assert.equal(await setParam(admin, 'system.contact', XSS), 'Saved.');
  await select(admin, 'system.network');
  await select(admin, 'system');
  assert.equal(await admin.$eval('form[data-param="system.contact"] input', (e) => e.value), XSS);
  assert.equal(await admin.$('#params img'), null);
  const forged = await admin.evaluate(async () => (await fetch('api/param', { method: 'PUT',
    headers: { 'Content-Type': 'application/json' }, body: '{"name":"system.contact","value":"x"}' })).status);
  assert.equal(forged, 403, 'no CSRF token');
});

test('commands stream their output and ask in the page; secrets are masked', async () => {
  const [plain, ping] = await run(admin, 'ping', '192.0.2.1');
  assert.ok(!plain && /64 bytes from 192\.0\.2\.1: seq=1 time=0\.3 ms/.test(ping));
  const [secret, output] = await run(admin, 'set-root-password', 'n3w-s3cret-pw');
  assert.ok(secret && /Password changed\./.test(output) && !/n3w-s3cret-pw/.test(output));
});

test('a monitor sees values as text and cannot change them, alongside the administrator', async () => {
  const monitor = await open(URL, 'monitor', 'monitor');
  assert.equal(await text(monitor, '#level'), 'monitor');
  assert.equal(await monitor.$eval('#show-log', (e) => e.hidden), true);
  assert.equal(await monitor.$('form[data-param="system.location"]'), null);
  assert.equal(await text(monitor, 'tr[data-param="system.contact"] .value'), XSS);
  assert.deepEqual([admin.alerts, monitor.alerts, await monitor.$('#params img')], [[], [], null]);
  await monitor.screenshot({ path: join(SHOTS, 'monitor.png') });
  await admin.click('#show-log'); // the security log, for administrators
  await admin.waitForFunction(() => /user=monitor: web login from 127\.0\.0\.1/.test(document.getElementById('log-lines').textContent));
});

test('the page loads only from its own server, and logout ends the session', async () => {
  const origin = new globalThis.URL(URL).origin;
  assert.deepEqual(admin.requests.filter((u) => new globalThis.URL(u).origin !== origin), []);
  await admin.keyboard.press('Escape');
  await click(admin, '#logout');
  await visible(admin, '#login-page');
  assert.equal(await admin.evaluate(async () => (await fetch('api/session')).status), 401);
});

test('over HTTPS the cookie is Secure as well', async () => {
  const [cookie] = await (await open(TLS_URL, 'admin', 'admin')).cookies();
  assert.ok(cookie.name === 'mgtweb' && cookie.secure && cookie.httpOnly && cookie.sameSite === 'Strict');
});

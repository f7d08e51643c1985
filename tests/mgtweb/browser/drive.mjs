// Drives mgtweb in Debian's headless Chromium; test_mgtweb runs the servers and passes MGTWEB_URL.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import puppeteer from 'puppeteer-core';
import { existsSync, mkdirSync, readFileSync } from 'node:fs';

const { MGTWEB_URL: URL, SCREENSHOT_DIR } = process.env;
const XSS = '<img src=x onerror=alert(1)>';
let browser, admin; // the administrator's page, shared by the tests in order
before(async () => {
  browser = await puppeteer.launch({ executablePath: '/usr/bin/chromium', headless: false,
    userDataDir: process.env.PROFILE_DIR, args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run'] });
});
after(async () => { if (browser) await browser.close(); });

const text = (page, sel) => page.$eval(sel, (e) => e.textContent);
const select = (page, path) => page.waitForSelector(`li[data-path="${path}"] > button.name`, { visible: true })
  .then((e) => e.click()).then(() => page.waitForSelector(`#params[data-path="${path}"]`)); // its parameters shown
async function open(url, user, password) { // logs in after one wrong password
  const page = Object.assign(await (await browser.createBrowserContext()).newPage(), { alerts: [], requests: [] });
  page.on('request', (r) => page.requests.push(r.url()));
  page.on('dialog', (d) => page.alerts.push(d.message()) && d.dismiss());
  await page.goto(url);
  for (const pw of [password + 'x', password]) {
    await page.waitForSelector('#login-page', { visible: true });
    await page.$eval('#login-user', (e) => { e.value = ''; });
    await page.type('#login-user', user);
    await page.type('#login-password', pw);
    await page.click('#login-button');
    if (pw !== password) await page.waitForFunction(() => document.getElementById('login-error').textContent === 'Login failed');
  }
  await page.waitForSelector('#command option', { timeout: 5000 });
  await select(page, 'system');
  return page;
}
async function setParam(page, full, value) { // the message shown
  const form = `form[data-param="${full}"]`;
  await page.$eval(`${form} input`, (e) => { e.value = ''; });
  await page.type(`${form} input`, value);
  await page.click(`${form} button`);
  await page.waitForFunction((f) => !/^(|Saving…)$/.test(document.querySelector(`${f} .msg`).textContent), {}, form);
  return text(page, `${form} .msg`);
}
test('an administrator sets values, sees refusals, runs a command; markup stays text', async () => {
  admin = await open(URL, 'admin', 'admin');
  assert.equal(await setParam(admin, 'system.contact', XSS), 'Saved.');
  await admin.click('li[data-path="system.network"] > button.toggle');
  await select(admin, 'system.network.eth0');
  assert.equal(await admin.$('li[data-path="system.network.debug"]'), null, 'hidden entity not listed');
  assert.equal(await setParam(admin, 'system.network.eth0.mtu', '99999'), 'Value out of range');
  await admin.screenshot({ path: `${SCREENSHOT_DIR}/admin.png` });
  await select(admin, 'system');
  assert.equal(await admin.$eval('form[data-param="system.contact"] input', (e) => e.value), XSS);
  await admin.select('#command', 'set-root-password'); // a command's question, masked, answered in the page
  await admin.click('#run');
  await admin.waitForSelector('#prompt-form', { visible: true });
  assert.equal(await admin.$eval('#prompt-input', (e) => e.type), 'password');
  await admin.type('#prompt-input', 'n3w-s3cret-pw');
  await admin.keyboard.press('Enter');
  await admin.waitForFunction(() => /^Finished/.test(document.getElementById('run-status').textContent));
  assert.ok(/Password changed\./.test(await text(admin, '#output')) && !/n3w-s3cret-pw/.test(await text(admin, '#output')));
});

test('a monitor only reads; the page loads only from its server; logout ends the session', async () => {
  const monitor = await open(URL, 'monitor', 'monitor');
  assert.equal(await text(monitor, '#level'), 'monitor');
  assert.equal(await monitor.$('form[data-param="system.location"]'), null);
  assert.equal(await text(monitor, 'tr[data-param="system.contact"] .value'), XSS);
  assert.deepEqual([admin.alerts, monitor.alerts, await monitor.$('#params img'), await admin.$('#params img')], [[], [], null, null]);
  const origin = new globalThis.URL(URL).origin;
  assert.deepEqual(admin.requests.filter((u) => new globalThis.URL(u).origin !== origin), []);
  mkdirSync(`${process.env.HOME}/downloads`, { recursive: true }); // the XML result downloads as a file
  const cdp = await admin.createCDPSession();
  await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: `${process.env.HOME}/downloads`,
    browserContextId: admin.browserContext().id });
  await admin.select('#command', 'export-config');
  await admin.click('#run');
  await admin.waitForFunction(() => /^Finished/.test(document.getElementById('run-status').textContent));
  await admin.waitForSelector('#xml-link', { visible: true });
  await admin.click('#xml-link');
  const file = `${process.env.HOME}/downloads/result.xml`;
  for (let i = 0; i < 100 && !existsSync(file); i++) await new Promise((r) => setTimeout(r, 50));
  assert.match(readFileSync(file, 'utf8'), /<model host="appliance-01">[^]*<\/model>\n$/);
  await admin.click('#logout');
  await admin.waitForSelector('#login-page', { visible: true });
  assert.equal(await admin.evaluate(async () => (await fetch('api/session')).status), 401);
});

test('a session closed by the idle monitor sends the page back to the login', async () => {
  const page = await open(process.env.MGTWEB_QUICK_URL, 'operator', 'operator');
  await new Promise((r) => setTimeout(r, 1200)); // idle for more than three monitor passes
  await page.click('li[data-path="system"] > button.name');
  await page.waitForSelector('#login-page', { visible: true });
  assert.equal(await text(page, '#login-note'), 'Your session has expired. Please log in again.');
  await page.screenshot({ path: `${SCREENSHOT_DIR}/expired.png` });
});

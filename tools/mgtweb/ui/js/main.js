// Start-up: the login page or, with a live session, the management view.
import { call, get, onExpired, setCsrf } from './api.js';
import { $ } from './dom.js';
import { loadTree } from './tree.js';
import { showEntity } from './params.js';
import { initCommands, loadCommands, stopCommands } from './commands.js';

const LEVELS = ['anonymous', 'monitor', 'operator', 'administrator'];

function showLogin(note) {
  stopCommands();
  setCsrf('');
  $('app').hidden = true;
  $('login-page').hidden = false;
  $('login-note').textContent = note || '';
  $('login-password').value = '';
  $('login-user').focus();
}

async function showApp(session) {
  setCsrf(session.csrf);
  $('host').textContent = session.host;
  $('user').textContent = session.name ? `${session.user} (${session.name})` : session.user;
  $('level').textContent = LEVELS[session.level] || 'level ' + session.level;
  $('show-log').hidden = session.level < 3;
  $('login-page').hidden = true;
  $('app').hidden = false;
  document.title = 'Appliance ' + session.host;
  await Promise.all([loadTree(showEntity), loadCommands()]);
}

async function login(ev) {
  ev.preventDefault();
  $('login-error').textContent = '';
  $('login-button').disabled = true;
  const r = await call('POST', 'api/login', { user: $('login-user').value, password: $('login-password').value });
  $('login-button').disabled = false;
  $('login-password').value = '';
  if (r.status === 200) await showApp(r.data);
  else $('login-error').textContent = r.data.error || 'Login failed';
}

async function logout() {
  await call('POST', 'api/logout', {});
  showLogin('You have logged out.');
}

async function showLog() {
  const r = await get('api/log');
  $('log-lines').textContent = r.status === 200 ? r.data.lines.join('\n') : (r.data.error || '');
  $('log-dialog').showModal();
}

async function start() {
  $('login-form').addEventListener('submit', login);
  $('logout').addEventListener('click', logout);
  $('show-log').addEventListener('click', showLog);
  initCommands();
  onExpired(() => showLogin('Your session has expired. Please log in again.'));
  const r = await get('api/session');
  if (r.status === 200) await showApp(r.data);
  else showLogin('');
}

start();

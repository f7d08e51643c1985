// Talks to mgtweb's JSON API. The CSRF token of the session goes with every
// state-changing request; a 401 anywhere means the session is gone.
let csrf = '';
const listeners = new Set();

export function setCsrf(token) { csrf = token || ''; }

// Called with no arguments when the server no longer knows the session.
export function onExpired(fn) { listeners.add(fn); }

export async function call(method, path, body) {
  const init = { method, headers: {}, credentials: 'same-origin' };
  if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  if (method !== 'GET') init.headers['X-CSRF-Token'] = csrf;
  let res;
  try {
    res = await fetch(path, init);
  } catch {
    return { status: 0, data: { error: 'The server cannot be reached' } };
  }
  let data = {};
  try { data = await res.json(); } catch { /* an empty body */ }
  if (res.status === 401 && path !== 'api/login') listeners.forEach((fn) => fn());
  return { status: res.status, data };
}

export const get = (path) => call('GET', path);

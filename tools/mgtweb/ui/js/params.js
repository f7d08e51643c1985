// The selected entity's parameters with inline editing. A value the daemon
// refuses shows the daemon's own text beside the field.
import { call, get } from './api.js';
import { $, el, confirmDialog } from './dom.js';

let shownPath = null;

function editor(p) {
  if (p.choices) {
    const s = el('select', { 'aria-label': p.name });
    for (const c of p.choices) s.append(el('option', { value: c, text: c, selected: c === p.value }));
    return s;
  }
  const attrs = { 'aria-label': p.name, value: p.value ?? '' };
  if (p.type === 'integer') Object.assign(attrs, { inputmode: 'numeric' });
  if (p.type === 'string' && p.max !== undefined) attrs.maxlength = p.max;
  return el('input', attrs);
}

async function save(p, input, msg, shown) {
  msg.className = 'msg note';
  msg.textContent = 'Saving…';
  let body = { name: p.full, value: input.value };
  let r = await call('PUT', 'api/param', body);
  if (r.status === 409 && r.data.confirm) {
    if (!(await confirmDialog(r.data.confirm))) {
      msg.textContent = 'Not changed.';
      return;
    }
    r = await call('PUT', 'api/param', { ...body, confirmed: true });
  }
  if (r.status === 200) {
    msg.className = 'msg ok';
    msg.textContent = 'Saved.';
    if (r.data.value !== undefined) { p.value = r.data.value; input.value = r.data.value; shown.textContent = r.data.value; }
  } else {
    msg.className = 'msg error';
    msg.textContent = r.data.error || ('Refused (' + r.status + ')');
  }
}

function about(p) {
  const parts = [];
  if (p.info) parts.push(p.info);
  if (p.type === 'integer' && p.min !== undefined) parts.push(`${p.min} to ${p.max}`);
  if (p.type === 'string' && p.max !== undefined) parts.push(`${p.min} to ${p.max} characters`);
  if (p.readonly) parts.push('read only');
  return parts.join(' · ');
}

function row(p) {
  const shown = el('span', { class: 'value', text: p.value ?? '(' + (p.unreadable || 'not readable') + ')' });
  const cell = el('td');
  if (p.readonly) {
    cell.append(shown);
  } else {
    const input = editor(p);
    const msg = el('span', { class: 'msg', role: 'alert' });
    const button = el('button', { type: 'submit', class: 'plain', text: 'Set' });
    const form = el('form', { class: 'edit', 'data-param': p.full }, input, button, msg);
    form.addEventListener('submit', (ev) => { ev.preventDefault(); save(p, input, msg, shown); });
    cell.append(form);
  }
  return el('tr', { 'data-param': p.full }, el('th', { scope: 'row', text: p.name }), cell,
    el('td', { class: 'about', text: about(p) }));
}

export async function showEntity(path) {
  shownPath = path;
  delete $('params').dataset.path;
  const [tree, params] = await Promise.all([get('api/tree?path=' + encodeURIComponent(path)),
    get('api/params?path=' + encodeURIComponent(path))]);
  if (shownPath !== path) return;
  $('entity-title').textContent = tree.status === 200 ? (tree.data.title || path) : path;
  $('entity-info').textContent = tree.status === 200 ? tree.data.info : (tree.data.error || '');
  const body = $('params').tBodies[0];
  body.replaceChildren();
  for (const p of (params.status === 200 ? params.data.params : [])) body.append(row(p));
  $('params').dataset.path = path; // shown in full
}

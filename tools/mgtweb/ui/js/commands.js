// The commands pane: the daemon's commands at the user's level, a run with
// its output arriving as it is printed, the daemon's questions answered
// here, and the XML result to download.
import { call, get } from './api.js';
import { $, el, confirmDialog } from './dom.js';

let commands = [];
let source = null;

function describe() {
  const c = commands.find((x) => x.name === $('command').value);
  $('command-text').textContent = c ? c.text : '';
  $('option-list').replaceChildren(...(c ? c.options : []).map((o) => el('option', { value: o })));
}

export async function loadCommands() {
  const { status, data } = await get('api/commands');
  commands = status === 200 ? data.commands : [];
  $('command').replaceChildren(...commands.map((c) => el('option', { value: c.name, text: c.name })));
  describe();
}

function finish(text, ok) {
  if (source) source.close();
  source = null;
  $('prompt-form').hidden = true;
  $('run').disabled = false;
  $('run-status').className = ok ? 'note ok' : 'note error';
  $('run-status').textContent = text;
}

function follow() {
  const out = $('output');
  source = new EventSource('api/job/events');
  source.addEventListener('output', (ev) => {
    out.append(document.createTextNode(JSON.parse(ev.data)));
    out.scrollTop = out.scrollHeight;
  });
  source.addEventListener('prompt', (ev) => {
    const q = JSON.parse(ev.data);
    out.append(document.createTextNode(q.text));
    $('prompt-text').textContent = q.text;
    const input = $('prompt-input');
    input.type = q.secret ? 'password' : 'text';
    input.value = '';
    $('prompt-form').hidden = false;
    input.focus();
  });
  source.addEventListener('done', (ev) => {
    const d = JSON.parse(ev.data);
    $('xml-link').hidden = !d.xml;
    if (d.error) finish('Failed: ' + d.error, false);
    else finish('Finished' + (d.result ? ' with result ' + d.result : '') + '.', true);
  });
  source.onerror = () => { if (source && source.readyState === EventSource.CLOSED) finish('The output stream ended.', false); };
}

async function run(ev) {
  ev.preventDefault();
  const body = { command: $('command').value, options: $('options').value };
  let r = await call('POST', 'api/run', body);
  if (r.status === 409 && r.data.confirm) {
    if (!(await confirmDialog(r.data.confirm))) return;
    r = await call('POST', 'api/run', { ...body, confirmed: true });
  }
  if (r.status !== 202) {
    $('run-status').className = 'note error';
    $('run-status').textContent = r.data.error || 'Not started';
    return;
  }
  $('output').replaceChildren();
  $('xml-link').hidden = true;
  $('run').disabled = true;
  $('run-status').className = 'note';
  $('run-status').textContent = 'Running ' + body.command + '…';
  follow();
}

async function answer(ev) {
  ev.preventDefault();
  const input = $('prompt-input');
  const text = input.value;
  input.value = '';
  $('prompt-form').hidden = true;
  // A secret is never echoed into the output.
  $('output').append(document.createTextNode((input.type === 'password' ? '' : text) + '\n'));
  await call('POST', 'api/job/answer', { text });
}

export function initCommands() {
  $('command').addEventListener('change', describe);
  $('run-form').addEventListener('submit', run);
  $('prompt-form').addEventListener('submit', answer);
}

export function stopCommands() {
  if (source) source.close();
  source = null;
}

// The entity tree: children are fetched when a node is opened. Arrow keys
// move between the visible nodes, Right opens and Left closes.
import { get } from './api.js';
import { $, el } from './dom.js';

let onSelect = () => {};
let current = null;

async function children(path) {
  const { status, data } = await get('api/tree?path=' + encodeURIComponent(path));
  return status === 200 ? data : null;
}

function node(entry) {
  const li = el('li', { role: 'treeitem', 'data-path': entry.path });
  const toggle = el('button', { type: 'button', class: 'toggle', tabindex: -1, 'aria-hidden': 'true',
    text: entry.leaf ? '·' : '▸' });
  const name = el('button', { type: 'button', class: 'name', text: entry.name, title: entry.title || entry.name });
  if (!entry.leaf) li.setAttribute('aria-expanded', 'false');
  toggle.addEventListener('click', () => expand(li, entry, toggle));
  name.addEventListener('click', () => select(li, name, entry.path));
  name.addEventListener('keydown', (ev) => key(ev, li, entry, toggle, name));
  li.append(toggle, name);
  return li;
}

async function expand(li, entry, toggle, open) {
  if (entry.leaf) return;
  const isOpen = li.getAttribute('aria-expanded') === 'true';
  if (open === undefined) open = !isOpen;
  if (open === isOpen) return;
  li.setAttribute('aria-expanded', String(open));
  toggle.textContent = open ? '▾' : '▸';
  let ul = li.querySelector(':scope > ul');
  if (!open) { if (ul) ul.hidden = true; return; }
  if (!ul) {
    const data = await children(entry.path);
    ul = el('ul', { role: 'group' });
    for (const c of (data ? data.children : [])) if (!c.hidden) ul.append(node(c));
    li.append(ul);
  }
  ul.hidden = false;
}

function select(li, name, path) {
  if (current) current.removeAttribute('aria-current');
  current = name;
  name.setAttribute('aria-current', 'true');
  onSelect(path);
}

function visibleNames() {
  return [...$('tree').querySelectorAll('button.name')].filter((b) => b.offsetParent !== null);
}

function key(ev, li, entry, toggle, name) {
  const names = visibleNames();
  const at = names.indexOf(name);
  if (ev.key === 'ArrowDown' && at + 1 < names.length) names[at + 1].focus();
  else if (ev.key === 'ArrowUp' && at > 0) names[at - 1].focus();
  else if (ev.key === 'ArrowRight') expand(li, entry, toggle, true);
  else if (ev.key === 'ArrowLeft') expand(li, entry, toggle, false);
  else return;
  ev.preventDefault();
}

export async function loadTree(selectFn) {
  onSelect = selectFn;
  const root = $('tree');
  root.replaceChildren();
  const top = await children('');
  if (!top) return;
  const entry = { name: top.path, path: top.path, title: top.title, leaf: top.children.length === 0 };
  const ul = el('ul', { role: 'tree' });
  const li = node(entry);
  ul.append(li);
  root.append(ul);
  await expand(li, entry, li.querySelector('.toggle'), true);
  select(li, li.querySelector('.name'), top.path);
}

// Small DOM helpers. Text from the daemon is only ever set as text, never
// parsed as markup.
export const $ = (id) => document.getElementById(id);

export function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'text') e.textContent = v;
    else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
    else if (v === true) e.setAttribute(k, '');
    else if (v !== false && v !== undefined && v !== null) e.setAttribute(k, String(v));
  }
  for (const c of children) e.append(c);
  return e;
}

// Asks a yes/no question in the confirmation dialog.
export function confirmDialog(text) {
  const dlg = $('confirm-dialog');
  $('confirm-text').textContent = text;
  return new Promise((resolve) => {
    dlg.addEventListener('close', () => resolve(dlg.returnValue === 'ok'), { once: true });
    dlg.returnValue = '';
    dlg.showModal();
    $('confirm-ok').focus();
  });
}

// What the user sees: the items, the buttons, the progress bar and the
// status line. It shows the entries of setups.js and knows nothing of
// files or of the format.
import { number } from './work.js';

const byId = (id) => document.getElementById(id);
export const controls = {
  picker: byId('files'), openFolder: byId('open-folder'), folderChooser: byId('folder'),
  stops: [1, 2, 3].map((n) => byId(`stop${n}`)), patch: byId('patch'), downloadAll: byId('download-all'),
  save: byId('save'), restore: byId('restore'), cancel: byId('cancel'),
};
const list = byId('items');
const others = byId('others');
const status = byId('status');
const progressLine = byId('progress-line');
const progressBar = byId('progress');
const progressText = byId('progress-text');
const kept = byId('kept');

// From this many items on, only those on screen are laid out.
const longList = 500;
// A list longer than this shows a page of it at a time: the browser's
// work at every frame grows with the items it lays out or keeps track of,
// even those off screen, and 20,000 of them cost it long tasks.
const pageSize = 1000;
const pager = byId('pager');
const pageStyle = byId('page-style');
let page = 0;

function showPage() {
  const total = list.childElementCount;
  const pages = Math.ceil(total / pageSize);
  page = Math.max(0, Math.min(page, pages - 1));
  const first = page * pageSize + 1;
  const last = Math.min(total, first + pageSize - 1);
  show(pager, pages > 1);
  const rule = pages > 1 ? `#items > li:nth-child(-n+${first - 1}), #items > li:nth-child(n+${last + 1}) { display: none; }` : '';
  // A new rule makes the browser look at every item again.
  if (pageStyle.textContent !== rule) pageStyle.textContent = rule;
  byId('page-text').textContent = `Files ${number(first)} to ${number(last)} of ${number(total)}`;
  enable(byId('previous'), page > 0, byId('next'));
  enable(byId('next'), page < pages - 1, byId('previous'));
}
byId('previous').addEventListener('click', () => { page--; showPage(); });
byId('next').addEventListener('click', () => { page++; showPage(); });

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

/** The status line, a live region: outcomes only, not every step. */
export function say(text) {
  status.textContent = text;
}

/** How far long work is, in the bar and beside it; null hides both. */
export function progress(text, done = 0, total = 0) {
  progressLine.hidden = text === null;
  progressText.textContent = text ?? '';
  if (total) progressBar.max = total;
  if (total) progressBar.value = done;
  else progressBar.removeAttribute('value');
}

// ---- Focus: a control that is hidden or disabled while it has the focus
// hands it on, to the next control that can take it.

const usable = (node) => node && !node.disabled && !node.closest('[hidden]') && node.checkVisibility?.() !== false;

// The focus goes to `to` if it can take it, else to the next control after
// `from` that can (looked for in page order, only as far as needed).
function handOnFocus(from, to) {
  if (usable(to)) return to.focus();
  const controls = document.querySelectorAll('button, input, summary');
  const next = [...controls].find((node) => from.compareDocumentPosition(node) & Node.DOCUMENT_POSITION_FOLLOWING && usable(node));
  return (next ?? [...controls].find(usable))?.focus();
}

function change(control, apply, to) {
  const focused = document.activeElement === control;
  apply();
  if (focused) handOnFocus(control, to);
}

export function show(control, shown, to) {
  if (control.hidden !== shown) return;
  change(control, () => { control.hidden = !shown; }, to);
}

export function enable(control, enabled, to) {
  if (control.disabled !== enabled) return;
  change(control, () => { control.disabled = !enabled; }, to);
}

// ---- Items.

const items = new Map();  // entry key → <li>
const waiting = { setups: document.createDocumentFragment(), others: document.createDocumentFragment() };

/** The entry key of the item that holds node. */
export const keyOfItem = (node) => node.closest('li[data-key]')?.dataset.key;

/** Shows an entry's item, in place of the one it replaces; it joins the page at showPlaced(). */
export function place(entry, replaced) {
  const item = element('li');
  item.dataset.key = entry.key;
  const holds = entry.holds;
  item.append(element('span', 'name', entry.label), ' ',
    holds.ok ? element('span', 'holds', `${holds.edition}, ${holds.checksums}, ${holds.strategy}`)
      : element('span', 'refused', holds.reason));
  const old = replaced && items.get(replaced.key);
  if (old && replaced.shelf === entry.shelf) old.replaceWith(item);
  else {
    old?.remove();
    waiting[entry.shelf].append(item);
  }
  items.set(entry.key, item);
  if (entry.disk) note(entry);
}

/** Items placed since the last call join the page: each time the list grows, the browser lays it out again. */
export function showPlaced() {
  list.append(waiting.setups);
  others.querySelector('ul').append(waiting.others);
  list.classList.toggle('long', list.childElementCount > longList);
  showPage();
  const otherCount = others.querySelector('ul').childElementCount;
  others.hidden = otherCount === 0;
  others.querySelector('summary').textContent = `Other files (${number(otherCount)})`;
}

export function rename(entry) {
  const item = items.get(entry.key);
  item.querySelector('.name').textContent = entry.label;
  const button = item.querySelector('button.download');
  if (button) button.textContent = `Download ${entry.label}`;
}

/** Shows what Patch made of an entry: its report and its download, or why not; nothing once withdrawn. */
export function showPatch(entry) {
  const item = items.get(entry.key);
  item.querySelector('.result')?.remove();
  if (!entry.patch) return;
  const result = element('div', 'result');
  if (entry.patch.bytes) {
    result.append(element('p', 'report', entry.patch.report),
      element('button', 'download secondary', `Download ${entry.label}`));
    result.lastChild.type = 'button';
  } else {
    result.append(element('p', 'refused', entry.patch.reason));
  }
  item.insertBefore(result, item.querySelector('.disk'));
}

/** What the item says of its file on disk. */
export function note(entry) {
  const item = items.get(entry.key);
  item.querySelector('.disk')?.remove();
  if (entry.disk) item.append(element('p', /^(Saved|Original restored|Already)/.test(entry.disk) ? 'disk' : 'disk kept', entry.disk));
}

// ---- The stop fields.

export const stopTexts = () => controls.stops.map((field) => field.value.trim());

/** Marks each field with its message (or none); the first marked one takes the focus. */
export function showStopErrors(errors) {
  let first = true;
  errors.forEach((message, i) => {
    const field = controls.stops[i];
    byId(`stop${i + 1}-error`).textContent = message;
    field.setAttribute('aria-invalid', message ? 'true' : 'false');
    if (message && first) field.focus();
    first &&= !message;
  });
}

// ---- Folders whose originals are kept.

/** One line a folder: how many files' originals are kept, Reopen (unless it is open) and Forget. */
export function showKept(folders, counts, open) {
  const lines = folders.filter((folder) => counts.get(folder.id)).map((folder) => {
    const line = element('li', '', `${folder.label}: the originals of ${number(counts.get(folder.id))} ` +
      `file${counts.get(folder.id) === 1 ? '' : 's'}. `);
    line.dataset.folder = folder.id;
    if (!open.has(folder)) line.append(element('button', 'secondary', `Reopen ${folder.label}`), ' ');
    line.append(element('button', 'secondary', `Forget ${folder.label}`));
    for (const button of line.querySelectorAll('button')) {
      button.type = 'button';
      button.dataset.act = button.textContent.startsWith('Reopen') ? 'reopen' : 'forget';
    }
    return line;
  });
  const hadFocus = kept.contains(document.activeElement);
  kept.querySelector('ul').replaceChildren(...lines);
  kept.hidden = lines.length === 0;
  if (hadFocus) handOnFocus(kept, lines[0]?.querySelector('button'));
}

export const keptButtons = () => [...kept.querySelectorAll('button')];

/** Calls act('reopen' or 'forget', folder id) when one of those buttons is pressed. */
export function onKept(act) {
  kept.addEventListener('click', (event) => {
    const button = event.target.closest('button');
    if (button && !button.disabled) act(button.dataset.act, button.closest('li').dataset.folder);
  });
}

/** Calls act(entry key) when an item's download button is pressed. */
export function onDownload(act) {
  list.addEventListener('click', (event) => {
    const button = event.target.closest('button.download');
    if (button) act(keyOfItem(button));
  });
}

/** The page cannot run here: one line says so, and nothing can be pressed. */
export function unsupported() {
  byId('unsupported').hidden = false;
  for (const node of document.querySelectorAll('main button, main input')) node.disabled = true;
}

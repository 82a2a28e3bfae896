// What the user sees: the items, the buttons, the progress bar and the
// status line. It shows the entries of setups.js, in the words of
// words.js, and knows nothing of files or of the format.
import { marked, warns } from './setups.js';
import { keptLine, saidText } from './words.js';
import { number, sliceMilliseconds, yieldToPage } from './work.js';

const byId = (id) => document.getElementById(id);
export const controls = {
  picker: byId('files'), openFolder: byId('open-folder'), folderChooser: byId('folder'),
  stops: [1, 2, 3].map((n) => byId(`stop${n}`)), patch: byId('patch'), downloadAll: byId('download-all'),
  save: byId('save'), restore: byId('restore'), downloadOriginals: byId('download-originals'), cancel: byId('cancel'),
  find: byId('find'), onlyMarked: byId('only-marked'), stopsFound: byId('stops-found'), giveFound: byId('give-found'),
  clearFound: byId('clear-found'),
};
const list = byId('items');
const others = byId('others');
const status = byId('status');
const progressLine = byId('progress-line');
const progressBar = byId('progress');
const progressText = byId('progress-text');
const keptSection = byId('kept');
const forgetDialog = byId('forget-dialog');

// From this many items on, only those on screen are laid out: from the
// first of them where that many are coming (switching later lays out again
// all those drawn).
const longList = 500;
let coming = 0;
// A list longer than this shows a page of it at a time, and only the items
// of that page exist as elements: with 20,000 of them the browser's work at
// every frame, and its garbage collection, which walks every element, cost
// the page long pauses.
const pageSize = 1000;
const pager = byId('pager');
let page = 0;

function showPage() {
  const total = shelves.setups.shown.length;
  const pages = Math.ceil(total / pageSize);
  page = Math.max(0, Math.min(page, pages - 1));
  const first = page * pageSize;
  const last = Math.min(total, first + pageSize);
  show(pager, pages > 1);
  draw(shelves.setups, first, last);
  byId('page-text').textContent = `Files ${number(first + 1)} to ${number(last)} of ${number(total)}`;
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

// Forget is never given the focus: it is pressed on purpose.
const usable = (node) => node && !node.disabled && !node.closest('[hidden]') && node.checkVisibility?.() !== false && node.dataset.act !== 'forget';

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
//
// Each shelf (the setups, and a folder's other files) keeps its entries in
// order; the items from `first` to `last` of it are drawn as elements.

const shelves = {
  setups: { list, entries: [], at: new Map(), first: 0, last: 0, queue: [], drawn: 0 },
  others: { list: others.querySelector('ul'), entries: [], at: new Map(), first: 0, last: 0, queue: [], drawn: 0 },
};
const items = new Map();  // entry key → <li>, for the items drawn
let placed = [];  // entries placed since the last showPlaced()
let redraw = false;  // an entry moved from one shelf to the other

// What the list shows: every file, or those whose name holds the text
// looked for (whatever its case), and only the marked ones if asked.
const filter = { text: '', onlyMarked: false };
const filtering = () => Boolean(filter.text || filter.onlyMarked);
const passes = (entry) => entry.label.toLowerCase().includes(filter.text) && (!filter.onlyMarked || marked(entry));
for (const shelf of Object.values(shelves)) shelf.shown = shelf.entries;

/** The entry key of the item that holds node. */
export const keyOfItem = (node) => node.closest('li[data-key]')?.dataset.key;

const resultOf = (entry) => {
  if (!entry.patch) return null;
  const result = element('div', 'result');
  if (entry.patch.bytes) {
    result.append(element('p', 'report', entry.patch.report),
      element('button', 'download secondary', `Download ${entry.label}`));
    result.lastChild.type = 'button';
  } else {
    result.append(element('p', 'refused', entry.patch.reason));
  }
  return result;
};
const diskOf = (entry) => entry.said && element('p', warns(entry.said) ? 'disk warning' : 'disk', saidText(entry.said));

// A setup's own stops: a field named "Stops for LABEL", which shows the
// common stops until it is filled, and its message once it is marked. An
// item's text is what its file holds and what became of it: the field's
// caption is drawn by the style sheet.
let common = '';
const toldWrong = new Set();  // keys of the entries whose field is marked
let fields = 0;
function ownOf(entry) {
  const id = `own-${++fields}`;
  const field = element('input');
  Object.assign(field, { type: 'text', autocomplete: 'off', size: 12, value: entry.own?.text ?? '', placeholder: common });
  field.setAttribute('aria-label', `Stops for ${entry.label}`);
  field.setAttribute('aria-describedby', id);
  const wrong = element('span', 'error');
  wrong.id = id;
  const part = element('p', 'own');
  part.append(field, wrong);
  markOwn(entry, part);
  return part;
}

function markOwn(entry, part = items.get(entry.key)?.querySelector('p.own')) {
  if (!part) return;
  const message = toldWrong.has(entry.key) ? entry.own?.error ?? '' : '';
  part.querySelector('input').setAttribute('aria-invalid', String(Boolean(message)));
  part.querySelector('.error').textContent = message;
}

function itemOf(entry) {
  const item = element('li');
  item.dataset.key = entry.key;
  const holds = entry.holds;
  item.append(element('span', 'name', entry.label), ' ',
    holds.ok ? element('span', 'holds', `${holds.edition}, ${holds.checksums}, ${holds.strategy}`)
      : element('span', 'refused', holds.reason));
  items.set(entry.key, item);
  for (const part of [holds.ok && ownOf(entry), resultOf(entry), diskOf(entry)]) if (part) item.append(part);
  return item;
}

// Draws the shelf's items shown from first to last (not included), unless
// they are drawn: at once, or, for a search as it is typed, a slice at a
// time (a thousand items with their fields take the browser long to lay
// out), until a later draw takes over.
let gradual = false;
function draw(shelf, first, last) {
  if (shelf.first === first && shelf.last === last) return;
  for (const item of shelf.list.children) items.delete(item.dataset.key);
  shelf.list.replaceChildren();
  Object.assign(shelf, { first, last, queue: shelf.shown.slice(first, last), drawn: 0 });
  drawSome(shelf, shelf.queue, gradual);
}

function drawSome(shelf, queue, inSlices) {
  if (shelf.queue !== queue) return;
  const start = performance.now();
  const part = [];
  while (shelf.drawn < queue.length && !(inSlices && performance.now() - start > sliceMilliseconds)) part.push(itemOf(queue[shelf.drawn++]));
  shelf.list.append(...part);
  if (shelf.drawn < queue.length) yieldToPage().then(() => drawSome(shelf, queue, true));
}

/** Puts an entry in its shelf, in place of the one it replaces (of the same key); it is shown at showPlaced(). */
export function place(entry, replaced) {
  const shelf = shelves[entry.shelf];
  if (replaced && replaced.shelf === entry.shelf) {
    shelf.entries[shelf.at.get(entry.key)] = entry;
  } else {
    if (replaced) remove([replaced]);
    shelf.at.set(entry.key, shelf.entries.push(entry) - 1);
  }
  placed.push(entry);
}

/** Takes entries out of their shelves; the shelves are drawn again at showPlaced(). */
export function remove(gone) {
  for (const entry of gone) {
    const shelf = shelves[entry.shelf];
    shelf.entries.splice(shelf.at.get(entry.key), 1);
    shelf.at.delete(entry.key);
    shelf.entries.forEach((other, i) => shelf.at.set(other.key, i));
  }
  redraw ||= gone.length > 0;
}

/** Entries placed since the last call are shown: on the page on screen, drawn; elsewhere, counted. */
export function showPlaced() {
  if (redraw || (filtering() && placed.length)) {
    for (const shelf of Object.values(shelves)) {
      Object.assign(shelf, { first: -1, last: -1, shown: filtering() ? shelf.entries.filter(passes) : shelf.entries });
    }
    redraw = false;
  } else {
    // New entries come last: those that fall on the drawn page join its end.
    for (const entry of placed) {
      const shelf = shelves[entry.shelf];
      const at = shelf.at.get(entry.key);
      const old = items.get(entry.key);
      if (old) old.replaceWith(itemOf(entry));
      else if (at === shelf.last && (shelf === shelves.others || at < shelf.first + pageSize)) {
        shelf.queue.push(entry);
        drawSome(shelf, shelf.queue, false);
        shelf.last++;
      }
    }
  }
  placed = [];
  const { others: otherShelf, setups: setupShelf } = shelves;
  draw(otherShelf, 0, otherShelf.shown.length);
  showPage();
  list.classList.toggle('long', setupShelf.last - setupShelf.first + coming > longList);
  others.hidden = otherShelf.shown.length === 0;
  others.querySelector('summary').textContent = `Other files (${number(otherShelf.shown.length)})`;
  const all = setupShelf.entries.length + otherShelf.entries.length;
  byId('finder').hidden = all === 0;
  byId('own-found').hidden = setupShelf.entries.length === 0;
  byId('found').textContent = filtering() ? `${number(setupShelf.shown.length + otherShelf.shown.length)} of ${number(all)} files found.` : '';
}

/** Says how many items are about to be placed. */
export const expect = (n) => { coming = n; };

/** Shows the files whose name holds text (whatever its case), and only the marked ones if onlyMarked; from the first page. */
export function find(text, onlyMarked) {
  Object.assign(filter, { text: text.toLowerCase(), onlyMarked });
  page = 0;
  redraw = gradual = true;
  showPlaced();
  gradual = false;
}

/** The setups the list shows, on every page. */
export const found = () => shelves.setups.shown.filter((entry) => entry.holds.ok);

/** Draws the list again where it shows only the marked files, which a piece of work may have changed. */
export function findAgain() {
  if (!filter.onlyMarked) return;
  redraw = true;
  showPlaced();
}

/** Shows the own stops of entries, and what Patch made of them, where they are drawn. */
export function showOwn(entries) {
  for (const entry of entries) {
    const field = items.get(entry.key)?.querySelector('p.own input');
    if (!field) continue;
    field.value = entry.own?.text ?? '';
    showPatch(entry);
  }
}

/** Marks the field of the stops for the files found with its message, or none. */
export function tellFound(message) {
  byId('stops-found-error').textContent = message;
  controls.stopsFound.setAttribute('aria-invalid', String(Boolean(message)));
}

export function rename(entry) {
  const item = items.get(entry.key);
  if (!item) return;
  item.querySelector('.name').textContent = entry.label;
  item.querySelector('p.own input')?.setAttribute('aria-label', `Stops for ${entry.label}`);
  const button = item.querySelector('button.download');
  if (button) button.textContent = `Download ${entry.label}`;
}

/** Shows what Patch made of an entry: its report and its download, or why not; nothing once withdrawn. */
export function showPatch(entry) {
  const item = items.get(entry.key);
  if (!item) return;
  item.querySelector('.result')?.remove();
  const result = resultOf(entry);
  if (result) item.insertBefore(result, item.querySelector('.disk'));
}

/** What the item says of its file on disk. */
export function note(entry) {
  const item = items.get(entry.key);
  if (!item) return;
  item.querySelector('.disk')?.remove();
  const disk = diskOf(entry);
  if (disk) item.append(disk);
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

/** The common stops, as the own stops' fields show them until they are filled. */
export function showCommon(stops) {
  common = stops ? stops.join(' ') || 'none' : '';
  for (const field of list.querySelectorAll('p.own input')) field.placeholder = common;
}

/** Marks the own stops' fields of entries that are wrong, and unmarks the others. */
export function tellOwn(entries, wrong) {
  for (const entry of entries) {
    if (wrong && entry.own?.error) toldWrong.add(entry.key);
    else if (!entry.own?.error) toldWrong.delete(entry.key);
    markOwn(entry);
  }
}

/** Of entries, the first in the list's order. */
export const firstOf = (entries) => {
  const { at } = shelves.setups;
  return entries.reduce((first, entry) => (!first || at.get(entry.key) < at.get(first.key) ? entry : first), null);
};

/** Moves the focus to an entry's own stops' field, on whatever page it is, and in sight. */
export function focusOwn(entry) {
  if (!passes(entry)) {
    controls.find.value = '';
    controls.onlyMarked.checked = false;
    find('', false);
  }
  page = Math.floor(shelves.setups.shown.indexOf(entry) / pageSize);
  showPage();
  drawSome(shelves.setups, shelves.setups.queue, false);
  items.get(entry.key)?.querySelector('p.own input').focus();
}

/** Calls act(entry key, text, event type) on input, change or Enter in an own stops' field. */
export function onOwn(act) {
  for (const type of ['input', 'change', 'keydown']) {
    list.addEventListener(type, (event) => {
      if (!event.target.matches('p.own input') || (type === 'keydown' && (event.key !== 'Enter' || event.repeat))) return;
      if (type === 'keydown') event.preventDefault();
      act(keyOfItem(event.target), event.target.value, type);
    });
  }
}

/** The status line, with a button that moves the focus where the player is to act. */
export function sayWith(text, name, act) {
  const button = element('button', 'secondary', name);
  button.type = 'button';
  button.addEventListener('click', act);
  status.replaceChildren(`${text} `, button);
}

// ---- Folders whose originals are kept.

/**
 * One line a folder ({ folder, count, open }): how many files' originals
 * are kept, Reopen (unless it is open) and Forget.
 */
export function showKept(lines) {
  const focused = document.activeElement;
  const had = keptSection.contains(focused) && [focused.dataset.act, focused.closest('li')?.dataset.folder];
  keptSection.querySelector('ul').replaceChildren(...lines.map(({ folder, count, open }) => {
    const line = element('li', '', keptLine(folder, count));
    line.dataset.folder = folder.key;
    if (!open) line.append(element('button', 'secondary', `Reopen ${folder.label}`), ' ');
    line.append(element('button', 'secondary', `Forget ${folder.label}`));
    for (const button of line.querySelectorAll('button')) {
      button.type = 'button';
      button.dataset.act = button.textContent.startsWith('Reopen') ? 'reopen' : 'forget';
    }
    return line;
  }));
  keptSection.hidden = lines.length === 0;
  if (had) handOnFocus(keptSection, keptSection.querySelector(`li[data-folder="${had[1]}"] [data-act="${had[0]}"]`));
}

export const keptButtons = () => [...keptSection.querySelectorAll('button')];

/** Calls act('reopen' or 'forget', folder key) when one of those buttons is pressed. */
export function onKept(act) {
  keptSection.addEventListener('click', (event) => {
    const button = event.target.closest('button');
    if (button && !button.disabled) act(button.dataset.act, Number(button.closest('li').dataset.folder));
  });
}

/** Asks the Forget question; resolves to whether the player confirmed it. */
export function askForget(question) {
  byId('forget-question').textContent = question;
  forgetDialog.returnValue = '';
  forgetDialog.showModal();
  return new Promise((resolve) => forgetDialog.addEventListener('close', () => resolve(forgetDialog.returnValue === 'forget'), { once: true }));
}

/** Says, once, that this browser may drop what it keeps. */
export const showFragile = () => { byId('fragile').hidden = false; };

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

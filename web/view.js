// What the user sees: the items, the buttons, the progress bar and the
// status line. It shows the entries of setups.js, in the words of
// words.js, and knows nothing of files or of the format. Its elements are
// found once the page starts (start()): the same script runs the page's
// worker, which has none.
import { canRestore, marked, warns } from './setups.js';
import * as words from './words.js';
import { sliceMilliseconds, yieldToPage } from './work.js';

const byId = (id) => document.getElementById(id);
export const controls = {};
let list;
let others;
let status;
let progressLine;
let progressBar;
let progressText;
let keptSection;
let forgetDialog;

// From this many items on, only those on screen are laid out: a search
// that draws a few hundred took the page a frame of 80 ms and more.
const longList = 50;
// A list longer than this shows a page of it at a time, and only the items
// of that page exist as elements: with 20,000 of them the browser's work at
// every frame, and its garbage collection, which walks every element, cost
// the page long pauses. The setups and a folder's other files are paged
// alike.
const pageSize = 1000;

function showPage(shelf, gradually = false) {
  const total = shelf.shown.length;
  const pages = Math.ceil(total / pageSize);
  shelf.page = Math.max(0, Math.min(shelf.page, pages - 1));
  const first = shelf.page * pageSize;
  const last = Math.min(total, first + pageSize);
  const [previous, text, next] = shelf.pager.children;
  show(shelf.pager, pages > 1);
  draw(shelf, first, last, gradually);
  text.textContent = words.pageText(first + 1, last, total);
  enable(previous, shelf.page > 0, next);
  enable(next, shelf.page < pages - 1, previous);
}

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

const newShelf = (items, pager) => ({ list: items, pager, entries: [], at: new Map(), first: 0, last: 0, queue: [], drawn: 0, leaving: [], page: 0 });
const shelves = {};
const items = new Map();  // entry key → <li>, for the items drawn
let placed = [];  // entries placed since the last showPlaced()
let redraw = false;  // an entry moved from one shelf to the other

// What the list shows: every file, or those whose name holds the text
// looked for (whatever its case), and only the marked ones if asked.
const filter = { text: '', onlyMarked: false };
const filtering = () => Boolean(filter.text || filter.onlyMarked);
const passes = (entry) => entry.label.toLowerCase().includes(filter.text) && (!filter.onlyMarked || marked(entry));

/** Finds the page's elements, and pages the shelves with their buttons. */
export function start() {
  Object.assign(controls, {
    picker: byId('files'), openFolder: byId('open-folder'), folderChooser: byId('folder'),
    stops: [1, 2, 3].map((n) => byId(`stop${n}`)), patch: byId('patch'), downloadAll: byId('download-all'),
    save: byId('save'), restore: byId('restore'), downloadOriginals: byId('download-originals'), cancel: byId('cancel'),
    find: byId('find'), onlyMarked: byId('only-marked'), stopsFound: byId('stops-found'), giveFound: byId('give-found'),
    clearFound: byId('clear-found'), without: [...document.querySelectorAll('input[name="without-own"]')],
    removeLeftovers: byId('remove-leftovers'),
  });
  list = byId('items');
  others = byId('others');
  status = byId('status');
  progressLine = byId('progress-line');
  progressBar = byId('progress');
  progressText = byId('progress-text');
  keptSection = byId('kept');
  forgetDialog = byId('forget-dialog');
  Object.assign(shelves, { setups: newShelf(list, byId('pager')), others: newShelf(others.querySelector('ul'), others.querySelector('.pager')) });
  for (const each of Object.values(shelves)) {
    each.shown = each.entries;
    const [previous, , next] = each.pager.children;
    previous.addEventListener('click', () => { each.page--; showPage(each); });
    next.addEventListener('click', () => { each.page++; showPage(each); });
  }
}

/** The entry key of the item that holds node. */
export const keyOfItem = (node) => node.closest('li[data-key]')?.dataset.key;

function button(name, className, act) {
  const node = element('button', className, name);
  node.type = 'button';
  if (act) node.dataset.act = act;
  return node;
}

// What became of an item's file, after its own stops' field: that Patch
// leaves it as it is; the copy Patch made, with its download, or why
// there is none; Restore where its original can be put back; and what the
// page last found of it on disk.
function itemParts(entry) {
  const parts = [];
  if (entry.patch?.asIs) parts.push(element('p', 'as-is', words.asIsText(entry.holds)));
  const result = element('div', 'result');
  if (entry.patch?.bytes) result.append(element('p', 'report', entry.patch.report), button(words.downloadName(entry.label), 'download secondary', 'download'));
  else if (entry.patch?.reason) result.append(element('p', 'refused', entry.patch.reason));
  if (canRestore(entry)) result.append(' ', button(words.restoreName(entry.label), 'secondary', 'restore'));
  if (result.firstChild) parts.push(result);
  if (entry.said) parts.push(element('p', warns(entry.said) ? 'disk warning' : 'disk', words.saidText(entry.said)));
  return parts;
}

// A setup's own stops: a field named "Stops for LABEL", which shows the
// stops its file gets until it is filled (the common stops, or, where the
// setups without stops of their own keep theirs, the stops it has), and
// its message once it is marked. An item's text is what its file holds and
// what became of it: the field's caption is drawn by the style sheet.
let common = '';
/** Whether the setups without stops of their own keep the strategy they have. */
export const leavingAsIs = () => controls.without.some((choice) => choice.checked && choice.value === 'keep');
const placeholderOf = (entry) => (leavingAsIs() ? words.stopsShown(entry.holds.stops) : common);
const toldWrong = new Set();  // keys of the entries whose field is marked
let fields = 0;
function ownOf(entry) {
  const id = `own-${++fields}`;
  const field = element('input');
  Object.assign(field, { type: 'text', autocomplete: 'off', size: 12, value: entry.own?.text ?? '', placeholder: placeholderOf(entry) });
  field.setAttribute('aria-label', words.ownName(entry.label));
  field.setAttribute('aria-describedby', id);
  const wrong = element('span', 'error');
  wrong.id = id;
  const part = element('p', 'own');
  part.append(field, wrong);
  markOwn(entry, part);
  return part;
}

// An item's own stops' field, if it has one.
const ownField = (item) => item?.querySelector('p.own input');

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
    holds.ok ? element('span', 'holds', words.holdsNow(holds, entry.before)) : element('span', 'refused', holds.reason));
  items.set(entry.key, item);
  if (holds.ok) item.append(ownOf(entry));
  item.append(...itemParts(entry));
  return item;
}

// Draws the shelf's items shown from first to last (not included), unless
// they are drawn: at once, or gradually (while work goes on, and for a
// search as it is typed), a slice at a time, the items drawn before taken
// away first, a slice at a time too: a thousand items with their fields
// take the browser long to lay out, and to take down. A later draw takes over.
function draw(shelf, first, last, gradually) {
  if (shelf.first === first && shelf.last === last) return;
  for (const entry of shelf.queue.slice(0, shelf.drawn)) items.delete(entry.key);
  Object.assign(shelf, { first, last, queue: shelf.shown.slice(first, last), drawn: 0, leaving: [...shelf.list.children] });
  drawSome(shelf, shelf.queue, !gradually);
}

// An entry read again while it waited to be drawn is drawn as it is now.
const latest = (shelf, entry) => shelf.entries[shelf.at.get(entry.key)] ?? entry;

function drawSome(shelf, queue, atOnce = false) {
  if (shelf.queue !== queue) return;
  const start = performance.now();
  const more = () => atOnce || performance.now() - start < sliceMilliseconds;
  while (shelf.leaving.length && more()) shelf.leaving.pop().remove();
  const part = [];
  while (shelf.drawn < queue.length && more()) part.push(itemOf(latest(shelf, queue[shelf.drawn++])));
  shelf.list.append(...part);
  if (shelf.leaving.length || shelf.drawn < queue.length) yieldToPage().then(() => drawSome(shelf, queue));
}

/** Resolves once every item of the pages shown is drawn. */
export async function drawn() {
  while (Object.values(shelves).some((shelf) => shelf.leaving.length || shelf.drawn < shelf.queue.length)) await yieldToPage();
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

/** Takes entries out of their shelves, each shelf in one pass; the shelves are drawn again at showPlaced(). */
export function remove(gone) {
  if (!gone.length) return;
  const keys = new Set(gone.map((entry) => entry.key));
  for (const shelf of Object.values(shelves)) {
    shelf.entries = shelf.entries.filter((entry) => !keys.has(entry.key));
    shelf.at = new Map(shelf.entries.map((entry, i) => [entry.key, i]));
  }
  redraw = true;
}

/** Entries placed since the last call are shown: on the page on screen, drawn (gradually: see draw()); elsewhere, counted. */
export function showPlaced(gradually = false) {
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
      else if (at === shelf.last && at < shelf.first + pageSize) {
        shelf.queue.push(entry);
        shelf.last++;
      }
    }
    for (const shelf of Object.values(shelves)) drawSome(shelf, shelf.queue, !gradually);
  }
  placed = [];
  const { others: otherShelf, setups: setupShelf } = shelves;
  showPage(otherShelf, gradually);
  showPage(setupShelf, gradually);
  for (const each of [setupShelf, otherShelf]) each.list.classList.toggle('long', each.last - each.first > longList);
  others.hidden = otherShelf.shown.length === 0;
  others.querySelector('summary').textContent = words.othersText(otherShelf.shown.length);
  const listed = setupShelf.entries.length + otherShelf.entries.length;
  byId('finder').hidden = listed === 0;
  byId('own-found').hidden = setupShelf.entries.length === 0;
  byId('found').textContent = filtering() ? words.foundText(setupShelf.shown.length + otherShelf.shown.length, listed) : '';
}

/** Shows the files whose name holds text (whatever its case), and only the marked ones if onlyMarked; from the first page. */
export function find(text, onlyMarked) {
  Object.assign(filter, { text: text.toLowerCase(), onlyMarked });
  for (const each of Object.values(shelves)) each.page = 0;
  redraw = true;
  showPlaced(true);
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
    const field = ownField(items.get(entry.key));
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
  ownField(item)?.setAttribute('aria-label', words.ownName(entry.label));
  showPatch(entry);
}

/**
 * Shows what became of an entry's file, where its item is drawn: what
 * Patch made of it (nothing once withdrawn), and what the page last found
 * of it on disk.
 */
export function showPatch(entry) {
  const item = items.get(entry.key);
  if (!item) return;
  for (const part of item.querySelectorAll('.as-is, .result, .disk')) part.remove();
  showHolds(item, entry);
  item.append(...itemParts(entry));
}

/**
 * Shows what the page found of an entry's file on disk, where its item is
 * drawn. A pass tells this of thousands of files: where only the words
 * change, they change in place, without new elements to collect.
 */
export function note(entry) {
  const item = items.get(entry.key);
  const disk = item?.querySelector('.disk');
  if (!disk || !entry.said || Boolean(disk.previousElementSibling?.querySelector('[data-act="restore"]')) !== canRestore(entry)) {
    showPatch(entry);
    return;
  }
  disk.className = warns(entry.said) ? 'disk warning' : 'disk';
  disk.textContent = words.saidText(entry.said);
  showHolds(item, entry);
}

// What an item's file holds now, where a pass wrote it or found it written.
function showHolds(item, entry) {
  const holds = item.querySelector('.holds');
  if (holds) holds.textContent = words.holdsNow(entry.holds, entry.before);
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
  common = stops ? words.stopsShown(stops) : '';
  showPlaceholders();
}

// Items on their way out of the list have no entry any more.
function showPlaceholders() {
  for (const field of list.querySelectorAll('p.own input')) {
    const entry = shelves.setups.entries[shelves.setups.at.get(keyOfItem(field))];
    if (entry) field.placeholder = placeholderOf(entry);
  }
}

/** Shows the choice for the setups without stops of their own: the common fields are used, or not, and say why. */
export function showChoice() {
  const asIs = leavingAsIs();
  for (const field of controls.stops) enable(field, !asIs, controls.without.find((choice) => choice.checked));
  byId('stops-unused').textContent = asIs ? words.stopsUnused : '';
  byId('stops-unused').hidden = !asIs;
  showPlaceholders();
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
  shelves.setups.page = Math.floor(shelves.setups.shown.indexOf(entry) / pageSize);
  showPage(shelves.setups);
  drawSome(shelves.setups, shelves.setups.queue, true);
  ownField(items.get(entry.key))?.focus();
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
  const node = button(name, 'secondary');
  node.addEventListener('click', act);
  status.replaceChildren(`${text} `, node);
}

// ---- Folders whose originals are kept.

/**
 * One line a folder ({ folder, count }): how many files' originals are
 * kept; Reopen where its files are not listed, or, for a folder the store
 * no longer names, a download of its originals; and Forget.
 */
let keptShown = '';
export function showKept(lines) {
  // Drawn anew only where a line changed: a button pressed is not taken away from under the pointer.
  const shown = lines.map(({ folder, count }) => [folder.key, folder.label, count, folder.listed]).join(' ');
  if (shown === keptShown) return;
  keptShown = shown;
  const focused = document.activeElement;
  const had = keptSection.contains(focused) && [focused.dataset.act, focused.closest('li')?.dataset.folder];
  keptSection.querySelector('ul').replaceChildren(...lines.map(({ folder, count }) => {
    const line = element('li', '', words.keptLine(folder, count));
    line.dataset.folder = folder.key;
    if (!folder.handle) line.append(button(words.downloadKeptName(folder), 'secondary', 'download'), ' ');
    else if (!folder.listed) line.append(button(words.reopenName(folder), 'secondary', 'reopen'), ' ');
    line.append(button(words.forgetName(folder), 'secondary', 'forget'));
    return line;
  }));
  keptSection.hidden = lines.length === 0;
  if (had) handOnFocus(keptSection, keptSection.querySelector(`li[data-folder="${had[1]}"] [data-act="${had[0]}"]`));
}

export const keptButtons = () => [...keptSection.querySelectorAll('button')];

/** Calls act('reopen', 'download' or 'forget', folder key) when one of those buttons is pressed. */
export function onKept(act) {
  keptSection.addEventListener('click', (event) => {
    const button = event.target.closest('button');
    if (button && !button.disabled) act(button.dataset.act, Number(button.closest('li').dataset.folder));
  });
}

/** Asks a Forget question; resolves to whether the player confirmed it. */
export function askForget(question) {
  byId('forget-question').textContent = question;
  forgetDialog.returnValue = '';
  forgetDialog.showModal();
  return new Promise((resolve) => forgetDialog.addEventListener('close', () => resolve(forgetDialog.returnValue === 'forget'), { once: true }));
}

/** Says, once, that this browser may drop what it keeps. */
export const showFragile = () => { byId('fragile').hidden = false; };

/** Calls act('download' or 'restore', entry key) when an item's button is pressed. */
export function onItemButton(act) {
  list.addEventListener('click', (event) => {
    const pressed = event.target.closest('button[data-act]');
    if (pressed) act(pressed.dataset.act, keyOfItem(pressed));
  });
}

/** Offers to remove the left-overs of unfinished writes, saying what they are; '' hides the offer. */
export function showLeftovers(text) {
  byId('leftovers-text').textContent = text;
  show(byId('leftovers'), Boolean(text));
}

/** The page cannot run here: one line says so, and nothing can be pressed. */
export function unsupported() {
  byId('unsupported').hidden = false;
  for (const node of document.querySelectorAll('main button, main input')) node.disabled = true;
}

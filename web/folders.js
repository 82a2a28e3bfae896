// Which folder is which: the directories this page lists, those whose
// originals are kept, and, for each listed file, the kept folder that keeps
// its original; and the steps in which any of it is read or changed.
//
// Every Pitmix page of this browser shares one store (kept.js) and one
// disk. A step runs in this page's turn, one at a time; a step that reads
// or changes the store or the disk also holds the disk's lock, which all
// Pitmix pages share: exclusive to change them, shared to read them. Such a
// step first looks (at the store, and where the directories lie), then
// decides with no await in between: what was decided before the lock is
// decided again inside it. Opening a folder is a step of this page alone,
// so that its files are listed at once even while another page writes: it
// reads what is kept only to show it; where its files' originals are kept
// is decided at the next look, under the lock.
//
// An original stays under the folder that kept it: a folder opened around
// or inside kept folders finds each file's in the innermost kept folder
// that holds the file (its parts), and its files outside every kept folder
// are kept under its own id once it is first saved.
import { kept } from './background.js';
import * as news from './news.js';
import { stillThere, removeAll } from './sources.js';
import { unknownFolder } from './words.js';

/**
 * @typedef {object} Part  where the originals of some of an open folder's
 *   files are kept: those at path `at + rest` in it are kept under the
 *   kept folder `id` at `from + rest`.
 * @property {string} id
 * @property {string} at  '' or a path in the folder ending in '/'
 * @property {string} from  '' or a path in the kept folder ending in '/'
 * @property {number} changes  the kept folder's count of changes when this was found
 * @property {number} count  how many originals are kept there, at the last look
 */
/**
 * @typedef {object} Folder  a directory the page knows: one it lists, one
 *   whose originals are kept, or both
 * @property {number} key  this page's own for it, which never changes
 * @property {string} id  the kept folder it is; where it is none, the id its
 *   originals are kept under once it is first saved (null: never written)
 * @property {string | null} name  null for originals kept under an id that
 *   no folder record names
 * @property {string} label  what the page calls it: no other folder's
 * @property {FileSystemDirectoryHandle | null} handle  null for a folder
 *   read through the folder chooser, which is never written, or one the
 *   store no longer names
 * @property {boolean} open  its files are listed
 * @property {boolean} listed  its files are listed, in it or in an open folder that holds it
 * @property {number} count  originals kept under its id, at the last look (0: it is not kept)
 * @property {number} changes  its count of changes in the store, at the last look
 * @property {Part[]} parts  (open, with a handle) where its files' originals
 *   are kept, decided at the last look
 * @property {Part[] | null} shown  the parts its listed files' records were
 *   read from (null: read from none that is known)
 * @property {Error | null} keptUnread  why what is kept could not be read at the last look
 * @property {string} openedDuring  'save' or 'restore' where another page was doing so in its kept
 *   folders when it was opened, until the next look (under the lock, no other page writes); else ''
 * @property {string[]} leftovers  (open) the paths of what the browser left of writes it did not finish
 */

/** @type {Folder[]} */
export const folders = [];
let made = 0;
// Whether what is kept may have changed since the page last caught up.
let behind = true;
news.onNews(() => { behind = true; });
/** Whether there is anything to catch up with. */
export const isBehind = () => behind;

function add(name, handle, id) {
  const base = name ?? unknownFolder;
  let label = base;
  for (let n = 2; folders.some((folder) => folder.label === label); n++) label = `${base} (${n})`;
  const folder = { key: ++made, id, name, label, handle, open: false, listed: false, count: 0, changes: 0, parts: [], shown: null, keptUnread: null, openedDuring: '', leftovers: [] };
  folders.push(folder);
  return folder;
}
const newId = () => `${Date.now().toString(36)}-${Math.random().toString(36).slice(2)}`;

// ---- Steps.

const lockName = 'pitmix-disk';
let last = Promise.resolve();
// Runs task in this page's turn: one step at a time.
function inTurn(task) {
  const now = last.then(task);
  last = now.catch(() => {});
  return now;
}

/**
 * Runs task() as a step under the disk's lock in mode ('exclusive' or
 * 'shared'). Where another page holds it: with waiting, calls it and waits,
 * until signal is aborted (then rejects); with none, resolves to undefined
 * without running task.
 */
function underLock(mode, task, { signal, waiting } = {}) {
  const { locks } = navigator;
  if (!locks) return inTurn(task);
  return locks.request(lockName, { mode, ifAvailable: true }, (lock) => {
    if (lock) return inTurn(task);
    if (!waiting) return undefined;
    waiting();
    return locks.request(lockName, { mode, signal }, () => inTurn(task));
  });
}

// 'save' or 'restore' where a Pitmix page of this browser is doing so
// (with ids, in one of those kept folders), else ''. A pass holds a lock
// named for what it does and the kept folders it writes in.
async function writer(ids = null) {
  const held = (await navigator.locks?.query())?.held ?? [];
  const writes = held.map((lock) => lock.name.split(' ')).filter(([name, kind]) => name === lockName && kind);
  return writes.find(([, , ...where]) => !ids || where.some((id) => ids.includes(id)))?.[1] ?? '';
}

// ---- Where directories lie, and where each file's original is kept.

// Where directory b lies in directory a: '' if it is a, its path in a
// (each name followed by '/'), or null if it is not inside a.
async function where(a, b) {
  if (a === b) return '';
  try {
    return (await a.resolve(b))?.map((name) => `${name}/`).join('') ?? null;
  } catch {
    return null;
  }
}

// Where each of the page's directories, the kept ones and the others given
// lie in each other, found at once (there are a few): returns rel(a, b),
// as where() says, for the decision that follows.
async function relations(stored, others = []) {
  const handles = [...new Set([...folders.map((folder) => folder.handle), ...stored.map((folder) => folder.handle), ...others].filter(Boolean))];
  const found = new Map();
  await Promise.all(handles.flatMap((a, i) => handles.map(async (b, j) => found.set(`${i} ${j}`, await where(a, b)))));
  return (a, b) => found.get(`${handles.indexOf(a)} ${handles.indexOf(b)}`) ?? null;
}

// The parts of an open folder: the innermost kept folder that holds it (or,
// where none does, its own id), then each kept folder inside it.
function bind(folder, stored, rel) {
  let outer = null;
  const inside = [];
  for (const { id, handle, changes } of stored) {
    if (!handle) continue;
    const from = rel(handle, folder.handle);
    if (from !== null && (!outer || from.length < outer.from.length)) outer = { id, at: '', from, changes };
    const at = rel(folder.handle, handle);
    if (at) inside.push({ id, at, from: '', changes });
  }
  return [outer ?? { id: folder.id, at: '', from: '', changes: 0 }, ...inside].map((part) => ({ ...part, count: 0 }));
}

// The part that keeps the original of the file at path: the innermost.
const partOf = (parts, path) => parts.reduce((best, part) => (path.startsWith(part.at) && part.at.length >= (best?.at.length ?? -1) ? part : best), null);
const sameParts = (a, b) => a?.length === b.length && b.every((part, i) => part.id === a[i].id && part.at === a[i].at && part.from === a[i].from);

/** Where the original of an open folder's file is kept: { id, path } in the store. */
export function whereKept(folder, path) {
  const part = partOf(folder.parts, path);
  return { id: part.id, path: part.from + path.slice(part.at.length) };
}

// The records of the files of an open folder kept in the parts given (of
// all its parts), below prefix: by path in the folder.
async function recordsIn(given, parts, prefix = '') {
  const records = new Map();
  for (const part of given) {
    if (!part.at.startsWith(prefix) && !prefix.startsWith(part.at)) continue;
    const below = prefix.slice(Math.min(part.at.length, prefix.length));
    await kept.recordsUnder(part.id, part.from + below, (page) => {
      for (const [rest, record] of page) {
        const path = part.at + below + rest;
        if (partOf(parts, path) === part) records.set(path, record);
      }
    });
  }
  return records;
}

// Brings the folders up to date with the kept ones (stored), given where
// their directories lie (rel), at once. Returns the open folders whose
// files' records may have changed since they were read: { folder, parts:
// those of its parts to read again }.
function decide(stored, rel) {
  const byId = new Map(stored.map((folder) => [folder.id, folder]));
  // An open folder that a kept folder is becomes it.
  for (const folder of folders) {
    if (!folder.handle || byId.has(folder.id)) continue;
    const same = stored.find(({ id, handle }) => handle && rel(handle, folder.handle) === '' && !folders.some((other) => other.id === id));
    if (same) folder.id = same.id;
  }
  for (const { id, name, handle } of stored) if (!folders.some((folder) => folder.id === id)) add(name, handle, id);
  // A folder neither open nor kept is no longer of interest.
  for (let i = folders.length - 1; i >= 0; i--) if (!folders[i].open && !byId.has(folders[i].id)) folders.splice(i, 1);
  const changed = [];
  for (const folder of folders) {
    // Under the lock, no other page writes.
    Object.assign(folder, { count: byId.get(folder.id)?.count ?? 0, changes: byId.get(folder.id)?.changes ?? 0, keptUnread: null, openedDuring: '' });
    folder.listed = folders.some((open) => open.open && (open === folder || (open.handle && folder.handle && rel(open.handle, folder.handle) !== null)));
    if (!folder.open || !folder.handle) continue;
    folder.parts = bind(folder, stored, rel);
    const { shown } = folder;
    const parts = sameParts(shown, folder.parts) ? folder.parts.filter((part, i) => part.changes !== shown[i].changes) : folder.parts;
    if (parts.length) changed.push({ folder, parts });
  }
  return changed;
}

// Looks at what is kept: brings the folders up to date, and counts the
// originals kept in each part. Returns what decide() does. Where the store
// cannot be read, every open folder says why until the next look.
async function look() {
  let stored;
  try {
    stored = await kept.folders();
  } catch (error) {
    for (const folder of folders) if (folder.open && folder.handle) Object.assign(folder, { keptUnread: error, shown: null });
    behind = false;
    throw error;
  }
  const changed = decide(stored, await relations(stored));
  behind = changed.length > 0;
  const byId = new Map(stored.map((folder) => [folder.id, folder]));
  const parts = folders.flatMap((folder) => (folder.open ? folder.parts : []));
  const below = parts.filter((part) => part.from);
  const counts = await kept.counts(below).catch(() => below.map(() => 1));
  for (const part of parts) part.count = part.from ? counts[below.indexOf(part)] : byId.get(part.id)?.count ?? 0;
  return changed;
}

// Looks, then has the files whose records may have changed read again:
// reread(folder, at(path), records, signal) is given, for each open folder
// concerned, which of its paths to look at and their records as kept now,
// and resolves to how many of them now hold other bytes. Returns that sum.
async function catchUpInStep(signal, reread) {
  let n = 0;
  for (const { folder, parts } of await look()) {
    if (signal?.aborted) return n;
    let records;
    try {
      records = await recordsIn(parts, folder.parts);
    } catch (error) {
      Object.assign(folder, { keptUnread: error, shown: null });
      continue;
    }
    n += await reread(folder, (path) => parts.includes(partOf(folder.parts, path)), records, signal);
    if (!signal?.aborted) folder.shown = folder.parts;
  }
  if (!signal?.aborted) behind = false;
  return n;
}

// ---- The steps.

/**
 * A directory the player opened, in a step of this page alone, once its
 * files were listed (leftovers: the paths of what the browser left of
 * writes it did not finish). Resolves to its folder, where the directory
 * lies in it (prefix), the open folders inside it, whose files are now its
 * own, and what is kept for its files below prefix, read to be shown, by
 * path (where another page writes, it may be out of date: the next look,
 * under the lock, tells).
 */
export const open = (handle, leftovers) => inTurn(async () => {
  const rel = await relations([], [handle]);
  // The open folder that is it or holds it; else a kept folder that is it, or a new one.
  let folder = folders.find((known) => known.open && known.handle && rel(known.handle, handle) !== null);
  const prefix = folder ? rel(folder.handle, handle) : '';
  let inside = [];
  if (!folder) {
    folder = folders.find((known) => known.handle && rel(known.handle, handle) === '') ?? add(handle.name, handle, newId());
    inside = folders.filter((other) => other !== folder && other.open && other.handle && rel(handle, other.handle) !== null);
    for (const other of inside) Object.assign(other, { open: false, leftovers: [] });
    Object.assign(folder, { handle, open: true, shown: null });
  }
  folder.leftovers = [...folder.leftovers.filter((path) => !path.startsWith(prefix)), ...leftovers.map((path) => prefix + path)];
  behind = true;
  folder.openedDuring = '';
  let records = new Map();
  try {
    const stored = await kept.folders();
    const parts = bind(folder, stored, await relations(stored));
    folder.openedDuring = await writer(parts.map((part) => part.id));
    records = await recordsIn(parts, parts, prefix);
    if (!prefix) folder.shown = parts;
    folder.keptUnread = null;
  } catch (error) {
    Object.assign(folder, { keptUnread: error, shown: null });
  }
  return { folder, prefix, inside, records };
});

/** A folder read through the folder chooser: a folder of its own each time, never written. */
export const chosen = (name) => inTurn(() => {
  const folder = add(name, null, null);
  folder.open = true;
  return folder;
});

/**
 * Catches up with what other pages changed, in a step under the shared
 * lock (which waits while another page writes), cancelled with signal;
 * reread as catchUpInStep() calls it. Resolves to how many listed files
 * were read again to hold other bytes.
 */
export const catchUp = (signal, reread) => underLock('shared', () => catchUpInStep(signal, reread).catch(() => 0), { signal, waiting: () => {} });

/**
 * A pass ('save' or 'restore'), as one step under the exclusive lock: it
 * catches up with other pages (reread), then runs run(entries, whereKept) over
 * the entries that choose() returns as they are then (pass.js), while
 * other pages opening a folder can tell that this page is saving or
 * restoring. Resolves to what run() does, or { wayUnknown: folder } where
 * what is kept for a folder to write could not be read.
 */
export const pass = (kind, choose, { signal, waiting, reread, run }) => underLock('exclusive', async () => {
  await catchUpInStep(signal, reread).catch(() => {});
  const entries = choose();
  const unknown = entries.find((entry) => entry.folder.keptUnread);
  if (unknown) return { wayUnknown: unknown.folder };
  const ids = new Set(entries.map((entry) => whereKept(entry.folder, entry.path).id));
  const done = await (navigator.locks?.request([lockName, kind, ...ids].join(' '), () => run(entries, whereKept)) ?? run(entries, whereKept));
  // What changed since the page last looked is what this pass did, and the
  // entries say so already; unless some record could not be put back.
  const changed = await look().catch(() => []);
  if (done.settled) for (const { folder } of changed) folder.shown = folder.parts;
  behind = !done.settled;
  return done;
}, { signal, waiting });

/** The folders whose originals are kept: { folder, count, changes } each. */
export const keptLines = () => folders.filter((folder) => folder.count > 0).map((folder) => ({ folder, count: folder.count, changes: folder.changes }));

/** Whether originals are kept for the files of any open folder. */
export const originalsKept = () => folders.some((folder) => folder.open && folder.parts.some((part) => part.count > 0));

// Forgets what is kept for a folder, if it is what the player was asked
// about (asked, a line of keptLines()): as many originals, kept for it,
// with no change since. Resolves to { forgot }, { now: its line } where it
// changed, or { gone: true } where it is no longer kept.
async function forgetInStep(asked, signal, reread) {
  await catchUpInStep(signal, reread);
  signal?.throwIfAborted();
  const now = keptLines().find((line) => line.folder === asked.folder);
  if (!now) return { gone: true };
  if (now.count !== asked.count || now.changes !== asked.changes) return { now };
  await kept.forgetFolder(asked.folder.id);
  news.tell();
  // What was said of the files whose originals were kept there is said anew.
  await catchUpInStep(signal, reread).catch(() => {});
  return { forgot: asked.folder };
}

/**
 * Forgets what is kept for a folder (line, of keptLines()) once the player
 * confirms it, in steps under the exclusive lock: confirm(line, again)
 * resolves to whether they do, and where what is kept for it changed
 * before the step could run, they are asked again (again true). Resolves
 * to { forgot: folder }, { gone: true } (it is no longer kept), or
 * { asked: false } where the player kept it.
 */
export async function forget(line, confirm, { signal, waiting, reread }) {
  for (let again = false; ; again = true) {
    if (!(await confirm(line, again))) return { asked: false };
    const done = await underLock('exclusive', () => forgetInStep(line, signal, reread), { signal, waiting });
    if (!done.now) return done;
    line = done.now;
  }
}

/**
 * The originals kept for the open folders (or, given a folder, for it),
 * under their paths (with the folder's label first where there are
 * several), read in a step under the shared lock once the page has caught
 * up (reread, as catchUpInStep() calls it): no page changes them meanwhile.
 */
export const originals = (of, { signal, waiting, reread }) => underLock('shared', async () => {
  await catchUpInStep(signal, reread);
  const from = of ? [of] : folders.filter((folder) => folder.open && folder.handle);
  const files = [];
  for (const folder of from) {
    // A kept folder not open is read whole.
    const parts = folder.open ? folder.parts : [{ id: folder.id, at: '', from: '' }];
    const records = await recordsIn(parts, parts);
    for (const [path, record] of records) files.push({ name: from.length > 1 ? `${folder.label}/${path}` : path, bytes: record.original });
  }
  return files;
}, { signal, waiting });

/** The open folders with left-overs of unfinished writes, and how many there are in all. */
export const withLeftovers = () => folders.filter((folder) => folder.open && folder.leftovers.length);
export const leftoversLeft = () => withLeftovers().reduce((n, folder) => n + folder.leftovers.length, 0);

/**
 * How many of the left-overs of unfinished writes in the open folders are
 * still there, where no page is saving or restoring (else 0), in a step of
 * this page: those gone since are no longer listed.
 */
export const leftovers = () => inTurn(async () => {
  if (await writer()) return 0;
  let n = 0;
  for (const folder of withLeftovers()) {
    folder.leftovers = await stillThere(folder.handle, folder.leftovers);
    n += folder.leftovers.length;
  }
  return n;
});

/**
 * Removes what the browser left of writes it did not finish, in the open
 * folders, in a step under the exclusive lock: none is then under way.
 * Resolves to { removed, left, error }: how many were removed, how many
 * are left, and why (those already gone count as neither).
 */
export const removeLeftovers = (options) => underLock('exclusive', async () => {
  let removed = 0;
  let error = null;
  for (const folder of withLeftovers()) {
    const done = await removeAll(folder.handle, folder.leftovers);
    removed += done.removed;
    error ??= done.error;
    folder.leftovers = done.left;
  }
  return { removed, left: leftoversLeft(), error };
}, options);

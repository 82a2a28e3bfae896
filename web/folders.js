// Which folder is which, and what is kept for it: the one owner of both.
//
// Every Pitmix page of this browser shares one store (kept.js) and one
// disk. This module is the only one that changes the page's folders or
// what the page knows is kept for its files, and it does so in steps that
// run one at a time in this page, each under the disk's lock, which all
// Pitmix pages share: exclusive to write, shared to look. A step first
// reads the store and the directories, then decides, with no await in
// between; a decision made before the lock is made again inside it. The
// one thing done without the lock is opening a folder, so that its files
// are listed at once while another page writes: what that reads is only
// shown, and read again under the lock before anything is written.
//
// A folder: { key, id, prefix, name, label, handle, open, unread, parts, leftovers }
//   key: this page's own for it, which never changes;
//   id, prefix: where what is kept for its files lies: under its own id,
//     or, for a folder inside one kept, under that one's id at its path
//     there (prefix, ending in '/'; else '');
//   handle: its directory handle, or null for a folder read through the
//     folder chooser, which is never written;
//   open: its files are listed in this page;
//   unread: why what is kept for it could not be read, or '': its way back
//     is then unknown, and nothing is written to it;
//   parts (an open folder): where the records of its files lie, { id,
//     from, at }: those at path `at` in it are kept under id at `from`;
//     its own first, then folders kept on their own inside it, until a
//     write takes them in;
//   leftovers (an open folder): the paths of what the browser left of
//     writes it did not finish;
//   busy: another page was writing when it was opened.
import { sameBytes } from './bytes.js';
import * as kept from './kept.js';
import { allowed, writeAll } from './pass.js';
import * as setups from './setups.js';
import { finder, readInOrder } from './sources.js';
import { reason } from './words.js';
import { inSlices } from './work.js';

export const folders = [];
// How many files' originals are kept for each folder id, and how many
// changes of them it has seen, as last read.
const counts = new Map();
const changes = new Map();
let made = 0;
// What the page shows of what this module changes: hooks.kept(lines),
// hooks.placed(entry, replaced) and hooks.shown() for files read again.
let hooks = { kept() {}, placed() {}, shown() {} };
export const listen = (given) => { hooks = given; };

function add(name, handle, id, prefix = '') {
  let label = name;
  for (let n = 2; folders.some((folder) => folder.label === label); n++) label = `${name} (${n})`;
  const folder = { key: ++made, id, prefix, name, label, handle, open: false, unread: '', parts: [], leftovers: [] };
  folders.push(folder);
  return folder;
}
const newId = () => `${Date.now().toString(36)}-${Math.random().toString(36).slice(2)}`;
const keptOnItsOwn = (folder) => !folder.prefix && counts.has(folder.id);

/** A folder read through the folder chooser: a folder of its own each time. */
export function chosen(name) {
  const folder = add(name, null, null);
  folder.open = true;
  return folder;
}

// ---- Steps.

const lockName = 'pitmix-disk';
let last = Promise.resolve();
function oneAtATime(task) {
  const now = last.then(task);
  last = now.catch(() => {});
  return now;
}

/**
 * Runs task() as one step: one step of this page at a time, under the
 * disk's lock in mode ('exclusive' or 'shared'). Where another page holds
 * it: with waiting, calls it and waits, until signal is aborted (then
 * rejects); with none, resolves to undefined without running task.
 */
function step(mode, task, { signal, waiting } = {}) {
  const { locks } = navigator;
  const inTurn = () => oneAtATime(task);
  if (!locks) return inTurn();
  return locks.request(lockName, { mode, ifAvailable: true }, (lock) => {
    if (lock) return inTurn();
    if (!waiting) return undefined;
    waiting();
    return locks.request(lockName, { mode, signal }, inTurn);
  });
}

/** Whether a Pitmix page of this browser is writing now. */
export const writing = async () => (await navigator.locks?.query())?.held.some((lock) => lock.name === lockName && lock.mode === 'exclusive') ?? false;

// ---- News: what one page tells the others once it has changed what is
// kept, merged here until this page catches up: folder id → { paths: the
// files written or whose records changed, all: whether any record of it
// may have changed }.

const channel = globalThis.BroadcastChannel ? new BroadcastChannel('pitmix') : null;
const pending = new Map();
// Whether the folders kept may have changed since this page last looked.
let unlooked = true;
function note(id, paths) {
  const told = pending.get(id) ?? { all: false, paths: new Set() };
  if (paths === true) told.all = true;
  else for (const path of paths) told.paths.add(path);
  pending.set(id, told);
}
const tell = (id, paths) => channel?.postMessage({ id, paths: paths === true ? true : [...paths] });
/** Calls heard() when another Pitmix page has changed what is kept. */
export function onNews(heard) {
  channel?.addEventListener('message', ({ data }) => {
    note(data.id, data.paths);
    unlooked = true;
    heard();
  });
}
/** Whether there is news to catch up with. */
export const behind = () => unlooked || pending.size > 0;

// ---- Looking: what is kept and where each directory lies.

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

// Where each of the page's directories, those of the folders kept and
// `opening` lie in each other, found at once (there are a few): returns a
// lookup, rel(a, b), for the decision that follows.
async function relations(stored, opening) {
  const handles = [...new Set([...folders.map((folder) => folder.handle), ...stored.map((record) => record.handle), opening].filter(Boolean))];
  const found = new Map();
  await Promise.all(handles.flatMap((a) => handles.map(async (b) => found.set(`${handles.indexOf(a)} ${handles.indexOf(b)}`, await where(a, b)))));
  return (a, b) => found.get(`${handles.indexOf(a)} ${handles.indexOf(b)}`) ?? null;
}

// Brings the page's folders up to date with the folders kept (stored),
// given where their directories lie (rel). No await: it decides at once.
function decide(stored, rel) {
  counts.clear();
  for (const record of stored) {
    counts.set(record.id, record.count);
    changes.set(record.id, record.changes ?? 0);
  }
  // Where the folder that held a folder is no longer kept, it is a folder of
  // its own again. A folder that changes its id is looked at again.
  const rekey = (folder, id, prefix) => {
    Object.assign(folder, { id, prefix });
    note(id, true);
  };
  for (const folder of folders) if (folder.prefix && !counts.has(folder.id)) rekey(folder, newId(), '');
  // A folder not kept is the part of a kept folder that holds it, or that
  // folder itself; a folder kept that the page does not know is added.
  for (const record of stored) {
    const known = folders.some((folder) => folder.id === record.id && !folder.prefix);
    let same = null;
    for (const folder of folders.filter((other) => other.handle && !counts.has(other.id))) {
      const at = rel(record.handle, folder.handle);
      if (at === '') same ??= folder;
      else if (at !== null) rekey(folder, record.id, at);
    }
    if (known) continue;
    if (same) rekey(same, record.id, '');
    else add(record.name, record.handle, record.id);
  }
  // A folder neither open nor kept on its own is no longer of interest.
  for (let i = folders.length - 1; i >= 0; i--) if (!folders[i].open && !keptOnItsOwn(folders[i])) folders.splice(i, 1);
  for (const folder of folders.filter((known) => known.open)) folder.parts = partsOf(folder, stored, rel);
}

// An open folder's own part, then the folders kept on their own inside it.
function partsOf(folder, stored, rel) {
  const inside = stored.filter((record) => folder.handle && record.id !== folder.id)
    .map((record) => ({ id: record.id, from: '', at: rel(folder.handle, record.handle) })).filter((part) => part.at);
  return [{ id: folder.id, from: folder.prefix, at: '' }, ...inside];
}

async function learnNow() {
  const stored = await kept.storedFolders();
  decide(stored, await relations(stored));
  unlooked = false;
  hooks.kept(keptLines());
}

/** Whether originals are kept for any open folder. */
export const originalsKept = () => folders.some((folder) => folder.open && folder.handle && folder.parts.some((part) => counts.get(part.id)));

/** The folders whose originals are kept, each with how many and whether it is open. */
export const keptLines = () => folders.filter((folder) => keptOnItsOwn(folder) && counts.get(folder.id))
  .map((folder) => ({ folder, count: counts.get(folder.id), changes: changes.get(folder.id), open: folder.open }));

// Where what is kept for a folder's file lies: the most precise part of it.
function partOf(folder, path) {
  let best = null;
  for (const part of folder.parts) if (path.startsWith(part.at) && part.at.length >= (best?.at.length ?? -1)) best = part;
  return best;
}
/** Where what is kept for a folder's file lies: { id, path } in the store. */
export function keyOf(folder, path) {
  const part = partOf(folder, path);
  return { id: part.id, path: part.from + path.slice(part.at.length) };
}

/** The records of an open folder's files, by their path in it. Rejects if they cannot be read. */
export async function recordsOf(folder) {
  const records = new Map();
  for (const part of folder.parts) {
    for (const [path, record] of await kept.recordsOf(part.id, part.from)) {
      if (partOf(folder, part.at + path) === part) records.set(part.at + path, record);
    }
  }
  return records;
}

/**
 * The folder of a directory that the player opened and whose files were
 * listed (paths in it, and the left-overs of writes there), in a step of
 * this page that waits for no other page: the open folder that is it or
 * holds it (the directory lies at prefix in it), one kept from before, or
 * a new one; the open folders inside it, whose files are now its files;
 * and the records of its files, by path. What it read is read again under
 * the lock once the page catches up: every file, where another page was
 * writing meanwhile.
 */
export const open = (handle, paths, leftovers) => oneAtATime(async () => {
  const busy = await writing();
  let stored = null;
  let unread = '';
  try {
    stored = await kept.storedFolders();
  } catch (error) {
    unread = reason(error);
  }
  const rel = await relations(stored ?? [], handle);
  if (stored) decide(stored, rel);
  let folder = folders.find((known) => known.open && known.handle && rel(known.handle, handle) !== null);
  const prefix = folder ? rel(folder.handle, handle) : '';
  const inside = [];
  if (!folder) {
    folder = folders.find((known) => known.handle && !known.prefix && rel(known.handle, handle) === '');
    if (folder) folder.handle = handle;
    else {
      folder = add(handle.name, handle, newId());
      const outer = folders.find((known) => known.handle && keptOnItsOwn(known) && rel(known.handle, handle));
      if (outer) Object.assign(folder, { id: outer.id, prefix: rel(outer.handle, handle) });
    }
    inside.push(...folders.filter((other) => other !== folder && other.open && other.handle && rel(handle, other.handle) !== null));
    for (const other of inside) other.open = false;
  }
  Object.assign(folder, {
    open: true, unread, busy, parts: partsOf(folder, stored ?? [], rel),
    leftovers: [...folder.leftovers.filter((path) => !path.startsWith(prefix)), ...leftovers.map((path) => prefix + path)],
  });
  let records = new Map();
  if (!unread) records = await recordsOf(folder).catch((error) => (folder.unread = reason(error), records));
  for (const part of folder.parts) {
    note(part.id, true);
    if (busy) note(part.id, paths.map((path) => keyOf(folder, prefix + path)).filter((key) => key.id === part.id).map((key) => key.path));
  }
  hooks.kept(keptLines());
  return { folder, prefix, inside, records };
});

// ---- Catching up: news from other pages, merged, under the shared lock.

// Reads again the files at paths of an open folder, with their records
// (records: path → record), each patched again with its stops. Stops once
// signal is aborted; returns how many now hold other bytes.
async function reread(folder, records, signal) {
  const find = finder();
  const sources = [...records.keys()].map((path) => ({ path, find: () => find(folder, path), entry: setups.entries.get(setups.keyOf(folder, path)) }))
    .filter((source) => source.entry);
  let changed = 0;
  await readInOrder(sources, signal, (source, read) => {
    const entry = setups.entryOf(source, folder, read, records.get(source.path), source.entry);
    if (!sameBytes(entry.bytes, source.entry.bytes)) changed++;
    hooks.placed(entry, setups.place(entry).replaced);
  }, () => {});
  hooks.shown();
  return changed;
}

// What changed in a part of an open folder, as news tells: path → record.
// The files told of are read again whatever their records; where any
// record may have changed, so is every file whose record did, in any way.
async function changedIn(folder, part, { all, paths: told }) {
  const changed = new Map();
  const mine = (path) => partOf(folder, path) === part;
  const paths = [...told].filter((path) => path.startsWith(part.from)).map((path) => part.at + path.slice(part.from.length)).filter(mine);
  if (!all) {
    const records = await kept.recordsAt(paths.map((path) => keyOf(folder, path)));
    paths.forEach((path, i) => changed.set(path, records[i]));
    return changed;
  }
  const records = await kept.recordsOf(part.id, part.from);
  const recordAt = (path) => records.get(path.slice(part.at.length)) ?? null;
  for (const path of paths) changed.set(path, recordAt(path));
  for (const entry of setups.entries.values()) {
    if (entry.folder === folder && entry.path.startsWith(part.at) && mine(entry.path) && !kept.sameRecord(recordAt(entry.path), entry.record)) {
      changed.set(entry.path, recordAt(entry.path));
    }
  }
  return changed;
}

// Under the lock: the folders as they are kept now, and each open
// folder's files that news says changed, read again. Returns how many of
// them hold other bytes now; where signal stops it, the news not caught up
// with stays.
async function catchUpNow(signal) {
  try {
    await learnNow();
  } catch (error) {
    // What is kept cannot be read: the way back of the folders told of is unknown.
    for (const folder of folders) if (folder.open && folder.parts.some((part) => pending.has(part.id))) folder.unread = reason(error);
    pending.clear();
    throw error;
  }
  const news = new Map(pending);
  pending.clear();
  let read = 0;
  try {
    for (const folder of folders.filter((known) => known.open && known.handle)) {
      // No page writes now: what was read while one did is read again here.
      folder.busy &&= Boolean(signal?.aborted);
      for (const part of folder.parts) {
        if (!news.has(part.id) || signal?.aborted) continue;
        let changed;
        try {
          changed = await changedIn(folder, part, news.get(part.id));
        } catch (error) {
          folder.unread = reason(error);
          continue;
        }
        read += await reread(folder, changed, signal);
      }
    }
  } finally {
    if (signal?.aborted) {
      for (const [id, { all, paths }] of news) {
        note(id, paths);
        if (all) note(id, true);
      }
    }
  }
  return read;
}

/**
 * Catches up with what other pages changed, in a step under the shared
 * lock (which waits while another page writes); cancelled with signal.
 * Resolves to how many listed files were read again to hold other bytes.
 */
export const catchUp = (signal) => step('shared', async () => {
  try {
    return await catchUpNow(signal);
  } catch {
    unlooked = false;
    return 0;
  }
}, { signal, waiting: () => {} });

// ---- Writing: each under the exclusive lock.

// Under the lock, before anything is kept for a folder (keep) or read for
// it: keeps it, and takes in what is kept for folders inside it, telling
// the other pages. Looks at what is kept first, unless the step just did
// (learned), and again where it changed it.
async function settleNow(folder, keep = true, learned = false) {
  if (!learned) await learnNow();
  const keeping = keep && !folder.prefix && !counts.has(folder.id);
  if (keeping) await kept.keepFolder(folder);
  const inside = folder.parts.slice(1);
  for (const part of inside) {
    const moved = await kept.adopt(folder.id, part.id, folder.prefix + part.at);
    tell(part.id, true);
    tell(folder.id, moved);
  }
  if (keeping || inside.length) await learnNow();
}

/**
 * Runs a pass, 'save' or 'restore', as one step under the exclusive lock:
 * catches up with other pages, takes in what is kept for folders inside
 * those written, then takes the entries choose() returns as they are now
 * and writes them (pass.js). Tells planned(how many files), told(item,
 * facts) for each file, and holding(true or false) when the lock is held.
 * Resolves to { plan, tally, refused, stopped } (see writeAll), or
 * { unkept: why } where the originals could not be kept, or
 * { unknown: folder } where what is kept for a folder to write could not
 * be read.
 */
export const write = (pass, choose, { signal, waiting, holding, planned, told }) => step('exclusive', async () => {
  holding(true);
  try {
    const learned = await catchUpNow(signal).then(() => true, () => false);
    for (const folder of new Set(choose().map((entry) => entry.folder))) {
      if (folder.unread) continue;
      try {
        await settleNow(folder, pass === 'save', learned);
      } catch (error) {
        return { unkept: reason(error) };
      }
    }
    const chosen = choose();
    const unknown = chosen.find((entry) => entry.folder.unread);
    if (unknown) return { unknown: unknown.folder };
    const plan = chosen.map((entry) => {
      const { id, path } = keyOf(entry.folder, entry.path);
      return { entry, folder: entry.folder, path: entry.path, id, keptAt: path, expected: entry.bytes, replacement: entry.patch?.bytes, stops: pass === 'save' ? entry.patch.stops : [] };
    });
    planned(plan.length);
    // The other pages are told of the files first, so that they read them
    // again once this step is over even where it never ends (the page is
    // closed), and told again at its end, for a page opened meanwhile.
    const paths = new Map();
    for (const item of plan) {
      if (!paths.has(item.id)) paths.set(item.id, []);
      paths.get(item.id).push(item.keptAt);
    }
    for (const [id, ofId] of paths) tell(id, ofId);
    const tally = { written: 0, already: 0, skipped: 0 };
    const reach = (item, facts) => {
      tally[facts.outcome] = (tally[facts.outcome] ?? 0) + 1;
      setups.apply(item, pass, facts);
      told(item, facts);
    };
    const { unreached, refused, stopped } = await writeAll(plan, pass, signal, reach);
    await inSlices(unreached, (item) => reach(item, { outcome: 'skipped', why: refused || stopped }));
    for (const [id, ofId] of paths) tell(id, ofId);
    await learnNow().catch(() => {});
    return { plan, tally, refused, stopped };
  } finally {
    holding(false);
  }
}, { signal, waiting });

/**
 * Forgets what is kept for a folder, in a step under the exclusive lock,
 * if it is still what the player was asked about (asked, a line of
 * keptLines()): the originals of as many files, kept for it on its own,
 * with no change since. Resolves to { forgot: the entries that lost their
 * way back }, { now: its line } where what is kept changed (ask again),
 * or { gone: true } where it is no longer kept on its own.
 */
export const forget = (asked, { signal, waiting }) => step('exclusive', async () => {
  const { folder } = asked;
  await learnNow();
  const now = keptLines().find((line) => line.folder === folder);
  if (!now) return { gone: true };
  if (now.count !== asked.count || now.changes !== asked.changes) return { now };
  const { id } = folder;
  await kept.forget(id);
  tell(id, true);
  const forgot = [...setups.entries.values()].filter((entry) => entry.folder?.open && entry.folder.handle && entry.record &&
    partOf(entry.folder, entry.path)?.id === id);
  setups.forgot(forgot);
  await learnNow();
  return { forgot };
}, { signal, waiting });

/**
 * Where no Pitmix page writes, as a step that waits for none: folders
 * whose originals were all restored are no longer kept. Resolves to
 * whether it ran.
 */
export const tidy = () => step('exclusive', async () => {
  await learnNow();
  const empty = [...counts].filter(([, n]) => n === 0).map(([id]) => id);
  for (const id of empty) {
    await kept.forget(id);
    tell(id, true);
  }
  if (empty.length) await learnNow();
  return true;
}).catch(() => false);

/**
 * Takes in what is kept for folders inside an open folder now, where no
 * other Pitmix page writes; else the next write does.
 */
export const settleIfFree = (folder) => (folder.parts.length > 1 && !folder.unread ? step('exclusive', () => settleNow(folder)).catch(() => {}) : null);

// The folder of a file at path in an open folder, and the file's name.
async function placeOf(folder, path) {
  const names = path.split('/');
  let parent = folder.handle;
  for (const name of names.slice(0, -1)) parent = await parent.getDirectoryHandle(name);
  return [parent, names.at(-1)];
}
const leftoversOf = () => folders.filter((folder) => folder.open && folder.leftovers.length);

/**
 * How many of the left-overs of unfinished writes listed in the open
 * folders are still there; those gone since are no longer listed.
 */
export async function leftoversThere() {
  let n = 0;
  for (const folder of leftoversOf()) {
    const there = await Promise.all(folder.leftovers.map(async (path) => {
      const [parent, name] = await placeOf(folder, path).catch(() => []);
      return parent?.getFileHandle(name).then(() => true, () => false);
    }));
    folder.leftovers = folder.leftovers.filter((path, i) => there[i]);
    n += folder.leftovers.length;
  }
  return n;
}

/**
 * Removes what the browser left of writes it did not finish, in the open
 * folders, as a step under the exclusive lock: none is then under way.
 * Resolves to { removed, left, why }: how many were removed, how many are
 * left, and why not (those already gone count as neither).
 */
export const removeLeftovers = ({ signal, waiting }) => step('exclusive', async () => {
  let removed = 0;
  let why = '';
  for (const folder of leftoversOf()) {
    why ||= await allowed(folder);
    for (const path of why ? [] : folder.leftovers.splice(0)) {
      try {
        const [parent, name] = await placeOf(folder, path);
        await parent.removeEntry(name);
        removed++;
      } catch (error) {
        if (error.name !== 'NotFoundError') {
          why ||= reason(error);
          folder.leftovers.push(path);
        }
      }
    }
  }
  return { removed, left: leftoversOf().reduce((n, folder) => n + folder.leftovers.length, 0), why };
}, { signal, waiting });

/**
 * The originals kept for the open folders, under their paths (with the
 * folder's label first where there are several), read in a step under the
 * shared lock: no page changes them meanwhile.
 */
export const originals = (options) => step('shared', async () => {
  const open = folders.filter((folder) => folder.open && folder.handle);
  const files = [];
  for (const folder of open) {
    for (const [path, record] of await recordsOf(folder)) files.push({ name: open.length > 1 ? `${folder.label}/${path}` : path, bytes: record.original });
  }
  return files;
}, options);

// The one door to the player's files on disk, and the way back.
//
// A pass (save or restore) takes its whole plan at once and holds the one
// lock while it runs. It asks for permission from the click that started
// it, then, for each file: reads it again, writes only if it still holds
// what the page expects, and says what happened. The browser writes the
// new bytes aside and swaps them in when the stream closes, so a failed
// write leaves the file whole.
//
// Before it first writes over a file, the page keeps the file's bytes in
// this browser's IndexedDB, with the folder's handle, the path and the
// bytes it writes, so that "Restore the originals" can put them back after
// a reopen, a reload or on another day. Nothing leaves the machine.
import { createStore, promisifyRequest } from 'idb-keyval';
import { pitmixWriteOnDisk, sameBytes } from './setups.js';
import { inPool, lasting } from './work.js';

// Files written at once: Chromium checks each file it writes for a page
// before the write is done, which takes it up to a second a file, but for
// many files side by side.
export const writesAtOnce = 256;
// A file larger than any setup is not read again in full: it has changed.
const largestSetup = 4096;

// Kept: ['folder', id] → { id, name, handle }, and
// ['file', id, path] → { path, original, written, stops, savedAt, previous },
// where previous is the write before the last ({ written, stops, savedAt }),
// so that the file is known by either while a write is under way.
const store = createStore('pitmix', 'kept');
const within = (...prefix) => IDBKeyRange.bound(prefix, [...prefix, []]);
const request = (mode, act) => store(mode, (kept) => promisifyRequest(act(kept)));

// Folders opened in this visit, and those kept from earlier ones: { id,
// name, label, handle }. The same directory is the same folder, whatever
// its name: handles are compared with isSameEntry().
export const folders = [];

function known(name, id, handle) {
  const same = folders.filter((folder) => folder.name === name).length;
  const folder = { id, name, label: same ? `${name} (${same + 1})` : name, handle };
  folders.push(folder);
  return folder;
}

/** The folder of a directory handle: one already known, or a new one. */
export async function folderOf(handle) {
  for (const folder of folders) {
    if (folder.handle && await folder.handle.isSameEntry(handle)) {
      folder.handle = handle;
      return folder;
    }
  }
  return known(handle.name, `${Date.now().toString(36)}-${Math.random().toString(36).slice(2)}`, handle);
}

/** A folder read through the folder chooser: known by its name alone, and never written. */
export const chosenFolderOf = (name) => folders.find((folder) => folder.id === `chosen:${name}`) ?? known(name, `chosen:${name}`, null);

/**
 * Loads the folders kept from earlier visits, and how many files' originals
 * each keeps. Where this browser keeps nothing (no IndexedDB for the page),
 * there are none.
 */
export async function loadKept() {
  try {
    for (const kept of await request('readonly', (s) => s.getAll(within('folder')))) {
      // A folder whose originals were all restored is no longer kept.
      if (await request('readonly', (s) => s.count(within('file', kept.id)))) known(kept.name, kept.id, kept.handle);
      else await forget(kept);
    }
    return await keptCounts();
  } catch {
    return new Map();
  }
}

/** How many files' originals are kept, by folder id. */
export async function keptCounts() {
  const counts = new Map();
  for (const folder of folders) {
    if (folder.handle) counts.set(folder.id, await request('readonly', (s) => s.count(within('file', folder.id))));
  }
  return counts;
}

// Records read at once: thousands in one go would be one long task.
const recordsAtOnce = 500;

/** What is kept for a folder's files, by path. */
export async function keptFiles(folder) {
  const kept = new Map();
  if (!folder.handle) return kept;
  let range = within('file', folder.id);
  for (;;) {
    const records = await request('readonly', (s) => s.getAll(range, recordsAtOnce));
    for (const record of records) {
      for (const version of [record, record.previous]) {
        if (version) version.written = lasting(version.written);
      }
      record.original = lasting(record.original);
      kept.set(record.path, record);
    }
    if (records.length < recordsAtOnce) return kept;
    range = IDBKeyRange.bound(['file', folder.id, records.at(-1).path], ['file', folder.id, []], true);
  }
}

/** Drops all that is kept for a folder. */
export async function forget(folder) {
  await request('readwrite', (s) => s.delete(within('file', folder.id)));
  await request('readwrite', (s) => s.delete(['folder', folder.id]));
}

// A record is stored with copies of just its bytes: a view into one of the
// page's shared blocks would take the whole block with it.
const alone = (version) => version && { ...version, written: version.written.slice() };
const keep = (entry, record) => request('readwrite', (s) => s.put({ ...alone(record), original: record.original.slice(), previous: alone(record.previous) },
  ['file', entry.folder.id, entry.path]));
const forgetFile = (entry) => request('readwrite', (s) => s.delete(['file', entry.folder.id, entry.path]));

// What is kept when the page writes `written` over a file that holds `now`:
// the bytes from before Pitmix first wrote it stay.
function recordOf(entry, now, item) {
  const write = { written: item.replacement, stops: item.stops, savedAt: Date.now() };
  const last = pitmixWriteOnDisk(entry);
  return last
    ? { path: entry.path, original: entry.kept.original, ...write, previous: { written: last.written, stops: last.stops, savedAt: last.savedAt } }
    : { path: entry.path, original: now, ...write, previous: null };
}


// Asks for write access to each folder of the plan, from the click; says
// why not, or ''.
async function mayWrite(plan) {
  for (const folder of new Set(plan.map((item) => item.entry.folder))) {
    try {
      const mode = { mode: 'readwrite' };
      if (await folder.handle.queryPermission(mode) !== 'granted' && await folder.handle.requestPermission(mode) !== 'granted') {
        return `the browser may not write to the folder ${folder.name}`;
      }
    } catch (error) {
      return `the browser may not write to the folder ${folder.name}: ${error.message}`;
    }
  }
  return '';
}

// The page keeps no handle for each file it read (thousands of them weigh
// on the browser's garbage collection): a pass finds each file again by
// its path in its folder, and each subfolder once.
function fileFinder() {
  const subfolders = new Map();
  const subfolder = (folder, path) => {
    const key = `${folder.id}\n${path}`;
    if (!subfolders.has(key)) {
      const cut = path.lastIndexOf('/');
      subfolders.set(key, path === '' ? Promise.resolve(folder.handle)
        : subfolder(folder, path.slice(0, Math.max(cut, 0))).then((parent) => parent.getDirectoryHandle(path.slice(cut + 1))));
    }
    return subfolders.get(key);
  };
  return async ({ folder, path }) => {
    const cut = path.lastIndexOf('/');
    return (await subfolder(folder, cut < 0 ? '' : path.slice(0, cut))).getFileHandle(path.slice(cut + 1));
  };
}

// One file: read again, compared, kept, written. Returns the outcome:
// 'written', 'already' (it holds the new bytes), 'changed' (it holds
// neither), 'skipped' (the pass was stopped before the write began).
async function writeOne(item, pass, signal, find) {
  const { entry, expected, replacement } = item;
  const handle = await find(entry);
  const file = await handle.getFile();
  const now = file.size <= largestSetup ? lasting(new Uint8Array(await file.arrayBuffer())) : new Uint8Array();
  if (sameBytes(now, replacement)) {
    entry.bytes = now;
    entry.size = now.length;
    if (pass === 'restore') await forgetFile(entry).then(() => { entry.kept = null; }, () => {});
    return 'already';
  }
  if (!sameBytes(now, expected)) return 'changed';
  if (signal.aborted) return 'skipped';
  const record = pass === 'save' ? recordOf(entry, now, item) : null;
  if (record) {
    try {
      await keep(entry, record);
    } catch (error) {
      throw new Error(`this browser could not keep the original: ${error.message}`);
    }
  }
  const writable = await handle.createWritable().catch(async (error) => {
    if (record) await putBack(entry);
    throw error;
  });
  try {
    await writable.write(replacement);
    await writable.close();
  } catch (error) {
    await writable.abort().catch(() => {});
    if (record) await putBack(entry);
    throw error;
  }
  if (pass === 'restore') await forgetFile(entry).catch(() => {});
  entry.kept = record;
  entry.bytes = replacement;
  entry.size = replacement.length;
  return 'written';
}

// After a failed write, what is kept is what was kept before it.
const putBack = (entry) => (entry.kept ? keep(entry, entry.kept) : forgetFile(entry)).catch(() => {});

let writing = false;

/**
 * Runs a pass over plan: items { entry, expected, replacement, stops }, in
 * which pass is 'save' or 'restore'. Calls told(item, outcome, why) for
 * each file it reached ('failed' with its reason, besides the outcomes
 * above). Once signal is aborted no write starts; those under way finish.
 * Returns the items it did not reach and, if it wrote nothing at all,
 * why.
 */
export async function writePass(plan, pass, signal, told) {
  if (writing) return { unreached: plan, refused: 'another save or restore is under way' };
  writing = true;
  try {
    let refused = await mayWrite(plan);
    if (!refused && pass === 'save') {
      for (const folder of new Set(plan.map((item) => item.entry.folder))) {
        const { id, name, handle } = folder;
        await request('readwrite', (s) => s.put({ id, name, handle }, ['folder', id]))
          .catch((error) => { refused = `this browser could not keep the originals: ${error.message}`; });
      }
    }
    if (refused) return { unreached: plan, refused };
    const find = fileFinder();
    const started = await inPool(plan, writesAtOnce, async (item) => {
      try {
        const outcome = await writeOne(item, pass, signal, find);
        told(item, outcome, outcome === 'skipped' ? signal.reason : '');
      } catch (error) {
        told(item, 'failed', error.message);
      }
    }, signal);
    return { unreached: plan.slice(started), refused: '' };
  } finally {
    writing = false;
  }
}

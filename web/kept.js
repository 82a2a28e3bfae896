// What is kept: the way back to the files Pitmix wrote over, in this
// browser's IndexedDB on this computer. Nothing leaves the machine. This
// runs in the page's worker (worker.js).
//
//   ['folder', id] → { id, name, handle, changes }
//   ['file', id, path] → a Record, under the kept folder that holds the file
//
// A file's record stays under the folder that kept it: no record ever moves
// to another folder. changes counts the transactions that changed the
// folder's records, so that a page can tell whether what it read is still
// so. This store, not a page's memory, is the truth; it is changed only
// under the disk's lock (folders.js).
//
// Each change is one transaction, and counts once that transaction has
// committed: a request can succeed and its transaction still abort (a full
// quota aborts it at the commit). Every change asks to be durable: the
// browser says it is committed only once it is on disk, so an original is
// there before its file is written over, whatever happens next.
import { promisifyRequest } from 'idb-keyval';
import { sameBytes } from './bytes.js';
import { withBytes, writeHeld } from './records.js';

/**
 * @typedef {object} Write  one write of Pitmix's to a file
 * @property {Uint8Array} written  the bytes it wrote
 * @property {number[]} stops  the stops they hold
 * @property {number} savedAt  when, in ms since 1970
 */
/**
 * @typedef {Write & {
 *   path: string, original: Uint8Array, previous: Write | null, restoring?: number,
 * }} Record  what is kept of a file Pitmix wrote over: its path in its kept
 *   folder; what it held before Pitmix first wrote it (original); Pitmix's
 *   last write, and the one before (previous), so that the file is known by
 *   either while a write is under way; and, while a restore puts the
 *   original back, when that restore began (restoring).
 */
/**
 * @typedef {object} Stored  a kept folder, as the store holds it
 * @property {string} id
 * @property {string | null} name  null where records are kept under an id that no folder record names
 * @property {FileSystemDirectoryHandle | null} handle
 * @property {number} changes
 * @property {number} count  how many files' originals are kept under it
 */

const storeName = 'kept';
let database = null;
// The database, opened when first needed; opened again after a failure.
function opened() {
  if (!database) {
    const request = indexedDB.open('pitmix');
    request.onupgradeneeded = () => request.result.createObjectStore(storeName);
    database = promisifyRequest(request);
    database.then((db) => { db.onclose = () => { database = null; }; }, () => { database = null; });
  }
  return database;
}

// Resolves to what work(objects) returns, once its transaction has committed.
async function inTransaction(mode, work) {
  const db = await opened();
  const transaction = db.transaction(storeName, mode, mode === 'readwrite' ? { durability: 'strict' } : {});
  const committed = new Promise((resolve, reject) => {
    transaction.oncomplete = resolve;
    transaction.onabort = () => reject(transaction.error ?? new DOMException('', 'AbortError'));
  });
  const [result] = await Promise.all([work(transaction.objectStore(storeName)), committed]);
  return result;
}

// The records of a folder id below prefix (ending in '/', or ''). In key
// order, arrays come after strings, and '0' after '/'.
const fileKey = (id, path) => ['file', id, path];
const recordsRange = (id, prefix = '') => IDBKeyRange.bound(['file', id, prefix], ['file', id, prefix ? `${prefix.slice(0, -1)}0` : []], false, true);
const folderKey = (id) => ['folder', id];
const folderRecords = () => IDBKeyRange.bound(['folder'], ['folder', []]);

// A record as it is stored: each array alone (a view into a block would
// store the whole block).
const asStored = (record) => withBytes(record, (bytes) => bytes.slice());

// Counts a change of the records of each of the folder ids, within the
// transaction of the change. A folder not kept yet whose { id, name, handle }
// is among known is kept, so that it is known by its handle in every page
// and visit; records under an id that no folder record names stay so.
async function countChanges(objects, ids, known = []) {
  await Promise.all([...new Set(ids)].map(async (id) => {
    const folder = (await promisifyRequest(objects.get(folderKey(id)))) ?? known.find((named) => named.id === id);
    if (folder) objects.put({ ...folder, changes: (folder.changes ?? 0) + 1 }, folderKey(id));
  }));
}

// The ids under which files are kept, each found with one cursor however
// many files it keeps: past each id's last path comes the next id.
async function fileIds(objects) {
  const ids = [];
  for (let range = IDBKeyRange.bound(['file'], ['file', []]); ;) {
    const cursor = await promisifyRequest(objects.openKeyCursor(range));
    if (!cursor) return ids;
    ids.push(cursor.key[1]);
    range = IDBKeyRange.bound(['file', cursor.key[1], []], ['file', []], false, true);
  }
}

/**
 * The kept folders (Stored), with how many originals each keeps; and, as
 * folders without a name or handle, the ids whose records no folder record
 * names (an earlier version could leave them so).
 */
export const folders = () => inTransaction('readonly', async (objects) => {
  const stored = await promisifyRequest(objects.getAll(folderRecords()));
  const named = new Set(stored.map(({ id }) => id));
  const unnamed = (await fileIds(objects)).filter((id) => !named.has(id)).map((id) => ({ id, name: null, handle: null }));
  const all = [...stored, ...unnamed];
  const counts = await Promise.all(all.map(({ id }) => promisifyRequest(objects.count(recordsRange(id)))));
  return all.map((folder, i) => ({ ...folder, changes: folder.changes ?? 0, count: counts[i] }));
});

/** How many originals are kept below each of the places ({ id, from }: a folder id and a prefix in it). */
export const counts = (places) => inTransaction('readonly', (objects) =>
  Promise.all(places.map(({ id, from }) => promisifyRequest(objects.count(recordsRange(id, from))))));

// Records read at once: thousands in one go would be one long task.
const recordsAtOnce = 500;

/**
 * The records below prefix in a folder id, a few hundred at a time:
 * each([[path after prefix, record], …]) for each. Rejects if they cannot
 * be read.
 */
export async function recordsUnder(id, prefix, each) {
  for (let range = recordsRange(id, prefix); ;) {
    const page = await inTransaction('readonly', (objects) => promisifyRequest(objects.getAll(range, recordsAtOnce)));
    each(page.map((record) => [record.path.slice(prefix.length), record]));
    if (page.length < recordsAtOnce) return;
    range = IDBKeyRange.bound(['file', id, page.at(-1).path], range.upper, true, true);
  }
}

/**
 * Keeps the way back of files before the page writes over them, in one
 * transaction: for each change { id, path, now, write, read } (the file
 * holds `now`, as the page last read it or, with read, just now; write is
 * a Write), the record there is read and the new one written over it. The
 * original stays while the file holds a write of Pitmix's (or that
 * original); a file changed by anyone else since, read just now, has `now`
 * as its original. folders are { id, name, handle } of ids that may not be
 * kept yet. Resolves, once committed, to each file's record before (or
 * null) and its new one, or { before, stale } where the file is to be read
 * before anything is kept.
 */
export const keepOriginals = (changes, folders) => inTransaction('readwrite', async (objects) => {
  await countChanges(objects, changes.map(({ id }) => id), folders);
  return Promise.all(changes.map(async ({ id, path, now, write, read }) => {
    const key = fileKey(id, path);
    const before = (await promisifyRequest(objects.get(key))) ?? null;
    const last = writeHeld(before, now);
    const known = last || (before && sameBytes(before.original, now));
    // Where what is kept says Pitmix wrote the file since the page read it,
    // the page's bytes decide nothing: the file is read first (read).
    if (before && !known && !read) return { before, stale: true };
    const record = { path, original: known ? before.original : now, ...write, previous: last && { written: last.written, stops: last.stops, savedAt: last.savedAt } };
    objects.put(asStored(record), key);
    return { before, record };
  }));
});

/**
 * The records of files a restore is about to put back ({ id, path } each),
 * each marked with when the restore began, in one transaction: a file found
 * later to hold its original with a record so marked was reached by a
 * restore that did not finish. Resolves to the records as they were (or null).
 */
export const markRestoring = (keys) => inTransaction('readwrite', async (objects) => {
  await countChanges(objects, keys.map(({ id }) => id));
  const restoring = Date.now();
  return Promise.all(keys.map(async ({ id, path }) => {
    const record = (await promisifyRequest(objects.get(fileKey(id, path)))) ?? null;
    if (record) objects.put({ ...record, restoring }, fileKey(id, path));
    return record;
  }));
});

/**
 * Sets the records of files, in one transaction: each change { id, path,
 * record } puts record there, or, with none, drops what is there. A folder
 * left with no record (every file put back) is no longer kept.
 */
export const setRecords = (changes) => inTransaction('readwrite', async (objects) => {
  const ids = [...new Set(changes.map(({ id }) => id))];
  await countChanges(objects, ids);
  for (const { id, path, record } of changes) {
    if (record) objects.put(asStored(record), fileKey(id, path));
    else objects.delete(fileKey(id, path));
  }
  await Promise.all(ids.map(async (id) => {
    if (!(await promisifyRequest(objects.count(recordsRange(id))))) objects.delete(folderKey(id));
  }));
});

/** Counts one more change of the folders' records: what a page read of them while a pass ran may be out of date. */
export const touch = (ids) => inTransaction('readwrite', (objects) => countChanges(objects, ids));

/** Drops all that is kept for a folder id. */
export const forgetFolder = (id) => inTransaction('readwrite', (objects) => {
  objects.delete(recordsRange(id));
  return promisifyRequest(objects.delete(folderKey(id)));
});

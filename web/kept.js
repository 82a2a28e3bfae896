// What is kept: the way back to the files Pitmix wrote over, in this
// browser's IndexedDB on this computer. Nothing leaves the machine.
//
//   ['folder', id] → { id, name, handle, changes }
//   ['file', id, path] → { path, original, written, stops, savedAt, previous }
//
// changes counts the changes of what is kept for the folder, so that a page
// knows whether it is still what it asked about. original is what the file
// held before Pitmix first wrote it; written,
// stops and savedAt tell Pitmix's last write; previous is the write before
// that ({ written, stops, savedAt }), so that the file is known by either
// while a write is under way. This store, not a page's memory, is the
// truth; it is changed only under the disk's lock (folders.js).
//
// Each change is one transaction, and counts once that transaction has
// committed: a request can succeed and its transaction still abort (a full
// quota aborts it at the commit). Every change asks to be durable: the
// browser says it is committed only once it is on disk, so an original is
// there before its file is written over, whatever happens next.
import { promisifyRequest } from 'idb-keyval';
import { inBlock, sameBytes } from './bytes.js';
import { incomplete } from './words.js';

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
    transaction.onabort = () => reject(transaction.error ?? new DOMException(incomplete, 'AbortError'));
  });
  const [result] = await Promise.all([work(transaction.objectStore(storeName)), committed]);
  return result;
}
const ask = (mode, act) => inTransaction(mode, (objects) => promisifyRequest(act(objects)));

// A folder's records: those of its id, or of the part of a kept folder that
// it is (its prefix is its path there, ending in '/'). In key order, arrays
// come after strings, and '0' after '/'.
const fileKey = (id, path) => ['file', id, path];
const recordsRange = (id, prefix = '') => IDBKeyRange.bound(['file', id, prefix], ['file', id, prefix ? `${prefix.slice(0, -1)}0` : []], false, true);
const folderRecords = IDBKeyRange.bound(['folder'], ['folder', []]);

// A record as the page keeps it (its bytes in shared blocks), and as it is
// stored (each array alone: a view into a block would store the whole block).
const withBytes = (record, copy) => record && {
  ...record, original: copy(record.original), written: copy(record.written),
  previous: record.previous && { ...record.previous, written: copy(record.previous.written) },
};
const asStored = (record) => withBytes(record, (bytes) => bytes.slice());
const asKept = (record) => withBytes(record, inBlock);

/**
 * Which of Pitmix's writes kept in record (the last, or the one before)
 * a file holds, given its first bytes and its size; or null.
 */
export function writeHeld(record, bytes, size = bytes.length) {
  if (!record || size !== bytes.length) return null;
  return [record, record.previous].find((write) => write && sameBytes(write.written, bytes)) ?? null;
}

/** Whether two records (or nulls) say the same in every field. */
export function sameRecord(a, b) {
  const sameWrite = (x, y) => x === y || (x && y && x.savedAt === y.savedAt && `${x.stops}` === `${y.stops}` && sameBytes(x.written, y.written));
  if (!a || !b) return a === b;
  return sameWrite(a, b) && sameBytes(a.original, b.original) && sameWrite(a.previous, b.previous);
}

// Counts a change of what is kept for each of the folder ids, within the transaction of the change.
function changed(objects, ids) {
  for (const id of new Set(ids)) {
    promisifyRequest(objects.get(['folder', id])).then((folder) => folder && objects.put({ ...folder, changes: (folder.changes ?? 0) + 1 }, ['folder', id]), () => {});
  }
}

/** The folders kept: { id, name, handle, count, changes }, count being how many files' originals are kept for it. */
export const storedFolders = () => inTransaction('readonly', async (objects) => {
  const stored = await promisifyRequest(objects.getAll(folderRecords));
  const counts = await Promise.all(stored.map(({ id }) => promisifyRequest(objects.count(recordsRange(id)))));
  return stored.map((folder, i) => ({ ...folder, count: counts[i] }));
});

/** Keeps a folder, so that it is known by its handle in every page and visit. */
export const keepFolder = ({ id, name, handle }) => ask('readwrite', (objects) => objects.put({ id, name, handle }, ['folder', id]));

// Records read at once: thousands in one go would be one long task.
const recordsAtOnce = 500;

/** The records below prefix in a folder id, by their path after prefix. Rejects if they cannot be read. */
export async function recordsOf(id, prefix = '') {
  const records = new Map();
  let range = recordsRange(id, prefix);
  for (;;) {
    const page = await ask('readonly', (objects) => objects.getAll(range, recordsAtOnce));
    for (const record of page) records.set(record.path.slice(prefix.length), asKept(record));
    if (page.length < recordsAtOnce) return records;
    range = IDBKeyRange.bound(['file', id, page.at(-1).path], range.upper, true, true);
  }
}

/** The records of files ({ id, path } each): the record or null of each, a few hundred a transaction. */
export async function recordsAt(keys) {
  const records = [];
  for (let at = 0; at < keys.length; at += recordsAtOnce) {
    records.push(...await inTransaction('readonly', (objects) => Promise.all(keys.slice(at, at + recordsAtOnce)
      .map(({ id, path }) => promisifyRequest(objects.get(fileKey(id, path))).then((record) => asKept(record) ?? null)))));
  }
  return records;
}

/**
 * Keeps the way back of files before the page writes over them, in one
 * transaction: for each change { id, path, now, write, read } (the file
 * holds `now`, as the page last read it or, with read, just now; write is
 * { written, stops, savedAt }), the record there is read and the new one
 * written over it. The original stays while the file holds a write of
 * Pitmix's (or that original); a file changed by anyone else since, read
 * just now, has `now` as its original. Resolves, once committed, to each
 * file's record before (or null) and its new one, or { before, stale }
 * where the file is to be read before anything is kept.
 */
export const keepAll = (changes) => inTransaction('readwrite', (objects) => {
  changed(objects, changes.map(({ id }) => id));
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
    return { before, record: asKept(record) };
  }));
});

/** Sets the records of files, in one transaction: each change { id, path, record } puts record there, or, with none, drops what is there. */
export const setRecords = (changes) => inTransaction('readwrite', (objects) => {
  changed(objects, changes.map(({ id }) => id));
  for (const { id, path, record } of changes) {
    if (record) objects.put(asStored(record), fileKey(id, path));
    else objects.delete(fileKey(id, path));
  }
});

/** Drops all that is kept for a folder id. */
export const forget = (id) => inTransaction('readwrite', (objects) => {
  objects.delete(recordsRange(id));
  return promisifyRequest(objects.delete(['folder', id]));
});

/**
 * Moves what is kept for the folder id `from` under the folder id `into`
 * (which holds it, at prefix), in one transaction, and forgets `from`.
 * Where both keep a file, the record whose original is not a write of the
 * other's stays. Resolves to the paths moved, as they are in `into`.
 */
export const adopt = (into, from, prefix) => inTransaction('readwrite', async (objects) => {
  changed(objects, [into]);
  const moving = await promisifyRequest(objects.getAll(recordsRange(from)));
  const moved = [];
  for (const record of moving) {
    const path = prefix + record.path;
    const there = await promisifyRequest(objects.get(fileKey(into, path)));
    if (!there || writeHeld(record, there.original)) {
      objects.put({ ...record, path }, fileKey(into, path));
      moved.push(path);
    }
  }
  objects.delete(recordsRange(from));
  objects.delete(['folder', from]);
  return moved;
});

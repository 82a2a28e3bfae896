// What is kept: the way back to the files Pitmix wrote over, in this
// browser's IndexedDB on this computer. Nothing leaves the machine.
//
//   ['folder', id] → { id, name, handle }
//   ['file', id, path] → { path, original, written, stops, savedAt, previous }
//
// original is what the file held before Pitmix first wrote it; written,
// stops and savedAt tell Pitmix's last write; previous is the write before
// that ({ written, stops, savedAt }), so that the file is known by either
// while a write is under way. A folder's records are read here and nowhere
// else: this store, not a page's memory, is the truth, and it may be
// written by another Pitmix page at any time but under the disk's lock.
//
// Each change is one transaction, and counts once that transaction has
// committed: a request can succeed and its transaction still abort (a full
// quota aborts it at the commit).
import { createStore, promisifyRequest } from 'idb-keyval';
import { inBlock, sameBytes } from './bytes.js';

const store = createStore('pitmix', 'kept');

// Resolves to what work(objects) returns, once its transaction has committed.
const inTransaction = async (mode, work) => store(mode, async (objects) => {
  const { transaction } = objects;
  const committed = new Promise((resolve, reject) => {
    transaction.oncomplete = resolve;
    transaction.onabort = () => reject(transaction.error ?? new DOMException('the browser did not complete it', 'AbortError'));
  });
  const [result] = await Promise.all([work(objects), committed]);
  return result;
});
const ask = (mode, act) => inTransaction(mode, (objects) => promisifyRequest(act(objects)));

// A folder's records: those of its id, or of the part of a kept folder that
// it is (its prefix is its path there, ending in '/'). In key order, arrays
// come after strings, and '0' after '/'.
const fileKey = (folder, path) => ['file', folder.id, folder.prefix + path];
const recordsRange = (id, prefix = '') => IDBKeyRange.bound(['file', id, prefix], ['file', id, prefix ? `${prefix.slice(0, -1)}0` : []], false, true);
const folderRecords = IDBKeyRange.bound(['folder'], ['folder', []]);

// A record as the page keeps it (its bytes in shared blocks), and as it is
// stored (each array alone: a view into a block would store the whole block).
const withBytes = (record, copy) => record && {
  ...record, original: copy(record.original), written: copy(record.written),
  previous: record.previous && { ...record.previous, written: copy(record.previous.written) },
};

/** The folders kept: { id, name, handle }. */
export const storedFolders = () => ask('readonly', (objects) => objects.getAll(folderRecords));

/** Keeps a folder, so that it is known by its handle in every page and visit. */
export const keepFolder = ({ id, name, handle }) => ask('readwrite', (objects) => objects.put({ id, name, handle }, ['folder', id]));

/** How many files' originals are kept for a folder id. */
export const countOf = (id) => ask('readonly', (objects) => objects.count(recordsRange(id)));

// Records read at once: thousands in one go would be one long task.
const recordsAtOnce = 500;

/** The records of a folder's files, by their path in it. Rejects if they cannot be read. */
export async function recordsOf(folder) {
  const records = new Map();
  let range = recordsRange(folder.id, folder.prefix);
  for (;;) {
    const page = await ask('readonly', (objects) => objects.getAll(range, recordsAtOnce));
    for (const record of page) records.set(record.path.slice(folder.prefix.length), withBytes(record, inBlock));
    if (page.length < recordsAtOnce) return records;
    range = IDBKeyRange.bound(['file', folder.id, page.at(-1).path], range.upper, true, true);
  }
}

/** One file's record, or null. */
export const recordOf = (folder, path) => ask('readonly', (objects) => objects.get(fileKey(folder, path))).then((record) => record ?? null);

/**
 * Keeps the way back before the page writes over a file that holds `now`:
 * in one transaction, the record there is read and the new one written
 * over it. The original stays while the file holds a write of Pitmix's (or
 * that original); a file changed by anyone else since has `now` as its
 * original. write is { written, stops, savedAt }. Resolves, once
 * committed, to the record before (or null) and the new one.
 */
export function keep(folder, path, now, write) {
  const key = fileKey(folder, path);
  return inTransaction('readwrite', async (objects) => {
    const before = (await promisifyRequest(objects.get(key))) ?? null;
    const last = before && [before, before.previous].find((version) => version && sameBytes(version.written, now));
    const original = last || (before && sameBytes(before.original, now)) ? before.original : now;
    const previous = last ? { written: last.written, stops: last.stops, savedAt: last.savedAt } : null;
    const record = { path: key[2], original, ...write, previous };
    objects.put(withBytes(record, (bytes) => bytes.slice()), key);
    return { before, record: withBytes(record, inBlock) };
  });
}

/** Puts back what was kept for a file before keep(): the record, or none. */
export const undo = (folder, path, before) => ask('readwrite', (objects) => (before ? objects.put(before, fileKey(folder, path)) : objects.delete(fileKey(folder, path))));

/** Drops a file's record: its original is back on disk. */
export const drop = (folder, path) => ask('readwrite', (objects) => objects.delete(fileKey(folder, path)));

/** Drops all that is kept for a folder id. */
export const forget = (id) => inTransaction('readwrite', (objects) => {
  objects.delete(recordsRange(id));
  return promisifyRequest(objects.delete(['folder', id]));
});

/**
 * Moves what is kept for the folder `from` under the folder `into` (which
 * holds it, at prefix), in one transaction, and forgets `from`. Where both
 * keep a file, the record whose original is not a write of the other's stays.
 */
export const adopt = (into, from, prefix) => inTransaction('readwrite', async (objects) => {
  const moving = await promisifyRequest(objects.getAll(recordsRange(from.id)));
  for (const record of moving) {
    const key = fileKey(into, prefix + record.path);
    const there = await promisifyRequest(objects.get(key));
    const took = (a, b) => [b.written, b.previous?.written].some((bytes) => bytes && sameBytes(bytes, a.original));
    if (!there || took(there, record)) objects.put({ ...record, path: key[2] }, key);
  }
  objects.delete(recordsRange(from.id));
  objects.delete(['folder', from.id]);
});

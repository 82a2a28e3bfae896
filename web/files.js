// The player's files in a folder the page opened with write access, from
// the page's worker (worker.js): every file below it listed, their first
// bytes read, and a pass's writes, the one door to them on disk. Their
// handles, files and streams live and die on the worker's heap, so that
// thousands of them never pause the page.
//
// A pass runs while the page holds the disk's lock (folders.js). A slice
// of files at a time, it keeps their way back in one transaction and waits
// until that is on disk; and for each file it reads the file again just
// before writing it, writes only if it still holds what the page expects,
// and tells what happened. The browser writes the new bytes aside and
// swaps them in when the stream closes, so a failed write leaves the file
// whole.
import { sameBytes } from './bytes.js';
import * as kept from './kept.js';

// Files read or written at once. Chromium checks each file it writes for
// a page before the write is done, which takes it up to a second a file,
// but for many files side by side.
const atOnce = 256;
// Files whose way back is kept in one transaction: each commit waits for
// the disk, once for the slice.
const keptAtOnce = 256;
// A file larger than any setup is not read again in full: it has changed.
const largestSetup = 4096;
// What was read or written is told to the page a batch at a time, as a
// message each is a task of the page's.
const tellEvery = 16;

/** Chromium writes a file through a '.crswap' beside it; a crash can leave one, which is no file of the player's. */
export const isLeftoverOfAWrite = (path) => path.endsWith('.crswap');

// Runs task(item, its index) over items, at most width at once. Once
// signal is aborted no task starts; those under way finish. Returns how
// many started.
async function inPool(items, width, task, signal) {
  let next = 0;
  const worker = async () => {
    while (next < items.length && !signal?.aborted) {
      const at = next++;
      await task(items[at], at);
    }
  };
  await Promise.all(Array.from({ length: Math.min(width, items.length) }, worker));
  return next;
}

// Tells parts of a result in batches: add(value) gathers, and a batch is
// told every few milliseconds; flush() tells what is pending now.
function batches(tell) {
  let pending = [];
  let timer = null;
  const flush = () => {
    clearTimeout(timer);
    timer = null;
    if (pending.length) tell(pending.splice(0));
  };
  return {
    add(value) {
      pending.push(value);
      timer ??= setTimeout(flush, tellEvery);
    },
    flush,
  };
}

/** An error as the page is told it. */
export const fact = (error) => ({ name: error?.name ?? 'Error', message: error?.message ?? String(error) });

// Paths in order, folder by folder, each name compared as it is: with '\0'
// between the names, which sorts below every character, plain string order
// is that order. The key is made once per path.
function inPathOrder(items, pathOf) {
  const keyed = items.map((item) => [pathOf(item).replaceAll('/', '\0'), item]);
  keyed.sort(([a], [b]) => (a < b ? -1 : a > b ? 1 : 0));
  return keyed.map(([, item]) => item);
}

// Every file below a directory, in path order; the subfolders that could
// not be listed (by path; '' for the folder itself: one that fails keeps
// the files listed before it failed); and the paths of what the browser
// left of writes it did not finish, which are not among the files.
async function walk(root, signal, progress) {
  const found = [];
  const unlisted = [];
  const leftovers = [];
  const visit = async (folder, prefix) => {
    try {
      for await (const handle of folder.values()) {
        if (signal.aborted) return;
        const path = prefix + handle.name;
        if (handle.kind === 'directory') await visit(handle, `${path}/`);
        else if (isLeftoverOfAWrite(path)) leftovers.push(path);
        else found.push({ handle, path });
        if (found.length && found.length % 500 === 0) progress(found.length);
      }
    } catch (error) {
      unlisted.push({ path: prefix.slice(0, -1), reason: error.message });
    }
  };
  await visit(root, '');
  return { found: inPathOrder(found, ({ path }) => path), unlisted, leftovers };
}

// A file's first bytes (all of a setup file, of which need are needed) and
// its size, from its handle or the file itself. Only the first chunk of a
// large file is read: its size alone refuses it. A stream costs much less
// than slice(), and a small file tells its size by ending, so only a
// larger one is asked for it.
async function firstBytes(source, need) {
  const file = source instanceof File ? source : await source.getFile();
  const reader = file.stream().getReader();
  const chunks = [];
  let length = 0;
  let ended = false;
  try {
    while (!ended && length <= need) {
      const { done, value } = await reader.read();
      ended = done;
      if (!done) {
        chunks.push(value);
        length += value.length;
      }
    }
  } finally {
    if (!ended) reader.cancel().catch(() => {});
  }
  const bytes = new Uint8Array(Math.min(length, need));
  let at = 0;
  for (const chunk of chunks) {
    bytes.set(chunk.subarray(0, bytes.length - at), at);
    at += Math.min(chunk.length, bytes.length - at);
  }
  return { bytes, size: ended ? length : file.size };
}

// Reads the first bytes of each of the files (found by find(): a handle, or
// a File), atOnce at a time, and tells them in order, a batch
// at a time: { bytes, size } or { error } each. Stops once signal is
// aborted. Resolves to how many were told.
async function readInOrder(files, find, need, signal, tell) {
  const read = new Array(files.length);
  let told = 0;
  const inOrder = batches(tell);
  const tellReady = () => {
    while (told < files.length && read[told]) {
      inOrder.add(read[told]);
      read[told++] = null;
    }
  };
  await inPool(files, atOnce, async (file, at) => {
    read[at] = await firstBytes(await find(file), need).catch((error) => ({ error: fact(error) }));
    tellReady();
  }, signal);
  inOrder.flush();
  return told;
}

/**
 * Finds files of a folder again by their path: the page keeps no handle
 * for each file. Each subfolder is looked up once. Returns find(path),
 * which resolves to the file's handle.
 */
function finder(root) {
  const subfolders = new Map([['', Promise.resolve(root)]]);
  const subfolder = (path) => {
    if (!subfolders.has(path)) {
      const cut = path.lastIndexOf('/');
      subfolders.set(path, subfolder(path.slice(0, Math.max(cut, 0))).then((parent) => parent.getDirectoryHandle(path.slice(cut + 1))));
    }
    return subfolders.get(path);
  };
  return async (path) => {
    const cut = path.lastIndexOf('/');
    return (await subfolder(cut < 0 ? '' : path.slice(0, cut))).getFileHandle(path.slice(cut + 1));
  };
}

/**
 * Lists a folder (root) and reads its files' first bytes (need of each):
 * tells { walked: n } as it looks through it, then { found: { paths,
 * unlisted, leftovers } } (see walk()), then { read: [...] }, the reads in
 * order a batch at a time (see readInOrder()). Resolves to how many were read.
 */
export async function list(root, need, { signal, tell }) {
  const { found, unlisted, leftovers } = await walk(root, signal, (walked) => tell({ walked }));
  tell({ found: { paths: found.map(({ path }) => path), unlisted, leftovers } });
  // Where the folder itself could not be listed, the page lists none of it.
  if (unlisted[0]?.path === '') return 0;
  return readInOrder(found, ({ handle }) => handle, need, signal, (read) => tell({ read }));
}

/**
 * Reads the first bytes of the files at paths below root (or, where root
 * is null, of the Files given), as list() does; with paths (one a File),
 * in their path order, which it tells first ({ order }: the indexes).
 */
export function read(root, files, need, paths, { signal, tell }) {
  let order = files.map((file, i) => i);
  if (paths) {
    order = inPathOrder(order, (i) => paths[i]);
    tell({ order });
  }
  return readInOrder(order.map((i) => files[i]), root ? finder(root) : (file) => file, need, signal, (reads) => tell({ read: reads }));
}

// ---- A pass.

async function contents(handle) {
  const file = await handle.getFile();
  return file.size <= largestSetup ? new Uint8Array(await file.arrayBuffer()) : new Uint8Array();
}

async function writeFile(handle, bytes) {
  const writable = await handle.createWritable();
  try {
    await writable.write(bytes);
    await writable.close();
  } catch (error) {
    await writable.abort().catch(() => {});
    throw error;
  }
}

// A step that failed: a file no longer there, a permission the browser
// took back (which stops the pass), or anything else.
function failure(error) {
  if (error.name === 'NotFoundError') return { outcome: 'gone' };
  return { outcome: 'failed', error: fact(error), lost: ['NotAllowedError', 'SecurityError'].includes(error.name) };
}

// Changes of what is kept that follow a file's write or its not being
// written (a record put back, or dropped once its original is back): put
// together a transaction at a time, each while the next gathers. Where one
// fails, the record left says no more than the truth: a save that did not
// reach its file, or an original that a file holds again. done() resolves
// to whether every one was stored.
function afterwards() {
  let gathering = null;
  let chain = Promise.resolve(true);
  return {
    add(change) {
      if (!gathering) {
        const batch = (gathering = []);
        chain = chain.then((all) => {
          gathering = null;
          return kept.setRecords(batch).then(() => all, () => false);
        });
      }
      gathering.push(change);
    },
    done: () => chain,
  };
}

// What a slice of a plan needs before any of its files is written: for a
// save, each file's way back kept ({ before, record }; {} where its bytes
// do not change; { stale } where what is kept says another page wrote it
// since the page read it, so that it is read first); for a restore, the
// record kept ({ record }), marked as being restored. All of the slice
// fail together ({ error }) where the transaction does.
async function prepare(slice, kind, folders) {
  if (kind === 'restore') return (await kept.markRestoring(slice.map(({ id, keptAt }) => ({ id, path: keptAt })))).map((record) => ({ record }));
  const savedAt = Date.now();
  const changing = slice.filter((item) => !sameBytes(item.expected, item.replacement));
  const changes = changing.map(({ id, keptAt, expected, replacement, stops }) => ({ id, path: keptAt, now: expected, write: { written: replacement, stops, savedAt } }));
  const results = await kept.keepOriginals(changes, folders);
  const of = new Map(changing.map((item, i) => [item, results[i]]));
  return slice.map((item) => of.get(item) ?? {});
}

// One file, once what it needs is ready. Returns what happened: { outcome,
// error, now, record }. outcome: 'written'; 'already' (it holds the new
// bytes); 'changed' (it holds neither); 'gone'; 'unkept' (its way back
// could not be kept, or read, or is kept no more (noOriginal): not
// written); 'failed'; 'skipped' (the pass stopped before the write). now:
// the bytes the file holds, as read in this pass, or absent; record: what
// is kept for it now, null if nothing, absent if it is what it was.
async function writeOne(item, kind, signal, find, ready, later) {
  const { path, id, keptAt, expected } = item;
  const prepared = await ready;
  const unkept = (error) => ({ outcome: 'unkept', error: fact(error) });
  if (prepared.error) return unkept(prepared.error);
  let { before = null, record } = prepared;
  const replacement = kind === 'save' ? item.replacement : record?.original;
  if (!replacement) return { outcome: 'unkept', noOriginal: true, record: null };
  // A record this pass changed is put back where its file is not written
  // over; a restored file's record is dropped.
  const notWritten = (facts) => {
    const was = kind === 'save' ? before : record;
    if (record) later.add({ id, path: keptAt, record: was });
    return record ? { ...facts, record: was } : facts;
  };
  const done = (facts) => {
    if (kind === 'save') return { ...facts, record };
    later.add({ id, path: keptAt, record: null });
    return { ...facts, record: null };
  };
  let handle;
  let now;
  try {
    handle = await find(item.folder, path);
    now = await contents(handle);
  } catch (caught) {
    return notWritten(failure(caught));
  }
  if (sameBytes(now, replacement)) return kind === 'restore' ? done({ outcome: 'already', now }) : notWritten({ outcome: 'already', now });
  if (!sameBytes(now, expected)) return notWritten({ outcome: 'changed' });
  if (prepared.stale) {
    // What was kept says another page wrote it since this one read it, but
    // it holds what this page read: that is its way back now.
    try {
      ({ before, record } = (await kept.keepOriginals([{ id, path: keptAt, now, write: { written: replacement, stops: item.stops, savedAt: Date.now() }, read: true }], []))[0]);
    } catch (caught) {
      return unkept(caught);
    }
  }
  if (signal.aborted) return notWritten({ outcome: 'skipped', now });
  try {
    await writeFile(handle, replacement);
  } catch (caught) {
    // A stream whose close() failed may still have swapped the new bytes
    // in: what the file holds now decides what was written.
    const after = await contents(handle).catch(() => undefined);
    if (after && sameBytes(after, expected)) return notWritten({ ...failure(caught), now: after });
    // Where it holds neither, or cannot be read, the way back stays kept.
    if (!after || !sameBytes(after, replacement)) return { ...failure(caught), now: after, ...(kind === 'save' && record && { record }) };
  }
  return done({ outcome: 'written', now: replacement });
}

/**
 * Writes a pass ('save' or 'restore') over plan, items { folder (an index
 * into folders: { id, name, handle }, where a folder not kept yet is kept
 * with the first of its files), path, id and keptAt (where its record
 * lies), expected, replacement (a save's), stops }, while the page holds
 * the disk's lock. Tells [[index, facts], …] (see writeOne()) a batch at a
 * time. Once signal is aborted, or the browser takes back its permission,
 * no write starts; those under way finish. Resolves to { started: how many
 * items were reached, lost: whether a permission was taken back, settled:
 * whether every record it changed was stored as told }.
 */
export async function write(kind, plan, folders, { signal, tell }) {
  const stop = new AbortController();
  signal.addEventListener('abort', () => stop.abort());
  if (signal.aborted) stop.abort();
  const finders = folders.map(({ handle }) => finder(handle));
  const find = (folder, path) => finders[folder](path);
  const later = afterwards();
  const told = batches(tell);
  // Each slice is prepared when its first file is taken, and the next one
  // then too, so that its transaction commits while these files are written.
  const slices = new Map();
  const slice = (at) => {
    if (at < plan.length && !slices.has(at)) slices.set(at, prepare(plan.slice(at, at + keptAtOnce), kind, folders).catch((error) => ({ error })));
    return slices.get(at);
  };
  const ready = async (i) => {
    const at = i - (i % keptAtOnce);
    slice(at + keptAtOnce);
    const prepared = await slice(at);
    return prepared.error ? prepared : prepared[i - at];
  };
  let lost = false;
  const started = await inPool(plan, atOnce, async (item, i) => {
    const facts = await writeOne(item, kind, stop.signal, find, ready(i), later).catch((error) => ({ outcome: 'failed', error: fact(error) }));
    if (facts.lost && !stop.signal.aborted) {
      lost = true;
      stop.abort();
    }
    told.add([i, facts]);
  }, stop.signal);
  told.flush();
  // The files whose records were changed ahead but that were not reached.
  for (const [at, prepared] of slices) {
    const done = await prepared;
    for (let i = Math.max(at, started); i < at + keptAtOnce && !done.error && i < plan.length; i++) {
      const { before = null, record } = done[i - at];
      if (record) later.add({ id: plan[i].id, path: plan[i].keptAt, record: kind === 'save' ? before : record });
    }
  }
  const settled = await later.done();
  const counted = await kept.touch(plan.map((item) => item.id)).then(() => true, () => false);
  return { started, lost, settled: settled && counted };
}

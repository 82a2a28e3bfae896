// A pass: the patched copies saved over their files, or the originals put
// back; the one door to the player's files on disk.
//
// A pass runs in one step under the disk's lock (folders.js). Permission to
// write is asked for on the click that starts it, before any wait. Then, a
// slice of files at a time, it keeps their way back in one transaction and
// waits until that is on disk; and for each file it reads the file again
// just before writing it, writes only if it still holds what the page
// expects, and tells what happened. The browser writes the new bytes aside
// and swaps them in when the stream closes, so a failed write leaves the
// file whole.
import { inBlock, sameBytes } from './bytes.js';
import * as kept from './kept.js';
import * as news from './news.js';
import { finder } from './sources.js';
import { inPool, inSlices } from './work.js';
import * as words from './words.js';

// Files written at once: Chromium checks each file it writes for a page
// before the write is done, which takes it up to a second a file, but for
// many files side by side.
export const writesAtOnce = 256;
// Files whose way back is kept in one transaction: each commit waits for
// the disk, once for the slice.
const keptAtOnce = 256;
// A file larger than any setup is not read again in full: it has changed.
const largestSetup = 4096;

const asked = { mode: 'readwrite' };

/**
 * Asks for write access to folders, from the click that needs it, before
 * anything is awaited. Resolves to a Map: folder → '' where the browser
 * allows it, else why not.
 */
export function allow(folders) {
  return Promise.all(folders.map(async (folder) => {
    try {
      const allowed = await folder.handle.queryPermission(asked) === 'granted' || await folder.handle.requestPermission(asked) === 'granted';
      return [folder, allowed ? '' : words.notAllowed(folder)];
    } catch (error) {
      return [folder, words.notAllowed(folder, error)];
    }
  })).then((answers) => new Map(answers));
}

// Whether the browser lets the page write to a folder now (it asks nothing).
async function allowedNow(folder) {
  try {
    return await folder.handle.queryPermission(asked) === 'granted' ? '' : words.notAllowed(folder);
  } catch (error) {
    return words.notAllowed(folder, error);
  }
}

async function contents(handle) {
  const file = await handle.getFile();
  return file.size <= largestSetup ? inBlock(new Uint8Array(await file.arrayBuffer())) : new Uint8Array();
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
  return { outcome: 'failed', why: words.reason(error), lost: ['NotAllowedError', 'SecurityError'].includes(error.name) };
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
// why, now, record }. outcome: 'written'; 'already' (it holds the new
// bytes); 'changed' (it holds neither); 'gone'; 'unkept' (its way back
// could not be kept, or read: not written); 'failed'; 'skipped' (the pass
// stopped before the write). now: the bytes the file holds, as read in
// this pass, or absent; record: what is kept for it now, null if nothing,
// absent if it is what it was.
async function writeOne(item, kind, signal, find, ready, later) {
  const { folder, path, id, keptAt, expected } = item;
  const prepared = await ready;
  const unkept = (error) => ({ outcome: 'unkept', why: words.originalUnkept(kind, error) });
  if (prepared.error) return unkept(prepared.error);
  let { before = null, record } = prepared;
  const replacement = kind === 'save' ? item.replacement : record?.original;
  if (!replacement) return { outcome: 'unkept', why: words.noOriginal, record: null };
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
    handle = await find(folder, path);
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
  if (signal.aborted) return notWritten({ outcome: 'skipped', why: signal.reason, now });
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

// Writes a plan (see run()); told(item, facts) for each file reached. Once
// signal is aborted, or the browser takes back its permission, no write
// starts; those under way finish. Returns the items not reached, why the
// pass stopped early (or ''), and whether every record it changed was
// stored as told.
async function writeAll(plan, kind, signal, told) {
  const stop = new AbortController();
  const stopWith = (why) => stop.signal.aborted || stop.abort(why);
  if (signal.aborted) stopWith(signal.reason);
  signal.addEventListener('abort', () => stopWith(signal.reason));
  const find = finder();
  const later = afterwards();
  // A folder not kept yet is kept with the first of its files.
  const folders = [...new Set(plan.map((item) => item.folder))].map(({ id, name, handle }) => ({ id, name, handle }));
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
  const started = await inPool(plan, writesAtOnce, async (item, i) => {
    const facts = await writeOne(item, kind, stop.signal, find, ready(i), later).catch((error) => ({ outcome: 'failed', why: words.reason(error) }));
    if (facts.lost) stopWith(words.notAllowedAnyMore(item.folder));
    told(item, facts);
  }, stop.signal);
  // The files whose records were changed ahead but that were not reached.
  for (const [at, prepared] of slices) {
    const done = await prepared;
    for (let i = Math.max(at, started); i < at + keptAtOnce && !done.error && i < plan.length; i++) {
      const { before = null, record } = done[i - at];
      if (record) later.add({ id: plan[i].id, path: plan[i].keptAt, record: kind === 'save' ? before : record });
    }
  }
  const settled = await later.done();
  return { unreached: plan.slice(started), stopped: stop.signal.aborted ? stop.signal.reason : '', settled };
}

/**
 * Runs a pass, 'save' or 'restore', over entries, in a step under the
 * exclusive lock (folders.pass): plans each file (where its original is
 * kept, whereKept(folder, path) says; what it is expected to hold; what is
 * written), tells the other pages, keeps and writes, and tallies what
 * happened. told(item, facts) for each file: item { entry, stops, … } of
 * the plan, facts as writeOne() returns them. Resolves to
 * { total, tally, refused, stopped, settled }: how many files it planned,
 * how many had each outcome, why nothing was written at all (or ''), why it
 * stopped early (or ''), and whether what is kept is as told.
 */
export async function run(kind, entries, whereKept, { signal, told }) {
  const plan = entries.map((entry) => {
    const { id, path } = whereKept(entry.folder, entry.path);
    const save = kind === 'save';
    return { entry, folder: entry.folder, path: entry.path, id, keptAt: path, expected: entry.bytes, replacement: save ? entry.patch.bytes : null, stops: save ? entry.patch.stops : [] };
  });
  const tally = { written: 0, already: 0, skipped: 0 };
  const reach = (item, facts) => {
    tally[facts.outcome] = (tally[facts.outcome] ?? 0) + 1;
    told(item, facts);
  };
  let refused = '';
  for (const folder of new Set(plan.map((item) => item.folder))) refused ||= await allowedNow(folder);
  if (refused || !plan.length) {
    await inSlices(plan, (item) => reach(item, { outcome: 'skipped', why: refused }));
    return { total: plan.length, tally, refused, stopped: '', settled: true };
  }
  // The other pages are told first, so that they look again once this step
  // is over even where it never ends (the page is closed), and at its end,
  // once the last change is counted, for a page that opened meanwhile.
  news.tell();
  const { unreached, stopped, settled } = await writeAll(plan, kind, signal, reach);
  await inSlices(unreached, (item) => reach(item, { outcome: 'skipped', why: stopped }));
  const counted = await kept.touch(plan.map((item) => item.id)).then(() => true, () => false);
  news.tell();
  return { total: plan.length, tally, refused, stopped, settled: settled && counted };
}

// Write this plan: the one door to the player's files on disk.
//
// Every pass that writes a player's file or what is kept (saving,
// restoring, forgetting, the clean-up when a page loads) holds one Web
// Lock, shared by every Pitmix page of this browser, and tells the other
// pages what it changed. A save or restore asks for permission from the
// click that started it; then, for each file: keeps the way back first (a
// save), reads the file again just before writing it, writes only if it
// still holds what the page expects, and tells what happened. The browser
// writes the new bytes aside and swaps them in when the stream closes, so a
// failed write leaves the file whole.
import { inBlock, sameBytes } from './bytes.js';
import { allowed } from './folders.js';
import * as kept from './kept.js';
import { finder } from './sources.js';
import { inPool, reason } from './work.js';

// Files written at once: Chromium checks each file it writes for a page
// before the write is done, which takes it up to a second a file, but for
// many files side by side.
export const writesAtOnce = 256;
// A file larger than any setup is not read again in full: it has changed.
const largestSetup = 4096;

/**
 * Runs task() holding the disk's lock, which every Pitmix page of this
 * browser takes to write. Where another page holds it, calls waiting() and
 * waits until it is free or signal is aborted (then rejects); with no
 * waiting(), does nothing.
 */
export function exclusive(signal, waiting, task) {
  const { locks } = navigator;
  if (!locks) return task();
  return locks.request('pitmix-disk', { ifAvailable: true }, (lock) => {
    if (lock) return task();
    if (!waiting) return undefined;
    waiting();
    return locks.request('pitmix-disk', { signal }, task);
  });
}

// What one page tells the others once it has changed files or what is kept.
const channel = globalThis.BroadcastChannel ? new BroadcastChannel('pitmix') : null;
/** Tells the other Pitmix pages that what is kept for a folder changed: { id }. */
export const announce = (news) => channel?.postMessage(news);
/** Calls listener(news) for what another Pitmix page changed. */
export const onNews = (listener) => channel?.addEventListener('message', (event) => listener(event.data));

async function contents(handle) {
  const file = await handle.getFile();
  return file.size <= largestSetup ? inBlock(new Uint8Array(await file.arrayBuffer())) : new Uint8Array();
}

async function write(handle, bytes) {
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
  return { outcome: 'failed', why: reason(error), lost: ['NotAllowedError', 'SecurityError'].includes(error.name) };
}

// One file. Returns what happened: { outcome, why, now, record }. outcome:
// 'written'; 'already' (it holds the new bytes); 'changed' (it holds
// neither); 'gone'; 'unkept' (its way back could not be kept, or read:
// not written); 'failed'; 'skipped' (the pass stopped before the write).
// now: the bytes the file holds, as read in this pass, or absent; record:
// what is kept for it now, null if nothing, absent if unchanged.
async function writeOne({ folder, path, expected, replacement, stops }, pass, signal, find) {
  let handle;
  try {
    handle = await find(folder, path);
  } catch (error) {
    return failure(error);
  }
  let before = null;
  let record;
  try {
    if (pass === 'restore') {
      // The original comes from what is kept, not from the page's memory.
      replacement = (await kept.recordOf(folder, path))?.original;
      if (!replacement) return { outcome: 'unkept', why: 'Pitmix keeps no original of it any more', record: null };
    } else if (!sameBytes(expected, replacement)) {
      ({ before, record } = await kept.keep(folder, path, expected, { written: replacement, stops, savedAt: Date.now() }));
    }
  } catch (error) {
    return { outcome: 'unkept', why: `this browser could not ${pass === 'save' ? 'keep' : 'read'} the original: ${reason(error)}` };
  }
  const dropped = () => kept.drop(folder, path).then(() => null, () => undefined);
  const took = async (facts) => {
    if (record) await kept.undo(folder, path, before).catch(() => {});
    return facts;
  };
  let now;
  try {
    now = await contents(handle);
  } catch (error) {
    return took(failure(error));
  }
  if (sameBytes(now, replacement)) return took({ outcome: 'already', now, record: pass === 'restore' ? await dropped() : undefined });
  if (!sameBytes(now, expected)) return took({ outcome: 'changed' });
  if (signal.aborted) return took({ outcome: 'skipped', why: signal.reason, now });
  try {
    await write(handle, replacement);
  } catch (error) {
    return took({ ...failure(error), now: await contents(handle).catch(() => undefined) });
  }
  return { outcome: 'written', now: replacement, record: pass === 'restore' ? await dropped() : record };
}

/**
 * Runs a pass, 'save' or 'restore', over plan: items { folder, path,
 * expected, replacement (a save's), stops }. Call it under exclusive().
 * told(item, facts) for each file reached (see writeOne). Once signal is
 * aborted, or the browser takes back its permission, no write starts;
 * those under way finish. Returns the items not reached, why nothing was
 * written at all (or ''), and why the pass stopped early (or '').
 */
export async function writeAll(plan, pass, signal, told) {
  for (const folder of new Set(plan.map((item) => item.folder))) {
    const refused = await allowed(folder);
    if (refused) return { unreached: plan, refused, stopped: '' };
  }
  const stop = new AbortController();
  const stopWith = (why) => stop.signal.aborted || stop.abort(why);
  if (signal.aborted) stopWith(signal.reason);
  signal.addEventListener('abort', () => stopWith(signal.reason));
  const find = finder();
  const started = await inPool(plan, writesAtOnce, async (item) => {
    const facts = await writeOne(item, pass, stop.signal, find).catch((error) => ({ outcome: 'failed', why: reason(error) }));
    if (facts.lost) stopWith(`the browser no longer lets Pitmix write to the folder ${item.folder.name}`);
    told(item, facts);
  }, stop.signal);
  return { unreached: plan.slice(started), refused: '', stopped: stop.signal.aborted ? stop.signal.reason : '' };
}

// What the page knows about each file, as plain data: what it held when it
// was read, what Patch made of it, what is on disk now and the way back.
// No DOM here: view.js shows it.
import { inspect, maxPercentage, patch } from './pitmix.js';
import { isLeftoverOfAWrite } from './sources.js';
import { count, inSlices, lasting, number } from './work.js';

// An entry: {
//   key: its folder and its path, as keyOf() makes it; one entry a key,
//   folder: the folder it came from ({ id, name, label, handle }), or null,
//   path: its path inside the folder, or its name; label: what the page calls it,
//   bytes, size: its first bytes (all of a setup) and its size, as on disk
//     as far as the page knows: as read, or as the page last wrote it,
//   holds: inspect()'s word on it, or { ok: false, reason } if unreadable,
//   shelf: 'setups' or 'others' (a folder's files that are not setups),
//   patch: { bytes, report, stops } for the stops in the fields, or
//     { reason } where Patch refused it, or null,
//   kept: the way back, if the page saved over it (see disk.js), or null,
//   disk: what the page last said of the file on disk, or '' }
export const entries = new Map();
// Entries by path, to see when two would read the same: the one entry of
// a path, or a Set of those that share it.
const byPath = new Map();
const samePath = (path) => {
  const same = byPath.get(path);
  return same instanceof Set ? same : new Set(same ? [same] : []);
};
function setSamePath(path, same) {
  if (same.size === 0) byPath.delete(path);
  else byPath.set(path, same.size === 1 ? same.values().next().value : same);
}

// What many entries say alike is kept once: thousands of copies of the
// same text weigh on the browser's garbage collection.
const said = new Map();
const shared = (text) => said.get(text) ?? (said.set(text, text), text);
const holdsSaid = new Map();
const sharedHolds = (holds) => {
  const key = JSON.stringify(holds);
  return holdsSaid.get(key) ?? (holdsSaid.set(key, holds), holds);
};

export const keyOf = (folder, path) => `${folder?.id ?? ''}\n${path}`;

export function sameBytes(a, b) {
  if (a.length !== b.length) return false;
  for (let i = 0; i < a.length; i++) if (a[i] !== b[i]) return false;
  return true;
}
const day = new Intl.DateTimeFormat('en-GB', { day: 'numeric', month: 'short', year: 'numeric' }).format;

/** Stops as a phrase: "no stops", "a stop at 50%", "stops at 25%, 50% and 75%". */
export function stopsText(stops) {
  const each = stops.map((stop) => `${stop}%`);
  if (each.length === 0) return 'no stops';
  if (each.length === 1) return `a stop at ${each[0]}`;
  return `stops at ${each.slice(0, -1).join(', ')} and ${each.at(-1)}`;
}

/** Which of Pitmix's writes the file holds (the last, or the one before), or null. */
export function pitmixWriteOnDisk(entry) {
  const kept = entry.kept;
  const written = (version) => version && entry.size === version.written.length && sameBytes(entry.bytes, version.written);
  return kept && ([kept, kept.previous].find(written) ?? null);
}

/** What the file holds now, as far as the page knows. */
export function holdsNow(entry) {
  const write = pitmixWriteOnDisk(entry);
  return write ? `the patch with ${stopsText(write.stops)}` : 'its original';
}

/** A file read from source (read: { bytes, size } or { error }), with what the page keeps of it. */
export function entryOf(source, folder, read, kept = null) {
  const entry = {
    key: keyOf(folder, source.path), folder, path: source.path, label: source.path,
    bytes: read.bytes ?? new Uint8Array(), size: read.size ?? 0,
    holds: null, shelf: 'setups', patch: null, kept, disk: '',
  };
  if (read.error) {
    // A file that cannot be read may well be a setup: it stays in sight.
    entry.holds = { ok: false, reason: `cannot be read (${read.error.message})` };
  } else if (isLeftoverOfAWrite(source.path)) {
    entry.holds = { ok: false, reason: 'left over from a save that the browser did not finish' };
    entry.shelf = 'others';
  } else {
    entry.holds = sharedHolds(inspect(entry.bytes, entry.size));
    if (folder && !entry.holds.ok) entry.shelf = 'others';
  }
  const write = pitmixWriteOnDisk(entry);
  if (write) entry.disk = shared(`Saved by Pitmix on ${day(write.savedAt)}, ${stopsText(write.stops)}.`);
  return entry;
}

// A folder's file is called by its path; where that would read the same as
// another item, by its folder's label and its path.
function labelOf(entry) {
  return entry.folder && byPath.get(entry.path) instanceof Set ? `${entry.folder.label}/${entry.path}` : entry.path;
}

/**
 * Puts an entry in the list, in place of one with the same key. Returns
 * the entry it replaced, if any, and the others whose labels changed.
 */
export function place(entry) {
  const replaced = entries.get(entry.key) ?? null;
  if (replaced) {
    entries.delete(entry.key);
    const same = samePath(replaced.path);
    same.delete(replaced);
    setSamePath(replaced.path, same);
  }
  entries.set(entry.key, entry);
  const same = samePath(entry.path).add(entry);
  setSamePath(entry.path, same);
  const relabelled = [];
  for (const other of same) {
    const label = labelOf(other);
    if (label !== other.label) {
      other.label = label;
      if (other !== entry) relabelled.push(other);
    }
  }
  return { replaced, relabelled };
}

/**
 * The stops from the three fields' texts: { stops } or { errors }, a
 * message (or '') for each field. Filled from the first on; whole numbers
 * from 0 to maxPercentage.
 */
export function parseStops(texts) {
  const lastFilled = texts.findLastIndex((text) => text !== '');
  const errors = texts.map((text, i) => {
    if (text === '' && i < lastFilled) return `Fill Stop ${i + 1} before Stop ${lastFilled + 1}.`;
    if (text !== '' && !(/^\d+$/.test(text) && Number(text) <= maxPercentage)) return `Enter a whole number from 0 to ${maxPercentage}.`;
    return '';
  });
  return errors.some(Boolean) ? { errors } : { stops: texts.slice(0, lastFilled + 1).map(Number) };
}

// The entries in each state that a button acts on: written once, here.
export const setups = () => [...entries.values()].filter((entry) => entry.holds.ok);
export const patched = () => [...entries.values()].filter((entry) => entry.patch?.bytes);
// A file can be written where its folder was opened with a handle.
export const writable = (entry) => Boolean(entry.folder?.handle);
export const savable = () => patched().filter(writable);
export const restorable = () => [...entries.values()].filter((entry) => writable(entry) && pitmixWriteOnDisk(entry));

/**
 * Patches a copy of every setup with stops, in slices; told(entry) after
 * each. Returns how many were patched, or null if signal stopped it.
 */
export async function patchAll(stops, signal, told, progress) {
  const list = setups();
  let made = 0;
  const done = await inSlices(list, (entry) => {
    const result = patch(entry.bytes, stops, entry.path);
    entry.patch = result.ok ? { bytes: lasting(result.bytes), report: result.report.trimEnd(), stops } : { reason: result.reason };
    if (result.ok) made++;
    told(entry);
  }, { signal, progress: (n) => progress(n, list.length) });
  return done === list.length ? made : null;
}

/** Takes back every patched copy; returns those that had one. */
export function withdraw() {
  const had = [...entries.values()].filter((entry) => entry.patch);
  for (const entry of had) entry.patch = null;
  return had;
}

// What an item says of its file after a pass (see disk.js for the
// outcomes), for a plan's item { entry, stops }.
const outcomes = {
  save: {
    written: (item) => `Saved over the original: it holds the patch with ${stopsText(item.stops)}.`,
    already: (item) => `Already holds the patch with ${stopsText(item.stops)}: not written again.`,
    changed: () => 'Changed on disk since it was opened: not saved.',
    failed: (item, why) => `Not saved (${why}): it still holds ${holdsNow(item.entry)}.`,
    skipped: (item, why) => `Not written (${why}): it still holds ${holdsNow(item.entry)}.`,
  },
  restore: {
    written: () => 'Original restored.',
    already: () => 'Already holds its original: not written again.',
    changed: () => 'Changed on disk since Pitmix saved it: the original was not put back.',
    failed: (item, why) => `Not restored (${why}): it still holds ${holdsNow(item.entry)}.`,
    skipped: (item, why) => `Not restored (${why}): it still holds ${holdsNow(item.entry)}.`,
  },
};

/** Sets what the item says of its file once a pass ('save' or 'restore') is done with it. */
export function tell(item, pass, outcome, why = '') {
  item.entry.disk = shared(outcomes[pass][outcome](item, why));
}

// Why work stopped before its end, as its AbortSignal's reason.
export const cancelled = 'cancelled';
export const stopsChanged = 'the stops changed';

/**
 * The status line after a pass: tally counts each outcome, total the files
 * in its plan; refused says why nothing was written, stopped why the pass
 * stopped early (or false).
 */
export function passSummary(pass, tally, total, refused, stopped) {
  if (refused) return `Nothing was written: ${refused}.`;
  const done = `${pass === 'save' ? 'Saved' : 'Restored'} ${number(tally.written)} of ${count(total, 'file')}`;
  if (stopped) {
    const why = stopped === cancelled ? '' : `${pass === 'save' ? 'Saving' : 'Restoring'} stopped: ${stopped}. `;
    return `${why}${done}; the others were not written.`;
  }
  const notes = [];
  if (tally.already) notes.push(`${number(tally.already)} already held ${pass === 'save' ? 'the patch' : 'the original'}`);
  const left = tally.changed + tally.failed + tally.skipped;
  if (left) notes.push(`${number(left)} not: see the files marked`);
  return `${done}${notes.map((note) => `; ${note}`).join('')}.`;
}

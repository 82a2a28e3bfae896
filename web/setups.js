// What the page knows about each file, as plain data: what it held when it
// was read, what Patch made of it, what is kept of it and what the page
// last found of it on disk. This module alone changes the entries; it
// holds facts, and words.js makes the words people read. No DOM here:
// view.js shows the entries.
import { inBlock, sameBytes } from './bytes.js';
import { writeHeld } from './kept.js';
import { inspect, maxPercentage, patch } from './pitmix.js';
import { isLeftoverOfAWrite } from './sources.js';
import { inSlices } from './work.js';
import * as words from './words.js';

// An entry: {
//   key: its folder's key and its path, as keyOf() makes it; one entry a key,
//   folder: the folder it came from (folders.js), or null,
//   path: its path inside the folder, or its name; label: what the page calls it,
//   bytes, size: its first bytes (all of a setup) and its size, as last
//     read in a pass, or as the page last wrote them,
//   holds: inspect()'s word on it, or { ok: false, reason } if unreadable,
//   shelf: 'setups' or 'others' (a folder's files that are not setups),
//   own: its own stops, as the player typed them: { text, stops } or
//     { text, error }, or null where it takes the common stops,
//   patch: { bytes, report, stops } for its stops, { reason, stops } where
//     Patch refused them, { keeps: true } where Patch leaves it as it is
//     (it has no stops of its own, and those keep their strategy), or null,
//   record: what is kept of it (kept.js), or null,
//   said: what the page last found of it on disk, as facts, or null:
//     { pass: 'open', outcome: 'saved', 'unlanded' (it holds the original
//       of a save that never reached it), 'saving' (it held its original
//       while another page was saving), 'changed' (by someone else since
//       Pitmix saved it), 'unread' (it cannot be read now) or 'unknown'
//       (what is kept could not be read), why, stops, savedAt }, or
//     { pass: 'save' or 'restore', outcome (see pass.js), why, stops (the
//       pass's), holds: what the file held as read in that pass, 'original'
//       or the stops of a write of Pitmix's, or null if not read } }
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
// same facts weigh on the browser's garbage collection.
const factsSaid = new Map();
const once = (facts) => {
  const key = JSON.stringify(facts);
  return factsSaid.get(key) ?? (factsSaid.set(key, facts), facts);
};

export const keyOf = (folder, path) => `${folder?.key ?? ''}\n${path}`;

// Which write each entry holds, as last found: comparing the bytes of
// 20,000 files anew each time a button is shown took 60 ms and more.
const writesHeld = new WeakMap();

/** Which of Pitmix's writes the file holds (the last, or the one before), or null. */
export function pitmixWrite(entry) {
  const { record, bytes } = entry;
  if (!record) return null;
  const known = writesHeld.get(entry);
  if (known?.record === record && known.bytes === bytes) return known.write;
  const write = writeHeld(record, bytes, entry.size);
  writesHeld.set(entry, { record, bytes, write });
  return write;
}

// What an entry opened with a record says of it.
function opened(entry, readable) {
  const { folder, record } = entry;
  if (folder?.unread) return once({ pass: 'open', outcome: 'unknown', why: folder.unread });
  if (!record) return null;
  const write = pitmixWrite(entry);
  if (write) return once({ pass: 'open', outcome: 'saved', stops: write.stops, savedAt: write.savedAt });
  const original = entry.size === record.original.length && sameBytes(entry.bytes, record.original);
  // Read while another page was writing, it may not have been reached yet.
  const unlanded = folder.busy ? 'saving' : 'unlanded';
  return once({ pass: 'open', outcome: readable ? (original ? unlanded : 'changed') : 'unread', savedAt: record.savedAt });
}

// What Patch makes of a setup without stops of its own where those keep their strategy.
const keeps = { keeps: true };

// A patched copy of an entry with stops, or why not.
function patchOf(entry, stops) {
  const result = patch(entry.bytes, stops, entry.path);
  return result.ok ? { bytes: inBlock(result.bytes), report: result.report.trimEnd(), stops } : { reason: result.reason, stops };
}

/**
 * A file read from source (read: { bytes, size } or { error }), with what
 * is kept of it. Read again in place of an entry (replaced), it is patched
 * again with that entry's stops.
 */
export function entryOf(source, folder, read, record = null, replaced = null) {
  const entry = {
    key: keyOf(folder, source.path), folder, path: source.path, label: source.path,
    bytes: read.bytes ?? new Uint8Array(), size: read.size ?? 0,
    holds: null, shelf: 'setups', own: null, patch: null, record, said: null,
  };
  if (isLeftoverOfAWrite(source.path)) {
    entry.holds = { ok: false, reason: words.leftoverText };
    entry.shelf = 'others';
  } else if (read.error) {
    // A file that cannot be read may well be a setup: it stays in sight.
    entry.holds = { ok: false, reason: words.unreadable(read.error) };
  } else {
    entry.holds = once(inspect(entry.bytes, entry.size));
    if (folder && !entry.holds.ok) entry.shelf = 'others';
  }
  entry.said = opened(entry, !read.error);
  if (entry.holds.ok) {
    entry.own = replaced?.own ?? null;
    if (replaced?.patch) entry.patch = replaced.patch.keeps ? keeps : patchOf(entry, replaced.patch.stops);
  }
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

/** Takes the entries of folders out of the list; returns them. */
export function removeFolders(gone) {
  gone = [...entries.values()].filter((entry) => gone.includes(entry.folder));
  for (const entry of gone) {
    entries.delete(entry.key);
    const same = samePath(entry.path);
    same.delete(entry);
    setSamePath(entry.path, same);
  }
  return gone;
}

/**
 * The stops from the three fields' texts: { stops } or { errors }, a
 * message (or '') for each field. Filled from the first on; whole numbers
 * from 0 to maxPercentage.
 */
export function parseStops(texts) {
  const lastFilled = texts.findLastIndex((text) => text !== '');
  const errors = texts.map((text, i) => {
    if (text === '' && i < lastFilled) return words.fillFirst(i + 1, lastFilled + 1);
    if (text !== '' && !(/^\d+$/.test(text) && Number(text) <= maxPercentage)) return words.wholeNumber(maxPercentage);
    return '';
  });
  return errors.some(Boolean) ? { errors } : { stops: texts.slice(0, lastFilled + 1).map(Number) };
}

/**
 * A setup's own stops from the text of its field: null where it is empty
 * (the file takes the common stops), { text, stops } (none: no stops), or
 * { text, error }. Up to three whole numbers from 0 to maxPercentage,
 * between spaces or commas, each with or without '%'.
 */
export function parseOwn(text) {
  const parts = text.trim().split(/\s*,\s*|\s+/);
  if (parts[0] === '') return parts.length > 1 ? { text, error: words.betweenCommas } : null;
  if (parts.length === 1 && /^none$/i.test(parts[0])) return { text, stops: [] };
  const stops = parts.map((part) => (/^\d+%?$/.test(part) ? Number.parseInt(part, 10) : NaN));
  if (stops.length > 3) return { text, error: words.atMostThree };
  if (!stops.every((stop) => stop <= maxPercentage)) return { text, error: words.eachStop(maxPercentage) };
  return { text, stops };
}

/** Gives an entry its own stops (as parseOwn() read them); takes back its patched copy. Returns whether it had one. */
export function setOwn(entry, own) {
  const had = Boolean(entry.patch);
  Object.assign(entry, { own, patch: null });
  return had;
}

/** The stops an entry is patched with: its own, or the common ones. */
export const stopsOf = (entry, common) => entry.own?.stops ?? common;

// The entries in each state that a button acts on: written once, here.
export const setups = () => [...entries.values()].filter((entry) => entry.holds.ok);
export const patched = () => [...entries.values()].filter((entry) => entry.patch?.bytes);
// A file can be written where its folder was opened with a handle.
export const writable = (entry) => Boolean(entry.folder?.handle);
export const savable = () => patched().filter(writable);
export const restorable = () => [...entries.values()].filter((entry) => writable(entry) && pitmixWrite(entry));
export const wrongOwn = () => setups().filter((entry) => entry.own?.error);

/** What a save would do now: how many files it writes, and how many setups it can write but leaves as they are. */
export function saveWould() {
  let write = 0;
  let leave = 0;
  for (const entry of entries.values()) {
    if (!entry.holds.ok || !writable(entry)) continue;
    if (entry.patch?.bytes && !(entry.size === entry.patch.bytes.length && sameBytes(entry.bytes, entry.patch.bytes))) write++;
    else leave++;
  }
  return { write, leave };
}

/** Whether what the page found of a file is a warning: anything but a write done, or known. */
export const warns = (said) => Boolean(said) && !['saved', 'unlanded', 'saving', 'written', 'already'].includes(said.outcome);
/** Whether an item is marked: a warning about its file, or a patch refused. */
export const marked = (entry) => Boolean(entry.patch?.reason) || warns(entry.said);

/**
 * Patches a copy of every setup with its own stops, or the common ones
 * (or, with common null, leaves those without stops of their own as they
 * are), in slices; told(entry) after each. Returns how many were patched,
 * or null if signal stopped it.
 */
export async function patchAll(common, signal, told, progress) {
  const list = setups();
  let made = 0;
  const done = await inSlices(list, (entry) => {
    const stops = stopsOf(entry, common);
    entry.patch = stops ? patchOf(entry, stops) : keeps;
    if (entry.patch.bytes) made++;
    told(entry);
  }, { signal, progress: (n) => progress(n, list.length) });
  return done === list.length ? made : null;
}

/** Takes back the patched copies of the entries without stops of their own (or of all); returns those that had one. */
export function withdraw(all = true) {
  const had = [...entries.values()].filter((entry) => entry.patch && (all || !entry.own));
  for (const entry of had) entry.patch = null;
  return had;
}

// What a file held, as read in a pass: its original, or which write of Pitmix's.
function heldIn(entry, now) {
  const { record } = entry;
  const write = writeHeld(record, now);
  if (write) return write.stops;
  return !record || sameBytes(now, record.original) ? 'original' : null;
}

/**
 * What a pass ('save' or 'restore') found of a plan's item { entry, stops }:
 * facts as pass.js tells them ({ outcome, why, now, record }).
 */
export function apply(item, pass, { outcome, why = '', now, record }) {
  const { entry } = item;
  if (record !== undefined) entry.record = record;
  if (outcome === 'written' || outcome === 'already') Object.assign(entry, { bytes: now, size: now.length });
  entry.said = once({ pass, outcome, why, stops: item.stops, holds: now ? heldIn(entry, now) : null });
  // Found now, a file at a time, not for every file when the buttons are next shown.
  pitmixWrite(entry);
}

/** What was kept for entries is forgotten. */
export function forgot(forgotten) {
  for (const entry of forgotten) Object.assign(entry, { record: null, said: null });
}

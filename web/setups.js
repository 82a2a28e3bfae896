// What the page knows about each file, as plain data: what it holds, what
// Patch made of it, what is kept of it and what the page last found of it
// on disk. This module alone changes the entries; it holds facts, and
// words.js makes the words people read. No DOM here: view.js shows the
// entries.
import { inBlock, sameBytes } from './bytes.js';
import { sameRecord, writeHeld } from './records.js';
import { inspect, maxPercentage, patch } from './pitmix.js';
import { isLeftoverOfAWrite } from './sources.js';
import { inSlices } from './work.js';
import * as words from './words.js';

/**
 * @typedef {object} Entry  a file the page lists
 * @property {string} key  its folder's key and its path, as keyOf() makes it; one entry a key
 * @property {import('./folders.js').Folder | null} folder  the folder it came from, or null (picked or dropped)
 * @property {string} path  its path inside the folder, or its name
 * @property {string} label  what the page calls it
 * @property {Uint8Array} bytes  its first bytes (all of a setup), as last read or written
 * @property {number} size  its size, likewise
 * @property {object} holds  what it holds now: inspect()'s word on its bytes, or { ok: false, reason }
 * @property {object | null} before  what it held when the page read it, where that differs from holds
 * @property {'setups' | 'others'} shelf  a folder's files that are not setups are the others
 * @property {{ text: string, stops?: number[], error?: string } | null} own
 *   its own stops, as the player typed them, or null where it takes the common ones
 * @property {object | null} patch  what Patch made of it: { bytes, report,
 *   stops }; { reason, stops } where Patch refused them; { asIs: true }
 *   where Patch leaves it as it is (it has no stops of its own, and those
 *   keep their strategy); or null
 * @property {import('./kept.js').Record | null} record  what is kept of it
 * @property {object | null} said  what the page last found of it on disk, as facts:
 *   { pass: 'open', outcome: 'saved', 'unlanded' (it holds the original of
 *     a save that never reached it), 'unfinished' (it holds its original,
 *     whose restore did not finish), 'saving' or 'restoring' (it held its
 *     original while another page was doing so), 'changed' (by someone else
 *     since Pitmix saved it), 'unread' (it cannot be read now) or 'unknown'
 *     (what is kept could not be read), why, stops, savedAt }; or
 *   { pass: 'save' or 'restore', outcome (see pass.js), why, stops (the
 *     pass's), found: what the file held as read in that pass, 'original'
 *     or the stops of a write of Pitmix's, or null if not read }
 */
/** @type {Map<string, Entry>} */
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

const holdsOriginal = (entry) => entry.size === entry.record.original.length && sameBytes(entry.bytes, entry.record.original);

// What an entry opened with a record says of it.
function opened(entry, readable) {
  const { folder, record } = entry;
  if (folder?.keptUnread) return once({ pass: 'open', outcome: 'unknown', why: words.reason(folder.keptUnread) });
  if (!record) return null;
  const write = pitmixWrite(entry);
  if (write) return once({ pass: 'open', outcome: 'saved', stops: write.stops, savedAt: write.savedAt });
  if (!readable) return once({ pass: 'open', outcome: 'unread', savedAt: record.savedAt });
  if (!holdsOriginal(entry)) return once({ pass: 'open', outcome: 'changed', savedAt: record.savedAt });
  // Read while another page was writing, it may not have been reached yet.
  const outcome = { save: 'saving', restore: 'restoring' }[folder.openedDuring] ?? (record.restoring ? 'unfinished' : 'unlanded');
  return once({ pass: 'open', outcome, savedAt: record.restoring ?? record.savedAt });
}

// What Patch makes of a setup without stops of its own where those keep their strategy.
const asIs = { asIs: true };

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
    holds: null, before: null, shelf: 'setups', own: null, patch: null, record, said: null,
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
    if (replaced?.patch) entry.patch = replaced.patch.asIs ? asIs : patchOf(entry, replaced.patch.stops);
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
  if (replaced) unlist([replaced]);
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

// Takes entries out of the list.
function unlist(gone) {
  for (const entry of gone) {
    entries.delete(entry.key);
    const same = samePath(entry.path);
    same.delete(entry);
    setSamePath(entry.path, same);
  }
  return gone;
}

/** Takes the entries of folders out of the list; returns them. */
export const removeFolders = (folders) => unlist([...entries.values()].filter((entry) => folders.includes(entry.folder)));

/**
 * Takes out of the list a folder's files below prefix that a new listing
 * (sources) no longer has, but for those in subfolders it could not list
 * (unlisted); returns them.
 */
export function removeMissing(folder, prefix, sources, unlisted) {
  const listed = new Set(sources.map((source) => source.path));
  const unknown = unlisted.map(({ path }) => `${prefix}${path}/`);
  return unlist([...entries.values()].filter((entry) => entry.folder === folder && entry.path.startsWith(prefix) && !listed.has(entry.path)
    && !unknown.some((below) => entry.path.startsWith(below))));
}

/**
 * The files of an open folder to read again now that what is kept changed
 * (records: path → record as kept now, for each path that at(path) is
 * true of): those whose record is not the entry's, whose bytes are not
 * its record's last write (a pass may have reached them since they were
 * read), or whose way back was unknown. Each is { path, record, entry }.
 */
export function toReread(folder, at, records) {
  const found = [];
  for (const entry of entries.values()) {
    if (entry.folder !== folder || !at(entry.path)) continue;
    const record = records.get(entry.path) ?? null;
    const last = record && entry.size === record.written.length && sameBytes(entry.bytes, record.written);
    if (!sameRecord(record, entry.record) || (record && !last) || entry.said?.outcome === 'unknown') found.push({ path: entry.path, record, entry });
  }
  return found;
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

/**
 * What Patch is to do, from the three fields' texts (or, where the setups
 * without stops of their own keep their strategy, none): { stops (null:
 * those keep theirs), errors: a message (or '') for each of the three
 * fields, wrong: the setups whose own stops are wrong }.
 */
export function toPatch(texts, asIs) {
  const parsed = asIs ? { stops: null } : parseStops(texts);
  return { stops: parsed.stops, errors: parsed.errors ?? ['', '', ''], wrong: wrongOwn() };
}

/** Gives an entry its own stops (as parseOwn() read them); takes back its patched copy. Returns whether it had one. */
export function setOwn(entry, own) {
  const had = Boolean(entry.patch);
  Object.assign(entry, { own, patch: null });
  return had;
}

/** The stops an entry is patched with: its own, or the common ones. */
export const stopsOf = (entry, common) => entry.own?.stops ?? common;

// A file whose restore did not finish holds its original again, with its record kept.
const restoreUnfinished = (entry) => Boolean(entry.record?.restoring) && holdsOriginal(entry);

// The entries in each state that a button acts on: written once, here.
const entriesWhere = (which) => [...entries.values()].filter(which);
export const setups = () => entriesWhere((entry) => entry.holds.ok);
export const patched = () => entriesWhere((entry) => entry.patch?.bytes);
// A file can be written where its folder was opened with a handle.
export const writable = (entry) => Boolean(entry.folder?.handle);
export const savable = () => patched().filter(writable);
/** Whether Restore can put an entry's original back: it holds a write of Pitmix's, or its record is left of a restore that did not finish. */
export const canRestore = (entry) => writable(entry) && Boolean(pitmixWrite(entry) || restoreUnfinished(entry));
export const restorable = () => entriesWhere(canRestore);
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
export const warns = (said) => Boolean(said) && !['saved', 'unlanded', 'unfinished', 'saving', 'restoring', 'written', 'already'].includes(said.outcome);
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
    entry.patch = stops ? patchOf(entry, stops) : asIs;
    if (entry.patch.bytes) made++;
    told(entry);
  }, { signal, progress: (n) => progress(n, list.length) });
  return done === list.length ? made : null;
}

/** Takes back the patched copies of the entries without stops of their own (or of all); returns those that had one. */
export function withdraw(every = true) {
  const had = entriesWhere((entry) => entry.patch && (every || !entry.own));
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
 * What a pass ('save' or 'restore', with stops) found of an entry: facts
 * as pass.js tells them ({ outcome, why, now, record }). A file written, or
 * found to hold what was to be written, holds those bytes now; what it
 * held when the page read it is kept beside, where it differs.
 */
export function apply(entry, kind, stops, { outcome, why = '', now, record }) {
  if (record !== undefined) entry.record = record;
  if (outcome === 'written' || outcome === 'already') {
    const before = entry.before ?? entry.holds;
    const holds = once(inspect(now));
    Object.assign(entry, { bytes: now, size: now.length, holds, before: words.holdsText(before) === words.holdsText(holds) ? null : before });
  }
  entry.said = once({ pass: kind, outcome, why, stops, found: now ? heldIn(entry, now) : null });
  // Found now, a file at a time, not for every file when the buttons are next shown.
  pitmixWrite(entry);
}

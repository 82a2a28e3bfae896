// Every sentence the page makes, in one place: made from the facts the
// page holds (setups.js, folders.js, pass.js), so that what it says of a
// file, a pass or a folder is written once and read together. (The page's
// fixed text is in page.html; what a file is, in the format's own words,
// comes from the WebAssembly module.)

/** Whole numbers as the page writes them: 5,000. */
export const number = new Intl.NumberFormat('en-US').format;

/** A count with its noun: "1 file", "5,000 files". */
export const count = (n, what) => `${number(n)} ${what}${n === 1 ? '' : 's'}`;

// Why work stopped before its end, as its AbortSignal's reason.
export const cancelled = 'cancelled';
export const stopsChanged = 'the stops changed';

/** Why a step failed, in the browser's words where it has any. */
export function reason(error) {
  if (error?.name === 'QuotaExceededError') return 'its storage is full';
  // A transaction the browser aborted without saying why.
  if (error?.name === 'AbortError' && !error.message) return incomplete;
  return error?.message || error?.name || String(error);
}

const day = new Intl.DateTimeFormat('en-GB', { day: 'numeric', month: 'short', year: 'numeric' }).format;

/** Stops as a phrase: "no stops", "a stop at 50%", "stops at 25%, 50% and 75%". */
export function stopsText(stops) {
  const each = stops.map((stop) => `${stop}%`);
  if (each.length === 0) return 'no stops';
  if (each.length === 1) return `a stop at ${each[0]}`;
  return `stops at ${each.slice(0, -1).join(', ')} and ${each.at(-1)}`;
}

// ---- What each item says.

/** Why a file is not a setup, where the format does not say. */
export const leftoverText = 'left over from a save that the browser did not finish';
export const unreadable = (error) => `cannot be read (${error.message})`;

/** Why a stop field, or a setup's own stops, cannot be taken. */
export const fillFirst = (stop, last) => `Fill Stop ${stop} before Stop ${last}.`;
export const wholeNumber = (max) => `Enter a whole number from 0 to ${max}.`;
export const betweenCommas = 'Write the stops between the commas.';
export const atMostThree = 'Give at most three stops, or none.';
export const eachStop = (max) => `Each stop is a whole number from 0 to ${max}.`;

/** Why a file of a pass was not written, or why nothing was. */
export const notAllowed = (folder, error) => `the browser may not write to the folder ${folder.name}${error ? `: ${reason(error)}` : ''}`;
export const notAllowedAnyMore = (folder) => `the browser no longer lets Pitmix write to the folder ${folder.name}`;
export const originalUnkept = (pass, error) => `this browser could not ${pass === 'save' ? 'keep' : 'read'} the original: ${reason(error)}`;
export const noOriginal = 'Pitmix keeps no original of it any more';
export const incomplete = 'the browser did not complete it';

/** What a setup holds, as its item says it. */
export const holdsText = (holds) => `${holds.edition}, ${holds.checksums}, ${holds.strategy}`;
/** What a file holds now, and, where it held something else when the page read it (before), what of that differed. */
export function holdsNow(holds, before) {
  if (!before?.ok) return holdsText(holds);
  const differs = ['edition', 'checksums', 'strategy'].filter((part) => before[part] !== holds[part]).map((part) => before[part]).join(', ');
  return `${holdsText(holds)} Before: ${differs}${differs.endsWith('.') ? '' : '.'}`;
}
/** What a setup's own stops' field is named, and what its download and restore buttons are. */
export const ownName = (label) => `Stops for ${label}`;
export const downloadName = (label) => `Download ${label}`;
export const restoreName = (label) => `Restore ${label}`;
/** What the page calls a folder whose originals are kept under an id that no folder record names. */
export const unknownFolder = 'Unknown folder';
/** What an item says where Patch leaves its file as it is. */
export const asIsText = (holds) => `Keeps the strategy it has: ${holds.strategy}`;
/** A setup's stops as its own stops' field shows them while it is empty. */
export const stopsShown = (stops) => (stops ? stops.join(' ') || 'none' : 'as it is');

// What a file was read to hold, where it was.
const still = ({ found }) => (found ? `: it still holds ${found === 'original' ? 'its original' : `the patch with ${stopsText(found)}`}` : '');
// A file read while another page wrote it, one no longer there, and one not written.
const during = (doing) => () => `Held its original while another Pitmix page was ${doing}: it is read again once that page is done.`;
const gone = (done) => () => `Not ${done}: the file is no longer there.`;
const not = (done) => (said) => `${said.outcome === 'skipped' ? 'Not written' : `Not ${done}`} (${said.why})${still(said)}.`;
const notSaved = not('saved');
const notRestored = not('restored');

const sentences = {
  open: {
    saved: (said) => `Saved by Pitmix on ${day(said.savedAt)}, ${stopsText(said.stops)}.`,
    unlanded: (said) => `Holds its original: the save of ${day(said.savedAt)} did not reach it.`,
    unfinished: (said) => `Holds its original: the restore of ${day(said.savedAt)} did not finish, and Pitmix still keeps it.`,
    saving: during('saving'),
    restoring: during('restoring'),
    changed: (said) => `Changed since Pitmix saved it on ${day(said.savedAt)}: Restore leaves it as it is.`,
    unread: (said) => `Cannot be read now; Pitmix keeps its original from before its save of ${day(said.savedAt)}.`,
    unknown: (said) => `Its way back is unknown, so Pitmix does not save over it: what this browser keeps could not be read (${said.why}).`,
  },
  save: {
    written: (said) => `Saved over the original: it holds the patch with ${stopsText(said.stops)}.`,
    already: (said) => `Already holds the patch with ${stopsText(said.stops)}: not written again.`,
    changed: () => 'Changed on disk since it was opened: not saved.',
    gone: gone('saved'),
    unkept: notSaved,
    failed: notSaved,
    skipped: notSaved,
  },
  restore: {
    written: () => 'Original restored.',
    already: () => 'Already holds its original: not written again.',
    changed: () => 'Changed on disk since Pitmix saved it: the original was not put back.',
    gone: gone('restored'),
    unkept: notRestored,
    failed: notRestored,
    skipped: notRestored,
  },
};

/** What an item says of its file on disk (its entry's facts, see setups.js). */
export const saidText = (said) => sentences[said.pass][said.outcome](said);

// ---- The list.

export const pageText = (first, last, total) => `Files ${number(first)} to ${number(last)} of ${number(total)}`;
export const othersText = (n) => `Other files (${number(n)})`;
export const foundText = (found, all) => `${number(found)} of ${number(all)} files found.`;

// ---- The status line and the progress beside the bar.

// What waits for the work under way: 'add', 'patch' or 'restore'.
const waits = { add: 'Files can be added', patch: 'Patch can run', save: 'Saving can start', restore: 'A file can be restored', forget: 'Forget can run' };
export const busy = (what) => `${waits[what]} once the work under way is done, or cancelled.`;
export const failed = (error) => `Something went wrong: ${reason(error)}`;
export const waiting = 'Waiting for another Pitmix page to finish…';

export const noFolder = 'No folder was opened: the choice was cancelled, or the browser refused the folder ' +
  '(browsers refuse system folders such as Program Files and AppData). Pick the files with "Setup files" ' +
  'instead, and put the downloaded copies in their place.';
export const notOpened = (error) => `No folder was opened: ${reason(error)}`;
export const notReopened = (folder) => `${folder.label} was not reopened: the browser may not use it.`;
export const dropFolder = 'To add a folder, use "Open setup folder".';
export const lookingThrough = (name, n) => `Looking through ${name}…${n ? ` ${count(n, 'file')}` : ''}`;
export const folderUnread = (name, why) => `The folder ${name} could not be read: ${why}`;
export const reading = (done, total) => (total ? `Reading ${number(done)} of ${count(total, 'file')}…` : 'Reading…');

// What to do where the way back of a folder's files is unknown.
const instead = 'Download the patched copies instead, or open the folder again.';

/** After files were added: how many, the subfolders not listed, and a folder whose way back is unknown. */
export function added(listed, total, stopped, unlisted, folder) {
  const notListed = unlisted.map(({ path, reason: why }) => `The folder ${path} could not be read (${why}). `).join('');
  const unknown = folder?.keptUnread ? ` What this browser keeps for ${folder.label} could not be read (${reason(folder.keptUnread)}): ` +
    `Pitmix will not save over it. ${instead}` : '';
  return stopped && total ? `${notListed}Added ${number(listed)} of ${count(total, 'file')}; the others were not read.${unknown}`
    : `${notListed}${count(total, 'file')} added.${unknown}`;
}

export const stopsWrong = (fields, own) => (own ? `Nothing was patched: correct the ${count(fields, 'field')} marked.` : 'Nothing was patched: correct the stops marked above.');
export const goToFirst = 'Go to the first';
export const patchNext = 'Patch runs once the files are read.';
export const noSetups = 'Add a setup file first.';
export const patching = (done, total) => `Patching ${number(done)} of ${count(total, 'setup file')}…`;
export const nothingOwn = 'Nothing was patched: no setup has stops of its own.';

/**
 * After Patch: how many copies, and, where they can be saved over their
 * files, how many files a save would write and how many it leaves.
 */
export function patched(made, { write, leave }, savable) {
  const done = `Patched ${count(made, 'setup file')}.`;
  if (!savable) return done;
  if (!write) return `${done} Save over the originals would write no file.`;
  return `${done} Save over the originals would write ${count(write, 'file')}${leave ? ` and leave ${number(leave)} as ${leave === 1 ? 'it is' : 'they are'}` : ''}.`;
}
export const notPatched = (signal) => `Nothing is patched: patching was ${signal.reason === cancelled ? 'cancelled' : 'stopped, as the stops changed'}.`;
export const stopsChangedText = 'The stops changed: press Patch to patch the files again.';
export const ownChanged = (entry) => `The stops of ${entry.label} changed: press Patch to patch it again.`;
export const choiceChanged = 'The choice changed: press Patch to patch the files again.';
export const stopsUnused = 'Not used: the setups without stops of their own keep the strategy they have.';
export const noneGiven = (error) => `No stops were given: ${error}`;

/** After stops were given to the files found (own null: they take the common stops again). */
export function given(n, own, had) {
  const one = n === 1;
  const now = own ? `${one ? 'has' : 'have'} ${stopsText(own.stops)} of ${one ? 'its' : 'their'} own` : `${one ? 'takes' : 'take'} the common stops`;
  return `${count(n, 'setup file')} found ${now}.${had ? ' Press Patch to patch them again.' : ''}`;
}

export const zipping = (done, total) => `Building the zip: ${number(done)} of ${count(total, 'file')}…`;
export const zipped = (n) => `The zip holds ${count(n, 'patched file')}.`;
export const notZipped = (signal) => `No zip was made: ${signal.reason === cancelled ? 'it was cancelled' : 'the stops changed'}.`;
export const zipFailed = (error) => `The zip could not be made (${reason(error)}). Press "Download all" to try again.`;
export const originalsZipped = (n) => (n ? `The zip holds the originals of ${count(n, 'file')}.` : 'No zip was made: no originals are kept for these files any more.');
export const originalsUnread = (error) => `The originals could not be read: ${reason(error)}`;

const doing = (pass) => (pass === 'save' ? 'Saving' : 'Restoring');
export const passing = (pass, done, total) => `${doing(pass)}${total ? ` ${number(done)} of ${count(total, 'file')}` : ''}…`;
/** Work that was cancelled (or stopped) while it waited for another page: 'written', 'forgotten', 'removed'. */
export const notWaited = (done, signal) => `Nothing was ${done}: ${signal.reason === cancelled ? 'cancelled' : signal.reason} while waiting for another Pitmix page.`;
export const unkept = (error) => `Nothing was written: this browser could not keep the originals: ${error}.`;
export const unknownWay = (folder) => `Nothing was written: what this browser keeps for ${folder.label} could not be read (${reason(folder.keptUnread)}), ` +
  `so its way back is unknown. ${instead}`;

/**
 * The status line after a pass: tally counts each outcome, total the files
 * in its plan; refused says why nothing was written, stopped why the pass
 * stopped early (or '').
 */
export function passSummary(pass, tally, total, refused, stopped, one) {
  if (refused) return `Nothing was written: ${refused}.`;
  if (!total && one) return `Nothing was restored: ${one.label} no longer holds what Pitmix saved.`;
  if (!total) return `Nothing was ${pass === 'save' ? 'saved: no file has a patched copy' : 'restored: no file holds what Pitmix saved'} any more.`;
  const done = `${pass === 'save' ? 'Saved' : 'Restored'} ${number(tally.written)} of ${count(total, 'file')}`;
  if (stopped && tally.skipped) {
    const early = stopped === cancelled ? '' : `${doing(pass)} stopped: ${stopped}. `;
    return `${early}${done}; the others were not written.`;
  }
  const notes = [];
  if (tally.already) notes.push(`${number(tally.already)} already held ${pass === 'save' ? 'the patch' : 'the original'}`);
  const left = total - tally.written - tally.already;
  if (left) notes.push(`${number(left)} not: see the files marked`);
  return `${done}${notes.map((note) => `; ${note}`).join('')}.`;
}

export const caughtUp = (n) => `Another Pitmix page wrote ${count(n, 'file')} listed here: each shows what it holds now.`;

// ---- Folders whose originals are kept, and what the browser left behind.

/** A folder's line in the list of those whose originals are kept. */
export const keptLine = (folder, n) => `${folder.label}: the originals of ${count(n, 'file')}${folder.name === null ? ', kept for a folder this browser no longer knows' : ''}. `;
export const downloadKeptName = (folder) => `Download the originals of ${folder.label}`;
export const reopenName = (folder) => `Reopen ${folder.label}`;
export const forgetName = (folder) => `Forget ${folder.label}`;

/** What Forget asks before it drops anything; again, where what is kept changed since it asked. */
export const forgetQuestion = (folder, n, again) => `${again ? `What is kept for ${folder.label} has changed. ` : ''}` +
  `Forget the originals of ${count(n, 'file')} in ${folder.label}? Pitmix can then no longer put them back.`;
export const forgotten = (folder) => `Pitmix keeps nothing more for ${folder.label}.`;
export const notForgotten = (error) => `Nothing was forgotten: ${reason(error)}`;
export const forgetGone = (folder) => `Nothing was forgotten: another Pitmix page changed what is kept for ${folder.label}.`;

/** The files the browser left of writes it did not finish. */
export const leftoversText = (n) => `${count(n, 'file')} in the open folders ${n === 1 ? 'is' : 'are'} left over from saves that the browser did not finish: not setups.`;
/** After left-overs were removed: how many, how many are left, and why (error, or refused: why the browser may not). */
export function leftoversRemoved({ removed, left, error, refused }) {
  const done = `Removed ${count(removed, 'left-over file')}.`;
  return left ? `${done} ${number(left)} could not be removed: ${refused || reason(error)}.` : done;
}

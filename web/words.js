// The words people read, made from the facts the page holds: what each
// item says of its file on disk, a pass's summary, the folders kept.
import { cancelled } from './setups.js';
import { count, number } from './work.js';

const day = new Intl.DateTimeFormat('en-GB', { day: 'numeric', month: 'short', year: 'numeric' }).format;

/** Stops as a phrase: "no stops", "a stop at 50%", "stops at 25%, 50% and 75%". */
export function stopsText(stops) {
  const each = stops.map((stop) => `${stop}%`);
  if (each.length === 0) return 'no stops';
  if (each.length === 1) return `a stop at ${each[0]}`;
  return `stops at ${each.slice(0, -1).join(', ')} and ${each.at(-1)}`;
}

// What a file was read to hold, where it was.
const still = ({ holds }) => (holds ? `: it still holds ${holds === 'original' ? 'its original' : `the patch with ${stopsText(holds)}`}` : '');
const not = (done) => (said) => `${said.outcome === 'skipped' ? 'Not written' : `Not ${done}`} (${said.why})${still(said)}.`;

const sentences = {
  open: {
    saved: (said) => `Saved by Pitmix on ${day(said.savedAt)}, ${stopsText(said.stops)}.`,
    unlanded: (said) => `Holds its original: the save of ${day(said.savedAt)} did not reach it.`,
    changed: (said) => `Changed since Pitmix saved it on ${day(said.savedAt)}: Restore leaves it as it is.`,
    unknown: (said) => `Its way back is unknown, so Pitmix does not save over it: what this browser keeps could not be read (${said.why}).`,
  },
  save: {
    written: (said) => `Saved over the original: it holds the patch with ${stopsText(said.stops)}.`,
    already: (said) => `Already holds the patch with ${stopsText(said.stops)}: not written again.`,
    changed: () => 'Changed on disk since it was opened: not saved.',
    gone: () => 'Not saved: the file is no longer there.',
    unkept: not('saved'),
    failed: not('saved'),
    skipped: not('saved'),
  },
  restore: {
    written: () => 'Original restored.',
    already: () => 'Already holds its original: not written again.',
    changed: () => 'Changed on disk since Pitmix saved it: the original was not put back.',
    gone: () => 'Not restored: the file is no longer there.',
    unkept: not('restored'),
    failed: not('restored'),
    skipped: not('restored'),
  },
};

/** What an item says of its file on disk (its entry's facts, see setups.js). */
export const saidText = (said) => sentences[said.pass][said.outcome](said);

/**
 * The status line after a pass: tally counts each outcome, total the files
 * in its plan; refused says why nothing was written, stopped why the pass
 * stopped early (or '').
 */
export function passSummary(pass, tally, total, refused, stopped) {
  if (refused) return `Nothing was written: ${refused}.`;
  const done = `${pass === 'save' ? 'Saved' : 'Restored'} ${number(tally.written)} of ${count(total, 'file')}`;
  if (stopped && tally.skipped) {
    const why = stopped === cancelled ? '' : `${pass === 'save' ? 'Saving' : 'Restoring'} stopped: ${stopped}. `;
    return `${why}${done}; the others were not written.`;
  }
  const notes = [];
  if (tally.already) notes.push(`${number(tally.already)} already held ${pass === 'save' ? 'the patch' : 'the original'}`);
  const left = total - tally.written - tally.already;
  if (left) notes.push(`${number(left)} not: see the files marked`);
  return `${done}${notes.map((note) => `; ${note}`).join('')}.`;
}

/** A folder's line in the list of those whose originals are kept. */
export const keptLine = (folder, n) => `${folder.label}: the originals of ${count(n, 'file')}. `;

/** What Forget asks before it drops anything. */
export const forgetQuestion = (folder, n) => `Forget the originals of ${count(n, 'file')} in ${folder.label}? ` +
  'Pitmix can then no longer put them back.';

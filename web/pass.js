// A pass: the patched copies saved over their files, or the originals put
// back. Its plan, its tally and what it tells; the writes themselves, and
// the keeping of each original first, are the worker's (files.js).
//
// Permission to write is asked for on the click that starts a pass,
// before any wait; the pass itself runs in one step under the disk's lock
// (folders.js), which asks the browser again, without asking the player.
import * as background from './background.js';
import * as news from './news.js';
import { inSlices } from './work.js';
import * as words from './words.js';

const asked = { mode: 'readwrite' };

// Whether the browser lets the page write to a folder: '' where it does,
// else why not. With ask, the player is asked where the browser has not
// decided yet.
async function allowed(folder, ask) {
  try {
    const granted = await folder.handle.queryPermission(asked) === 'granted' || (ask && await folder.handle.requestPermission(asked) === 'granted');
    return granted ? '' : words.notAllowed(folder);
  } catch (error) {
    return words.notAllowed(folder, error);
  }
}

/**
 * Asks for write access to folders, from the click that needs it, before
 * anything is awaited. Resolves to a Map: folder → '' where the browser
 * allows it, else why not.
 */
export const allow = (folders) => Promise.all(folders.map(async (folder) => [folder, await allowed(folder, true)])).then((answers) => new Map(answers));

// Why a file was not written, from what the worker found (see files.js).
function why(kind, facts, stopped) {
  if (facts.outcome === 'skipped') return stopped;
  if (facts.noOriginal) return words.noOriginal;
  if (facts.outcome === 'unkept') return words.originalUnkept(kind, facts.error);
  return facts.error ? words.reason(facts.error) : '';
}

/**
 * Runs a pass, 'save' or 'restore', over entries, in a step under the
 * exclusive lock (folders.pass): plans each file (where its original is
 * kept, whereKept(folder, path) says; what it is expected to hold; what is
 * written), tells the other pages, has the worker keep and write, and
 * tallies what happened. told(item, facts) for each file: item { entry,
 * stops } of the plan, facts { outcome, why, now, record } (see files.js).
 * Resolves to { total, tally, refused, stopped, settled }: how many files
 * it planned, how many had each outcome, why nothing was written at all
 * (or ''), why it stopped early (or ''), and whether what is kept is as
 * told.
 */
export async function run(kind, entries, whereKept, { signal, told }) {
  const save = kind === 'save';
  const folders = [...new Set(entries.map((entry) => entry.folder))];
  const plan = entries.map((entry) => {
    const { id, path } = whereKept(entry.folder, entry.path);
    return {
      entry, folder: folders.indexOf(entry.folder), path: entry.path, id, keptAt: path,
      expected: entry.bytes, replacement: save ? entry.patch.bytes : null, stops: save ? entry.patch.stops : [],
    };
  });
  const tally = { written: 0, already: 0, skipped: 0 };
  const reach = (item, facts, stopped) => {
    tally[facts.outcome] = (tally[facts.outcome] ?? 0) + 1;
    told(item, { ...facts, why: why(kind, facts, stopped) });
  };
  let refused = '';
  for (const folder of folders) refused ||= await allowed(folder, false);
  if (refused || !plan.length) {
    await inSlices(plan, (item) => reach(item, { outcome: 'skipped' }, refused));
    return { total: plan.length, tally, refused, stopped: '', settled: true };
  }
  // The other pages are told first, so that they look again once this step
  // is over even where it never ends (the page is closed), and at its end,
  // once the last change is counted, for a page that opened meanwhile.
  news.tell();
  // Why the pass stops early: the player's, or a permission the browser took back (at the file lostAt).
  let lostAt = -1;
  const stoppedBy = () => (lostAt >= 0 ? words.notAllowedAnyMore(plan[lostAt].entry.folder) : signal.reason);
  const work = plan.map(({ entry, ...item }) => item);
  const { started, lost, settled } = await background.write(kind, work, folders.map(({ id, name, handle }) => ({ id, name, handle })), signal, (i, facts) => {
    if (facts.lost && lostAt < 0) lostAt = i;
    reach(plan[i], facts, stoppedBy());
  });
  news.tell();
  const stopped = lost || signal.aborted ? stoppedBy() : '';
  await inSlices(plan.slice(started), (item) => reach(item, { outcome: 'skipped' }, stopped));
  return { total: plan.length, tally, refused, stopped, settled };
}

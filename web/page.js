// The page: setup files in (picked, dropped, or a whole folder), a strategy
// from three fields or each file's own, patched copies out (downloads, or
// saved over the originals, with the way back kept). This file wires the
// controls to the work they start, one piece of work at a time.
import * as background from './background.js';
import { sameBytes } from './bytes.js';
import { download, zipOf } from './downloads.js';
import * as folders from './folders.js';
import * as news from './news.js';
import * as pass from './pass.js';
import { bytesNeeded, load } from './pitmix.js';
import * as setups from './setups.js';
import { chosenFolder, looseFiles } from './sources.js';
import * as view from './view.js';
import { controls } from './view.js';
import * as words from './words.js';
import { inSlices } from './work.js';

// ---- One piece of work at a time: adding, patching, zipping, saving,
// restoring, forgetting, removing left-overs, or catching up with another
// Pitmix page, which gives way to any of the others.

// Why a catch-up stops early: the player started something (it is caught up with later).
const gaveWay = 'gave way';
// The work under way, or null: { kind, usesStops, controller, from (the
// control that started it), ended }. Nothing starts before the module has loaded.
let job = { kind: 'loading' };
const idle = () => !job || job.kind === 'catching up';
// What the page is doing, for those who watch it from outside: '' when idle.
const working = (kind) => { document.documentElement.dataset.work = kind; };
// A Patch pressed while files were being read, { stops }: it runs next.
let patchNext = null;

/**
 * Starts work of a kind at once, on the click itself, so that a
 * double-click starts it once; a catch-up gives way. task(signal) resolves
 * to what the status line says once it is done (null: nothing), which
 * comes last, when every item and button is up to date. With usesStops, a
 * change of the stops stops it. Returns whether it started.
 */
function start(kind, task, { usesStops = false } = {}) {
  if (!idle()) return false;
  const before = job;
  before?.controller.abort(gaveWay);
  const mine = { kind, usesStops, controller: new AbortController(), from: document.activeElement };
  job = mine;
  if (kind !== 'catching up') view.say('');
  refresh();
  working(kind);
  mine.ended = finish(mine, before?.ended, task);
  return true;
}

async function finish(mine, before, task) {
  const { signal } = mine.controller;
  let outcome = '';
  try {
    await before;
    outcome = await task(signal);
  } catch (error) {
    outcome = words.failed(error);
  }
  await view.drawn();
  if (job !== mine) return;
  job = null;
  view.progress(null);
  refresh(mine.from);
  if (outcome !== null) view.say(outcome);
  view.findAgain();
  const next = mine.kind === 'adding' && !signal.aborted ? patchNext : null;
  patchNext = null;
  if (next) startPatch(next.stops);
  if (!job && folders.isBehind()) startCatchingUp();
  if (!job) working('');
}

// Shows, hides, enables and disables the controls for the state now.
function refresh(focusAfter) {
  const free = idle();
  if (!free) view.show(controls.cancel, true);
  // What is kept changes only in a piece of work: it is shown anew once one is done.
  else view.showKept(folders.keptLines());
  for (const control of [controls.picker, controls.openFolder, controls.removeLeftovers, ...view.keptButtons()]) view.enable(control, free, controls.cancel);
  view.enable(controls.patch, free || job.kind === 'adding', controls.cancel);
  view.show(controls.downloadAll, setups.patched().length >= 2);
  view.show(controls.save, setups.savable().length > 0);
  view.show(controls.restore, setups.restorable().length > 0);
  view.show(controls.downloadOriginals, folders.originalsKept());
  for (const control of [controls.downloadAll, controls.save, controls.restore, controls.downloadOriginals]) view.enable(control, free, controls.cancel);
  if (free) view.show(controls.cancel, false, focusAfter);
}

// While a save or a restore writes, leaving the page asks first.
const holdOn = (event) => {
  event.preventDefault();
  event.returnValue = '';
};
const holding = (held) => (held ? addEventListener : removeEventListener)('beforeunload', holdOn);
const waiting = () => view.progress(words.waiting);

// Reads again the files of an open folder that what is kept says may have
// changed (see folders.js); resolves to how many hold other bytes now.
async function reread(folder, at, records, signal) {
  const stale = setups.toReread(folder, at, records);
  if (!stale.length) return 0;
  let changed = 0;
  await background.read(folder.handle, stale.map(({ path }) => path), bytesNeeded, signal).each((read, i) => {
    if (!sameBytes(list(stale[i], folder, read, stale[i].record).bytes, stale[i].entry.bytes)) changed++;
  });
  view.showPlaced(true);
  return changed;
}

// Puts a file read from source in the list, in place of the one of its
// path if any, with what is kept of it; returns its entry.
function list(source, folder, read, record) {
  const replaced = setups.entries.get(setups.keyOf(folder, source.path)) ?? null;
  const entry = setups.entryOf(source, folder, read, record, replaced);
  const { relabelled } = setups.place(entry);
  view.place(entry, replaced);
  relabelled.forEach(view.rename);
  return entry;
}

function wireWork() {
  controls.cancel.addEventListener('click', () => {
    patchNext = null;
    if (!idle()) job.controller.abort(words.cancelled);
  });
}

// ---- Adding files.

// Lists files read from sources (with what is kept for them, by path), in
// order, as the worker reads them (each, as background.js gives it; picked
// files by default). Shows how far it is a few times a second.
async function addSources(sources, folder, signal, { unlisted = [], records = new Map(), each = null } = {}) {
  view.progress(words.reading(0, sources.length), 0, sources.length);
  let shown = 0;
  const progress = (done) => {
    if (performance.now() - shown < showEvery) return;
    shown = performance.now();
    view.showPlaced(true);
    view.progress(words.reading(done, sources.length), done, sources.length);
  };
  const reads = each ?? background.read(null, sources.map(({ file }) => file), bytesNeeded, signal).each;
  const n = await reads((read, i) => list(sources[i], folder, read, records.get(sources[i].path)), progress);
  view.showPlaced(true);
  return words.added(n, sources.length, signal.aborted, unlisted, folder);
}
// How often progress is shown while files are listed.
const showEvery = 150;

// A folder is looked through (and read) by the worker; only then does it
// take in the open folders inside it. Its files no longer there leave the list.
async function addFolder(handle, signal) {
  view.progress(words.lookingThrough(handle.name));
  const listing = background.list(handle, bytesNeeded, signal, (n) => view.progress(words.lookingThrough(handle.name, n)));
  const { paths, unlisted, leftovers } = await listing.found;
  if (unlisted[0]?.path === '') return words.folderUnread(handle.name, unlisted[0].reason);
  const { folder, prefix, inside, records } = await folders.open(handle, leftovers);
  view.remove(setups.removeFolders(inside));
  const sources = paths.map((path) => ({ path: prefix + path }));
  const said = await addSources(sources, folder, signal, { unlisted, records, each: listing.each });
  if (!signal.aborted) {
    view.remove(setups.removeMissing(folder, prefix, sources, unlisted));
    view.showPlaced(true);
  }
  await showLeftovers();
  return said;
}

// The left-overs of unfinished writes still there are offered for removal
// where no Pitmix page is writing: then none is a write under way.
async function showLeftovers() {
  const n = await folders.leftovers();
  view.showLeftovers(n ? words.leftoversText(n) : '');
}

// Whether work can start now; where it cannot, the status line says what waits for what.
function free(what) {
  if (!idle()) view.say(words.busy(what));
  return idle();
}

// Returns whether the adding began.
function startAdding(task) {
  const began = start('adding', task);
  if (!began) view.say(words.busy('add'));
  return began;
}

// Picked files are taken from the input, which is emptied after.
async function picked(input, take) {
  const taken = await take(input.files);
  input.value = '';
  return taken;
}

function wireAdding() {
  controls.removeLeftovers.addEventListener('click', () => {
    const allowed = pass.allow(folders.withLeftovers());
    start('removing', async (signal) => {
      try {
        const refused = [...(await allowed).values()].find(Boolean);
        if (refused) return words.leftoversRemoved({ removed: 0, left: folders.leftoversLeft(), refused });
        return words.leftoversRemoved(await folders.removeLeftovers({ signal, waiting }));
      } catch (error) {
        if (signal.aborted) return words.notWaited('removed', signal);
        throw error;
      } finally {
        await showLeftovers();
      }
    });
  });

  controls.picker.addEventListener('change', () => {
    if (!startAdding(async (signal) => addSources(await picked(controls.picker, looseFiles), null, signal))) controls.picker.value = '';
  });

  // Where the browser can write to a folder it opens (showDirectoryPicker),
  // the folder is asked for with write access, from the click; elsewhere a
  // folder chooser reads it.
  controls.openFolder.addEventListener('click', () => {
    if (!window.showDirectoryPicker) {
      controls.folderChooser.click();
      return;
    }
    if (!free('add')) return;
    const chosen = window.showDirectoryPicker({ id: 'pitmix-setups', mode: 'readwrite' });
    startAdding(async (signal) => {
      let handle;
      try {
        handle = await chosen;
      } catch (error) {
        return error.name === 'AbortError' ? words.noFolder : words.notOpened(error);
      }
      return addFolder(handle, signal);
    });
  });

  controls.folderChooser.addEventListener('change', () => {
    const began = startAdding(async (signal) => {
      const { name, sources } = await picked(controls.folderChooser, chosenFolder);
      // The worker reads them in path order, folder by folder.
      const reading = background.read(null, sources.map(({ file }) => file), bytesNeeded, signal, sources.map(({ path }) => path));
      const inOrder = (await reading.order).map((i) => sources[i]);
      return addSources(inOrder, await folders.chosen(name), signal, { each: reading.each });
    });
    if (!began) controls.folderChooser.value = '';
  });
  controls.folderChooser.addEventListener('cancel', () => view.say(words.noFolder));

  // A folder kept from an earlier visit opens again with one click, which
  // also asks for permission to use it. Forget asks first, with what will be
  // lost; the originals of a folder the store no longer names can be downloaded.
  view.onKept((act, key) => {
    const line = folders.keptLines().find((kept) => kept.folder.key === key);
    if (!line) return;
    const { folder } = line;
    if (act === 'reopen') {
      if (!free('add')) return undefined;
      const allowed = pass.allow([folder]);
      return startAdding(async (signal) => ((await allowed).get(folder) ? words.notReopened(folder) : addFolder(folder.handle, signal)));
    }
    if (act === 'download') return zip((signal) => folders.originals(folder, { signal, waiting, reread }), 'pitmix-originals.zip', words.originalsZipped, words.originalsUnread);
    const began = start('forgetting', async (signal) => {
      const confirm = (now, again) => view.askForget(words.forgetQuestion(now.folder, now.count, again));
      let done;
      try {
        done = await folders.forget(line, confirm, { signal, waiting, reread });
      } catch (error) {
        return signal.aborted ? words.notWaited('forgotten', signal) : words.notForgotten(error);
      }
      if (done.gone) return words.forgetGone(folder);
      return done.forgot ? words.forgotten(done.forgot) : null;
    });
    return began || view.say(words.busy('forget'));
  });
}

// ---- Files dropped anywhere on the page are added like picked ones.

function wireDrop() {
  document.addEventListener('dragover', (event) => {
    event.preventDefault();
    document.body.classList.add('drop-target');
  });
  document.addEventListener('dragleave', (event) => {
    if (!event.relatedTarget) document.body.classList.remove('drop-target');
  });
  document.addEventListener('drop', (event) => {
    event.preventDefault();
    document.body.classList.remove('drop-target');
    // A dropped folder comes as a file that cannot be read.
    const items = [...(event.dataTransfer?.items ?? [])].filter((item) => item.kind === 'file');
    const folderNames = items.map((item) => item.webkitGetAsEntry?.()).filter((entry) => entry?.isDirectory).map((entry) => entry.name);
    const files = [...(event.dataTransfer?.files ?? [])].filter((file) => !folderNames.includes(file.name));
    if (files.length) startAdding(async (signal) => addSources(await looseFiles(files), null, signal));
    else if (folderNames.length) view.say(words.dropFolder);
  });
}

// ---- Patching.

function withdraw(all = true) {
  const had = setups.withdraw(all);
  inSlices(had, view.showPatch);
  return had.length > 0;
}

// Patch with the stops in the fields: each setup's own, and the common
// ones (or none, where the setups without stops of their own keep the
// strategy they have). Where a field is wrong, it is marked and nothing
// is patched.
function onPatch() {
  const todo = setups.toPatch(view.stopTexts(), view.leavingAsIs());
  view.showStopErrors(todo.errors);
  view.tellOwn(todo.wrong, true);
  const fields = todo.errors.filter(Boolean).length + todo.wrong.length;
  if (fields) {
    patchNext = null;
    withdraw();
    refresh();
    if (!todo.wrong.length) return view.say(words.stopsWrong(fields, false));
    return view.sayWith(words.stopsWrong(fields, true), words.goToFirst, () => {
      const first = todo.errors.findIndex(Boolean);
      if (first >= 0) controls.stops[first].focus();
      else view.focusOwn(view.firstOf(setups.wrongOwn()));
    });
  }
  if (job?.kind !== 'adding') startPatch(todo.stops);
  else {
    patchNext = todo;
    view.say(words.patchNext);
  }
}

function startPatch(stops) {
  const began = start('patching', async (signal) => {
    if (setups.setups().length === 0) return words.noSetups;
    if (stops === null && !setups.setups().some((entry) => entry.own?.stops)) {
      withdraw();
      return words.nothingOwn;
    }
    // Every copy is taken back at once; each item shows its new one as it is made.
    setups.withdraw();
    const made = await setups.patchAll(stops, signal, view.showPatch, (n, total) => view.progress(words.patching(n, total), n, total));
    if (made !== null) return words.patched(made, setups.saveWould(), setups.savable().length > 0);
    withdraw();
    return words.notPatched(signal);
  }, { usesStops: true });
  if (!began && job.kind !== 'patching') view.say(words.busy('patch'));
}

// Stops that change take back the patched copies they made (the common
// ones those of every setup that follows them, a setup's own its own), and
// stop the work that uses them. said is told, and the buttons shown
// anew, where anything changed (had): a copy taken back, or stops given.
function stopsChange(had, said) {
  patchNext = null;
  if (job?.usesStops) job.controller.abort(words.stopsChanged);
  if (!had) return;
  refresh();
  if (idle()) view.say(said);
}

// Enter in a field runs act, once while it is held down.
const onEnter = (field, act) => field.addEventListener('keydown', (event) => {
  if (event.key !== 'Enter' || event.repeat) return;
  event.preventDefault();
  act();
});

function wirePatching() {
  controls.patch.addEventListener('click', onPatch);
  for (const field of controls.stops) {
    field.addEventListener('input', () => {
      view.showCommon(setups.parseStops(view.stopTexts()).stops);
      stopsChange(withdraw(false), words.stopsChangedText);
    });
    onEnter(field, onPatch);
  }

  // The setups without stops of their own: the common stops, or the strategy they have.
  for (const choice of controls.without) {
    choice.addEventListener('change', () => {
      view.showChoice();
      stopsChange(withdraw(false), words.choiceChanged);
    });
  }

  view.onOwn((key, text, type) => {
    const entry = setups.entries.get(key);
    if (!entry) return;
    if (type === 'keydown') return onPatch();
    if (type === 'change') return view.tellOwn([entry], true);
    const had = setups.setOwn(entry, setups.parseOwn(text));
    view.tellOwn([entry], false);
    view.showPatch(entry);
    return stopsChange(had, words.ownChanged(entry));
  });
}

// ---- Finding files, and giving those found their own stops at once.

let findNext = 0;
const findNow = () => view.find(controls.find.value, controls.onlyMarked.checked);

function giveFound(text) {
  const own = setups.parseOwn(text);
  view.tellFound(own?.error ?? '');
  if (own?.error) return view.say(words.noneGiven(own.error));
  const found = view.found();
  let had = false;
  for (const entry of found) had = setups.setOwn(entry, own) || had;
  view.tellOwn(found, false);
  view.showOwn(found);
  view.findAgain();
  return stopsChange(true, words.given(found.length, own, had));
}

function wireFinding() {
  controls.find.addEventListener('input', () => {
    cancelAnimationFrame(findNext);
    findNext = requestAnimationFrame(findNow);
  });
  controls.onlyMarked.addEventListener('change', findNow);
  controls.giveFound.addEventListener('click', () => giveFound(controls.stopsFound.value));
  controls.clearFound.addEventListener('click', () => giveFound(''));
  onEnter(controls.stopsFound, () => giveFound(controls.stopsFound.value));
}

// ---- Downloads, made when pressed.

const baseName = (path) => path.slice(path.lastIndexOf('/') + 1);

// A zip of the files that files(signal) resolves to ({ name, bytes }), made in
// slices and handed to the browser as name; said(n) says what it holds,
// unread(error) why the files could not be had.
function zip(files, name, said, unread, usesStops = false) {
  start('zipping', async (signal) => {
    let list;
    try {
      list = await files(signal);
    } catch (error) {
      return signal.aborted ? words.notZipped(signal) : unread(error);
    }
    if (!list.length) return said(0);
    try {
      const made = await zipOf(list, signal, (n) => view.progress(words.zipping(n, list.length), n, list.length));
      if (!made) return words.notZipped(signal);
      download(made, name);
      return said(list.length);
    } catch (error) {
      return words.zipFailed(error);
    }
  }, { usesStops });
}

function wireDownloads() {
  view.onItemButton((act, key) => {
    const entry = setups.entries.get(key);
    if (act === 'download' && entry?.patch?.bytes) download(entry.patch.bytes, baseName(entry.path));
    if (act === 'restore' && entry) restoreOne(entry);
  });

  // Each file under its label: files of the same path in two folders stay apart.
  controls.downloadAll.addEventListener('click', () => zip(async () => setups.patched().map((entry) => ({ name: entry.label, bytes: entry.patch.bytes })),
    'pitmix-setups.zip', words.zipped, words.zipFailed, true));

  // The originals kept for the open folders, under their paths, as the store holds them now.
  controls.downloadOriginals.addEventListener('click', () => zip((signal) => folders.originals(null, { signal, waiting, reread }), 'pitmix-originals.zip',
    words.originalsZipped, words.originalsUnread));
}

// ---- Saving over the originals, and putting them back.

// A pass over the entries choose() returns under the lock, once the page
// has caught up with other pages: each as it is then. allowed: the answers
// to the permission asked for on the click; one: the entry of a Restore
// of one file.
async function writePass(kind, choose, allowed, signal, one) {
  // Before the first write, the browser is asked to keep what it keeps for good; where it may not, the page says so.
  if (kind === 'save' && !(await background.keptForGood())) view.showFragile();
  // Refused, or not, the pass tells each file why it was not written: the browser is asked again under the lock.
  await allowed;
  let total = 0;
  let reached = 0;
  view.progress(words.passing(kind), 0, 0);
  const run = async (entries, whereKept) => {
    holding(true);
    total = entries.length;
    view.progress(words.passing(kind), 0, total);
    try {
      return await pass.run(kind, entries, whereKept, {
        signal,
        told(item, facts) {
          setups.apply(item.entry, kind, item.stops, facts);
          view.note(item.entry);
          if (++reached % 32 === 0) view.progress(words.passing(kind, reached, total), reached, total);
        },
      });
    } finally {
      holding(false);
    }
  };
  let done;
  try {
    done = await folders.pass(kind, choose, { signal, waiting, reread, run });
  } catch (error) {
    if (signal.aborted) return words.notWaited('written', signal);
    throw error;
  }
  if (done.wayUnknown) return words.unknownWay(done.wayUnknown);
  return words.passSummary(kind, done.tally, done.total, done.refused, done.stopped, one);
}

// A pass started from a click, which asks for permission to write to each
// folder of the files it is to write (choose() as they are now).
function startPass(kind, choose, one) {
  if (!free(kind)) return false;
  const allowed = pass.allow([...new Set(choose().map((entry) => entry.folder))]);
  return start(kind === 'save' ? 'saving' : 'restoring', (signal) => writePass(kind, choose, allowed, signal, one), { usesStops: kind === 'save' });
}

// One file put back, with the same care: the others stay as they are.
function restoreOne(entry) {
  startPass('restore', () => [setups.entries.get(entry.key)].filter((now) => now && setups.canRestore(now)), entry);
}

function wirePasses() {
  controls.save.addEventListener('click', () => startPass('save', setups.savable));
  controls.restore.addEventListener('click', () => startPass('restore', setups.restorable));
}

// ---- What other Pitmix pages changed: caught up with when this page is
// idle (giving way to anything the player starts), and before it writes.

function startCatchingUp() {
  start('catching up', async (signal) => {
    const n = await folders.catchUp(signal, reread);
    await showLeftovers();
    if (folders.keptLines().length && !(await background.promised())) view.showFragile();
    return n ? words.caughtUp(n) : null;
  });
}

function wireNews() {
  news.onNews(() => {
    if (!job) startCatchingUp();
  });
}

// ---- Start: the controls wired, the module, then the folders kept from before.

export async function startPage() {
  view.start();
  for (const wire of [wireWork, wireAdding, wireDrop, wirePatching, wireFinding, wireDownloads, wirePasses, wireNews]) wire();
  const loaded = await load().then(() => true, () => false);
  if (!loaded) {
    view.unsupported();
    return;
  }
  document.documentElement.dataset.ready = 'yes';
  job = null;
  view.showCommon(setups.parseStops(view.stopTexts()).stops);
  refresh();
  startCatchingUp();
}

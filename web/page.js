// The page: setup files in (picked, dropped, or a whole folder), a strategy
// from three fields or each file's own, patched copies out (downloads, or
// saved over the originals, with the way back kept). This file only wires
// the controls to one piece of work at a time: adding, patching, zipping,
// saving, restoring, forgetting, removing left-overs, or catching up with
// another Pitmix page, which gives way to any of the others.
import { download, zipOf } from './downloads.js';
import * as folders from './folders.js';
import { allowed } from './pass.js';
import { load } from './pitmix.js';
import * as setups from './setups.js';
import { chosenFolder, inPathOrder, looseFiles, readInOrder, walk } from './sources.js';
import * as view from './view.js';
import { controls } from './view.js';
import * as words from './words.js';
import { cancelled, stopsChanged } from './words.js';
import { inSlices } from './work.js';

// Why a catch-up stops early: the player started something (its news waits).
const gaveWay = 'gave way';

// The work under way, or null: { kind, controller, from (the control that
// started it), before (the end of a catch-up it stopped), ended }. Nothing
// starts before the module has loaded.
let work = { kind: 'loading' };
const idle = () => !work || work.kind === 'catching up';
// What the page is doing, for those who watch it from outside: '' when idle.
const working = (kind) => { document.documentElement.dataset.work = kind; };
// A Patch pressed while files were being read, { stops }: it runs next.
let patchNext = null;

// The lock is taken on the click itself, before anything is awaited, so a
// double-click starts one piece of work. A catch-up gives way.
function begin(kind) {
  if (!idle()) return null;
  const before = work;
  before?.controller.abort(gaveWay);
  work = { kind, controller: new AbortController(), from: document.activeElement, before: before?.ended };
  if (kind !== 'catching up') view.say('');
  refresh();
  working(kind);
  return work.controller.signal;
}

// Runs a piece of work, which returns what the status line is to say once
// it is done (or null, nothing): that comes last, when every item and
// button is up to date.
async function run(signal, task) {
  const mine = work;
  let ended;
  mine.ended = new Promise((resolve) => { ended = resolve; });
  let outcome = '';
  try {
    await mine.before;
    outcome = await task(signal);
  } catch (error) {
    outcome = words.failed(error);
  } finally {
    ended();
    if (work === mine) {
      work = null;
      view.progress(null);
      refresh(mine.from);
      if (outcome !== null) view.say(outcome ?? '');
      view.findAgain();
      if (mine.kind === 'adding' && patchNext && !signal.aborted) startPatch(patchNext.stops);
      patchNext = null;
      if (!work && folders.behind()) startCatchingUp();
      if (!work) working('');
    }
  }
}

// Shows, hides, enables and disables the controls for the state now.
function refresh(focusAfter) {
  const free = idle();
  if (!free) view.show(controls.cancel, true);
  for (const control of [controls.picker, controls.openFolder, controls.removeLeftovers, ...view.keptButtons()]) view.enable(control, free, controls.cancel);
  view.enable(controls.patch, free || work.kind === 'adding', controls.cancel);
  view.show(controls.downloadAll, setups.patched().length >= 2);
  view.show(controls.save, setups.savable().length > 0);
  view.show(controls.restore, setups.restorable().length > 0);
  view.show(controls.downloadOriginals, folders.originalsKept());
  for (const control of [controls.downloadAll, controls.save, controls.restore, controls.downloadOriginals]) view.enable(control, free, controls.cancel);
  if (free) view.show(controls.cancel, false, focusAfter);
}

folders.listen({
  kept(lines) {
    view.showKept(lines);
    refresh();
  },
  placed: view.place,
  shown: view.showPlaced,
});

controls.cancel.addEventListener('click', () => {
  patchNext = null;
  if (!idle()) work.controller.abort(cancelled);
});

// While the disk's lock is held for a save or a restore, leaving the page asks first.
const holdOn = (event) => {
  event.preventDefault();
  event.returnValue = '';
};
const holding = (held) => (held ? addEventListener : removeEventListener)('beforeunload', holdOn);
const waiting = () => view.progress(words.waiting);

// ---- Adding files.

async function addSources(sources, folder, signal, unlisted = [], records = new Map()) {
  view.progress(words.reading(0, sources.length), 0, sources.length);
  const listed = await readInOrder(sources, signal, (source, read) => {
    const replaced = setups.entries.get(setups.keyOf(folder, source.path)) ?? null;
    const entry = setups.entryOf(source, folder, read, records.get(source.path), replaced);
    const { relabelled } = setups.place(entry);
    view.place(entry, replaced);
    relabelled.forEach(view.rename);
  }, (done) => {
    view.showPlaced();
    view.progress(words.reading(done, sources.length), done, sources.length);
  });
  view.showPlaced();
  return words.added(listed, sources.length, signal.aborted, unlisted, folder);
}

// A folder is looked through first: only then does it take in the open
// folders inside it.
async function addFolder(handle, signal) {
  view.progress(words.lookingThrough(handle.name));
  const { sources, unlisted, leftovers } = await walk(handle, signal, (n) => view.progress(words.lookingThrough(handle.name, n)));
  if (unlisted[0]?.path === '') return words.folderUnread(handle.name, unlisted[0].reason);
  const { folder, prefix, inside, records } = await folders.open(handle, sources.map((source) => source.path), leftovers);
  view.remove(setups.removeFolders(inside));
  for (const source of sources) source.path = prefix + source.path;
  const said = await addSources(await inPathOrder(sources), folder, signal, unlisted, records);
  await folders.settleIfFree(folder);
  await showLeftovers();
  return said;
}

// The left-overs of unfinished writes still there are offered for removal
// where no Pitmix page is writing: then none is a write under way.
async function showLeftovers() {
  const n = !(await folders.writing()) && await folders.leftoversThere();
  view.showLeftovers(n ? words.leftoversText(n) : '');
}

controls.removeLeftovers.addEventListener('click', () => {
  const signal = begin('removing');
  if (!signal) return;
  run(signal, async () => {
    try {
      return words.leftoversRemoved(await folders.removeLeftovers({ signal, waiting }));
    } catch (error) {
      if (signal.aborted) return words.notWaited('removed', signal);
      throw error;
    } finally {
      await showLeftovers();
    }
  });
});

// Returns whether the adding began.
function startAdding(task) {
  const signal = begin('adding');
  if (!signal) view.say(words.busy('add'));
  else run(signal, task);
  return Boolean(signal);
}

// Picked files are taken from the input, which is emptied after.
async function picked(input, take) {
  const taken = await take(input.files);
  input.value = '';
  return taken;
}

controls.picker.addEventListener('change', () => {
  if (!startAdding(async (signal) => addSources(await picked(controls.picker, looseFiles), null, signal))) controls.picker.value = '';
});

// Where the browser can write to a folder it opens (showDirectoryPicker),
// the folder is asked for with write access; elsewhere a folder chooser
// reads it.
controls.openFolder.addEventListener('click', () => {
  if (!window.showDirectoryPicker) {
    controls.folderChooser.click();
    return;
  }
  startAdding(async (signal) => {
    let handle;
    try {
      handle = await window.showDirectoryPicker({ id: 'pitmix-setups', mode: 'readwrite' });
    } catch (error) {
      return error.name === 'AbortError' ? words.noFolder : words.notOpened(error);
    }
    return addFolder(handle, signal);
  });
});

controls.folderChooser.addEventListener('change', () => {
  const began = startAdding(async (signal) => {
    const { name, sources } = await picked(controls.folderChooser, chosenFolder);
    return addSources(await inPathOrder(sources), folders.chosen(name), signal);
  });
  if (!began) controls.folderChooser.value = '';
});
controls.folderChooser.addEventListener('cancel', () => view.say(words.noFolder));

// A folder kept from an earlier visit opens again with one click, which
// also asks for permission to use it. Forget asks first, with what will be
// lost, and, where that changed before it could run, asks again.
view.onKept((act, key) => {
  const line = folders.keptLines().find((kept) => kept.folder.key === key);
  if (!line) return;
  const { folder } = line;
  if (act === 'reopen') {
    startAdding(async (signal) => (await allowed(folder) ? words.notReopened(folder) : addFolder(folder.handle, signal)));
  } else {
    forget(line, false);
  }
});

// Forget asks about a folder's line (what is kept for it), and forgets
// only if that is still so under the lock; else it asks again.
async function forget(line, again) {
  const { folder } = line;
  if (!(await view.askForget(words.forgetQuestion(folder, line.count, again)))) return;
  const signal = begin('forgetting');
  if (!signal) return;
  let changed = null;
  await run(signal, async () => {
    let done;
    try {
      done = await folders.forget(line, { signal, waiting });
    } catch (error) {
      return signal.aborted ? words.notWaited('forgotten', signal) : words.notForgotten(error);
    }
    if (done.gone) return words.forgetGone(folder);
    if (done.forgot) {
      await inSlices(done.forgot, view.note);
      return words.forgotten(folder);
    }
    changed = done.now;
    return null;
  });
  if (changed) forget(changed, true);
}

// ---- Files dropped anywhere on the page are added like picked ones.

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
  const keeping = view.keeping();
  const parsed = keeping ? { stops: null } : setups.parseStops(view.stopTexts());
  view.showStopErrors(parsed.errors ?? ['', '', '']);
  const wrong = setups.wrongOwn();
  view.tellOwn(wrong, true);
  const fields = (parsed.errors ?? []).filter(Boolean).length + wrong.length;
  if (fields) {
    patchNext = null;
    withdraw();
    refresh();
    if (!wrong.length) return view.say(words.stopsWrong(fields, false));
    return view.sayWith(words.stopsWrong(fields, true), words.goToFirst, () => {
      const first = parsed.errors?.findIndex(Boolean) ?? -1;
      if (first >= 0) controls.stops[first].focus();
      else view.focusOwn(view.firstOf(setups.wrongOwn()));
    });
  }
  if (work?.kind !== 'adding') startPatch(parsed.stops);
  else {
    patchNext = parsed;
    view.say(words.patchNext);
  }
}

function startPatch(stops) {
  const signal = begin('patching');
  if (!signal && work.kind !== 'patching') view.say(words.busy('patch'));
  if (signal) {
    run(signal, async () => {
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
    });
  }
}

// Stops that change take back the patched copies they made (the common
// ones those of every setup that follows them, a setup's own its own), and
// stop the work that uses them. said is told, and the buttons shown
// anew, where anything changed (had): a copy taken back, or stops given.
function stopsChange(had, said) {
  patchNext = null;
  if (['patching', 'zipping', 'saving'].includes(work?.kind)) work.controller.abort(stopsChanged);
  if (!had) return;
  refresh();
  if (idle()) view.say(said);
}

controls.patch.addEventListener('click', onPatch);
for (const field of controls.stops) {
  field.addEventListener('input', () => {
    view.showCommon(setups.parseStops(view.stopTexts()).stops);
    stopsChange(withdraw(false), words.stopsChangedText);
  });
  field.addEventListener('keydown', (event) => {
    if (event.key !== 'Enter' || event.repeat) return;
    event.preventDefault();
    onPatch();
  });
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

// ---- Finding files, and giving those found their own stops at once.

let findNext = 0;
const findNow = () => view.find(controls.find.value, controls.onlyMarked.checked);
controls.find.addEventListener('input', () => {
  cancelAnimationFrame(findNext);
  findNext = requestAnimationFrame(findNow);
});
controls.onlyMarked.addEventListener('change', findNow);

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
controls.giveFound.addEventListener('click', () => giveFound(controls.stopsFound.value));
controls.clearFound.addEventListener('click', () => giveFound(''));
controls.stopsFound.addEventListener('keydown', (event) => {
  if (event.key !== 'Enter' || event.repeat) return;
  event.preventDefault();
  giveFound(controls.stopsFound.value);
});

// ---- Downloads, made when pressed.

const baseName = (path) => path.slice(path.lastIndexOf('/') + 1);

view.onItemButton((act, key) => {
  const entry = setups.entries.get(key);
  if (act === 'download' && entry?.patch?.bytes) download(entry.patch.bytes, baseName(entry.path));
  if (act === 'restore' && entry) restoreOne(key);
});

// A zip of the files that files(signal) resolves to ({ name, bytes }), made in
// slices and handed to the browser as name; said(n) says what it holds,
// unread(error) why the files could not be had.
function zip(files, name, said, unread) {
  const signal = begin('zipping');
  if (signal) {
    run(signal, async () => {
      let list;
      try {
        list = await files(signal);
      } catch (error) {
        return signal.aborted ? words.notZipped(signal) : unread(error);
      }
      try {
        const made = await zipOf(list, signal, (n) => view.progress(words.zipping(n, list.length), n, list.length));
        if (!made) return words.notZipped(signal);
        download(made, name);
        return said(list.length);
      } catch (error) {
        return words.zipFailed(error);
      }
    });
  }
}

// Each file under its label: files of the same path in two folders stay apart.
controls.downloadAll.addEventListener('click', () => zip(async () => setups.patched().map((entry) => ({ name: entry.label, bytes: entry.patch.bytes })),
  'pitmix-setups.zip', words.zipped));

// ---- Saving over the originals, and putting them back.

// Asked before the first write: persistent storage, which the browser may
// refuse. Where it is not granted, the page says once that what it keeps
// may be dropped.
let lasts = null;
async function keepForGood() {
  lasts ??= navigator.storage?.persist?.().catch(() => false) ?? Promise.resolve(false);
  if (!(await lasts)) view.showFragile();
}

// A pass over the entries choose() returns under the lock, once the page
// has caught up with other pages: each as it is then.
async function writePass(pass, choose, signal) {
  if (pass === 'save') await keepForGood();
  let total = 0;
  let reached = 0;
  view.progress(words.passing(pass), 0, 0);
  let done;
  try {
    done = await folders.write(pass, choose, {
      signal, waiting, holding,
      planned(n) {
        total = n;
        view.progress(words.passing(pass), 0, n);
      },
      told(item) {
        view.note(item.entry);
        if (++reached % 32 === 0) view.progress(words.passing(pass, reached, total), reached, total);
      },
    });
  } catch (error) {
    if (signal.aborted) return words.notWaited('written', signal);
    throw error;
  }
  if (done.unkept) return words.unkept(done.unkept);
  if (done.unknown) return words.unknownWay(done.unknown);
  return words.passSummary(pass, done.tally, done.plan.length, done.refused, done.stopped);
}

controls.save.addEventListener('click', () => {
  const signal = begin('saving');
  if (signal) run(signal, () => writePass('save', setups.savable, signal));
});

controls.restore.addEventListener('click', () => {
  const signal = begin('restoring');
  if (signal) run(signal, () => writePass('restore', setups.restorable, signal));
});

// One file put back, with the same care: the others stay as they are.
function restoreOne(key) {
  const signal = begin('restoring');
  if (!signal) return view.say(words.busy('restore'));
  run(signal, () => writePass('restore', () => [setups.entries.get(key)].filter((entry) => entry && setups.writable(entry) && setups.pitmixWrite(entry)), signal));
}

// ---- Downloads of the originals kept for the open folders, under their paths.

controls.downloadOriginals.addEventListener('click', () => zip((signal) => folders.originals({ signal, waiting }), 'pitmix-originals.zip',
  words.originalsZipped, words.originalsUnread));

// ---- What other Pitmix pages changed: caught up with when this page is
// idle (giving way to anything the player starts), and before it writes.

folders.onNews(() => {
  if (!work) startCatchingUp();
});

function startCatchingUp() {
  const signal = begin('catching up');
  if (signal) {
    run(signal, async () => {
      const n = await folders.catchUp(signal);
      await showLeftovers();
      return n ? words.caughtUp(n) : null;
    });
  }
}

// ---- Start: the module, then the controls and the folders kept from before.

const loaded = await load().then(() => true, () => false);
if (loaded) {
  document.documentElement.dataset.ready = 'yes';
  work = null;
  view.showCommon(setups.parseStops(view.stopTexts()).stops);
  refresh();
  // Folders whose originals were all restored are no longer kept: cleared
  // now, unless another page is writing (then the page looks once it is done).
  working('looking');
  await folders.tidy();
  if (!work && folders.behind()) startCatchingUp();
  if (!work) working('');
  if (folders.keptLines().length && !(await navigator.storage?.persisted?.().catch(() => false))) view.showFragile();
} else {
  view.unsupported();
}

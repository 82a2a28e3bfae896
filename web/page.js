// The page: setup files in (picked, dropped, or a whole folder), a strategy
// from three fields, patched copies out (downloads, or saved over the
// originals, with the way back kept). This file only wires the controls to
// one piece of work at a time: adding, patching, zipping, saving,
// restoring, forgetting or catching up with another Pitmix page, or none.
import { download, zipOf } from './downloads.js';
import * as folders from './folders.js';
import * as kept from './kept.js';
import { announce, exclusive, onNews, writeAll } from './pass.js';
import { load } from './pitmix.js';
import * as setups from './setups.js';
import { chosenFolder, finder, inPathOrder, looseFiles, readInOrder, walk } from './sources.js';
import * as view from './view.js';
import { forgetQuestion, passSummary, stopsText } from './words.js';
import { count, inSlices, number, reason } from './work.js';

const { controls } = view;
const noFolder = 'No folder was opened: the choice was cancelled, or the browser refused the folder ' +
  '(browsers refuse system folders such as Program Files and AppData). Pick the files with "Setup files" ' +
  'instead, and put the downloaded copies in their place.';
const { cancelled, stopsChanged } = setups;

// The work under way, or null: { kind, controller, from (the control that
// started it) }. Nothing starts before the module has loaded.
let work = { kind: 'loading' };
// The stops of a Patch pressed while files were being read: it runs next.
let patchNext = null;

// The lock is taken on the click itself, before anything is awaited, so a
// double-click starts one pass.
function begin(kind) {
  if (work) return null;
  work = { kind, controller: new AbortController(), from: document.activeElement };
  if (kind !== 'catching up') view.say('');
  refresh();
  return work.controller.signal;
}

// Runs a piece of work, which returns what the status line is to say once
// it is done: that comes last, when every item and button is up to date.
async function run(signal, task) {
  let outcome = '';
  try {
    outcome = await task(signal);
  } catch (error) {
    outcome = `Something went wrong: ${reason(error)}`;
  } finally {
    const { kind, from } = work;
    work = null;
    view.progress(null);
    refresh(from);
    await refreshKept();
    if (outcome !== null) view.say(outcome ?? '');
    view.findAgain();
    if (kind === 'adding' && patchNext && !signal.aborted) startPatch(patchNext);
    patchNext = null;
    if (news.length && !work) startCatchingUp();
  }
}

// Shows, hides, enables and disables the controls for the state now.
function refresh(focusAfter) {
  const idle = work === null;
  if (!idle) view.show(controls.cancel, true);
  for (const control of [controls.picker, controls.openFolder, ...view.keptButtons()]) view.enable(control, idle, controls.cancel);
  view.enable(controls.patch, idle || work.kind === 'adding', controls.cancel);
  view.show(controls.downloadAll, setups.patched().length >= 2);
  view.show(controls.save, setups.savable().length > 0);
  view.show(controls.restore, setups.restorable().length > 0);
  view.show(controls.downloadOriginals, originalsKept);
  for (const control of [controls.downloadAll, controls.save, controls.restore, controls.downloadOriginals]) view.enable(control, idle, controls.cancel);
  if (idle) view.show(controls.cancel, false, focusAfter);
}

// Whether an open folder has originals kept: "Download the originals" is offered.
let originalsKept = false;

// The folders whose originals are kept, each with how many files it can
// restore (where it is open) or keeps; a folder kept by another page since
// is known by its directory.
async function refreshKept() {
  await folders.learn().catch(() => {});
  const lines = [];
  const restorable = setups.restorable();
  for (const folder of folders.folders.filter((known) => known.id && !known.prefix && known.handle)) {
    const stored = await kept.countOf(folder.id).catch(() => 0);
    const count = folder.open ? restorable.filter((entry) => entry.folder.id === folder.id).length : stored;
    if (stored) lines.push({ folder, count, open: folder.open });
  }
  originalsKept = lines.some((line) => folders.folders.some((known) => known.id === line.folder.id && known.open));
  view.showKept(lines);
  refresh();
}

// Runs task under the disk's lock, which all Pitmix pages share, saying so
// while another page holds it; first it catches up with what other pages
// changed. While it runs, leaving the page asks first.
const holdOn = (event) => {
  event.preventDefault();
  event.returnValue = '';
};
async function underLock(signal, task) {
  try {
    return await exclusive(signal, () => view.progress('Waiting for another Pitmix page to finish…'), async () => {
      addEventListener('beforeunload', holdOn);
      try {
        await catchUp();
        return await task();
      } finally {
        removeEventListener('beforeunload', holdOn);
      }
    });
  } catch (error) {
    if (!signal.aborted) throw error;
    return `Nothing was written: ${signal.reason === cancelled ? 'cancelled' : signal.reason} while waiting for another Pitmix page.`;
  }
}

controls.cancel.addEventListener('click', () => {
  patchNext = null;
  work?.controller.abort(cancelled);
});

// ---- Adding files.

async function addSources(sources, folder, signal, unlisted = [], records = new Map()) {
  const total = count(sources.length, 'file');
  view.progress(`Reading 0 of ${total}…`, 0, sources.length);
  view.expect(sources.length);
  const listed = await readInOrder(sources, signal, (source, read) => {
    const replaced = setups.entries.get(setups.keyOf(folder, source.path)) ?? null;
    const entry = setups.entryOf(source, folder, read, records.get(source.path), replaced);
    const { relabelled } = setups.place(entry);
    view.place(entry, replaced);
    relabelled.forEach(view.rename);
  }, (done) => {
    view.showPlaced();
    view.progress(`Reading ${number(done)} of ${total}…`, done, sources.length);
  });
  view.expect(0);
  view.showPlaced();
  const notListed = unlisted.map(({ path, reason }) => `The folder ${path} could not be read (${reason}). `).join('');
  const unknown = folder?.unread ? ` What this browser keeps for ${folder.label} could not be read (${folder.unread}): ` +
    'Pitmix will not save over it. Download the patched copies instead, or open the folder again.' : '';
  return signal.aborted ? `${notListed}Added ${number(listed)} of ${total}; the others were not read.${unknown}` : `${notListed}${total} added.${unknown}`;
}

async function addFolder(handle, signal) {
  const { folder, prefix, inside } = await folders.folderOf(handle);
  // Folders inside this one: their files are its files now, and what is
  // kept for them goes under it.
  for (const other of inside) {
    view.remove(setups.removeFolder(other));
    other.open = false;
  }
  if (inside.some((other) => other.id && !other.prefix)) {
    const why = await underLock(signal, () => folders.settle(folder).then(() => announce({ id: folder.id }), reason));
    if (why && !signal.aborted) folder.unread ||= why;
  }
  view.progress(`Looking through ${folder.label}…`);
  const { sources, unlisted } = await walk(handle, signal, (n) => view.progress(`Looking through ${folder.label}… ${count(n, 'file')}`));
  if (unlisted[0]?.path === '') return `The folder ${handle.name} could not be read: ${unlisted[0].reason}`;
  for (const source of sources) source.path = prefix + source.path;
  const records = folder.unread ? new Map() : await kept.recordsOf(folder).catch((error) => {
    folder.unread = reason(error);
    return new Map();
  });
  folder.open = true;
  return addSources(await inPathOrder(sources), folder, signal, unlisted, records);
}

// Returns whether the adding began.
function startAdding(task) {
  const signal = begin('adding');
  if (!signal) view.say('Files can be added once the work under way is done, or cancelled.');
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
      return error.name === 'AbortError' ? noFolder : `No folder was opened: ${reason(error)}`;
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
controls.folderChooser.addEventListener('cancel', () => view.say(noFolder));

// A folder kept from an earlier visit opens again with one click, which
// also asks for permission to use it. Forget asks first, with what will be
// lost, and runs under the lock.
view.onKept(async (act, key) => {
  const folder = folders.folders.find((known) => known.key === key);
  if (act === 'reopen') {
    startAdding(async (signal) => {
      if (await folders.allowed(folder)) return `${folder.label} was not reopened: the browser may not use it.`;
      return addFolder(folder.handle, signal);
    });
    return;
  }
  if (work) return;
  const stored = await kept.countOf(folder.id).catch(() => null);
  if (stored === null) return view.say('Nothing was forgotten: what this browser keeps could not be read.');
  if (!(await view.askForget(forgetQuestion(folder, stored)))) return;
  const signal = begin('forgetting');
  if (signal) {
    run(signal, () => underLock(signal, async () => {
      try {
        await kept.forget(folder.id);
      } catch (error) {
        return `Nothing was forgotten: ${reason(error)}`;
      }
      setups.forgot([folder.id]);
      await inSlices(setups.ofFolders([folder.id]), view.note);
      announce({ id: folder.id });
      return `Pitmix keeps nothing more for ${folder.label}.`;
    }));
  }
});

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
  const dropped = items.map((item) => item.webkitGetAsEntry?.()).filter((entry) => entry?.isDirectory).map((entry) => entry.name);
  const files = [...(event.dataTransfer?.files ?? [])].filter((file) => !dropped.includes(file.name));
  if (files.length) startAdding(async (signal) => addSources(await looseFiles(files), null, signal));
  else if (dropped.length) view.say('To add a folder, use "Open setup folder".');
});

// ---- Patching.

function withdraw(all = true) {
  const had = setups.withdraw(all);
  inSlices(had, view.showPatch);
  return had.length > 0;
}

// Patch with the stops in the fields: the common ones, and each setup's
// own. Where a field is wrong, it is marked and nothing is patched.
function onPatch() {
  const parsed = setups.parseStops(view.stopTexts());
  view.showStopErrors(parsed.errors ?? ['', '', '']);
  const wrong = setups.wrongOwn();
  view.tellOwn(wrong, true);
  const fields = (parsed.errors ?? []).filter(Boolean).length + wrong.length;
  if (fields) {
    patchNext = null;
    withdraw();
    refresh();
    if (!wrong.length) return view.say('Nothing was patched: correct the stops marked above.');
    return view.sayWith(`Nothing was patched: correct the ${count(fields, 'field')} marked.`, 'Go to the first', () => {
      const first = parsed.errors?.findIndex(Boolean) ?? -1;
      if (first >= 0) controls.stops[first].focus();
      else view.focusOwn(view.firstOf(setups.wrongOwn()));
    });
  }
  if (work?.kind !== 'adding') startPatch(parsed.stops);
  else {
    patchNext = parsed.stops;
    view.say('Patch runs once the files are read.');
  }
}

function startPatch(stops) {
  const signal = begin('patching');
  if (!signal && work.kind !== 'patching') view.say('Patch can run once the work under way is done, or cancelled.');
  if (signal) {
    run(signal, async () => {
      if (setups.setups().length === 0) return 'Add a setup file first.';
      // Every copy is taken back at once; each item shows its new one as it is made.
      setups.withdraw();
      const made = await setups.patchAll(stops, signal, view.showPatch,
        (n, total) => view.progress(`Patching ${number(n)} of ${count(total, 'setup file')}…`, n, total));
      if (made !== null) return `Patched ${count(made, 'setup file')}.`;
      withdraw();
      return `Nothing is patched: patching was ${signal.reason === cancelled ? 'cancelled' : 'stopped, as the stops changed'}.`;
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
  if (!work) view.say(said);
}

controls.patch.addEventListener('click', onPatch);
for (const field of controls.stops) {
  field.addEventListener('input', () => {
    view.showCommon(setups.parseStops(view.stopTexts()).stops);
    stopsChange(withdraw(false), 'The stops changed: press Patch to patch the files again.');
  });
  field.addEventListener('keydown', (event) => {
    if (event.key !== 'Enter' || event.repeat) return;
    event.preventDefault();
    onPatch();
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
  return stopsChange(had, `The stops of ${entry.label} changed: press Patch to patch it again.`);
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
  if (own?.error) return view.say(`No stops were given: ${own.error}`);
  const found = view.found();
  let had = false;
  for (const entry of found) had = setups.setOwn(entry, own) || had;
  view.tellOwn(found, false);
  view.showOwn(found);
  view.findAgain();
  const one = found.length === 1;
  const now = own ? `${one ? 'has' : 'have'} ${stopsText(own.stops)} of ${one ? 'its' : 'their'} own` : `${one ? 'takes' : 'take'} the common stops`;
  return stopsChange(true, `${count(found.length, 'setup file')} found ${now}.${had ? ' Press Patch to patch them again.' : ''}`);
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

view.onDownload((key) => {
  const entry = setups.entries.get(key);
  if (entry?.patch?.bytes) download(entry.patch.bytes, baseName(entry.path));
});

controls.downloadAll.addEventListener('click', () => {
  const signal = begin('zipping');
  if (!signal) return;
  // Each file under its label: files of the same path in two folders stay apart.
  const files = setups.patched().map((entry) => ({ name: entry.label, bytes: entry.patch.bytes }));
  run(signal, async () => {
    try {
      const zip = await zipOf(files, signal, (n) => view.progress(`Building the zip: ${number(n)} of ${count(files.length, 'file')}…`, n, files.length));
      if (!zip) return `No zip was made: ${signal.reason === cancelled ? 'it was cancelled' : 'the stops changed'}.`;
      download(zip, 'pitmix-setups.zip');
      return `The zip holds ${count(files.length, 'patched file')}.`;
    } catch (error) {
      return `The zip could not be made (${reason(error)}). Press "Download all" to try again.`;
    }
  });
});

// ---- Saving over the originals, and putting them back.

controls.save.addEventListener('click', () => {
  const signal = begin('saving');
  if (signal) run(signal, () => writePass('save', setups.savable(), signal));
});

controls.restore.addEventListener('click', () => {
  const signal = begin('restoring');
  if (signal) run(signal, () => writePass('restore', setups.restorable(), signal));
});

// Asked before the first write: persistent storage, which the browser may
// refuse. Where it is not granted, the page says once that what it keeps
// may be dropped.
let lasts = null;
async function keepForGood() {
  lasts ??= navigator.storage?.persist?.().catch(() => false) ?? Promise.resolve(false);
  if (!(await lasts)) view.showFragile();
}

// A pass over the entries chosen on the click. Under the lock, after
// catching up with other pages, it takes each entry as it is now: the
// bytes it must hold now and will hold after.
async function writePass(pass, chosen, signal) {
  if (pass === 'save') await keepForGood();
  return underLock(signal, async () => {
    for (const folder of new Set(chosen.map((entry) => entry.folder))) {
      if (folder.unread) continue;
      try {
        await (pass === 'save' ? folders.settle(folder) : folders.learn());
      } catch (error) {
        return `Nothing was written: this browser could not keep the originals: ${reason(error)}.`;
      }
      await freshen(folder).catch((error) => { folder.unread = reason(error); });
    }
    const now = chosen.map((entry) => setups.entries.get(entry.key)).filter((entry) => entry && (pass === 'save' ? entry.patch?.bytes : setups.pitmixWrite(entry)));
    const unknown = now.find((entry) => entry.folder.unread);
    if (unknown) {
      return `Nothing was written: what this browser keeps for ${unknown.folder.label} could not be read (${unknown.folder.unread}), ` +
        'so its way back is unknown. Download the patched copies instead, or open the folder again.';
    }
    const plan = now.map((entry) => ({ entry, folder: entry.folder, path: entry.path, expected: entry.bytes, replacement: entry.patch?.bytes, stops: pass === 'save' ? entry.patch.stops : [] }));
    const summary = await runPlan(plan, pass, signal);
    for (const id of new Set(plan.map((item) => item.folder.id))) announce({ id });
    return summary;
  });
}

async function runPlan(plan, pass, signal) {
  const tally = { written: 0, already: 0, skipped: 0 };
  const doing = pass === 'save' ? 'Saving' : 'Restoring';
  const total = count(plan.length, 'file');
  let reached = 0;
  const told = (item, facts) => {
    tally[facts.outcome] = (tally[facts.outcome] ?? 0) + 1;
    setups.apply(item, pass, facts);
    view.note(item.entry);
  };
  view.progress(`${doing}…`, 0, plan.length);
  const { unreached, refused, stopped } = await writeAll(plan, pass, signal, (item, facts) => {
    told(item, facts);
    if (++reached % 32 === 0) view.progress(`${doing} ${number(reached)} of ${total}…`, reached, plan.length);
  });
  await inSlices(unreached, (item) => told(item, { outcome: 'skipped', why: refused || stopped }));
  return passSummary(pass, tally, plan.length, refused, stopped);
}

// ---- Downloads of the originals kept for the open folders, under their paths.

controls.downloadOriginals.addEventListener('click', () => {
  const signal = begin('zipping');
  if (!signal) return;
  run(signal, async () => {
    const open = folders.folders.filter((folder) => folder.id && folder.open);
    const files = [];
    try {
      for (const folder of open) {
        for (const [path, record] of await kept.recordsOf(folder)) files.push({ name: open.length > 1 ? `${folder.label}/${path}` : path, bytes: record.original });
      }
    } catch (error) {
      return `The originals could not be read: ${reason(error)}`;
    }
    const zip = await zipOf(files, signal, (n) => view.progress(`Building the zip: ${number(n)} of ${count(files.length, 'file')}…`, n, files.length));
    if (!zip) return 'No zip was made: it was cancelled.';
    download(zip, 'pitmix-originals.zip');
    return `The zip holds the originals of ${count(files.length, 'file')}.`;
  });
});

// ---- What other Pitmix pages changed: their news is caught up with when
// this page is idle, and before it writes anything.

const news = [];
onNews((told) => {
  news.push(told);
  if (!work) startCatchingUp();
});

function startCatchingUp() {
  const signal = begin('catching up');
  if (signal) run(signal, catchUp);
}

async function catchUp() {
  let changed = 0;
  while (news.length) {
    const { id } = news.shift();
    await folders.learn().catch(() => {});
    for (const folder of folders.folders.filter((known) => known.id === id && known.open)) changed += await freshen(folder).catch(() => 0);
  }
  return changed ? `Another Pitmix page wrote ${count(changed, 'file')} listed here: each shows what it holds now.` : null;
}

// Reads again the files of a folder whose records are not what this page
// knows (another page wrote them), each patched again with its stops.
// Returns how many; rejects if what is kept cannot be read.
async function freshen(folder) {
  const records = await kept.recordsOf(folder);
  const stale = setups.ofFolders([folder.id]).filter((entry) => entry.folder === folder &&
    (entry.record?.savedAt ?? 0) !== (records.get(entry.path)?.savedAt ?? 0));
  const find = finder();
  const sources = stale.map((entry) => ({ path: entry.path, find: () => find(folder, entry.path), entry }));
  await readInOrder(sources, new AbortController().signal, (source, read) => {
    const entry = setups.entryOf(source, folder, read, records.get(source.path), source.entry);
    view.place(entry, setups.place(entry).replaced);
  }, () => {});
  view.showPlaced();
  return stale.length;
}

// ---- Start: the module, then the controls and the folders kept from before.

const loaded = await load().then(() => true, () => false);
if (loaded) {
  document.documentElement.dataset.ready = 'yes';
  work = null;
  view.showCommon(setups.parseStops(view.stopTexts()).stops);
  refresh();
  // Folders whose originals were all restored are no longer kept: cleared
  // now, unless another page is writing.
  await exclusive(null, null, async () => {
    await folders.learn();
    for (const folder of folders.folders.filter((known) => known.id)) {
      if (await kept.countOf(folder.id) === 0) await kept.forget(folder.id);
    }
  }).catch(() => {});
  await refreshKept();
  if (folders.folders.some((folder) => folder.id) && !(await navigator.storage?.persisted?.().catch(() => false))) view.showFragile();
} else {
  view.unsupported();
}

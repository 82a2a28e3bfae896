// The page: setup files in (picked, dropped, or a whole folder), a strategy
// from three fields, patched copies out (downloads, or saved over the
// originals, with the way back kept). This file only wires the controls to
// one piece of work at a time: adding, patching, zipping, saving or
// restoring, or none.
import * as disk from './disk.js';
import { download, zipOf } from './downloads.js';
import { load } from './pitmix.js';
import * as setups from './setups.js';
import { chosenFolder, inPathOrder, looseFiles, readInOrder, walk } from './sources.js';
import * as view from './view.js';
import { count, inSlices, number } from './work.js';

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
  view.say('');
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
    outcome = `Something went wrong: ${error.message}`;
  } finally {
    const { kind, from } = work;
    work = null;
    view.progress(null);
    refresh(from);
    await refreshKept();
    view.say(outcome ?? '');
    if (kind === 'adding' && patchNext && !signal.aborted) startPatch({ stops: patchNext });
    patchNext = null;
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
  for (const control of [controls.downloadAll, controls.save, controls.restore]) view.enable(control, idle, controls.cancel);
  if (idle) view.show(controls.cancel, false, focusAfter);
}

async function refreshKept() {
  const open = new Set([...setups.entries.values()].map((entry) => entry.folder));
  view.showKept(disk.folders, await disk.keptCounts().catch(() => new Map()), open);
  refresh();
}

controls.cancel.addEventListener('click', () => {
  patchNext = null;
  work?.controller.abort(cancelled);
});

// ---- Adding files.

async function addSources(sources, folder, signal, unlisted = []) {
  const kept = folder ? await disk.keptFiles(folder).catch(() => new Map()) : new Map();
  const total = count(sources.length, 'file');
  view.progress(`Reading 0 of ${total}…`, 0, sources.length);
  const listed = await readInOrder(sources, signal, (source, read) => {
    const entry = setups.entryOf(source, folder, read, kept.get(source.path));
    const { replaced, relabelled } = setups.place(entry);
    view.place(entry, replaced);
    relabelled.forEach(view.rename);
  }, (done) => {
    view.showPlaced();
    view.progress(`Reading ${number(done)} of ${total}…`, done, sources.length);
  });
  view.showPlaced();
  const notListed = unlisted.map(({ path, reason }) => `The folder ${path} could not be read (${reason}). `).join('');
  return signal.aborted ? `${notListed}Added ${number(listed)} of ${total}; the others were not read.` : `${notListed}${total} added.`;
}

async function addFolder(handle, signal) {
  const folder = await disk.folderOf(handle);
  view.progress(`Looking through ${folder.label}…`);
  const { sources, unlisted } = await walk(handle, signal, (n) => view.progress(`Looking through ${folder.label}… ${count(n, 'file')}`));
  if (unlisted[0]?.path === '') return `The folder ${handle.name} could not be read: ${unlisted[0].reason}`;
  return addSources(inPathOrder(sources), folder, signal, unlisted);
}

function startAdding(task) {
  const signal = begin('adding');
  if (!signal) view.say('Files can be added once the work under way is done, or cancelled.');
  else run(signal, task);
}

controls.picker.addEventListener('change', () => {
  const files = looseFiles([...controls.picker.files]);
  controls.picker.value = '';
  startAdding((signal) => addSources(files, null, signal));
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
      return error.name === 'AbortError' ? noFolder : `No folder was opened: ${error.message}`;
    }
    return addFolder(handle, signal);
  });
});

controls.folderChooser.addEventListener('change', () => {
  const { name, sources } = chosenFolder([...controls.folderChooser.files]);
  controls.folderChooser.value = '';
  startAdding((signal) => addSources(inPathOrder(sources), disk.chosenFolderOf(name), signal));
});
controls.folderChooser.addEventListener('cancel', () => view.say(noFolder));

// A folder kept from an earlier visit opens again with one click, which
// also asks for permission to use it.
view.onKept(async (act, folderId) => {
  const folder = disk.folders.find((known) => known.id === folderId);
  if (act === 'forget') {
    const outcome = await disk.forget(folder).then(() => {
      for (const entry of setups.entries.values()) if (entry.folder === folder) entry.kept = null;
      return `Pitmix keeps nothing more for ${folder.label}.`;
    }, (error) => `Nothing was forgotten: ${error.message}`);
    await refreshKept();
    view.say(outcome);
    return;
  }
  startAdding(async (signal) => {
    const mode = { mode: 'readwrite' };
    if (await folder.handle.queryPermission(mode) !== 'granted' && await folder.handle.requestPermission(mode) !== 'granted') {
      return `${folder.label} was not reopened: the browser may not use it.`;
    }
    return addFolder(folder.handle, signal);
  });
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
  const folders = items.map((item) => item.webkitGetAsEntry?.()).filter((entry) => entry?.isDirectory).map((entry) => entry.name);
  const files = [...(event.dataTransfer?.files ?? [])].filter((file) => !folders.includes(file.name));
  if (files.length) startAdding((signal) => addSources(looseFiles(files), null, signal));
  else if (folders.length) view.say('To add a folder, use "Open setup folder".');
});

// ---- Patching.

function withdraw() {
  const had = setups.withdraw();
  inSlices(had, view.showPatch);
  return had.length > 0;
}

function onPatch() {
  const parsed = setups.parseStops(view.stopTexts());
  view.showStopErrors(parsed.errors ?? ['', '', '']);
  if (work?.kind !== 'adding') startPatch(parsed);
  else if (parsed.errors) {
    patchNext = null;
    view.say('Nothing was patched: correct the stops marked above.');
  } else {
    patchNext = parsed.stops;
    view.say('Patch runs once the files are read.');
  }
}

function startPatch(parsed) {
  const signal = begin('patching');
  if (!signal && work.kind !== 'patching') view.say('Patch can run once the work under way is done, or cancelled.');
  if (signal) {
    run(signal, async () => {
      if (parsed.errors || setups.setups().length === 0) {
        withdraw();
        return parsed.errors ? 'Nothing was patched: correct the stops marked above.' : 'Add a setup file first.';
      }
      // Every copy is taken back at once; each item shows its new one as it is made.
      setups.withdraw();
      const made = await setups.patchAll(parsed.stops, signal, view.showPatch,
        (n, total) => view.progress(`Patching ${number(n)} of ${count(total, 'setup file')}…`, n, total));
      if (made !== null) return `Patched ${count(made, 'setup file')}.`;
      withdraw();
      return `Nothing is patched: patching was ${signal.reason === cancelled ? 'cancelled' : 'stopped, as the stops changed'}.`;
    });
  }
}

controls.patch.addEventListener('click', onPatch);
for (const field of controls.stops) {
  field.addEventListener('input', () => {
    patchNext = null;
    if (['patching', 'zipping', 'saving'].includes(work?.kind)) work.controller.abort(stopsChanged);
    if (withdraw()) {
      refresh();
      if (!work) view.say('The stops changed: press Patch to patch the files again.');
    }
  });
  field.addEventListener('keydown', (event) => {
    if (event.key !== 'Enter' || event.repeat) return;
    event.preventDefault();
    onPatch();
  });
}

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
      return `The zip could not be made (${error.message}). Press "Download all" to try again.`;
    }
  });
});

// ---- Saving over the originals, and putting them back.

// A pass's plan is taken on the click: which files, and the bytes each
// must hold now and will hold after.
controls.save.addEventListener('click', () => {
  const signal = begin('saving');
  const plan = setups.savable().map((entry) => ({ entry, expected: entry.bytes, replacement: entry.patch.bytes, stops: entry.patch.stops }));
  if (signal) run(signal, () => writeAll(plan, 'save', signal));
});

controls.restore.addEventListener('click', () => {
  const signal = begin('restoring');
  const plan = setups.restorable().map((entry) => ({ entry, expected: entry.bytes, replacement: entry.kept.original, stops: [] }));
  if (signal) run(signal, () => writeAll(plan, 'restore', signal));
});

async function writeAll(plan, pass, signal) {
  const tally = { written: 0, already: 0, changed: 0, failed: 0, skipped: 0 };
  const doing = pass === 'save' ? 'Saving' : 'Restoring';
  const total = count(plan.length, 'file');
  let reached = 0;
  view.progress(`${doing}…`, 0, plan.length);
  const { unreached, refused } = await disk.writePass(plan, pass, signal, (item, outcome, why) => {
    tally[outcome]++;
    setups.tell(item, pass, outcome, why);
    view.note(item.entry);
    if (++reached % 32 === 0) view.progress(`${doing} ${number(reached)} of ${total}…`, reached, plan.length);
  });
  const why = refused || signal.reason;
  await inSlices(unreached, (item) => {
    tally.skipped++;
    setups.tell(item, pass, 'skipped', why);
    view.note(item.entry);
  });
  return setups.passSummary(pass, tally, plan.length, refused, signal.aborted && signal.reason);
}

// ---- Start: the module, then the controls and the folders kept from before.

const loaded = await load().then(() => true, () => false);
if (loaded) {
  document.documentElement.dataset.ready = 'yes';
  work = null;
  refresh();
  view.showKept(disk.folders, await disk.loadKept(), new Set());
  refresh();
} else {
  view.unsupported();
}

// The page: setup files in (picked, dropped, or a whole folder), a strategy
// from three fields, patched copies out (downloads, or saved over the
// originals). Everything about the file format happens in pitmix.js.
//
// It stays responsive with thousands of files: work runs in slices of a
// few milliseconds with the page free in between, the status line says how
// far it is, and a download's bytes and the zip are made when clicked.
import { Zip, ZipPassThrough } from 'fflate';
import { bytesNeeded, inspect, maxPercentage, patch } from './pitmix.js';

const byId = (id) => document.getElementById(id);
const picker = byId('files');
const folderPicker = byId('folder');
const list = byId('items');
const others = byId('others');
const stops = [1, 2, 3].map((n) => ({ name: `Stop ${n}`, field: byId(`stop${n}`), error: byId(`stop${n}-error`) }));
const status = byId('status');
const downloadAll = byId('download-all');
const saveButton = byId('save');
const restoreButton = byId('restore');

const unixHost = 3;
const regularFileMode = 0o100644;
// A slice of work ends after this long; then the page answers input and
// draws before the next one.
const sliceMilliseconds = 8;
// Files whose first bytes are on their way at once, and files written at once.
const readsInFlight = 512;
const readsPerSlice = 128;
// How often the list and the progress are brought up to date.
const showEvery = 150;
// From this many items on, only those on screen are laid out.
const longList = 500;
const writesAtOnce = 256;

const noFolder = 'No folder was opened: the choice was cancelled, or the browser refused the folder ' +
  '(browsers refuse system folders such as Program Files and AppData). Pick the files with "Setup files" ' +
  'instead, and put the downloaded copies in their place.';

// One entry per path (a file's name, or its path inside an opened folder),
// in the order added; adding a file of the same path again replaces it.
// An entry: { path, file, handle, root, bytes, holds, item,
//   result: what Patch said in the item, or null,
//   patched: { bytes, report } for the stops now in the fields, or null,
//   saved: the bytes Pitmix last saved over the file, or null }.
const entries = new Map();
const entryOfLink = new WeakMap();
// Patched copies belong to one reading of the stop fields; a new one
// (an edit, another Patch) withdraws them.
let strategy = 0;
let writing = false;

const number = new Intl.NumberFormat('en-US').format;
const count = (n, what) => `${number(n)} ${what}${n === 1 ? '' : 's'}`;
const yieldToPage = globalThis.scheduler?.yield
  ? () => globalThis.scheduler.yield()
  : () => new Promise((resolve) => setTimeout(resolve));

// Runs step(item) over items in slices, telling progress(done)
// after each; stops early, returning false, when stillWanted() says so.
async function inSlices(items, step, progress, stillWanted = () => true) {
  for (let i = 0; i < items.length;) {
    const start = performance.now();
    do step(items[i]); while (++i < items.length && performance.now() - start < sliceMilliseconds);
    progress(i);
    await yieldToPage();
    if (!stillWanted()) return false;
  }
  return true;
}

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

const baseName = (path) => path.slice(path.lastIndexOf('/') + 1);

// Path order: folder by folder, each name compared as it is.
function byPath(a, b) {
  const x = a.path.split('/');
  const y = b.path.split('/');
  for (let i = 0; i < x.length && i < y.length; i++) {
    if (x[i] !== y[i]) return x[i] < y[i] ? -1 : 1;
  }
  return x.length - y.length;
}

// ---- Downloads, made when clicked.

// A link that has no bytes until it is clicked: onDownloadClick() makes
// them then, and keeps them for later clicks until they are withdrawn.
function downloadLink(label, fileName) {
  const link = element('a', 'download', label);
  link.href = '#';
  link.download = fileName;
  return link;
}

// make() gives a Blob, which the click goes on to download, or a promise
// of one, which is downloaded when it is ready.
async function onDownloadClick(event, link, make) {
  if (link.dataset.ready) return;
  if (link.dataset.making) {
    event.preventDefault();
    return;
  }
  const made = make();
  if (made instanceof Blob) {
    ready(link, made);  // the click goes on to download it
    return;
  }
  event.preventDefault();
  link.dataset.making = 'yes';
  const blob = await made;
  delete link.dataset.making;
  if (blob && link.isConnected) {
    ready(link, blob);
    link.click();
  }
}

function ready(link, blob) {
  link.href = URL.createObjectURL(blob);
  link.dataset.ready = 'yes';
}

function forget(link) {
  if (link?.dataset.ready) URL.revokeObjectURL(link.href);
}

list.addEventListener('click', (event) => {
  const link = event.target.closest('a.download');
  const entry = link && entryOfLink.get(link);
  if (entry?.patched) onDownloadClick(event, link, () => new Blob([entry.patched.bytes], { type: 'application/octet-stream' }));
});

downloadAll.addEventListener('click', (event) => {
  const link = event.target.closest('a.download');
  if (link) onDownloadClick(event, link, () => zipOfPatched(strategy));
});

// The patched copies in one .zip, each under its path, built in slices.
async function zipOfPatched(wanted) {
  const patched = [...entries.values()].filter((entry) => entry.patched);
  const chunks = [];
  const zip = new Zip((error, chunk) => {
    if (error) throw error;
    chunks.push(chunk);
  });
  const done = await inSlices(patched, (entry) => {
    const file = new ZipPassThrough(entry.path);
    // Marked as made on Unix, as plain rw-r--r-- files: with the MS-DOS
    // default, Info-ZIP's unzip reads names beyond ASCII in the DOS code
    // page even though the archive flags them as UTF-8.
    file.os = unixHost;
    file.attrs = regularFileMode * 0x10000;
    zip.add(file);
    file.push(entry.patched.bytes, true);
  }, (done) => say(`Building the zip… ${number(done)} of ${count(patched.length, 'file')}`),
  () => strategy === wanted);
  if (!done) return null;
  zip.end();
  say(`The zip holds ${count(patched.length, 'patched file')}.`);
  return new Blob(chunks, { type: 'application/zip' });
}

function showOutputs() {
  forget(downloadAll.firstChild);
  downloadAll.replaceChildren();
  const patched = [...entries.values()].filter((entry) => entry.patched);
  if (patched.length >= 2) downloadAll.append(downloadLink('Download all', 'pitmix-setups.zip'));
  saveButton.hidden = !patched.some((entry) => entry.handle);
  restoreButton.hidden = ![...entries.values()].some((entry) => entry.saved);
}

// ---- Adding files.

function say(text) {
  status.textContent = text;
}

// A file's first bytes (all of a setup file) and its size. Only the first
// chunk of a large file is read: its size alone refuses it. A stream costs
// the page much less than slice(), and a small file tells its size by
// ending, so only a larger one is asked for it.
async function firstBytes(file) {
  const reader = file.stream().getReader();
  const chunks = [];
  let length = 0;
  let ended = false;
  try {
    while (!ended && length <= bytesNeeded) {
      const { done, value } = await reader.read();
      ended = done;
      if (!done) {
        chunks.push(value);
        length += value.length;
      }
    }
  } finally {
    reader.cancel().catch(() => {});
  }
  const bytes = new Uint8Array(Math.min(length, bytesNeeded));
  let at = 0;
  for (const chunk of chunks) {
    bytes.set(chunk.subarray(0, bytes.length - at), at);
    at += Math.min(chunk.length, bytes.length - at);
  }
  return { bytes, size: ended ? length : file.size };
}

// Reads a file; what it holds is told when it is placed in the list, in a
// slice of its own, so that reads finishing together cost the page little.
async function read(source) {
  const entry = { ...source, bytes: new Uint8Array(), size: 0, item: null, result: null, patched: null, saved: null };
  try {
    entry.file ??= await source.handle.getFile();
    Object.assign(entry, await firstBytes(entry.file));
  } catch (error) {
    entry.holds = { ok: false, reason: `cannot be read (${error.message})` };
  }
  return entry;
}

function itemOf(entry) {
  const item = element('li');
  const holds = entry.holds;
  item.append(element('span', 'name', entry.path), ' ');
  item.append(holds.ok ? element('span', 'holds', `${holds.edition}, ${holds.checksums}, ${holds.strategy}`)
                       : element('span', 'refused', holds.reason));
  return item;
}

// New items wait in these and join the page a few times a second: each
// time the list grows, the browser lays it out again.
const waiting = { list: document.createDocumentFragment(), others: document.createDocumentFragment() };

function place(entry, fromFolder) {
  entry.holds ??= inspect(entry.bytes, entry.size);
  entry.item = itemOf(entry);
  // A folder's other files go in one group, so that its setups stay easy to see.
  entry.shelf = fromFolder && !entry.holds.ok ? 'others' : 'list';
  const old = entries.get(entry.path);
  if (old) {
    withdrawFrom(old);
    entries.delete(entry.path);
  }
  if (old?.shelf === entry.shelf) old.item.replaceWith(entry.item);
  else {
    old?.item.remove();
    waiting[entry.shelf].append(entry.item);
  }
  entries.set(entry.path, entry);
}

function showPlaced() {
  list.append(waiting.list);
  others.querySelector('ul').append(waiting.others);
  list.classList.toggle('long', list.childElementCount > longList);
  const otherCount = others.querySelector('ul').childElementCount;
  others.hidden = otherCount === 0;
  others.querySelector('summary').textContent = `Other files (${number(otherCount)})`;
}

// Sources: { file } or { handle, root }, each with its path. Reads are
// started a few to a slice, up to readsInFlight ahead of the list, and the
// files are listed in order as they arrive.
async function addFiles(sources, fromFolder) {
  const total = count(sources.length, 'file');
  const described = new Array(sources.length);
  let started = 0;
  let listed = 0;
  let shown = performance.now();
  let arrived = null;  // wakes the loop when a read is done
  say(`Reading 0 of ${total}…`);
  while (listed < sources.length) {
    const start = performance.now();
    const inTime = () => performance.now() - start < sliceMilliseconds;
    // A read that finishes at once goes on in the same task: few are
    // started together.
    const startsEnd = Math.min(sources.length, listed + readsInFlight, started + readsPerSlice);
    while (started < startsEnd && inTime()) {
      const at = started++;
      read(sources[at]).then((entry) => {
        described[at] = entry;
        arrived?.();
      });
    }
    while (described[listed] && inTime()) {
      place(described[listed], fromFolder);
      described[listed++] = null;
    }
    if (performance.now() - shown > showEvery) {
      showPlaced();
      say(`Reading ${number(listed)} of ${total}…`);
      shown = performance.now();
    }
    if (described[listed] || (started < sources.length && started - listed < readsInFlight)) await yieldToPage();
    else if (listed < sources.length) await new Promise((resolve) => { arrived = resolve; });
    arrived = null;
  }
  showPlaced();
  showOutputs();
  say(`${total} added.`);
}

picker.addEventListener('change', async () => {
  const files = [...picker.files];
  picker.value = '';
  await addFiles(files.map((file) => ({ file, path: file.name })), false);
});

// Where the browser can write to a folder it opens (showDirectoryPicker),
// the folder is asked for with write access; elsewhere a folder chooser
// reads it.
byId('open-folder').addEventListener('click', async () => {
  if (!window.showDirectoryPicker) {
    folderPicker.click();
    return;
  }
  let root;
  try {
    root = await window.showDirectoryPicker({ id: 'pitmix-setups', mode: 'readwrite' });
  } catch (error) {
    say(error.name === 'AbortError' ? noFolder : `No folder was opened: ${error.message}`);
    return;
  }
  say(`Looking through ${root.name}…`);
  const sources = [];
  try {
    await walk(root, root, '', sources);
  } catch (error) {
    say(`The folder ${root.name} could not be read: ${error.message}`);
    return;
  }
  await addFiles(sources.sort(byPath), true);
});

async function walk(root, folder, prefix, sources) {
  for await (const handle of folder.values()) {
    const path = prefix + handle.name;
    if (handle.kind === 'directory') await walk(root, handle, `${path}/`, sources);
    else sources.push({ handle, root, path });
    if (sources.length % 500 === 0) say(`Looking through ${root.name}… ${count(sources.length, 'file')}`);
  }
}

// The chooser's paths begin with the chosen folder's name.
folderPicker.addEventListener('change', async () => {
  const files = [...folderPicker.files];
  folderPicker.value = '';
  const sources = files.map((file) => ({ file, path: file.webkitRelativePath.replace(/^[^/]*\//, '') }));
  await addFiles(sources.sort(byPath), true);
});
folderPicker.addEventListener('cancel', () => say(noFolder));

// ---- Patching.

// The stops from the fields, or null when any field is wrong; each wrong
// field gets its message beside it.
function readStops() {
  const texts = stops.map((stop) => stop.field.value.trim());
  const lastFilled = texts.findLastIndex((text) => text !== '');
  const values = [];
  let valid = true;
  stops.forEach((stop, i) => {
    let message = '';
    if (texts[i] === '' && i < lastFilled) {
      message = `Fill ${stop.name} before ${stops[lastFilled].name}.`;
    } else if (texts[i] !== '' && !(/^\d+$/.test(texts[i]) && Number(texts[i]) <= maxPercentage)) {
      message = `Enter a whole number from 0 to ${maxPercentage}.`;
    }
    stop.error.textContent = message;
    stop.field.setAttribute('aria-invalid', message ? 'true' : 'false');
    if (message && valid) stop.field.focus();
    valid &&= !message;
    if (i <= lastFilled) values.push(Number(texts[i]));
  });
  return valid ? values : null;
}

function withdrawFrom(entry) {
  if (entry.result) {
    forget(entry.result.querySelector('a.download'));
    entry.result.remove();
    entry.result = null;
  }
  entry.patched = null;
}

// Takes back every patched copy: its report, its download, the zip and
// saving. Returns whether there was any.
function withdraw() {
  strategy++;
  let any = false;
  for (const entry of entries.values()) {
    any ||= entry.patched !== null;
    withdrawFrom(entry);
  }
  showOutputs();
  return any;
}

async function patchAll() {
  const percentages = readStops();
  withdraw();
  if (!percentages) {
    say('Nothing was patched: correct the stops marked above.');
    return;
  }
  const setups = [...entries.values()].filter((entry) => entry.holds.ok);
  if (setups.length === 0) {
    say('Add a setup file first.');
    return;
  }
  const wanted = strategy;
  say('Patching…');
  let patched = 0;
  const done = await inSlices(setups, (entry) => {
    const result = patch(entry.bytes, percentages, entry.path);
    const outcome = element('div', 'result');
    if (result.ok) {
      outcome.append(element('p', 'report', result.report.trimEnd()));
      const link = downloadLink(`Download ${entry.path}`, baseName(entry.path));
      entryOfLink.set(link, entry);
      outcome.append(link);
      entry.patched = result;
      patched++;
    } else {
      outcome.append(element('p', 'refused', result.reason));
    }
    entry.result = outcome;
    entry.item.insertBefore(outcome, entry.item.querySelector('.disk'));
  }, (n) => say(`Patching… ${number(n)} of ${count(setups.length, 'setup file')}`),
  () => strategy === wanted);
  if (!done) return;
  showOutputs();
  say(`Patched ${count(patched, 'setup file')}.`);
}

byId('patch').addEventListener('click', patchAll);
for (const stop of stops) {
  stop.field.addEventListener('input', () => {
    if (withdraw()) say('The stops changed: press Patch to patch the files again.');
  });
}

// ---- Saving over the originals, and putting them back.

// Writes replacement over the file only if it still holds expected: the
// file is read again first. The browser writes the new bytes aside and
// swaps them in when the stream closes, so a failed write leaves the file
// as it was.
async function replaceIfUnchanged(handle, expected, replacement) {
  const file = await handle.getFile();
  if (file.size !== expected.length) return false;
  const now = new Uint8Array(await file.arrayBuffer());
  if (!now.every((byte, i) => byte === expected[i])) return false;
  const writable = await handle.createWritable();
  try {
    await writable.write(replacement);
    await writable.close();
  } catch (error) {
    await writable.abort().catch(() => {});
    throw error;
  }
  return true;
}

function note(entry, text, kept) {
  entry.item.querySelector('.disk')?.remove();
  entry.item.append(element('p', kept ? 'disk kept' : 'disk', text));
}

// The permission prompt, if any, comes from the click that called this.
async function mayWrite(targets) {
  for (const root of new Set(targets.map((entry) => entry.root))) {
    if (await root.requestPermission({ mode: 'readwrite' }) !== 'granted') {
      say(`Nothing was written: the browser may not write to the folder ${root.name}.`);
      return false;
    }
  }
  return true;
}

// Runs write() for each target, many at once: Chromium checks each file
// it writes for a page before the write is done, which takes it up to a
// second a file, but for many files side by side. Returns a line for the
// status.
async function writeEach(targets, write, what) {
  writing = true;
  saveButton.disabled = restoreButton.disabled = true;
  let next = 0;
  let done = 0;
  let written = 0;
  const worker = async () => {
    while (next < targets.length) {
      const entry = targets[next++];
      try {
        if (await write(entry)) written++;
      } catch (error) {
        note(entry, `Not ${what}: ${error.message}`, true);
      }
      if (++done % writesAtOnce === 0) say(`${what === 'saved' ? 'Saving' : 'Restoring'}… ${number(done)} of ${count(targets.length, 'file')}`);
    }
  };
  await Promise.all(Array.from({ length: writesAtOnce }, worker));
  saveButton.disabled = restoreButton.disabled = false;
  writing = false;
  showOutputs();
  const left = targets.length - written;
  return `${number(written)} of ${count(targets.length, 'file')} ${what}` +
    (left ? `; ${number(left)} not: see the files marked.` : '.');
}

saveButton.addEventListener('click', async () => {
  const targets = [...entries.values()].filter((entry) => entry.patched && entry.handle);
  if (writing || !(await mayWrite(targets))) return;
  const wanted = strategy;
  say('Saving…');
  const line = await writeEach(targets, async (entry) => {
    if (strategy !== wanted) return false;  // the stops changed: what is left is not saved
    const bytes = entry.patched.bytes;
    if (!(await replaceIfUnchanged(entry.handle, entry.saved ?? entry.bytes, bytes))) {
      note(entry, 'Changed on disk since it was opened: not saved.', true);
      return false;
    }
    entry.saved = bytes;
    note(entry, 'Saved over the original.');
    return true;
  }, 'saved');
  say(strategy === wanted ? line : 'Saving stopped: the stops changed.');
});

restoreButton.addEventListener('click', async () => {
  const targets = [...entries.values()].filter((entry) => entry.saved);
  if (writing || !(await mayWrite(targets))) return;
  say('Restoring…');
  say(await writeEach(targets, async (entry) => {
    if (!(await replaceIfUnchanged(entry.handle, entry.saved, entry.bytes))) {
      note(entry, 'Changed on disk since Pitmix saved it: the original was not put back.', true);
      return false;
    }
    entry.saved = null;
    note(entry, 'Original restored.');
    return true;
  }, 'restored'));
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
  if (files.length) addFiles(files.map((file) => ({ file, path: file.name })), false);
  else if (folders.length) say('To add a folder, use "Open setup folder".');
});

// The page: setup files in, a strategy from three fields, patched copies
// out. Everything about the file format happens in pitmix.js.
import { zipSync } from 'fflate';
import { bytesNeeded, inspect, maxPercentage, patch } from './pitmix.js';

const byId = (id) => document.getElementById(id);
const picker = byId('files');
const list = byId('items');
const stops = [1, 2, 3].map((n) => ({ name: `Stop ${n}`, field: byId(`stop${n}`), error: byId(`stop${n}-error`) }));
const status = byId('status');
const downloadAll = byId('download-all');

const unixHost = 3;
const regularFileMode = 0o100644;

// One entry per file name, in the order added; adding a file of the same
// name again replaces it.
const entries = new Map();

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function downloadLink(name, bytes, label, type = 'application/octet-stream') {
  const link = element('a', 'download', label);
  link.href = URL.createObjectURL(new Blob([bytes], { type }));
  link.download = name;
  return link;
}

function forgetDownloads(node) {
  for (const link of node.querySelectorAll('a[href^="blob:"]')) URL.revokeObjectURL(link.href);
}

// Only the first bytes are read: all of a setup file, and no more of a
// large one, which its size alone refuses.
async function describe(file) {
  let bytes = new Uint8Array();
  let holds;
  try {
    bytes = new Uint8Array(await file.slice(0, bytesNeeded).arrayBuffer());
    holds = inspect(bytes, file.size);
  } catch (error) {
    holds = { ok: false, reason: `cannot be read (${error.message})` };
  }
  const item = element('li');
  item.append(element('span', 'name', file.name), ' ');
  item.append(holds.ok ? element('span', 'holds', `${holds.edition}, ${holds.checksums}, ${holds.strategy}`)
                       : element('span', 'refused', holds.reason));
  return { name: file.name, bytes, ok: holds.ok, item, patched: null };
}

async function addFiles(files) {
  const added = await Promise.all([...files].map(describe));
  for (const entry of added) {
    const old = entries.get(entry.name);
    if (old) {
      forgetDownloads(old.item);
      old.item.replaceWith(entry.item);
    } else {
      list.append(entry.item);
    }
    entries.set(entry.name, entry);
  }
  showDownloadAll();
  status.textContent = `${added.length} file${added.length === 1 ? '' : 's'} added.`;
}

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

function patchAll() {
  const percentages = readStops();
  if (!percentages) {
    status.textContent = 'Nothing was patched: correct the stops marked above.';
    return;
  }
  const setups = [...entries.values()].filter((entry) => entry.ok);
  if (setups.length === 0) {
    status.textContent = 'Add a setup file first.';
    return;
  }
  for (const entry of setups) {
    const result = patch(entry.bytes, percentages, entry.name);
    entry.item.querySelector('.result')?.remove();
    forgetDownloads(entry.item);
    const outcome = element('div', 'result');
    if (result.ok) {
      outcome.append(element('p', 'report', result.report.trimEnd()));
      outcome.append(downloadLink(entry.name, result.bytes, `Download ${entry.name}`));
    } else {
      outcome.append(element('p', 'refused', result.reason));
    }
    entry.patched = result.ok ? result.bytes : null;
    entry.item.append(outcome);
  }
  showDownloadAll();
  const count = setups.filter((entry) => entry.patched).length;
  status.textContent = `Patched ${count} setup file${count === 1 ? '' : 's'}.`;
}

function showDownloadAll() {
  forgetDownloads(downloadAll);
  downloadAll.replaceChildren();
  const patched = [...entries.values()].filter((entry) => entry.patched);
  if (patched.length < 2) return;
  // Marked as made on Unix, as plain rw-r--r-- files: with the MS-DOS
  // default, Info-ZIP's unzip reads names beyond ASCII in the DOS code page
  // even though the archive flags them as UTF-8.
  const zip = zipSync(Object.fromEntries(patched.map((entry) => [entry.name, entry.patched])),
                      { os: unixHost, attrs: regularFileMode * 0x10000 });
  downloadAll.append(downloadLink('pitmix-setups.zip', zip, 'Download all', 'application/zip'));
}

picker.addEventListener('change', async () => {
  await addFiles(picker.files);
  picker.value = '';
});
byId('patch').addEventListener('click', patchAll);

// Files dropped anywhere on the page are added like picked ones.
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
  if (event.dataTransfer?.files.length) addFiles(event.dataTransfer.files);
});

// How the page copes with a setup folder of thousands of files, in headless
// Chromium: the time to add, patch, zip, find, give stops of their own,
// choose what the others get, save and restore them (all, and one), and
// open the folder that holds an open one; the longest task on the page's
// main thread in each step, and the longest run of the page's own script
// in any task; and beside each long step a bare page that does what the
// browser must for it, and no more: reads the same first bytes of the same
// files, finds every handle of a folder and reads each file's first bytes,
// writes the same files with createWritable() at the page's width (with
// and without Chromium's safe-browsing check), one file right after that
// batch, and the originals back from memory.
//   node web_bench.mjs PAGE NODE_MODULES CHROMIUM EXAMPLES [SETUP_FILES]
import { mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { dropFolder, pickerFromDrop, writableProfile } from '../tests/chromium_folder.mjs';

const [pagePath, nodeModules, chromium, examples, setupCount = '20000'] = process.argv.slice(2);
const puppeteer = createRequire(path.join(nodeModules, 'package.json'))('puppeteer-core');
const scratch = mkdtempSync(path.join(os.tmpdir(), 'pitmix-web-bench-'));
const runs = Number(process.env.PITMIX_BENCH_RUNS ?? 3);

// The folder: a season of setups on 20 tracks, 5,000 other files beside
// them, and one file of 50 MB beside the season.
const root = path.join(scratch, 'GP3 setups');
const season = path.join(root, 'Season');
const samples = ['gp2-setup.bin', 'gp3-setup.bin', 'gp3-2000-setup.bin', 'gp4-setup.bin'].map((name) => readFileSync(path.join(examples, name)));
const files = [];
function add(at, bytes) {
  mkdirSync(path.dirname(path.join(root, at)), { recursive: true });
  writeFileSync(path.join(root, at), bytes);
  files.push(path.join(root, at));
}
for (let i = 0; i < Number(setupCount); i++) add(`Season/Track ${String(i % 20).padStart(2, '0')}/setup ${i}.bin`, samples[i % 4]);
const others = Math.round(Number(setupCount) / 4);
for (let i = 0; i < others; i++) add(`Season/Track ${String(i % 20).padStart(2, '0')}/notes ${i}.txt`, 'two stops, soft tyres\n'.repeat(20));
add('replay.dat', Buffer.alloc(50 << 20, 0x5a));

// The floors: a bare page with a file input that reads every file's first
// bytes, by slice() (the usual way) or, as the page reads them, by a
// stream up to the end of a small file; as many at once as the page reads
// (all 20,000 at once, Chromium does not finish the slice() reads in
// minutes).
const floor = (read) => `<!doctype html><meta charset="utf-8"><input type="file" multiple><p id="status"></p><script>
document.querySelector('input').addEventListener('change', async (event) => {
  const files = [...event.target.files];
  let next = 0;
  const worker = async () => {
    while (next < files.length) await (${read})(files[next++]);
  };
  await Promise.all(Array.from({ length: 256 }, worker));
  document.getElementById('status').textContent = 'files added.';
});</script>`;
writeFileSync(path.join(scratch, 'floor-slice.html'), floor('(file) => file.slice(0, 92).arrayBuffer()'));
writeFileSync(path.join(scratch, 'floor-stream.html'), floor(`async (file) => {
    const reader = file.stream().getReader();
    for (let length = 0; length <= 92;) {
      const { done, value } = await reader.read();
      if (done) break;
      length += value.length;
    }
    reader.cancel();
  }`));

// The bare page for a folder: Open finds every handle below the folder it
// is given and reads each file's first bytes, 256 at once, as the page
// reads them (and keeps the setups' handles and bytes); Save writes each
// setup with createWritable(), as many at once as the page writes (its
// writesAtOnce); One writes one of them; Restore writes each back with the
// bytes it held when opened (from memory).
writeFileSync(path.join(scratch, 'floor-folder.html'), `<!doctype html><meta charset="utf-8">
<button id="open">Open</button><button id="save">Save</button><button id="one">One</button><button id="restore">Restore</button>
<p id="status"></p><script>
let setups = [];
const say = (text) => { document.getElementById('status').textContent = text; };
document.addEventListener('dragover', (event) => event.preventDefault());
async function walk(folder, found) {
  for await (const handle of folder.values()) {
    if (handle.kind === 'directory') await walk(handle, found);
    else found.push(handle);
  }
}
async function firstBytes(handle) {
  const reader = (await handle.getFile()).stream().getReader();
  const chunks = [];
  for (let length = 0; length <= 92;) {
    const { done, value } = await reader.read();
    if (done) break;
    chunks.push(value);
    length += value.length;
  }
  reader.cancel();
  return new Uint8Array(await new Blob(chunks).arrayBuffer()).slice(0, 92);
}
async function atOnce(items, task) {
  let next = 0;
  const worker = async () => {
    while (next < items.length) await task(items[next++]);
  };
  await Promise.all(Array.from({ length: 256 }, worker));
}
async function write({ handle, bytes }) {
  const writable = await handle.createWritable();
  await writable.write(bytes);
  await writable.close();
}
document.getElementById('open').addEventListener('click', async () => {
  const handles = [];
  await walk(await window.showDirectoryPicker(), handles);
  const read = [];
  await atOnce(handles, async (handle) => read.push({ handle, bytes: await firstBytes(handle) }));
  setups = read.filter(({ handle }) => handle.name.endsWith('.bin'));
  say('files opened.');
});
document.getElementById('save').addEventListener('click', async () => {
  await atOnce(setups, write);
  say('files written.');
});
document.getElementById('one').addEventListener('click', async () => {
  await write(setups[0]);
  say('one file written.');
});
document.getElementById('restore').addEventListener('click', async () => {
  await atOnce(setups, write);
  say('files restored.');
});</script>`);

// Chromium, with a profile that lets file: pages write to a folder they are given.
const downloads = path.join(scratch, 'downloads');
mkdirSync(downloads);
const launch = (name, options) => puppeteer.launch({
  executablePath: chromium, userDataDir: writableProfile(path.join(scratch, name), options),
  downloadBehavior: { policy: 'allow', downloadPath: downloads }, protocolTimeout: 0,
  args: [...(process.getuid() === 0 ? ['--no-sandbox'] : []), '--disable-gpu', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
let browser = await launch('profile');

// Every page notes when a click or a change starts a step and when the
// status line says it is done.
function watch() {
  window.started = 0;
  window.longTasks = [];
  window.longFrames = [];
  new PerformanceObserver((list) => window.longTasks.push(...list.getEntries().map((entry) => entry.duration)))
    .observe({ type: 'longtask', buffered: true });
  // How long each script ran in each long frame (those of 5 ms or more).
  new PerformanceObserver((list) => window.longFrames.push(...list.getEntries().map((frame) => frame.scripts.map((script) => script.duration))))
    .observe({ type: 'long-animation-frame', buffered: true });
  // The page's own click on a download link is not a step's start.
  for (const type of ['click', 'change']) {
    document.addEventListener(type, (event) => {
      if (!event.target.closest?.('a')) window.started = performance.now();
    }, true);
  }
  window.waitForStatus = (source, id = 'status') => new Promise((resolve) => {
    const status = () => (id === 'others' ? document.querySelector('#others .pager span') : document.getElementById(id));
    const check = () => new RegExp(source).test(status()?.textContent) && (observer.disconnect(), resolve(performance.now() - window.started));
    const observer = new MutationObserver(check);
    // Only what the step changes counts: the line may still say what the step before did.
    observer.observe(status(), { subtree: true, childList: true, characterData: true });
  });
}

async function open(file) {
  await page?.close();
  page = await browser.newPage();
  await page.evaluateOnNewDocument(watch);
  await page.evaluateOnNewDocument(pickerFromDrop);
  await page.goto(pathToFileURL(file).href);
  return page;
}

// Runs a step: act() starts it, the status line's pattern ends it. Returns
// its time in the page and its longest main-thread tasks, the page's own
// and the driver's (the protocol command that hands the page 20,000 files
// is the driver's). A trace of a long step would not fit in memory: there
// the page's own long-task entries tell, which count tasks of 50 ms and
// more.
async function step(page, act, done, traced = true, id = 'status') {
  if (process.env.PITMIX_BENCH_VERBOSE) console.error(`step until ${done}`);
  // Each step starts once the page is idle: what the step before left it doing is not this one's.
  await page.waitForFunction(() => !document.documentElement.dataset.ready || document.documentElement.dataset.work === '', { timeout: 0 });
  // Only the page's tasks and the driver's commands: all of the timeline
  // for 20,000 files is more than a string can hold.
  if (traced) await page.tracing.start({ categories: ['-*', 'disabled-by-default-devtools.timeline', 'devtools'] });
  await page.evaluate(() => { window.longTasks = []; window.longFrames = []; });
  const finished = page.evaluate((source, id) => window.waitForStatus(source, id), done.source, id);
  await act();
  const time = await finished;
  if (!traced) {
    const { longTasks, longFrames } = await page.evaluate(() => ({ longTasks: window.longTasks, longFrames: window.longFrames }));
    const script = most(longFrames.flat());
    return { time, longest: most(longTasks), driver: 0, traced, count: longTasks.length, script };
  }
  const trace = JSON.parse(Buffer.from(await page.tracing.stop()).toString()).traceEvents;
  const main = new Set(trace.filter((e) => e.name === 'thread_name' && e.args.name === 'CrRendererMain').map((e) => `${e.pid}:${e.tid}`));
  const tasks = trace.filter((e) => e.name === 'RunTask' && e.dur !== undefined && main.has(`${e.pid}:${e.tid}`));
  const driver = trace.filter((e) => e.name === 'DevToolsSession::DispatchProtocolCommand').map((e) => e.ts);
  const longest = (list) => most(list.map((e) => e.dur / 1000));
  const byDriver = (e) => driver.some((ts) => ts >= e.ts && ts <= e.ts + e.dur);
  return { time, longest: longest(tasks.filter((e) => !byDriver(e))), driver: longest(tasks.filter(byDriver)), traced };
}

// The largest of many numbers (a trace has too many to spread), or 0.
function most(numbers) {
  return numbers.reduce((a, b) => Math.max(a, b), 0);
}

const click = (page, text) => page.evaluate((text) =>
  [...document.querySelectorAll('button, a, label')].find((node) => node.textContent.trim() === text).click(), text);
const pick = async (page) => (await page.$('input[type=file]')).uploadFile(...files);
async function fillStops(page, values) {
  for (const [i, value] of values.entries()) await page.type(`#stop${i + 1}`, value);
}

const results = { 'floor, slice()': [], 'floor, stream': [], 'add, picker': [] };
let page;
for (let run = 0; run < runs; run++) {
  for (const [name, file] of [['floor, slice()', 'floor-slice.html'], ['floor, stream', 'floor-stream.html'], ['add, picker', pagePath]]) {
    await open(path.isAbsolute(file) ? file : path.join(scratch, file));
    results[name].push(await step(page, () => pick(page), /added\.$/));
  }
}
// The page that added last goes on: patch, and the zip of all.
await fillStops(page, ['25', '50', '75']);
results.patch = [await step(page, () => click(page, 'Patch'), /^Patched/)];
results.zip = [await step(page, () => click(page, 'Download all'), /^The zip holds/)];
for (let tries = 0; tries < 600 && !readdirSync(downloads).some((name) => name.endsWith('.zip')); tries++) await new Promise((r) => setTimeout(r, 100));
// Each setup its own stops: a search typed key by key finds a tenth of
// the files (those whose number ends in 0), which are given stops of their
// own at once; then all are patched, with their own stops or the common ones.
const found = `${(Number(setupCount) / 10).toLocaleString('en-US')} of ${files.length.toLocaleString('en-US')} files found.`;
results.search = [await step(page, () => page.type('#find', '0.bin'), new RegExp(`^${found}$`), true, 'found')];
await page.type('#stops-found', '20 40');
results['own stops'] = [await step(page, () => click(page, 'Give them these stops'), /found have/)];
await page.$eval('#find', (field) => {
  field.value = '';
  field.dispatchEvent(new Event('input'));
});
await page.waitForFunction(() => document.getElementById('found').textContent === '');
results['patch, mixed'] = [await step(page, () => click(page, 'Patch'), /^Patched/)];
// The others keep the strategy they have: only the tenth with stops of their own is patched.
results['choose: keep'] = [await step(page, () => click(page, 'Keep the strategy they have'), /^The choice changed/)];
results['patch, keeping'] = [await step(page, () => click(page, 'Patch'), /^Patched/)];
results['choose: get'] = [await step(page, () => click(page, 'Get the stops above'), /^The choice changed/)];

// The season opened with write access, patched, saved over, one file put
// back, all put back; then the folder that holds it opened. Beside each,
// the bare page does the same to the browser.
await open(pagePath);
await dropFolder(page, season);
results['add, folder'] = [await step(page, () => click(page, 'Open setup folder'), /added\.$/, false)];
await fillStops(page, ['30', '60']);
results['patch, folder'] = [await step(page, () => click(page, 'Patch'), /^Patched/)];
results.save = [await step(page, () => click(page, 'Save over the originals'), /^Saved/, false)];
const restoreOne = await page.evaluate(() => document.querySelector('#items button[data-act="restore"]').textContent);
results['restore one'] = [await step(page, () => click(page, restoreOne), /^Restored 1 of 1 file\.$/, false)];
results.restore = [await step(page, () => click(page, 'Restore the originals'), /^Restored/, false)];
await dropFolder(page, root);
results['add, parent'] = [await step(page, () => click(page, 'Open setup folder'), /added\.$/, false)];
// The parent's other files: the notes and the file of 50 MB.
if (others > 1000) results['other files, next'] = [await step(page, () => page.evaluate(() => {
  document.getElementById('others').open = true;
  document.querySelector('#others .pager button:last-child').click();
}), new RegExp(`^Files 1,001 to 2,000 of ${(others + 1).toLocaleString('en-US')}$`), true, 'others')];
// The bare page: as the browser is, and then without its safe-browsing check.
const bare = async (prefix, parent) => {
  await open(path.join(scratch, 'floor-folder.html'));
  await dropFolder(page, season);
  results[`${prefix}open`] = [await step(page, () => click(page, 'Open'), /opened\.$/, false)];
  results[`${prefix}save`] = [await step(page, () => click(page, 'Save'), /written\.$/, false)];
  results[`${prefix}one`] = [await step(page, () => click(page, 'One'), /one file written\.$/, false)];
  if (!parent) return;
  results[`${prefix}restore`] = [await step(page, () => click(page, 'Restore'), /restored\.$/, false)];
  await dropFolder(page, root);
  results[`${prefix}open parent`] = [await step(page, () => click(page, 'Open'), /opened\.$/, false)];
};
await bare('bare, ', true);
const version = await browser.version();
await page.close();
page = null;
await browser.close();
browser = await launch('no safe browsing', { safeBrowsing: false });
await bare('bare, unchecked, ', false);
await browser.close();

const median = (list) => [...list].sort((a, b) => a - b)[Math.floor(list.length / 2)];
const ms = (value) => `${Math.round(value).toLocaleString('en-US')} ms`;
const longest = (list) => Math.max(...list.map((r) => r.longest));
const shownLongest = (list) => (list[0].traced || longest(list) > 0 ? ms(longest(list)) : 'none of 50 ms');
console.log(`${files.length.toLocaleString('en-US')} files (${setupCount} setups, one of 50 MB), headless ${version}, ${runs} runs of adding`);
console.log(`${'step'.padEnd(26)} ${'time (median)'.padStart(13)}   ${'longest task'.padStart(13)}   ${'longest script'.padStart(14)}   driver's longest task`);
for (const [name, list] of Object.entries(results)) {
  const [first] = list;
  const script = first.traced ? '' : first.script ? ms(first.script) : 'none of 5 ms';
  const driver = first.traced ? ms(Math.max(...list.map((r) => r.driver))) : '';
  console.log(`${name.padEnd(26)} ${ms(median(list.map((r) => r.time))).padStart(13)}   ${shownLongest(list).padStart(13)}   ${script.padStart(14)}   ${driver.padStart(10)}`);
}
// Where the page's long-task entries count: how many.
for (const [name, [result]] of Object.entries(results).filter(([, [result]]) => !result.traced)) console.log(`${name}: ${result.count} tasks of 50 ms or more`);
const adding = median(results['add, picker'].map((r) => r.time));
for (const name of ['floor, slice()', 'floor, stream']) console.log(`adding / ${name}: ${(adding / median(results[name].map((r) => r.time))).toFixed(2)}`);
// Each long step of the page beside the bare page's: time, and longest task (a bare page with no task of
// 50 ms or more counts as 50 ms).
const ratio = (a, b) => (a / b).toFixed(2);
for (const [step, floor] of [['add, folder', 'bare, open'], ['save', 'bare, save'], ['save', 'bare, unchecked, save'],
  ['restore one', 'bare, one'], ['restore', 'bare, restore'], ['add, parent', 'bare, open parent']]) {
  const [mine] = results[step];
  const [theirs] = results[floor];
  console.log(`${step} / ${floor}: time ${ratio(mine.time, theirs.time)}, longest task ${ratio(Math.max(mine.longest, 50), Math.max(theirs.longest, 50))}` +
    `${step === 'restore one' ? `, ${ms(mine.time - theirs.time)} more` : ''}`);
}
console.log(`the safe-browsing check in a bare save: ${ms(results['bare, save'][0].time - results['bare, unchecked, save'][0].time)}, ` +
  `${ratio(results['bare, save'][0].time, results['bare, unchecked, save'][0].time)} of its time without it`);
rmSync(scratch, { recursive: true, force: true });

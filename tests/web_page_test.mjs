// The browser page in headless Chromium or Firefox (PITMIX_BROWSER), driven
// through its labels as a user would, and compared with the command line
// run on copies of the same files. Settings come from the environment (see
// tests/CMakeLists.txt).
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, readdirSync, renameSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { after, afterEach, before, test } from 'node:test';
import { pathToFileURL } from 'node:url';
import { dropFolder, pickerFromDrop, writableProfile } from './chromium_folder.mjs';

const { PITMIX_PAGE, PITMIX_EXE, PITMIX_EXAMPLES, PITMIX_NODE_MODULES, PITMIX_BROWSER, PITMIX_BROWSER_EXE, PITMIX_SCREENSHOT } = process.env;
const need = createRequire(path.join(PITMIX_NODE_MODULES, 'package.json'));
const puppeteer = need('puppeteer-core');
const axeSource = readFileSync(need.resolve('axe-core/axe.min.js'), 'utf8');
const chromium = PITMIX_BROWSER === 'chromium';
const scratch = mkdtempSync(path.join(os.tmpdir(), 'pitmix-page-'));
const downloads = path.join(scratch, 'downloads');
const sample = (name) => readFileSync(path.join(PITMIX_EXAMPLES, name));

function withByte(bytes, offset, value) {
  const copy = Buffer.from(bytes);
  copy[offset] = value;
  return copy;
}

// What each item must say before patching; setups carry what the file holds.
const files = {
  'gp2-setup.bin': [sample('gp2-setup.bin'), 'GP2, checksums correct, a 1 stop strategy with a pitstop at 50% of the total race distance.'],
  'gp3-setup.bin': [sample('gp3-setup.bin'), 'GP3, checksums correct, a 2 stop strategy with pitstops at 33% and 66% of the total race distance.'],
  'gp3-2000-setup.bin': [sample('gp3-2000-setup.bin'), 'GP3-2000, checksums correct, a 1 stop strategy with a pitstop at 45% of the total race distance.'],
  'gp4-setup.bin': [sample('gp4-setup.bin'), 'GP4, checksums correct, a 3 stop strategy with pitstops at 24%, 50%, and 76% of the total race distance.'],
  'Süd Café.bin': [withByte(sample('gp3-setup.bin'), 90, 0), 'GP3, checksums wrong, a 2 stop strategy with pitstops at 33% and 66% of the total race distance.'],
  'seven stops.bin': [withByte(sample('gp2-setup.bin'), 42, 7), 'GP2, checksums wrong, a 7 stop strategy'],
  'notes.txt': [Buffer.from('Monza: two stops, soft tyres.\n'.repeat(3)), 'not a GPx car setup file'],
  'kind 4.bin': [withByte(sample('gp4-setup.bin'), 4, 4), 'not a car setup file'],
  'short.bin': [Buffer.alloc(31, 0xbe), 'unexpected end of file'],
  'large.bin': [Buffer.concat([sample('gp3-setup.bin'), Buffer.alloc(1 << 20)]), 'not a GPx car setup file'],
};
const setups = Object.keys(files).filter((name) => /^GP/.test(files[name][1]));
const dropped = ['Süd Café.bin', 'kind 4.bin'];

// A folder as a player keeps it: setups of the same name on two tracks,
// and the game's other files beside them.
const folder = {
  'Monza/race.bin': 'gp3-setup.bin', 'Monza/qualifying.bin': 'gp3-2000-setup.bin', 'Spa/race.bin': 'gp4-setup.bin',
  'Spa/Wet/race.bin': 'gp2-setup.bin', 'notes.txt': 'notes.txt', 'Spa/replay.dat': 'large.bin',
};
const folderSetups = ['Monza/qualifying.bin', 'Monza/race.bin', 'Spa/Wet/race.bin', 'Spa/race.bin'];
function makeFolder(name) {
  const root = path.join(scratch, name);
  for (const [at, from] of Object.entries(folder)) {
    mkdirSync(path.dirname(path.join(root, at)), { recursive: true });
    writeFileSync(path.join(root, at), files[from][0]);
  }
  return root;
}
const folderBytes = (root) => Object.fromEntries(Object.keys(folder).map((at) => [at, readFileSync(path.join(root, at))]));

// Each file's bytes and report after the command line patched a copy; the
// name is the path from the folder it runs in.
function commandLine(name, percentages, bytes = files[name][0]) {
  const cwd = mkdtempSync(path.join(scratch, 'cli-'));
  mkdirSync(path.dirname(path.join(cwd, name)), { recursive: true });
  writeFileSync(path.join(cwd, name), bytes);
  const out = execFileSync(PITMIX_EXE, [name, ...percentages], { cwd, encoding: 'utf8' });
  return { report: out.slice(out.indexOf('\n') + 1).trimEnd(), bytes: readFileSync(path.join(cwd, name)) };
}

let browser;
before(async () => {
  for (const [name, [bytes]] of Object.entries(files)) writeFileSync(path.join(scratch, name), bytes);
  mkdirSync(downloads);
  const downloadBehavior = { policy: 'allow', downloadPath: downloads };
  if (chromium) {
    const profile = writableProfile(path.join(scratch, 'profile'));
    browser = await puppeteer.launch({
      executablePath: PITMIX_BROWSER_EXE, userDataDir: profile, downloadBehavior,
      args: [...(process.getuid() === 0 ? ['--no-sandbox'] : []), '--disable-gpu', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
  } else {
    // Firefox's downloads panel would take the keyboard from the page.
    browser = await puppeteer.launch({ browser: 'firefox', executablePath: PITMIX_BROWSER_EXE, downloadBehavior,
      extraPrefsFirefox: { 'browser.download.alwaysOpenPanel': false } });
  }
});
after(async () => {
  await browser?.close();
  rmSync(scratch, { recursive: true, force: true });
});

// A fresh page; every request it makes is kept, to show it asks for
// nothing from the network. A script can run in it before the page's own.
const pages = [];
afterEach(async () => {
  while (pages.length) await pages.pop().close();
});
async function openPage(requests = [], first = null) {
  const page = await browser.newPage();
  pages.push(page);
  await page.setViewport({ width: 900, height: 700 });
  page.on('request', (request) => requests.push(request.url()));
  if (first) await page.evaluateOnNewDocument(first);
  await page.goto(pathToFileURL(PITMIX_PAGE).href);
  return page;
}

// The page's controls, found as a user finds them: by label, by name.
const control = (page, label) => page.evaluateHandle((label) =>
  [...document.querySelectorAll('label')].find((node) => node.textContent.trim() === label)?.control, label);
const byName = (page, selector, name) => page.evaluateHandle((selector, name) =>
  [...document.querySelectorAll(selector)].find((node) => node.textContent.trim() === name && node.checkVisibility()), selector, name);
const button = (page, name) => byName(page, 'button', name);
const link = (page, name) => byName(page, 'a', name);
const shown = async (page, selector, name) => (await (await byName(page, selector, name)).evaluate((node) => !!node));
// Each item's text by its name, folder groups included; each report by name.
const items = (page) => page.evaluate(() => Object.fromEntries([...document.querySelectorAll('li')]
  .map((li) => [li.querySelector('.name').textContent, li.textContent.slice(li.querySelector('.name').textContent.length + 1)])));
const reports = (page) => page.evaluate(() => Object.fromEntries([...document.querySelectorAll('li')]
  .filter((li) => li.querySelector('.report')).map((li) => [li.querySelector('.name').textContent, li.querySelector('.report').textContent])));
async function waitForStatus(page, pattern) {
  const now = () => page.$eval('[role="status"]', (node) => node.textContent);
  await page.waitForFunction((source) => new RegExp(source).test(document.querySelector('[role="status"]').textContent),
    { timeout: 20000 }, pattern.source).catch(async () => assert.fail(`status "${await now()}", not ${pattern}`));
}

async function pick(page, names) {
  await (await control(page, 'Setup files')).uploadFile(...names.map((name) => path.join(scratch, name)));
  await waitForStatus(page, /added\.$/);
}

async function drop(page, names) {
  const payload = names.map((name) => ({ name, bytes: [...files[name][0]] }));
  await page.evaluate((payload) => {
    const transfer = new DataTransfer();
    for (const { name, bytes } of payload) transfer.items.add(new File([new Uint8Array(bytes)], name));
    document.querySelector('h1').dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
  }, payload);
  await waitForStatus(page, /added\.$/);
}

async function fillStops(page, values) {
  for (const [i, value] of values.entries()) {
    const field = await control(page, `Stop ${i + 1} (%)`);
    await field.evaluate((node) => node.select());
    if (value === '') await field.press('Backspace');
    else await field.type(value);
  }
}

async function press(page, name, done = /./) {
  await (await button(page, name)).click();
  if (done) await waitForStatus(page, done);
}

// Clicks a download link and returns the bytes the browser saved.
async function download(page, name) {
  const before = new Set(readdirSync(downloads));
  await (await link(page, name)).click();
  for (let tries = 0; tries < 200; tries++) {
    const saved = readdirSync(downloads).find((file) => !before.has(file) && !/\.(crdownload|part)$/.test(file));
    if (saved && statSync(path.join(downloads, saved)).size > 0) {
      const kept = path.join(scratch, `download-${tries}-${Date.now()}`);
      renameSync(path.join(downloads, saved), kept);
      return { name: saved, bytes: readFileSync(kept), path: kept };
    }
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  throw new Error(`nothing downloaded for ${name}`);
}

const zipNames = (zip) => execFileSync('unzip', ['-Z1', zip], { encoding: 'utf8' }).trim().split('\n').sort();

async function audit(page, state) {
  await page.evaluate(axeSource);
  const violations = await page.evaluate(async () => (await window.axe.run(document)).violations
    .map((violation) => `${violation.id}: ${violation.nodes.map((node) => node.target).join(', ')}`));
  assert.deepEqual(violations, [], state);
}

test('describes each file, then patches and zips exactly as the command line does', async () => {
  const requests = [];
  const page = await openPage(requests);
  await audit(page, 'empty');
  await pick(page, Object.keys(files).filter((name) => !dropped.includes(name)));
  await drop(page, dropped);
  const listed = await items(page);
  for (const [name, [, holds]] of Object.entries(files)) assert.equal(listed[name], holds, name);
  await audit(page, 'with files');

  await fillStops(page, ['25', '50', '75']);
  await press(page, 'Patch', /^Patched/);
  const expected = Object.fromEntries(setups.map((name) => [name, commandLine(name, ['25', '50', '75'])]));
  assert.deepEqual(await reports(page), Object.fromEntries(setups.map((name) => [name, expected[name].report])));
  for (const name of setups) {
    const saved = await download(page, `Download ${name}`);
    assert.deepEqual(saved.bytes, expected[name].bytes, name);
  }
  for (const name of Object.keys(files).filter((name) => !setups.includes(name))) assert.ok(!(await shown(page, 'a', `Download ${name}`)), name);
  await audit(page, 'patched');

  const zip = await download(page, 'Download all');
  assert.deepEqual(zipNames(zip.path), [...setups].sort());
  for (const name of setups) assert.deepEqual(execFileSync('unzip', ['-p', zip.path, name]), expected[name].bytes, name);
  assert.deepEqual(requests.filter((url) => !/^(file|blob|data):/.test(url)), []);
});

test('a strategy that is refused, or an edit, withdraws every patched copy; empty fields mean no stops', async () => {
  const cases = [
    [['256'], 1], [['-1'], 1], [['2.5'], 1], [['abc'], 1], [['', '50'], 1], [['10', '', '30'], 2], [['50', '50', '1e2'], 3],
  ];
  const page = await openPage();
  await pick(page, ['gp3-setup.bin', 'gp4-setup.bin']);
  const nothingPatched = async (what) => {
    assert.equal(await page.$$eval('.report', (nodes) => nodes.length), 0, what);
    assert.equal(await page.$$eval('a', (nodes) => nodes.filter((node) => node.textContent.startsWith('Download')).length), 0, what);
  };
  for (const [values, wrongField] of cases) {
    await fillStops(page, ['25', '50', '75']);
    await press(page, 'Patch', /^Patched/);
    await fillStops(page, [...values, '', '', ''].slice(0, 3));
    // From the keyboard: Enter on the focused button.
    await (await button(page, 'Patch')).focus();
    await page.keyboard.press('Enter');
    await waitForStatus(page, /^Nothing was patched/);
    const field = await control(page, `Stop ${wrongField} (%)`);
    assert.equal(await field.evaluate((node) => node.getAttribute('aria-invalid')), 'true', values.join(' '));
    assert.notEqual(await field.evaluate((node) => document.getElementById(node.getAttribute('aria-describedby')).textContent), '');
    await nothingPatched(values.join(' '));
  }
  await audit(page, 'a refused strategy');
  await fillStops(page, ['30', '60', '']);
  await press(page, 'Patch', /^Patched/);
  await fillStops(page, ['31']);
  await nothingPatched('after an edit');
  await fillStops(page, ['', '', '']);
  await press(page, 'Patch', /^Patched/);
  assert.equal((await reports(page))['gp3-setup.bin'], commandLine('gp3-setup.bin', []).report);
});

test('fits in 64 KiB and on a 360 px screen', async () => {
  assert.ok(statSync(PITMIX_PAGE).size <= 64 * 1024);
  const page = await openPage();
  await pick(page, [...Object.keys(files).filter((name) => name.endsWith('-setup.bin')), 'notes.txt']);
  await fillStops(page, ['25', '50', '75']);
  await press(page, 'Patch', /^Patched/);
  if (PITMIX_SCREENSHOT && chromium) await page.screenshot({ path: PITMIX_SCREENSHOT, fullPage: true });
  await page.setViewport({ width: 360, height: 640 });
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth) <= 360);
});

test('opens a folder with write access, saves over the originals and restores them', { skip: !chromium }, async () => {
  const root = makeFolder('with write access');
  const page = await openPage([], pickerFromDrop);
  await press(page, 'Open setup folder', /^No folder was opened: .*refused.*"Setup files"/);
  await dropFolder(page, root);
  assert.equal(await page.evaluate(async () => (await window.droppedFolder()).queryPermission({ mode: 'readwrite' })), 'granted');
  await press(page, 'Open setup folder', /added\.$/);
  const listed = await page.evaluate(() => [...document.querySelectorAll('#items .name')].map((node) => node.textContent));
  assert.deepEqual(listed, folderSetups);
  assert.ok(await shown(page, 'summary', 'Other files (2)'));
  assert.equal((await items(page))['Spa/replay.dat'], 'not a GPx car setup file');

  const original = folderBytes(root);
  const behindItsBack = 'Monza/qualifying.bin';
  writeFileSync(path.join(root, behindItsBack), files['gp4-setup.bin'][0]);
  await fillStops(page, ['30', '60']);
  await press(page, 'Patch', /^Patched 4/);
  await press(page, 'Save over the originals', /^3 of 4 files saved; 1 not/);
  const saved = folderBytes(root);
  for (const at of Object.keys(folder)) {
    const want = at === behindItsBack ? files['gp4-setup.bin'][0]
      : folderSetups.includes(at) ? commandLine(at, ['30', '60'], original[at]).bytes : original[at];
    assert.deepEqual(saved[at], want, at);
  }
  assert.match((await items(page))[behindItsBack], /Changed on disk since it was opened: not saved\.$/);
  assert.match((await items(page))['Spa/race.bin'], /Saved over the original\.$/);

  const zip = await download(page, 'Download all');
  assert.deepEqual(zipNames(zip.path), [...folderSetups].sort());
  await press(page, 'Restore the originals', /^3 of 3 files restored\.$/);
  assert.deepEqual(folderBytes(root), { ...original, [behindItsBack]: files['gp4-setup.bin'][0] });
});

test('opens a folder through the folder chooser where no folder can be written', { skip: !chromium }, async () => {
  const root = makeFolder('read only');
  const page = await openPage([], () => delete window.showDirectoryPicker);
  const [chooser] = await Promise.all([page.waitForFileChooser(), (await button(page, 'Open setup folder')).click()]);
  await chooser.accept([root]);
  await waitForStatus(page, /added\.$/);
  assert.deepEqual(await page.evaluate(() => [...document.querySelectorAll('#items .name')].map((node) => node.textContent)), folderSetups);
  await fillStops(page, ['40']);
  await press(page, 'Patch', /^Patched 4/);
  assert.ok(!(await shown(page, 'button', 'Save over the originals')));
  const race = await download(page, 'Download Spa/Wet/race.bin');
  assert.equal(race.name, 'race.bin');
  assert.deepEqual(race.bytes, commandLine('Spa/Wet/race.bin', ['40'], files['gp2-setup.bin'][0]).bytes);
});

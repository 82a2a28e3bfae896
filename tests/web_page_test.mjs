// The browser page in headless Chromium or Firefox, or in WebKit's
// MiniBrowser (PITMIX_BROWSER), driven through its labels as a user would,
// and compared with the command line run on copies of the same files.
// Settings come from the environment (see tests/CMakeLists.txt).
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, renameSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { after, afterEach, before, test } from 'node:test';
import { pathToFileURL } from 'node:url';
import { dropFolder, pickerFromDrop, writableProfile } from './chromium_folder.mjs';

const { PITMIX_PAGE, PITMIX_EXE, PITMIX_EXAMPLES, PITMIX_NODE_MODULES, PITMIX_BROWSER, PITMIX_BROWSER_EXE, PITMIX_SCREENSHOT } = process.env;
const need = createRequire(path.join(PITMIX_NODE_MODULES, 'package.json'));
const axeSource = readFileSync(need.resolve('axe-core/axe.min.js'), 'utf8');
const chromium = PITMIX_BROWSER === 'chromium';
const webkit = PITMIX_BROWSER === 'webkit';
const scratch = mkdtempSync(path.join(os.tmpdir(), 'pitmix-page-'));
// WebKit saves downloads in the XDG download folder of its own home.
const downloads = webkit ? path.join(scratch, 'home', 'Downloads') : path.join(scratch, 'downloads');
const sample = (name) => readFileSync(path.join(PITMIX_EXAMPLES, name));
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Waits until check() finds the state it looks for, and returns what it
// found. A test waits for the page's state, whatever the machine's speed:
// the guard only ends a test that would otherwise hang.
const guard = 5 * 60_000;
async function until(check, what) {
  for (const end = Date.now() + guard; ; await sleep(25)) {
    const found = await check();
    if (found) return found;
    if (Date.now() > end) assert.fail(`gave up waiting for ${typeof what === 'function' ? await what() : what}`);
  }
}

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
function makeFolder(at) {
  const root = path.join(scratch, at);
  for (const [inside, from] of Object.entries(folder)) {
    mkdirSync(path.dirname(path.join(root, inside)), { recursive: true });
    writeFileSync(path.join(root, inside), files[from][0]);
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
const patchedFolder = (original, percentages) => Object.fromEntries(Object.keys(folder).map((at) =>
  [at, folderSetups.includes(at) ? commandLine(at, percentages, original[at]).bytes : original[at]]));

// ---- The browsers, behind one small interface: a page can evaluate a
// function, find a control by its text or label, click it, type into it,
// hand it files, and press a key.

const freePort = () => new Promise((resolve) => {
  const server = net.createServer().listen(0, '127.0.0.1', () => {
    const { port } = server.address();
    server.close(() => resolve(port));
  });
});

async function launchPuppeteer() {
  const puppeteer = need('puppeteer-core');
  const downloadBehavior = { policy: 'allow', downloadPath: downloads };
  const browser = chromium
    ? await puppeteer.launch({
      executablePath: PITMIX_BROWSER_EXE, userDataDir: writableProfile(path.join(scratch, 'profile')), downloadBehavior,
      args: [...(process.getuid() === 0 ? ['--no-sandbox'] : []), '--disable-gpu', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    })
    // Firefox's downloads panel would take the keyboard from the page.
    : await puppeteer.launch({ browser: 'firefox', executablePath: PITMIX_BROWSER_EXE, downloadBehavior,
      extraPrefsFirefox: { 'browser.download.alwaysOpenPanel': false } });
  return {
    async open(requests, first) {
      const page = await browser.newPage();
      await page.setViewport({ width: 900, height: 700 });
      page.on('request', (request) => requests.push(request.url()));
      if (first) await page.evaluateOnNewDocument(first);
      await page.goto(pathToFileURL(PITMIX_PAGE).href);
      return {
        puppeteer: page,
        front: () => page.bringToFront(),
        evaluate: (fn, ...args) => page.evaluate(fn, ...args),
        find: async (fn, ...args) => (await page.evaluateHandle(fn, ...args)).asElement(),
        // Input goes to the page in front: a page behind draws no frames, and a click there would wait for one.
        // A click goes to the element itself, which takes the focus as under a pointer: a line the page
        // shows above it between finding it and clicking (a slow machine's frame) cannot make it miss.
        async click(element) {
          await page.bringToFront();
          await element.evaluate((node) => {
            node.focus();
            node.click();
          });
        },
        async type(element, text) {
          await page.bringToFront();
          await element.evaluate((node) => node.select());
          await (text === '' ? element.press('Backspace') : element.type(text));
        },
        upload: (element, paths) => element.uploadFile(...paths),
        key: (name) => page.keyboard.press(name),
        viewport: (width, height) => page.setViewport({ width, height }),
        screenshot: (file) => page.screenshot({ path: file, fullPage: true }),
        reload: () => page.reload(),
        close: () => page.close(),
      };
    },
    close: () => browser.close(),
  };
}

// WebKit: MiniBrowser under the WebKitGTK WebDriver, through classic
// WebDriver. Its X display is Xvfb's, started here.
async function launchWebKit() {
  const { Builder, Key } = need('selenium-webdriver');
  const home = path.join(scratch, 'home');
  mkdirSync(path.join(home, '.config'), { recursive: true });
  writeFileSync(path.join(home, '.config', 'user-dirs.dirs'), `XDG_DOWNLOAD_DIR="${downloads}"\n`);
  const children = [];
  const start = (command, args, env = {}) => {
    const child = spawn(command, args, { env: { ...process.env, ...env }, stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
    children.push(child);
    return child;
  };
  const xvfb = start('Xvfb', ['-displayfd', '3', '-nolisten', 'tcp', '-screen', '0', '1280x1024x24']);
  const display = await new Promise((resolve) => xvfb.stdio[3].once('data', (data) => resolve(`:${String(data).trim()}`)));
  const port = await freePort();
  start('WebKitWebDriver', [`--port=${port}`], { DISPLAY: display, HOME: home, XDG_DOWNLOAD_DIR: downloads });
  // The driver answers once it has started.
  const driver = await until(() => new Builder().usingServer(`http://127.0.0.1:${port}`).withCapabilities({
    browserName: 'MiniBrowser',
    'webkitgtk:browserOptions': { binary: PITMIX_BROWSER_EXE, args: ['--automation'] },
  }).build().catch(() => null), 'WebKitWebDriver');
  const evaluate = (fn, ...args) => driver.executeScript(typeof fn === 'string' ? fn : `return (${fn}).apply(null, arguments)`, ...args);
  return {
    async open(requests, first) {
      assert.equal(first, null, 'WebKit runs no script before the page');
      await driver.get(pathToFileURL(PITMIX_PAGE).href);
      await driver.manage().window().setRect({ width: 900, height: 700 });
      return {
        evaluate,
        find: evaluate,
        click: (element) => element.click(),
        async type(element, text) {
          await driver.executeScript('arguments[0].focus(); arguments[0].select()', element);
          await element.sendKeys(text === '' ? Key.BACK_SPACE : text);
        },
        upload: (element, paths) => element.sendKeys(paths.join('\n')),
        key: async (name) => driver.switchTo().activeElement().sendKeys(Key[name.toUpperCase()]),
        viewport: (width, height) => driver.manage().window().setRect({ width, height }),
        screenshot: async () => {},
        reload: () => driver.navigate().refresh(),
        close: async () => {},
      };
    },
    async close() {
      await driver.quit().catch(() => {});
      for (const child of children.reverse()) child.kill();
    },
  };
}

let browser;
before(async () => {
  for (const [name, [bytes]] of Object.entries(files)) writeFileSync(path.join(scratch, name), bytes);
  mkdirSync(downloads, { recursive: true });
  browser = await (webkit ? launchWebKit() : launchPuppeteer());
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
  const page = await browser.open(requests, first);
  pages.push(page);
  await loaded(page);
  return page;
}
const loaded = (page) => page.evaluate(() => new Promise((resolve) => {
  const ready = () => document.documentElement.dataset.ready || !document.getElementById('unsupported').hidden;
  const check = () => (ready() ? resolve() : setTimeout(check, 20));
  check();
}));

// The page's controls, found as a user finds them: by label, by name.
const control = (page, label) => page.find((label) =>
  [...document.querySelectorAll('label')].find((node) => node.textContent.trim() === label)?.control ?? null, label);
const button = (page, name) => page.find((name) =>
  [...document.querySelectorAll('button')].find((node) => node.textContent.trim() === name && node.checkVisibility()) ?? null, name);
const shown = async (page, name) => (await button(page, name)) !== null;
// A setup's own stops' field, by its accessible name.
const ownStops = (page, label) => page.find((label) => [...document.querySelectorAll('#items input')]
  .find((node) => node.getAttribute('aria-label') === `Stops for ${label}`) ?? null, label);
const focused = (page) => page.evaluate(() => document.activeElement.getAttribute('aria-label') ?? document.activeElement.textContent);
// Each item's text by its name, folder groups included; each report by name.
const items = (page) => page.evaluate(() => Object.fromEntries([...document.querySelectorAll('li[data-key]')]
  .map((li) => [li.querySelector('.name').textContent,
    [...li.childNodes].filter((node) => !node.matches?.('.name, .result')).map((node) => node.textContent).join('').trim()])));
const reports = (page) => page.evaluate(() => Object.fromEntries([...document.querySelectorAll('li')]
  .filter((li) => li.querySelector('.report')).map((li) => [li.querySelector('.name').textContent, li.querySelector('.report').textContent])));
const names = (page, list) => page.evaluate((list) => [...document.querySelectorAll(`${list} .name`)].map((node) => node.textContent), list);
const statusNow = (page) => page.evaluate(() => document.querySelector('[role="status"]').textContent);
const waitForStatus = (page, pattern) => until(async () => pattern.test(await statusNow(page)), async () => `${pattern}: the status says "${await statusNow(page)}"`);
// The page is idle: no work under way, and none about to start.
const idle = (page) => until(() => page.evaluate(() => document.documentElement.dataset.work === ''), 'the page to be idle');

async function pick(page, names) {
  await page.upload(await control(page, 'Setup files'), names.map((name) => path.join(scratch, name)));
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
  await page.front?.();
  for (const [i, value] of values.entries()) await page.type(await control(page, `Stop ${i + 1} (%)`), value);
}

async function press(page, name, done = /./) {
  await page.front?.();
  await page.click(await button(page, name));
  if (done) await waitForStatus(page, done);
}

// Presses a download button and returns the bytes the browser saved: the
// first new file, under its own name, of the size the page made (Firefox
// writes a download under another name first, then renames it).
async function download(page, name) {
  const before = new Set(readdirSync(downloads));
  await page.evaluate(() => {
    if (window.madeDownloads) return;
    window.madeDownloads = [];
    const make = URL.createObjectURL;
    URL.createObjectURL = (blob) => {
      if (blob.type !== 'text/javascript') window.madeDownloads.push(blob.size);
      return make(blob);
    };
  });
  await page.click(await button(page, name));
  const size = await until(() => page.evaluate(() => window.madeDownloads.shift()), `the page to make ${name}`);
  const saved = await until(() => readdirSync(downloads).find((at) => !before.has(at) && !/\.(crdownload|part|download)$/.test(at)
    && statSync(path.join(downloads, at), { throwIfNoEntry: false })?.size === size), `the download of ${name}`);
  const kept = path.join(scratch, `download-${Date.now()}-${Math.random()}`);
  renameSync(path.join(downloads, saved), kept);
  return { name: saved, bytes: readFileSync(kept), path: kept };
}

// The lines of the kept folders whose name begins with name (other tests keep folders too).
const keptLines = (page, name) => page.evaluate((name) => [...document.querySelectorAll('#kept li')]
  .map((li) => li.firstChild.textContent).filter((line) => line.startsWith(name)), name);
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
  // No control named "Download …" points anywhere before it is pressed.
  assert.deepEqual(await page.evaluate(() => [...document.querySelectorAll('a, [href]')]
    .filter((node) => /^Download/.test(node.textContent.trim())).length), 0);
  for (const name of setups) {
    const saved = await download(page, `Download ${name}`);
    assert.equal(saved.name, name);
    assert.deepEqual(saved.bytes, expected[name].bytes, name);
  }
  for (const name of Object.keys(files).filter((name) => !setups.includes(name))) assert.ok(!(await shown(page, `Download ${name}`)), name);
  await audit(page, 'patched');

  // A zip that cannot be made says so, and can be asked for again.
  await page.evaluate(() => {
    window.RealBlob = Blob;
    window.Blob = function FailingBlob(parts, options) {
      if (options?.type === 'application/zip') throw new Error('no room left');
      return new window.RealBlob(parts, options);
    };
  });
  await press(page, 'Download all', /^The zip could not be made \(no room left\)\. Press "Download all" to try again\.$/);
  await page.evaluate(() => { window.Blob = window.RealBlob; });
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
    assert.equal(await page.evaluate(() => document.querySelectorAll('.report').length), 0, what);
    assert.equal(await page.evaluate(() => [...document.querySelectorAll('button')]
      .filter((node) => node.textContent.startsWith('Download') && node.checkVisibility()).length), 0, what);
  };
  for (const [values, wrongField] of cases) {
    await fillStops(page, ['25', '50', '75']);
    // Enter in a stop field patches.
    await page.key('Enter');
    await waitForStatus(page, /^Patched/);
    await fillStops(page, [...values, '', '', ''].slice(0, 3));
    // From the keyboard: Enter on the focused button.
    await page.evaluate(() => document.getElementById('patch').focus());
    await page.key('Enter');
    await waitForStatus(page, /^Nothing was patched/);
    const field = `stop${wrongField}`;
    assert.equal(await page.evaluate((id) => document.getElementById(id).getAttribute('aria-invalid'), field), 'true', values.join(' '));
    assert.notEqual(await page.evaluate((id) => document.getElementById(`${id}-error`).textContent, field), '');
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

test('each setup takes its own stops or the common ones; a wrong one is marked and can be reached', async () => {
  const page = await openPage();
  await pick(page, setups);
  // Own stops with each separator, none, 255 and spaces around; the others follow the common stops.
  const own = { 'gp2-setup.bin': ['30, 60', ['30', '60']], 'gp3-setup.bin': ['none', []], 'gp4-setup.bin': ['255% 0%,10%', ['255', '0', '10']],
    'Süd Café.bin': [' 7 ', ['7']] };
  for (const [name, [text]] of Object.entries(own)) await page.type(await ownStops(page, name), text);
  await fillStops(page, ['25', '50', '75']);
  await press(page, 'Patch', /^Patched 6 setup files\.$/);
  const expected = Object.fromEntries(setups.map((name) => [name, commandLine(name, own[name]?.[1] ?? ['25', '50', '75'])]));
  assert.deepEqual(await reports(page), Object.fromEntries(setups.map((name) => [name, expected[name].report])));
  assert.deepEqual((await download(page, 'Download gp4-setup.bin')).bytes, expected['gp4-setup.bin'].bytes);
  const zip = await download(page, 'Download all');
  for (const name of setups) assert.deepEqual(execFileSync('unzip', ['-p', zip.path, name]), expected[name].bytes, name);
  await audit(page, 'own stops set');

  // A wrong value marks its field, nothing is patched, and the status line leads to it.
  // Leaving a wrong field marks it too; of two, the first in the list is the one the status line leads to.
  const [third, last] = [await ownStops(page, 'gp3-2000-setup.bin'), await ownStops(page, 'seven stops.bin')];
  const marked = (field) => page.evaluate((field) => [field.getAttribute('aria-invalid'),
    document.getElementById(field.getAttribute('aria-describedby')).textContent !== '', document.querySelectorAll('.report').length], field);
  await page.type(last, '300');
  await page.key('Tab');
  assert.deepEqual((await marked(last)).slice(0, 2), ['true', true]);
  for (const wrong of ['256', '1 2 3 4', 'abc', '-5', '10,,20']) {
    await page.type(third, wrong);
    await press(page, 'Patch', /^Nothing was patched: correct the 2 fields marked\./);
    assert.deepEqual(await marked(third), ['true', true, 0], wrong);
  }
  await press(page, 'Go to the first', null);
  assert.equal(await focused(page), 'Stops for gp3-2000-setup.bin');
  await audit(page, 'a wrong own stop marked');
  await page.type(last, '');
  await page.type(third, '');
  await page.key('Enter');
  await waitForStatus(page, /^Patched 6 setup files\.$/);

  // An edit of one file's stops takes back its copy alone; the common stops, those of the files that follow them.
  await page.type(await ownStops(page, 'gp2-setup.bin'), '40');
  assert.deepEqual(Object.keys(await reports(page)).sort(), setups.filter((name) => name !== 'gp2-setup.bin').sort());
  await fillStops(page, ['20']);
  assert.deepEqual(Object.keys(await reports(page)).sort(), ['gp3-setup.bin', 'gp4-setup.bin', 'Süd Café.bin'].sort());
  await press(page, 'Patch', /^Patched 6/);
  assert.equal((await reports(page))['gp2-setup.bin'], commandLine('gp2-setup.bin', ['40']).report);

  // The setups without stops of their own keep the strategy they have: only the others are patched,
  // the common stops are not used, and each empty field shows what its file holds.
  await page.click(await control(page, 'Keep the strategy they have'));
  await waitForStatus(page, /^The choice changed: press Patch to patch the files again\.$/);
  assert.deepEqual(Object.keys(await reports(page)).sort(), Object.keys(own).sort());
  await press(page, 'Patch', /^Patched 4 setup files\.$/);
  const kept = { 'gp3-2000-setup.bin': '45', 'seven stops.bin': 'as it is' };
  for (const [name, shows] of Object.entries(kept)) {
    assert.equal((await items(page))[name], `${files[name][1]}Keeps the strategy it has: ${files[name][1].split(', ').at(-1)}`, name);
    assert.equal(await page.evaluate((field) => field.placeholder, await ownStops(page, name)), shows);
    assert.ok(!(await shown(page, `Download ${name}`)), name);
  }
  assert.deepEqual(await page.evaluate(() => [...document.querySelectorAll('#stops input')].map((field) => field.disabled)), [true, true, true]);
  assert.deepEqual(zipNames((await download(page, 'Download all')).path), Object.keys(own).sort());
  await audit(page, 'the others keep their strategy');
  for (const name of Object.keys(own)) await page.type(await ownStops(page, name), '');
  await press(page, 'Patch', /^Nothing was patched: no setup has stops of its own\.$/);
  await page.click(await control(page, 'Get the stops above'));
  await press(page, 'Patch', /^Patched 6 setup files\.$/);
  assert.equal((await reports(page))['gp3-2000-setup.bin'], commandLine('gp3-2000-setup.bin', ['20', '50', '75']).report);
});

test('fits in 64 KiB and on a 360 px screen', async () => {
  assert.ok(statSync(PITMIX_PAGE).size <= 64 * 1024);
  const page = await openPage();
  await pick(page, [...Object.keys(files).filter((name) => name.endsWith('-setup.bin')), 'notes.txt']);
  await page.type(await ownStops(page, 'gp2-setup.bin'), '30 60');
  // An empty field shows the common stops.
  const placeholder = async () => page.evaluate((field) => field.placeholder, await ownStops(page, 'gp3-setup.bin'));
  assert.equal(await placeholder(), 'none');
  await fillStops(page, ['25', '50', '75']);
  assert.equal(await placeholder(), '25 50 75');
  await press(page, 'Patch', /^Patched/);
  if (PITMIX_SCREENSHOT && chromium) await page.screenshot(PITMIX_SCREENSHOT);
  await page.viewport(360, 640);
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= Math.max(360, window.innerWidth)));

  // A long list shows a thousand items at a time.
  await page.evaluate((bytes) => {
    const transfer = new DataTransfer();
    for (let i = 0; i < 1100; i++) transfer.items.add(new File([new Uint8Array(bytes)], `many ${String(i).padStart(4, '0')}.bin`));
    document.querySelector('h1').dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
  }, [...files['gp2-setup.bin'][0]]);
  await waitForStatus(page, /^1,100 files added\.$/);
  const onScreen = () => page.evaluate(() => [document.getElementById('page-text').textContent,
    ...[...document.querySelectorAll('#items .name')].filter((node) => node.checkVisibility()).map((node) => node.textContent)]);
  const first = await onScreen();
  assert.deepEqual([first[0], first.length, first[1], first.at(-1)], ['Files 1 to 1,000 of 1,105', 1001, 'gp2-setup.bin', 'many 0994.bin']);
  await press(page, 'Next', null);
  assert.deepEqual(await onScreen(), ['Files 1,001 to 1,105 of 1,105', ...Array.from({ length: 105 }, (_, i) => `many ${String(995 + i).padStart(4, "0")}.bin`)]);
  // The last page has no next one; the focus goes back to Previous.
  assert.deepEqual(await page.evaluate(() => [document.getElementById('next').disabled, document.activeElement.textContent]), [true, 'Previous']);

  // Items made when their page is shown say what Patch made of them, and nothing once it is taken back.
  const patchedOnScreen = () => page.evaluate(() => [...document.querySelectorAll('#items li')].filter((li) => li.checkVisibility()
    && li.querySelector('.report') && li.querySelector('button.download').textContent === `Download ${li.querySelector('.name').textContent}`).length);
  await press(page, 'Patch', /^Patched 1,104 setup files\.$/);
  assert.equal(await patchedOnScreen(), 105);
  await press(page, 'Previous', null);
  assert.equal(await patchedOnScreen(), 999);
  await fillStops(page, ['0']);
  await press(page, 'Next', null);
  assert.equal(await patchedOnScreen(), 0);

  // Found across pages, whatever the case, given own stops at once, patched with them; and a search with none.
  await page.type(await control(page, 'Find files'), 'MANY 105');
  await until(async () => (await onScreen())[0] === 'Files 1 to 10 of 10', 'ten files found');
  assert.deepEqual(await onScreen(), ['Files 1 to 10 of 10', ...Array.from({ length: 10 }, (_, i) => `many 105${i}.bin`)]);
  assert.equal(await page.evaluate(() => document.getElementById('found').textContent), '10 of 1,105 files found.');
  await page.type(await control(page, 'Stops for the files found'), '12 34');
  await press(page, 'Give them these stops', /^10 setup files found have stops at 12% and 34% of their own\.$/);
  assert.deepEqual(await page.evaluate(() => [...document.querySelectorAll('#items input')].map((field) => field.value)), Array(10).fill('12 34'));
  await audit(page, 'a search with results');
  await press(page, 'Patch', /^Patched 1,104/);
  const reportOf = (name, stops) => commandLine('gp2-setup.bin', stops).report.replace('gp2-setup.bin', name);
  assert.equal((await reports(page))['many 1057.bin'], reportOf('many 1057.bin', ['12', '34']));
  const find = async (text, found) => {
    await page.type(await control(page, 'Find files'), text);
    await until(async () => await page.evaluate(() => document.getElementById('found').textContent) === found, found);
  };
  await find('zzz', '0 of 1,105 files found.');
  await audit(page, 'a search with none');
  await find('notes', '1 of 1,105 files found.');
  // Every file found takes the stops given, on every page; the others keep theirs.
  await find('many', '1,100 of 1,105 files found.');
  await page.type(await control(page, 'Stops for the files found'), '7');
  await press(page, 'Give them these stops', /^1,100 setup files found have a stop at 7% of their own\. Press Patch/);
  await press(page, 'Patch', /^Patched 1,104/);
  assert.equal((await reports(page))['many 0000.bin'], reportOf('many 0000.bin', ['7']));
  await press(page, 'Next', null);
  assert.equal((await reports(page))['many 1099.bin'], reportOf('many 1099.bin', ['7']));
  await find('', '');
  assert.equal((await reports(page))['gp3-setup.bin'], commandLine('gp3-setup.bin', ['0', '50', '75']).report);
  assert.equal(await page.evaluate((field) => field.value, await ownStops(page, 'gp2-setup.bin')), '30 60');
  // A wrong field on another page is reached from the status line.
  await page.type(await ownStops(page, 'many 0001.bin'), 'x');
  await press(page, 'Next', null);
  await press(page, 'Patch', /^Nothing was patched: correct the 1 field marked\./);
  await press(page, 'Go to the first', null);
  assert.deepEqual([await focused(page), await page.evaluate(() => document.getElementById('page-text').textContent)],
    ['Stops for many 0001.bin', 'Files 1 to 1,000 of 1,105']);
  await page.click(await control(page, 'Only the marked files'));
  await audit(page, 'marked files shown');
});

// ---- Chromium: folders with write access, through a dropped folder
// standing in for the folder picker, and faults injected into the file
// system calls.

// Runs in the page before its own script, and in its worker before the
// worker's (which does its file and IndexedDB work): each file system step
// can be made to fail (faults[step] = a file name, or true for all; each
// failure counted in failures) or held (hold(step, name): a call that
// reaches it waits until the test releases it), and the writes begun and
// the durability of each transaction that changes what is kept are counted.
function injectFaults() {
  const here = globalThis;
  here.faults = here.initialFaults ?? JSON.parse(sessionStorage.faults ?? '{}');
  here.failures = {};
  here.writesBegun = 0;
  here.holds = new Map();
  here.hold = (step, names) => {
    for (const name of [names].flat()) {
      let release;
      const held = new Promise((resolve) => { release = resolve; });
      here.holds.set(`${step} ${name}`, { held, release, reached: 0 });
    }
  };
  here.release = (step, names) => {
    for (const name of [names].flat()) {
      here.holds.get(`${step} ${name}`)?.release();
      here.holds.delete(`${step} ${name}`);
    }
  };
  here.reached = (step, name) => here.holds.get(`${step} ${name}`)?.reached ?? 0;
  const held = async (step, name) => {
    const hold = here.holds.get(`${step} ${name}`) ?? here.holds.get(`${step} *`);
    if (!hold) return;
    hold.reached++;
    await hold.held;
  };
  const streams = new WeakMap();
  const fail = (step, name) => {
    if ([true, name].includes(here.faults[step] ?? false)) {
      here.failures[step] = (here.failures[step] ?? 0) + 1;
      throw new DOMException(`${step} failed`, 'NotReadableError');
    }
  };
  const wrap = (proto, method, before, after = (result) => result) => {
    const original = proto[method];
    proto[method] = async function wrapped(...args) {
      await before(this);
      return after(await original.apply(this, args), this);
    };
  };
  wrap(FileSystemFileHandle.prototype, 'getFile', async (handle) => {
    await held('getFile', handle.name);
    fail('getFile', handle.name);
  });
  wrap(FileSystemFileHandle.prototype, 'createWritable', (handle) => {
    fail('createWritable', handle.name);
    // The browser can take back its permission in the middle of a pass.
    if (here.faults.revoke === handle.name) {
      here.failures.revoke = 1;
      throw new DOMException('permission taken back', 'NotAllowedError');
    }
    here.writesBegun++;
  }, (stream, handle) => streams.set(stream, handle.name) && stream);
  wrap(FileSystemWritableFileStream.prototype, 'write', (stream) => fail('write', streams.get(stream)));
  // A close can fail before the new bytes are swapped in, or after (closeAfter).
  wrap(FileSystemWritableFileStream.prototype, 'close', async (stream) => {
    await held('close', streams.get(stream));
    fail('close', streams.get(stream));
  }, (result, stream) => {
    fail('closeAfter', streams.get(stream));
    return result;
  });
  // Where a directory lies in another can be slow to find: the page's steps must not overlap.
  wrap(FileSystemDirectoryHandle.prototype, 'resolve', () => held('resolve', '*'));
  // A subfolder can fail to be listed (values, by the subfolder's name).
  const values = FileSystemDirectoryHandle.prototype.values;
  FileSystemDirectoryHandle.prototype.values = function listed() {
    fail('values', this.name);
    return values.call(this);
  };
  // The durability every transaction that changes what is kept asked for.
  here.durabilities = [];
  const transaction = IDBDatabase.prototype.transaction;
  IDBDatabase.prototype.transaction = function counted(...args) {
    const made = transaction.apply(this, args);
    if (made.mode === 'readwrite') here.durabilities.push(made.durability);
    return made;
  };
  // What is kept: opening IndexedDB, reading, storing or dropping a record
  // (by the first part of its key: 'file' or 'folder') can fail, and a
  // commit abort, as a full quota aborts it.
  const methods = [[IDBFactory.prototype, 'open'], [IDBObjectStore.prototype, 'getAll'], [IDBObjectStore.prototype, 'put'], [IDBObjectStore.prototype, 'delete']];
  for (const [proto, method] of methods) {
    const original = proto[method];
    proto[method] = function stored(...args) {
      fail(method, (method === 'delete' ? args[0] : args[1])?.[0]);
      const request = original.apply(this, args);
      if (method === 'put' && [true, args[1][0]].includes(here.faults.commit)) {
        request.addEventListener('success', () => {
          // A full quota aborts the commit with this error.
          if (here.faults.full) Object.defineProperty(this.transaction, 'error', { value: new DOMException('', 'QuotaExceededError') });
          this.transaction.abort();
        });
      }
      return request;
    };
  }
  for (const method of ['queryPermission', 'requestPermission']) {
    const original = FileSystemHandle.prototype[method];
    if (!original) continue;
    FileSystemHandle.prototype[method] = function permission(...args) {
      return here.faults.permission ? Promise.resolve(method === 'queryPermission' ? 'prompt' : 'denied') : original.apply(this, args);
    };
  }
  // The page's worker runs this first, with the faults the page has when it makes the worker.
  if (here.document) {
    const make = URL.createObjectURL;
    URL.createObjectURL = (blob) => make(blob.type === 'text/javascript'
      ? new Blob([`globalThis.initialFaults = ${JSON.stringify(here.faults)}; (${injectFaults})();\n`, blob], { type: blob.type }) : blob);
  }
}
const folderPage = (faults = {}) => openPage([], `sessionStorage.faults = '${JSON.stringify(faults)}'; (${pickerFromDrop})(); (${injectFaults})();`);
// The page and its worker, where the faults are set and the steps held and counted.
const bothOf = async (page) => [page.puppeteer, await until(() => page.puppeteer.workers()[0], "the page's worker")];
const inBoth = async (page, fn, ...args) => Promise.all((await bothOf(page)).map((context) => context.evaluate(fn, ...args)));
const inWorker = async (page, fn) => (await bothOf(page))[1].evaluate(fn);
const setFaults = (page, faults) => inBoth(page, (faults) => { globalThis.faults = faults; }, faults);
// Holds a file system step of the page (for the files of a name, or every
// one: '*') until released; reached() waits until a call has reached it.
const hold = (page, step, names = '*') => inBoth(page, (step, names) => globalThis.hold(step, names), step, names);
const release = (page, step, names = '*') => inBoth(page, (step, names) => globalThis.release(step, names), step, names);
const reached = (page, step, name = '*') => until(async () => (await inBoth(page, (step, name) => globalThis.reached(step, name), step, name)).some((n) => n > 0),
  `${step} ${name} to be reached`);
const failed = (page, step) => until(async () => (await inBoth(page, (step) => globalThis.failures[step] > 0, step)).some(Boolean), `${step} to fail`);
const durabilities = (page) => inWorker(page, () => globalThis.durabilities);
const writesBegun = (page) => inWorker(page, () => globalThis.writesBegun);

async function openFolder(page, root, done = /added\.$/) {
  await page.front();
  await dropFolder(page.puppeteer, root);
  await press(page, 'Open setup folder', done);
}

test('opens a folder with write access, saves over the originals once, and restores them', { skip: !chromium }, async () => {
  const root = makeFolder('with write access');
  const page = await folderPage();
  await press(page, 'Open setup folder', /^No folder was opened: .*refused.*"Setup files"/);
  for (const name of ['race.bin.crswap', 'qualifying.bin.crswap']) writeFileSync(path.join(root, 'Spa', name), files['gp3-setup.bin'][0]);
  await openFolder(page, root);
  assert.deepEqual(await names(page, '#items'), folderSetups);
  assert.ok(await page.evaluate(() => document.querySelector('summary').textContent === 'Other files (2)'));
  assert.equal((await items(page))['Spa/replay.dat'], 'not a GPx car setup file');
  // What a crash left of a write is no file of the folder's; where no page writes, it can be removed.
  assert.equal((await items(page))['Spa/race.bin.crswap'], undefined);
  assert.match(await page.evaluate(() => document.getElementById('leftovers').textContent), /^\s*2 files in the open folders are left over/);
  await setFaults(page, { permission: true });
  await press(page, 'Remove the left-overs', /^Removed 0 left-over files\. 2 could not be removed: the browser may not write to the folder with write access\.$/);
  await setFaults(page, {});
  await press(page, 'Remove the left-overs', /^Removed 2 left-over files\.$/);
  assert.ok(!existsSync(path.join(root, 'Spa', 'race.bin.crswap')) && !(await shown(page, 'Remove the left-overs')));

  const original = folderBytes(root);
  const behindItsBack = 'Monza/qualifying.bin';
  writeFileSync(path.join(root, behindItsBack), files['gp4-setup.bin'][0]);
  // Mixed stops: one file has none of its own.
  await page.type(await ownStops(page, 'Spa/race.bin'), 'none');
  await fillStops(page, ['30', '60']);
  await press(page, 'Patch', /^Patched 4/);
  // A double-click starts one pass.
  await page.evaluate(() => {
    const save = [...document.querySelectorAll('button')].find((node) => node.textContent === 'Save over the originals');
    save.click();
    save.click();
  });
  await waitForStatus(page, /^Saved 3 of 4 files; 1 not: see the files marked\.$/);
  assert.equal(await writesBegun(page), 3);
  assert.deepEqual(folderBytes(root), { ...patchedFolder(original, ['30', '60']), [behindItsBack]: files['gp4-setup.bin'][0],
    'Spa/race.bin': commandLine('Spa/race.bin', [], original['Spa/race.bin']).bytes });
  assert.match((await items(page))[behindItsBack], /Changed on disk since it was opened: not saved\.$/);
  assert.match((await items(page))['Spa/Wet/race.bin'], /Saved over the original: it holds the patch with stops at 30% and 60%\.$/);
  assert.match((await items(page))['Spa/race.bin'], /Saved over the original: it holds the patch with no stops\.$/);
  // The marked files alone.
  await page.click(await control(page, 'Only the marked files'));
  await until(async () => (await names(page, '#items')).length === 1, 'the marked file alone');
  assert.deepEqual(await names(page, '#items'), [behindItsBack]);
  await page.click(await control(page, 'Only the marked files'));

  // Saved again with nothing changed, nothing is written.
  await press(page, 'Save over the originals', /^Saved 0 of 4 files; 3 already held the patch; 1 not/);
  assert.equal(await writesBegun(page), 3);
  assert.match((await items(page))['Spa/Wet/race.bin'], /Already holds the patch with stops at 30% and 60%: not written again\.$/);

  const zip = await download(page, 'Download all');
  assert.deepEqual(zipNames(zip.path), [...folderSetups].sort());
  await press(page, 'Restore the originals', /^Restored 3 of 3 files\.$/);
  assert.deepEqual(folderBytes(root), { ...original, [behindItsBack]: files['gp4-setup.bin'][0] });
  assert.match((await items(page))['Spa/race.bin'], /Original restored\.$/);
  assert.ok(!(await shown(page, 'Restore the originals')));

  // Opened again after two files changed kind and one was deleted, each moves to its group or leaves the
  // list; a setup keeps its own stops.
  await page.type(await ownStops(page, 'Monza/race.bin'), '15');
  writeFileSync(path.join(root, 'Spa', 'race.bin'), files['notes.txt'][0]);
  writeFileSync(path.join(root, 'Spa', 'replay.dat'), files['gp2-setup.bin'][0]);
  rmSync(path.join(root, 'notes.txt'));
  await openFolder(page, root);
  assert.deepEqual([await names(page, '#items'), await names(page, '#others')],
    [['Monza/qualifying.bin', 'Monza/race.bin', 'Spa/Wet/race.bin', 'Spa/replay.dat'], ['Spa/race.bin']]);
  assert.equal(await page.evaluate((field) => field.value, await ownStops(page, 'Monza/race.bin')), '15');
});

test('the originals outlive a second save, a reopen and a reload', { skip: !chromium }, async () => {
  const root = makeFolder('kept/GP3');
  const original = folderBytes(root);
  const page = await folderPage();
  await openFolder(page, root);
  await fillStops(page, ['25', '50', '75']);
  await press(page, 'Patch', /^Patched 4/);
  await press(page, 'Save over the originals', /^Saved 4 of 4 files\.$/);
  // Opened again, the same folder is the same items, which know what Pitmix saved.
  await openFolder(page, root);
  assert.deepEqual(await names(page, '#items'), folderSetups);
  assert.match((await items(page))['Monza/race.bin'], /Saved by Pitmix on \d+ \w{3} \d{4}, stops at 25%, 50% and 75%\.$/);
  await fillStops(page, ['10', '20', '30']);
  await press(page, 'Patch', /^Patched 4/);
  await press(page, 'Save over the originals', /^Saved 4 of 4 files\.$/);
  assert.deepEqual(folderBytes(root), patchedFolder(original, ['10', '20', '30']));
  // What is kept is the files' bytes, each stored alone.
  assert.deepEqual(await page.evaluate(() => new Promise((resolve) => {
    indexedDB.open('pitmix').onsuccess = (event) => {
      event.target.result.transaction('kept').objectStore('kept').getAll().onsuccess = ({ target }) => resolve(target.result
        .filter((record) => record.path).map(({ original, written, previous }) => [original, written, previous.written].map((bytes) => bytes.buffer.byteLength)));
    };
  })), folderSetups.map((at) => Array(3).fill(original[at].length)));

  await page.reload();
  await loaded(page);
  await waitForButton(page, 'Reopen GP3');
  assert.ok(await shown(page, 'Forget GP3'));
  // From the keyboard: Enter on Reopen, and Enter again where the focus went, which is never Forget.
  await page.evaluate(() => [...document.querySelectorAll('button')].find((node) => node.textContent === 'Reopen GP3').focus());
  await page.key('Enter');
  await waitForStatus(page, /added\.$/);
  assert.doesNotMatch(await page.evaluate(() => document.activeElement.textContent), /Forget/);
  await page.key('Enter');
  await idle(page);
  assert.ok(await shown(page, 'Forget GP3') && !(await shown(page, 'Forget them')));
  assert.match((await items(page))['Spa/Wet/race.bin'], /Saved by Pitmix on \d+ \w{3} \d{4}, stops at 10%, 20% and 30%\.$/);
  assert.ok(!(await shown(page, 'Reopen GP3')));
  // A copy of the originals outside the browser, under their paths.
  const zip = await download(page, 'Download the originals');
  assert.deepEqual(zipNames(zip.path), [...folderSetups].sort());
  for (const at of folderSetups) assert.deepEqual(execFileSync('unzip', ['-p', zip.path, at]), original[at], at);
  await press(page, 'Restore the originals', /^Restored 4 of 4 files\.$/);
  assert.deepEqual(folderBytes(root), original);
  // A restore forgets what it restored, the folder too once all is back.
  assert.ok(!(await shown(page, 'Forget GP3')));
  assert.deepEqual(await page.evaluate(() => new Promise((resolve) => {
    indexedDB.open('pitmix').onsuccess = ({ target }) => {
      target.result.transaction('kept').objectStore('kept').getAll(IDBKeyRange.bound(['folder'], ['folder', []])).onsuccess = ({ target: { result } }) => {
        resolve(result.filter((stored) => stored.name === 'GP3').length);
      };
    };
  })), 0);

  await fillStops(page, ['40', '255']);
  await press(page, 'Patch', /^Patched 4/);
  await press(page, 'Save over the originals', /^Saved 4 of 4 files\.$/);
  assert.deepEqual(folderBytes(root), patchedFolder(original, ['40', '255']));
  // Forget says what it drops, and asks first.
  await press(page, 'Forget GP3', null);
  await waitForButton(page, 'Forget them');
  assert.match(await page.evaluate(() => document.getElementById('forget-question').textContent), /^Forget the originals of 4 files in GP3\?/);
  await press(page, 'Keep them', null);
  assert.ok(await shown(page, 'Forget GP3'));
  await press(page, 'Forget GP3', null);
  await waitForButton(page, 'Forget them');
  await press(page, 'Forget them', /keeps nothing more for GP3/);

  // Originals kept under an id that no folder names (an earlier version could leave them so) are
  // listed, can be downloaded, and are forgotten only once the player says so.
  await page.evaluate((bytes) => new Promise((resolve) => {
    indexedDB.open('pitmix').onsuccess = ({ target }) => {
      const transaction = target.result.transaction('kept', 'readwrite');
      for (const at of ['Spa/race.bin', 'Monza/race.bin']) {
        const record = { path: at, original: new Uint8Array(bytes), written: new Uint8Array(bytes), stops: [1], savedAt: 1, previous: null };
        transaction.objectStore('kept').put(record, ['file', 'a folder record lost', at]);
      }
      transaction.oncomplete = resolve;
    };
  }), [...original['Monza/race.bin']]);
  await page.reload();
  await loaded(page);
  await idle(page);
  assert.ok(!(await shown(page, 'Reopen GP3')));
  assert.deepEqual(await keptLines(page, 'Unknown'), ['Unknown folder: the originals of 2 files, kept for a folder this browser no longer knows. ']);
  const lost = await download(page, 'Download the originals of Unknown folder');
  assert.deepEqual(zipNames(lost.path), ['Monza/race.bin', 'Spa/race.bin']);
  assert.deepEqual(execFileSync('unzip', ['-p', lost.path, 'Spa/race.bin']), original['Monza/race.bin']);
  await press(page, 'Forget Unknown folder', null);
  await waitForButton(page, 'Forget them');
  assert.match(await page.evaluate(() => document.getElementById('forget-question').textContent), /^Forget the originals of 2 files in Unknown folder\?/);
  await press(page, 'Forget them', /^Pitmix keeps nothing more for Unknown folder\.$/);
  assert.deepEqual(await keptLines(page, 'Unknown'), []);
});

const waitForButton = (page, name) => until(() => shown(page, name), name);

test('a few setups changed, the others left as they are to the byte, and one file put back', { skip: !chromium }, async () => {
  const root = makeFolder('a few/Season');
  const original = folderBytes(root);
  const times = () => Object.fromEntries(Object.keys(folder).map((at) => [at, statSync(path.join(root, at)).mtimeMs]));
  const before = times();
  const page = await folderPage();
  await openFolder(page, root);
  await page.click(await control(page, 'Keep the strategy they have'));
  // Monza/race.bin is given the strategy it has: its bytes would not change.
  await page.type(await ownStops(page, 'Spa/Wet/race.bin'), '30 60');
  await page.type(await ownStops(page, 'Monza/race.bin'), '33 66');
  await press(page, 'Patch', /^Patched 2 setup files\. Save over the originals would write 1 file and leave 3 as they are\.$/);
  assert.match((await items(page))['Spa/race.bin'], /Keeps the strategy it has: a 3 stop strategy with pitstops at 24%, 50%, and 76% of the total race distance\.$/);
  assert.equal(await page.evaluate((field) => field.placeholder, await ownStops(page, 'Spa/race.bin')), '24 50 76');
  assert.deepEqual(zipNames((await download(page, 'Download all')).path), ['Monza/race.bin', 'Spa/Wet/race.bin']);
  const begun = await writesBegun(page);
  await press(page, 'Save over the originals', /^Saved 1 of 2 files; 1 already held the patch\.$/);
  assert.equal(await writesBegun(page), begun + 1);
  const wet = commandLine('Spa/Wet/race.bin', ['30', '60'], original['Spa/Wet/race.bin']).bytes;
  assert.deepEqual(folderBytes(root), { ...original, 'Spa/Wet/race.bin': wet });
  assert.deepEqual(times(), { ...before, 'Spa/Wet/race.bin': times()['Spa/Wet/race.bin'] });

  // One file put back of two saved: the other stays as it is, and one fewer is kept.
  await page.type(await ownStops(page, 'Monza/qualifying.bin'), '10');
  await press(page, 'Patch', /^Patched 3 setup files\. Save over the originals would write 1 file and leave 3 as they are\.$/);
  await press(page, 'Save over the originals', /^Saved 1 of 3 files; 2 already held the patch\.$/);
  assert.deepEqual(await keptLines(page, 'Season'), ['Season: the originals of 2 files. ']);
  assert.ok(!(await shown(page, 'Restore Spa/race.bin')));
  await press(page, 'Restore Spa/Wet/race.bin', /^Restored 1 of 1 file\.$/);
  const qualifying = commandLine('Monza/qualifying.bin', ['10'], original['Monza/qualifying.bin']).bytes;
  assert.deepEqual(folderBytes(root), { ...original, 'Monza/qualifying.bin': qualifying });
  assert.match((await items(page))['Spa/Wet/race.bin'], /Original restored\.$/);
  assert.ok(!(await shown(page, 'Restore Spa/Wet/race.bin')) && await shown(page, 'Restore Monza/qualifying.bin'));
  assert.deepEqual(await keptLines(page, 'Season'), ['Season: the originals of 1 file. ']);
  await audit(page, 'one file restored');

  // Opened again, the choice and each file's own stops stay; an empty field shows what its file holds now.
  await openFolder(page, root);
  assert.ok(await page.evaluate(() => document.querySelector('input[value="keep"]').checked));
  assert.equal(await page.evaluate((field) => [field.value, field.placeholder].join('|'), await ownStops(page, 'Spa/Wet/race.bin')), '30 60|50');
  await press(page, 'Patch', /^Patched 3 setup files\. Save over the originals would write 1 file and leave 3 as they are\.$/);
});

test('two folders with the same paths, and a picked file named like one of their files, stay apart', { skip: !chromium }, async () => {
  const first = makeFolder('first/Twin');
  const second = makeFolder('second/Twin');
  writeFileSync(path.join(scratch, 'race.bin'), files['gp4-setup.bin'][0]);
  writeFileSync(path.join(first, 'race.bin'), files['gp2-setup.bin'][0]);
  const page = await folderPage();
  await openFolder(page, first);
  await openFolder(page, second);
  await pick(page, ['race.bin']);
  const twice = folderSetups.flatMap((at) => [`Twin/${at}`, `Twin (2)/${at}`]);
  assert.deepEqual([...await names(page, '#items')].sort(), [...twice, 'Twin/race.bin', 'race.bin'].sort());
  await fillStops(page, ['20', '40']);
  await press(page, 'Patch', /^Patched 10/);
  const zip = await download(page, 'Download all');
  assert.deepEqual(zipNames(zip.path), [...twice, 'Twin/race.bin', 'race.bin'].sort());
  await press(page, 'Save over the originals', /^Saved 9 of 9 files\.$/);
  for (const root of [first, second]) {
    for (const at of folderSetups) assert.deepEqual(readFileSync(path.join(root, at)), commandLine(at, ['20', '40'], original(at)).bytes, at);
  }
  assert.deepEqual(readFileSync(path.join(scratch, 'race.bin')), files['gp4-setup.bin'][0]);
  function original(at) {
    return files[folder[at]][0];
  }
});

test('a slow save can be cancelled or stopped by an edit, and every item says what its file holds', { skip: !chromium }, async () => {
  const root = makeFolder('slow');
  const original = folderBytes(root);
  const page = await folderPage();
  await openFolder(page, root);
  await fillStops(page, ['30', '60']);
  await press(page, 'Patch', /^Patched 4/);
  const patched = patchedFolder(original, ['30', '60']);
  // Monza/qualifying.bin is read again at once, the race.bin files only once the test lets them be; or
  // every close waits for the test.
  const written = async (n) => {
    await until(async () => Object.values(await items(page)).filter((said) => /Saved over/.test(said)).length >= n, `${n} saved`);
  };
  for (const [act, held, status, restored] of [
    [() => press(page, 'Cancel', null), ['getFile', 'race.bin'], /^Saved 1 of 4 files; the others were not written\.$/, 1],
    [() => fillStops(page, ['35']), ['getFile', 'race.bin'], /^Saving stopped: the stops changed\. Saved 1 of 4 files; the others were not written\.$/, 1],
    // A Cancel that comes once every write has begun: they all finish, and the status line says so.
    [() => press(page, 'Cancel', null), ['close'], /^Saved 4 of 4 files\.$/, 4],
  ]) {
    if (!(await shown(page, 'Save over the originals'))) {
      await fillStops(page, ['30', '60']);
      await press(page, 'Patch', /^Patched 4/);
    }
    const begun = await writesBegun(page);
    await hold(page, ...held);
    await press(page, 'Save over the originals', null);
    if (held[0] === 'close') await until(async () => await writesBegun(page) >= begun + 4, 'every write begun');
    else await written(1);
    assert.equal(await page.evaluate(() => document.activeElement.textContent), 'Cancel');
    await act();
    await release(page, ...held);
    await waitForStatus(page, status);
    const now = folderBytes(root);
    const said = await items(page);
    for (const at of folderSetups) {
      const holds = now[at].equals(patched[at]) ? /holds the patch with stops at 30% and 60%\.$/ : /holds its original\.$/;
      assert.ok(now[at].equals(patched[at]) || now[at].equals(original[at]), at);
      assert.match(said[at], holds, at);
    }
    assert.deepEqual(now['Monza/qualifying.bin'], patched['Monza/qualifying.bin']);
    await press(page, 'Restore the originals', new RegExp(`^Restored ${restored} of ${restored} files?\\.$`));
  }
  assert.deepEqual(folderBytes(root), original);
});

test('every fault in a write is told, and leaves the file whole', { skip: !chromium }, async () => {
  const root = makeFolder('faults');
  mkdirSync(path.join(root, 'Locked'));
  const page = await folderPage();
  await setFaults(page, { values: 'Locked', getFile: 'qualifying.bin' });
  await openFolder(page, root, /^The folder Locked could not be read \(values failed\)\. 6 files added\.$/);
  // A setup that cannot be read stays with the setups.
  assert.deepEqual(await names(page, '#items'), folderSetups);
  assert.match((await items(page))['Monza/qualifying.bin'], /cannot be read/);
  await setFaults(page, {});
  await openFolder(page, root);
  const original = folderBytes(root);
  await fillStops(page, ['30', '60']);
  await press(page, 'Patch', /^Patched 4/);
  // Each file says what it holds only where it was read in that pass.
  const stillOriginal = ': it still holds its original.';
  for (const [faults, pattern, said] of [
    [{ permission: true }, /^Nothing was written: the browser may not write to the folder faults\.$/, 'Not written (the browser may not write to the folder faults).'],
    [{ getFile: true }, /^Saved 0 of 4 files; 4 not/, 'Not saved (getFile failed).'],
    [{ createWritable: true }, /^Saved 0 of 4 files; 4 not/, `Not saved (createWritable failed)${stillOriginal}`],
    [{ write: true }, /^Saved 0 of 4 files; 4 not/, `Not saved (write failed)${stillOriginal}`],
    [{ close: true }, /^Saved 0 of 4 files; 4 not/, `Not saved (close failed)${stillOriginal}`],
    // The way back is kept first, and only once it is committed is a file written.
    [{ put: 'file' }, /^Saved 0 of 4 files; 4 not/, 'Not saved (this browser could not keep the original: put failed).'],
    [{ commit: 'file' }, /^Saved 0 of 4 files; 4 not/, 'Not saved (this browser could not keep the original: the browser did not complete it).'],
    [{ commit: 'file', full: true }, /^Saved 0 of 4 files; 4 not/, 'Not saved (this browser could not keep the original: its storage is full).'],
    // A permission taken back stops the pass, with one message; the files not reached are not written.
    [{ revoke: 'qualifying.bin' }, /^Saving stopped: the browser no longer lets Pitmix write to the folder faults\. Saved 0 of 4 files; the others were not written\.$/, null],
  ]) {
    await setFaults(page, faults);
    // Where the permission is taken back, the race.bin files are read again only once it has been.
    if (faults.revoke) await hold(page, 'getFile', 'race.bin');
    await press(page, 'Save over the originals', faults.revoke ? null : pattern);
    if (faults.revoke) {
      await failed(page, 'revoke');
      await release(page, 'getFile', 'race.bin');
      await waitForStatus(page, pattern);
    }
    assert.deepEqual(folderBytes(root), original, JSON.stringify(faults));
    for (const at of said ? folderSetups : []) assert.ok((await items(page))[at].endsWith(said), `${at}: ${(await items(page))[at]}`);
    assert.ok(!(await shown(page, 'Restore the originals')));
  }
  // The way back after a failed write is what it was: none.
  await setFaults(page, { close: 'race.bin' });
  await press(page, 'Save over the originals', /^Saved 1 of 4 files; 3 not/);
  // A close that fails after the new bytes are in: the file read back decides, and its way back stays.
  await setFaults(page, { closeAfter: 'race.bin' });
  await press(page, 'Save over the originals', /^Saved 3 of 4 files; 1 already held the patch\.$/);
  assert.match((await items(page))['Spa/race.bin'], /Saved over the original: it holds the patch with stops at 30% and 60%\.$/);
  // Where what is kept cannot be read, the way back is unknown: nothing is saved over, the downloads stay.
  await setFaults(page, { getAll: true });
  await openFolder(page, root, /could not be read \(getAll failed\): Pitmix will not save over it/);
  assert.match((await items(page))['Monza/qualifying.bin'], /Its way back is unknown/);
  await fillStops(page, ['31']);
  await press(page, 'Patch', /^Patched 4/);
  await press(page, 'Save over the originals', /^Nothing was written: what this browser keeps for faults could not be read \(getAll failed\)/);
  assert.ok(await shown(page, 'Download all'));
  // A file that cannot be read says so, not that it changed.
  await setFaults(page, { getFile: 'qualifying.bin' });
  await openFolder(page, root);
  assert.match((await items(page))['Monza/qualifying.bin'], /^cannot be read \(getFile failed\)Cannot be read now; Pitmix keeps its original from before its save of \d+ \w{3} \d{4}\.$/);
  await setFaults(page, {});
  await openFolder(page, root);
  await press(page, 'Patch', /^Patched 4/);
  // Each failed write put back what was kept before it.
  assert.deepEqual(Object.values(await items(page)).filter((said) => /did not reach it/.test(said)), []);
  await press(page, 'Restore the originals', /^Restored 4 of 4 files\.$/);
  assert.deepEqual(folderBytes(root), original);

  // A subfolder moved away since it was opened: its files are not found, and the others are saved.
  renameSync(path.join(root, 'Spa'), path.join(root, 'Spa moved'));
  await press(page, 'Save over the originals', /^Saved 2 of 4 files; 2 not: see the files marked\.$/);
  assert.match((await items(page))['Spa/Wet/race.bin'], /Not saved: the file is no longer there\.$/);
  assert.deepEqual(readFileSync(path.join(root, 'Spa moved', 'Wet', 'race.bin')), original['Spa/Wet/race.bin']);

  // A page whose IndexedDB does not open knows no way back, and saves over nothing.
  renameSync(path.join(root, 'Spa moved'), path.join(root, 'Spa'));
  const now = folderBytes(root);
  const closed = await folderPage({ open: true });
  await openFolder(closed, root, /could not be read \(open failed\): Pitmix will not save over it/);
  await press(closed, 'Patch', /^Patched 4/);
  await press(closed, 'Save over the originals', /^Nothing was written: what this browser keeps for faults could not be read \(open failed\)/);
  assert.deepEqual(folderBytes(root), now);
});

test('a browser that cannot load the module says which browsers can', { skip: !chromium }, async () => {
  const page = await openPage([], () => {
    WebAssembly.instantiate = () => Promise.reject(new Error('no WebAssembly'));
  });
  assert.match(await page.evaluate(() => document.getElementById('unsupported').checkVisibility() && document.getElementById('unsupported').textContent),
    /Chrome or Edge 97, Firefox 104,\s+Safari 16/);
});

test('opens folders through the folder chooser where no folder can be written; two of one name stay apart', { skip: webkit }, async () => {
  const root = makeFolder('read only/Chosen');
  const twin = path.join(scratch, 'read only 2', 'Chosen');
  mkdirSync(path.join(twin, 'Spa'), { recursive: true });
  writeFileSync(path.join(twin, 'Spa', 'race.bin'), files['gp2-setup.bin'][0]);
  const page = await openPage([], chromium ? () => delete window.showDirectoryPicker : null);
  for (const [folder, added] of [[root, /^6 files added\.$/], [twin, /^1 file added\.$/]]) {
    if (chromium) {
      const [chooser] = await Promise.all([page.puppeteer.waitForFileChooser(), press(page, 'Open setup folder', null)]);
      await chooser.accept([folder]);
    } else {
      // Firefox's driver hands an input no folder: the files come as the chooser gives them, each with its path.
      const chosen = execFileSync('find', ['.', '-type', 'f'], { cwd: path.dirname(folder), encoding: 'utf8' }).trim().split('\n')
        .map((at) => ({ at: at.slice(2), bytes: [...readFileSync(path.join(path.dirname(folder), at))] }));
      await page.evaluate((chosen) => {
        const transfer = new DataTransfer();
        for (const { at, bytes } of chosen) {
          const file = new File([new Uint8Array(bytes)], at.slice(at.lastIndexOf('/') + 1));
          Object.defineProperty(file, 'webkitRelativePath', { value: at });
          transfer.items.add(file);
        }
        const input = document.getElementById('folder');
        input.files = transfer.files;
        input.dispatchEvent(new Event('change'));
      }, chosen);
    }
    await waitForStatus(page, added);
  }
  const labels = folderSetups.map((at) => (at === 'Spa/race.bin' ? 'Chosen/Spa/race.bin' : at)).concat('Chosen (2)/Spa/race.bin');
  assert.deepEqual(await names(page, '#items'), labels);
  await fillStops(page, ['40']);
  await press(page, 'Patch', /^Patched 5/);
  assert.ok(!(await shown(page, 'Save over the originals')));
  const race = await download(page, 'Download Spa/Wet/race.bin');
  assert.equal(race.name, 'race.bin');
  assert.deepEqual(race.bytes, commandLine('Spa/Wet/race.bin', ['40'], files['gp2-setup.bin'][0]).bytes);
  const zip = await download(page, 'Download all');
  assert.deepEqual(zipNames(zip.path), [...labels].sort());
  assert.deepEqual(execFileSync('unzip', ['-p', zip.path, 'Chosen (2)/Spa/race.bin']), commandLine('race.bin', ['40'], files['gp2-setup.bin'][0]).bytes);
});

// Waits until every item of the folder's setups says what pattern matches.
async function waitForItems(page, pattern, at = folderSetups) {
  const differing = async () => {
    const said = await items(page);
    return at.filter((name) => !pattern.test(said[name])).map((name) => `${name}: ${said[name]}`);
  };
  await until(async () => (await differing()).length === 0, async () => `${pattern}, not ${(await differing()).slice(0, 3).join('; ')}`);
}

test('two pages on one folder, one after the other and at once, keep one way back', { skip: !chromium }, async () => {
  const root = makeFolder('two pages/Pair');
  const original = folderBytes(root);
  const [first, second] = [await folderPage(), await folderPage()];
  const patchWith = async (page, stops) => {
    await fillStops(page, stops);
    await press(page, 'Patch', /^Patched 4/);
  };
  for (const page of [first, second]) await openFolder(page, root);
  // One after the other: each page knows what the other saved, and the original stays the one from before.
  await patchWith(first, ['25']);
  await press(first, 'Save over the originals', /^Saved 4 of 4 files\.$/);
  await waitForItems(second, /Saved by Pitmix on .+, a stop at 25%\.$/);
  await patchWith(second, ['10', '255']);
  await press(second, 'Save over the originals', /^Saved 4 of 4 files\.$/);
  assert.deepEqual(folderBytes(root), patchedFolder(original, ['10', '255']));
  await waitForItems(first, /Saved by Pitmix on .+, stops at 10% and 255%\.$/);
  // At once: the later page waits for the other, says so, and can be cancelled; then it saves over what the other wrote.
  const waiting = (page) => page.evaluate(() => document.getElementById('progress-text').textContent.startsWith('Waiting for another Pitmix page'));
  await patchWith(first, ['30']);
  await patchWith(second, ['40', '']);
  for (const [act, status] of [[() => press(second, 'Cancel', null), /^Nothing was written: cancelled while waiting for another Pitmix page\.$/],
    [() => {}, /^Saved 4 of 4 files\.$/]]) {
    // The first page reads its race.bin files again only once the second waits.
    await hold(first, 'getFile', 'race.bin');
    await press(first, 'Save over the originals', null);
    await reached(first, 'getFile', 'race.bin');
    await press(second, 'Save over the originals', null);
    await until(() => waiting(second), 'the second page to wait');
    await act();
    await release(first, 'getFile', 'race.bin');
    await waitForStatus(second, status);
    await waitForStatus(first, /^(Saved 4 of 4 files|Another Pitmix page wrote 4 files listed here: each shows what it holds now)\.$/);
    await patchWith(first, ['30']);
  }
  assert.deepEqual(folderBytes(root), patchedFolder(original, ['40']));
  await waitForItems(first, /Saved by Pitmix on .+, a stop at 40%\.$/);
  // A page opened later knows the folder once, and puts back the originals from before the first save.
  const third = await folderPage();
  await waitForButton(third, 'Reopen Pair');
  assert.deepEqual(await keptLines(third, 'Pair'), ['Pair: the originals of 4 files. ']);
  await press(third, 'Reopen Pair', /added\.$/);
  // The second page, still catching up with that restore (its files slow to read again), is asked to
  // put back a file that is back already: nothing is written, and it says why.
  await hold(second, 'getFile', 'race.bin');
  await press(third, 'Restore the originals', /^Restored 4 of 4 files\.$/);
  assert.deepEqual(folderBytes(root), original);
  await reached(second, 'getFile', 'race.bin');
  await press(second, 'Restore Spa/race.bin', null);
  await release(second, 'getFile', 'race.bin');
  await waitForStatus(second, /^Nothing was restored: Spa\/race\.bin no longer holds what Pitmix saved\.$/);

  // What is kept says another page saved a file since this one read it, and no news came: the file is
  // read first, found changed, and the original kept stays.
  const other = { original: [...files['gp4-setup.bin'][0]], written: [...files['gp2-setup.bin'][0]] };
  await until(async () => Object.values(await items(first)).every((said) => !/Saved by Pitmix/.test(said)), 'the first page to learn of the restore');
  await patchWith(first, ['20']);
  await press(first, 'Save over the originals', /^Saved 4 of 4 files\.$/);
  await idle(first);
  writeFileSync(path.join(root, 'Monza', 'race.bin'), files['gp2-setup.bin'][0]);
  const keptOriginal = (put) => first.evaluate((put, other) => new Promise((resolve) => {
    indexedDB.open('pitmix').onsuccess = ({ target }) => {
      const store = target.result.transaction('kept', 'readwrite').objectStore('kept');
      store.getAll(IDBKeyRange.bound(['folder'], ['folder', []])).onsuccess = ({ target: { result } }) => {
        const key = ['file', result.find((stored) => stored.name === 'Pair').id, 'Monza/race.bin'];
        if (put) store.put({ path: key[2], original: new Uint8Array(other.original), written: new Uint8Array(other.written), stops: [9], savedAt: 1, previous: null }, key);
        store.get(key).onsuccess = (got) => resolve([...got.target.result.original]);
      };
    };
  }), put, other);
  await keptOriginal(true);
  await patchWith(first, ['30']);
  // Even while the file is read (held), after the other files' way back was kept.
  const begun = await writesBegun(first);
  await hold(first, 'getFile', 'race.bin');
  await press(first, 'Save over the originals', null);
  await until(async () => (await writesBegun(first)) > begun, 'a write to begin');
  assert.deepEqual(await keptOriginal(false), other.original);
  await release(first, 'getFile', 'race.bin');
  await waitForStatus(first, /^Saved 3 of 4 files; 1 not: see the files marked\.$/);
  assert.deepEqual(await keptOriginal(false), other.original);

  // A catch-up that fails (what is kept cannot be read) is tried again at the next step: the save works.
  await idle(first);
  await setFaults(first, { getAll: true });
  await patchWith(second, ['45']);
  await press(second, 'Save over the originals', /^Saved 4 of 4 files\.$/);
  await failed(first, 'getAll');
  await idle(first);
  await setFaults(first, {});
  await patchWith(first, ['50']);
  await press(first, 'Save over the originals', /^Saved 4 of 4 files\.$/);
});

test('pages that overlap on a folder and its subfolders lose no original: news while looking, Forget after a change, a save in flight', { skip: !chromium }, async () => {
  const patchWith = async (page, stops) => {
    await fillStops(page, stops);
    await press(page, 'Patch', /^Patched/);
  };
  const working = (page) => page.evaluate(() => document.documentElement.dataset.work);
  const lines = (page, ...labels) => Promise.all(labels.map((label) => keptLines(page, `${label}:`)));
  const inFlight = (at) => until(() => readdirSync(at).some((name) => name.endsWith('.crswap')), 'a write in flight');
  // A new page lists what is kept (counts, by label), reopens a folder and puts back every original in it.
  const restoredByANewPage = async (root, label, counts, original) => {
    const page = await folderPage();
    await idle(page);
    const labels = Object.keys(counts);
    assert.deepEqual(await lines(page, ...labels), labels.map((at) => [`${at}: the originals of ${counts[at]} files. `]));
    const n = Object.values(counts).reduce((a, b) => a + b);
    await press(page, `Reopen ${label}`, /added\.$/);
    await press(page, 'Restore the originals', new RegExp(`^Restored ${n} of ${n} files\\.$`));
    assert.deepEqual(folderBytes(root), original);
  };

  // A has a folder open, B saves a subfolder of it; A hears of it while its directories are slow to
  // resolve, and saves in the middle of catching up: the subfolder's originals stay where B kept them.
  const root = makeFolder('overlap/Overlap');
  const original = folderBytes(root);
  let [a, b] = [await folderPage(), await folderPage()];
  await openFolder(a, root);
  await idle(a);
  await patchWith(a, ['25']);
  await hold(a, 'resolve');
  await openFolder(b, path.join(root, 'Spa'));
  await patchWith(b, ['40']);
  await press(b, 'Save over the originals', /^Saved 2 of 2 files\.$/);
  await until(async () => (await working(a)) === 'catching up', 'the first page to catch up');
  await reached(a, 'resolve');
  await press(a, 'Save over the originals', null);
  await release(a, 'resolve');
  await waitForStatus(a, /^Saved 4 of 4 files\.$/);
  assert.deepEqual(folderBytes(root), patchedFolder(original, ['25']));
  // Every change of what is kept waited for the disk.
  assert.deepEqual([...new Set(await durabilities(a))], ['strict']);
  await restoredByANewPage(root, 'Overlap', { Overlap: 2, Spa: 2 }, original);

  // A asks to forget what it saved in a subfolder; B puts that file back before A answers: nothing is
  // forgotten. B saves another, and A asks again; B then saves the folder that holds it before A
  // answers: A asks again with the new count, and what B kept stays with that subfolder.
  const second = makeFolder('overlap 2/Forgotten');
  const secondOriginal = folderBytes(second);
  const monza = path.join(second, 'Monza');
  [a, b] = [await folderPage(), await folderPage()];
  await openFolder(a, monza);
  await idle(a);
  await a.click(await control(a, 'Keep the strategy they have'));
  await a.type(await ownStops(a, 'race.bin'), '30');
  await press(a, 'Patch', /^Patched 1/);
  await press(a, 'Save over the originals', /^Saved 1 of 1 file\.$/);
  const question = () => a.evaluate(() => document.getElementById('forget-question').textContent);
  await press(a, 'Forget Monza', null);
  await waitForButton(a, 'Forget them');
  assert.match(await question(), /^Forget the originals of 1 file in Monza\?/);
  await openFolder(b, monza);
  await idle(b);
  await press(b, 'Restore race.bin', /^Restored 1 of 1 file\.$/);
  await press(a, 'Forget them', /^Nothing was forgotten: another Pitmix page changed what is kept for Monza\.$/);
  await b.click(await control(b, 'Keep the strategy they have'));
  await b.type(await ownStops(b, 'qualifying.bin'), '35');
  await press(b, 'Patch', /^Patched 1/);
  await press(b, 'Save over the originals', /^Saved 1 of 1 file\.$/);
  await waitForButton(a, 'Forget Monza');
  await press(a, 'Forget Monza', null);
  await waitForButton(a, 'Forget them');
  assert.match(await question(), /^Forget the originals of 1 file in Monza\?/);
  await openFolder(b, second);
  await b.click(await control(b, 'Get the stops above'));
  await patchWith(b, ['55']);
  await press(b, 'Save over the originals', /^Saved 4 of 4 files\.$/);
  await press(a, 'Forget them', null);
  await until(async () => /^What is kept for Monza has changed\. Forget the originals of 2 files in Monza\?/.test(await question()), 'Forget to ask again');
  await press(a, 'Keep them', null);
  await restoredByANewPage(second, 'Forgotten', { Forgotten: 2, Monza: 2 }, secondOriginal);

  // B saves the folder slowly; A opens it meanwhile and lists it at once, without what the browser
  // writes aside; once B is done, A shows what each file holds, and puts every original back.
  await patchWith(b, ['60']);
  await hold(b, 'close');
  await press(b, 'Save over the originals', null);
  await inFlight(path.join(second, 'Spa'));
  a = await folderPage();
  await openFolder(a, second);
  assert.equal(await working(b), 'saving');
  const listed = await names(a, 'li[data-key]');
  assert.deepEqual([listed.filter((name) => name.endsWith('.crswap')), await shown(a, 'Remove the left-overs')], [[], false]);
  await waitForItems(a, /Held its original while another Pitmix page was saving: it is read again once that page is done\.$/);
  await release(b, 'close');
  await waitForStatus(b, /^Saved 4 of 4 files\.$/);
  await waitForItems(a, /Saved by Pitmix on .+, a stop at 60%\.$/);
  await idle(a);
  // Where A read a file before B's write landed, A says so once it has read it again.
  assert.match(await statusNow(a), /^(6 files added|Another Pitmix page wrote \d files listed here: each shows what it holds now)\.$/);
  assert.ok(!(await shown(a, 'Remove the left-overs')));
  await press(a, 'Restore the originals', /^Restored 4 of 4 files\.$/);
  assert.deepEqual(folderBytes(second), secondOriginal);

  // A page with a subfolder open while another forgets the folder that holds it: what it said is kept is gone.
  const spaPage = await folderPage();
  await openFolder(spaPage, path.join(second, 'Spa'));
  await patchWith(b, ['65']);
  await press(b, 'Save over the originals', /^Saved 4 of 4 files\.$/);
  await waitForItems(spaPage, /Saved by Pitmix on .+, a stop at 65%\.$/, ['race.bin', 'Wet/race.bin']);
  await idle(a);
  await press(a, 'Forget Forgotten', null);
  await press(a, 'Forget them', /^Pitmix keeps nothing more for Forgotten\.$/);
  await waitForItems(spaPage, /^GP\d, checksums correct, a 1 stop strategy with a pitstop at 65% of the total race distance\.$/, ['race.bin', 'Wet/race.bin']);
  assert.ok(!(await shown(spaPage, 'Restore race.bin')));

  // A keeps Spa's originals, B is saving Monza's when A opens the folder that holds both: one file put
  // back there leaves every other original where it was kept, for A, B and a new page.
  const third = makeFolder('overlap 3/Circuits');
  const thirdOriginal = folderBytes(third);
  [a, b] = [await folderPage(), await folderPage()];
  await openFolder(a, path.join(third, 'Spa'));
  await patchWith(a, ['20']);
  await press(a, 'Save over the originals', /^Saved 2 of 2 files\.$/);
  await openFolder(b, path.join(third, 'Monza'));
  await patchWith(b, ['30']);
  await hold(b, 'close');
  await press(b, 'Save over the originals', null);
  await inFlight(path.join(third, 'Monza'));
  await openFolder(a, third);
  await release(b, 'close');
  await waitForStatus(b, /^Saved 2 of 2 files\.$/);
  await waitForItems(a, /Saved by Pitmix on .+, a stop at 30%\.$/, ['Monza/qualifying.bin', 'Monza/race.bin']);
  await idle(a);
  await press(a, 'Restore Spa/race.bin', /^Restored 1 of 1 file\.$/);
  const kept = [['Spa: the originals of 1 file. '], ['Monza: the originals of 2 files. ']];
  assert.deepEqual(await lines(a, 'Spa', 'Monza'), kept);
  // The copies of the originals hold them all, as the store does now.
  assert.deepEqual(zipNames((await download(a, 'Download the originals')).path), ['Monza/qualifying.bin', 'Monza/race.bin', 'Spa/Wet/race.bin']);
  assert.deepEqual(zipNames((await download(b, 'Download the originals')).path), ['qualifying.bin', 'race.bin']);
  const c = await folderPage();
  await idle(c);
  assert.deepEqual(await lines(c, 'Spa', 'Monza'), kept);
  await openFolder(c, third);
  await press(c, 'Restore the originals', /^Restored 3 of 3 files\.$/);
  assert.deepEqual(folderBytes(third), thirdOriginal);
});

test('a folder and a folder inside it are one folder: one item and one way back a file', { skip: !chromium }, async () => {
  const root = makeFolder('nested/Nest');
  const original = folderBytes(root);
  const page = await folderPage();
  // A subfolder saved first, then the folder that holds it: what is kept for the subfolder stays with it.
  await openFolder(page, path.join(root, 'Spa'));
  assert.deepEqual(await names(page, '#items'), ['Wet/race.bin', 'race.bin']);
  await fillStops(page, ['20']);
  await press(page, 'Patch', /^Patched 2/);
  await press(page, 'Save over the originals', /^Saved 2 of 2 files\.$/);
  await openFolder(page, root);
  assert.deepEqual(await names(page, '#items'), folderSetups);
  assert.match((await items(page))['Spa/race.bin'], /Saved by Pitmix on .+, a stop at 20%\.$/);
  // A subfolder of an open folder: its files are the folder's items.
  await openFolder(page, path.join(root, 'Monza'));
  assert.deepEqual(await names(page, '#items'), folderSetups);
  await fillStops(page, ['35', '70']);
  await press(page, 'Patch', /^Patched 4/);
  await press(page, 'Save over the originals', /^Saved 4 of 4 files\.$/);
  assert.equal(await writesBegun(page), 6);
  assert.deepEqual([await keptLines(page, 'Nest'), await keptLines(page, 'Spa')], [['Nest: the originals of 2 files. '], ['Spa: the originals of 2 files. ']]);
  // A folder inside both finds its file's original in the innermost of them.
  const wet = await folderPage();
  await openFolder(wet, path.join(root, 'Spa', 'Wet'));
  await waitForItems(wet, /Saved by Pitmix on .+, stops at 35% and 70%\.$/, ['race.bin']);
  await press(page, 'Restore the originals', /^Restored 4 of 4 files\.$/);
  assert.deepEqual(folderBytes(root), original);
});

test('a reload during a save asks first; the way back holds for each of 520 files', { skip: !chromium }, async () => {
  const root = path.join(scratch, 'many', 'Many');
  const samples = ['gp2-setup.bin', 'gp3-setup.bin', 'gp3-2000-setup.bin', 'gp4-setup.bin'];
  const paths = Array.from({ length: 520 }, (_, i) => `Track ${i % 10}/setup ${String(i).padStart(3, '0')}.bin`);
  for (const [i, at] of paths.entries()) {
    mkdirSync(path.dirname(path.join(root, at)), { recursive: true });
    writeFileSync(path.join(root, at), files[samples[i % 4]][0]);
  }
  // The game's other files beside them are paged like the setups.
  mkdirSync(path.join(root, 'Notes'));
  for (let i = 0; i < 1001; i++) writeFileSync(path.join(root, 'Notes', `note ${i}.txt`), 'two stops');
  const bytesNow = () => paths.map((at) => readFileSync(path.join(root, at)));
  const original = bytesNow();
  const page = await folderPage();
  await openFolder(page, root);
  assert.deepEqual(await names(page, '#items'), [...paths].sort());
  assert.deepEqual(await page.evaluate(() => [document.querySelector('#others summary').textContent, document.querySelector('#others .pager span').textContent,
    document.querySelectorAll('#others li').length]), ['Other files (1,001)', 'Files 1 to 1,000 of 1,001', 1000]);
  await fillStops(page, ['255']);
  await press(page, 'Patch', /^Patched 520/);
  // The files of Track 9 are not read again before the page is reloaded: none of them is written.
  const late = paths.filter((at) => at.startsWith('Track 9/'));
  await hold(page, 'getFile', late.map((at) => path.basename(at)));
  await inWorker(page, () => { globalThis.durabilities = []; });
  await press(page, 'Save over the originals', null);
  const saved = paths.filter((at) => !late.includes(at));
  await waitForItems(page, /Saved over the original: it holds the patch with a stop at 255%\.$/, saved);
  // The way back of 256 files a transaction (the folder kept with the first), each on disk before any of them is written.
  assert.deepEqual(await durabilities(page), Array(3).fill('strict'));
  let asked = null;
  page.puppeteer.once('dialog', (dialog) => {
    asked = dialog.type();
    dialog.accept();
  });
  await page.reload();
  assert.equal(asked, 'beforeunload');
  await loaded(page);
  await waitForButton(page, 'Reopen Many');
  await press(page, 'Reopen Many', /^1,521 files added\.$/);
  await waitForItems(page, /Saved by Pitmix on .+, a stop at 255%\.$/, saved);
  await waitForItems(page, /Holds its original: the save of .+ did not reach it\.$/, late);
  // The line counts what is kept, the way back of the files that the save did not reach too.
  assert.deepEqual(await keptLines(page, 'Many'), ['Many: the originals of 520 files. ']);
  // A reload in the middle of a restore, which had put back the other files but not yet dropped their
  // records, and not reached Track 8. Reopened, each file says what it holds, and the restore finishes.
  const track8 = paths.filter((at) => at.startsWith('Track 8/'));
  await hold(page, 'getFile', track8.map((at) => path.basename(at)));
  await setFaults(page, { delete: 'file' });
  page.puppeteer.once('dialog', (dialog) => dialog.accept());
  await press(page, 'Restore the originals', null);
  await waitForItems(page, /(Original restored|Holds its original: the save of .+ did not reach it)\.$/, paths.filter((at) => !track8.includes(at)));
  await page.reload();
  await loaded(page);
  await waitForButton(page, 'Reopen Many');
  await press(page, 'Reopen Many', /^1,521 files added\.$/);
  await waitForItems(page, /Saved by Pitmix on .+, a stop at 255%\.$/, track8);
  await waitForItems(page, /Holds its original: the save of .+ did not reach it\.$/, late);
  await waitForItems(page, /Holds its original: the restore of .+ did not finish, and Pitmix still keeps it\.$/, paths.filter((at) => !late.includes(at) && !track8.includes(at)));
  await press(page, 'Restore the originals', /^Restored 52 of 468 files; 416 already held the original\.$/);
  assert.deepEqual(bytesNow(), original);
  // What is kept is what the save never reached: its originals, which the files hold.
  assert.deepEqual(await keptLines(page, 'Many'), ['Many: the originals of 52 files. ']);
});

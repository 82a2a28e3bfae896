// The browser page in headless Chromium, driven through its labels as a
// user would, and compared with the command line run on copies of the
// same files. Settings come from the environment (see tests/CMakeLists.txt).
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { copyFileSync, mkdtempSync, readFileSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { pathToFileURL } from 'node:url';

const { PITMIX_PAGE, PITMIX_EXE, PITMIX_EXAMPLES, PITMIX_NODE_MODULES, PITMIX_CHROMIUM, PITMIX_SCREENSHOT } = process.env;
const { chromium } = createRequire(path.join(PITMIX_NODE_MODULES, 'package.json'))('playwright-core');
const scratch = mkdtempSync(path.join(os.tmpdir(), 'pitmix-page-'));
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

// Each file's bytes and report after the command line patched a copy.
function commandLine(name, percentages) {
  const folder = mkdtempSync(path.join(scratch, 'cli-'));
  writeFileSync(path.join(folder, name), files[name][0]);
  const out = execFileSync(PITMIX_EXE, [name, ...percentages], { cwd: folder, encoding: 'utf8' });
  return { report: out.slice(out.indexOf('\n') + 1).trimEnd(), bytes: readFileSync(path.join(folder, name)) };
}

let browser;
before(async () => {
  for (const [name, [bytes]] of Object.entries(files)) writeFileSync(path.join(scratch, name), bytes);
  browser = await chromium.launch({
    executablePath: PITMIX_CHROMIUM,
    args: [...(process.getuid() === 0 ? ['--no-sandbox'] : []), '--disable-gpu', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
});
after(async () => {
  await browser?.close();
  rmSync(scratch, { recursive: true, force: true });
});

// A fresh page; every request it makes is kept, to show it asks for
// nothing from the network.
async function openPage(requests = []) {
  const page = await browser.newPage({ acceptDownloads: true });
  page.on('request', (request) => requests.push(request.url()));
  await page.goto(pathToFileURL(PITMIX_PAGE).href);
  return page;
}

async function drop(page, names) {
  const payload = names.map((name) => ({ name, bytes: [...files[name][0]] }));
  await page.evaluate((payload) => {
    const transfer = new DataTransfer();
    for (const { name, bytes } of payload) transfer.items.add(new File([new Uint8Array(bytes)], name));
    document.querySelector('h1').dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
  }, payload);
}

async function fillStops(page, values) {
  for (const [i, value] of values.entries()) await page.getByLabel(`Stop ${i + 1} (%)`).fill(value);
}

const item = (page, name) => page.getByRole('listitem').filter({ has: page.getByText(name, { exact: true }) });

test('describes each file, then patches and zips exactly as the command line does', async () => {
  const requests = [];
  const page = await openPage(requests);
  await page.getByLabel('Setup files').setInputFiles(Object.keys(files).filter((name) => !dropped.includes(name)).map((name) => path.join(scratch, name)));
  await drop(page, dropped);
  for (const [name, [, holds]] of Object.entries(files)) await assert.doesNotReject(item(page, name).getByText(holds, { exact: true }).waitFor({ timeout: 5000 }), name);

  await fillStops(page, ['25', '50', '75']);
  await page.getByRole('button', { name: 'Patch' }).click();
  const expected = Object.fromEntries(setups.map((name) => [name, commandLine(name, ['25', '50', '75'])]));
  for (const name of setups) {
    assert.equal(await item(page, name).locator('.report').innerText(), expected[name].report, name);
    const download = page.waitForEvent('download');
    await page.getByRole('link', { name: `Download ${name}`, exact: true }).click();
    const saved = path.join(scratch, `saved-${name}`);
    await (await download).saveAs(saved);
    assert.deepEqual(readFileSync(saved), expected[name].bytes, name);
  }
  for (const name of Object.keys(files).filter((name) => !setups.includes(name))) {
    assert.equal(await page.getByRole('link', { name: `Download ${name}` }).count(), 0, name);
  }

  const zipDownload = page.waitForEvent('download');
  await page.getByRole('link', { name: 'Download all', exact: true }).click();
  const zip = path.join(scratch, 'all.zip');
  await (await zipDownload).saveAs(zip);
  assert.deepEqual(execFileSync('unzip', ['-Z1', zip], { encoding: 'utf8' }).trim().split('\n').sort(), [...setups].sort());
  for (const name of setups) assert.deepEqual(execFileSync('unzip', ['-p', zip, name]), expected[name].bytes, name);

  assert.deepEqual(requests.filter((url) => !/^(file|blob|data):/.test(url)), []);
});

test('a strategy that is refused patches nothing; empty fields mean no stops', async () => {
  const cases = [
    [['256'], 1], [['-1'], 1], [['2.5'], 1], [['abc'], 1], [['', '50'], 1], [['10', '', '30'], 2], [['50', '50', '1e2'], 3],
  ];
  const page = await openPage();
  await page.getByLabel('Setup files').setInputFiles(path.join(scratch, 'gp3-setup.bin'));
  for (const [values, wrongField] of cases) {
    await fillStops(page, [...values, '', '', ''].slice(0, 3));
    // From the keyboard: Enter on the focused button.
    await page.getByRole('button', { name: 'Patch' }).focus();
    await page.keyboard.press('Enter');
    const field = page.getByLabel(`Stop ${wrongField} (%)`);
    assert.equal(await field.getAttribute('aria-invalid'), 'true', values.join(' '));
    assert.notEqual(await page.locator(`#${await field.getAttribute('aria-describedby')}`).innerText(), '');
    assert.equal(await page.getByRole('link', { name: /^Download/ }).count(), 0, values.join(' '));
  }
  await fillStops(page, ['', '', '']);
  await page.getByRole('button', { name: 'Patch' }).click();
  assert.equal(await item(page, 'gp3-setup.bin').locator('.report').innerText(), commandLine('gp3-setup.bin', []).report);
  assert.equal(await page.getByRole('link', { name: 'Download all' }).count(), 0);
});

test('fits in 64 KiB and on a 360 px screen', async () => {
  assert.ok(statSync(PITMIX_PAGE).size <= 64 * 1024);
  const page = await openPage();
  const shown = [...Object.keys(files).filter((name) => name.endsWith('-setup.bin')), 'notes.txt'];
  await page.getByLabel('Setup files').setInputFiles(shown.map((name) => path.join(scratch, name)));
  await fillStops(page, ['25', '50', '75']);
  await page.getByRole('button', { name: 'Patch' }).click();
  await page.setViewportSize({ width: 900, height: 700 });
  if (PITMIX_SCREENSHOT) await page.screenshot({ path: PITMIX_SCREENSHOT, fullPage: true });
  await page.setViewportSize({ width: 360, height: 640 });
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth) <= 360);
});

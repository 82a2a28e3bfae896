// Chromium's folder picker, played by a real folder on disk: a folder
// dropped on the page (through the DevTools protocol) gives a handle that
// showDirectoryPicker() then returns, and a profile lets file: pages write
// to it. For the page's test and its benchmark.
import { mkdirSync, writeFileSync } from 'node:fs';
import path from 'node:path';

// A profile in which file: pages may write to a folder they are given;
// with safeBrowsing false, Chromium's safe-browsing check is off in it.
export function writableProfile(profile, { safeBrowsing = true } = {}) {
  mkdirSync(path.join(profile, 'Default'), { recursive: true });
  writeFileSync(path.join(profile, 'Default', 'Preferences'), JSON.stringify({
    profile: { content_settings: { exceptions: Object.fromEntries(['file_system_write_guard', 'file_system_read_guard',
      'file_system_access_extended_permission', 'file_system_access_restore_permission'].map((name) => [name, { 'file:///*,*': { setting: 1 } }])) } },
    ...(safeBrowsing ? {} : { safebrowsing: { enabled: false } }),
  }));
  return profile;
}

// Runs in the page before its own script. Until a folder is dropped, the
// picker answers as if the choice was cancelled.
export function pickerFromDrop() {
  let folder = Promise.reject(new DOMException('The user aborted a request.', 'AbortError'));
  folder.catch(() => {});
  document.addEventListener('drop', (event) => {
    const item = [...event.dataTransfer.items].find((entry) => entry.webkitGetAsEntry()?.isDirectory);
    if (!item) return;
    folder = item.getAsFileSystemHandle();
    event.stopImmediatePropagation();
    event.preventDefault();
  }, true);
  window.droppedFolder = () => folder;
  window.showDirectoryPicker = () => folder;
}

export async function dropFolder(page, folder) {
  const cdp = await page.createCDPSession();
  const data = { items: [], files: [folder], dragOperationsMask: 1 };
  for (const type of ['dragEnter', 'dragOver', 'drop']) await cdp.send('Input.dispatchDragEvent', { type, x: 20, y: 20, data });
}

// Which folder is this: the folders the page knows, opened here or kept by
// this or another Pitmix page, matched by the directory itself
// (isSameEntry(), resolve()), never by its name.
//
// A folder: { key, id, prefix, name, label, handle, open, unread }
//   key: this page's own for it, which never changes;
//   id, prefix: where what is kept for its files lies (kept.js): under its
//     own id, or, for a folder inside one kept from before, under that
//     one's id at its path there (prefix, ending in '/'; else '');
//   handle: its directory handle, or null for a folder read through the
//     folder chooser, which is never written;
//   open: its files are listed in this page;
//   unread: why what is kept for it could not be read, or '': its way back
//     is then unknown, and nothing is written to it.
import * as kept from './kept.js';
import { reason } from './work.js';

export const folders = [];
let made = 0;

function add(name, handle, id, prefix = '') {
  let label = name;
  for (let n = 2; folders.some((folder) => folder.label === label); n++) label = `${name} (${n})`;
  const folder = { key: ++made, id, prefix, name, label, handle, open: false, unread: '' };
  folders.push(folder);
  return folder;
}
const newId = () => `${Date.now().toString(36)}-${Math.random().toString(36).slice(2)}`;
const keptFolders = () => folders.filter((folder) => folder.id && folder.prefix === '' && folder.handle);

// Where directory b lies in directory a: '' if it is a, its path in a
// (each name followed by '/'), or null if it is not inside a.
async function where(a, b) {
  try {
    return (await a.resolve(b))?.map((name) => `${name}/`).join('') ?? null;
  } catch {
    return null;
  }
}

/** A folder read through the folder chooser: a folder of its own each time. */
export const chosen = (name) => add(name, null, null);

/**
 * Brings the page's folders up to date with those kept, by this page or
 * another: a folder kept since under another id (or inside another) is
 * found by its directory, and the others are added (not open). Rejects if
 * what is kept cannot be read.
 */
export async function learn() {
  const stored = await kept.storedFolders();
  const isStored = (folder) => stored.some((record) => record.id === folder.id);
  for (const record of stored) {
    if (folders.some((folder) => folder.id === record.id && folder.prefix === '')) continue;
    let found = false;
    for (const folder of folders.filter((known) => known.handle && !isStored(known))) {
      const prefix = await where(record.handle, folder.handle);
      if (prefix !== null) Object.assign(folder, { id: record.id, prefix });
      found ||= prefix === '';
    }
    if (!found) add(record.name, record.handle, record.id);
  }
  return stored;
}

/**
 * The folder of a directory handle that the user opened: a folder open in
 * this page that is it or holds it (the handle lies at prefix in it), one
 * kept from before, or a new one; and the page's folders inside it, whose
 * files are now its files.
 */
export async function folderOf(handle) {
  const unread = await learn().then(() => '', reason);
  for (const folder of folders.filter((known) => known.open && known.handle)) {
    const prefix = await where(folder.handle, handle);
    if (prefix !== null) return { folder: Object.assign(folder, { unread }), prefix, inside: [] };
  }
  let folder = null;
  for (const known of folders.filter((other) => other.handle && !other.prefix)) {
    if (!folder && await where(known.handle, handle) === '') folder = known;
  }
  if (folder) folder.handle = handle;
  else {
    folder = add(handle.name, handle, newId());
    for (const outer of keptFolders()) {
      const prefix = await where(outer.handle, handle);
      if (prefix && folder.prefix === '') Object.assign(folder, { id: outer.id, prefix });
    }
  }
  folder.unread = unread;
  const inside = [];
  for (const other of folders) if (other !== folder && other.handle && await where(handle, other.handle) !== null) inside.push(other);
  return { folder, prefix: '', inside };
}

/**
 * Under the disk's lock, before anything is kept for a folder: brings it
 * up to date with what is kept, keeps it, and takes in what is kept for
 * folders inside it (the same directory kept twice included).
 */
export async function settle(folder) {
  const stored = await learn();
  // Where the folder that held it is forgotten, it is a folder of its own again.
  if (folder.prefix && !stored.some((record) => record.id === folder.id)) Object.assign(folder, { id: newId(), prefix: '' });
  if (!folder.prefix) await kept.keepFolder(folder);
  for (const other of keptFolders()) {
    const prefix = other === folder ? null : await where(folder.handle, other.handle);
    if (prefix === null) continue;
    await kept.adopt(folder, other, prefix);
    folders.splice(folders.indexOf(other), 1);
    for (const view of folders.filter((known) => known.id === other.id)) Object.assign(view, { id: folder.id, prefix: folder.prefix + prefix + view.prefix });
  }
}

/** Asks for access to a folder, from the click that needs it: '' if the browser allows it, else why not. */
export async function allowed(folder, mode = 'readwrite') {
  const why = `the browser may not ${mode === 'read' ? 'read' : 'write to'} the folder ${folder.name}`;
  try {
    const asked = { mode };
    if (await folder.handle.queryPermission(asked) === 'granted' || await folder.handle.requestPermission(asked) === 'granted') return '';
    return why;
  } catch (error) {
    return `${why}: ${reason(error)}`;
  }
}

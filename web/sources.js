// Where files come from: a picker, a drop, a folder opened with write
// access (a directory handle) or read through the folder chooser. Each
// source is { path, file }, { path, handle } or { path, find } (find()
// resolves to its handle): its path inside its folder, or its name.
// readFirstBytes() reads what the page needs of one. And what the browser
// left in a folder of writes it did not finish: found, looked for again,
// removed.
import { inBlock } from './bytes.js';
import { bytesNeeded } from './pitmix.js';
import { inSlices, sliceMilliseconds, sortInSlices, yieldToPage } from './work.js';

// Thousands of files are taken from a list a slice at a time: 20,000 at
// once take one task of 60 ms and more.

/** Picked or dropped files (an array or a FileList), each under its own name. */
export async function looseFiles(files) {
  const sources = [];
  await inSlices(files, (file) => sources.push({ file, path: file.name }));
  return sources;
}

/** Chromium writes a file through a '.crswap' beside it; a crash can leave one, which is no file of the player's. */
export const isLeftoverOfAWrite = (path) => path.endsWith('.crswap');

/**
 * The files of a folder chosen with <input webkitdirectory>: their paths
 * begin with the folder's name, which is returned apart. What the browser
 * left of a write it did not finish is not one of them.
 */
export async function chosenFolder(files) {
  const name = files[0]?.webkitRelativePath.split('/')[0] ?? '';
  const sources = [];
  await inSlices(files, (file) => isLeftoverOfAWrite(file.name) || sources.push({ file, path: file.webkitRelativePath.slice(name.length + 1) }));
  return { name, sources };
}

/**
 * Every file below a directory handle; the subfolders that could not be
 * listed (by path; '' for the folder itself: one that fails keeps the
 * files listed before it failed); and the paths of what the browser left
 * of writes it did not finish, which are not among the files. Stops early
 * once signal is aborted.
 */
export async function walk(root, signal, progress) {
  const sources = [];
  const unlisted = [];
  const leftovers = [];
  const visit = async (folder, prefix) => {
    try {
      for await (const handle of folder.values()) {
        if (signal.aborted) return;
        const path = prefix + handle.name;
        if (handle.kind === 'directory') await visit(handle, `${path}/`);
        else if (isLeftoverOfAWrite(path)) leftovers.push(path);
        else sources.push({ handle, path });
        if (sources.length % 500 === 0) progress(sources.length);
      }
    } catch (error) {
      unlisted.push({ path: prefix.slice(0, -1), reason: error.message });
    }
  };
  await visit(root, '');
  return { sources, unlisted, leftovers };
}

/**
 * Resolves to the sources in path order, folder by folder, each name
 * compared as it is. The key is made once per source: with '\0' between
 * the names, which sorts below every character, plain string order is that
 * order. 20,000 paths sorted at once take a task of 100 ms and more.
 */
export async function inPathOrder(sources) {
  await inSlices(sources, (source) => { source.order = source.path.replaceAll('/', '\0'); });
  return sortInSlices(sources, (a, b) => (a.order < b.order ? -1 : a.order > b.order ? 1 : 0));
}

/**
 * A file's first bytes (all of a setup file) and its size. Only the first
 * chunk of a large file is read: its size alone refuses it. A stream costs
 * the page much less than slice(), and a small file tells its size by
 * ending, so only a larger one is asked for it.
 */
export async function readFirstBytes(source) {
  const file = source.file ?? await (source.handle ?? await source.find()).getFile();
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
    if (!ended) reader.cancel().catch(() => {});
  }
  const bytes = new Uint8Array(Math.min(length, bytesNeeded));
  let at = 0;
  for (const chunk of chunks) {
    bytes.set(chunk.subarray(0, bytes.length - at), at);
    at += Math.min(chunk.length, bytes.length - at);
  }
  return { bytes: inBlock(bytes), size: ended ? length : file.size };
}

/**
 * Finds files of folders again by their path: the page keeps no handle for
 * each file (thousands of them weigh on the browser's garbage collection).
 * Each subfolder is looked up once. Returns find(folder, path), which
 * resolves to the file's handle.
 */
export function finder() {
  const subfolders = new Map();
  const subfolder = (folder, path) => {
    const key = `${folder.key}\n${path}`;
    if (!subfolders.has(key)) {
      const cut = path.lastIndexOf('/');
      subfolders.set(key, path === '' ? Promise.resolve(folder.handle)
        : subfolder(folder, path.slice(0, Math.max(cut, 0))).then((parent) => parent.getDirectoryHandle(path.slice(cut + 1))));
    }
    return subfolders.get(key);
  };
  return async (folder, path) => {
    const cut = path.lastIndexOf('/');
    return (await subfolder(folder, cut < 0 ? '' : path.slice(0, cut))).getFileHandle(path.slice(cut + 1));
  };
}

// Files whose first bytes are on their way at once, and reads started a
// slice. Reads that end together are handled together, in one task: with
// 512 at once, one took the page 80 ms and more; with 128 started in one
// slice, the first 128 ended together, in a task of 60 ms and more.
const readsInFlight = 256;
const readsPerSlice = 32;
// How often progress is told while reading.
const showEvery = 150;

/**
 * Reads the sources' first bytes and hands each, in order, to
 * listed(source, read): read is { bytes, size } or { error }. Reads are
 * started a few a slice, up to readsInFlight ahead, and listed as they
 * arrive, a slice at a time; progress(done) is told a few times a second.
 * Once signal is aborted nothing more is listed. Returns how many were.
 */
export async function readInOrder(sources, signal, listed, progress) {
  const arrivedReads = new Array(sources.length);
  let started = 0;
  let done = 0;
  let shown = performance.now();
  let arrived = null;  // wakes the loop when a read is done, or signal is aborted
  signal.addEventListener('abort', () => arrived?.());
  while (done < sources.length && !signal.aborted) {
    const start = performance.now();
    const inTime = () => performance.now() - start < sliceMilliseconds;
    // A read that finishes at once goes on in the same task: few are started together.
    const startsEnd = Math.min(sources.length, done + readsInFlight, started + readsPerSlice);
    while (started < startsEnd && inTime()) {
      const at = started++;
      readFirstBytes(sources[at]).catch((error) => ({ error })).then((read) => {
        arrivedReads[at] = read;
        arrived?.();
      });
    }
    while (arrivedReads[done] && inTime()) {
      listed(sources[done], arrivedReads[done]);
      arrivedReads[done++] = null;
    }
    if (performance.now() - shown > showEvery) {
      progress(done);
      shown = performance.now();
    }
    if (arrivedReads[done] || (started < sources.length && started - done < readsInFlight)) await yieldToPage();
    else if (done < sources.length) await new Promise((resolve) => { arrived = resolve; });
    arrived = null;
  }
  return done;
}

// The folder of a file at path below a directory, and the file's name.
async function placeOf(root, path) {
  const names = path.split('/');
  let parent = root;
  for (const name of names.slice(0, -1)) parent = await parent.getDirectoryHandle(name);
  return [parent, names.at(-1)];
}

/** Which of the files at paths below a directory are still there. */
export async function stillThere(root, paths) {
  const there = await Promise.all(paths.map(async (path) => {
    const [parent, name] = await placeOf(root, path).catch(() => []);
    return parent?.getFileHandle(name).then(() => true, () => false) ?? false;
  }));
  return paths.filter((path, i) => there[i]);
}

/**
 * Removes the files at paths below a directory. Resolves to { removed, left,
 * error }: how many were removed, the paths of those still there, and why
 * the first of them was not (those already gone are neither).
 */
export async function removeAll(root, paths) {
  let removed = 0;
  let error = null;
  const left = [];
  for (const path of paths) {
    try {
      const [parent, name] = await placeOf(root, path);
      await parent.removeEntry(name);
      removed++;
    } catch (caught) {
      if (caught.name !== 'NotFoundError') {
        error ??= caught;
        left.push(path);
      }
    }
  }
  return { removed, left, error };
}

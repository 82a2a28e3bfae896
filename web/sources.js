// Where files come from: a picker, a drop, or a folder read through the
// folder chooser, each file a source { path, file }, its path inside its
// folder, or its name. A folder opened with write access is listed by the
// page's worker, which reads the first bytes of every file (background.js,
// files.js). And what the browser left in a folder of writes it did not
// finish: looked for again, removed.
import { isLeftoverOfAWrite } from './files.js';
import { inSlices } from './work.js';

export { isLeftoverOfAWrite };

// Thousands of files are taken from a list a slice at a time: 20,000 at
// once take one task of 60 ms and more.

/** Picked or dropped files (an array or a FileList), each under its own name. */
export async function looseFiles(files) {
  const sources = [];
  await inSlices(files, (file) => sources.push({ file, path: file.name }));
  return sources;
}

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

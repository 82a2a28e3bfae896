// Downloads, made when asked for: no control of the page ever points at
// bytes (or at the page itself) before it is pressed.
import { Zip, ZipPassThrough } from 'fflate';
import { inSlices } from './work.js';

const unixHost = 3;
const regularFileMode = 0o100644;

/** Hands bytes (a Blob or a byte array) to the browser as a download named name. */
export function download(bytes, name) {
  const blob = bytes instanceof Blob ? bytes : new Blob([bytes], { type: 'application/octet-stream' });
  const url = URL.createObjectURL(blob);
  const link = document.createElement('a');
  link.href = url;
  link.download = name;
  link.hidden = true;
  document.body.append(link);
  link.click();
  link.remove();
  // Some browsers read the bytes after the click has returned.
  setTimeout(() => URL.revokeObjectURL(url), 60_000);
}

/**
 * The files ({ name, bytes }) in one .zip, built in slices. Resolves to a
 * Blob, or null if signal stopped it; rejects if the zip cannot be made.
 */
export async function zipOf(files, signal, progress) {
  // The zip's bytes come in many small chunks; each slice's are joined in
  // a Blob of their own, as one Blob of them all would take long to make.
  const parts = [];
  const chunks = [];
  let failure = null;
  const zip = new Zip((error, chunk) => {
    if (error) failure = error;
    else chunks.push(chunk);
  });
  const done = await inSlices(files, ({ name, bytes }) => {
    const file = new ZipPassThrough(name);
    // Marked as made on Unix, as plain rw-r--r-- files: with the MS-DOS
    // default, Info-ZIP's unzip reads names beyond ASCII in the DOS code
    // page even though the archive flags them as UTF-8.
    file.os = unixHost;
    file.attrs = regularFileMode * 0x10000;
    zip.add(file);
    file.push(bytes, true);
    if (failure) throw failure;
  }, { signal, progress: (n) => { parts.push(new Blob(chunks.splice(0))); progress(n); } });
  if (done < files.length) return null;
  zip.end();
  if (failure) throw failure;
  return new Blob([...parts, ...chunks], { type: 'application/zip' });
}

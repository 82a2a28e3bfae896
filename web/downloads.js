// Downloads, made when asked for: no control of the page ever points at
// bytes (or at the page itself) before it is pressed.
import { inSlices } from './work.js';

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

// A .zip that stores each file as it is: setups are a few dozen bytes, so a
// compressor would gain nothing, and the page carries none.
const localHeader = 0x04034b50;
const centralHeader = 0x02014b50;
const endOfDirectory = 0x06054b50;
const zipVersion = 20;  // 2.0: what every unzip reads
const utf8Names = 0x0800;  // names are UTF-8
const stored = 0;
// Made on Unix, as plain rw-r--r-- files: with the MS-DOS default,
// Info-ZIP's unzip reads names beyond ASCII in the DOS code page even
// though the archive flags them as UTF-8.
const unixHost = 3;
const regularFileMode = 0o100644;
// A zip without its 64-bit extension holds at most this many files.
const mostFiles = 0xffff;

// CRC-32 (the polynomial 0xEDB88320, bits reflected), as zip checks each file.
const crcTable = Int32Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c;
});
function crc32(bytes) {
  let crc = -1;
  for (const byte of bytes) crc = crcTable[(crc ^ byte) & 0xff] ^ (crc >>> 8);
  return ~crc >>> 0;
}

// A file's local header (offset null) or its entry in the central
// directory (offset: where its local header is).
function header(name, crc, size, { time, date }, offset = null) {
  const central = offset !== null;
  const head = new Uint8Array((central ? 46 : 30) + name.length);
  const fields = new DataView(head.buffer);
  let at = 0;
  const u16 = (value) => { fields.setUint16(at, value, true); at += 2; };
  const u32 = (value) => { fields.setUint32(at, value, true); at += 4; };
  u32(central ? centralHeader : localHeader);
  if (central) u16((unixHost << 8) | zipVersion);
  for (const value of [zipVersion, utf8Names, stored, time, date]) u16(value);
  for (const value of [crc, size, size]) u32(value);
  u16(name.length);
  u16(0);  // no extra field
  if (central) {
    for (const value of [0, 0, 0]) u16(value);  // no comment, disk 0, no internal attributes
    u32(regularFileMode * 0x10000);
    u32(offset);
  }
  head.set(name, at);
  return head;
}

// Now, as MS-DOS dates and times count it (two seconds at a time).
function dosNow() {
  const now = new Date();
  return {
    time: (now.getHours() << 11) | (now.getMinutes() << 5) | (now.getSeconds() >> 1),
    date: ((now.getFullYear() - 1980) << 9) | ((now.getMonth() + 1) << 5) | now.getDate(),
  };
}

/**
 * The files ({ name, bytes }) in one .zip, built in slices. Resolves to a
 * Blob, or null if signal stopped it; rejects if the zip cannot be made.
 */
export async function zipOf(files, signal, progress) {
  if (files.length > mostFiles) throw new RangeError(`a zip holds at most ${mostFiles} files`);
  const when = dosNow();
  const encoder = new TextEncoder();
  // Each slice's headers and bytes are joined in a Blob of their own: one
  // Blob of them all would take long to make.
  const parts = [];
  const directory = [];
  let chunks = [];
  let entries = [];
  let offset = 0;
  const done = await inSlices(files, ({ name, bytes }) => {
    const path = encoder.encode(name);
    const crc = crc32(bytes);
    const local = header(path, crc, bytes.length, when);
    chunks.push(local, bytes);
    entries.push(header(path, crc, bytes.length, when, offset));
    offset += local.length + bytes.length;
  }, {
    signal,
    progress(n) {
      parts.push(new Blob(chunks));
      directory.push(new Blob(entries));
      chunks = [];
      entries = [];
      progress(n);
    },
  });
  if (done < files.length) return null;
  const directorySize = directory.reduce((size, part) => size + part.size, 0);
  const end = new Uint8Array(22);
  const fields = new DataView(end.buffer);
  fields.setUint32(0, endOfDirectory, true);
  fields.setUint16(8, files.length, true);
  fields.setUint16(10, files.length, true);
  fields.setUint32(12, directorySize, true);
  fields.setUint32(16, offset, true);
  return new Blob([...parts, ...directory, end], { type: 'application/zip' });
}

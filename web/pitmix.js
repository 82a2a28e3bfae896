// Pitmix's setup file format for the browser: the C++ code of the command
// line compiled to WebAssembly, behind two functions (after load()).
// Neither knows the file format; they only move bytes and text in and out
// of the module.
import wasmText from 'pitmix.wasm';

const encoder = new TextEncoder();
const decoder = new TextDecoder();
let wasm = null;

/** How many of a file's first bytes inspect() and patch() need: all of any setup file. */
export let bytesNeeded = 0;

/** The largest percentage a stop can take; the smallest is 0. */
export let maxPercentage = 0;

/**
 * Loads the module; the other functions work once it has. Rejects where
 * the browser cannot run it.
 */
export async function load() {
  // The module comes in the page as base64 text.
  const { instance } = await WebAssembly.instantiate(Uint8Array.from(atob(wasmText), (char) => char.charCodeAt(0)));
  wasm = instance.exports;
  bytesNeeded = wasm.pitmix_file_capacity();
  maxPercentage = wasm.pitmix_max_percentage();
}

// Views of the module's memory, made again only if it ever grows.
let memory = null;
function view() {
  if (memory?.buffer !== wasm.memory.buffer) memory = new Uint8Array(wasm.memory.buffer);
  return memory;
}

function lend(bytes) {
  const area = view().subarray(wasm.pitmix_file_bytes(), wasm.pitmix_file_bytes() + bytesNeeded);
  area.fill(0);
  area.set(bytes.subarray(0, bytesNeeded));
  return area;
}

function answer() {
  const start = wasm.pitmix_text();
  return decoder.decode(view().subarray(start, view().indexOf(0, start)));
}

/**
 * What a file holds. `bytes` are its first bytes, at least the first
 * `bytesNeeded` (or all of a shorter file); `size` is its whole length.
 * Returns `{ ok: true, edition, checksums, strategy, stops }` (for instance
 * "GP3", "checksums correct", "a 1 stop strategy with a pitstop at 50% of
 * the total race distance.", [50]; stops is null where the file holds more
 * stops than a strategy can have) or `{ ok: false, reason }` in the
 * command line's words.
 */
export function inspect(bytes, size = bytes.length) {
  lend(bytes);
  if (wasm.pitmix_inspect(size) !== 0) return { ok: false, reason: answer() };
  const [edition, checksums, ...strategy] = answer().trimEnd().split('\n');
  const [count, ...percentages] = new Int32Array(wasm.memory.buffer, wasm.pitmix_held_stops(), 4);
  return { ok: true, edition, checksums, strategy: strategy.join(' '), stops: count <= percentages.length ? percentages.slice(0, count) : null };
}

/**
 * Writes a strategy into a copy of a setup file: `percentages` holds one
 * whole number per stop, 0 to 3 of them, each 0 to `maxPercentage`.
 * Returns `{ ok: true, bytes, report }`, the report being the command
 * line's for a file called `name`, or `{ ok: false, reason }`.
 */
export function patch(bytes, percentages, name = '') {
  const nameArea = view().subarray(wasm.pitmix_name(), wasm.pitmix_name() + wasm.pitmix_name_capacity() + 1);
  const { read, written } = encoder.encodeInto(name, nameArea.subarray(0, nameArea.length - 1));
  if (read < name.length) return { ok: false, reason: 'file name too long' };
  nameArea[written] = 0;
  const area = lend(bytes);
  // Anything that is not a 32-bit whole number goes in as -1, which the
  // module refuses like any other value out of range.
  const [first = 0, second = 0, third = 0] = percentages.map((p) => ((p | 0) === p ? p : -1));
  if (wasm.pitmix_patch(bytes.length, percentages.length, first, second, third) !== 0) {
    return { ok: false, reason: answer() };
  }
  return { ok: true, bytes: area.slice(0, bytes.length), report: answer() };
}

// The bytes the page keeps of each file: compared, and copied into shared
// blocks, or gathered into one buffer a message.

/** Whether two byte arrays hold the same bytes. */
export function sameBytes(a, b) {
  if (a.length !== b.length) return false;
  for (let i = 0; i < a.length; i++) if (a[i] !== b[i]) return false;
  return true;
}

// The bytes the page keeps of each file (a setup is under 4 KiB) are
// copied into shared blocks: each buffer of its own costs the browser's
// garbage collection a little, and 20,000 files have several each.
const blockSize = 1 << 16;
let block = new Uint8Array(0);
let blockUsed = 0;

/** A copy of bytes that the page keeps, in a shared block. */
export function inBlock(bytes) {
  if (bytes.length > blockSize / 16) return bytes.slice();
  if (blockUsed + bytes.length > block.length) {
    block = new Uint8Array(blockSize);
    blockUsed = 0;
  }
  const copy = block.subarray(blockUsed, blockUsed + bytes.length);
  copy.set(bytes);
  blockUsed += bytes.length;
  return copy;
}

/**
 * A copy of value (its plain objects and arrays) whose byte arrays are
 * views into one buffer: a message of many small arrays, each its own
 * buffer, costs the page that takes it in far more than one buffer.
 */
export function gathered(value) {
  const copy = (part, swap) => {
    if (part instanceof Uint8Array) return swap(part);
    if (!Array.isArray(part) && part?.constructor !== Object) return part;
    const copied = Array.isArray(part) ? [] : {};
    for (const key in part) copied[key] = copy(part[key], swap);
    return copied;
  };
  let length = 0;
  copy(value, (bytes) => { length += bytes.length; });
  const buffer = new Uint8Array(length);
  let at = 0;
  return copy(value, (bytes) => {
    const view = buffer.subarray(at, at += bytes.length);
    view.set(bytes);
    return view;
  });
}

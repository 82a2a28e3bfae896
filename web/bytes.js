// The bytes the page keeps of each file: compared, and copied into shared
// blocks.

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

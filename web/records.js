// What is kept of a file (a Record, see kept.js), as the page and its
// worker both read it: which of Pitmix's writes some bytes hold, and
// whether two records are the same.
import { sameBytes } from './bytes.js';

/**
 * Which of Pitmix's writes kept in record (the last, or the one before)
 * a file holds, given its first bytes and its size; or null.
 */
export function writeHeld(record, bytes, size = bytes.length) {
  if (!record || size !== bytes.length) return null;
  return [record, record.previous].find((write) => write && sameBytes(write.written, bytes)) ?? null;
}

/**
 * Whether two records (or nulls) are the same: every write of Pitmix's has
 * a time of its own, a record's original never changes while it is kept,
 * and a restore marks the record with when it began.
 */
export const sameRecord = (a, b) => a?.savedAt === b?.savedAt && a?.restoring === b?.restoring && a?.previous?.savedAt === b?.previous?.savedAt;

/** A record (or null) with its bytes copied as one copied (each array alone, or in the page's shared blocks). */
export const withBytes = (record, copy) => record && {
  ...record, original: copy(record.original), written: copy(record.written),
  previous: record.previous && { ...record.previous, written: copy(record.previous.written) },
};

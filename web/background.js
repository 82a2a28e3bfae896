// The page's end of its worker (worker.js). What is kept, and the files of
// a folder opened with write access, are read and written there, off the
// page's main thread: their handles, streams and IndexedDB requests, and
// the garbage they leave, never pause the page, which only draws and
// answers. The worker runs the page's own script (the page is one file),
// from a Blob, and is made the first time it is needed; it shares the
// page's IndexedDB.
import { gathered } from './bytes.js';
import * as files from './files.js';
import { inSlices } from './work.js';

let worker = null;
let calls = 0;
// The calls under way: call → { resolve, reject, part }.
const answers = new Map();

function failAll(error) {
  for (const { reject } of answers.values()) reject(error);
  answers.clear();
  worker = null;
}

function started() {
  if (worker) return worker;
  const script = document.getElementById('pitmix').textContent;
  worker = new Worker(URL.createObjectURL(new Blob([script], { type: 'text/javascript' })));
  worker.addEventListener('message', ({ data }) => {
    const answer = answers.get(data.call);
    if (!answer) return;
    if ('part' in data) {
      answer.part(data.part);
      return;
    }
    answers.delete(data.call);
    if ('error' in data) answer.reject(new DOMException(data.error.message, data.error.name));
    else answer.resolve(data.result);
  });
  // A worker that cannot start, or stops, fails every call under way; the next call makes one anew.
  worker.addEventListener('error', (event) => failAll(new DOMException(event.message || 'the page\'s worker stopped', 'OperationError')));
  return worker;
}

// Asks the worker for op(...args): resolves to its answer; part(value) for
// each part it tells on the way; signal stops it.
function ask(op, args, { signal, part = () => {} } = {}) {
  return new Promise((resolve, reject) => {
    const call = ++calls;
    answers.set(call, { resolve, reject, part });
    try {
      const to = started();
      to.postMessage({ call, op, args });
      signal?.addEventListener('abort', () => to.postMessage({ stop: call }), { once: true });
    } catch (error) {
      answers.delete(call);
      reject(error);
    }
  });
}

/** What is kept (see kept.js), as the page reads and forgets it. */
export const kept = {
  folders: () => ask('folders', []),
  counts: (places) => ask('counts', [places]),
  /** The records below prefix in a folder id: each([[path after prefix, record], …]) a few hundred at a time. */
  recordsUnder: (id, prefix, each) => ask('recordsUnder', [id, prefix], { part: each }),
  forgetFolder: (id) => ask('forgetFolder', [id]),
};

let lasting = null;
/** Asks, once, that the browser keep what is stored for good (it may refuse). Resolves to whether it will. */
export function keptForGood() {
  lasting ??= navigator.storage?.persist?.().catch(() => false) ?? Promise.resolve(false);
  return lasting;
}
/** Whether the browser has promised to keep what is stored, without asking. */
export const promised = () => navigator.storage?.persisted?.().catch(() => false) ?? Promise.resolve(false);

// Reads that the worker tells in order, a batch at a time: each(listed,
// progress) hands each read ({ bytes, size } or { error }) and its index
// to listed() a slice at a time, progress(done) after each, and resolves
// to how many it handed once the reads end, or signal stops it; it rejects
// where the worker failed (end(error)).
function inOrder(signal) {
  const batches = [];
  let wake = null;
  let ended = false;
  let failed = null;
  return {
    add(batch) {
      batches.push(batch);
      wake?.();
    },
    end(error = null) {
      ended = true;
      failed = error;
      wake?.();
    },
    async each(listed, progress = () => {}) {
      let n = 0;
      while (!signal.aborted && (batches.length || !ended)) {
        if (!batches.length) await new Promise((resolve) => { wake = resolve; });
        wake = null;
        const batch = batches.shift() ?? [];
        await inSlices(batch, (read) => listed(read, n++), { signal, progress: () => progress(n) });
      }
      if (failed) throw failed;
      return n;
    },
  };
}

// Asks the worker for op(...args), whose parts are reads, in order, or
// else handed to other(part); Files (picked, dropped, chosen), which some
// browsers cannot read in a worker, are read here. Returns { done: its
// answer, each: the reads (see inOrder()) }.
function reading(op, args, signal, other = () => {}) {
  const reads = inOrder(signal);
  const part = (told) => (told.read ? reads.add(told.read) : other(told));
  const done = op === 'read' && !args[0] ? files.read(...args, { signal, tell: (told) => part(gathered(told)) }) : ask(op, args, { signal, part });
  done.then(() => reads.end(), (error) => reads.end(error));
  return { done, each: reads.each };
}

/**
 * Lists a folder opened with write access (handle) and reads its files'
 * first bytes (need of each), in the worker; walked(n) as it looks
 * through it. Returns { found, each }: found resolves to { paths, unlisted,
 * leftovers } once it has looked (paths in path order; see files.js), and
 * each(listed, progress) hands the reads, in that order (see inOrder()).
 */
export function list(handle, need, signal, walked) {
  let tell;
  const found = new Promise((resolve) => { tell = resolve; });
  const { done, each } = reading('list', [handle, need], signal, (part) => ('walked' in part ? walked(part.walked) : tell(part.found)));
  return { found: Promise.race([found, done.then(() => found)]), each };
}

/**
 * Reads, in the worker, the first bytes (need of each) of the files at
 * paths below a directory (handle), or, with handle null, of Files (picked,
 * dropped, or chosen with a folder; with their paths, in path order):
 * returns { order, each }: order resolves to the indexes of the files in
 * the order they are read, and each(listed, progress) hands them in that
 * order (see inOrder()).
 */
export function read(handle, files, need, signal, paths = null) {
  let tell;
  const order = new Promise((resolve) => { tell = resolve; });
  const { done, each } = reading('read', [handle, files, need, paths], signal, (part) => tell(part.order));
  done.finally(() => tell(files.map((file, i) => i))).catch(() => {});
  return { order, each };
}

/**
 * Writes a pass in the worker (see files.js write()), while the page holds
 * the disk's lock: told(index, facts) for each file of the plan, a slice
 * at a time. Resolves to { started, lost, settled } once every file is told.
 */
export async function write(kind, plan, folders, signal, told) {
  let telling = Promise.resolve();
  const done = await ask('write', [kind, plan, folders], {
    signal,
    part(facts) {
      telling = telling.then(() => inSlices(facts, ([i, fact]) => told(i, fact)));
    },
  });
  await telling;
  return done;
}

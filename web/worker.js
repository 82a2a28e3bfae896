// The page's worker: what is kept (kept.js) and the player's files
// (files.js), read and written off the page's main thread, as the page
// asks (background.js). It decides nothing: the page holds the disk's lock
// and says what to do; this does it, and tells what happened. It runs the
// page's own script, made into a worker (main.js).
import { gathered } from './bytes.js';
import * as files from './files.js';
import * as kept from './kept.js';

// What the page can ask for: each op(...args, { signal, tell }) resolves
// to its answer, telling parts of it on the way.
const ops = {
  folders: kept.folders,
  counts: kept.counts,
  recordsUnder: (id, prefix, { tell }) => kept.recordsUnder(id, prefix, tell),
  forgetFolder: kept.forgetFolder,
  list: files.list,
  read: files.read,
  write: files.write,
};

// The calls under way, each with its stop: call → AbortController.
const running = new Map();

/** Answers the page's calls. */
export function serve() {
  addEventListener('message', async ({ data }) => {
    if (data.stop) {
      running.get(data.stop)?.abort();
      return;
    }
    const { call, op, args } = data;
    const stop = new AbortController();
    running.set(call, stop);
    try {
      const result = await ops[op](...args, { signal: stop.signal, tell: (part) => postMessage({ call, part: gathered(part) }) });
      postMessage({ call, result: gathered(result) });
    } catch (error) {
      postMessage({ call, error: files.fact(error) });
    } finally {
      running.delete(call);
    }
  });
}

// Long work without long tasks: steps run in slices of a few milliseconds
// with the page free in between, asynchronous tasks run a given number at
// a time, and an AbortSignal stops either between two steps.

// A slice of work ends after this long; then the page answers input and
// draws before the next one.
export const sliceMilliseconds = 8;

export const yieldToPage = globalThis.scheduler?.yield
  ? () => globalThis.scheduler.yield()
  : () => new Promise((resolve) => setTimeout(resolve));

/**
 * Runs step(item) over items in slices, telling progress(done) after each.
 * Stops between two slices once signal is aborted. Returns how many items
 * were done.
 */
export async function inSlices(items, step, { signal, progress = () => {} } = {}) {
  let done = 0;
  while (done < items.length && !signal?.aborted) {
    const start = performance.now();
    do step(items[done]); while (++done < items.length && performance.now() - start < sliceMilliseconds);
    progress(done);
    await yieldToPage();
  }
  return done;
}

/**
 * Sorts items by compare, as Array.prototype.sort does (stably), in slices:
 * short runs are sorted at once, then merged two by two a slice at a time.
 * Resolves to a new array.
 */
export async function sortInSlices(items, compare) {
  const run = 256;
  let runs = [];
  await inSlices({ length: Math.ceil(items.length / run) }, () => {
    const at = runs.length * run;
    runs.push(items.slice(at, at + run).sort(compare));
  });
  while (runs.length > 1) {
    const merged = [];
    for (let i = 0; i < runs.length; i += 2) {
      const a = runs[i];
      const b = runs[i + 1] ?? [];
      const out = [];
      let j = 0;
      let k = 0;
      await inSlices({ length: a.length + b.length }, () => out.push(k >= b.length || (j < a.length && compare(a[j], b[k]) <= 0) ? a[j++] : b[k++]));
      merged.push(out);
    }
    runs = merged;
  }
  return runs[0] ?? [];
}

/**
 * Runs task(item, its index) over items, at most width at once. Once
 * signal is aborted no task starts; those under way finish. Returns how
 * many started.
 */
export async function inPool(items, width, task, signal) {
  let next = 0;
  const worker = async () => {
    while (next < items.length && !signal?.aborted) {
      const at = next++;
      await task(items[at], at);
    }
  };
  await Promise.all(Array.from({ length: Math.min(width, items.length) }, worker));
  return next;
}

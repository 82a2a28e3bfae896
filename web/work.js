// Long work without long tasks: steps run in slices of a few milliseconds
// with the page free in between, and an AbortSignal stops them between
// two slices.

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

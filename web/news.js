// News between the Pitmix pages of this browser: a page that has changed
// what is kept says so, in a word. What changed is read from the store, by
// each kept folder's count of changes (kept.js), not from the news.
const channel = globalThis.BroadcastChannel ? new BroadcastChannel('pitmix') : null;

/** Tells the other pages that what is kept has changed, or is about to. */
export const tell = () => channel?.postMessage('kept');

/** Calls heard() each time another page tells. */
export const onNews = (heard) => channel?.addEventListener('message', () => heard());

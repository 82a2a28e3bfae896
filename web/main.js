// The page's one script. On the page it is the page (page.js); the page
// makes a worker of this same script (background.js), and there it is the
// worker (worker.js), which has no document. It is a classic script, not a
// module: a page opened from disk can make a classic worker from a Blob,
// not a module one.
import { startPage } from './page.js';
import { serve } from './worker.js';

if (globalThis.document) startPage();
else serve();

// Builds the single-file page: the WebAssembly module, the script with
// idb-keyval (which also runs the page's worker), and the styles, inlined
// into one HTML file of at most 64 KiB.
//   node build.mjs PITMIX_WASM NODE_MODULES OUTPUT_HTML
import { readFileSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const [wasmPath, nodeModules, outputPath] = process.argv.slice(2);
const here = path.dirname(fileURLToPath(import.meta.url));
const source = (name) => readFileSync(path.join(here, name), 'utf8');
const esbuild = createRequire(path.join(nodeModules, 'package.json'))('esbuild');
const sizeLimit = 64 * 1024;

const script = await esbuild.build({
  entryPoints: [path.join(here, 'main.js')],
  bundle: true,
  minify: true,
  format: 'iife',
  target: 'es2022',
  charset: 'utf8',
  write: false,
  nodePaths: [nodeModules],
  loader: { '.wasm': 'base64' },
  plugins: [{
    name: 'pitmix-wasm',
    setup(build) {
      build.onResolve({ filter: /^pitmix\.wasm$/ }, () => ({ path: path.resolve(wasmPath) }));
    },
  }],
});
const styles = await esbuild.transform(source('page.css'), { loader: 'css', minify: true });

// A "</script" inside the script would end it early.
const inlineScript = script.outputFiles[0].text.replaceAll('</script', '<\\/script');
// The page's indentation and its comments go: a line break alone reads as a space.
const html = source('page.html').replace(/\n\s+/g, '\n').replace(/<!-- (?!styles|script)[^>]*-->\n/g, '')
  .replace('<!-- styles -->', () => `<style>${styles.code.trim()}</style>`)
  .replace('<!-- script -->', () => `<script id="pitmix">${inlineScript.trim()}</script>`);

const size = Buffer.byteLength(html);
if (size > sizeLimit) {
  console.error(`${outputPath}: ${size} bytes, more than ${sizeLimit}`);
  process.exit(1);
}
writeFileSync(outputPath, html);
console.log(`${outputPath}: ${size} bytes`);

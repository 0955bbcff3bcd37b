// orvter view in a real browser: the page draws the COPC sample, asks only for the nodes inside
// its view, and reports no error. Run by ctest:
//   node view_in_browser.mjs ORVTER COPC_FILE WEB_PACKAGE_DIR OUT_DIR
// Exits 77 (skipped) without chromium or the page's packages.
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { inflateSync } from 'node:zlib';

const [orvter, file, webDir, outDir] = process.argv.slice(2);
const CHROMIUM = process.env.ORV_CHROMIUM || '/usr/bin/chromium';
const skip = (why) => { console.log(`SKIPPED: ${why}`); process.exit(77); };
if (!existsSync(CHROMIUM)) skip(`no chromium at ${CHROMIUM} (scripts/setup.sh test installs it)`);
if (!existsSync(join(webDir, 'node_modules/puppeteer-core'))) skip(`no puppeteer-core: run npm ci in ${webDir}`);
if (!existsSync(file)) skip(`no sample ${file}`);
const require = createRequire(join(webDir, 'package.json'));
const puppeteer = require('puppeteer-core');
const { Copc } = require('copc');
const THREE = await import(pathToFileURL(join(webDir, 'node_modules/three/build/three.module.js')).href);

// The octree of the file as the npm reader sees it: key -> byte range of its points.
async function octree() {
  const copc = await Copc.create(file);
  const nodes = {};
  const pages = [copc.info.rootHierarchyPage];
  while (pages.length) {
    const sub = await Copc.loadHierarchyPage(file, pages.pop());
    Object.assign(nodes, sub.nodes);
    pages.push(...Object.values(sub.pages));
  }
  return { copc, nodes };
}

// An 8-bit RGB or RGBA PNG, as a screenshot is, decoded to pixels.
function decodePng(png) {
  const width = png.readUInt32BE(16), height = png.readUInt32BE(20);
  const colourType = png[25], channels = colourType === 6 ? 4 : 3;
  if (png[24] !== 8 || (colourType !== 2 && colourType !== 6) || png[28] !== 0)
    throw new Error('unexpected PNG layout');
  const idat = [];
  for (let at = 8; at < png.length;) {
    const length = png.readUInt32BE(at), type = png.toString('latin1', at + 4, at + 8);
    if (type === 'IDAT') idat.push(png.subarray(at + 8, at + 8 + length));
    at += 12 + length;
  }
  const raw = inflateSync(Buffer.concat(idat));
  const stride = width * channels, out = Buffer.alloc(height * stride);
  for (let y = 0; y < height; ++y) {
    const filter = raw[y * (stride + 1)];
    for (let x = 0; x < stride; ++x) {
      const v = raw[y * (stride + 1) + 1 + x];
      const a = x >= channels ? out[y * stride + x - channels] : 0;
      const b = y > 0 ? out[(y - 1) * stride + x] : 0;
      const c = x >= channels && y > 0 ? out[(y - 1) * stride + x - channels] : 0;
      const p = a + b - c, pa = Math.abs(p - a), pb = Math.abs(p - b), pc = Math.abs(p - c);
      const predict = [0, a, b, (a + b) >> 1, pa <= pb && pa <= pc ? a : pb <= pc ? b : c][filter];
      out[y * stride + x] = (v + predict) & 255;
    }
  }
  return { width, height, channels, pixels: out };
}

const failures = [];
const check = (ok, what) => { if (!ok) failures.push(what); console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}`); };

const server = spawn(orvter, ['view', file, '--log'], { stdio: ['ignore', 'pipe', 'pipe'] });
const log = [];
let browser;
const userDir = mkdtempSync(join(tmpdir(), 'orv-view-'));
try {
  const url = await new Promise((resolve, reject) => {
    let text = '';
    server.stdout.on('data', (d) => {
      text += d;
      const m = /http:\/\/127\.0\.0\.1:\d+\//.exec(text);
      if (m) resolve(m[0]);
    });
    server.on('exit', (code) => reject(new Error(`orvter view exited with ${code}`)));
    setTimeout(() => reject(new Error('orvter view printed no address')), 10000);
  });
  server.stderr.on('data', (d) => log.push(...String(d).split('\n').filter(Boolean)));

  browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    userDataDir: userDir,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--use-angle=swiftshader', '--enable-unsafe-swiftshader', '--window-size=900,650'],
  });
  const page = await browser.newPage();
  await page.setViewport({ width: 900, height: 650 });
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(String(e)));
  page.on('console', (m) => { if (m.type() === 'error') pageErrors.push(m.text()); });
  // A close view of one corner, so that some nodes lie outside it.
  await page.goto(`${url}#look=0.3,0.3,0.2,0.35`);
  await page.waitForFunction(() => window.__orvView && (window.__orvView.errors.length ||
    (window.__orvView.ready && window.__orvView.points > 0)), { timeout: 30000 });
  await new Promise((r) => setTimeout(r, 300));  // two more frames drawn with every node
  const state = await page.evaluate(() => JSON.parse(JSON.stringify(window.__orvView)));
  const shot = await page.screenshot({ type: 'png' });
  writeFileSync(join(outDir, 'view-screenshot.png'), shot);
  console.log(`screenshot: ${join(outDir, 'view-screenshot.png')}`);
  console.log(`page: ${state.points} points in ${state.nodes.length} nodes, ${state.requests.length} requests, first points after ${Math.round(state.firstPointsMs)} ms`);

  check(state.errors.length === 0 && pageErrors.length === 0,
    `the page reports no error (${[...state.errors, ...pageErrors].join('; ')})`);
  check(state.points > 0, 'points are drawn');

  // Not blank: a good share of the picture is not the background, in more than a few colours.
  const img = decodePng(shot);
  const bg = [0x15, 0x17, 0x1c];
  let coloured = 0;
  const colours = new Set();
  for (let i = 0; i < img.width * img.height; ++i) {
    const p = img.pixels.subarray(i * img.channels, i * img.channels + 3);
    if (Math.abs(p[0] - bg[0]) + Math.abs(p[1] - bg[1]) + Math.abs(p[2] - bg[2]) > 30) {
      ++coloured;
      colours.add((p[0] << 16) | (p[1] << 8) | p[2]);
    }
  }
  check(coloured > img.width * img.height * 0.01 && colours.size > 20,
    `the screenshot is not blank (${coloured} drawn pixels in ${colours.size} colours)`);

  // Every range asked for is either metadata or exactly one node's points, and those nodes lie
  // inside the view the page had.
  const { copc, nodes } = await octree();
  const cube = copc.info.cube;
  const origin = new THREE.Vector3(...state.origin);
  const frustum = new THREE.Frustum().setFromProjectionMatrix(
    new THREE.Matrix4().fromArray(state.camera.projectionView));
  const boxOf = (key) => {
    const [d, x, y, z] = key.split('-').map(Number);
    const size = (cube[3] - cube[0]) / 2 ** d;
    const min = new THREE.Vector3(cube[0] + x * size, cube[1] + y * size, cube[2] + z * size).sub(origin);
    return new THREE.Box3(min, min.clone().addScalar(size));
  };
  const byRange = new Map(Object.entries(nodes).map(([k, n]) =>
    [`${n.pointDataOffset}-${n.pointDataOffset + n.pointDataLength - 1}`, k]));
  const ranges = log.filter((l) => l.startsWith('GET /cloud.copc.laz'));
  check(ranges.length > 0 && ranges.every((l) => / 206 bytes=\d+-\d+$/.test(l)),
    `every read of the file is a range request (${ranges.length})`);
  const fetched = [];
  for (const line of ranges) {
    const r = / bytes=(\d+)-(\d+)$/.exec(line);
    if (!r) continue;
    const key = byRange.get(`${r[1]}-${r[2]}`);
    if (key) { fetched.push(key); continue; }
    const [a, b] = [Number(r[1]), Number(r[2])];
    const overlaps = Object.entries(nodes).find(([, n]) =>
      a < n.pointDataOffset + n.pointDataLength && b >= n.pointDataOffset);
    check(!overlaps, `range ${a}-${b} is metadata, not part of a node's points`);
  }
  const outside = fetched.filter((k) => !frustum.intersectsBox(boxOf(k)));
  check(fetched.length > 0 && outside.length === 0,
    `the ${fetched.length} nodes fetched lie inside the view (outside: ${outside.join(', ')})`);
  const skipped = Object.keys(nodes).filter((k) => nodes[k].pointCount > 0 && !frustum.intersectsBox(boxOf(k)));
  check(skipped.length > 0 && skipped.every((k) => !fetched.includes(k)),
    `the ${skipped.length} nodes outside the view were not fetched`);
  check(new Set(fetched).size === fetched.length, 'no node was fetched twice');
} catch (e) {
  failures.push(String(e && e.stack ? e.stack : e));
  console.log(`FAIL ${e && e.stack ? e.stack : e}`);
} finally {
  // By process id: the browser's and the server's own, nothing else.
  const pid = browser && browser.process() && browser.process().pid;
  if (browser) await browser.close().catch(() => {});
  if (pid) { try { process.kill(pid, 'SIGKILL'); } catch { /* already gone */ } }
  server.kill('SIGTERM');
  rmSync(userDir, { recursive: true, force: true });
}
console.log(`${failures.length ? 0 : 1} passed, ${failures.length ? 1 : 0} failed`);
process.exit(failures.length ? 1 : 0);

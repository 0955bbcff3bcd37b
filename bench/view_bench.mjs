// How soon the page of `orvter view` shows its first points: every run opens the page in a fresh
// headless Chromium (a new profile, so nothing is cached) and reads the time from the start of
// navigation to the first frame drawn with points, as the page reports it.
//   node bench/view_bench.mjs ORVTER FILE.copc.laz [--runs N]
// Needs `npm ci` in web/ (puppeteer-core) and Debian's chromium.
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { loadavg, tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const args = process.argv.slice(2);
const runsAt = args.indexOf('--runs');
const runs = runsAt >= 0 ? Number(args.splice(runsAt, 2)[1]) : 7;
const [orvter, file] = args;
if (!orvter || !file || !(runs > 0)) {
  console.log('usage: node bench/view_bench.mjs ORVTER FILE.copc.laz [--runs N]');
  process.exit(2);
}
const CHROMIUM = process.env.ORV_CHROMIUM || '/usr/bin/chromium';
const webDir = join(dirname(fileURLToPath(import.meta.url)), '../web');
if (!existsSync(CHROMIUM) || !existsSync(join(webDir, 'node_modules/puppeteer-core'))) {
  console.log(`needs ${CHROMIUM} and puppeteer-core (npm ci in ${webDir})`);
  process.exit(2);
}
const puppeteer = createRequire(join(webDir, 'package.json'))('puppeteer-core');

const server = spawn(orvter, ['view', file], { stdio: ['ignore', 'pipe', 'inherit'] });
const stopServer = () => server.kill('SIGTERM');
try {
  const url = await new Promise((resolve, reject) => {
    let text = '';
    server.stdout.on('data', (d) => {
      text += d;
      const m = /http:\/\/127\.0\.0\.1:\d+\//.exec(text);
      if (m) resolve(m[0]);
    });
    server.on('exit', (code) => reject(new Error(`orvter view exited with ${code}`)));
  });
  const times = [];
  for (let run = 0; run < runs; ++run) {
    const userDir = mkdtempSync(join(tmpdir(), 'orv-view-bench-'));
    const browser = await puppeteer.launch({
      executablePath: CHROMIUM,
      headless: true,
      userDataDir: userDir,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync',
        '--use-angle=swiftshader', '--enable-unsafe-swiftshader', '--window-size=900,650'],
    });
    const pid = browser.process() && browser.process().pid;
    try {
      const page = await browser.newPage();
      await page.setViewport({ width: 900, height: 650 });
      await page.goto(url);
      await page.waitForFunction(() => window.__orvView &&
        (window.__orvView.errors.length || window.__orvView.firstPointsMs !== null), { timeout: 60000 });
      const state = await page.evaluate(() => ({
        errors: window.__orvView.errors, ms: window.__orvView.firstPointsMs,
        nodes: window.__orvView.nodes.slice(0, 3),
      }));
      if (state.errors.length) throw new Error(state.errors.join('; '));
      times.push(state.ms);
      console.log(`run ${run + 1}: first points after ${Math.round(state.ms)} ms (first nodes ${state.nodes.join(', ')})`);
    } finally {
      await browser.close().catch(() => {});
      if (pid) { try { process.kill(pid, 'SIGKILL'); } catch { /* already gone */ } }
      rmSync(userDir, { recursive: true, force: true });
    }
  }
  times.sort((a, b) => a - b);
  const median = times.length % 2 ? times[(times.length - 1) / 2]
    : (times[times.length / 2 - 1] + times[times.length / 2]) / 2;
  console.log(`first points: min ${Math.round(times[0])} median ${Math.round(median)} max ` +
    `${Math.round(times[times.length - 1])} ms over ${runs} runs; load average ${loadavg()[0].toFixed(2)}`);
} finally {
  stopServer();
}

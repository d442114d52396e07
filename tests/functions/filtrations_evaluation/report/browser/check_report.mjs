// Opens HTML reports in headless Chromium and checks what a reader sees: the page loads with no
// request beyond the file itself and none failing, no script errors, the verdict matrix and the
// charts are drawn, and the reproducer links lead to files that exist.
//
//   node check_report.mjs REPORT.html accepted|rejected speed|no-speed [REPORT.html ...]
//
// CHROMIUM names the browser (default /usr/bin/chromium); SCREENSHOTS, when set, is a directory
// that receives a full-page screenshot of each report.

import { existsSync, mkdirSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';

const problems = [];
const problem = (page, text) => problems.push(`${page}: ${text}`);

async function checkReport(browser, file, verdict, speed) {
  const url = pathToFileURL(path.resolve(file)).href;
  const page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
  const requests = [];
  page.on('request', (r) => requests.push(r.url()));
  page.on('requestfailed', (r) => problem(file, `request failed: ${r.url()} (${r.failure()?.errorText})`));
  page.on('pageerror', (e) => problem(file, `page error: ${e.message}`));
  page.on('console', (m) => { if (m.type() === 'error') problem(file, `console error: ${m.text()}`); });

  const response = await page.goto(url, { waitUntil: 'load' });
  if (!response || !response.ok()) problem(file, 'the page did not load');
  for (const r of requests) if (r !== url) problem(file, `loads another resource: ${r}`);

  const seen = await page.evaluate(() => {
    const text = (el) => (el ? el.textContent.trim() : null);
    const matrix = document.querySelector('#verdict-matrix');
    const rows = matrix ? [...matrix.querySelectorAll('tbody tr')] : [];
    const headers = matrix ? [...matrix.querySelectorAll('thead th')].map(text) : [];
    const box = (el) => { const r = el.getBoundingClientRect(); return { width: r.width, height: r.height }; };
    return {
      summary: text(document.querySelector('#summary')),
      matrixBox: matrix ? box(matrix) : null,
      headers,
      rows: rows.map((row) => ({
        name: text(row.querySelector('th')),
        cells: [...row.querySelectorAll('td')].map((td) => ({
          text: text(td), cls: td.className, target: td.querySelector('a')?.getAttribute('href') ?? null,
        })),
      })),
      openFailures: [...document.querySelectorAll('details.check.fail')].map((d) => ({ id: d.id, open: d.open })),
      biasCharts: [...document.querySelectorAll('svg.bias-chart')].map((svg) => ({
        box: box(svg),
        trials: svg.querySelectorAll('circle.trial, path.trial-error').length,
        band: svg.querySelector('rect.band')?.getBBox().height ?? 0,
        expected: svg.querySelectorAll('line.expected').length,
      })),
      speedCharts: [...document.querySelectorAll('svg.speed-chart')].map((svg) => ({
        box: box(svg),
        bars: svg.querySelectorAll('rect.bar').length,
        limits: svg.querySelectorAll('line.limit').length,
      })),
      reproducers: [...document.querySelectorAll('a.reproducer')].map((a) => a.href),
      scripts: document.querySelectorAll('script').length,
      external: [...document.querySelectorAll('[src], link[href]')].map((el) => el.outerHTML.slice(0, 80)),
    };
  });

  // The verdict matrix: one row per operator, a cell per check, the verdict last.
  const counts = /(\d+) of (\d+) operators accepted/.exec(seen.summary ?? '');
  if (!counts) problem(file, `no summary line: ${seen.summary}`);
  if (!seen.matrixBox || seen.matrixBox.width === 0 || seen.matrixBox.height === 0) problem(file, 'no verdict matrix on screen');
  const [accepted, total] = counts ? [Number(counts[1]), Number(counts[2])] : [0, 0];
  if (seen.rows.length !== total || total === 0) problem(file, `${seen.rows.length} matrix rows for ${total} operators`);
  for (const row of seen.rows) {
    if (row.cells.length !== seen.headers.length - 1) problem(file, `row ${row.name}: ${row.cells.length} cells, ${seen.headers.length} headers`);
  }
  const verdicts = seen.rows.map((row) => row.cells.at(-1)?.text);
  if (verdicts.filter((v) => v === 'yes').length !== accepted) problem(file, `verdict column disagrees with "${seen.summary}"`);
  if (verdict === 'accepted' && accepted !== total) problem(file, `expected every operator accepted: ${seen.summary}`);
  if (verdict === 'rejected') {
    if (accepted === total) problem(file, `expected a rejected operator: ${seen.summary}`);
    const failed = seen.rows.flatMap((row) => row.cells.filter((c) => c.cls.split(' ').includes('fail')));
    if (failed.length === 0) problem(file, 'no failed check in the matrix');
    for (const cell of failed) {
      const details = seen.openFailures.find((d) => `#${d.id}` === cell.target);
      if (!details) problem(file, `failed cell links to ${cell.target}, which is no failed check's details`);
      else if (!details.open) problem(file, `the details of ${cell.target} are not open`);
    }
  }

  // Charts: drawn with a size, a tolerance band, an expected line and one mark per trial.
  if (seen.biasCharts.length === 0) problem(file, 'no bias chart');
  for (const [i, c] of seen.biasCharts.entries()) {
    if (c.box.width === 0 || c.box.height === 0) problem(file, `bias chart ${i} is not drawn`);
    if (c.trials === 0) problem(file, `bias chart ${i} shows no trial`);
    if (!(c.band > 0) || c.expected !== 1) problem(file, `bias chart ${i} lacks its band or expected share`);
  }
  if (speed === 'speed') {
    const chart = seen.speedCharts[0];
    if (!chart || chart.box.width === 0) problem(file, 'no speed chart');
    else if (chart.bars === 0 || chart.bars !== chart.limits) problem(file, `speed chart: ${chart.bars} bars, ${chart.limits} limits`);
  }

  // Self-contained: nothing to fetch, nothing to run; reproducer links lead to files.
  if (seen.scripts !== 0) problem(file, `${seen.scripts} script elements`);
  for (const el of seen.external) problem(file, `refers to a resource: ${el}`);
  if (verdict === 'rejected' && seen.reproducers.length === 0) problem(file, 'no reproducer link');
  for (const href of seen.reproducers) {
    if (!href.startsWith('file:') || !existsSync(fileURLToPath(href))) problem(file, `reproducer link leads nowhere: ${href}`);
  }

  if (process.env.SCREENSHOTS) {
    mkdirSync(process.env.SCREENSHOTS, { recursive: true });
    await page.screenshot({ path: path.join(process.env.SCREENSHOTS, `${path.basename(path.dirname(path.resolve(file)))}.png`), fullPage: true });
  }
  await page.close();
  console.log(`${file}: ${seen.rows.length} operators, ${seen.biasCharts.length} bias charts, ` +
              `${seen.speedCharts.length} speed chart(s), ${seen.reproducers.length} reproducer links`);
}

const args = process.argv.slice(2);
if (args.length === 0 || args.length % 3 !== 0) {
  console.error('usage: node check_report.mjs REPORT.html accepted|rejected speed|no-speed ...');
  process.exit(2);
}
const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync'],
});
try {
  for (let i = 0; i < args.length; i += 3) await checkReport(browser, args[i], args[i + 1], args[i + 2]);
} finally {
  await browser.close();
}
for (const p of problems) console.error(p);
process.exit(problems.length === 0 ? 0 : 1);

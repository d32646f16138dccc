// Checks pages of a running search server in headless Chromium: axe-core over each page in the light and the
// dark colour scheme (every violation is printed), a screenshot of each kept for a person to look at, and the
// keyboard path of the results page ("/" to the query, arrows between results, Enter opens one).
//
// Usage: node check_pages.js CHROMIUM ARTIFACT_FOLDER NAME=URL... ; exits 1 when anything failed.
'use strict';
const fs = require('fs');
const path = require('path');
const puppeteer = require('puppeteer-core');

const [chromium, artifacts, ...pages] = process.argv.slice(2);
const axeSource = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');
let failures = 0;

function fail(message) {
  failures++;
  console.log('FAIL ' + message);
}

async function checkPage(page, name, url) {
  for (const scheme of ['light', 'dark']) {
    await page.emulateMediaFeatures([{name: 'prefers-color-scheme', value: scheme}]);
    const response = await page.goto(url, {waitUntil: 'load'});
    if (!response || response.status() !== 200) fail(`${name}: status ${response && response.status()}`);
    // axe comes from the test, not from the page, whose policy allows no script but its own.
    await page.evaluate(axeSource);
    const result = await page.evaluate(() => axe.run(document, {resultTypes: ['violations']}));
    for (const violation of result.violations)
      fail(`${name} (${scheme}): ${violation.id}: ${violation.help}: ` +
           violation.nodes.slice(0, 3).map((node) => node.target.join(' ')).join(', '));
    console.log(`${name} (${scheme}): ${result.violations.length} violations, ${result.passes.length} rules passed`);
    await page.screenshot({path: path.join(artifacts, `${name}-${scheme}.png`)});
  }
}

async function checkKeys(page, url) {
  await page.emulateMediaFeatures([{name: 'prefers-color-scheme', value: 'light'}]);
  await page.goto(url, {waitUntil: 'load'});
  const focused = () => page.evaluate(() => {
    const element = document.activeElement;
    return element ? (element.name || element.getAttribute('href') || element.tagName) : '';
  });
  await page.evaluate(() => document.activeElement && document.activeElement.blur());
  await page.keyboard.press('/');
  if (await focused() !== 'q') fail(`"/" should focus the query, focused ${await focused()}`);
  const results = await page.evaluate(() => [...document.querySelectorAll('a.open')].map((a) => a.getAttribute('href')));
  if (results.length < 2) return fail(`the keyboard path needs two results, found ${results.length}`);
  await page.keyboard.press('ArrowDown');
  if (await focused() !== results[0]) fail(`ArrowDown from the query should reach the first result`);
  await page.keyboard.press('ArrowDown');
  if (await focused() !== results[1]) fail(`ArrowDown should reach the second result`);
  await page.keyboard.press('ArrowUp');
  if (await focused() !== results[0]) fail(`ArrowUp should go back to the first result`);
  await Promise.all([page.waitForNavigation(), page.keyboard.press('Enter')]);
  if (!page.url().endsWith(results[0])) fail(`Enter should open ${results[0]}, opened ${page.url()}`);
  console.log(`keys: "/", arrows and Enter walked ${results.length} results`);
}

(async () => {
  const browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--no-first-run'],
    defaultViewport: {width: 1100, height: 800},
  });
  try {
    const page = await browser.newPage();
    await page.setBypassCSP(true);
    for (const entry of pages) {
      const at = entry.indexOf('=');
      await checkPage(page, entry.slice(0, at), entry.slice(at + 1));
    }
    const results = pages.find((entry) => entry.startsWith('results='));
    if (results) await checkKeys(page, results.slice('results='.length));
  } catch (error) {
    fail(String(error && error.stack || error));
  } finally {
    await browser.close();
  }
  process.exit(failures ? 1 : 0);
})();

// Forgetting from the search pages in headless Chromium, in one of two parts:
//
//   node forget_in_browser.js CHROMIUM attack FORM_BODY
//     another site (a page served here on another loopback port) tries everything a page can do to make the
//     server forget: forms posted with and without the fields of a real form (FORM_BODY, as if its token had
//     leaked), an image, a link followed, a script's fetch; prints "attack: done".
//   node forget_in_browser.js CHROMIUM person
//     a person forgets a moment, a site (adding it to the excluded sites), a day and a time range through the
//     pages' own links and buttons; prints "person: <step> ok" for each.
//
// Exits 1 when anything failed. What was removed is for the caller to check in the archive.
'use strict';
const http = require('http');
const puppeteer = require('puppeteer-core');

const [chromium, part, formBody] = process.argv.slice(2);
const site = 'http://127.0.0.1:5000';
let failures = 0;
function fail(message) {
  failures++;
  console.log('FAIL ' + message);
}

function hostilePage(fields) {
  const inputs = (body) => [...new URLSearchParams(body)]
      .map(([name, value]) => `<input type="hidden" name="${name}" value="${value}">`).join('');
  return `<!doctype html><html><body>
<iframe name="sink"></iframe>
<form id="bare" method="post" action="${site}/forget" target="sink">
  <input type="hidden" name="kind" value="day"><input type="hidden" name="day" value="2024-03-01"></form>
<form id="leaked" method="post" action="${site}/forget" target="sink">${inputs(fields)}</form>
<form id="plain" method="post" action="${site}/forget" enctype="text/plain" target="sink">${inputs(fields)}</form>
<img src="${site}/forget?${fields}" alt="">
<a id="link" href="${site}/forget?${fields}" target="sink">look</a>
<script>
  document.getElementById('bare').submit();
  setTimeout(() => document.getElementById('leaked').submit(), 300);
  setTimeout(() => document.getElementById('plain').submit(), 600);
  setTimeout(() => document.getElementById('link').click(), 900);
  fetch('${site}/forget', {method: 'POST', mode: 'no-cors', body: new URLSearchParams('${fields}')})
      .catch(() => {});
  fetch('${site}/forget', {method: 'POST', mode: 'no-cors', credentials: 'include',
        headers: {'Content-Type': 'application/x-www-form-urlencoded'}, body: '${fields}'}).catch(() => {});
  setTimeout(() => { window.attacked = true; }, 1500);
</script></body></html>`;
}

async function attack(browser) {
  const server = http.createServer((request, response) => {
    response.writeHead(200, {'Content-Type': 'text/html; charset=utf-8'});
    response.end(hostilePage(formBody));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const page = await browser.newPage();
  await page.goto(`http://127.0.0.1:${server.address().port}/`, {waitUntil: 'load'});
  await page.waitForFunction(() => window.attacked === true, {timeout: 20000});
  await new Promise((resolve) => setTimeout(resolve, 1000));  // the last requests land
  server.close();
  console.log('attack: done');
}

// Follows the link with this text on the page, then presses the asking page's button.
async function forgetThrough(page, url, linkText, prepare) {
  await page.goto(url, {waitUntil: 'load'});
  const [link] = await page.$$(`xpath/.//a[normalize-space(text())="${linkText}"]`);
  if (!link) throw new Error(`no link "${linkText}" on ${url}`);
  await Promise.all([page.waitForNavigation(), link.click()]);
  if (prepare) await prepare(page);
  await Promise.all([page.waitForNavigation(), page.click('form.confirm button[type=submit]')]);
  const heading = await page.$eval('h1', (h1) => h1.textContent).catch(() => null);
  if (heading !== 'Forgotten')
    throw new Error(`after "${linkText}": ${(await page.content()).replace(/\s+/g, ' ').slice(0, 300)}`);
  return page.$eval('main', (main) => main.innerText);
}

async function person(browser) {
  const page = await browser.newPage();
  const steps = [
    ['moment', () => forgetThrough(page, `${site}/record/20240301/2024-03-01T10:00:00Z`, 'Forget this moment')],
    ['site', () => forgetThrough(page, `${site}/?q=quokkabank`, 'Forget everything from this site',
                                 (asking) => asking.click('input[name=exclude]'))],
    ['day', () => forgetThrough(page, `${site}/timeline?day=2024-03-03`, 'Forget this day')],
    ['range', async () => {
      await page.goto(`${site}/`, {waitUntil: 'load'});
      await page.click('details.forget summary');
      await page.$eval('details.forget input[name=from]', (input) => { input.value = '2024-03-04T12:00'; });
      await page.$eval('details.forget input[name=to]', (input) => { input.value = '2024-03-04T14:00'; });
      await Promise.all([page.waitForNavigation(), page.click('details.forget button')]);
      if (!await page.$('form.confirm'))
        throw new Error(`asked: ${(await page.content()).replace(/\s+/g, ' ').slice(0, 400)}`);
      await Promise.all([page.waitForNavigation(), page.click('form.confirm button[type=submit]')]);
      return page.$eval('main', (main) => main.innerText);
    }],
  ];
  for (const [name, step] of steps) {
    try {
      console.log(`person: ${name} ok: ${(await step()).replace(/\s+/g, ' ').trim()}`);
    } catch (error) {
      fail(`${name}: ${error && error.message || error}`);
    }
  }
}

(async () => {
  const browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--no-first-run'],
  });
  try {
    if (part === 'attack') await attack(browser);
    else if (part === 'person') await person(browser);
    else fail(`no part "${part}"`);
  } catch (error) {
    fail(String(error && error.stack || error));
  } finally {
    await browser.close();
  }
  process.exit(failures ? 1 : 0);
})();

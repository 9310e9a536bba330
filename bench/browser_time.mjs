// Time to the device in a browser: headless Chromium (Debian's) at the portal,
// driven by playwright-core. The bench's click-to-page figure comes from
// chromium_pipe.py, which leaves the pages alone; this driver's "open" gives
// the same clicks as an automation library sees them, and "give-up" the wait.
// Prints one line per device: "SERIAL MILLISECONDS".
//
// open: clicks "Open web interface" for each given device, one fresh device per
// run, a second after the portal page has loaded (as chromium_pipe.py does, for
// the reason it gives), and waits until the device's own page says "Signed in
// as". The time runs from the click, as the portal page received it, to the
// moment the device's page had been read whole (its DOMContentLoaded), both on
// the browser's clock.
// give-up: opens each given device, which must be offline, in a tab of its own,
// all at once, and waits until the gateway gives up on it; the time runs from
// the tab's first request to the gateway to the failed page.
//
// Usage: node browser_time.mjs PLAYWRIGHT_CORE_DIR PORTAL_URL open|give-up SERIAL...
import { join } from 'node:path';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { pathToFileURL } from 'node:url';

const [moduleDir, portalUrl, mode, ...args] = process.argv.slice(2);
const { chromium } = await import(pathToFileURL(join(moduleDir, 'index.mjs')).href);
const GATEWAY = /^http:\/\/127\.0\.0\.1:9999\//;
// The gateway gives up at the 47th request, about 42 s into the wait with the
// waiting page's pace; a page that never gets there fails the run.
const GIVE_UP_LIMIT_MS = 120000;
const READING_PAUSE_MS = 1000;

async function deviceLink(page, serial) {
  const link = page.locator(`a[href*="ds=${serial}&"], a[href$="ds=${serial}"]`);
  if ((await link.count()) !== 1) throw new Error(`no link for ${serial} on the portal`);
  return link;
}

async function timeClick(context, serial) {
  const page = await context.newPage();
  await page.goto(portalUrl);
  let clicked = null;
  page.on('console', (message) => {
    const seen = /^clicked at (\d+(\.\d+)?)$/.exec(message.text());
    if (seen) clicked = Number(seen[1]);
  });
  await page.evaluate(() => {
    document.addEventListener('click', (event) => {
      console.log('clicked at ' + (performance.timeOrigin + event.timeStamp));
    }, true);
  });
  const link = await deviceLink(page, serial);
  await page.waitForTimeout(READING_PAUSE_MS);
  await link.click();
  await page.waitForURL(/^http:\/\/localhost:\d+\//, { timeout: 30000 });
  await page.getByText('Signed in as').waitFor({ timeout: 30000 });
  const parsed = await page.evaluate(() => performance.timeOrigin +
      performance.getEntriesByType('navigation')[0].domContentLoadedEventStart);
  const ms = parsed - clicked;
  if (clicked === null || !(ms > 0)) throw new Error(`no time of the click for ${serial}`);
  await page.close();
  return ms;
}

async function timeGiveUp(context, serial, href) {
  const page = await context.newPage();
  let first = null;
  page.on('request', (request) => {
    if (first === null && request.isNavigationRequest() && GATEWAY.test(request.url()))
      first = performance.now();
  });
  await page.goto(href);
  // A hidden tab's timers would be slowed down, and the figure with them.
  const seen = await page.waitForFunction(() => {
    if (document.visibilityState !== 'visible') return 'hidden';
    return document.title === 'Device not reachable' ? 'failed page' : false;
  }, null, { timeout: GIVE_UP_LIMIT_MS, polling: 20 });
  const ms = performance.now() - first;
  if ((await seen.jsonValue()) !== 'failed page')
    throw new Error(`the tab of ${serial} was hidden`);
  await page.close();
  return ms;
}

async function timeGiveUps(context, list) {
  const portal = await context.newPage();
  await portal.goto(portalUrl);
  const hrefs = [];
  for (const serial of list)
    hrefs.push(await (await deviceLink(portal, serial)).getAttribute('href'));
  await portal.close();
  return Promise.all(list.map((serial, i) => timeGiveUp(context, serial, hrefs[i])));
}

if (!['open', 'give-up'].includes(mode)) throw new Error('mode: open or give-up');
const profile = mkdtempSync(join(tmpdir(), 'harborgate-bench-chromium-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
  if (mode === 'give-up') {
    const times = await timeGiveUps(context, args);
    args.forEach((serial, i) => console.log(`${serial} ${times[i].toFixed(1)}`));
  } else {
    for (const serial of args) {
      const ms = await timeClick(context, serial);
      console.log(`${serial} ${ms.toFixed(1)}`);
    }
  }
} finally {
  await context.close();
  rmSync(profile, { recursive: true, force: true });
}

// Time to the device in a browser: headless Chromium (Debian's) at the portal,
// driven by playwright-core. The bench's click-to-page figure comes from
// chromium_pipe.py, which leaves the pages alone; this driver's "open" gives
// the same clicks as an automation library sees them, and "give-up" the wait.
// Prints one line per device: "SERIAL MILLISECONDS", and in the modes that
// click a link a third column, the same run as the browser driver saw it.
//
// open: clicks "Open web interface" for each given device, one fresh device per
// run, and waits until the device's own page says "Signed in as". The time runs
// from the click, as the portal page received it, to the moment the device's
// page had been read whole (its DOMContentLoaded), both on the browser's clock.
// The driver's column runs from the call that makes the click to the moment the
// driver found the text: it adds the driver's own steps, scrolling to the link
// and waiting for it to hold still before the click, and finding the text in
// the device's page after it.
// straight: the same for a link to the device's page itself, put on the portal
// page, for devices whose tunnel is up: the part of the time the browser and the
// device's page take, whatever the gateway and the waiting page do. Each
// argument is SERIAL=URL, the URL the gateway's redirect names.
// give-up: opens each given device, which must be offline, in a tab of its own,
// all at once, and waits until the gateway gives up on it; the time runs from
// the tab's first request to the gateway to the failed page.
//
// Usage: node browser_time.mjs PLAYWRIGHT_CORE_DIR PORTAL_URL open|straight|give-up ARG...
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

async function deviceLink(page, serial) {
  const link = page.locator(`a[href*="ds=${serial}&"], a[href$="ds=${serial}"]`);
  if ((await link.count()) !== 1) throw new Error(`no link for ${serial} on the portal`);
  return link;
}

async function timeClick(context, serial, straightUrl) {
  const page = await context.newPage();
  await page.goto(portalUrl);
  let clicked = null;
  page.on('console', (message) => {
    const seen = /^clicked at (\d+(\.\d+)?)$/.exec(message.text());
    if (seen) clicked = Number(seen[1]);
  });
  await page.evaluate((url) => {
    document.addEventListener('click', (event) => {
      console.log('clicked at ' + (performance.timeOrigin + event.timeStamp));
    }, true);
    if (url === null) return;
    const link = document.createElement('a');
    link.id = 'straight';
    link.href = url;
    link.textContent = 'Straight to the device';
    document.body.prepend(link);
  }, straightUrl);
  const link = straightUrl === null ? await deviceLink(page, serial) : page.locator('#straight');
  const called = performance.now();
  await link.click();
  await page.waitForURL(/^http:\/\/localhost:\d+\//, { timeout: 30000 });
  await page.getByText('Signed in as').waitFor({ timeout: 30000 });
  const driverMs = performance.now() - called;
  const parsed = await page.evaluate(() => performance.timeOrigin +
      performance.getEntriesByType('navigation')[0].domContentLoadedEventStart);
  const ms = parsed - clicked;
  if (clicked === null || !(ms > 0)) throw new Error(`no time of the click for ${serial}`);
  await page.close();
  return `${ms.toFixed(1)} ${driverMs.toFixed(1)}`;
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

if (!['open', 'straight', 'give-up'].includes(mode))
  throw new Error('mode: open, straight or give-up');
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
    for (const arg of args) {
      const cut = mode === 'straight' ? arg.indexOf('=') : -1;
      if (mode === 'straight' && cut < 0) throw new Error(`not SERIAL=URL: ${arg}`);
      const serial = cut < 0 ? arg : arg.slice(0, cut);
      const url = cut < 0 ? null : arg.slice(cut + 1);
      console.log(`${serial} ${await timeClick(context, serial, url)}`);
    }
  }
} finally {
  await context.close();
  rmSync(profile, { recursive: true, force: true });
}

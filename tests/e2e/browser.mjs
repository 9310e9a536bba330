// A person at the portal, played by Debian's Chromium, headless: opens the device
// list, clicks "Open web interface" for DEMO-0001 and must land on the device's
// own page through the tunnel, signed in, with its port table. Meanwhile a second
// tab opens the offline DEMO-0003 and must wait on the waiting page until the
// gateway gives up at the 47th request. Screenshots of every page go to the
// output folder. With "front-door" as third argument only DEMO-0001 is opened,
// which spares the minute of waiting for the gateway to give up.
//
// Usage: node browser.mjs PORTAL_URL OUTPUT_FOLDER [front-door]
import { chromium } from 'playwright-core';
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const [portalUrl, outDir, scope] = process.argv.slice(2);
const GATEWAY = /^http:\/\/127\.0\.0\.1:9999\//;
const GIVE_UP_REQUEST = 47;
const WAITED_SHOWN = 30;

function check(condition, message) {
  if (!condition) throw new Error(message);
}

async function shot(page, name) {
  await page.screenshot({ path: join(outDir, name), fullPage: true });
  console.log('screenshot ' + join(outDir, name));
}

async function deviceLink(page, serial) {
  const link = page.locator(`a[href*="ds=${serial}&"], a[href$="ds=${serial}"]`);
  check((await link.count()) === 1, `one link for ${serial} on the portal`);
  check((await link.innerText()).trim() === 'Open web interface',
        `the link for ${serial} reads "Open web interface"`);
  return link;
}

// DEMO-0001: click, wait through the waiting page, land on the device; Back
// leads to the portal again.
async function openFrontDoor(page) {
  await (await deviceLink(page, 'DEMO-0001')).click();
  await page.waitForURL(/^http:\/\/localhost:\d+\/\?user=admin&Key=/, { timeout: 60000 });
  await page.getByText('Signed in as admin').waitFor({ timeout: 15000 });
  const rows = page.locator('table tr');
  check((await rows.count()) >= 7, 'a port table with a row per port');
  const port = new URL(page.url()).port;
  check((await page.locator('table').innerText()).includes(port),
        `the port table lists the HTTP port ${port}`);
  await checkLiveView(page);
  await shot(page, 'device-page.png');
  await page.goBack();
  check(page.url() === portalUrl,
        `Back from the device's page leads to the portal, not ${page.url()}`);
}

// The device page's live view: a picture from the media port that Key2 names
// ("live"), which it names too, and which moves: two screenshots of it a
// second apart differ.
async function checkLiveView(page) {
  // Key2 stands unencoded in the address, so its "+" reads as a blank here.
  const key2 = new URL(page.url()).searchParams.get('Key2').replaceAll(' ', '+');
  const live = JSON.parse(Buffer.from(key2, 'base64').toString('utf8')).live;
  check(/^\d+$/.test(live) && live !== '0', `Key2 names a media port (live: ${live})`);
  const view = page.locator('img#live-view');
  check(new URL(await view.getAttribute('src')).port === live,
        `the live view comes from the media port ${live}`);
  check((await page.locator('#live-port').innerText()).trim() === live,
        `the page names the media port ${live}`);
  await page.waitForFunction(() => document.getElementById('live-view').naturalWidth > 0, null,
                             { timeout: 15000, polling: 100 });
  check(await view.evaluate((img) => img.naturalWidth === 320 && img.naturalHeight === 240),
        'the live view is 320x240');
  const first = await view.screenshot({ path: join(outDir, 'live-view-1.png') });
  await new Promise((resolve) => setTimeout(resolve, 1000));
  const second = await view.screenshot({ path: join(outDir, 'live-view-2.png') });
  check(!first.equals(second), 'the live view moves: its pixels changed within a second');
  console.log(`live view from media port ${live}: moving`);
}

// DEMO-0003: the waiting page asks again by itself, in the background and
// always with the same address, until the gateway answers with the failed page,
// which then takes the waiting page's place. The page keeps its wait in the
// address's fragment, which the gateway never sees: one start for the whole
// wait, one more answer counted each time, and a clock on the page.
async function waitOnGarage(context, href) {
  const page = await context.newPage();
  const asked = [];
  const marks = [];
  page.on('request', (request) => {
    if (GATEWAY.test(request.url())) asked.push(request.url());
  });
  page.on('framenavigated', (frame) => {
    if (frame === page.mainFrame()) marks.push(new URL(frame.url()).hash);
  });
  await page.goto(href);
  const first = await page.title();
  check(first === 'Connecting to your device', `the waiting page comes first, not "${first}"`);
  await shot(page, 'waiting-page.png');
  // 30 s shown on the clock, or the failed page (which must not come first):
  // the page's own pace takes at least 42 s to the give-up.
  const shown = await page.waitForFunction((least) => {
    if (document.title === 'Device not reachable') return 'failed page';
    const waited = document.getElementById('waited');
    const seconds = /^Waiting for (\d+) seconds$/.exec(waited ? waited.textContent : '');
    return seconds && Number(seconds[1]) >= least ? waited.textContent : false;
  }, WAITED_SHOWN, { timeout: 150000, polling: 200 });
  check((await shown.jsonValue()) !== 'failed page',
        `the waiting page showed ${WAITED_SHOWN} seconds of waiting before the give-up`);
  await shot(page, 'waiting-page-later.png');
  await page.waitForFunction(() => document.title === 'Device not reachable', null,
                             { timeout: 150000, polling: 200 });
  await page.getByRole('button', { name: 'Try again' }).waitFor();
  await shot(page, 'failed-page.png');
  check(asked.length === GIVE_UP_REQUEST,
        `the failed page came with request ${asked.length}, not ${GIVE_UP_REQUEST}`);
  check(asked.every((url) => url.split('#')[0] === href), 'every request used the same address');
  const waits = marks.map((hash) => /^#waiting=(\d+)\.(\d+)$/.exec(hash)).filter(Boolean);
  check(waits.length > 0 && waits.every((w) => w[1] === waits[0][1]),
        `one start for the whole wait: ${marks.join(' ')}`);
  check(Number(waits[waits.length - 1][2]) === GIVE_UP_REQUEST - 1,
        `the last waiting page counted ${GIVE_UP_REQUEST - 1} answers: ${marks.join(' ')}`);
  check(new URL(page.url()).hash === '', 'the failed page drops the wait from the address');
  await page.close();
}

async function main() {
  mkdirSync(outDir, { recursive: true });
  const profile = mkdtempSync(join(tmpdir(), 'harborgate-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1100, height: 720 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  try {
    const portal = context.pages()[0] || (await context.newPage());
    await portal.goto(portalUrl);
    await shot(portal, 'portal.png');
    const garageHref = await (await deviceLink(portal, 'DEMO-0003')).getAttribute('href');
    check(GATEWAY.test(garageHref), 'the device links lead to the gateway on 9999');
    const garage = scope === 'front-door' ? null : waitOnGarage(context, garageHref);
    await openFrontDoor(portal);
    await garage;
  } finally {
    await context.close();
    rmSync(profile, { recursive: true, force: true });
  }
}

main().then(
  () => console.log('browser test passed'),
  (error) => {
    console.error('browser test failed: ' + (error.stack || error));
    process.exit(1);
  });

// Time to the device in a browser: headless Chromium (Debian's) at the portal
// clicks "Open web interface" for each given device, one fresh device per run,
// and waits until the device's own page says "Signed in as". Prints one line
// per device: "SERIAL MILLISECONDS", from the click to that text.
//
// Usage: node browser_time.mjs PLAYWRIGHT_CORE_DIR PORTAL_URL SERIAL...
import { join } from 'node:path';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { pathToFileURL } from 'node:url';

const [moduleDir, portalUrl, ...serials] = process.argv.slice(2);
const { chromium } = await import(pathToFileURL(join(moduleDir, 'index.mjs')).href);

async function timeOne(context, serial) {
  const page = await context.newPage();
  await page.goto(portalUrl);
  const link = page.locator(`a[href*="ds=${serial}&"], a[href$="ds=${serial}"]`);
  if ((await link.count()) !== 1) throw new Error(`no link for ${serial} on the portal`);
  const started = performance.now();
  await link.click();
  await page.waitForURL(/^http:\/\/localhost:\d+\//, { timeout: 30000 });
  await page.getByText('Signed in as').waitFor({ timeout: 30000 });
  const ms = performance.now() - started;
  await page.close();
  return ms;
}

const profile = mkdtempSync(join(tmpdir(), 'harborgate-bench-chromium-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
  for (const serial of serials) console.log(`${serial} ${(await timeOne(context, serial)).toFixed(1)}`);
} finally {
  await context.close();
  rmSync(profile, { recursive: true, force: true });
}

// The host refuses every navigation off its origin and there is no network:
// the page must never reach outside https://verdalune.example/.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readdir, readFile } from 'node:fs/promises';
import { fileURLToPath } from 'node:url';
import path from 'node:path';
import { launch, plant, withGarden, yearOfDays, ORIGIN } from './harness.mjs';

let browser;
before(async () => { browser = await launch(); });
after(() => browser?.close());

// What the page's Content-Security-Policy refused.
function recordRefusals() {
  window.__refused = [];
  document.addEventListener('securitypolicyviolation', (e) => window.__refused.push(`${e.effectiveDirective} ${e.blockedURI}`));
}

function fakeSavePicker() {
  window.showSaveFilePicker = async (options) => ({
    name: options.suggestedName,
    createWritable: async () => ({ write: async () => {}, close: async () => {} }),
  });
}

describe('staying on the origin', () => {
  for (const at of ['/garden/', '/garden/index.html']) {
    test(`loaded as ${at}, every request stays on the origin and resolves`, async () => {
      await withGarden(browser, { path: at, days: yearOfDays(), initScripts: [fakeSavePicker, recordRefusals] }, async (g) => {
        const { page, log } = g;
        const navigations = [];
        page.on('framenavigated', (frame) => { if (frame === page.mainFrame()) navigations.push(frame.url()); });
        assert.ok(log.served.includes('/garden/style.css'));
        assert.ok(log.served.includes('/garden/app.js'));
        assert.ok(await page.locator('#garden .flower').count() > 0);

        // Go through everything the page can do.
        await plant(page, '开心');
        await page.evaluate(() => window.moodMode('menu'));
        await page.click('#backup-save');
        await page.locator('#backup-status', { hasText: '备份到' }).waitFor();
        await page.setInputFiles('#restore-file', { name: 'b.json', mimeType: 'application/json', buffer: Buffer.from('{}') });
        await page.locator('#backup-status', { hasText: '没能恢复' }).waitFor();
        await page.click('#menu-picture');
        await page.locator('#backup-status', { hasText: '花园的图片已经存到' }).waitFor();
        await page.click('#menu-wall');
        await page.waitForTimeout(300);

        // Nothing of the page's own was refused, the inline bridge included...
        assert.deepEqual(await page.evaluate(() => window.__refused), []);
        // ...while a frame, a fetch, an image from elsewhere and a form sent off are.
        await page.evaluate(() => {
          const frame = document.createElement('iframe');
          frame.src = 'https://example.com/';
          document.body.append(frame);
          fetch('https://example.com/x').catch(() => {});
          new Image().src = 'https://example.com/y.png';
          const form = document.createElement('form');
          form.action = '/garden/';
          document.body.append(form);
          form.submit();
        });
        await page.waitForFunction(() => window.__refused.length >= 4);
        assert.deepEqual((await page.evaluate(() => window.__refused)).map((r) => r.split(' ')[0]).sort(),
          ['connect-src', 'form-action', 'frame-src', 'img-src']);
        assert.deepEqual(log.outside, []);
        assert.deepEqual(log.missing, []);
        assert.deepEqual(navigations, []);
        assert.equal(page.url(), ORIGIN + at);
        assert.deepEqual(g.errors, []);
      });
    });
  }

  test('every address in the site files is relative', async () => {
    const site = fileURLToPath(new URL('../../site/', import.meta.url));
    const files = (await readdir(site, { recursive: true })).filter((f) => /\.(html|css|js|svg)$/.test(f));
    assert.ok(files.length > 5);
    const SVG_NS = 'http://www.w3.org/2000/svg';
    const offenders = [];
    for (const file of files) {
      const text = (await readFile(path.join(site, file), 'utf8')).replaceAll(SVG_NS, '');
      const addresses = [
        ...text.matchAll(/\b(?:src|href)\s*=\s*["']([^"']*)["']/g),
        ...text.matchAll(/url\(\s*["']?([^"')]*)/g),
        ...text.matchAll(/\bimport\s*(?:[^'"]*from\s*)?["']([^"']+)["']/g),
        ...text.matchAll(/\bimport\(\s*["']([^"']+)["']/g),
      ].map((m) => m[1]);
      for (const a of addresses) {
        if (/^[a-z][a-z0-9+.-]*:/i.test(a) || a.startsWith('/')) offenders.push(`${file}: ${a}`);
      }
      if (/https?:|\/\/[a-z]/i.test(text.replace(/\/\/ .*$/gm, ''))) offenders.push(`${file}: an absolute address`);
    }
    assert.deepEqual(offenders, []);
  });
});

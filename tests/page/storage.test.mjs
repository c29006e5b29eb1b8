// A stored garden that cannot be read back is set aside, never dropped.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, openGarden, readStored, KEY, TODAY } from './harness.mjs';

let browser;
before(async () => { browser = await launch(); });
after(() => browser?.close());

const asideCopies = (page) => page.evaluate((key) => {
  const out = {};
  for (let i = 0; i < localStorage.length; i++) {
    const k = localStorage.key(i);
    if (k.startsWith(`${key}.damaged.`)) out[k] = localStorage.getItem(k);
  }
  return out;
}, KEY);
const flowerCount = (page) => page.locator('#garden .flower').count();

// The finer rules of what counts as damaged are tested on data.js directly.
const DAMAGED = {
  'cut-off JSON': '{"version":1,"days":{"2025-06-01":{"mood":"happy"',
  'unknown mood': JSON.stringify({ version: 1, days: { '2025-06-01': { mood: 'happy' }, '2025-06-02': { mood: 'meh' } } }),
  'a newer version': JSON.stringify({ version: 2, days: {} }),
};

// Puts `raw` under the garden's key, alone, and loads the garden again.
async function reloadWith(page, raw) {
  await page.evaluate(([k, v]) => { localStorage.clear(); localStorage.setItem(k, v); }, [KEY, raw]);
  await page.reload();
  await page.waitForFunction(() => document.getElementById('today-line').textContent !== '');
}

describe('a damaged stored garden', () => {
  describe('is set aside', () => {
    let g;
    before(async () => { g = await openGarden(browser); });
    after(() => g?.close());

    for (const [what, raw] of Object.entries(DAMAGED)) {
      test(`${what}: starts clean, keeps the raw value, tells the user`, async () => {
        const { page } = g;
        await reloadWith(page, raw);
        assert.equal(await flowerCount(page), 0);
        assert.equal(await readStored(page), null);
        const copies = await asideCopies(page);
        assert.deepEqual(Object.values(copies), [raw]);
        assert.ok(await page.locator('#notice').isVisible());
        assert.match(await page.textContent('#notice'), /无法读取/);
        await page.evaluate(() => window.moodMode('menu'));
        assert.ok((await page.textContent('#menu-notice')).includes(Object.keys(copies)[0]), 'the menu names where the copy is');
        assert.deepEqual(g.errors, []);
      });
    }
  });

  test('planting afterwards saves a fresh garden and leaves the copy alone; a second fault keeps both copies', async () => {
    const first = DAMAGED['cut-off JSON'];
    const g = await openGarden(browser, { stored: first });
    const { page } = g;
    try {
      await page.evaluate(() => window.moodMode('plant'));
      await page.locator('#mood-grid').getByText('开心', { exact: true }).click();
      await page.click('#editor-plant');
      assert.deepEqual(JSON.parse(await readStored(page)), { version: 1, days: { [TODAY]: { mood: 'happy' } } });
      assert.deepEqual(Object.values(await asideCopies(page)), [first]);

      const second = '{"version":1,"days":';
      await page.evaluate(([k, v]) => localStorage.setItem(k, v), [KEY, second]);
      await page.reload();
      await page.waitForFunction(() => document.getElementById('today-line').textContent !== '');
      assert.deepEqual(Object.values(await asideCopies(page)).sort(), [first, second].sort());
    } finally {
      await g.close();
    }
  });

  test('when the copy cannot be made, the damaged value stays where it is and nothing overwrites it', async () => {
    const raw = DAMAGED['unknown mood'];
    // Runs after the value is seeded: from then on every write fails, as on a full disk.
    const refuseWrites = () => {
      const original = Storage.prototype.setItem;
      Storage.prototype.setItem = function (k, v) {
        if (this === window.localStorage) throw new DOMException('full', 'QuotaExceededError');
        return original.call(this, k, v);
      };
    };
    const g = await openGarden(browser, { stored: raw, initScripts: [refuseWrites] });
    const { page } = g;
    try {
      assert.equal(await readStored(page), raw);
      assert.match(await page.textContent('#notice'), /无法另存/);
      await page.evaluate(() => window.moodMode('plant'));
      await page.locator('#mood-grid').getByText('开心', { exact: true }).click();
      await page.click('#editor-plant');
      assert.match(await page.textContent('#editor-error'), /不能保存/);
      assert.equal(await readStored(page), raw);
    } finally {
      await g.close();
    }
  });
});

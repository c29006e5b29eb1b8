// A stored garden that cannot be read back whole: every readable day stays
// in the garden, the rest is set aside and can be exported or joined back,
// and nothing is ever overwritten while that is not safe.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdir } from 'node:fs/promises';
import { launch, openGarden, readStored, storedValue, yearOfDays, KEY, SCREENSHOTS, TODAY } from './harness.mjs';

let browser;
before(async () => {
  browser = await launch();
  await mkdir(SCREENSHOTS, { recursive: true });
});
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
const storedDays = async (page) => JSON.parse(await readStored(page)).days;

const year = yearOfDays();
const onWall = Object.keys(year).filter((k) => k >= '2024-07-01').length;
const withBad = (bad, extra = {}) => JSON.stringify({ version: 1, days: { ...year, ...bad }, ...extra });

// Every way one record can be unreadable among a year of good ones.
const ONE_BAD = {
  'an unknown mood': { '2025-06-02': { mood: 'meh' } },
  'an extra field': { '2025-06-02': { mood: 'calm', weather: 'sun' } },
  'a note over the limit': { '2025-06-02': { mood: 'calm', note: '长'.repeat(201) } },
};

async function plantHappy(page) {
  await page.evaluate(() => window.moodMode('plant'));
  await page.locator('#mood-grid').getByText('开心', { exact: true }).click();
  await page.click('#editor-plant');
}

async function reloadWith(page, raw) {
  await page.evaluate(([k, v]) => { localStorage.clear(); localStorage.setItem(k, v); }, [KEY, raw]);
  await page.reload();
  await page.waitForFunction(() => document.getElementById('today-line').textContent !== '');
}

describe('one unreadable day among good ones', () => {
  let g;
  before(async () => { g = await openGarden(browser); });
  after(() => g?.close());

  for (const [what, bad] of Object.entries(ONE_BAD)) {
    test(`${what}: the year stays on the wall, the bad day is kept aside, the notice counts it plainly`, async () => {
      const { page } = g;
      await reloadWith(page, withBad(bad));
      assert.equal(await flowerCount(page), onWall - (year['2025-06-02'] ? 1 : 0));
      assert.deepEqual(Object.values(await asideCopies(page)).map((v) => JSON.parse(v).days), [bad]);
      const notice = await page.textContent('#notice');
      assert.match(notice, /有 1 天的记录无法读取/);
      assert.doesNotMatch(notice, /verdalune|JSON|字段|存储/);
      if (what === 'an unknown mood') await page.screenshot({ path: `${SCREENSHOTS}damaged-store-1366x768.png` });
      await plantHappy(page);
      const saved = await storedDays(page);
      assert.equal(Object.keys(saved).length, Object.keys(year).length - (year['2025-06-02'] ? 1 : 0) + 1, 'planting keeps the year');
      assert.deepEqual(g.errors, []);
    });
  }

  test('a value that is no garden at all is set aside whole, named in plain words', async () => {
    const { page } = g;
    const raw = '{"version":1,"days":{"2025-06-01":{"mood":"happy"';
    await reloadWith(page, raw);
    assert.equal(await flowerCount(page), 0);
    assert.equal(await readStored(page), null);
    assert.deepEqual(Object.values(await asideCopies(page)), [raw]);
    await page.evaluate(() => window.moodMode('menu'));
    const detail = await page.textContent('#menu-notice');
    assert.match(detail, /原样另外保管/);
    assert.doesNotMatch(detail, /verdalune|JSON|字段|存储/);
    assert.equal(await page.locator('#aside-list li').count(), 1);
  });
});

describe('what was set aside', () => {
  test('can be exported as it is, and joined back once readable; the year parked by an older version comes back', async () => {
    // An older version parked the whole year for one unknown mood.
    const parked = withBad({ '2025-06-02': { mood: 'meh' } });
    const saved = () => {
      window.__saved = [];
      window.showSaveFilePicker = async (o) => ({
        name: o.suggestedName,
        createWritable: async () => ({ write: async (t) => window.__saved.push(t), close: async () => {} }),
      });
    };
    const g = await openGarden(browser, {
      stored: storedValue({ [TODAY]: { mood: 'calm' } }), initScripts: [saved],
    });
    const { page } = g;
    try {
      await page.evaluate(([k, v]) => localStorage.setItem(`${k}.damaged.20250601-080000`, v), [KEY, parked]);
      await page.evaluate(() => window.moodMode('menu'));
      const row = page.locator('#aside-list li');
      const joinable = Object.keys(year).filter((k) => k !== '2025-06-02').length;
      assert.match(await row.textContent(), new RegExp(`1 天的记录无法读取，${joinable} 天现在可以并回花园`));
      await row.getByText('导出为文件').click();
      await page.locator('#backup-status', { hasText: '原样保存到文件' }).waitFor();
      assert.equal(await page.evaluate(() => window.__saved[0]), parked);

      await row.getByText(`并回 ${joinable} 天`).click();
      await page.locator('#backup-status', { hasText: `已把 ${joinable} 天并回花园` }).waitFor();
      const days = await storedDays(page);
      assert.equal(Object.keys(days).length, joinable + 1);
      assert.deepEqual(days[TODAY], { mood: 'calm' }, 'the garden keeps its own day');
      assert.equal(await flowerCount(page), onWall + 1 - (year['2025-06-02'] ? 1 : 0));
      assert.match(await row.textContent(), /1 天的记录无法读取。/, 'the unreadable day stays aside');
      assert.equal(await row.getByText(/并回/).count(), 0);
      assert.deepEqual(g.errors, []);
    } finally {
      await g.close();
    }
  });
});

describe('read-only when saving could lose days', () => {
  test('a garden from a newer version shows what it can, says so, and is never written', async () => {
    const raw = JSON.stringify({ version: 2, days: { ...year, '2025-06-02': { mood: 'calm', weather: 'sun' } } });
    const g = await openGarden(browser, { stored: raw });
    const { page } = g;
    try {
      assert.ok(await flowerCount(page) >= onWall - 1);
      assert.match(await page.textContent('#notice'), /新版 Verdalune.*只能查看/);
      await plantHappy(page);
      assert.match(await page.textContent('#editor-error'), /只能查看/);
      assert.equal(await readStored(page), raw);
      assert.deepEqual(await asideCopies(page), {});
      await page.screenshot({ path: `${SCREENSHOTS}damaged-newer-version-1366x768.png` });
    } finally {
      await g.close();
    }
  });

  test('a storage read that throws is never followed by an overwrite', async () => {
    const throwOnce = () => {
      const original = Storage.prototype.getItem;
      let thrown = false;
      Storage.prototype.getItem = function (k) {
        if (!thrown && k === 'verdalune.garden.v1') { thrown = true; throw new DOMException('busy', 'UnknownError'); }
        return original.call(this, k);
      };
    };
    const raw = storedValue(year);
    const g = await openGarden(browser, { stored: raw, initScripts: [throwOnce] });
    const { page } = g;
    try {
      assert.match(await page.textContent('#notice'), /没能读取.*只能查看/);
      await plantHappy(page);
      assert.equal(await page.evaluate(() => document.body.dataset.view), 'plant');
      assert.equal(await readStored(page), raw);
    } finally {
      await g.close();
    }
  });

  test('when the bad part cannot be set aside, the good days show and the value stays as it was', async () => {
    const raw = withBad({ '2025-06-02': { mood: 'meh' } });
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
      assert.ok(await flowerCount(page) >= onWall - 1);
      assert.match(await page.textContent('#notice'), /也没能另外保管/);
      await page.screenshot({ path: `${SCREENSHOTS}damaged-store-read-only-1366x768.png` });
      await plantHappy(page);
      assert.match(await page.textContent('#editor-error'), /只能查看/);
      assert.equal(await readStored(page), raw);
      assert.deepEqual(await asideCopies(page), {});
    } finally {
      await g.close();
    }
  });
});

// A stored garden that cannot be read back whole: every readable day stays
// in the garden, the rest is set aside and can be exported or joined back,
// and nothing is ever overwritten while that is not safe.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdir } from 'node:fs/promises';
import { answerLate, clearStores, durableStored, launch, openGarden, plant, readStored, storedDays, storedValue, yearOfDays, KEY, SCREENSHOTS, TODAY, withGarden } from './harness.mjs';

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

const year = yearOfDays();
const onWall = Object.keys(year).filter((k) => k >= '2024-07-01').length;
const withBad = (bad, extra = {}) => JSON.stringify({ version: 1, days: { ...year, ...bad }, ...extra });

// Every way one record can be unreadable among a year of good ones.
const ONE_BAD = {
  'an unknown mood': { '2025-06-02': { mood: 'meh' } },
  'an extra field': { '2025-06-02': { mood: 'calm', weather: 'sun' } },
  'a note over the limit': { '2025-06-02': { mood: 'calm', note: '长'.repeat(201) } },
};

const plantHappy = (page) => plant(page, '开心');

async function reloadWith(page, raw) {
  await clearStores(page);
  await page.evaluate(([k, v]) => localStorage.setItem(k, v), [KEY, raw]);
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
      assert.match(notice, /有 1 天的记录读不出来/);
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
    assert.match(await page.textContent('#notice'), /在“花园菜单”里点“从备份恢复”，就能把存成文件的花园找回来/);
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
    await withGarden(browser, {
      stored: storedValue({ [TODAY]: { mood: 'calm' } }), initScripts: [saved],
    }, async (g) => {
      const { page } = g;
      await page.evaluate(([k, v]) => localStorage.setItem(`${k}.damaged.20250601-080000`, v), [KEY, parked]);
      await page.evaluate(() => window.moodMode('menu'));
      const row = page.locator('#aside-list li');
      const joinable = Object.keys(year).filter((k) => k !== '2025-06-02').length;
      assert.match(await row.textContent(), new RegExp(`1 天的记录读不出来，${joinable} 天现在可以合并回花园`));
      await row.getByText('导出为文件').click();
      await page.locator('#backup-status', { hasText: '原样存到文件' }).waitFor();
      assert.equal(await page.evaluate(() => window.__saved[0]), parked);

      await row.getByText(`合并回花园（${joinable} 天）`).click();
      await page.locator('#backup-status', { hasText: `已经把 ${joinable} 天合并回花园` }).waitFor();
      const days = await storedDays(page);
      assert.equal(Object.keys(days).length, joinable + 1);
      assert.deepEqual(days[TODAY], { mood: 'calm' }, 'the garden keeps its own day');
      assert.equal(await flowerCount(page), onWall + 1 - (year['2025-06-02'] ? 1 : 0));
      assert.match(await row.textContent(), /1 天的记录读不出来。/, 'the unreadable day stays aside');
      assert.equal(await row.getByText(/合并回花园/).count(), 0);

      // 删除 asks first, as nothing brings the value back.
      await row.getByText('删除', { exact: true }).click();
      assert.match(await row.textContent(), /再也找不回来/);
      await row.getByText('取消', { exact: true }).click();
      assert.equal(Object.keys(await asideCopies(page)).length, 1);
      await row.getByText('删除', { exact: true }).click();
      await row.getByText('确定删除').click();
      await page.locator('#backup-status', { hasText: '已经删除' }).waitFor();
      assert.deepEqual(await asideCopies(page), {});
      assert.ok(await page.locator('#aside').isHidden());
      assert.deepEqual(g.errors, []);
    });
  });
});

describe('read-only when saving could lose days', () => {
  test('a garden from a newer version shows what it can, says so, and is never written', async () => {
    const raw = JSON.stringify({ version: 2, days: { ...year, '2025-06-02': { mood: 'calm', weather: 'sun' } } });
    await withGarden(browser, { stored: raw }, async (g) => {
      const { page } = g;
      assert.ok(await flowerCount(page) >= onWall - 1);
      assert.match(await page.textContent('#notice'), /新版 Verdalune.*只能查看/);
      await plantHappy(page);
      assert.match(await page.textContent('#editor-error'), /只能查看/);
      assert.equal(await readStored(page), raw);
      assert.deepEqual(await asideCopies(page), {});
      await page.screenshot({ path: `${SCREENSHOTS}damaged-newer-version-1366x768.png` });
    });
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
    await withGarden(browser, { stored: raw, initScripts: [throwOnce] }, async (g) => {
      const { page } = g;
      assert.match(await page.textContent('#notice'), /没能读取.*只能查看/);
      await plantHappy(page);
      assert.equal(await page.evaluate(() => document.body.dataset.view), 'plant');
      assert.equal(await readStored(page), raw);
    });
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
    await withGarden(browser, { stored: raw, initScripts: [refuseWrites] }, async (g) => {
      const { page } = g;
      assert.equal(await readStored(page), raw);
      assert.ok(await flowerCount(page) >= onWall - 1);
      assert.match(await page.textContent('#notice'), /也没能另外保管/);
      await page.screenshot({ path: `${SCREENSHOTS}damaged-store-read-only-1366x768.png` });
      await plantHappy(page);
      assert.match(await page.textContent('#editor-error'), /只能查看/);
      assert.equal(await readStored(page), raw);
      assert.deepEqual(await asideCopies(page), {});
    });
  });
});

describe('two copies: local storage and the durable store', () => {
  const reload = async (page) => {
    await page.reload();
    await page.waitForFunction(() => document.getElementById('today-line').textContent !== '');
  };

  test('the copy saved last wins by its count, whichever store holds it, and local storage catches up', async () => {
    await withGarden(browser, { days: { '2025-06-01': { mood: 'sad' } } }, async ({ page }) => {
      await plant(page, '开心', '存到了磁盘');
      const durable = await durableStored(page);
      assert.equal(JSON.parse(durable).saved, 1);
      // Local storage lost its last write, as in a crash before it reached the disk.
      await page.evaluate(([k, v]) => localStorage.setItem(k, v), [KEY, storedValue({ '2025-06-01': { mood: 'sad' } })]);
      await reload(page);
      await page.waitForFunction(() => document.querySelector(`#garden .flower[data-day="2025-06-15"]`));
      assert.deepEqual((await storedDays(page))[TODAY], { mood: 'happy', note: '存到了磁盘' });
      assert.equal(await readStored(page), durable);

      // A later count in local storage wins over the durable copy.
      const later = JSON.stringify({ version: 1, saved: 5, days: { '2025-06-02': { mood: 'calm' } } });
      await page.evaluate(([k, v]) => localStorage.setItem(k, v), [KEY, later]);
      await reload(page);
      await page.waitForTimeout(300);
      assert.deepEqual(await page.evaluate(() => [...document.querySelectorAll('#garden .flower')].map((f) => f.dataset.day)), ['2025-06-02']);
      await plant(page, '温暖');
      assert.equal(JSON.parse(await durableStored(page)).saved, 6);
    });
  });

  test('a day planted while the newer durable copy is still being read is added to it, not to the stale picture', async () => {
    await withGarden(browser, { days: year }, async ({ page, errors }) => {
      await plant(page, '开心', '', { day: '2025-06-14' });
      const durable = JSON.parse(await durableStored(page)).days;
      // Local storage lost its last write, and the disk is slow, as at sign-in after a crash.
      await page.evaluate(([k, v]) => localStorage.setItem(k, v), [KEY, storedValue({ '2025-06-01': { mood: 'sad' } })]);
      await page.addInitScript(answerLate, 1500);
      await reload(page);
      await plant(page, '平静');
      const expected = { ...durable, [TODAY]: { mood: 'calm' } };
      await reload(page);
      assert.deepEqual(JSON.parse(await durableStored(page)).days, expected);
      assert.deepEqual(await storedDays(page), expected);
      assert.deepEqual(errors, []);
    });
  });

  test('a garden local storage has no room for is saved to the durable store alone and drawn from it', async () => {
    // Refuses the page's own copies of the garden, not the seeded one.
    const noRoom = () => {
      const set = Storage.prototype.setItem;
      Storage.prototype.setItem = function (k, v) {
        if (k === 'verdalune.garden.v1' && v.includes('"saved"')) throw new DOMException('full', 'QuotaExceededError');
        return set.call(this, k, v);
      };
    };
    await withGarden(browser, { days: year, initScripts: [noRoom] }, async ({ page, errors }) => {
      await plant(page, '开心');
      assert.equal(await page.locator('#editor-error').isHidden(), true);
      assert.equal(await readStored(page), null, 'no stale picture is left behind');
      await reload(page);
      await page.waitForFunction(() => document.querySelector('#garden .flower[data-day="2025-06-15"]'));
      assert.equal(Object.keys(JSON.parse(await durableStored(page)).days).length, Object.keys(year).length + 1);
      assert.deepEqual(errors, []);
    });
  });

  test('a durable copy that cannot be read is set aside and the one in local storage stands', async () => {
    await withGarden(browser, { days: { '2025-06-01': { mood: 'sad' } } }, async ({ page }) => {
      await plant(page, '开心');
      await page.evaluate(() => new Promise((resolve) => {
        const open = indexedDB.open('verdalune');
        open.onsuccess = () => {
          const tx = open.result.transaction('garden', 'readwrite');
          tx.objectStore('garden').put({ text: '{"version":1,"saved":9,"days":{"2025-' }, 'garden');
          tx.oncomplete = () => { open.result.close(); resolve(); };
        };
      }));
      await reload(page);
      await page.locator('#notice', { hasText: '另外保管' }).waitFor();
      assert.equal(await page.locator('#garden .flower').count(), 2);
      assert.deepEqual(Object.values(await asideCopies(page)), ['{"version":1,"saved":9,"days":{"2025-']);
    });
  });
});

// A stored garden that cannot be read back whole: every readable day stays
// in the garden, the rest is set aside and can be exported or joined back,
// and nothing is ever overwritten while that is not safe.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdir, mkdtemp, rm } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import {
  answerLate, clearStores, durableAsides, durableStored, launch, openGarden, openProfile, putDurable, plant, readStored, recordHost,
  storedDays, storedValue, yearOfDays, KEY, NOW, SCREENSHOTS, START, TODAY, withGarden,
} from './harness.mjs';

let browser;
before(async () => {
  browser = await launch();
  await mkdir(SCREENSHOTS, { recursive: true });
});
after(() => browser?.close());

const asideCopies = durableAsides;
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
    // Where an older version kept it: taken into the durable store at start.
    const older = ([k, v]) => {
      if (sessionStorage.getItem('__parked')) return;
      sessionStorage.setItem('__parked', '1');
      localStorage.setItem(`${k}.damaged.20250601-080000`, v);
    };
    // The garden holds 6月14日 otherwise than the value set aside.
    const garden = { [TODAY]: { mood: 'calm' }, '2025-06-14': { mood: 'happy', note: '花园里的' } };
    await withGarden(browser, {
      stored: storedValue(garden), initScripts: [saved, [older, [KEY, parked]]],
    }, async (g) => {
      const { page } = g;
      await page.evaluate(() => window.moodMode('menu'));
      assert.deepEqual(await asideCopies(page), { '20250601-080000': parked });
      assert.equal(await readStored(page, `${KEY}.damaged.20250601-080000`), null);
      const row = page.locator('#aside-list li');
      const missing = Object.keys(year).filter((k) => k !== '2025-06-02' && k !== '2025-06-14').length;
      assert.match(await row.textContent(), new RegExp(`1 天的记录读不出来，${missing} 天现在可以合并回花园，1 天和花园里的记录不同`));
      await row.getByText('导出为文件').click();
      await page.locator('#backup-status', { hasText: '原样存到文件' }).waitFor();
      assert.equal(await page.evaluate(() => window.__saved[0]), parked);

      await row.getByText(`合并回花园（${missing + 1} 天）`).click();
      assert.match(await row.textContent(), /有 1 天两边的记录不同（6月14日：现在是开心，另外保管的是疲惫）。要保留哪一边？/);
      await row.getByText('用另外保管的').click();
      await page.locator('#backup-status', { hasText: `已经把 ${missing + 1} 天合并回花园` }).waitFor();
      const days = await storedDays(page);
      assert.equal(Object.keys(days).length, missing + 2);
      assert.deepEqual(days[TODAY], { mood: 'calm' }, 'the garden keeps its own day');
      assert.deepEqual(days['2025-06-14'], year['2025-06-14'], 'the version chosen');
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

      // The same when only the durable copy is a newer version's.
      const newer = JSON.stringify({ version: 2, saved: 3, days: { '2025-06-01': { mood: 'calm', weather: 'sun' } } });
      await page.evaluate(([k, v]) => localStorage.setItem(k, v), [KEY, storedValue({ '2025-06-01': { mood: 'sad' } })]);
      await putDurable(page, newer);
      await page.reload();
      await page.locator('#notice', { hasText: '新版 Verdalune' }).waitFor();
      await plantHappy(page);
      assert.match(await page.textContent('#editor-error'), /只能查看/);
      assert.equal(await durableStored(page), newer);
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
    // The disk's own store refuses what would be set aside.
    const refuseAside = () => {
      const put = IDBObjectStore.prototype.put;
      IDBObjectStore.prototype.put = function (value, key) {
        if (String(key).startsWith('aside.')) throw new DOMException('full', 'QuotaExceededError');
        return put.call(this, value, key);
      };
    };
    await withGarden(browser, { stored: raw, initScripts: [refuseAside] }, async (g) => {
      const { page } = g;
      await page.locator('#notice', { hasText: '也没能另外保管' }).waitFor();
      assert.equal(await readStored(page), raw);
      assert.ok(await flowerCount(page) >= onWall - 1);
      await page.screenshot({ path: `${SCREENSHOTS}damaged-store-read-only-1366x768.png` });
      await plantHappy(page);
      assert.match(await page.textContent('#editor-error'), /只能查看/);
      assert.equal(await readStored(page), raw);
      assert.equal(await durableStored(page), null);
      assert.deepEqual(await asideCopies(page), {});
    });
  });
});

describe('local storage is only a first picture', () => {
  test('a full local storage and one bad day: the day is set aside once, and planting goes on', async () => {
    const raw = withBad({ '2025-06-02': { mood: 'meh' } });
    // Runs after the value is seeded: from then on every write fails, as when it is full.
    const refuseWrites = () => {
      const original = Storage.prototype.setItem;
      Storage.prototype.setItem = function (k, v) {
        if (this === window.localStorage) throw new DOMException('full', 'QuotaExceededError');
        return original.call(this, k, v);
      };
    };
    await withGarden(browser, { stored: raw, initScripts: [refuseWrites] }, async (g) => {
      const { page } = g;
      await page.locator('#notice', { hasText: '有 1 天的记录读不出来，已经另外保管' }).waitFor();
      await plantHappy(page);
      assert.equal(await page.evaluate(() => document.body.dataset.view), 'wall');
      for (let i = 0; i < 2; i++) {
        await page.reload();
        await page.waitForFunction(() => document.getElementById('today-line').textContent !== '');
      }
      await page.waitForFunction(() => document.querySelector('#garden .flower[data-day="2025-06-15"]'));
      assert.deepEqual(Object.values(await asideCopies(page)).map((v) => JSON.parse(v).days), [{ '2025-06-02': { mood: 'meh' } }]);
      assert.deepEqual(g.errors, []);
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
      await putDurable(page, '{"version":1,"saved":9,"days":{"2025-');
      await reload(page);
      await page.locator('#notice', { hasText: '另外保管' }).waitFor();
      assert.equal(await page.locator('#garden .flower').count(), 2);
      assert.deepEqual(Object.values(await asideCopies(page)), ['{"version":1,"saved":9,"days":{"2025-']);
    });
  });

  test('a bad day in the local copy does not outvote a newer durable copy: it is set aside, and the newer days stay', async () => {
    const sad = { mood: 'sad' };
    await withGarden(browser, { days: { '2025-06-01': sad } }, async ({ page, errors }) => {
      // One save behind, as after a crash, with a day this version cannot read.
      await putDurable(page, JSON.stringify({ version: 1, saved: 6, days: { '2025-06-01': sad, [TODAY]: { mood: 'calm', note: '第六次' } } }));
      await page.evaluate(([k, v]) => localStorage.setItem(k, v), [KEY, JSON.stringify({ version: 1, saved: 5, days: { '2025-06-01': sad, '2025-06-10': { mood: 'meh' } } })]);
      await reload(page);
      await page.locator('#notice', { hasText: '另外保管' }).waitFor();
      assert.equal(await page.locator(`#garden .flower[data-day="${TODAY}"]`).count(), 1);
      await plant(page, '温暖', '', { day: '2025-06-13' });
      const durable = JSON.parse(await durableStored(page));
      assert.deepEqual(durable.days, { '2025-06-01': sad, '2025-06-13': { mood: 'warm' }, [TODAY]: { mood: 'calm', note: '第六次' } });
      assert.equal(durable.saved, 7);
      assert.deepEqual(Object.values(await asideCopies(page)).map((v) => JSON.parse(v).days), [{ '2025-06-10': { mood: 'meh' } }]);
      assert.deepEqual(errors, []);
    });
  });
});

describe('a kill right after a start that set something aside', () => {
  // A bad day in the durable copy; and a durable copy that cannot be read at
  // all, followed by a planting, which writes the durable copy again.
  const cases = [
    ['a bad day', null, withBad({ '2025-06-02': { mood: 'meh' } }, { saved: 3 }), false],
    ['an unreadable copy', storedValue({ '2025-06-01': { mood: 'sad' } }), '{"version":1,"saved":9,"days":{"2025-', true],
  ];
  for (const [what, local, durable, planting] of cases) {
    test(`${what}: what was set aside is on disk after the kill`, async () => {
      const dir = await mkdtemp(path.join(os.tmpdir(), 'verdalune-kill-'));
      const open = [];
      const start = async () => {
        const profile = await openProfile(dir);
        open.push(profile.context);
        return profile;
      };
      try {
        const first = await start();
        await putDurable(first.page, durable);
        if (local) await first.page.evaluate(([k, v]) => localStorage.setItem(k, v), [KEY, local]);
        await first.close();

        const second = await start();
        await second.page.locator('#notice', { hasText: '另外保管' }).waitFor();
        if (planting) await plant(second.page, '开心');
        await second.page.waitForTimeout(300);
        second.kill();
        await second.context.close().catch(() => {});

        // Read as the person would find it: in the menu, wherever the page keeps it.
        const third = await start();
        await third.page.evaluate(() => window.moodMode('menu'));
        const rows = third.page.locator('#aside-list li');
        await rows.first().waitFor({ timeout: 5000 }).catch(() => {});
        assert.deepEqual(await rows.allTextContents().then((t) => t.map((r) => /整份读不出来|1 天的记录读不出来/.exec(r)?.[0])),
          [planting ? '整份读不出来' : '1 天的记录读不出来']);
        await third.close();
      } finally {
        await Promise.all(open.map((context) => context.close().catch(() => {})));
        await rm(dir, { recursive: true, force: true });
      }
    });
  }
});

describe('two pages on one profile', () => {
  test('a day planted in one and a backup merged in the other both stay, and 撤销恢复 goes with its restore', async () => {
    const ours = { '2025-06-01': { mood: 'sad' } };
    await withGarden(browser, { days: ours }, async ({ context, page: a, errors }) => {
      // A renderer that misses the other's notes, as one being replaced may.
      const b = await context.newPage();
      b.on('pageerror', (e) => errors.push(e.message));
      await b.clock.install({ time: new Date(NOW) });
      await b.addInitScript(recordHost);
      await b.addInitScript(() => {
        window.BroadcastChannel = class extends BroadcastChannel {
          set onmessage(fn) { /* deaf */ }
        };
      });
      await b.goto(START);
      await b.waitForFunction(() => document.getElementById('today-line').textContent !== '');

      await plant(a, '开心', '在 A 里种的');
      await b.evaluate(() => window.moodMode('menu'));
      await b.setInputFiles('#restore-file', { name: 'b.json', mimeType: 'application/json',
        buffer: Buffer.from(JSON.stringify({ app: 'verdalune-garden', version: 1, days: { '2025-06-04': { mood: 'warm' } } })) });
      await b.click('#restore-merge');
      await b.locator('#backup-status', { hasText: '已经合并，花园现在有 3 天' }).waitFor();
      const both = { ...ours, '2025-06-04': { mood: 'warm' }, [TODAY]: { mood: 'happy', note: '在 A 里种的' } };
      assert.deepEqual(JSON.parse(await durableStored(a)).days, both);
      assert.equal(await b.locator(`#garden .flower[data-day="${TODAY}"]`).count(), 1, 'B draws the day it did not know of');
      await a.locator('#garden .flower[data-day="2025-06-04"]').waitFor();

      await plant(a, '平静', '', { day: '2025-06-14' });
      await b.click('#restore-undo');
      await b.locator('#backup-status', { hasText: '已经撤销' }).waitFor();
      const undone = { ...ours, [TODAY]: both[TODAY], '2025-06-14': { mood: 'calm' } };
      assert.deepEqual(JSON.parse(await durableStored(a)).days, undone);

      // A merge, then a page that checks nothing writes over it: its undo is not offered.
      await b.setInputFiles('#restore-file', { name: 'b.json', mimeType: 'application/json',
        buffer: Buffer.from(JSON.stringify({ app: 'verdalune-garden', version: 1, days: { '2025-06-05': { mood: 'warm' } } })) });
      await b.click('#restore-merge');
      await b.locator('#restore-undo-box').waitFor();
      await putDurable(b, storedValue(undone));
      await b.reload();
      await b.evaluate(() => window.moodMode('menu'));
      await b.locator('#history-list li').first().waitFor();
      assert.ok(await b.locator('#restore-undo-box').isHidden());
      assert.deepEqual(errors, []);
    });
  });
});

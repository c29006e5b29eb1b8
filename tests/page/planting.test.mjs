// Planting today, planting it again, and the day turning over at midnight.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, plant, storedDays, yearOfDays, posted, readStored, view, TODAY, withGarden } from './harness.mjs';

let browser;
before(async () => { browser = await launch(); });
after(() => browser?.close());

const flowersOn = (page, day) => page.evaluate((d) =>
  [...document.querySelectorAll(`#garden .flower[data-day="${d}"]`)].map((f) => f.dataset.mood), day);


describe('planting today', () => {
  test('plants, survives a reload, and planting again replaces the day', async () => {
    const year = yearOfDays();
    await withGarden(browser, { days: year }, async (g) => {
      const { page } = g;
      await page.evaluate(() => window.moodMode('plant'));
      assert.ok(await page.locator('#editor-plant').isDisabled(), 'nothing to plant before a mood is chosen');
      assert.ok(await page.locator('#editor-replace').isHidden());
      await page.evaluate(() => window.moodMode('wall'));

      await plant(page, '平静', '  傍晚散步，看见了晚霞  ');
      assert.equal(await view(page), 'wall');
      assert.equal((await posted(page)).at(-1), 'showWall');
      assert.deepEqual(await flowersOn(page, TODAY), ['calm']);
      assert.match(await page.textContent('#today-mood'), /平静/);
      const saved = await storedDays(page);
      assert.deepEqual(saved[TODAY], { mood: 'calm', note: '傍晚散步，看见了晚霞' });
      delete saved[TODAY];
      assert.deepEqual(saved, JSON.parse(JSON.stringify(year)), 'the other days are untouched');

      await page.reload();
      await page.waitForFunction(() => document.getElementById('today-line').textContent !== '');
      assert.deepEqual(await flowersOn(page, TODAY), ['calm']);

      await page.evaluate(() => window.moodMode('plant'));
      assert.match(await page.textContent('#editor-replace'), /薰衣草/);
      assert.equal(await page.inputValue('#note'), '傍晚散步，看见了晚霞');
      assert.ok(await page.locator('#mood-grid input[value="calm"]').isChecked());
      await page.evaluate(() => window.moodMode('wall'));

      await plant(page, '难过', '');
      assert.deepEqual(await flowersOn(page, TODAY), ['sad']);
      const replanted = await storedDays(page);
      assert.deepEqual(replanted[TODAY], { mood: 'sad' });
      assert.equal(Object.keys(replanted).length, Object.keys(year).length + 1);
      assert.deepEqual(g.errors, []);
    });
  });

  test('an empty garden says once how to plant, and not again after its first flower is pulled up', async () => {
    await withGarden(browser, { days: {} }, async ({ page }) => {
      const hint = /点任务栏右下角的小花图标，选“种下今天”/;
      assert.match(await page.textContent('#year-count'), hint);
      assert.ok(await page.locator('#today-mood').isHidden(), 'one line, not two');
      await plant(page, '开心');
      assert.equal(await page.textContent('#year-count'), '最近十二个月种下了 1 朵花');
      await page.evaluate(() => window.moodMode('menu'));
      await page.click('#day-pull');
      await page.click('#pull-yes');
      await page.locator('#day-status', { hasText: '已经拔掉' }).waitFor();
      await page.reload();
      await page.waitForFunction(() => document.getElementById('today-line').textContent !== '');
      assert.equal(await page.textContent('#year-count'), '最近十二个月种下了 0 朵花');
      assert.equal(await page.textContent('#today-mood'), '今天还没种花');
    });
  });

  test('a draft survives trips to the menu; cancel goes back where the editor came from', async () => {
    await withGarden(browser, { days: yearOfDays() }, async (g) => {
      const { page } = g;
      await page.evaluate(() => window.moodMode('plant'));
      await page.locator('#mood-grid').getByText('温暖', { exact: true }).click();
      await page.fill('#note', '写到一半');
      await page.evaluate(() => window.moodMode('menu'));
      await page.click('#menu-plant');
      assert.equal(await view(page), 'plant');
      assert.ok(await page.locator('#mood-grid input[value="warm"]').isChecked());
      assert.equal(await page.inputValue('#note'), '写到一半');

      await page.click('#editor-cancel');
      assert.equal(await view(page), 'menu', 'cancel returns to the menu it came from');
      await page.click('#menu-plant');
      assert.equal(await page.inputValue('#note'), '', 'a cancelled draft is gone');
      await page.keyboard.press('Escape');
      assert.equal(await view(page), 'menu');
      assert.deepEqual(await flowersOn(page, TODAY), []);
    });
  });

  test('the note limit counts characters as people see them, and going over is said, not cut', async () => {
    await withGarden(browser, {}, async (g) => {
      const { page } = g;
      await page.evaluate(() => window.moodMode('plant'));
      await page.locator('#mood-grid').getByText('开心', { exact: true }).click();
      const over = '字'.repeat(203);
      await page.fill('#note', over);
      assert.equal(await page.inputValue('#note'), over, 'nothing is cut');
      assert.equal(await page.textContent('#note-count'), '203');
      assert.match(await page.textContent('#note-over'), /多了 3 个字/);
      assert.ok(await page.locator('#editor-plant').isDisabled());

      const family = '👨‍👩‍👧'.repeat(200);
      await page.fill('#note', family);
      assert.equal(await page.textContent('#note-count'), '200');
      await page.click('#editor-plant');
      await page.waitForFunction(() => document.body.dataset.view === 'wall');
      assert.deepEqual((await storedDays(page))[TODAY], { mood: 'happy', note: family });
    });
  });

  test('cancel and Escape leave the garden as it was', async () => {
    await withGarden(browser, { days: yearOfDays() }, async (g) => {
      const { page } = g;
      const before = await readStored(page);
      for (const leave of [() => page.click('#editor-cancel'), () => page.keyboard.press('Escape')]) {
        await page.evaluate(() => { window.__posted.length = 0; window.moodMode('plant'); });
        await page.locator('#mood-grid').getByText('开心', { exact: true }).click();
        await page.fill('#note', '不算数');
        await leave();
        assert.equal(await view(page), 'wall');
        assert.deepEqual(await posted(page), ['showEditor', 'showWall']);
        assert.deepEqual(await flowersOn(page, TODAY), []);
        assert.equal(await readStored(page), before);
      }
    });
  });

  test('a failed save keeps the editor open, says why, and plants nothing', async () => {
    // Local storage is only a first picture: the disk's own store is what refuses.
    const fullStorage = () => {
      IDBObjectStore.prototype.put = function () { throw new DOMException('full', 'QuotaExceededError'); };
    };
    await withGarden(browser, { initScripts: [fullStorage] }, async (g) => {
      const { page } = g;
      await plant(page, '开心', '');
      assert.equal(await view(page), 'plant');
      assert.match(await page.textContent('#editor-error'), /空间已满/);
      assert.deepEqual(await flowersOn(page, TODAY), []);
      assert.deepEqual(await posted(page), ['showWall', 'showEditor']);
    });
  });
});

describe('the date', () => {
  test('an editor opened before midnight moves to the new day, says so, and plants there', async () => {
    await withGarden(browser, { now: '2025-06-30T23:59:30+08:00' }, async (g) => {
      const { page } = g;
      await page.evaluate(() => window.moodMode('plant'));
      await page.locator('#mood-grid').getByText('平静', { exact: true }).click();
      await page.fill('#note', '跨过午夜');
      await page.clock.runFor(45 * 1000);
      await page.evaluate(() => window.moodMode('plant')); // chosen again from the tray
      assert.match(await page.textContent('#editor-date'), /2025年7月1日/);
      assert.match(await page.textContent('#editor-moved'), /现在种的是 2025年7月1日/);
      assert.equal(await page.inputValue('#note'), '跨过午夜');
      await page.click('#editor-plant');
      await page.waitForFunction(() => document.body.dataset.view === 'wall');
      assert.deepEqual(Object.keys(await storedDays(page)), ['2025-07-01']);
      assert.match(await page.textContent('#today-mood'), /今天：平静/);
    });
  });

  test('after sleep or a change of time zone the wall is right within a minute', async () => {
    await withGarden(browser, { days: yearOfDays(), now: '2025-06-15T22:30:00+08:00', timezoneId: null }, async (g) => {
      const { page } = g;
      const cdp = await g.context.newCDPSession(page);
      const zone = async (timezoneId) => {
        await cdp.send('Emulation.setTimezoneOverride', { timezoneId: '' });
        await cdp.send('Emulation.setTimezoneOverride', { timezoneId });
      };
      await zone('Asia/Shanghai');
      // Asleep overnight: no timer ran while the clock moved on.
      await page.clock.setSystemTime(new Date('2025-06-16T09:00:00+08:00'));
      await page.clock.runFor(61 * 1000);
      assert.match(await page.textContent('#today-line'), /2025年6月16日/);

      // Flown east: 23:40 in Shanghai is already tomorrow in Tokyo.
      await page.clock.setSystemTime(new Date('2025-06-16T23:40:00+08:00'));
      await zone('Asia/Tokyo');
      await page.clock.runFor(61 * 1000);
      assert.match(await page.textContent('#today-line'), /2025年6月17日/);
    });
  });

  test('the garden moves to the new day without a reload', async () => {
    await withGarden(browser, { days: yearOfDays('2025-06-30'), now: '2025-06-30T23:58:00+08:00' }, async (g) => {
      const { page } = g;
      await plant(page, '开心', '');
      assert.deepEqual(await flowersOn(page, '2025-06-30'), ['happy']);

      await page.clock.runFor(3 * 60 * 1000);
      assert.match(await page.textContent('#today-line'), /2025年7月1日 星期二/);
      const months = await page.evaluate(() => [...document.querySelectorAll('#garden .bed')].map((b) => b.dataset.month));
      assert.equal(months[0], '2024-08');
      assert.equal(months.at(-1), '2025-07');
      assert.deepEqual(await flowersOn(page, '2025-06-30'), ['happy']);
      assert.equal(await page.locator('#garden .bed[data-month="2025-07"] .today-empty').count(), 1);

      await plant(page, '温暖', '新的一个月');
      const saved = await storedDays(page);
      assert.deepEqual(saved['2025-07-01'], { mood: 'warm', note: '新的一个月' });
      assert.deepEqual(saved['2025-06-30'], { mood: 'happy' });
    });
  });
});

describe('the last seven days', () => {
  test('the day before yesterday is planted from the editor, and a change to a past day is kept across a reload', async () => {
    const days = { '2025-06-12': { mood: 'sad', note: '原来的' } };
    await withGarden(browser, { days }, async ({ page, errors }) => {
      await page.evaluate(() => window.moodMode('plant'));
      const offered = await page.evaluate(() => [...document.querySelectorAll('#day-picks button')].map((b) => b.dataset.day));
      assert.deepEqual(offered, ['2025-06-09', '2025-06-10', '2025-06-11', '2025-06-12', '2025-06-13', '2025-06-14', TODAY]);
      await page.evaluate(() => window.moodMode('wall'));

      await plant(page, '温暖', '补上前天', { day: '2025-06-13' });
      assert.equal(await view(page), 'wall');
      assert.deepEqual(await flowersOn(page, '2025-06-13'), ['warm']);
      assert.deepEqual(await flowersOn(page, TODAY), [], 'today is still empty');
      assert.equal(await page.textContent('#today-mood'), '今天还没种花');

      // Choosing a planted day shows what it holds, to change it.
      await page.evaluate(() => window.moodMode('plant'));
      await page.click('#day-picks button[data-day="2025-06-12"]');
      assert.equal(await page.textContent('#editor-title'), '修改 6月12日');
      assert.equal(await page.inputValue('#note'), '原来的');
      assert.match(await page.textContent('#editor-replace'), /风铃草/);
      await page.evaluate(() => window.moodMode('wall'));
      await plant(page, '平静', '后来想想也还好', { day: '2025-06-12' });

      await page.reload();
      await page.waitForFunction(() => document.getElementById('today-line').textContent !== '');
      const saved = await storedDays(page);
      assert.deepEqual(saved['2025-06-12'], { mood: 'calm', note: '后来想想也还好' });
      assert.deepEqual(saved['2025-06-13'], { mood: 'warm', note: '补上前天' });
      assert.deepEqual(await flowersOn(page, '2025-06-12'), ['calm']);
      await page.evaluate(() => window.moodMode('plant'));
      assert.equal(await page.textContent('#editor-title'), '种下今天', '种下今天 still opens on today');
      assert.deepEqual(errors, []);
    });
  });

  test('the 8th day back and tomorrow are only read; yesterday\'s flower is pulled up for good', async () => {
    const days = { '2025-06-08': { mood: 'calm', note: '八天前' }, '2025-06-09': { mood: 'happy' }, '2025-06-14': { mood: 'happy', note: '点错了' } };
    await withGarden(browser, { days }, async ({ page }) => {
      await page.evaluate(() => window.moodMode('menu'));
      await page.click('#month-days button[data-day="2025-06-08"]');
      assert.equal(await page.textContent('#day-note'), '八天前');
      assert.ok(await page.locator('#day-plant').isHidden());
      assert.ok(await page.locator('#day-pull').isHidden(), 'no 拔掉 on the 8th day back');
      assert.match(await page.textContent('#day-hint'), /只能查看/);
      await page.click('#month-days button[data-day="2025-06-16"]');
      assert.ok(await page.locator('#day-plant').isHidden());
      assert.match(await page.textContent('#day-hint'), /还没到/);

      await page.click('#month-days button[data-day="2025-06-14"]');
      await page.click('#day-pull');
      assert.match(await page.textContent('#pull-text'), /要拔掉昨天（6月14日）种的向日葵（开心）吗？那天写的话也会一起删掉/);
      await page.click('#pull-yes');
      await page.locator('#day-status', { hasText: '6月14日的花已经拔掉了' }).waitFor();
      assert.deepEqual(await flowersOn(page, '2025-06-14'), [], 'the wall is drawn again');
      await page.reload();
      await page.waitForFunction(() => document.getElementById('today-line').textContent !== '');
      assert.equal((await storedDays(page))['2025-06-14'], undefined);
      await page.evaluate(() => window.moodMode('menu'));
      // The 7th day back can still be changed, from the menu too.
      await page.click('#month-days button[data-day="2025-06-09"]');
      assert.equal(await page.textContent('#day-plant'), '修改这一天');
      await page.click('#day-plant');
      assert.equal(await view(page), 'plant');
      assert.match(await page.textContent('#editor-date'), /2025年6月9日/);
    });
  });
});

describe('reading a day', () => {
  test("today's whole note is read in the menu, and the wall shows no note, not even a year ago", async () => {
    const note = '今天和老朋友吃了饭，聊到很晚，回家的路上下起了小雨，没带伞但心情很好。'.repeat(2);
    const days = { '2024-06-15': { mood: 'warm', note: '一年前的悄悄话' } };
    await withGarden(browser, { days }, async ({ page }) => {
      await plant(page, '开心', note);
      assert.equal(await page.textContent('#year-ago'), '一年前的今天：温暖 · 樱花');
      const wall = await page.evaluate(() => document.getElementById('wall').textContent);
      assert.ok(!wall.includes('悄悄话') && !wall.includes('老朋友'), 'no note on the wall');
      await page.evaluate(() => window.moodMode('menu'));
      assert.match(await page.textContent('#day-title'), /今天/);
      assert.equal(await page.textContent('#day-note'), note);
      await page.click('#history-list button[data-day="2024-06-15"]');
      assert.equal(await page.textContent('#day-note'), '一年前的悄悄话');
    });
  });

  test('a save that does not reach the disk keeps the editor and the note, and says so', async () => {
    const abortWrites = () => {
      IDBObjectStore.prototype.put = function () { this.transaction.abort(); };
    };
    await withGarden(browser, { initScripts: [abortWrites] }, async ({ page }) => {
      await plant(page, '开心', '别丢了');
      assert.equal(await view(page), 'plant');
      assert.match(await page.textContent('#editor-error'), /没能种下：没能保存到这台电脑上/);
      assert.equal(await page.inputValue('#note'), '别丢了');
      assert.deepEqual(await flowersOn(page, TODAY), []);
      // Nor does the day come back from local storage after a restart.
      assert.equal(await readStored(page), null);
    });
  });
});

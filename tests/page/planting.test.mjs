// Planting today, planting it again, and the day turning over at midnight.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, openGarden, yearOfDays, posted, readStored, view, TODAY } from './harness.mjs';

let browser;
before(async () => { browser = await launch(); });
after(() => browser?.close());

const storedDays = async (page) => JSON.parse(await readStored(page)).days;
const flowersOn = (page, day) => page.evaluate((d) =>
  [...document.querySelectorAll(`#garden .flower[data-day="${d}"]`)].map((f) => f.dataset.mood), day);

async function plant(page, moodName, note) {
  await page.evaluate(() => window.moodMode('plant'));
  await page.locator('#mood-grid').getByText(moodName, { exact: true }).click();
  await page.fill('#note', note);
  await page.click('#editor-plant');
}

describe('planting today', () => {
  test('plants, survives a reload, and planting again replaces the day', async () => {
    const year = yearOfDays();
    const g = await openGarden(browser, { days: year });
    const { page } = g;
    try {
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
    } finally {
      await g.close();
    }
  });

  test('a draft survives trips to the menu; cancel goes back where the editor came from', async () => {
    const g = await openGarden(browser, { days: yearOfDays() });
    const { page } = g;
    try {
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
    } finally {
      await g.close();
    }
  });

  test('the note limit counts characters as people see them, and going over is said, not cut', async () => {
    const g = await openGarden(browser);
    const { page } = g;
    try {
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
      assert.deepEqual((await storedDays(page))[TODAY], { mood: 'happy', note: family });
    } finally {
      await g.close();
    }
  });

  test('cancel and Escape leave the garden as it was', async () => {
    const g = await openGarden(browser, { days: yearOfDays() });
    const { page } = g;
    try {
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
    } finally {
      await g.close();
    }
  });

  test('a failed save keeps the editor open, says why, and plants nothing', async () => {
    const fullStorage = () => {
      Storage.prototype.setItem = function () { throw new DOMException('full', 'QuotaExceededError'); };
    };
    const g = await openGarden(browser, { initScripts: [fullStorage] });
    const { page } = g;
    try {
      await plant(page, '开心', '');
      assert.equal(await view(page), 'plant');
      assert.match(await page.textContent('#editor-error'), /空间已满/);
      assert.deepEqual(await flowersOn(page, TODAY), []);
      assert.deepEqual(await posted(page), ['showWall', 'showEditor']);
    } finally {
      await g.close();
    }
  });
});

describe('the date', () => {
  test('an editor opened before midnight moves to the new day, says so, and plants there', async () => {
    const g = await openGarden(browser, { now: '2025-06-30T23:59:30+08:00' });
    const { page } = g;
    try {
      await page.evaluate(() => window.moodMode('plant'));
      await page.locator('#mood-grid').getByText('平静', { exact: true }).click();
      await page.fill('#note', '跨过午夜');
      await page.clock.runFor(45 * 1000);
      await page.evaluate(() => window.moodMode('plant')); // chosen again from the tray
      assert.match(await page.textContent('#editor-date'), /2025年7月1日/);
      assert.match(await page.textContent('#editor-moved'), /现在种下的是 2025年7月1日/);
      assert.equal(await page.inputValue('#note'), '跨过午夜');
      await page.click('#editor-plant');
      assert.deepEqual(Object.keys(await storedDays(page)), ['2025-07-01']);
      assert.match(await page.textContent('#today-mood'), /今天：平静/);
    } finally {
      await g.close();
    }
  });

  test('after sleep or a change of time zone the wall is right within a minute', async () => {
    const g = await openGarden(browser, { days: yearOfDays(), now: '2025-06-15T22:30:00+08:00', timezoneId: null });
    const { page } = g;
    const cdp = await g.context.newCDPSession(page);
    const zone = async (timezoneId) => {
      await cdp.send('Emulation.setTimezoneOverride', { timezoneId: '' });
      await cdp.send('Emulation.setTimezoneOverride', { timezoneId });
    };
    try {
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
    } finally {
      await g.close();
    }
  });

  test('the garden moves to the new day without a reload', async () => {
    const g = await openGarden(browser, { days: yearOfDays('2025-06-30'), now: '2025-06-30T23:58:00+08:00' });
    const { page } = g;
    try {
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
    } finally {
      await g.close();
    }
  });
});

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
      assert.match(await page.textContent('#editor-error'), /本地存储空间已满/);
      assert.deepEqual(await flowersOn(page, TODAY), []);
      assert.deepEqual(await posted(page), ['showWall', 'showEditor']);
    } finally {
      await g.close();
    }
  });
});

describe('midnight', () => {
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

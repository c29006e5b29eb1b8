// A year of garden on common screens. The screenshots are for a person to
// look at (tests/page/screenshots/); the checks are about layout only.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdir } from 'node:fs/promises';
import { launch, openGarden, plant, yearOfDays, SCREENSHOTS, withGarden } from './harness.mjs';

let browser;
before(async () => {
  browser = await launch();
  await mkdir(SCREENSHOTS, { recursive: true });
});
after(() => browser?.close());

const ICONS = 160; // desktop icons along the left edge
const TASKBAR = 40; // a default taskbar along the bottom

// Rectangles of everything that matters on the wallpaper.
const wallBoxes = (page) => page.evaluate(() => {
  const box = (el) => { const r = el.getBoundingClientRect(); return { left: r.left, top: r.top, right: r.right, bottom: r.bottom, width: r.width }; };
  const todayFlower = document.querySelector('#garden .today-frame');
  return {
    head: [...document.querySelectorAll('.wall-head > *, .notice:not([hidden])')].map(box),
    garden: box(document.getElementById('garden-rows')),
    monthLabels: [...document.querySelectorAll('#garden .month')].map(box),
    today: todayFlower && box(todayFlower),
    todayFlower: [...document.querySelectorAll('#garden .today-label + .flower, #garden .today-label + .grow > .flower')].map(box)[0],
    cell: 40 * document.getElementById('garden').getScreenCTM().a, // px per day column
    scroll: { w: document.documentElement.scrollWidth, h: document.documentElement.scrollHeight },
  };
});

describe('the wallpaper on common screens', () => {
  // One page throughout: the host resizes its window when the display
  // changes, and the layout must follow without a reload.
  const year = yearOfDays();
  let g;
  before(async () => { g = await openGarden(browser, { days: year }); });
  after(() => g?.close());

  async function checkWall(width, height, minCell, shown) {
    const { page } = g;
    await page.setViewportSize({ width, height });
    await page.screenshot({ path: `${SCREENSHOTS}wall-${width}x${height}.png` });
    const b = await wallBoxes(page);
    assert.ok(b.scroll.w <= width && b.scroll.h <= height, 'nothing scrolls');
    for (const r of [...b.head, b.garden, ...b.monthLabels]) {
      assert.ok(r.left >= ICONS, `left edge ${r.left} clears the icons`);
      assert.ok(r.right <= width && r.top >= 0 && r.bottom <= height - TASKBAR, `box ${JSON.stringify(r)} on screen`);
    }
    assert.ok(b.today.left >= ICONS && b.today.bottom <= height - TASKBAR, 'today is on screen');
    assert.equal(Boolean(b.todayFlower), shown > inView, 'today\'s flower is drawn once planted');
    if (b.todayFlower) {
      const [f, t] = [b.todayFlower, b.today];
      assert.ok(f.left >= t.left && f.right <= t.right && f.top >= t.top && f.bottom <= t.bottom,
        `today's flower ${JSON.stringify(f)} inside its frame ${JSON.stringify(t)}`);
    }
    assert.ok(b.cell >= minCell, `a day's column is ${b.cell} px wide`);
    assert.equal(await page.locator('#garden .flower').count(), shown);
  }

  const inView = Object.keys(year).filter((k) => k >= '2024-07-01').length;

  test('1366×768: a year fits, clear of the icons and the taskbar', async () => {
    await checkWall(1366, 768, 28, inView);
  });

  test('1366×768: the editor and the menu fit the screen', async () => {
    const { page } = g;
    for (const [word, panel] of [['plant', '.panel-editor'], ['menu', '.panel-menu']]) {
      await page.evaluate((w) => window.moodMode(w), word);
      await page.screenshot({ path: `${SCREENSHOTS}${word === 'plant' ? 'editor' : 'menu'}-1366x768.png` });
      const r = await page.locator(panel).boundingBox();
      assert.ok(r.x >= 0 && r.y >= 0 && r.x + r.width <= 1366 && r.y + r.height <= 768, `${panel} fits`);
      const scrolls = await page.locator(panel).evaluate((el) => el.scrollHeight > el.clientHeight);
      assert.equal(scrolls, false, `${panel} needs no scrolling of its own`);
    }
    // Plant today with the tallest flower, so that the larger screens show it in its frame.
    await plant(page, '平静');
  });

  test('1920×1080 and 2560×1440: the same year, larger', async () => {
    await checkWall(1920, 1080, 40, inView + 1);
    await checkWall(2560, 1440, 52, inView + 1);
  });
});

describe('a garden through the years', () => {
  test('on 1 January the whole past year stays up, counted as the wall shows it, with the new bed begun', async () => {
    const days = yearOfDays('2025-01-01');
    await withGarden(browser, { days, now: '2025-01-01T08:00:00+08:00' }, async (g) => {
      const { page } = g;
      await page.screenshot({ path: `${SCREENSHOTS}new-year-1366x768.png` });
      const beds = await page.evaluate(() => [...document.querySelectorAll('#garden .bed')].map((b) => b.dataset.month));
      assert.deepEqual([beds.length, beds[0], beds.at(-1)], [13, '2024-01', '2025-01']);
      const lastYear = Object.keys(days).filter((k) => k.startsWith('2024-')).length;
      assert.equal(await page.textContent('#year-count'), `2024年种下了 ${lastYear} 朵花`);
      assert.match(await page.textContent('#new-year'), /2025年的花床在最下面一行/);
      assert.equal(await page.locator('#garden .flower').count(), lastYear);
      const b = await wallBoxes(page);
      assert.ok(b.scroll.h <= 768 && b.garden.bottom <= 768 - TASKBAR, 'thirteen beds still fit');

      // A month later the wall is back to twelve months, and says so.
      await page.clock.setSystemTime(new Date('2025-02-01T08:00:00+08:00'));
      await page.clock.runFor(61 * 1000);
      assert.equal(await page.locator('#garden .bed').count(), 12);
      assert.match(await page.textContent('#year-count'), /^最近十二个月种下了 \d+ 朵花$/);
      assert.ok(await page.locator('#new-year').isHidden());
    });
  });

  test('ten years: a year ago today on the wall, and every past year in the menu with its totals', async () => {
    const days = yearOfDays(undefined, { years: 10 });
    days['2024-06-15'] = { mood: 'warm', note: '去年今天，第一次去海边看日出，风很大但是很开心' };
    await withGarden(browser, { days, viewport: { width: 1920, height: 1080 } }, async (g) => {
      const { page } = g;
      assert.equal(await page.textContent('#year-ago'), '一年前的今天：温暖 · 樱花');
      await page.screenshot({ path: `${SCREENSHOTS}ten-years-1920x1080.png` });
      await page.evaluate(() => window.moodMode('menu'));
      await page.screenshot({ path: `${SCREENSHOTS}ten-years-menu-1920x1080.png` });
      const years = await page.evaluate(() => [...document.querySelectorAll('#years-list li')].map((li) => ({
        year: li.dataset.year,
        total: li.querySelector('.y-total').textContent,
        moods: Object.fromEntries([...li.querySelectorAll('.y-mood')].map((m) => [m.dataset.mood, m.textContent])),
      })));
      assert.deepEqual(years.map((y) => y.year), ['2024', '2023', '2022', '2021', '2020', '2019', '2018', '2017', '2016', '2015']);
      const of2020 = Object.entries(days).filter(([k]) => k.startsWith('2020-'));
      assert.equal(years[4].total, `种下 ${of2020.length} 朵花`);
      const calm = of2020.filter(([, v]) => v.mood === 'calm').length;
      assert.equal(years[4].moods.calm, `平静 ${calm}`);
    });
  });
});

describe('the wall for a person to look at', () => {
  // Empty and with a year, on two common screens and in forced colours.
  // SHOTS_SUFFIX tells apart runs made before and after a change to the wall.
  const suffix = process.env.SHOTS_SUFFIX ? `-${process.env.SHOTS_SUFFIX}` : '';
  for (const [name, days] of [['empty', {}], ['year', yearOfDays()]]) {
    test(`the wall ${name === 'empty' ? 'with no days' : 'with a year of days'}, in normal and forced colours`, async () => {
      for (const forcedColors of ['none', 'active']) {
        await withGarden(browser, { days, forcedColors, viewport: { width: 1366, height: 768 } }, async (g) => {
          for (const [width, height] of [[1366, 768], [1920, 1080]]) {
            await g.page.setViewportSize({ width, height });
            const mode = forcedColors === 'active' ? '-forced' : '';
            await g.page.screenshot({ path: `${SCREENSHOTS}calm-wall-${name}${mode}-${width}x${height}${suffix}.png` });
          }
          assert.equal(await g.page.locator('#garden .flower').count(), Object.keys(days).filter((k) => k >= '2024-07-01').length);
        });
      }
    });
  }
});

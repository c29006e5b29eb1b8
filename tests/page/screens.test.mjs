// A year of garden on common screens. The screenshots are for a person to
// look at (tests/page/screenshots/); the checks are about layout only.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdir } from 'node:fs/promises';
import { launch, openGarden, yearOfDays, SCREENSHOTS } from './harness.mjs';

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
  const todayFlower = document.querySelector('#garden .today-glow');
  return {
    head: [...document.querySelectorAll('.wall-head > *, .notice:not([hidden])')].map(box),
    garden: box(document.getElementById('garden-rows')),
    monthLabels: [...document.querySelectorAll('#garden .month')].map(box),
    today: todayFlower && box(todayFlower),
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
    // Plant today, so that the larger screens show it in flower.
    await page.evaluate(() => window.moodMode('plant'));
    await page.locator('#mood-grid').getByText('开心', { exact: true }).click();
    await page.click('#editor-plant');
  });

  test('1920×1080 and 2560×1440: the same year, larger', async () => {
    await checkWall(1920, 1080, 40, inView + 1);
    await checkWall(2560, 1440, 52, inView + 1);
  });
});

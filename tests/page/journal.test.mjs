// Ten years of days read again: any month, search in the notes, the wall
// without its mood words, and a picture of it. The screenshots of the menu
// and the wall are for a person to look at (tests/page/screenshots/).
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

// Stands in for the save-file picker and keeps the bytes written.
function fakeBytesPicker() {
  window.showSaveFilePicker = async (options) => {
    const parts = [];
    return {
      name: options.suggestedName,
      createWritable: async () => ({
        write: async (chunk) => { parts.push(chunk); },
        close: async () => { window.__bytes = [...new Uint8Array(await new Blob(parts).arrayBuffer())]; },
      }),
    };
  };
}

describe('ten years, read again', () => {
  const days = yearOfDays(undefined, { years: 10 });
  days['2022-03-08'] = { mood: 'tired', note: '加班到很晚，Deadline 总算赶上了' };
  days['2024-06-15'] = { mood: 'sad', note: '去年今天' };
  days['2023-05-20'] = { mood: 'happy', note: '点了个赞👍🏽，全家👨‍👩‍👧出游' };
  let g;
  before(async () => {
    g = await openGarden(browser, { days, viewport: { width: 1920, height: 1080 }, initScripts: [fakeBytesPicker] });
    await g.page.evaluate(() => window.moodMode('menu'));
  });
  after(() => g?.close());

  const monthShown = (page) => page.evaluate(() => ({
    title: document.getElementById('month-title').textContent,
    blanks: document.querySelectorAll('#month-days .blank').length,
    days: Object.fromEntries([...document.querySelectorAll('#month-days button')].map((b) => [b.dataset.day, b.dataset.mood || null])),
    counts: Object.fromEntries([...document.querySelectorAll('#month-counts li')].map((li) => [li.dataset.mood, li.querySelector('.n').textContent])),
    total: document.getElementById('month-total').textContent,
    next: document.getElementById('month-next').disabled,
  }));

  test('any month: back to one of last year with its days and counts, a jump to a year, never past this month', async () => {
    const { page } = g;
    const now = await monthShown(page);
    assert.equal(now.title, '2025年6月的心情');
    assert.equal(now.blanks, 6, '1 June 2025 is a Sunday, under 日');
    assert.equal(now.next, true, 'no step past this month');
    assert.deepEqual(await page.$$eval('.month-week li', (li) => li.map((x) => x.textContent)), ['一', '二', '三', '四', '五', '六', '日']);

    for (let i = 0; i < 10; i++) await page.click('#month-prev');
    await page.screenshot({ path: `${SCREENSHOTS}menu-last-year-1920x1080.png` });
    const august = await monthShown(page);
    const planted = Object.entries(days).filter(([k]) => k.startsWith('2024-08-')).sort();
    assert.equal(august.title, '2024年8月的心情');
    assert.equal(august.blanks, 3, '1 August 2024 is a Thursday');
    assert.deepEqual(Object.entries(august.days).filter(([, m]) => m), planted.map(([k, v]) => [k, v.mood]));
    assert.equal(august.counts.calm, `${planted.filter(([, v]) => v.mood === 'calm').length} 天`);
    assert.equal(august.total, `这个月 31 天，种了 ${planted.length} 天。`);

    await page.selectOption('#month-year', '2016');
    assert.equal((await monthShown(page)).title, '2016年8月的心情');
    await page.selectOption('#month-year', '2025');
    assert.equal((await monthShown(page)).title, '2025年6月的心情', 'August 2025 is still to come');
  });

  test('search finds a word from three years ago whatever its case, marks it, and opens its day', async () => {
    const { page } = g;
    await page.fill('#search', 'deadline');
    assert.equal(await page.textContent('#history-title'), '写着“deadline”的日子：1 天');
    assert.deepEqual(await page.$$eval('#history-list mark', (m) => m.map((x) => x.textContent)), ['Deadline']);
    await page.click('#history-list button');
    assert.match(await page.textContent('#day-title'), /^2022年3月8日 星期二/);
    assert.equal((await monthShown(page)).title, '2022年3月的心情');
    assert.equal(await page.getAttribute('#month-days button[data-day="2022-03-08"]', 'aria-pressed'), 'true');

    // A mark never splits an emoji: the skin tone and the family go with it.
    for (const [word, mark] of [['👍', '👍🏽'], ['👨', '👨‍👩‍👧']]) {
      await page.fill('#search', word);
      assert.deepEqual(await page.$$eval('#history-list mark', (m) => m.map((x) => x.textContent)), [mark], word);
    }

    await page.fill('#search', '火锅');
    const found = await page.$$eval('#history-list li', (li) => li.map((x) => x.dataset.day));
    const expected = Object.keys(days).filter((k) => days[k].note?.includes('火锅')).sort().reverse();
    assert.deepEqual(found, expected.slice(0, 20), 'newest first, a page at a time');
    await page.screenshot({ path: `${SCREENSHOTS}search-1920x1080.png` });
    await page.fill('#search', '');
    assert.equal(await page.textContent('#history-title'), '种过的日子');
  });

  test('the switch hides every mood word on the wall and in its picture, and stays off after a reload', async () => {
    const { page } = g;
    const picture = async () => {
      await page.evaluate(() => { window.__bytes = null; });
      await page.click('#menu-picture');
      await page.waitForFunction(() => window.__bytes);
      return page.evaluate(() => window.__bytes);
    };
    const withWords = await picture();
    await page.uncheck('#wall-words');
    const without = await picture();
    assert.deepEqual(withWords.slice(0, 8), [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a], 'a PNG');
    const size = (b) => [b.slice(16, 20), b.slice(20, 24)].map((x) => x.reduce((n, byte) => n * 256 + byte, 0));
    assert.deepEqual(size(without), [1920, 1080], 'at the screen\'s size');
    assert.notDeepEqual(without, withWords, 'the words are gone from the picture too');

    await page.reload();
    await page.waitForFunction(() => document.getElementById('today-line').textContent !== '');
    const seen = await page.evaluate(() => ({
      words: [...document.querySelectorAll('#wall .word')].filter((w) => w.getClientRects().length).length,
      yearAgo: [...document.getElementById('year-ago').childNodes].filter((n) => n.nodeType === 3 || n.getClientRects().length)
        .map((n) => n.nodeName === 'svg' ? '[flower]' : n.textContent).join(''),
      legend: document.getElementById('legend').innerText.trim(),
      icons: document.querySelectorAll('#legend .icon').length,
    }));
    assert.deepEqual(seen, { words: 0, yearAgo: '一年前的今天：[flower]风铃草', legend: '', icons: 6 });
    await page.screenshot({ path: `${SCREENSHOTS}wall-words-hidden-1920x1080.png` });
    await page.evaluate(() => window.moodMode('menu'));
    assert.equal(await page.isChecked('#wall-words'), false);
    assert.deepEqual(g.errors, []);
  });
});

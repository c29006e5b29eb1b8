// What the host relies on: window.moodMode and the two messages back.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import path from 'node:path';
import vm from 'node:vm';
import { launch, openGarden, plant, yearOfDays, posted, view, withGarden, SITE } from './harness.mjs';
import * as words from '../../site/garden/words.js';

let browser;
before(async () => { browser = await launch(); });
after(() => browser?.close());

const panels = (page) => page.evaluate(() => ({
  editor: !document.getElementById('editor').hidden,
  menu: !document.getElementById('menu').hidden,
}));
const clearPosted = (page) => page.evaluate(() => { window.__posted.length = 0; });

describe('host contract', () => {
  // The first three tests share one garden, in order: the first one sees the
  // page exactly as the host does at start.
  const year = yearOfDays();
  let g;
  before(async () => { g = await openGarden(browser, { days: year }); });
  after(() => g?.close());

  test('posts showWall once, and only after the garden is drawn', async () => {
    const shown = Object.keys(year).filter((k) => k >= '2024-07-01').length;
    await g.page.waitForTimeout(500);
    const records = await g.page.evaluate(() => window.__posted);
    assert.deepEqual(records, [{ message: 'showWall', flowers: shown }]);
    assert.deepEqual(g.errors, []);
  });

  test('each word opens its view, posts its message and takes the focus', async () => {
    const { page } = g;
    const steps = [
      ['plant', 'plant', 'showEditor', { editor: true, menu: false }, 'editor'],
      ['menu', 'menu', 'showEditor', { editor: false, menu: true }, 'menu'],
      ['plant', 'plant', 'showEditor', { editor: true, menu: false }, 'editor'],
      ['wall', 'wall', 'showWall', { editor: false, menu: false }, null],
      ['wall', 'wall', 'showWall', { editor: false, menu: false }, null],
      ['menu', 'menu', 'showEditor', { editor: false, menu: true }, 'menu'],
      ['wall', 'wall', 'showWall', { editor: false, menu: false }, null],
    ];
    for (const [word, expectedView, message, open, focusIn] of steps) {
      await clearPosted(page);
      await page.evaluate((w) => window.moodMode(w), word);
      assert.equal(await view(page), expectedView, `after "${word}"`);
      assert.deepEqual(await posted(page), [message], `after "${word}"`);
      assert.deepEqual(await panels(page), open, `after "${word}"`);
      if (focusIn) {
        const focused = await page.evaluate((id) => document.getElementById(id).contains(document.activeElement), focusIn);
        assert.ok(focused, `focus is inside the ${focusIn} after "${word}"`);
      }
    }
    assert.deepEqual(g.errors, []);
  });

  test('unknown words and other values do nothing', async () => {
    const { page } = g;
    await page.evaluate(() => window.moodMode('plant'));
    await clearPosted(page);
    const results = await page.evaluate(() => {
      const odd = ['Plant', 'WALL', ' wall', 'wall ', 'menu\n', 'showWall', 'showEditor', '', 'wall\')',
        undefined, null, 42, {}, ['wall'], new String('wall')];
      return odd.map((w) => {
        try { window.moodMode(w); return 'ok'; } catch (e) { return e.message; }
      });
    });
    assert.ok(results.every((r) => r === 'ok'), results.join(', '));
    assert.deepEqual(await posted(page), []);
    assert.equal(await view(page), 'plant');
    assert.deepEqual(g.errors, []);
  });

  test('in a plain browser without chrome.webview the garden still works', async () => {
    await withGarden(browser, { host: false, days: yearOfDays() }, async (g) => {
      const { page } = g;
      assert.equal(await page.evaluate(() => Boolean(window.chrome && window.chrome.webview)), false);
      await page.locator('#preview-bar').getByText('种下今天').click();
      assert.equal(await view(page), 'plant');
      await page.keyboard.press('Escape');
      assert.equal(await view(page), 'wall');
      await page.evaluate(() => window.moodMode('menu'));
      assert.equal(await view(page), 'menu');
      // Nobody to write a weekly copy: it is neither asked about nor offered.
      assert.deepEqual(await page.evaluate(() => ['auto-ask', 'auto-switch', 'auto-line'].map((id) => document.getElementById(id).hidden)),
        [true, true, true]);
      await page.click('#menu-wall');
      assert.equal(await view(page), 'wall');
      assert.deepEqual(g.errors, []);
    });
  });

  test('a word that arrives while the garden is loading is carried out after the first render', async () => {
    await withGarden(browser, { wait: false, delay: { '/garden/app.js': 800 } }, async (g) => {
      const { page } = g;
      await page.waitForFunction(() => typeof window.moodMode === 'function');
      await page.evaluate(() => window.moodMode('menu'));
      await page.waitForFunction(() => window.__posted.length === 2);
      assert.deepEqual(await posted(page), ['showWall', 'showEditor']);
      assert.equal(await view(page), 'menu');
    });
  });

  test('moodMode survives a garden script that fails, and the window still reaches the desktop', async () => {
    await withGarden(browser, { wait: false, replace: { '/garden/app.js': 'export const = ;' } }, async (g) => {
      const { page } = g;
      assert.equal(await page.evaluate(() => typeof window.moodMode), 'function');
      assert.deepEqual(await posted(page), ['showWall']);
      assert.ok(await page.locator('.broken-note').isVisible());
      await page.evaluate(() => { window.moodMode('plant'); window.moodMode('wall'); });
      assert.deepEqual(await posted(page), ['showWall', 'showWall']);
    });
  });
});

describe('the inline bridge', () => {
  // The bridge runs before any module and keeps its own copy of the words:
  // run on its own, it must take the tray's words of words.js and no other
  // word the page and the program exchange, and give up with SHOW_WALL.
  test('the inline bridge takes the same mode words as words.js', async () => {
    const html = await readFile(path.join(SITE, 'garden', 'index.html'), 'utf8');
    const [, source] = /<script>([\s\S]*?)<\/script>/.exec(html);
    const run = () => {
      const seen = { posted: [], heard: [], onLoad: null };
      const window = {
        chrome: { webview: { postMessage: (m) => seen.posted.push(m) } },
        addEventListener: (type, fn) => { if (type === 'load') seen.onLoad = fn; },
      };
      const document = { documentElement: { classList: { add() {} } } };
      vm.runInNewContext(source, { window, document });
      return { window, seen };
    };

    const trayWords = [words.PLANT, words.MENU, words.WALL];
    const others = [words.SHOW_WALL, words.SHOW_EDITOR, words.BACKUP, words.BACKUP_SAVED, words.BACKUP_FAILED];
    const ready = run();
    ready.window.gardenBridge.connect((w) => ready.seen.heard.push(w));
    for (const w of [...trayWords, ...others]) ready.window.moodMode(w);
    assert.deepEqual(ready.seen.heard, trayWords);

    const broken = run();
    broken.seen.onLoad();
    for (const w of trayWords) broken.window.moodMode(w);
    assert.deepEqual(broken.seen.posted, [words.SHOW_WALL, words.SHOW_WALL]);
  });
});

describe('cost on the wall', () => {
  // Counts what the page schedules; wraps the timer functions before any
  // page script runs.
  function countScheduling() {
    const seen = { timeouts: [], intervals: 0, frames: 0 };
    window.__seen = seen;
    const { setTimeout: st, setInterval: si, requestAnimationFrame: raf } = window;
    window.setTimeout = (fn, ms, ...a) => { seen.timeouts.push(ms); return st(fn, ms, ...a); };
    window.setInterval = (...a) => { seen.intervals++; return si(...a); };
    window.requestAnimationFrame = (fn) => { seen.frames++; return raf(fn); };
  }

  test('after the first render only the minute timer is pending, and nothing animates', async () => {
    await withGarden(browser, { clock: false, days: yearOfDays(), reducedMotion: 'no-preference', initScripts: [countScheduling] }, async (g) => {
      const { page } = g;
      await page.waitForTimeout(1500);
      const seen = await page.evaluate(() => ({ ...window.__seen, animations: document.getAnimations().length }));
      assert.equal(seen.intervals, 0);
      assert.equal(seen.frames, 0);
      assert.equal(seen.animations, 0);
      assert.equal(seen.timeouts.length, 1, 'one timer, to check the date');
      assert.ok(seen.timeouts[0] > 0 && seen.timeouts[0] <= 60000, `timer of ${seen.timeouts[0]} ms`);
    });
  });

  test('a minute that does not change the date touches nothing on the page', async () => {
    await withGarden(browser, { days: yearOfDays() }, async (g) => {
      const { page } = g;
      await page.evaluate(() => {
        window.__changes = 0;
        new MutationObserver((list) => { window.__changes += list.length; })
          .observe(document.body, { subtree: true, childList: true, attributes: true, characterData: true });
      });
      await page.clock.runFor(5 * 60 * 1000);
      assert.equal(await page.evaluate(() => window.__changes), 0);
    });
  });

  test('a new flower grows in once, and not at all when motion is reduced', async () => {
    for (const reducedMotion of ['no-preference', 'reduce']) {
      await withGarden(browser, { reducedMotion }, async (g) => {
        const { page } = g;
        await plant(page, '开心');
        const inGarden = () => document.getAnimations().filter((a) => a.effect.target.closest('#garden')).length;
        const during = await page.evaluate(inGarden);
        assert.equal(during, reducedMotion === 'reduce' ? 0 : 1, reducedMotion);
        // Finishes within its own length (300 ms delay + 900 ms), with room to spare.
        await page.waitForFunction(() => document.getAnimations().filter((a) => a.effect.target.closest('#garden')).length === 0,
          null, { timeout: 2500 });
      });
    }
  });
});

// Keyboard, contrast and high-contrast use of the garden.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdir } from 'node:fs/promises';
import { launch, openGarden, yearOfDays, view, SCREENSHOTS, withGarden } from './harness.mjs';

let browser;
before(async () => {
  browser = await launch();
  await mkdir(SCREENSHOTS, { recursive: true });
});
after(() => browser?.close());

// Contrast of two CSS colours as the browser computed them (rgb/rgba).
function contrast(a, b) {
  const lum = (css) => {
    const [r, g, bl] = css.match(/[\d.]+/g).map(Number);
    const c = (v) => { v /= 255; return v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4; };
    return 0.2126 * c(r) + 0.7152 * c(g) + 0.0722 * c(bl);
  };
  const [x, y] = [lum(a), lum(b)].sort((p, q) => q - p);
  return (x + 0.05) / (y + 0.05);
}

describe('keyboard', () => {
  let g;
  before(async () => { g = await openGarden(browser, { days: yearOfDays() }); });
  after(() => g?.close());

  const focusInside = (page, id) => page.evaluate((i) => document.getElementById(i).contains(document.activeElement), id);

  test('Tab and Shift+Tab stay inside an open panel, and the wall behind it is inert', async () => {
    const { page } = g;
    for (const [word, id] of [['plant', 'editor'], ['menu', 'menu']]) {
      await page.evaluate((w) => window.moodMode(w), word);
      assert.equal(await page.evaluate(() => document.getElementById('wall').inert), true, id);
      for (const key of ['Tab', 'Shift+Tab']) {
        for (let i = 0; i < 14; i++) {
          await page.keyboard.press(key);
          assert.ok(await focusInside(page, id), `${key} ×${i + 1} in the ${id}`);
        }
      }
    }
    await page.evaluate(() => window.moodMode('wall'));
    assert.equal(await page.evaluate(() => document.getElementById('wall').inert), false);
  });

  test('the browser\'s own menu opens only in the note, for cut, copy and paste', async () => {
    const { page } = g;
    await page.evaluate(() => window.moodMode('plant'));
    const cancelled = await page.evaluate(() => ['note', 'garden', 'editor-plant'].map((id) => {
      const event = new MouseEvent('contextmenu', { bubbles: true, cancelable: true });
      document.getElementById(id).dispatchEvent(event);
      return event.defaultPrevented;
    }));
    assert.deepEqual(cancelled, [false, true, true]);
    await page.evaluate(() => window.moodMode('wall'));
  });

  test('moods are a radio group: arrows move, Space and Enter choose and never plant; the choice shows without colour', async () => {
    const { page } = g;
    await page.evaluate(() => window.moodMode('plant'));
    const checked = () => page.evaluate(() => document.querySelector('#mood-grid input:checked')?.value ?? null);
    assert.equal(await checked(), null);
    await page.keyboard.press('Space');
    assert.equal(await checked(), 'happy');
    await page.keyboard.press('ArrowRight');
    assert.equal(await checked(), 'calm');
    await page.keyboard.press('Enter');
    assert.equal(await view(page), 'plant', 'Enter on a mood does not plant');
    const mark = await page.evaluate(() => [...document.querySelectorAll('#mood-grid .card')]
      .map((c) => getComputedStyle(c, '::after').content));
    assert.deepEqual(mark.map((m) => m.includes('已选')), [false, true, false, false, false, false]);

    // The focus ring: at least 3:1 against the panel, and not the colour of a choice.
    const ring = await page.evaluate(() => {
      const card = document.querySelector('#mood-grid input:checked + .card');
      const s = getComputedStyle(card);
      return { outline: s.outlineColor, width: s.outlineWidth, style: s.outlineStyle, border: s.borderColor,
        panel: getComputedStyle(document.querySelector('.panel')).backgroundColor };
    });
    assert.equal(ring.style, 'solid');
    assert.ok(parseFloat(ring.width) >= 2);
    assert.ok(contrast(ring.outline, ring.panel) >= 3, `ring ${ring.outline} on ${ring.panel}`);
    assert.notEqual(ring.outline, ring.border);
    await page.keyboard.press('Escape');
  });
});

describe('reading the wall', () => {
  test('wall text is at least 4.5:1 and 12 px on the smallest screen', async () => {
    await withGarden(browser, { days: yearOfDays(), viewport: { width: 1366, height: 768 } }, async (g) => {
      const texts = await g.page.evaluate(() => {
        const bg = getComputedStyle(document.body).backgroundColor;
        const scale = document.getElementById('garden').getScreenCTM().a;
        const out = [];
        for (const el of document.querySelectorAll('.wall-head p:not([hidden]), .legend span, #garden text')) {
          const s = getComputedStyle(el);
          const svg = el instanceof SVGElement;
          out.push({
            what: `${el.className.baseVal ?? el.className} “${el.textContent.slice(0, 8)}”`,
            colour: svg ? s.fill : s.color,
            opacity: Number(s.opacity),
            px: parseFloat(s.fontSize) * (svg ? scale : 1),
            bg,
          });
        }
        return out;
      });
      assert.ok(texts.length > 20);
      for (const t of texts) {
        assert.equal(t.opacity, 1, t.what);
        assert.ok(contrast(t.colour, t.bg) >= 4.5, `${t.what}: ${contrast(t.colour, t.bg).toFixed(2)}:1`);
        assert.ok(t.px >= 12, `${t.what}: ${t.px.toFixed(1)} px`);
      }
    });
  });

  test('in forced colours the chosen mood and every label still show', async () => {
    await withGarden(browser, { days: yearOfDays(), forcedColors: 'active' }, async (g) => {
      const { page } = g;
      await page.screenshot({ path: `${SCREENSHOTS}forced-colors-wall-1366x768.png` });
      await page.evaluate(() => window.moodMode('plant'));
      await page.locator('#mood-grid').getByText('难过', { exact: true }).click();
      await page.screenshot({ path: `${SCREENSHOTS}forced-colors-editor-1366x768.png` });
      const seen = await page.evaluate(() => {
        const cards = [...document.querySelectorAll('#mood-grid .card')].map((c) => getComputedStyle(c));
        const text = getComputedStyle(document.querySelector('#garden .month'));
        return {
          widths: cards.map((s) => s.borderTopWidth),
          colours: cards.map((s) => s.borderTopColor),
          label: text.fill,
          canvas: getComputedStyle(document.body).backgroundColor,
        };
      });
      const chosen = 4;
      assert.ok(seen.widths.every((w, i) => (i === chosen) === (w === seen.widths[chosen])), `borders ${seen.widths}`);
      assert.ok(seen.colours.every((c, i) => i === chosen || c !== seen.colours[chosen]));
      assert.ok(contrast(seen.label, seen.canvas) >= 4.5, `labels ${seen.label} on ${seen.canvas}`);
    });
  });

  test('every mood\'s mark in the month reads at 3:1 on its track and the panel, in normal and forced colours, and has a pattern of its own', async () => {
    for (const forcedColors of ['none', 'active']) {
      await withGarden(browser, { days: yearOfDays(), forcedColors }, async ({ page }) => {
        await page.evaluate(() => window.moodMode('menu'));
        const marks = await page.evaluate(() => {
          const bg = (el) => getComputedStyle(el).backgroundColor;
          const panel = bg(document.querySelector('.panel'));
          const day = (mood) => document.querySelector(`#month-days .mark[data-mood="${mood}"]`);
          return [...document.querySelectorAll('#month-counts li')].map((li) => {
            const mark = li.querySelector('.mark');
            return { mood: li.dataset.mood, colour: bg(mark), day: bg(day(li.dataset.mood)), track: bg(li.querySelector('.bar')), panel,
              pattern: getComputedStyle(mark).backgroundImage };
          });
        });
        assert.equal(marks.length, 6);
        for (const m of marks) {
          for (const [what, against] of [['track', m.track], ['panel', m.panel]]) {
            assert.ok(contrast(m.colour, against) >= 3, `${forcedColors}: ${m.mood} ${m.colour} on its ${what} ${against}: ${contrast(m.colour, against).toFixed(2)}:1`);
          }
          assert.equal(m.day, m.colour, `${m.mood}: the days' underlines are the bars' marks`);
        }
        assert.equal(new Set(marks.map((m) => m.pattern)).size, 6, 'six patterns');
      });
    }
  });

  test('history dates of an earlier year stay on one line', async () => {
    await withGarden(browser, { days: { '2024-12-31': { mood: 'happy' }, '2025-06-01': { mood: 'sad' } } }, async (g) => {
      await g.page.evaluate(() => window.moodMode('menu'));
      const heights = await g.page.evaluate(() => [...document.querySelectorAll('#history-list time')]
        .map((t) => t.getBoundingClientRect().height));
      assert.equal(heights.length, 2);
      assert.equal(heights[0], heights[1]);
      assert.match(await g.page.textContent('#history-list li:last-child time'), /2024年12月31日 周二/);
    });
  });
});

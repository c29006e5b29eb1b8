// Backup to a file (or the clipboard) and restore from one, replacing the
// garden or merged with it.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
  answerLate, durableStored, launch, plant, withGarden, yearOfDays, readStored, storedDays, storedValue, KEY, TODAY,
} from './harness.mjs';

let browser;
before(async () => { browser = await launch(); });
after(() => browser?.close());

const APP = 'verdalune-garden';
const statusSays = (page, pattern) => page.locator('#backup-status', { hasText: pattern }).waitFor();

// Stands in for the save-file picker and keeps what was written.
function fakeSavePicker() {
  window.__saved = [];
  window.showSaveFilePicker = async (options) => {
    window.__pickerOptions = options;
    let text = '';
    return {
      name: options.suggestedName,
      createWritable: async () => ({
        write: async (chunk) => { text += chunk; },
        close: async () => { window.__saved.push(text); },
      }),
    };
  };
}

function padInPage(page, { padTo, text }) {
  return page.evaluate(([size, head]) => {
    const bytes = new Uint8Array(size).fill(32);
    bytes.set(new TextEncoder().encode(head));
    const list = new DataTransfer();
    list.items.add(new File([bytes], 'big.json', { type: 'application/json' }));
    const input = document.getElementById('restore-file');
    input.files = list.files;
    input.dispatchEvent(new Event('change'));
  }, [padTo, text]);
}

function restoreFile(page, name, content) {
  return page.setInputFiles('#restore-file', { name, mimeType: 'application/json', buffer: Buffer.from(content) });
}

describe('backup and restore', () => {
  test('a backup written to a file restores the same garden elsewhere', async () => {
    const year = yearOfDays(TODAY, { includeToday: true });
    const text = await withGarden(browser, { days: year, initScripts: [fakeSavePicker] }, async (source) => {
      await source.page.evaluate(() => window.moodMode('menu'));
      await source.page.click('#backup-save');
      await statusSays(source.page, /已把 \d+ 天的记录备份到“/);
      const saved = await source.page.evaluate(() => window.__saved[0]);
      const options = await source.page.evaluate(() => window.__pickerOptions);
      assert.equal(options.suggestedName, `情绪花园备份-${TODAY}.json`);
      const backup = JSON.parse(saved);
      assert.equal(backup.app, APP);
      assert.equal(backup.version, 1);
      assert.deepEqual(backup.days, await storedDays(source.page));
      return saved;
    });

    await withGarden(browser, { days: { '2025-06-01': { mood: 'sad', note: '会被替换' } } }, async (target) => {
      const { page } = target;
      await page.evaluate(() => window.moodMode('menu'));
      // A right-to-left override in the name must not turn the sentence around.
      await restoreFile(page, '花园\u202Enosj.json', text);
      await page.locator('#restore-confirm').waitFor();
      assert.match(await page.textContent('#restore-summary'),
        new RegExp(`^备份“\u2068花园nosj.json\u2069”里有 ${Object.keys(year).length} 天的记录（2024年6月14日 至 6月15日）`));
      await page.click('#restore-no');
      assert.deepEqual(await storedDays(page), { '2025-06-01': { mood: 'sad', note: '会被替换' } });

      await restoreFile(page, 'garden.json', text);
      await page.click('#restore-yes');
      await statusSays(page, /已经恢复/);
      assert.deepEqual(await storedDays(page), JSON.parse(JSON.stringify(year)));
      const shown = Object.keys(year).filter((k) => k >= '2024-07-01').length;
      assert.equal(await page.locator('#garden .flower').count(), shown);
      // The history, today included, comes a page at a time.
      assert.equal(await page.locator('#history-list li').count(), 50);
      while (await page.locator('#history-more').isVisible()) await page.click('#history-more');
      assert.equal(await page.locator('#history-list li').count(), Object.keys(year).length);
      assert.equal(await page.locator(`#history-list li[data-day="${TODAY}"]`).count(), 1);

      // One tap puts back the garden that was there before.
      await page.click('#restore-undo');
      await statusSays(page, /已经撤销/);
      assert.deepEqual(await storedDays(page), { '2025-06-01': { mood: 'sad', note: '会被替换' } });
      assert.equal(await page.locator('#garden .flower').count(), 1);
      assert.ok(await page.locator('#restore-undo-box').isHidden());
      assert.deepEqual(target.errors, []);
    });
  });

  test('the last backup is told; a reminder comes after 31 days and 7 planted days, and goes after a backup', async () => {
    await withGarden(browser, { days: yearOfDays(), initScripts: [fakeSavePicker] }, async ({ page }) => {
      const menuAfter = async (lastBackup) => {
        if (lastBackup) await page.evaluate((last) => localStorage.setItem('verdalune.prefs.v1', JSON.stringify({ lastBackup: last })), lastBackup);
        await page.reload();
        await page.waitForFunction(() => document.getElementById('today-line').textContent !== '');
        await page.evaluate(() => window.moodMode('menu'));
        return [await page.textContent('#backup-last'), await page.locator('#backup-reminder').isVisible() && await page.textContent('#backup-reminder')];
      };
      const [never, firstReminder] = await menuAfter();
      assert.equal(never, '还没有备份过');
      assert.match(firstReminder, /^花园还没有备份过，已经种了 \d+ 天。/);
      assert.deepEqual(await menuAfter('2025-05-16'), ['上次备份：5月16日，30 天前', false]);
      const since = Object.keys(yearOfDays()).filter((k) => k > '2025-05-15').length;
      assert.deepEqual(await menuAfter('2025-05-15'),
        ['上次备份：5月15日，31 天前', `已经 31 天没有备份了，这期间种了 ${since} 天。可以在下面的“备份与恢复”里备份到文件。`]);
      await page.click('#backup-save');
      await statusSays(page, /备份到“/);
      assert.ok(await page.locator('#backup-reminder').isHidden());
      assert.deepEqual(await menuAfter(), ['上次备份：6月15日，今天', false]);
    });
  });

  test('备份到文件 right after a start, with the durable copy 3 s late, holds every day', async () => {
    const year = yearOfDays();
    await withGarden(browser, { days: year, initScripts: [fakeSavePicker] }, async ({ page }) => {
      await plant(page, '开心', '最新的一天');
      const durable = JSON.parse(await durableStored(page)).days;
      await page.addInitScript(answerLate, 3000);
      // No first picture, then one a save behind, as after a crash.
      for (const picture of [null, storedValue(year)]) {
        await page.evaluate(([k, v]) => (v === null ? localStorage.removeItem(k) : localStorage.setItem(k, v)), [KEY, picture]);
        await page.evaluate(() => localStorage.removeItem('verdalune.prefs.v1'));
        await page.reload();
        await page.evaluate(() => window.moodMode('menu'));
        await page.click('#backup-save');
        await statusSays(page, /已把 \d+ 天的记录备份到“/);
        assert.deepEqual(JSON.parse(await page.evaluate(() => window.__saved[0])).days, durable);
        assert.match(await page.textContent('#backup-status'), new RegExp(`已把 ${Object.keys(durable).length} 天`));
        assert.equal(await page.textContent('#backup-last'), '上次备份：6月15日，今天');
      }
    });
  });

  test('a day after today, from a clock once wrong, is read, found, backed up, restored elsewhere and pulled up', async () => {
    const days = { '2025-06-14': { mood: 'calm' }, '2025-06-20': { mood: 'warm', note: '那天时钟错了' } };
    const text = await withGarden(browser, { days, initScripts: [fakeSavePicker] }, async ({ page, errors }) => {
      await page.evaluate(() => window.moodMode('menu'));
      assert.equal(await page.getAttribute('#month-days button[data-day="2025-06-20"]', 'data-mood'), 'warm');
      assert.deepEqual(await page.$$eval('#history-list li', (li) => li.map((x) => x.dataset.day)), ['2025-06-20', '2025-06-14']);
      assert.match(await page.textContent('#history-list li'), /在今天之后/);
      await page.fill('#search', '时钟');
      await page.click('#history-list button[data-day="2025-06-20"]');
      assert.equal(await page.textContent('#day-note'), '那天时钟错了');
      assert.match(await page.textContent('#day-hint'), /在今天之后，可能是电脑的日期曾经不对/);
      assert.ok(await page.locator('#day-pull').isVisible());
      await page.click('#backup-save');
      await statusSays(page, /已把 2 天的记录/);
      assert.deepEqual(errors, []);
      return page.evaluate(() => window.__saved[0]);
    });
    await withGarden(browser, {}, async ({ page, errors }) => {
      await page.evaluate(() => window.moodMode('menu'));
      await restoreFile(page, 'clock.json', text);
      assert.match(await page.textContent('#restore-summary'), /其中 1 天在今天之后（6月20日），可能是当时电脑的日期不对，也会一起恢复。/);
      await page.click('#restore-yes');
      await statusSays(page, /已经恢复，花园现在是备份里的 2 天/);
      await page.click('#history-list button[data-day="2025-06-20"]');
      await page.click('#day-pull');
      await page.click('#pull-yes');
      await page.locator('#day-status', { hasText: '6月20日的花已经拔掉了' }).waitFor();
      assert.deepEqual(await storedDays(page), { '2025-06-14': { mood: 'calm' } });
      assert.deepEqual(errors, []);
    });
  });

  test('odd settings fall back to their defaults: the menu opens whole, and a merge is confirmed', async () => {
    const odd = ['{"lastBackup":"2025-6-1"}', '{"lastBackup":"2025-06-01T08:00:00.000Z","words":"yes"}', '{"lastBackup":20250601}',
      '{"lastBackup":"2026-01-01"}', '[1]', '{"lastBackup'];
    await withGarden(browser, { days: yearOfDays() }, async ({ page, errors }) => {
      for (const [i, value] of odd.entries()) {
        await page.evaluate((v) => localStorage.setItem('verdalune.prefs.v1', v), value);
        await page.reload();
        await page.waitForFunction(() => document.getElementById('today-line').textContent !== '');
        assert.equal(await page.getAttribute('#wall', 'data-words'), 'on', value);
        await page.evaluate(() => window.moodMode('menu'));
        assert.equal(await page.textContent('#backup-last'), '还没有备份过', value);
        assert.match(await page.textContent('#backup-reminder'), /^花园还没有备份过/, value);
        assert.equal(await page.locator('#history-list li').count(), 50, value);
        await restoreFile(page, 'other.json', JSON.stringify({ app: APP, version: 1, days: { [`2000-01-0${i + 1}`]: { mood: 'calm' } } }));
        await page.click('#restore-merge');
        await statusSays(page, /已经合并/);
        assert.ok(await page.locator('#restore-undo-box').isVisible(), value);
      }
      assert.deepEqual(errors, []);
    });
  });

  test('without a file picker the backup goes to the clipboard, and failing that into a text box', async () => {
    const noPicker = () => { window.showSaveFilePicker = undefined; };
    await withGarden(browser, {
      days: yearOfDays(), initScripts: [noPicker], permissions: ['clipboard-read', 'clipboard-write'],
    }, async (g) => {
      const { page } = g;
      const stored = await storedDays(page);
      await page.evaluate(() => window.moodMode('menu'));
      await page.click('#backup-save');
      await statusSays(page, /剪贴板/);
      assert.doesNotMatch(await page.textContent('#backup-status'), /JSON/);
      const copied = JSON.parse(await page.evaluate(() => navigator.clipboard.readText()));
      assert.deepEqual(copied.days, stored);

      await page.evaluate(() => { navigator.clipboard.writeText = () => Promise.reject(new Error('denied')); });
      await page.click('#backup-save');
      await statusSays(page, /剪贴板用不了/);
      const shown = JSON.parse(await page.inputValue('#backup-text'));
      assert.deepEqual(shown.days, stored);
      assert.equal(await page.textContent('#backup-last'), '还没有备份过', 'no file, no backup to count');
    });
  });

  test('a faulty file changes nothing and the user is told why', async () => {
    const year = yearOfDays();
    const valid = { app: APP, version: 1, days: year };
    const faults = [
      ['cut off', '{"app":"verdalune-garden","version":1,', /文件内容不完整/],
      ['empty', '', /文件是空的/],
      ['some other JSON', JSON.stringify({ days: year }), /不是情绪花园的备份/],
      ['a newer version', JSON.stringify({ ...valid, version: 2 }), /新版 Verdalune/],
      ['no version', JSON.stringify({ app: APP, days: year }), /缺少版本信息/],
      ['one bad day among good ones', JSON.stringify({ ...valid, days: { ...year, '2025-06-10': { mood: 'happy', note: 5 } } }), /2025年6月10日的备注不是文字/],
      ['an unknown mood', JSON.stringify({ ...valid, days: { ...year, '2025-06-11': { mood: 'bored' } } }), /“bored”无法识别/],
      // Valid content, padded past the limit: only the size may refuse it.
      ['oversized', { padTo: 32 * 1024 * 1024 + 1, text: JSON.stringify(valid) }, /文件太大.*最多 32 MB/],
    ];
    await withGarden(browser, { days: { [TODAY]: { mood: 'calm', note: '原来的花园' } } }, async (g) => {
      const { page } = g;
      const before = await readStored(page);
      await page.evaluate(() => window.moodMode('menu'));
      for (const [what, content, reason] of faults) {
        await page.evaluate(() => { document.getElementById('backup-status').textContent = ''; });
        if (content.padTo) await padInPage(page, content); // made in the page: 32 MB is slow to send
        else await restoreFile(page, `${what}.json`, content);
        await statusSays(page, /没能恢复/);
        const status = await page.textContent('#backup-status');
        assert.match(status, reason, what);
        assert.match(status, /花园没有变/, what);
        assert.ok(await page.locator('#restore-confirm').isHidden(), what);
        assert.equal(await readStored(page), before, what);
        assert.equal(await page.locator('#garden .flower').count(), 1, what);
      }
      assert.deepEqual(g.errors, []);
    });
  });

  test('a backup re-saved by older Notepad in GBK restores with its notes intact', async () => {
    const text = JSON.stringify({ app: APP, version: 1, days: { '2025-06-02': { mood: 'sad', note: 'NOTE' } } });
    const [head, tail] = text.split('NOTE');
    const gbk = Buffer.concat([Buffer.from(head), Buffer.from([0xcf, 0xc2, 0xd3, 0xea]), Buffer.from(tail)]); // 下雨
    await withGarden(browser, {}, async (g) => {
      const { page } = g;
      await page.evaluate(() => window.moodMode('menu'));
      await page.setInputFiles('#restore-file', { name: 'gbk.json', mimeType: 'application/json', buffer: gbk });
      await page.click('#restore-yes');
      await statusSays(page, /已经恢复/);
      assert.deepEqual(await storedDays(page), { '2025-06-02': { mood: 'sad', note: '下雨' } });
    });
  });

  // Two gardens with days in common, some of them different: the backup has
  // 06-01 alike, 06-02 and 06-03 changed, and 06-04 alone.
  const ours = { '2025-05-30': { mood: 'calm', note: '只在这台电脑' }, '2025-06-01': { mood: 'happy' }, '2025-06-12': { mood: 'calm', note: '后来拔掉' },
    '2025-06-02': { mood: 'sad', note: '这边的' }, '2025-06-03': { mood: 'tired' } };
  const theirs = { '2025-06-01': { mood: 'happy' }, '2025-06-02': { mood: 'sad', note: '备份的' },
    '2025-06-03': { mood: 'cross' }, '2025-06-04': { mood: 'warm', note: '只在备份' } };
  const backupOf = (days) => JSON.stringify({ app: APP, version: 1, days });

  for (const [side, button, kept] of [['ours', '#merge-ours', ours], ['theirs', '#merge-theirs', theirs]]) {
    test(`合并 keeps every day of both, asks once about the 2 that differ, and keeps ${side}`, async () => {
      await withGarden(browser, { days: ours }, async ({ page, errors }) => {
        await page.evaluate(() => window.moodMode('menu'));
        await restoreFile(page, 'other.json', backupOf(theirs));
        await page.click('#restore-merge');
        assert.equal(await page.textContent('#restore-differ'),
          '有 2 天两边的记录不同（6月2日：两边都是难过，写的话不一样；6月3日：现在是疲惫，备份里是烦躁）。要保留哪一边？');
        await page.click(button);
        await statusSays(page, /已经合并，花园现在有 6 天/);
        const days = await storedDays(page);
        assert.deepEqual(Object.keys(days), ['2025-05-30', '2025-06-01', '2025-06-02', '2025-06-03', '2025-06-04', '2025-06-12']);
        assert.deepEqual([days['2025-06-02'], days['2025-06-03']], [kept['2025-06-02'], kept['2025-06-03']]);
        assert.equal(await page.locator('#garden .flower').count(), 6);
        if (side === 'theirs') {
          // Undone as a replace is: the garden as it was before, with the day
          // planted since, and without the one pulled up since.
          await plant(page, '开心', '合并之后');
          await page.evaluate(() => window.moodMode('menu'));
          await page.click('#month-days button[data-day="2025-06-12"]');
          await page.click('#day-pull');
          await page.click('#pull-yes');
          await page.locator('#day-status', { hasText: '已经拔掉' }).waitFor();
          await page.click('#restore-undo');
          await statusSays(page, '已经撤销，花园回到6月15日恢复之前的 5 天，恢复之后种下或改过的 1 天也都留着，恢复之后拔掉的 1 天也不会回来。');
          const { '2025-06-12': pulled, ...rest } = ours;
          assert.deepEqual(await storedDays(page), { ...rest, [TODAY]: { mood: 'happy', note: '合并之后' } });
          assert.equal(await page.locator('#garden .flower').count(), 5);
        }
        assert.deepEqual(errors, []);
      });
    });
  }

  test('撤销恢复 after 替换 and three days planted brings back the 2 days from before and keeps the 3, across reloads', async () => {
    const two = { '2025-06-01': { mood: 'sad', note: '恢复之前' }, '2025-06-02': { mood: 'calm' } };
    await withGarden(browser, { days: two }, async ({ page, errors }) => {
      await page.evaluate(() => window.moodMode('menu'));
      await restoreFile(page, 'other.json', backupOf(theirs));
      await page.click('#restore-yes');
      await statusSays(page, /已经恢复/);
      const planted = ['2025-06-13', '2025-06-14', TODAY];
      for (const day of planted) await plant(page, '温暖', day, { day });
      // A crash takes what local storage was given last; the durable store keeps the undo.
      await page.evaluate(() => localStorage.clear());
      await page.reload();
      await page.evaluate(() => window.moodMode('menu'));
      await page.locator('#restore-undo-box').waitFor();
      assert.equal(await page.textContent('#restore-undo-text'), '6月15日恢复之前的花园（2 天）还留着。');
      await page.click('#restore-undo');
      await statusSays(page, /回到6月15日恢复之前的 2 天，恢复之后种下或改过的 3 天也都留着/);
      const expected = { ...two, ...Object.fromEntries(planted.map((d) => [d, { mood: 'warm', note: d }])) };
      assert.deepEqual(await storedDays(page), expected);
      await page.reload();
      await page.evaluate(() => window.moodMode('menu'));
      await page.waitForTimeout(300);
      assert.deepEqual(JSON.parse(await durableStored(page)).days, expected);
      assert.ok(await page.locator('#restore-undo-box').isHidden(), 'the kept copy went with the undo');
      assert.deepEqual(errors, []);
    });
  });

  test('a garden of 14,000 days with full notes can still be merged into', async () => {
    const seedBig = () => {
      if (sessionStorage.getItem('__seeded')) return;
      sessionStorage.setItem('__seeded', '1');
      const days = {};
      const d = new Date(Date.UTC(1987, 0, 1));
      for (let i = 0; i < 14000; i++, d.setUTCDate(d.getUTCDate() + 1)) days[d.toISOString().slice(0, 10)] = { mood: 'calm', note: '长'.repeat(200) };
      localStorage.setItem('verdalune.garden.v1', JSON.stringify({ version: 1, days }));
    };
    await withGarden(browser, { initScripts: [seedBig] }, async ({ page, errors }) => {
      await page.evaluate(() => window.moodMode('menu'));
      await restoreFile(page, 'other.json', backupOf({ '2025-06-10': { mood: 'warm' } }));
      await page.click('#restore-merge');
      await statusSays(page, /已经合并，花园现在有 14001 天/);
      assert.equal(Object.keys(JSON.parse(await durableStored(page)).days).length, 14001);
      assert.ok(await page.locator('#restore-undo-box').isVisible());
      assert.deepEqual(errors, []);
    });
  });

  test('days set aside as unreadable stay aside through a merge and a replace', async () => {
    const aside = JSON.stringify({ version: 1, days: { '2025-05-01': { mood: 'meh' } } });
    await withGarden(browser, { days: ours }, async ({ page }) => {
      await page.evaluate(([k, v]) => localStorage.setItem(`${k}.damaged.20250601-080000`, v), [KEY, aside]);
      await page.evaluate(() => window.moodMode('menu'));
      await restoreFile(page, 'other.json', backupOf({ '2025-06-04': { mood: 'warm' } }));
      await page.click('#restore-merge');
      await statusSays(page, /已经合并/);
      await restoreFile(page, 'other.json', backupOf({ '2025-06-04': { mood: 'warm' } }));
      await page.click('#restore-yes');
      await statusSays(page, /已经恢复/);
      assert.equal(await readStored(page, `${KEY}.damaged.20250601-080000`), aside);
      assert.equal(await page.locator('#aside-list li').count(), 1);
    });
  });
});

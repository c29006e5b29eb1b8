// The weekly automatic backup, with the host's stand-in answering as the
// program does: asked once the garden has 7 days, never posted before yes,
// at most once in 7 days, from the durable garden alone, and the way back
// through 从备份恢复.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
  answerLate, durableStored, hostSays, launch, plant, posted, storedDays, storedValue, withGarden, yearOfDays, KEY, TODAY,
} from './harness.mjs';

let browser;
before(async () => { browser = await launch(); });
after(() => browser?.close());

const QUESTION = '每周自动备份到“文档\\情绪花园备份”吗？';
const PATH = 'C:\\Users\\小明\\Documents\\情绪花园备份\\情绪花园自动备份-';
const copies = async (page) => (await posted(page)).filter((m) => m.startsWith('backup:')).map((m) => JSON.parse(m.slice(7)));
const line = (page) => page.textContent('#auto-line');
const menu = (page) => page.evaluate(() => window.moodMode('menu'));

function seedPrefs(prefs) {
  if (sessionStorage.getItem('__prefs')) return;
  sessionStorage.setItem('__prefs', '1');
  localStorage.setItem('verdalune.prefs.v1', JSON.stringify(prefs));
}

async function reload(page) {
  await page.reload();
  await page.waitForFunction(() => document.getElementById('today-line').textContent !== '');
}

describe('weekly automatic backup', () => {
  test('asked after the 7th planted day, nothing posted before yes; yes posts every day, and the way back reads it', async () => {
    const six = Object.fromEntries(['01', '02', '03', '04', '05', '06'].map((d) => [`2025-06-${d}`, { mood: 'calm', note: `第${d}天` }]));
    const text = await withGarden(browser, { days: six }, async ({ page, errors }) => {
      await menu(page);
      assert.ok(await page.locator('#auto-ask').isHidden(), 'not before the 7th day');
      assert.equal(await page.isChecked('#auto-backup'), false);
      await plant(page, '开心', '第七天');
      assert.doesNotMatch(await page.textContent('#wall'), /自动备份/, 'never on the wall');
      await menu(page);
      assert.ok((await page.textContent('#auto-ask p')).startsWith(QUESTION));
      assert.deepEqual(await copies(page), []);

      await page.click('#auto-yes');
      assert.ok(await page.locator('#auto-ask').isHidden());
      assert.equal(await page.isChecked('#auto-backup'), true);
      const [copy, ...more] = await copies(page);
      assert.deepEqual(more, []);
      assert.equal(copy.app, 'verdalune-garden');
      assert.deepEqual(copy.days, await storedDays(page));
      assert.equal(await line(page), '自动备份：每周一次，正在备份…');
      await hostSays(page, `backup-saved:${PATH}2025-06-15.json`);
      assert.equal(await line(page), '自动备份：每周一次，上次 6月15日');
      assert.deepEqual(errors, []);
      return (await posted(page)).find((m) => m.startsWith('backup:')).slice(7);
    });

    // On a new computer: the empty garden says where an earlier one comes back.
    const picker = (file) => {
      window.showOpenFilePicker = async (options) => {
        window.__openOptions = options;
        return [{ getFile: async () => new File([file], '情绪花园自动备份-2025-06-15.json') }];
      };
    };
    await withGarden(browser, { initScripts: [[picker, text]] }, async ({ page, errors }) => {
      assert.match(await page.textContent('#year-count'), /以前备份过的花园，可以在“花园菜单”→“从备份恢复”里找回来/);
      await menu(page);
      await page.click('#backup-restore');
      await page.click('#restore-yes');
      await page.locator('#backup-status', { hasText: '已经恢复，花园现在是备份里的 7 天' }).waitFor();
      assert.equal((await page.evaluate(() => window.__openOptions)).startIn, 'documents');
      assert.deepEqual(await storedDays(page), JSON.parse(text).days);
      assert.deepEqual(errors, []);
    });
  });

  test('at most once in 7 days, from the durable garden; a failure is said and tried again at the next planting, once', async () => {
    const year = yearOfDays();
    await withGarden(browser, { days: year, initScripts: [[seedPrefs, { autoBackup: true, lastAuto: '2025-06-10' }]] }, async ({ page, errors }) => {
      await menu(page);
      assert.ok(await page.locator('#backup-reminder').isHidden(), 'the copy 5 days ago counts as a backup');
      assert.equal(await line(page), '自动备份：每周一次，上次 6月10日');
      await plant(page, '平静');
      assert.deepEqual(await copies(page), [], 'not before 7 days');

      // Two days on, with the first picture a save behind and the disk slow.
      const durable = JSON.parse(await durableStored(page)).days;
      await page.evaluate(([k, v]) => localStorage.setItem(k, v), [KEY, storedValue(year)]);
      await page.addInitScript(answerLate, 1500);
      await page.clock.setSystemTime(new Date('2025-06-17T09:00:00+08:00'));
      await reload(page);
      await page.waitForFunction(() => window.__posted.some((p) => p.message.startsWith('backup:')));
      const [copy] = await copies(page);
      assert.deepEqual(copy.days, durable, 'made from the durable garden');

      await hostSays(page, 'backup-failed:ERROR_ACCESS_DENIED');
      await menu(page);
      assert.equal(await line(page), '自动备份：这次没能存到“文档\\情绪花园备份”，下次启动 Verdalune 或种花时会再试。上一份是 6月10日 存的。');
      await page.waitForTimeout(500);
      assert.equal((await copies(page)).length, 1, 'not tried again by itself');
      await plant(page, '开心');
      assert.equal((await copies(page)).length, 2, 'tried again after a planting');
      await hostSays(page, `backup-saved:${PATH}2025-06-17.json`);
      await plant(page, '温暖', '', { day: '2025-06-16' });
      assert.equal((await copies(page)).length, 2, 'not again within 7 days');
      await menu(page);
      assert.equal(await line(page), '自动备份：每周一次，上次 6月17日');

      // Switched off, nothing more is asked for.
      await page.click('#auto-backup');
      assert.ok(await page.locator('#auto-line').isHidden());
      assert.deepEqual(errors, []);
    });
  });
});

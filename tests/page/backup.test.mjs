// Backup to a file (or the clipboard) and restore from one.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, openGarden, yearOfDays, readStored, TODAY } from './harness.mjs';

let browser;
before(async () => { browser = await launch(); });
after(() => browser?.close());

const APP = 'verdalune-garden';
const storedDays = async (page) => JSON.parse(await readStored(page)).days;
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
    const source = await openGarden(browser, { days: year, initScripts: [fakeSavePicker] });
    let text;
    try {
      await source.page.evaluate(() => window.moodMode('menu'));
      await source.page.click('#backup-save');
      await statusSays(source.page, /已把 \d+ 天的花园备份到文件/);
      text = await source.page.evaluate(() => window.__saved[0]);
      const options = await source.page.evaluate(() => window.__pickerOptions);
      assert.equal(options.suggestedName, `情绪花园备份-${TODAY}.json`);
      const backup = JSON.parse(text);
      assert.equal(backup.app, APP);
      assert.equal(backup.version, 1);
      assert.deepEqual(backup.days, await storedDays(source.page));
    } finally {
      await source.close();
    }

    const target = await openGarden(browser, { days: { '2025-06-01': { mood: 'sad', note: '会被替换' } } });
    const { page } = target;
    try {
      await page.evaluate(() => window.moodMode('menu'));
      await restoreFile(page, 'garden.json', text);
      await page.locator('#restore-confirm').waitFor();
      assert.match(await page.textContent('#restore-summary'), new RegExp(`${Object.keys(year).length} 天的记录`));
      await page.click('#restore-no');
      assert.deepEqual(await storedDays(page), { '2025-06-01': { mood: 'sad', note: '会被替换' } });

      await restoreFile(page, 'garden.json', text);
      await page.click('#restore-yes');
      await statusSays(page, /已恢复/);
      assert.deepEqual(await storedDays(page), JSON.parse(JSON.stringify(year)));
      const shown = Object.keys(year).filter((k) => k >= '2024-07-01').length;
      assert.equal(await page.locator('#garden .flower').count(), shown);
      // The history leaves today out and comes a page at a time.
      const before = Object.keys(year).filter((k) => k < TODAY).length;
      assert.equal(await page.locator('#history-list li').count(), 50);
      while (await page.locator('#history-more').isVisible()) await page.click('#history-more');
      assert.equal(await page.locator('#history-list li').count(), before);
      assert.equal(await page.locator(`#history-list li[data-day="${TODAY}"]`).count(), 0);

      // One tap puts back the garden that was there before.
      await page.click('#restore-undo');
      await statusSays(page, /已撤销恢复/);
      assert.deepEqual(await storedDays(page), { '2025-06-01': { mood: 'sad', note: '会被替换' } });
      assert.equal(await page.locator('#garden .flower').count(), 1);
      assert.ok(await page.locator('#restore-undo-box').isHidden());
      assert.deepEqual(target.errors, []);
    } finally {
      await target.close();
    }
  });

  test('without a file picker the backup goes to the clipboard, and failing that into a text box', async () => {
    const noPicker = () => { window.showSaveFilePicker = undefined; };
    const g = await openGarden(browser, {
      days: yearOfDays(), initScripts: [noPicker], permissions: ['clipboard-read', 'clipboard-write'],
    });
    const { page } = g;
    try {
      const stored = await storedDays(page);
      await page.evaluate(() => window.moodMode('menu'));
      await page.click('#backup-save');
      await statusSays(page, /剪贴板/);
      assert.doesNotMatch(await page.textContent('#backup-status'), /JSON/);
      const copied = JSON.parse(await page.evaluate(() => navigator.clipboard.readText()));
      assert.deepEqual(copied.days, stored);

      await page.evaluate(() => { navigator.clipboard.writeText = () => Promise.reject(new Error('denied')); });
      await page.click('#backup-save');
      await statusSays(page, /无法使用剪贴板/);
      const shown = JSON.parse(await page.inputValue('#backup-text'));
      assert.deepEqual(shown.days, stored);
    } finally {
      await g.close();
    }
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
      ['days after today', JSON.stringify({ ...valid, days: { ...year, '2025-06-20': { mood: 'happy' } } }), /1 天在今天之后/],
      ['one bad day among good ones', JSON.stringify({ ...valid, days: { ...year, '2025-06-10': { mood: 'happy', note: 5 } } }), /2025-06-10 的备注不是文字/],
      ['an unknown mood', JSON.stringify({ ...valid, days: { ...year, '2025-06-11': { mood: 'bored' } } }), /“bored”无法识别/],
      // Valid content, padded past the limit: only the size may refuse it.
      ['oversized', { padTo: 32 * 1024 * 1024 + 1, text: JSON.stringify(valid) }, /文件太大.*最多 32 MB/],
    ];
    const g = await openGarden(browser, { days: { [TODAY]: { mood: 'calm', note: '原来的花园' } } });
    const { page } = g;
    try {
      const before = await readStored(page);
      await page.evaluate(() => window.moodMode('menu'));
      for (const [what, content, reason] of faults) {
        await page.evaluate(() => { document.getElementById('backup-status').textContent = ''; });
        if (content.padTo) await padInPage(page, content); // made in the page: 32 MB is slow to send
        else await restoreFile(page, `${what}.json`, content);
        await statusSays(page, /无法恢复/);
        const status = await page.textContent('#backup-status');
        assert.match(status, reason, what);
        assert.match(status, /花园没有改变/, what);
        assert.ok(await page.locator('#restore-confirm').isHidden(), what);
        assert.equal(await readStored(page), before, what);
        assert.equal(await page.locator('#garden .flower').count(), 1, what);
      }
      assert.deepEqual(g.errors, []);
    } finally {
      await g.close();
    }
  });

  test('a backup re-saved by older Notepad in GBK restores with its notes intact', async () => {
    const text = JSON.stringify({ app: APP, version: 1, days: { '2025-06-02': { mood: 'sad', note: 'NOTE' } } });
    const [head, tail] = text.split('NOTE');
    const gbk = Buffer.concat([Buffer.from(head), Buffer.from([0xcf, 0xc2, 0xd3, 0xea]), Buffer.from(tail)]); // 下雨
    const g = await openGarden(browser);
    const { page } = g;
    try {
      await page.evaluate(() => window.moodMode('menu'));
      await page.setInputFiles('#restore-file', { name: 'gbk.json', mimeType: 'application/json', buffer: gbk });
      await page.click('#restore-yes');
      await statusSays(page, /已恢复/);
      assert.deepEqual(await storedDays(page), { '2025-06-02': { mood: 'sad', note: '下雨' } });
    } finally {
      await g.close();
    }
  });
});

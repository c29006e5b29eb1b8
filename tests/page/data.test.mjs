// The rules for stored and restored data, and the calendar arithmetic, run
// directly in Node: they touch no page.
process.env.TZ = 'America/New_York'; // has daylight-saving days of 23 and 25 hours

import { test, describe } from 'node:test';
import assert from 'node:assert/strict';
import { addDays, parseKey, msToNextMidnight, wallMonths, keyOf, weekday, yearAgo } from '../../site/garden/days.js';
import {
  decodeText, fromBackup, fromStored, leftover, noteLength, toBackup, toStored, undoRestore, BACKUP_MAX_BYTES, MAX_DAYS, NOTE_MAX,
} from '../../site/garden/data.js';

const HOUR = 3600 * 1000;
const backupOf = (days, extra = {}) => JSON.stringify({ app: 'verdalune-garden', version: 1, days, ...extra });

describe('calendar', () => {
  test('only real calendar dates in the exact form are days', () => {
    for (const good of ['2024-02-29', '2025-12-31', '2025-01-01']) assert.ok(parseKey(good), good);
    for (const bad of ['2025-02-29', '2025-04-31', '2025-13-01', '2025-00-10', '2025-06-00', '2025-6-1',
      ' 2025-06-01', '2025-06-01T00:00', '20250601', '202５-06-01', '2025-06-0١', '2025/06/01', '', null, 20250601]) {
      assert.equal(parseKey(bad), null, String(bad));
    }
  });

  test('the next midnight is found by the calendar, also on daylight-saving days', () => {
    assert.equal(msToNextMidnight(new Date(2025, 2, 9, 0, 0)), 23 * HOUR);
    assert.equal(msToNextMidnight(new Date(2025, 10, 2, 0, 0)), 25 * HOUR);
    assert.equal(msToNextMidnight(new Date(2025, 5, 15, 23, 59, 59, 500)), 500);
    assert.equal(keyOf(new Date(new Date(2025, 2, 9, 0, 0).getTime() + 23 * HOUR)), '2025-03-10');
  });

  test('the wall shows twelve months, and in January the whole past year above the new bed', () => {
    const june = wallMonths('2025-06-15');
    assert.equal(june.length, 12);
    assert.deepEqual([june[0], june[11]], [{ y: 2024, m: 7 }, { y: 2025, m: 6 }]);
    for (const day of ['2025-01-01', '2025-01-31']) {
      const january = wallMonths(day);
      assert.equal(january.length, 13, day);
      assert.deepEqual([january[0], january[11], january[12]], [{ y: 2024, m: 1 }, { y: 2024, m: 12 }, { y: 2025, m: 1 }]);
    }
    assert.equal(wallMonths('2025-02-01').length, 12);
    assert.equal(yearAgo('2024-02-29'), '2023-02-28');
    // Years below 100 are not taken for the 1900s.
    assert.equal(addDays('0100-01-01', -1), '0099-12-31');
    assert.equal(weekday('0099-03-01'), '星期日');
  });
});

describe('stored and backed-up data', () => {
  const days = new Map([
    ['2025-06-01', { mood: 'happy', note: '' }],
    ['2025-06-02', { mood: 'sad', note: '下雨' }],
    ['2024-02-29', { mood: 'cross', note: '长'.repeat(200) }],
  ]);

  test('a garden survives storage and backup unchanged', () => {
    assert.deepEqual(fromStored(toStored(days)).days, days);
    assert.deepEqual(fromBackup(toBackup(days, new Date())).days, days);
    assert.deepEqual(JSON.parse(toStored(days)).days['2025-06-01'], { mood: 'happy' }, 'an empty note is not stored');
  });

  test('a backup is refused for any fault, with the reason', () => {
    const ok = { '2025-06-01': { mood: 'happy' } };
    const cases = [
      [backupOf({ ...ok, '2025-06-02': { mood: 'calm', note: '长'.repeat(201) } }), /2025年6月2日的备注超过 200 字/],
      [backupOf({ ...ok, '2025-06-02': { mood: 'calm', colour: 'red' } }), /无法识别的内容“colour”/],
      [backupOf({ ...ok, '2025-02-30': { mood: 'calm' } }), /“2025-02-30”不是有效的日期/],
      [backupOf({ ...ok, '0099-03-01': { mood: 'calm' } }), /“0099-03-01”在 1900 年以前，不是日记里的日期/],
      [backupOf({ ...ok, '2025-06-02': 'happy' }), /2025年6月2日的记录不完整/],
      [backupOf({ ...ok, '2025-06-02': { note: 'x' } }), /2025年6月2日的记录缺少心情/],
      ['{"app":"verdalune-garden","version":1,"days":{"__proto__":{"mood":"happy"}}}', /“__proto__”不是有效的日期/],
      [backupOf([{ mood: 'happy' }]), /缺少每天的记录/],
      [backupOf(ok, { version: '1' }), /版本信息“"1"”无法识别/],
      [backupOf(ok, { version: 2 }), /新版 Verdalune/],
      [backupOf(ok, { extra: true }), /无法识别的内容“extra”/],
      [backupOf(ok, { exported: 5 }), /导出时间/],
      ['null', /不是情绪花园的备份/],
    ];
    for (const [text, reason] of cases) {
      const read = fromBackup(text, '2025-06-15');
      assert.doesNotMatch(read.error, /JSON|字段|存储/, 'in everyday words');
      assert.equal(read.days, undefined, text.slice(0, 80));
      assert.match(read.error, reason, text.slice(0, 80));
    }
  });

  test('more days than the limit are refused', () => {
    const many = {};
    const start = new Date(1900, 0, 1);
    for (let i = 0; i <= MAX_DAYS; i++) many[keyOf(new Date(start.getFullYear(), 0, 1 + i))] = { mood: 'calm' };
    assert.match(fromBackup(backupOf(many)).error, /超过上限/);
  });

  test('a stored garden is read day by day: the bad records are kept aside, the good ones kept', () => {
    const good = { '2025-06-01': { mood: 'happy' }, '2025-06-02': { mood: 'sad', note: '下雨' } };
    const bad = {
      '2025-06-03': { mood: 'meh' },
      '2025-06-04': { mood: 'calm', colour: 'red' },
      '2025-06-05': { mood: 'calm', note: '长'.repeat(NOTE_MAX + 1) },
    };
    const read = fromStored(JSON.stringify({ version: 1, days: { ...good, ...bad }, theme: 'dark' }));
    assert.deepEqual([...read.days.keys()], ['2025-06-01', '2025-06-02']);
    assert.equal(read.unread, 3);
    assert.match(read.error, /2025年6月3日的心情“meh”无法识别/);
    assert.deepEqual(JSON.parse(leftover(read)), { theme: 'dark', version: 1, days: bad }, 'the bad part, untouched');
    const proto = fromStored('{"version":1,"days":{"__proto__":{"mood":"happy"},"2025-06-01":{"mood":"calm"}},"__proto__":1}');
    assert.equal(proto.unread, 1);
    assert.equal(leftover(proto), '{"__proto__":1,"version":1,"days":{"__proto__":{"mood":"happy"}}}', 'a key like any other');

    const newer = fromStored(JSON.stringify({ version: 2, days: { ...good, '2025-06-06': { mood: 'calm', weather: 'sun' }, '2025-06-07': { mood: 'bored' } } }));
    assert.equal(newer.newer, true);
    assert.deepEqual([...newer.days.keys()], ['2025-06-01', '2025-06-02', '2025-06-06']);
    assert.equal(newer.unread, 1);
    assert.equal(fromStored(JSON.stringify({ version: 3, garden: [] })).newer, true, 'whatever its shape');

    for (const whole of ['{"version":1,"days":{"2025-06-01":{"mood":"happy"', '[]', '{"version":"1","days":{}}', '{"version":1}']) {
      assert.equal(fromStored(whole).whole, true, whole);
    }
  });

  test('notes count characters as people see them', () => {
    assert.equal(noteLength('👨‍👩‍👧‍👦🇨🇳é下雨'), 5);
    const emoji = '🌻'.repeat(NOTE_MAX);
    assert.ok(fromStored(toStored(new Map([['2025-06-01', { mood: 'happy', note: emoji }]]))).days.size === 1, '200 emoji fit');
  });

  test('the largest garden storage can hold makes a backup that restores', () => {
    // Storage keeps about 5.2 million UTF-16 units; fill it with full notes of Chinese text.
    const days = new Map();
    const note = '今'.repeat(NOTE_MAX);
    for (let i = 0; toStored(days).length < 5.2e6 && i < MAX_DAYS; i += 500) {
      for (let j = i; j < i + 500; j++) days.set(keyOf(new Date(1950, 0, 1 + j)), { mood: 'calm', note });
    }
    const text = toBackup(days, new Date());
    assert.ok(Buffer.byteLength(text) > 4 * 1024 * 1024, 'bigger than the old limit');
    assert.ok(Buffer.byteLength(text) <= BACKUP_MAX_BYTES);
    assert.equal(fromBackup(text, '2025-06-15').days.size, days.size);
  });

  test('a restore keeps days after today, and names them', () => {
    const text = backupOf({ '2025-06-15': { mood: 'happy' }, '2025-06-16': { mood: 'sad' }, '2026-01-01': { mood: 'calm' } });
    const read = fromBackup(text, '2025-06-15');
    assert.equal(read.days.size, 3);
    assert.deepEqual(read.later, ['2025-06-16', '2026-01-01']);
    assert.deepEqual(fromBackup(text, '2026-01-01').later, []);
  });

  test('undoing a restore keeps every day planted or changed since, the later change winning', () => {
    const m = (o) => new Map(Object.entries(o).map(([k, mood]) => [k, { mood, note: '' }]));
    const before = m({ '2025-06-01': 'sad', '2025-06-02': 'calm' });
    const after = m({ '2025-06-01': 'happy', '2025-06-03': 'warm', '2025-06-04': 'calm' });
    const now = m({ '2025-06-01': 'cross', '2025-06-03': 'warm', '2025-06-04': 'tired', '2025-06-05': 'sad' });
    const { days, since } = undoRestore(before, after, now);
    assert.deepEqual([...days], [...m({ '2025-06-01': 'cross', '2025-06-02': 'calm', '2025-06-04': 'tired', '2025-06-05': 'sad' })]);
    assert.equal(since, 3);
    // 06-02 was in the garden before and after the restore, and pulled up since.
    const pulledSince = undoRestore(before, m({ ...Object.fromEntries([...after].map(([k, e]) => [k, e.mood])), '2025-06-02': 'calm' }), now);
    assert.deepEqual([...pulledSince.days.keys()], ['2025-06-01', '2025-06-04', '2025-06-05']);
    assert.equal(pulledSince.pulled, 1);
  });
});

describe('backup files as people re-save them', () => {
  const text = backupOf({ '2025-06-02': { mood: 'sad', note: '下雨' } });
  const gbk = Buffer.from(text.replace('下雨', '\u0000'), 'latin1');
  const at = gbk.indexOf(0);
  const gbkBytes = Buffer.concat([gbk.subarray(0, at), Buffer.from([0xcf, 0xc2, 0xd3, 0xea]), gbk.subarray(at + 1)]);
  const utf16le = Buffer.from(text, 'utf16le');
  const utf16be = Buffer.from(utf16le).swap16();
  const files = {
    'UTF-8': Buffer.from(text),
    'UTF-8 with a mark': Buffer.concat([Buffer.from([0xef, 0xbb, 0xbf]), Buffer.from(text)]),
    'UTF-16 LE with a mark': Buffer.concat([Buffer.from([0xff, 0xfe]), utf16le]),
    'UTF-16 BE with a mark': Buffer.concat([Buffer.from([0xfe, 0xff]), utf16be]),
    'UTF-16 LE without a mark': utf16le,
    'GBK (older Notepad)': gbkBytes,
  };
  for (const [what, bytes] of Object.entries(files)) {
    test(`${what} reads back with the note intact`, () => {
      assert.equal(fromBackup(decodeText(bytes), '2025-06-15').days.get('2025-06-02').note, '下雨');
    });
  }
});

// The rules for stored and restored data, and the calendar arithmetic, run
// directly in Node: they touch no page.
process.env.TZ = 'America/New_York'; // has daylight-saving days of 23 and 25 hours

import { test, describe } from 'node:test';
import assert from 'node:assert/strict';
import { parseKey, msToNextMidnight, lastTwelveMonths, keyOf } from '../../site/garden/days.js';
import { fromBackup, fromStored, toBackup, toStored, MAX_DAYS } from '../../site/garden/data.js';

const HOUR = 3600 * 1000;
const backupOf = (days, extra = {}) => JSON.stringify({ app: 'verdalune-garden', version: 1, days, ...extra });

describe('calendar', () => {
  test('only real calendar dates in the exact form are days', () => {
    for (const good of ['2024-02-29', '2025-12-31', '2025-01-01']) assert.ok(parseKey(good), good);
    for (const bad of ['2025-02-29', '2025-04-31', '2025-13-01', '2025-00-10', '2025-06-00', '2025-6-1',
      ' 2025-06-01', '2025-06-01T00:00', '20250601', '', null, 20250601]) {
      assert.equal(parseKey(bad), null, String(bad));
    }
  });

  test('the next midnight is found by the calendar, also on daylight-saving days', () => {
    assert.equal(msToNextMidnight(new Date(2025, 2, 9, 0, 0)), 23 * HOUR);
    assert.equal(msToNextMidnight(new Date(2025, 10, 2, 0, 0)), 25 * HOUR);
    assert.equal(msToNextMidnight(new Date(2025, 5, 15, 23, 59, 59, 500)), 500);
    assert.equal(keyOf(new Date(new Date(2025, 2, 9, 0, 0).getTime() + 23 * HOUR)), '2025-03-10');
  });

  test('the garden shows the twelve months up to this one, across a year boundary', () => {
    const months = lastTwelveMonths('2025-01-31');
    assert.equal(months.length, 12);
    assert.deepEqual(months[0], { y: 2024, m: 2 });
    assert.deepEqual(months[11], { y: 2025, m: 1 });
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
      [backupOf({ ...ok, '2025-06-02': { mood: 'calm', note: '长'.repeat(201) } }), /2025-06-02 的备注超过 200 字/],
      [backupOf({ ...ok, '2025-06-02': { mood: 'calm', colour: 'red' } }), /未知字段“colour”/],
      [backupOf({ ...ok, '2025-02-30': { mood: 'calm' } }), /“2025-02-30”不是有效的日期/],
      [backupOf({ ...ok, '2025-06-02': 'happy' }), /2025-06-02 的记录格式不对/],
      [backupOf({ ...ok, '2025-06-02': { note: 'x' } }), /2025-06-02 的记录缺少心情/],
      ['{"app":"verdalune-garden","version":1,"days":{"__proto__":{"mood":"happy"}}}', /“__proto__”不是有效的日期/],
      [backupOf([{ mood: 'happy' }]), /缺少每天的记录/],
      [backupOf(ok, { version: '1' }), /版本是 "1"，/],
      [backupOf(ok, { extra: true }), /未知字段“extra”/],
      [backupOf(ok, { exported: 5 }), /导出时间/],
      ['null', /不是情绪花园的备份/],
    ];
    for (const [text, reason] of cases) {
      const read = fromBackup(text);
      assert.equal(read.days, undefined, text.slice(0, 80));
      assert.match(read.error, reason, text.slice(0, 80));
    }
  });

  test('more days than the limit are refused', () => {
    const many = {};
    const start = new Date(1900, 0, 1);
    for (let i = 0; i <= MAX_DAYS; i++) many[keyOf(new Date(start.getFullYear(), 0, 1 + i))] = { mood: 'calm' };
    assert.match(fromBackup(backupOf(many)).error, /超过上限/);
    assert.match(fromStored(JSON.stringify({ version: 1, days: many })).error, /超过上限/);
  });
});

// Days are kept as local calendar dates in the form YYYY-MM-DD: the garden
// follows the user's wall clock, not UTC, so a day starts at local midnight.

const KEY_SHAPE = /^(\d{4})-(\d{2})-(\d{2})$/;
const WEEKDAYS = ['日', '一', '二', '三', '四', '五', '六'];

const pad = (n) => String(n).padStart(2, '0');

export function keyOf(date) {
  return `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())}`;
}

// Returns { y, m, d } (m from 1) for a real calendar date, otherwise null.
export function parseKey(key) {
  if (typeof key !== 'string') return null;
  const match = KEY_SHAPE.exec(key);
  if (!match) return null;
  const y = Number(match[1]);
  const m = Number(match[2]);
  const d = Number(match[3]);
  if (m < 1 || m > 12 || d < 1 || d > daysInMonth(y, m)) return null;
  return { y, m, d };
}

export function daysInMonth(y, m) {
  return new Date(y, m, 0).getDate();
}

export function dateOf(key) {
  const p = parseKey(key);
  return new Date(p.y, p.m - 1, p.d);
}

export function addDays(key, n) {
  const p = parseKey(key);
  return keyOf(new Date(p.y, p.m - 1, p.d + n));
}

// Built from the calendar rather than by adding 24 hours, so that days of 23
// or 25 hours around a daylight-saving change still end at midnight.
export function msToNextMidnight(now) {
  const next = new Date(now.getFullYear(), now.getMonth(), now.getDate() + 1);
  return next.getTime() - now.getTime();
}

export function weekday(key) {
  return '星期' + WEEKDAYS[dateOf(key).getDay()];
}

export function longDate(key) {
  const p = parseKey(key);
  return `${p.y}年${p.m}月${p.d}日 ${weekday(key)}`;
}

// Short form for lists: the year only when it differs from the current one.
export function listDate(key, todayKey) {
  const p = parseKey(key);
  const year = key.slice(0, 4) === todayKey.slice(0, 4) ? '' : `${p.y}年`;
  return `${year}${p.m}月${p.d}日 周${WEEKDAYS[dateOf(key).getDay()]}`;
}

// The twelve months that end with the month of `todayKey`, oldest first.
export function lastTwelveMonths(todayKey) {
  const p = parseKey(todayKey);
  const months = [];
  for (let i = 11; i >= 0; i--) {
    const first = new Date(p.y, p.m - 1 - i, 1);
    months.push({ y: first.getFullYear(), m: first.getMonth() + 1 });
  }
  return months;
}

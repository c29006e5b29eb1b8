// Days are kept as local calendar dates in the form YYYY-MM-DD: the garden
// follows the user's wall clock, not UTC, so a day starts at local midnight.

const WEEKDAYS = ['日', '一', '二', '三', '四', '五', '六'];

// Two digits, as months, days and times are written in keys and file names.
export const pad = (n) => String(n).padStart(2, '0');

export function keyOf(date) {
  return `${String(date.getFullYear()).padStart(4, '0')}-${pad(date.getMonth() + 1)}-${pad(date.getDate())}`;
}

// The local date y-m-d (m from 0, d may run over). Date(y, m, d) takes
// years 0 to 99 for 1900 to 1999.
export function localDate(y, m, d) {
  const date = new Date(2000, 0, 1);
  date.setFullYear(y, m, d);
  return date;
}

// Returns { y, m, d } (m from 1) for a real calendar date, otherwise null.
// Read digit by digit rather than by a pattern: it runs for every stored day
// at start.
export function parseKey(key) {
  if (typeof key !== 'string' || key.length !== 10 || key[4] !== '-' || key[7] !== '-') return null;
  const y = digits(key, 0, 4);
  const m = digits(key, 5, 7);
  const d = digits(key, 8, 10);
  if (y < 0 || m < 1 || m > 12 || d < 1 || d > daysInMonth(y, m)) return null;
  return { y, m, d };
}

// The number written in key[from, to), or -1 if any of it is not a digit.
function digits(key, from, to) {
  let n = 0;
  for (let i = from; i < to; i++) {
    const c = key.charCodeAt(i) - 48;
    if (c < 0 || c > 9) return -1;
    n = n * 10 + c;
  }
  return n;
}

const MONTH_DAYS = [31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31];

// By arithmetic rather than through Date: it runs for every stored day at start.
export function daysInMonth(y, m) {
  const leap = y % 4 === 0 && (y % 100 !== 0 || y % 400 === 0);
  return m === 2 && leap ? 29 : MONTH_DAYS[m - 1];
}

function dateOf(key) {
  const p = parseKey(key);
  return localDate(p.y, p.m - 1, p.d);
}

export function addDays(key, n) {
  const p = parseKey(key);
  return keyOf(localDate(p.y, p.m - 1, p.d + n));
}

// How many days, today included, can still be planted or changed.
const RECENT_DAYS = 7;

// The days that can still be planted or changed, today first.
export function recentDays(todayKey) {
  return Array.from({ length: RECENT_DAYS }, (_, i) => addDays(todayKey, -i));
}

export function isRecent(key, todayKey) {
  return key <= todayKey && key >= addDays(todayKey, 1 - RECENT_DAYS);
}

// 今天, 昨天, 前天, else the short date.
export function dayName(key, todayKey) {
  if (key === todayKey) return '今天';
  if (key === addDays(todayKey, -1)) return '昨天';
  if (key === addDays(todayKey, -2)) return '前天';
  return shortDate(key, todayKey);
}

// A date as people write it: 3月18日, with the year only when it is not
// this one. Every date the person reads goes through here or longDate.
export function shortDate(key, todayKey) {
  if (key.slice(0, 4) !== todayKey.slice(0, 4)) return fullDate(key);
  const p = parseKey(key);
  return `${p.m}月${p.d}日`;
}

export function fullDate(key) {
  const p = parseKey(key);
  return `${p.y}年${p.m}月${p.d}日`;
}

// Whole days from `a` to `b` (both keys), by the calendar.
export function daysBetween(a, b) {
  return Math.round((dateOf(b) - dateOf(a)) / 86400000);
}

// The month `n` months after { y, m }.
export function addMonths({ y, m }, n) {
  const i = y * 12 + (m - 1) + n;
  return { y: Math.floor(i / 12), m: (i % 12) + 1 };
}

export const monthKey = (y, m) => `${y}-${pad(m)}`;
export const dayKey = (y, m, d) => `${monthKey(y, m)}-${pad(d)}`;

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
  return `${shortDate(key, todayKey)} 周${WEEKDAYS[dateOf(key).getDay()]}`;
}

// The months the wall shows, oldest first: the twelve that end with this
// month. In January the whole past year stays up, with the new year's first
// bed under it, so a year's garden is never cut short on the 1st.
export function wallMonths(todayKey) {
  const p = parseKey(todayKey);
  const first = p.m === 1 ? -12 : -11;
  const months = [];
  for (let i = first; i <= 0; i++) {
    const date = localDate(p.y, p.m - 1 + i, 1);
    months.push({ y: date.getFullYear(), m: date.getMonth() + 1 });
  }
  return months;
}

// The same date a year earlier; 29 February looks back to the 28th.
export function yearAgo(key) {
  const p = parseKey(key);
  const d = Math.min(p.d, daysInMonth(p.y - 1, p.m));
  return dayKey(p.y - 1, p.m, d);
}

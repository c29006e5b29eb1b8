// The garden's data, as stored and as backed up, and the checks that every
// value read back must pass. Nothing here touches the page or the storage,
// so the same rules apply to local storage and to restored files. Every
// message here may be shown to the user, so it speaks of days, notes and
// files, never of the format underneath.
import { fullDate, parseKey } from './days.js';
import { isMood } from './moods.js';

const VERSION = 1;
// A note's length counts characters as people see them: an emoji, even one
// made of several code points, is one.
export const NOTE_MAX = 200;
// A hard bound on the code units behind those characters, so that a note of
// stacked combining marks cannot grow without end.
const NOTE_MAX_UNITS = 10 * NOTE_MAX;
export const MAX_DAYS = 36600; // a century of daily planting
// No journal's day comes before this year: an earlier one is a mistake.
const FIRST_YEAR = 1900;
// The browser keeps at most 10 MiB of UTF-16 per origin, about 5.2 million
// code units. A code unit becomes at most 3 bytes of UTF-8, and a backup adds
// under 40 bytes of layout per day, so no garden that storage can hold makes
// a backup over 17 MB: 32 MB leaves room and still refuses runaway files.
export const BACKUP_MAX_BYTES = 32 * 1024 * 1024;
const BACKUP_TAG = 'verdalune-garden';

const ENTRY_FIELDS = new Set(['mood', 'note']);
const STORED_FIELDS = new Set(['version', 'saved', 'days']);
const BACKUP_FIELDS = new Set(['app', 'version', 'exported', 'days']);

const isPlainObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);
const shown = (s) => (s.length > 24 ? s.slice(0, 24) + '…' : s);

// The characters of `text` as a person counts them, each with its index.
// The segmenter is made on first use: setting it up costs a start-up that
// rarely needs it.
let segmenter = null;
export const segments = (text) => (segmenter ??= new Intl.Segmenter('zh-CN', { granularity: 'grapheme' })).segment(text);

export function noteLength(text) {
  let n = 0;
  for (const _ of segments(text)) n++;
  return n;
}

// A copy of `map` in the order of its keys: for days, the calendar's.
export const sortedByKey = (map) => new Map([...map].sort(([a], [b]) => (a < b ? -1 : 1)));

// True when both are the same day's record: same mood, same note.
export const sameEntry = (a, b) => Boolean(a && b) && a.mood === b.mood && a.note === b.note;

// A garden over the limit would make a backup that no restore takes: a
// merge or restore that would make one is refused.
export function withinLimit(days) {
  if (days.size > MAX_DAYS) throw new Error(`花园最多 ${MAX_DAYS} 天，合并后会有 ${days.size} 天`);
  return days;
}

function checkFields(obj, allowed, where) {
  for (const field in obj) {
    if (!allowed.has(field)) return `${where}有无法识别的内容“${shown(field)}”`;
  }
  return null;
}

// One day's record: { entry } or { error }. `lenient` reads what it can of a
// record written by a newer version, which may carry more than mood and note.
function readEntry(key, entry, lenient) {
  const date = parseKey(key);
  if (!date) return { error: `“${shown(key)}”不是有效的日期` };
  if (date.y < FIRST_YEAR) return { error: `“${key}”在 ${FIRST_YEAR} 年以前，不是日记里的日期` };
  if (!isPlainObject(entry)) return { error: `${fullDate(key)}的记录不完整` };
  if (!lenient) {
    const unknown = checkFields(entry, ENTRY_FIELDS, `${fullDate(key)}的记录中`);
    if (unknown) return { error: unknown };
  }
  if (!('mood' in entry)) return { error: `${fullDate(key)}的记录缺少心情` };
  if (!isMood(entry.mood)) {
    const mood = typeof entry.mood === 'string' ? shown(entry.mood) : String(entry.mood);
    return { error: `${fullDate(key)}的心情“${mood}”无法识别` };
  }
  let note = '';
  if ('note' in entry) {
    if (typeof entry.note !== 'string') return { error: `${fullDate(key)}的备注不是文字` };
    // A note of no more code units than the limit has no more characters either.
    if (entry.note.length > NOTE_MAX_UNITS || (entry.note.length > NOTE_MAX && noteLength(entry.note) > NOTE_MAX)) {
      return { error: `${fullDate(key)}的备注超过 ${NOTE_MAX} 字` };
    }
    note = entry.note;
  }
  return { entry: { mood: entry.mood, note } };
}

// Returns { days: Map<key, {mood, note}> } or { error: text }: one fault
// refuses the whole value, as a backup must be taken whole or not at all.
function checkDays(raw, what) {
  if (!isPlainObject(raw)) return { error: `${what}缺少每天的记录` };
  const keys = Object.keys(raw);
  if (keys.length > MAX_DAYS) return { error: `${what}有 ${keys.length} 天，超过上限 ${MAX_DAYS} 天` };
  const days = new Map();
  for (const key of keys.sort()) {
    const read = readEntry(key, raw[key], false);
    if (read.error) return { error: read.error };
    days.set(key, read.entry);
  }
  return { days };
}

function plainDays(days) {
  const out = {};
  for (const key of [...days.keys()].sort()) {
    const { mood, note } = days.get(key);
    out[key] = note ? { mood, note } : { mood };
  }
  return out;
}

// `saved` counts the saves, so that of two copies the newer can be told.
export function toStored(days, saved = 0) {
  return JSON.stringify({ version: VERSION, saved, days: plainDays(days) });
}

/**
 * Reads a stored garden day by day, so that one bad record never hides the
 * good ones. Returns
 *   { days, bad, extra, unread, error, newer }
 * days: the readable days; bad: the unreadable records by key, untouched;
 * extra: unknown top-level fields, untouched; unread: how many days could
 * not be read; error: the first reason, or null; newer: written by a newer
 * version, read as far as this one understands it; saved: the count of
 * saves that wrote it (0 before there was one). When the value as a whole
 * cannot be read, days is empty and `whole` is true.
 */
export function fromStored(text) {
  const whole = (error) => ({ days: new Map(), bad: {}, extra: {}, unread: 0, error, newer: false, whole: true, saved: 0 });
  let root;
  try {
    root = JSON.parse(text);
  } catch {
    return whole('保存的内容不完整，可能只写了一半');
  }
  if (!isPlainObject(root)) return whole('保存的内容里找不到每天的记录');
  const v = root.version;
  if (!Number.isInteger(v) || v < 1) return whole('保存的内容缺少有效的版本信息');
  // A newer version may keep its days in a shape this one does not know:
  // it is shown as far as it can be, and never set aside or rewritten.
  const newer = v > VERSION;
  const saved = Number.isSafeInteger(root.saved) && root.saved > 0 ? root.saved : 0;
  if (!isPlainObject(root.days)) {
    if (newer) return { days: new Map(), bad: {}, extra: {}, unread: 0, error: null, newer, whole: false, saved };
    return whole('保存的内容里找不到每天的记录');
  }
  const days = new Map();
  // Keys come from the stored text: "__proto__" must stay a key like any other.
  const bad = Object.create(null);
  const extra = Object.create(null);
  let error = null;
  let sorted = true; // as this page writes it
  let last = '';
  for (const key in root.days) {
    const value = root.days[key];
    const read = readEntry(key, value, newer);
    if (read.entry) {
      days.set(key, read.entry);
      sorted &&= key > last;
      last = key;
    } else {
      bad[key] = value;
      error ??= read.error;
    }
  }
  if (!newer) {
    for (const field of Object.keys(root)) {
      if (STORED_FIELDS.has(field)) continue;
      extra[field] = root[field];
      error ??= `保存的内容中有无法识别的内容“${shown(field)}”`;
    }
  }
  const inOrder = sorted ? days : sortedByKey(days);
  return { days: inOrder, bad, extra, unread: Object.keys(bad).length, error, newer, whole: false, saved };
}

// What is left of a stored value once its readable days are taken out: the
// part to keep aside, in the same shape, so that a later version can read it.
export function leftover({ bad, extra }) {
  return JSON.stringify({ ...extra, version: VERSION, days: bad });
}

// The days both gardens hold, each with a different mood or note.
export function differing(ours, theirs) {
  const out = [];
  for (const [key, entry] of theirs) {
    if (ours.has(key) && !sameEntry(ours.get(key), entry)) out.push(key);
  }
  return out.sort();
}

// True when every day of `some` is in `days` as it is.
export function holdsAll(days, some) {
  for (const [key, entry] of some) if (!sameEntry(days.get(key), entry)) return false;
  return true;
}

// Every day of both gardens; where both hold a day, `side` ('ours' or
// 'theirs') says whose stays.
export function mergeDays(ours, theirs, side) {
  const next = new Map(ours);
  for (const [key, entry] of theirs) if (side === 'theirs' || !next.has(key)) next.set(key, entry);
  return sortedByKey(next);
}

// Undoes a restore or merge: the garden from before it, with every change
// since (`now` against `after`) on top, as the later change wins: a day
// planted or changed since stays, and one pulled up since stays pulled up.
// Returns { days, since, pulled }, counting the days kept from after the
// restore and those pulled up that the undo would have brought back.
export function undoRestore(before, after, now) {
  const next = new Map(before);
  let since = 0;
  let pulled = 0;
  for (const [key, entry] of now) {
    if (sameEntry(after.get(key), entry)) continue;
    next.set(key, entry);
    since++;
  }
  for (const key of after.keys()) if (!now.has(key) && next.delete(key)) pulled++;
  return { days: sortedByKey(next), since, pulled };
}

export function toBackup(days, now) {
  const backup = { app: BACKUP_TAG, version: VERSION, exported: now.toISOString(), days: plainDays(days) };
  return JSON.stringify(backup, null, 2) + '\n';
}

// Restores take a file whole or not at all. With `today`, `later` lists the
// days after it: kept, as a clock once set wrong may have planted them.
export function fromBackup(text, today) {
  if (text.trim() === '') return { error: '文件是空的' };
  let root;
  try {
    root = JSON.parse(text);
  } catch {
    return { error: '文件内容不完整，或者不是情绪花园的备份' };
  }
  if (!isPlainObject(root) || root.app !== BACKUP_TAG) return { error: '这不是情绪花园的备份文件' };
  if (!('version' in root)) return { error: '备份缺少版本信息' };
  if (root.version !== VERSION) {
    return Number.isInteger(root.version) && root.version > VERSION
      ? { error: '这个备份来自新版 Verdalune，请先更新再恢复' }
      : { error: `备份的版本信息“${shown(String(JSON.stringify(root.version)))}”无法识别` };
  }
  const fault = checkFields(root, BACKUP_FIELDS, '备份中');
  if (fault) return { error: fault };
  if ('exported' in root && typeof root.exported !== 'string') return { error: '备份的导出时间格式不对' };
  const read = checkDays(root.days, '备份');
  if (read.error || !today) return read;
  return { days: read.days, later: [...read.days.keys()].filter((key) => key > today) };
}

// Text of a backup file as the user may have re-saved it: UTF-8 or UTF-16
// by their marks, otherwise UTF-8 if every byte fits, otherwise GB18030 (and
// so GBK), which older Notepad writes on Chinese Windows. Strict UTF-8 comes
// first because GBK bytes are almost never valid UTF-8, while the reverse
// guess would turn every UTF-8 note into nonsense.
export function decodeText(bytes) {
  const b = bytes instanceof Uint8Array ? bytes : new Uint8Array(bytes);
  if (b[0] === 0xef && b[1] === 0xbb && b[2] === 0xbf) return new TextDecoder('utf-8').decode(b.subarray(3));
  if (b[0] === 0xff && b[1] === 0xfe) return new TextDecoder('utf-16le').decode(b.subarray(2));
  if (b[0] === 0xfe && b[1] === 0xff) return new TextDecoder('utf-16be').decode(b.subarray(2));
  // A backup starts with "{": UTF-16 without a mark shows as a zero byte beside it.
  if (b.length > 1 && b[0] !== 0 && b[1] === 0) return new TextDecoder('utf-16le').decode(b);
  if (b.length > 1 && b[0] === 0 && b[1] !== 0) return new TextDecoder('utf-16be').decode(b);
  try {
    return new TextDecoder('utf-8', { fatal: true }).decode(b);
  } catch {
    return new TextDecoder('gb18030').decode(b);
  }
}

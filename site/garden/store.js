// The garden lives in local storage under one versioned key. What cannot be
// read back is never dropped: the unreadable part is copied aside under a key
// of its own, the readable days stay in the garden, and the user is told.
// Whenever a copy cannot be made, or the value came from a newer version, or
// storage cannot even be read, the garden opens read-only: saving then would
// overwrite the only copy of the user's days.
import { fromStored, leftover, toStored, MAX_DAYS } from './data.js';

export const KEY = 'verdalune.garden.v1';
export const ASIDE_PREFIX = KEY + '.damaged.';
export const BEFORE_RESTORE = KEY + '.before-restore';

const READ_ONLY = '现在只能查看，不能保存';
let blocked = null;

function storage() {
  try {
    return window.localStorage;
  } catch {
    return null;
  }
}

function stamp(now) {
  const p = (n) => String(n).padStart(2, '0');
  return `${now.getFullYear()}${p(now.getMonth() + 1)}${p(now.getDate())}-${p(now.getHours())}${p(now.getMinutes())}${p(now.getSeconds())}`;
}

function freeAsideKey(ls, now) {
  const base = ASIDE_PREFIX + stamp(now);
  let key = base;
  for (let n = 2; ls.getItem(key) !== null; n++) key = `${base}-${n}`;
  return key;
}

/**
 * Returns { days, problem }. `problem` is null or one of
 *   { kind: 'damaged', unread, whole, reason }  the unreadable part was set aside
 *   { kind: 'stuck', unread, whole, reason }    it could not be: read-only
 *   { kind: 'newer', unread }                   a newer version wrote it: read-only
 *   { kind: 'unavailable' }                     storage cannot be used: read-only
 */
export function load(now) {
  blocked = null;
  const ls = storage();
  let raw;
  try {
    raw = ls.getItem(KEY);
  } catch {
    // Reading failed once: what is stored is unknown, so nothing may be written.
    blocked = READ_ONLY;
    return { days: new Map(), problem: { kind: 'unavailable' } };
  }
  if (raw === null) return { days: new Map(), problem: null };
  const read = fromStored(raw);
  if (read.newer) {
    blocked = READ_ONLY;
    return { days: read.days, problem: { kind: 'newer', unread: read.unread } };
  }
  if (!read.error) return { days: read.days, problem: null };
  const { unread, whole, error: reason } = read;
  let asideKey = null;
  try {
    asideKey = freeAsideKey(ls, now);
    ls.setItem(asideKey, whole ? raw : leftover(read));
    if (whole) ls.removeItem(KEY);
    else ls.setItem(KEY, toStored(read.days));
    return { days: read.days, problem: { kind: 'damaged', unread, whole, reason } };
  } catch {
    try {
      if (asideKey && ls.getItem(KEY) === raw) ls.removeItem(asideKey);
    } catch { /* the original is still in place either way */ }
    blocked = READ_ONLY;
    return { days: read.days, problem: { kind: 'stuck', unread, whole, reason } };
  }
}

export const readOnly = () => blocked !== null;

function write(key, value) {
  if (blocked) throw new Error(blocked);
  try {
    storage().setItem(key, value);
  } catch (e) {
    const full = e && e.name === 'QuotaExceededError';
    throw new Error(full ? '这台电脑上留给花园的空间已满' : '没能保存到这台电脑上');
  }
}

// Throws an Error with a message for the user when the garden cannot be saved.
export function save(days) {
  write(KEY, toStored(days));
}

// The values set aside, oldest first: { key, when, raw, days, unread }.
export function asideValues() {
  const ls = storage();
  const out = [];
  try {
    for (let i = 0; i < ls.length; i++) {
      const key = ls.key(i);
      if (!key.startsWith(ASIDE_PREFIX)) continue;
      const raw = ls.getItem(key);
      const read = fromStored(raw);
      const when = /^(\d{4})(\d\d)(\d\d)-(\d\d)(\d\d)/.exec(key.slice(ASIDE_PREFIX.length));
      out.push({
        key,
        name: key.slice(ASIDE_PREFIX.length),
        when: when ? `${+when[1]}年${+when[2]}月${+when[3]}日 ${when[4]}:${when[5]}` : '',
        raw,
        days: read.newer ? new Map() : read.days,
        whole: read.whole,
        unread: read.unread,
      });
    }
  } catch {
    return [];
  }
  return out.sort((a, b) => (a.key < b.key ? -1 : 1));
}

// Joins the readable days of an aside value into `days`, keeping the day
// already in the garden where both have one. The aside value is kept while
// any of it is still unreadable. Returns the new garden.
export function joinAside(value, days) {
  const next = new Map(days);
  for (const [key, entry] of value.days) if (!next.has(key)) next.set(key, entry);
  // A garden over the limit would make a backup that no restore takes.
  if (next.size > MAX_DAYS) throw new Error(`花园最多 ${MAX_DAYS} 天，并回后会有 ${next.size} 天`);
  const sorted = new Map([...next].sort(([a], [b]) => (a < b ? -1 : 1)));
  save(sorted);
  if (!value.whole && value.unread === 0) storage().removeItem(value.key);
  return sorted;
}

// Keeps the garden as it was before a restore, so the restore can be undone.
export function keepBeforeRestore(days) {
  write(BEFORE_RESTORE, toStored(days));
}

export function beforeRestore() {
  try {
    const raw = storage().getItem(BEFORE_RESTORE);
    if (raw === null) return null;
    const read = fromStored(raw);
    return read.error ? null : read.days;
  } catch {
    return null;
  }
}

export function dropBeforeRestore() {
  try {
    storage().removeItem(BEFORE_RESTORE);
  } catch { /* nothing to undo then */ }
}

// The garden lives in local storage under one versioned key. A value that
// cannot be read back is never dropped: it is copied aside under a key of
// its own before the garden starts clean, and the user is told.
import { fromStored, toStored } from './data.js';

export const KEY = 'verdalune.garden.v1';
export const ASIDE_PREFIX = KEY + '.damaged.';

// Set when storage cannot be used, or when a damaged value could not be set
// aside: saving then would overwrite the only copy of the user's garden.
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

// Returns { days, problem }. `problem` is null, or
// { kind: 'damaged', reason, asideKey }, { kind: 'stuck', reason } when the
// damaged value could not be copied, or { kind: 'unavailable' }.
export function load(now) {
  blocked = null;
  const ls = storage();
  let raw = null;
  try {
    raw = ls ? ls.getItem(KEY) : null;
  } catch {
    raw = null;
  }
  if (!ls) {
    blocked = '无法使用本地存储';
    return { days: new Map(), problem: { kind: 'unavailable' } };
  }
  if (raw === null) return { days: new Map(), problem: null };
  const read = fromStored(raw);
  if (read.days) return { days: read.days, problem: null };
  try {
    const asideKey = freeAsideKey(ls, now);
    ls.setItem(asideKey, raw);
    ls.removeItem(KEY);
    return { days: new Map(), problem: { kind: 'damaged', reason: read.error, asideKey } };
  } catch {
    blocked = '保存的旧数据无法另存，为了不覆盖它，现在不能保存';
    return { days: new Map(), problem: { kind: 'stuck', reason: read.error } };
  }
}

// Throws an Error with a message for the user when the garden cannot be saved.
export function save(days) {
  if (blocked) throw new Error(blocked);
  try {
    storage().setItem(KEY, toStored(days));
  } catch (e) {
    const full = e && e.name === 'QuotaExceededError';
    throw new Error(full ? '本地存储空间已满' : '写入本地存储失败');
  }
}

// The garden is kept twice, as the same text. Local storage holds it under
// one versioned key, read at once at start so the wall is drawn without
// waiting; but the browser writes local storage to disk seconds later, so a
// crash can lose what it was just given. IndexedDB holds the copy that counts:
// a save is done only once its transaction has committed to disk. Each save
// counts up `saved` in the text, and at start the copy with the higher count
// wins, whichever store it is in.
//
// Local storage is only that first picture: a garden too big for it is left
// out there and drawn once the durable copy is read. The copy kept for
// 撤销恢复 lives in IndexedDB alone, written in the same transaction as the
// restore it undoes, so that neither reaches the disk without the other.
//
// What cannot be read back is never dropped: the unreadable part is copied
// aside under a local storage key of its own, the readable days stay in the
// garden, and the user is told. Whenever a copy cannot be made, or the value
// came from a newer version, or storage cannot even be read, the garden opens
// read-only: saving then would overwrite the only copy of the user's days.
import { fromStored, leftover, toStored } from './data.js';

export const KEY = 'verdalune.garden.v1';
export const ASIDE_PREFIX = KEY + '.damaged.';
// Where an older version kept the garden from before a restore.
export const BEFORE_RESTORE = KEY + '.before-restore';
const DATABASE = 'verdalune';
const TABLE = 'garden';
const UNDO = 'before-restore';

const READ_ONLY = '现在只能查看，不能保存';
const NOT_SAVED = '没能保存到这台电脑上';
let blocked = null;
// The count of the newest copy known, and the text local storage holds.
let saved = 0;
let localText = null;
let database = null;
// The durable record for 撤销恢复: { when, size, before, after }, the gardens
// before and right after the restore as stored text; or null.
let kept = null;
// Settles once the durable copy has been read, or found missing.
let ready = Promise.resolve(null);

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
  saved = 0;
  localText = null;
  kept = null;
  ready = readDurable(now);
  const ls = storage();
  let raw;
  try {
    raw = ls.getItem(KEY);
  } catch {
    // Reading failed once: what is stored is unknown, so nothing may be written.
    blocked = READ_ONLY;
    return { days: new Map(), problem: { kind: 'unavailable' }, later: ready };
  }
  localText = raw;
  const found = raw === null ? { days: new Map(), problem: null } : settle(raw, ls, now, false);
  if (!blocked) retireOldUndo(ls, found.days, now);
  return { ...found, later: ready };
}

// An older version kept the garden from before a restore in local storage,
// with nothing to tell which days came since. Undoing with it could drop
// them, so it is no longer offered; its days that the garden lacks or holds
// otherwise go to the set-aside list, whence they can be joined back.
function retireOldUndo(ls, days, now) {
  try {
    const raw = ls.getItem(BEFORE_RESTORE);
    if (raw === null) return;
    const old = fromStored(raw).days;
    const same = (key, entry) => days.get(key)?.mood === entry.mood && days.get(key)?.note === entry.note;
    if (![...old].every(([key, entry]) => same(key, entry))) ls.setItem(freeAsideKey(ls, now), raw);
    ls.removeItem(BEFORE_RESTORE);
  } catch { /* left where it is, to be tried again */ }
}

// Reads one stored copy; a damaged one is set aside as a whole or in part
// and the readable days written back, to local storage at once and to the
// durable store when it is open.
function settle(raw, ls, now, durable) {
  const read = fromStored(raw);
  if (read.newer) {
    blocked = READ_ONLY;
    return { days: read.days, problem: { kind: 'newer', unread: read.unread } };
  }
  saved = Math.max(saved, read.saved);
  if (!read.error) return { days: read.days, problem: null };
  const { unread, whole, error: reason } = read;
  let asideKey = null;
  try {
    asideKey = freeAsideKey(ls, now);
    ls.setItem(asideKey, whole ? raw : leftover(read));
    if (whole && !durable) ls.removeItem(KEY);
    if (!whole) {
      localText = toStored(read.days, ++saved);
      ls.setItem(KEY, localText);
      if (durable) commit(localText).catch(() => {});
    }
    return { days: read.days, problem: { kind: 'damaged', unread, whole, reason } };
  } catch {
    try {
      if (asideKey && ls.getItem(KEY) === raw) ls.removeItem(asideKey);
    } catch { /* the original is still in place either way */ }
    blocked = READ_ONLY;
    return { days: read.days, problem: { kind: 'stuck', unread, whole, reason } };
  }
}

const settled = (request) => new Promise((resolve, reject) => {
  request.onsuccess = () => resolve(request.result);
  request.onerror = () => reject(request.error);
});

function openDatabase() {
  const open = indexedDB.open(DATABASE, 1);
  open.onupgradeneeded = () => open.result.createObjectStore(TABLE);
  return settled(open);
}

// Resolves to null when the garden already drawn is the newest, else to
// { days, problem } from the durable copy, which is newer.
async function readDurable(now) {
  let raw;
  try {
    database = await openDatabase();
    const table = database.transaction(TABLE).objectStore(TABLE);
    const [garden, undo] = await Promise.all([settled(table.get(TABLE)), settled(table.get(UNDO))]);
    raw = garden?.text ?? null;
    kept = isKept(undo) ? undo : null;
  } catch {
    database = null;
    return null;
  }
  if (raw === null || raw === localText || blocked) return null;
  const read = fromStored(raw);
  // A durable copy that cannot be read at all is set aside; the one in local
  // storage stands.
  if (read.whole) {
    const ls = storage();
    try {
      ls.setItem(freeAsideKey(ls, now), raw);
    } catch {
      blocked = READ_ONLY;
      return { days: null, problem: { kind: 'stuck', unread: 0, whole: false, reason: read.error } };
    }
    return { days: null, problem: { kind: 'damaged', unread: 0, whole: false, reason: read.error } };
  }
  if (read.saved <= saved && !read.newer) return null;
  const found = settle(raw, storage(), now, true);
  if (!found.problem) {
    // Local storage catches up, for whatever reads it.
    localText = picture(raw) ? raw : null;
  }
  return found;
}

const isKept = (v) => v !== null && typeof v === 'object' && typeof v.when === 'string'
  && Number.isInteger(v.size) && typeof v.before === 'string' && typeof v.after === 'string';

// Writes `text` as the durable copy, and with it the record for 撤销恢复
// when `undo` is given (null drops it); resolves once both are on disk.
function commit(text, undo) {
  return new Promise((resolve, reject) => {
    const fail = (error) => reject(new Error(error?.name === 'QuotaExceededError' ? '这台电脑上留给花园的空间已满' : NOT_SAVED));
    let tx = null;
    try {
      tx = database.transaction(TABLE, 'readwrite', { durability: 'strict' });
      tx.oncomplete = resolve;
      tx.onabort = tx.onerror = () => fail(tx.error);
      const table = tx.objectStore(TABLE);
      table.put({ text }, TABLE);
      if (undo === null) table.delete(UNDO);
      else if (undo) table.put(undo, UNDO);
    } catch (e) {
      // Neither the garden nor its undo alone.
      try {
        tx?.abort();
      } catch { /* already over */ }
      fail(e);
    }
  });
}

// Puts `text` (or nothing, for null) in local storage; false when it does not
// fit there. Then no copy is left, as an older one would be a wrong picture.
function picture(text) {
  const ls = storage();
  try {
    if (text === null) ls.removeItem(KEY);
    else ls.setItem(KEY, text);
    return true;
  } catch {
    try {
      ls.removeItem(KEY);
    } catch { /* its lower count loses to the durable copy at start */ }
    return false;
  }
}

/**
 * Resolves once the garden is on disk; rejects with an Error whose message
 * is for the user when it cannot be saved. `restore`, when given, is
 * { when, before, after } for a restore or merge that 撤销恢复 can undo:
 * the day it was made and the gardens before and after it; null drops the
 * copy kept for an earlier one.
 */
export async function save(days, restore) {
  if (blocked) throw new Error(blocked);
  await ready;
  if (blocked) throw new Error(blocked);
  if (!database) throw new Error(NOT_SAVED);
  const text = toStored(days, saved + 1);
  const undo = restore && {
    when: restore.when, size: restore.before.size, before: toStored(restore.before), after: toStored(restore.after),
  };
  const shown = picture(text);
  try {
    await commit(text, undo);
  } catch (e) {
    // What the person is told failed must not come back after a restart.
    picture(localText);
    throw e;
  }
  saved++;
  localText = shown ? text : null;
  if (undo !== undefined) kept = undo;
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

// Drops an aside value once all of it is back in the garden, or whatever it
// holds when the person deletes it; false if it could not be removed.
export function dropAside(value, deleting = false) {
  if (!deleting && (value.whole || value.unread > 0)) return false;
  try {
    storage().removeItem(value.key);
    return true;
  } catch {
    return false; // it stays listed
  }
}

// What 撤销恢复 can bring back, once the durable copy has been read:
// { when, size } (the restore's day and how many days the garden had
// before it), or null.
export function keptRestore() {
  return kept && { when: kept.when, size: kept.size };
}

// The gardens before and right after that restore, as { when, before, after }.
export function keptGardens() {
  if (!kept) return null;
  const before = fromStored(kept.before);
  const after = fromStored(kept.after);
  if (before.error || after.error) return null;
  return { when: kept.when, before: before.days, after: after.days };
}

// The garden is kept twice, as the same text. Local storage holds it under
// one versioned key, read at once at start so the wall is drawn without
// waiting; but the browser writes local storage to disk seconds later, so a
// crash can lose what it was just given. IndexedDB holds the copy that counts:
// a save is done only once its transaction has committed to disk. Each save
// counts up `saved` in the text, and at start the copy with the higher count
// wins, whichever store it is in.
//
// What cannot be read back is never dropped: the unreadable part is copied
// aside under a local storage key of its own, the readable days stay in the
// garden, and the user is told. Whenever a copy cannot be made, or the value
// came from a newer version, or storage cannot even be read, the garden opens
// read-only: saving then would overwrite the only copy of the user's days.
import { fromStored, leftover, toStored } from './data.js';

export const KEY = 'verdalune.garden.v1';
export const ASIDE_PREFIX = KEY + '.damaged.';
export const BEFORE_RESTORE = KEY + '.before-restore';
const DATABASE = 'verdalune';
const TABLE = 'garden';

const READ_ONLY = '现在只能查看，不能保存';
const NOT_SAVED = '没能保存到这台电脑上';
let blocked = null;
// The count of the newest copy known, and the text local storage holds.
let saved = 0;
let localText = null;
let database = null;
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
  if (raw === null) return { days: new Map(), problem: null, later: ready };
  return { ...settle(raw, ls, now, false), later: ready };
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
    raw = (await settled(database.transaction(TABLE).objectStore(TABLE).get(TABLE)))?.text ?? null;
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
    try {
      storage().setItem(KEY, raw);
      localText = raw;
    } catch { /* the durable copy is the one that counts */ }
  }
  return found;
}

// Writes `text` as the durable copy; resolves once it is on disk.
function commit(text) {
  return new Promise((resolve, reject) => {
    const tx = database.transaction(TABLE, 'readwrite', { durability: 'strict' });
    tx.objectStore(TABLE).put({ text }, TABLE);
    tx.oncomplete = resolve;
    tx.onabort = tx.onerror = () => {
      const full = tx.error && tx.error.name === 'QuotaExceededError';
      reject(new Error(full ? '这台电脑上留给花园的空间已满' : NOT_SAVED));
    };
  });
}

function write(key, value) {
  if (blocked) throw new Error(blocked);
  try {
    storage().setItem(key, value);
  } catch (e) {
    const full = e && e.name === 'QuotaExceededError';
    throw new Error(full ? '这台电脑上留给花园的空间已满' : NOT_SAVED);
  }
}

// Resolves once the garden is on disk; rejects with an Error whose message
// is for the user when it cannot be saved.
export async function save(days) {
  if (blocked) throw new Error(blocked);
  await ready;
  if (blocked) throw new Error(blocked);
  if (!database) throw new Error(NOT_SAVED);
  const text = toStored(days, saved + 1);
  write(KEY, text);
  try {
    await commit(text);
  } catch (e) {
    // What the person is told failed must not come back after a restart.
    try {
      if (localText === null) storage().removeItem(KEY);
      else storage().setItem(KEY, localText);
    } catch { /* storage that took the text a moment ago refuses the old one: left as it is */ }
    throw e;
  }
  saved++;
  localText = text;
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

// Drops an aside value once all of it is back in the garden.
export function dropAside(value) {
  if (value.whole || value.unread > 0) return;
  try {
    storage().removeItem(value.key);
  } catch { /* it stays listed, with nothing left to join */ }
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

// The garden is kept twice, as the same text. Local storage holds it under
// one versioned key, read at once at start so the wall is drawn without
// waiting; but the browser writes local storage to disk seconds later, so it
// is only that first picture, and a failure to write it costs nothing else.
// IndexedDB (durable.js) holds every copy that counts: the garden, the copy
// for 撤销恢复, and whatever could not be read. Each save counts up `saved`;
// at start the newest readable copy wins, whichever store holds it.
//
// What cannot be read back is never dropped: the unreadable part is set
// aside in the same transaction that writes the garden without it, the
// readable days stay in the garden, and the user is told. When that cannot
// be done, or the value came from a newer version, or storage cannot even be
// read, the garden opens read-only: saving then would overwrite the only copy
// of the user's days.
//
// Another page on the same profile (a renderer being replaced still saving)
// may write too. A save therefore checks, in its own transaction, that the
// stored garden is the one this page last read or wrote; if not, the change
// is made to the stored one instead. Each save tells the other pages, which
// read the garden again.
import { fromStored, holdsAll, leftover, toStored } from './data.js';
import { ASIDE, GARDEN, UNDO, openDatabase, readAll, readRecords, settled, transact } from './durable.js';
import { pad } from './days.js';

const KEY = 'verdalune.garden.v1';
// Where an older version set aside what it could not read, and kept the
// garden from before a restore: taken into the durable store at start.
const OLD_ASIDE = `${KEY}.damaged.`;
const OLD_UNDO = `${KEY}.before-restore`;
// The undo record a garden names when none belongs to it. Records written by
// an older version name none at all, and go with one of its undo records.
const NO_UNDO = -1;

const READ_ONLY = '现在只能查看，不能保存';
const NOT_SAVED = '没能保存到这台电脑上';
const FULL = '这台电脑上留给花园的空间已满';
let blocked = null;
let database = null;
// True once the durable copy has been read and settled.
let durable = false;
// The garden this page last read or wrote, and its count of saves.
let held = new Map();
let saved = 0;
// The text local storage holds.
let localText = null;
// The undo record while it belongs to the stored garden, else null.
let kept = null;
// What was set aside in the durable store: [{ key, text }].
let asides = [];
// Settles once the durable copy has been read, or found missing.
let ready = Promise.resolve(null);
// The store's work, one step at a time.
let line = ready;
let watcher = () => {};
const channel = typeof BroadcastChannel === 'function' ? new BroadcastChannel(KEY) : null;

function storage() {
  try {
    return window.localStorage;
  } catch {
    return null;
  }
}

const countOf = (record) => (!record ? 0 : Number.isSafeInteger(record.saved) ? record.saved : fromStored(record.text).saved);

const isKept = (v) => v !== null && typeof v === 'object' && typeof v.when === 'string'
  && Number.isInteger(v.size) && typeof v.before === 'string' && typeof v.after === 'string';

// The undo record, if the stored garden still descends from its restore.
const linked = (undo, garden) => (isKept(undo) && garden && (garden.undo ?? 0) === (undo.id ?? 0) ? undo : null);

function stamp(now) {
  return `${now.getFullYear()}${pad(now.getMonth() + 1)}${pad(now.getDate())}-${pad(now.getHours())}${pad(now.getMinutes())}${pad(now.getSeconds())}`;
}

/**
 * Returns { days, problem, later }: the first picture, and a promise of
 * { days, problem } from the durable copy (null when there is nothing more
 * to tell). `problem` is null or one of
 *   { kind: 'damaged', unread, whole, reason }  the unreadable part was set aside
 *   { kind: 'stuck', unread, whole, reason }    it could not be: read-only
 *   { kind: 'newer', unread }                   a newer version wrote it: read-only
 *   { kind: 'unavailable' }                     storage cannot be used: read-only
 */
export function load(now) {
  blocked = null;
  durable = false;
  held = new Map();
  saved = 0;
  kept = null;
  asides = [];
  let raw;
  try {
    raw = storage().getItem(KEY);
  } catch {
    // Reading failed once: what is stored is unknown, so nothing may be written.
    blocked = READ_ONLY;
    ready = line = Promise.resolve(null);
    return { days: held, problem: { kind: 'unavailable' }, later: ready };
  }
  localText = raw;
  const local = raw === null ? null : fromStored(raw);
  if (local?.newer) blocked = READ_ONLY;
  ready = line = settle(now, local);
  return { days: local?.days ?? held, problem: local?.newer ? { kind: 'newer', unread: local.unread } : null, later: ready };
}

async function settle(now, local) {
  try {
    database = await openDatabase();
  } catch {
    database = null;
    return settleLocal(local);
  }
  let plan = null;
  const old = oldValues();
  try {
    await transact(database, async (table) => {
      plan = decide(await readRecords(table), local, old, now);
      for (const [key, value] of plan.puts) table.put(value, key);
    });
  } catch {
    if (!plan || (plan.problem && plan.problem.kind !== 'newer')) {
      blocked = READ_ONLY;
      const days = plan?.days ?? local?.days ?? new Map();
      return { days, problem: plan ? { ...plan.problem, kind: 'stuck' } : { kind: 'unavailable' } };
    }
    // Only the durable copy's catching up failed: the next save writes the
    // garden shown over the one stored, as this one counts from it.
    Object.assign(plan, { saved: plan.stored, asides: plan.asides.filter((a) => !plan.puts.some(([key]) => key === a.key)) });
    old.keys.length = 0;
  }
  // A garden a newer version wrote, in either store, is never written over.
  if (plan.problem?.kind === 'newer') blocked = READ_ONLY;
  durable = true;
  ({ days: held, saved, kept } = plan);
  asides = plan.asides;
  if (plan.text !== localText) localText = picture(plan.text) ? plan.text : null;
  const ls = storage();
  for (const key of old.keys) {
    try {
      ls.removeItem(key);
    } catch { /* taken again at the next start, and found there already */ }
  }
  if (plan.puts.length) channel?.postMessage(saved);
  return { days: held, problem: plan.problem };
}

// Without the durable store nothing can be saved, so nothing is repaired:
// what could not be read stays where it is.
function settleLocal(local) {
  held = local?.days ?? new Map();
  saved = local?.saved ?? 0;
  if (!local || local.newer || !(local.whole || local.error)) return { days: held, problem: null };
  blocked = READ_ONLY;
  return { days: held, problem: { kind: 'stuck', unread: local.unread, whole: local.whole, reason: local.error } };
}

// What an older version kept in local storage: { keys, texts }.
function oldValues() {
  const keys = [];
  const texts = [];
  try {
    const ls = storage();
    for (let i = 0; i < ls.length; i++) {
      const key = ls.key(i);
      if (key.startsWith(OLD_ASIDE) || key === OLD_UNDO) {
        keys.push(key);
        texts.push([key, ls.getItem(key)]);
      }
    }
  } catch { /* left where it is */ }
  return { keys, texts };
}

/**
 * Which stored copy the garden is, and what to write so that nothing that
 * cannot be read is lost. The newest readable copy wins, the durable one on a
 * tie; what the winner cannot read is set aside and the winner written back
 * without it, counted past every copy. What a losing copy cannot read is set
 * aside too, but never outvotes the winner. Returns { days, saved, text,
 * kept, asides, puts, problem }.
 */
function decide(records, local, old, now) {
  const { garden, undo } = records;
  const durableText = typeof garden?.text === 'string' ? garden.text : null;
  const copies = [];
  if (durableText !== null) copies.push({ text: durableText, read: durableText === localText ? local : fromStored(durableText), durable: true });
  if (local && localText !== durableText) copies.push({ text: localText, read: local, durable: false });
  const rank = (c) => (c.read.whole ? -1 : c.read.saved);
  const [winner] = [...copies].sort((a, b) => rank(b) - rank(a));
  const plan = {
    days: new Map(), saved: 0, stored: countOf(garden), text: null, kept: null, asides: [...records.asides], puts: [], problem: null,
  };
  if (copies.some((c) => c.read.newer)) {
    Object.assign(plan, { days: winner.read.days, saved: winner.read.saved, text: localText, kept: linked(undo, garden) });
    plan.problem = { kind: 'newer', unread: winner.read.unread };
    return plan;
  }
  const aside = (text, name = stamp(now)) => {
    if (plan.asides.some((a) => a.text === text)) return false;
    let key = ASIDE + name;
    for (let n = 2; plan.asides.some((a) => a.key === key); n++) key = `${ASIDE}${name}-${n}`;
    plan.asides.push({ key, text });
    plan.puts.push([key, { text }]);
    return true;
  };
  let reason = null;
  for (const { read, text } of copies) {
    if (!read.whole && !read.error) continue;
    if (aside(read.whole ? text : leftover(read))) reason ??= read.error;
  }
  const good = winner && !winner.read.whole ? winner : null;
  if (reason) plan.problem = { kind: 'damaged', unread: good?.read.unread ?? 0, whole: !good, reason };
  if (good) {
    plan.days = good.read.days;
    plan.saved = good.read.saved;
    plan.text = good.text;
    if (good.read.error) {
      plan.saved = Math.max(...copies.map((c) => c.read.saved)) + 1;
      plan.text = toStored(plan.days, plan.saved);
    }
    // A copy that was not the durable one has no undo record of its own.
    plan.kept = good.durable ? linked(undo, garden) : null;
    if (plan.text !== durableText) plan.puts.push([GARDEN, { text: plan.text, saved: plan.saved, undo: plan.kept ? plan.kept.id ?? 0 : NO_UNDO }]);
  }
  for (const [key, text] of old.texts) {
    if (key !== OLD_UNDO) aside(text, key.slice(OLD_ASIDE.length));
    else if (!holdsAll(plan.days, fromStored(text).days)) aside(text);
  }
  return plan;
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

// One step of the store's work, after every earlier one.
function step(work) {
  const done = line.then(work);
  line = done.catch(() => {});
  return done;
}

/**
 * Saves the garden `change(days)` makes from the stored one, and resolves to
 * it once it is on disk; rejects with an Error whose message is for the
 * user when it cannot be saved. `change` may throw to refuse, and gives a
 * Map, or { days, restore } for a restore or merge that 撤销恢复 can undo:
 * restore is { when, before, after }, the day it was made and the gardens
 * before and after it; null drops the copy kept for an earlier one.
 */
export function save(change) {
  return step(async () => {
    if (blocked) throw new Error(blocked);
    if (!database || !durable) throw new Error(NOT_SAVED);
    let newer = false;
    let made;
    try {
      made = await transact(database, async (table) => {
        const [garden, undo] = await Promise.all([settled(table.get(GARDEN)), settled(table.get(UNDO))]);
        const count = countOf(garden);
        // Changed by another page: the change is made to the stored garden.
        if (garden && count !== saved) {
          const read = fromStored(garden.text);
          if (read.whole || read.error || read.newer) {
            blocked = READ_ONLY;
            throw new Error(READ_ONLY);
          }
          held = read.days;
          saved = count;
          kept = linked(undo, garden);
          newer = true;
        }
        return write(table, change(held), saved + 1);
      });
    } catch (e) {
      if (newer) watcher(held);
      // The change's own refusals are for the user; the storage's are not.
      if (e?.constructor === Error) throw e;
      throw new Error(e?.name === 'QuotaExceededError' ? FULL : NOT_SAVED);
    }
    ({ days: held, kept } = made);
    saved++;
    localText = picture(made.text) ? made.text : null;
    channel?.postMessage(saved);
    return held;
  });
}

// Writes the garden `made` gives as save `count`, with its undo record.
function write(table, made, count) {
  const { days, restore } = made instanceof Map ? { days: made } : made;
  let next = kept;
  if (restore === null) {
    table.delete(UNDO);
    next = null;
  } else if (restore) {
    next = { when: restore.when, size: restore.before.size, before: toStored(restore.before), after: toStored(restore.after), id: count };
    table.put(next, UNDO);
  }
  const text = toStored(days, count);
  table.put({ text, saved: count, undo: next ? next.id ?? 0 : NO_UNDO }, GARDEN);
  return { days, text, kept: next };
}

// `fn(days)` runs whenever the stored garden turns out changed by another
// page, or what is set aside or kept for 撤销恢复 did.
export function watch(fn) {
  watcher = fn;
}

// Reads everything again when another page says it saved.
function reread() {
  return step(async () => {
    if (!durable || blocked) return;
    const { garden, undo, asides: aside } = await readAll(database);
    asides = aside;
    kept = linked(undo, garden);
    if (garden && countOf(garden) !== saved) {
      const read = fromStored(garden.text);
      if (!read.whole && !read.error && !read.newer) {
        held = read.days;
        saved = countOf(garden);
        localText = garden.text;
      }
    }
    watcher(held);
  }).catch(() => {});
}
if (channel) channel.onmessage = reread;

// True once the garden shown is the durable one.
export const isDurable = () => durable;

// The values set aside, oldest first: { key, name, when, raw, days, whole, unread }.
export function asideValues() {
  // An older version's, until they are taken into the durable store.
  const old = oldValues().texts.filter(([key]) => key !== OLD_UNDO).map(([key, text]) => ({ key, text, old: true }));
  return [...asides, ...old].map(({ key, text, old: isOld }) => {
    const name = key.slice((isOld ? OLD_ASIDE : ASIDE).length);
    const read = fromStored(text);
    const when = /^(\d{4})(\d\d)(\d\d)-(\d\d)(\d\d)/.exec(name);
    return {
      key,
      name,
      when: when ? `${+when[1]}年${+when[2]}月${+when[3]}日 ${when[4]}:${when[5]}` : '',
      raw: text,
      days: read.newer ? new Map() : read.days,
      whole: read.whole,
      unread: read.unread,
      old: Boolean(isOld),
    };
  }).sort((a, b) => (a.name < b.name ? -1 : 1));
}

// Drops an aside value; resolves to false if it could not be removed.
export function dropAside(value) {
  if (value.old) {
    try {
      storage().removeItem(value.key);
      return Promise.resolve(true);
    } catch {
      return Promise.resolve(false);
    }
  }
  return step(async () => {
    await transact(database, (table) => table.delete(value.key));
    asides = asides.filter((a) => a.key !== value.key);
    channel?.postMessage(saved);
    return true;
  }).catch(() => false);
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

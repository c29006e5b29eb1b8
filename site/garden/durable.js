// The garden's durable copy: one IndexedDB table of records under fixed
// keys. A read-write transaction here commits with strict durability, so
// what it wrote is on disk once it completes, and a crash before that keeps
// none of it: records that belong together go in one transaction.
const DATABASE = 'verdalune';
const TABLE = 'garden';
// { text, saved, undo }: the garden as stored text, its count of saves, and
// the id of the undo record that belongs to it.
export const GARDEN = 'garden';
// { when, size, before, after, id }: what 撤销恢复 brings back.
export const UNDO = 'before-restore';
// Prefix of what could not be read, each { text } under a name of its own.
export const ASIDE = 'aside.';
const ASIDES = IDBKeyRange.bound(ASIDE, `${ASIDE}\uffff`);

export const settled = (request) => new Promise((resolve, reject) => {
  request.onsuccess = () => resolve(request.result);
  request.onerror = () => reject(request.error);
});

export function openDatabase() {
  const open = indexedDB.open(DATABASE, 1);
  open.onupgradeneeded = () => open.result.createObjectStore(TABLE);
  return settled(open);
}

// Every record: { garden, undo, asides: [{ key, text }] }.
export async function readRecords(table) {
  const [garden, undo, keys, values] = await Promise.all([
    settled(table.get(GARDEN)), settled(table.get(UNDO)), settled(table.getAllKeys(ASIDES)), settled(table.getAll(ASIDES)),
  ]);
  const asides = keys.map((key, i) => ({ key, text: values[i]?.text })).filter((a) => typeof a.text === 'string');
  return { garden, undo, asides };
}

export const readAll = (db) => readRecords(db.transaction(TABLE).objectStore(TABLE));

// Runs `work(table)` in one read-write transaction: it may read, then
// write, without waiting on anything but the table. Resolves with its result
// once everything is on disk; rejects, having written nothing, when `work`
// throws or the transaction fails.
export function transact(db, work) {
  return new Promise((resolve, reject) => {
    let tx;
    try {
      tx = db.transaction(TABLE, 'readwrite', { durability: 'strict' });
    } catch (e) {
      reject(e);
      return;
    }
    let result;
    let failure = null;
    tx.oncomplete = () => resolve(result);
    tx.onabort = () => reject(failure ?? tx.error ?? new DOMException('aborted', 'AbortError'));
    // Started at once: the transaction is active until this task ends, and
    // for the callbacks of its own requests.
    Promise.resolve().then(() => work(tx.objectStore(TABLE))).then((r) => { result = r; }, (e) => {
      failure = e;
      try {
        tx.abort();
      } catch { /* already over */ }
    });
  });
}

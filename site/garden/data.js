// The garden's data, as stored and as backed up, and the checks that every
// value read back must pass. Nothing here touches the page or the storage,
// so the same rules apply to local storage and to restored files.
import { parseKey } from './days.js';
import { isMood } from './moods.js';

export const VERSION = 1;
export const NOTE_MAX = 200;
export const MAX_DAYS = 36600; // a century of daily planting
export const BACKUP_MAX_BYTES = 4 * 1024 * 1024;
export const BACKUP_TAG = 'verdalune-garden';

const ENTRY_FIELDS = new Set(['mood', 'note']);
const STORED_FIELDS = new Set(['version', 'days']);
const BACKUP_FIELDS = new Set(['app', 'version', 'exported', 'days']);

const isPlainObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);
const shown = (s) => (s.length > 24 ? s.slice(0, 24) + '…' : s);

function checkFields(obj, allowed, where) {
  for (const field of Object.keys(obj)) {
    if (!allowed.has(field)) return `${where}有未知字段“${shown(field)}”`;
  }
  return null;
}

function checkVersion(root, what) {
  if (!('version' in root)) return `${what}缺少版本号`;
  if (root.version !== VERSION) {
    const v = shown(String(JSON.stringify(root.version)));
    return `${what}的版本是 ${v}，这里只能读取版本 ${VERSION}`;
  }
  return null;
}

// Returns { days: Map<key, {mood, note}> } or { error: text }.
export function checkDays(raw, what) {
  if (!isPlainObject(raw)) return { error: `${what}缺少每天的记录` };
  const keys = Object.keys(raw);
  if (keys.length > MAX_DAYS) return { error: `${what}有 ${keys.length} 天，超过上限 ${MAX_DAYS} 天` };
  const days = new Map();
  for (const key of keys.sort()) {
    if (!parseKey(key)) return { error: `“${shown(key)}”不是有效的日期` };
    const entry = raw[key];
    if (!isPlainObject(entry)) return { error: `${key} 的记录格式不对` };
    const unknown = checkFields(entry, ENTRY_FIELDS, `${key} 的记录中`);
    if (unknown) return { error: unknown };
    if (!('mood' in entry)) return { error: `${key} 的记录缺少心情` };
    if (!isMood(entry.mood)) {
      const mood = typeof entry.mood === 'string' ? shown(entry.mood) : String(entry.mood);
      return { error: `${key} 的心情“${mood}”无法识别` };
    }
    let note = '';
    if ('note' in entry) {
      if (typeof entry.note !== 'string') return { error: `${key} 的备注不是文字` };
      if (entry.note.length > NOTE_MAX) return { error: `${key} 的备注超过 ${NOTE_MAX} 字` };
      note = entry.note;
    }
    days.set(key, { mood: entry.mood, note });
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

export function toStored(days) {
  return JSON.stringify({ version: VERSION, days: plainDays(days) });
}

export function fromStored(text) {
  let root;
  try {
    root = JSON.parse(text);
  } catch {
    return { error: '保存的内容不是有效的 JSON' };
  }
  if (!isPlainObject(root)) return { error: '保存的内容格式不对' };
  const fault = checkVersion(root, '保存的内容') || checkFields(root, STORED_FIELDS, '保存的内容中');
  if (fault) return { error: fault };
  return checkDays(root.days, '保存的内容');
}

export function toBackup(days, now) {
  const backup = { app: BACKUP_TAG, version: VERSION, exported: now.toISOString(), days: plainDays(days) };
  return JSON.stringify(backup, null, 2) + '\n';
}

export function fromBackup(text) {
  if (text.trim() === '') return { error: '文件是空的' };
  let root;
  try {
    root = JSON.parse(text);
  } catch {
    return { error: '文件不是有效的 JSON' };
  }
  if (!isPlainObject(root) || root.app !== BACKUP_TAG) return { error: '这不是情绪花园的备份文件' };
  const fault = checkVersion(root, '备份') || checkFields(root, BACKUP_FIELDS, '备份中');
  if (fault) return { error: fault };
  if ('exported' in root && typeof root.exported !== 'string') return { error: '备份的导出时间格式不对' };
  return checkDays(root.days, '备份');
}

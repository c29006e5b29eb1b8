// The page's own few settings, apart from the garden: when it was last backed
// up to a file, whether the wall shows mood words, whether a first flower was
// ever planted, and the weekly automatic backup (wanted or not, or not yet
// asked; its last copy; whether the last try failed). One small value in
// local storage; losing it costs a reminder or a hint, never a day. Each
// setting is read on its own: one of the wrong type or form falls back to its
// default.
import { parseKey } from './days.js';

const KEY = 'verdalune.prefs.v1';

const isDay = (v) => parseKey(v) !== null;
const isFlag = (v) => typeof v === 'boolean';
// Each setting's default, and the test its stored value must pass.
const FIELDS = {
  lastBackup: [null, isDay],
  words: [true, isFlag],
  planted: [false, isFlag],
  autoBackup: [null, isFlag],
  lastAuto: [null, isDay],
  autoFailed: [false, isFlag],
};

function read() {
  let stored = {};
  try {
    const value = JSON.parse(window.localStorage.getItem(KEY));
    if (value && typeof value === 'object' && !Array.isArray(value)) stored = value;
  } catch { /* the defaults */ }
  // Settings a newer version keeps are kept as they are.
  const out = { ...stored };
  for (const [name, [fallback, valid]] of Object.entries(FIELDS)) out[name] = valid(stored[name]) ? stored[name] : fallback;
  return out;
}

const prefs = read();

export const pref = (name) => prefs[name];

// A date setting, unless it is after `today`: a clock once set ahead must
// not make an old backup look recent.
export function dayPref(name, today) {
  const day = prefs[name];
  return day && day <= today ? day : null;
}

// Unchanged values are not written: the wall calls this on every draw.
export function setPref(name, value) {
  if (prefs[name] === value) return;
  prefs[name] = value;
  try {
    window.localStorage.setItem(KEY, JSON.stringify(prefs));
  } catch {
    // Full or refused storage: the setting lasts until the page reloads.
  }
}

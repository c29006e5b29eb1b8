// The page's own few settings, apart from the garden: when it was last
// backed up to a file, whether the wall shows mood words, and whether a
// first flower was ever planted. One small value in local storage; losing it
// costs a reminder or a hint, never a day.
const KEY = 'verdalune.prefs.v1';

const DEFAULTS = { lastBackup: null, words: true, planted: false };

function read() {
  try {
    const value = JSON.parse(window.localStorage.getItem(KEY));
    return value && typeof value === 'object' ? { ...DEFAULTS, ...value } : { ...DEFAULTS };
  } catch {
    return { ...DEFAULTS };
  }
}

const prefs = read();

export const pref = (name) => prefs[name];

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

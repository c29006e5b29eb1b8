// Search in the notes: every day whose note holds each of the words typed,
// whatever their case, newest first; and the note with those words marked.

const escape = (word) => word.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');

// The words of a query: split at spaces, as people type several to narrow
// a search down.
export const wordsOf = (query) => query.trim().split(/\s+/).filter(Boolean);

// Keys of the days whose note holds every word, newest first.
export function findDays(days, words) {
  if (!words.length) return [];
  const tests = words.map((word) => new RegExp(escape(word), 'iu'));
  const found = [];
  for (const [key, { note }] of days) {
    if (note && tests.every((t) => t.test(note))) found.push(key);
  }
  return found.sort().reverse();
}

// The note as text and <mark> nodes around each word found.
export function marked(note, words) {
  // Longer words first, so that one holding another is marked whole.
  const any = new RegExp([...words].sort((a, b) => b.length - a.length).map(escape).join('|'), 'giu');
  const out = [];
  let at = 0;
  for (const match of note.matchAll(any)) {
    if (!match[0]) continue;
    if (match.index > at) out.push(note.slice(at, match.index));
    const mark = document.createElement('mark');
    mark.textContent = match[0];
    out.push(mark);
    at = match.index + match[0].length;
  }
  if (at < note.length) out.push(note.slice(at));
  return out;
}

// Search in the notes: every day whose note holds each of the words typed,
// whatever their case, newest first; and the note with those words marked.
import { segments } from './data.js';
import { item } from './dom.js';

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

// The note as text and <mark> nodes around each word found. A mark takes
// in the whole of every character it touches as people see it: a thumb
// without its skin tone, or one person of a family, is part of one emoji.
export function marked(note, words) {
  // Longer words first, so that one holding another is marked whole.
  const any = new RegExp([...words].sort((a, b) => b.length - a.length).map(escape).join('|'), 'giu');
  const edges = new Set([note.length]);
  for (const { index } of segments(note)) edges.add(index);
  const ranges = [];
  for (const match of note.matchAll(any)) {
    if (!match[0]) continue;
    let from = match.index;
    let to = from + match[0].length;
    while (!edges.has(from)) from--;
    while (!edges.has(to)) to++;
    const last = ranges.at(-1);
    if (last && from <= last[1]) last[1] = Math.max(last[1], to);
    else ranges.push([from, to]);
  }
  const out = [];
  let at = 0;
  for (const [from, to] of ranges) {
    if (from > at) out.push(note.slice(at, from));
    out.push(item('mark', '', note.slice(from, to)));
    at = to;
  }
  if (at < note.length) out.push(note.slice(at));
  return out;
}

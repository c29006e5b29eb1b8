// The planting editor, "种下今天": one mood, an optional short note, for
// today or another of the last seven days. What the user has chosen and
// written is a draft that outlives trips to the menu and back, and a change
// of day, until it is planted or cancelled.
import { MOODS, moodOf } from './moods.js';
import { dayName, longDate, recentDays } from './days.js';
import { NOTE_MAX, noteLength } from './data.js';
import { flowerIcon } from './garden.js';
import { $, item } from './dom.js';

function moodCard(mood) {
  const label = item('label', 'mood-card');
  const input = item('input');
  input.type = 'radio';
  input.name = 'mood';
  input.value = mood.id;
  const card = item('span', 'card');
  card.append(flowerIcon(mood), item('b', '', mood.name), item('small', '', mood.flower));
  label.append(input, card);
  return label;
}

// One of the last seven days to plant on; `entry` is what it holds.
function dayPick(key, now, pressed, entry) {
  const b = item('button', '', dayName(key, now));
  b.type = 'button';
  b.dataset.day = key;
  if (entry) b.dataset.mood = entry.mood;
  b.setAttribute('aria-pressed', String(pressed));
  b.setAttribute('aria-label', `${longDate(key)}${entry ? `，已种${moodOf(entry.mood).flower}` : ''}`);
  return b;
}

export function createEditor({ plant, cancel, entryOf, today }) {
  const form = $('editor-form');
  const grid = $('mood-grid');
  const note = $('note');
  const count = $('note-count');
  const over = $('note-over');
  const plantButton = $('editor-plant');
  const error = $('editor-error');
  const replaceHint = $('editor-replace');
  const moved = $('editor-moved');
  const picks = $('day-picks');
  let day = null;
  let drafting = false;
  let busy = false;

  grid.append(...MOODS.map(moodCard));

  const chosen = () => form.elements.mood.value;
  const tooLong = () => Math.max(0, noteLength(note.value.trim()) - NOTE_MAX);

  function update() {
    const n = noteLength(note.value);
    count.textContent = String(n);
    const extra = tooLong();
    over.hidden = extra === 0;
    over.textContent = extra ? `多了 ${extra} 个字，删去一些才能种下。` : '';
    count.parentElement.classList.toggle('over', extra > 0);
    plantButton.disabled = busy || !chosen() || extra > 0;
  }

  function showReplace(entry) {
    replaceHint.hidden = !entry;
    if (!entry) return;
    const mood = moodOf(entry.mood);
    replaceHint.textContent = `这天已经种了${mood.flower}（${mood.name}），再种一次会换掉它。`;
  }

  // The last seven days to choose from, the one being planted pressed.
  function showDay() {
    const now = today();
    const name = dayName(day, now);
    // 今天, 昨天 and 前天 are planted by name; other days by date.
    $('editor-title').textContent = name.length === 2 ? `种下${name}` : `${entryOf(day) ? '修改' : '补种'} ${name}`;
    $('editor-date').textContent = longDate(day);
    picks.replaceChildren(...recentDays(now).reverse().map((key) => dayPick(key, now, key === day, entryOf(key))));
  }

  function fill(today, entry) {
    day = today;
    form.reset();
    if (entry) {
      form.elements.mood.value = entry.mood;
      note.value = entry.note;
    }
    showDay();
    showReplace(entry);
    moved.hidden = true;
    error.hidden = true;
    update();
  }

  // Another day chosen: a draft goes with it; otherwise what that day holds.
  function pick(key) {
    if (key === day) return;
    if (drafting) {
      day = key;
      showDay();
      showReplace(entryOf(key));
      error.hidden = true;
    } else {
      fill(key, entryOf(key));
    }
    moved.hidden = true;
    picks.querySelector(`[data-day="${key}"]`)?.focus();
  }
  picks.addEventListener('click', (event) => {
    const key = event.target.closest('button')?.dataset.day;
    if (key) pick(key);
  });

  grid.addEventListener('change', () => { drafting = true; update(); });
  // Enter on a mood chooses it; it does not plant behind the user's back.
  grid.addEventListener('keydown', (event) => {
    if (event.key === 'Enter' && event.target.name === 'mood') {
      event.preventDefault();
      event.target.checked = true;
      drafting = true;
      update();
    }
  });
  note.addEventListener('input', () => { drafting = true; update(); });
  $('editor-cancel').addEventListener('click', () => cancel());

  // The wall comes back only once the day is saved; until then 种下 waits.
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    const mood = chosen();
    if (!mood || tooLong() || busy) return;
    busy = true;
    update();
    error.hidden = true;
    try {
      // False when the day changed under the user: the editor has moved and said so.
      if (await plant(day, mood, note.value.trim())) drafting = false;
    } catch (e) {
      error.textContent = `没能种下：${e.message}。`;
      error.hidden = false;
    } finally {
      busy = false;
      update();
    }
  });

  return {
    get day() { return day; },
    get drafting() { return drafting; },
    // Opens on `key`; `entry` is what is already planted there. A draft
    // in progress is kept as it is.
    open(key, entry) {
      if (drafting) {
        if (key !== day) pick(key);
        else showDay();
        return;
      }
      fill(key, entry);
    },
    // The date changed with the editor open or a draft waiting: the draft
    // now belongs to the new day, and the user is told in one line.
    moveTo(today, entry) {
      if (today === day) return;
      if (drafting) {
        day = today;
        showDay();
        showReplace(entry);
        error.hidden = true;
      } else {
        fill(today, entry);
      }
      moved.textContent = `日期变了，现在种的是 ${longDate(today)}。`;
      moved.hidden = false;
    },
    drop() {
      drafting = false;
    },
    focus() {
      const picked = grid.querySelector('input:checked') || grid.querySelector('input');
      picked.focus();
    },
  };
}

// The planting editor, "种下今天": one mood, an optional short note. What
// the user has chosen and written is a draft that outlives trips to the
// menu and back, until it is planted or cancelled.
import { MOODS, moodOf } from './moods.js';
import { longDate } from './days.js';
import { NOTE_MAX, noteLength } from './data.js';
import { flowerIcon } from './garden.js';

const $ = (id) => document.getElementById(id);

export function createEditor({ plant, cancel }) {
  const form = $('editor-form');
  const grid = $('mood-grid');
  const note = $('note');
  const count = $('note-count');
  const over = $('note-over');
  const plantButton = $('editor-plant');
  const error = $('editor-error');
  const replaceHint = $('editor-replace');
  const moved = $('editor-moved');
  let day = null;
  let drafting = false;

  for (const mood of MOODS) {
    const label = document.createElement('label');
    label.className = 'mood-card';
    const input = document.createElement('input');
    input.type = 'radio';
    input.name = 'mood';
    input.value = mood.id;
    const card = document.createElement('span');
    card.className = 'card';
    const name = document.createElement('b');
    name.textContent = mood.name;
    const flower = document.createElement('small');
    flower.textContent = mood.flower;
    card.append(flowerIcon(mood), name, flower);
    label.append(input, card);
    grid.append(label);
  }

  const chosen = () => form.elements.mood.value;
  const tooLong = () => Math.max(0, noteLength(note.value.trim()) - NOTE_MAX);

  function update() {
    const n = noteLength(note.value);
    count.textContent = String(n);
    const extra = tooLong();
    over.hidden = extra === 0;
    over.textContent = extra ? `多了 ${extra} 个字，删去一些才能种下。` : '';
    count.parentElement.classList.toggle('over', extra > 0);
    plantButton.disabled = !chosen() || extra > 0;
  }

  function showReplace(entry) {
    replaceHint.hidden = !entry;
    if (!entry) return;
    const mood = moodOf(entry.mood);
    replaceHint.textContent = `这一天已经种下了${mood.flower}（${mood.name}）。再种一次会替换它。`;
  }

  function fill(today, entry) {
    day = today;
    $('editor-date').textContent = longDate(today);
    form.reset();
    if (entry) {
      form.elements.mood.value = entry.mood;
      note.value = entry.note;
    }
    showReplace(entry);
    moved.hidden = true;
    error.hidden = true;
    update();
  }

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

  form.addEventListener('submit', (event) => {
    event.preventDefault();
    const mood = chosen();
    if (!mood || tooLong()) return;
    try {
      // False when the day changed under the user: the editor has moved and said so.
      if (plant(day, mood, note.value.trim())) drafting = false;
    } catch (e) {
      error.textContent = `没能种下：${e.message}。`;
      error.hidden = false;
    }
  });

  return {
    get day() { return day; },
    get drafting() { return drafting; },
    // Opens on `today`; `entry` is what is already planted there. A draft
    // in progress is kept as it is.
    open(today, entry) {
      if (drafting) {
        if (today !== day) this.moveTo(today, entry);
        return;
      }
      fill(today, entry);
    },
    // The date changed with the editor open or a draft waiting: the draft
    // now belongs to the new day, and the user is told in one line.
    moveTo(today, entry) {
      if (today === day) return;
      if (drafting) {
        day = today;
        $('editor-date').textContent = longDate(today);
        showReplace(entry);
        error.hidden = true;
      } else {
        fill(today, entry);
      }
      moved.textContent = `日期变了，现在种下的是 ${longDate(today)}。`;
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

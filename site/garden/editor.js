// The planting editor, "种下今天": one mood, an optional short note.
import { MOODS, moodOf } from './moods.js';
import { longDate } from './days.js';
import { flowerIcon } from './garden.js';

const $ = (id) => document.getElementById(id);

export function createEditor({ plant, cancel }) {
  const form = $('editor-form');
  const grid = $('mood-grid');
  const note = $('note');
  const count = $('note-count');
  const plantButton = $('editor-plant');
  const error = $('editor-error');
  const replaceHint = $('editor-replace');
  let day = null;

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
  const updateCount = () => { count.textContent = String(note.value.length); };

  grid.addEventListener('change', () => { plantButton.disabled = !chosen(); });
  note.addEventListener('input', updateCount);
  $('editor-cancel').addEventListener('click', cancel);

  form.addEventListener('submit', (event) => {
    event.preventDefault();
    const mood = chosen();
    if (!mood) return;
    try {
      plant(day, mood, note.value.trim());
    } catch (e) {
      error.textContent = `没能种下：${e.message}。`;
      error.hidden = false;
    }
  });

  return {
    // `entry` is what is already planted on `today`, if anything.
    open(today, entry) {
      day = today;
      $('editor-date').textContent = longDate(today);
      form.reset();
      if (entry) {
        form.elements.mood.value = entry.mood;
        note.value = entry.note;
        const mood = moodOf(entry.mood);
        replaceHint.textContent = `今天已经种下了${mood.flower}（${mood.name}）。再种一次会替换它。`;
      }
      replaceHint.hidden = !entry;
      error.hidden = true;
      plantButton.disabled = !chosen();
      updateCount();
    },
    focus() {
      const picked = grid.querySelector('input:checked') || grid.querySelector('input');
      picked.focus();
    },
  };
}

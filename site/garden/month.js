// The menu's month at a glance: any month from the first planted one to this
// one (or to a later one that holds a day, planted while the clock was
// wrong), day by day under a weekday header, with its counts per mood. Each
// mood's mark is dark enough for its track and carries a pattern of its own,
// so that no mood is told by colour alone.
import { MOODS, deepColour, moodOf } from './moods.js';
import { addMonths, dayKey, daysInMonth, localDate, monthKey, parseKey } from './days.js';
import { flowerIcon } from './garden.js';
import { $, item } from './dom.js';

// A mood's mark: its colour and, from the style sheet, its pattern.
function moodMark(mood) {
  const mark = item('i', 'mark');
  mark.dataset.mood = mood.id;
  mark.style.backgroundColor = deepColour(mood);
  return mark;
}

// `pick(key)` reads a day.
export function createMonth({ state, pick }) {
  let shown = null; // { y, m }
  // The first and last month that can be shown.
  let first = null;
  let last = null;

  const thisMonth = () => {
    const { y, m } = parseKey(state.today);
    return { y, m };
  };
  const isThisMonth = ({ y, m }) => monthKey(y, m) === state.today.slice(0, 7);
  const index = ({ y, m }) => y * 12 + m;

  // The month's days, Monday first, each one a way to read that day.
  function drawDays({ y, m }) {
    const blank = (localDate(y, m - 1, 1).getDay() + 6) % 7;
    const cells = Array.from({ length: blank }, () => item('li', 'blank'));
    const counts = new Map(MOODS.map((mood) => [mood.id, 0]));
    for (let d = 1; d <= daysInMonth(y, m); d++) {
      const key = dayKey(y, m, d);
      const entry = state.days.get(key);
      const b = item('button', '', String(d));
      b.type = 'button';
      b.dataset.day = key;
      if (key === state.today) b.classList.add('today');
      if (entry) {
        const mood = moodOf(entry.mood);
        counts.set(mood.id, counts.get(mood.id) + 1);
        b.dataset.mood = mood.id;
        b.append(moodMark(mood));
      }
      b.setAttribute('aria-label', `${m}月${d}日${entry ? `，${moodOf(entry.mood).name}` : ''}`);
      const li = item('li');
      li.append(b);
      cells.push(li);
    }
    $('month-days').replaceChildren(...cells);
    return counts;
  }

  function drawCounts(counts) {
    const most = Math.max(1, ...counts.values());
    $('month-counts').replaceChildren(...MOODS.map((mood) => {
      const n = counts.get(mood.id);
      const li = item('li');
      li.dataset.mood = mood.id;
      const bar = item('span', 'bar');
      const fill = moodMark(mood);
      fill.style.width = `${(n / most) * 100}%`;
      bar.append(fill);
      li.append(flowerIcon(mood), item('span', 'name', mood.name), bar, item('span', 'n', `${n} 天`));
      return li;
    }));
    return [...counts.values()].reduce((a, b) => a + b, 0);
  }

  function draw() {
    const { y, m } = shown;
    const total = drawCounts(drawDays(shown));
    const now = isThisMonth(shown);
    $('month-title').textContent = `${y}年${m}月的心情`;
    $('month-total').textContent = now
      ? `这个月过了 ${parseKey(state.today).d} 天，种了 ${total} 天。`
      : `这个月 ${daysInMonth(y, m)} 天，种了 ${total} 天。`;
    $('month-next').disabled = index(shown) >= index(last);
    $('month-prev').disabled = index(shown) <= index(first);
    $('month-year').value = String(y);
  }

  // The years to jump to: this one and those with a planted day.
  function drawYears() {
    const now = thisMonth();
    const years = new Set([now.y]);
    last = now;
    for (const key of state.days.keys()) {
      years.add(Number(key.slice(0, 4)));
      if (key.slice(0, 7) > monthKey(last.y, last.m)) last = parseKey(key);
    }
    const sorted = [...years].sort((a, b) => b - a);
    first = { y: sorted.at(-1), m: 1 };
    $('month-year').replaceChildren(...sorted.map((y) => {
      const option = item('option', '', `${y}年`);
      option.value = String(y);
      return option;
    }));
  }

  // Never past the last month, never before the first year.
  function show(month) {
    shown = index(month) > index(last) ? { y: last.y, m: last.m } : index(month) < index(first) ? first : month;
    draw();
  }

  $('month-prev').addEventListener('click', () => show(addMonths(shown, -1)));
  $('month-next').addEventListener('click', () => show(addMonths(shown, 1)));
  $('month-year').addEventListener('change', (event) => show({ y: Number(event.target.value), m: shown.m }));
  $('month-days').addEventListener('click', (event) => {
    const key = event.target.closest('button')?.dataset.day;
    if (key) pick(key);
  });

  return {
    // Opens on this month, or on `key`'s month, keeping the one shown if
    // it is still there to show.
    open(key) {
      drawYears();
      const p = key ? parseKey(key) : shown || thisMonth();
      show({ y: p.y, m: p.m });
    },
    // Shows the month of `key` unless it is shown already.
    reveal(key) {
      const { y, m } = parseKey(key);
      if (!shown || monthKey(y, m) !== monthKey(shown.y, shown.m)) show({ y, m });
      for (const b of document.querySelectorAll('#month-days button')) b.setAttribute('aria-pressed', String(b.dataset.day === key));
    },
    close() {
      shown = null;
      $('month-days').replaceChildren();
      $('month-counts').replaceChildren();
      $('month-year').replaceChildren();
    },
  };
}

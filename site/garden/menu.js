// The menu the tray's "花园菜单" opens: this month day by day and its counts,
// any day's mood and whole note, gardens of past years, the history of
// planted days, what was set aside, and backup and restore (backup.js).
// Its lists are built when it opens and dropped when it closes, so the
// wallpaper carries none of them; the history is built a page at a time, so
// a century of days opens as fast as a month.
import { MOODS, flowerColour, moodOf } from './moods.js';
import { daysInMonth, isRecent, listDate, longDate, parseKey } from './days.js';
import { MAX_DAYS } from './data.js';
import { asideValues, dropAside } from './store.js';
import { flowerIcon } from './garden.js';
import { createBackup } from './backup.js';

const $ = (id) => document.getElementById(id);
const HISTORY_PAGE = 50;
const YEARS_PAGE = 10;

function item(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function button(text, onClick) {
  const b = item('button', '', text);
  b.type = 'button';
  b.addEventListener('click', onClick);
  return b;
}

// `keep(change)` is the app's one way to change the garden; `toEditor(day)`
// opens the editor on a day.
export function createMenu({ state, toWall, toEditor, acknowledge, keep }) {
  let history = [];
  let historyShown = 0;
  let years = [];
  let yearsShown = 0;
  let shownDay = null;
  const backup = createBackup({ state, keep, changed: () => redraw() });
  const { say } = backup;

  function drawMonth() {
    const { y, m, d } = parseKey(state.today);
    const prefix = state.today.slice(0, 8);
    const counts = new Map(MOODS.map((mood) => [mood.id, 0]));
    for (const [key, entry] of state.days) {
      if (key.startsWith(prefix) && key <= state.today) counts.set(entry.mood, counts.get(entry.mood) + 1);
    }
    const most = Math.max(1, ...counts.values());
    const list = $('month-counts');
    list.replaceChildren(...MOODS.map((mood) => {
      const n = counts.get(mood.id);
      const li = item('li');
      li.dataset.mood = mood.id;
      const bar = item('span', 'bar');
      const fill = item('i');
      fill.style.width = `${(n / most) * 100}%`;
      fill.style.background = flowerColour(mood, 0, -6);
      bar.append(fill);
      li.append(flowerIcon(mood), item('span', 'name', mood.name), bar, item('span', 'n', `${n} 天`));
      return li;
    }));
    const total = [...counts.values()].reduce((a, b) => a + b, 0);
    $('month-title').textContent = `${y}年${m}月的心情`;
    $('month-total').textContent = `这个月过了 ${d} 天，种了 ${total} 天。`;
    drawMonthDays(y, m);
  }

  // The month's days, Monday first, each one a way to read that day.
  function drawMonthDays(y, m) {
    const first = (new Date(y, m - 1, 1).getDay() + 6) % 7;
    const cells = [];
    for (let i = 0; i < first; i++) cells.push(item('li', 'blank'));
    for (let d = 1; d <= daysInMonth(y, m); d++) {
      const key = `${y}-${String(m).padStart(2, '0')}-${String(d).padStart(2, '0')}`;
      const entry = state.days.get(key);
      const b = item('button', '', String(d));
      b.type = 'button';
      b.dataset.day = key;
      if (key === state.today) b.classList.add('today');
      if (entry) {
        b.dataset.mood = entry.mood;
        b.style.setProperty('--mood', flowerColour(moodOf(entry.mood)));
      }
      b.setAttribute('aria-label', `${m}月${d}日${entry ? `，${moodOf(entry.mood).name}` : ''}`);
      const li = item('li');
      li.append(b);
      cells.push(li);
    }
    $('month-days').replaceChildren(...cells);
  }

  // One day, whole note included, and what can be done with it. Days long
  // gone and days still to come are only read.
  function showDay(key) {
    shownDay = key;
    const entry = state.days.get(key);
    const mood = entry && moodOf(entry.mood);
    const today = key === state.today;
    $('day-title').textContent = `${longDate(key)}${today ? ' · 今天' : ''}`;
    const moodLine = $('day-mood');
    if (mood) moodLine.replaceChildren(flowerIcon(mood), item('span', '', `${mood.name} · ${mood.flower}`));
    else moodLine.replaceChildren(key > state.today ? '' : today ? '今天还未种下。' : '这天没有种花。');
    $('day-note').hidden = !entry?.note;
    $('day-note').textContent = entry?.note || '';
    const recent = isRecent(key, state.today);
    const hint = key > state.today
      ? '这一天还没到呢，到了那天再来种吧。'
      : recent ? '' : '这是一周以前的日子了，只能看看，不能再改。最近 7 天的可以补种或修改。';
    $('day-hint').hidden = !hint;
    $('day-hint').textContent = hint;
    const plant = $('day-plant');
    plant.hidden = !recent;
    plant.textContent = entry ? '改一改这一天' : today ? '种下今天' : '补种这一天';
    for (const b of document.querySelectorAll('#month-days button')) b.setAttribute('aria-pressed', String(b.dataset.day === key));
  }

  // Every year before this one, newest first, with its totals by mood.
  function drawYears() {
    const thisYear = state.today.slice(0, 4);
    const byYear = new Map();
    for (const [key, { mood }] of state.days) {
      const y = key.slice(0, 4);
      if (y >= thisYear) continue;
      let counts = byYear.get(y);
      if (!counts) byYear.set(y, (counts = new Map()));
      counts.set(mood, (counts.get(mood) || 0) + 1);
    }
    years = [...byYear].sort(([a], [b]) => (a < b ? 1 : -1));
    yearsShown = 0;
    $('years').hidden = years.length === 0;
    $('years-list').replaceChildren();
    moreYears();
  }

  function moreYears() {
    const next = years.slice(yearsShown, yearsShown + YEARS_PAGE);
    yearsShown += next.length;
    $('years-list').append(...next.map(([y, counts]) => {
      const li = item('li');
      li.dataset.year = y;
      const total = [...counts.values()].reduce((a, b) => a + b, 0);
      li.append(item('b', '', `${Number(y)}年`), item('span', 'y-total', `种下 ${total} 朵花`));
      const moods = item('span', 'y-moods');
      for (const mood of MOODS) {
        const n = counts.get(mood.id) || 0;
        if (!n) continue;
        const tag = item('span', 'y-mood');
        tag.dataset.mood = mood.id;
        tag.append(flowerIcon(mood), item('span', '', `${mood.name} ${n}`));
        moods.append(tag);
      }
      li.append(moods);
      return li;
    }));
    const left = years.length - yearsShown;
    $('years-more').hidden = left === 0;
    $('years-more').textContent = `再看早一些的 ${Math.min(left, YEARS_PAGE)} 年`;
  }

  // Planted days up to today, newest first; each opens in the day view.
  function drawHistory() {
    history = [...state.days.keys()].filter((k) => k <= state.today).sort().reverse();
    historyShown = 0;
    $('history-empty').hidden = history.length > 0;
    $('history-list').replaceChildren();
    moreHistory();
  }

  function moreHistory() {
    const keys = history.slice(historyShown, historyShown + HISTORY_PAGE);
    historyShown += keys.length;
    $('history-list').append(...keys.map((key) => {
      const { mood: id, note } = state.days.get(key);
      const mood = moodOf(id);
      const li = item('li');
      li.dataset.day = key;
      const open = item('button', 'h-day');
      open.type = 'button';
      open.dataset.day = key;
      const time = item('time', '', listDate(key, state.today));
      time.dateTime = key;
      const moodTag = item('span', 'h-mood');
      moodTag.append(flowerIcon(mood), item('span', '', `${mood.name} · ${mood.flower}`));
      open.append(time, moodTag);
      if (note) open.append(item('span', 'h-note', note));
      li.append(open);
      return li;
    }));
    const left = history.length - historyShown;
    $('history-more').hidden = left === 0;
    $('history-more').textContent = `再看早一些的 ${Math.min(left, HISTORY_PAGE)} 天（还有 ${left} 天）`;
  }

  // What was set aside because it could not be read: export it as it is,
  // and join back whatever of it can be read now.
  function drawAside() {
    const values = asideValues();
    $('aside').hidden = values.length === 0;
    $('aside-list').replaceChildren(...values.map((value) => {
      const li = item('li');
      li.dataset.key = value.name;
      const joinable = [...value.days.keys()].filter((k) => !state.days.has(k));
      const parts = [];
      if (value.whole) parts.push('整份读不出来');
      else if (value.unread) parts.push(`${value.unread} 天的记录读不出来`);
      if (joinable.length) parts.push(`${joinable.length} 天现在可以合并回花园`);
      li.append(item('p', '', `${value.when || value.name} 另外保管的：${parts.join('，') || '都已经合并回花园了'}。`));
      const actions = item('div', 'actions');
      actions.append(button('导出为文件', async () => {
        const saved = await backup.deliver(value.raw, `情绪花园-另外保管-${value.name}.txt`, '另外保管的内容');
        if (saved) say(`另外保管的内容已经原样存到文件“${saved.file}”。`, 'ok');
      }));
      if (joinable.length) {
        actions.append(button(`合并回花园（${joinable.length} 天）`, async () => {
          let joined = 0;
          try {
            await keep((days) => {
              // Only days the garden still lacks: a day planted meanwhile stays.
              const next = new Map(days);
              for (const [key, entry] of value.days) if (!next.has(key)) { next.set(key, entry); joined++; }
              // A garden over the limit would make a backup that no restore takes.
              if (next.size > MAX_DAYS) throw new Error(`花园最多 ${MAX_DAYS} 天，合并后会有 ${next.size} 天`);
              return new Map([...next].sort(([a], [b]) => (a < b ? -1 : 1)));
            });
          } catch (e) {
            say(`没能合并回花园：${e.message}。花园没有变。`, 'error');
            return;
          }
          dropAside(value);
          redraw();
          say(`已经把 ${joined} 天合并回花园。`, 'ok');
        }));
      }
      const remove = button('删除', () => confirmRemove(li, value, remove));
      actions.append(remove);
      li.append(actions);
      return li;
    }));
  }

  // Deleting a set-aside value cannot be undone, so it is asked once more.
  function confirmRemove(li, value, remove) {
    if (li.querySelector('.aside-confirm')) return;
    const box = item('div', 'aside-confirm');
    const actions = item('div', 'actions');
    const no = button('取消', () => {
      box.remove();
      remove.focus();
    });
    actions.append(no, button('确定删除', () => {
      if (!dropAside(value, true)) {
        say('没能删除这份另外保管的内容，请稍后再试。', 'error');
        return;
      }
      redraw();
      say('已经删除这份另外保管的内容。', 'ok');
      ($('aside-list').querySelector('button') || $('backup-restore')).focus();
    }));
    const warning = item('p', '', '删除后就再也找不回来了。想留着的话，请先导出为文件。');
    warning.setAttribute('role', 'alert');
    box.append(warning, actions);
    li.append(box);
    no.focus();
  }

  function redraw() {
    drawMonth();
    drawYears();
    drawHistory();
    drawAside();
    backup.drawUndo();
    showDay(shownDay && shownDay.slice(0, 7) === state.today.slice(0, 7) ? shownDay : state.today);
  }

  $('menu-wall').addEventListener('click', toWall);
  $('menu-plant').addEventListener('click', () => toEditor());
  $('menu-notice-ok').addEventListener('click', acknowledge);
  $('history-more').addEventListener('click', moreHistory);
  $('years-more').addEventListener('click', moreYears);
  $('day-plant').addEventListener('click', () => toEditor(shownDay));
  for (const id of ['month-days', 'history-list']) {
    $(id).addEventListener('click', (event) => {
      const key = event.target.closest('button')?.dataset.day;
      if (key) showDay(key);
    });
  }

  return {
    open() {
      shownDay = null;
      redraw();
    },
    close() {
      backup.close();
      history = [];
      years = [];
      for (const id of ['history-list', 'month-counts', 'month-days', 'years-list', 'aside-list']) $(id).replaceChildren();
    },
    focus() {
      $('menu-wall').focus();
    },
  };
}

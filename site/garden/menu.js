// The menu the tray's "花园菜单" opens: any month day by day and its counts
// (month.js), any day's mood and whole note (day.js), search in the notes,
// gardens of past years, the history of planted days, what was set aside,
// backup and restore (backup.js), a picture of the wall, and what the wall
// shows. Its lists are built when it opens and dropped when it closes, so
// the wallpaper carries none of them; the history is built a page at a
// time, so a century of days opens as fast as a month.
import { MOODS, moodOf } from './moods.js';
import { sortedByKey } from './data.js';
import { daysBetween, listDate } from './days.js';
import { flowerIcon } from './garden.js';
import { createBackup } from './backup.js';
import { createMonth } from './month.js';
import { createDayView } from './day.js';
import { createAside } from './aside.js';
import { createAutoBackup } from './auto.js';
import { $, item } from './dom.js';
import { findDays, marked, wordsOf } from './search.js';
import { dayPref, pref, setPref } from './prefs.js';

const HISTORY_PAGE = 50;
// Found days come fewer at a time: a screenful or two, drawn as fast as a key is typed.
const FOUND_PAGE = 20;
const YEARS_PAGE = 10;
// A backup is suggested once it is this old and this many days were planted since.
const BACKUP_DAYS = 30;
const BACKUP_PLANTED = 7;

// A past year and its totals by mood.
function yearRow([y, counts]) {
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
}

// A planted day in the history, its note's first line with `words` marked.
function historyRow(key, { mood: id, note }, today, words) {
  const mood = moodOf(id);
  const li = item('li');
  li.dataset.day = key;
  const open = item('button', 'h-day');
  open.type = 'button';
  open.dataset.day = key;
  const time = item('time', '', listDate(key, today));
  time.dateTime = key;
  const moodTag = item('span', 'h-mood');
  moodTag.append(flowerIcon(mood), item('span', '', `${mood.name} · ${mood.flower}`));
  open.append(time, moodTag);
  if (key > today) open.append(item('span', 'h-later', '在今天之后'));
  if (note) {
    const line = item('span', 'h-note');
    line.append(...(words.length ? marked(note, words) : [note]));
    open.append(line);
  }
  li.append(open);
  return li;
}

// When a backup is due, the one quiet line that says so. An automatic copy
// counts as much as one to a file.
function backupDue(state) {
  const last = [dayPref('lastBackup', state.today), dayPref('lastAuto', state.today)].filter(Boolean).sort().at(-1) ?? null;
  let planted = 0;
  let since = last;
  for (const key of state.days.keys()) {
    if (key > state.today || (last && key <= last)) continue;
    planted++;
    if (!since || key < since) since = key;
  }
  const age = since ? daysBetween(since, state.today) : 0;
  if (age <= BACKUP_DAYS || planted < BACKUP_PLANTED) return '';
  return last
    ? `已经 ${age} 天没有备份了，这期间种了 ${planted} 天。可以在下面的“备份与恢复”里备份到文件。`
    : `花园还没有备份过，已经种了 ${planted} 天。可以在下面的“备份与恢复”里备份到文件。`;
}

// `keep(change)` is the app's one way to change the garden; `toEditor(day)`
// opens the editor on a day; `drawWall()` draws the wall again.
export function createMenu({ state, toWall, toEditor, acknowledge, keep, drawWall }) {
  let history = [];
  let historyShown = 0;
  let words = [];
  let years = [];
  let yearsShown = 0;
  const backup = createBackup({ state, keep, changed: () => redraw(), backedUp: drawReminder });
  const { say } = backup;
  const dayView = createDayView({ state, keep, toEditor, changed: () => redraw() });
  const month = createMonth({ state, pick: showDay });
  const aside = createAside({ state, keep, backup, changed: () => redraw() });
  const auto = createAutoBackup({ state, drawn: drawReminder });

  function showDay(key) {
    dayView.show(key);
    month.reveal(key);
  }

  function drawReminder() {
    const text = backupDue(state);
    $('backup-reminder').hidden = !text;
    $('backup-reminder').textContent = text;
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
    years = [...sortedByKey(byYear)].reverse();
    yearsShown = 0;
    $('years').hidden = years.length === 0;
    $('years-list').replaceChildren();
    moreYears();
  }

  function moreYears() {
    const next = years.slice(yearsShown, yearsShown + YEARS_PAGE);
    yearsShown += next.length;
    $('years-list').append(...next.map(yearRow));
    const left = years.length - yearsShown;
    $('years-more').hidden = left === 0;
    $('years-more').textContent = `显示更早的 ${Math.min(left, YEARS_PAGE)} 年`;
  }

  // Planted days, newest first, or those whose note holds the words searched
  // for; each opens in the day view. A day after today is among them: a
  // clock once set wrong may have planted it.
  function drawHistory() {
    const query = $('search').value;
    words = wordsOf(query);
    history = words.length ? findDays(state.days, words) : [...state.days.keys()].sort().reverse();
    historyShown = 0;
    $('history-title').textContent = !words.length ? '种过的日子'
      : history.length ? `写着“${query.trim()}”的日子：${history.length} 天` : `没有哪天写着“${query.trim()}”`;
    $('history-empty').hidden = history.length > 0 || words.length > 0;
    $('history-list').replaceChildren();
    moreHistory();
  }

  function moreHistory() {
    const page = words.length ? FOUND_PAGE : HISTORY_PAGE;
    const keys = history.slice(historyShown, historyShown + page);
    historyShown += keys.length;
    $('history-list').append(...keys.map((key) => historyRow(key, state.days.get(key), state.today, words)));
    const left = history.length - historyShown;
    $('history-more').hidden = left === 0;
    $('history-more').textContent = `显示更早的 ${Math.min(left, page)} 天（还剩 ${left} 天）`;
  }

  function redraw() {
    month.open();
    drawYears();
    drawHistory();
    aside.draw();
    drawReminder();
    backup.drawUndo();
    backup.drawLast();
    auto.draw();
    showDay(dayView.day || state.today);
  }

  // The wall as it is now, through the same path as a backup. Its code is
  // fetched when first asked for, not with every start of the wall.
  async function savePicture() {
    await state.ready; // the wall drawn from the durable copy
    let picture;
    try {
      const { wallPicture } = await import('./picture.js');
      picture = await wallPicture();
    } catch {
      say('没能生成图片，花园没有存成图片。', 'error');
      return;
    }
    const saved = await backup.deliver(picture, `情绪花园-${state.today}.png`, '图片',
      [{ description: 'PNG 图片', accept: { 'image/png': ['.png'] } }]);
    if (saved) say(`花园的图片已经存到“${saved.file}”。`, 'ok');
  }

  $('menu-wall').addEventListener('click', toWall);
  $('menu-plant').addEventListener('click', () => toEditor());
  $('menu-notice-ok').addEventListener('click', acknowledge);
  $('history-more').addEventListener('click', moreHistory);
  $('years-more').addEventListener('click', moreYears);
  $('history-list').addEventListener('click', (event) => {
    const key = event.target.closest('button')?.dataset.day;
    if (key) showDay(key);
  });
  // Pinyin being composed is not yet a word: search once it is chosen.
  $('search').addEventListener('input', (event) => {
    if (!event.isComposing) drawHistory();
  });
  $('search').addEventListener('compositionend', drawHistory);
  $('menu-picture').addEventListener('click', savePicture);
  $('wall-words').addEventListener('change', (event) => {
    setPref('words', event.target.checked);
    drawWall();
  });

  return {
    open() {
      dayView.close();
      month.close();
      $('search').value = '';
      $('wall-words').checked = pref('words');
      redraw();
    },
    close() {
      backup.close();
      dayView.close();
      month.close();
      history = [];
      years = [];
      for (const id of ['history-list', 'years-list', 'aside-list']) $(id).replaceChildren();
    },
    focus() {
      $('menu-wall').focus();
    },
    refresh: redraw,
    // Asks for the weekly copy, when one is due.
    backupCopy: auto.copy,
  };
}

// Starts the garden: reads the stored days, draws the wallpaper, tells the
// host it can show it, then answers the host's mode words.
import { MOODS, moodOf, textColour } from './moods.js';
import { isRecent, keyOf, longDate, msToNextMidnight, parseKey, yearAgo } from './days.js';
import { load, save, watch } from './store.js';
import { drawGarden, flowerIcon } from './garden.js';
import { createEditor } from './editor.js';
import { createMenu } from './menu.js';
import { pref, setPref } from './prefs.js';
import { MENU, PLANT, SHOW_EDITOR, SHOW_WALL, WALL } from './words.js';
import { $ } from './dom.js';

const bridge = window.gardenBridge;

const loaded = load(new Date());
const state = {
  today: keyOf(new Date()),
  days: loaded.days,
  problem: loaded.problem,
  view: WALL,
  from: WALL, // where the editor was opened from
  grow: null,
  // Settles once the durable copy has been read and drawn if newer: nothing
  // is computed from the garden to be saved before then.
  ready: null,
};

// A day's flower on the wall, its mood's word apart, so that the switch
// 壁纸上显示心情文字 can hide the word and leave the flower.
function moodWords(label, mood) {
  const word = document.createElement('span');
  word.className = 'word';
  word.textContent = `${mood.name} · `;
  return [label, flowerIcon(mood), word, mood.flower];
}

// "一年前的今天": the flower planted on this date a year ago, drawn with the
// wall, so once a day unless something is planted. Never its note: anyone
// walking past sees the wallpaper.
function drawYearAgo() {
  const key = yearAgo(state.today);
  const entry = state.days.get(key);
  const line = $('year-ago');
  line.hidden = !entry;
  if (!entry) return;
  line.replaceChildren(...moodWords('一年前的今天：', moodOf(entry.mood)));
}

// An empty garden says once how to plant; after the first flower, never again.
function newcomer() {
  if (state.days.size) setPref('planted', true);
  return !state.days.size && !pref('planted');
}

function drawWall() {
  const { planted, months } = drawGarden($('garden-rows'), state);
  state.grow = null;
  $('wall').dataset.words = pref('words') ? 'on' : 'off';
  $('today-line').textContent = longDate(state.today);
  const entry = state.days.get(state.today);
  const first = newcomer();
  $('today-mood').hidden = first;
  $('today-mood').replaceChildren(...(entry ? moodWords('今天：', moodOf(entry.mood)) : ['今天还没种花']));
  // The count says what the wall shows: in January the whole past year
  // stays up, with the new year's first bed under it.
  const { y } = parseKey(state.today);
  const newYear = months.length > 12;
  const lastYear = newYear ? planted - (months.at(-1).planted) : 0;
  $('year-count').textContent = first
    ? '还没有种花。点任务栏右下角的小花图标，选“种下今天”，种下第一朵吧。以前备份过的花园，可以在“花园菜单”→“从备份恢复”里找回来。'
    : newYear ? `${y - 1}年种下了 ${lastYear} 朵花` : `最近十二个月种下了 ${planted} 朵花`;
  $('new-year').hidden = !newYear;
  $('new-year').textContent = newYear ? `${y}年的花床在最下面一行。` : '';
  $('garden').setAttribute('aria-label', newYear
    ? `${y - 1}年全年和${y}年1月的情绪花园，共 ${planted} 朵花`
    : `最近十二个月的情绪花园，共 ${planted} 朵花`);
  drawYearAgo();
}

function problemText(p, detail) {
  const readOnly = '为免覆盖原来的记录，现在只能查看，暂时不能种花或恢复备份。';
  const more = detail ? '' : '详情请看托盘菜单里的“花园菜单”。';
  // Only a backup file brings back a garden lost whole: say where it goes in.
  const home = detail ? '点下面的“从备份恢复”' : '在“花园菜单”里点“从备份恢复”';
  switch (p.kind) {
    case 'damaged':
      if (p.whole) return `保存的花园读不出来，已经原样另外保管，花园先从空白开始。备份过的话，${home}，就能把存成文件的花园找回来。`;
      return p.unread
        ? `有 ${p.unread} 天的记录读不出来，已经另外保管；其余的花都在。${more}`
        : `保存的花园有一部分读不出来，已经另外保管；所有的花都在。${more}`;
    case 'stuck':
      return p.whole
        ? `保存的花园读不出来，也没能另外保管。${readOnly}`
        : `有 ${p.unread} 天的记录读不出来，也没能另外保管。${readOnly}`;
    case 'newer':
      return `这座花园是新版 Verdalune 保存的${p.unread ? `，其中 ${p.unread} 天这个版本显示不了` : ''}。`
        + '现在只能查看，不能种花或恢复备份；请更新 Verdalune。';
    default:
      return `没能读取这台电脑上保存的花园。${readOnly}`;
  }
}

function drawProblem() {
  const p = state.problem;
  $('notice').hidden = !p;
  $('menu-notice').hidden = !p;
  if (!p) return;
  $('notice').textContent = problemText(p, false);
  let detail = problemText(p, true);
  if (p.reason) detail += `原因：${p.reason}。`;
  if (p.kind === 'damaged') detail += '读不出来的部分在下面的“另外保管的内容”里，可以导出为文件。';
  $('menu-notice-text').textContent = detail;
}

// The day changes at local midnight, after sleep, and when the clock or the
// time zone changes, while the page stays open for weeks with no focus or
// visibility events to notice it. One timer a minute compares the date and
// does nothing else unless it changed.
function checkToday() {
  const today = keyOf(new Date());
  if (today === state.today) return;
  const before = state.today;
  state.today = today;
  drawWall();
  // A draft for today becomes one for the new today, as does one for a day
  // that can no longer be changed; a draft for another recent day stays.
  const day = editor.day;
  if ((state.view === PLANT || editor.drafting) && (day === before || !isRecent(day, today))) {
    editor.moveTo(today, state.days.get(today));
  }
  if (state.view === MENU) menu.open();
}

let tick = 0;
function scheduleTick() {
  clearTimeout(tick);
  tick = setTimeout(() => {
    checkToday();
    scheduleTick();
  }, Math.min(60000, msToNextMidnight(new Date()) + 50));
}

function setView(view) {
  state.view = view;
  document.body.dataset.view = view;
  $('editor').hidden = view !== PLANT;
  $('menu').hidden = view !== MENU;
  // Behind an open panel nothing can be reached, by mouse, keys or reader.
  $('wall').inert = view !== WALL;
  $('preview-bar').inert = view !== WALL;
  if (view !== MENU) menu.close();
}

// Opens the editor on `day` (today unless the menu asks for another).
function openEditor(day = state.today) {
  if (state.view !== PLANT || day !== editor.day) {
    if (state.view !== PLANT) state.from = state.view === MENU ? MENU : WALL;
    editor.open(day, state.days.get(day));
    setView(PLANT);
  }
  editor.focus();
}

function openMenu() {
  if (state.view !== MENU) {
    setView(MENU);
    menu.open();
  }
  menu.focus();
}

function toWall() {
  setView(WALL);
  bridge.post(SHOW_WALL);
}

function cancelEditor() {
  editor.drop();
  if (state.from === MENU) openMenu();
  else toWall();
}

// The one writer of the garden. `change(days)` makes the next garden from
// the newest one: called only once the durable copy has been read and every
// earlier change saved, and with the stored garden, so that none is made
// from a stale one. It gives a Map, or { days, restore } for a restore that
// 撤销恢复 can undo (see save), and may throw to refuse. A change is shown
// once it is on disk; when it cannot be saved nothing changes and the Error
// says why.
let saving = null;
function keep(change, grow = null) {
  const done = saving.then(async () => {
    const days = await save(change);
    state.days = days;
    state.grow = grow;
    drawWall();
    return days;
  });
  saving = done.catch(() => {});
  return done;
}

const editor = createEditor({
  async plant(day, mood, note) {
    checkToday();
    if (day !== editor.day) return false;
    if (!isRecent(day, state.today)) throw new Error('只有最近 7 天可以种花或修改');
    await keep((days) => new Map(days).set(day, { mood, note }), day);
    toWall();
    menu.backupCopy();
    return true;
  },
  entryOf: (day) => state.days.get(day),
  today: () => state.today,
  cancel: cancelEditor,
});

const menu = createMenu({
  state,
  toWall,
  toEditor: openEditor,
  keep,
  drawWall,
  acknowledge() {
    state.problem = null;
    drawProblem();
    $('menu-wall').focus();
  },
});

// Keeps Tab inside the open panel: the host would otherwise take the focus
// out of the page when it runs past the last control.
function tabStops(layer) {
  return [...layer.querySelectorAll('button, input, textarea, [tabindex]')].filter((el) => {
    if (el.disabled || el.tabIndex < 0 || !el.getClientRects().length) return false;
    if (el.type !== 'radio') return true;
    const group = [...layer.querySelectorAll(`input[type=radio][name="${el.name}"]`)];
    const checked = group.find((r) => r.checked);
    return checked ? el === checked : el === group[0];
  });
}

function trapTab(event) {
  const layer = state.view === PLANT ? $('editor') : $('menu');
  const stops = tabStops(layer);
  if (!stops.length) return;
  const first = stops[0];
  const last = stops.at(-1);
  const at = document.activeElement;
  const inFirst = at === first || (first.type === 'radio' && at.name === first.name);
  if (event.shiftKey && (inFirst || !layer.contains(at))) {
    event.preventDefault();
    last.focus();
  } else if (!event.shiftKey && (at === last || !layer.contains(at))) {
    event.preventDefault();
    first.focus();
  }
}

function onWord(word) {
  checkToday();
  if (word === PLANT) {
    openEditor();
    bridge.post(SHOW_EDITOR);
  } else if (word === MENU) {
    openMenu();
    bridge.post(SHOW_EDITOR);
  } else {
    toWall();
  }
}

document.addEventListener('keydown', (event) => {
  if (state.view === WALL) return;
  if (event.key === 'Escape') {
    event.preventDefault();
    if (state.view === PLANT) cancelEditor();
    else toWall();
  } else if (event.key === 'Tab') {
    trapTab(event);
  }
});
// An app, not a browser: its menu (back, print, inspect) only where text is
// edited, for cut, copy and paste.
document.addEventListener('contextmenu', (event) => {
  if (!event.target.closest?.('textarea, input[type=text]')) event.preventDefault();
});
document.addEventListener('visibilitychange', checkToday);
window.addEventListener('focus', checkToday);

$('legend').replaceChildren(...MOODS.map((mood) => {
  const li = document.createElement('li');
  const name = document.createElement('span');
  name.className = 'word';
  name.textContent = mood.name;
  name.style.color = textColour(mood);
  li.append(flowerIcon(mood), name);
  return li;
}));
drawWall();
drawProblem();
// The durable copy, read meanwhile, wins when it is the newer; what
// 撤销恢复 can undo is known only from it.
state.ready = loaded.later.then((found) => {
  if (found && (found.days !== state.days || found.problem !== state.problem)) {
    state.days = found.days;
    state.problem = found.problem;
    drawWall();
    drawProblem();
  }
  if (state.view === MENU) menu.open();
});
saving = state.ready;
menu.backupCopy();
// Another page on this profile saved: the garden is drawn again from the store.
watch((days) => {
  state.days = days;
  drawWall();
  if (state.view === MENU) menu.refresh();
});

// A plain browser has no tray; give it the two ways in that the tray offers.
if (!bridge.hasHost()) {
  const bar = $('preview-bar');
  bar.hidden = false;
  bar.addEventListener('click', (event) => {
    const word = event.target.closest('button')?.dataset.word;
    if (word) window.moodMode(word);
  });
}

performance.mark('garden-drawn');
bridge.post(SHOW_WALL);
bridge.connect(onWord);
scheduleTick();

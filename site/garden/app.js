// Starts the garden: reads the stored days, draws the wallpaper, tells the
// host it can show it, then answers the host's mode words.
import { MOODS, moodOf, baseColour } from './moods.js';
import { keyOf, longDate, msToNextMidnight } from './days.js';
import { load, save } from './store.js';
import { drawGarden, flowerIcon, VIEW_BOX } from './garden.js';
import { createEditor } from './editor.js';
import { createMenu } from './menu.js';

const bridge = window.gardenBridge;
const $ = (id) => document.getElementById(id);

const loaded = load(new Date());
const state = {
  today: keyOf(new Date()),
  days: loaded.days,
  problem: loaded.problem,
  view: 'wall',
  grow: null,
};

function drawWall() {
  const planted = drawGarden($('garden-rows'), state);
  state.grow = null;
  $('today-line').textContent = longDate(state.today);
  const entry = state.days.get(state.today);
  const mood = entry && moodOf(entry.mood);
  $('today-mood').textContent = mood
    ? `今天：${mood.name} · ${mood.flower}`
    : '今天还没有种花，在托盘菜单里选“种下今天”。';
  $('year-count').textContent = planted ? `这一年种下了 ${planted} 朵花` : '';
}

const PROBLEM_SHORT = {
  damaged: '保存的花园数据无法读取，已原样另存，花园从空白重新开始。详情见“花园菜单”。',
  stuck: '保存的花园数据无法读取，也无法另存。为了不覆盖它，现在不能种花或恢复备份。',
  unavailable: '无法使用本地存储，现在不能种花或恢复备份。',
};

function problemDetail(p) {
  if (p.kind === 'damaged') {
    return `保存的花园数据无法读取（${p.reason}）。原来的内容没有删除，已另存在本地存储的“${p.asideKey}”中；花园从空白重新开始。`;
  }
  if (p.kind === 'stuck') {
    return `保存的花园数据无法读取（${p.reason}），也无法另存。为了不覆盖它，现在不能种花或恢复备份。`;
  }
  return PROBLEM_SHORT.unavailable;
}

function drawProblem() {
  const p = state.problem;
  $('notice').hidden = !p;
  $('menu-notice').hidden = !p;
  if (!p) return;
  $('notice').textContent = PROBLEM_SHORT[p.kind];
  $('menu-notice-text').textContent = problemDetail(p);
}

// The day changes at local midnight while the page stays open for weeks.
// Timers can run late after the computer sleeps, so the date is also checked
// whenever the page is looked at or spoken to.
function checkToday() {
  const today = keyOf(new Date());
  if (today === state.today) return;
  state.today = today;
  drawWall();
}

let midnightTimer = 0;
function scheduleMidnight() {
  clearTimeout(midnightTimer);
  midnightTimer = setTimeout(() => {
    checkToday();
    scheduleMidnight();
  }, msToNextMidnight(new Date()) + 50);
}

function setView(view) {
  state.view = view;
  document.body.dataset.view = view;
  $('editor').hidden = view !== 'plant';
  $('menu').hidden = view !== 'menu';
  if (view !== 'menu') menu.close();
}

function openEditor() {
  if (state.view !== 'plant') {
    editor.open(state.today, state.days.get(state.today));
    setView('plant');
  }
  editor.focus();
}

function openMenu() {
  if (state.view !== 'menu') {
    setView('menu');
    menu.open();
  }
  menu.focus();
}

function toWall() {
  setView('wall');
  bridge.post('showWall');
}

const editor = createEditor({
  plant(day, mood, note) {
    const next = new Map(state.days);
    next.set(day, { mood, note });
    save(next);
    state.days = next;
    state.grow = day;
    drawWall();
    toWall();
  },
  cancel: toWall,
});

const menu = createMenu({
  state,
  toWall,
  toEditor: openEditor,
  acknowledge() {
    state.problem = null;
    drawProblem();
    $('menu-wall').focus();
  },
  replaceGarden(days) {
    save(days);
    state.days = days;
    drawWall();
  },
});

function onWord(word) {
  checkToday();
  if (word === 'plant') {
    openEditor();
    bridge.post('showEditor');
  } else if (word === 'menu') {
    openMenu();
    bridge.post('showEditor');
  } else {
    toWall();
  }
}

document.addEventListener('keydown', (event) => {
  if (event.key === 'Escape' && state.view !== 'wall') {
    event.preventDefault();
    toWall();
  }
});
document.addEventListener('visibilitychange', checkToday);
window.addEventListener('focus', checkToday);

$('garden').setAttribute('viewBox', VIEW_BOX);
$('legend').replaceChildren(...MOODS.map((mood) => {
  const li = document.createElement('li');
  const name = document.createElement('span');
  name.textContent = mood.name;
  name.style.color = baseColour(mood);
  li.append(flowerIcon(mood), name);
  return li;
}));
drawWall();
drawProblem();

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
bridge.post('showWall');
bridge.connect(onWord);
scheduleMidnight();

// The wall around the garden: the date, today's flower, what the year has
// planted, the new year's bed, the flower of a year ago today, and the
// legend. The garden itself is garden.js's.
import { MOODS, moodOf, textColour } from './moods.js';
import { longDate, parseKey, yearAgo } from './days.js';
import { drawGarden, flowerIcon } from './garden.js';
import { pref, setPref } from './prefs.js';
import { $, item } from './dom.js';

// A day's flower on the wall, its mood's word apart, so that the switch
// 壁纸上显示心情文字 can hide the word and leave the flower.
function moodWords(label, mood) {
  return [label, flowerIcon(mood), item('span', 'word', `${mood.name} · `), mood.flower];
}

// "一年前的今天": the flower planted on this date a year ago, drawn with the
// wall, so once a day unless something is planted. Never its note: anyone
// walking past sees the wallpaper.
function drawYearAgo({ today, days }) {
  const entry = days.get(yearAgo(today));
  const line = $('year-ago');
  line.hidden = !entry;
  if (!entry) return;
  line.replaceChildren(...moodWords('一年前的今天：', moodOf(entry.mood)));
}

// An empty garden says once how to plant; after the first flower, never again.
function newcomer(days) {
  if (days.size) setPref('planted', true);
  return !days.size && !pref('planted');
}

// Draws the garden of `state` and the wall around it; a flower to grow in
// (`state.grow`) grows once.
export function drawWall(state) {
  const { planted, months } = drawGarden($('garden-rows'), state);
  state.grow = null;
  $('wall').dataset.words = pref('words') ? 'on' : 'off';
  $('today-line').textContent = longDate(state.today);
  const entry = state.days.get(state.today);
  const first = newcomer(state.days);
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
  drawYearAgo(state);
}

export function drawLegend() {
  $('legend').replaceChildren(...MOODS.map((mood) => {
    const li = item('li');
    const name = item('span', 'word', mood.name);
    name.style.color = textColour(mood);
    li.append(flowerIcon(mood), name);
    return li;
  }));
}

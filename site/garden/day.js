// One day in the menu, whole note included, and what can be done with it:
// plant or change it, or pull up its flower, while it is one of the last
// seven days. Days long gone and days still to come are only read; a flower
// on a day after today, planted while the clock was wrong, can be pulled up.
import { moodOf } from './moods.js';
import { dayName, isRecent, longDate, shortDate } from './days.js';
import { flowerIcon } from './garden.js';
import { $, item } from './dom.js';

// `keep(change)` saves a garden; `changed()` redraws the menu after it.
export function createDayView({ state, keep, toEditor, changed }) {
  let shown = null;

  function say(text, tone = '') {
    $('day-status').textContent = text;
    $('day-status').dataset.tone = tone;
  }

  function showMood(key, entry) {
    const mood = entry && moodOf(entry.mood);
    const today = key === state.today;
    if (!mood) {
      $('day-mood').replaceChildren(key > state.today ? '' : today ? '今天还没种花。' : '这天没有种花。');
      return;
    }
    $('day-mood').replaceChildren(flowerIcon(mood), item('span', '', `${mood.name} · ${mood.flower}`));
  }

  function show(key) {
    shown = key;
    const entry = state.days.get(key);
    $('day-title').textContent = `${longDate(key)}${key === state.today ? ' · 今天' : ''}`;
    showMood(key, entry);
    $('day-note').hidden = !entry?.note;
    $('day-note').textContent = entry?.note || '';
    const recent = isRecent(key, state.today);
    const later = key > state.today;
    const hint = later && entry ? '这一天在今天之后，可能是电脑的日期曾经不对。这朵花留着；不需要的话，可以拔掉。'
      : later ? '这一天还没到呢，到了那天再来种吧。'
        : recent ? '' : '这一天已超过 7 天，只能查看，不能修改。最近 7 天内的日子可以补种或修改。';
    $('day-hint').hidden = !hint;
    $('day-hint').textContent = hint;
    $('day-plant').hidden = !recent;
    $('day-plant').textContent = entry ? '修改这一天' : key === state.today ? '种下今天' : '补种这一天';
    $('day-pull').hidden = !(recent || later) || !entry;
    $('pull-confirm').hidden = true;
  }

  // The day and its mood, so that the right flower goes.
  function askPull() {
    const entry = state.days.get(shown);
    if (!entry) return;
    const mood = moodOf(entry.mood);
    const date = shortDate(shown, state.today);
    const name = dayName(shown, state.today);
    const when = name === date ? date : `${name}（${date}）`;
    $('pull-text').textContent = `要拔掉${when}种的${mood.flower}（${mood.name}）吗？`
      + `${entry.note ? '那天写的话也会一起删掉。' : ''}拔掉后，这天可以重新种。`;
    $('pull-confirm').hidden = false;
    say('');
    $('pull-no').focus();
  }

  async function pull() {
    const key = shown;
    $('pull-confirm').hidden = true;
    const date = shortDate(key, state.today);
    // The date may have moved on while the question was open.
    if (!isRecent(key, state.today) && key <= state.today) {
      say(`${date}已超过 7 天，不能再拔掉了。`, 'error');
      return;
    }
    try {
      // From the newest garden, whatever was saved meanwhile.
      await keep((days) => {
        const next = new Map(days);
        next.delete(key);
        return next;
      });
    } catch (e) {
      say(`没能拔掉：${e.message}。花园没有变。`, 'error');
      return;
    }
    changed();
    say(`${date}的花已经拔掉了。`, 'ok');
    $('day-plant').focus();
  }

  $('day-plant').addEventListener('click', () => toEditor(shown));
  $('day-pull').addEventListener('click', askPull);
  $('pull-yes').addEventListener('click', pull);
  $('pull-no').addEventListener('click', () => {
    $('pull-confirm').hidden = true;
    $('day-pull').focus();
  });

  return {
    get day() { return shown; },
    show,
    close() {
      shown = null;
      say('');
    },
  };
}

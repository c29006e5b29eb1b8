// The garden menu, "花园菜单": this month's counts, gardens of past years,
// the history of planted days, what was set aside, and backup and restore.
// Its lists are built when it opens and dropped when it closes, so the
// wallpaper carries none of them; the history is built a page at a time, so
// a century of days opens as fast as a month.
import { MOODS, moodOf } from './moods.js';
import { listDate, parseKey } from './days.js';
import { BACKUP_MAX_BYTES, decodeText, fromBackup, toBackup } from './data.js';
import { asideValues, beforeRestore, dropBeforeRestore, joinAside, keepBeforeRestore } from './store.js';
import { flowerIcon } from './garden.js';

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

export function createMenu({ state, toWall, toEditor, acknowledge, replaceGarden }) {
  const status = $('backup-status');
  const backupText = $('backup-text');
  const fileInput = $('restore-file');
  const confirmBox = $('restore-confirm');
  let pending = null;
  let history = [];
  let historyShown = 0;
  let years = [];
  let yearsShown = 0;

  function say(text, tone) {
    status.textContent = text;
    status.dataset.tone = tone;
  }

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
      fill.style.background = `hsl(${mood.hue}, ${mood.sat}%, ${Math.min(mood.light, 70)}%)`;
      bar.append(fill);
      li.append(flowerIcon(mood), item('span', 'name', mood.name), bar, item('span', 'n', `${n} 天`));
      return li;
    }));
    const total = [...counts.values()].reduce((a, b) => a + b, 0);
    $('month-title').textContent = `${y}年${m}月的心情`;
    $('month-total').textContent = `本月已种下 ${total} 天，共过了 ${d} 天。`;
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
    $('years-more').textContent = `显示更早的 ${Math.min(left, YEARS_PAGE)} 年`;
  }

  // Days before today, newest first; today is on the wall already.
  function drawHistory() {
    history = [...state.days.keys()].filter((k) => k < state.today).sort().reverse();
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
      const time = item('time', '', listDate(key, state.today));
      time.dateTime = key;
      const moodTag = item('span', 'h-mood');
      moodTag.append(flowerIcon(mood), item('span', '', `${mood.name} · ${mood.flower}`));
      li.append(time, moodTag);
      if (note) li.append(item('p', 'h-note', note));
      return li;
    }));
    const left = history.length - historyShown;
    $('history-more').hidden = left === 0;
    $('history-more').textContent = `显示更早的 ${Math.min(left, HISTORY_PAGE)} 天（还有 ${left} 天）`;
  }

  // What was set aside because it could not be read: export it as it is,
  // and join back whatever of it can be read now.
  function drawAside() {
    const values = asideValues();
    $('aside').hidden = values.length === 0;
    $('aside-list').replaceChildren(...values.map((value) => {
      const li = item('li');
      li.dataset.key = value.name;
      const joinable = [...value.days.keys()].filter((k) => !state.days.has(k)).length;
      const parts = [];
      if (value.whole) parts.push('整份内容无法读取');
      else if (value.unread) parts.push(`${value.unread} 天的记录无法读取`);
      if (joinable) parts.push(`${joinable} 天现在可以并回花园`);
      li.append(item('p', '', `${value.when || value.name} 另外保管：${parts.join('，') || '都已并回花园'}。`));
      const actions = item('div', 'actions');
      actions.append(button('导出为文件', async () => {
        const saved = await deliver(value.raw, `情绪花园-另外保管-${value.name}.txt`, '另外保管的内容');
        if (saved) say(`已把另外保管的内容原样保存到文件“${saved.file}”。`, 'ok');
      }));
      if (joinable) {
        actions.append(button(`并回 ${joinable} 天`, () => {
          try {
            state.days = joinAside(value, state.days);
          } catch (e) {
            say(`没能并回：${e.message}。花园没有改变。`, 'error');
            return;
          }
          replaceGarden(state.days, false);
          redraw();
          say(`已把 ${joinable} 天并回花园。`, 'ok');
        }));
      }
      li.append(actions);
      return li;
    }));
  }

  function drawUndo() {
    const before = beforeRestore();
    $('restore-undo-box').hidden = !before;
    if (before) $('restore-undo-text').textContent = `恢复之前的花园（${before.size} 天）还留着。`;
  }

  function redraw() {
    drawMonth();
    drawYears();
    drawHistory();
    drawAside();
    drawUndo();
  }

  function clearRestore() {
    pending = null;
    confirmBox.hidden = true;
  }

  // Hands `text` to the user as a file: the save picker, else the
  // clipboard, else a box to copy from.
  async function deliver(text, suggestedName, what, types) {
    clearRestore();
    backupText.hidden = true;
    if (typeof window.showSaveFilePicker === 'function') {
      try {
        const handle = await window.showSaveFilePicker({ suggestedName, types });
        const out = await handle.createWritable();
        await out.write(text);
        await out.close();
        return { file: handle.name };
      } catch (e) {
        if (e && e.name === 'AbortError') {
          say('已取消保存。', '');
          return null;
        }
        // Any other failure of the picker: fall back to the clipboard.
      }
    }
    try {
      await navigator.clipboard.writeText(text);
      say(`已把${what}复制到剪贴板。请粘贴到记事本，保存成文件。`, 'ok');
    } catch {
      backupText.value = text;
      backupText.hidden = false;
      backupText.select();
      say(`无法使用剪贴板。请复制下面的全部内容，粘贴到记事本，保存成文件。`, 'error');
    }
    return null;
  }

  async function backup() {
    const n = state.days.size;
    const saved = await deliver(toBackup(state.days, new Date()), `情绪花园备份-${state.today}.json`, ` ${n} 天的花园备份`,
      [{ description: '情绪花园备份', accept: { 'application/json': ['.json'] } }]);
    if (saved) say(`已把 ${n} 天的花园备份到文件“${saved.file}”。`, 'ok');
  }

  async function readChosenFile() {
    const file = fileInput.files[0];
    fileInput.value = '';
    clearRestore();
    backupText.hidden = true;
    if (!file) return;
    const refuse = (why) => say(`无法恢复：${why}。花园没有改变。`, 'error');
    if (file.size > BACKUP_MAX_BYTES) {
      refuse(`文件太大（${(file.size / 1048576).toFixed(1)} MB），备份文件最多 ${BACKUP_MAX_BYTES / 1048576} MB`);
      return;
    }
    let text;
    try {
      text = decodeText(await file.arrayBuffer());
    } catch {
      refuse('文件无法读取');
      return;
    }
    const read = fromBackup(text, state.today);
    if (read.error) {
      refuse(read.error);
      return;
    }
    pending = read.days;
    const keys = [...pending.keys()];
    const span = keys.length ? `（${keys[0]} 至 ${keys[keys.length - 1]}）` : '';
    $('restore-summary').textContent =
      `备份“${file.name}”中有 ${keys.length} 天的记录${span}。恢复会用它替换当前花园的 ${state.days.size} 天；`
      + '当前的花园会先另外保管，之后可以撤销。';
    say('', '');
    confirmBox.hidden = false;
    $('restore-no').focus();
  }

  function restore() {
    if (!pending) return;
    const days = pending;
    clearRestore();
    try {
      keepBeforeRestore(state.days);
      replaceGarden(days, true);
    } catch (e) {
      say(`无法恢复：${e.message}。花园没有改变。`, 'error');
      return;
    }
    redraw();
    say(`已恢复 ${days.size} 天的花园。`, 'ok');
    $('restore-undo').focus();
  }

  function undo() {
    const before = beforeRestore();
    if (!before) return;
    try {
      replaceGarden(before, true);
    } catch (e) {
      say(`没能撤销：${e.message}。`, 'error');
      return;
    }
    dropBeforeRestore();
    redraw();
    say(`已撤销恢复，花园回到恢复之前的 ${before.size} 天。`, 'ok');
    $('backup-restore').focus();
  }

  $('menu-wall').addEventListener('click', toWall);
  $('menu-plant').addEventListener('click', toEditor);
  $('menu-notice-ok').addEventListener('click', acknowledge);
  $('backup-save').addEventListener('click', backup);
  $('backup-restore').addEventListener('click', () => fileInput.click());
  $('history-more').addEventListener('click', moreHistory);
  $('years-more').addEventListener('click', moreYears);
  fileInput.addEventListener('change', readChosenFile);
  $('restore-yes').addEventListener('click', restore);
  $('restore-undo').addEventListener('click', undo);
  $('restore-no').addEventListener('click', () => {
    clearRestore();
    say('已取消恢复，花园没有改变。', '');
  });

  return {
    open: redraw,
    close() {
      clearRestore();
      say('', '');
      backupText.value = '';
      backupText.hidden = true;
      history = [];
      years = [];
      for (const id of ['history-list', 'month-counts', 'years-list', 'aside-list']) $(id).replaceChildren();
    },
    focus() {
      $('menu-wall').focus();
    },
  };
}

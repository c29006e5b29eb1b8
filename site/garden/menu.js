// The garden menu, "花园菜单": this month's counts, the history of planted
// days, and backup and restore. Its lists are built when it opens and
// dropped when it closes, so the wallpaper carries none of them.
import { MOODS, moodOf } from './moods.js';
import { listDate, parseKey } from './days.js';
import { BACKUP_MAX_BYTES, fromBackup, toBackup } from './data.js';
import { flowerIcon } from './garden.js';

const $ = (id) => document.getElementById(id);

function item(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

export function createMenu({ state, toWall, toEditor, acknowledge, replaceGarden }) {
  const status = $('backup-status');
  const backupText = $('backup-text');
  const fileInput = $('restore-file');
  const confirmBox = $('restore-confirm');
  let pending = null;

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

  function drawHistory() {
    const keys = [...state.days.keys()].filter((k) => k <= state.today).sort().reverse();
    $('history-empty').hidden = keys.length > 0;
    $('history-list').replaceChildren(...keys.map((key) => {
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
  }

  function clearRestore() {
    pending = null;
    confirmBox.hidden = true;
  }

  async function backup() {
    clearRestore();
    backupText.hidden = true;
    const text = toBackup(state.days, new Date());
    const n = state.days.size;
    if (typeof window.showSaveFilePicker === 'function') {
      try {
        const handle = await window.showSaveFilePicker({
          suggestedName: `情绪花园备份-${state.today}.json`,
          types: [{ description: '情绪花园备份', accept: { 'application/json': ['.json'] } }],
        });
        const out = await handle.createWritable();
        await out.write(text);
        await out.close();
        say(`已把 ${n} 天的花园备份到文件“${handle.name}”。`, 'ok');
        return;
      } catch (e) {
        if (e && e.name === 'AbortError') {
          say('已取消备份。', '');
          return;
        }
        // Any other failure of the picker: fall back to the clipboard.
      }
    }
    try {
      await navigator.clipboard.writeText(text);
      say(`已把 ${n} 天的花园备份（JSON）复制到剪贴板。请粘贴到记事本，另存为 .json 文件。`, 'ok');
    } catch {
      backupText.value = text;
      backupText.hidden = false;
      backupText.select();
      say('无法使用剪贴板。请复制下面的全部内容，另存为 .json 文件。', 'error');
    }
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
      text = await file.text();
    } catch {
      refuse('文件无法读取');
      return;
    }
    const read = fromBackup(text);
    if (read.error) {
      refuse(read.error);
      return;
    }
    pending = read.days;
    const keys = [...pending.keys()];
    const span = keys.length ? `（${keys[0]} 至 ${keys[keys.length - 1]}）` : '';
    $('restore-summary').textContent =
      `备份“${file.name}”中有 ${keys.length} 天的记录${span}。恢复会用它替换当前花园的 ${state.days.size} 天。`;
    say('', '');
    confirmBox.hidden = false;
    $('restore-no').focus();
  }

  function restore() {
    if (!pending) return;
    const days = pending;
    clearRestore();
    try {
      replaceGarden(days);
    } catch (e) {
      say(`无法恢复：${e.message}。花园没有改变。`, 'error');
      return;
    }
    drawMonth();
    drawHistory();
    say(`已恢复 ${days.size} 天的花园。`, 'ok');
  }

  $('menu-wall').addEventListener('click', toWall);
  $('menu-plant').addEventListener('click', toEditor);
  $('menu-notice-ok').addEventListener('click', acknowledge);
  $('backup-save').addEventListener('click', backup);
  $('backup-restore').addEventListener('click', () => fileInput.click());
  fileInput.addEventListener('change', readChosenFile);
  $('restore-yes').addEventListener('click', restore);
  $('restore-no').addEventListener('click', () => {
    clearRestore();
    say('已取消恢复，花园没有改变。', '');
  });

  return {
    open() {
      drawMonth();
      drawHistory();
    },
    close() {
      clearRestore();
      say('', '');
      backupText.value = '';
      backupText.hidden = true;
      $('history-list').replaceChildren();
      $('month-counts').replaceChildren();
    },
    focus() {
      $('menu-wall').focus();
    },
  };
}

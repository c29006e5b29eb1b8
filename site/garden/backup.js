// Backup and restore, in the menu's "备份与恢复": the garden out to a file,
// and a file back in, either replacing the garden or merged with it. The
// garden as it was before a restore is kept, so that it can be undone.
import { BACKUP_MAX_BYTES, MAX_DAYS, decodeText, differing, fromBackup, mergeDays, toBackup } from './data.js';
import { beforeRestore, dropBeforeRestore, keepBeforeRestore } from './store.js';
import { daysBetween, shortDate } from './days.js';
import { moodOf } from './moods.js';
import { pref, setPref } from './prefs.js';

const $ = (id) => document.getElementById(id);

function download(blob, name) {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = name;
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
  return { file: name };
}

// `keep(days)` saves and shows a new garden (rejecting with an Error when it
// cannot); `changed()` redraws the menu after it; `backedUp()` after a
// backup reached a file.
export function createBackup({ state, keep, changed, backedUp }) {
  const status = $('backup-status');
  const backupText = $('backup-text');
  const fileInput = $('restore-file');
  const confirmBox = $('restore-confirm');
  const pickBox = $('restore-pick');
  let pending = null;

  function say(text, tone) {
    status.textContent = text;
    status.dataset.tone = tone;
  }

  function clearRestore() {
    pending = null;
    confirmBox.hidden = true;
    pickBox.hidden = true;
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
          say('没有保存。', '');
          return null;
        }
        // Any other failure of the picker: fall back to the clipboard.
      }
    }
    // A picture has no text to copy: it goes to the downloads instead.
    if (text instanceof Blob) return download(text, suggestedName);
    try {
      await navigator.clipboard.writeText(text);
      say(`${what}已经复制到剪贴板，请粘贴到记事本里，存成文件。`, 'ok');
    } catch {
      backupText.value = text;
      backupText.hidden = false;
      backupText.select();
      say('剪贴板用不了。请把下面的内容全部复制，粘贴到记事本里，存成文件。', 'error');
    }
    return null;
  }

  async function backup() {
    const n = state.days.size;
    const saved = await deliver(toBackup(state.days, new Date()), `情绪花园备份-${state.today}.json`, `${n} 天的花园备份`,
      [{ description: '情绪花园备份', accept: { 'application/json': ['.json'] } }]);
    if (!saved) return;
    say(`${n} 天的花园已经备份到文件“${saved.file}”。`, 'ok');
    setPref('lastBackup', state.today);
    drawLast();
    backedUp?.();
  }

  function drawLast() {
    const last = pref('lastBackup');
    const ago = last && daysBetween(last, state.today);
    $('backup-last').textContent = last
      ? `上次备份：${shortDate(last, state.today)}，${ago > 0 ? `${ago} 天前` : '今天'}`
      : '还没有备份过';
  }

  async function readChosenFile() {
    const file = fileInput.files[0];
    fileInput.value = '';
    clearRestore();
    backupText.hidden = true;
    if (!file) return;
    const refuse = (why) => say(`没能恢复：${why}。花园没有变。`, 'error');
    if (file.size > BACKUP_MAX_BYTES) {
      refuse(`文件太大（${(file.size / 1048576).toFixed(1)} MB），备份文件最多 ${BACKUP_MAX_BYTES / 1048576} MB`);
      return;
    }
    let text;
    try {
      text = decodeText(await file.arrayBuffer());
    } catch {
      refuse('文件读不出来');
      return;
    }
    const read = fromBackup(text, state.today);
    if (read.error) {
      refuse(read.error);
      return;
    }
    pending = read.days;
    const keys = [...pending.keys()];
    const span = keys.length ? `（${shortDate(keys[0], state.today)} 至 ${shortDate(keys.at(-1), state.today)}）` : '';
    $('restore-summary').textContent =
      `备份“${file.name}”里有 ${keys.length} 天${span}，现在的花园有 ${state.days.size} 天。`
      + '合并：两边的日子都留下；替换：只留备份里的。现在的花园会先留一份，之后可以撤销。';
    say('', '');
    confirmBox.hidden = false;
    $('restore-no').focus();
  }

  // Keeps the garden as it is for 撤销恢复, then puts `days` in its place.
  async function restore(days, done) {
    clearRestore();
    try {
      // A garden over the limit would make a backup that no restore takes.
      if (days.size > MAX_DAYS) throw new Error(`花园最多 ${MAX_DAYS} 天，合并后会有 ${days.size} 天`);
      keepBeforeRestore(state.days);
      await keep(days);
    } catch (e) {
      say(`没能恢复：${e.message}。花园没有变。`, 'error');
      return;
    }
    changed();
    say(done, 'ok');
    $('restore-undo').focus();
  }

  function replace() {
    if (pending) restore(pending, `已经恢复，花园现在是备份里的 ${pending.size} 天。`);
  }

  // Where the same day differs, the person chooses once which side stays.
  function merge() {
    if (!pending) return;
    const differ = differing(state.days, pending);
    if (differ.length === 0) {
      mergeWith('ours');
      return;
    }
    $('restore-differ').textContent = `有 ${differ.length} 天两边的记录不同（${differText(differ)}）。要保留哪一边？`;
    pickBox.hidden = false;
    $('merge-ours').focus();
  }

  // Both sides of up to five days, so that the choice is not a guess.
  function differText(differ) {
    const shown = differ.slice(0, 5).map((key) => {
      const [now, then] = [state.days.get(key), pending.get(key)].map((entry) => moodOf(entry.mood).name);
      return `${shortDate(key, state.today)}：${now === then ? `两边都是${now}，写的话不一样` : `现在是${now}，备份里是${then}`}`;
    });
    const more = differ.length - shown.length;
    return shown.join('；') + (more ? `；还有 ${more} 天` : '');
  }

  function mergeWith(side) {
    if (!pending) return;
    const days = mergeDays(state.days, pending, side);
    restore(days, `已经合并，花园现在有 ${days.size} 天。`);
  }

  async function undo() {
    const before = beforeRestore();
    if (!before) return;
    try {
      await keep(before);
    } catch (e) {
      say(`没能撤销：${e.message}。`, 'error');
      return;
    }
    dropBeforeRestore();
    changed();
    say(`已经撤销，花园回到恢复之前的 ${before.size} 天。`, 'ok');
    $('backup-restore').focus();
  }

  function drawUndo() {
    const before = beforeRestore();
    $('restore-undo-box').hidden = !before;
    if (before) $('restore-undo-text').textContent = `恢复之前的花园（${before.size} 天）还留着。`;
  }

  $('backup-save').addEventListener('click', backup);
  $('backup-restore').addEventListener('click', () => fileInput.click());
  fileInput.addEventListener('change', readChosenFile);
  $('restore-yes').addEventListener('click', replace);
  $('restore-merge').addEventListener('click', merge);
  $('merge-ours').addEventListener('click', () => mergeWith('ours'));
  $('merge-theirs').addEventListener('click', () => mergeWith('theirs'));
  $('restore-undo').addEventListener('click', undo);
  $('restore-no').addEventListener('click', () => {
    clearRestore();
    say('没有恢复，花园没有变。', '');
  });

  return {
    say,
    deliver,
    drawUndo,
    drawLast,
    close() {
      clearRestore();
      say('', '');
      backupText.value = '';
      backupText.hidden = true;
    },
  };
}

// Backup, in the menu's "备份与恢复": the garden out to a file, or failing
// that to the clipboard or a box to copy from; and, from restore.js, a file
// back in.
import { toBackup } from './data.js';
import { daysBetween, shortDate } from './days.js';
import { dayPref, setPref } from './prefs.js';
import { isDurable } from './store.js';
import { createRestore, createUndo } from './restore.js';
import { $, named } from './dom.js';

const status = $('backup-status');
const backupText = $('backup-text');

function say(text, tone) {
  status.textContent = text;
  status.dataset.tone = tone;
}

function download(blob, name) {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = name;
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
  return { file: name };
}

// Hands `text` to the user as a file: the save picker, else the clipboard,
// else a box to copy from. Resolves to { file } when a file was written.
async function deliver(text, suggestedName, what, types) {
  backupText.hidden = true;
  if (typeof window.showSaveFilePicker === 'function') {
    try {
      const handle = await window.showSaveFilePicker({ suggestedName, types });
      const out = await handle.createWritable();
      await out.write(text);
      await out.close();
      return { file: named(handle.name) };
    } catch (e) {
      if (e && e.name === 'AbortError') {
        say('已取消，没有保存。', '');
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

// `backedUp()` runs once a backup reached a file. Only the garden read from
// the durable store counts as backed up: until it is read, the one shown may
// lack days, so the backup waits for it.
async function backup(state, backedUp) {
  await state.ready;
  const n = state.days.size;
  const saved = await deliver(toBackup(state.days, new Date()), `情绪花园备份-${state.today}.json`, `${n} 天的花园备份`,
    [{ description: '情绪花园备份', accept: { 'application/json': ['.json'] } }]);
  if (!saved) return;
  say(`已把 ${n} 天的记录备份到“${saved.file}”。`, 'ok');
  if (!isDurable()) return;
  setPref('lastBackup', state.today);
  drawLast(state);
  backedUp?.();
}

function drawLast(state) {
  const last = dayPref('lastBackup', state.today);
  const ago = last && daysBetween(last, state.today);
  $('backup-last').textContent = last
    ? `上次备份：${shortDate(last, state.today)}，${ago > 0 ? `${ago} 天前` : '今天'}`
    : '还没有备份过';
}

// `keep(change)` saves and shows a new garden (rejecting with an Error when
// it cannot); `changed()` redraws the menu after it; `backedUp()` after a
// backup reached a file.
export function createBackup({ state, keep, changed, backedUp }) {
  const restore = createRestore({ state, keep, changed, say });
  const undo = createUndo({ state, keep, changed, say });
  $('backup-save').addEventListener('click', () => {
    restore.clear();
    backup(state, backedUp);
  });

  return {
    say,
    async deliver(...args) {
      restore.clear();
      return deliver(...args);
    },
    drawUndo: undo.draw,
    drawLast: () => drawLast(state),
    close() {
      restore.clear();
      say('', '');
      backupText.value = '';
      backupText.hidden = true;
    },
  };
}

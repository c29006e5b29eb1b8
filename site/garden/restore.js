// Restore, in the menu's "备份与恢复": a backup file read, checked and put
// to the person, replacing the garden or merged with it. The garden as it
// was before is kept with it, so that 撤销恢复 can undo it without losing a
// day planted, changed or pulled up since.
import { BACKUP_MAX_BYTES, decodeText, differing, fromBackup, mergeDays, undoRestore, withinLimit } from './data.js';
import { shortDate } from './days.js';
import { moodOf } from './moods.js';
import { keptGardens, keptRestore } from './store.js';
import { $, named } from './dom.js';

const FILE_TYPES = [{ description: '情绪花园备份', accept: { 'application/json': ['.json'], 'text/plain': ['.txt'] } }];

// Days after today in a backup, named, as the person may want to pull them up.
function laterText(later, today) {
  if (!later.length) return '';
  const dates = later.slice(0, 3).map((key) => shortDate(key, today)).join('、') + (later.length > 3 ? ' 等' : '');
  return `其中 ${later.length} 天在今天之后（${dates}），可能是当时电脑的日期不对，也会一起恢复。`;
}

// Both sides of up to five days in `differ`, so that the choice between
// `ours` and `theirs` is not a guess; `where` names theirs.
export function differText(differ, ours, theirs, today, where) {
  const shown = differ.slice(0, 5).map((key) => {
    const [now, then] = [ours.get(key), theirs.get(key)].map((entry) => moodOf(entry.mood).name);
    return `${shortDate(key, today)}：${now === then ? `两边都是${now}，写的话不一样` : `现在是${now}，${where}是${then}`}`;
  });
  const more = differ.length - shown.length;
  return shown.join('；') + (more ? `；还有 ${more} 天` : '');
}

// A backup file read, checked and put to the person: 替换 or 合并. Either
// is computed from the newest garden and saved together with what undoes it.
export function createRestore({ state, keep, changed, say }) {
  const fileInput = $('restore-file');
  const confirmBox = $('restore-confirm');
  const pickBox = $('restore-pick');
  let pending = null;

  function clear() {
    pending = null;
    confirmBox.hidden = true;
    pickBox.hidden = true;
  }

  // The system's file picker opens in Documents, where the weekly copies
  // are, and where a garden from another computer usually comes back.
  async function choose() {
    if (typeof window.showOpenFilePicker !== 'function') {
      fileInput.click();
      return;
    }
    let file;
    try {
      const [handle] = await window.showOpenFilePicker({ startIn: 'documents', types: FILE_TYPES });
      file = await handle.getFile();
    } catch (e) {
      if (e?.name !== 'AbortError') fileInput.click();
      return;
    }
    readChosen(file);
  }

  function readInput() {
    const file = fileInput.files[0];
    fileInput.value = '';
    readChosen(file);
  }

  async function readChosen(file) {
    clear();
    $('backup-text').hidden = true;
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
    await state.ready; // the garden counted below is the newest
    pending = read.days;
    const keys = [...pending.keys()];
    const span = keys.length ? `（${shortDate(keys[0], state.today)} 至 ${shortDate(keys.at(-1), state.today)}）` : '';
    $('restore-summary').textContent =
      `备份“${named(file.name)}”里有 ${keys.length} 天的记录${span}，现在的花园有 ${state.days.size} 天。${laterText(read.later, state.today)}`
      + '合并：保留两边所有的日子；替换：只保留备份里的日子。恢复前会自动保留现在的花园，之后可以撤销。';
    say('', '');
    confirmBox.hidden = false;
    $('restore-no').focus();
  }

  // Puts `make(days)` in the garden's place, keeping what undoes it.
  async function restore(make, done) {
    clear();
    let days;
    try {
      days = await keep((before) => {
        const after = withinLimit(make(before));
        return { days: after, restore: { when: state.today, before, after } };
      });
    } catch (e) {
      say(`没能恢复：${e.message}。花园没有变。`, 'error');
      return;
    }
    changed();
    say(done(days), 'ok');
    $('restore-undo').focus();
  }

  function replace() {
    const theirs = pending;
    if (theirs) restore(() => theirs, (days) => `已经恢复，花园现在是备份里的 ${days.size} 天。`);
  }

  // Where the same day differs, the person chooses once which side stays.
  async function merge() {
    if (!pending) return;
    await state.ready;
    const differ = differing(state.days, pending);
    if (differ.length === 0) {
      mergeWith('ours');
      return;
    }
    $('restore-differ').textContent = `有 ${differ.length} 天两边的记录不同（${differText(differ, state.days, pending, state.today, '备份里')}）。要保留哪一边？`;
    pickBox.hidden = false;
    $('merge-ours').focus();
  }

  function mergeWith(side) {
    const theirs = pending;
    if (theirs) restore((days) => mergeDays(days, theirs, side), (days) => `已经合并，花园现在有 ${days.size} 天。`);
  }

  $('backup-restore').addEventListener('click', choose);
  fileInput.addEventListener('change', readInput);
  $('restore-yes').addEventListener('click', replace);
  $('restore-merge').addEventListener('click', merge);
  $('merge-ours').addEventListener('click', () => mergeWith('ours'));
  $('merge-theirs').addEventListener('click', () => mergeWith('theirs'));
  $('restore-no').addEventListener('click', () => {
    clear();
    say('没有恢复，花园没有变。', '');
  });
  return { clear };
}

// 撤销恢复: the garden from before the last restore, with every day planted,
// changed or pulled up since it. The kept copy goes with the undo, or with the next
// restore, which keeps its own.
export function createUndo({ state, keep, changed, say }) {
  const button = $('restore-undo');

  async function undo() {
    button.disabled = true;
    let undone = null;
    try {
      await keep((days) => {
        const kept = keptGardens();
        if (!kept) throw new Error('恢复之前的花园已经不在了');
        undone = { ...undoRestore(kept.before, kept.after, days), when: kept.when, size: kept.before.size };
        return { days: undone.days, restore: null };
      });
    } catch (e) {
      say(`没能撤销：${e.message}。`, 'error');
      return;
    } finally {
      button.disabled = false;
    }
    changed();
    const back = `已经撤销，花园回到${shortDate(undone.when, state.today)}恢复之前的 ${undone.size} 天`;
    const since = [];
    if (undone.since) since.push(`恢复之后种下或改过的 ${undone.since} 天也都留着`);
    if (undone.pulled) since.push(`恢复之后拔掉的 ${undone.pulled} 天也不会回来`);
    say(`${[back, ...since].join('，')}。`, 'ok');
    $('backup-restore').focus();
  }

  function draw() {
    const kept = keptRestore();
    $('restore-undo-box').hidden = !kept;
    if (kept) $('restore-undo-text').textContent = `${shortDate(kept.when, state.today)}恢复之前的花园（${kept.size} 天）还留着。`;
  }

  button.addEventListener('click', undo);
  return { draw };
}


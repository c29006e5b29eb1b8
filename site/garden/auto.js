// The weekly automatic backup. Once the person says yes, the page asks the
// program to keep a copy of the garden in their Documents folder: the same
// text that 备份到文件 writes, at most once every 7 days, right after the yes,
// at start and after a planting. The copy is made only from the garden read
// from the durable store, never from the first picture, which may lack days.
// One request is out at a time; one that failed is tried again at the next
// start or planting, never in a loop, and nothing waits on a timer. Without
// the program (a plain browser) there is nobody to write the file, so the
// page neither asks nor offers it.
import { BACKUP_MAX_BYTES, toBackup } from './data.js';
import { daysBetween, shortDate } from './days.js';
import { dayPref, pref, setPref } from './prefs.js';
import { isDurable } from './store.js';
import { BACKUP, BACKUP_FAILED, BACKUP_SAVED } from './words.js';
import { $ } from './dom.js';

// Days from one copy to the next, and the planted days before the question.
const EVERY = 7;
const ASK_AFTER = 7;
const FOLDER = '“文档\\情绪花园备份”';

// `drawn()` runs when what the menu says about backups may have changed.
export function createAutoBackup({ state, drawn }) {
  const host = window.chrome?.webview;
  // The day of the request still unanswered, or null.
  let out = null;

  const on = () => Boolean(host) && pref('autoBackup') === true;

  function due() {
    const last = dayPref('lastAuto', state.today);
    return on() && !out && (!last || daysBetween(last, state.today) >= EVERY);
  }

  // Asks the program for a copy, when one is due.
  async function copy() {
    await state.ready;
    if (!due() || !isDurable() || !state.days.size) return;
    const text = toBackup(state.days, new Date());
    if (new Blob([text]).size > BACKUP_MAX_BYTES) {
      setPref('autoFailed', true);
    } else {
      out = state.today;
      host.postMessage(BACKUP + text);
    }
    draw();
  }

  function answer(event) {
    const data = event?.data;
    if (!out || typeof data !== 'string') return;
    if (data.startsWith(BACKUP_SAVED)) {
      setPref('lastAuto', out);
      setPref('autoFailed', false);
    } else if (data.startsWith(BACKUP_FAILED)) {
      setPref('autoFailed', true);
    } else {
      return;
    }
    out = null;
    draw();
  }

  function line() {
    const last = dayPref('lastAuto', state.today);
    const date = last && shortDate(last, state.today);
    if (out) return '自动备份：每周一次，正在备份…';
    if (pref('autoFailed')) {
      return `自动备份：这次没能存到${FOLDER}，下次启动 Verdalune 或种花时会再试。${date ? `上一份是 ${date} 存的。` : ''}`;
    }
    return `自动备份：每周一次，${date ? `上次 ${date}` : '还没有备份过'}`;
  }

  function draw() {
    $('auto-ask').hidden = !host || pref('autoBackup') !== null || state.days.size < ASK_AFTER;
    $('auto-switch').hidden = !host;
    $('auto-backup').checked = on();
    $('auto-line').hidden = !on();
    $('auto-line').textContent = on() ? line() : '';
    drawn();
  }

  function choose(yes) {
    setPref('autoBackup', yes);
    draw();
    copy();
  }

  host?.addEventListener('message', answer);
  $('auto-yes').addEventListener('click', () => {
    choose(true);
    $('auto-backup').focus();
  });
  $('auto-no').addEventListener('click', () => {
    choose(false);
    $('auto-backup').focus();
  });
  $('auto-backup').addEventListener('change', (event) => choose(event.target.checked));

  return { copy, draw };
}

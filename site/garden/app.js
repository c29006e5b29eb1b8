// Starts the garden: reads the stored days, draws the wallpaper, tells the
// host it can show it, then answers the host's mode words. Each part is a
// module of its own; this one holds the page's state and wires them.
import { isRecent, keyOf } from './days.js';
import { load, save, watch } from './store.js';
import { createEditor } from './editor.js';
import { createMenu } from './menu.js';
import { drawLegend, drawWall } from './wall.js';
import { drawProblem } from './notice.js';
import { createClock } from './clock.js';
import { createViews } from './views.js';
import { MENU, PLANT, SHOW_WALL, WALL } from './words.js';
import { $ } from './dom.js';

const bridge = window.gardenBridge;

const loaded = load(new Date());
const state = {
  today: keyOf(new Date()),
  days: loaded.days,
  problem: loaded.problem,
  view: WALL,
  grow: null,
  // Settles once the durable copy has been read and drawn if newer: nothing
  // is computed from the garden to be saved before then.
  ready: null,
};

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
    drawWall(state);
    return days;
  });
  saving = done.catch(() => {});
  return done;
}

const views = createViews(state, bridge);
const clock = createClock(state, (before) => {
  drawWall(state);
  views.dateMoved(before);
});

const editor = createEditor({
  async plant(day, mood, note) {
    clock.check();
    if (day !== editor.day) return false;
    if (!isRecent(day, state.today)) throw new Error('只有最近 7 天可以种花或修改');
    await keep((days) => new Map(days).set(day, { mood, note }), day);
    views.toWall();
    menu.backupCopy();
    return true;
  },
  entryOf: (day) => state.days.get(day),
  today: () => state.today,
  cancel: views.cancelEditor,
});

const menu = createMenu({
  state,
  toWall: views.toWall,
  toEditor: views.openEditor,
  keep,
  drawWall: () => drawWall(state),
  acknowledge() {
    state.problem = null;
    drawProblem(null);
    $('menu-wall').focus();
  },
});

views.attach({ editor, menu });

// An app, not a browser: its menu (back, print, inspect) only where text is
// edited, for cut, copy and paste.
document.addEventListener('contextmenu', (event) => {
  if (!event.target.closest?.('textarea, input[type=text]')) event.preventDefault();
});

drawLegend();
drawWall(state);
drawProblem(state.problem);
// The durable copy, read meanwhile, wins when it is the newer; what
// 撤销恢复 can undo is known only from it.
state.ready = loaded.later.then((found) => {
  if (found && (found.days !== state.days || found.problem !== state.problem)) {
    state.days = found.days;
    state.problem = found.problem;
    drawWall(state);
    drawProblem(state.problem);
  }
  if (state.view === MENU) menu.open();
});
saving = state.ready;
menu.backupCopy();
// Another page on this profile saved: the garden is drawn again from the store.
watch((days) => {
  state.days = days;
  drawWall(state);
  if (state.view === MENU) menu.refresh();
});

// A plain browser has no tray; give it the two ways in that the tray offers.
if (!bridge.hasHost()) {
  $('preview-bar').hidden = false;
  $('preview-plant').addEventListener('click', () => window.moodMode(PLANT));
  $('preview-menu').addEventListener('click', () => window.moodMode(MENU));
}

performance.mark('garden-drawn');
bridge.post(SHOW_WALL);
bridge.connect((word) => {
  clock.check();
  views.onWord(word);
});
clock.start();

// Which of the three the page shows: the wall, the planting editor or the
// menu, as the tray's words, the keys and the panels' buttons ask; and what
// the program is told of each.
import { isRecent } from './days.js';
import { trapTab } from './tabs.js';
import { MENU, PLANT, SHOW_EDITOR, SHOW_WALL, WALL } from './words.js';
import { $ } from './dom.js';

// `bridge` is the inline bridge's. The panels need these moves and these
// moves need the panels: attach() joins them once both exist.
export function createViews(state, bridge) {
  let editor = null;
  let menu = null;
  let from = WALL; // where the editor was opened from

  function show(view) {
    state.view = view;
    document.body.dataset.view = view;
    $('editor').hidden = view !== PLANT;
    $('menu').hidden = view !== MENU;
    // Behind an open panel nothing can be reached, by mouse, keys or reader.
    $('wall').inert = view !== WALL;
    $('preview-bar').inert = view !== WALL;
    if (view !== MENU) menu.close();
  }

  // Opens the editor on `day` (today unless the menu asks for another).
  function openEditor(day = state.today) {
    if (state.view !== PLANT || day !== editor.day) {
      if (state.view !== PLANT) from = state.view === MENU ? MENU : WALL;
      editor.open(day, state.days.get(day));
      show(PLANT);
    }
    editor.focus();
  }

  function openMenu() {
    if (state.view !== MENU) {
      show(MENU);
      menu.open();
    }
    menu.focus();
  }

  function toWall() {
    show(WALL);
    bridge.post(SHOW_WALL);
  }

  function cancelEditor() {
    editor.drop();
    if (from === MENU) openMenu();
    else toWall();
  }

  function onKey(event) {
    if (state.view === WALL) return;
    if (event.key === 'Escape') {
      event.preventDefault();
      if (state.view === PLANT) cancelEditor();
      else toWall();
    } else if (event.key === 'Tab') {
      trapTab(state.view === PLANT ? $('editor') : $('menu'), event);
    }
  }

  return {
    attach(panels) {
      ({ editor, menu } = panels);
      document.addEventListener('keydown', onKey);
    },
    openEditor,
    toWall,
    cancelEditor,
    // A tray word: its view, and whether the program should bring the window
    // in front for the keyboard.
    onWord(word) {
      if (word === PLANT) {
        openEditor();
        bridge.post(SHOW_EDITOR);
      } else if (word === MENU) {
        openMenu();
        bridge.post(SHOW_EDITOR);
      } else {
        toWall();
      }
    },
    // The date moved on from `before`. A draft for that day becomes one for
    // the new today, as does one for a day that can no longer be changed; a
    // draft for another recent day stays.
    dateMoved(before) {
      const day = editor.day;
      if ((state.view === PLANT || editor.drafting) && (day === before || !isRecent(day, state.today))) {
        editor.moveTo(state.today, state.days.get(state.today));
      }
      if (state.view === MENU) menu.open();
    },
  };
}

// The day changes at local midnight, after sleep, and when the clock or the
// time zone changes, while the page stays open for weeks with no focus or
// visibility events to notice it. One timer a minute compares the date and
// does nothing else unless it changed.
import { keyOf, msToNextMidnight } from './days.js';

// `moved(before)` runs once `state.today` has become the new date.
export function createClock(state, moved) {
  let tick = 0;

  function check() {
    const today = keyOf(new Date());
    if (today === state.today) return;
    const before = state.today;
    state.today = today;
    moved(before);
  }

  function schedule() {
    clearTimeout(tick);
    tick = setTimeout(() => {
      check();
      schedule();
    }, Math.min(60000, msToNextMidnight(new Date()) + 50));
  }

  return {
    check,
    start() {
      document.addEventListener('visibilitychange', check);
      window.addEventListener('focus', check);
      schedule();
    },
  };
}

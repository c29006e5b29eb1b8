// Keeps Tab inside the open panel: the host would otherwise take the focus
// out of the page when it runs past the last control.

// The controls Tab stops at, in order; of a group of radios, only the
// checked one (or the first).
function tabStops(layer) {
  return [...layer.querySelectorAll('button, input, textarea, [tabindex]')].filter((el) => {
    if (el.disabled || el.tabIndex < 0 || !el.getClientRects().length) return false;
    if (el.type !== 'radio') return true;
    const group = [...layer.querySelectorAll(`input[type=radio][name="${el.name}"]`)];
    const checked = group.find((r) => r.checked);
    return checked ? el === checked : el === group[0];
  });
}

// Called for a Tab key press while `layer` is open.
export function trapTab(layer, event) {
  const stops = tabStops(layer);
  if (!stops.length) return;
  const first = stops[0];
  const last = stops.at(-1);
  const at = document.activeElement;
  const inFirst = at === first || (first.type === 'radio' && at.name === first.name);
  if (event.shiftKey && (inFirst || !layer.contains(at))) {
    event.preventDefault();
    last.focus();
  } else if (!event.shiftKey && (at === last || !layer.contains(at))) {
    event.preventDefault();
    first.focus();
  }
}

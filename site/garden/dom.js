// The few ways the menu's modules make their rows and buttons.
export function item(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

export function button(text, onClick) {
  const b = item('button', '', text);
  b.type = 'button';
  b.addEventListener('click', onClick);
  return b;
}

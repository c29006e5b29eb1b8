// The few ways the page's modules find their elements, make their rows and
// buttons, and put a name from outside into a sentence of their own.

export const $ = (id) => document.getElementById(id);

// A file name in the page's sentence: without the controls that would turn
// the sentence around it, and isolated from its direction, as <bdi> would.
export const named = (name) => `\u2068${String(name).replace(/[\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069]/g, '')}\u2069`;

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

// Draws the wallpaper: twelve beds (thirteen in January), one per month, the
// newest at the front (bottom), one flower per planted day at its
// day-of-month column. Drawn once per change (start, planting, restore, new
// day); nothing is animated except a freshly planted flower growing in once.
import { flowerColour, moodOf } from './moods.js';
import { dayKey, daysInMonth, monthKey, wallMonths } from './days.js';

const SVG = 'http://www.w3.org/2000/svg';
const LABEL_W = 96;
const CELL = 40;
const ROW = 54;
const TOP = 28;
const BOTTOM = 22;
const viewBox = (rows) => `0 0 ${LABEL_W + 31 * CELL + 4} ${TOP + rows * ROW + BOTTOM}`;

function el(name, attrs, text) {
  const node = document.createElementNS(SVG, name);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, v);
  if (text) node.textContent = text;
  return node;
}

// Stable per-day variation: the same date always gets the same lean, size
// and shade, so the garden does not reshuffle between starts.
function variation(key) {
  let h = 2166136261;
  for (let i = 0; i < key.length; i++) h = Math.imul(h ^ key.charCodeAt(i), 16777619);
  const next = () => {
    h = Math.imul(h ^ (h >>> 15), 2246822507);
    h = Math.imul(h ^ (h >>> 13), 3266489909);
    h ^= h >>> 16;
    return (h >>> 0) / 4294967296;
  };
  return {
    lean: (next() - 0.5) * 14,
    scale: 0.96 + next() * 0.2,
    dx: (next() - 0.5) * 6,
    hue: (next() - 0.5) * 14,
    light: (next() - 0.5) * 12,
  };
}

const shade = (mood, v) => flowerColour(mood, v.hue / 2, v.light / 2);

const r1 = (n) => Math.round(n * 10) / 10;

// A copy of a flower's few shapes rather than a <use> of them: each <use>
// builds a hidden tree of its own, and hundreds of them tripled the time to
// the first frame that shows the garden.
const shapes = new Map();
function shapeOf(mood) {
  let shape = shapes.get(mood.id);
  if (!shape) {
    shape = document.getElementById(`f-${mood.id}`).cloneNode(true);
    shape.removeAttribute('id');
    const blanks = document.createTreeWalker(shape, NodeFilter.SHOW_TEXT);
    const drop = [];
    while (blanks.nextNode()) drop.push(blanks.currentNode);
    for (const node of drop) node.remove();
    shapes.set(mood.id, shape);
  }
  return shape.cloneNode(true);
}

// The shapes of each flower as markup, read once from the page's own
// definitions.
const shapeMarkup = new Map();
function markupOf(mood) {
  if (!shapeMarkup.has(mood.id)) shapeMarkup.set(mood.id, shapeOf(mood).innerHTML);
  return shapeMarkup.get(mood.id);
}

// Today's flower stands upright at its plain size, so it is found at a
// glance and stays inside its frame, clear of the bed above.
function flower(key, entry, x, ground, today) {
  const mood = moodOf(entry.mood);
  const v = variation(key);
  const lean = today ? 0 : v.lean;
  const scale = today ? 1 : v.scale;
  const move = `translate(${r1(today ? x : x + v.dx)} ${ground + 2}) rotate(${r1(lean)}) scale(${r1(scale * 100) / 100})`;
  return `<g class="flower" data-day="${key}" data-mood="${mood.id}" color="${shade(mood, v)}" transform="${move}">${markupOf(mood)}</g>`;
}

// A tuft of grass where no flower was planted.
const tuft = (x, y) => `M${x - 4} ${y}q-.5-4-2.5-7M${x - 1} ${y}q0-5 .5-9M${x + 2} ${y}q1-4 3.5-6.5`;

// A small picture of a mood's flower, for the legend, the editor and the menu.
export function flowerIcon(mood) {
  const svg = el('svg', { viewBox: '-18 -48 36 50', class: 'icon', 'aria-hidden': 'true' });
  const shape = shapeOf(mood);
  shape.setAttribute('color', flowerColour(mood));
  svg.append(shape);
  return svg;
}

const tag = (name, attrs, text = '') =>
  `<${name}${Object.entries(attrs).map(([k, v]) => ` ${k}="${v}"`).join('')}>${text}</${name}>`;

// Returns the number of flowers drawn, and per month shown. The garden is
// written as one piece of markup: hundreds of separate DOM calls took longer
// on a fresh start than parsing and drawing all of it. Everything in it is
// numbers, dates checked on reading, and mood names of our own.
export function drawGarden(root, { today, days, grow }) {
  let out = '<g class="ticks">';
  for (const d of [1, 5, 10, 15, 20, 25, 30]) out += tag('text', { x: LABEL_W + (d - 0.5) * CELL, y: TOP - 10 }, d);
  out += '</g>';

  let planted = 0;
  const months = wallMonths(today);
  root.ownerSVGElement.setAttribute('viewBox', viewBox(months.length));
  const shown = months.map(({ y, m }, row) => {
    const before = planted;
    const ground = TOP + (row + 1) * ROW - 8;
    const count = daysInMonth(y, m);
    out += `<g class="bed" data-month="${monthKey(y, m)}">`;
    if (row === 0 || m === 1) out += tag('text', { class: 'year', x: LABEL_W - 16, y: ground - 25 }, `${y}年`);
    out += tag('text', { class: 'month', x: LABEL_W - 16, y: ground - 3 }, `${m}月`);
    out += tag('rect', { class: 'soil', x: LABEL_W - 6, y: ground, width: count * CELL + 12, height: 8, rx: 4 });

    let tufts = ''; // the bare days of a bed share one path: far cheaper to draw
    for (let d = 1; d <= count; d++) {
      const key = dayKey(y, m, d);
      if (key > today) break;
      const x = LABEL_W + (d - 0.5) * CELL;
      const entry = days.get(key);
      if (key === today) {
        // A frame around today's column, and before it is planted a quiet
        // empty spot: nothing that tells anyone what to do.
        // It starts below the soil of the bed above (ground - ROW + 8).
        out += tag('rect', { class: 'today-frame', x: x - CELL / 2 + 1, y: ground - ROW + 9, width: CELL - 2, height: ROW - 5, rx: 8 });
        if (!entry) out += tag('circle', { class: 'today-empty', cx: x, cy: ground - 4, r: 4 });
        out += tag('text', { class: 'today-label', x, y: ground + 21 }, '今天');
      }
      if (entry) {
        planted++;
        const f = flower(key, entry, x, ground, key === today);
        out += key === grow ? `<g class="grow">${f}</g>` : f;
      } else if (key !== today) {
        tufts += tuft(x, ground + 1);
      }
    }
    if (tufts) out += tag('path', { class: 'tuft', d: tufts });
    out += '</g>';
    return { y, m, planted: planted - before };
  });
  root.innerHTML = out;
  const growing = root.querySelector('.grow');
  growing?.addEventListener('animationend', () => growing.classList.remove('grow'), { once: true });
  return { planted, months: shown };
}

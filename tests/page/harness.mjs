// Shared set-up for the page tests and the benchmark: the system's Chromium,
// the site folder served under the host's own https origin, and a stand-in
// for the host's chrome.webview that records what the page posts.
import { readlinkSync, rmSync } from 'node:fs';
import { readFile } from 'node:fs/promises';
import { fileURLToPath } from 'node:url';
import path from 'node:path';
import { chromium } from 'playwright-core';

export const ORIGIN = 'https://verdalune.example';
export const START = `${ORIGIN}/garden/`;
export const KEY = 'verdalune.garden.v1';
// A Sunday morning in mid-June, in a fixed zone, so dates never depend on
// when or where the tests run.
export const TIMEZONE = 'Asia/Shanghai';
export const NOW = '2025-06-15T10:00:00+08:00';
export const TODAY = '2025-06-15';

export const SITE = fileURLToPath(new URL('../../site/', import.meta.url));
export const SCREENSHOTS = fileURLToPath(new URL('./screenshots/', import.meta.url));

export const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.svg': 'image/svg+xml',
  '.json': 'application/json',
};

// Headless Chromium is the whole browser with its windows hidden, and it
// loads the pop-up pages of its address bar into every new window: well over
// a hundred scripts, which here took the two cores from the garden's first
// load. WebView2 has no address bar, so they are switched off. Chromium
// heeds only the last --disable-features, so Playwright's own list (as of
// the version in package-lock.json, less two that only Edge knows) is
// repeated.
const PLAYWRIGHT_OFF = [
  'AvoidUnnecessaryBeforeUnloadCheckSync', 'DestroyProfileOnBrowserClose', 'HttpsUpgrades',
  'HttpsFirstBalancedModeAutoEnable', 'LensOverlay', 'MediaRouter', 'PaintHolding',
  'ThirdPartyStoragePartitioning', 'AvoidCorsURLLoaderRestartOnRedirect', 'TcpPortRandomizationWin',
  'OptimizationHints', 'NetworkTimeServiceQuerying', 'AimEnabled', 'PreconnectToSearch',
];
const BROWSER_UI_OFF = ['WebUIOmniboxPopup', 'WebUIOmniboxAimPopup'];

// Also what the preview runtime starts Chromium with.
export const CHROMIUM_ARGS = [
  '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  `--disable-features=${[...PLAYWRIGHT_OFF, ...BROWSER_UI_OFF].join(',')}`,
];

export function launch() {
  return chromium.launch({
    executablePath: process.env.CHROMIUM_PATH || '/usr/bin/chromium',
    args: ['--headless', ...CHROMIUM_ARGS],
  });
}

// Serves site/ for the origin, the way the host's folder mapping does, and
// refuses everything else. `log` collects what was asked for. `delay` holds
// a file back for some milliseconds; `replace` serves other content instead.
export async function serveSite(context, { delay = {}, replace = {} } = {}) {
  const log = { outside: [], missing: [], served: [] };
  await context.route('**', (route) => {
    log.outside.push(route.request().url());
    return route.abort('blockedbyclient');
  });
  await context.route(`${ORIGIN}/**`, async (route) => {
    const url = new URL(route.request().url());
    let rel = decodeURIComponent(url.pathname);
    if (rel.endsWith('/')) rel += 'index.html';
    const file = path.join(SITE, rel);
    if (!file.startsWith(SITE)) return route.fulfill({ status: 403 });
    let body = replace[url.pathname];
    try {
      body ??= await readFile(file);
    } catch {
      log.missing.push(url.pathname);
      return route.fulfill({ status: 404, body: 'not found' });
    }
    log.served.push(url.pathname);
    if (delay[url.pathname]) await new Promise((r) => setTimeout(r, delay[url.pathname]));
    return route.fulfill({ status: 200, body, headers: { 'content-type': TYPES[path.extname(file)] || 'application/octet-stream' } });
  });
  return log;
}

export function recordHost() {
  const posted = [];
  const listeners = new Set();
  window.__posted = posted;
  // What the host says to the page, as PostWebMessageAsString does.
  window.__hostSays = (data) => { for (const fn of listeners) fn({ data }); };
  window.chrome = window.chrome || {};
  window.chrome.webview = {
    // Remember how many flowers existed when each message went out.
    postMessage(message) {
      posted.push({ message, flowers: document.querySelectorAll('#garden .flower').length });
    },
    addEventListener(type, fn) {
      if (type === 'message') listeners.add(fn);
    },
    removeEventListener(type, fn) {
      listeners.delete(fn);
    },
  };
}

export const hostSays = (page, text) => page.evaluate((t) => window.__hostSays(t), text);

// Puts a value under the garden's key before the page's first load only, so
// that reloads see what the page itself saved.
export function seedOnce({ key, value }) {
  if (window !== window.top || sessionStorage.getItem('__seeded')) return;
  sessionStorage.setItem('__seeded', '1');
  localStorage.setItem(key, value);
}

// Makes the durable store answer the page `ms` late, as a cold disk at sign-in
// does. For initScripts or addInitScript.
export function answerLate(ms) {
  const open = IDBFactory.prototype.open;
  IDBFactory.prototype.open = function (...args) {
    const request = open.apply(this, args);
    const late = {
      onsuccess: null, onerror: null, onupgradeneeded: null,
      get result() { return request.result; },
      get error() { return request.error; },
    };
    request.onupgradeneeded = (e) => late.onupgradeneeded?.(e);
    request.onerror = (e) => late.onerror?.(e);
    request.onsuccess = (e) => setTimeout(() => late.onsuccess?.(e), ms);
    return late;
  };
}

/**
 * Opens the garden in a fresh context.
 * days: Map or object of day -> {mood, note}; stored: a raw string for the
 * key instead; host: install the chrome.webview stand-in; clock: install a
 * fake clock at `now` (false leaves the real clock alone); timezoneId: null
 * leaves the zone to the test.
 */
export async function openGarden(browser, {
  days, stored, host = true, now = NOW, clock = true, path: at = '/garden/',
  viewport = { width: 1366, height: 768 }, reducedMotion = 'reduce',
  permissions = [], initScripts = [], delay, replace, wait = true, timezoneId = TIMEZONE, forcedColors,
} = {}) {
  const context = await browser.newContext({
    viewport, reducedMotion, locale: 'zh-CN', timezoneId: timezoneId ?? undefined, permissions, serviceWorkers: 'block', forcedColors,
  });
  const log = await serveSite(context, { delay, replace });
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  if (clock) await page.clock.install({ time: new Date(now) });
  if (host) await page.addInitScript(recordHost);
  if (stored !== undefined || days !== undefined) {
    const value = stored !== undefined ? stored : storedValue(days);
    await page.addInitScript(seedOnce, { key: KEY, value });
  }
  // Each a function, or [function, its argument].
  for (const script of initScripts) await page.addInitScript(...[script].flat());
  await page.goto(ORIGIN + at);
  if (wait) await page.waitForFunction(() => document.getElementById('today-line').textContent !== '');
  return { context, page, log, errors, close: () => context.close() };
}

/**
 * Opens the garden on a profile kept in `dir`, as the program's web view
 * does, so that a kill (SIGKILL, as a crash or a power cut) can be followed
 * by a start on what reached the disk.
 */
export async function openProfile(dir, { now = NOW } = {}) {
  for (const name of ['SingletonLock', 'SingletonSocket', 'SingletonCookie']) rmSync(path.join(dir, name), { force: true });
  const context = await chromium.launchPersistentContext(dir, {
    executablePath: process.env.CHROMIUM_PATH || '/usr/bin/chromium', headless: true, args: CHROMIUM_ARGS,
    viewport: { width: 1366, height: 768 }, locale: 'zh-CN', timezoneId: TIMEZONE, reducedMotion: 'reduce', serviceWorkers: 'block',
  });
  await serveSite(context);
  const page = context.pages()[0] ?? await context.newPage();
  await page.clock.install({ time: new Date(now) });
  await page.addInitScript(recordHost);
  await page.goto(START);
  await page.waitForFunction(() => document.getElementById('today-line').textContent !== '');
  const kill = () => process.kill(Number(readlinkSync(path.join(dir, 'SingletonLock')).split('-').pop()), 'SIGKILL');
  return { context, page, kill, close: () => context.close() };
}

export function storedValue(days) {
  const entries = days instanceof Map ? [...days] : Object.entries(days);
  const plain = {};
  for (const [k, v] of entries.sort(([a], [b]) => (a < b ? -1 : 1))) plain[k] = v.note ? v : { mood: v.mood };
  return JSON.stringify({ version: 1, days: plain });
}

const MOOD_IDS = ['happy', 'calm', 'warm', 'tired', 'sad', 'cross'];
const NOTES = ['和朋友吃了火锅', '下雨了，在家看书', '项目终于上线', '有点累，早点睡', '', '', ''];

// A year (or `years` years) of planted days ending the day before `today`,
// with some gaps and notes; the same every time.
export function yearOfDays(today = TODAY, { includeToday = false, years = 1 } = {}) {
  const days = {};
  const [y, m, d] = today.split('-').map(Number);
  let seed = 7;
  const rand = () => (seed = (seed * 1103515245 + 12345) % 2147483648) / 2147483648;
  for (let back = includeToday ? 0 : 1; back <= Math.round(years * 365.25) + (years === 1 ? 1 : 0); back++) {
    const date = new Date(Date.UTC(y, m - 1, d - back));
    const key = date.toISOString().slice(0, 10);
    if (rand() < 0.15) continue;
    const note = NOTES[Math.floor(rand() * NOTES.length)];
    days[key] = note ? { mood: MOOD_IDS[Math.floor(rand() * 6)], note } : { mood: MOOD_IDS[Math.floor(rand() * 6)] };
  }
  return days;
}

export const posted = (page) => page.evaluate(() => window.__posted.map((p) => p.message));
export const readStored = (page, key = KEY) => page.evaluate((k) => localStorage.getItem(k), key);
export const view = (page) => page.evaluate(() => document.body.dataset.view);

// Opens the garden, runs `fn(g)` with it, and closes its context however
// `fn` ends.
export async function withGarden(browser, options, fn) {
  const g = await openGarden(browser, options);
  try {
    return await fn(g);
  } finally {
    await g.close();
  }
}

// The days as the page last stored them in local storage.
export const storedDays = async (page) => JSON.parse(await readStored(page)).days;

// The garden as the durable store holds it, or null.
export const durableStored = (page) => page.evaluate(() => new Promise((resolve, reject) => {
  const open = indexedDB.open('verdalune');
  open.onsuccess = () => {
    const db = open.result;
    if (!db.objectStoreNames.contains('garden')) return resolve(null);
    const get = db.transaction('garden').objectStore('garden').get('garden');
    get.onsuccess = () => { db.close(); resolve(get.result ? get.result.text : null); };
    get.onerror = () => reject(get.error);
  };
  open.onerror = () => reject(open.error);
}));

// Puts `text` as the durable store's garden, as an older version wrote it.
export const putDurable = (page, text) => page.evaluate((t) => new Promise((resolve, reject) => {
  const open = indexedDB.open('verdalune', 1);
  open.onupgradeneeded = () => open.result.createObjectStore('garden');
  open.onsuccess = () => {
    const tx = open.result.transaction('garden', 'readwrite');
    tx.objectStore('garden').put({ text: t }, 'garden');
    tx.oncomplete = () => { open.result.close(); resolve(); };
    tx.onabort = () => reject(tx.error);
  };
}), text);

// What the durable store holds set aside, by name: { name: text }.
export const durableAsides = (page) => page.evaluate(() => new Promise((resolve, reject) => {
  const open = indexedDB.open('verdalune');
  open.onsuccess = () => {
    const db = open.result;
    if (!db.objectStoreNames.contains('garden')) return resolve({});
    const out = {};
    const cursor = db.transaction('garden').objectStore('garden').openCursor(IDBKeyRange.bound('aside.', 'aside.\uffff'));
    cursor.onsuccess = () => {
      const at = cursor.result;
      if (!at) { db.close(); return resolve(out); }
      out[at.key.slice(6)] = at.value.text;
      at.continue();
    };
    cursor.onerror = () => reject(cursor.error);
  };
  open.onerror = () => reject(open.error);
}));

// Empties both stores, so that what a test puts in local storage next is the
// whole garden on the next load.
export const clearStores = (page) => page.evaluate(() => new Promise((resolve) => {
  localStorage.clear();
  const gone = indexedDB.deleteDatabase('verdalune');
  gone.onsuccess = gone.onerror = gone.onblocked = () => resolve();
}));

// Plants `moodName` with `note` through the editor, on `day` (one of the
// editor's recent days) or today, and waits until the page is done: back on
// the wall, or with the editor's error shown.
export async function plant(page, moodName, note = '', { day } = {}) {
  await page.evaluate(() => window.moodMode('plant'));
  if (day) await page.click(`#day-picks button[data-day="${day}"]`);
  await page.locator('#mood-grid').getByText(moodName, { exact: true }).click();
  await page.fill('#note', note);
  await page.click('#editor-plant');
  await page.waitForFunction(() => document.body.dataset.view !== 'plant' || !document.getElementById('editor-error').hidden);
}

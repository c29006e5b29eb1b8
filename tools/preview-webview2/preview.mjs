// The page side of the preview runtime: Debian's Chromium behind the
// preview WebView2Loader.dll, for seeing the real garden under Wine. It is
// not WebView2 and is never shipped.
//
//   node tools/preview-webview2/preview.mjs COMMAND...
//
// listens on one loopback port, runs COMMAND with PREVIEW_WEBVIEW2_PORT set to
// it, and ends with COMMAND's exit status. Each program that loads the
// preview DLL connects once ("hello") and gets a headless Chromium of its own,
// with its profile in the program's user data folder, its mapped folders
// served under their host names and nothing else reachable. A second kind of
// connection ("probe") lets tests look into the page. Messages (wire.mjs):
//
//   DLL to here: hello <profile folder> <chromium or ""> | map <host> <folder> | bounds <w> <h>
//     | navigate <uri> | script <id> <text>
//     | decide <id> <0|1> | focus <0|1> | mouse <type> <x> <y> <button> <buttons> <clicks> <modifiers>
//     | wheel <x> <y> <dx> <dy> <modifiers> | key <type> <vk> <key> <code> <text> <modifiers> <repeat>
//     | text <text> | visible <0|1> | suspend | resume | post <text>
//   here to DLL: ready <version> | refused <reason> | navigating <id> <uri>
//     | message <string|json> <text> <source address> | done <id> <json> | frame <w> <h> <jpeg> | suspended <0|1>
//   probe: eval <js> -> result <json> | error <text>;  counts -> result <json>;
//     usage -> result {"pss": kB, "renderer": ns, "main": ns, "own": kB, "processes": [...], "resting": bool}:
//     the program's Chromium, all its processes' PSS, the CPU time its renderers, and
//     their main threads, have used, their private memory, and each process's type, PSS
//     and CPU time;
//     end -> result true, once the program's Chromium has gone
//     kill -> result true, once the program's Chromium has been killed outright
import { EventEmitter } from 'node:events';
import net from 'node:net';
import { spawn } from 'node:child_process';
import { existsSync, readFileSync, readdirSync, readlinkSync, rmSync } from 'node:fs';
import { mkdir, readFile, readdir, stat, writeFile } from 'node:fs/promises';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';
import { encode, reader } from './wire.mjs';
import { CHROMIUM_ARGS } from '../../tests/page/harness.mjs';

export const PORT_VARIABLE = 'PREVIEW_WEBVIEW2_PORT';

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.svg': 'image/svg+xml',
  '.json': 'application/json',
  '.png': 'image/png',
  '.ico': 'image/x-icon',
};

// What the page sees as window.chrome.webview. What the program posts comes
// in through __previewReceive, as a "message" event whose data is the string.
function bridge() {
  const target = new EventTarget();
  window.chrome = window.chrome || {};
  window.chrome.webview = {
    postMessage(message) {
      const isString = typeof message === 'string';
      const json = JSON.stringify(message);
      if (json === undefined) throw new TypeError('postMessage: the message cannot be serialised');
      window.__previewPost(isString, isString ? message : json);
    },
    addEventListener: (...args) => target.addEventListener(...args),
    removeEventListener: (...args) => target.removeEventListener(...args),
  };
  Object.defineProperty(window, '__previewReceive', {
    value: (data) => target.dispatchEvent(new MessageEvent('message', { data })),
  });
}

// Chromiums still starting or closing; the process waits for them before it
// ends, so that none outlives it holding the profile.
const launching = new Set();
const closing = new Set();
// Every Chromium that started and has not been closed, with its profile.
const open = new Map();

// Closes a program's Chromium and takes away the lock links it leaves in the
// profile if it dies: the program's own tests clear the user data folder from
// Wine, which stalls on links to Unix sockets.
function closeBrowser(context, profileFolder) {
  open.delete(context);
  const done = context.close().catch(() => {}).finally(() => {
    for (const name of ['SingletonLock', 'SingletonSocket', 'SingletonCookie']) rmSync(path.join(profileFolder, name), { force: true });
    closing.delete(done);
  });
  closing.add(done);
  return done;
}

// The one program connected now, for probes and tours.
let current = null;
export const session = () => current;
// 'message' (isString, text) as the page posts; 'frame' as one goes out.
export const events = new EventEmitter();

// The page's file dialogs, which headless Chromium cannot show. With
// PREVIEW_WEBVIEW2_FILES set to a folder, a save picker writes there under the
// name the page suggests, and an open picker or a file input is given the
// newest file there; without it, a save is cancelled and an open chooses
// nothing.
async function fileDialogs(context, page) {
  const folder = process.env.PREVIEW_WEBVIEW2_FILES;
  if (!folder) return;
  await mkdir(folder, { recursive: true });
  const newest = async () => {
    const files = await Promise.all((await readdir(folder)).map(async (name) => {
      const file = path.join(folder, name);
      const info = await stat(file);
      return { file, time: info.isFile() ? info.mtimeMs : -1 };
    }));
    const found = files.filter((f) => f.time >= 0).sort((a, b) => b.time - a.time)[0];
    if (!found) console.log(`preview: no file in ${folder} to open`);
    else console.log(`preview: opening ${found.file}`);
    return found?.file;
  };
  await context.exposeBinding('__previewOpen', async ({ frame }) => {
    const file = frame === frame.page().mainFrame() && await newest();
    return file ? { name: path.basename(file), bytes: [...await readFile(file)] } : null;
  });
  await context.exposeBinding('__previewSave', async ({ frame }, name, text) => {
    if (frame !== frame.page().mainFrame()) return;
    const file = path.join(folder, path.basename(name));
    await writeFile(file, text);
    console.log(`preview: saved ${file}`);
  });
  await context.addInitScript(() => {
    window.showSaveFilePicker = async ({ suggestedName = 'untitled' } = {}) => ({
      name: suggestedName,
      async createWritable() {
        const parts = [];
        return {
          async write(data) { parts.push(typeof data === 'string' ? data : await new Response(data).text()); },
          close: () => window.__previewSave(suggestedName, parts.join('')),
        };
      },
    });
    window.showOpenFilePicker = async () => {
      const found = await window.__previewOpen();
      if (!found) throw new DOMException('nothing to open', 'AbortError');
      return [{ name: found.name, getFile: async () => new File([new Uint8Array(found.bytes)], found.name) }];
    };
  });
  page.on('filechooser', async (chooser) => {
    const file = await newest();
    if (file) await chooser.setFiles(file).catch(() => {});
  });
}

async function runtime(socket, send, [profile, browser], counts, early) {
  const executablePath = browser || process.env.CHROMIUM_PATH || '/usr/bin/chromium';
  // Where the real runtime keeps its profile too, unless PREVIEW_WEBVIEW2_PROFILE
  // names another (the demo tour's own garden).
  const profileFolder = process.env.PREVIEW_WEBVIEW2_PROFILE || path.join(profile, 'EBWebView');
  if (!existsSync(executablePath)) {
    send('refused', `no Chromium at ${executablePath}`);
    socket.end();
    return;
  }
  // A program has one browser at a time: a new connection from it takes
  // over the profile, which the last one's browser must let go of first.
  await Promise.allSettled([...launching]);
  for (const [context, folder] of open) if (folder === profileFolder) closeBrowser(context, folder);
  await Promise.allSettled([...closing]);
  let context;
  const launch = chromium.launchPersistentContext(profileFolder, {
      executablePath,
      headless: true,
      args: [...CHROMIUM_ARGS, '--hide-scrollbars'],
      locale: 'zh-CN',
      viewport: { width: 800, height: 600 },
      serviceWorkers: 'block',
    });
  launching.add(launch);
  try {
    context = await launch;
  } catch (error) {
    send('refused', `Chromium did not start: ${error.message.split('\n')[0]}`);
    socket.end();
    return;
  } finally {
    launching.delete(launch);
  }
  open.set(context, profileFolder);
  if (socket.destroyed) return closeBrowser(context, profileFolder);

  const session = { socket, context, profileFolder, page: null, cdp: null, counts };
  const mappings = new Map();
  const waiting = new Map();
  let nextId = 0;

  // Asks the program whether a top-level navigation may start.
  const ask = (uri) => new Promise((resolve) => {
    const id = ++nextId;
    waiting.set(id, (cancel) => {
      counts.navigations.push({ uri, cancel });
      resolve(cancel);
    });
    send('navigating', id, uri);
  });

  await context.exposeBinding('__previewPost', ({ frame }, isString, text) => {
    if (frame !== frame.page().mainFrame()) return;
    send('message', isString ? 'string' : 'json', text, frame.url());
    events.emit('message', isString, text);
  });
  await context.addInitScript(bridge);
  await context.route('**', async (route) => {
    const request = route.request();
    const url = new URL(request.url());
    let frame = null;
    try { frame = request.frame(); } catch { /* not from a frame */ }
    if (request.isNavigationRequest() && frame && !frame.parentFrame() && frame.page() === session.page) {
      if (await ask(request.url())) return route.abort('aborted');  // the page stays as it was
    }
    const folder = url.protocol === 'https:' && url.port === '' ? mappings.get(url.hostname) : undefined;
    if (folder === undefined) return route.abort('blockedbyclient');
    let rel = decodeURIComponent(url.pathname);
    if (rel.endsWith('/')) rel += 'index.html';
    const file = path.join(folder, rel);
    if (!file.startsWith(folder + path.sep)) return route.fulfill({ status: 403 });
    try {
      const body = await readFile(file);
      return route.fulfill({ status: 200, body, headers: { 'content-type': TYPES[path.extname(file)] || 'application/octet-stream' } });
    } catch {
      return route.fulfill({ status: 404, body: 'not found' });
    }
  });

  const quiet = (promise) => promise.catch(() => {});
  const page = session.page = context.pages()[0] || await context.newPage();
  await fileDialogs(context, page);
  // Another window would be a second view the program knows nothing about.
  context.on('page', (other) => { if (other !== page) other.close().catch(() => {}); });
  const cdp = session.cdp = await context.newCDPSession(page);
  // Frames come only when the page changes: an idle page sends nothing.
  const sendFrame = (data, width, height) => {
    send('frame', Math.round(width), Math.round(height), Buffer.from(data, 'base64'));
    session.counts.frames++;
    events.emit('frame');
  };
  // The screencast drops what the page draws while a frame waits for its
  // acknowledgement, so the last picture of a change can be missing. Once a
  // change has been quiet for a moment, one still picture settles it.
  let settling = null, capturing = false;
  const settle = () => {
    clearTimeout(settling);
    settling = setTimeout(async () => {
      capturing = true;
      const still = await cdp.send('Page.captureScreenshot', { format: 'jpeg', quality: 90 }).catch(() => null);
      capturing = false;
      if (still) sendFrame(still.data, size.width, size.height);
    }, 250);
  };
  let lastCast = null;
  cdp.on('Page.screencastFrame', ({ data, metadata, sessionId }) => {
    cdp.send('Page.screencastFrameAck', { sessionId }).catch(() => {});
    sendFrame(data, metadata.deviceWidth, metadata.deviceHeight);
    // A frame that the still picture itself brought settles nothing. On a
    // busy machine it can come after the still is done; it then shows the
    // same picture as the frame before, and settling on it again would take
    // still after still on an idle page.
    if (!capturing && data !== lastCast) settle();
    lastCast = data;
  });
  page.on('load', settle);
  let size = { width: 800, height: 600 };
  const screencast = () => cdp.send('Page.startScreencast', { format: 'jpeg', quality: 90, maxWidth: size.width, maxHeight: size.height })
    .catch(() => {});

  const handlers = {
    map(host, folder) { mappings.set(host, path.resolve(folder)); },
    async bounds(w, h) {
      if (w <= 0 || h <= 0) return;
      size = { width: Number(w), height: Number(h) };
      await quiet(page.setViewportSize(size));
      await quiet(cdp.send('Page.stopScreencast'));
      await screencast();
      settle();
    },
    navigate(uri) { quiet(page.goto(uri)); },
    async script(id, text) {
      const answer = await cdp.send('Runtime.evaluate', { expression: text, returnByValue: true })
        .catch(() => ({ result: {} }));
      const value = answer.exceptionDetails ? undefined : answer.result?.value;
      if (id !== '0') send('done', id, value === undefined ? 'null' : JSON.stringify(value));
    },
    decide(id, cancel) {
      waiting.get(Number(id))?.(cancel === '1');
      waiting.delete(Number(id));
    },
    focus(on) { quiet(cdp.send('Emulation.setFocusEmulationEnabled', { enabled: on === '1' })); },
    mouse(type, x, y, button, buttons, clickCount, modifiers) {
      quiet(cdp.send('Input.dispatchMouseEvent', {
        type, x: Number(x), y: Number(y), button, buttons: Number(buttons), clickCount: Number(clickCount), modifiers: Number(modifiers),
      }));
    },
    wheel(x, y, deltaX, deltaY, modifiers) {
      quiet(cdp.send('Input.dispatchMouseEvent', {
        type: 'mouseWheel', x: Number(x), y: Number(y), deltaX: Number(deltaX), deltaY: Number(deltaY), modifiers: Number(modifiers),
      }));
    },
    key(type, vk, key, code, text, modifiers, repeat) {
      quiet(cdp.send('Input.dispatchKeyEvent', {
        type, windowsVirtualKeyCode: Number(vk), nativeVirtualKeyCode: Number(vk), key, code, text, unmodifiedText: text,
        modifiers: Number(modifiers), autoRepeat: repeat === '1',
      }));
    },
    text(text) { quiet(cdp.send('Input.insertText', { text })); },
    // As WebView2 does, a page that is not there (loading, or gone) misses it.
    post(text) { quiet(page.evaluate((data) => window.__previewReceive?.(data), text)); },
    // What the real runtime's suspend does to the page: its script and
    // timers stop (the page's lifecycle frozen), and its browser gives back
    // what it can (memory pressure). Headless Chromium has no window to hide,
    // and it keeps a page that counts as shown running when told to freeze
    // it, so the page's script is also held where it next runs, through the
    // debugger: its timers then fire no more than a frozen page's.
    async suspend() {
      // Nothing is drawn for a hidden view: no frames, and no still picture.
      clearTimeout(settling);
      await quiet(cdp.send('Page.stopScreencast'));
      const frozen = await cdp.send('Page.setWebLifecycleState', { state: 'frozen' }).then(() => true, () => false);
      if (frozen) {
        await quiet(cdp.send('Debugger.enable'));
        await quiet(cdp.send('Debugger.pause'));
        await quiet(cdp.send('Memory.simulatePressureNotification', { level: 'critical' }));
      }
      session.resting = frozen;
      send('suspended', frozen ? '1' : '0');
    },
    resume: () => wake(),
    visible(on) { if (on === '1') return wake(); },
  };
  // Shown again, or resumed, a frozen page runs again.
  const wake = async () => {
    if (!session.resting) return;
    session.resting = false;
    await quiet(cdp.send('Debugger.resume'));
    await quiet(cdp.send('Debugger.disable'));
    await quiet(cdp.send('Page.setWebLifecycleState', { state: 'active' }));
    await screencast();
  };
  session.handle = (name, args) => handlers[name]?.(...args);

  const gone = () => {
    for (const resolve of waiting.values()) resolve(true);
    waiting.clear();
    if (current === session) current = null;
    closeBrowser(context, profileFolder);
    socket.destroy();
  };
  socket.on('close', gone);
  context.on('close', gone);
  current = session;
  for (const [name, args] of early.splice(0)) session.handle(name, args);
  await screencast();
  send('ready', context.browser()?.version() || 'Chromium');
}

// PREVIEW_WEBVIEW2_TRACE=1 prints every message but the frames' pictures.
const trace = process.env.PREVIEW_WEBVIEW2_TRACE
  ? (way, fields) => console.error(way, fields.map((f) => (Buffer.isBuffer(f) ? `<${f.length} bytes>` : String(f).slice(0, 120))).join(' '))
  : () => {};

function connection(socket) {
  const counts = { bytesIn: 0, bytesOut: 0, messagesIn: 0, messagesOut: 0, frames: 0, navigations: [] };
  const send = (...fields) => {
    if (socket.destroyed) return;
    trace('>', fields);
    const data = encode(fields);
    counts.bytesOut += data.length;
    counts.messagesOut++;
    socket.write(data);
  };
  let session = null;
  const early = [];
  socket.setNoDelay(true);
  socket.on('error', () => {});
  socket.on('data', (chunk) => { if (session !== 'probe') counts.bytesIn += chunk.length; });
  socket.on('data', reader(async (raw) => {
    const [name, ...args] = raw.map((f) => f.toString('utf8'));
    trace('<', [name, ...args]);
    if (!session) {
      if (name === 'hello') {
        counts.messagesIn++;
        session = 'runtime';
        current = { counts };
        // Messages that come while Chromium starts wait for it in `early`.
        runtime(socket, send, args, counts, early).catch(() => socket.destroy());
      } else if (name === 'probe') {
        session = 'probe';
      } else {
        socket.destroy();
      }
      return;
    }
    if (session === 'probe') return probe(send, name, args);
    counts.messagesIn++;
    if (current?.socket === socket) current.handle(name, args);
    else early.push([name, args]);
  }));
}

async function probe(send, name, args) {
  try {
    if (name === 'counts') return send('result', JSON.stringify(current?.counts ?? null));
    if (name === 'usage') {
      if (!current?.context) return send('error', 'no browser');
      return send('result', JSON.stringify({ ...usage(current.profileFolder), resting: Boolean(current.resting) }));
    }
    // The browser going away under the program, as a crash would.
    if (name === 'end') {
      if (current?.context) await closeBrowser(current.context, current.profileFolder);
      return send('result', 'true');
    }
    // A crash or a power cut: no chance to write anything more to disk. The
    // profile's lock names the browser's process, as "host-pid".
    if (name === 'kill') {
      if (!current?.context) return send('error', 'no browser');
      const gone = new Promise((resolve) => current.context.once('close', resolve));
      process.kill(Number(readlinkSync(path.join(current.profileFolder, 'SingletonLock')).split('-').pop()), 'SIGKILL');
      await gone;
      return send('result', 'true');
    }
    if (name === 'eval') {
      if (!current?.page) return send('error', 'no page');
      const value = await current.page.evaluate(args[0]);
      return send('result', JSON.stringify(value ?? null));
    }
    send('error', `unknown ${name}`);
  } catch (error) {
    send('error', error.message.split('\n')[0]);
  }
}

// The program's Chromium as Linux sees it: the browser process the profile's
// lock names, as "host-pid", and every process below it.
function usage(profileFolder) {
  const browser = Number(readlinkSync(path.join(profileFolder, 'SingletonLock')).split('-').pop());
  const parents = new Map();
  for (const pid of readdirSync('/proc').filter((name) => /^\d+$/.test(name))) {
    try {
      // The parent is the second field after the command's closing bracket.
      const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
      parents.set(Number(pid), Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]));
    } catch { /* gone meanwhile */ }
  }
  const ours = (pid) => { for (; pid > 1; pid = parents.get(pid) ?? 0) if (pid === browser) return true; return false; };
  let pss = 0, own = 0, renderer = 0, main = 0;
  const processes = [];
  for (const pid of parents.keys()) {
    if (!ours(pid)) continue;
    try {
      const rollup = readFileSync(`/proc/${pid}/smaps_rollup`, 'utf8');
      const field = (name) => Number(new RegExp(`^${name}:\\s+(\\d+)`, 'm').exec(rollup)?.[1] ?? 0);
      const kB = field('Pss');
      // What no other process shares: unlike PSS, it does not move with the
      // other browsers running on the machine meanwhile.
      own += field('Private_Clean') + field('Private_Dirty');
      const type = /--type=([a-z-]+)/.exec(readFileSync(`/proc/${pid}/cmdline`, 'utf8'))?.[1] ?? 'browser';
      let cpu = 0;
      for (const task of readdirSync(`/proc/${pid}/task`)) {
        const ns = Number(readFileSync(`/proc/${pid}/task/${task}/schedstat`, 'utf8').split(' ')[0]);
        cpu += ns;
        if (type === 'renderer' && task === String(pid)) main += ns;  // the thread that runs the page's script
      }
      pss += kB;
      if (type === 'renderer') renderer += cpu;
      processes.push({ pid, type, pss: kB, cpu });
    } catch { /* gone meanwhile */ }
  }
  return { pss, renderer, main, own, processes };
}

export function listen() {
  const server = net.createServer(connection);
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => resolve(server));
  });
}

// Runs a command with the page side listening; the process ends with it,
// with the command's exit status unless the caller keeps its own.
export async function start(command, { ownStatus = false } = {}) {
  const server = await listen();
  const child = spawn(command[0], command.slice(1), {
    stdio: 'inherit',
    env: { ...process.env, [PORT_VARIABLE]: String(server.address().port) },
  });
  child.port = server.address().port;
  const stop = () => child.kill('SIGTERM');
  process.on('SIGINT', stop);
  process.on('SIGTERM', stop);
  child.on('exit', (code, signal) => {
    if (!ownStatus) process.exitCode = code ?? (signal ? 128 : 1);
    server.close();
    // A browser still starting is let finish, so that it can be closed too:
    // none may outlive this process holding the profile.
    Promise.allSettled([...launching])
      .then(() => Promise.all([...open].map(([context, folder]) => closeBrowser(context, folder)).concat([...closing])))
      .finally(() => process.exit());
  });
  return child;
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  if (process.argv.length < 3) {
    console.error('usage: preview.mjs COMMAND...');
    process.exit(2);
  }
  start(process.argv.slice(2));
}

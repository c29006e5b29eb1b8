// Walks through the garden as a person would, for scripts/run on a machine
// without a display: leaves screenshots of the Wine screen (Xvfb) in DIR.
//
//   node tools/preview-webview2/tour.mjs DIR COMMAND...
//
// The page is driven from its side, with the same script call that the tray
// menu's 种下今天 makes the program run.
import { execFileSync } from 'node:child_process';
import path from 'node:path';
import { start, session, events } from './preview.mjs';

const [dir, ...command] = process.argv.slice(2);
const child = await start(command, { ownStatus: true });

// Resolves once the page has posted `text` and then drawn nothing new for a while.
function posted(text, seconds = 60) {
  return new Promise((resolve, reject) => {
    const give = setTimeout(() => reject(new Error(`the page never posted ${text}`)), seconds * 1000);
    let settle;
    const frame = () => { clearTimeout(settle); settle = setTimeout(done, 3000); };
    const done = () => { events.off('frame', frame); clearTimeout(give); resolve(); };
    const message = (isString, got) => {
      if (!isString || got !== text) return;
      events.off('message', message);
      events.on('frame', frame);
      frame();
    };
    events.on('message', message);
  });
}

function shot(name) {
  const file = path.join(dir, name);
  execFileSync('import', ['-window', 'root', file]);
  console.log(`screenshot: ${file}`);
}

try {
  await posted('showWall');
  shot('wall.png');
  const page = session().page;
  const editor = posted('showEditor');
  await page.evaluate("window.moodMode('plant')");
  await editor;
  shot('editor.png');
  const wall = posted('showWall');
  await page.click('#mood-grid label >> nth=1');
  await page.fill('#note', '在 Wine 里看见了花园');
  await page.click('#editor-plant');
  await wall;
  shot('planted.png');
} catch (error) {
  console.error(`tour: ${error.message}`);
  shot('failed.png');
  process.exitCode = 1;
}
child.kill('SIGTERM');

// The preview's page side, spoken to as the preview DLL would: the demo tour's
// garden must not land in the program's user data folder (where a person's
// garden lives), the page's file dialogs are answered from one folder, and
// web messages cross both ways, each from the page with its address.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { once } from 'node:events';
import { existsSync } from 'node:fs';
import { mkdir, mkdtemp, readFile, rm, utimes, writeFile } from 'node:fs/promises';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { listen, session } from '../../tools/preview-webview2/preview.mjs';
import { encode, reader } from '../../tools/preview-webview2/wire.mjs';

const PAGE = `<!doctype html><meta charset="utf-8"><input type="file" id="pick"><script>
  document.getElementById('pick').addEventListener('change', async (e) => { window.picked = await e.target.files[0].text(); });
</script>`;

test('the preview page side keeps the profile and the files where it is told and carries web messages both ways', async () => {
  const dir = await mkdtemp(path.join(os.tmpdir(), 'verdalune-preview-'));
  const files = path.join(dir, 'backups');
  process.env.PREVIEW_WEBVIEW2_PROFILE = path.join(dir, 'tour-garden');
  process.env.PREVIEW_WEBVIEW2_FILES = files;
  await mkdir(path.join(dir, 'site'));
  await writeFile(path.join(dir, 'site', 'index.html'), PAGE);
  await mkdir(files);
  await writeFile(path.join(files, 'older.json'), 'older');
  await utimes(path.join(files, 'older.json'), new Date(2020, 0, 1), new Date(2020, 0, 1));

  const server = await listen();
  const socket = net.connect(server.address().port, '127.0.0.1');
  const send = (...fields) => socket.write(encode(fields));
  const received = [];
  const messages = [];
  socket.on('data', reader(([name, ...args]) => {
    received.push(String(name));
    if (String(name) === 'message') messages.push(args.map(String));
    if (String(name) === 'navigating') send('decide', String(args[0]), '0');
  }));
  try {
    await once(socket, 'connect');
    send('hello', path.join(dir, 'user data'), '');
    while (!received.includes('ready')) await new Promise((r) => setTimeout(r, 50));
    assert.ok(existsSync(path.join(dir, 'tour-garden', 'Default')), 'Chromium keeps its profile where it was told');
    assert.ok(!existsSync(path.join(dir, 'user data', 'EBWebView')), 'nothing lands in the program\'s user data folder');

    send('map', 'files.example', path.join(dir, 'site'));
    send('navigate', 'https://files.example/');
    const { page } = session();
    await page.waitForSelector('#pick');

    // The save picker writes into the folder under the suggested name.
    assert.equal(await page.evaluate(async () => {
      const handle = await window.showSaveFilePicker({ suggestedName: '情绪花园备份.json' });
      const out = await handle.createWritable();
      await out.write('{"days":{}}');
      await out.close();
      return handle.name;
    }), '情绪花园备份.json');
    assert.equal(await readFile(path.join(files, '情绪花园备份.json'), 'utf8'), '{"days":{}}');

    // A file input gets the newest file there: the backup, not older.json.
    await page.click('#pick');
    await page.waitForFunction(() => window.picked !== undefined);
    assert.equal(await page.evaluate(() => window.picked), '{"days":{}}');
    // So does the open picker.
    assert.equal(await page.evaluate(async () => {
      const [handle] = await window.showOpenFilePicker({ startIn: 'documents' });
      return `${handle.name} ${await (await handle.getFile()).text()}`;
    }), '情绪花园备份.json {"days":{}}');

    // The page's message reaches the program with the page's address, and
    // the program's answer reaches the page's listeners.
    await page.evaluate(() => {
      window.heard = [];
      window.chrome.webview.addEventListener('message', (e) => window.heard.push(e.data));
      window.chrome.webview.postMessage('backup:{}');
    });
    while (!messages.length) await new Promise((r) => setTimeout(r, 50));
    assert.deepEqual(messages, [['string', 'backup:{}', 'https://files.example/']]);
    send('post', 'backup-saved:C:\\文档\\情绪花园备份\\情绪花园自动备份-2026-06-08.json');
    await page.waitForFunction(() => window.heard.length > 0);
    assert.deepEqual(await page.evaluate(() => window.heard), ['backup-saved:C:\\文档\\情绪花园备份\\情绪花园自动备份-2026-06-08.json']);
  } finally {
    const context = session()?.context;
    socket.destroy();
    server.close();
    await context?.close().catch(() => {});
    delete process.env.PREVIEW_WEBVIEW2_PROFILE;
    delete process.env.PREVIEW_WEBVIEW2_FILES;
    await rm(dir, { recursive: true, force: true });
  }
});

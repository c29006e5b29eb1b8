// Measures what the garden costs once it is drawn and nothing happens: what
// crosses the preview runtime's connection, and the CPU time and wake-ups of
// the program's process under Wine. Prints figures.
//
//   scripts/wine-session node tools/preview-webview2/idle.mjs SECONDS COMMAND...
//   (COMMAND as for tour.mjs; scripts/run makes build/run-preview/)
import { readFileSync, readdirSync } from 'node:fs';
import { start, session, events } from './preview.mjs';

const [seconds, ...command] = process.argv.slice(2);
const child = await start(command, { ownStatus: true });
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The Wine process of the program that this page side serves.
function programPid(port) {
  for (const pid of readdirSync('/proc').filter((name) => /^\d+$/.test(name))) {
    try {
      const line = readFileSync(`/proc/${pid}/cmdline`, 'utf8');
      const env = readFileSync(`/proc/${pid}/environ`, 'utf8').split('\0');
      if (line.includes('verdalune.exe') && !line.includes('fake-shell') && env.includes(`PREVIEW_WEBVIEW2_PORT=${port}`)) return pid;
    } catch { /* gone, or not ours */ }
  }
  return null;
}

// CPU nanoseconds and times scheduled, over all threads.
function cpu(pid) {
  let ns = 0, runs = 0;
  const tasks = readdirSync(`/proc/${pid}/task`);
  for (const task of tasks) {
    const [time, , slices] = readFileSync(`/proc/${pid}/task/${task}/schedstat`, 'utf8').trim().split(' ').map(Number);
    ns += time;
    runs += slices;
  }
  return { ns, runs, threads: tasks.length };
}

try {
  await new Promise((resolve) => events.on('message', (isString, text) => text === 'showWall' && resolve()));
  // Drawn: the first frames have gone out and then none for three seconds.
  await new Promise((resolve) => {
    let quiet = setTimeout(resolve, 3000);
    events.on('frame', () => { clearTimeout(quiet); quiet = setTimeout(resolve, 3000); });
  });
  const pid = programPid(child.port);
  const counts = () => JSON.parse(JSON.stringify(session().counts));
  const before = counts(), used = pid && cpu(pid);
  await sleep(Number(seconds) * 1000);
  const after = counts(), usedAfter = pid && cpu(pid);
  console.log(`garden drawn and left alone for ${seconds} s:`);
  console.log(`  connection, DLL to page side: ${after.messagesIn - before.messagesIn} messages, ${after.bytesIn - before.bytesIn} bytes`);
  console.log(`  connection, page side to DLL: ${after.messagesOut - before.messagesOut} messages, ${after.bytesOut - before.bytesOut} bytes, ${after.frames - before.frames} frames`);
  if (pid) {
    console.log(`  program process ${pid} (${usedAfter.threads} threads): ${((usedAfter.ns - used.ns) / 1e6).toFixed(2)} ms CPU, `
      + `${usedAfter.runs - used.runs} times scheduled`);
  } else {
    console.log('  program process: not found');
  }
} catch (error) {
  console.error(`idle: ${error.message}`);
  process.exitCode = 1;
}
child.kill('SIGTERM');

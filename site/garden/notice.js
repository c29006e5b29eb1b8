// What the page says when the stored garden could not be read as it is: one
// line on the wall, and the whole of it in the menu. `problem` is as load()
// in store.js gives it.
import { $ } from './dom.js';

function problemText(p, detail) {
  const readOnly = '为免覆盖原来的记录，现在只能查看，暂时不能种花或恢复备份。';
  const more = detail ? '' : '详情请看托盘菜单里的“花园菜单”。';
  // Only a backup file brings back a garden lost whole: say where it goes in.
  const home = detail ? '点下面的“从备份恢复”' : '在“花园菜单”里点“从备份恢复”';
  switch (p.kind) {
    case 'damaged':
      if (p.whole) return `保存的花园读不出来，已经原样另外保管，花园先从空白开始。备份过的话，${home}，就能把存成文件的花园找回来。`;
      return p.unread
        ? `有 ${p.unread} 天的记录读不出来，已经另外保管；其余的花都在。${more}`
        : `保存的花园有一部分读不出来，已经另外保管；所有的花都在。${more}`;
    case 'stuck':
      return p.whole
        ? `保存的花园读不出来，也没能另外保管。${readOnly}`
        : `有 ${p.unread} 天的记录读不出来，也没能另外保管。${readOnly}`;
    case 'newer':
      return `这座花园是新版 Verdalune 保存的${p.unread ? `，其中 ${p.unread} 天这个版本显示不了` : ''}。`
        + '现在只能查看，不能种花或恢复备份；请更新 Verdalune。';
    default:
      return `没能读取这台电脑上保存的花园。${readOnly}`;
  }
}

// Shows `problem`, or nothing for null.
export function drawProblem(problem) {
  $('notice').hidden = !problem;
  $('menu-notice').hidden = !problem;
  if (!problem) return;
  $('notice').textContent = problemText(problem, false);
  let detail = problemText(problem, true);
  if (problem.reason) detail += `原因：${problem.reason}。`;
  if (problem.kind === 'damaged') detail += '读不出来的部分在下面的“另外保管的内容”里，可以导出为文件。';
  $('menu-notice-text').textContent = detail;
}

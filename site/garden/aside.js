// What was set aside because it could not be read, in the menu: each value
// can be exported as it is, joined back (where the garden lacks its days or
// holds them otherwise, after one question about those), or deleted after
// one more question. A value goes only once all of it is in the garden as it
// is, or the person chose which side stays.
import { differing, holdsAll, mergeDays, sameEntry, withinLimit } from './data.js';
import { asideValues, dropAside } from './store.js';
import { $, button, item } from './dom.js';
import { differText } from './restore.js';

// `backup` delivers a file and says how it went; `changed()` redraws the menu.
export function createAside({ state, keep, backup, changed }) {
  const { say } = backup;

  function drawAside() {
    const values = asideValues();
    $('aside').hidden = values.length === 0;
    $('aside-list').replaceChildren(...values.map(row));
  }

  function row(value) {
    const li = item('li');
    li.dataset.key = value.name;
    const missing = [...value.days.keys()].filter((k) => !state.days.has(k)).length;
    const differ = differing(state.days, value.days).length;
    const parts = [];
    if (value.whole) parts.push('整份读不出来');
    else if (value.unread) parts.push(`${value.unread} 天的记录读不出来`);
    if (missing) parts.push(`${missing} 天现在可以合并回花园`);
    if (differ) parts.push(`${differ} 天和花园里的记录不同`);
    li.append(item('p', '', `${value.when || value.name} 另外保管的：${parts.join('，') || '都已经合并回花园了'}。`));
    const actions = item('div', 'actions');
    actions.append(button('导出为文件', async () => {
      const saved = await backup.deliver(value.raw, `情绪花园-另外保管-${value.name}.txt`, '另外保管的内容');
      if (saved) say(`另外保管的内容已经原样存到文件“${saved.file}”。`, 'ok');
    }));
    if (missing + differ) actions.append(button(`合并回花园（${missing + differ} 天）`, () => join(li, value)));
    const remove = button('删除', () => confirmRemove(li, value, remove));
    actions.append(remove);
    li.append(actions);
    return li;
  }

  // Where a day differs, the person chooses once which side stays.
  function join(li, value) {
    const differ = differing(state.days, value.days);
    if (!differ.length) {
      joinWith(value, 'ours', false);
      return;
    }
    li.querySelector('.aside-pick')?.remove();
    const box = item('div', 'aside-pick');
    const actions = item('div', 'actions');
    const ours = button('留下现在的', () => joinWith(value, 'ours', true));
    actions.append(ours, button('用另外保管的', () => joinWith(value, 'theirs', true)));
    box.append(item('p', '', `有 ${differ.length} 天两边的记录不同（${differText(differ, state.days, value.days, state.today, '另外保管的')}）。要保留哪一边？`), actions);
    li.append(box);
    ours.focus();
  }

  async function joinWith(value, side, chose) {
    let joined = 0;
    let all = false;
    try {
      await keep((days) => {
        const next = withinLimit(mergeDays(days, value.days, side));
        joined = [...value.days.keys()].filter((k) => !sameEntry(days.get(k), next.get(k))).length;
        all = chose || holdsAll(next, value.days);
        return next;
      });
    } catch (e) {
      say(`没能合并回花园：${e.message}。花园没有变。`, 'error');
      return;
    }
    if (all && !value.whole && !value.unread) await dropAside(value);
    changed();
    say(`已经把 ${joined} 天合并回花园。`, 'ok');
  }

  // Deleting a set-aside value cannot be undone, so it is asked once more.
  function confirmRemove(li, value, remove) {
    if (li.querySelector('.aside-confirm')) return;
    const box = item('div', 'aside-confirm');
    const actions = item('div', 'actions');
    const no = button('取消', () => {
      box.remove();
      remove.focus();
    });
    actions.append(no, button('确定删除', async () => {
      if (!await dropAside(value)) {
        say('没能删除这份另外保管的内容，请稍后再试。', 'error');
        return;
      }
      changed();
      say('已经删除这份另外保管的内容。', 'ok');
      ($('aside-list').querySelector('button') || $('backup-restore')).focus();
    }));
    const warning = item('p', '', '删除后就再也找不回来了。想留着的话，请先导出为文件。');
    warning.setAttribute('role', 'alert');
    box.append(warning, actions);
    li.append(box);
    no.focus();
  }

  return { draw: drawAside };
}

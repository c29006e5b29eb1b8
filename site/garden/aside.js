// What was set aside because it could not be read, in the menu: each value
// can be exported as it is, joined back where the garden lacks its days, or
// deleted after one more question.
import { MAX_DAYS } from './data.js';
import { asideValues, dropAside } from './store.js';
import { button, item } from './dom.js';

const $ = (id) => document.getElementById(id);

// `backup` delivers a file and says how it went; `changed()` redraws the menu.
export function createAside({ state, keep, backup, changed }) {
  const { say } = backup;

  // What was set aside because it could not be read: export it as it is,
  // and join back whatever of it can be read now.
  function drawAside() {
    const values = asideValues();
    $('aside').hidden = values.length === 0;
    $('aside-list').replaceChildren(...values.map((value) => {
      const li = item('li');
      li.dataset.key = value.name;
      const joinable = [...value.days.keys()].filter((k) => !state.days.has(k));
      const parts = [];
      if (value.whole) parts.push('整份读不出来');
      else if (value.unread) parts.push(`${value.unread} 天的记录读不出来`);
      if (joinable.length) parts.push(`${joinable.length} 天现在可以合并回花园`);
      li.append(item('p', '', `${value.when || value.name} 另外保管的：${parts.join('，') || '都已经合并回花园了'}。`));
      const actions = item('div', 'actions');
      actions.append(button('导出为文件', async () => {
        const saved = await backup.deliver(value.raw, `情绪花园-另外保管-${value.name}.txt`, '另外保管的内容');
        if (saved) say(`另外保管的内容已经原样存到文件“${saved.file}”。`, 'ok');
      }));
      if (joinable.length) {
        actions.append(button(`合并回花园（${joinable.length} 天）`, async () => {
          let joined = 0;
          try {
            await keep((days) => {
              // Only days the garden still lacks: a day planted meanwhile stays.
              const next = new Map(days);
              for (const [key, entry] of value.days) if (!next.has(key)) { next.set(key, entry); joined++; }
              // A garden over the limit would make a backup that no restore takes.
              if (next.size > MAX_DAYS) throw new Error(`花园最多 ${MAX_DAYS} 天，合并后会有 ${next.size} 天`);
              return new Map([...next].sort(([a], [b]) => (a < b ? -1 : 1)));
            });
          } catch (e) {
            say(`没能合并回花园：${e.message}。花园没有变。`, 'error');
            return;
          }
          if (!value.whole && !value.unread) await dropAside(value);
          changed();
          say(`已经把 ${joined} 天合并回花园。`, 'ok');
        }));
      }
      const remove = button('删除', () => confirmRemove(li, value, remove));
      actions.append(remove);
      li.append(actions);
      return li;
    }));
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

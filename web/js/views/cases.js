// cases.js: cases: list, create, read, and add notes.
import {h, fill, fmtTime, fmtNum, sevBadge, errorBox, table, clickable, pager, SEVERITIES} from '../dom.js';
import {getJson, postJson, query, enc} from '../api.js';

export default {
  title: 'Cases',
  mount(root, ctx, arg) {
    const state = {limit: 50, offset: 0};
    let seq = 0;
    const title = h('input', {type: 'text', name: 'title', required: true, maxlength: 128, id: 'case-title'});
    const severity = h('select', {name: 'severity', id: 'case-severity'},
      SEVERITIES.map(s => h('option', {value: s, selected: s === 'medium'}, s)));
    const description = h('textarea', {name: 'description', maxlength: 512, id: 'case-description'});
    const formMsg = h('div');
    const form = h('form', {class: 'stack card', id: 'case-form'},
      h('h2', null, 'New case'),
      h('div', {class: 'row'}, h('label', null, 'Title', title), h('label', null, 'Severity', severity)),
      h('label', null, 'Description', description),
      h('div', {class: 'row'}, h('button', {type: 'submit', class: 'primary'}, 'Create case')),
      formMsg);
    const listBox = h('div', {id: 'case-list'}, h('p', {class: 'muted'}, 'Loading…'));
    fill(root, h('h1', null, 'Cases'), form, listBox);

    form.addEventListener('submit', async e => {
      e.preventDefault();
      const body = {title: title.value, description: description.value};
      if (severity.value !== 'info') body.severity = severity.value;
      fill(formMsg);
      try {
        const r = await postJson('/api/cases', body);
        title.value = '';
        description.value = '';
        state.offset = 0;
        await load();
        openCase(ctx, r.id, true, load);
      } catch (err) {
        fill(formMsg, errorBox(err));
      }
    });

    async function load() {
      const my = ++seq;
      let res;
      try {
        res = await getJson('/api/cases' + query(state));
      } catch (err) {
        if (my === seq) fill(listBox, errorBox(err));
        return;
      }
      if (my !== seq) return;
      const list = res.cases;
      fill(listBox,
        table([{label: 'ID', num: true}, {label: 'Title', wrap: true}, {label: 'Severity'}, {label: 'Status', narrow: true},
               {label: 'Assignee', narrow: true}, {label: 'Notes', num: true}, {label: 'Updated', narrow: true}],
          list.map(c => [String(c.id), c.title || '(untitled)', sevBadge(c.severity), c.status, c.assignee || '—',
                         fmtNum(c.note_count), fmtTime(c.updated_at)]),
          {empty: 'No cases yet.', rowProps: i => clickable(() => openCase(ctx, list[i].id, true, load), `Case ${list[i].id}`)}),
        pager(res, off => { state.offset = off; load(); }));
    }

    load();
    if (arg) openCase(ctx, arg, false, load);
  },
};

async function openCase(ctx, id, pushUrl, onChange) {
  const {panel} = ctx;
  if (pushUrl) history.replaceState(null, '', `#/cases/${enc(id)}`);
  const token = panel.open(`Case ${id}`, () => {
    if (location.hash.startsWith('#/cases/')) history.replaceState(null, '', '#/cases');
  });
  const render = async () => {
    let c;
    try {
      c = await getJson(`/api/cases/${enc(id)}`);
    } catch (err) {
      if (panel.current(token)) fill(panel.body(), errorBox(err));
      return;
    }
    if (!panel.current(token)) return;
    panel.setTitle(`Case ${c.id}`);
    const content = h('textarea', {name: 'content', required: true, maxlength: 1024, id: 'note-content'});
    const author = h('input', {type: 'text', name: 'author', maxlength: 64, placeholder: 'anonymous', id: 'note-author'});
    const msg = h('div');
    const noteForm = h('form', {class: 'stack', id: 'note-form'},
      h('label', null, 'Note', content), h('label', null, 'Author', author),
      h('div', {class: 'row'}, h('button', {type: 'submit', class: 'primary'}, 'Add note')), msg);
    noteForm.addEventListener('submit', async e => {
      e.preventDefault();
      const body = {content: content.value};
      if (author.value) body.author = author.value;
      try {
        await postJson(`/api/cases/${enc(c.id)}/notes`, body);
      } catch (err) {
        fill(msg, errorBox(err));
        return;
      }
      await render();
      if (onChange) onChange();
    });
    fill(panel.body(),
      h('h3', {class: 'case-title'}, c.title || '(untitled)'),
      h('dl', {class: 'kv'},
        h('dt', null, 'Severity'), h('dd', null, sevBadge(c.severity)),
        h('dt', null, 'Status'), h('dd', null, c.status),
        h('dt', null, 'Assignee'), h('dd', null, c.assignee || '—'),
        h('dt', null, 'Created'), h('dd', null, fmtTime(c.created_at)),
        h('dt', null, 'Updated'), h('dd', null, fmtTime(c.updated_at)),
        h('dt', null, 'Resolved'), h('dd', null, fmtTime(c.resolved_at)),
        h('dt', null, 'Linked alerts'), h('dd', null, c.linked_alert_ids.length
          ? c.linked_alert_ids.map(a => h('a', {href: `#/alerts/${a}`, class: 'chip'}, `#${a}`)) : '—')),
      c.description ? [h('h3', null, 'Description'), h('pre', {class: 'case-description'}, c.description)] : null,
      h('h3', null, `Notes (${c.notes.length})`),
      h('div', {id: 'case-notes'}, c.notes.length
        ? c.notes.map(n => h('div', {class: 'case-note'},
            h('div', {class: 'note'}, `${n.author} · ${fmtTime(n.created_at)}`), h('pre', null, n.content)))
        : h('p', {class: 'muted'}, 'No notes yet.')),
      h('h3', null, 'Add a note'), noteForm);
  };
  await render();
}

// rules.js: detection rules: list and import.
import {h, fill, errorBox, table, pager} from '../dom.js';
import {getJson, postJson, query} from '../api.js';

export default {
  title: 'Rules',
  mount(root) {
    const state = {limit: 50, offset: 0};
    let seq = 0;
    const text = h('textarea', {name: 'rule', required: true, rows: 10, class: 'mono', id: 'rule-text',
      placeholder: 'title: Suspicious outbound DNS\nlogsource:\n  category: dns\ndetection:\n  keywords:\n    - example.invalid\nlevel: high'});
    const msg = h('div', {id: 'rule-message'});
    const form = h('form', {class: 'stack card', id: 'rule-form'},
      h('h2', null, 'Import a rule'),
      h('label', null, 'Sigma rule (YAML)', text),
      h('div', {class: 'row'}, h('button', {type: 'submit', class: 'primary'}, 'Import')),
      msg);
    const listBox = h('div', {id: 'rule-list'}, h('p', {class: 'muted'}, 'Loading…'));
    fill(root, h('h1', null, 'Detection rules'), listBox, form);

    form.addEventListener('submit', async e => {
      e.preventDefault();
      fill(msg);
      try {
        const r = await postJson('/api/rules/import', text.value);
        fill(msg, h('p', {class: 'note'}, `The daemon answered: ${r.status}, ${r.message}.`));
        text.value = '';
        load();
      } catch (err) {
        fill(msg, errorBox(err));
      }
    });

    async function load() {
      const my = ++seq;
      let res;
      try {
        res = await getJson('/api/rules' + query(state));
      } catch (err) {
        if (my === seq) fill(listBox, errorBox(err));
        return;
      }
      if (my !== seq) return;
      fill(listBox,
        table([{label: 'ID'}, {label: 'Title', wrap: true}, {label: 'Level'}, {label: 'Status', narrow: true},
               {label: 'Enabled'}, {label: 'Log source', narrow: true}],
          res.rules.map(r => [h('span', {class: 'mono'}, r.id), r.title, r.level, r.status,
                              r.enabled ? h('span', {class: 'ok'}, 'yes') : h('span', {class: 'muted'}, 'no'), r.logsource_category || '—']),
          {empty: 'No rules loaded. The built-in behavioural detections run regardless.'}),
        pager(res, off => { state.offset = off; load(); }));
    }
    load();
  },
};

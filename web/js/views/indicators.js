// indicators.js: threat indicators: list with hits, add one, import a file.
import {h, fill, fmtNum, fmtTime, sevBadge, errorBox, table, pager, SEVERITIES} from '../dom.js';
import {getJson, postJson, query} from '../api.js';

const TYPES = ['ip', 'domain', 'url', 'hash_md5', 'hash_sha1', 'hash_sha256', 'email', 'cidr'];

export default {
  title: 'Indicators',
  mount(root) {
    const state = {limit: 50, offset: 0};
    let seq = 0;
    let total = 0;
    const value = h('input', {type: 'text', name: 'value', required: true, maxlength: 256, id: 'indicator-value'});
    const type = h('select', {name: 'type', id: 'indicator-type'}, TYPES.map(t => h('option', {value: t}, t)));
    const severity = h('select', {name: 'severity', id: 'indicator-severity'},
      SEVERITIES.map(s => h('option', {value: s, selected: s === 'medium'}, s)));
    const source = h('input', {type: 'text', name: 'source', maxlength: 64, placeholder: 'manual', id: 'indicator-source'});
    const msg = h('div');
    const form = h('form', {class: 'stack card', id: 'indicator-form'},
      h('h2', null, 'Add an indicator'),
      h('div', {class: 'row'}, h('label', null, 'Value', value), h('label', null, 'Type', type),
        h('label', null, 'Severity', severity), h('label', null, 'Source', source),
        h('button', {type: 'submit', class: 'primary'}, 'Add')),
      msg);
    const file = h('input', {type: 'file', name: 'file', required: true, id: 'import-file',
      accept: '.txt,.csv,.dat,.intel,.list,text/plain,text/csv'});
    const importSource = h('input', {type: 'text', name: 'source', maxlength: 64, placeholder: 'file name', id: 'import-source'});
    const importSeverity = h('select', {name: 'severity', id: 'import-severity'},
      SEVERITIES.map(s => h('option', {value: s, selected: s === 'medium'}, s)));
    const importMsg = h('div', {id: 'import-result'});
    const importForm = h('form', {class: 'stack card', id: 'import-form'},
      h('h2', null, 'Import a list'),
      h('p', {class: 'muted'}, 'A plain list (one address, network, domain, URL, hash or e-mail address a line; # and ; start comments), CSV with a header naming type, value, severity, source and expiry, or a Zeek intel file. Severity and source apply to lines that name none.'),
      h('div', {class: 'row'}, h('label', null, 'File', file), h('label', null, 'Severity', importSeverity),
        h('label', null, 'Source', importSource), h('button', {type: 'submit', class: 'primary'}, 'Import')),
      importMsg);
    const listBox = h('div', {id: 'indicator-list'}, h('p', {class: 'muted'}, 'Loading…'));
    fill(root, h('h1', null, 'Threat indicators'), form, importForm, listBox);

    importForm.addEventListener('submit', async e => {
      e.preventDefault();
      const f = file.files && file.files[0];
      if (!f) return;
      fill(importMsg, h('p', {class: 'muted'}, 'Importing…'));
      let res;
      try {
        const text = await f.text();
        const source = importSource.value || f.name.slice(0, 64);
        res = await postJson('/api/indicators/bulk' + query({source, severity: importSeverity.value}), text);
      } catch (err) {
        fill(importMsg, errorBox(err));
        return;
      }
      const lines = (res.rejected_lines || []).map(r => h('li', null, `line ${r.line}: ${r.reason} `, h('span', {class: 'mono'}, r.text)));
      fill(importMsg,
        h('p', null, `${res.imported} imported, ${res.duplicate} already known, ${res.rejected} rejected.`),
        lines.length ? h('ul', {class: 'muted'}, lines) : null);
      file.value = '';
      load();
    });

    form.addEventListener('submit', async e => {
      e.preventDefault();
      const body = {value: value.value, type: type.value, severity: severity.value};
      if (source.value) body.source = source.value;
      fill(msg);
      try {
        await postJson('/api/indicators', body);
      } catch (err) {
        fill(msg, errorBox(err));
        return;
      }
      value.value = '';
      // Indicators are listed in the order they were added: show the page
      // that holds the new one.
      state.offset = Math.floor(total / state.limit) * state.limit;
      load();
    });

    async function load() {
      const my = ++seq;
      let res;
      try {
        res = await getJson('/api/indicators' + query(state));
      } catch (err) {
        if (my === seq) fill(listBox, errorBox(err));
        return;
      }
      if (my !== seq) return;
      total = res.total;
      if (state.offset >= res.total && res.total > 0) {
        state.offset = Math.floor((res.total - 1) / state.limit) * state.limit;
        return load();
      }
      fill(listBox,
        table([{label: 'Value', wrap: true}, {label: 'Type'}, {label: 'Severity'}, {label: 'Source', narrow: true},
               {label: 'Expires', narrow: true}, {label: 'Added'}, {label: 'Hits'}, {label: 'Last hit'}],
          res.indicators.map(i => [h('span', {class: 'mono'}, i.value), i.type, sevBadge(i.severity), i.source,
                                   i.expiry ? fmtTime(i.expiry) : 'never', fmtTime(i.created_at),
                                   fmtNum(i.hits ?? 0), i.last_hit ? fmtTime(i.last_hit) : '—']),
          {empty: 'No indicators yet.'}),
        pager(res, off => { state.offset = off; load(); }));
    }
    load();
  },
};

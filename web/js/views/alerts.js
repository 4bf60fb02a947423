// alerts.js: the alert list (severity and status filters, search, paging)
// and the alert panel with its evidence, related events and triage buttons.
import {h, fill, fmtTime, fmtNum, sevBadge, eventTypeName, errorBox, table, clickable, pager, debounce, throttle, SEVERITIES} from '../dom.js';
import {getJson, patchJson, query, enc} from '../api.js';

const STATUSES = ['new', 'acknowledged', 'investigating', 'resolved', 'false_positive'];
// The triage buttons: the status each sets and its label.
const TRIAGE = [['acknowledged', 'Acknowledge'], ['investigating', 'Investigate'], ['resolved', 'Resolve'], ['false_positive', 'False positive']];

// A filter as the API takes it: empty for "all", a word that matches
// nothing when none is chosen, else the chosen words joined by commas.
function maskParam(chosen, all) {
  if (chosen.size === all.length) return '';
  if (chosen.size === 0) return 'none';
  return all.filter(x => chosen.has(x)).join(',');
}

export default {
  title: 'Alerts',
  mount(root, ctx, arg) {
    const sev = new Set(SEVERITIES);
    const st = new Set(STATUSES);
    const state = {search: '', limit: 50, offset: 0};
    let seq = 0;
    const boxes = (legend, all, set, name) => h('fieldset', null, h('legend', null, legend),
      all.map(v => {
        const cb = h('input', {type: 'checkbox', checked: true, name, value: v});
        cb.addEventListener('change', () => { if (cb.checked) set.add(v); else set.delete(v); state.offset = 0; load(); });
        return h('label', {class: 'check'}, cb, v.replace('_', ' '));
      }));
    const search = h('input', {type: 'search', placeholder: 'Search title, description, address', 'aria-label': 'Search alerts', id: 'alert-search'});
    const size = h('select', {'aria-label': 'Rows per page', id: 'alert-page-size'},
      [50, 100, 200, 500].map(n => h('option', {value: n}, `${n} per page`)));
    size.addEventListener('change', () => { state.limit = Number(size.value); state.offset = 0; load(); });
    const fresh = h('div');
    const listBox = h('div', {id: 'alert-list'}, h('p', {class: 'muted'}, 'Loading…'));
    fill(root, h('h1', null, 'Alerts'),
      h('div', {class: 'toolbar'}, boxes('Severity', SEVERITIES, sev, 'severity'), boxes('Status', STATUSES, st, 'status')),
      h('div', {class: 'toolbar'}, search, h('span', {class: 'grow'}), size), fresh, listBox);

    async function load() {
      const my = ++seq;
      let res;
      try {
        res = await getJson('/api/alerts' + query({
          limit: state.limit, offset: state.offset, search: state.search,
          severity: maskParam(sev, SEVERITIES), status: maskParam(st, STATUSES)}));
      } catch (err) {
        if (my === seq) fill(listBox, errorBox(err));
        return;
      }
      if (my !== seq) return;
      fill(fresh);
      const list = res.alerts;
      fill(listBox,
        table([{label: 'ID', num: true}, {label: 'Severity'}, {label: 'Title', wrap: true}, {label: 'Status', narrow: true},
               {label: 'Source', narrow: true}, {label: 'Destination', narrow: true}, {label: 'Created'}],
          list.map(a => [String(a.id), sevBadge(a.severity), a.title, a.status.replace('_', ' '),
                         h('span', {class: 'mono'}, a.source_ip || '—'), h('span', {class: 'mono'}, a.dest_ip || '—'), fmtTime(a.created_at)]),
          {empty: 'No alert matches.', rowProps: i => clickable(() => openAlert(ctx, list[i].id, true), `Alert ${list[i].id}`)}),
        pager(res, off => { state.offset = off; load(); }));
    }

    search.addEventListener('input', debounce(() => {
      if (search.value === state.search) return;
      state.search = search.value;
      state.offset = 0;
      load();
    }, 250));

    // New alerts arrive at the top: the first page follows them, other
    // pages say so instead of shifting under the reader.
    const refresh = throttle(() => load(), 1000);
    const onAlert = () => {
      if (state.offset === 0) refresh();
      else fill(fresh, h('p', {class: 'note'}, 'New alerts arrived. ', h('a', {href: '#/alerts', onclick: e => { e.preventDefault(); state.offset = 0; load(); }}, 'Show the newest')));
    };
    const onReopen = () => load();
    // A triage change, here or in another window, shows in the list.
    const onStatus = throttle(() => load(), 500);
    ctx.feed.addEventListener('alert', onAlert);
    ctx.feed.addEventListener('alert_status', onStatus);
    ctx.feed.addEventListener('reopen', onReopen);
    load();
    if (arg) openAlert(ctx, arg, false);
    return () => {
      ctx.feed.removeEventListener('alert', onAlert);
      ctx.feed.removeEventListener('alert_status', onStatus);
      ctx.feed.removeEventListener('reopen', onReopen);
    };
  },
};

export async function openAlert(ctx, id, pushUrl) {
  const {panel} = ctx;
  if (pushUrl) history.replaceState(null, '', `#/alerts/${enc(id)}`);
  const token = panel.open(`Alert ${id}`, () => {
    if (location.hash.startsWith('#/alerts/')) history.replaceState(null, '', '#/alerts');
  });
  let a;
  try {
    a = await getJson(`/api/alerts/${enc(id)}`);
  } catch (err) {
    if (panel.current(token)) fill(panel.body(), errorBox(err));
    return;
  }
  if (!panel.current(token)) return;
  showAlert(ctx, token, a);
}

// The triage controls: a note and one button per status; the answer (the
// alert as it now stands) redraws the panel.
function triageBox(ctx, token, a) {
  const note = h('input', {type: 'text', id: 'triage-note', maxlength: 256, placeholder: 'Note (optional)', 'aria-label': 'Triage note'});
  const msg = h('div', {id: 'triage-msg', role: 'status'});
  const buttons = TRIAGE.map(([status, label]) => {
    const b = h('button', {type: 'button', class: 'triage', 'data-status': status, disabled: a.status === status}, label);
    b.addEventListener('click', async () => {
      for (const x of buttons) x.disabled = true;
      try {
        const next = await patchJson(`/api/alerts/${enc(a.id)}`, {status, note: note.value});
        if (ctx.panel.current(token)) showAlert(ctx, token, next);
      } catch (err) {
        fill(msg, errorBox(err));
        for (const x of buttons) x.disabled = x.dataset.status === a.status;
      }
    });
    return b;
  });
  return h('div', {class: 'triage-box'}, h('div', {class: 'toolbar'}, buttons), note, msg);
}

function showAlert(ctx, token, a) {
  const {panel} = ctx;
  panel.setTitle(`Alert ${a.id}`);
  const sourceText = {buffer: 'from the recent events in memory', database: 'from the database', none: ''}[a.event_source] ?? a.event_source;
  fill(panel.body(),
    h('h3', {class: 'alert-title'}, a.title),
    h('dl', {class: 'kv'},
      h('dt', null, 'Severity'), h('dd', null, sevBadge(a.severity)),
      h('dt', null, 'Status'), h('dd', {id: 'alert-status'}, a.status.replace('_', ' ')),
      a.note ? [h('dt', null, 'Note'), h('dd', {id: 'alert-note'}, a.note)] : null,
      a.status_changed_at ? [h('dt', null, 'Status changed'), h('dd', null, fmtTime(a.status_changed_at))] : null,
      h('dt', null, 'Created'), h('dd', null, fmtTime(a.created_at)),
      h('dt', null, 'Source'), h('dd', {class: 'mono'}, [a.source_ip || '—', a.source_mac !== '00:00:00:00:00:00' ? ` (${a.source_mac})` : '']),
      h('dt', null, 'Destination'), h('dd', {class: 'mono'}, a.dest_ip || '—'),
      h('dt', null, 'Surprise'), h('dd', null, Number(a.surprise_score).toFixed(4)),
      h('dt', null, 'Collision waves'), h('dd', null, fmtNum(a.collision_wave_count))),
    triageBox(ctx, token, a),
    a.description ? [h('h3', null, 'Description'), h('p', {class: 'alert-description'}, a.description)] : null,
    h('h3', null, 'Evidence'),
    a.evidence ? h('pre', {class: 'evidence'}, a.evidence) : h('p', {class: 'muted'}, 'No evidence text.'),
    h('h3', null, `Related events (${a.related_events.length})`),
    sourceText ? h('p', {class: 'note'}, `Found ${sourceText}.`) : null,
    a.related_events.length
      ? a.related_events.map(e => h('div', {class: 'event'},
          h('div', {class: 'note'}, `${fmtTime(e.timestamp)} · ${eventTypeName(e.type)} · `, h('span', {class: 'mono'}, e.source_ip || '—')),
          h('pre', null, e.data)))
      : h('p', {class: 'muted'}, 'No related events.'));
}

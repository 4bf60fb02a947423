// devices.js: the device list (search, active/inactive, paging) and the
// device panel: neighbours, recent events, activity, similar devices and
// the learned baseline.
import {h, fill, fmtNum, fmtTime, fmtAge, eventTypeName, errorBox, table, clickable, pager, debounce} from '../dom.js';
import {getJson, putJson, query, enc} from '../api.js';
import {TimeChart} from '../chart.js';

const NO_MAC = '00:00:00:00:00:00';

export default {
  title: 'Devices',
  mount(root, ctx, arg) {
    const state = {search: '', status: 'active', limit: 50, offset: 0};
    let seq = 0;
    const search = h('input', {type: 'search', placeholder: 'Search MAC, name, host name, vendor or address', 'aria-label': 'Search devices', id: 'device-search'});
    const status = h('select', {'aria-label': 'Device status', id: 'device-status'},
      h('option', {value: 'active'}, 'Active (last hour)'),
      h('option', {value: 'inactive'}, 'Inactive'));
    const size = h('select', {'aria-label': 'Rows per page', id: 'device-page-size'},
      [50, 100, 200, 500].map(n => h('option', {value: n}, `${n} per page`)));
    const listBox = h('div', {id: 'device-list'}, h('p', {class: 'muted'}, 'Loading…'));
    fill(root, h('h1', null, 'Devices'),
      h('div', {class: 'toolbar'}, search, status, h('span', {class: 'grow'}), size), listBox);

    async function load() {
      const my = ++seq;
      let res;
      try {
        res = await getJson('/api/devices' + query(state));
      } catch (err) {
        if (my === seq) fill(listBox, errorBox(err));
        return;
      }
      if (my !== seq) return;
      // A page past the end (the list shrank) moves back to the last page.
      if (res.devices.length === 0 && res.total > 0 && state.offset >= res.total) {
        state.offset = Math.floor((res.total - 1) / state.limit) * state.limit;
        return load();
      }
      render(res);
    }

    function render(res) {
      const rows = res.devices.map(d => [
        h('span', {class: 'device-label'}, d.label || d.hostname || '—'),
        d.type === 'ip' ? '—' : (d.hostname || '—'),
        d.type === 'ip' ? '—' : (d.vendor || '—'),
        h('span', {class: 'mono'}, d.mac === NO_MAC ? '—' : d.mac),
        h('span', {class: 'mono'}, d.type === 'ip' ? d.label : (d.ip || '—')),
        d.type === 'ip' ? 'address' : (d.kind || 'device'),
        d.type === 'ip' ? '—' : `${Math.round(d.confidence * 100)} %`,
        fmtNum(d.signal_count),
        h('span', {title: fmtTime(d.last_seen)}, fmtAge(d.last_seen)),
      ]);
      const idOf = d => (d.type === 'ip' ? d.label : d.mac);
      const pageBar = pager(res, off => { state.offset = off; load(); });
      fill(listBox,
        table([{label: 'Name'}, {label: 'Host name'}, {label: 'Vendor'}, {label: 'MAC'}, {label: 'Address'}, {label: 'Kind', narrow: true},
               {label: 'Confidence', num: true, narrow: true}, {label: 'Signals', num: true, narrow: true}, {label: 'Last seen'}],
          rows, {empty: state.search ? 'No device matches.' : `No ${state.status} devices.`,
                 rowProps: i => clickable(() => openDevice(ctx, idOf(res.devices[i]), true), `Device ${idOf(res.devices[i])}`)}),
        pageBar);
    }

    search.addEventListener('input', debounce(() => {
      if (search.value === state.search) return;
      state.search = search.value;
      state.offset = 0;
      load();
    }, 250));
    status.addEventListener('change', () => { state.status = status.value; state.offset = 0; load(); });
    size.addEventListener('change', () => { state.limit = Number(size.value); state.offset = 0; load(); });

    load();
    if (arg) openDevice(ctx, arg, false);
    const onReopen = () => load();
    ctx.feed.addEventListener('reopen', onReopen);
    return () => ctx.feed.removeEventListener('reopen', onReopen);
  },
};

// Opens the panel for a device (MAC text, label or address).
export async function openDevice(ctx, id, pushUrl) {
  const {panel} = ctx;
  if (pushUrl) history.replaceState(null, '', `#/devices/${enc(id)}`);
  let chart = null;
  const token = panel.open(id, () => {
    if (chart) chart.destroy();
    if (location.hash.startsWith('#/devices/')) history.replaceState(null, '', '#/devices');
  });
  const body = panel.body();
  const base = `/api/devices/${enc(id)}`;
  const [dev, act, sim, bl] = await Promise.allSettled([
    getJson(base), getJson(base + '/activity'), getJson(base + '/similar'), getJson(base + '/baseline')]);
  if (!panel.current(token)) return;
  if (dev.status === 'rejected') {
    fill(body, errorBox(dev.reason));
    return;
  }
  const d = dev.value;
  const canvas = h('canvas', {class: 'chart small', role: 'img', 'aria-label': 'Events per 30 seconds'});
  const isDevice = d.vendor !== '' || d.hostname !== '' || d.label !== '' || d.type === 'device' || d.type === 'fingerprinted';
  fill(body,
    h('dl', {class: 'kv'},
      h('dt', null, 'Identifier'), h('dd', {class: 'mono'}, d.id),
      h('dt', null, 'Name'), h('dd', {id: 'device-name'}, d.label || '—'),
      h('dt', null, 'Host name'), h('dd', {id: 'device-hostname'}, d.hostname || '—'),
      h('dt', null, 'Vendor'), h('dd', {id: 'device-vendor'}, d.vendor || '—'),
      h('dt', null, 'Kind'), h('dd', {id: 'device-kind'}, d.kind || '—'),
      h('dt', null, 'Identified by'), h('dd', null, d.evidence || (d.user_name || d.user_kind ? 'your correction' : '—')),
      h('dt', null, 'Node type'), h('dd', null, d.type),
      h('dt', null, 'Signals'), h('dd', null, fmtNum(d.signal_count)),
      h('dt', null, 'Last seen'), h('dd', null, `${fmtTime(d.last_seen)} (${fmtAge(d.last_seen)})`),
      h('dt', null, 'Activation'), h('dd', null, Number(d.activation).toFixed(4))),
    isDevice ? correctionForm(ctx, d) : null,
    h('h3', null, 'Activity (events per 30 s)'),
    act.status === 'fulfilled' ? canvas : errorBox(act.reason),
    h('h3', null, `Neighbours (${d.neighbors.length})`),
    table([{label: 'Name'}, {label: 'Type'}, {label: 'Relation'}, {label: 'Weight', num: true}],
      d.neighbors.map(n => [h('span', {class: 'mono'}, n.name), n.type, n.edge_type, Number(n.weight).toFixed(2)]),
      {empty: 'No neighbours in the graph.',
       rowProps: i => {
         const n = d.neighbors[i];
         return n.type === 'device' || n.type === 'ip_address' ? clickable(() => openDevice(ctx, n.name, true), `Open ${n.name}`) : null;
       }}),
    h('h3', null, 'Similar devices'),
    similarBlock(ctx, sim),
    h('h3', null, 'Baseline'),
    baselineBlock(bl),
    h('h3', null, `Recent events (${d.recent_events.length})`),
    d.recent_events.length
      ? d.recent_events.map(e => h('div', {class: 'event'},
          h('div', {class: 'note'}, `${fmtTime(e.timestamp)} · ${eventTypeName(e.type)}`),
          h('pre', null, e.data)))
      : h('p', {class: 'muted'}, 'No recent events in memory.'));
  if (act.status === 'fulfilled') {
    chart = new TimeChart(canvas, {kind: 'bar', step: 30});
    chart.set(act.value.map(b => ({t: b.t, v: b.count})));
  }
}

// The user's correction of name and kind (PUT /api/devices/:id); empty
// fields go back to what identification says.
function correctionForm(ctx, d) {
  const name = h('input', {type: 'text', maxlength: 64, value: d.user_name, placeholder: d.label || 'name', 'aria-label': 'Device name', id: 'device-user-name'});
  const kind = h('input', {type: 'text', maxlength: 32, value: d.user_kind, placeholder: d.kind || 'kind', 'aria-label': 'Device kind', id: 'device-user-kind'});
  const status = h('span', {class: 'note'});
  const save = h('button', {type: 'submit', id: 'device-save'}, 'Save');
  const form = h('form', {class: 'toolbar', id: 'device-correct'}, name, kind, save, status);
  form.addEventListener('submit', async ev => {
    ev.preventDefault();
    save.disabled = true;
    try {
      const target = d.id;
      const res = await putJson(`/api/devices/${enc(target)}`, {name: name.value.trim(), kind: kind.value.trim()});
      status.textContent = 'Saved.';
      openDevice(ctx, res.id, true);
    } catch (err) {
      status.textContent = `Not saved: ${err.detail || err.message}`;
    } finally {
      save.disabled = false;
    }
  });
  return [h('h3', null, 'Correct this device'), form];
}

function similarBlock(ctx, sim) {
  if (sim.status === 'rejected') {
    return sim.reason.status === 404 ? h('p', {class: 'muted'}, `Not compared: ${sim.reason.detail}.`) : errorBox(sim.reason);
  }
  const list = sim.value.similar;
  return table([{label: 'Label'}, {label: 'MAC'}, {label: 'Similarity', num: true}, {label: 'Confidence', num: true}],
    list.map(s => [s.label || '—', h('span', {class: 'mono'}, s.mac), Number(s.similarity).toFixed(3), Number(s.confidence).toFixed(2)]),
    {empty: 'No device behaves alike (similarity above 0.5).', rowProps: i => clickable(() => openDevice(ctx, list[i].mac, true), `Open ${list[i].mac}`)});
}

function baselineBlock(bl) {
  if (bl.status === 'rejected') {
    return bl.reason.status === 404 ? h('p', {class: 'muted'}, `No baseline: ${bl.reason.detail}.`) : errorBox(bl.reason);
  }
  const b = bl.value;
  return [
    h('dl', {class: 'kv'},
      h('dt', null, 'Observations'), h('dd', null, fmtNum(b.observation_count)),
      h('dt', null, 'State'), h('dd', null, b.learning ? 'learning' : 'trained'),
      h('dt', null, 'Last observation'), h('dd', null, fmtTime(b.last_observation)),
      h('dt', null, 'Surprise'), h('dd', null, Number(b.surprise).toFixed(4))),
    h('div', {class: 'bars'}, b.features.map(f => h('div', {class: 'bar-row'},
      h('span', {class: 'mono'}, f.name),
      h('div', {class: 'bar'}, h('span', {style: {width: `${Math.max(0, Math.min(1, f.modulation - 1)) * 100}%`}})),
      h('span', {class: 'num'}, Number(f.modulation).toFixed(2))))),
    h('p', {class: 'note'}, 'Modulation 1.00 means the feature is as predicted; 2.00 the largest deviation.'),
  ];
}

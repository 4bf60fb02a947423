// overview.js: headline counters, the events-per-second chart, the newest
// alerts, all kept current by the live feed.
import {h, fill, fmtNum, fmtShortTime, sevBadge, errorBox, table, clickable, throttle} from '../dom.js';
import {getJson} from '../api.js';
import {TimeChart} from '../chart.js';

const COUNTERS = [
  ['devices', 'Devices'],
  ['alerts', 'Alerts'],
  ['events_processed', 'Events processed'],
  ['events_per_second', 'Events / s'],
  ['anomalies', 'Anomalies'],
  ['graph_nodes', 'Graph nodes'],
  ['graph_edges', 'Graph edges'],
];
const NEWEST = 10;

export default {
  title: 'Overview',
  mount(root, {feed}) {
    const values = {};
    const counterEls = {};
    const counters = h('div', {class: 'counters'}, COUNTERS.map(([key, label]) => {
      const v = h('div', {class: 'value', id: `counter-${key}`}, '—');
      counterEls[key] = v;
      return h('div', {class: 'counter'}, h('div', {class: 'label'}, label), v);
    }));
    const canvas = h('canvas', {class: 'chart', role: 'img', 'aria-label': 'Events per second over time'});
    const chart = new TimeChart(canvas, {kind: 'line', unit: 'events / s'});
    const chartNote = h('p', {class: 'note'});
    const alertsBox = h('div', {id: 'newest-alerts'}, h('p', {class: 'muted'}, 'Loading…'));
    const status = h('div');
    fill(root,
      h('h1', null, 'Overview'), status, counters,
      h('div', {class: 'grid2'},
        h('section', {class: 'card'}, h('h2', null, 'Events per second'), canvas, chartNote),
        h('section', {class: 'card'}, h('h2', null, 'Newest alerts'), alertsBox)));

    let alerts = [];
    let alive = true;

    function setCounter(key, v) {
      if (v == null) return;
      const text = key === 'events_per_second' ? Number(v).toFixed(1) : fmtNum(v);
      const el = counterEls[key];
      if (el.textContent !== text) {
        el.textContent = text;
        const card = el.parentElement;
        card.classList.remove('flash');
        void card.offsetWidth;
        card.classList.add('flash');
      }
      values[key] = v;
    }

    function renderAlerts() {
      fill(alertsBox, table(
        [{label: 'Severity'}, {label: 'Title', wrap: true}, {label: 'Time', narrow: true, nowrap: true}],
        alerts.map(a => [sevBadge(a.severity), a.title, fmtShortTime(a.created_at)]),
        {empty: 'No alerts.', rowProps: i => clickable(() => { location.hash = `#/alerts/${alerts[i].id}`; }, `Alert ${alerts[i].id}`)}),
        h('p', {class: 'note'}, h('a', {href: '#/alerts'}, 'All alerts →')));
    }

    async function loadStats() {
      const s = await getJson('/api/stats');
      for (const [key] of COUNTERS) setCounter(key, s[key]);
    }
    async function loadHistory() {
      const hist = await getJson('/api/stats/history');
      chart.set(hist.map(p => ({t: p.t, v: p.eps})));
      fill(chartNote, hist.length
        ? `${hist.length} snapshots, one every 5 s while events arrive.`
        : 'Snapshots are taken every 5 s while events arrive.');
    }
    async function loadAlerts() {
      const a = await getJson(`/api/alerts?limit=${NEWEST}`);
      alerts = a.alerts;
      renderAlerts();
    }

    async function loadAll() {
      const results = await Promise.allSettled([loadStats(), loadHistory(), loadAlerts()]);
      if (!alive) return;
      const errs = results.filter(r => r.status === 'rejected').map(r => r.reason);
      fill(status, errs.map(errorBox));
      if (results[2].status === 'rejected') fill(alertsBox, h('p', {class: 'muted'}, 'Alerts unavailable.'));
    }

    // The feed's device figure counts fingerprinted devices only, while
    // /api/stats also counts local addresses without a device: take the
    // other counters from the message and re-read the device count.
    const refreshDevices = throttle(() => getJson('/api/stats').then(s => alive && setCounter('devices', s.devices), () => {}), 2000);
    const refreshHistory = throttle(() => loadHistory().catch(() => {}), 5000);

    const onStats = e => {
      const d = e.detail;
      for (const [key] of COUNTERS) if (key !== 'devices') setCounter(key, d[key]);
      refreshDevices();
      refreshHistory();
    };
    const onAlert = e => {
      const d = e.detail;
      alerts = [{id: d.id, title: d.title, severity: d.severity, created_at: Math.floor(Date.now() / 1000)},
                ...alerts.filter(a => a.id !== d.id)].slice(0, NEWEST);
      renderAlerts();
      if (typeof values.alerts === 'number') setCounter('alerts', values.alerts + 1);
    };
    const onOpen = () => loadAll();
    feed.addEventListener('stats', onStats);
    feed.addEventListener('alert', onAlert);
    feed.addEventListener('reopen', onOpen);

    loadAll().then(() => {
      if (alive) performance.mark('overview-ready');
    });

    return () => {
      alive = false;
      chart.destroy();
      feed.removeEventListener('stats', onStats);
      feed.removeEventListener('alert', onAlert);
      feed.removeEventListener('reopen', onOpen);
    };
  },
};

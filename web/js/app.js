// app.js: the dashboard shell: view routing by URL fragment, the details
// panel, alert notices and the live feed shared by all views.
import {h, fill, sevBadge} from './dom.js';
import {Feed} from './feed.js';
import overview from './views/overview.js';

const VIEWS = {
  overview: () => Promise.resolve({default: overview}),
  devices: () => import('./views/devices.js'),
  graph: () => import('./views/graph.js'),
  alerts: () => import('./views/alerts.js'),
  cases: () => import('./views/cases.js'),
  indicators: () => import('./views/indicators.js'),
  rules: () => import('./views/rules.js'),
  compliance: () => import('./views/compliance.js'),
  settings: () => import('./views/settings.js'),
};

const root = document.getElementById('view');
const panelEl = document.getElementById('panel');
const panelTitle = document.getElementById('panel-title');
const panelBody = document.getElementById('panel-body');
const toastsEl = document.getElementById('toasts');
const feedState = document.getElementById('feed-state');

const proto = location.protocol === 'https:' ? 'wss:' : 'ws:';
const feed = new Feed(`${proto}//${location.host}/api/ws`);

// The side panel: one at a time; `onClose` runs when it is dismissed.
const panel = {
  onClose: null,
  token: 0,
  open(title, onClose) {
    this.close(false);
    this.onClose = onClose || null;
    fill(panelTitle, title);
    fill(panelBody, h('p', {class: 'muted'}, 'Loading…'));
    panelEl.hidden = false;
    return ++this.token;
  },
  // True while the panel opened with `token` is still the one shown.
  current(token) { return token === this.token && !panelEl.hidden; },
  setTitle(title) { fill(panelTitle, title); },
  body() { return panelBody; },
  close(notify = true) {
    if (panelEl.hidden) return;
    panelEl.hidden = true;
    this.token++;
    const cb = this.onClose;
    this.onClose = null;
    if (notify && cb) cb();
  },
};
document.getElementById('panel-close').addEventListener('click', () => panel.close());
document.addEventListener('keydown', e => {
  if (e.key !== 'Escape') return;
  panel.close();
  toastsEl.replaceChildren();
});

// A notice in the corner; it goes after 10 s, on its close button, or
// with Escape. Clicking it runs `onclick`.
function toast(node, {onclick, sev} = {}) {
  const close = h('button', {type: 'button', class: 'icon-btn toast-close', 'aria-label': 'Dismiss'}, '✕');
  const t = h('div', {class: `toast${sev ? ' toast-' + sev : ''}`, role: 'status'}, close, node);
  close.addEventListener('click', e => { e.stopPropagation(); t.remove(); });
  if (onclick) t.addEventListener('click', () => { onclick(); t.remove(); });
  toastsEl.prepend(t);
  while (toastsEl.children.length > 5) toastsEl.lastChild.remove();
  setTimeout(() => t.remove(), 10000);
}

feed.addEventListener('state', e => {
  feedState.dataset.state = e.detail;
  feedState.textContent = e.detail === 'live' ? 'live' : e.detail;
  feedState.title = e.detail === 'live' ? 'Live feed connected' : 'Live feed: reconnecting to the daemon';
});

// A notice for every new alert, on every view.
feed.addEventListener('alert', e => {
  const a = e.detail;
  toast([h('div', {class: 't-head'}, 'New alert #', String(a.id), ' ', sevBadge(a.severity)),
         h('div', {class: 'toast-title'}, String(a.title ?? ''))],
        {sev: a.severity, onclick: () => { location.hash = `#/alerts/${a.id}`; }});
});

const ctx = {feed, panel, toast};
let cleanup = null;
let mountSeq = 0;

async function route() {
  const frag = location.hash.replace(/^#\/?/, '');
  const slash = frag.indexOf('/');
  let name = slash < 0 ? frag : frag.slice(0, slash);
  let arg = slash < 0 ? '' : frag.slice(slash + 1);
  try { arg = decodeURIComponent(arg); } catch { arg = ''; }
  if (!VIEWS[name]) { name = 'overview'; arg = ''; }
  const seq = ++mountSeq;
  for (const a of document.querySelectorAll('#nav a')) {
    if (a.dataset.view === name) a.setAttribute('aria-current', 'page');
    else a.removeAttribute('aria-current');
  }
  if (cleanup) { try { cleanup(); } catch { /* a view failing to clean up must not block the next */ } cleanup = null; }
  panel.close(false);
  let mod;
  try {
    mod = await VIEWS[name]();
  } catch (err) {
    fill(root, h('div', {class: 'error'}, `This view could not be loaded: ${err.message}`));
    return;
  }
  if (seq !== mountSeq) return;
  document.title = `${mod.default.title} · tarvex`;
  fill(root);
  cleanup = mod.default.mount(root, ctx, arg) || null;
}

window.addEventListener('hashchange', route);
route();
feed.start();

// dom.js: building the page. Everything that comes from the daemon (and so
// from the network: host names, labels, log lines, case text) enters the
// page as text nodes or attribute values, never as markup.

// h('tr', {class: 'x', onclick: fn}, child, 'text', [more]) builds an element.
// Strings and numbers become text nodes; null, undefined and false are skipped.
export function h(tag, props, ...children) {
  const el = document.createElement(tag);
  if (props) {
    for (const [k, v] of Object.entries(props)) {
      if (v == null || v === false) continue;
      if (k === 'class') el.className = v;
      else if (k === 'text') el.textContent = String(v);
      else if (k.startsWith('on')) { if (typeof v === 'function') el.addEventListener(k.slice(2), v); }
      else if (k === 'dataset') Object.assign(el.dataset, v);
      else if (k === 'style') Object.assign(el.style, v);
      else if (k === 'value' || k === 'checked' || k === 'disabled' || k === 'selected') el[k] = v;
      else el.setAttribute(k, v === true ? '' : String(v));
    }
  }
  add(el, children);
  return el;
}

function add(el, children) {
  for (const c of children) {
    if (c == null || c === false) continue;
    if (Array.isArray(c)) add(el, c);
    else if (c instanceof Node) el.appendChild(c);
    else el.appendChild(document.createTextNode(String(c)));
  }
}

// Replaces the children of `el`.
export function fill(el, ...children) {
  el.replaceChildren();
  add(el, children);
  return el;
}

export function fmtNum(n) {
  return typeof n === 'number' && Number.isFinite(n) ? n.toLocaleString('en-US') : '—';
}

function pad(n) { return String(n).padStart(2, '0'); }

// Unix seconds as local "YYYY-MM-DD HH:MM:SS"; 0 or missing as a dash.
export function fmtTime(t) {
  if (!t) return '—';
  const d = new Date(t * 1000);
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
}

// Today's times as the clock time only, older ones with their date.
export function fmtShortTime(t) {
  if (!t) return '—';
  const d = new Date(t * 1000);
  return d.toDateString() === new Date().toDateString() ? fmtClock(t) : fmtTime(t).slice(0, 16);
}

export function fmtClock(t) {
  const d = new Date(t * 1000);
  return `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
}

// "3 min ago" style age of a Unix time.
export function fmtAge(t) {
  if (!t) return 'never';
  const s = Math.max(0, Math.round(Date.now() / 1000 - t));
  if (s < 60) return `${s} s ago`;
  if (s < 3600) return `${Math.floor(s / 60)} min ago`;
  if (s < 86400) return `${Math.floor(s / 3600)} h ago`;
  return `${Math.floor(s / 86400)} d ago`;
}

export const SEVERITIES = ['info', 'low', 'medium', 'high', 'critical'];

export function sevBadge(sev) {
  const s = SEVERITIES.includes(sev) ? sev : 'info';
  return h('span', {class: `sev sev-${s}`}, String(sev));
}

const EVENT_TYPES = ['syslog', 'cef', 'dhcp', 'dns', 'firewall', 'unknown'];
export function eventTypeName(n) { return EVENT_TYPES[n] ?? String(n); }

export function errorBox(err) {
  return h('div', {class: 'error', role: 'alert'}, err && err.message ? err.message : String(err));
}

// A table inside a scrolling wrapper. `columns` are {label, num, narrow};
// `rows` are arrays of cells (text, numbers or elements). rowProps(i) gives
// extra properties for row i (click handlers and the like).
const TABLE_SLICE = 100;

export function table(columns, rows, {empty = 'Nothing to show.', rowProps} = {}) {
  const classOf = c => [c.num && 'num', c.narrow && 'hide-narrow', c.wrap && 'wrap', c.nowrap && 'nowrap'].filter(Boolean).join(' ');
  const head = h('tr', null, columns.map(c => h('th', {class: classOf({num: c.num, narrow: c.narrow}) || null, scope: 'col'}, c.label)));
  const cellClass = columns.map(classOf);
  const body = document.createElement('tbody');
  const build = (from, to) => {
    const frag = document.createDocumentFragment();
    for (let i = from; i < to; i++) {
      const tr = rowProps ? h('tr', rowProps(i)) : document.createElement('tr');
      const cells = rows[i];
      for (let j = 0; j < cells.length; j++) {
        const td = document.createElement('td');
        if (cellClass[j]) td.className = cellClass[j];
        const cell = cells[j];
        if (cell instanceof Node) td.appendChild(cell);
        else if (cell != null && cell !== false) add(td, [cell]);
        tr.appendChild(td);
      }
      frag.appendChild(tr);
    }
    body.appendChild(frag);
  };
  // Long pages go in by slices, one per frame, so the page never stalls
  // on a table: the first rows show at once, the rest follow.
  build(0, Math.min(rows.length, TABLE_SLICE));
  const more = from => {
    if (from >= rows.length) return;
    requestAnimationFrame(() => {
      if (!body.isConnected) return;
      build(from, Math.min(rows.length, from + TABLE_SLICE));
      more(from + TABLE_SLICE);
    });
  };
  more(TABLE_SLICE);
  if (!rows.length) body.appendChild(h('tr', null, h('td', {colspan: columns.length, class: 'empty'}, empty)));
  return h('div', {class: 'table-wrap'}, h('table', null, h('thead', null, head), body));
}

// Properties that make a table row open something by click or keyboard.
export function clickable(fn, label) {
  return {
    class: 'clickable', tabindex: 0, 'aria-label': label,
    onclick: fn,
    onkeydown: e => { if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); fn(); } },
  };
}

// Paging controls for list answers {total, limit, offset}.
export function pager({total, limit, offset}, onOffset) {
  const last = total > 0 ? Math.floor((total - 1) / limit) * limit : 0;
  const from = total === 0 ? 0 : offset + 1;
  const to = Math.min(offset + limit, total);
  const b = (label, target, disabled, title) =>
    h('button', {type: 'button', disabled, title, onclick: () => onOffset(target)}, label);
  return h('div', {class: 'pager'},
    b('«', 0, offset <= 0, 'First page'),
    b('‹ Prev', Math.max(0, offset - limit), offset <= 0, 'Previous page'),
    h('span', {class: 'pos'}, `${fmtNum(from)}–${fmtNum(to)} of ${fmtNum(total)}`),
    b('Next ›', offset + limit, offset + limit >= total, 'Next page'),
    b('»', last, offset >= last, 'Last page'));
}

// Calls fn at most once per `ms`, with the latest arguments.
export function throttle(fn, ms) {
  let timer = null, last = 0, args = null;
  return (...a) => {
    args = a;
    const wait = last + ms - Date.now();
    if (wait <= 0 && !timer) { last = Date.now(); fn(...args); return; }
    if (!timer) timer = setTimeout(() => { timer = null; last = Date.now(); fn(...args); }, Math.max(wait, 0));
  };
}

export function debounce(fn, ms) {
  let timer = null;
  return (...a) => { clearTimeout(timer); timer = setTimeout(() => fn(...a), ms); };
}

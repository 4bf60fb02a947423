// graph.js: the entity graph, laid out by a force simulation on a canvas.
//
// At most NODE_CAP nodes are drawn (the busiest neighbourhoods first) and the page
// says so when there are more. The simulation runs in animation frames
// with a time budget per frame, so the page stays responsive while it
// settles; clicking a device or address opens it in the device view.
import {h, fill, fmtNum, errorBox} from '../dom.js';
import {getJson, enc} from '../api.js';

export const NODE_CAP = 400;
const FETCH_LIMIT = 10000;
const FAN_OUT = 24;
const TYPES = ['device', 'ip_address', 'dns_name', 'service', 'user', 'network', 'alert'];

export default {
  title: 'Graph',
  mount(root, ctx) {
    const canvas = h('canvas', {id: 'graph-canvas', role: 'img', 'aria-label': 'Entity graph'});
    const tip = h('div', {class: 'graph-tip', hidden: true});
    const note = h('p', {class: 'note', id: 'graph-note'}, 'Loading…');
    const legend = h('div', {class: 'legend'}, TYPES.map(t => h('span', null, h('i', {class: `dot-${t}`}), t)));
    const reload = h('button', {type: 'button'}, 'Reload');
    fill(root, h('h1', null, 'Graph'),
      h('div', {class: 'toolbar'}, note, h('span', {class: 'grow'}), reload),
      legend, h('div', {class: 'graph-wrap'}, canvas, tip));
    for (const t of TYPES) legend.querySelector(`.dot-${t}`).style.background = `var(--n-${t})`;

    let sim = null;
    let raf = 0;
    let alive = true;

    async function load() {
      cancelAnimationFrame(raf);
      fill(note, 'Loading…');
      let g;
      try {
        g = await getJson(`/api/graph?limit=${FETCH_LIMIT}`);
      } catch (err) {
        fill(note, errorBox(err));
        return;
      }
      if (!alive) return;
      sim = buildSim(g);
      const shown = sim.nodes.length;
      const parts = [`${fmtNum(shown)} of ${fmtNum(g.total_nodes)} nodes, ${fmtNum(sim.edges.length)} of ${fmtNum(g.total_edges)} edges drawn.`];
      if (shown < g.total_nodes) parts.push(` The view draws at most ${fmtNum(NODE_CAP)} nodes: the busiest neighbourhoods first.`);
      fill(note, parts.join(''));
      note.dataset.drawn = String(shown);
      start();
    }

    function start() {
      const step = () => {
        if (!alive || !sim) return;
        const t0 = performance.now();
        // Spend at most ~8 ms per frame on the layout.
        while (sim.alpha > 0.002 && performance.now() - t0 < 8) tick(sim);
        draw(canvas, sim);
        if (sim.alpha > 0.002 || sim.dirty) { sim.dirty = false; raf = requestAnimationFrame(step); }
      };
      raf = requestAnimationFrame(step);
    }

    function nodeAt(ev) {
      if (!sim) return null;
      const r = canvas.getBoundingClientRect();
      const [x, y] = sim.toWorld(ev.clientX - r.left, ev.clientY - r.top, r.width, r.height);
      let best = null, bd = Infinity;
      for (const n of sim.nodes) {
        const d = (n.x - x) ** 2 + (n.y - y) ** 2;
        if (d < bd) { bd = d; best = n; }
      }
      const tol = (best ? best.r + 4 : 0) / sim.scale;
      return best && bd <= tol * tol ? best : null;
    }

    canvas.addEventListener('click', ev => {
      const n = nodeAt(ev);
      if (!n) return;
      if (n.type === 'device' || n.type === 'ip_address') location.hash = `#/devices/${enc(n.name)}`;
    });
    canvas.addEventListener('mousemove', ev => {
      const n = nodeAt(ev);
      if (sim) sim.hover = n;
      canvas.style.cursor = n && (n.type === 'device' || n.type === 'ip_address') ? 'pointer' : 'default';
      if (n) {
        const r = canvas.getBoundingClientRect();
        tip.hidden = false;
        tip.textContent = `${n.name} (${n.type}, ${n.degree} links)`;
        tip.style.left = `${Math.min(ev.clientX - r.left + 12, r.width - 160)}px`;
        tip.style.top = `${ev.clientY - r.top + 12}px`;
      } else {
        tip.hidden = true;
      }
      if (sim && sim.alpha <= 0.002) draw(canvas, sim);
    });
    canvas.addEventListener('mouseleave', () => { tip.hidden = true; });
    reload.addEventListener('click', load);
    const ro = new ResizeObserver(() => { if (sim) draw(canvas, sim); });
    ro.observe(canvas);

    load();
    return () => { alive = false; cancelAnimationFrame(raf); ro.disconnect(); };
  },
};

// Picks the nodes to draw and seeds their positions.
function buildSim(g) {
  const degree = new Map();
  for (const e of g.edges) {
    degree.set(e.source, (degree.get(e.source) || 0) + 1);
    degree.set(e.target, (degree.get(e.target) || 0) + 1);
  }
  // The most connected node first, then its neighbourhood breadth first,
  // then the next most connected node not yet taken: what is drawn stays
  // connected instead of a cloud of nodes whose partners were cut off.
  const byId = new Map(g.nodes.map(n => [n.id, {...n, degree: degree.get(n.id) || 0}]));
  const adj = new Map();
  for (const e of g.edges) {
    if (!byId.has(e.source) || !byId.has(e.target)) continue;
    if (!adj.has(e.source)) adj.set(e.source, []);
    if (!adj.has(e.target)) adj.set(e.target, []);
    adj.get(e.source).push(e.target);
    adj.get(e.target).push(e.source);
  }
  const order = [...byId.values()].sort((a, b) => b.degree - a.degree || b.activation - a.activation || a.id - b.id);
  const taken = new Set();
  const picked = [];
  for (const seed of order) {
    if (picked.length >= NODE_CAP) break;
    if (taken.has(seed.id)) continue;
    const queue = [seed.id];
    taken.add(seed.id);
    while (queue.length && picked.length < NODE_CAP) {
      const id = queue.shift();
      picked.push(byId.get(id));
      // A hub contributes at most FAN_OUT neighbours, so one busy address
      // does not crowd out the rest of the network.
      const next = (adj.get(id) || []).filter(x => !taken.has(x))
        .sort((a, b) => byId.get(b).degree - byId.get(a).degree).slice(0, FAN_OUT);
      for (const x of next) { taken.add(x); queue.push(x); }
    }
  }
  const index = new Map();
  const n = picked.length;
  picked.forEach((p, i) => {
    // Golden-angle spiral: a stable, overlap-free start.
    const a = i * 2.399963, rad = 12 * Math.sqrt(i + 1);
    Object.assign(p, {x: rad * Math.cos(a), y: rad * Math.sin(a), vx: 0, vy: 0, r: 4 + Math.min(6, Math.sqrt(p.degree))});
    index.set(p.id, i);
  });
  const edges = [];
  for (const e of g.edges) {
    const s = index.get(e.source), t = index.get(e.target);
    if (s !== undefined && t !== undefined && s !== t) edges.push({s, t, w: e.weight, type: e.type});
  }
  return {
    nodes: picked, edges, alpha: 1, hover: null, dirty: true, scale: 1, cx: 0, cy: 0,
    toWorld(px, py, w, hgt) { return [(px - w / 2) / this.scale + this.cx, (py - hgt / 2) / this.scale + this.cy]; },
    n,
  };
}

// One step of the layout: pairwise repulsion, edge springs, a pull to the
// centre, then damped movement scaled by the cooling factor.
function tick(sim) {
  const ns = sim.nodes, N = ns.length;
  const k = 900;
  for (let i = 0; i < N; i++) {
    const a = ns[i];
    for (let j = i + 1; j < N; j++) {
      const b = ns[j];
      let dx = a.x - b.x, dy = a.y - b.y;
      let d2 = dx * dx + dy * dy;
      if (d2 < 0.01) { dx = (i - j) * 0.1; dy = 0.1; d2 = dx * dx + dy * dy; }
      if (d2 > 250000) continue;
      const f = k / d2;
      a.vx += dx * f; a.vy += dy * f;
      b.vx -= dx * f; b.vy -= dy * f;
    }
  }
  for (const e of sim.edges) {
    const a = ns[e.s], b = ns[e.t];
    const dx = b.x - a.x, dy = b.y - a.y;
    const d = Math.sqrt(dx * dx + dy * dy) || 0.01;
    const f = (d - 40) * 0.02;
    a.vx += dx / d * f; a.vy += dy / d * f;
    b.vx -= dx / d * f; b.vy -= dy / d * f;
  }
  for (const p of ns) {
    p.vx -= p.x * 0.004; p.vy -= p.y * 0.004;
    const s = Math.min(1, 8 / (Math.hypot(p.vx, p.vy) || 1));
    p.x += p.vx * s * sim.alpha; p.y += p.vy * s * sim.alpha;
    p.vx *= 0.6; p.vy *= 0.6;
  }
  sim.alpha *= 0.985;
}

function draw(canvas, sim) {
  const w = canvas.clientWidth, hgt = canvas.clientHeight;
  if (!w || !hgt) return;
  const dpr = window.devicePixelRatio || 1;
  if (canvas.width !== Math.round(w * dpr) || canvas.height !== Math.round(hgt * dpr)) {
    canvas.width = Math.round(w * dpr); canvas.height = Math.round(hgt * dpr);
  }
  const g = canvas.getContext('2d');
  g.setTransform(dpr, 0, 0, dpr, 0, 0);
  g.clearRect(0, 0, w, hgt);
  const ns = sim.nodes;
  if (!ns.length) {
    g.fillStyle = getComputedStyle(canvas).getPropertyValue('--muted');
    g.textAlign = 'center';
    g.font = '13px system-ui, sans-serif';
    g.fillText('The graph is empty.', w / 2, hgt / 2);
    return;
  }
  // Fit the drawing into the canvas.
  let x0 = Infinity, x1 = -Infinity, y0 = Infinity, y1 = -Infinity;
  for (const p of ns) { x0 = Math.min(x0, p.x); x1 = Math.max(x1, p.x); y0 = Math.min(y0, p.y); y1 = Math.max(y1, p.y); }
  sim.scale = Math.min(2, Math.min((w - 40) / Math.max(1, x1 - x0), (hgt - 40) / Math.max(1, y1 - y0)));
  sim.cx = (x0 + x1) / 2; sim.cy = (y0 + y1) / 2;
  const sx = x => (x - sim.cx) * sim.scale + w / 2;
  const sy = y => (y - sim.cy) * sim.scale + hgt / 2;
  const css = getComputedStyle(canvas);
  const colours = {};
  for (const t of TYPES) colours[t] = css.getPropertyValue(`--n-${t}`).trim() || '#888';
  g.strokeStyle = css.getPropertyValue('--muted').trim() || '#999';
  g.globalAlpha = 0.45;
  for (const e of sim.edges) {
    const a = ns[e.s], b = ns[e.t];
    g.lineWidth = 0.5 + 3 * Math.max(0, Math.min(1, e.w));
    g.beginPath(); g.moveTo(sx(a.x), sy(a.y)); g.lineTo(sx(b.x), sy(b.y)); g.stroke();
  }
  g.globalAlpha = 1;
  const fg = css.getPropertyValue('--fg').trim() || '#000';
  for (const p of ns) {
    g.fillStyle = colours[p.type] || '#888';
    g.beginPath(); g.arc(sx(p.x), sy(p.y), p.r, 0, Math.PI * 2); g.fill();
    if (p === sim.hover) { g.strokeStyle = fg; g.lineWidth = 2; g.stroke(); }
  }
  // Labels for the busiest nodes and the hovered one (canvas text: never markup).
  g.fillStyle = fg;
  g.font = '11px system-ui, sans-serif';
  g.textAlign = 'left';
  const labelled = ns.length <= 60 ? ns : ns.slice(0, 25);
  for (const p of labelled) g.fillText(p.name.slice(0, 32), sx(p.x) + p.r + 3, sy(p.y) + 4);
}

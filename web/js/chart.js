// chart.js: small time charts on a canvas (line or bars), redrawn on resize
// and when the colour scheme changes.
import {fmtClock} from './dom.js';

const dark = window.matchMedia('(prefers-color-scheme: dark)');

// Draws `points` ([{t, v}], t in Unix seconds) into `canvas`.
// kind 'line' or 'bar'; `step` is the bucket width in seconds for bars.
export class TimeChart {
  constructor(canvas, {kind = 'line', step = 0, unit = ''} = {}) {
    this.canvas = canvas;
    this.kind = kind;
    this.step = step;
    this.unit = unit;
    this.points = [];
    this.resize = new ResizeObserver(() => this.draw());
    this.resize.observe(canvas);
    this.onScheme = () => this.draw();
    dark.addEventListener('change', this.onScheme);
  }

  set(points) {
    this.points = points;
    this.draw();
  }

  destroy() {
    this.resize.disconnect();
    dark.removeEventListener('change', this.onScheme);
  }

  draw() {
    const c = this.canvas;
    const w = c.clientWidth, hgt = c.clientHeight;
    if (!w || !hgt) return;
    const dpr = window.devicePixelRatio || 1;
    if (c.width !== Math.round(w * dpr) || c.height !== Math.round(hgt * dpr)) {
      c.width = Math.round(w * dpr);
      c.height = Math.round(hgt * dpr);
    }
    const g = c.getContext('2d');
    g.setTransform(dpr, 0, 0, dpr, 0, 0);
    g.clearRect(0, 0, w, hgt);
    const css = getComputedStyle(c);
    const fg = css.getPropertyValue('--muted').trim() || '#888';
    const line = css.getPropertyValue('--line').trim() || '#ccc';
    const accent = css.getPropertyValue('--accent').trim() || '#2563eb';
    g.font = '11px system-ui, sans-serif';
    const pts = this.points;
    if (!pts.length) {
      g.fillStyle = fg;
      g.textAlign = 'center';
      g.fillText('No data yet', w / 2, hgt / 2);
      return;
    }
    let t0 = pts[0].t, t1 = pts[pts.length - 1].t;
    if (this.kind === 'bar') t1 += this.step;
    if (t1 === t0) { t0 -= 30; t1 += 30; }
    let vmax = 0;
    for (const p of pts) vmax = Math.max(vmax, p.v);
    vmax = niceMax(vmax);
    const L = 44, R = 10, T = 10, B = 22;
    const pw = w - L - R, ph = hgt - T - B;
    const x = t => L + (t - t0) / (t1 - t0) * pw;
    const y = v => T + ph - v / vmax * ph;
    // Grid and labels.
    g.strokeStyle = line;
    g.fillStyle = fg;
    g.lineWidth = 1;
    g.textAlign = 'right';
    g.textBaseline = 'middle';
    for (let i = 0; i <= 4; i++) {
      const v = vmax * i / 4;
      const yy = Math.round(y(v)) + 0.5;
      g.beginPath(); g.moveTo(L, yy); g.lineTo(L + pw, yy); g.stroke();
      g.fillText(fmtValue(v), L - 6, yy);
    }
    g.textBaseline = 'top';
    g.textAlign = 'left';
    g.fillText(fmtClock(t0), L, T + ph + 6);
    g.textAlign = 'right';
    g.fillText(fmtClock(t1), L + pw, T + ph + 6);
    if (this.unit) { g.textAlign = 'center'; g.fillText(this.unit, L + pw / 2, T + ph + 6); }
    // Data.
    if (this.kind === 'bar') {
      g.fillStyle = accent;
      const bw = Math.max(1, pw * this.step / (t1 - t0) - 1);
      for (const p of pts) g.fillRect(x(p.t), y(p.v), bw, T + ph - y(p.v));
    } else {
      if (pts.length === 1) {
        g.fillStyle = accent;
        g.beginPath(); g.arc(x(pts[0].t), y(pts[0].v), 3, 0, Math.PI * 2); g.fill();
        return;
      }
      g.strokeStyle = accent;
      g.lineWidth = 2;
      g.lineJoin = 'round';
      g.beginPath();
      pts.forEach((p, i) => (i ? g.lineTo(x(p.t), y(p.v)) : g.moveTo(x(p.t), y(p.v))));
      g.stroke();
      g.globalAlpha = 0.12;
      g.fillStyle = accent;
      g.lineTo(x(pts[pts.length - 1].t), T + ph);
      g.lineTo(x(pts[0].t), T + ph);
      g.closePath();
      g.fill();
      g.globalAlpha = 1;
    }
  }
}

function niceMax(v) {
  if (v <= 0) return 1;
  const p = Math.pow(10, Math.floor(Math.log10(v)));
  for (const m of [1, 2, 2.5, 5, 10]) if (v <= m * p) return m * p;
  return 10 * p;
}

function fmtValue(v) {
  if (v >= 1e6) return (v / 1e6).toFixed(1) + 'M';
  if (v >= 1e4) return (v / 1e3).toFixed(0) + 'k';
  return Number.isInteger(v) ? String(v) : v.toFixed(1);
}

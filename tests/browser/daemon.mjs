// daemon.mjs: starts the real tarvex binary on free loopback ports and
// feeds it log lines over UDP.
import {spawn} from 'node:child_process';
import dgram from 'node:dgram';
import net from 'node:net';

// A free port on 127.0.0.1 for TCP or UDP (racy by nature, good enough here).
export function freePort(kind) {
  return new Promise((resolve, reject) => {
    if (kind === 'udp') {
      const s = dgram.createSocket('udp4');
      s.once('error', reject);
      s.bind(0, '127.0.0.1', () => { const p = s.address().port; s.close(() => resolve(p)); });
    } else {
      const s = net.createServer();
      s.once('error', reject);
      s.listen(0, '127.0.0.1', () => { const p = s.address().port; s.close(() => resolve(p)); });
    }
  });
}

const TARVEX_VARS = ['DATABASE_URL', 'PORT', 'HOST', 'SYSLOG_PORT', 'APP_ENV', 'CORS_ORIGINS',
  'ANOMALY_THRESHOLD', 'LEARNING_DAYS', 'ACTIVATION_DECAY', 'COLLISION_MIN_WAVES',
  'LOG_RETENTION_DAYS', 'MAX_DEVICES', 'LLM_PROVIDER', 'LLM_API_KEY', 'LLM_BASE_URL', 'LLM_MODEL'];

export class Daemon {
  constructor(bin, {httpPort, syslogPort, env = {}}) {
    this.bin = bin;
    this.httpPort = httpPort;
    this.syslogPort = syslogPort;
    this.env = env;
    this.lines = [];
    this.proc = null;
  }

  get origin() { return `http://127.0.0.1:${this.httpPort}`; }

  // Starts the process and waits until it says it listens (and the port
  // answers). Resolves to the number of API routes it registered.
  async start() {
    const env = {...process.env};
    for (const k of TARVEX_VARS) delete env[k];
    Object.assign(env, {HOST: '127.0.0.1', PORT: String(this.httpPort), SYSLOG_PORT: String(this.syslogPort)}, this.env);
    this.lines = [];
    const proc = spawn(this.bin, [], {env, stdio: ['ignore', 'ignore', 'pipe']});
    this.proc = proc;
    this.exited = new Promise(resolve => proc.once('exit', resolve));
    let buf = '';
    proc.stderr.setEncoding('utf8');
    proc.stderr.on('data', d => {
      buf += d;
      let i;
      while ((i = buf.indexOf('\n')) >= 0) { this.lines.push(buf.slice(0, i)); buf = buf.slice(i + 1); }
    });
    const deadline = Date.now() + 15000;
    while (Date.now() < deadline) {
      if (proc.exitCode !== null) throw new Error(`tarvex exited with ${proc.exitCode}:\n${this.lines.join('\n')}`);
      if (this.lines.some(l => l.includes('HTTP server listening on'))) {
        try {
          const r = await fetch(this.origin + '/api/health');
          if (r.ok) break;
        } catch { /* not bound yet */ }
      }
      await sleep(50);
    }
    const m = this.lines.map(l => /registered (\d+) API routes/.exec(l)).find(Boolean);
    if (!m) throw new Error(`tarvex did not start:\n${this.lines.join('\n')}`);
    return Number(m[1]);
  }

  async stop() {
    if (!this.proc || this.proc.exitCode !== null) return;
    this.proc.kill('SIGKILL');
    await this.exited;
  }
}

// Sends each line as one datagram to the daemon's syslog port, in bursts
// small enough for the socket buffer, pausing between bursts.
export async function sendLines(port, lines, {burst = 200, pauseMs = 15} = {}) {
  const s = dgram.createSocket('udp4');
  await new Promise(r => s.connect(port, '127.0.0.1', r));
  for (let i = 0; i < lines.length; i += burst) {
    await Promise.all(lines.slice(i, i + burst).map(l => new Promise((res, rej) => s.send(Buffer.from(l), e => (e ? rej(e) : res())))));
    await sleep(pauseMs);
  }
  s.close();
}

export function sleep(ms) { return new Promise(r => setTimeout(r, ms)); }

// feed.js: the live feed on /api/ws, reconnecting by itself. With a token
// (the daemon runs with API_TOKEN) its first message signs in; the token is
// never put in the URL.
//
// Events: 'state' (detail: 'connecting' | 'live' | 'reconnecting'),
// 'reopen' (after every reconnection that follows a lost connection: the
// daemon may have restarted, so views reload what they show), 'alert',
// 'alert_status' (a triage change) and 'stats' (detail: the message's data
// object).
import {apiToken, onSignIn} from './api.js';

export class Feed extends EventTarget {
  constructor(url) {
    super();
    this.url = url;
    this.ws = null;
    this.delay = 500;
    this.state = 'connecting';
    this.pingTimer = null;
    this.opened = false;
  }

  start() {
    // Signed in after the socket opened: sign the waiting socket in now.
    onSignIn(t => {
      if (this.ws && this.ws.readyState === WebSocket.OPEN && this.state !== 'live') this.signIn(this.ws, t);
    });
    this.connect();
  }

  signIn(ws, token) {
    if (token) ws.send(JSON.stringify({type: 'auth', token}));
  }

  setState(s) {
    this.state = s;
    this.dispatchEvent(new CustomEvent('state', {detail: s}));
  }

  connect() {
    let ws;
    try {
      ws = new WebSocket(this.url);
    } catch {
      this.retry();
      return;
    }
    this.ws = ws;
    ws.onopen = () => this.signIn(ws, apiToken());
    ws.onmessage = e => {
      let m;
      try { m = JSON.parse(e.data); } catch { return; }
      if (!m || typeof m.type !== 'string') return;
      if (m.type === 'connected') {
        this.delay = 500;
        this.setState('live');
        if (this.opened) this.dispatchEvent(new Event('reopen'));
        this.opened = true;
      } else if ((m.type === 'alert' || m.type === 'alert_status' || m.type === 'stats') && m.data) {
        this.dispatchEvent(new CustomEvent(m.type, {detail: m.data}));
      }
    };
    ws.onclose = () => {
      if (this.ws !== ws) return;
      this.ws = null;
      this.retry();
    };
    // A silent network can leave a dead socket open: a ping every 30 s keeps
    // intermediaries awake and lets the browser notice a broken connection.
    clearInterval(this.pingTimer);
    this.pingTimer = setInterval(() => {
      if (ws.readyState === WebSocket.OPEN) ws.send('ping');
    }, 30000);
  }

  retry() {
    clearInterval(this.pingTimer);
    this.setState('reconnecting');
    const d = this.delay;
    this.delay = Math.min(this.delay * 2, 8000);
    setTimeout(() => this.connect(), d);
  }
}

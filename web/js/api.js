// api.js: talking to the daemon's JSON API (same origin). When the daemon
// runs with API_TOKEN, its answer 401 makes the page ask for the token once
// (a sign-in dialog); the token is kept in sessionStorage for this tab only
// and sent as "Authorization: Bearer <token>" on every call.

export class ApiError extends Error {
  constructor(path, status, message) {
    super(`${path}: ${status ? status + ' ' : ''}${message}`);
    this.status = status;
    this.detail = message;
  }
}

const TOKEN_KEY = 'tarvex-token';
const signInListeners = [];
let signingIn = null;

// The token this tab signed in with, or ''.
export function apiToken() {
  try { return sessionStorage.getItem(TOKEN_KEY) || ''; } catch { return ''; }
}

function setToken(t) {
  try {
    if (t) sessionStorage.setItem(TOKEN_KEY, t); else sessionStorage.removeItem(TOKEN_KEY);
  } catch { /* storage refused: the token lives as long as the page */ }
  memoryToken = t;
}
let memoryToken = '';

// Runs `f` after every sign-in (the live feed signs in with the new token).
export function onSignIn(f) { signInListeners.push(f); }

// Shows the sign-in dialog (once, however many calls are waiting) and
// resolves when a token has been entered.
function askForToken(wrong) {
  if (signingIn) return signingIn;
  signingIn = new Promise(resolve => {
    const dlg = document.createElement('dialog');
    dlg.id = 'signin';
    dlg.className = 'signin';
    const form = document.createElement('form');
    form.method = 'dialog';
    const title = document.createElement('h2');
    title.textContent = 'Sign in to tarvex';
    const note = document.createElement('p');
    note.className = wrong ? 'error' : 'muted';
    note.textContent = wrong ? 'That token was not accepted. Try again.'
                             : 'This daemon asks for its API token (the API_TOKEN it was started with).';
    const label = document.createElement('label');
    label.textContent = 'API token ';
    const input = document.createElement('input');
    input.type = 'password';
    input.id = 'signin-token';
    input.required = true;
    input.autocomplete = 'current-password';
    label.append(input);
    const button = document.createElement('button');
    button.type = 'submit';
    button.textContent = 'Sign in';
    form.append(title, note, label, button);
    dlg.append(form);
    // The dialog stays until a token is given.
    dlg.addEventListener('cancel', e => e.preventDefault());
    form.addEventListener('submit', e => {
      e.preventDefault();
      const t = input.value.trim();
      if (!t) return;
      setToken(t);
      dlg.close();
      dlg.remove();
      signingIn = null;
      for (const f of signInListeners) { try { f(t); } catch { /* a listener must not block sign-in */ } }
      resolve();
    });
    document.body.append(dlg);
    dlg.showModal();
    input.focus();
  });
  return signingIn;
}

async function request(path, init) {
  for (;;) {
    const token = apiToken() || memoryToken;
    const headers = {...(init.headers || {})};
    if (token) headers.Authorization = `Bearer ${token}`;
    let r;
    try {
      r = await fetch(path, {...init, headers});
    } catch (e) {
      if (e.name === 'AbortError') throw e;
      throw new ApiError(path, 0, 'the daemon cannot be reached');
    }
    if (r.status === 401) {
      if (token && (apiToken() || memoryToken) === token) setToken('');
      await askForToken(Boolean(token));
      if (init.signal && init.signal.aborted) throw new DOMException('aborted', 'AbortError');
      continue;
    }
    const text = await r.text();
    let body = null;
    try { body = text ? JSON.parse(text) : null; } catch { body = null; }
    if (!r.ok) {
      const msg = body && typeof body.error === 'string' ? body.error : (text || r.statusText);
      throw new ApiError(path, r.status, msg);
    }
    if (body === null) throw new ApiError(path, r.status, 'answer is not JSON');
    return body;
  }
}

export function getJson(path, signal) {
  return request(path, {headers: {Accept: 'application/json'}, signal});
}

// POSTs `body` (an object, sent as compact JSON, or a string sent as is).
export function postJson(path, body) {
  const text = typeof body === 'string' ? body : JSON.stringify(body);
  return request(path, {method: 'POST', headers: {'Content-Type': 'application/json'}, body: text});
}

// PATCHes `body` (an object, sent as compact JSON).
export function patchJson(path, body) {
  return request(path, {method: 'PATCH', headers: {'Content-Type': 'application/json'}, body: JSON.stringify(body)});
}

// PUTs `body` (an object, sent as compact JSON).
export function putJson(path, body) {
  return request(path, {method: 'PUT', headers: {'Content-Type': 'application/json'}, body: JSON.stringify(body)});
}

// "?a=1&b=x" from an object, leaving out empty values.
export function query(params) {
  const q = new URLSearchParams();
  for (const [k, v] of Object.entries(params)) if (v !== '' && v != null) q.set(k, String(v));
  const s = q.toString();
  return s ? '?' + s : '';
}

export const enc = encodeURIComponent;

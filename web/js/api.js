// api.js: talking to the daemon's JSON API (same origin, no credentials).

export class ApiError extends Error {
  constructor(path, status, message) {
    super(`${path}: ${status ? status + ' ' : ''}${message}`);
    this.status = status;
    this.detail = message;
  }
}

async function request(path, init) {
  let r;
  try {
    r = await fetch(path, init);
  } catch (e) {
    if (e.name === 'AbortError') throw e;
    throw new ApiError(path, 0, 'the daemon cannot be reached');
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

// "?a=1&b=x" from an object, leaving out empty values.
export function query(params) {
  const q = new URLSearchParams();
  for (const [k, v] of Object.entries(params)) if (v !== '' && v != null) q.set(k, String(v));
  const s = q.toString();
  return s ? '?' + s : '';
}

export const enc = encodeURIComponent;

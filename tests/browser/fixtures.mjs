// fixtures.mjs: a stand-in for API endpoint families the daemon under test
// does not serve yet (development aid, enabled with TARVEX_UI_FIXTURES=1).
//
// Answers follow the documented JSON shapes so the views can be exercised
// before their endpoints exist. Runs in fixture mode are reported as such
// and never count as checks of the daemon.
const now = () => Math.floor(Date.now() / 1000);
const SEV = ['info', 'low', 'medium', 'high', 'critical'];
const hex = n => n.toString(16).toUpperCase().padStart(2, '0');

export function makeFixtures() {
  const t0 = now();
  const devices = [];
  for (let i = 0; i < 4096; i++) {
    devices.push({mac: `00:16:3E:00:${hex(i >> 8)}:${hex(i & 255)}`, label: i === 7 ? '<img src=x onerror=alert(1)>' : `host-${i}`,
      ip: `10.20.${i >> 8}.${i & 255}`, confidence: 0.5 + (i % 50) / 100, signal_count: 3 + (i % 9),
      first_seen: t0 - 3000, last_seen: t0 - (i % 600), type: 'fingerprinted'});
  }
  const alerts = [];
  for (let i = 1; i <= 4096; i++) {
    alerts.push({id: i, title: `Threat Detected and Blocked - 10.30.${i >> 8}.${i & 255} to 192.168.1.20:443/TCP`,
      description: 'Threat Detected and Blocked', severity: SEV[3 + (i % 2)], status: 'new', surprise_score: 0, collision_wave_count: 0,
      source_mac: '00:00:00:00:00:00', source_ip: `10.30.${i >> 8}.${i & 255}`, dest_ip: '192.168.1.20', created_at: t0 - 4096 + i});
  }
  const cases = [];
  const indicators = [];
  const page = (list, q) => {
    const limit = Math.min(Number(q.get('limit') ?? 50) || 50, 500);
    const offset = Number(q.get('offset') ?? 0) || 0;
    return {items: list.slice(offset, offset + limit), total: list.length, limit, offset};
  };
  const routes = [
    [/^\/api\/stats$/, () => ({devices: 4096, alerts: alerts.length, events_processed: 9000, anomalies: 0, graph_nodes: 8300, graph_edges: 8200, events_per_second: 12.5})],
    [/^\/api\/stats\/history$/, () => Array.from({length: 60}, (_, i) => ({t: t0 - (60 - i) * 5, eps: 5 + 4 * Math.sin(i / 6), events: i * 40, devices: 4096, alerts: 10, anomalies: 0, nodes: 100, edges: 90}))],
    [/^\/api\/devices$/, q => {
      const s = q.get('search') || '';
      const l = devices.filter(d => !s || d.mac.includes(s) || d.label.includes(s));
      const p = page(q.get('status') === 'inactive' ? [] : l, q);
      return {devices: p.items, total: p.total, limit: p.limit, offset: p.offset};
    }],
    [/^\/api\/devices\/([^/]+)$/, (q, m) => ({id: decodeURIComponent(m[1]), type: 'device', signal_count: 4, last_seen: t0, activation: 0,
      neighbors: [{name: '10.20.0.1', type: 'ip_address', edge_type: 'assigned_to', weight: 0.9}],
      recent_events: [{timestamp: t0, type: 2, data: 'DHCPACK(br0) 10.20.0.1 00:16:3E:00:00:01 <b>host</b>'}]})],
    [/^\/api\/devices\/[^/]+\/activity$/, () => [{t: Math.floor(t0 / 30) * 30 - 60, count: 3}, {t: Math.floor(t0 / 30) * 30, count: 5}]],
    [/^\/api\/devices\/([^/]+)\/similar$/, (q, m) => ({device: decodeURIComponent(m[1]), similar: [{mac: devices[1].mac, label: devices[1].label, similarity: 0.91, confidence: 0.7}]})],
    [/^\/api\/devices\/[^/]+\/baseline$/, () => ({__status: 404, error: 'no baseline data for device'})],
    [/^\/api\/graph$/, q => {
      const limit = Math.min(Number(q.get('limit') ?? 200), 10000);
      const nodes = [], edges = [];
      for (let i = 0; i < 600 && nodes.length < limit; i++) nodes.push({id: i, name: i % 2 ? `10.20.0.${i}` : devices[i].mac, type: i % 2 ? 'ip_address' : 'device', activation: 0});
      for (let i = 0; i + 1 < nodes.length && edges.length < limit; i += 2) edges.push({source: i, target: i + 1, type: 'assigned_to', weight: 0.9});
      for (let i = 1; i + 2 < nodes.length && edges.length < limit; i += 2) edges.push({source: i, target: (i * 7) % nodes.length, type: 'communicates_with', weight: 0.5});
      return {nodes, edges, total_nodes: 600, total_edges: edges.length};
    }],
    [/^\/api\/alerts$/, q => {
      const sev = q.get('severity') ? q.get('severity').split(',') : SEV;
      const s = q.get('search') || '';
      const list = alerts.slice().reverse().filter(a => sev.includes(a.severity) && (!s || a.title.includes(s)));
      const p = page(list, q);
      return {alerts: p.items, total: p.total, limit: p.limit, offset: p.offset};
    }],
    [/^\/api\/alerts\/(\d+)$/, (q, m, req) => {
      const a = alerts[Number(m[1]) - 1];
      if (!a) return {__status: 404, error: 'not found'};
      if (req.method() === 'PATCH') {
        const b = JSON.parse(req.postData() || '{}');
        a.status = b.status;
        a.note = b.note || '';
        a.status_changed_at = now();
      }
      return {...a, evidence: 'Threat Detected and Blocked: 10.30.0.1 to 192.168.1.20:443/TCP.\n\nSource: 10.30.0.1\nCEF Severity: 8/10\n',
        related_events: [], event_source: 'none'};
    }],
    [/^\/api\/cases$/, (q, m, req) => {
      if (req.method() === 'POST') {
        const b = req.postData() || '';
        const get = k => { const r = new RegExp(`"${k}":"((?:[^"\\\\]|\\\\.)*)"`).exec(b); return r ? r[1] : null; };
        const id = cases.length + 1;
        cases.push({id, title: get('title') ?? '', description: get('description') ?? '', severity: SEV.includes(get('severity')) ? get('severity') : 'info',
          status: 'open', assignee: '', note_count: 0, linked_alert_count: 0, created_at: now(), updated_at: now(), resolved_at: 0, notes: [], linked_alert_ids: []});
        return {id, status: 'created'};
      }
      const p = page(cases.slice().reverse(), q);
      return {cases: p.items.map(({notes, linked_alert_ids, resolved_at, ...c}) => c), total: p.total, limit: p.limit, offset: p.offset};
    }],
    [/^\/api\/cases\/(\d+)$/, (q, m) => cases[Number(m[1]) - 1] || {__status: 404, error: 'not found'}],
    [/^\/api\/cases\/(\d+)\/notes$/, (q, m, req) => {
      const c = cases[Number(m[1]) - 1];
      const b = req.postData() || '';
      const get = k => { const r = new RegExp(`"${k}":"((?:[^"\\\\]|\\\\.)*)"`).exec(b); return r ? r[1] : null; };
      c.notes.push({content: get('content'), author: get('author') ?? 'anonymous', created_at: now()});
      c.note_count++;
      return {status: 'created'};
    }],
    [/^\/api\/indicators$/, (q, m, req) => {
      if (req.method() === 'POST') {
        const b = JSON.parse(req.postData() || '{}');
        indicators.push({type: b.type || 'ip', value: b.value, source: b.source || 'manual', severity: b.severity || 'medium', expiry: 0, created_at: now(), hits: 0, last_hit: 0});
        return {status: 'created'};
      }
      const p = page(indicators, q);
      return {indicators: p.items, total: p.total, limit: p.limit, offset: p.offset};
    }],
    [/^\/api\/indicators\/bulk$/, (q, m, req) => {
      const lines = (req.postData() || '').split('\n').map(l => l.trim()).filter(l => l && !l.startsWith('#'));
      for (const v of lines) indicators.push({type: v.includes('/') ? 'cidr' : 'ip', value: v, source: q.get('source') || 'import', severity: q.get('severity') || 'medium', expiry: 0, created_at: now(), hits: 0, last_hit: 0});
      return {status: 'accepted', message: 'bulk import queued', imported: lines.length, duplicate: 0, rejected: 0, rejected_lines: []};
    }],
    [/^\/api\/rules$/, q => ({rules: [], total: 0, limit: page([], q).limit, offset: page([], q).offset})],
    [/^\/api\/rules\/import$/, () => ({status: 'accepted', message: 'rule import queued'})],
    [/^\/api\/compliance\/pci-dss-4$/, () => ({framework: 'PCI DSS 4.0', covered_count: 3, total_count: 6, total: 6, controls: [
      ['PCI-1.3.1', true, ['T1046', 'T1595', 'T1590']], ['PCI-1.3.2', false, ['T1190', 'T1133', 'T1659']], ['PCI-6.4.1', false, ['T1190', 'T1059', 'T1203']],
      ['PCI-10.2.1', true, ['T1078', 'T1530', 'T1213']], ['PCI-10.6.1', false, ['T1070', 'T1070.001', 'T1485']], ['PCI-11.5.1', true, ['T1046', 'T1595', 'T1040', 'T1557']],
    ].map(([id, covered, techniques]) => ({control_id: id, name: `Control ${id}`, description: 'Description.', covered, alert_count: 0, techniques}))})],
    [/^\/api\/compliance\/[^/]+\/evidence$/, q => ({framework: 'PCI DSS 4.0', from: Number(q.get('from')), to: Number(q.get('to')), generated_at: now(),
      controls: [{control_id: 'PCI-1.3.1', name: 'Control', evidence: []}]})],
    [/^\/api\/settings$/, () => ({system: {syslog_port: 514, max_devices: 4096, log_retention_days: 30, environment: 'development'},
      llm: {configured: false, provider: '', base_url: '', model: '', max_tokens: 1024, temperature: 0.1},
      integrations: {shuffle_url: '', shuffle_workflow_id: '', shuffle_enabled: false, thehive_url: '', thehive_org: '', thehive_enabled: false}})],
    [/^\/api\/settings\/llm$/, () => ({configured: false, provider_count: 0, providers: []})],
    [/^\/api\/response-actions$/, () => ({actions: [], total: 0})],
  ];
  return (path, q, req) => {
    for (const [re, fn] of routes) {
      const m = re.exec(path);
      if (m) return fn(q, m, req);
    }
    return undefined;
  };
}

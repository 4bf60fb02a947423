// settings.js: system and LLM settings and response actions, as reported.
import {h, fill, fmtNum, fmtTime, errorBox, table} from '../dom.js';
import {getJson} from '../api.js';

function kv(pairs) {
  return h('dl', {class: 'kv'}, pairs.map(([k, v]) => [h('dt', null, k), h('dd', null, v)]));
}
const yes = b => (b ? 'yes' : 'no');
const orDash = s => (s === '' || s == null ? '—' : s);

export default {
  title: 'Settings',
  mount(root) {
    const sys = h('section', {class: 'card', id: 'settings-system'}, h('p', {class: 'muted'}, 'Loading…'));
    const llm = h('section', {class: 'card', id: 'settings-llm'});
    const actions = h('section', {class: 'card', id: 'settings-actions'});
    fill(root, h('h1', null, 'Settings'),
      h('p', {class: 'note'}, 'Settings are read from the environment and config file at start; change them there and restart the daemon.'),
      sys, llm, actions);

    getJson('/api/settings').then(s => {
      fill(sys, h('h2', null, 'System'),
        kv([['Syslog port (UDP)', String(s.system.syslog_port)], ['Device limit', fmtNum(s.system.max_devices)],
            ['Log retention', `${s.system.log_retention_days} days`], ['Environment', s.system.environment]]),
        h('h2', null, 'Language model'),
        kv([['Configured', yes(s.llm.configured)], ['Provider', orDash(s.llm.provider)], ['Base URL', orDash(s.llm.base_url)],
            ['Model', orDash(s.llm.model)], ['Max tokens', String(s.llm.max_tokens)], ['Temperature', Number(s.llm.temperature).toFixed(2)]]),
        h('h2', null, 'Integrations'),
        kv([['Shuffle', s.integrations.shuffle_enabled ? orDash(s.integrations.shuffle_url) : 'not configured'],
            ['TheHive', s.integrations.thehive_enabled ? orDash(s.integrations.thehive_url) : 'not configured']]));
    }, err => fill(sys, errorBox(err)));

    getJson('/api/settings/llm').then(l => {
      fill(llm, h('h2', null, `LLM providers (${l.provider_count})`),
        table([{label: 'Provider'}, {label: 'Model'}, {label: 'Base URL', wrap: true}, {label: 'Enabled'}, {label: 'Active'}, {label: 'API key'}],
          l.providers.map(p => [p.provider, orDash(p.model), orDash(p.base_url), yes(p.enabled), yes(p.active), p.has_api_key ? 'set' : 'none']),
          {empty: 'No provider configured (LLM_PROVIDER).'}));
    }, err => fill(llm, errorBox(err)));

    getJson('/api/response-actions').then(a => {
      fill(actions, h('h2', null, `Response actions (${a.total})`),
        table([{label: 'ID', num: true}, {label: 'Name'}, {label: 'Type'}, {label: 'Target', wrap: true}, {label: 'Enabled'},
               {label: 'Fired', num: true}, {label: 'Last fired'}],
          a.actions.map(x => [String(x.id), x.name, x.type, x.url, yes(x.enabled), fmtNum(x.trigger_count), fmtTime(x.last_triggered)]),
          {empty: 'No response actions defined.'}));
    }, err => fill(actions, errorBox(err)));
  },
};

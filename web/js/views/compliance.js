// compliance.js: framework coverage and the evidence report for a period.
import {h, fill, fmtTime, sevBadge, errorBox, table} from '../dom.js';
import {getJson, query, enc} from '../api.js';

const FRAMEWORKS = [
  ['pci-dss-4', 'PCI DSS 4.0'],
  ['nist-800-53', 'NIST SP 800-53'],
  ['soc2', 'SOC 2'],
  ['hipaa', 'HIPAA'],
  ['iso-27001', 'ISO/IEC 27001'],
];

function dateInput(d) {
  return `${d.getFullYear()}-${String(d.getMonth() + 1).padStart(2, '0')}-${String(d.getDate()).padStart(2, '0')}`;
}

// Local midnight of a yyyy-mm-dd input as Unix seconds; `end` gives the
// last second of that day.
function dayToUnix(value, end) {
  const [y, m, d] = value.split('-').map(Number);
  const t = new Date(y, m - 1, d + (end ? 1 : 0)).getTime() / 1000;
  return end ? t - 1 : t;
}

export default {
  title: 'Compliance',
  mount(root, ctx, arg) {
    const pick = h('select', {'aria-label': 'Framework', id: 'framework'},
      FRAMEWORKS.map(([id, name]) => h('option', {value: id, selected: id === arg}, name)));
    const summary = h('div', {id: 'coverage'}, h('p', {class: 'muted'}, 'Loading…'));
    const today = new Date();
    const from = h('input', {type: 'date', value: dateInput(new Date(today.getTime() - 30 * 86400000)), 'aria-label': 'From', id: 'evidence-from'});
    const to = h('input', {type: 'date', value: dateInput(today), 'aria-label': 'To', id: 'evidence-to'});
    const go = h('button', {type: 'submit', class: 'primary'}, 'Build report');
    const report = h('div', {id: 'evidence'});
    const evForm = h('form', {class: 'toolbar'}, h('label', null, 'From ', from), h('label', null, 'to ', to), go);
    fill(root, h('h1', null, 'Compliance'),
      h('div', {class: 'toolbar'}, h('label', null, 'Framework ', pick)),
      summary,
      h('section', {class: 'card'}, h('h2', null, 'Evidence report'), evForm, report));

    let seq = 0;
    async function loadSummary() {
      const my = ++seq;
      fill(report);
      let c;
      try {
        c = await getJson(`/api/compliance/${enc(pick.value)}`);
      } catch (err) {
        if (my === seq) fill(summary, errorBox(err));
        return;
      }
      if (my !== seq) return;
      fill(summary,
        h('p', {class: 'coverage-line', id: 'coverage-line'},
          h('strong', null, c.framework), `: ${c.covered_count} of ${c.total_count} controls covered by the detections in place.`),
        table([{label: 'Control'}, {label: 'Name', wrap: true}, {label: 'Covered'}, {label: 'Alerts', num: true}, {label: 'Techniques', narrow: true}],
          c.controls.map(k => [
            h('span', {class: 'mono'}, k.control_id),
            [h('div', null, k.name), h('div', {class: 'note'}, k.description)],
            k.covered ? h('span', {class: 'ok'}, 'covered') : h('span', {class: 'bad'}, 'not covered'),
            String(k.alert_count),
            k.techniques.map(t => h('span', {class: 'chip'}, t))]),
          {empty: 'This framework has no controls.'}));
    }

    evForm.addEventListener('submit', async e => {
      e.preventDefault();
      if (!from.value || !to.value) return;
      fill(report, h('p', {class: 'muted'}, 'Loading…'));
      let r;
      try {
        r = await getJson(`/api/compliance/${enc(pick.value)}/evidence` + query({from: dayToUnix(from.value, false), to: dayToUnix(to.value, true)}));
      } catch (err) {
        fill(report, errorBox(err));
        return;
      }
      const total = r.controls.reduce((n, k) => n + k.evidence.length, 0);
      fill(report,
        h('p', {class: 'note'}, `${r.framework}, alerts from ${fmtTime(r.from)} to ${fmtTime(r.to)}; generated ${fmtTime(r.generated_at)}. ${total} evidence entries.`),
        r.controls.map(k => [
          h('h3', null, h('span', {class: 'mono'}, k.control_id), ' ', k.name),
          k.evidence.length
            ? table([{label: 'Alert', num: true}, {label: 'Severity'}, {label: 'Title', wrap: true}, {label: 'Created'}],
                k.evidence.map(ev => [h('a', {href: `#/alerts/${ev.alert_id}`}, `#${ev.alert_id}`), sevBadge(ev.severity), ev.title, fmtTime(ev.created_at)]))
            : h('p', {class: 'muted'}, 'No alerts in this period.')]));
    });

    pick.addEventListener('change', () => {
      history.replaceState(null, '', `#/compliance/${pick.value}`);
      loadSummary();
    });
    loadSummary();
  },
};

// The console page. Four views on one page, chosen by the address's fragment: #queues,
// #errors, #log, #directory.
#include "console_page.h"

namespace qlx::adm {

const char* const kConsoleHtml = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>qlx broker console</title>
<link rel="stylesheet" href="/console.css">
<script src="/console.js" defer></script>
</head>
<body>
<header>
  <h1>qlx broker</h1>
  <nav>
    <a href="#queues" id="nav-queues">Queues</a>
    <a href="#errors" id="nav-errors">Error queues</a>
    <a href="#log" id="nav-log">Log</a>
    <a href="#directory" id="nav-directory">Directory</a>
  </nav>
  <form id="token-form">
    <label>Action token <input id="token" type="password" autocomplete="off"
      placeholder="from console-token in the broker home"></label>
    <button type="submit">Use</button>
  </form>
</header>
<p id="status" role="status"></p>
<main>
<section id="queues">
  <h2>Queues</h2>
  <table id="queue-table">
    <thead><tr><th>Queue</th><th>Depth</th><th>In flight</th><th>Oldest (s)</th>
      <th>Max backout</th><th>Put</th><th>Got</th><th>Commits</th><th>Rollbacks</th>
      <th>Backouts</th><th>Mean (ms)</th><th>Puts/s, last 10 min</th></tr></thead>
    <tbody></tbody>
  </table>
  <h2>Elements</h2>
  <table id="element-table">
    <thead><tr><th>Element</th><th>Live servers</th><th>Connected since</th></tr></thead>
    <tbody></tbody>
  </table>
  <p id="counters-note"></p>
</section>
<section id="errors" hidden>
  <h2>Error queues</h2>
  <div id="error-list"></div>
</section>
<section id="log" hidden>
  <h2>Log (last 200 entries)</h2>
  <pre id="log-text"></pre>
</section>
<section id="directory" hidden>
  <h2>Directory</h2>
  <pre id="directory-text"></pre>
</section>
</main>
</body>
</html>
)html";

const char* const kConsoleCss = R"css(
body { font: 14px system-ui, sans-serif; margin: 0; color: #1d2330; background: #f6f7f9; }
header { display: flex; align-items: center; gap: 2em; padding: .6em 1.2em;
  background: #1d2330; color: #fff; }
header h1 { font-size: 1.2em; margin: 0; }
nav a { color: #cfe0ff; margin-right: 1em; text-decoration: none; }
nav a.current { color: #fff; font-weight: bold; border-bottom: 2px solid #fff; }
#token-form { margin-left: auto; }
main { padding: 0 1.2em 2em; }
#status { min-height: 1.4em; margin: .5em 1.2em; color: #2a5d2a; }
#status.bad { color: #a31515; }
table { border-collapse: collapse; background: #fff; }
th, td { padding: .3em .7em; border-bottom: 1px solid #dde; text-align: right; }
th:first-child, td:first-child { text-align: left; }
tr.alarm td { background: #ffe9e9; }
canvas { vertical-align: middle; }
.entry { background: #fff; border: 1px solid #dde; border-radius: 4px; padding: .6em .9em;
  margin: .6em 0; }
.entry h3 { margin: 0 0 .3em; font-size: 1em; }
.entry dl { display: grid; grid-template-columns: max-content auto; gap: .1em 1em; margin: .3em 0; }
.entry dt { color: #667; }
.entry dd { margin: 0; }
pre { background: #fff; border: 1px solid #dde; padding: .6em; white-space: pre-wrap;
  word-break: break-all; }
button { margin-right: .5em; }
.group { margin-bottom: 1.5em; }
)css";

const char* const kConsoleJs = R"js('use strict';
// Every text from the broker goes into the page through text nodes (make()), never as
// markup, whatever it holds.
function make(tag, props, ...children) {
  const node = document.createElement(tag);
  Object.assign(node, props || {});
  for (const child of children)
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  return node;
}

let token = sessionStorage.getItem('qlx-token') || '';
const views = ['queues', 'errors', 'log', 'directory'];

function say(text, bad) {
  const status = document.getElementById('status');
  status.textContent = text;
  status.className = bad ? 'bad' : '';
}

async function getJson(path) {
  const response = await fetch(path, {cache: 'no-store'});
  const body = await response.json();
  if (!response.ok) throw new Error(body.error || response.statusText);
  return body;
}

function rateSeries(rates, queue) {
  const points = [];
  for (let i = 1; i < rates.samples.length; i++) {
    const a = rates.samples[i - 1], b = rates.samples[i];
    const dt = b.t - a.t;
    if (dt <= 0) continue;
    const before = a.q[queue] ? a.q[queue][0] : 0, after = b.q[queue] ? b.q[queue][0] : 0;
    points.push(Math.max(0, after - before) / dt);
  }
  return points;
}

function sparkline(points) {
  const canvas = make('canvas', {width: 140, height: 24});
  const g = canvas.getContext('2d');
  const top = Math.max(1, ...points);
  g.strokeStyle = '#2f6fd0';
  g.beginPath();
  points.forEach((p, i) => {
    const x = points.length < 2 ? 0 : i * 139 / (points.length - 1);
    const y = 23 - p * 22 / top;
    if (i === 0) g.moveTo(x, y); else g.lineTo(x, y);
  });
  g.stroke();
  return make('span', {}, canvas, ' ' + (points.length ? points[points.length - 1].toFixed(1) : '-'));
}

async function showQueues() {
  const [stats, rates] = await Promise.all([getJson('/api/stats'), getJson('/api/rates')]);
  const body = document.querySelector('#queue-table tbody');
  const served = new Map(stats.elements.map(e => [e.element, e.servers]));
  body.replaceChildren(...stats.queues.map(q => {
    const element = q.queue.startsWith('element:') ? q.queue.slice(8) : null;
    const alarm = element !== null && q.depth > 0 && served.get(element) === 0;
    const row = make('tr', {className: alarm ? 'alarm' : ''},
      make('td', {}, q.queue), make('td', {className: 'depth'}, q.depth),
      make('td', {}, q.in_flight), make('td', {}, q.oldest_age_seconds),
      make('td', {}, q.max_backout), make('td', {}, q.put), make('td', {}, q.got),
      make('td', {}, q.committed), make('td', {}, q.rolled_back), make('td', {}, q.backouts),
      make('td', {}, q.processing_mean_ms), make('td', {}, sparkline(rateSeries(rates, q.queue))));
    row.dataset.queue = q.queue;
    return row;
  }));
  document.querySelector('#element-table tbody').replaceChildren(...stats.elements.map(e =>
    make('tr', {className: e.servers ? '' : 'idle'}, make('td', {}, e.element),
      make('td', {}, e.servers),
      make('td', {}, e.servers ? new Date(e.since * 1000).toLocaleString() : '-'))));
  document.getElementById('counters-note').textContent =
    stats.counters_note ? 'No counters: ' + stats.counters_note : '';
}

async function act(action, element, id) {
  if (!token) return say('Enter the action token first (console-token in the broker home).', true);
  if (action === 'purge' && !confirm('Remove ' + (id === 'all' ? 'every entry' : 'entry ' + id) +
                                     ' of the error queue of ' + element + '?'))
    return;
  const response = await fetch('/api/' + action, {
    method: 'POST', headers: {'X-Qlx-Token': token},
    body: new URLSearchParams({element: element, id: String(id)})});
  const result = await response.json();
  if (response.ok) say(action + ': ' + result.done + ' entr' + (result.done === 1 ? 'y' : 'ies') +
                       ' of ' + element);
  else say(action + ' refused: ' + result.error, true);
  refresh();
}

function entryView(e) {
  const fields = [
    ['Reason', e.reason + ' (sub-reason ' + e.sub_reason + ')'], ['Failing call', 'call type ' + e.call_type],
    ['Backout count', e.backout],
    ['Workflow', e.hops ? 'service ' + e.service + ', hop ' + e.hop + ' of ' + e.hops + ', from ' + e.origin : '-'],
    ['Reported', e.time + ' by ' + e.reporter], ['Format', e.format], ['Exception', e.text],
    ['Body (' + e.body_size + ' bytes)', make('pre', {className: 'body'}, e.body + (e.body_size > e.body.length ? '…' : ''))]];
  const list = make('dl', {});
  for (const [name, value] of fields) list.append(make('dt', {}, name), make('dd', {}, value));
  const node = make('div', {className: 'entry'}, make('h3', {}, 'Entry ' + e.id), list,
    make('button', {className: 'resubmit', onclick: () => act('resubmit', e.element, e.id)}, 'Resubmit'),
    make('button', {className: 'purge', onclick: () => act('purge', e.element, e.id)}, 'Purge'));
  node.dataset.element = e.element;
  node.dataset.id = e.id;
  return node;
}

async function showErrors() {
  const entries = await getJson('/api/errors');
  const byElement = new Map();
  for (const e of entries) {
    if (!byElement.has(e.element)) byElement.set(e.element, []);
    byElement.get(e.element).push(e);
  }
  const groups = [...byElement].map(([element, list]) => make('div', {className: 'group'},
    make('h3', {}, 'error:' + element + ' (' + list.length + ')'),
    make('button', {className: 'resubmit-all', onclick: () => act('resubmit', element, 'all')}, 'Resubmit all'),
    make('button', {className: 'purge-all', onclick: () => act('purge', element, 'all')}, 'Purge all'),
    ...list.map(entryView)));
  document.getElementById('error-list').replaceChildren(
    ...(groups.length ? groups : [make('p', {}, 'No entries on the error queues.')]));
}

async function showLog() {
  document.getElementById('log-text').textContent = (await getJson('/api/log')).join('\n');
}

async function showDirectory() {
  document.getElementById('directory-text').textContent = (await getJson('/api/directory')).text;
}

const show = {queues: showQueues, errors: showErrors, log: showLog, directory: showDirectory};

function current() {
  const view = location.hash.slice(1);
  return views.includes(view) ? view : 'queues';
}

async function refresh() {
  const view = current();
  for (const v of views) {
    document.getElementById(v).hidden = v !== view;
    document.getElementById('nav-' + v).className = v === view ? 'current' : '';
  }
  try {
    await show[view]();
    document.body.dataset.loaded = view;
  } catch (error) {
    say('Cannot read the broker: ' + error.message, true);
  }
}

document.getElementById('token').value = token;
document.getElementById('token-form').addEventListener('submit', event => {
  event.preventDefault();
  token = document.getElementById('token').value.trim();
  sessionStorage.setItem('qlx-token', token);
  say(token ? 'Token set for this tab.' : 'Token cleared.');
});
window.addEventListener('hashchange', refresh);
setInterval(() => { if (current() === 'queues') refresh(); }, 2000);
refresh();
)js";

}  // namespace qlx::adm

// The classroom view: every robot on the broker as a card (id and name, online or not, what it
// plays, when it was last heard, loop rate, switches, servo positions, its own stop and identify)
// from orvane-web's one room feed; a motion started on the robots picked; the class-wide stop
// behind a confirmation. Element ids and classes are what the browser tests look for.
import './style.css';
import './room.css';
import { $, el, toast } from './dom.js';
import { openFeed, roomCommand, stopAll } from './api.js';

const STALE_MS = 3000; // a state message older than this (one comes at least once a second)
const STATUS = {
  online: ['online', 'up'],
  offline: ['offline', 'gone'],
  'robot-lost': ['robot lost', 'lost'],
  unknown: ['unknown', 'down'],
};

const cards = new Map(); // robot id -> its elements
const picked = new Set(); // robot ids ticked for "play on selected"
let gatewayUp = false;
let last = null;

function card(id) {
  let c = cards.get(id);
  if (c) return c;
  const root = el('section', 'card');
  root.id = `robot-${id}`;
  const head = el('div', 'card-head');
  const name = el('span', 'name');
  const status = el('span', 'status');
  const pick = el('input', 'pick');
  pick.type = 'checkbox';
  pick.title = 'pick for "play on selected"';
  pick.addEventListener('change', () => {
    if (pick.checked) picked.add(id);
    else picked.delete(id);
    if (last) renderPlayBar(last);
  });
  head.append(pick, el('b', 'rid', id), name, status);
  const doing = el('div', 'doing');
  const seen = el('div', 'seen');
  const note = el('div', 'note');
  const actions = el('div', 'actions');
  const stop = el('button', 'danger stop', 'Stop');
  stop.title = `stop ${id}'s motion; its moving servos hold where they are`;
  stop.addEventListener('click', () => send({ verb: 'stop', ids: [id] }, `stop sent to ${id}`));
  const identify = el('button', 'identify', 'Identify');
  identify.title = `blink ${id}'s LED boards for a few seconds`;
  identify.addEventListener('click', () => send({ verb: 'identify', ids: [id] }, `${id} blinks its LEDs`));
  actions.append(stop, identify);
  const values = el('div', 'values');
  const rate = el('b', 'rate', '–');
  const figures = el('div', 'figures');
  figures.append(rate, ' passes/s');
  const sws = el('div', 'sws');
  const positions = el('div', 'positions');
  values.append(figures, sws, positions);
  root.append(head, doing, seen, values, note, actions);
  c = { root, name, status, pick, doing, seen, note, rate, sws, positions, servoKeys: '' };
  cards.set(id, c);
  return c;
}

async function send(body, done) {
  try {
    await roomCommand(body);
    toast(done);
  } catch (e) {
    toast(`${body.verb} failed: ${e.message}`);
  }
}

// What the robot does, from its bridge's state: "playing wave.yaml 40 %", "stopped", "failed: why".
function doingText(m) {
  if (!m) return ['idle', ''];
  if (m.state === 'playing') {
    const pct = m.progress === undefined ? '' : ` ${Math.round(m.progress * 100)} %`;
    return [`playing ${m.name}${pct}`, 'playing'];
  }
  if (m.state === 'finished') return [`finished ${m.name}`, ''];
  if (m.state === 'stopped') return [`stopped ${m.name}${m.why ? `: ${m.why}` : ''}`, 'stopped'];
  return [`failed ${m.name}${m.why ? `: ${m.why}` : ''}`, 'failed'];
}

function ago(ms) {
  if (ms === null) return 'not heard yet';
  if (ms < 2000) return 'last seen just now';
  if (ms < 120000) return `last seen ${Math.round(ms / 1000)} s ago`;
  return `last seen ${Math.round(ms / 60000)} min ago`;
}

function renderRobot(r, brokerUp) {
  const c = card(r.id);
  c.name.textContent = r.name;
  c.name.title = r.name;
  const [text, cls] = STATUS[r.status] || STATUS.unknown;
  // While the broker (or orvane-web) is away, each robot shows as last heard, greyed.
  c.status.textContent = brokerUp && gatewayUp && r.heard ? text : `${text} (last heard)`;
  c.status.className = `status ${cls}`;
  const live = brokerUp && gatewayUp && r.heard && r.status === 'online' && r.age !== null && r.age < STALE_MS;
  c.root.classList.toggle('stale', !live);
  const [doing, dcls] = r.status === 'online' || r.motion ? doingText(r.motion) : ['', ''];
  c.doing.textContent = doing;
  c.doing.className = `doing ${dcls}`;
  c.seen.textContent = ago(r.age);
  c.note.textContent = r.note || '';
  c.pick.checked = picked.has(r.id);
  c.rate.textContent = r.rate === null ? '–' : r.rate.toFixed(1);
  if (c.sws.children.length !== r.sw_in.length) {
    c.sws.replaceChildren(...r.sw_in.map((_, i) => Object.assign(el('span', 'sw', `${i}`), { title: `switch ${i}` })));
  }
  r.sw_in.forEach((on, i) => c.sws.children[i].classList.toggle('on', on === 1));
  const keys = r.servos.map((s) => `${s.id}:${s.key}`).join(',');
  if (keys !== c.servoKeys) {
    c.servoKeys = keys;
    c.positions.replaceChildren(...r.servos.map((s) => {
      const e = el('span', 'srv');
      e.dataset.servo = s.id;
      e.title = `servo ${s.id}`;
      e.append(el('small', '', s.key), ' ', el('b'));
      return e;
    }));
  }
  r.servos.forEach((s, i) => {
    const e = c.positions.children[i];
    // Next to a joint's name, the joint's degrees; no number without a reading, and why.
    const deg = s.deg ?? (s.pos === null ? null : s.pos / 10);
    e.classList.toggle('noreading', deg === null);
    e.lastChild.textContent = deg === null ? '–' : `${deg.toFixed(1)}°`;
    e.title = deg === null && s.why ? `servo ${s.id}: no reading: ${s.why}` : `servo ${s.id}`;
  });
  return c.root;
}

function render(room) {
  last = room;
  const up = room.broker.up;
  const b = $('broker');
  b.textContent = !gatewayUp ? 'gateway lost' : up ? 'broker connected' : 'broker lost';
  b.className = `status ${gatewayUp && up ? 'up' : 'down'}`;
  $('problem').hidden = !gatewayUp || up || !room.broker.problem;
  $('problem').textContent = room.broker.problem;
  const seen = new Set();
  const main = $('robots');
  room.robots.forEach((r, i) => {
    seen.add(r.id);
    const root = renderRobot(r, up);
    if (main.children[i] !== root) main.insertBefore(root, main.children[i] || null);
  });
  for (const [id, c] of cards) {
    if (!seen.has(id)) {
      c.root.remove();
      cards.delete(id);
    }
  }
  for (const id of [...picked]) if (!seen.has(id)) picked.delete(id);
  $('online').textContent = room.robots.filter((r) => r.status === 'online').length;
  $('total').textContent = room.robots.length;
  $('empty').hidden = room.robots.length > 0 || !up;
  $('empty-down').hidden = room.robots.length > 0 || up;
  renderPlayBar(room);
}

// The motions every picked robot's bridge offers.
function renderPlayBar(room) {
  const robots = room.robots.filter((r) => picked.has(r.id));
  let offered = robots.length ? robots[0].motions : [];
  for (const r of robots) offered = offered.filter((m) => r.motions.includes(m));
  const sel = $('play-motion');
  const keys = offered.join('\n');
  if (sel.dataset.keys !== keys) {
    const keep = sel.value;
    sel.dataset.keys = keys;
    sel.replaceChildren(el('option', '', robots.length && !offered.length ? 'no motion in common' : 'motion…'),
      ...offered.map((m) => el('option', '', m)));
    sel.firstChild.value = '';
    if (offered.includes(keep)) sel.value = keep;
  }
  sel.disabled = !offered.length;
  $('selected').textContent = robots.length;
  $('play-selected').disabled = !robots.length || !sel.value;
}

function start() {
  $('stop-all').addEventListener('click', () => $('confirm').showModal());
  $('play-motion').addEventListener('change', () => last && renderPlayBar(last));
  $('play-selected').addEventListener('click', () => {
    const ids = [...picked].sort();
    const motion = $('play-motion').value;
    send({ verb: 'play', ids, motion }, `${motion} sent to ${ids.join(', ')}`);
  });
  $('confirm-no').addEventListener('click', () => $('confirm').close());
  $('confirm-yes').addEventListener('click', async () => {
    $('confirm').close();
    try {
      await stopAll();
      toast('stop sent to every robot', 5000);
    } catch (e) {
      toast(`stop all failed: ${e.message}`, 5000);
    }
  });
  openFeed(0, render, (up) => {
    gatewayUp = up;
    if (last) render(last);
    else if (!up) $('broker').textContent = 'gateway lost';
  });
}

start();

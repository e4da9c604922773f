// The classroom view: every robot on the broker as a card (name, online or not, loop rate,
// switches, servo positions) from orvane-web's one room feed, and the class-wide stop behind a
// confirmation. Element ids and classes are what the browser tests look for.
import './style.css';
import './room.css';
import { $, el, toast } from './dom.js';
import { openFeed, stopAll } from './api.js';

const STALE_MS = 3000; // a state message older than this (one comes at least once a second)
const STATUS = {
  online: ['online', 'up'],
  offline: ['offline', 'gone'],
  'robot-lost': ['robot lost', 'lost'],
  unknown: ['unknown', 'down'],
};

const cards = new Map(); // robot id -> its elements
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
  head.append(el('b', 'rid', id), name, status);
  const values = el('div', 'values');
  const rate = el('b', 'rate', '–');
  const figures = el('div', 'figures');
  figures.append(rate, ' passes/s');
  const sws = el('div', 'sws');
  const positions = el('div', 'positions');
  values.append(figures, sws, positions);
  root.append(head, values);
  c = { root, name, status, rate, sws, positions, servoKeys: '' };
  cards.set(id, c);
  return c;
}

function renderRobot(r, brokerUp) {
  const c = card(r.id);
  c.name.textContent = r.name;
  c.name.title = r.name;
  const [text, cls] = STATUS[r.status] || STATUS.unknown;
  c.status.textContent = text;
  c.status.className = `status ${cls}`;
  const live = brokerUp && gatewayUp && r.status === 'online' && r.age !== null && r.age < STALE_MS;
  c.root.classList.toggle('stale', !live);
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
    e.classList.toggle('noreading', s.pos === null);
    e.lastChild.textContent = s.pos === null ? '–' : `${(s.pos / 10).toFixed(1)}°`;
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
  $('online').textContent = room.robots.filter((r) => r.status === 'online').length;
  $('total').textContent = room.robots.length;
  $('empty').hidden = room.robots.length > 0;
}

function start() {
  $('stop-all').addEventListener('click', () => $('confirm').showModal());
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

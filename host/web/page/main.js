// The live view: shows one robot's state as the gateway pushes it, and sends the controls'
// commands. Element ids are what the browser tests look for.
import 'uplot/dist/uPlot.min.css';
import './style.css';
import { $, el, toast } from './dom.js';
import { openFeed, command, robots, motions, planOf, description, previewOf } from './api.js';
import { PassClock, ServoPlot } from './plot.js';
import { startGamepad, mapAxes } from './gamepad.js';

const SWITCH_PINS = [22, 23, 24, 25, 4];

let robot = 0;
let closeFeed = null;
let rows = new Map(); // servo id -> { row, plot, slider, ... }
let rowIds = '';
let last = null;
let gatewayUp = false;
let selectedLed = 0;
let plan = null; // the planned curve of the motion playing, as /api/plan gives it
let planWanted = 0; // the serial of the plan the state names; 0 while nothing plays
let clock = new PassClock(); // the plots' time, from the robot's passes
let view = null; // the robot in 3D, once its description and view3d.js are loaded
let view3dState = 'loading'; // then 'ready', or 'none' when there is no 3D view

async function send(body) {
  try {
    await command(robot, body);
  } catch (e) {
    toast(e.message);
  }
}

function buildStatic() {
  for (let i = 0; i < 5; i++) {
    const tile = el('div', 'tile');
    tile.id = `sw-${i}`;
    tile.append(el('b', '', `${i}`), el('small', '', `GPIO ${SWITCH_PINS[i]}`));
    $('switches').append(tile);
  }
  for (let i = 0; i < 16; i++) {
    const b = i < 8 ? 'a' : 'b';
    const s = el('button', 'swatch');
    s.id = `led-${b}-${i % 8}`;
    s.title = `LED ${b.toUpperCase()}${i % 8}`;
    s.append(el('span', 'v', '0'));
    s.addEventListener('click', () => selectLed(i));
    $(`leds-${b}`).append(s);
  }
  selectLed(0);
  const ledChange = (v) => {
    v = Math.max(0, Math.min(255, Math.round(Number(v) || 0)));
    $('led-value').value = v;
    $('led-number').value = v;
    send({ op: 'leds', leds: [[selectedLed, v]] });
  };
  $('led-value').addEventListener('change', (e) => ledChange(e.target.value));
  $('led-number').addEventListener('change', (e) => ledChange(e.target.value));
  $('torque-all-on').addEventListener('click', () => send({ op: 'torque', on: true }));
  $('torque-all-off').addEventListener('click', () => send({ op: 'torque', on: false }));
  $('exit').addEventListener('click', () =>
    confirmThen('End the daemon on this robot? Its servos stop being driven.', { op: 'exit', confirm: true }));
  $('poweroff').addEventListener('click', () =>
    confirmThen('Power the robot\'s board off? It must be switched on again by hand.', { op: 'poweroff', confirm: true }));
  $('confirm-no').addEventListener('click', () => $('confirm').close());
  $('motion-stop').addEventListener('click', () => send({ op: 'stop' }));
  for (const action of ['engage', 'pause', 'end'])
    $(`mirror-${action}`).addEventListener('click', () =>
      send({ op: 'mirror', action, leader: Number($('mirror-leader').value) }));
  $('motion-refresh').addEventListener('click', () => loadMotions());
  $('robot').addEventListener('change', (e) => show(Number(e.target.value)));
  $('preview-stop').addEventListener('click', () => closePreview());
  $('preview-at').addEventListener('input', (e) => {
    const p = view && view.info().preview;
    if (p) view.seek((Number(e.target.value) / 1000) * p.seconds);
  });
  window.addEventListener('resize', () => rows.forEach((r) => r.plot.resize()));
}

function selectLed(i) {
  selectedLed = i;
  document.querySelectorAll('.swatch').forEach((s) => s.classList.remove('selected'));
  const b = i < 8 ? 'a' : 'b';
  $(`led-${b}-${i % 8}`).classList.add('selected');
  $('led-sel').textContent = `${b.toUpperCase()}${i % 8}`;
  if (last) {
    $('led-value').value = last.leds[i];
    $('led-number').value = last.leds[i];
  }
}

function confirmThen(text, body) {
  $('confirm-text').textContent = text;
  $('confirm-yes').onclick = () => {
    $('confirm').close();
    send(body);
  };
  $('confirm').showModal();
}

function buildRows(servos) {
  mapAxes(servos);
  rows.forEach((r) => r.plot.destroy());
  rows = new Map();
  const box = $('servos');
  box.replaceChildren();
  for (const sv of servos) {
    const row = el('div', 'servo');
    row.id = `servo-${sv.id}`;
    const head = el('div', 'servo-head');
    const goal = el('span', 'goal');
    const pos = el('span', 'pos');
    const torque = el('button', 'torque');
    // A joint is named by its name and moved in its own degrees; a servo by its id in its own.
    const who = sv.joint || sv.id;
    torque.addEventListener('click', () => {
      const on = !row.classList.contains('torque-on');
      send({ op: 'torque', on, ids: [who] });
    });
    // A servo nobody asks for its position can be put into a read group from here.
    const readIt = el('button', 'read-it', 'read it');
    readIt.id = `read-${sv.id}`;
    readIt.title = 'put this servo into a read group, so that its position is read';
    readIt.hidden = true;
    readIt.addEventListener('click', () => send({ op: 'read', ids: [sv.id] }));
    const name = el('b', 'id', sv.joint ? `#${sv.id} ${sv.joint}` : `#${sv.id}`);
    if (sv.joint) name.title = `joint ${sv.joint} on servo ${sv.id}: ${sv.lo}° to ${sv.hi}°, in the joint's degrees`;
    head.append(name, el('span', 'k', 'goal'), goal, el('span', 'k', 'position'), pos, readIt, torque);
    const slider = el('input', 'slider');
    // The profile's soft limits bound the slider; the gateway refuses moves beyond them too.
    Object.assign(slider, { type: 'range', min: sv.lo ?? -150, max: sv.hi ?? 150, step: 0.5, value: sv.goal_deg });
    slider.setAttribute('aria-label', sv.joint ? `${sv.joint} goal` : `servo ${sv.id} goal`);
    const out = el('output', 'target', `${sv.goal_deg.toFixed(1)}°`);
    let dragging = false;
    slider.addEventListener('input', () => {
      dragging = true;
      out.textContent = `${Number(slider.value).toFixed(1)}°`;
    });
    slider.addEventListener('change', () => {
      dragging = false;
      const ms = Math.max(0, Math.min(4000, Number($('move-ms').value) || 0));
      send({ op: 'move', goals: [[who, Number(slider.value)]], ms });
    });
    const ctl = el('div', 'servo-ctl');
    ctl.append(slider, out);
    const plotBox = el('div', 'plot');
    row.append(head, ctl, plotBox);
    box.append(row);
    const r = { row, goal, pos, readIt, torque, slider, out, plot: null, isDragging: () => dragging };
    r.plot = new ServoPlot(plotBox);
    rows.set(sv.id, r);
  }
}

function render(s) {
  last = s;
  const status = $('status');
  const live = gatewayUp && s.connected;
  status.textContent = !gatewayUp ? 'gateway lost' : s.connected ? 'connected' : 'reconnecting';
  status.className = `status ${live ? 'up' : 'down'}`;
  document.body.classList.toggle('stale', !live);
  $('problem').hidden = s.connected;
  $('problem').textContent = s.connected ? '' : `${s.address}: ${s.problem}`;
  $('name').textContent = s.name || s.address;
  document.title = `${s.name || s.address} · orvane`;
  $('rate').textContent = s.connected ? s.rate.toFixed(1) : '–';
  $('tick').textContent = s.tick_period;
  s.switches.forEach((on, i) => $(`sw-${i}`).classList.toggle('on', on));
  s.leds.forEach((v, i) => {
    const sw = $(`led-${i < 8 ? 'a' : 'b'}-${i % 8}`);
    sw.style.setProperty('--level', (v / 255).toFixed(3));
    sw.firstChild.textContent = v;
  });
  // The editor follows the selected LED as the robot reports it, except while it is being used.
  const editing = [$('led-value'), $('led-number')].includes(document.activeElement);
  if (!editing) {
    $('led-value').value = s.leds[selectedLed];
    $('led-number').value = s.leds[selectedLed];
  }
  const ids = s.servos.map((sv) => `${sv.id}${sv.joint}${sv.lo}${sv.hi}`).join(',');
  if (ids !== rowIds) {
    rowIds = ids;
    buildRows(s.servos);
    if (plan) showPlan(plan);
  }
  // The daemon keeps its start-up 16667 us while tick_period holds a value outside 1..999999.
  const tickUs = s.tick_period >= 1 && s.tick_period <= 999999 ? s.tick_period : 16667;
  const { at, moved } = s.connected ? clock.follow(s.loop_count, tickUs) : { at: 0, moved: 0 };
  if (moved) rows.forEach((r) => r.plot.shift(moved));
  for (const sv of s.servos) {
    const r = rows.get(sv.id);
    // Shown in the joint's degrees next to its name (the servo's without one), and a position
    // only while it is a reading.
    r.goal.textContent = `${sv.goal_deg.toFixed(1)}°`;
    r.pos.textContent = sv.deg === null ? `no reading${sv.why ? `: ${sv.why}` : ''}` : `${sv.deg.toFixed(1)}°`;
    r.readIt.hidden = sv.reading !== 'no_group';
    r.row.classList.toggle('noreading', sv.deg === null);
    r.row.classList.toggle('moving', sv.moving > 0);
    const on = s.torque_on && sv.torque > 0;
    r.row.classList.toggle('torque-on', on);
    r.torque.textContent = on ? `torque ${sv.torque}` : 'torque off';
    if (!r.isDragging() && document.activeElement !== r.slider && sv.moving === 0) {
      r.slider.value = sv.goal_deg;
      r.out.textContent = `${sv.goal_deg.toFixed(1)}°`;
    }
    if (s.connected) r.plot.add(at, sv.goal_deg, sv.deg);
  }
  renderMotion(s.motion);
  renderMirror(s.mirror);
  followPlan(s);
  if (view) view.update(s);
}

// The mirror panel: what the session does, and how far behind the leader the follower is.
function renderMirror(m) {
  const st = $('mirror-status');
  let text = 'not mirroring';
  if (m && m.on) {
    text = `${m.phase} from robot ${m.leader}`;
    if (m.why) text += `: ${m.why}`;
    if (m.lag_ms >= 0) text += ` · lag ${m.lag_ms.toFixed(0)} ms (${m.lag_ticks.toFixed(1)} ticks)`;
    if (m.phase === 'tracking' || m.phase === 'engaging') text += ` · gap ${m.gap.toFixed(1)}°`;
  } else if (m && m.leader >= 0 && m.why) {
    text = `not mirroring: ${m.why}`;
  }
  st.textContent = text;
  st.className = `mirror-status${m && m.on ? ` ${m.phase}` : ''}`;
  $('mirror-engage').textContent = m && m.on ? 'engage again' : 'engage';
  $('mirror-pause').disabled = !(m && m.on);
  $('mirror-end').disabled = !(m && m.on);
}

// The planned curve is fetched once per motion, when the state names a new one, and placed on
// the plots' clock at the pass its tick 0 stands for, as the measured samples are.
function followPlan(s) {
  const m = s.motion;
  const serial = s.connected && m && m.playing ? m.plan : 0;
  if (serial !== planWanted) {
    planWanted = serial;
    showPlan(null);
    if (serial) fetchPlan(robot, serial);
  }
  if (plan) placePlan();
}

async function fetchPlan(r, serial) {
  let p;
  try {
    p = await planOf(r);
  } catch (e) {
    return; // the motion ended meanwhile: nothing to draw
  }
  if (r !== robot || serial !== planWanted || p.serial !== serial) return;
  showPlan(p);
  placePlan();
}

function showPlan(p) {
  plan = p;
  $('plan-key').hidden = !p;
  rows.forEach((r, id) => {
    const j = p && p.joints.find((x) => x.id === id);
    if (!j) return r.plot.setPlan(null);
    const lo = j.v.reduce((a, b) => Math.min(a, b), Infinity);
    const hi = j.v.reduce((a, b) => Math.max(a, b), -Infinity);
    r.plot.setPlan({ v: j.v, keys: j.keys, every: p.every, ticks: p.ticks, lo, hi, t0: 0, spt: 0 });
  });
}

// Tick 0 is the pass first_pass, and a tick lasts a pass.
function placePlan() {
  if (clock.loop === null) return;
  const t0 = clock.at(plan.first_pass);
  rows.forEach((r) => {
    if (r.plot.plan) Object.assign(r.plot.plan, { t0, spt: clock.spt });
  });
}

// What the plots hold of the planned curve, of the measured goals and what the 3D view shows,
// for the browser's console and the tests.
window.orvane = {
  now: () => clock.now(),
  goals: (id) => rows.has(id) && { t: [...rows.get(id).plot.t], goal: [...rows.get(id).plot.goal] },
  view3d: () => view && view.info(),
  view3dState: () => view3dState,
  view3dAt: (link, which) => view && view.at(link, which),
  plan: () =>
    plan && {
      serial: plan.serial,
      first_pass: plan.first_pass,
      rows: Object.fromEntries(
        [...rows].filter(([, r]) => r.plot.plan).map(([id, r]) => [id, { ...r.plot.plan }]),
      ),
    },
};

// The playlist: one button per motion file, with its description and length, or the fault that
// keeps it from playing.
async function loadMotions() {
  let info;
  try {
    info = await motions();
  } catch (e) {
    toast(`cannot list motions: ${e.message}`);
    return;
  }
  $('motions').hidden = !info.offered;
  const list = $('motion-list');
  list.replaceChildren();
  for (const m of info.motions) {
    const row = el('div', 'motion-row');
    const b = el('button', 'motion');
    b.dataset.motion = m.name;
    b.append(el('b', '', m.name));
    row.append(b);
    if (m.problem) {
      b.disabled = true;
      b.append(el('span', 'problem-text', m.problem));
    } else {
      b.append(el('span', 'k', `${m.seconds.toFixed(1)} s${m.description ? ` · ${m.description}` : ''}`));
      b.addEventListener('click', () => send({ op: 'play', motion: m.name }));
      // Shown in 3D first, from where the robot's goals are now; nothing moves.
      const p = el('button', 'preview', 'preview');
      p.dataset.motion = m.name;
      p.title = 'show this motion in 3D before it plays';
      p.hidden = !view;
      p.addEventListener('click', () => startPreview(m.name));
      row.append(p);
    }
    list.append(row);
  }
  if (info.offered && info.motions.length === 0) list.append(el('span', 'k', 'no motion files in the folder'));
  if (last) renderMotion(last.motion);
}

function renderMotion(m) {
  const playing = Boolean(m && m.playing);
  $('motion-stop').disabled = !playing;
  document.querySelectorAll('.motion').forEach((b) => {
    b.classList.toggle('playing', playing && b.dataset.motion === m.name);
    if (!b.querySelector('.problem-text')) b.disabled = playing;
  });
  let text = '';
  if (playing) text = m.moves ? `playing ${m.name}: move ${m.move} of ${m.moves}` : `playing ${m.name}`;
  else if (m && m.name) text = m.outcome === 'done' || m.outcome === 'stopped' ? `${m.name}: ${m.outcome}` : `${m.name} failed: ${m.outcome}`;
  $('motion-status').textContent = text;
  $('motion-warnings').textContent = m && m.warnings ? m.warnings.join('; ') : '';
}

// The robot in 3D: only when orvane-web has a description to draw, since the view's script is
// most of the page's weight. Its section takes its place before anything below it can be
// clicked, and keeps its size: nothing moves under the pointer when the view arrives.
async function find3d() {
  try {
    const urdf = await description();
    $('view3d').hidden = false;
    return urdf;
  } catch (e) {
    return null; // none: started without a profile, or a build that reads none
  }
}

async function load3d(urdf) {
  if (urdf) await draw3d(urdf);
  view3dState = view ? 'ready' : 'none';
}

async function draw3d(urdf) {
  const fail = (text) => {
    $('view3d-wait').textContent = text;
    toast(text);
  };
  try {
    await new Promise((ok, no) => {
      const tag = document.createElement('script');
      tag.src = '/view3d.js';
      tag.onload = ok;
      tag.onerror = () => no(new Error('cannot load the 3D view'));
      document.head.append(tag);
    });
    view = window.orvane3d.create($('view3d'), urdf);
  } catch (e) {
    return fail(`cannot draw the robot: ${e.message}`);
  }
  $('view3d-wait').hidden = true;
  document.querySelectorAll('.preview').forEach((p) => (p.hidden = false));
  if (view.meshesLeftOut().length) toast(`meshes are not drawn: ${view.meshesLeftOut().join(', ')}`);
  if (last) view.update(last);
}

async function startPreview(name) {
  if (!view || !last) return;
  let p;
  try {
    p = await previewOf(robot, name);
  } catch (e) {
    toast(`cannot preview ${name}: ${e.message}`);
    return;
  }
  view.startPreview(name, p, last.servos, () => showPreview());
  $('preview-bar').hidden = false;
  showPreview();
}

function showPreview() {
  const p = view && view.info().preview;
  if (!p) return;
  const how = p.ended ? ', ended' : p.paused ? ', held (preview again to replay)' : '';
  $('preview-status').textContent = `preview of ${p.name}: ${p.at.toFixed(1)} of ${p.seconds.toFixed(1)} s${how}`;
  if (document.activeElement !== $('preview-at')) $('preview-at').value = p.seconds > 0 ? Math.round((p.at / p.seconds) * 1000) : 0;
}

function closePreview() {
  if (view) view.stopPreview();
  $('preview-bar').hidden = true;
}

// Plots move with the clock even while no state arrives.
function tick() {
  if (last && last.connected && gatewayUp) {
    for (const sv of last.servos) {
      const r = rows.get(sv.id);
      if (r && clock.now() - r.plot.t[r.plot.t.length - 1] > 0.2)
        r.plot.add(clock.now(), sv.goal_deg, sv.deg);
    }
  }
  rows.forEach((r) => r.plot.draw(clock.now()));
  showPreview();
}

function show(i) {
  robot = i;
  closePreview();
  if (view) view.reset();
  const lead = $('mirror-leader');
  if (lead.options.length > 1 && Number(lead.value) === i) lead.value = String(i === 0 ? 1 : 0);
  if (closeFeed) closeFeed();
  rowIds = '';
  last = null;
  clock = new PassClock();
  planWanted = 0;
  showPlan(null);
  closeFeed = openFeed(
    i,
    (s) => render(s),
    (up) => {
      gatewayUp = up;
      if (last) render(last);
      else if (!up) $('status').textContent = 'gateway lost';
    },
  );
}

async function start() {
  buildStatic();
  try {
    const info = await robots();
    const sel = $('robot');
    for (const r of info.robots) {
      const o = el('option', '', r.address);
      o.value = r.index;
      sel.append(o);
    }
    sel.hidden = info.robots.length < 2;
    // A leader for the mirror: any robot shown here, another than this one by default.
    const lead = $('mirror-leader');
    for (const r of info.robots) {
      const o = el('option', '', `${r.index}: ${r.address}`);
      o.value = r.index;
      lead.append(o);
    }
    if (info.robots.length > 1) lead.value = '1';
  } catch (e) {
    toast(`cannot list robots: ${e.message}`);
  }
  const urdf = await find3d();
  loadMotions();
  load3d(urdf);
  show(0);
  startGamepad({ servos: () => (last && last.connected ? last.servos : []), send: (b) => command(robot, b) });
  setInterval(tick, 100);
}

start();

// Jogging with a gamepad (the browser's Gamepad API) or, on a phone, the on-screen stick: each
// stick axis drives a chosen servo at a speed up to the fastest the gateway allows it, and only
// while a deadman is held (a shoulder button, or "hold to move"). Input that may be stale stops
// the jog: the page hidden, the pad unplugged, or no new data from the pad for a second. The
// gateway checks every speed and ends a jog that is not renewed; this page renews it every 100 ms.

import { $ } from './dom.js';

const SAMPLE_MS = 50;   // how often the inputs are read
const RENEW_MS = 100;   // a jog is sent again at least this often while it lasts
const STALE_MS = 1000;  // a pad whose data has not changed for this long is taken as gone
const DEADZONE = 0.15;
const DEADMAN_BUTTONS = [4, 5];  // the shoulder buttons of the standard mapping
const AXES = 4;                  // left stick x, y, right stick x, y


export function startGamepad({ servos, send }) {
  let pad = null;                 // index of the pad in use
  let stamp = -1;                 // its last timestamp, and when that changed
  let changed = 0;
  let padGone = '';               // why the pad is not to be trusted, until it gives new data
  const touch = { on: false, x: 0, y: 0 };
  let held = false;               // the on-screen deadman
  let jogging = false;
  let sent = 0;
  let body = '';
  let inflight = false;
  let ended = '';

  window.addEventListener('gamepadconnected', (e) => {
    if (pad === null && e.gamepad) pad = e.gamepad.index;
  });
  window.addEventListener('gamepaddisconnected', (e) => {
    if (e.gamepad && e.gamepad.index === pad) {
      pad = null;
      padGone = 'gamepad unplugged';
    }
    sample();
  });
  document.addEventListener('visibilitychange', () => sample());
  window.addEventListener('blur', () => {
    held = false;
    touch.on = false;
    sample();
  });

  // The on-screen stick and deadman, by pointer events (touch, pen or mouse).
  const stick = $('stick');
  const knob = $('knob');
  const moveKnob = (e) => {
    const r = stick.getBoundingClientRect();
    let x = ((e.clientX - r.left) / r.width) * 2 - 1;
    let y = ((e.clientY - r.top) / r.height) * 2 - 1;
    const len = Math.hypot(x, y);
    if (len > 1) { x /= len; y /= len; }
    Object.assign(touch, { on: true, x, y });
    knob.style.transform = `translate(${x * r.width / 2}px, ${y * r.height / 2}px)`;
  };
  const releaseKnob = () => {
    Object.assign(touch, { on: false, x: 0, y: 0 });
    knob.style.transform = '';
    sample();
  };
  stick.addEventListener('pointerdown', (e) => { stick.setPointerCapture(e.pointerId); moveKnob(e); });
  stick.addEventListener('pointermove', (e) => { if (touch.on) moveKnob(e); });
  for (const ev of ['pointerup', 'pointercancel', 'lostpointercapture']) stick.addEventListener(ev, releaseKnob);
  const deadman = $('deadman');
  const hold = (on) => {
    held = on;
    deadman.classList.toggle('held', on);
    sample();
  };
  deadman.addEventListener('pointerdown', (e) => { deadman.setPointerCapture(e.pointerId); hold(true); });
  for (const ev of ['pointerup', 'pointercancel', 'lostpointercapture']) deadman.addEventListener(ev, () => hold(false));
  deadman.addEventListener('contextmenu', (e) => e.preventDefault());

  // What the inputs say now: the four axes, whether the deadman is held, and why not to trust them.
  function inputs(now) {
    const axes = [0, 0, 0, 0];
    let down = held;
    let gone = '';
    const pads = navigator.getGamepads ? Array.from(navigator.getGamepads() || []) : [];
    if (pad === null) {
      const p = pads.find((x) => x && x.connected);
      if (p) pad = p.index;
    }
    const p = pad === null ? null : pads[pad];
    if (pad !== null && (!p || !p.connected)) {
      pad = null;
      padGone = 'gamepad unplugged';
    }
    if (p && p.connected) {
      if (p.timestamp !== stamp) {
        stamp = p.timestamp;
        changed = now;
        padGone = '';
      } else if (now - changed > STALE_MS) {
        padGone = 'no input from the gamepad for 1 s';
      }
      if (!padGone) {
        for (let i = 0; i < AXES; i++) axes[i] = Number(p.axes[i]) || 0;
        down = down || DEADMAN_BUTTONS.some((b) => p.buttons[b] && p.buttons[b].pressed);
      }
    }
    if (padGone && !touch.on && !held) gone = padGone;
    if (touch.on) { axes[0] = touch.x; axes[1] = touch.y; }
    $('pad-status').textContent = p && p.connected ? `gamepad: ${p.id}${padGone ? ` (${padGone})` : ''}`
      : padGone ? padGone : 'no gamepad: connect one and press a button, or use the stick below';
    return { axes, down, gone };
  }

  // Degrees a second for each mapped axis, scaled to the servo's fastest jog beyond a dead zone;
  // up on a stick is a positive turn.
  function speeds(axes) {
    const rows = servos();
    const v = [];
    for (let i = 0; i < AXES; i++) {
      const id = Number($(`axis-${i}`).value);
      const sv = rows.find((s) => s.id === id);
      if (!sv || v.some((x) => x[0] === id)) continue;
      const a = i % 2 ? -axes[i] : axes[i];
      if (Math.abs(a) < DEADZONE) continue;
      const mag = Math.min(1, (Math.abs(a) - DEADZONE) / (1 - DEADZONE));
      v.push([id, Math.round(Math.sign(a) * mag * sv.jog * 10) / 10]);
    }
    return v;
  }

  function post(b) {
    inflight = true;
    send(b).catch((e) => { ended = e.message; }).finally(() => { inflight = false; });
  }

  function sample() {
    const now = performance.now();
    const { axes, down, gone } = inputs(now);
    const why = document.hidden ? 'page hidden' : gone;
    const v = why || !down ? [] : speeds(axes);
    const status = $('jog-status');
    if (v.length) {
      const b = JSON.stringify({ op: 'jog', v });
      if (!inflight && (!jogging || b !== body || now - sent >= RENEW_MS)) {
        body = b;
        sent = now;
        post({ op: 'jog', v });
      }
      jogging = true;
      ended = '';
      status.textContent = 'jogging ' + v.map(([id, s]) => `#${id} ${s > 0 ? '+' : ''}${s.toFixed(1)}°/s`).join(', ');
      status.className = 'jog-status moving';
      return;
    }
    if (jogging) {
      jogging = false;
      post({ op: 'jog', v: [] });  // a stop goes whatever else is on its way
      ended = why || (down ? 'sticks at rest' : 'deadman released');
    }
    status.textContent = ended ? `stopped: ${ended}` : 'nothing moves unless a shoulder button (LB or RB) or "hold to move" is held';
    status.className = `jog-status${ended ? ' stopped' : ''}`;
  }

  setInterval(sample, SAMPLE_MS);
}

// The axis selectors offer the servos of the write list; a choice stays while its servo does.
export function mapAxes(rows) {
  for (let i = 0; i < AXES; i++) {
    const sel = $(`axis-${i}`);
    const was = sel.value;
    sel.replaceChildren();
    const none = document.createElement('option');
    none.value = '';
    none.textContent = '—';
    sel.append(none);
    for (const sv of rows) {
      const o = document.createElement('option');
      o.value = sv.id;
      o.textContent = sv.joint ? `#${sv.id} ${sv.joint}` : `#${sv.id}`;
      sel.append(o);
    }
    const keep = rows.some((s) => String(s.id) === was);
    sel.value = keep ? was : was === '' && sel.dataset.set ? '' : rows[i] ? String(rows[i].id) : '';
    sel.dataset.set = '1';
  }
}

// The page's two ways to the gateway: a WebSocket feed of the shown robot's state, reopened by
// itself when it drops, and commands as POST requests answered once the robot has run them.

export function openFeed(robot, onState, onGateway) {
  let ws = null;
  let closed = false;
  let retry = null;
  const connect = () => {
    const proto = location.protocol === 'https:' ? 'wss:' : 'ws:';
    ws = new WebSocket(`${proto}//${location.host}/ws/${robot}`);
    ws.onopen = () => onGateway(true);
    ws.onmessage = (ev) => onState(JSON.parse(ev.data));
    ws.onclose = () => {
      onGateway(false);
      if (!closed) retry = setTimeout(connect, 1000);
    };
  };
  connect();
  return () => {
    closed = true;
    clearTimeout(retry);
    if (ws) ws.close();
  };
}

export async function command(robot, body) {
  return answerOf(await fetch(`/api/command?robot=${robot}`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  }));
}

// A POST's JSON answer, or an Error with the gateway's reason.
async function answerOf(res) {
  let answer = {};
  try {
    answer = await res.json();
  } catch (e) {
    answer = { error: `${res.status} ${res.statusText}` };
  }
  if (!res.ok) throw new Error(answer.error || `${res.status}`);
  return answer;
}

async function getJson(path) {
  const res = await fetch(path);
  if (!res.ok) throw new Error(`${res.status}`);
  return res.json();
}

export const robots = () => getJson('/api/robots');
export const motions = () => getJson('/api/motions');
export const planOf = (robot) => getJson(`/api/plan?robot=${robot}`);
// A motion's planned curve from where the robot's goals are now; an Error with the reason.
export async function previewOf(robot, motion) {
  const res = await fetch(`/api/preview?robot=${robot}&motion=${encodeURIComponent(motion)}`);
  if (!res.ok) throw new Error((await res.text()).trim() || `${res.status}`);
  return res.json();
}

// The robot's description (URDF) as text; an Error when orvane-web has none.
export async function description() {
  const res = await fetch('/api/urdf');
  if (!res.ok) throw new Error(`${res.status}`);
  return res.text();
}

// The classroom view's class-wide stop: answered once the broker has taken it.
export async function stopAll() {
  return answerOf(await fetch('/api/stop-all', { method: 'POST' }));
}

// The classroom view's command for some robots ({verb, ids, motion}): answered once the broker
// has taken it for each of them.
export async function roomCommand(body) {
  return answerOf(await fetch('/api/room/command', {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  }));
}

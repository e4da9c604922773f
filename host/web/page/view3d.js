// The robot in 3D: its description (URDF) drawn three times, solid where the servos were
// measured, translucent where their goals are, and violet for a motion previewed before it plays.
// Loaded by the live view only when orvane-web has a description, since three is most of the
// page's weight; it registers window.orvane3d and draws only when something changed.
import * as THREE from 'three';
import { OrbitControls } from 'three/examples/jsm/controls/OrbitControls.js';
import URDFLoader from 'urdf-loader';

const GHOST = new THREE.MeshStandardMaterial({ color: 0x2563eb, transparent: true, opacity: 0.3, depthWrite: false });
const PREVIEW = new THREE.MeshStandardMaterial({ color: 0x7c3aed, transparent: true, opacity: 0.4, depthWrite: false });
const UNKNOWN = new THREE.MeshStandardMaterial({ color: 0x9ca3af, transparent: true, opacity: 0.45, depthWrite: false });

// A joint's degrees from its servo's 0.1-degree units, as the profile maps them.
const jointDeg = (sv, units) => (sv.reverse ? -1 : 1) * (units / 10 - sv.trim);

// One copy of the robot. Meshes are drawn from primitive shapes only: a mesh file would be
// another request for a file orvane-web does not serve, so it is left out and told.
function loadRobot(urdf, meshes) {
  const loader = new URDFLoader();
  loader.loadMeshCb = (path, manager, material, done) => {
    meshes.add(path);
    done(new THREE.Object3D());
  };
  const robot = loader.parse(urdf);
  for (const j of Object.values(robot.joints)) j.ignoreLimits = true; // show what is, not what should be
  robot.rotation.x = -Math.PI / 2; // the description's z is up; three's y is
  robot.traverse((o) => {
    if (o.isMesh) o.userData.own = o.material;
  });
  return robot;
}

// A copy in one translucent colour; what no joint moves (the base) is the measured copy's alone.
function paint(robot, material) {
  for (const [mesh, joints] of jointsAbove(robot)) {
    mesh.material = material;
    mesh.renderOrder = 1;
    mesh.visible = joints.length > 0;
  }
}

// The joints that move each mesh, innermost last.
function jointsAbove(robot) {
  const list = new Map();
  robot.traverse((o) => {
    if (!o.isMesh) return;
    const names = [];
    for (let p = o.parent; p && p !== robot; p = p.parent) if (p.isURDFJoint) names.push(p.urdfName);
    list.set(o, names);
  });
  return list;
}

// The joints a value is given for: each movable joint that does not follow another.
function drivenJoints(robot) {
  return Object.values(robot.joints)
    .filter((j) => ['revolute', 'continuous', 'prismatic'].includes(j.jointType) && j.type !== 'URDFMimicJoint')
    .map((j) => j.urdfName);
}

// Degrees (or millimetres for a prismatic joint) as the joint's value.
function value(robot, name, deg) {
  return robot.joints[name].jointType === 'prismatic' ? deg / 1000 : (deg * Math.PI) / 180;
}

// Whether WebGL is drawn by the processor (SwiftShader, llvmpipe: no GPU, or none allowed).
function drawnBySoftware() {
  const gl = document.createElement('canvas').getContext('webgl2');
  if (!gl) return true;
  const info = gl.getExtension('WEBGL_debug_renderer_info');
  const name = info ? String(gl.getParameter(info.UNMASKED_RENDERER_WEBGL)) : '';
  const lose = gl.getExtension('WEBGL_lose_context');
  if (lose) lose.loseContext();
  return /swiftshader|llvmpipe|software/i.test(name);
}

function create(box, urdf) {
  const canvasBox = box.querySelector('.view3d-canvas');
  const note = box.querySelector('.view3d-note');
  // Drawn by the processor, a frame of three arms costs tens of milliseconds of a core: then the
  // view draws without antialiasing, at one pixel per CSS pixel and at most 8 times a second,
  // so that it never takes the page's (or a loaded machine's) time from everything else.
  const software = drawnBySoftware();
  const minFrameMs = software ? 125 : 0;
  // The canvas keeps its last picture, so that a screenshot between frames shows it.
  const renderer = new THREE.WebGLRenderer({ antialias: !software, alpha: true, preserveDrawingBuffer: true });
  renderer.setClearColor(0x000000, 0); // the page's background shows through
  renderer.setPixelRatio(software ? 1 : Math.min(window.devicePixelRatio || 1, 2));
  canvasBox.append(renderer.domElement);
  const scene = new THREE.Scene();
  scene.add(new THREE.HemisphereLight(0xffffff, 0x667080, 2.2));
  const sun = new THREE.DirectionalLight(0xffffff, 1.6);
  sun.position.set(1, 2, 1.5);
  scene.add(sun);

  const meshes = new Set();
  const measured = loadRobot(urdf, meshes);
  const ghost = loadRobot(urdf, meshes);
  const preview = loadRobot(urdf, meshes);
  paint(ghost, GHOST);
  paint(preview, PREVIEW);
  preview.visible = false;
  scene.add(measured, ghost, preview);
  const above = jointsAbove(measured);
  const driven = drivenJoints(measured);

  // Floor and camera from the robot's size at rest.
  const bounds = new THREE.Box3().setFromObject(measured);
  const size = Math.max(...bounds.getSize(new THREE.Vector3()).toArray(), 0.05);
  const centre = bounds.getCenter(new THREE.Vector3());
  const grid = new THREE.GridHelper(size * 4, 16, 0x8a93a0, 0xc9ced6);
  scene.add(grid);
  const camera = new THREE.PerspectiveCamera(40, 1, size / 100, size * 100);
  // From the robot's right and a little ahead, so that leaning forward (+x) shows sideways.
  camera.position.set(centre.x + size * 0.6, centre.y + size * 0.45, centre.z + size * 1.6);
  const controls = new OrbitControls(camera, renderer.domElement);
  controls.target.copy(centre);
  controls.update();

  let dirty = true; // set through redraw()
  let asked = false; // a frame is asked for
  let drawnAt = -1e9; // when the last frame was drawn, ms
  let frames = 0;
  const known = {}; // joint -> the last degrees read, kept while a reading is missing
  let unknown = [];
  let values = { measured: {}, ghost: {} }; // joint degrees shown
  let lastKey = '';
  let shown = null; // the previewed motion: { name, v: {joint: [joint degrees]}, every, ticks, spt, t0, at }

  controls.addEventListener('change', () => redraw());
  const resize = () => {
    const w = Math.max(canvasBox.clientWidth, 1);
    const h = Math.max(canvasBox.clientHeight, 1);
    renderer.setSize(w, h, false);
    camera.aspect = w / h;
    camera.updateProjectionMatrix();
    redraw();
  };
  new ResizeObserver(resize).observe(canvasBox);
  resize();

  function redraw() {
    dirty = true;
    ask();
  }

  function set(robot, degs) {
    for (const [name, d] of Object.entries(degs)) robot.setJointValue(name, value(robot, name, d));
  }

  // A state from the gateway: the measured pose (a joint without a current reading stays where
  // it was last read, or follows its goal if it never was, greyed with everything it carries),
  // and the goals as the ghost.
  function update(s) {
    const deg = { measured: {}, ghost: {} };
    const missing = new Map(driven.map((n) => [n, 'not in the write list or the profile']));
    for (const sv of s.servos) {
      if (!sv.joint || !missing.has(sv.joint)) continue;
      deg.ghost[sv.joint] = jointDeg(sv, sv.goal);
      if (s.connected && sv.pos !== null) {
        known[sv.joint] = jointDeg(sv, sv.pos);
        missing.delete(sv.joint);
      } else {
        missing.set(sv.joint, s.connected ? sv.why || 'no reading' : 'robot not connected');
      }
      deg.measured[sv.joint] = sv.joint in known ? known[sv.joint] : deg.ghost[sv.joint];
    }
    const key = JSON.stringify([deg, [...missing]]);
    if (key === lastKey) return;
    lastKey = key;
    values = deg;
    set(measured, deg.measured);
    set(ghost, deg.ghost);
    // The ghost only where the goal is not where the arm is: drawn over it, it would tint all.
    ghost.visible = Object.keys(deg.ghost).some((j) => Math.abs(deg.ghost[j] - deg.measured[j]) > 0.5);
    const next = [...missing.keys()];
    if (next.join() !== unknown.join())
      for (const [mesh, joints] of above) mesh.material = joints.some((j) => missing.has(j)) ? UNKNOWN : mesh.userData.own;
    unknown = next;
    note.textContent = unknown.length
      ? `no reading: ${[...missing].map(([j, why]) => `${j} (${why})`).join(', ')}; greyed, drawn where last ` +
        'read (at the goal if never read)'
      : '';
    note.hidden = !unknown.length;
    redraw();
  }

  // A motion's planned curve (as /api/preview gives it, in the servos' degrees) played on the
  // violet copy, once, in real time; `servos` are the state's, for the joints' mapping.
  function startPreview(name, plan, servos, onEnd) {
    const v = {};
    for (const j of plan.joints) {
      const sv = servos.find((x) => x.id === j.id);
      if (!sv || !sv.joint || !measured.joints[sv.joint]) continue;
      v[sv.joint] = j.v.map((deg) => jointDeg(sv, deg * 10));
    }
    set(preview, values.ghost); // joints the motion leaves alone stay at their goals
    const spt = plan.tick_period / 1e6;
    shown = { name, v, deg: {}, every: plan.every, ticks: plan.ticks, spt, t0: performance.now() / 1000, at: 0, onEnd, ended: false };
    preview.visible = true;
    redraw();
  }

  // Another robot of the same description: nothing read from the last one counts.
  function reset() {
    for (const j of Object.keys(known)) delete known[j];
    lastKey = '';
  }

  function stopPreview() {
    shown = null;
    preview.visible = false;
    redraw();
  }

  // Puts the preview at a time (seconds from its start) and holds it there.
  function previewAt(t) {
    const p = shown;
    p.at = Math.min(Math.max(t, 0), p.ticks * p.spt);
    const k = p.at / p.spt / p.every;
    const i = Math.floor(k);
    for (const [name, vals] of Object.entries(p.v)) {
      const a = vals[Math.min(i, vals.length - 1)];
      const b = vals[Math.min(i + 1, vals.length - 1)];
      p.deg[name] = a + (b - a) * (k - i);
    }
    set(preview, p.deg);
    redraw();
  }

  function seek(t) {
    if (!shown) return;
    shown.paused = true;
    shown.ended = false;
    previewAt(t);
  }

  // Frames are asked for only while something changes: an idle view costs nothing.
  function frame(now) {
    asked = false;
    if (now - drawnAt < minFrameMs) {
      ask();
      return;
    }
    if (shown && !shown.ended && !shown.paused) {
      previewAt(performance.now() / 1000 - shown.t0);
      if (shown.at >= shown.ticks * shown.spt) {
        shown.ended = true;
        if (shown.onEnd) shown.onEnd();
      }
    }
    if (dirty) {
      dirty = false;
      drawnAt = now;
      renderer.render(scene, camera);
      frames++;
    }
    if (shown && !shown.ended && !shown.paused) ask();
  }
  function ask() {
    if (!asked) {
      asked = true;
      requestAnimationFrame(frame);
    }
  }

  return {
    update,
    reset,
    startPreview,
    stopPreview,
    seek,
    meshesLeftOut: () => [...meshes],
    // Where a link's origin is drawn on the canvas, in CSS pixels from its top left corner.
    at: (link, which = 'measured') => {
      const r = { measured, ghost, preview }[which];
      if (!r.links[link]) return null;
      const p = r.links[link].getWorldPosition(new THREE.Vector3()).project(camera);
      return [((p.x + 1) / 2) * canvasBox.clientWidth, ((1 - p.y) / 2) * canvasBox.clientHeight];
    },
    // What the view shows, for the browser's console and the tests.
    info: () => ({
      frames,
      drawn: !dirty, // the canvas shows what the rest of this says
      software,
      measured: { ...values.measured },
      ghost: { ...values.ghost },
      unknown: [...unknown],
      preview: shown && {
        name: shown.name,
        at: shown.at,
        seconds: shown.ticks * shown.spt,
        ended: shown.ended,
        paused: Boolean(shown.paused),
        joints: { ...shown.deg },
      },
    }),
  };
}

window.orvane3d = { create };

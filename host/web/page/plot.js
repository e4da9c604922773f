// A live plot of one servo's goal against its position over the last ten seconds. Samples are
// placed by the robot's own pass count (PassClock), so the delays between the robot and the page
// do not move them. While a motion plays, its planned curve is drawn over them, dashed, with its
// keyframes as diamonds, on the same clock.
import uPlot from 'uplot';

const WINDOW = 10; // seconds shown

// The plots' time: the robot's loop_count at its tick period, set on the browser's clock so that
// no state lies in the browser's future: a state read a pass before it arrived is placed a pass
// back, whatever the delay of the ones before (the first state after a page opens is often late).
// Set anew when the robot restarts or its tick changes. A robot that makes fewer passes than
// ticks (a loaded simulator) falls behind the browser's clock: the plots show seconds before now
// on the robot's clock, not the time of day. A motion's plan starts at a known pass, so it lies
// where the daemon plays it.
export class PassClock {
  constructor() {
    this.loop = null;
  }

  // The time of pass `loop`; loop counts wrap at 2^32, so the difference is taken in 32 bits.
  at(loop) {
    return this.t + ((loop - this.loop) | 0) * this.spt;
  }

  // A state's pass and tick period: its time on the plots, and how far the times given before
  // moved back (0 or less: the caller moves its samples with them).
  follow(loop, tickUs) {
    const wall = Date.now() / 1000;
    const spt = tickUs / 1e6;
    let moved = 0;
    if (this.loop === null || spt !== this.spt || ((loop - this.loop) | 0) < 0) {
      this.loop = loop;
      this.t = wall;
      this.spt = spt;
    } else if (this.at(loop) > wall) {
      moved = wall - this.at(loop);
      this.t += moved;
    }
    this.seen = this.at(loop);
    this.arrived = wall;
    return { at: this.seen, moved };
  }

  // Now, as the newest state's pass plus the time since it came: the plots move on between states.
  now() {
    return this.loop === null ? Date.now() / 1000 : this.seen + Date.now() / 1000 - this.arrived;
  }
}

export class ServoPlot {
  constructor(parent) {
    this.t = [];
    this.goal = [];
    this.pos = [];
    this.plan = null;
    const style = getComputedStyle(document.documentElement);
    this.planColor = style.getPropertyValue('--plan');
    this.plot = new uPlot(
      {
        width: Math.max(parent.clientWidth, 200),
        height: 110,
        legend: { show: false },
        cursor: { show: false },
        scales: {
          x: { time: false },
          // A little room above and below, and at least a degree, so flat lines stay readable.
          y: {
            range: (u, min, max) => {
              if (this.plan) {
                min = min == null ? this.plan.lo : Math.min(min, this.plan.lo);
                max = max == null ? this.plan.hi : Math.max(max, this.plan.hi);
              }
              if (min == null || max == null) return [-1, 1];
              const pad = Math.max(1, (max - min) * 0.1);
              return [min - pad, max + pad];
            },
          },
        },
        axes: [
          // Seconds before now on the robot's clock, every two.
          {
            stroke: style.getPropertyValue('--dim'),
            size: 24,
            grid: { show: false },
            splits: () => [10, 8, 6, 4, 2, 0].map((s) => this.now - s),
            values: (u, splits) => splits.map((v) => `${Math.round(v - this.now)} s`),
          },
          { stroke: style.getPropertyValue('--dim'), size: 40, space: 18, grid: { stroke: style.getPropertyValue('--grid') } },
        ],
        series: [
          {},
          { label: 'goal', stroke: style.getPropertyValue('--goal'), width: 1.5, paths: uPlot.paths.stepped({ align: 1 }) },
          { label: 'position', stroke: style.getPropertyValue('--pos'), width: 1.5, spanGaps: false },
        ],
        // The planned curve under the series, so the measured goal shows on it; the keyframes
        // over them.
        hooks: { drawAxes: [(u) => this.drawPlan(u, false)], draw: [(u) => this.drawPlan(u, true)] },
      },
      [this.t, this.goal, this.pos],
      parent,
    );
    this.parent = parent;
  }

  // At time t (PassClock's), goal and pos in degrees; pos null while the servo gives no reading.
  // Samples past t (the repeats that keep a still line reaching now) give way to it.
  add(t, goal, pos) {
    const now = t;
    while (this.t.length && this.t[this.t.length - 1] > t) {
      this.t.pop();
      this.goal.pop();
      this.pos.pop();
    }
    this.t.push(now);
    this.goal.push(goal);
    this.pos.push(pos);
    let drop = 0;
    while (drop < this.t.length && this.t[drop] < now - WINDOW) drop++;
    if (drop > 0) {
      this.t.splice(0, drop);
      this.goal.splice(0, drop);
      this.pos.splice(0, drop);
    }
  }

  // Every sample dt seconds later on the plot (the clock was set back).
  shift(dt) {
    for (let i = 0; i < this.t.length; i++) this.t[i] += dt;
  }

  draw(now) {
    this.now = now;
    this.plot.batch(() => {
      this.plot.setData([this.t, this.goal, this.pos]);
      this.plot.setScale('x', { min: now - WINDOW, max: now });
    });
  }

  // plan: { v, every, ticks, keys: [[tick, degrees], ...], lo, hi, t0, spt } (degrees at ticks
  // 0, every, 2 every, ... and the last tick; t0 and spt place tick 0 and one tick on the
  // PassClock), or null.
  setPlan(plan) {
    this.plan = plan;
  }

  // Only the samples inside the window are drawn: the plot's cost stays that of ten seconds,
  // however long the motion.
  drawPlan(u, keys) {
    const p = this.plan;
    if (!p || !p.spt) return;
    const { min, max } = u.scales.x;
    const at = (tick) => p.t0 + tick * p.spt;
    const x = (tick) => u.valToPos(at(tick), 'x', true);
    const y = (deg) => u.valToPos(deg, 'y', true);
    const last = p.v.length - 1;
    const i0 = Math.max(0, Math.floor((min - p.t0) / p.spt / p.every) - 1);
    const i1 = Math.min(last, Math.ceil((max - p.t0) / p.spt / p.every) + 1);
    const ctx = u.ctx;
    const px = devicePixelRatio || 1;
    ctx.save();
    ctx.beginPath();
    ctx.rect(u.bbox.left, u.bbox.top, u.bbox.width, u.bbox.height);
    ctx.clip();
    ctx.strokeStyle = this.planColor;
    ctx.fillStyle = this.planColor;
    ctx.lineWidth = 3 * px;
    if (!keys && i0 <= i1) {
      ctx.globalAlpha = 0.6;
      ctx.setLineDash([6 * px, 3 * px]);
      ctx.beginPath();
      for (let i = i0; i <= i1; i++) {
        const tick = Math.min(i * p.every, p.ticks);
        if (i === i0) ctx.moveTo(x(tick), y(p.v[i]));
        else ctx.lineTo(x(tick), y(p.v[i]));
      }
      ctx.stroke();
    }
    const r = 3.5 * px;
    for (const [tick, deg] of keys ? p.keys : []) {
      const t = at(tick);
      if (t < min || t > max) continue;
      const cx = x(tick);
      const cy = y(deg);
      ctx.beginPath();
      ctx.moveTo(cx, cy - r);
      ctx.lineTo(cx + r, cy);
      ctx.lineTo(cx, cy + r);
      ctx.lineTo(cx - r, cy);
      ctx.closePath();
      ctx.fill();
    }
    ctx.restore();
  }

  resize() {
    this.plot.setSize({ width: Math.max(this.parent.clientWidth, 200), height: 110 });
  }

  destroy() {
    this.plot.destroy();
  }
}

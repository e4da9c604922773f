// A live plot of one servo's goal against its position over the last ten seconds. Samples are
// timed by the browser's clock when they arrive, so a robot's clock does not matter.
import uPlot from 'uplot';

const WINDOW = 10; // seconds shown

export class ServoPlot {
  constructor(parent) {
    this.t = [];
    this.goal = [];
    this.pos = [];
    const style = getComputedStyle(document.documentElement);
    this.plot = new uPlot(
      {
        width: Math.max(parent.clientWidth, 200),
        height: 110,
        legend: { show: false },
        cursor: { show: false },
        scales: {
          x: { time: true },
          // A little room above and below, and at least a degree, so flat lines stay readable.
          y: {
            range: (u, min, max) => {
              if (min == null || max == null) return [-1, 1];
              const pad = Math.max(1, (max - min) * 0.1);
              return [min - pad, max + pad];
            },
          },
        },
        axes: [
          { stroke: style.getPropertyValue('--dim'), size: 24, grid: { show: false } },
          { stroke: style.getPropertyValue('--dim'), size: 40, space: 18, grid: { stroke: style.getPropertyValue('--grid') } },
        ],
        series: [
          {},
          { label: 'goal', stroke: style.getPropertyValue('--goal'), width: 1.5, paths: uPlot.paths.stepped({ align: 1 }) },
          { label: 'position', stroke: style.getPropertyValue('--pos'), width: 1.5, spanGaps: false },
        ],
      },
      [this.t, this.goal, this.pos],
      parent,
    );
    this.parent = parent;
  }

  // goal and pos in degrees; pos null while the servo gives no reading.
  add(goal, pos) {
    const now = Date.now() / 1000;
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

  draw() {
    const now = Date.now() / 1000;
    this.plot.batch(() => {
      this.plot.setData([this.t, this.goal, this.pos]);
      this.plot.setScale('x', { min: now - WINDOW, max: now });
    });
  }

  resize() {
    this.plot.setSize({ width: Math.max(this.parent.clientWidth, 200), height: 110 });
  }

  destroy() {
    this.plot.destroy();
  }
}

// A stacked area chart of one measure (CPU or memory) of the whole tree over the last hour: the
// store's steps before its window, then each tick of the window. One band per top process, the
// processes that were highest over the window, and one band for all the others; the machine's
// total, when the sidecar reports it, as a dashed line over them. uPlot does not stack, so each
// series holds the sum of its band and those below it and is filled down to zero, drawn top band
// first so each lower band paints over it. A process keeps its colour while it stays among the
// top. A refused figure adds nothing to a band. Main thread only; the store must outlive it.
import uPlot from "uplot";

import { MISSING, isolate, refusedWhy } from "./format.js";
import type { ProcessEntry, ProcessStore, TickSeries } from "./process_store.js";
import type { Kind } from "./step_store.js";
import { bandColour, themeColour, themedAxis } from "./theme.js";

const TOP_PROCESSES = 8;
const HUES = [215, 25, 140, 350, 275, 190, 50, 100];
const OTHERS_COLOUR = { stroke: "--others-line", fill: "--others-fill" };

export interface Measure {
  title: string;
  kind: Kind;
  series: (entry: ProcessEntry) => TickSeries;
  windowSum: (entry: ProcessEntry) => number;
  totalAt: (store: ProcessStore, tick: number) => number;
  format: (value: number) => string;
  /** The least the value axis shows, so a quiet tree does not look busy. */
  floor: number;
  /** The steps between the value axis's ticks to choose from; uPlot's decimal ones by default. */
  increments?: number[];
}

interface Ranked {
  entry: ProcessEntry;
  hue: number;
}

interface LegendItem {
  item: HTMLLIElement;
  swatch: HTMLElement;
  name: HTMLElement;
  pid: Text;
  value: HTMLElement;
}

function setText(element: HTMLElement, text: string): void {
  if (element.textContent !== text) element.textContent = text;
}

const finite = (value: number): number => (Number.isFinite(value) ? value : 0);

function legendItem(): LegendItem {
  const item = document.createElement("li");
  const parts = {
    swatch: document.createElement("i"),
    // Isolated: a process picks its own name, bidirectional controls included.
    name: document.createElement("bdi"),
    pid: document.createTextNode(""),
    value: document.createElement("b"),
  };
  const label = document.createElement("span");
  label.append(parts.name, parts.pid);
  item.append(parts.swatch, label, parts.value);
  return { item, ...parts };
}

export class StackedChart {
  constructor(
    container: HTMLElement,
    private readonly measure: Measure,
    private readonly store: ProcessStore,
  ) {
    const heading = document.createElement("h2");
    heading.textContent = measure.title;
    const plot = document.createElement("div");
    const legend = document.createElement("ol");
    legend.className = "legend";
    container.append(heading, plot, legend);
    for (let i = 0; i <= TOP_PROCESSES; i += 1) this.legend.push(legendItem());
    this.machine.item.className = "machine";
    this.machine.name.textContent = "machine";
    legend.append(...this.legend.map(({ item }) => item), this.machine.item);
    // Series 1 is the others, then the top processes from the smallest up to the largest.
    const colour =
      (part: "stroke" | "fill") =>
      (_: uPlot, series: number): string => {
        const hue = series === 1 ? undefined : this.top[this.top.length + 1 - series]?.hue;
        return hue === undefined ? themeColour(OTHERS_COLOUR[part]) : bandColour(hue, part);
      };
    const band: uPlot.Series = {
      stroke: colour("stroke"),
      fill: colour("fill"),
      width: 1,
      points: { show: false },
    };
    const axis = themedAxis({ size: 70, values: (_self, splits) => splits.map(measure.format) });
    if (measure.increments) axis.incrs = measure.increments;
    this.plot = new uPlot(
      {
        width: Math.max(200, container.clientWidth),
        height: 170,
        legend: { show: false },
        cursor: { show: false },
        scales: { y: { range: (_self, _min, max) => [0, Math.max(max, measure.floor)] } },
        axes: [themedAxis(), axis],
        series: [
          {},
          ...Array.from({ length: TOP_PROCESSES + 1 }, () => ({ ...band })),
          { stroke: () => themeColour("--machine-line"), width: 1.5, dash: [5, 3], points: { show: false } },
        ],
      },
      [[]],
      plot,
    );
    new ResizeObserver(() => {
      this.plot.setSize({ width: Math.max(200, container.clientWidth), height: 170 });
    }).observe(container);
  }

  update(): void {
    const { store, measure } = this;
    const { kind } = measure;
    this.top = this.rank();
    const from = store.firstTick;
    const stepMs = store.steps.stepMs;
    const steps = store.steps.steps.filter((step) => step.startMs + stepMs <= store.timeAt(from));
    const count = steps.length + store.tick - from + 1;
    const times = new Float64Array(count);
    const others = new Float64Array(count);
    const machine = new Array<number | null>(count);
    // below[k]: the sum of top[0] to top[k], the band of top[k] and those under it.
    const below = this.top.map(() => new Float64Array(count));
    const put = (i: number, timeMs: number, value: (entry: ProcessEntry) => number, total: number, all: number) => {
      times[i] = timeMs / 1000;
      let sum = 0;
      this.top.forEach(({ entry }, k) => {
        sum += finite(value(entry));
        (below[k] as Float64Array)[i] = sum;
      });
      others[i] = Math.max(sum, total);
      machine[i] = Number.isNaN(all) ? null : all;
    };
    steps.forEach((step, i) => {
      const value = (entry: ProcessEntry) => store.steps.valueOf(step, kind, entry.pid, entry.startTimeMs);
      put(i, step.startMs, value, step.totals[kind], step.machine[kind]);
    });
    for (let i = steps.length; i < count; i += 1) {
      const tick = from + i - steps.length;
      const value = (entry: ProcessEntry) => entry.valueAt(measure.series(entry), tick);
      put(i, store.timeAt(tick), value, measure.totalAt(store, tick), store.machineAt(kind, tick));
    }
    const unused = Array.from({ length: TOP_PROCESSES - this.top.length }, () => new Array<null>(count).fill(null));
    this.plot.setData([times, others, ...below.reverse(), ...unused, machine] as uPlot.AlignedData);
    this.writeLegend();
  }

  // The processes highest over the window, largest first; each keeps its hue while it stays.
  private rank(): Ranked[] {
    const sum = this.measure.windowSum;
    const entries = [...this.store.entries.values()]
      .filter((entry) => sum(entry) > 0)
      .sort((a, b) => sum(b) - sum(a))
      .slice(0, TOP_PROCESSES);
    const kept = new Map(this.top.filter(({ entry }) => entries.includes(entry)).map((r) => [r.entry, r.hue]));
    const free = HUES.filter((hue) => ![...kept.values()].includes(hue));
    return entries.map((entry) => ({ entry, hue: kept.get(entry) ?? (free.shift() as number) }));
  }

  /** Draws the same data again in the colours of a new scheme. */
  redraw(): void {
    this.plot.redraw(false, false);
    this.writeLegend();
  }

  // The values at the newest tick, largest first, then the others. A top process that shows as
  // zero now (it exited, or went quiet after a busy spell) keeps its band but leaves the legend,
  // and so do the others when they add up to zero.
  private writeLegend(): void {
    const { measure, store } = this;
    let others = measure.totalAt(store, store.tick);
    const zero = measure.format(0);
    this.legend.forEach((item, i) => {
      const ranked = this.top[i];
      if (i === TOP_PROCESSES) {
        const text = measure.format(Math.max(0, others));
        item.item.hidden = text === zero;
        item.swatch.style.background = themeColour(OTHERS_COLOUR.stroke);
        setText(item.name, "others");
        setText(item.value, text);
        return;
      }
      const value = ranked ? ranked.entry.valueAt(measure.series(ranked.entry), store.tick) : 0;
      others -= finite(value);
      const text = Number.isNaN(value) ? MISSING : measure.format(value);
      const why = ranked && Number.isNaN(value) ? refusedWhy(store.origin, ranked.entry) : "";
      if (item.value.title !== why) item.value.title = why;
      item.item.hidden = !ranked || text === zero;
      if (!ranked || item.item.hidden) {
        setText(item.name, "");
        item.pid.data = "";
        return;
      }
      item.swatch.style.background = bandColour(ranked.hue, "stroke");
      setText(item.name, ranked.entry.name);
      if (item.pid.data !== ` ${ranked.entry.pid}`) item.pid.data = ` ${ranked.entry.pid}`;
      setText(item.value, text);
      const title = isolate(ranked.entry.command);
      if (item.item.title !== title) item.item.title = title;
    });
    const machine = store.machineAt(measure.kind, store.tick);
    this.machine.item.hidden = Number.isNaN(machine);
    setText(this.machine.value, Number.isNaN(machine) ? "" : measure.format(machine));
  }

  private readonly plot: uPlot;
  private readonly legend: LegendItem[] = [];
  private readonly machine = legendItem();
  private top: Ranked[] = [];
}

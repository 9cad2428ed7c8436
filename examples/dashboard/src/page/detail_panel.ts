// The details of the process chosen in the table: what a row has no room for (the command line,
// the parent, the start time) and its CPU and memory over the window. A field the sidecar does not
// report shows as a dash whose tooltip says why. Main thread only; the store must outlive it.
import uPlot from "uplot";

import { dataUrl } from "./access.js";
import { CPU_REFUSED, formatBytes, formatDuration, formatRate } from "./format.js";
import type { ProcessEntry, ProcessStore, TickSeries } from "./process_store.js";
import { bandColour, themedAxis } from "./theme.js";

const NOT_REPORTED = "not reported: the sidecar's protocol version 2 does not carry it";
const CHART_WIDTH = 300;
const CHART_HEIGHT = 110;

function element<T extends HTMLElement>(root: HTMLElement, selector: string): T {
  const found = root.querySelector<T>(selector);
  if (!found) throw new Error(`the details have no ${selector}`);
  return found;
}

/** Text of the page's, or text a process chose (its name, its command line), to be isolated. */
type Part = string | { chosen: string };

function bdi(text: string): HTMLElement {
  const isolated = document.createElement("bdi");
  isolated.textContent = text;
  return isolated;
}

class WindowChart {
  constructor(
    container: HTMLElement,
    hue: number,
    private readonly series: (entry: ProcessEntry) => TickSeries,
    format: (value: number) => string,
    floor: number,
  ) {
    this.plot = new uPlot(
      {
        width: CHART_WIDTH,
        height: CHART_HEIGHT,
        legend: { show: false },
        cursor: { show: false },
        scales: { y: { range: (_self, _min, max) => [0, Math.max(max, floor)] } },
        axes: [themedAxis(), themedAxis({ size: 64, values: (_self, splits) => splits.map(format) })],
        series: [
          {},
          {
            stroke: () => bandColour(hue, "stroke"),
            fill: () => bandColour(hue, "fill"),
            width: 1,
            points: { show: false },
          },
        ],
      },
      [[]],
      container,
    );
  }

  update(store: ProcessStore, entry: ProcessEntry): void {
    const from = Math.max(store.firstTick, entry.firstTick);
    const count = Math.max(0, store.tick - from + 1);
    const times = new Float64Array(count);
    const values = new Float64Array(count);
    for (let i = 0; i < count; i += 1) {
      times[i] = store.timeAt(from + i) / 1000;
      values[i] = entry.valueAt(this.series(entry), from + i);
    }
    this.plot.setData([times, values] as uPlot.AlignedData);
  }

  redraw(): void {
    this.plot.redraw(false, false);
  }

  private readonly plot: uPlot;
}

export class DetailPanel {
  constructor(
    private readonly panel: HTMLElement,
    private readonly store: ProcessStore,
  ) {
    element(panel, ".close").addEventListener("click", () => this.close());
    // Escape closes the details from the table too, where Enter opened them; the search box keeps
    // Escape for clearing itself.
    document.addEventListener("keydown", (event) => {
      if (event.key === "Escape" && !panel.hidden && !(event.target instanceof HTMLInputElement)) this.close();
    });
    this.cpu = new WindowChart(
      element(panel, ".cpu-chart"),
      215,
      (e) => e.cpu,
      (v) => `${Math.round(v)}%`,
      100,
    );
    this.memory = new WindowChart(element(panel, ".memory-chart"), 25, (e) => e.memory, formatBytes, 16 << 20);
  }

  show(key: string): void {
    this.key = key;
    this.panel.hidden = false;
    this.update();
    const entry = this.store.entries.get(key);
    if (entry?.command.endsWith("…") && !this.fullCommands.has(key)) void this.fetchCommand(entry);
  }

  /** Writes the chosen process's figures again: call once a frame came in. */
  update(): void {
    if (this.panel.hidden) return;
    const entry = this.store.entries.get(this.key);
    if (!entry) {
      this.panel.hidden = true; // it left the window
      return;
    }
    const exited = entry.exitedAtMs !== null;
    const parent = [...this.store.entries.values()].find((e) => e.pid === entry.ppid && e.exitedAtMs === null);
    const command = this.fullCommands.get(this.key) ?? entry.command;
    const cpuRefused = !exited && entry.cpuPercent === null;
    this.write(".title", [{ chosen: entry.name }, ` ${entry.pid}`]);
    this.write("[data-field=command]", [{ chosen: command }], command.endsWith("…") ? "cut at 300 characters" : "");
    this.write("[data-field=pid]", [String(entry.pid)]);
    this.write("[data-field=parent]", [String(entry.ppid), ...(parent ? [" ", { chosen: parent.name }] : [])]);
    this.write("[data-field=started]", [new Date(entry.startTimeMs).toLocaleString()]);
    this.write("[data-field=state]", [exited ? "Exited" : entry.status]);
    this.write("[data-field=run]", [formatDuration(entry.runTimeMs)]);
    const cpu = exited ? "" : cpuRefused ? "–" : `${(entry.cpuPercent ?? 0).toFixed(1)}%`;
    this.write("[data-field=cpu]", [cpu], cpuRefused ? CPU_REFUSED : "");
    this.write("[data-field=memory]", [formatBytes(entry.residentBytes)]);
    this.write("[data-field=read]", [exited ? "" : formatRate(entry.readBytesPerSecond)]);
    this.write("[data-field=write]", [exited ? "" : formatRate(entry.writeBytesPerSecond)]);
    for (const refused of ["user", "threads"]) this.write(`[data-field=${refused}]`, ["–"], NOT_REPORTED);
    this.cpu.update(this.store, entry);
    this.memory.update(this.store, entry);
  }

  /** Draws the charts again in the colours of a new scheme. */
  redraw(): void {
    this.cpu.redraw();
    this.memory.redraw();
  }

  close(): void {
    this.panel.hidden = true;
    this.key = "";
    this.onClose();
  }

  /** Called when the panel closes (its button or Escape). */
  onClose: () => void = () => undefined;

  // Frames cut long command lines; the server has the whole one while the process runs.
  private async fetchCommand(entry: ProcessEntry): Promise<void> {
    const query = { pid: String(entry.pid), start: String(entry.startTimeMs) };
    const response = await fetch(dataUrl("/command", query)).catch(() => null);
    if (!response?.ok) return;
    const command = await response.text();
    // One a process: they are few (only the cut ones a person opened) and never change.
    this.fullCommands.set(entry.key, command);
    if (this.key === entry.key) this.update();
  }

  // Writes an element's text only when it changed, so a person can select and copy it.
  private write(selector: string, parts: Part[], why = ""): void {
    const target = element(this.panel, selector);
    if (target.title !== why) target.title = why;
    const key = JSON.stringify(parts);
    if (target.dataset.shown === key) return;
    target.dataset.shown = key;
    target.replaceChildren(...parts.map((part) => (typeof part === "string" ? part : bdi(part.chosen))));
  }

  private readonly cpu: WindowChart;
  private readonly memory: WindowChart;
  private readonly fullCommands = new Map<string, string>();
  private key = "";
}

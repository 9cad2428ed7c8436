// The details of the process chosen in the table: what a row has no room for (the command line and
// its arguments, the parent, the user, the start time) and its CPU and memory over the window. A
// field the sidecar does not report shows as a dash whose tooltip says why, and a gap in the charts.
// Main thread only; the store must outlive it.
import uPlot from "uplot";

import { dataUrl } from "./access.js";
import { MISSING, formatBytes, formatDuration, formatRate, refusedWhy, unreportedWhy } from "./format.js";
import type { ProcessEntry, ProcessStore, TickSeries } from "./process_store.js";
import { bandColour, themedAxis } from "./theme.js";

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

/** The whole command line and the arguments (null in protocol version 2), from the server. */
interface Command {
  command: string;
  argv: string[] | null;
  /** The command line of the frames it was asked for: a new one means the process ran another. */
  askedFor: string;
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
    const values = new Array<number | null>(count);
    for (let i = 0; i < count; i += 1) {
      times[i] = store.timeAt(from + i) / 1000;
      const value = entry.valueAt(this.series(entry), from + i);
      values[i] = Number.isNaN(value) ? null : value; // a gap where it was refused
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
    if (!exited && this.commands.get(this.key)?.askedFor !== entry.command) void this.fetchCommand(entry);
    const { origin } = this.store;
    const parent = [...this.store.entries.values()].find((e) => e.pid === entry.ppid && e.exitedAtMs === null);
    const fetched = this.commands.get(this.key);
    const command = fetched?.command ?? entry.command;
    const refused = refusedWhy(origin, entry);
    // A figure, a dash with why it is missing, or nothing (undefined: a figure of now, of a process
    // that exited).
    const figure = <T>(field: string, value: T | null | undefined, format: (value: T) => string, why = refused) => {
      if (value === undefined) this.write(`[data-field=${field}]`, [""]);
      else if (value === null) this.write(`[data-field=${field}]`, [MISSING], why);
      else this.write(`[data-field=${field}]`, [format(value)]);
    };
    this.write(".title", [{ chosen: entry.name }, ` ${entry.pid}`]);
    this.write("[data-field=command]", [{ chosen: command }], command.endsWith("…") ? "cut at 300 characters" : "");
    const argv = fetched?.argv;
    const noArgv = !fetched || argv?.length ? "" : argv ? "none: a kernel thread, or refused" : unreportedWhy(origin);
    const args = argv?.length ? argv.map((arg) => ({ chosen: arg })) : [fetched ? MISSING : ""];
    this.write("[data-field=argv]", args, noArgv);
    this.write("[data-field=pid]", [String(entry.pid)]);
    this.write("[data-field=parent]", [String(entry.ppid), ...(parent ? [" ", { chosen: parent.name }] : [])]);
    const you = entry.uid === origin.sidecarUid ? " (the dashboard's user)" : "";
    figure("user", entry.uid, (uid) => `${uid}${you}`, unreportedWhy(origin) ?? "the sidecar could not tell");
    this.write("[data-field=started]", [new Date(entry.startTimeMs).toLocaleString()]);
    this.write("[data-field=state]", [exited ? "Exited" : entry.status]);
    figure("threads", entry.threads, String, unreportedWhy(origin) ?? refused);
    this.write("[data-field=run]", [formatDuration(entry.runTimeMs)]);
    figure("cpu", exited ? undefined : entry.cpuPercent, (cpu) => `${cpu.toFixed(1)}%`);
    figure("cpu-time", entry.cpuTimeMs, formatDuration);
    figure("memory", entry.residentBytes, formatBytes);
    const noFootprint = origin.platform === "linux" ? "none: a kernel thread, a zombie, or Linux before 4.5" : refused;
    figure("footprint", entry.footprintBytes, formatBytes, unreportedWhy(origin) ?? noFootprint);
    figure("virtual", entry.virtualBytes, formatBytes);
    figure("read", exited ? undefined : entry.readBytesPerSecond, formatRate);
    figure("write", exited ? undefined : entry.writeBytesPerSecond, formatRate);
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

  // Frames cut long command lines and carry no arguments; the server has both while the process
  // runs. Asked again only when the frames' command line changed (the process ran another program).
  private async fetchCommand(entry: ProcessEntry): Promise<void> {
    const askedFor = entry.command;
    if (this.asking.has(entry.key)) return;
    this.asking.add(entry.key);
    const query = { pid: String(entry.pid), start: String(entry.startTimeMs) };
    const response = await fetch(dataUrl("/command", query)).catch(() => null);
    const answer = response?.ok ? ((await response.json()) as Omit<Command, "askedFor">) : null;
    this.asking.delete(entry.key);
    if (!answer) return;
    // One a process: they are few (only those a person opened).
    this.commands.set(entry.key, { ...answer, askedFor });
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
  private readonly commands = new Map<string, Command>();
  private readonly asking = new Set<string>();
  private key = "";
}

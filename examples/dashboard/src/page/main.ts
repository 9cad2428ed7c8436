// The page: takes the server's event stream into the store and draws at most once a frame, the
// table on every frame that needs it (new data, a scroll, a toggle, a sort, a search) and the
// charts and details only when a new snapshot came in. The first hello's steps fill the charts'
// hour before its frames; the hello of a stream opened again after a break holds the frames missed
// meanwhile.
import type { Frame, Hello, Machine } from "../shared/frames.js";
import { dataUrl, hasAccessToken } from "./access.js";
import { DetailPanel } from "./detail_panel.js";
import { followEvents } from "./event_follower.js";
import { formatBytes, formatDuration } from "./format.js";
import { ProcessStore } from "./process_store.js";
import { StackedChart, type Measure } from "./stacked_chart.js";
import { onSchemeChange } from "./theme.js";
import { TreeView } from "./tree_view.js";

const CPU: Measure = {
  title: "CPU of the tree, by process",
  kind: "cpu",
  series: (entry) => entry.cpu,
  windowSum: (entry) => entry.cpuSum,
  totalAt: (store, tick) => store.cpuTotalAt(tick),
  format: (value) => `${Math.round(value)}%`,
  floor: 100,
};
const MEMORY: Measure = {
  title: "Resident memory of the tree, by process",
  kind: "memory",
  series: (entry) => entry.memory,
  windowSum: (entry) => entry.memorySum,
  totalAt: (store, tick) => store.memoryTotalAt(tick),
  format: formatBytes,
  floor: 64 << 20,
  increments: Array.from({ length: 50 }, (_, power) => 2 ** power), // 1 B, 2 B, ... 512 TiB
};

/** The machine's totals in words, each left out where the sidecar gave none; "" without totals. */
function machineSummary(machine: Machine | null): string {
  if (!machine) return "";
  const { cpuCount, cpuPercent, memoryTotalBytes: total, memoryAvailableBytes: available, uptimeMs } = machine;
  const parts = [
    cpuCount === null ? "" : `${cpuCount} CPUs`,
    cpuPercent === null ? "" : `CPU ${Math.round(cpuPercent)}%${cpuCount === null ? "" : ` of ${cpuCount * 100}%`}`,
    total === null || available === null
      ? ""
      : `memory ${formatBytes(total - available)} of ${formatBytes(total)} in use`,
    uptimeMs === null ? "" : `up ${formatDuration(uptimeMs)}`,
  ];
  return `machine: ${parts.filter((part) => part !== "").join(" · ")}`;
}

function element(id: string): HTMLElement {
  const found = document.getElementById(id);
  if (!found) throw new Error(`the page has no #${id}`);
  return found;
}

class Dashboard {
  constructor(private readonly hello: Hello) {
    const { protocolVersion, platform, sidecarUid, stepMs } = hello;
    const capacity = Math.ceil(hello.windowMs / hello.sampleIntervalMs) + 1;
    this.store = new ProcessStore(capacity, { protocolVersion, platform, sidecarUid, stepMs });
    const first = hello.history[0]?.sampledAtUnixMs ?? Infinity;
    this.store.steps.load(hello.steps, first, hello.history.at(-1)?.machine?.memoryTotalBytes ?? null);
    this.tree = new TreeView(element("tree"), this.store);
    this.charts = [
      new StackedChart(element("cpu"), CPU, this.store),
      new StackedChart(element("memory"), MEMORY, this.store),
    ];
    this.details = new DetailPanel(element("details"), this.store);
    this.tree.onInvalidate = () => this.schedule();
    this.tree.onSelect = (key) => this.details.show(key);
    this.details.onClose = () => element("tree").focus();
    const search = element("search") as HTMLInputElement;
    search.addEventListener("input", () => this.tree.setFilter(search.value));
    this.tree.setFilter(search.value);
    onSchemeChange(() => {
      for (const chart of this.charts) chart.redraw();
      this.details.redraw();
      this.tree.repaint();
    });
    this.takeHistory(hello.history);
    this.schedule();
  }

  takeHistory(history: Frame[]): void {
    for (const frame of history) if (frame.sequence > (this.store.latest?.sequence ?? -1)) this.take(frame);
  }

  take(frame: Frame): void {
    this.store.ingest(frame);
    this.tree.storeChanged();
    this.schedule();
  }

  private schedule(): void {
    if (this.scheduled) return;
    this.scheduled = true;
    requestAnimationFrame(() => this.draw());
  }

  private draw(): void {
    this.scheduled = false;
    this.tree.render();
    if (this.drawnTick === this.store.tick) return;
    this.drawnTick = this.store.tick;
    for (const chart of this.charts) chart.update();
    this.details.update();
    this.writeSummary();
  }

  private writeSummary(): void {
    const frame = this.store.latest;
    if (!frame) return;
    let exited = 0;
    for (const entry of this.store.entries.values()) if (entry.exitedAtMs !== null) exited += 1;
    const time = new Date(frame.sampledAtUnixMs).toLocaleTimeString();
    element("summary").textContent =
      `tree of pid ${this.hello.rootPid} (${this.hello.platform}): ${frame.processes.length} processes, ` +
      `${exited} exited lately · sampled ${time} every ${this.hello.sampleIntervalMs / 1000} s, ` +
      `${frame.scannedProcessCount} scanned in ${(frame.collectionDurationMicros / 1000).toFixed(1)} ms`;
    const machine = element("machine");
    machine.textContent = machineSummary(frame.machine);
    machine.hidden = frame.machine === null;
  }

  private readonly store: ProcessStore;
  private readonly tree: TreeView;
  private readonly charts: StackedChart[];
  private readonly details: DetailPanel;
  private scheduled = false;
  private drawnTick = -1;
}

let dashboard: Dashboard | null = null;
if (!hasAccessToken) {
  element("summary").textContent = "open the address the dashboard's server printed: it holds the access token";
} else {
  followEvents(dataUrl("/events"), {
    hello: (data) => {
      const hello = JSON.parse(data) as Hello;
      if (dashboard) dashboard.takeHistory(hello.history);
      else dashboard = new Dashboard(hello);
    },
    frame: (data) => dashboard?.take(JSON.parse(data) as Frame),
    broken: () => (element("summary").textContent = "the dashboard's server is not answering; trying again…"),
  });
}

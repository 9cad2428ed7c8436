// The process table: a virtual list over the tree's rows. Only the rows in view exist in the DOM,
// a pool of them moved as the view scrolls, and a cell is written only when its text changed, so
// a 2000-process tree updates within a small part of a frame. Each visible row's sparkline draws
// its process's CPU over the last minute, again only when the row shows another process or tick.
// Main thread only; the store must outlive the view.
import { formatBytes, formatDuration, formatRate } from "./format.js";
import type { ProcessEntry, ProcessStore } from "./process_store.js";
import { treeRows, type TreeRow } from "./tree_rows.js";

const ROW_HEIGHT = 22;
const SPARK_TICKS = 60;
const SPARK_WIDTH = 72;
const SPARK_HEIGHT = 16;
// The text cells after the name, in column order.
const CELLS = ["pid", "cpu", "memory", "read", "write", "state", "run"] as const;

interface PooledRow {
  element: HTMLDivElement;
  name: HTMLSpanElement;
  toggle: HTMLSpanElement;
  label: HTMLSpanElement;
  cells: HTMLSpanElement[];
  spark: HTMLCanvasElement;
  // What the elements show now, so unchanged ones are not written again.
  shown: { key: string; depth: number; top: number; exited: boolean; texts: string[]; spark: string };
}

function span(className: string, parent: HTMLElement): HTMLSpanElement {
  const element = document.createElement("span");
  element.className = className;
  parent.append(element);
  return element;
}

function cellTexts(row: TreeRow): string[] {
  const e = row.entry;
  const exited = e.exitedAtMs !== null;
  return [
    String(e.pid),
    exited ? "" : e.cpuPercent.toFixed(1),
    formatBytes(e.residentBytes),
    formatRate(e.readBytesPerSecond),
    formatRate(e.writeBytesPerSecond),
    exited ? "Exited" : e.status,
    formatDuration(e.runTimeMs),
  ];
}

export class TreeView {
  /** Called when the view needs drawing again (scrolled, resized, a subtree toggled). */
  onInvalidate: () => void = () => undefined;

  constructor(
    private readonly scroller: HTMLElement,
    private readonly store: ProcessStore,
  ) {
    this.body = document.createElement("div");
    this.body.className = "rows";
    scroller.append(this.body);
    scroller.addEventListener("scroll", () => this.onInvalidate(), { passive: true });
    scroller.addEventListener("click", (event) => this.toggleAt(event.target));
    new ResizeObserver(() => {
      this.resizePool();
      this.onInvalidate();
    }).observe(scroller);
  }

  /** The store took in a frame: order the rows again at the next render. */
  storeChanged(): void {
    this.rowsStale = true;
  }

  render(): void {
    if (this.rowsStale) {
      this.rows = treeRows(this.store.entries.values(), this.store.latest?.sampledAtUnixMs ?? 0, this.collapsed);
      this.body.style.height = `${this.rows.length * ROW_HEIGHT}px`;
      this.rowsStale = false;
    }
    const first = Math.floor(this.scroller.scrollTop / ROW_HEIGHT);
    this.pool.forEach((pooled, i) => {
      const row = this.rows[first + i];
      if (pooled.element.hidden !== !row) pooled.element.hidden = !row;
      if (row) this.fill(pooled, row, first + i);
    });
  }

  private fill(pooled: PooledRow, row: TreeRow, index: number): void {
    const { entry, depth, childCount } = row;
    const shown = pooled.shown;
    const top = index * ROW_HEIGHT;
    if (shown.top !== top) pooled.element.style.transform = `translateY(${(shown.top = top)}px)`;
    if (shown.key !== entry.key) {
      shown.key = entry.key;
      pooled.label.textContent = entry.name;
      pooled.element.title = entry.command;
    }
    if (shown.depth !== depth) pooled.name.style.paddingLeft = `${(shown.depth = depth) * 14 + 4}px`;
    const exited = entry.exitedAtMs !== null;
    if (shown.exited !== exited) pooled.element.classList.toggle("exited", (shown.exited = exited));
    const glyph = childCount === 0 ? "" : this.collapsed.has(entry.key) ? "▸" : "▾";
    if (pooled.toggle.textContent !== glyph) pooled.toggle.textContent = glyph;
    cellTexts(row).forEach((text, i) => {
      if (shown.texts[i] === text) return;
      shown.texts[i] = text;
      (pooled.cells[i] as HTMLSpanElement).textContent = text;
    });
    const spark = `${entry.key}@${this.store.tick}`;
    if (shown.spark !== spark) {
      shown.spark = spark;
      this.drawSparkline(pooled.spark, entry);
    }
  }

  // CPU over the last SPARK_TICKS ticks, newest at the right, full height at 100% (or the peak).
  private drawSparkline(canvas: HTMLCanvasElement, entry: ProcessEntry): void {
    const context = canvas.getContext("2d");
    if (!context) return;
    const { width, height } = canvas;
    context.clearRect(0, 0, width, height);
    const newest = this.store.tick;
    const from = Math.max(entry.firstTick, newest - SPARK_TICKS + 1);
    const to = Math.min(entry.lastTick, newest);
    if (to < from) return;
    let peak = 100;
    for (let t = from; t <= to; t += 1) peak = Math.max(peak, entry.valueAt(entry.cpu, t));
    const step = width / (SPARK_TICKS - 1);
    const x = (t: number): number => width - (newest - t) * step;
    const y = (t: number): number => height - 1 - (entry.valueAt(entry.cpu, t) / peak) * (height - 2);
    context.beginPath();
    context.moveTo(x(from), height);
    for (let t = from; t <= to; t += 1) context.lineTo(x(t), y(t));
    context.lineTo(x(to), height);
    context.fillStyle = "rgba(37, 99, 235, 0.25)";
    context.fill();
    context.beginPath();
    for (let t = from; t <= to; t += 1) context.lineTo(x(t), y(t));
    context.strokeStyle = "rgb(37, 99, 235)";
    context.lineWidth = devicePixelRatio;
    context.stroke();
  }

  private resizePool(): void {
    const wanted = Math.ceil(this.scroller.clientHeight / ROW_HEIGHT) + 2;
    while (this.pool.length < wanted) this.pool.push(this.createRow());
    while (this.pool.length > wanted) this.pool.pop()?.element.remove();
  }

  private createRow(): PooledRow {
    const element = document.createElement("div");
    element.className = "row";
    element.dataset.pool = String(this.pool.length);
    const name = span("name", element);
    const toggle = span("toggle", name);
    const label = span("label", name);
    const cells = CELLS.map((cell) => span(cell, element));
    const spark = document.createElement("canvas");
    spark.className = "spark";
    spark.width = SPARK_WIDTH * devicePixelRatio;
    spark.height = SPARK_HEIGHT * devicePixelRatio;
    (cells[1] as HTMLSpanElement).after(spark); // beside the CPU figure
    this.body.append(element);
    const shown = { key: "", depth: -1, top: -1, exited: false, texts: [], spark: "" };
    return { element, name, toggle, label, cells, spark, shown };
  }

  private toggleAt(target: EventTarget | null): void {
    if (!(target instanceof HTMLElement) || !target.classList.contains("toggle")) return;
    const pooled = this.pool[Number(target.closest<HTMLElement>(".row")?.dataset.pool)];
    if (!pooled) return;
    const key = pooled.shown.key;
    if (!this.collapsed.delete(key)) this.collapsed.add(key);
    this.rowsStale = true;
    this.onInvalidate();
  }

  private readonly body: HTMLDivElement;
  private readonly pool: PooledRow[] = [];
  private readonly collapsed = new Set<string>();
  private rows: TreeRow[] = [];
  private rowsStale = true;
}

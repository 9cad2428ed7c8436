// The process table, an ARIA treegrid over a virtual list: only the rows in view exist in the DOM,
// a pool of them moved as the view scrolls, and a cell is written only when its text changed, so
// a 2000-process tree updates within a small part of a frame. Each visible row's sparkline draws
// its process's CPU over the last minute, again only when the row shows another process or tick.
// The grid itself takes focus and points at its active row (aria-activedescendant), since the
// row elements are reused for other processes as the view scrolls. Main thread only; the store
// must outlive the view.
import { MISSING, formatBytes, formatDuration, formatRate, isolate, refusedWhy } from "./format.js";
import type { ProcessEntry, ProcessStore } from "./process_store.js";
import { themeColour } from "./theme.js";
import { SORT_COLUMNS, treeRows, type SortColumn, type SortOrder, type TreeRow } from "./tree_rows.js";

const ROW_HEIGHT = 22;
const SPARK_TICKS = 60;
const SPARK_WIDTH = 72;
const SPARK_HEIGHT = 16;
// The text cells after the name, in column order; the sparkline sits after the CPU figure.
const CELLS = ["pid", "cpu", "memory", "read", "write", "state", "run"] as const;

interface PooledRow {
  element: HTMLDivElement;
  toggle: HTMLSpanElement;
  label: HTMLElement;
  cells: HTMLSpanElement[];
  spark: HTMLCanvasElement;
  // What the elements show now, so unchanged ones are not written again.
  shown: { key: string; top: number; texts: string[]; spark: string; state: string };
}

function child<K extends keyof HTMLElementTagNameMap>(tag: K, className: string, parent: HTMLElement) {
  const element = document.createElement(tag);
  element.className = className;
  parent.append(element);
  return element;
}

function cellTexts(row: TreeRow): string[] {
  if (row.kind === "exited") return ["", "", "", "", "", "", ""];
  const e = row.entry;
  const exited = e.exitedAtMs !== null;
  const or = <T>(value: T | null, format: (value: T) => string): string => (value === null ? MISSING : format(value));
  return [
    String(e.pid),
    exited ? "" : or(e.cpuPercent, (cpu) => cpu.toFixed(1)),
    or(e.residentBytes, formatBytes),
    exited ? "" : or(e.readBytesPerSecond, formatRate),
    exited ? "" : or(e.writeBytesPerSecond, formatRate),
    exited ? "Exited" : e.status,
    formatDuration(e.runTimeMs),
  ];
}

export class TreeView {
  /** Called when the view needs drawing again (scrolled, resized, a subtree toggled, sorted). */
  onInvalidate: () => void = () => undefined;
  /** Called when a process is chosen for the details (Enter or a click). */
  onSelect: (key: string) => void = () => undefined;

  constructor(
    private readonly scroller: HTMLElement,
    private readonly store: ProcessStore,
  ) {
    this.header = scroller.querySelector<HTMLElement>(".head");
    this.body = child("div", "rows", scroller);
    this.body.setAttribute("role", "rowgroup");
    this.headers = new Map(
      [...scroller.querySelectorAll<HTMLButtonElement>("button[data-sort]")].map((button) => [
        button.dataset.sort as SortColumn,
        button,
      ]),
    );
    for (const [column, button] of this.headers) button.addEventListener("click", () => this.sortBy(column));
    this.showSort();
    scroller.addEventListener("scroll", () => this.onInvalidate(), { passive: true });
    scroller.addEventListener("click", (event) => this.clickAt(event.target));
    // Focus shows on the active row: one in view becomes it when there is none yet.
    scroller.addEventListener("focus", () => {
      if (this.rows.some((row) => row.key === this.activeKey)) return;
      this.activeKey = this.rows[Math.floor(scroller.scrollTop / ROW_HEIGHT)]?.key ?? "";
      this.onInvalidate();
    });
    scroller.addEventListener("keydown", (event) => {
      if (event.target === scroller && this.keyDown(event.key)) event.preventDefault();
    });
    new ResizeObserver(() => {
      this.resizePool();
      this.onInvalidate();
    }).observe(scroller);
  }

  /** The store took in a frame: order the rows again at the next render. */
  storeChanged(): void {
    this.rowsStale = true;
  }

  setFilter(text: string): void {
    this.filter = text;
    this.changed();
  }

  /** Draws every sparkline again, as the colour scheme changed. */
  repaint(): void {
    for (const pooled of this.pool) pooled.shown.spark = "";
    this.onInvalidate();
  }

  render(): void {
    if (this.rowsStale) {
      this.rows = treeRows(this.store.entries.values(), {
        nowMs: this.store.latest?.sampledAtUnixMs ?? 0,
        sort: this.sort,
        collapsed: this.collapsed,
        expanded: this.expanded,
        filter: this.filter,
      });
      this.body.style.height = `${this.rows.length * ROW_HEIGHT}px`;
      this.scroller.setAttribute("aria-rowcount", String(this.rows.length + 1));
      this.rowsStale = false;
    }
    const first = Math.floor(this.scroller.scrollTop / ROW_HEIGHT);
    let active = "";
    this.pool.forEach((pooled, i) => {
      const row = this.rows[first + i];
      if (pooled.element.hidden !== !row) pooled.element.hidden = !row;
      if (!row) return;
      this.fill(pooled, row, first + i);
      if (row.key === this.activeKey) active = pooled.element.id;
    });
    if (active) this.scroller.setAttribute("aria-activedescendant", active);
    else this.scroller.removeAttribute("aria-activedescendant");
  }

  private fill(pooled: PooledRow, row: TreeRow, index: number): void {
    const { element, shown } = pooled;
    const top = index * ROW_HEIGHT;
    if (shown.top !== top) {
      element.style.transform = `translateY(${(shown.top = top)}px)`;
      element.setAttribute("aria-rowindex", String(index + 2)); // the header is row 1
    }
    const entry = row.kind === "process" ? row.entry : null;
    if (shown.key !== row.key) {
      shown.key = row.key;
      element.title = entry ? isolate(entry.command) : "";
      if (entry) pooled.label.textContent = entry.name;
    }
    const groupLabel = row.kind === "exited" ? `exited lately (${row.count})` : "";
    if (groupLabel && pooled.label.textContent !== groupLabel) pooled.label.textContent = groupLabel;
    const foldable = row.kind === "exited" || row.childCount > 0;
    const open = row.kind === "exited" ? this.expanded.has(row.key) : !this.collapsed.has(row.key);
    const state = [
      row.depth,
      row.kind,
      entry?.exitedAtMs !== null,
      foldable && open,
      foldable,
      row.key === this.activeKey,
      row.key === this.selectedKey,
    ].join();
    if (shown.state !== state) {
      shown.state = state;
      element.setAttribute("aria-level", String(row.depth + 1));
      (element.firstElementChild as HTMLElement).style.paddingLeft = `${row.depth * 14 + 4}px`;
      element.classList.toggle("group", row.kind === "exited");
      element.classList.toggle("exited", entry?.exitedAtMs !== null);
      element.classList.toggle("active", row.key === this.activeKey);
      element.setAttribute("aria-selected", String(row.key === this.selectedKey));
      if (foldable) element.setAttribute("aria-expanded", String(open));
      else element.removeAttribute("aria-expanded");
      pooled.toggle.textContent = foldable ? (open ? "▾" : "▸") : "";
    }
    cellTexts(row).forEach((text, i) => {
      if (shown.texts[i] === text) return;
      shown.texts[i] = text;
      const cell = pooled.cells[i] as HTMLSpanElement;
      cell.textContent = text;
      cell.title = text === MISSING && entry ? refusedWhy(this.store.origin, entry) : "";
    });
    const spark = entry ? `${entry.key}@${this.store.tick}` : "none";
    if (shown.spark !== spark) {
      shown.spark = spark;
      this.drawSparkline(pooled.spark, entry);
    }
  }

  // CPU over the last SPARK_TICKS ticks, newest at the right, full height at 100% (or the peak). A
  // refused tick (NaN) draws no point: the canvas skips a lineTo to NaN.
  private drawSparkline(canvas: HTMLCanvasElement, entry: ProcessEntry | null): void {
    const context = canvas.getContext("2d");
    if (!context) return;
    const { width, height } = canvas;
    context.clearRect(0, 0, width, height);
    if (!entry) return;
    const newest = this.store.tick;
    const from = Math.max(entry.firstTick, newest - SPARK_TICKS + 1);
    const to = Math.min(entry.lastTick, newest);
    if (to < from) return;
    let peak = 100;
    for (let t = from; t <= to; t += 1) peak = Math.max(peak, entry.valueAt(entry.cpu, t) || 0);
    const step = width / (SPARK_TICKS - 1);
    const x = (t: number): number => width - (newest - t) * step;
    const y = (t: number): number => height - 1 - (entry.valueAt(entry.cpu, t) / peak) * (height - 2);
    context.beginPath();
    context.moveTo(x(from), height);
    for (let t = from; t <= to; t += 1) context.lineTo(x(t), y(t));
    context.lineTo(x(to), height);
    context.fillStyle = this.colours.fill;
    context.fill();
    context.beginPath();
    for (let t = from; t <= to; t += 1) context.lineTo(x(t), y(t));
    context.strokeStyle = this.colours.stroke;
    context.lineWidth = devicePixelRatio;
    context.stroke();
  }

  private get colours(): { fill: string; stroke: string } {
    return { fill: themeColour("--spark-fill"), stroke: themeColour("--spark-line") };
  }

  private resizePool(): void {
    const wanted = Math.ceil(this.scroller.clientHeight / ROW_HEIGHT) + 2;
    while (this.pool.length < wanted) this.pool.push(this.createRow());
    while (this.pool.length > wanted) this.pool.pop()?.element.remove();
  }

  private createRow(): PooledRow {
    const element = document.createElement("div");
    element.className = "row";
    element.id = `row-${this.pool.length}`;
    element.setAttribute("role", "row");
    element.dataset.pool = String(this.pool.length);
    const name = child("span", "name", element);
    const toggle = child("span", "toggle", name);
    toggle.setAttribute("aria-hidden", "true");
    // Isolated: a process picks its own name, bidirectional controls included.
    const label = child("bdi", "label", name);
    const cells = CELLS.map((cell) => child("span", cell, element));
    const sparkCell = document.createElement("span");
    sparkCell.className = "spark";
    const spark = child("canvas", "", sparkCell);
    spark.width = SPARK_WIDTH * devicePixelRatio;
    spark.height = SPARK_HEIGHT * devicePixelRatio;
    (cells[1] as HTMLSpanElement).after(sparkCell);
    for (const cell of [name, sparkCell, ...cells]) cell.setAttribute("role", "gridcell");
    this.body.append(element);
    const shown = { key: "", top: -1, texts: [], spark: "", state: "" };
    return { element, toggle, label, cells, spark, shown };
  }

  private clickAt(target: EventTarget | null): void {
    if (!(target instanceof Element)) return;
    const pooled = this.pool[Number(target.closest<HTMLElement>(".rows .row")?.dataset.pool)];
    const index = this.rows.findIndex((row) => row.key === pooled?.shown.key);
    const row = this.rows[index];
    if (!row) return;
    this.activeKey = row.key;
    if (target.classList.contains("toggle") || row.kind === "exited") this.toggle(row);
    else this.select(row);
    this.scroller.focus({ preventScroll: true });
    this.onInvalidate();
  }

  // The treegrid's keys: the arrows move and fold, Enter opens the details.
  private keyDown(key: string): boolean {
    if (this.rows.length === 0) return false;
    const found = this.rows.findIndex((row) => row.key === this.activeKey);
    const index = found < 0 ? Math.min(this.activeIndex, this.rows.length - 1) : found;
    const row = this.rows[index] as TreeRow;
    const page = Math.max(1, Math.floor(this.scroller.clientHeight / ROW_HEIGHT) - 2);
    const open = row.kind === "exited" ? this.expanded.has(row.key) : !this.collapsed.has(row.key);
    const foldable = row.kind === "exited" || row.childCount > 0;
    let to = index;
    switch (key) {
      case "ArrowDown":
        to = index + 1;
        break;
      case "ArrowUp":
        to = index - 1;
        break;
      case "PageDown":
        to = index + page;
        break;
      case "PageUp":
        to = index - page;
        break;
      case "Home":
        to = 0;
        break;
      case "End":
        to = this.rows.length - 1;
        break;
      case "ArrowRight":
        if (foldable && !open) this.toggle(row);
        else if (foldable) to = index + 1;
        break;
      case "ArrowLeft":
        if (foldable && open) this.toggle(row);
        else while (to > 0 && (this.rows[to] as TreeRow).depth >= row.depth) to -= 1;
        break;
      case "Enter":
      case " ":
        if (row.kind === "exited") this.toggle(row);
        else this.select(row);
        break;
      default:
        return false;
    }
    to = Math.max(0, Math.min(this.rows.length - 1, to));
    this.activeKey = (this.rows[to] as TreeRow).key;
    this.activeIndex = to;
    this.scrollIntoView(to);
    this.onInvalidate();
    return true;
  }

  private scrollIntoView(index: number): void {
    const header = this.header?.offsetHeight ?? 0;
    const top = index * ROW_HEIGHT;
    if (top < this.scroller.scrollTop) this.scroller.scrollTop = top;
    const bottom = header + top + ROW_HEIGHT - this.scroller.clientHeight;
    if (bottom > this.scroller.scrollTop) this.scroller.scrollTop = bottom;
  }

  private select(row: TreeRow): void {
    this.selectedKey = row.key;
    this.onSelect(row.key);
  }

  private toggle(row: TreeRow): void {
    const set = row.kind === "exited" ? this.expanded : this.collapsed;
    if (!set.delete(row.key)) set.add(row.key);
    this.changed();
  }

  // A new column sorts its natural way (names and pids up, figures largest first); again reverses it.
  private sortBy(column: SortColumn): void {
    const ascending = column === "name" || column === "pid" || column === "state";
    const descending = column === this.sort.column ? !this.sort.descending : !ascending;
    this.sort = { column, descending };
    this.showSort();
    this.changed();
  }

  private showSort(): void {
    for (const column of SORT_COLUMNS) {
      const header = this.headers.get(column)?.parentElement;
      const order = column !== this.sort.column ? "none" : this.sort.descending ? "descending" : "ascending";
      header?.setAttribute("aria-sort", order);
    }
  }

  private changed(): void {
    this.rowsStale = true;
    this.onInvalidate();
  }

  private readonly header: HTMLElement | null;
  private readonly body: HTMLDivElement;
  private readonly headers: Map<SortColumn, HTMLButtonElement>;
  private readonly pool: PooledRow[] = [];
  private readonly collapsed = new Set<string>();
  private readonly expanded = new Set<string>();
  private sort: SortOrder = { column: "cpu", descending: true };
  private filter = "";
  private rows: TreeRow[] = [];
  private rowsStale = true;
  private activeKey = "";
  private activeIndex = 0;
  private selectedKey = "";
}

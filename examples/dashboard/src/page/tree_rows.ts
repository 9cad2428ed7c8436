// The tree in the order the table shows it: each process under its parent, siblings in the chosen
// sort order (the tree is kept: sorting orders each parent's children, never flattens them),
// exited ones after their running siblings while they are still shown, and the subtrees of
// collapsed processes left out. A parent's exited children fold into one "exited lately" row once
// there are EXITED_FOLDED_FROM of them; a filter keeps the matching processes and their ancestors.
import { EXITED_SHOWN_MS, type ProcessEntry } from "./process_store.js";

export const SORT_COLUMNS = ["name", "pid", "cpu", "memory", "read", "write", "state", "run"] as const;
export type SortColumn = (typeof SORT_COLUMNS)[number];

export interface SortOrder {
  column: SortColumn;
  descending: boolean;
}

// One or two exited children read fine in place; a fold row would only hide them behind a click.
export const EXITED_FOLDED_FROM = 3;

export interface ProcessRow {
  kind: "process";
  key: string;
  entry: ProcessEntry;
  depth: number;
  childCount: number;
}

/** The exited children of one parent (of the roots when `parentKey` is ""). */
export interface ExitedRow {
  kind: "exited";
  key: string;
  depth: number;
  count: number;
}

export type TreeRow = ProcessRow | ExitedRow;

export interface RowOptions {
  nowMs: number;
  sort: SortOrder;
  /** Keys of processes whose children are hidden. */
  collapsed: ReadonlySet<string>;
  /** Keys of "exited lately" rows that are open. */
  expanded: ReadonlySet<string>;
  /** Case-insensitive text to find in a name or command, or the start of a pid; "" for all. */
  filter: string;
}

export function exitedRowKey(parentKey: string): string {
  return `exited:${parentKey}`;
}

const collator = new Intl.Collator(undefined, { numeric: true, sensitivity: "base" });

const KEYS: Record<SortColumn, (entry: ProcessEntry) => number | string> = {
  name: (e) => e.name,
  pid: (e) => e.pid,
  cpu: (e) => e.cpuPercent ?? -1,
  memory: (e) => e.residentBytes ?? -1,
  read: (e) => e.readBytesPerSecond ?? -1,
  write: (e) => e.writeBytesPerSecond ?? -1,
  state: (e) => e.status,
  run: (e) => e.runTimeMs,
};

function comparator({ column, descending }: SortOrder): (a: ProcessEntry, b: ProcessEntry) => number {
  const key = KEYS[column];
  const sign = descending ? -1 : 1;
  return (a, b) => {
    const x = key(a);
    const y = key(b);
    const order = typeof x === "string" ? collator.compare(x, y as string) : x - (y as number);
    return sign * order || a.pid - b.pid;
  };
}

function matcher(filter: string): ((entry: ProcessEntry) => boolean) | null {
  const text = filter.trim().toLowerCase();
  if (text === "") return null;
  return (entry) =>
    String(entry.pid).startsWith(text) ||
    entry.name.toLowerCase().includes(text) ||
    entry.command.toLowerCase().includes(text);
}

export function treeRows(entries: Iterable<ProcessEntry>, options: RowOptions): TreeRow[] {
  const shown: ProcessEntry[] = [];
  const byPid = new Map<number, ProcessEntry>();
  for (const entry of entries) {
    if (entry.exitedAtMs !== null && options.nowMs - entry.exitedAtMs >= EXITED_SHOWN_MS) continue;
    shown.push(entry);
    // A running process holds its pid, not an exited one that had it before.
    const holder = byPid.get(entry.pid);
    if (!holder || holder.exitedAtMs !== null) byPid.set(entry.pid, entry);
  }
  const roots: ProcessEntry[] = [];
  const children = new Map<ProcessEntry, ProcessEntry[]>();
  for (const entry of shown) {
    const parent = entry.ppid === entry.pid ? undefined : byPid.get(entry.ppid);
    // A parent younger than its child holds a reused pid: the real parent is gone.
    if (!parent || parent.startTimeMs > entry.startTimeMs) {
      roots.push(entry);
      continue;
    }
    const list = children.get(parent);
    if (list) list.push(entry);
    else children.set(parent, [entry]);
  }

  const matches = matcher(options.filter);
  const kept = new Set<ProcessEntry>();
  if (matches) {
    // Children before parents: a parent stays when it matches or keeps a descendant.
    const order: ProcessEntry[] = [...roots];
    for (let i = 0; i < order.length; i += 1) order.push(...(children.get(order[i] as ProcessEntry) ?? []));
    for (let i = order.length - 1; i >= 0; i -= 1) {
      const entry = order[i] as ProcessEntry;
      if (matches(entry) || children.get(entry)?.some((child) => kept.has(child))) kept.add(entry);
    }
  }
  const visible = (list: ProcessEntry[]): ProcessEntry[] => (matches ? list.filter((entry) => kept.has(entry)) : list);

  const compare = comparator(options.sort);
  const rows: TreeRow[] = [];
  const stack: ({ entry: ProcessEntry; depth: number } | ExitedRow)[] = [];
  const pushAll = (list: ProcessEntry[], depth: number, parentKey: string): void => {
    const running = list.filter((entry) => entry.exitedAtMs === null).sort(compare);
    const exited = list.filter((entry) => entry.exitedAtMs !== null).sort(compare);
    const key = exitedRowKey(parentKey);
    const folded = exited.length >= EXITED_FOLDED_FROM;
    const below = folded && !options.expanded.has(key) ? [] : exited;
    for (let i = below.length - 1; i >= 0; i -= 1) {
      stack.push({ entry: below[i] as ProcessEntry, depth: folded ? depth + 1 : depth });
    }
    if (folded) stack.push({ kind: "exited", key, depth, count: exited.length });
    for (let i = running.length - 1; i >= 0; i -= 1) stack.push({ entry: running[i] as ProcessEntry, depth });
  };
  pushAll(visible(roots), 0, "");
  for (let next = stack.pop(); next; next = stack.pop()) {
    if ("kind" in next) {
      rows.push(next);
      continue;
    }
    const { entry, depth } = next;
    const list = visible(children.get(entry) ?? []);
    rows.push({ kind: "process", key: entry.key, entry, depth, childCount: list.length });
    if (!options.collapsed.has(entry.key)) pushAll(list, depth + 1, entry.key);
  }
  return rows;
}

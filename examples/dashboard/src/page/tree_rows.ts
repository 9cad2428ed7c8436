// The tree in the order the table shows it: each process under its parent, siblings busiest first
// (then by pid), exited ones at the bottom of their siblings while they are still shown, and the
// subtrees of collapsed processes left out.
import { EXITED_SHOWN_MS, type ProcessEntry } from "./process_store.js";

export interface TreeRow {
  entry: ProcessEntry;
  depth: number;
  childCount: number;
}

function bySiblingOrder(a: ProcessEntry, b: ProcessEntry): number {
  const cpuA = a.exitedAtMs === null ? a.cpuPercent : -1;
  const cpuB = b.exitedAtMs === null ? b.cpuPercent : -1;
  return cpuB - cpuA || a.pid - b.pid;
}

/** `collapsed` holds entry keys. */
export function treeRows(entries: Iterable<ProcessEntry>, nowMs: number, collapsed: ReadonlySet<string>): TreeRow[] {
  const shown: ProcessEntry[] = [];
  const byPid = new Map<number, ProcessEntry>();
  for (const entry of entries) {
    if (entry.exitedAtMs !== null && nowMs - entry.exitedAtMs >= EXITED_SHOWN_MS) continue;
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

  const rows: TreeRow[] = [];
  const stack: { entry: ProcessEntry; depth: number }[] = [];
  const pushAll = (list: ProcessEntry[], depth: number): void => {
    list.sort(bySiblingOrder);
    for (let i = list.length - 1; i >= 0; i -= 1) stack.push({ entry: list[i] as ProcessEntry, depth });
  };
  pushAll(roots, 0);
  for (let next = stack.pop(); next; next = stack.pop()) {
    const list = children.get(next.entry) ?? [];
    rows.push({ entry: next.entry, depth: next.depth, childCount: list.length });
    if (!collapsed.has(next.entry.key)) pushAll(list, next.depth + 1);
  }
  return rows;
}

// The page's model of the tree, off the browser, as the table and the charts read it: a reused pid
// starts a line of its own, rates come from one process's counters, exited processes stay greyed
// for a while and leave the window sums once their ticks have left the window; the table sorts
// within each parent, a filter keeps its matches' ancestors, and many exited children fold.
import assert from "node:assert/strict";
import { test } from "node:test";

import { EXITED_SHOWN_MS, ProcessStore } from "../../examples/dashboard/src/page/process_store.js";
import { treeRows, type RowOptions, type TreeRow } from "../../examples/dashboard/src/page/tree_rows.js";
import type { ProcessTuple, Step } from "../../examples/dashboard/src/shared/frames.js";

function running(pid: number, ppid: number, startTimeMs: number, cpu: number | null, written = 0): ProcessTuple {
  return [pid, ppid, startTimeMs, cpu, 1 << 20, 0, written, 0, "Sleep", `p${pid}`, "", 0, 0, 0, 1, null];
}

const frame = (at: number, processes: ProcessTuple[]) => ({
  sequence: 0,
  sampledAtUnixMs: at,
  collectionDurationMicros: 0,
  scannedProcessCount: 0,
  machine: null,
  processes,
});

const BY_CPU: RowOptions = {
  nowMs: 0,
  sort: { column: "cpu", descending: true },
  collapsed: new Set(),
  expanded: new Set(),
  filter: "",
};

// A row as indented text: pid for a process, the label for a fold of exited children.
const asText = (row: TreeRow, figures: (row: TreeRow & { kind: "process" }) => string = () => ""): string =>
  " ".repeat(row.depth) + (row.kind === "exited" ? `exited lately (${row.count})` : `${row.entry.pid}${figures(row)}`);

test("frames as the table and the charts show them", () => {
  const store = new ProcessStore(3);
  const steps = [
    {
      at: 1000,
      processes: [running(10, 1, 0, 1), running(11, 10, 0, 5), running(12, 10, 0, 50)],
      rows: ["10 1% 0 B/s", " 12 50% 0 B/s", " 11 5% 0 B/s"],
      stored: 3,
    },
    {
      at: 2000,
      processes: [running(10, 1, 0, 1), running(11, 10, 0, 5, 2048), running(12, 10, 0, 50)],
      rows: ["10 1% 0 B/s", " 12 50% 0 B/s", " 11 5% 2048 B/s"],
      stored: 3,
    },
    // pid 11 again, started later: a new process, whose counter is not the old one's
    {
      at: 3000,
      processes: [running(10, 1, 0, 1), running(11, 10, 2000, 70, 8192), running(12, 10, 0, 50)],
      rows: ["10 1% 0 B/s", " 11 70% 0 B/s", " 12 50% 0 B/s", " 11 exited"],
      stored: 4,
    },
    // their parent gone, its children belong to pid 1, outside the tree; the old pid 11 has been
    // shown long enough, and leaves the store once its last tick has left the window
    {
      at: 3000 + EXITED_SHOWN_MS,
      processes: [running(11, 1, 2000, 70), running(12, 1, 0, 50)],
      rows: ["11 70% 0 B/s", "12 50% 0 B/s", "10 exited"],
      stored: 4,
    },
    {
      at: 4000 + EXITED_SHOWN_MS,
      processes: [running(11, 1, 2000, 70), running(12, 1, 0, 50)],
      rows: ["11 70% 0 B/s", "12 50% 0 B/s", "10 exited"],
      stored: 3,
    },
  ];
  for (const { at, processes, rows, stored } of steps) {
    store.ingest(frame(at, processes));
    const shown = treeRows(store.entries.values(), { ...BY_CPU, nowMs: at }).map((row) =>
      asText(row, ({ entry: e }) =>
        e.exitedAtMs === null ? ` ${e.cpuPercent}% ${e.writeBytesPerSecond} B/s` : " exited",
      ),
    );
    assert.deepEqual([shown, store.entries.size], [rows, stored], `at ${at}`);
  }

  const { entries } = store;
  const line = (key: string) => [0, 1, 2, 3, 4].map((tick) => entries.get(key)!.valueAt(entries.get(key)!.cpu, tick));
  // CPU lines of the new pid 11 and of pid 10; pid 12's sum over the window's three ticks.
  assert.deepEqual(
    [line("11:2000"), line("10:0"), entries.get("12:0")!.cpuSum],
    [[0, 0, 70, 70, 70], [1, 1, 1, 0, 0], 150],
  );
});

test("sorting within each parent, filtering with ancestors, exited children folded", () => {
  const store = new ProcessStore(3);
  const process = (pid: number, ppid: number, cpu: number | null, memory: number, name: string): ProcessTuple => {
    return [pid, ppid, 0, cpu, memory, 0, 0, 0, "Sleep", name, `/usr/bin/${name} --serve`, 0, 0, 0, 1, null];
  };
  const family = [
    process(1, 0, 0, 9, "init"),
    process(10, 1, 5, 3, "alpha"),
    process(11, 1, 50, 1, "beta"),
    process(20, 10, null, 2, "gamma"),
  ];
  const exitingChildren = [30, 31, 32].map((pid) => process(pid, 11, 1, 1, "job"));
  store.ingest(frame(1000, [...family, ...exitingChildren]));
  store.ingest(frame(2000, family));
  const rows = (options: Partial<RowOptions>) =>
    treeRows(store.entries.values(), { ...BY_CPU, nowMs: 2000, ...options }).map((row) => asText(row));
  const cases: [Partial<RowOptions>, string[]][] = [
    [{}, ["1", " 11", "  exited lately (3)", " 10", "  20"]],
    [
      { expanded: new Set(["exited:11:0"]) },
      ["1", " 11", "  exited lately (3)", "   30", "   31", "   32", " 10", "  20"],
    ],
    [{ sort: { column: "memory", descending: true } }, ["1", " 10", "  20", " 11", "  exited lately (3)"]],
    [{ sort: { column: "name", descending: true } }, ["1", " 11", "  exited lately (3)", " 10", "  20"]],
    [{ sort: { column: "pid", descending: false }, collapsed: new Set(["11:0"]) }, ["1", " 10", "  20", " 11"]],
    [{ filter: "GAMMA" }, ["1", " 10", "  20"]],
    [{ filter: "--serve" }, ["1", " 11", "  exited lately (3)", " 10", "  20"]],
    [{ filter: "3" }, ["1", " 11", "  exited lately (3)"]],
    [{ filter: "nothing" }, []],
  ];
  for (const [options, expected] of cases) assert.deepEqual(rows(options), expected, JSON.stringify(options));
});

test("the hour in steps: the sidecar's before the first frame, then the frames', absent as 0", () => {
  const store = new ProcessStore(2, { protocolVersion: 3, platform: "linux", sidecarUid: 0, stepMs: 1000 });
  // The step of 1000 is the first frame's: the frames make it, or its snapshots would count twice.
  const sidecar = (startUnixMs: number, cpu: number) => ({ startUnixMs, processes: [[10, 0, cpu, 5]], machine: null });
  store.steps.load([sidecar(0, 7), sidecar(1000, 99)] as Step[], 1500, null);
  store.ingest(
    frame(1500, [running(10, 1, 0, 40), running(11, 1, 0, 10), running(12, 1, 0, 40), running(14, 1, 0, null)]),
  );
  store.ingest(frame(1900, [running(10, 1, 0, 20), running(11, 1, 0, null)]));
  store.ingest(frame(2100, []));
  const { steps } = store.steps;
  const cpu = (step: number, pid: number) => store.steps.valueOf(steps[step]!, "cpu", pid, 0);
  assert.deepEqual(
    [steps.map((step) => step.startMs), cpu(0, 10), ...[10, 11, 12, 13, 14].map((pid) => cpu(1, pid))],
    [[0, 1000], 7, 30, 5, 20, 0, NaN],
  );
});

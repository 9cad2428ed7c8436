// Checks each event the sidecar writes before the client uses it: a sidecar that is not ours, or
// a local process that got between us, may write anything. Every field the protocol defines is
// checked for its JSON type; enumerated strings are left as they come.
import type { Event } from "./protocol.js";

type FieldType = "number" | "string" | "boolean" | "object" | "array" | "number|null";
type Shape = Readonly<Record<string, FieldType>>;

const COMMON: Shape = { version: "number", type: "string" };
const SHAPES: Readonly<Record<Event["type"], Shape>> = {
  hello: { sidecarVersion: "string", sidecarPid: "number", platform: "string", arch: "string", capabilities: "object" },
  error: { code: "string", message: "string", recoverable: "boolean" },
  snapshot: {
    sequence: "number",
    sampledAtUnixMs: "number",
    collectionDurationMicros: "number",
    scannedProcessCount: "number",
    retainedProcessCount: "number",
    inaccessibleProcessCount: "number",
    externalProcesses: "array",
    processes: "array",
  },
  historyChunk: { requestId: "string", done: "boolean", snapshots: "array" },
};
const PROCESS: Shape = {
  pid: "number",
  ppid: "number",
  startTimeMs: "number",
  runTimeMs: "number",
  name: "string",
  command: "string",
  status: "string",
  cpuPercent: "number|null",
  cpuTimeMs: "number",
  residentBytes: "number",
  virtualBytes: "number",
  ioReadBytes: "number",
  ioWriteBytes: "number",
  ioSemantics: "string",
};
const EXTERNAL: Shape = { pid: "number", startTimeMs: "number|null" };

function isObject(value: unknown): value is Record<string, unknown> {
  return typeof value === "object" && value !== null && !Array.isArray(value);
}

function typeOf(value: unknown): FieldType | "null" | "undefined" | "other" {
  if (value === null) return "null";
  if (Array.isArray(value)) return "array";
  const type = typeof value;
  return type === "number" || type === "string" || type === "boolean" || type === "object" || type === "undefined"
    ? type
    : "other";
}

// The first field of value that does not have its shape's type, as "where.field is a null".
function mismatch(value: Record<string, unknown>, shape: Shape, where: string): string | null {
  for (const [field, wanted] of Object.entries(shape)) {
    const found = typeOf(value[field]);
    if (found !== wanted && !(wanted === "number|null" && (found === "number" || found === "null"))) {
      return `${where}.${field} is ${found === "undefined" ? "missing" : `a ${found}, not a ${wanted}`}`;
    }
  }
  return null;
}

function snapshotMismatch(value: unknown, where: string): string | null {
  if (!isObject(value)) return `${where} is not an object`;
  const top = mismatch(value, SHAPES.snapshot, where);
  if (top) return top;
  if (value["requestId"] !== undefined && typeof value["requestId"] !== "string") {
    return `${where}.requestId is not a string`;
  }
  const lists = [
    ["processes", PROCESS],
    ["externalProcesses", EXTERNAL],
  ] as const;
  for (const [list, shape] of lists) {
    const items = value[list] as unknown[];
    for (let i = 0; i < items.length; i++) {
      const item = items[i];
      const problem = isObject(item)
        ? mismatch(item, shape, `${where}.${list}[${i}]`)
        : `${where}.${list}[${i}] is not an object`;
      if (problem) return problem;
    }
  }
  return null;
}

/** What is wrong with a parsed line as a version 2 event, or null when the client can use it. */
export function eventProblem(value: unknown): string | null {
  if (!isObject(value))
    return `the line is ${typeOf(value) === "array" ? "an array" : `a ${typeOf(value)}`}, not an event object`;
  const common = mismatch(value, COMMON, "event");
  if (common) return common;
  const type = value["type"] as string;
  if (!Object.hasOwn(SHAPES, type)) return `unknown event type ${JSON.stringify(type).slice(0, 100)}`;
  if (type === "snapshot") return snapshotMismatch(value, "snapshot");
  const problem = mismatch(value, SHAPES[type as Event["type"]], type);
  if (problem || type !== "historyChunk") return problem;
  const snapshots = value["snapshots"] as unknown[];
  for (let i = 0; i < snapshots.length; i++) {
    const inner = snapshotMismatch(snapshots[i], `historyChunk.snapshots[${i}]`);
    if (inner) return inner;
  }
  return null;
}

// Checks each event the sidecar writes before the client uses it: a sidecar that is not ours, or
// a local process that got between us, may write anything. Every field the protocol defines is
// checked for its JSON type, nested records included; enumerated strings are left as they come.
import type { Event, ProtocolVersion } from "./protocol.js";

// "x?": absent or x. A one-element array: an array whose every item is an object of that shape; a
// shape: an object of that shape.
type FieldType =
  "number" | "string" | "boolean" | "object" | "array" | "string[]" | "number|null" | "string?" | "number?";
interface Shape {
  readonly [field: string]: FieldType | readonly [Shape] | Shape;
}

const EXTERNAL: Shape = { pid: "number", startTimeMs: "number|null" };
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
const PROCESS_V3: Shape = {
  ...PROCESS,
  cpuTimeMs: "number|null",
  residentBytes: "number|null",
  virtualBytes: "number|null",
  ioReadBytes: "number|null",
  ioWriteBytes: "number|null",
  uid: "number|null",
  threads: "number|null",
  footprintBytes: "number|null",
  argv: "string[]",
};
const SNAPSHOT: Shape = {
  sequence: "number",
  sampledAtUnixMs: "number",
  collectionDurationMicros: "number",
  scannedProcessCount: "number",
  retainedProcessCount: "number",
  inaccessibleProcessCount: "number",
  requestId: "string?",
  externalProcesses: [EXTERNAL],
  processes: [PROCESS],
};
const SNAPSHOT_V3: Shape = { ...SNAPSHOT, skippedSnapshots: "number?", processes: [PROCESS_V3] };
const HELLO: Shape = {
  sidecarVersion: "string",
  sidecarPid: "number",
  platform: "string",
  arch: "string",
  capabilities: "object",
};
const ERROR: Shape = { code: "string", message: "string", recoverable: "boolean" };
const SUMMARY: Shape = {
  pid: "number",
  startTimeMs: "number",
  sampleCount: "number",
  cpuPercentMean: "number|null",
  cpuPercentMax: "number|null",
  residentBytesMax: "number",
};
// A downsampled history chunk (the command had stepMs) holds steps in place of snapshots.
const STEPPED_CHUNK: Shape = {
  requestId: "string",
  done: "boolean",
  stepMs: "number",
  steps: [{ startUnixMs: "number", snapshotCount: "number", processes: [SUMMARY] }],
};
const SHAPES: { readonly [V in ProtocolVersion]: Readonly<Partial<Record<Event<V>["type"], Shape>>> } = {
  2: {
    hello: HELLO,
    error: ERROR,
    snapshot: SNAPSHOT,
    historyChunk: { requestId: "string", done: "boolean", snapshots: [SNAPSHOT] },
  },
  3: {
    hello: { protocolVersions: "array", ...HELLO },
    error: { ...ERROR, requestId: "string?" },
    ack: { requestId: "string" },
    snapshot: SNAPSHOT_V3,
    historyChunk: { requestId: "string", done: "boolean", snapshots: [SNAPSHOT_V3] },
    processStarted: { pid: "number", ppid: "number", startTimeMs: "number", process: PROCESS_V3 },
    processExited: { pid: "number", startTimeMs: "number", exitedAtUnixMs: "number", process: PROCESS_V3 },
  },
};

// Array.isArray does not narrow a readonly tuple out of a union.
function isArray(wanted: readonly [Shape] | Shape): wanted is readonly [Shape] {
  return Array.isArray(wanted);
}

function isObject(value: unknown): value is Record<string, unknown> {
  return typeof value === "object" && value !== null && !Array.isArray(value);
}

function typeOf(value: unknown): "null" | "array" | "number" | "string" | "boolean" | "object" | "undefined" | "other" {
  if (value === null) return "null";
  if (Array.isArray(value)) return "array";
  const type = typeof value;
  return type === "number" || type === "string" || type === "boolean" || type === "object" || type === "undefined"
    ? type
    : "other";
}

function fits(value: unknown, wanted: FieldType): boolean {
  const found = typeOf(value);
  switch (wanted) {
    case "number|null":
      return found === "number" || found === "null";
    case "string?":
    case "number?":
      return found === "undefined" || found === wanted.slice(0, -1);
    case "string[]":
      return Array.isArray(value) && value.every((item) => typeof item === "string");
    default:
      return found === wanted;
  }
}

// The first field of value, at any depth, that does not have its shape's type, as
// "where.field is a null, not a number".
function mismatch(value: Record<string, unknown>, shape: Shape, where: string): string | null {
  for (const [field, wanted] of Object.entries(shape)) {
    const found = value[field];
    if (typeof wanted === "string") {
      if (fits(found, wanted)) continue;
      return `${where}.${field} is ${found === undefined ? "missing" : `a ${typeOf(found)}, not a ${wanted}`}`;
    }
    if (!isArray(wanted)) {
      const problem = isObject(found) ? mismatch(found, wanted, `${where}.${field}`) : null;
      if (isObject(found) && !problem) continue;
      return problem ?? `${where}.${field} is ${found === undefined ? "missing" : "not an object"}`;
    }
    if (!Array.isArray(found)) return `${where}.${field} is ${found === undefined ? "missing" : "not an array"}`;
    for (let i = 0; i < found.length; i++) {
      const item: unknown = found[i];
      const at = `${where}.${field}[${i}]`;
      const problem = isObject(item) ? mismatch(item, wanted[0], at) : `${at} is not an object`;
      if (problem) return problem;
    }
  }
  return null;
}

/** What is wrong with a parsed line as an event of version (before hello: of the version it
 *  says, 2 or 3), or null when the client can use it. */
export function eventProblem(value: unknown, version: ProtocolVersion | null): string | null {
  if (!isObject(value))
    return `the line is ${typeOf(value) === "array" ? "an array" : `a ${typeOf(value)}`}, not an event object`;
  const [said, type] = [value["version"], value["type"]];
  const wanted = version ?? (said === 3 ? 3 : 2);
  if (said !== wanted) return `event.version is ${JSON.stringify(said)?.slice(0, 20)}, not ${wanted}`;
  const shapes: Readonly<Record<string, Shape | undefined>> = SHAPES[wanted];
  const shape = typeof type === "string" && Object.hasOwn(shapes, type) ? shapes[type] : undefined;
  if (!shape) return `unknown event type ${JSON.stringify(type)?.slice(0, 100)}`;
  const stepped = wanted === 3 && type === "historyChunk" && value["stepMs"] !== undefined;
  return mismatch(value, stepped ? STEPPED_CHUNK : shape, type as string);
}

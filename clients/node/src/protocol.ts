// The wire types of protocol version 2, as schema/command.schema.json and
// schema/event.schema.json describe them. 64-bit integers are plain numbers: exact below 2^53,
// which every real time, count and size stays under.

export const PROTOCOL_VERSION = 2;

export interface ExternalProcess {
  pid: number;
  /** Milliseconds since the epoch; matches a process started within the same whole second. */
  startTimeMs?: number | null;
}

export interface ConfigureCommand {
  type: "configure";
  version: 2;
  rootPid: number;
  /** 0: no periodic sampling; otherwise clamped to 250..60000 by the sidecar. */
  sampleIntervalMs: number;
  externalProcesses?: ExternalProcess[];
}
export interface SetExternalProcessesCommand {
  type: "setExternalProcesses";
  version: 2;
  processes: ExternalProcess[];
}
export interface SetSampleIntervalCommand {
  type: "setSampleInterval";
  version: 2;
  sampleIntervalMs: number;
}
export interface SetStreamingCommand {
  type: "setStreaming";
  version: 2;
  enabled: boolean;
}
export interface SampleNowCommand {
  type: "sampleNow";
  version: 2;
  requestId: string;
}
export interface ReadHistoryCommand {
  type: "readHistory";
  version: 2;
  requestId: string;
  /** Clamped to one hour by the sidecar. */
  windowMs: number;
}
export interface ShutdownCommand {
  type: "shutdown";
  version: 2;
}
export type Command =
  | ConfigureCommand
  | SetExternalProcessesCommand
  | SetSampleIntervalCommand
  | SetStreamingCommand
  | SampleNowCommand
  | ReadHistoryCommand
  | ShutdownCommand;

export interface Capabilities {
  cumulativeCpuTime: boolean;
  currentCpuPercent: boolean;
  residentMemory: boolean;
  virtualMemory: boolean;
  ioBytes: boolean;
  processStartTime: boolean;
  processTree: boolean;
}

export interface HelloEvent {
  version: 2;
  type: "hello";
  sidecarVersion: string;
  sidecarPid: number;
  platform: "linux" | "macos" | "windows";
  arch: "x86_64" | "aarch64";
  capabilities: Capabilities;
}

export type ErrorCode = "invalid-command" | "protocol-mismatch" | "not-configured";

export interface ErrorEvent {
  version: 2;
  type: "error";
  code: ErrorCode;
  message: string;
  /** False only for protocol-mismatch. */
  recoverable: boolean;
}

export type ProcessStatus =
  | "Idle"
  | "Run"
  | "Sleep"
  | "Stop"
  | "Zombie"
  | "Tracing"
  | "Dead"
  | "Wakekill"
  | "Waking"
  | "Parked"
  | "LockBlocked"
  | "UninterruptibleDiskSleep"
  | "Suspended"
  | `Unknown(${number})`;

export interface ProcessRecord {
  pid: number;
  /** 0 when the process has no parent. */
  ppid: number;
  /** Whole seconds since the epoch, times 1000. */
  startTimeMs: number;
  runTimeMs: number;
  name: string;
  /** Arguments joined by single spaces, or the name when there are none. */
  command: string;
  status: ProcessStatus;
  /** Percent of one CPU since the previous reading; null when not finite. */
  cpuPercent: number | null;
  cpuTimeMs: number;
  residentBytes: number;
  virtualBytes: number;
  /** Cumulative since the process started. */
  ioReadBytes: number;
  ioWriteBytes: number;
  ioSemantics: "storage" | "all-io";
}

export interface ExternalProcessEntry {
  pid: number;
  startTimeMs: number | null;
}

export interface Snapshot {
  version: 2;
  type: "snapshot";
  sequence: number;
  sampledAtUnixMs: number;
  collectionDurationMicros: number;
  scannedProcessCount: number;
  retainedProcessCount: number;
  inaccessibleProcessCount: number;
  /** Only on the answer to sampleNow. */
  requestId?: string;
  externalProcesses: ExternalProcessEntry[];
  /** Ascending by pid. */
  processes: ProcessRecord[];
}

export interface HistoryChunkEvent {
  version: 2;
  type: "historyChunk";
  requestId: string;
  done: boolean;
  snapshots: Snapshot[];
}

export type Event = HelloEvent | ErrorEvent | Snapshot | HistoryChunkEvent;

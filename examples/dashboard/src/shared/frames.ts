// What the server sends the page over its event stream. A snapshot travels as a frame: only the
// fields the page shows, each process as a tuple, so a 2000-process machine costs a few hundred
// kilobytes of JSON a second. Types only: both sides import them, neither loads this at run time.

/** One process of a snapshot. A figure is null where the system refused it to the sidecar (and
 *  `cpuPercent` where the sidecar could not tell); `uid`, `threads` and `footprintBytes` are null
 *  from a sidecar that speaks protocol version 2, which does not carry them. */
export type ProcessTuple = [
  pid: number,
  ppid: number,
  startTimeMs: number,
  cpuPercent: number | null,
  residentBytes: number | null,
  ioReadBytes: number | null,
  ioWriteBytes: number | null,
  runTimeMs: number,
  status: string,
  name: string,
  command: string,
  cpuTimeMs: number | null,
  virtualBytes: number | null,
  uid: number | null,
  threads: number | null,
  footprintBytes: number | null,
];

/** The machine's totals, when the sidecar reports them; cpuPercent is of one CPU, as a process's. */
export interface Machine {
  cpuCount: number | null;
  cpuPercent: number | null;
  memoryTotalBytes: number | null;
  memoryAvailableBytes: number | null;
  uptimeMs: number | null;
}

export interface Frame {
  sequence: number;
  sampledAtUnixMs: number;
  collectionDurationMicros: number;
  scannedProcessCount: number;
  machine: Machine | null;
  processes: ProcessTuple[];
}

/** One process over a step of the downsampled history: its CPU averaged over the step's
 *  snapshots (counting those without it as 0; null when every figure was refused) and its highest
 *  resident memory. */
export type StepTuple = [pid: number, startTimeMs: number, cpuPercent: number | null, residentBytes: number];

/** The snapshots sampled from startUnixMs to startUnixMs + the hello's stepMs. */
export interface Step {
  startUnixMs: number;
  processes: StepTuple[];
  /** The machine's mean CPU and its least available memory over the step. */
  machine: { cpuPercent: number | null; memoryAvailableBytes: number | null } | null;
}

/** The first event on every connection (`event: hello`): the setting, then the stored frames of
 *  the window, oldest first, and the last hour before them in steps. Every later event is one
 *  streamed frame, newer than all of these. */
export interface Hello {
  rootPid: number;
  sampleIntervalMs: number;
  windowMs: number;
  platform: string;
  /** The protocol version the server and the sidecar speak. */
  protocolVersion: number;
  /** The user the sidecar runs as; null where the system has no such number. */
  sidecarUid: number | null;
  stepMs: number;
  /** Empty from a sidecar of protocol version 2. */
  steps: Step[];
  history: Frame[];
}

// What the server sends the page over its event stream. A snapshot travels as a frame: only the
// fields the page shows, each process as a tuple, so a 2000-process machine costs a few hundred
// kilobytes of JSON a second. Types only: both sides import them, neither loads this at run time.

/** One process of a snapshot. `cpuPercent` is null when the sidecar could not tell. */
export type ProcessTuple = [
  pid: number,
  ppid: number,
  startTimeMs: number,
  cpuPercent: number | null,
  residentBytes: number,
  ioReadBytes: number,
  ioWriteBytes: number,
  runTimeMs: number,
  status: string,
  name: string,
  command: string,
];

export interface Frame {
  sequence: number;
  sampledAtUnixMs: number;
  collectionDurationMicros: number;
  scannedProcessCount: number;
  processes: ProcessTuple[];
}

/** The first event on every connection (`event: hello`): the setting, then the stored frames of
 *  the window, oldest first. Every later event is one streamed frame, newer than all of these. */
export interface Hello {
  rootPid: number;
  sampleIntervalMs: number;
  windowMs: number;
  platform: string;
  history: Frame[];
}

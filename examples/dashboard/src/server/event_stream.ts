// The pages' event streams (Server-Sent Events): each connection first gets a hello with the
// sidecar's stored history of the window and, in protocol version 3, the last hour before it in
// steps, then every streamed snapshot, encoded once for all.
// Lives on the server's event loop. Memory stays bounded whoever connects: a page that reads too
// slowly skips frames instead of queueing them, connections opening together share one history
// read, and a new connection beyond the cap ends the oldest, so idle clients cannot lock a page out.
import type { ServerResponse } from "node:http";

import type { HistoryStep, ProtocolVersion, Sidecar, Snapshot } from "procsampler";

import type { Frame, Hello, Machine, ProcessTuple, Step } from "../shared/frames.js";

// A command line beyond this is cut in frames; the details ask for the whole one (`fullCommand`).
const COMMAND_CHARS = 300;
// Bytes a connection may have waiting in its socket before its next frames are skipped.
const BACKLOG_BYTES = 8 << 20;
// The newest frames kept for connections whose hello is on its way (a history read takes
// milliseconds; these cover a read slowed by a loaded machine).
const RECENT_FRAMES = 16;
export const MAX_CONNECTIONS = 16;
// The downsampled history a page opens with: the most the sidecar keeps, in 360 steps at most.
const HOUR_MS = 3_600_000;
export const STEP_MS = 10_000;

export interface StreamSetting {
  rootPid: number;
  sampleIntervalMs: number;
  windowMs: number;
}

interface Connection {
  response: ServerResponse;
  // False until its hello went out: frames until then come from `recent` after the hello.
  live: boolean;
}

interface EncodedFrame {
  sequence: number;
  text: string;
}

type AnySnapshot = Snapshot<ProtocolVersion>;

// The client checks the members of a snapshot and a step but not those of the machine's totals:
// each is taken only when it has the type it should.
function member(value: unknown, name: string): unknown {
  return typeof value === "object" && value !== null ? (value as Record<string, unknown>)[name] : undefined;
}
function figure(value: unknown, name: string): number | null {
  const found = member(value, name);
  return typeof found === "number" ? found : null;
}
function machineOf(snapshot: AnySnapshot): Machine | null {
  const machine = member(snapshot, "machine");
  if (typeof machine !== "object" || machine === null) return null;
  const names = ["cpuCount", "cpuPercent", "memoryTotalBytes", "memoryAvailableBytes", "uptimeMs"] as const;
  return Object.fromEntries(names.map((name) => [name, figure(machine, name)])) as unknown as Machine;
}

export function toFrame(snapshot: AnySnapshot): Frame {
  const processes = snapshot.processes.map((p): ProcessTuple => {
    const v3 = "argv" in p ? p : null;
    return [
      p.pid,
      p.ppid,
      p.startTimeMs,
      p.cpuPercent,
      p.residentBytes,
      p.ioReadBytes,
      p.ioWriteBytes,
      p.runTimeMs,
      p.status,
      p.name,
      p.command.length > COMMAND_CHARS ? `${p.command.slice(0, COMMAND_CHARS)}…` : p.command,
      p.cpuTimeMs,
      p.virtualBytes,
      v3?.uid ?? null,
      v3?.threads ?? null,
      v3?.footprintBytes ?? null,
    ];
  });
  const { sequence, sampledAtUnixMs, collectionDurationMicros, scannedProcessCount } = snapshot;
  const machine = machineOf(snapshot);
  return { sequence, sampledAtUnixMs, collectionDurationMicros, scannedProcessCount, machine, processes };
}

function toStep(step: HistoryStep): Step {
  const machine = member(step, "machine");
  return {
    startUnixMs: step.startUnixMs,
    // Averaged over the whole step, as the page's own steps are: a process in half of its
    // snapshots counts half.
    processes: step.processes.map((p) => [
      p.pid,
      p.startTimeMs,
      p.cpuPercentMean === null ? null : (p.cpuPercentMean * p.sampleCount) / Math.max(1, step.snapshotCount),
      p.residentBytesMax,
    ]),
    machine:
      typeof machine !== "object" || machine === null
        ? null
        : {
            cpuPercent: figure(machine, "cpuPercentMean"),
            memoryAvailableBytes: figure(machine, "memoryAvailableBytesMin"),
          },
  };
}

export class EventStreams {
  /** `sidecar` must stay live while this is in use; call `publish` with each streamed snapshot. */
  constructor(
    private readonly sidecar: Sidecar<ProtocolVersion>,
    private readonly setting: StreamSetting,
  ) {}

  /** The whole command line of a process of the newest snapshot, and its arguments where the
   *  protocol carries them; undefined once it is not in it. */
  fullCommand(pid: number, startTimeMs: number): { command: string; argv: string[] | null } | undefined {
    const found = this.latest?.processes.find((p) => p.pid === pid && p.startTimeMs === startTimeMs);
    return found && { command: found.command, argv: "argv" in found ? found.argv : null };
  }

  publish(snapshot: AnySnapshot): void {
    this.latest = snapshot;
    const frame = { sequence: snapshot.sequence, text: `data: ${JSON.stringify(toFrame(snapshot))}\n\n` };
    this.recent.push(frame);
    if (this.recent.length > RECENT_FRAMES) this.recent.shift();
    for (const connection of this.connections) {
      if (connection.live && connection.response.writableLength < BACKLOG_BYTES) {
        connection.response.write(frame.text);
      }
    }
  }

  /** Takes over an accepted request: the stream runs until the page goes away or, once
   *  MAX_CONNECTIONS newer ones opened, is ended (a page then opens its stream again). */
  async open(response: ServerResponse): Promise<void> {
    // A Set iterates in insertion order: the first is the oldest.
    for (const oldest of this.connections) {
      if (this.connections.size < MAX_CONNECTIONS) break;
      this.connections.delete(oldest);
      oldest.response.end();
    }
    const connection: Connection = { response, live: false };
    this.connections.add(connection);
    response.on("close", () => this.connections.delete(connection));
    response.writeHead(200, {
      "content-type": "text/event-stream",
      "cache-control": "no-store",
      connection: "keep-alive",
    });
    response.flushHeaders(); // the client knows at once it has a slot
    const hello = await this.encodedHello();
    if (!hello || response.writableEnded || !this.connections.has(connection)) {
      response.end(); // the sidecar is gone (the server is ending too), or this one was ended
      return;
    }
    response.write(hello.text);
    // Frames that came before the history was read are in it already.
    for (const frame of this.recent) if (frame.sequence > hello.sequence) response.write(frame.text);
    connection.live = true;
  }

  closeAll(): void {
    for (const connection of this.connections) connection.response.end();
  }

  // One history read and one encoding for every connection that opens while it is under way.
  private encodedHello(): Promise<EncodedFrame | null> {
    this.helloInFlight ??= this.readHello().finally(() => (this.helloInFlight = null));
    return this.helloInFlight;
  }

  private async readHello(): Promise<EncodedFrame | null> {
    const { sidecar } = this;
    let history: AnySnapshot[];
    let steps: HistoryStep[] = [];
    try {
      [history, steps] = await Promise.all([
        sidecar.readHistory(this.setting.windowMs),
        sidecar.speaks(3) ? sidecar.readHistory(HOUR_MS, { stepMs: STEP_MS }) : [],
      ]);
    } catch {
      return null;
    }
    const hello: Hello = {
      ...this.setting,
      platform: sidecar.hello.platform,
      protocolVersion: sidecar.protocolVersion,
      sidecarUid: process.getuid?.() ?? null,
      stepMs: STEP_MS,
      steps: steps.map(toStep),
      history: history.map(toFrame),
    };
    return { sequence: history.at(-1)?.sequence ?? -1, text: `event: hello\ndata: ${JSON.stringify(hello)}\n\n` };
  }

  private readonly connections = new Set<Connection>();
  private readonly recent: EncodedFrame[] = [];
  private helloInFlight: Promise<EncodedFrame | null> | null = null;
  private latest: AnySnapshot | null = null;
}

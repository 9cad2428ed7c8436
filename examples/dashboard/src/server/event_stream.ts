// The pages' event streams (Server-Sent Events): each connection first gets a hello with the
// sidecar's stored history of the window, then every streamed snapshot, encoded once for all.
// Lives on the server's event loop. Memory stays bounded whoever connects: a page that reads too
// slowly skips frames instead of queueing them, connections opening together share one history
// read, and a new connection beyond the cap ends the oldest, so idle clients cannot lock a page out.
import type { ServerResponse } from "node:http";

import type { Sidecar, Snapshot } from "procsampler";

import type { Frame, Hello, ProcessTuple } from "../shared/frames.js";

// A command line beyond this is cut in frames; the details ask for the whole one (`fullCommand`).
const COMMAND_CHARS = 300;
// Bytes a connection may have waiting in its socket before its next frames are skipped.
const BACKLOG_BYTES = 8 << 20;
// The newest frames kept for connections whose hello is on its way (a history read takes
// milliseconds; these cover a read slowed by a loaded machine).
const RECENT_FRAMES = 16;
export const MAX_CONNECTIONS = 16;

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

export function toFrame(snapshot: Snapshot): Frame {
  const processes = snapshot.processes.map((p): ProcessTuple => [
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
  ]);
  const { sequence, sampledAtUnixMs, collectionDurationMicros, scannedProcessCount } = snapshot;
  return { sequence, sampledAtUnixMs, collectionDurationMicros, scannedProcessCount, processes };
}

export class EventStreams {
  /** `sidecar` must stay live while this is in use; call `publish` with each streamed snapshot. */
  constructor(
    private readonly sidecar: Sidecar,
    private readonly setting: StreamSetting,
  ) {}

  /** The whole command line of a process of the newest snapshot; undefined once it is not in it. */
  fullCommand(pid: number, startTimeMs: number): string | undefined {
    return this.latest?.processes.find((p) => p.pid === pid && p.startTimeMs === startTimeMs)?.command;
  }

  publish(snapshot: Snapshot): void {
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
    let history: Snapshot[];
    try {
      history = await this.sidecar.readHistory(this.setting.windowMs);
    } catch {
      return null;
    }
    const hello: Hello = {
      ...this.setting,
      platform: this.sidecar.hello.platform,
      history: history.map(toFrame),
    };
    return { sequence: history.at(-1)?.sequence ?? -1, text: `event: hello\ndata: ${JSON.stringify(hello)}\n\n` };
  }

  private readonly connections = new Set<Connection>();
  private readonly recent: EncodedFrame[] = [];
  private helloInFlight: Promise<EncodedFrame | null> | null = null;
  private latest: Snapshot | null = null;
}

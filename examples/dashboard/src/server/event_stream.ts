// The pages' event streams (Server-Sent Events): each connection first gets a hello with the
// sidecar's stored history of the window, then every streamed snapshot, encoded once for all.
// Lives on the server's event loop. Memory stays bounded: a page that reads too slowly skips
// frames instead of queueing them, and the number of connections is capped.
import type { ServerResponse } from "node:http";

import type { Sidecar, Snapshot } from "procsampler";

import type { Frame, Hello, ProcessTuple } from "../shared/frames.js";

// A command line beyond this is cut: the page shows it only as a row's tooltip.
const COMMAND_CHARS = 300;
// Bytes a connection may have waiting in its socket before its next frames are skipped.
const BACKLOG_BYTES = 8 << 20;
// Frames kept for a connection while its history is being read (a read takes milliseconds).
const PENDING_FRAMES = 16;
export const MAX_CONNECTIONS = 16;

export interface StreamSetting {
  rootPid: number;
  sampleIntervalMs: number;
  windowMs: number;
}

interface Connection {
  response: ServerResponse;
  // Encoded frames that arrived before the hello went out; null once the connection is live.
  pending: { sequence: number; text: string }[] | null;
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

  get connectionCount(): number {
    return this.connections.size;
  }

  publish(snapshot: Snapshot): void {
    const text = `data: ${JSON.stringify(toFrame(snapshot))}\n\n`;
    for (const connection of this.connections) {
      if (connection.pending) {
        connection.pending.push({ sequence: snapshot.sequence, text });
        if (connection.pending.length > PENDING_FRAMES) connection.pending.shift();
      } else if (connection.response.writableLength < BACKLOG_BYTES) {
        connection.response.write(text);
      }
    }
  }

  /** Takes over an accepted request: the stream runs until the page goes away. */
  async open(response: ServerResponse): Promise<void> {
    const connection: Connection = { response, pending: [] };
    this.connections.add(connection);
    response.on("close", () => this.connections.delete(connection));
    response.writeHead(200, {
      "content-type": "text/event-stream",
      "cache-control": "no-store",
      connection: "keep-alive",
    });
    let history: Snapshot[];
    try {
      history = await this.sidecar.readHistory(this.setting.windowMs);
    } catch {
      response.end(); // the sidecar is gone; the server is ending too
      return;
    }
    const hello: Hello = {
      ...this.setting,
      platform: this.sidecar.hello.platform,
      history: history.map(toFrame),
    };
    response.write(`event: hello\ndata: ${JSON.stringify(hello)}\n\n`);
    const newest = history.at(-1)?.sequence ?? -1;
    // Frames that came before the history was read are in it already.
    for (const frame of connection.pending ?? []) if (frame.sequence > newest) response.write(frame.text);
    connection.pending = null;
  }

  closeAll(): void {
    for (const connection of this.connections) connection.response.end();
  }

  private readonly connections = new Set<Connection>();
}

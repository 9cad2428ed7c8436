// The dashboard's server: starts the sidecar on a process tree with streaming on, and serves the
// page and its event stream on 127.0.0.1 only. It prints the page's address, with the run's access
// token, once the first snapshot is in, so a page opened then shows the tree at once.
//   node dist/server/main.js [--root-pid N] [--port P] [--interval-ms MS] [--binary PATH]
import { createServer, type IncomingMessage, type ServerResponse } from "node:http";
import type { AddressInfo } from "node:net";
import { fileURLToPath } from "node:url";
import { parseArgs } from "node:util";

import { Sidecar, type ProtocolVersion, type Snapshot } from "procsampler";

import { AccessToken } from "./access_token.js";
import { EventStreams } from "./event_stream.js";
import { loadStaticFiles } from "./static_files.js";

// How far back a page opens: the sidecar's history holds at most this much at 1 s (less on a
// machine whose processes fill its record budget sooner).
const WINDOW_MS = 5 * 60_000;

function integer(text: string, name: string, min: number, max: number): number {
  const value = Number(text);
  if (!Number.isInteger(value) || value < min || value > max) {
    throw new Error(`--${name} takes an integer from ${min} to ${max}, not "${text}"`);
  }
  return value;
}

function parseOptions(): { rootPid: number; port: number; sampleIntervalMs: number; binary: string } {
  const { values } = parseArgs({
    options: {
      "root-pid": { type: "string", default: "1" },
      port: { type: "string", default: "8090" },
      "interval-ms": { type: "string", default: "1000" },
      binary: {
        type: "string",
        default: fileURLToPath(new URL("../../../../build/procsampler", import.meta.url)),
      },
    },
  });
  return {
    rootPid: integer(values["root-pid"], "root-pid", 1, 2 ** 32 - 1),
    port: integer(values.port, "port", 0, 65535),
    sampleIntervalMs: integer(values["interval-ms"], "interval-ms", 250, 60000),
    binary: values.binary,
  };
}

async function main(): Promise<void> {
  const options = parseOptions();
  const files = loadStaticFiles();
  // Version 3 where the sidecar speaks it, else 2.
  const sidecar = await Sidecar.start({ binaryPath: options.binary });
  const { rootPid, sampleIntervalMs } = options;
  const streams = new EventStreams(sidecar, { rootPid, sampleIntervalMs, windowMs: WINDOW_MS });
  const first = new Promise<Snapshot<ProtocolVersion>>((resolve) => {
    const take = (snapshot: Snapshot<ProtocolVersion>): void => {
      sidecar.off("snapshot", take);
      resolve(snapshot);
    };
    sidecar.on("snapshot", take);
  });
  sidecar.on("snapshot", (snapshot) => streams.publish(snapshot));
  await sidecar.setStreaming(true);
  await sidecar.configure({ rootPid, sampleIntervalMs });
  const snapshot = await first;
  if (snapshot.processes.length === 0) console.error(`warning: no process with pid ${rootPid}`);

  const token = new AccessToken();
  let allowedHosts: Set<string> = new Set();
  let allowedOrigins: Set<string> = new Set();
  const server = createServer((request: IncomingMessage, response: ServerResponse) => {
    // Command lines can hold secrets: a page served under another host name (DNS rebinding)
    // gets nothing.
    if (!allowedHosts.has(request.headers.host ?? "")) return void response.writeHead(403).end();
    if (request.method !== "GET") return void response.writeHead(405).end();
    // An absolute-form target ("GET http://[ HTTP/1.1") can be no URL at all.
    let url: URL;
    try {
      url = new URL(request.url ?? "/", "http://localhost");
    } catch {
      return void response.writeHead(400).end();
    }
    const path = url.pathname;
    if (path === "/events" || path === "/command") {
      // Before anything else, so that a request without the token never holds a stream's slot.
      if (!token.admits(url.searchParams.get("token"))) return void response.writeHead(403).end();
      // The page's own requests send no Origin (same origin); a page of another site that opens
      // streams to take the slots sends its own, or, through an <img> or <script> element, none
      // but a Sec-Fetch-Site other than same-origin (or none, for an address typed by hand).
      const origin = request.headers.origin;
      if (origin !== undefined && !allowedOrigins.has(origin)) return void response.writeHead(403).end();
      const site = request.headers["sec-fetch-site"];
      if (site !== undefined && site !== "same-origin" && site !== "none") {
        return void response.writeHead(403).end();
      }
    }
    if (path === "/events") return void streams.open(response);
    if (path === "/command") {
      const pid = Number(url.searchParams.get("pid"));
      const command = streams.fullCommand(pid, Number(url.searchParams.get("start")));
      if (command === undefined) return void response.writeHead(404).end();
      response.writeHead(200, { "content-type": "application/json", "cache-control": "no-store" });
      return void response.end(JSON.stringify(command));
    }
    const file = files.get(path);
    if (!file) return void response.writeHead(404).end();
    response.writeHead(200, { "content-type": file.contentType, "cache-control": "no-cache" });
    response.end(file.body);
  });
  await new Promise<void>((resolve, reject) => {
    server.once("error", reject);
    server.listen(options.port, "127.0.0.1", resolve);
  });
  const port = (server.address() as AddressInfo).port;
  allowedHosts = new Set([`127.0.0.1:${port}`, `localhost:${port}`]);
  allowedOrigins = new Set([...allowedHosts].map((host) => `http://${host}`));
  console.log(`procsampler dashboard of pid ${rootPid}: http://127.0.0.1:${port}/#token=${token.text}`);

  const stop = async (): Promise<void> => {
    streams.closeAll();
    server.close();
    await sidecar.close();
    process.exit(0);
  };
  process.once("SIGINT", () => void stop());
  process.once("SIGTERM", () => void stop());
  void sidecar.exited.then((exit) => {
    if (exit.requested) return;
    // Ctrl-C reaches the sidecar too, in the terminal's process group, maybe before it reaches us.
    if (exit.signal === "SIGINT") process.exit(0);
    console.error(`the sidecar ended: ${exit.stderr || `status ${exit.exitCode}, signal ${exit.signal}`}`);
    process.exit(1);
  });
}

main().catch((error: unknown) => {
  console.error(error instanceof Error ? error.message : error);
  process.exit(1);
});

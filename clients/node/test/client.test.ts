// The client against the real sidecar (PROCSAMPLER_BINARY, or build/procsampler), every event it
// receives checked against the schema; the documented examples and the example host's
// transcript checked the same way. The tests run at once, so none may block the event loop, and
// every wait is long enough for a loaded machine and named when it runs out.
import assert from "node:assert/strict";
import { execFile, spawn } from "node:child_process";
import { existsSync, mkdtempSync, readFileSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, describe, it } from "node:test";
import { text } from "node:stream/consumers";
import { setTimeout as sleep } from "node:timers/promises";
import { promisify } from "node:util";

import * as client from "../src/index.js";
import {
  CommandRefusedError,
  RequestTimeoutError,
  Sidecar,
  SidecarExitedError,
  UnreadableLineError,
  type StartOptions,
} from "../src/index.js";
import { checkFiles, problems, repoRoot, schemas } from "./schema.js";

const binaryPath = process.env["PROCSAMPLER_BINARY"] ?? `${repoRoot}build/procsampler`;
const scratch = mkdtempSync(join(tmpdir(), "procsampler-client-"));
const schemaProblems: string[] = [];
const WAIT_MS = 120_000;
// A program's standard output; a failure, or WAIT_MS without an end, rejects.
const run = async (file: string, args: string[]): Promise<string> =>
  (
    await promisify(execFile)(file, args, { timeout: WAIT_MS }).catch((error: Error & { killed?: boolean }) => {
      throw new Error(`${error.killed ? `not done within ${WAIT_MS} ms: ` : ""}${error.message}`);
    })
  ).stdout;
after(() => assert.deepEqual(schemaProblems, []));

async function start(options: StartOptions = {}): Promise<Sidecar<2 | 3>> {
  const sidecar = await Sidecar.start({ binaryPath, startTimeoutMs: WAIT_MS, ...options });
  schemaProblems.push(...problems(sidecar.hello, "event"));
  sidecar.on("event", (event) => schemaProblems.push(...problems(event, "event")));
  return sidecar;
}
// "ok" for a success, "command code" for a refusal, "exited signal" once the sidecar has ended.
function outcome(reason: unknown): string {
  if (reason instanceof CommandRefusedError) return `${reason.command} ${reason.code}`;
  if (reason instanceof SidecarExitedError) return `exited ${reason.signal}`;
  if (reason instanceof RequestTimeoutError) return `timeout ${reason.command}`;
  return reason instanceof UnreadableLineError ? "unreadable" : String(reason);
}
const outcomes = async (requests: Promise<unknown>[]): Promise<string[]> =>
  (await Promise.allSettled(requests)).map((result) => (result.status === "fulfilled" ? "ok" : outcome(result.reason)));
const pids = (snapshot: client.Snapshot<2 | 3>): number[] => snapshot.processes.map((p) => p.pid);
// Gone, or a zombie nobody has reaped yet.
const ended = (pid: number): boolean =>
  !existsSync(`/proc/${pid}/stat`) || / Z /.test(readFileSync(`/proc/${pid}/stat`, "utf8"));

describe("the client", { concurrency: true, timeout: 3 * WAIT_MS }, () => {
  it("answers and refuses every command in order, assembles history, and fails all waiting once killed", async () => {
    const sidecar = await start();
    const sleeper = spawn("sleep", ["30"], { stdio: "ignore" });
    assert.deepEqual(
      await outcomes([
        sidecar.setExternalProcesses([]),
        sidecar.sampleNow(),
        sidecar.readHistory(1000),
        sidecar.setStreaming(false),
      ]),
      ["setExternalProcesses not-configured", "sampleNow not-configured", "readHistory not-configured", "ok"],
    );
    const root = sidecar.hello.sidecarPid;
    await sidecar.configure({ rootPid: root, externalProcesses: [{ pid: sleeper.pid! }] });
    const both = [root, sleeper.pid!].sort((a, b) => a - b);
    assert.deepEqual(pids(await sidecar.sampleNow()), both);
    assert.deepEqual(
      await outcomes([
        sidecar.configure({ rootPid: -1 }),
        sidecar.setStreaming("yes" as unknown as boolean),
        sidecar.setSampleInterval(0),
        sidecar.setExternalProcesses([{ pid: sleeper.pid!, startTimeMs: 1000 }]),
      ]),
      ["configure invalid-command", "setStreaming invalid-command", "ok", "ok"],
    );
    // A start time in another second means another process: its tree is left out.
    assert.deepEqual(pids(await sidecar.sampleNow()), [root]);
    sleeper.kill();
    // 33 snapshots in all: an answer of two chunks, the stored snapshots without request ids.
    await Promise.all(Array.from({ length: 31 }, () => sidecar.sampleNow()));
    const history = await sidecar.readHistory(3600000);
    assert.deepEqual(
      history.map((s) => s.requestId ?? s.sequence),
      Array.from({ length: 33 }, (_, i) => i + 1),
    );
    // A stream ended by return() ends the next() that waits on it.
    const stopped = sidecar.snapshots();
    const stoppedNext = stopped.next();
    await stopped.return!();
    assert.deepEqual(await stoppedNext, { value: undefined, done: true });
    // Streaming is off, so the stream waits until the end. Stopped first, the sidecar cannot answer
    // however long this process waits for a processor before the kill.
    const stream = sidecar.snapshots();
    process.kill(root, "SIGSTOP");
    const waiting = [sidecar.sampleNow(), sidecar.readHistory(1000), stream.next(), stream.next()];
    process.kill(root, "SIGKILL");
    assert.deepEqual(await outcomes([...waiting, sidecar.setStreaming(true)]), Array(5).fill("exited SIGKILL"));
    assert.equal((await sidecar.close()).signal, "SIGKILL");
  });

  it("holds the sidecar back while a slow consumer lags behind the stream", async () => {
    // Snapshots larger than a pipe's buffer, so a sidecar whose output is not read blocks at once.
    const padded = Array.from({ length: 12 }, () =>
      spawn("sh", ["-c", "sleep 30", "x".repeat(16000)], { stdio: "ignore" }),
    );
    const sidecar = await start({ highWaterMark: 1 });
    const stream = sidecar.snapshots();
    await sidecar.setStreaming(true);
    await sidecar.configure({ rootPid: process.pid, sampleIntervalMs: 250 });
    const first = (await stream.next()).value as client.Snapshot;
    const [pausedAt, sequences] = [Date.now(), [first.sequence]];
    await sleep(2500);
    let during = 0;
    for await (const snapshot of stream) {
      sequences.push(snapshot.sequence);
      if (snapshot.sampledAtUnixMs > pausedAt + 2500) break;
      if (snapshot.sampledAtUnixMs > pausedAt) during++;
    }
    // Unread, the stream would have gathered about nine snapshots meanwhile.
    assert.ok(during <= 4, `${during} snapshots taken while the consumer slept`);
    const inTurn = sequences.map((_, i) => first.sequence + i);
    assert.deepEqual(sequences, inTurn);
    assert.equal((await sidecar.close()).exitCode, 0);
    for (const child of padded) child.kill();
  });

  it("hands a slow consumer only the newest snapshot in latest mode, never one older than an answer", async () => {
    const sidecar = await start({ streamMode: "latest" });
    const stream = sidecar.snapshots();
    await sidecar.setStreaming(true);
    await sidecar.configure({ rootPid: sidecar.hello.sidecarPid, sampleIntervalMs: 250 });
    const first = (await stream.next()).value as client.Snapshot;
    // The consumer lags until the sidecar has streamed three more.
    while ((await sidecar.readHistory(3600000)).filter((s) => s.sequence > first.sequence).length < 3) await sleep(250);
    const answer = await sidecar.sampleNow();
    const next = (await stream.next()).value as client.Snapshot;
    assert.ok(next.sequence > answer.sequence, `streamed ${next.sequence} after the answer ${answer.sequence}`);
    await sidecar.close();
  });

  it("ends a request on its timeout or abort, refuses bad numbers as the sidecar would, and goes on", async () => {
    const bad = [
      { type: "setSampleInterval", version: 2, sampleIntervalMs: 1.5 },
      { type: "readHistory", version: 2, requestId: "r", windowMs: -1 },
      { type: "configure", version: 2, rootPid: NaN, sampleIntervalMs: 0, externalProcesses: [] },
      { type: "setExternalProcesses", version: 2, processes: [{ pid: 2 ** 32 }] },
    ] as const;
    const raw = spawn(binaryPath);
    raw.stdin.end(bad.map((command) => JSON.stringify(command) + "\n").join(""));
    const events = (await text(raw.stdout)).trim().split("\n").slice(1);
    const words = events.map((line, i) => {
      const { code, recoverable, message } = JSON.parse(line) as client.ErrorEvent;
      return new CommandRefusedError(bad[i]!.type, code, recoverable, message).message;
    });

    const sidecar = await start({ startTimeoutMs: Infinity });
    const pid = sidecar.hello.sidecarPid;
    const refusals = await Promise.allSettled([
      sidecar.setSampleInterval(1.5),
      sidecar.readHistory(-1),
      sidecar.configure({ rootPid: NaN }),
      sidecar.setExternalProcesses([{ pid: 2 ** 32 }]),
    ]);
    const messages = refusals.map((r) => r.status === "rejected" && (r.reason as Error).message);
    assert.deepEqual(messages, words);
    await sidecar.configure({ rootPid: pid });
    process.kill(pid, "SIGSTOP");
    const aborts = new AbortController();
    const waiting = [
      sidecar.sampleNow({ timeoutMs: 1000 }),
      sidecar.readHistory(1000, { signal: aborts.signal }),
      sidecar.setStreaming(false, { timeoutMs: 1000 }),
    ];
    const unbounded = sidecar.sampleNow({ timeoutMs: Infinity });
    aborts.abort();
    assert.deepEqual(await outcomes(waiting), [
      "timeout sampleNow",
      "AbortError: This operation was aborted",
      "timeout setStreaming",
    ]);
    await assert.rejects(sidecar.sampleNow({ timeoutMs: NaN }), RangeError);
    process.kill(pid, "SIGCONT");
    assert.deepEqual(pids(await unbounded), [pid]);
    assert.deepEqual(pids(await sidecar.sampleNow()), [pid]);
    assert.equal((await sidecar.close()).exitCode, 0);
  });

  it("survives any line a sidecar writes, failing only the request that line answered", async () => {
    // Answers, in turn: null, a chunk without snapshots, a 600 MB snapshot line, then sound ones.
    const fake = join(scratch, "fake-sidecar.cjs");
    writeFileSync(
      fake,
      `#!${process.execPath}
      const write = (text) => new Promise((done) => process.stdout.write(text) ? done() : process.stdout.once("drain", done));
      const snapshot = (id, command) => '{"version":2,"type":"snapshot","sequence":1,"sampledAtUnixMs":1,' +
        '"collectionDurationMicros":1,"scannedProcessCount":1,"retainedProcessCount":1,"inaccessibleProcessCount":0,' +
        '"requestId":"' + id + '","externalProcesses":[],"processes":[{"pid":7,"ppid":0,"startTimeMs":0,"runTimeMs":0,' +
        '"name":"x","command":"' + command + '","status":"Run","cpuPercent":null,"cpuTimeMs":0,"residentBytes":0,' +
        '"virtualBytes":0,"ioReadBytes":0,"ioWriteBytes":0,"ioSemantics":"storage"}]}\\n';
      const huge = async (id) => {
        const [head, tail] = snapshot(id, "@").split("@");
        await write(head);
        const mebibyte = "x".repeat(1 << 20);
        for (let i = 0; i < 600; i++) await write(mebibyte);
        await write(tail);
      };
      const answers = [async () => write("null\\n"),
        async (id) => write('{"version":2,"type":"historyChunk","requestId":"' + id + '","done":true}\\n'), huge];
      let queue = write('{"version":2,"type":"hello","sidecarVersion":"0","sidecarPid":' + process.pid +
        ',"platform":"linux","arch":"x86_64","capabilities":{}}\\n');
      require("node:readline").createInterface({ input: process.stdin }).on("line", (line) => {
        const { requestId } = JSON.parse(line);
        const answer = answers.shift() ?? ((id) => write(snapshot(id, "sound")));
        if (requestId) queue = queue.then(() => answer(requestId));
      });`,
      { mode: 0o755 },
    );
    const sidecar = await Sidecar.start({ binaryPath: fake });
    const dropped: number[] = [];
    sidecar.on("unreadableLine", (error) => dropped.push(error.bytes));
    assert.deepEqual(
      await outcomes([sidecar.sampleNow(), sidecar.readHistory(1000), sidecar.sampleNow(), sidecar.sampleNow()]),
      ["unreadable", "unreadable", "unreadable", "ok"],
    );
    assert.deepEqual(dropped.slice(0, 2), [4, 75]);
    assert.ok(dropped[2]! > 600 * 2 ** 20, `the long line counted ${dropped[2]} bytes`);
    assert.equal((await sidecar.sampleNow()).processes[0]?.command, "sound");
    await sidecar.close();
  });

  it("reports the status and standard-error line of a sidecar that cannot write", async () => {
    const wrapper = join(scratch, "full-output.sh");
    writeFileSync(wrapper, `#!/bin/sh\nexec "${binaryPath}" >/dev/full\n`, { mode: 0o755 });
    const failure = (await Sidecar.start({ binaryPath: wrapper }).catch((error) => error)) as SidecarExitedError;
    assert.deepEqual([failure.name, failure.exitCode, failure.signal], ["SidecarExitedError", 1, null]);
    assert.match(failure.stderr, /^Error: Os \{ code: 28, kind: StorageFull, message: ".+" \}$/);
  });

  it("ends the sidecar when the host shuts it down early or exits without closing", async () => {
    const sidecar = await start();
    await sidecar.configure({ rootPid: sidecar.hello.sidecarPid, sampleIntervalMs: 250 });
    const stream = sidecar.snapshots();
    const answered = [sidecar.sampleNow(), sidecar.readHistory(1000)];
    const exit = await sidecar.shutdown();
    assert.deepEqual(await outcomes([...answered, sidecar.sampleNow()]), ["ok", "ok", "exited null"]);
    assert.deepEqual([exit.exitCode, (await stream.next()).done], [0, true]);

    const index = new URL("../src/index.js", import.meta.url).href;
    const host = `const sidecar = await (await import("${index}")).Sidecar.start({ binaryPath: "${binaryPath}",
      startTimeoutMs: ${WAIT_MS} }); await sidecar.configure({ rootPid: process.pid }); console.log(sidecar.hello.sidecarPid);`;
    const pid = Number(await run(process.execPath, ["--input-type=module", "-e", host]));
    for (const end = Date.now() + WAIT_MS; !ended(pid) && Date.now() < end;) await sleep(100);
    assert.ok(ended(pid), `sidecar ${pid} outlived its host by ${WAIT_MS} ms`);
  });

  it("has types that follow the schema, and documents only what the schema holds", async () => {
    const [events, commands] = [schemas.event.$defs, schemas.command.$defs];
    // Each list must name every key of its type and no other, in the order the schema lists them.
    type Words<S extends string> = S extends `${infer W} ${infer Rest}` ? W | Words<Rest> : S;
    type Exact<T, S extends string> = [keyof T, Words<S>] extends [Words<S>, keyof T] ? S : never;
    const same =
      <T>() =>
      <S extends string>(def: { properties: object }, keys: Exact<T, S>) =>
        assert.deepEqual(keys.split(" "), Object.keys(def.properties));
    same<client.HelloEvent>()(events.hello, "version type sidecarVersion sidecarPid platform arch capabilities");
    same<client.ErrorEvent>()(events.error, "version type code message recoverable");
    same<client.Snapshot>()(
      events.snapshot,
      "version type sequence sampledAtUnixMs collectionDurationMicros scannedProcessCount retainedProcessCount inaccessibleProcessCount requestId externalProcesses processes",
    );
    same<client.ExternalProcessEntry>()(events.externalProcessEntry, "pid startTimeMs");
    same<client.ProcessRecord>()(
      events.processRecord,
      "pid ppid startTimeMs runTimeMs name command status cpuPercent cpuTimeMs residentBytes virtualBytes ioReadBytes ioWriteBytes ioSemantics",
    );
    same<client.HistoryChunkEvent>()(events.historyChunk, "version type requestId done snapshots");

    const tagged = (defs: typeof events) => Object.keys(defs).filter((name) => defs[name].properties?.type);
    assert.deepEqual(checkFiles([`${repoRoot}docs/protocol.md`], [...tagged(commands), ...tagged(events)]), []);
  });

  it("runs the example host on events that follow the schema", async () => {
    const transcript = join(scratch, "watch.transcript");
    const options = `--plain --seconds 1 --interval-ms 250 --root-pid ${process.pid} --transcript`.split(" ");
    await run("python3", [`${repoRoot}examples/watch.py`, "--binary", binaryPath, ...options, transcript]);
    assert.deepEqual(checkFiles([transcript], ["hello", "configure", "setStreaming", "snapshot", "shutdown"]), []);
  });
});

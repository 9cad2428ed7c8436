// The client against the real sidecar (PROCSAMPLER_BINARY, or build/procsampler), every event it
// receives checked against the schema of its version; the documented examples and the example
// host's transcript checked the same way. The tests run at once, so none may block the event loop,
// and every wait is long enough for a loaded machine and named when it runs out.
import assert from "node:assert/strict";
import { execFile, spawn } from "node:child_process";
import { existsSync, mkdtempSync, readFileSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, describe, it } from "node:test";
import { setTimeout as sleep } from "node:timers/promises";
import { promisify } from "node:util";

import * as client from "../src/index.js";
import { checkFiles, problems, repoRoot, schemas, schemasV3 } from "./schema.js";

const { CommandRefusedError, RequestTimeoutError, Sidecar, SidecarExitedError, UnreadableLineError } = client;
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
function script(name: string, body: string): string {
  writeFileSync(join(scratch, name), body, { mode: 0o755 });
  return join(scratch, name);
}
after(() => assert.deepEqual(schemaProblems, []));

async function start(options: client.StartOptions = {}): Promise<client.Sidecar<2 | 3>> {
  const sidecar = await Sidecar.start({ binaryPath, startTimeoutMs: WAIT_MS, requestTimeoutMs: WAIT_MS, ...options });
  schemaProblems.push(...problems(sidecar.hello, "event"));
  sidecar.on("event", (event) => schemaProblems.push(...problems(event, "event")));
  return sidecar;
}
// "ok" for a success, "command code" for a refusal, "exited signal" once the sidecar has ended...
const outcomes = async (requests: Promise<unknown>[]): Promise<string> =>
  (await Promise.allSettled(requests))
    .map((result) => {
      const reason: unknown = result.status === "fulfilled" ? "ok" : result.reason;
      if (reason instanceof CommandRefusedError) return `${reason.command} ${reason.code}`;
      if (reason instanceof SidecarExitedError) return `exited ${reason.signal}`;
      if (reason instanceof RequestTimeoutError) return `timeout ${reason.command}`;
      return reason instanceof UnreadableLineError ? "unreadable" : String(reason);
    })
    .join(", ");
const pids = (snapshot: client.Snapshot<2 | 3>): number[] => snapshot.processes.map((p) => p.pid);
// Gone, or a zombie nobody has reaped yet.
const ended = (pid: number): boolean =>
  !existsSync(`/proc/${pid}/stat`) || / Z /.test(readFileSync(`/proc/${pid}/stat`, "utf8"));

describe("the client", { concurrency: true, timeout: 3 * WAIT_MS }, () => {
  // A sidecar older than version 3 ignores its arguments and speaks version 2, as this one does.
  const older = script("older-sidecar.sh", `#!/bin/sh\nexec "${binaryPath}"\n`);
  for (const version of [3, 2] as const) {
    it(`speaks version ${version}: answers every command in order, gives up on request, fails all once killed`, async () => {
      const sidecar = await start({ binaryPath: version === 3 ? binaryPath : older, startTimeoutMs: Infinity });
      assert.equal(sidecar.protocolVersion, version);
      const { platform, arch } = sidecar.hello;
      assert.deepEqual([client.nodePlatform(platform), client.nodeArch(arch)], [process.platform, process.arch]);
      const sleeper = spawn("sleep", ["30"], { stdio: "ignore" });
      const early = [sidecar.setExternalProcesses([]), sidecar.sampleNow(), sidecar.readHistory(1000)];
      const refused = "setExternalProcesses not-configured, sampleNow not-configured, readHistory not-configured, ok";
      assert.equal(await outcomes([...early, sidecar.setStreaming(false)]), refused);
      const root = sidecar.hello.sidecarPid;
      await sidecar.configure({ rootPid: root, externalProcesses: [{ pid: sleeper.pid! }] });
      const both = [root, sleeper.pid!].sort((a, b) => a - b);
      assert.deepEqual(pids(await sidecar.sampleNow()), both);
      const later = [{ pid: sleeper.pid!, startTimeMs: 1000 }];
      const bad = sidecar.setStreaming("yes" as unknown as boolean);
      const good = [sidecar.setSampleInterval(0), sidecar.setExternalProcesses(later)];
      assert.equal(await outcomes([bad, ...good]), "setStreaming invalid-command, ok, ok");
      // Numbers the sidecar would refuse are refused before sending, in its words.
      const numbers = [sidecar.setSampleInterval(1.5), sidecar.readHistory(-1), sidecar.configure({ rootPid: NaN })];
      const words = await Promise.all(numbers.map((refusal) => refusal.catch((error: Error) => error.message)));
      assert.deepEqual(words, [
        "setSampleInterval refused (invalid-command): invalid command: invalid type: floating point `1.5`, expected u64",
        "readHistory refused (invalid-command): invalid command: invalid value: integer `-1`, expected u64",
        "configure refused (invalid-command): invalid command: invalid type: null, expected u32",
      ]);
      // A start time in another second means another process: its tree is left out.
      assert.deepEqual(pids(await sidecar.sampleNow()), [root]);
      sleeper.kill();
      // 33 snapshots in all: an answer of two chunks, the stored snapshots without request ids.
      await Promise.all(Array.from({ length: 31 }, () => sidecar.sampleNow()));
      const history = (await sidecar.readHistory(3600000)).map((s) => s.requestId ?? s.sequence);
      assert.deepEqual(history, [...Array(34).keys()].slice(1));
      // Version 2 would ignore stepMs and answer with snapshots.
      const steps = (sidecar as client.Sidecar<3>).readHistory(3600000, { stepMs: 1000 });
      const counted = async () => (await steps).reduce((count, step) => count + step.snapshotCount, 0);
      if (version === 2) assert.equal(await outcomes([steps]), "readHistory invalid-command");
      else assert.equal(await counted(), 33);
      const unsteps = [0, 0.5].map((stepMs) => (sidecar as client.Sidecar<3>).readHistory(1000, { stepMs }));
      assert.equal(await outcomes(unsteps), "readHistory invalid-command, readHistory invalid-command");
      // A stream ended by return() ends the next() that waits on it.
      const stopped = sidecar.snapshots();
      const stoppedNext = stopped.next();
      await stopped.return!();
      assert.deepEqual(await stoppedNext, { value: undefined, done: true });

      // Stopped, the sidecar answers nothing until it goes on, however long this process waits for a
      // processor; the answers after the requests given up still find theirs.
      process.kill(root, "SIGSTOP");
      const [limit, aborts] = [{ timeoutMs: 1000 }, new AbortController()];
      const gone = [sidecar.sampleNow(limit), sidecar.readHistory(1000, { signal: aborts.signal })];
      const silent = sidecar.setStreaming(false, limit);
      const unbounded = sidecar.sampleNow({ timeoutMs: Infinity });
      aborts.abort();
      const expected = "timeout sampleNow, AbortError: This operation was aborted, timeout setStreaming";
      assert.equal(await outcomes([...gone, silent]), expected);
      await assert.rejects(sidecar.sampleNow({ timeoutMs: NaN }), RangeError);
      process.kill(root, "SIGCONT");
      assert.deepEqual(pids(await unbounded), [root]);
      // Streaming is off, so the stream waits until the end.
      const stream = sidecar.snapshots();
      process.kill(root, "SIGSTOP");
      const waiting = [sidecar.sampleNow(), sidecar.readHistory(1000), stream.next(), stream.next()];
      process.kill(root, "SIGKILL");
      const killed = Array(5).fill("exited SIGKILL").join(", ");
      assert.equal(await outcomes([...waiting, sidecar.setStreaming(true)]), killed);
      assert.equal((await sidecar.close()).signal, "SIGKILL");
    });
  }

  it("holds a version 2 sidecar back while a slow consumer lags behind the stream", async () => {
    // Snapshots larger than a pipe's buffer, so a sidecar whose output is not read blocks at once.
    const pad = "x".repeat(16000);
    const padded = Array.from({ length: 12 }, () => spawn("sh", ["-c", "sleep 30", pad], { stdio: "ignore" }));
    const sidecar = await Sidecar.start({ binaryPath, highWaterMark: 1, protocol: 2 });
    assert.equal(sidecar.protocolVersion, 2);
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
    assert.ok(sidecar.speaks(3));
    const stream = sidecar.snapshots();
    await sidecar.setStreaming(true, { latest: true });
    await sidecar.configure({ rootPid: sidecar.hello.sidecarPid, sampleIntervalMs: 250 });
    const first = (await stream.next()).value as client.Snapshot<3>;
    // The consumer lags until the sidecar has streamed three more.
    while ((await sidecar.readHistory(3600000)).filter((s) => s.sequence > first.sequence).length < 3) await sleep(250);
    const answer = await sidecar.sampleNow();
    const next = (await stream.next()).value as client.Snapshot<3>;
    assert.ok(next.sequence > answer.sequence, `streamed ${next.sequence} after the answer ${answer.sequence}`);
    // Only a sidecar streaming with latest counts what it skipped.
    assert.equal(typeof next.skippedSnapshots, "number");
    // Shut down early, the sidecar still answers what came before, and the stream ends.
    const answered = [sidecar.sampleNow(), sidecar.readHistory(1000)];
    const exit = await sidecar.shutdown();
    assert.equal(await outcomes([...answered, sidecar.sampleNow()]), "ok, ok, exited null");
    assert.deepEqual([exit.exitCode, (await stream.next()).done], [0, true]);
  });

  it("survives any line a sidecar writes, failing only the request that line answered", async () => {
    // Answers, in turn: null, a chunk without snapshots, a 600 MB snapshot line, then sound ones.
    const fake = script(
      "fake-sidecar.cjs",
      `#!${process.execPath}
      const out = (text) => new Promise((done) => process.stdout.write(text) ? done() : process.stdout.once("drain", done));
      const line = (event) => out(JSON.stringify({ version: 2, ...event }) + "\\n");
      const snapshot = (requestId, command) => JSON.stringify({ version: 2, type: "snapshot", sequence: 1,
        sampledAtUnixMs: 1, collectionDurationMicros: 1, scannedProcessCount: 1, retainedProcessCount: 1,
        inaccessibleProcessCount: 0, requestId, externalProcesses: [], processes: [{ pid: 7, ppid: 0, startTimeMs: 0,
        runTimeMs: 0, name: "x", command, status: "Run", cpuPercent: null, cpuTimeMs: 0, residentBytes: 0,
        virtualBytes: 0, ioReadBytes: 0, ioWriteBytes: 0, ioSemantics: "storage" }] }) + "\\n";
      const huge = async (id) => {
        const [head, tail] = snapshot(id, "@").split("@");
        for (const part of [head, ...Array(600).fill("x".repeat(1 << 20)), tail]) await out(part);
      };
      const answers = [() => out("null\\n"), (requestId) => line({ type: "historyChunk", requestId, done: true }), huge];
      let queue = line({ type: "hello", sidecarVersion: "0", sidecarPid: process.pid, platform: "linux",
        arch: "x86_64", capabilities: {} });
      require("node:readline").createInterface({ input: process.stdin }).on("line", (line) => {
        const { requestId } = JSON.parse(line);
        const answer = answers.shift() ?? ((id) => out(snapshot(id, "sound")));
        if (requestId) queue = queue.then(() => answer(requestId));
      });`,
    );
    const sidecar = await Sidecar.start({ binaryPath: fake });
    const dropped: number[] = [];
    sidecar.on("unreadableLine", (error) => dropped.push(error.bytes));
    const requests = [sidecar.sampleNow(), sidecar.readHistory(1000), sidecar.sampleNow(), sidecar.sampleNow()];
    assert.equal(await outcomes(requests), "unreadable, unreadable, unreadable, ok");
    assert.deepEqual(dropped.slice(0, 2), [4, 75]);
    assert.ok(dropped[2]! > 600 * 2 ** 20, `the long line counted ${dropped[2]} bytes`);
    assert.equal((await sidecar.sampleNow()).processes[0]?.command, "sound");
    await sidecar.close();
  });

  it("reports the status and standard-error line of a sidecar that cannot write", async () => {
    const wrapper = script("full-output.sh", `#!/bin/sh\nexec "${binaryPath}" >/dev/full\n`);
    const failure = (await Sidecar.start({ binaryPath: wrapper }).catch((error) => error)) as client.SidecarExitedError;
    assert.deepEqual([failure.name, failure.exitCode, failure.signal], ["SidecarExitedError", 1, null]);
    assert.match(failure.stderr, /^Error: Os \{ code: 28, kind: StorageFull, message: ".+" \}$/);
  });

  it("says which binary could not be started, and why", async () => {
    const binary = join(scratch, "not-executable");
    writeFileSync(binary, "");
    const failure = (await Sidecar.start({ binaryPath: binary }).catch((error) => error)) as Error;
    assert.equal(failure.message, `the sidecar ${binary} could not be started: EACCES (permission denied)`);
    assert.equal((failure.cause as { code: string }).code, "EACCES");
  });

  it("recognises its errors from another copy of the client with instanceof", async () => {
    // Another module instance, as the CommonJS build or a second bundle would be.
    const copy = (await import(new URL("../src/errors.js?copy", import.meta.url).href)) as typeof client;
    const exit = { exitCode: 1, signal: null, stderr: "", requested: false };
    const types = [CommandRefusedError, SidecarExitedError, UnreadableLineError, RequestTimeoutError];
    const errors = [
      new copy.CommandRefusedError("sampleNow", "not-configured", true, ""),
      new copy.SidecarExitedError(exit),
      new copy.UnreadableLineError(1, ""),
      new copy.RequestTimeoutError("sampleNow", 1),
    ];
    const matches = errors.map((error) => types.map((type) => Number(error instanceof type)).join(""));
    assert.deepEqual(matches, ["1000", "0100", "0010", "0001"]);
    class Mine extends RequestTimeoutError {}
    const others = [new Mine("sampleNow", 1) instanceof RequestTimeoutError, errors[3] instanceof Mine];
    assert.deepEqual([...others, new Error() instanceof CommandRefusedError], [true, false, false]);
  });

  it("ends the sidecar when the host exits without closing", async () => {
    const index = new URL("../src/index.js", import.meta.url).href;
    const host = `const sidecar = await (await import("${index}")).Sidecar.start({ binaryPath: "${binaryPath}",
      startTimeoutMs: ${WAIT_MS} }); await sidecar.configure({ rootPid: process.pid }); console.log(sidecar.hello.sidecarPid);`;
    const pid = Number(await run(process.execPath, ["--input-type=module", "-e", host]));
    for (const end = Date.now() + WAIT_MS; !ended(pid) && Date.now() < end;) await sleep(100);
    assert.ok(ended(pid), `sidecar ${pid} outlived its host by ${WAIT_MS} ms`);
  });

  it("tells a tree's starts and exits through lifecycle() and as events, and only in version 3", async () => {
    const older = await start({ protocol: 2 });
    const refusal = older.configure({ rootPid: process.pid, lifecycle: true });
    await assert.rejects(refusal, /lifecycle needs protocol version 3/);
    await older.close();
    const sidecar = (await start()) as client.Sidecar<3>;
    const sleeper = spawn("sleep", ["30"], { stdio: "ignore" });
    const events = sidecar.lifecycle();
    const exited = new Promise<client.ProcessExitedEvent>((resolve) => sidecar.on("processExited", resolve));
    const root = sidecar.hello.sidecarPid;
    await sidecar.configure({ rootPid: root, externalProcesses: [{ pid: sleeper.pid! }], lifecycle: true });
    const started = [(await events.next()).value, (await events.next()).value].map((e) => `${e.type} ${e.pid}`);
    assert.deepEqual(started.sort(), [`processStarted ${root}`, `processStarted ${sleeper.pid}`].sort());
    sleeper.kill("SIGKILL");
    const told = (await events.next()).value;
    assert.deepEqual([told.type, told.pid, told.process.name], ["processExited", sleeper.pid, "sleep"]);
    assert.equal((await exited).exitedAtUnixMs, told.exitedAtUnixMs);
    await sidecar.close();
    assert.deepEqual(await events.next(), { value: undefined, done: true });
  });

  it("has types that follow the schemas, and documents only what the schema holds", async () => {
    const [events, commands, v3] = [schemas.event.$defs, schemas.command.$defs, schemasV3.event.$defs];
    // Each list must name every key of its type and no other, in the order the schema lists them.
    type Words<S extends string> = S extends `${infer W} ${infer Rest}` ? W | Words<Rest> : S;
    type Exact<T, S extends string> = [keyof T, Words<S>] extends [Words<S>, keyof T] ? S : never;
    const same =
      <T>() =>
      <S extends string>(def: { properties: object }, keys: Exact<T, S>) =>
        assert.deepEqual(keys.split(" "), Object.keys(def.properties));
    // Those a host reads; the version 3 types are built on version 2's, so a slip there shows here.
    same<client.HelloEvent<3>>()(
      v3.hello,
      "version type protocolVersions sidecarVersion sidecarPid platform arch capabilities",
    );
    same<client.Snapshot<3>>()(
      v3.snapshot,
      "version type sequence sampledAtUnixMs collectionDurationMicros scannedProcessCount retainedProcessCount inaccessibleProcessCount requestId skippedSnapshots machine externalProcesses processes",
    );
    same<client.MachineTotals>()(
      v3.machineTotals,
      "cpuCount cpuPercent memoryTotalBytes memoryAvailableBytes uptimeMs",
    );
    same<client.ExternalProcessEntry>()(v3.externalProcessEntry, "pid startTimeMs");
    same<client.ProcessRecord<3>>()(
      v3.processRecord,
      "pid ppid startTimeMs runTimeMs name command status cpuPercent cpuTimeMs residentBytes virtualBytes ioReadBytes ioWriteBytes ioSemantics uid threads footprintBytes argv",
    );
    same<client.HistoryStep>()(v3.historyStep, "startUnixMs snapshotCount machine processes");
    same<client.MachineSummary>()(v3.machineSummary, "cpuPercentMean cpuPercentMax memoryAvailableBytesMin");
    // The names hello may give (CMakeLists.txt picks the sidecar's from the version 2 list): a
    // Record must have every one of the type's keys and no other.
    const platforms: Record<client.HelloEvent["platform"], null> = { linux: null, macos: null, windows: null };
    const arches: Record<client.HelloEvent["arch"], null> = { x86_64: null, aarch64: null };
    for (const hello of [events.hello, v3.hello]) {
      assert.deepEqual(hello.properties.platform.enum, Object.keys(platforms));
      assert.deepEqual(hello.properties.arch.enum, Object.keys(arches));
    }
    same<client.ProcessStartedEvent>()(v3.processStarted, "version type pid ppid startTimeMs process");
    same<client.ProcessExitedEvent>()(v3.processExited, "version type pid startTimeMs exitedAtUnixMs process");
    same<client.ProcessSummary>()(
      v3.processSummary,
      "pid startTimeMs sampleCount cpuPercentMean cpuPercentMax residentBytesMax footprintBytesMax",
    );

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

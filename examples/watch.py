#!/usr/bin/env python3
"""A small host for the procsampler sidecar: the reference example of driving it.

It starts the sidecar, waits for its hello, configures it with a root pid and a 1 s interval,
turns streaming on and shows every snapshot: a live, refreshing table on a terminal, plain text
lines otherwise. It stops after --seconds or on Ctrl-C and sends shutdown. With --protocol 3 it
asks for version 3 and, when the sidecar speaks it, streams only the latest snapshot (a slow
terminal never falls behind), waits for the acknowledgement of its configuration and shows the
machine's totals above the processes.

Python 3 standard library only.
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import time

PROTOCOL_VERSIONS = (2, 3)


def parse_args():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description="Watch a process tree through procsampler.")
    parser.add_argument("--binary", default=os.path.join(here, "..", "build", "procsampler"),
                        help="path to the sidecar (default: build/procsampler)")
    parser.add_argument("--root-pid", type=int, default=1,
                        help="root of the tree to watch (default 1: the whole machine)")
    parser.add_argument("--seconds", type=float, default=10.0,
                        help="how long to watch (default 10)")
    parser.add_argument("--interval-ms", type=int, default=1000,
                        help="sample interval in milliseconds (default 1000)")
    parser.add_argument("--plain", action="store_true",
                        help="print plain lines even on a terminal")
    parser.add_argument("--protocol", type=int, choices=PROTOCOL_VERSIONS, default=2,
                        help="the protocol version to ask for (default 2)")
    parser.add_argument("--transcript", metavar="PATH",
                        help="append every line exchanged, '> ' commands and '< ' events, to PATH")
    return parser.parse_args()


class Sidecar:
    """Owns the child process and speaks the JSON-lines protocol with it."""

    def __init__(self, binary, protocol, transcript=None):
        arguments = [binary] if protocol == 2 else [binary, "--protocol", str(protocol)]
        self.process = subprocess.Popen(
            arguments, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
        self.version = 2  # what the sidecar's hello says it speaks
        self.transcript = open(transcript, "a", encoding="utf-8") if transcript else None

    def record(self, arrow, line):
        if self.transcript:
            self.transcript.write(arrow + line.rstrip("\n") + "\n")
            self.transcript.flush()

    def send(self, command_type, **fields):
        command = {"type": command_type, "version": self.version, **fields}
        line = json.dumps(command, separators=(",", ":")) + "\n"
        self.record("> ", line)
        self.process.stdin.write(line.encode("utf-8"))
        self.process.stdin.flush()

    def read_event(self):
        """The next event as a dict, or None when the sidecar has closed its output."""
        line = self.process.stdout.readline()
        if not line:
            return None
        self.record("< ", line.decode("utf-8"))
        return json.loads(line)

    def close(self):
        """Sends shutdown and reads what the sidecar still writes until it exits: left unread, a
        snapshot larger than the pipe would keep it blocked before it ever reads the shutdown."""
        try:
            self.send("shutdown")
        except (BrokenPipeError, OSError):
            pass
        try:
            rest, _ = self.process.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            rest, _ = self.process.communicate()
        for line in rest.decode("utf-8", "replace").splitlines(keepends=True):
            if line.endswith("\n"):
                self.record("< ", line)
        return self.process.returncode


def human_bytes(count):
    if count is None:  # version 3: a figure the kernel refused
        return "n/a"
    for unit in ("B", "K", "M", "G", "T"):
        if count < 1024 or unit == "T":
            return f"{count:.0f}{unit}" if unit == "B" else f"{count:.1f}{unit}"
        count /= 1024.0
    return str(count)


def tree_order(processes, root_pids):
    """Rows in tree order (parents before children), each with its depth."""
    by_pid = {p["pid"]: p for p in processes}
    children = {}
    for p in processes:
        children.setdefault(p["ppid"], []).append(p)
    for kids in children.values():
        kids.sort(key=lambda p: p["pid"])
    tops = [p for p in processes if p["ppid"] not in by_pid or p["pid"] in root_pids]
    rows, seen = [], set()
    stack = [(p, 0) for p in sorted(tops, key=lambda p: p["pid"], reverse=True)]
    while stack:
        process, depth = stack.pop()
        if process["pid"] in seen:
            continue
        seen.add(process["pid"])
        rows.append((process, depth))
        for child in reversed(children.get(process["pid"], [])):
            stack.append((child, depth + 1))
    return rows


HEADER = f"{'PID':>7} {'PPID':>7} {'STATE':<9} {'CPU%':>6} {'RSS':>8} {'READ':>8} {'WRITE':>8}  NAME"


def format_row(process, depth):
    cpu = process["cpuPercent"]
    cpu_text = "  n/a" if cpu is None else f"{cpu:6.1f}"
    name = "  " * depth + process["name"]
    return (f"{process['pid']:>7} {process['ppid']:>7} {process['status'][:9]:<9} {cpu_text:>6} "
            f"{human_bytes(process['residentBytes']):>8} {human_bytes(process['ioReadBytes']):>8} "
            f"{human_bytes(process['ioWriteBytes']):>8}  {name}")


def machine_line(snapshot):
    """Version 3's machine totals in one line; None in version 2, which has none."""
    machine = snapshot.get("machine")
    if machine is None:
        return None

    def shown(value, text):
        return "n/a" if value is None else text(value)
    cpu = shown(machine["cpuPercent"], lambda v: f"{v:.1f}%")
    cpus = shown(machine["cpuCount"], str)
    available = human_bytes(machine["memoryAvailableBytes"])
    total = human_bytes(machine["memoryTotalBytes"])
    uptime = shown(machine["uptimeMs"], lambda v: f"{v / 3_600_000:.1f} h")
    return (f"machine: CPU {cpu} of {cpus} CPUs, memory {available} available of {total}, "
            f"up {uptime}")


def show_live(snapshot, root_pid, started):
    width, height = shutil.get_terminal_size((100, 30))
    rows = tree_order(snapshot["processes"], {root_pid})
    lines = [
        f"procsampler  root {root_pid}  snapshot #{snapshot['sequence']}  "
        f"{snapshot['retainedProcessCount']} of {snapshot['scannedProcessCount']} processes  "
        f"collected in {snapshot['collectionDurationMicros'] / 1000:.1f} ms  "
        f"{time.monotonic() - started:.0f}s",
        machine_line(snapshot) or "",
        "",
        HEADER,
    ]
    room = max(height - len(lines) - 1, 1)
    lines += [format_row(p, d) for p, d in rows[:room]]
    if len(rows) > room:
        lines[-1] = f"... {len(rows) - room + 1} more"
    sys.stdout.write("\x1b[H\x1b[2J" + "\n".join(line[:width] for line in lines) + "\n")
    sys.stdout.flush()


def show_plain(snapshot):
    skipped = snapshot.get("skippedSnapshots")
    print(f"snapshot {snapshot['sequence']} at {snapshot['sampledAtUnixMs']}: "
          f"{snapshot['retainedProcessCount']} processes of {snapshot['scannedProcessCount']}"
          + (f", {skipped} skipped before it" if skipped else ""))
    if machine_line(snapshot):
        print("  " + machine_line(snapshot))
    for process, depth in tree_order(snapshot["processes"], set()):
        print("  " + format_row(process, depth))
    sys.stdout.flush()


def main():
    args = parse_args()
    live = sys.stdout.isatty() and not args.plain
    sidecar = Sidecar(args.binary, args.protocol, args.transcript)
    # Ctrl-C should end the watch cleanly rather than kill the sidecar with us mid-line.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    status = 0
    try:
        hello = sidecar.read_event()
        # A sidecar older than the version asked for says the one it speaks.
        if (not hello or hello.get("type") != "hello"
                or hello.get("version") not in range(2, args.protocol + 1)):
            print(f"unexpected first event: {hello!r}", file=sys.stderr)
            return 1
        sidecar.version = hello["version"]
        if not live:
            print(f"sidecar {hello['sidecarVersion']} pid {hello['sidecarPid']} "
                  f"on {hello['platform']}/{hello['arch']}"
                  + (f", protocol {sidecar.version}" if sidecar.version > 2 else ""))
        if sidecar.version >= 3:
            sidecar.send("setStreaming", enabled=True, latest=True)
            sidecar.send("configure", rootPid=args.root_pid, sampleIntervalMs=args.interval_ms,
                         externalProcesses=[], requestId="configure")
        else:
            sidecar.send("setStreaming", enabled=True)
            sidecar.send("configure", rootPid=args.root_pid, sampleIntervalMs=args.interval_ms,
                         externalProcesses=[])
        started = time.monotonic()
        while time.monotonic() - started < args.seconds:
            event = sidecar.read_event()
            if event is None:
                print("sidecar closed its output", file=sys.stderr)
                status = 1
                break
            if event["type"] == "error":
                print(f"sidecar error {event['code']}: {event['message']}", file=sys.stderr)
                if event.get("requestId") == "configure":
                    status = 1
                    break
            elif event["type"] == "ack" and not live:
                print(f"sidecar accepted {event['requestId']}")
            elif event["type"] == "snapshot":
                if live:
                    show_live(event, args.root_pid, started)
                else:
                    show_plain(event)
    except KeyboardInterrupt:
        pass
    finally:
        exit_status = sidecar.close()
    if not live:
        print(f"sidecar exited with status {exit_status}")
    return status or exit_status


if __name__ == "__main__":
    sys.exit(main())

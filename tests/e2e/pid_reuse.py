#!/usr/bin/env python3
"""An external process named with the start time of its own version 3 record is not matched once
its pid has gone to another process started in the same second. Runs itself in a pid namespace of
its own (unshare), where it hands the pid on by setting ns_last_pid; exits 77, skipped, where no
namespace can be made. Usage: pid_reuse.py SIDECAR"""
import json
import os
import subprocess
import sys
import time

INSIDE = "PROCSAMPLER_PID_REUSE_INSIDE"


class Sidecar:
    def __init__(self, path):
        self.child = subprocess.Popen([path, "--protocol", "3"], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, text=True)
        self.hello = json.loads(self.child.stdout.readline())
        self.asked = 0

    def ask(self, kind, **body):
        self.asked += 1
        body.update(type=kind, version=3, requestId=str(self.asked))
        self.child.stdin.write(json.dumps(body) + "\n")
        self.child.stdin.flush()
        return json.loads(self.child.stdout.readline())

    def externals(self, pid, start_ms):
        self.ask("setExternalProcesses", processes=[{"pid": pid, "startTimeMs": start_ms}])
        return self.ask("sampleNow")


def start_of(snapshot, pid):
    return next(p["startTimeMs"] for p in snapshot["processes"] if p["pid"] == pid)


def attempt(sidecar):
    """True when the pid went to a process of the same second, False to try again."""
    victim = subprocess.Popen(["sleep", "60"])
    start = start_of(sidecar.ask("sampleNow"), victim.pid)
    if start % 1000 == 0:  # a whole second names only the second: nothing to tell apart
        victim.kill(), victim.wait()
        return False
    matched = sidecar.externals(victim.pid, start)["externalProcesses"]
    assert matched == [{"pid": victim.pid, "startTimeMs": start}], matched
    victim.kill(), victim.wait()
    # Later than a start tick and its rounding can blur, so the two starts differ for the kernel.
    time.sleep(0.05)
    with open("/proc/sys/kernel/ns_last_pid", "w") as last:
        last.write(str(victim.pid - 1))
    newcomer = subprocess.Popen(["sleep", "60"])
    try:
        assert newcomer.pid == victim.pid, (newcomer.pid, victim.pid)
        snapshot = sidecar.externals(victim.pid, start)
        if start_of(snapshot, newcomer.pid) // 1000 != start // 1000:
            return False
        assert snapshot["externalProcesses"] == [], snapshot["externalProcesses"]
        # The same pid and second named as version 2 names them still match: the reuse is real.
        whole = start - start % 1000
        matched = sidecar.externals(victim.pid, whole)["externalProcesses"]
        assert [entry["pid"] for entry in matched] == [victim.pid], matched
        return True
    finally:
        newcomer.kill(), newcomer.wait()


def inside(path):
    sidecar = Sidecar(path)
    sidecar.ask("configure", rootPid=os.getpid(), sampleIntervalMs=0)
    for _ in range(10):
        if attempt(sidecar):
            sidecar.ask("shutdown")
            return 0
    print("no pid reused within one second in 10 attempts", file=sys.stderr)
    return 1


def main():
    if os.environ.get(INSIDE):
        return inside(sys.argv[1])
    command = ["unshare", "--user", "--pid", "--fork", "--map-root-user", "--mount-proc"]
    try:
        if subprocess.run(command + ["true"], capture_output=True).returncode != 0:
            print("skipped: no pid namespace here (unshare)")
            return 77
    except FileNotFoundError:
        print("skipped: no unshare")
        return 77
    env = dict(os.environ, **{INSIDE: "1"})
    return subprocess.run(command + [sys.executable, __file__, sys.argv[1]], env=env).returncode


if __name__ == "__main__":
    sys.exit(main())

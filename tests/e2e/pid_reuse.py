#!/usr/bin/env python3
"""An external process named with the start of its own version 3 record is not matched once its
pid has gone to another process of the same second. Runs itself in a pid namespace of its own,
where setting ns_last_pid hands the pid on; exits 77 (skipped) where none can be made.
Usage: pid_reuse.py SIDECAR"""
import json, os, subprocess, sys, time


def run(sidecar_path):
    sidecar = subprocess.Popen([sidecar_path, "--protocol", "3"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    sidecar.stdout.readline()  # hello

    def ask(kind, **body):
        sidecar.stdin.write(json.dumps(dict(body, type=kind, version=3, requestId="r")) + "\n")
        sidecar.stdin.flush()
        return json.loads(sidecar.stdout.readline())

    def matched(pid, start_ms):
        ask("setExternalProcesses", processes=[{"pid": pid, "startTimeMs": start_ms}])
        snapshot = ask("sampleNow")
        starts = {p["pid"]: p["startTimeMs"] for p in snapshot["processes"]}
        return snapshot["externalProcesses"], starts

    ask("configure", rootPid=os.getpid(), sampleIntervalMs=0)
    for _ in range(10):  # until a start with a millisecond part, handed on within its second
        victim = subprocess.Popen(["sleep", "60"])
        start = matched(victim.pid, None)[1][victim.pid]
        own = [{"pid": victim.pid, "startTimeMs": start}]
        assert start % 1000 == 0 or matched(victim.pid, start)[0] == own
        victim.kill(), victim.wait()
        time.sleep(0.05)  # past the 11 ms within which the kernel cannot tell two starts apart
        with open("/proc/sys/kernel/ns_last_pid", "w") as last:
            last.write(str(victim.pid - 1))
        successor = subprocess.Popen(["sleep", "60"])
        assert successor.pid == victim.pid, (successor.pid, victim.pid)
        found, starts = matched(victim.pid, start)
        # Named by the second alone, as version 2 names it, the successor matches: a real reuse.
        by_second = matched(victim.pid, start - start % 1000)[0]
        successor.kill(), successor.wait()
        if start % 1000 == 0 or starts[victim.pid] // 1000 != start // 1000:
            continue
        assert found == [] and [e["pid"] for e in by_second] == [victim.pid], (found, by_second)
        return 0
    print("no pid handed on within one second in 10 attempts", file=sys.stderr)
    return 1


if os.environ.get("PID_REUSE_INSIDE"):
    sys.exit(run(sys.argv[1]))
unshare = ["unshare", "--user", "--pid", "--fork", "--map-root-user", "--mount-proc"]
if subprocess.run(unshare + ["true"], capture_output=True).returncode != 0:
    print("skipped: no pid namespace can be made here (unshare)")
    sys.exit(77)
sys.exit(subprocess.run(unshare + [sys.executable, __file__, sys.argv[1]],
                        env=dict(os.environ, PID_REUSE_INSIDE="1")).returncode)

#!/usr/bin/env bash
# bench/e2e.sh BIN_DIR OUT_JSON: qgate-server under qgate-flood, end to end,
# on the loopback network only.
#
# Measures, with the plugin loaded:
#  - the highest rate of empty datagrams at which the ping's p99 stays under
#    two ticks, from 1 source and from 65,536 spoofed sources: first an
#    unpaced run (the flood tool's own limit), then doubling from 4,000/s and
#    bisecting; every step is one bounded run of a few seconds;
#  - a junk flood (32-byte datagrams) at each of those rates, the baseline;
#  - one run without the plugin, receives on the tick thread, for contrast;
#  - the server's CPU time per datagram (utime+stime from /proc/PID/stat over
#    the datagrams its net_stats counted), empty datagrams from 65,536
#    sources against junk ones at the same rate, in alternating runs.
# Uses the server's --net-thread when it has one (QG_E2E_NET_THREAD=0 or 1
# overrides).  Writes OUT_JSON as {"cpu_ratio", "note", "rows"}, the shape
# bench/report.py reads.  Progress goes to stderr.  The whole run takes a
# minute or two.
set -euo pipefail
if [[ $# -ne 2 ]]; then
  echo "usage: bench/e2e.sh BIN_DIR OUT_JSON" >&2
  exit 2
fi
exec python3 - "$@" <<'PY'
import json
import os
import queue
import subprocess
import sys
import threading
import time

BIN, OUT = sys.argv[1], sys.argv[2]
TICKRATE = 66.0
LIMIT_MS = 2000.0 / TICKRATE   # two ticks
STEP_SECONDS = 3               # one search step
PING_HZ = 100                  # 300 pings a step: p99 is the third worst
MAX_LOST = 0.01                # a step with more lost pings fails
FIRST_RATE = 4000
CPU_SECONDS = 5
CPU_ROUNDS = 2
JUNK_SIZE = 32
MANY = 65536


def log(text):
    print("e2e: " + text, file=sys.stderr, flush=True)


class Server:
    """qgate-server on a free loopback port, its console on a pipe."""

    def __init__(self, extra):
        self.proc = subprocess.Popen(
            [os.path.join(BIN, "qgate-server"), "--port", "0", "--tickrate",
             str(int(TICKRATE))] + extra,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        line = self.wait_for("listening on ", 10)
        self.port = int(line.rsplit(":", 1)[1])

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def wait_for(self, prefix, timeout):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            try:
                line = self.lines.get(timeout=max(left, 0.01))
            except queue.Empty:
                line = None
            if line is None:
                raise RuntimeError(f"qgate-server: no line {prefix!r}")
            if line.startswith(prefix):
                return line

    def net_stats(self):
        self.proc.stdin.write("net_stats\n")
        self.proc.stdin.flush()
        line = self.wait_for("net_stats:", 10)
        stats = {}
        for part in line[len("net_stats:"):].split(","):
            name, value = part.strip().rsplit(" ", 1)
            stats[name] = int(value)
        return stats

    def cpu_seconds(self):
        """utime + stime of the whole process, every thread included."""
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def drain(self):
        """Waits (at most 10 s) until the server has read what was sent."""
        last = None
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            count = self.net_stats()["datagrams"]
            if count == last:
                return
            last = count
            time.sleep(0.2)

    def close(self):
        try:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.close()
            self.proc.wait(timeout=5)
        except Exception:
            self.proc.kill()
            self.proc.wait()


def flood(server, sources, size, rate, seconds=None, count=None, ping=True):
    """One bounded run of qgate-flood; its JSON summary."""
    args = [os.path.join(BIN, "qgate-flood"),
            "--target", f"127.0.0.1:{server.port}", "--sources", str(sources),
            "--size", str(size), "--json", "--max-seconds", "60"]
    if rate:
        args += ["--rate", str(int(rate))]
    if seconds:
        args += ["--seconds", str(seconds)]
    if count:
        args += ["--count", str(count)]
    if ping:
        args += ["--ping", str(PING_HZ)]
    done = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=90)
    if done.returncode != 0:
        raise RuntimeError("qgate-flood: " + done.stderr.strip())
    return json.loads(done.stdout)


def passes(summary):
    p = summary["ping"]
    return (p["answered"] > 0 and p["lost"] <= MAX_LOST * p["sent"]
            and p["p99_ms"] < LIMIT_MS)


def describe(summary):
    p = summary["ping"]
    p99 = ("none answered" if p["p99_ms"] is None
           else f"p99 {p['p99_ms']:.1f} ms")
    return (f"{summary['rate']:,.0f}/s sent: ping {p99}, "
            f"{p['lost']} of {p['sent']} lost")


def fresh_server(extra, sources):
    """A new server; with many sources, every one of them seen once, so the
    table is warm before anything is timed."""
    server = Server(extra)
    if sources > 1:
        flood(server, sources, 0, 50000, count=2 * sources, ping=False)
        server.drain()
    return server


def step(server, sources, size, rate):
    """One timed run.  After a pass the server has caught up; after a fail
    it may hold a backlog, and the caller starts a fresh one."""
    s = flood(server, sources, size, rate, seconds=STEP_SECONDS)
    ok = passes(s)
    if ok:
        server.drain()
    asked = f"{rate:,.0f}/s" if rate else "unpaced"
    log(f"  {sources} source(s), {size} B, asked {asked}: "
        f"{describe(s)} -> {'pass' if ok else 'fail'}")
    return ok, s


def highest_rate(extra, sources):
    """The highest empty-datagram rate whose ping p99 stays under two ticks.
    Answers (that rate or 0, its run's summary or None, whether the flood
    tool's own limit capped it, the lowest rate seen to fail).  A passing
    rate is the one the tool achieved, which on a busy machine may fall
    short of the one asked."""
    server = fresh_server(extra, sources)

    def run(rate):
        nonlocal server
        ok, s = step(server, sources, 0, rate)
        if not ok:
            server.close()
            server = fresh_server(extra, sources)
        return ok, s

    try:
        ok, top = run(0)  # unpaced: as fast as the flood tool can send
        cap = top["rate"]
        if ok:
            return cap, top, True, None
        good, good_summary, bad = 0, None, cap
        rate = FIRST_RATE
        while rate < 0.9 * cap:
            ok, s = run(rate)
            if not ok:
                bad = rate
                break
            good, good_summary = s["rate"], s
            rate *= 2
        for _ in range(5):
            if bad <= good * 1.1 or bad - good < 100:
                break
            mid = int(round((good + bad) / 2, -2)) or 100
            ok, s = run(mid)
            if ok:
                good, good_summary = s["rate"], s
            else:
                bad = mid
        return good, good_summary, False, bad
    finally:
        server.close()


def cpu_run(server, size, rate):
    """One fixed-rate run from MANY sources without pings; the server's CPU
    seconds and the datagrams it read meanwhile."""
    cpu0, n0 = server.cpu_seconds(), server.net_stats()["datagrams"]
    flood(server, MANY, size, rate, seconds=CPU_SECONDS, ping=False)
    server.drain()
    cpu1, n1 = server.cpu_seconds(), server.net_stats()["datagrams"]
    log(f"  {size} B: {cpu1 - cpu0:.2f} s CPU for {n1 - n0} datagrams")
    return cpu1 - cpu0, n1 - n0


def ns_per_datagram(cpu, count):
    if count == 0 or cpu <= 0:
        raise RuntimeError("the server counted no datagrams or no CPU time")
    return cpu / count * 1e9


def main():
    help_text = subprocess.run([os.path.join(BIN, "qgate-server"), "--help"],
                               capture_output=True, text=True).stdout
    # QG_E2E_NET_THREAD: auto (default: when the server has the option),
    # 1 or 0.
    choice = os.environ.get("QG_E2E_NET_THREAD", "auto")
    use_thread = (choice == "1" or
                  (choice == "auto" and "--net-thread" in help_text))
    extra = ["--net-thread"] if use_thread else []
    threading_note = ("with --net-thread (receives on their own thread)"
                      if use_thread else "without --net-thread (receives "
                      "on the tick thread)")
    rows = []
    caps = {}
    mode = "?"

    for sources in (1, MANY):
        log(f"searching the highest empty rate, {sources} source(s)")
        rate, summary, capped, bad = highest_rate(extra, sources)
        plural = "s" if sources > 1 else ""
        label = (f"empty flood, {sources:,} source{plural}: highest rate "
                 f"with ping p99 under two ticks ({LIMIT_MS:.1f} ms)")
        if summary is None:
            rows.append([label, f"below {bad:,.0f}/s"])
            continue
        mode = summary["mode"]
        p99 = summary["ping"]["p99_ms"]
        if capped:
            rows.append([label, f"at least {rate:,.0f}/s, the flood tool's "
                         f"limit (p99 {p99:.1f} ms)"])
        else:
            rows.append([label, f"{rate:,.0f}/s (p99 {p99:.1f} ms)"])
        caps[sources] = rate
        log(f"junk flood at the same rate, {sources} source(s)")
        server = fresh_server(extra, sources)
        try:
            ok, junk = step(server, sources, JUNK_SIZE, rate)
        finally:
            server.close()
        rows.append([f"junk flood ({JUNK_SIZE}-byte datagrams), "
                     f"{sources:,} source{plural}, at that rate (baseline)",
                     describe(junk)])

    # Always on the tick thread: that is where empty datagrams hold the
    # queue back by a tick each.
    log("without the plugin, receives on the tick thread, for contrast")
    server = Server(["--no-plugin"])
    try:
        ok, s = step(server, 1, 0, 200)
        rows.append(["no plugin, receives on the tick thread: empty flood, "
                     "1 source, 200/s", describe(s)])
    finally:
        server.close()

    cpu_rate = int(min(200000, 0.6 * min(caps.values() or [100000])))
    cpu_rate = max(1000, cpu_rate // 1000 * 1000)
    log(f"server CPU per datagram at {cpu_rate}/s, {MANY} sources")
    server = fresh_server(extra, MANY)
    per = {0: [0.0, 0], JUNK_SIZE: [0.0, 0]}
    try:
        for _ in range(CPU_ROUNDS):
            for size in (0, JUNK_SIZE):
                cpu, count = cpu_run(server, size, cpu_rate)
                per[size][0] += cpu
                per[size][1] += count
    finally:
        server.close()
    empty_ns = ns_per_datagram(*per[0])
    junk_ns = ns_per_datagram(*per[JUNK_SIZE])
    ratio = empty_ns / junk_ns
    rows.append([f"server CPU per empty datagram, {MANY:,} sources, "
                 f"{cpu_rate:,}/s", f"{empty_ns:.0f} ns"])
    rows.append([f"server CPU per junk datagram, {MANY:,} sources, "
                 f"{cpu_rate:,}/s", f"{junk_ns:.0f} ns"])
    rows.append(["ratio empty / junk (target at most 1.1)", f"{ratio:.2f}"])
    if use_thread:
        # On a network thread empty datagrams cost CPU rather than latency:
        # without the filter each one ends a drain and costs a wait.
        log("without the plugin, CPU per empty datagram")
        server = Server(extra + ["--no-plugin"])
        try:
            bare_ns = ns_per_datagram(*cpu_run(server, 0, cpu_rate))
        finally:
            server.close()
        rows.append([f"no plugin, --net-thread: server CPU per empty "
                     f"datagram, {MANY:,} sources, {cpu_rate:,}/s",
                     f"{bare_ns:.0f} ns ({bare_ns / junk_ns:.2f}x junk)"])

    note = (f"Loopback only, qgate-server at {TICKRATE:.0f} ticks/s "
            f"{threading_note}, flooded by qgate-flood ({mode} sockets) "
            f"and pinged at {PING_HZ} Hz; a rate passes when a "
            f"{STEP_SECONDS}-s run keeps the ping's p99 under two ticks with "
            f"at most {MAX_LOST:.0%} of pings lost, found by an unpaced run "
            f"(the tool's limit) or by doubling from {FIRST_RATE:,}/s then "
            f"bisecting; CPU per datagram is the server's utime+stime "
            f"(/proc/PID/stat) over the datagrams its net_stats counted, in "
            f"{CPU_ROUNDS} alternating {CPU_SECONDS}-s runs of each kind.")
    os.makedirs(os.path.dirname(os.path.abspath(OUT)), exist_ok=True)
    with open(OUT, "w") as f:
        json.dump({"cpu_ratio": ratio, "note": note, "rows": rows}, f,
                  indent=1)
        f.write("\n")
    for name, value in rows:
        log(f"{name}: {value}")
    log(f"wrote {OUT}")


main()
PY

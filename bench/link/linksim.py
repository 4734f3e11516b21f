#!/usr/bin/env python3
"""The link simulator: the audit scenario of an operator across office and branch links.

Two private network namespaces stand for the operator's computer and the server computer,
joined by a veth pair. Bandwidth is shaped on both ends of the pair by tbf (each direction of
the link), round-trip time is added in user space by qmdw_delay_relay in the operator's
namespace (half of it each way; the relay also counts connections, bytes and exchanges). The
application server listens on the server's address with a site key, as it must beyond loopback;
the operator is the headless module played by qmdw_scenario, every request its own.

For each link it plays the scenario (browser, 审核 on the second document, 确定, 退出 and No) in
a fresh process ("first": nothing kept from before) and twice in one process (the second
showdll call is "repeated"), and reports medians of wall time, bytes and round trips on the
link, and the server's CPU time per scenario. The database is left as it was (the editor is left
with No). Besides, qmdw_list_probe opens the stock list twice in one process through a counting
relay: the bytes and round trips of a first open and of a reopen; and the server's CPU time per
repeated scenario from a process that plays it 1 + N times (--cpu-repeats) against one that plays
it once, finer than the clock ticks of one scenario.

Several builds can be measured in the same run, one after the other on every link (so that the
machine's load weighs on them alike): --bin DIR names this build, --baseline DIR another one
(an older commit's programs), each with its own application server on the same database.

    linksim.py --bin DIR --database sqlite:PATH [--baseline DIR] [--repeats N]
               [--rates LIST] [--rtts LIST] [--cpu-repeats N] [--out FILE.json]

LIST is comma-separated: rates like "unshaped,1gbit,100mbit,20mbit,4mbit", round-trip times in
milliseconds like "0,5,30,80" (each with the link unshaped). Needs root (namespaces, tc).
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CLIENT_IP, SERVER_IP = "10.77.0.1", "10.77.0.2"


def run(*cmd, check=True, **kw):
    return subprocess.run(list(cmd), check=check, **kw)


class Link:
    """The two namespaces and the veth pair between them."""

    def __init__(self):
        tag = str(os.getpid())
        self.client, self.server = f"qmdw-op-{tag}", f"qmdw-srv-{tag}"
        self.dev_c, self.dev_s = f"qc{tag}"[:15], f"qs{tag}"[:15]
        run("ip", "netns", "add", self.client)
        run("ip", "netns", "add", self.server)
        run("ip", "link", "add", self.dev_c, "type", "veth", "peer", "name", self.dev_s)
        run("ip", "link", "set", self.dev_c, "netns", self.client)
        run("ip", "link", "set", self.dev_s, "netns", self.server)
        for ns, dev, ip in ((self.client, self.dev_c, CLIENT_IP), (self.server, self.dev_s, SERVER_IP)):
            run("ip", "-n", ns, "addr", "add", ip + "/24", "dev", dev)
            run("ip", "-n", ns, "link", "set", dev, "up")
            run("ip", "-n", ns, "link", "set", "lo", "up")
            # Segments as a real link carries them, so that tbf sees packets, not 64 KB bursts.
            run("ip", "-n", ns, "link", "set", dev, "gso_max_size", "1514", check=False,
                stderr=subprocess.DEVNULL)

    def shape(self, rate):
        for ns, dev in ((self.client, self.dev_c), (self.server, self.dev_s)):
            run("tc", "-n", ns, "qdisc", "del", "dev", dev, "root", check=False,
                stderr=subprocess.DEVNULL)
            if rate == "unshaped":
                continue
            bits = parse_rate(rate)
            # A bucket of a few milliseconds of the rate (at least a few packets): the link
            # neither bursts far beyond its rate nor drops what a kernel timer tick delivers.
            burst = max(16 * 1514, int(bits / 8 / 250))
            run("tc", "-n", ns, "qdisc", "add", "dev", dev, "root", "tbf", "rate", rate,
                "burst", str(burst), "latency", "200ms")

    def in_client(self, *cmd):
        return ["ip", "netns", "exec", self.client, *cmd]

    def in_server(self, *cmd):
        return ["ip", "netns", "exec", self.server, *cmd]

    def close(self):
        run("ip", "netns", "del", self.client, check=False)
        run("ip", "netns", "del", self.server, check=False)


def parse_rate(rate):
    units = {"kbit": 1e3, "mbit": 1e6, "gbit": 1e9}
    for u, f in units.items():
        if rate.endswith(u):
            return float(rate[: -len(u)]) * f
    return float(rate)


def cpu_ms(pid):
    """The process's user + system CPU time so far (exited threads included), milliseconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])
    return ticks * 1000.0 / os.sysconf("SC_CLK_TCK")


def wait_for_file(path, tries=200, step=0.05):
    for _ in range(tries):
        if os.path.exists(path) and open(path).read().strip():
            return open(path).read().strip()
        time.sleep(step)
    sys.exit(f"linksim: {path} did not appear")


class Relay:
    def __init__(self, link, binary, target, one_way_ms, work):
        self.port_file = os.path.join(work, "relay.port")
        self.stats_file = os.path.join(work, "relay.json")
        for f in (self.port_file, self.stats_file):
            if os.path.exists(f):
                os.remove(f)
        self.proc = subprocess.Popen(link.in_client(
            binary, "--target", target, "--listen", "127.0.0.1", "--port", "0",
            "--port-file", self.port_file, "--one-way-ms", str(one_way_ms),
            "--stats", self.stats_file))
        self.host = "127.0.0.1:" + wait_for_file(self.port_file, 100, 0.02)

    def stop(self):
        self.proc.terminate()
        self.proc.wait()
        with open(self.stats_file) as f:
            return json.load(f)


class Build:
    """One build's programs and its application server in the server's namespace."""

    def __init__(self, name, bin_dir, link, database, key, work):
        self.name, self.bin = name, bin_dir
        port_file = os.path.join(work, f"appserver-{name}.port")
        self.log = os.path.join(work, f"appserver-{name}.log")
        self.server = subprocess.Popen(link.in_server(
            os.path.join(bin_dir, "appserver"), "--listen", SERVER_IP, "--port", "0",
            "--port-file", port_file, "--database", database, "--site-key", key,
            "--log-level", "warning"), stderr=open(self.log, "w"))
        self.target = SERVER_IP + ":" + wait_for_file(port_file)
        self.scenario = os.path.join(bin_dir, "qmdw_scenario")
        self.probe = os.path.join(bin_dir, "qmdw_list_probe")

    def stop(self):
        self.server.terminate()
        self.server.wait()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True,
                    help="folder of appserver, qmdw_scenario, qmdw_delay_relay, qmdw_list_probe")
    ap.add_argument("--baseline", help="another build's folder of appserver, qmdw_scenario and "
                                       "qmdw_list_probe, measured beside it")
    ap.add_argument("--database", required=True)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--rates", default="unshaped,1gbit,100mbit,20mbit,4mbit")
    ap.add_argument("--rtts", default="0,5,30,80")
    ap.add_argument("--cpu-repeats", type=int, default=10,
                    help="repeated scenarios in one process for the server's CPU (0: none)")
    ap.add_argument("--out")
    a = ap.parse_args()
    if os.geteuid() != 0:
        sys.exit("linksim: needs root (network namespaces and tc)")

    once = os.path.join(HERE, "audit_once.json")
    twice = os.path.join(HERE, "audit_twice.json")
    relay_bin = os.path.join(a.bin, "qmdw_delay_relay")
    work = tempfile.mkdtemp(prefix="qmdw-link.")
    key = os.path.join(work, "site.key")
    with open(key, "w") as f:
        f.write(os.urandom(32).hex() + "\n")
    env = dict(os.environ, QMDW_SITE_KEY_FILE=key)
    link = Link()
    builds = []
    try:
        builds.append(Build("after", a.bin, link, a.database, key, work))
        if a.baseline:
            builds.append(Build("before", a.baseline, link, a.database, key, work))

        def play(build, path, host):
            t0 = time.monotonic()
            c0 = cpu_ms(build.server.pid)
            r = subprocess.run(link.in_client(build.scenario, path, "--server-host", host,
                                              "--out", os.devnull),
                               env=env, capture_output=True, text=True)
            wall = time.monotonic() - t0
            if r.returncode != 0:
                sys.exit(f"linksim: the scenario of {build.name} failed on {host}:\n{r.stderr}")
            return wall, cpu_ms(build.server.pid) - c0

        def probe(build):
            """Bytes and round trips of the stock list's first open and of a reopen."""
            counts, times = {}, []
            for n in (1, 2):
                r = Relay(link, relay_bin, build.target, 0, work)
                out = subprocess.run(link.in_client(build.probe, "--host", r.host, "--times",
                                                    str(n)),
                                     env=env, capture_output=True, text=True)
                counts[n] = r.stop()
                if out.returncode != 0:
                    sys.exit(f"linksim: the list probe of {build.name} failed:\n{out.stderr}")
                times = [json.loads(line)["ms"] for line in out.stdout.splitlines() if line]
            one, two = counts[1], counts[2]
            row = {
                "build": build.name,
                "list_bytes_first": one["bytes_up"] + one["bytes_down"],
                "list_bytes_reopen": (two["bytes_up"] + two["bytes_down"]
                                      - one["bytes_up"] - one["bytes_down"]),
                "list_round_trips_reopen": two["round_trips"] - one["round_trips"],
                "list_first_ms_unshaped": round(times[0], 2),
                "list_reopen_ms_unshaped": round(times[1], 2),
            }
            print(json.dumps(row, ensure_ascii=False), flush=True)
            return row

        def measure(build, name, rate, rtt):
            link.shape(rate)
            relay = Relay(link, relay_bin, build.target, rtt / 2.0, work) if rtt > 0 else None
            host = relay.host if relay else build.target
            play(build, once, host)  # warm the server's caches and the page cache
            firsts, twices, cpu1, cpu2 = [], [], [], []
            for _ in range(a.repeats):
                w, c = play(build, once, host)
                firsts.append(w)
                cpu1.append(c)
                w, c = play(build, twice, host)
                twices.append(w)
                cpu2.append(c)
            if relay:
                relay.stop()
            # Bytes and round trips: the same scenarios once more through a relay that counts.
            counts = {}
            for label, path in (("once", once), ("twice", twice)):
                r = Relay(link, relay_bin, build.target, 0, work)
                play(build, path, r.host)
                counts[label] = r.stop()
            first, second = counts["once"], {k: counts["twice"][k] - counts["once"][k]
                                              for k in counts["once"]}
            med1 = statistics.median(firsts)
            med2 = statistics.median(twices)
            row = {
                "build": build.name,
                "link": name, "rate": rate, "rtt_ms": rtt,
                "first_s": round(med1, 4),
                "repeated_s": round(max(0.0, med2 - med1), 4),
                "server_cpu_first_ms": round(sum(cpu1) / len(cpu1), 2),
                "server_cpu_repeated_ms": round(max(0.0, (sum(cpu2) - sum(cpu1)) / len(cpu2)), 2),
                "bytes_first": first["bytes_up"] + first["bytes_down"],
                "bytes_repeated": second["bytes_up"] + second["bytes_down"],
                "round_trips_first": first["round_trips"],
                "round_trips_repeated": second["round_trips"],
                "connections_first": first["connections"],
                "load_average": os.getloadavg()[0],
            }
            print(json.dumps(row, ensure_ascii=False), flush=True)
            return row

        def server_cpu(build):
            """The server's CPU per repeated scenario, finer than one scenario's clock ticks: a
            process playing it once against one playing it 1 + N times, unshaped."""
            with open(once, encoding="utf-8") as f:
                one = json.load(f)
            many = dict(one, name=f"audit {1 + a.cpu_repeats} times in one process",
                        calls=one["calls"] * (1 + a.cpu_repeats))
            many_path = os.path.join(work, "audit_many.json")
            with open(many_path, "w", encoding="utf-8") as f:
                json.dump(many, f, ensure_ascii=False)
            play(build, once, build.target)
            c1 = statistics.median(play(build, once, build.target)[1] for _ in range(3))
            cn = statistics.median(play(build, many_path, build.target)[1] for _ in range(3))
            row = {"build": build.name,
                   "server_cpu_once_ms": c1,
                   "server_cpu_repeated_ms": round(max(0.0, cn - c1) / a.cpu_repeats, 2),
                   "cpu_repeats": a.cpu_repeats}
            print(json.dumps(row, ensure_ascii=False), flush=True)
            return row

        link.shape("unshaped")
        probes = [probe(b) for b in builds]
        cpu = [server_cpu(b) for b in builds] if a.cpu_repeats > 0 else []
        rows = []
        for rate in [r for r in a.rates.split(",") if r]:
            for b in builds:
                rows.append(measure(b, rate, rate, 0))
        for rtt in [float(x) for x in a.rtts.split(",") if x]:
            if rtt == 0 and "unshaped" in a.rates.split(","):
                continue
            for b in builds:
                rows.append(measure(b, f"rtt {rtt:g} ms", "unshaped", rtt))
        result = {"repeats": a.repeats, "database": a.database, "probes": probes, "cpu": cpu,
                  "rows": rows}
        if a.out:
            with open(a.out, "w") as f:
                json.dump(result, f, ensure_ascii=False, indent=2)
    finally:
        for b in builds:
            b.stop()
        link.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

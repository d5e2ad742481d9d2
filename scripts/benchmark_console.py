"""Measures the console edition (quillomarvet, natively on Linux) against simulated devices on
ptys and prints one table: one exchange's wall time; a bench of 64 ports named with --port, all
at once, beside it, with the CPU per device, peak memory and file descriptors in use; and the
CPU an idle --watch spends; the time from a verdict to its record on the disk with --log. With
--board (under umockdev-wrapper, as scripts/benchmark.sh runs it): the station board on an 80x24
pty, its CPU and bytes written while idle with 64 sockets, and its bytes while a bench resets at
once. It asserts nothing: it reports."""

import argparse
import calendar
import json
import os
import pty
import struct
import tempfile
import termios
import fcntl
import signal
import statistics
import subprocess
import sys
import threading
import time

from benchmark import ROOT, answer_every_command, harness, print_table


def measured(args, env, stop_after=None):
    """Wall seconds, CPU seconds, peak resident KiB and the most descriptors seen open of one
    run; with `stop_after`, SIGINT after that many seconds."""
    t0 = time.monotonic()
    proc = subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    most_fds, peak_kib = [0], [0]

    def sample():
        while proc.poll() is None:
            try:
                most_fds[0] = max(most_fds[0], len(os.listdir(f"/proc/{proc.pid}/fd")))
                with open(f"/proc/{proc.pid}/status") as status:
                    hwm = [line for line in status if line.startswith("VmHWM:")]
                peak_kib[0] = max(peak_kib[0], int(hwm[0].split()[1]))
            except (OSError, IndexError, ValueError):
                pass
            time.sleep(0.05)

    sampler = threading.Thread(target=sample)
    sampler.start()
    if stop_after:
        time.sleep(stop_after)
        proc.send_signal(signal.SIGINT)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    wall = time.monotonic() - t0
    sampler.join()
    err = proc.stderr.read().decode(errors="replace")
    if proc.returncode not in (0, -signal.SIGINT):
        print(f"{args[0]}: exit {proc.returncode}: {err}", file=sys.stderr)
    return wall, usage.ru_utime + usage.ru_stime, peak_kib[0], most_fds[0]


def log_latency(exe, env, devices):
    """Milliseconds from each verdict (the end of its exchange, as its record says) to the moment
    its record was seen in --log's file, for a bench of ports at once: median and worst."""
    with tempfile.TemporaryDirectory() as work:
        log = os.path.join(work, "log.jsonl")
        open(log, "w").close()
        seen, done = {}, threading.Event()

        def watch():
            with open(log, "rb") as f:
                while not done.is_set():
                    for line in f.readlines():
                        seen[line] = time.time()
                    time.sleep(0.0005)
        watcher = threading.Thread(target=watch)
        watcher.start()
        subprocess.run([exe, "--log", log, *[a for d in devices for a in ("--port", d.path)]],
                       env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.05)
        done.set()
        watcher.join()
    delays = []
    for line, at in seen.items():
        r = json.loads(line)
        if r["type"] == "exchange":
            started = calendar.timegm(time.strptime(r["started"][:19], "%Y-%m-%dT%H:%M:%S")) + \
                int(r["started"][20:23]) / 1000
            delays.append((at - started - r["seconds"]) * 1000)
    return statistics.median(delays), max(delays)


def cpu_seconds(pid, task=None):
    """CPU seconds of a process, or of one of its threads."""
    with open(f"/proc/{pid}/task/{task}/stat" if task else f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def other_threads_cpu(pid):
    """CPU seconds of every thread but the main one (the watch's): idle, the board's."""
    total = 0.0
    for task in os.listdir(f"/proc/{pid}/task"):
        if task != str(pid):
            try:
                total += cpu_seconds(pid, task)
            except OSError:
                pass  # an exchange's thread that just ended
    return total


def board(exe, sockets, at_once, idle, *options):
    """The board over umockdev adapters on an 80x24 pty: bytes a second while `at_once` present
    at the start reset together, then, with `sockets` in all, CPU and bytes a second idle."""
    import gi
    gi.require_version("UMockdev", "1.0")
    from gi.repository import UMockdev
    testbed = UMockdev.Testbed.new()
    devices = []

    def plug(first, count):
        adapters = [(f"ttyUSB{n - 1}", f"Bench {n - 1}") for n in range(first, first + count)]
        for node, _ in harness.umockdev_adapters(testbed, adapters, first):
            devices.append(harness.MockedDevice(testbed.get_dev_fd(node), answer_every_command()))
    plug(1, at_once)
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    env = dict(os.environ, UMOCKDEV_DIR=testbed.get_root_dir(), TERM="xterm-256color")
    env.pop("NO_COLOR", None)
    proc = subprocess.Popen([exe, "--watch", *options], stdin=slave, stdout=slave, stderr=slave, env=env,
                            start_new_session=True)
    os.close(slave)
    written, stop = [0], threading.Event()

    def read():
        while not stop.is_set():
            try:
                written[0] += len(os.read(master, 65536))
            except OSError:
                return
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    t0, b0 = time.monotonic(), written[0]
    time.sleep(4)  # settle (1 s), the two-second wait, and the verdicts drawn
    burst = (written[0] - b0) / (time.monotonic() - t0)
    for first in range(at_once + 1, sockets + 1, 2):  # a few at a time, as umockdev needs
        plug(first, min(2, sockets + 1 - first))
        time.sleep(0.3)
    time.sleep(4)
    t0, b0, c0, d0 = time.monotonic(), written[0], cpu_seconds(proc.pid), other_threads_cpu(proc.pid)
    time.sleep(idle)
    wall = time.monotonic() - t0
    idle_bytes, idle_cpu = (written[0] - b0) / wall, cpu_seconds(proc.pid) - c0
    drawing_cpu = other_threads_cpu(proc.pid) - d0
    proc.send_signal(signal.SIGINT)
    proc.wait()
    stop.set()
    os.close(master)
    for d in devices:
        d.close()
    return burst, idle_bytes, idle_cpu, drawing_cpu, wall


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", default=os.path.join(ROOT, "build/console-release/console/quillomarvet"))
    parser.add_argument("--devices", type=int, default=64)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--idle", type=float, default=60, help="seconds of idle --watch")
    parser.add_argument("--board", action="store_true",
                        help="the board's rows only (run under umockdev-wrapper)")
    parser.add_argument("--at-once", type=int, default=40,
                        help="adapters reset together under the board (umockdev's preload holds "
                             "about 45 open at once)")
    args = parser.parse_args()
    if args.board:
        burst, idle_bytes, idle_cpu, drawing_cpu, wall = board(args.exe, args.devices,
                                                               args.at_once, args.idle)
        _, _, plain_cpu, _, plain_wall = board(args.exe, args.devices, args.at_once, args.idle,
                                            "--plain")
        # No udev daemon runs under umockdev: the watch finds changes on its own.
        _, _, few_cpu, _, few_wall = board(args.exe, 40, 40, args.idle, "--plain")
        print_table([
            (f"idle --watch, 40 adapters, no udev daemon, CPU over {few_wall:.0f} s",
             f"{few_cpu * 1000:.0f} ms  ({few_cpu / few_wall * 100:.3f}% of a core; "
             "target < 0.5%)"),
            (f"watch with --plain (no board), {args.devices} sockets, CPU over {plain_wall:.0f} s",
             f"{plain_cpu * 1000:.0f} ms  ({plain_cpu / plain_wall * 100:.3f}% of a core)"),
            (f"board: idle, {args.devices} sockets, 80x24, whole program's CPU over {wall:.0f} s",
             f"{idle_cpu * 1000:.0f} ms  ({idle_cpu / wall * 100:.3f}% of a core)"),
            (f"board: idle, {args.devices} sockets, the board's thread's CPU over {wall:.0f} s",
             f"{drawing_cpu * 1000:.0f} ms  ({drawing_cpu / wall * 100:.3f}% of a core; "
             "target < 0.2%)"),
            (f"board: bytes to the terminal, idle with {args.devices} sockets",
             f"{idle_bytes:.1f} B/s"),
            (f"board: bytes to the terminal while {args.at_once} reset at once",
             f"{burst:.0f} B/s"),
        ])
        return

    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "UMOCKDEV_DIR")}
    devices = [harness.SimDevice(answer_every_command()) for _ in range(args.devices)]
    try:
        one, bench = [], []
        print(f"{args.runs} runs of one exchange and of {args.devices} ports at once; then "
              f"{args.idle:.0f} s of idle --watch", file=sys.stderr, flush=True)
        for _ in range(args.runs):
            one.append(measured([args.exe, "--port", devices[0].path], env))
            ports = [a for d in devices for a in ("--port", d.path)]
            bench.append(measured([args.exe, *ports], env))
        log_median, log_worst = log_latency(args.exe, env, devices)
    finally:
        for d in devices:
            d.close()
    idle_wall, idle_cpu, _, _ = measured([args.exe, "--watch"], env, stop_after=args.idle)
    events = os.path.exists("/run/udev/control")

    med = statistics.median
    wall = lambda runs: med(r[0] for r in runs)  # noqa: E731
    n = args.devices
    rows = [
        (f"console: one exchange, wall, median of {args.runs}", f"{wall(one) * 1000:.0f} ms"),
        (f"console: {n} ports at once (--port x {n}), wall, median", f"{wall(bench) * 1000:.0f} ms"),
        (f"console: {n} ports / one exchange", f"{wall(bench) / wall(one):.3f}  (target <= 1.15)"),
        ("console: CPU per exchange, one device", f"{med(r[1] for r in one) * 1000:.1f} ms"),
        (f"console: CPU per device among {n}", f"{med(r[1] for r in bench) / n * 1000:.1f} ms"),
        (f"console: peak memory, one / {n} ports",
         f"{med(r[2] for r in one) / 1024:.1f} / {med(r[2] for r in bench) / 1024:.1f} MiB"),
        (f"console: descriptors open at most, one / {n} ports",
         f"{max(r[3] for r in one)} / {max(r[3] for r in bench)}"),
        (f"console: idle --watch, CPU over {idle_wall:.0f} s",
         f"{idle_cpu * 1000:.0f} ms  ({'udev events' if events else 'no udev daemon: the kernel events, /sys/class/tty looked at'})"),
        (f"console: --log, verdict to its record on the disk, {n} ports at once",
         f"median {log_median:.1f} ms, worst {log_worst:.1f} ms"),
    ]
    print_table(rows)


if __name__ == "__main__":
    main()

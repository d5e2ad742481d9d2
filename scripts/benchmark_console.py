"""Measures the console edition (quillomarvet, natively on Linux) against simulated devices on
ptys and prints one table: one exchange's wall time; a bench of 64 ports named with --port, all
at once, beside it, with the CPU per device, peak memory and file descriptors in use; and the
CPU an idle --watch spends. It asserts nothing: it reports."""

import argparse
import os
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


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", default=os.path.join(ROOT, "build/console-release/console/quillomarvet"))
    parser.add_argument("--devices", type=int, default=64)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--idle", type=float, default=60, help="seconds of idle --watch")
    args = parser.parse_args()

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
         f"{idle_cpu * 1000:.0f} ms  ({'udev events' if events else 'no udev daemon: a look every 0.5 s'})"),
    ]
    print_table(rows)


if __name__ == "__main__":
    main()

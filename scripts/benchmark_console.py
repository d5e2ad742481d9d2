"""Measures the console edition (quillomarvet, natively on Linux) against simulated devices on
ptys and prints one table: one exchange's wall time, --all over a bench of simulated devices
beside it, and the CPU the program spends per exchange. It asserts nothing: it reports."""

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

from benchmark import ROOT, answer_every_command, harness, print_table


def timed(args, env):
    """Wall seconds and child CPU seconds of one run; the run's lines must all end well."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.monotonic()
    r = subprocess.run(args, env=env, capture_output=True, text=True, timeout=60)
    wall = time.monotonic() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if r.returncode != 0:
        print(f"{' '.join(args)}: exit {r.returncode}: {r.stdout}{r.stderr}", file=sys.stderr)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", default=os.path.join(ROOT, "build/console-release/console/quillomarvet"))
    parser.add_argument("--devices", type=int, default=8)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    devices = [harness.SimDevice(answer_every_command()) for _ in range(args.devices)]
    work = tempfile.mkdtemp(prefix="qm-bench-")
    try:
        sysfs, dev = harness.fake_sysfs(os.path.join(work, "tree"), [
            (f"ttyUSB{n}", f"Bench {n}", d.path) for n, d in enumerate(devices)])
        env = dict(os.environ, QM_SYSFS_ROOT=sysfs, QM_DEV_DIR=dev)
        one, one_cpu, bench, bench_cpu = [], [], [], []
        print(f"{args.runs} runs of one exchange and of --all over {args.devices} devices",
              file=sys.stderr, flush=True)
        for _ in range(args.runs):
            wall, cpu = timed([args.exe, "--port", devices[0].path], env)
            one.append(wall)
            one_cpu.append(cpu)
            wall, cpu = timed([args.exe, "--all"], env)
            bench.append(wall)
            bench_cpu.append(cpu / args.devices)
    finally:
        for d in devices:
            d.close()
        subprocess.run(["rm", "-rf", work], check=False)

    med = statistics.median
    rows = [
        (f"console: one exchange, wall, median of {args.runs}", f"{med(one) * 1000:.0f} ms"),
        (f"console: --all over {args.devices} devices, wall, median", f"{med(bench) * 1000:.0f} ms"),
        ("console: --all / one exchange", f"{med(bench) / med(one):.3f}  (target <= 1.15)"),
        ("console: CPU per exchange, one device", f"{med(one_cpu) * 1000:.1f} ms"),
        (f"console: CPU per exchange within --all", f"{med(bench_cpu) * 1000:.1f} ms"),
    ]
    print_table(rows)


if __name__ == "__main__":
    main()

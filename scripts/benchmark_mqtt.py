"""Measures --mqtt's publisher (the console's own code, driven by build/console-release's
mqtt_driver: simulated benches, no devices) against one Mosquitto on loopback, and prints one
table: a line of 50 benches of 64 sockets whose 3,200 verdicts come within 2 s, all delivered to
a subscriber, the verdict-to-subscriber latency (median, p99), the publisher's CPU per record
(the driver's CPU less that of the same driver making the same records without a publisher);
and the memory of 10,000 records waiting for a broker that is down. It asserts nothing: it
reports."""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import paho.mqtt.client as mqtt

from benchmark import ROOT, print_table

sys.path.insert(0, os.path.join(ROOT, "tests/e2e"))
from harness import free_port  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--driver", default=os.path.join(ROOT, "build/console-release/mqtt_driver"))
    parser.add_argument("--benches", type=int, default=50)
    parser.add_argument("--sockets", type=int, default=64)
    parser.add_argument("--window-ms", type=int, default=2000)
    parser.add_argument("--waiting", type=int, default=10000)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="qm-mqtt-bench-")
    port = free_port()
    config = os.path.join(work, "mosquitto.conf")
    with open(config, "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\nmax_queued_messages 100000\n"
                "max_inflight_messages 1000\n")
    broker = subprocess.Popen(["mosquitto", "-c", config], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    received, lock = {}, threading.Lock()

    def keep(client, userdata, message):
        now = time.time_ns()
        record = json.loads(message.payload)
        with lock:
            received.setdefault((record["bench"], record["seq"]), now)

    try:
        time.sleep(0.5)
        subscriber = mqtt.Client(client_id="qm-bench-reader", clean_session=True)
        subscriber.on_connect = lambda c, *_: c.subscribe("line/+/events", qos=1)
        subscriber.on_message = keep
        subscriber.connect("127.0.0.1", port)
        subscriber.loop_start()
        time.sleep(0.5)
        total = args.benches * args.sockets
        print(f"{args.benches} benches x {args.sockets} sockets within {args.window_ms} ms, then "
              f"{args.waiting} records for a broker that is down", file=sys.stderr, flush=True)
        burst = subprocess.run([args.driver, "burst", f"mqtt://127.0.0.1:{port}/line",
                                str(args.benches), str(args.sockets), str(args.window_ms)],
                               capture_output=True, text=True, timeout=300)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and len(received) < total:
            time.sleep(0.1)
        subscriber.loop_stop()
        figures = dict(line.split() for line in burst.stderr.splitlines() if " " in line)
        # A bench's n-th verdict has its n-th seq: they run one up from the first.
        first = {}
        for bench, seq in received:
            first[bench] = min(first.get(bench, seq), seq)
        latencies = []
        for line in burst.stdout.splitlines():
            bench, n, sent_ns = line.split()
            got = received.get((bench, first.get(bench, 0) + int(n)))
            if got is not None:
                latencies.append((got - int(sent_ns)) / 1e6)
        latencies.sort()
        p99 = latencies[int(len(latencies) * 0.99) - 1] if latencies else float("nan")
    finally:
        broker.terminate()
        broker.wait()

    alone = subprocess.run([args.driver, "burst", "-", str(args.benches), str(args.sockets),
                            str(args.window_ms)], capture_output=True, text=True, timeout=300)
    alone = dict(line.split() for line in alone.stderr.splitlines() if " " in line)
    cpu_all = float(figures.get("cpu_us_per_record", "nan"))
    cpu_alone = float(alone.get("cpu_us_per_record", "nan"))
    down = subprocess.run([args.driver, "down", f"mqtt://127.0.0.1:{free_port()}/line",
                           str(args.waiting)], capture_output=True, text=True, timeout=120)
    memory = dict(line.split() for line in down.stderr.splitlines() if " " in line)
    before, after = int(memory["rss_before_kb"]), int(memory["rss_after_kb"])
    print_table([
        (f"{total} verdicts within {args.window_ms / 1000:g} s: delivered to a subscriber",
         f"{len(latencies)} of {total} (publisher: {figures.get('not_delivered', '?')} "
         "not taken)"),
        ("verdict to subscriber: median", f"{statistics.median(latencies):.1f} ms"
         if latencies else "-"),
        ("verdict to subscriber: p99 (goal < 500 ms)", f"{p99:.1f} ms"),
        ("CPU per record: simulated benches and publisher", f"{cpu_all:.1f} us"),
        ("CPU per record: the simulated benches alone", f"{cpu_alone:.1f} us"),
        ("publisher CPU per record (goal < 100 us)", f"{cpu_all - cpu_alone:.1f} us"),
        (f"memory with {args.waiting} records waiting, broker down",
         f"{after} KiB resident ({after - before} KiB for the records, "
         f"{(after - before) * 1024 / args.waiting:.0f} B each)"),
    ])


if __name__ == "__main__":
    main()

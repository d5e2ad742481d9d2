"""Nothing lost between a verdict and the broker: two benches (umockdev, as in console_linux.py)
watch with --log and --mqtt while a real Mosquitto on loopback, with persistence, is stopped
with SIGTERM and later SIGKILL and started again, and one bench is kill -9'ed and started again.
A persistent QoS 1 subscriber must end with every record of both logs (by bench and seq), the
seqs without a gap, and every retained socket state equal to that socket's last record."""

import contextlib
import json
import os
import pwd
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import console_linux  # noqa: E402  (skips without umockdev; the preloads; the program's path)
import harness  # noqa: E402
from console_linux import CONSOLE, UMockdev  # noqa: E402
import paho.mqtt.client as mqtt  # noqa: E402

PREFIX = "proof/line1"
SOCKETS = 3  # per bench


class Broker:
    """Mosquitto on a loopback port, persisting to a folder of its own (saved at every change)."""

    def __init__(self, work):
        self.port = harness.free_port()
        self.store = os.path.join(work, "broker")
        os.makedirs(self.store)
        self.config = os.path.join(work, "mosquitto.conf")
        with open(self.config, "w") as f:
            # As root Mosquitto drops to its user unless told to stay: the folder is ours.
            f.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\npersistence true\n"
                    f"persistence_location {self.store}/\nautosave_interval 1\n"
                    f"autosave_on_changes true\nuser {pwd.getpwuid(os.getuid()).pw_name}\n")
        self.log = open(os.path.join(work, "broker.log"), "a")
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen(["mosquitto", "-c", self.config], env=harness.OUTSIDE_TESTBED,
                                     stdout=self.log, stderr=subprocess.STDOUT)
        harness.wait_until(self.listening, 10, "the broker")

    def listening(self):
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", self.port)) == 0

    def stop(self, sig):
        self.proc.send_signal(sig)
        self.proc.wait(timeout=10)


class Subscriber:
    """A persistent QoS 1 session (clean_session off) that keeps every message it is given."""

    def __init__(self, port, client_id, topic, clean=False):
        self.messages, self.lock = [], threading.Lock()
        self.client = mqtt.Client(client_id=client_id, clean_session=clean)
        self.client.on_connect = lambda c, *_: c.subscribe(topic, qos=1)
        self.client.on_message = self.keep
        self.client.reconnect_delay_set(0.2, 1)
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()

    def keep(self, client, userdata, message):
        with self.lock:
            self.messages.append((message.topic, message.payload.decode(), message.retain))

    def got(self):
        with self.lock:
            return list(self.messages)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


class Bench:
    """A watch of its own umockdev testbed, whose sockets get a new adapter every few seconds."""

    def __init__(self, work, name, port):
        self.name, self.port = name, port
        self.testbed = UMockdev.Testbed.new()
        self.env = dict(os.environ, UMOCKDEV_DIR=self.testbed.get_root_dir())
        self.log = os.path.join(work, name + ".jsonl")
        self.stderr = open(os.path.join(work, name + ".err"), "a")
        self.numbers = iter(range(1000))
        self.plugged = {n: self.plug(n) for n in range(1, SOCKETS + 1)}
        self.proc = None

    def plug(self, n):
        (node, path), = harness.umockdev_adapters(
            self.testbed, [(f"ttyUSB{next(self.numbers)}", f"{self.name} {n}")], n)
        device = harness.MockedDevice(self.testbed.get_dev_fd(node),
                                      harness.answer_after_command(b"OK\r\n"))
        return device, path

    def replug(self, n):
        device, path = self.plugged[n]
        harness.umockdev_unplug(self.testbed, path, device)
        self.plugged[n] = self.plug(n)

    def start(self):
        self.proc = subprocess.Popen(
            [CONSOLE, "--watch", "--settle", "0", "--log", self.log, "--bench", self.name,
             "--mqtt", f"mqtt://127.0.0.1:{self.port}/{PREFIX}", "--mqtt-wait", "20"],
            env=self.env, stdout=subprocess.DEVNULL, stderr=self.stderr)

    def records(self):
        with open(self.log) as f:
            return [line.rstrip("\n") for line in f if line.strip()]


class LineOfBenches(unittest.TestCase):
    def test_no_record_is_lost_through_broker_restarts_and_a_killed_bench(self):
        work = tempfile.mkdtemp(prefix="qm-mqtt-")
        self.addCleanup(subprocess.run, ["rm", "-rf", work])
        broker = Broker(work)
        broker.start()
        self.addCleanup(lambda: broker.proc.poll() is None and broker.stop(signal.SIGKILL))
        subscriber = Subscriber(broker.port, "qm-proof", PREFIX + "/+/events")
        self.addCleanup(subscriber.close)
        harness.wait_until(lambda: subscriber.client.is_connected(), 10, "the subscriber")
        time.sleep(0.5)  # the subscription made, and saved
        benches = [Bench(work, name, broker.port) for name in ("bench-a", "bench-b")]
        for bench in benches:
            bench.start()
            self.addCleanup(lambda b=bench: b.proc.poll() is None and b.proc.kill())

        # Every socket of both benches gets a new device about every 2.5 s (an exchange is 2 s).
        cycling = threading.Event()
        cycling.set()

        def cycle():
            while cycling.is_set():
                time.sleep(2.5)
                for bench in benches:
                    for n in range(1, SOCKETS + 1):
                        bench.replug(n)
        cycler = threading.Thread(target=cycle, daemon=True)
        cycler.start()

        def after(seconds, what):
            time.sleep(seconds)
            print(f"{time.strftime('%H:%M:%S')} {what}", file=sys.stderr)

        # The broker stopped; a bench killed while records wait in its log, and started again
        # before the broker is back; later the broker killed too.
        after(6, "broker: SIGTERM")
        broker.stop(signal.SIGTERM)
        after(3, "bench-a: kill -9")
        benches[0].proc.kill()
        benches[0].proc.wait()
        after(1, "bench-a: started again")
        benches[0].start()
        after(2, "broker: started again")
        broker.start()
        after(6, "broker: SIGKILL")
        broker.stop(signal.SIGKILL)
        after(3, "broker: started again")
        broker.start()
        after(6, "the benches end")
        cycling.clear()
        cycler.join()
        time.sleep(2.5)  # the last exchanges over
        for bench in benches:
            bench.proc.send_signal(signal.SIGTERM)
        for bench in benches:
            self.assertEqual(bench.proc.wait(timeout=30), -signal.SIGTERM)

        # Each log: this bench's records, seq one up each, across the kill -9 and restart.
        logged = {}
        for bench in benches:
            for line in bench.records():
                record = json.loads(line)
                self.assertEqual(record["bench"], bench.name)
                logged[(bench.name, record["seq"])] = line
            seqs = sorted(seq for name, seq in logged if name == bench.name)
            self.assertEqual(seqs, list(range(seqs[0], seqs[0] + len(seqs))), bench.name)
            self.assertGreater(len(seqs), 10, bench.name)

        def delivered():
            got = {}
            for topic, payload, _ in subscriber.got():
                record = json.loads(payload)
                got.setdefault((record["bench"], record["seq"]), []).append(payload)
            return got
        harness.wait_until(lambda: set(logged) <= set(delivered()), 20, "every record")
        got = delivered()
        for key, line in logged.items():
            self.assertEqual(set(got[key]), {line}, key)  # byte for byte the log's record
        for name in ("bench-a", "bench-b"):
            seqs = sorted(seq for bench, seq in got if bench == name)
            self.assertEqual(seqs, list(range(seqs[0], seqs[0] + len(seqs))), name)
        duplicates = sum(len(payloads) - 1 for payloads in got.values())
        print(f"records: {len(logged)} in the logs, {len(got)} delivered, "
              f"{duplicates} duplicates", file=sys.stderr)

        # A reader that comes later sees each socket's last record, and both benches offline.
        later = Subscriber(broker.port, "qm-later", PREFIX + "/#", clean=True)
        self.addCleanup(later.close)
        last = {}
        for line in logged.values():  # in no particular order: the seq decides
            record = json.loads(line)
            if record["type"] == "exchange":
                key = (record["bench"], record["location"])
                if key not in last or json.loads(last[key])["seq"] < record["seq"]:
                    last[key] = line
        expected = {f"{PREFIX}/{bench}/socket/{location}/state": line
                    for (bench, location), line in last.items()}
        retained = lambda: {t: p for t, p, r in later.got() if r and "/socket/" in t}  # noqa
        harness.wait_until(lambda: set(retained()) >= set(expected), 10, "the retained states")
        self.assertEqual(retained(), expected)
        # The states' pages say the same (each socket's newest there: an earlier run's pages stay).
        def paged():
            newest, seq = {}, lambda line: json.loads(line)["seq"]
            for t, p, r in later.got():
                if not (r and "/states/" in t):
                    continue
                for key, line in json.loads(p)["sockets"].items():
                    name = f"{PREFIX}/{t.split('/')[-3]}/socket/{key}/state"
                    if name not in newest or seq(newest[name]) < seq(line):
                        newest[name] = line
            return newest
        with contextlib.suppress(TimeoutError):  # the comparison below says what differs
            harness.wait_until(lambda: paged() == expected, 10, "the states' pages")
        self.assertEqual(paged(), expected)
        status = {t: json.loads(p)["state"] for t, p, r in later.got() if t.endswith("/status")}
        self.assertEqual(status, {f"{PREFIX}/bench-a/status": "offline",
                                  f"{PREFIX}/bench-b/status": "offline"})
        # bench-b ran once: its tally counts every verdict of its log.
        tally = json.loads(harness.wait_until(lambda: next(
            (p for t, p, r in later.got() if t.endswith("bench-b/tally")), None), 10, "a tally"))
        outcomes = [json.loads(line)["outcome"] for (name, _), line in logged.items()
                    if name == "bench-b" and json.loads(line)["type"] == "exchange"]
        self.assertEqual({o: tally[o] for o in set(outcomes)},
                         {o: outcomes.count(o) for o in set(outcomes)})
        self.assertEqual(sum(s["ok"] + s["fail"] for s in tally["sockets"].values()),
                         len(outcomes) - outcomes.count("interrupted"))
        with open(benches[0].stderr.name) as f:
            said = f.read()
        self.assertIn("records of the log not yet acknowledged by the broker are sent first", said)
        print(*[line for line in said.splitlines() if "sent first" in line], sep="\n",
              file=sys.stderr)


if __name__ == "__main__":
    unittest.main()

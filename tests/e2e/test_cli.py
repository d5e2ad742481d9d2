"""quillomarvet-cli.exe under Wine, its standard output piped: one exchange on COM1 against the
simulated device and its exit status, Ctrl+C during the wait, and discovery that finds no adapter (Wine names every
device "Wine PnP Device") ending with status 3 instead of falling back to COM1."""

import contextlib
import json
import os
import pty
import re
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402

CLI = os.path.abspath(os.environ.get("QM_CLI_EXE", "build/windows/console/quillomarvet-cli.exe"))
WORK = os.environ.get("QM_E2E_DIR", "build/e2e")
COMMAND = b"AT+DEFAULT" + b"\r\n" * 10

display = prefix = None


def setUpModule():
    global display, prefix, CLI
    harness.require_tools()
    CLI = harness.runs_here(CLI)  # the 64-bit build where this host runs no 32-bit programs
    display = harness.Display()
    prefix = harness.WinePrefix(os.path.join(WORK, "wineprefix"), display)


def tearDownModule():
    prefix.kill_server()
    display.close()


@contextlib.contextmanager
def on_com1(answer=None):
    """A simulated device on COM1 that answers `answer` to the command, or stays silent."""
    device = harness.SimDevice(harness.answer_after_command(answer) if answer else None)
    try:
        prefix.set_com_port(1, device.path)
        yield device
    finally:
        prefix.remove_com_port(1)
        device.close()


def cli(*args, on=None):
    on = on or prefix
    r = subprocess.run([*on.wine, CLI, *args], env=on.env, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=120)
    return r.returncode, r.stdout.decode("latin-1").splitlines(), r.stderr.decode("latin-1")


class Cli(unittest.TestCase):
    def test_one_exchange_on_com1(self):
        # A log that is no file on a disk (NUL, CON) is written, never flushed: that would fail.
        expect_ok = ("--expect", "OK")
        for name, answer, options, line, after, status in (
                ("answered", b"OK\r\n", (), "OK", [], 0),
                ("silent", None, (), "NO COMM", [], 1),
                ("logged to NUL", b"OK\r\n", ("--log", "NUL"), "OK", [], 0),
                ("echo, then as expected", b"AT+DEFAULT\r\r\nOK\r\n", expect_ok, "AT+DEFAULTOK",
                 [], 0),
                ("not as expected", b"ERROR\r\n", expect_ok, "ERROR",
                 ["Unexpected answer: no line OK"], 4)):
            with self.subTest(name), on_com1(answer) as device:
                code, lines, err = cli("--port", "COM1", *options)
                self.assertEqual(lines, ["Open port", line, "Port closed", *after], err)
                self.assertEqual(code, status)
                self.assertEqual(device.data(), COMMAND)

    def test_no_adapter_found_is_status_3_and_nothing_is_sent(self):
        with on_com1() as device:
            code, lines, err = cli()
            self.assertEqual((code, lines), (3, []))
            self.assertIn("--port COM3", err)
            self.assertEqual(device.data(), b"")

    def test_ctrl_c_during_the_wait_closes_the_port_and_ends_with_130(self):
        with on_com1() as device:
            # Wine turns SIGINT into the console's Ctrl+C event.
            proc = subprocess.Popen([*prefix.wine, CLI, "--port", "COM1"], env=prefix.env,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            harness.wait_until(lambda: device.data() == COMMAND, 60, "the command")
            time.sleep(0.3)
            sent = time.monotonic()
            proc.send_signal(signal.SIGINT)
            status = proc.wait(timeout=20)
            self.assertLess(time.monotonic() - sent, 1.0, "it waited the wait out")
            out, _ = proc.communicate(timeout=20)
            self.assertEqual((status, out.decode("latin-1").splitlines()), (130, ["Open port"]))
            harness.wait_until(lambda: not device.holders(), 5, "the port to be released")

    def test_mqtts_is_refused_before_anything_is_sent(self):
        with on_com1(b"OK\r\n") as device:
            code, lines, err = cli("--port", "COM1", "--mqtt", "mqtts://127.0.0.1/line")
            self.assertEqual((code, lines, device.data()), (64, [], b""))
            self.assertIn("mqtts:// is not supported on Windows", err)

    def test_output_redirected_in_a_console_is_in_the_consoles_code_page_but_json_is_utf8(self):
        # cmd reads a redirected native program's output in the console's code page (437 by
        # default here): "\xe9" (Windows-1252's e acute, as the device sent it) must arrive as
        # 0x82. JSON is UTF-8 whatever the page, also under one that lacks the e acute (866).
        out = os.path.join(prefix.path, "drive_c", "qm-out.txt")
        for chcp, option, expected in (("", "", b"Open port\r\ncaf\x82\r\nPort closed\r\n"),
                                       ("chcp 866 > nul & ", "--json", "caf\u00e9")):
            with self.subTest(chcp + option), on_com1(b"caf\xe9\r\n") as device:
                terminal, console = pty.openpty()  # Wine gives a program on a terminal a console
                try:
                    subprocess.run([*prefix.wine, "cmd", "/c",
                                    f"{chcp}{CLI} --port COM1 {option} > C:\\qm-out.txt"],
                                   env=prefix.env, stdin=console, stdout=console, stderr=console,
                                   timeout=120)
                finally:
                    os.close(console)
                    os.close(terminal)
                self.assertEqual(device.data(), COMMAND)
                with open(out, "rb") as f:
                    written = f.read()
                if option:
                    written = json.loads(written.decode("utf-8"))["answer"]
                self.assertEqual(written, expected)


    def test_quickedit_is_off_while_it_runs_and_put_back_after(self):
        # A click in the console would start a selection and hold every write to it. The input
        # mode of the console it shares with a helper: before, during the exchange, after.
        poke, exe = ("Z:" + path.replace("/", "\\") for path in (
            harness.wine_runtime().exe(harness.helper_exe("QM_POKE", "qm_poke.exe")), CLI))
        with on_com1() as device:
            terminal, console = pty.openpty()
            try:
                subprocess.run([*prefix.wine, "cmd", "/c", f"{poke} inputmode 0 & start /b {exe} "
                                f"--port COM1 --log CON & {poke} inputmode 1200 & "
                                f"{poke} inputmode 4500"],
                               env=prefix.env, stdin=console, stdout=console, stderr=console,
                               timeout=120)
                shown = os.read(terminal, 65536).decode("latin-1")
            finally:
                os.close(console)
                os.close(terminal)
            self.assertEqual(device.data(), COMMAND)
        shown = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", shown)
        modes = [int(m, 16) for m in re.findall(r"^([0-9a-f]+)\r*$", shown, re.M)]
        self.assertEqual([m & 0x40 for m in modes], [0x40, 0, 0x40], shown)  # QuickEdit
        self.assertEqual(modes[0], modes[2])
        self.assertIn('"outcome":"no-answer"', re.sub("[\r\n]", "", shown))  # the log, on CON
        self.assertNotIn("cannot write the log", shown)

    def test_a_reader_that_takes_nothing_holds_no_port(self):
        # Read at last, its lines all come; or Ctrl+C ends the wait for the reader.
        for interrupted in (False, True):
            with self.subTest(interrupted=interrupted):
                self.reader_that_takes_nothing(interrupted)

    def reader_that_takes_nothing(self, interrupted):
        with on_com1(b"OK\r\n") as device:
            read_end, write_end = os.pipe()
            os.set_blocking(write_end, False)
            filled = 0
            with contextlib.suppress(BlockingIOError):
                while True:
                    filled += os.write(write_end, b"x" * 4096)
            os.set_blocking(write_end, True)
            proc = subprocess.Popen([*prefix.wine, CLI, "--port", "COM1"], env=prefix.env,
                                    stdout=write_end, stderr=subprocess.DEVNULL)
            os.close(write_end)
            try:
                harness.wait_until(lambda: device.data() == COMMAND, 30, "the command")
                harness.wait_until(lambda: not device.holders(), 10, "the port to be released")
                self.assertIsNone(proc.poll(), "its lines are still to be taken")
                if interrupted:
                    proc.send_signal(signal.SIGINT)  # Wine: the console's Ctrl+C
                    self.assertEqual(proc.wait(timeout=5), 130)
                    return
                out = b""
                while b"Port closed" not in out:
                    out += os.read(read_end, 65536)
            finally:
                os.close(read_end)
            self.assertEqual(proc.wait(timeout=20), 0)
            self.assertEqual(out[filled:].decode().splitlines(), ["Open port", "OK", "Port closed"])


class Discovery(unittest.TestCase):
    """--list and --all with the adapters a stand-in WMI lists, in a prefix of its own."""

    BRIDGE = "Silicon Labs CP210x USB to UART Bridge"

    @classmethod
    def setUpClass(cls):
        cls.prefix, cls.wmi, cls.devices = harness.wmi_prefix(WORK, display, (3, 7, 12))

    @classmethod
    def tearDownClass(cls):
        harness.close_wmi_prefix(cls.prefix, cls.devices)

    def test_list_then_all_at_once(self):
        # An adapter Windows only remembers (once plugged in elsewhere, as COM3) is no adapter.
        self.wmi.script("others 100", f"name {self.BRIDGE} (COM3)", "absent",
                        f"name {self.BRIDGE} (COM12)",
                        r"id USB\VID_10C4&PID_EA60\0012", "null", f"name {self.BRIDGE} (COM7)")
        code, lines, err = cli("--list", on=self.prefix)
        # Wine has no such device node, so no location; the serial number is the instance's.
        self.assertEqual((code, lines), (0, [f"COM12  -  0012  {self.BRIDGE} (COM12)",
                                             f"COM7  -  -  {self.BRIDGE} (COM7)"]), err)
        self.devices[12].responder = harness.answer_after_command(b"OK\r\n")
        code, lines, err = cli("--all", on=self.prefix)
        self.assertEqual(code, 1, "one device silent: the highest status wins")
        self.assertEqual(sorted(lines), sorted(f"{port}: {line}" for port, answer in
                                               (("COM12", "OK"), ("COM7", "NO COMM"))
                                               for line in ("Open port", answer, "Port closed")))
        firsts = [self.devices[n].received[0][0] for n in (7, 12)]
        self.assertLess(abs(firsts[0] - firsts[1]), 1.0, "both reset at once")
        self.assertEqual(self.wire(), {3: b"", 7: COMMAND, 12: COMMAND})

    def wire(self):
        return {n: d.data() for n, d in self.devices.items()}

    def test_watch_resets_each_adapter_once_per_plug_in(self):
        bridge = (f"name {self.BRIDGE} (COM3)", "absent", f"name {self.BRIDGE} (COM12)",
                  r"id USB\VID_10C4&PID_EA60\0012")
        plugged = (*bridge, f"name {self.BRIDGE} (COM7)")
        self.wmi.script("fail query 0x80041017")
        self.wmi.calls()
        for device in self.devices.values():
            device.clear()
        self.devices[12].responder = harness.answer_each_command(b"OK\r\n")
        proc = subprocess.Popen([*self.prefix.wine, CLI, "--watch", "--json", "--settle", "0.2"],
                                env=self.prefix.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        # The first look fails; with no change to come, it is tried again all the same.
        looks = []
        harness.wait_until(lambda: looks.extend(c for c in self.wmi.calls() if c.startswith(
            "query")) or len(looks) >= 2, 60, "a failed look tried again")
        self.wmi.script(*bridge)
        harness.wait_until(lambda: self.devices[12].data() == COMMAND, 30, "the one present")
        # Plugged in while a look hangs in WMI: the system tells every window then, and with no
        # change after the look, only the new one is reset.
        self.hung_look(*bridge)
        self.wmi.script(*plugged, "hang next")
        harness.broadcast_device_change(self.prefix)
        self.wmi.script(*plugged)  # the hang ends
        harness.wait_until(lambda: self.devices[7].data() == COMMAND, 30, "the one plugged in")
        time.sleep(2.5)
        self.assertEqual(self.wire(), {3: b"", 7: COMMAND, 12: COMMAND})
        self.hung_look(*plugged)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)  # Wine: the console's Ctrl+C
        proc.wait(timeout=30)
        self.assertLess(time.monotonic() - sent, 1.0, "Ctrl+C waited for WMI")
        out, err = proc.communicate(timeout=30)
        records = [json.loads(line) for line in out.decode().splitlines()]
        said = err.decode().splitlines()  # the failed look once, however often it was tried
        self.assertEqual((proc.returncode, len(said), said[-1]), (
            130, 2, "2 reset: 1 answered, 1 no answer, 0 could not be opened"))
        self.assertRegex(said[0], r"^quillomarvet: cannot list the devices: .*0x80041017")
        self.assertEqual((records[0]["type"], records[0]["settle"]), ("watch", 0.2))
        self.assertEqual(sorted((r["port"], r["serial"], r["outcome"]) for r in records[1:3]),
                         [("COM12", "0012", "answered"), ("COM7", None, "no-answer")])
        self.assertEqual(records[3]["type"], "summary")

    def test_watch_publishes_to_mqtt_and_the_will_says_lost_when_killed(self):
        broker = harness.LoopbackBroker(os.path.join(WORK, "mosquitto"))
        self.addCleanup(broker.close)
        self.wmi.script(f"name {self.BRIDGE} (COM12)", r"id USB\VID_10C4&PID_EA60\0012")
        self.devices[12].clear()
        self.devices[12].responder = harness.answer_each_command(b"OK\r\n")
        log = os.path.join(self.prefix.path, "drive_c", "qm-mqtt.jsonl")
        for stale in (log, log + ".cursor"):
            with contextlib.suppress(FileNotFoundError):
                os.remove(stale)
        args = [*self.prefix.wine, CLI, "--watch", "--settle", "0.2", "--log", r"C:\qm-mqtt.jsonl",
                "--bench", "bench#7", "--mqtt", f"mqtt://127.0.0.1:{broker.port}/line/3"]
        proc = subprocess.Popen(args, env=self.prefix.env, stdout=subprocess.DEVNULL)
        self.addCleanup(proc.kill)

        def last(topic):
            return next((p for t, p in reversed(broker.messages)
                         if t == "line/3/bench_7/" + topic), None)

        def status():
            return json.loads(last("status") or "{}").get("state")

        state = harness.wait_until(lambda: last("socket/COM12/state"), 60, "the verdict")
        with open(log, encoding="utf-8") as f:
            records = f.read().splitlines()
        self.assertEqual(state, records[-1], "the state is the log's record, byte for byte")
        self.assertEqual([p for t, p in broker.messages if t.endswith("/events")], records)
        record = json.loads(state)
        self.assertEqual((record["bench"], record["port"], record["outcome"], record["seq"]),
                         ("bench#7", "COM12", "answered", json.loads(records[0])["seq"] + 1))
        self.assertEqual(status(), "online")

        # The broker's acknowledgement is kept beside the log, the file replaced as a whole.
        def cursor():
            with contextlib.suppress(FileNotFoundError), open(log + ".cursor") as f:
                return json.load(f)["seq"]

        harness.wait_until(lambda: cursor() == record["seq"], 10, "the cursor")
        self.prefix.run([*self.prefix.wine, "taskkill", "/F", "/IM", "quillomarvet-cli.exe"])
        proc.wait(timeout=30)
        harness.wait_until(lambda: status() == "lost", 30, "the will")
        # Started again on that log, and ended with Ctrl+C: the seqs go on, nothing twice.
        proc = subprocess.Popen(args, env=self.prefix.env, stdout=subprocess.DEVNULL)
        self.addCleanup(proc.kill)
        harness.wait_until(lambda: status() == "online", 60, "online again")
        harness.wait_until(lambda: self.devices[12].data() == COMMAND * 2, 30, "the reset again")
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=60), 130)
        harness.wait_until(lambda: status() == "offline", 30, "offline")
        seqs = [json.loads(p)["seq"] for t, p in broker.messages if t.endswith("/events")]
        self.assertEqual(seqs, list(range(seqs[0], seqs[0] + 5)),
                         "watch, exchange, watch, exchange, summary")

    def test_a_log_read_and_rotated_during_a_watch_and_the_sessions_end(self):
        drive_c = os.path.join(self.prefix.path, "drive_c")
        log, rotated = (os.path.join(drive_c, name) for name in ("qm-bench.jsonl",
                                                                 "qm-bench.1.jsonl"))
        for path in (log, rotated):
            with contextlib.suppress(FileNotFoundError):
                os.remove(path)
        self.wmi.script(f"name {self.BRIDGE} (COM7)")
        self.devices[7].clear()
        self.addCleanup(self.devices[7].clear)
        proc = subprocess.Popen([*self.prefix.wine, CLI, "--watch", "--log", r"C:\qm-bench.jsonl",
                                 "--settle", "0.2"], env=self.prefix.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        harness.wait_until(lambda: self.devices[7].data() == COMMAND, 60, "an exchange under way")
        # Read as .NET reads (read sharing only), then renamed for rotation, while it runs.
        self.assertIn('"type":"watch"', harness.poke(self.prefix, "read", r"C:\qm-bench.jsonl"))
        subprocess.run([*self.prefix.wine, "cmd", "/c", "move", r"C:\qm-bench.jsonl",
                        r"C:\qm-bench.1.jsonl"], env=self.prefix.env, capture_output=True,
                       timeout=60)
        self.assertEqual((os.path.exists(log), os.path.exists(rotated)), (False, True))
        # Log-off: once WM_ENDSESSION is answered the process may be ended at any moment, so by
        # then the exchange has ended and the log has its summary, in a new file.
        took = harness.poke(self.prefix, "endsession")
        with open(log, encoding="utf-8") as f:
            records = [json.loads(line) for line in f]
        print(f"\n  WM_ENDSESSION answered after {took} ms", file=sys.stderr)
        self.assertEqual([(r["type"], r.get("outcome")) for r in records],
                         [("exchange", "interrupted"), ("summary", None)])
        self.assertEqual(proc.wait(timeout=10), 130)
        self.assertFalse(self.devices[7].holders())

    def hung_look(self, *script):
        """A device change, and the look it brings hanging in WMI."""
        self.wmi.script(*script, "hang next")
        self.wmi.calls()
        harness.broadcast_device_change(self.prefix)
        harness.wait_until(lambda: any(c.startswith("query") for c in self.wmi.calls()), 30,
                           "a look hanging in WMI")

    def test_no_adapter_or_a_hung_wmi(self):
        for script, status, said in ((["others 300"], 3, "no adapter found"),
                                     (["hang next"], 70, "Error 0x80041069: WMI has not")):
            with self.subTest(script[0]):
                self.wmi.script(*script)
                for device in self.devices.values():
                    device.clear()
                started = time.monotonic()
                code, lines, err = cli("--all", on=self.prefix)
                took = time.monotonic() - started
                print(f"\n  {script[0]}: status {code} after {took:.1f} s", file=sys.stderr)
                self.assertEqual((code, lines), (status, []))
                self.assertIn(said, err)
                self.assertLess(took, 30 + 10)
                self.assertEqual(self.wire(), {3: b"", 7: b"", 12: b""})


if __name__ == "__main__":
    unittest.main()

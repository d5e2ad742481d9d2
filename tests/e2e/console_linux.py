"""The real quillomarvet console program, natively on Linux, against simulated devices on ptys:
the bytes on the wire, the lines printed, exit statuses, a whole bench at once, a port held by
another program, an interrupt during the wait, a device that goes away mid-exchange, and a
bench watched as adapters are plugged in and pulled out.

The adapters are made with umockdev: this runs under umockdev-wrapper with its Python bindings
(CTest runs it so), and the program, through libudev, finds ptys behind the testbed's devices."""

import contextlib
import fcntl
import glob
import grp
import json
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unicodedata
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402

CONSOLE = os.path.abspath(os.environ.get("QM_CONSOLE", "build/host/console/quillomarvet"))
MANPAGE = os.environ.get("QM_MANPAGE", "build/host/console/quillomarvet.1")
COMPLETION = os.path.join(os.path.dirname(__file__), "../../console/quillomarvet.bash")
COMMAND = b"AT+DEFAULT" + b"\r\n" * 10
WAIT_S = 2.0  # how long the tool listens for the answer

if "umockdev" not in os.environ.get("LD_PRELOAD", ""):
    print("skipped: run under umockdev-wrapper with umockdev's Python bindings "
          "(scripts/setup.sh installs umockdev, python3-gi and gir1.2-umockdev-1.0)")
    sys.exit(77)
import gi  # noqa: E402
gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402
# umockdev's preload keeps some state without a lock, and the program opens ports from many
# threads at once: a preload of the tests' own, put first, makes those calls one at a time.
if os.environ.get("QM_UMOCKDEV_SERIALIZED"):
    os.environ["LD_PRELOAD"] = os.environ["QM_UMOCKDEV_SERIALIZED"] + ":" + os.environ["LD_PRELOAD"]
# The preload comes before a sanitized build's runtime in the library list; that is fine.
os.environ["ASAN_OPTIONS"] = ":".join(
    filter(None, [os.environ.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
# No adapter anywhere: an empty testbed, so that no real adapter on this machine is touched.
NO_TREE = {"UMOCKDEV_DIR": UMockdev.Testbed.new().get_root_dir()}


class Console(unittest.TestCase):
    def setUp(self):
        self.devices = []
        self.work = tempfile.mkdtemp(prefix="qm-console-")

    def tearDown(self):
        for d in self.devices:
            d.close()
        subprocess.run(["rm", "-rf", self.work], check=False)

    def device(self, responder=None):
        d = harness.SimDevice(responder)
        self.devices.append(d)
        return d

    def run_tool(self, *args, env=None, launcher=()):
        if env is None:  # no testbed: the real system, untouched
            env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "UMOCKDEV_DIR")}
        else:
            env = dict(os.environ, **env)
        started = time.monotonic()
        r = subprocess.run([*launcher, CONSOLE, *args], capture_output=True, text=True, timeout=30,
                           env=env)
        return r, time.monotonic() - started

    def bench(self, *responders, first=1):
        """Devices behind CP210x adapters ttyUSB0, ttyUSB1, ... in USB sockets 1-1, 1-2, ...: the
        devices, the environment that lets the program find them, and their ttys' sysfs paths."""
        if not hasattr(self, "testbed"):
            self.testbed = UMockdev.Testbed.new()
        adapters = [(f"ttyUSB{n - 1}", f"Bench {n - 1}")
                    for n in range(first, first + len(responders))]
        added = harness.umockdev_adapters(self.testbed, adapters, first)
        devices = [harness.MockedDevice(self.testbed.get_dev_fd(node), responder)
                   for (node, _), responder in zip(added, responders)]
        self.devices += devices
        return devices, {"UMOCKDEV_DIR": self.testbed.get_root_dir()}, [p for _, p in added]

    def plug(self, first, count=1, responder=harness.answer_after_command(b"OK\r\n"), name=None):
        """Adapters plugged into a running bench's sockets 1-first, ...: their devices and paths.
        umockdev announces each device it adds (four to an adapter, and without udev's daemon
        the program hears all of them), and aborts when 10 announcements wait unread
        (net.unix.max_dgram_qlen): two at a time, each lot taken in before the next."""
        devices, paths = [], []
        for at in range(first, first + count, 2):
            adapters = [(name or f"ttyUSB{n - 1}", f"Bench {n - 1}")
                        for n in range(at, min(at + 2, first + count))]
            added = harness.umockdev_adapters(self.testbed, adapters, at)
            lot = [harness.MockedDevice(self.testbed.get_dev_fd(node), responder)
                   for node, _ in added]
            harness.wait_until(lambda: all(COMMAND[:10] in d.data() for d in lot), 30, "a lot")
            devices += lot
            paths += [path for _, path in added]
        self.devices += devices
        return devices, paths

    def test_one_exchange_puts_the_command_on_the_wire_and_prints_the_lines(self):
        def answer_and_hang_up(device, data):
            if data.endswith(COMMAND):
                device.send(b"OK\r\n")
                threading.Thread(target=device.hang_up).start()

        # XON/XOFF, a stray byte in valid UTF-8, DEL and an 8-bit CSI: a raw line passes them,
        # the console prints none that could steer a terminal.
        hostile = b"\x11OK\x13 caf\xc3\xa9 \xb0C\x7f \x9b[2J\r\n"
        for name, responder, lines, status in (
                ("answered", harness.answer_after_command(hostile), ["OK café °C [2J"], 0),
                ("silent", None, ["NO COMM"], 1),
                ("hung up after answering", answer_and_hang_up, ["NO COMM"], 1)):
            with self.subTest(name):
                framing = []  # size, parity and stop bits as the command arrives

                def noting_the_framing(device, data, responder=responder):
                    framing.append(termios.tcgetattr(device.slave)[2] & (
                        termios.CSIZE | termios.PARENB | termios.CSTOPB))
                    if responder:
                        responder(device, data)
                d = self.device(noting_the_framing)
                # What a previous program left: cooked, echoing, 7-bit, 9600 baud, 2 stop bits.
                left = termios.tcgetattr(d.slave)
                left[0] |= termios.ICRNL | termios.IXON | termios.ISTRIP
                left[1] |= termios.OPOST | termios.ONLCR
                left[2] |= termios.CSTOPB
                left[3] |= termios.ICANON | termios.ECHO
                left[4] = left[5] = termios.B9600
                termios.tcsetattr(d.slave, termios.TCSANOW, left)
                left = termios.tcgetattr(d.slave)
                r, _ = self.run_tool("--port", d.path)
                self.assertEqual(r.stdout.splitlines(), ["Open port", *lines, "Port closed"])
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertEqual(d.data(), COMMAND)
                self.assertEqual(set(framing), {termios.CS8})
                self.assertEqual(d.holders(), set())
                if d.master >= 0:  # put back as found, and open to anybody (no exclusive mode)
                    self.assertEqual(termios.tcgetattr(d.slave), left)
                    self.assertEqual(subprocess.run([*harness.WITHOUT_ROOT_OVERRIDES, "sh", "-c",
                                                     f"exec 3<>{d.path}"]).returncode, 0)

    def test_without_a_port_the_first_adapter_is_used(self):
        (first, second), env, _ = self.bench(harness.answer_after_command(b"OK\r\n"), None)
        r, _ = self.run_tool(env=env)
        self.assertEqual(r.stdout.splitlines(), ["Open port", "OK", "Port closed"])
        self.assertEqual((r.returncode, first.data(), second.data()), (0, COMMAND, b""))
        # Natural order (ttyUSB2 before ttyUSB10); other USB serial adapters are not listed.
        self.bench(None, first=11)
        self.bench(None, first=3)
        harness.umockdev_adapters(self.testbed, [("ttyUSB5", "FT232R USB UART")], 6, "ftdi_sio")
        hostile = "Bench\u0090\u009b[2J"  # C1 controls (an 8-bit CSI) in a product string
        harness.umockdev_adapters(self.testbed, [("ttyUSB20", hostile)], 21)
        # A CP2105: two ports of one USB device, each a socket of its own.
        harness.umockdev_adapters(self.testbed, [(("ttyUSB30", "ttyUSB31"), "Dual")], 31)
        r, _ = self.run_tool("--list", env=env)
        self.assertEqual(r.stdout.splitlines(), [
            *[f"/dev/ttyUSB{n}  1-{n + 1}  QM{n + 1:04d}  Bench {n}" for n in (0, 1, 2, 10)],
            "/dev/ttyUSB20  1-21  QM0021  Bench\\x90\\x9b[2J",
            "/dev/ttyUSB30  1-31:1.0  QM0031  Dual", "/dev/ttyUSB31  1-31:1.1  QM0031  Dual"])
        r, _ = self.run_tool("--list", "--json", env=env)
        records = [json.loads(line) for line in r.stdout.splitlines()]
        self.assertEqual(records[2], {"type": "adapter", "port": "/dev/ttyUSB2", "location": "1-3",
                                      "serial": "QM0003", "product": "Bench 2"})
        self.assertEqual(records[4]["product"], hostile)
        self.assertNotRegex(r.stdout, "[\x80-\x9f]")

    def test_all_runs_the_whole_bench_at_once_and_the_worst_status_wins(self):
        answers = [harness.answer_after_command(b"OK %d\r\n" % n) for n in range(5)]
        devices, env, _ = self.bench(*answers, None)
        held = os.open(devices[2].path, os.O_RDWR | os.O_NOCTTY)
        fcntl.flock(held, fcntl.LOCK_EX)
        try:
            r, took = self.run_tool("--all", env=env)
        finally:
            os.close(held)
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertLess(took, 2 * WAIT_S, "the devices were not reset at the same time")
        out = r.stdout.splitlines()
        for n, d in enumerate(devices):
            port = f"/dev/ttyUSB{n}"
            prefix = f"{port} (1-{n + 1}): "
            mine = [line[len(prefix):] for line in out if line.startswith(prefix)]
            if n == 2:
                expected = ["Open port", f"Cannot open {port}: port in use by another program",
                            "Port closed"]
                self.assertEqual(d.data(), b"")
            else:
                expected = ["Open port", f"OK {n}" if n < 5 else "NO COMM", "Port closed"]
                self.assertEqual(d.data(), COMMAND, port)
            self.assertEqual(mine, expected, port)
        self.assertEqual(len(out), 3 * len(devices))
        # Ports named on the command line go at once too; JSON knows no socket for them.
        named = [self.device(harness.answer_after_command(b"OK\r\n")), self.device()]
        r, _ = self.run_tool("--json", *[a for d in named for a in ("--port", d.path)],
                             "--port", "ttyQM404")
        records = [json.loads(line) for line in r.stdout.splitlines()]
        self.assertEqual(sorted((x["port"], x["outcome"], x["answer"], x["reason"], x["location"])
                                for x in records[:3]),
                         sorted([(named[0].path, "answered", "OK", None, None),
                                 (named[1].path, "no-answer", None, None, None),
                                 ("/dev/ttyQM404", "cannot-open", None, "no such port", None)]))
        self.assertEqual((r.returncode, records[3]), (2, {
            "type": "summary", "answered": 1, "no-answer": 1, "cannot-open": 1, "interrupted": 0}))

    def test_expect_passes_only_an_answer_with_the_line(self):
        echoing = self.device(harness.answer_after_command(b"AT+DEFAULT\r\r\nOK\r\n"))
        erring = self.device(harness.answer_each_command(b"ERROR\r\n", b"ERROR\r\n"))
        r, _ = self.run_tool("--json", "--expect", "OK", "--port", echoing.path, "--port",
                             erring.path)
        records = [json.loads(line) for line in r.stdout.splitlines()]
        self.assertEqual(sorted((x["port"], x["outcome"], x["answer"]) for x in records[:2]),
                         [(echoing.path, "answered", "AT+DEFAULTOK"),
                          (erring.path, "unexpected", "ERROR")])
        self.assertEqual((r.returncode, records[2]), (4, {
            "type": "summary", "answered": 1, "unexpected": 1, "no-answer": 0, "cannot-open": 0,
            "interrupted": 0}))
        r, _ = self.run_tool("--port", erring.path, "--expect=OK")
        self.assertEqual((r.returncode, r.stdout.splitlines()), (4, [
            "Open port", "ERROR", "Port closed", "Unexpected answer: no line OK"]))

    def test_ports_that_cannot_be_opened(self):
        d = self.device()
        busy = os.open(d.path, os.O_RDWR | os.O_NOCTTY)
        fcntl.flock(busy, fcntl.LOCK_EX)
        try:
            r, _ = self.run_tool("--port", d.path)
        finally:
            os.close(busy)
        self.assertEqual(r.stdout.splitlines()[1], f"Cannot open {d.path}: port in use by another program")
        self.assertEqual(r.returncode, 2)

        # Names are bytes, shown readably; what is no serial port is refused before anything is
        # written to it or changed on it.
        os.mkdir(os.path.join(self.work, "dir"))
        os.symlink(d.path, os.path.join(self.work, b"dir/port\xff".decode(errors="surrogateescape")))
        fifo, plain = os.path.join(self.work, "fifo"), os.path.join(self.work, "plain")
        os.mkfifo(fifo)
        with open(plain, "wb") as f:
            f.write(b"kept")
        # Devices opened only as root: a block device, the system console and a virtual console
        # (opened, one that nobody uses would be allocated).
        allocated = os.path.exists("/sys/class/vc/vcs63")
        rooted = [(path, reason) for path, reason in (
            ("/dev/loop0", "not a serial port"),
            ("/dev/console", "the system console, not a serial port"),
            ("/dev/tty63", "a virtual console, not a serial port"))
            if os.path.exists(path) and os.access(path, os.R_OK | os.W_OK)]
        for port, reason in (("ttyQM404", "no such port"),
                             (b"nope\xff\x1b".decode(errors="surrogateescape"), "no such port"),
                             (plain, "not a serial port"), (self.work, "not a serial port"),
                             (fifo, "not a serial port"), ("null", "not a serial port"),
                             ("/etc/shadow", "not a serial port"), *rooted):
            with self.subTest(port=port):
                r, _ = self.run_tool("--port", port)
                shown = port if "/" in port else "/dev/" + port
                shown = shown.replace("\udcff", "\\xff").replace("\x1b", "\\x1b")
                self.assertEqual(r.stdout.splitlines(),
                                 ["Open port", f"Cannot open {shown}: {reason}", "Port closed"])
                self.assertEqual(r.returncode, 2)
        with open(plain, "rb") as f:
            self.assertEqual(f.read(), b"kept")
        self.assertEqual(os.path.exists("/sys/class/vc/vcs63"), allocated)
        r, _ = self.run_tool("--port", os.path.join(self.work, "dir/port\udcff"))
        self.assertEqual((r.returncode, d.data()), (1, COMMAND))
        d.clear()
        # JSON names the path itself, as --list does: the stray byte as U+FFFD, ESC escaped.
        r, _ = self.run_tool("--json", "--port", b"nope\xff\x1b".decode(errors="surrogateescape"))
        self.assertEqual(json.loads(r.stdout.splitlines()[0])["port"], "/dev/nope\ufffd\x1b")

        if harness.WITHOUT_ROOT_OVERRIDES:
            # Owned by somebody else and by a group root is not in: root without its overrides
            # is refused like any user, and told which group to join only where that would let
            # it in: a device its group may read and write.
            try:
                group = grp.getgrnam("dialout")
            except KeyError:
                group = grp.getgrgid(20)
            st = os.stat(d.path)
            advice = (f"permission denied (join the group {group.gr_name} that owns {d.path}, "
                      f"e.g. sudo usermod -aG {group.gr_name} $USER, then log in again)")
            for path, mode, reason in ((d.path, 0o660, advice), (d.path, 0o620, "permission denied"),
                                       (plain, 0o640, "not a serial port")):
                with self.subTest(mode=oct(mode), path=path):
                    os.chown(path, 65534, group.gr_gid)
                    os.chmod(path, mode)
                    try:
                        r, _ = self.run_tool("--port", path, launcher=harness.WITHOUT_ROOT_OVERRIDES)
                    finally:
                        os.chown(path, st.st_uid, st.st_gid)
                        os.chmod(path, st.st_mode & 0o7777)
                    self.assertEqual(r.stdout.splitlines()[1], f"Cannot open {path}: {reason}")
                    self.assertEqual(r.returncode, 2)
        self.assertEqual(d.data(), b"")

    def test_this_programs_own_terminal_is_refused_and_left_as_it_was(self):
        d = self.device()
        attrs = termios.tcgetattr(d.slave)

        def own_terminal():  # a session whose controlling terminal is the device's pty
            os.setsid()
            os.close(os.open(d.path, os.O_RDWR))

        refused = "the terminal this program runs in, not a serial port"
        for port in ("tty", d.path):
            with self.subTest(port=port):
                r = subprocess.run([CONSOLE, "--port", port], capture_output=True, text=True,
                                   timeout=30, preexec_fn=own_terminal)
                self.assertEqual(r.stdout.splitlines()[1:2], [
                    f"Cannot open {port if '/' in port else '/dev/' + port}: {refused}"])
                self.assertEqual(r.returncode, 2)
        # In a session of its own, printing on the device's pty: only its lines reach the pty.
        r = subprocess.run(["setsid", "-w", CONSOLE, "--port", d.path], stdout=d.slave, timeout=30)
        lines = f"Open port\nCannot open {d.path}: {refused}\nPort closed\n".encode()
        # The device's reader takes them from the pty a moment after the program has ended.
        with contextlib.suppress(TimeoutError):
            harness.wait_until(lambda: len(d.data()) >= len(lines), 10, "the lines on the pty")
        self.assertEqual((d.data(), termios.tcgetattr(d.slave), r.returncode), (lines, attrs, 2))

    def test_output_that_cannot_be_written(self):
        devices, env, _ = self.bench(*[None] * 3)
        env = dict(os.environ, **env)
        # A pipe closed early: every exchange still finishes, then the program ends by SIGPIPE.
        r = subprocess.run(["bash", "-c", '"$@" | head -1; exit ${PIPESTATUS[0]}', "pipe",
                            CONSOLE, "--all"], capture_output=True, text=True, env=env, timeout=30)
        self.assertEqual((r.returncode, len(r.stdout.splitlines())), (128 + signal.SIGPIPE, 1))
        self.assertEqual([d.data() for d in devices], [COMMAND] * 3)
        # No room for the output: said on standard error, status 70, after the exchange.
        for args in (["--help"], ["--list"], ["--port", devices[0].path]):
            with self.subTest(args=args), open("/dev/full", "w") as full:
                r = subprocess.run([CONSOLE, *args], stdout=full, stderr=subprocess.PIPE,
                                   text=True, env=env, timeout=30)
                self.assertEqual((r.returncode, r.stderr), (70, "quillomarvet: cannot write "
                                 "standard output: No space left on device\n"))
        self.assertEqual(devices[0].data(), COMMAND * 2)
        # A log that cannot be written: said, and the exchange goes on.
        r, _ = self.run_tool("--log", "/dev/full", "--port", devices[1].path, env=env)
        self.assertEqual((r.returncode, r.stdout.splitlines(), r.stderr), (
            1, ["Open port", "NO COMM", "Port closed"],
            "quillomarvet: cannot write the log /dev/full: No space left on device\n"))
        # A record cut short (here by a file size limit) is taken back whole, the earlier kept;
        # one a power cut tore is ended first, so that the next starts on a line of its own.
        limited = os.path.join(self.work, "limited.jsonl")
        with open(limited, "wb") as f:
            f.write(b'{"type":"earlier"}\n{"type":"to')
        r = subprocess.run([CONSOLE, "--log", limited, "--port", devices[1].path], env=env,
                           capture_output=True, text=True, timeout=30, preexec_fn=lambda: (
                               resource.setrlimit(resource.RLIMIT_FSIZE, (60, 60)),
                               signal.signal(signal.SIGXFSZ, signal.SIG_IGN)))
        self.assertEqual((r.returncode, r.stderr), (
            1, f"quillomarvet: cannot write the log {limited}: File too large\n"))
        with open(limited, "rb") as f:
            self.assertEqual(f.read(), b'{"type":"earlier"}\n{"type":"to\n')
        # A log's folder that may be written but not read cannot be synced: said, and the log is
        # kept. A link's folder is not the log's: the folder its target is in is synced.
        locked, shown = os.path.join(self.work, "locked"), os.path.join(self.work, "shown")
        os.mkdir(locked)
        os.mkdir(shown)
        os.symlink(os.path.join(shown, "log.jsonl"), os.path.join(locked, "link.jsonl"))
        os.chmod(locked, 0o300)
        for name, said in (("new.jsonl", f"the log's folder {locked} cannot be read to sync it"),
                           ("link.jsonl", None)):
            r, _ = self.run_tool("--log", os.path.join(locked, name), "--port", self.device().path,
                                 launcher=harness.WITHOUT_ROOT_OVERRIDES)
            self.assertEqual((r.returncode, bool(r.stderr)), (1, bool(said)))
            self.assertIn(said or "", r.stderr)
            with open(os.path.join(locked, name)) as f:
                self.assertEqual(json.loads(f.read())["outcome"], "no-answer")
        os.chmod(locked, 0o700)
        # A log whose reader stopped reading holds the verdict, but not a signal: after a moment
        # the program ends by it.
        stalled = os.path.join(self.work, "stalled")
        os.mkfifo(stalled)
        reader = os.open(stalled, os.O_RDWR | os.O_NONBLOCK)  # reads nothing: full at once
        self.addCleanup(os.close, reader)
        with contextlib.suppress(BlockingIOError):
            while True:
                os.write(reader, b"x" * 4096)
        proc = subprocess.Popen([CONSOLE, "--log", stalled, "--port", devices[2].path], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(WAIT_S + 1)
        self.assertIsNone(proc.poll())  # the verdict waits for the log
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=10)
        self.assertEqual((proc.returncode, out), (-signal.SIGTERM, ""))
        self.assertIn(f"cannot write the log {stalled}: it stalled", err)
        # Closed standard streams: the wait still sleeps (CPU time, not wall time, is measured).
        # Outside the testbed, whose preload would take descriptor 0 for itself.
        env.pop("LD_PRELOAD", None)
        proc = subprocess.Popen(["bash", "-c", 'exec "$@" <&- >&- 2>&-', "closed", CONSOLE,
                                 "--port", self.device().path], env=env)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        self.assertEqual(proc.returncode, 1)
        self.assertLess(usage.ru_utime + usage.ru_stime, 0.5, "it spun through the wait")

    def test_an_interrupt_during_the_wait_releases_the_ports_and_prints_nothing_more(self):
        # The program ends by the signal, as a shell expects: a script that ran it stops too.
        script = ("bash", "-c", '"$@"; echo next', "script")
        for name, sig, count, launcher in (
                ("SIGINT", signal.SIGINT, 1, ()), ("SIGTERM", signal.SIGTERM, 1, ()),
                ("SIGHUP", signal.SIGHUP, 1, ()), ("SIGINT during --all", signal.SIGINT, 3, ()),
                ("Ctrl+C in a script", signal.SIGINT, 1, script),
                ("stalled: standard output a full pipe nobody reads", signal.SIGTERM, 1, ())):
            stalled = name.startswith("stalled")
            with self.subTest(name):
                if count == 1:
                    devices, env = [self.device()], dict(os.environ, **NO_TREE)
                    env.pop("LD_PRELOAD", None)
                    args, prefixes = ["--port", devices[0].path], [""]
                else:
                    devices, extra, _ = self.bench(*[None] * count)
                    env, args = dict(os.environ, **extra), ["--all"]
                    prefixes = [f"/dev/ttyUSB{n} (1-{n + 1}): " for n in range(count)]
                out = subprocess.PIPE
                if stalled:  # its first line cannot go: it stops there, with its port open
                    reader, out = os.pipe()
                    self.addCleanup(lambda fds=(reader, out): [os.close(fd) for fd in fds])
                    os.set_blocking(out, False)
                    os.write(out, b"x" * (1 << 20))  # what it takes, page by page: it is full
                    os.set_blocking(out, True)
                    left = termios.tcgetattr(devices[0].slave)
                proc = subprocess.Popen([*launcher, CONSOLE, *args], stdout=out,
                                        stderr=subprocess.PIPE, env=env, start_new_session=True)
                self.addCleanup(proc.kill)
                for d in devices:  # stalled, it sets the port up, then stops at "Open port"
                    harness.wait_until(lambda: termios.tcgetattr(d.slave)[4] == termios.B57600
                                       if stalled else d.data() == COMMAND, 10, "the command")
                time.sleep(0.3)
                self.assertTrue(all(len(d.holders()) == 1 for d in devices))  # the tool
                sent = time.monotonic()
                os.killpg(proc.pid, sig)  # as a terminal does: the whole foreground group
                out, err = proc.communicate(timeout=10)
                self.assertLess(time.monotonic() - sent, 1.0, "it waited the wait out")
                self.assertEqual(proc.returncode, -sig)
                if stalled:
                    self.assertEqual(termios.tcgetattr(devices[0].slave), left)
                else:
                    self.assertEqual(sorted(out.decode().splitlines()),
                                     [p + "Open port" for p in prefixes])
                self.assertEqual(err, b"")
                self.assertEqual([d.holders() for d in devices], [set()] * count)

    def test_a_hangup_the_caller_ignores_stays_ignored(self):
        # nohup: a bench run that outlives the operator's session.
        d = self.device()
        env = dict(os.environ, **NO_TREE)
        env.pop("LD_PRELOAD", None)
        proc = subprocess.Popen([CONSOLE, "--port", d.path], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env,
                                preexec_fn=lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN))
        harness.wait_until(lambda: d.data() == COMMAND, 10, "the command")
        proc.send_signal(signal.SIGHUP)
        out, err = proc.communicate(timeout=10)
        self.assertEqual(out.decode().splitlines(), ["Open port", "NO COMM", "Port closed"], err)
        self.assertEqual(proc.returncode, 1)

    def test_a_device_that_goes_away_mid_exchange(self):
        def go_away_once_the_command_starts(device, data):
            if data.startswith(b"AT+DEFAULT") and not getattr(device, "gone", False):
                device.gone = True
                threading.Thread(target=device.hang_up).start()  # not from its own reader

        d = self.device(go_away_once_the_command_starts)
        r, took = self.run_tool("--port", d.path)
        self.assertEqual(r.stdout.splitlines(), ["Open port", "NO COMM", "Port closed"])
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertLess(took, 2 * WAIT_S)

    def test_usage_errors_and_no_adapter(self):
        d = self.device()
        unread = os.path.join(self.work, "unread")
        os.mkfifo(unread)  # a FIFO nobody reads: refused at once, not waited on
        for args, status in ((["--port", d.path, "--all"], 64), (["--frobnicate"], 64),
                             (["--port"], 64), ([], 3), (["--all"], 3), (["--list"], 3),
                             (["--log", self.work + "/no/such", "--port", d.path], 70),
                             (["--log", unread, "--watch"], 70)):
            with self.subTest(args=args):
                r, _ = self.run_tool(*args, env=NO_TREE)
                self.assertEqual(r.returncode, status)
                self.assertEqual(r.stdout, "")
                # names the option to use or to fix, or the log it cannot open
                self.assertIn("cannot open the log" if status == 70 else "--", r.stderr)
                if status == 3:
                    self.assertIn("cp210x", r.stderr)
        self.assertEqual(d.data(), b"")
        r, _ = self.run_tool("--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn("Exit status", r.stdout)

    def test_watch_resets_each_adapter_once_per_plug_in(self):
        (a, b), env, _ = self.bench(harness.answer_after_command(b"OK\r\n"), None)
        proc = subprocess.Popen([CONSOLE, "--watch", "--json", "--settle", "0.2"], env=dict(
            os.environ, **env), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

        def what_it_said():  # should a wait below fail: what the program had printed by then
            if proc.returncode is not None:
                return
            proc.kill()
            print("quillomarvet --watch printed:", *proc.communicate(), sep="\n", file=sys.stderr)
        self.addCleanup(what_it_said)
        harness.wait_until(lambda: a.data() == b.data() == COMMAND, 10, "those present at start")

        # Plugged in, pulled out mid-exchange, plugged in again (the kernel may give it another
        # name, as umockdev must): NO COMM, then reset again.
        (c,), (path,) = self.plug(3, responder=None)
        harness.wait_until(lambda: c.data() == COMMAND, 10, "the one plugged in")
        harness.umockdev_unplug(self.testbed, path, c)
        (c,), _ = self.plug(3, name="ttyUSB99")
        harness.wait_until(lambda: c.data() == COMMAND, 10, "the one plugged in again")
        # As many as umockdev's preload can hold open at once, plugged in together.
        many, _ = self.plug(4, 35)
        harness.wait_until(lambda: all(d.data() == COMMAND for d in many), 60, "all at once")
        # A CP2105: each of its two ports is reset, in a socket of its own.
        dual = [harness.MockedDevice(self.testbed.get_dev_fd(node), harness.answer_after_command(
            b"OK\r\n")) for node, _ in harness.umockdev_adapters(
                self.testbed, [(("ttyUSB60", "ttyUSB61"), "Dual")], 60)]
        self.devices += dual
        harness.wait_until(lambda: all(d.data() == COMMAND for d in dual), 10, "both ports")
        time.sleep(WAIT_S + 0.5)  # every exchange over, and nothing more sent
        self.assertEqual([d.data() for d in [a, b, c, *many, *dual]], [COMMAND] * 40)
        # Ctrl+C during an exchange: its port is let go, and it counts as interrupted. It is found
        # where no event reaches the program (the kernel's go to another network namespace).
        for socket in glob.glob(os.path.join(self.testbed.get_root_dir(), "event*")):
            os.remove(socket)
        (last,), _ = self.plug(39, responder=None)
        harness.wait_until(lambda: last.data() == COMMAND, 10, "the last one")
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)
        self.assertEqual((proc.returncode, err), (-signal.SIGINT, "42 reset: 39 answered, 2 no "
                                                  "answer, 0 could not be opened, 1 interrupted\n"))
        self.assertEqual(last.holders(), set())
        records = [json.loads(line) for line in out.splitlines()]
        self.assertEqual(records[-1], {"type": "summary", "answered": 39, "no-answer": 2,
                                       "cannot-open": 0, "interrupted": 1})
        self.assertEqual(sorted((r["port"], r["location"]) for r in records[1:-1]
                                if r["location"].startswith("1-60")),
                         [("/dev/ttyUSB60", "1-60:1.0"), ("/dev/ttyUSB61", "1-60:1.1")])
        self.assertEqual((records[0]["type"], records[0]["settle"]), ("watch", 0.2))
        first_three = sorted((r["location"], r["outcome"]) for r in records[1:-1]
                             if r["location"] in ("1-1", "1-2", "1-3"))
        self.assertEqual(first_three, [("1-1", "answered"), ("1-2", "no-answer"),
                                       ("1-3", "answered"), ("1-3", "no-answer")])
        self.assertEqual(len(records), 44)
        first = next(r for r in records[1:] if r["location"] == "1-1")
        self.assertEqual({k: v for k, v in first.items() if k not in ("started", "seconds")}, {
            "type": "exchange", "port": "/dev/ttyUSB0", "location": "1-1", "serial": "QM0001",
            "product": "Bench 0", "outcome": "answered", "answer": "OK", "reason": None})
        self.assertRegex(first["started"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        self.assertTrue(WAIT_S <= first["seconds"] < WAIT_S + 1, first["seconds"])

    def test_the_station_board_in_a_terminal(self):
        if not shutil.which("tmux"):
            self.skipTest("tmux not installed (scripts/setup.sh installs it)")
        server = ["tmux", "-L", f"qm-board-{os.getpid()}", "-f", "/dev/null"]
        self.addCleanup(subprocess.run, [*server, "kill-server"], capture_output=True)

        def tmux(*args):
            return subprocess.run([*server, *args], capture_output=True, text=True,
                                  check=True).stdout

        def run(name, tree, *args, colour="1", term=None):
            """The program in a terminal of its own, 80x24; the terminal's settings (stty -g)
            are kept before and after it, and its exit status."""
            status = os.path.join(self.work, name)
            script = (f"trap true INT; stty -g > {status}.before; \"$@\"; echo $? > {status}; "
                      f"stty -g > {status}.t; mv {status}.t {status}.after; sleep 600")
            tmux("new-session", "-d", "-s", name, "-x", "80", "-y", "24", "env", "-u", "NO_COLOR",
                 f"UMOCKDEV_DIR={tree}", *([] if colour else ["NO_COLOR=1"]),
                 *([f"TERM={term}"] if term else []), "sh", "-c", script, "sh", CONSOLE, *args)
            return status

        def screen(name):
            return tmux("capture-pane", "-p", "-t", name).splitlines()

        def row(name, socket):  # a socket's row on the board
            return next((line for line in screen(name) if line.startswith(socket + " ")), "")

        def ended(status):  # the exit status, and whether the terminal was left as it was
            harness.wait_until(lambda: os.path.exists(status + ".after"), 10, "the end")
            read = lambda path: open(path).read()  # noqa: E731
            return int(read(status)), read(status + ".before") == read(status + ".after")

        # q ends a board with 0, Ctrl+C by the signal: the terminal as it was, the summary on the
        # normal screen, or on a terminal without one (vt100), on a screen the board has left.
        # Colour (here the title's) unless NO_COLOR is set. Stray keys end nothing: F2, a lone
        # Esc, a serial number typed in by a barcode scanner.
        for name, keys, status, colour, term in (("q", ["q"], 0, "", None),
                                                 ("ctrl-c", ["C-c"], 130, "1", None),
                                                 ("vt100", ["q"], 0, "", "vt100")):
            done = run(name, NO_TREE["UMOCKDEV_DIR"], "--watch", colour=colour, term=term)
            harness.wait_until(lambda: "SOCKET" in "".join(screen(name)), 10, "the board")
            coloured = tmux("capture-pane", "-p", "-e", "-t", name)
            self.assertEqual(bool(re.search("\x1b\\[[0-9;]*3[1-6]m", coloured)), bool(colour), name)
            tmux("send-keys", "-t", name, "F2", "Escape")
            tmux("send-keys", "-t", name, "-l", "QM0001")
            time.sleep(0.5)
            self.assertFalse(os.path.exists(done), "a stray key ended the watch")
            tmux("send-keys", "-t", name, *keys)
            self.assertEqual(ended(done), (status, True), name)
            self.assertIn("0 reset: 0 answered", [line[:19] for line in screen(name)], name)
            self.assertNotIn("SOCKET", "\n".join(screen(name)), name)

        # Ctrl+Z on a board that a script started, then fg: the board again, and q ends it.
        tmux("new-session", "-d", "-s", "wrapped", "-x", "80", "-y", "24", "env", "PS1=$ ",
             f"UMOCKDEV_DIR={NO_TREE['UMOCKDEV_DIR']}", "bash", "--norc", "--noprofile", "-i")
        tmux("send-keys", "-t", "wrapped", "-l",
             f"sh -c '\"$0\" --watch; echo \"status $?\"' {CONSOLE}\r")
        harness.wait_until(lambda: "SOCKET" in "".join(screen("wrapped")), 10, "the board")
        tmux("send-keys", "-t", "wrapped", "C-z")
        harness.wait_until(lambda: "SOCKET" not in "".join(screen("wrapped")), 10, "the shell")
        tmux("send-keys", "-t", "wrapped", "-l", "jobs\r")
        harness.wait_until(lambda: "Stopped" in "".join(screen("wrapped")), 10, "it stopped")
        tmux("send-keys", "-t", "wrapped", "-l", "fg\r")
        harness.wait_until(lambda: "SOCKET" in "".join(screen("wrapped")), 10, "the board again")
        tmux("send-keys", "-t", "wrapped", "q")
        harness.wait_until(lambda: "status 0" in screen("wrapped"), 10, "the end")

        # An answer in other scripts, each character in the cells it takes (Chinese in two: the
        # columns after it stay in line). Then q during a reset: the board says the watch ends
        # once it has; the exchange goes on to its answer, as the log keeps it; status 0.
        answer = "\u041f\u0440\u0438\u0432\u0435\u0442, \u4f60\u597d"
        (script,), env, (script_path,) = self.bench(
            harness.answer_after_command(answer.encode() + b"\r\n"), first=60)
        log = os.path.join(self.work, "quit.jsonl")
        # A moment's settling: umockdev may announce a tty a moment before its node opens.
        done = run("quit", env["UMOCKDEV_DIR"], "--watch", "--settle", "0.2", "--log", log)
        harness.wait_until(lambda: answer + " " in row("quit", "1-60"), 10, "the answer")
        shown = row("quit", "1-60")
        before_time = shown[:re.search(r"\d\d:\d\d:\d\d", shown).start()]
        cells = sum(1 + (unicodedata.east_asian_width(c) in "WF") for c in before_time)
        self.assertEqual(cells, screen("quit")[2].index("TIME"), shown)
        late = harness.answer_after_command(b"OK\r\n", 1.5)
        (busy,), (busy_path,) = self.plug(61, responder=late)
        tmux("send-keys", "-t", "quit", "q")
        harness.wait_until(lambda: "Ending once 1 reset ends" in "".join(screen("quit")), 1.5,
                           "why")
        self.assertEqual(ended(done), (0, True))
        with open(log) as f:
            records = [json.loads(line) for line in f]
        self.assertEqual([(r["type"], r.get("outcome")) for r in records],
                         [("watch", None), ("exchange", "answered"), ("exchange", "answered"),
                          ("summary", None)])
        harness.umockdev_unplug(self.testbed, script_path, script)
        harness.umockdev_unplug(self.testbed, busy_path, busy)
        # A terminal stopped with Ctrl+S (a stalled ssh alike) does not hold SIGTERM back.
        done = run("stalled", NO_TREE["UMOCKDEV_DIR"], "--watch")
        harness.wait_until(lambda: "SOCKET" in "".join(screen("stalled")), 10, "the board")
        tmux("send-keys", "-t", "stalled", "C-s")
        tmux("resize-window", "-t", "stalled", "-x", "70", "-y", "20")  # a redraw that waits
        time.sleep(0.5)
        program = ["-f", f"^{CONSOLE} --watch$"]
        subprocess.run(["pkill", "-TERM", *program], check=True)
        harness.wait_until(lambda: subprocess.run(["pgrep", *program], capture_output=True).returncode,
                           10, "its end")
        tmux("send-keys", "-t", "stalled", "C-q")  # the shell says "Terminated" there
        self.assertEqual(ended(done), (143, True))

        log = os.path.join(self.work, "verdicts.jsonl")
        with open(log, "w") as f:
            f.write('{"type":"earlier"}\n')
        (_, silent, _), env, paths = self.bench(harness.answer_after_command(b"OK\r\n"), None,
                                                harness.answer_after_command(b"OK\r\n"))
        run("bench", env["UMOCKDEV_DIR"], "--watch", "--settle", "0.2", "--log", log)
        harness.wait_until(lambda: all(v in row("bench", s) for s, v in (
            ("1-1", " OK "), ("1-2", " NO COMM "), ("1-3", " OK "))), 15, "the verdicts")
        self.assertEqual([line.split()[0] for line in screen("bench")[3:6]], ["1-1", "1-2", "1-3"])
        # Pulled: its verdict stays, marked; a late plug-in takes its own place.
        harness.umockdev_unplug(self.testbed, paths[1], silent)
        harness.wait_until(lambda: "pulled, NO COMM" in row("bench", "1-2"), 10, "the pull")
        self.plug(4)
        harness.wait_until(lambda: " OK " in row("bench", "1-4"), 10, "the late one")
        # Resized: redrawn to the new size at once, nothing wrapped.
        tmux("resize-window", "-t", "bench", "-x", "50", "-y", "12")
        harness.wait_until(lambda: screen("bench")[0].startswith("quillomarvet --watch") and
                           " OK " in row("bench", "1-4"), 5, "the board redrawn")
        self.assertTrue(all(len(line) <= 50 for line in screen("bench")), screen("bench"))
        # 48 sockets on 80x24: each with its place and verdict.
        tmux("resize-window", "-t", "bench", "-x", "80", "-y", "24")
        for first in (5, 27):  # fewer open at once than umockdev can hold
            self.plug(first, 22)
            time.sleep(WAIT_S + 0.5)
        shown = "\n".join(line for line in screen("bench") if not line.startswith("Last:"))
        verdicts = re.findall(r"(?:^|\s)(1-\d+) +(OK|NO COMM|\(NO COMM\))(?= |$)", shown, re.M)
        self.assertEqual(sorted(int(s[2:]) for s, _ in verdicts), list(range(1, 49)), shown)
        self.assertIn("48 reset: 47 answered, 1 no answer", shown)
        # kill -9: every verdict shown is in the log, whole, after what was there before.
        shell = tmux("display", "-p", "-t", "bench", "#{pane_pid}").strip()
        with open(f"/proc/{shell}/task/{shell}/children") as f:
            (program,) = f.read().split()
        os.kill(int(program), signal.SIGKILL)
        with open(log, "rb") as f:
            lines = f.read().split(b"\n")
        self.assertEqual(lines[-1], b"")
        records = [json.loads(line) for line in lines[:-1]]
        self.assertEqual([r["type"] for r in records[:2]], ["earlier", "watch"])
        exchanges = sorted((r["location"], r["outcome"]) for r in records[2:])
        self.assertEqual(exchanges, sorted([(f"1-{n}", "no-answer" if n == 2 else "answered")
                                            for n in range(1, 49)]))

    def test_the_manual_page_and_the_completion_follow_help(self):
        usage = self.run_tool("--help")[0].stdout
        options = re.findall(r"^  (--[a-z-]+)", usage, re.M)
        statuses = re.findall(r"^  ([0-9]+) ", usage, re.M)
        with open(MANPAGE) as f:
            lines = f.read().splitlines()
        tags, section = {}, None  # each section's .TP tags, as --help spells them
        for before, line in zip(lines, lines[1:]):
            if line.startswith(".SH "):
                section = line[4:].strip('"')
            elif before == ".TP":
                tags.setdefault(section, []).append(line.split()[1].replace("\\-", "-"))
        self.assertEqual((tags.get("OPTIONS"), tags.get("EXIT STATUS")), (options, statuses))
        if shutil.which("groff"):
            lint = subprocess.run(["groff", "-ww", "-man", "-z", MANPAGE], capture_output=True)
            self.assertEqual(lint.stderr, b"")

        _, env, _ = self.bench(None, None)
        def complete(*words, env=env):
            env = dict(os.environ, **env)
            if "UMOCKDEV_DIR" not in env:
                env.pop("LD_PRELOAD", None)
            script = ('source "$0"; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _quillomarvet "$1"'
                      '; ((${#COMPREPLY[@]} == 0)) || printf "%s\\0" "${COMPREPLY[@]}"')
            return subprocess.run(["bash", "-c", script, COMPLETION, CONSOLE, *words], env=env,
                                  capture_output=True, text=True, check=True).stdout.split("\0")[:-1]
        self.assertEqual(complete("--"), options)
        self.assertEqual(complete("--p"), ["--port", "--plain"])
        self.assertEqual(complete("--log", "/dev/nul", env=NO_TREE), ["/dev/null"])
        self.assertEqual(complete("--port", ""), ["/dev/ttyUSB0", "/dev/ttyUSB1"])
        self.assertEqual(complete("--port", "="), ["/dev/ttyUSB0", "/dev/ttyUSB1"])  # bash splits
        open(os.path.join(self.work, "two\nlines"), "w").close()
        for words, expected in ((["--port", "/dev/nul"], ["/dev/null"]),
                                (["--port", "=", "/dev/nul"], ["/dev/null"]),
                                (["--port", self.work + "/tw"], [self.work + "/two\nlines"]),
                                (["--settle", ""], []), (["--settle", "=", ""], []),
                                (["--expect", ""], [])):
            self.assertEqual(complete(*words, env=NO_TREE), expected, words)
        self.assertIn("tty", complete("--port", "tt", env=NO_TREE))


if __name__ == "__main__":
    unittest.main()

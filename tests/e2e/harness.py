"""Runs the real Quillomarvet.exe under Wine on a virtual X display, against a simulated device
on a pseudo-terminal mapped to a COM port. Standard library only.

The tool reports what it does through OutputDebugString ("Quillomarvet: <tag>: <text>"); Wine
prints those on stderr with WINEDEBUG=warn+seh, and App collects them as events.
"""

import atexit
import contextlib
import glob
import copy
import functools
import itertools
import os
import pty
import re
import select
import sys
import shutil
import signal
import subprocess
import threading
import time
import tty

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TWIPS_PER_INCH = 1440


def px(twips, dpi=96):
    return twips * dpi // TWIPS_PER_INCH


# Centre of the Reset button, in twips from the client area's top-left corner.
RESET_CENTRE_TWIPS = (1673 + 1215 // 2, 1200 + 495 // 2)


def wait_until(predicate, timeout, what, interval=0.02):
    """Polls `predicate` until it returns something true; raises TimeoutError naming `what`."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(interval)


class SetupError(SystemExit):
    """The machine cannot run the tool: Wine, Xvfb or a build is missing or broken. It ends the
    program with a sentence saying what failed and what to do, not with a traceback (unittest
    lets SystemExit through from its fixtures)."""

    def __init__(self, what, todo):
        super().__init__(f"Set-up failed: {what}\n{todo}")


# Set to 1 to run the 64-bit build under 64-bit Wine on a host that could run both.
FORCE_WINE64 = "QM_FORCE_WINE64"


def _elf(path):
    """`path` if it is a program itself, not a wrapper script: Debian's `wine` script falls back
    to 64-bit Wine when the 32-bit part is missing, so its answer says nothing about 32 bits."""
    try:
        with open(path, "rb") as f:
            return path if f.read(4) == b"\x7fELF" else None
    except (OSError, TypeError):
        return None


def _loader_runs(path):
    """Whether a Wine loader starts here, and if not, why."""
    if not path or not os.access(path, os.X_OK):
        return False, "not installed or not executable"
    try:
        result = subprocess.run([path, "--version"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, timeout=60)
    except OSError as e:  # ENOEXEC when the kernel runs no 32-bit programs
        return False, e.strerror
    except subprocess.TimeoutExpired:
        return False, "did not answer within 60 s"
    if result.returncode != 0:
        reason = result.stderr.decode(errors="replace").strip().splitlines()
        return False, reason[-1] if reason else f"exit status {result.returncode}"
    return True, ""


class WineRuntime:
    """Which Wine runs the tool on this host, and so which build of it. The one place that
    decides: the 32-bit product where the 32-bit loader starts, else the 64-bit build under
    64-bit Wine, in prefixes of their own."""

    def __init__(self, bits, loader, reason):
        self.bits = bits
        self.reason = reason  # one line for the user when the fallback is taken
        # How a program is started: the usual wrapper for 32-bit, the 64-bit loader itself
        # otherwise (Debian's wrapper would pick the 32-bit loader whenever it is installed).
        self.wine = ["wine"] if bits == 32 else [loader]
        self.env = {} if bits == 32 else {"WINELOADER": loader, "WINEARCH": "win64"}

    def prefix_path(self, path):
        return path if self.bits == 32 else path + "-win64"

    def exe(self, path):
        """The build of `path` (a file of the 32-bit build tree) that runs here."""
        if self.bits == 32:
            return path
        tree32 = os.path.join(ROOT, "build", "windows")
        tree64 = os.path.join(ROOT, "build", "windows64")
        if not os.path.relpath(os.path.abspath(path), tree64).startswith(".."):
            return path  # already the 64-bit build
        relative = os.path.relpath(os.path.abspath(path), tree32)
        if relative.startswith(".."):
            raise SetupError(f"{path} is not in the 32-bit build tree {tree32}",
                             "Pass an executable from build/windows/.")
        found = os.path.join(tree64, relative)
        if not os.path.exists(found):
            raise SetupError(f"this host needs the 64-bit build, and {found} is missing.",
                             "Build it: cmake --preset windows64 && "
                             "cmake --build --preset windows64")
        return found


@functools.lru_cache(maxsize=None)
def wine_runtime():
    """Decided by trying: the 32-bit loader starts here, or it does not."""
    loader32 = "/usr/lib/wine/wine" if os.path.exists("/usr/lib/wine/wine") \
        else _elf(shutil.which("wine"))
    loader64 = "/usr/lib/wine/wine64" if os.path.exists("/usr/lib/wine/wine64") \
        else shutil.which("wine64")
    forced = os.environ.get(FORCE_WINE64, "") not in ("", "0")
    runs32, why32 = (False, f"{FORCE_WINE64} is set") if forced else _loader_runs(loader32)
    if runs32:
        return WineRuntime(32, loader32, "")
    runs64, why64 = _loader_runs(loader64)
    if not runs64:
        raise SetupError(
            f"no Wine loader runs here (32-bit {loader32 or 'wine'}: {why32}; "
            f"64-bit {loader64 or 'wine64'}: {why64}).",
            "Install Wine with scripts/setup.sh (packages wine, wine64, wine32:i386).")
    reason = (f"{FORCE_WINE64} is set" if forced else "This host runs no 32-bit programs")
    return WineRuntime(64, loader64, f"{reason}: using the 64-bit build under 64-bit Wine.")


_announced = set()


def announce(text, stream=sys.stderr):
    """Prints a line once per process."""
    if text not in _announced:
        _announced.add(text)
        print(text, file=stream, flush=True)


class Display:
    """A private Xvfb server, or with `existing`, a display that is already there."""

    def __init__(self, width=1024, height=768, existing=None):
        self.proc = None
        if existing:
            self.name = existing
            return
        self.number = None
        for n in range(91, 160):
            if not os.path.exists(f"/tmp/.X{n}-lock") and not os.path.exists(f"/tmp/.X11-unix/X{n}"):
                self.number = n
                break
        if self.number is None:
            raise RuntimeError("no free X display number")
        self.name = f":{self.number}"
        try:
            self.proc = subprocess.Popen(
                ["Xvfb", self.name, "-screen", "0", f"{width}x{height}x24", "-nolisten", "tcp"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except OSError as e:
            raise SetupError(f"Xvfb could not be started ({e.strerror}).",
                             "Install it with scripts/setup.sh (package xvfb).")
        atexit.register(self.close)  # also when a set-up failure ends the run early
        try:
            wait_until(lambda: os.path.exists(f"/tmp/.X11-unix/X{self.number}")
                       or self.proc.poll() is not None, 10, "Xvfb to start")
        except TimeoutError:
            pass
        if self.proc.poll() is not None or not os.path.exists(f"/tmp/.X11-unix/X{self.number}"):
            self.close()
            raise SetupError(f"Xvfb could not start the virtual display {self.name}.",
                             "Check that /tmp/.X11-unix is writable and no stale X server holds "
                             "the display, or set DISPLAY to a running one.")

    def close(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)


class WinePrefix:
    """A private Wine prefix; created on first use (about 15 s), then reused. Under 64-bit Wine
    it lives beside the 32-bit one, in `path`-win64."""

    def __init__(self, path, display):
        runtime = wine_runtime()
        self.wine = runtime.wine
        self.path = os.path.abspath(runtime.prefix_path(path))
        self.env = dict(os.environ)
        self.env.pop("WINELOADER", None)
        self.env.update(runtime.env)
        self.env.update({
            "WINEPREFIX": self.path,
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "WINEDEBUG": "-all",
            "DISPLAY": display.name,
        })
        if runtime.bits == 32:
            self.env.pop("WINEARCH", None)
        if not os.path.exists(os.path.join(self.path, "system.reg")):
            os.makedirs(self.path, exist_ok=True)
            try:
                booted = self.run([*self.wine, "wineboot", "-i"], check=False)
                status = booted.returncode
            except (OSError, subprocess.TimeoutExpired) as e:
                status = e
            self.kill_server()  # the wineserver writes the registry out as it ends
            if status != 0 or not os.path.exists(os.path.join(self.path, "system.reg")):
                shutil.rmtree(self.path, ignore_errors=True)  # so the next run starts afresh
                raise SetupError(f"Wine could not set up its prefix {self.path} "
                                 f"(wineboot: {status}).",
                                 f"Check that `{' '.join(self.wine)} --version` works; "
                                 f"{FORCE_WINE64}=1 tries the 64-bit build instead.")
        self.kill_server()

    def run(self, args, check=True):
        return subprocess.run(args, env=self.env, check=check, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=120)

    def kill_server(self):
        self.run(["wineserver", "-k"], check=False)
        self.run(["wineserver", "-w"], check=False)

    def set_com_port(self, number, device_path):
        self.run([*self.wine, "reg", "add", r"HKLM\Software\Wine\Ports", "/v", f"COM{number}",
                  "/d", device_path, "/f"])
        self.kill_server()  # the next start picks the mapping up

    def remove_com_port(self, number):
        self.run([*self.wine, "reg", "delete", r"HKLM\Software\Wine\Ports", "/v", f"COM{number}",
                  "/f"], check=False)
        dosdevice = os.path.join(self.path, "dosdevices", f"com{number}")
        if os.path.lexists(dosdevice):
            os.remove(dosdevice)
        self.kill_server()

    def set_dpi(self, dpi):
        self.run([*self.wine, "reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels",
                  "/t", "REG_DWORD", "/d", str(dpi), "/f"])
        self.kill_server()


class SimDevice:
    """The device on the far side of a raw pty. Records every byte it receives with the time
    it arrived, and answers through `responder(device, received_so_far)`, called after each
    read."""

    def __init__(self, responder=None):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.responder = responder
        self.received = []  # (monotonic time, bytes)
        self.sent = []  # (monotonic time, bytes), once written into the pty
        self.lock = threading.Lock()
        self._stop = False
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._thread.start()

    def _loop(self):
        while not self._stop:
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if not ready:
                continue
            try:
                data = os.read(self.master, 65536)
            except OSError:
                time.sleep(0.05)
                continue
            with self.lock:
                self.received.append((time.monotonic(), data))
            if self.responder:
                self.responder(self, self.data())

    def data(self):
        with self.lock:
            return b"".join(d for _, d in self.received)

    def clear(self):
        with self.lock:
            self.received.clear()

    def send(self, data):
        view = memoryview(data)
        while view:
            written = os.write(self.master, view)
            view = view[written:]
        with self.lock:
            self.sent.append((time.monotonic(), bytes(data)))

    def send_later(self, delay, data):
        threading.Timer(delay, self.send, args=(data,)).start()

    def holders(self):
        """Other processes that have the device open (the tool, while its port is open)."""
        target = os.path.realpath(self.path)
        found = set()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            if int(pid) == os.getpid():
                continue
            try:
                for fd in os.listdir(f"/proc/{pid}/fd"):
                    if os.path.realpath(f"/proc/{pid}/fd/{fd}") == target:
                        found.add(int(pid))
            except OSError:
                continue
        return found

    def hang_up(self):
        """The far side goes away: the device stops listening and its end of the pty closes.
        Call it from another thread than the responder's."""
        self._stop = True
        self._thread.join(timeout=2)
        if self.master >= 0:
            os.close(self.master)
            self.master = -1

    def close(self):
        self.hang_up()
        os.close(self.slave)


def answer_after_command(answer, delay=0.05):
    """A responder that answers once "AT+DEFAULT" and ten line ends have arrived."""
    command = b"AT+DEFAULT" + b"\r\n" * 10

    def respond(device, data):
        if data.endswith(command) and not getattr(device, "_answered", False):
            device._answered = True
            device.send_later(delay, answer)

    return respond


def answer_each_command(*answers, delay=0.05):
    """A responder for a run of exchanges: once the n-th "AT+DEFAULT" and ten line ends have
    arrived (counted in what the device received since its last clear()), sends answers[n-1]
    after `delay`. An answer may be bytes, None (stay silent) or a callable(device) that does the
    sending itself (from the reader thread: start a thread for anything slow). Silent once the
    answers run out."""
    command = b"AT+DEFAULT" + b"\r\n" * 10
    answered = [0]

    def respond(device, data):
        while answered[0] < min(data.count(command), len(answers)):
            answer = answers[answered[0]]
            answered[0] += 1
            if callable(answer):
                answer(device)
            elif answer is not None:
                device.send_later(delay, answer)

    return respond


class MockedDevice(SimDevice):
    """A SimDevice behind the pty that umockdev made for a device node of its testbed (the
    process runs under umockdev-wrapper): `master` is the testbed's end of it, `path` the pty."""

    def __init__(self, master, responder=None):
        self.master, self.slave = master, None
        # The pty itself, not the testbed's node that leads to it: what another process opens.
        with open(f"/proc/self/fdinfo/{master}") as info:
            number = re.search(r"^tty-index:\s*(\d+)", info.read(), re.M).group(1)
        self.path = f"/dev/pts/{number}"
        tty.setraw(self.master)
        self.responder = responder
        self.received, self.sent = [], []
        self.lock = threading.Lock()
        self._stop = False
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._thread.start()

    def close(self):
        # The testbed owns the pty and closes it.
        self._stop = True
        self._thread.join(timeout=2)


_usb_device_numbers = itertools.count(2)  # the kernel's, new at every plug-in


def umockdev_adapters(testbed, adapters, first=1, driver="cp210x"):
    """Adds a USB serial adapter to a umockdev testbed for every (tty name, product): the USB
    device in socket 1-n (n from `first`, serial number QMnnnn), its interface and serial port
    bound to `driver`, and the tty with its device node; with a tuple of tty names, one interface
    with its tty for each (a CP2105 has two). umockdev announces each to libudev's monitors
    ("add"). Returns the ttys' (device node, sysfs path) pairs."""
    added = []
    for n, (names, product) in enumerate(adapters, first):
        names = (names,) if isinstance(names, str) else names
        usb = f"/sys/devices/pci0000:00/0000:00:14.0/usb1/1-{n}"
        testbed.add_from_string(
            f"P: {usb[4:]}\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=10c4\n"
            f"A: idProduct=ea60\nA: product={product}\nA: serial=QM{n:04d}\n"
            f"A: bNumInterfaces={len(names):2}\nA: devnum={next(_usb_device_numbers)}\n")
        for i, name in enumerate(names):
            interface = f"{usb}/1-{n}:1.{i}"
            testbed.add_from_string(
                f"P: {interface[4:]}\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n"
                f"E: DRIVER={driver}\nL: driver=../../../../../bus/usb/drivers/{driver}\n"
                f"A: bInterfaceNumber=0{i}\n\n"
                f"P: {interface[4:]}/{name}\nE: SUBSYSTEM=usb-serial\nE: DRIVER={driver}\n"
                f"L: driver=../../../../../../bus/usb-serial/drivers/{driver}\n\n"
                f"P: {interface[4:]}/{name}/tty/{name}\nN: {name}\nE: SUBSYSTEM=tty\n"
                f"E: DEVNAME=/dev/{name}\nA: dev=188:{n - 1 + 64 * i}\n"
                f"L: device=../../../{name}\n")
            added.append((f"/dev/{name}", f"{interface}/{name}/tty/{name}"))
    return added


def umockdev_unplug(testbed, tty, device):
    """Pulls out the adapter of `tty` (a sysfs path from umockdev_adapters), whose far side is
    `device` (a MockedDevice): the device hangs up, the removal is announced, and the USB device
    with all below it leaves the testbed, with what umockdev leaves behind of them (bus links,
    the device node and its pty's entry), which would stop the same one being plugged in again."""
    device.hang_up()
    testbed.uevent(tty, "remove")
    testbed.remove_device(tty.rsplit("/", 4)[0])
    root = testbed.get_root_dir()
    node = os.path.join(root, "dev", os.path.basename(tty))
    pty_entry = os.path.join(root, "dev", ".ptymap", os.readlink(node).replace("/", "_"))
    for leftover in (node, pty_entry, os.path.join(root, "dev", ".node", os.path.basename(tty))):
        if os.path.lexists(leftover):
            os.remove(leftover)
    for links in glob.glob(f"{root}/sys/bus/*/devices") + glob.glob(f"{root}/sys/class/*") + \
            glob.glob(f"{root}/sys/dev/*"):
        for name in os.listdir(links):
            if not os.path.exists(os.path.join(links, name)):
                os.remove(os.path.join(links, name))


# Starts a program as root without the capabilities that let root open any file: with them, the
# kernel ignores a tty's exclusive mode (TIOCEXCL) and file permissions, so a port that is held
# or locked away could not be shown to the tool. The wineserver a program starts inherits this,
# and the wineserver is what opens the device. Other users have none of these to drop.
WITHOUT_ROOT_OVERRIDES = ("setpriv", "--bounding-set",
                          "-sys_admin,-dac_override,-dac_read_search,-fowner") \
    if os.geteuid() == 0 else ()


@contextlib.contextmanager
def covered(display, x, y, width, height):
    """Covers part of the screen with another program's window (ImageMagick's `display`) while
    the block runs; the window underneath is exposed again when it ends."""
    env = dict(os.environ, DISPLAY=display.name)
    title = f"qm-cover-{os.getpid()}-{time.monotonic_ns()}"
    proc = subprocess.Popen(["display", "-title", title, "-geometry", f"+{x}+{y}",
                             "-size", f"{width}x{height}", "xc:white"], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", title],
                       env=env, capture_output=True, timeout=20, check=True)
        yield
    finally:
        proc.terminate()
        proc.wait(timeout=10)


_TRACE = re.compile(r'dispatch_exception "Quillomarvet: (\w+)([:+]) (.*)\\n"$')


def _unescape_wine(text):
    """Undoes Wine's debug-string quoting (backslash escapes and \\xNN)."""
    def one(m):
        s = m.group(1)
        if s[0] == "x" and len(s) == 3:
            return chr(int(s[1:], 16))
        return {"n": "\n", "r": "\r", "t": "\t"}.get(s, s)
    return re.sub(r"\\(x[0-9a-fA-F]{2}|.)", one, text)


def _unescape_tool(text):
    # The tool's own: \\ and \uXXXX
    return re.sub(r'\\(\\|u[0-9A-F]{4})',
                  lambda m: "\\" if m.group(1) == "\\" else chr(int(m.group(1)[1:], 16)), text)


class App:
    """Quillomarvet.exe running under Wine."""

    def __init__(self, exe, prefix, display, dpi=96, launcher=(), minimized=False, show=None):
        """`exe`: a file of the 32-bit build; where this host runs no 32-bit programs, its
        64-bit build runs instead. `launcher`: a command to start wine through, e.g.
        WITHOUT_ROOT_OVERRIDES. `minimized`: started as a shortcut set to "Run: Minimized"
        starts it. `show`: started with this STARTUPINFO wShowWindow (e.g. 4, SW_SHOWNOACTIVATE)."""
        exe = runs_here(exe)
        self.prefix = prefix
        self.display = display
        self.dpi = dpi
        self.events = []  # (monotonic time, tag, text)
        self.lock = threading.Lock()
        env = dict(prefix.env)
        env["WINEDEBUG"] = "-all,warn+seh"
        self.started = time.monotonic()
        start = ["start", "/wait", "/min", "/unix"] if minimized else []
        if show is not None:
            start = [wine_runtime().exe(helper_exe("QM_POKE", "qm_poke.exe")), "run", str(show)]
            exe = "Z:" + exe.replace("/", "\\")
        self.proc = subprocess.Popen([*launcher, *prefix.wine, *start, exe], env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, start_new_session=True)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self.window = None

    def _read(self):
        for raw in self.proc.stderr:
            line = raw.decode("latin-1").rstrip("\n")
            m = _TRACE.search(line)
            if not m:
                continue
            tag, kind, text = m.group(1), m.group(2), _unescape_wine(m.group(3))
            with self.lock:
                if kind == "+" and self.events and self.events[-1][1] == tag:
                    t, _, before = self.events[-1]
                    self.events[-1] = (t, tag, before + _unescape_tool(text))
                else:
                    self.events.append((time.monotonic(), tag, _unescape_tool(text)))

    def event_list(self, tag=None):
        with self.lock:
            return [(t, g, x) for t, g, x in self.events if tag is None or g == tag]

    def lines(self):
        """The report lines drawn so far."""
        return [x for _, _, x in self.event_list("report")]

    def wait_lines(self, count, timeout=15):
        # A line's last piece may still be on its way when the next event arrives; a short
        # settle after the count is reached lets it land.
        wait_until(lambda: len(self.lines()) >= count, timeout, f"{count} report lines")
        time.sleep(0.05)
        return self.lines()

    def wait_shown(self, timeout=60):
        wait_until(lambda: self.event_list("window"), timeout, "the window to be shown")
        self.window = wait_until(self._find_window, 20, "the X window")
        return self.window

    def _find_window(self):
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Quillomarvet$"], env=self.prefix.env,
                             capture_output=True, text=True).stdout.split()
        return out[-1] if out else None

    def geometry(self):
        out = subprocess.run(["xdotool", "getwindowgeometry", self.window], env=self.prefix.env,
                             capture_output=True, text=True, check=True).stdout
        w, h = re.search(r"Geometry: (\d+)x(\d+)", out).groups()
        return int(w), int(h)

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.prefix.env, check=True)

    def click_reset(self):
        x, y = (px(v, self.dpi) for v in RESET_CENTRE_TWIPS)
        self.xdotool("mousemove", "--window", self.window, str(x), str(y), "click", "1")

    def press_key(self, key):
        self.xdotool("windowfocus", "--sync", self.window, "key", "--window", self.window, key)

    def close_window(self):
        # The window may be gone before xdotool has released the keys: that is not a failure.
        subprocess.run(["xdotool", "windowfocus", "--sync", self.window, "key", "--window",
                        self.window, "alt+F4"], env=self.prefix.env, stderr=subprocess.DEVNULL,
                       timeout=20)

    # Wine's own system menu (alt+space; there is no window manager to draw a title bar): the
    # height of each item's centre below the menu's top edge, in pixels at 96 dpi.
    SYSTEM_MENU_ITEMS = {"restore": 12, "minimize": 64}

    def system_command(self, item):
        """Chooses an item of the window's system menu with the mouse; the menu takes no keys
        from xdotool under Wine."""
        self.choose_from_popup(
            lambda: self.xdotool("windowfocus", "--sync", self.window, "key", "--window",
                                 self.window, "alt+space"),
            self.SYSTEM_MENU_ITEMS[item])

    def choose_from_popup(self, open_menu, item_y):
        """Opens a popup menu with `open_menu()` and clicks the item whose centre is `item_y`
        pixels below the menu's top edge."""
        def visible():
            return set(subprocess.run(["xdotool", "search", "--onlyvisible", "--name", ".*"],
                                      env=self.prefix.env, capture_output=True,
                                      text=True).stdout.split())
        before = visible()
        open_menu()
        menu = wait_until(lambda: visible() - before - {self.window}, 10, "the menu")
        self.xdotool("mousemove", "--window", menu.pop(), "40", str(item_y), "click", "1")
        wait_until(lambda: not (visible() - before - {self.window}), 10, "the menu to close")

    def iconic(self):
        """Whether the window is minimised: Wine mirrors that in the X window's WM_HINTS."""
        out = subprocess.run(["xprop", "-id", self.window, "WM_HINTS"], env=self.prefix.env,
                             capture_output=True, text=True).stdout
        return "Iconic State" in out

    def open_fds(self):
        """How many file descriptors the Windows process has open (`wine` turns into it in
        place, so it keeps the pid Popen saw)."""
        return len(os.listdir(f"/proc/{self.proc.pid}/fd"))

    def screenshot(self, path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        # A bounded run: import turns interactive (waits for a click) if the window is gone.
        subprocess.run(["import", "-window", self.window, path], env=self.prefix.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=20)
        return path

    def wait_exit(self, timeout=15):
        """Waits for the process to end and for its last traces to be read."""
        status = self.proc.wait(timeout=timeout)
        # The pipe stays open while the wineserver (which inherited it) lingers; what the tool
        # wrote before it ended is read within moments.
        self._reader.join(timeout=0.5)
        return status

    def kill(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(timeout=10)
        self._reader.join(timeout=5)
        self.proc.stderr.close()


def darkest(png, x, y, w, h):
    """The darkest grey level (0..1) in a region of a screenshot: text drawn there is dark."""
    out = subprocess.run(["convert", png, "-crop", f"{w}x{h}+{x}+{y}", "+repage",
                          "-colorspace", "gray", "-format", "%[fx:minima]", "info:"],
                         capture_output=True, text=True, check=True).stdout
    return float(out)


def pixels(png, x, y, w, h):
    """A region of a screenshot as RGB bytes, three per pixel."""
    return subprocess.run(["convert", png, "-crop", f"{w}x{h}+{x}+{y}", "+repage", "-depth", "8",
                           "rgb:-"], capture_output=True, check=True).stdout


def differing_pixels(png_a, png_b, x, y, w, h):
    """How many pixels of a region differ between two screenshots."""
    a, b = pixels(png_a, x, y, w, h), pixels(png_b, x, y, w, h)
    if len(a) != len(b):
        raise ValueError(f"{png_a} and {png_b} do not both hold the region")
    return sum(a[i:i + 3] != b[i:i + 3] for i in range(0, len(a), 3))


def runs_here(exe, stream=sys.stderr):
    """The build of `exe` that runs on this host, said once."""
    runtime = wine_runtime()
    if runtime.reason:
        announce(runtime.reason, stream)
    found = runtime.exe(exe)
    announce(f"Running {os.path.relpath(found, ROOT)} under {runtime.bits}-bit Wine.", stream)
    return found


def require_tools():
    missing = [t for t in ("wine", "wineserver", "Xvfb", "xdotool", "import", "convert", "display",
                           "xprop", "xclip") + WITHOUT_ROOT_OVERRIDES[:1]
               if shutil.which(t) is None]
    if missing:
        raise SetupError("these tools are missing: " + ", ".join(missing) + ".",
                         "Install them with scripts/setup.sh.")
    wine_runtime()


# Window messages, clipboard and system DLLs, for the cases on copying, screen readers and
# devices plugged in late.

def dark_bands(png, x, y, w, h, level=0.4):
    """The runs of pixel rows in a region that hold a pixel darker than `level` (0..1): one run
    per row of text. Returns (first, last) pairs, relative to the region's top."""
    data = pixels(png, x, y, w, h)
    bands = []
    for row in range(h):
        line = data[row * w * 3:(row + 1) * w * 3]
        dark = any(sum(line[i:i + 3]) < level * 3 * 255 for i in range(0, len(line), 3))
        if dark and bands and bands[-1][1] == row - 1:
            bands[-1] = (bands[-1][0], row)
        elif dark:
            bands.append((row, row))
    return bands


def helper_exe(variable, name):
    """A test helper cross-built beside the tool: from the environment (set by CTest), or where
    the build puts it next to QM_EXE."""
    if os.environ.get(variable):
        return os.environ[variable]
    exe = os.environ.get("QM_EXE", "build/windows/app/win32/Quillomarvet.exe")
    return os.path.join(os.path.dirname(exe), "..", "..", "tests", "e2e", name)


def post_device_change(prefix, count=1):
    """Posts WM_DEVICECHANGE (DBT_DEVNODES_CHANGED) `count` times to the tool's window, from a
    helper program under the same Wine prefix."""
    _poke(prefix, "devicechange", str(count))


def broadcast_device_change(prefix):
    """Sends WM_DEVICECHANGE (DBT_DEVNODES_CHANGED) to every top-level window, as the system does
    when a device comes or goes."""
    _poke(prefix, "broadcast")


def poke(prefix, *args):
    """What qm_poke prints for `args` (focus, restore, contextmenu DY: see poke.cpp)."""
    return _poke(prefix, *args)


def windows_clipboard(prefix):
    """The Unicode text on the Windows clipboard as Windows programs see it."""
    return bytes.fromhex(_poke(prefix, "clipboard")).decode("utf-16-be")


def _poke(prefix, *args):
    helper = wine_runtime().exe(helper_exe("QM_POKE", "qm_poke.exe"))
    result = subprocess.run([*prefix.wine, helper, *args],
                            env=prefix.env, capture_output=True, timeout=60)
    if result.returncode != 0:
        said = result.stderr.decode("latin-1").strip().splitlines()[-3:]
        raise RuntimeError(f"qm_poke.exe {' '.join(args)} failed with status {result.returncode}"
                           f": {said}")
    return result.stdout.decode("ascii").strip()


def _pe_machine(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    header = int.from_bytes(data[0x3C:0x40], "little")
    return int.from_bytes(data[header + 4:header + 6], "little")


@contextlib.contextmanager
def system_dll_replaced(prefix, dll):
    """Puts `dll` (a test stand-in) into the prefix's system directory for its architecture for
    the block; yields a copy of `prefix` whose programs load it instead of Wine's own."""
    dll = wine_runtime().exe(dll)
    name = os.path.basename(dll).lower()
    windows = os.path.join(prefix.path, "drive_c", "windows")
    wow64 = os.path.join(windows, "syswow64")
    is_32_bit = _pe_machine(dll) == 0x14C
    directory = wow64 if is_32_bit and os.path.isdir(wow64) else os.path.join(windows, "system32")
    target = os.path.join(directory, name)
    saved = target + ".qm-saved"
    if os.path.exists(target):
        shutil.copy2(target, saved)
    shutil.copy2(dll, target)
    scoped = copy.copy(prefix)
    scoped.env = dict(prefix.env)
    scoped.env["WINEDLLOVERRIDES"] += f";{os.path.splitext(name)[0]}=n"
    try:
        yield scoped
    finally:
        if os.path.exists(saved):
            os.replace(saved, target)
        else:
            os.remove(target)


class FakeWmi:
    """The stand-in WMI (tests/e2e/fake_wmi.cpp) registered in `prefix` for CLSID_WbemLocator, so
    the tool lists the devices a test scripts; the registration stays for the prefix's life."""

    CLSID = r"HKCR\CLSID\{4590F811-1D3A-11D0-891F-00AA004B2E24}\InprocServer32"

    def __init__(self, prefix):
        self.dir = os.path.join(prefix.path, "drive_c", "qm-wmi")
        os.makedirs(self.dir, exist_ok=True)
        dll = os.path.abspath(wine_runtime().exe(helper_exe("QM_FAKE_WMI", "qm_fake_wmi.dll")))
        for value in (["/ve", "/d", "Z:" + dll.replace("/", "\\")],
                      ["/v", "ThreadingModel", "/d", "Both"]):
            prefix.run([*prefix.wine, "reg", "add", self.CLSID, *value, "/f"])
        prefix.kill_server()
        self.script()

    def script(self, *lines):
        """What WMI answers from now on (the next connection; a hang's end at once)."""
        path = os.path.join(self.dir, "script.txt")
        with open(path + ".new", "w", encoding="utf-8") as f:
            f.write("".join(line + "\n" for line in lines))
        os.replace(path + ".new", path)

    def calls(self):
        """What the tool gave WMI since the last call of this: connect, blanket and query lines."""
        path = os.path.join(self.dir, "calls.txt")
        try:
            with open(path, encoding="utf-8") as f:
                lines = f.read().splitlines()
            os.remove(path)
        except FileNotFoundError:
            return []
        return lines


def wmi_prefix(work, display, ports):
    """A prefix of its own with the stand-in WMI, and a simulated device on each COM port number
    of `ports`: (prefix, FakeWmi, {number: SimDevice}). close_wmi_prefix ends them."""
    prefix = WinePrefix(os.path.join(work, "wineprefix-wmi"), display)
    wmi = FakeWmi(prefix)
    devices = {n: SimDevice() for n in ports}
    for n, device in devices.items():
        prefix.set_com_port(n, device.path)
    return prefix, wmi, devices


def close_wmi_prefix(prefix, devices):
    prefix.kill_server()
    for device in devices.values():
        device.close()


class LoopbackBroker:
    """A plain Mosquitto of the test's own (anyone may publish) on a free loopback port, and a
    subscriber to every topic that keeps each message as (topic, payload)."""

    def __init__(self, work):
        self.port = free_port()
        os.makedirs(work, exist_ok=True)
        conf = os.path.join(work, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\n")
        mosquitto = shutil.which("mosquitto") or "/usr/sbin/mosquitto"  # sbin: not on every PATH
        self.procs = [subprocess.Popen([mosquitto, "-c", conf], stderr=subprocess.DEVNULL)]
        wait_until(self._ready, 10, "Mosquitto to listen", interval=0.1)
        self.messages = []
        self.procs.append(subprocess.Popen(["mosquitto_sub", "-p", str(self.port), "-q", "1",
                                            "-t", "#", "-F", "%t %p"], stdout=subprocess.PIPE))
        threading.Thread(target=self._read, args=(self.procs[1].stdout,), daemon=True).start()
        wait_until(lambda: self._ready() and ("ready", "") in self.messages, 10, "the subscriber")

    def _ready(self):
        return subprocess.run(["mosquitto_pub", "-p", str(self.port), "-t", "ready", "-n"],
                              stderr=subprocess.DEVNULL, timeout=10).returncode == 0

    def _read(self, stream):
        with stream:
            for line in stream:
                topic, _, payload = line.decode("utf-8").rstrip("\n").partition(" ")
                self.messages.append((topic, payload))

    def close(self):
        for proc in reversed(self.procs):
            proc.kill()
            proc.wait()


def clipboard(display):
    """The text on the X clipboard (Wine shares the Windows clipboard with it), or None."""
    result = subprocess.run(["xclip", "-o", "-selection", "clipboard"],
                            env=dict(os.environ, DISPLAY=display.name), capture_output=True,
                            timeout=20)
    return result.stdout.decode("utf-8") if result.returncode == 0 else None


def set_clipboard(display, text):
    """Puts `text` on the X clipboard (xclip serves it until another program takes it)."""
    subprocess.run(["xclip", "-i", "-selection", "clipboard"], input=text.encode("utf-8"),
                   env=dict(os.environ, DISPLAY=display.name), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=20, check=True)


# For the broker and the browser: the machine as it is, outside any umockdev testbed.
OUTSIDE_TESTBED = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "UMOCKDEV_DIR")}


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    """Mosquitto on loopback ports, configured as deploy/mosquitto.conf and its ACL say (written
    for `prefix`), with `users` (name: password) and its files in `work`."""

    def __init__(self, work, page, users, prefix="quillomarvet"):
        self.port, self.ws_port = free_port(), free_port()
        passwd, acl, data, conf = (os.path.join(work, n) for n in ("passwd", "acl", "data", "conf"))
        os.makedirs(data)
        for user, password in users.items():
            subprocess.run(["mosquitto_passwd", "-b", *([] if os.path.exists(passwd) else ["-c"]),
                            passwd, user, password], check=True, env=OUTSIDE_TESTBED)
        with open(os.path.join(ROOT, "deploy/mosquitto.acl")) as f, open(acl, "w") as out:
            out.write(f.read().replace(" quillomarvet/", f" {prefix}/"))
        with open(os.path.join(ROOT, "deploy/mosquitto.conf")) as f, open(conf, "w") as out:
            text = f.read()
            # The websockets listener on loopback: by its interface's name (see the config).
            for was, now in [("/etc/mosquitto/quillomarvet.passwd", passwd),
                             ("/etc/mosquitto/quillomarvet.acl", acl),
                             ("/var/lib/mosquitto/", data + "/"),
                             ("file /var/log/mosquitto/mosquitto.log", "stderr"),
                             ("\nlistener 1883\n", f"\nlistener {self.port} 127.0.0.1\n"),
                             ("\nlistener 8080\n", f"\nlistener {self.ws_port} lo\n"),
                             ("/usr/share/quillomarvet/web", page)]:
                assert was in text, was
                text = text.replace(was, now)
            out.write(text)
        if os.getuid() == 0:  # Mosquitto started as root goes on as the user mosquitto
            os.chmod(work, 0o755)
            for path in (data, passwd, acl):
                shutil.chown(path, "mosquitto")
        self.log = open(os.path.join(work, "mosquitto.log"), "ab")
        self.proc = subprocess.Popen(["mosquitto", "-c", conf], stdout=self.log,
                                     stderr=subprocess.STDOUT, env=OUTSIDE_TESTBED)
        wait_until(lambda: self.proc.poll() is not None or self._listening(), 10, "Mosquitto")
        if self.proc.poll() is not None:
            with open(self.log.name, errors="replace") as f:
                raise RuntimeError("Mosquitto ended at start:\n" + f.read())

    def _listening(self):
        import socket
        try:
            for port in (self.port, self.ws_port):
                socket.create_connection(("127.0.0.1", port), 0.2).close()
            return True
        except OSError:
            return False

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        self.log.close()


class Browser:
    """Headless Chromium, through tests/e2e/page_driver.js (Node, puppeteer-core): call(op, ...)
    runs one of the driver's operations and returns its value."""

    def __init__(self, node_modules):
        env = dict(OUTSIDE_TESTBED, NODE_PATH=node_modules)
        self.proc = subprocess.Popen(["node", os.path.join(os.path.dirname(__file__),
                                                           "page_driver.js")],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                     env=env)

    def call(self, op, **args):
        import json
        self.proc.stdin.write(json.dumps(dict(op=op, **args)) + "\n")
        self.proc.stdin.flush()
        answer = json.loads(self.proc.stdout.readline() or '{"ok":false,"error":"driver ended"}')
        if not answer["ok"]:
            raise RuntimeError(f"browser {op}: {answer['error']}")
        return answer["value"]

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(20)
        except subprocess.TimeoutExpired:
            self.proc.kill()


if __name__ == "__main__":
    # For the shell scripts: `harness.py bits` prints which Wine runs the tool here (32 or 64);
    # `harness.py describe` says in words which build the end-to-end tests run.
    if sys.argv[1:] == ["bits"]:
        print(wine_runtime().bits)
    elif sys.argv[1:] == ["describe"]:
        runs_here(os.path.join(ROOT, "build/windows/app/win32/Quillomarvet.exe"), sys.stdout)
    else:
        sys.exit("usage: harness.py bits|describe")

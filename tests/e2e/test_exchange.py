"""The real Quillomarvet.exe under Wine against a simulated device on COM1: what goes on the wire,
what is drawn for each kind of answer, ports that cannot be opened, presses at awkward moments,
repainting, scaling, and a long run of exchanges in one process."""

import fcntl
import os
import random
import sys
import termios
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402

EXE = os.environ.get("QM_EXE", "build/windows/app/win32/Quillomarvet.exe")
WORK = os.environ.get("QM_E2E_DIR", "build/e2e")
SHOTS = os.path.join(WORK, "screenshots")
COMMAND = b"AT+DEFAULT" + b"\r\n" * 10
WAIT_S = 2.0  # how long the tool listens for the answer

# The expected text is worked out for code page 1252; Wine takes its ANSI code page from the
# locale, so pin one that gives 1252.
os.environ["LC_ALL"] = "C.UTF-8"

# Bytes that code page 1252 leaves undefined. Python refuses them; Wine's MultiByteToWideChar
# turns each into the C1 control character of the same number (as Windows' own table does).
CP1252_UNDEFINED = {0x81, 0x8D, 0x8F, 0x90, 0x9D}


def drawn(answer):
    """The line the tool should draw for an answer: control bytes dropped, the rest as 1252."""
    return "".join(chr(b) if b in CP1252_UNDEFINED else bytes([b]).decode("cp1252")
                   for b in answer if b >= 0x20)


def shot(app, name):
    return app.screenshot(os.path.join(SHOTS, f"exchange-{name}.png"))


display = prefix = None


def setUpModule():
    global display, prefix
    harness.require_tools()
    display = harness.Display()
    prefix = harness.WinePrefix(os.path.join(WORK, "wineprefix"), display)


def tearDownModule():
    prefix.kill_server()
    display.close()


class ToolCase(unittest.TestCase):
    """Runs exchanges on an App and checks each one's lines, bytes and port release."""

    def exchange(self, app, device, *answers, press=None):
        """Presses Reset once with `answers` planned for the device; returns the three lines
        drawn and the bytes the device received."""
        first = len(app.lines())
        device.clear()
        device.responder = harness.answer_each_command(*answers)
        (press or app.click_reset)()
        lines = app.wait_lines(first + 3)[first:]
        harness.wait_until(lambda: not device.holders(), 5, "the port to be released")
        return lines, device.data()

    def assertExchange(self, result, answer_line):
        lines, wire = result
        self.assertEqual(lines, ["Open port", answer_line, "Port closed"])
        self.assertEqual(wire, COMMAND, "exactly the command on the wire")

    def assertLeftOfTheControls(self, app, png, text_rows):
        """Every line drawn lies left of the controls' column, in `text_rows` rows of text or
        more: nothing is drawn right of the column or between its controls."""
        width, height = app.geometry()
        left, right = harness.px(1673, app.dpi), harness.px(1673 + 1215, app.dpi)
        self.assertEqual(harness.dark_bands(png, right, 0, width - right, height), [],
                         "text right of the controls")
        # Between the label and the box, and between the box and the button.
        for top, bottom in ((480 + 255, 840), (840 + 285, 1200)):
            y, h = harness.px(top, app.dpi), harness.px(bottom, app.dpi) - harness.px(top, app.dpi)
            self.assertEqual(harness.dark_bands(png, left, y, right - left, h), [],
                             "text between the controls")
        rows = harness.dark_bands(png, 0, 0, left, height)
        print(f"\n  {len(rows)} rows of text left of the controls at {app.dpi} dpi",
              file=sys.stderr)
        self.assertGreaterEqual(len(rows), text_rows)


class OneWindow(ToolCase):
    """One running tool and one device on COM1 for every case."""

    @classmethod
    def setUpClass(cls):
        cls.device = harness.SimDevice()
        prefix.set_com_port(1, cls.device.path)
        cls.app = harness.App(EXE, prefix, display)
        cls.app.wait_shown()

    @classmethod
    def tearDownClass(cls):
        cls.app.kill()
        cls.device.close()

    def test_a_press_by_mouse_or_by_enter_sends_the_command_and_draws_the_answer(self):
        presses = {"click": self.app.click_reset, "enter": lambda: self.app.press_key("Return")}
        for name, press in presses.items():
            with self.subTest(press=name):
                result = self.exchange(self.app, self.device, b"OK\r\n", press=press)
                shot(self.app, f"press-{name}")
                self.assertExchange(result, "OK")
        # The pause's wait wakes for touch and pen input too (QS_TOUCH, QS_POINTER), which Wine
        # takes as Windows 8 and later do.
        mask = int(self.app.event_list("wait")[0][2].split()[-1], 16)
        self.assertEqual(mask & 0x1800, 0x1800)

    def test_control_characters_are_dropped_from_the_answer(self):
        cases = [
            (b"OK\r\n", "OK"),
            (b"OK\r\nREADY\r\n", "OKREADY"),
            (b"\r\n", ""),
            (b"\x00\x07O\tK\x1b\x1f\r\n", "OK"),
        ]
        for answer, line in cases:
            with self.subTest(answer=answer):
                self.assertExchange(self.exchange(self.app, self.device, answer), line)
        shot(self.app, "cleaning")

    def test_what_the_device_sent_before_the_command_is_not_reported(self):
        # Written while the port is closed, the pty keeps it for the tool to find on opening.
        self.device.send(b"BOOT MESSAGE\r\nSTALE\r\n")
        result = self.exchange(self.app, self.device, b"OK\r\n")
        shot(self.app, "stale-input")
        self.assertExchange(result, "OK")

    def test_no_answer_within_the_wait_is_no_comm_and_a_late_one_is_never_reported(self):
        self.assertExchange(self.exchange(self.app, self.device, None), "NO COMM")

        late = b"LATE\r\n"

        def answer_late(device):
            def run():
                time.sleep(WAIT_S + 0.5)
                # Late for certain: only once the tool has let go of the port.
                harness.wait_until(lambda: not device.holders(), 10, "the port to be released")
                device.send(late)
            threading.Thread(target=run, daemon=True).start()

        result = self.exchange(self.app, self.device, answer_late)
        self.assertExchange(result, "NO COMM")
        harness.wait_until(lambda: any(d == late for _, d in self.device.sent), 5,
                           "the late answer to be sent")
        # The late answer now waits in the pty; the next exchange must show only its own.
        result = self.exchange(self.app, self.device, b"OK\r\n")
        shot(self.app, "late-answer")
        self.assertExchange(result, "OK")

    def test_a_long_answer_arriving_in_pieces_is_kept_whole(self):
        rng = random.Random(1)
        rows = [bytes(rng.choice(range(0x20, 0x100)) for _ in range(62)) + b"\r\n"
                for _ in range(176)]
        answer = b"".join(rows)
        pieces = [answer[i:i + 1024] for i in range(0, len(answer), 1024)]

        def answer_in_pieces(device):
            def run():
                for piece in pieces:  # 11 pieces over about 1.1 s
                    time.sleep(0.1)
                    device.send(piece)
            threading.Thread(target=run, daemon=True).start()

        lines, wire = self.exchange(self.app, self.device, answer_in_pieces)
        shot(self.app, "long-answer")
        self.assertEqual(wire, COMMAND)
        self.assertEqual(len(lines[1]), 176 * 62)
        self.assertEqual(lines, ["Open port", drawn(answer), "Port closed"])

    def test_every_byte_value_survives_but_the_control_characters(self):
        answer = bytes(range(256))
        lines, wire = self.exchange(self.app, self.device, answer)
        shot(self.app, "every-byte")
        self.assertEqual(wire, COMMAND)
        self.assertEqual(lines, ["Open port", drawn(answer), "Port closed"])
        self.assertIsNone(self.app.proc.poll(), "still running")

    def test_five_presses_in_a_row_are_five_whole_exchanges(self):
        results = []
        for _ in range(5):
            results.append(self.exchange(self.app, self.device, b"OK\r\n"))
            self.assertFalse(self.device.holders(), "the port is released after each")
        shot(self.app, "five-presses")
        for result in results:
            self.assertExchange(result, "OK")

    def test_presses_during_the_wait_start_nothing(self):
        first = len(self.app.lines())
        self.device.clear()
        self.device.responder = harness.answer_each_command(b"OK\r\n", b"AGAIN\r\n")
        self.app.click_reset()
        harness.wait_until(lambda: self.device.data() == COMMAND, 5, "the command")
        self.app.click_reset()
        self.app.press_key("Return")
        self.app.press_key("space")
        self.app.wait_lines(first + 3)
        time.sleep(1.0)  # room for a press that was queued instead of ignored to show up
        shot(self.app, "press-during-wait")
        self.assertEqual(self.app.lines()[first:], ["Open port", "OK", "Port closed"])
        self.assertEqual(self.device.data(), COMMAND, "the command went out once")

    def test_after_an_exchange_the_focus_is_on_reset_unless_the_operator_moved_it(self):
        # Space presses the button that has the focus, and types a blank into the port box.
        port_box = (harness.px(1673 + 1215 // 2), harness.px(840 + 285 // 2))
        for moved in (False, True):
            with self.subTest(moved_to_the_port_box=moved):
                first = len(self.app.lines())
                self.device.clear()
                self.device.responder = harness.answer_each_command(b"OK\r\n", b"AGAIN\r\n")
                self.app.click_reset()
                harness.wait_until(lambda: self.device.data() == COMMAND, 5, "the command")
                if moved:
                    self.app.xdotool("mousemove", "--window", self.app.window,
                                     *map(str, port_box), "click", "1")
                self.app.wait_lines(first + 3)
                time.sleep(0.3)
                self.app.press_key("space")
                if moved:
                    time.sleep(1.0)  # room for an exchange that should not start
                    self.assertEqual(len(self.app.lines()), first + 3, "space went to the box")
                    self.app.press_key("BackSpace")
                else:
                    self.assertEqual(self.app.wait_lines(first + 6)[first + 3:],
                                     ["Open port", "AGAIN", "Port closed"])
                harness.wait_until(lambda: not self.device.holders(), 5, "the port's release")

    def test_the_lines_come_back_after_minimise_and_restore_and_after_being_covered(self):
        self.assertExchange(self.exchange(self.app, self.device, b"OK\r\n"), "OK")
        width, height = self.app.geometry()
        lines_area = (0, 0, 105, height)  # left of the controls: report lines only
        before = shot(self.app, "repaint-before")
        self.assertLess(harness.darkest(before, *lines_area), 0.4, "lines drawn")

        self.app.system_command("minimize")
        harness.wait_until(self.app.iconic, 10, "the window to be minimised")
        shot(self.app, "repaint-minimised")
        self.app.system_command("restore")
        harness.wait_until(lambda: not self.app.iconic(), 10, "the window to be restored")
        self.assertEqual(self.redrawn_like(before, "repaint-restored", lines_area), 0,
                         "pixels differing after restore")

        with harness.covered(display, 0, 0, width + 100, height + 100):
            covered = shot(self.app, "repaint-covered")
            self.assertGreater(harness.differing_pixels(before, covered, *lines_area), 0,
                               "the other window is on top")
        self.assertEqual(self.redrawn_like(before, "repaint-uncovered", lines_area), 0,
                         "pixels differing after being covered")

    def redrawn_like(self, reference, name, area, timeout=5):
        """Screenshots the window until `area` looks as in `reference` (the redraw may lag the
        event that asks for it); returns how many pixels still differ."""
        deadline = time.monotonic() + timeout
        while True:
            differing = harness.differing_pixels(reference, shot(self.app, name), *area)
            if differing == 0 or time.monotonic() > deadline:
                return differing
            time.sleep(0.1)


    def test_ctrl_c_or_the_context_menu_copies_every_line_whole(self):
        answer = b"VERSION " + b"0123456789" * 12 + b" READY\r\n"
        self.assertExchange(self.exchange(self.app, self.device, answer), drawn(answer))
        app = self.app
        ways = {
            "ctrl+c": lambda: app.press_key("ctrl+c"),
            "right click": lambda: app.choose_from_popup(
                lambda: app.xdotool("mousemove", "--window", app.window, "20", "5", "click", "3"),
                12),
            "shift+F10": lambda: app.choose_from_popup(lambda: app.press_key("shift+F10"), 12),
        }
        for name, copy in ways.items():
            with self.subTest(name):
                harness.set_clipboard(display, "something else")
                copies = len(app.event_list("copy"))
                copy()
                harness.wait_until(lambda: len(app.event_list("copy")) > copies, 10, "the copy")
                lines = app.lines()
                self.assertIn(drawn(answer), lines)
                self.assertEqual(harness.windows_clipboard(prefix), "\r\n".join(lines))
                # Wine hands X the text with its own line ends.
                self.assertEqual(harness.clipboard(display), "\n".join(lines))

    def test_a_device_change_is_looked_at_once_and_after_a_running_exchange(self):
        app, device = self.app, self.device

        def looks():
            return [t for t, _, text in app.event_list("devices")
                    if text.startswith("looked again")]

        def changes():
            return [t for t, _, text in app.event_list("devices") if text == "changed"]

        # Idle: a burst is one look. Wine's device list has no adapter: the box is emptied and
        # the port stays COM1, as at start-up (the exchange below proves it).
        before, changed = len(looks()), len(changes())
        harness.post_device_change(prefix, 5)
        harness.wait_until(lambda: len(looks()) > before, 10, "the look")
        time.sleep(1.0)
        self.assertEqual(len(changes()), changed + 5)
        self.assertEqual(len(looks()), before + 1, "one look for the burst")
        self.assertEqual(app.event_list("portbox")[-1][2], "")

        # During an exchange: the exchange goes on undisturbed, the look comes after it.
        first = len(app.lines())
        device.clear()
        device.responder = harness.answer_each_command(lambda d: d.send_later(1.0, b"OK\r\n"))
        app.click_reset()
        harness.wait_until(lambda: device.data() == COMMAND, 5, "the command")
        harness.post_device_change(prefix, 3)
        lines = app.wait_lines(first + 3)[first:]
        harness.wait_until(lambda: not device.holders(), 5, "the port to be released")
        self.assertExchange((lines, device.data()), "OK")
        closed_at = app.event_list("report")[first + 2][0]
        self.assertEqual(len(changes()), changed + 8)
        self.assertTrue(all(t < closed_at for t in changes()[-3:]),
                        "the changes arrived during the exchange")
        harness.wait_until(lambda: len(looks()) > before + 1, 10, "the look after the exchange")
        time.sleep(1.0)
        self.assertEqual(len(looks()), before + 2)
        self.assertGreater(looks()[-1], closed_at)
        print(f"\n  looked {looks()[-1] - closed_at:.2f} s after the exchange ended",
              file=sys.stderr)


class LinkedPort(ToolCase):
    """COM1 points at a link to the device's pty that the cases break and mend while the tool
    runs. The tool runs without root's overrides so that locks and permissions apply to it."""

    @classmethod
    def setUpClass(cls):
        cls.device = harness.SimDevice()
        cls.link = os.path.join(os.path.abspath(WORK), f"com1-link-{os.getpid()}")
        if os.path.lexists(cls.link):
            os.remove(cls.link)
        os.symlink(cls.device.path, cls.link)
        prefix.set_com_port(1, cls.link)  # also stops the wineserver: the tool starts its own
        cls.app = harness.App(EXE, prefix, display, launcher=harness.WITHOUT_ROOT_OVERRIDES)
        cls.app.wait_shown()

    @classmethod
    def tearDownClass(cls):
        cls.app.kill()
        cls.device.close()
        if os.path.lexists(cls.link):
            os.remove(cls.link)
        prefix.kill_server()  # the next class gets a wineserver with the usual rights


class PortTrouble(LinkedPort):
    def test_a_port_that_cannot_be_opened_is_reported_and_the_next_press_works(self):
        device, link = self.device, self.link
        mode = os.stat(device.path).st_mode & 0o7777

        def lock():
            fcntl.ioctl(device.slave, termios.TIOCEXCL)

        def unlock():
            fcntl.ioctl(device.slave, termios.TIOCNXCL)

        # name, break, mend, reason drawn (None: the system's text, printed). Wine 8 gives
        # "Invalid function." for a mapping whose device is gone and a lock violation for a
        # tty in exclusive mode; it lets two of its own processes open one port at once, so
        # "held by another program" is shown with a Linux program's lock instead.
        cases = [
            ("device gone", lambda: os.remove(link), lambda: os.symlink(device.path, link), None),
            ("held exclusively by another program", lock, unlock,
             "port in use by another program"),
            ("no permission", lambda: os.chmod(device.path, 0),
             lambda: os.chmod(device.path, mode),
             "access denied (the port may be in use by another program)"),
        ]
        for name, break_port, mend_port, reason in cases:
            with self.subTest(name):
                first = len(self.app.lines())
                self.device.clear()
                break_port()
                try:
                    self.app.click_reset()
                    self.app.wait_lines(first + 3)
                finally:
                    mend_port()
                events = self.app.event_list("report")[first:first + 3]
                lines = [text for _, _, text in events]
                shot(self.app, "cannot-open-" + name.replace(" ", "-"))
                prefix_text = "Cannot open COM1: "
                self.assertEqual([lines[0], lines[2]], ["Open port", "Port closed"])
                self.assertTrue(lines[1].startswith(prefix_text), lines[1])
                said = lines[1][len(prefix_text):]
                if reason:
                    self.assertEqual(said, reason)
                else:
                    self.assertTrue(said.strip(), "a reason is given")
                print(f"\n  {name}: {lines[1]!r}", file=sys.stderr)
                self.assertEqual(self.device.data(), b"", "nothing written")
                self.assertLess(events[2][0] - events[0][0], 1.0, "no wait for an answer")
                self.assertFalse(self.device.holders())

                self.assertExchange(self.exchange(self.app, self.device, b"OK\r\n"), "OK")


class ReasonBesideTheControls(LinkedPort):
    def test_a_reason_beside_the_controls_is_broken_left_of_them(self):
        # The first exchange's lines lie above and beside the label, the second's beside the
        # box and the button.
        self.assertExchange(self.exchange(self.app, self.device, b"OK\r\n"), "OK")
        mode = os.stat(self.device.path).st_mode & 0o7777
        os.chmod(self.device.path, 0)
        try:
            self.app.click_reset()
            lines = self.app.wait_lines(6)[3:]
        finally:
            os.chmod(self.device.path, mode)
        self.assertEqual(lines, ["Open port", "Cannot open COM1: access denied (the port may be "
                                 "in use by another program)", "Port closed"])
        time.sleep(0.3)  # the button's redraw once enabled again
        png = shot(self.app, "reason-beside-the-controls")
        # Six lines, the reason taking three rows or more.
        self.assertLeftOfTheControls(self.app, png, 8)


class ClosingDuringTheWait(ToolCase):
    def test_closing_the_window_during_the_wait_releases_the_port_and_draws_nothing_more(self):
        # An answer a second into the wait: drawn if the exchange carried on after the close.
        device = harness.SimDevice(
            harness.answer_each_command(lambda d: d.send_later(1.0, b"OK\r\n")))
        self.addCleanup(device.close)
        prefix.set_com_port(1, device.path)
        app = harness.App(EXE, prefix, display)
        self.addCleanup(app.kill)
        app.wait_shown()
        app.click_reset()
        harness.wait_until(lambda: device.data() == COMMAND, 5, "the command")
        self.assertTrue(device.holders(), "the port is open during the wait")
        shot(app, "closing-during-wait")
        closed_at = time.monotonic()
        app.close_window()
        harness.wait_until(lambda: not device.holders(), 1.0, "the port to be released")
        released = time.monotonic() - closed_at
        self.assertEqual(app.proc.wait(timeout=1.0), 0, "the process ends within a second")
        gone = time.monotonic() - closed_at
        app.wait_exit()
        print(f"\n  port released {released:.2f} s after alt+F4, process gone after "
              f"{gone:.2f} s", file=sys.stderr)
        self.assertEqual(app.lines(), ["Open port"])
        self.assertEqual(device.data(), COMMAND)


class HighDpi(ToolCase):
    """A prefix of its own at 144 dpi, so no other case ever starts on a scaled desktop."""

    @classmethod
    def setUpClass(cls):
        cls.prefix = harness.WinePrefix(os.path.join(WORK, "wineprefix-144dpi"), display)
        cls.prefix.set_dpi(144)

    @classmethod
    def tearDownClass(cls):
        cls.prefix.kill_server()

    def test_at_144_dpi_the_window_and_the_button_are_scaled(self):
        device = harness.SimDevice()
        self.addCleanup(device.close)
        self.prefix.set_com_port(1, device.path)
        app = harness.App(EXE, self.prefix, display, dpi=144)
        self.addCleanup(app.kill)
        app.wait_shown()
        self.assertEqual(app.geometry(), (456, 622))
        # At 144 dpi the button's centre is at (228, 144); its 96-dpi place, (152, 96), is off it.
        result = self.exchange(app, device, b"OK\r\n")
        shot(app, "144dpi")
        self.assertExchange(result, "OK")


    def test_at_144_dpi_a_reason_beside_the_controls_is_broken_left_of_them(self):
        device = harness.SimDevice()
        self.addCleanup(device.close)
        link = os.path.join(os.path.abspath(WORK), f"com1-link-{os.getpid()}")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(device.path, link)
        self.addCleanup(lambda: os.path.lexists(link) and os.remove(link))
        self.prefix.set_com_port(1, link)
        app = harness.App(EXE, self.prefix, display, dpi=144)
        self.addCleanup(app.kill)
        app.wait_shown()
        self.assertExchange(self.exchange(app, device, b"OK\r\n"), "OK")
        os.remove(link)  # the device is gone
        app.click_reset()
        lines = app.wait_lines(6)[3:]
        self.assertEqual([lines[0], lines[2]], ["Open port", "Port closed"])
        self.assertTrue(lines[1].startswith("Cannot open COM1: "), lines[1])
        time.sleep(0.3)
        png = shot(app, "144dpi-reason-beside-the-controls")
        self.assertLeftOfTheControls(app, png, 7)


class ScreenReader(ToolCase):
    def test_each_new_line_is_raised_as_a_notification_with_its_text(self):
        # Wine's UIAutomationCore.dll has no notifications: a stand-in reports each call.
        device = harness.SimDevice()
        self.addCleanup(device.close)
        prefix.set_com_port(1, device.path)
        answer = b"OK \xe9t\xe9\r\n"
        with harness.system_dll_replaced(prefix, harness.helper_exe(
                "QM_FAKE_UIA", "uiautomationcore.dll")) as scoped:
            app = harness.App(EXE, scoped, display)
            self.addCleanup(app.kill)
            app.wait_shown()
            # What older screen readers hear: a description change per line (a WinEvent hook).
            heard = []
            listener = threading.Thread(
                target=lambda: heard.append(harness.poke(scoped, "descriptionchanges", "6")))
            listener.start()
            time.sleep(1.0)
            result = self.exchange(app, device, answer)
            listener.join()
        self.assertExchange(result, drawn(answer))
        lines = result[0]
        self.assertEqual([text for _, _, text in app.event_list("uia")],
                         ["notifications available"])
        # On the window, as new items, every one spoken.
        self.assertEqual([text for _, _, text in app.event_list("spoken")],
                         [f"window 0 2 {line}" for line in lines])
        self.assertEqual([text for _, _, text in app.event_list("notify")], lines)
        # The lines as the client area's accessible description (Windows takes no value as an
        # annotation): Wine answers E_NOTIMPL; the call is made once per line.
        values = [text for _, _, text in app.event_list("a11y")]
        print(f"\n  accessible description: {values[-1]!r}", file=sys.stderr)
        self.assertEqual(len(values), len(lines))
        self.assertEqual(heard, [str(len(lines))])
        # Each line's value is set before it is announced: a reader reads it on the news.
        for (set_at, _, _), (told_at, _, _) in zip(app.event_list("a11y"),
                                                   app.event_list("notify")):
            self.assertLess(set_at, told_at)
        # Closed, the screen readers' hold on the window's provider is let go; the DLL is not.
        app.close_window()
        self.assertEqual(app.wait_exit(), 0)
        self.assertEqual([text for _, _, text in app.event_list("disconnect")], ["all providers"])
        self.assertEqual(app.event_list("unloaded"), [])


class Discovery(ToolCase):
    """The adapter found through WMI: a stand-in serves the devices a case scripts, in a prefix
    of its own, with simulated devices on COM1 (the stored port), COM3, COM7 and COM12."""

    BRIDGE = "name Silicon Labs CP210x USB to UART Bridge"
    CONNECT_QUERY = ["connect \\\\.\\root\\CIMV2 0x80", "blanket 10 0 3 3",
                     "query WQL 0x30 SELECT * FROM Win32_PnPEntity"]

    @classmethod
    def setUpClass(cls):
        cls.prefix, cls.wmi, cls.ports = harness.wmi_prefix(WORK, display, (1, 3, 7, 12))

    @classmethod
    def tearDownClass(cls):
        harness.close_wmi_prefix(cls.prefix, cls.ports)

    def start(self, *script, shown=True):
        self.wmi.script(*script)
        self.wmi.calls()
        for device in self.ports.values():
            device.clear()
        app = harness.App(EXE, self.prefix, display)
        self.addCleanup(app.kill)
        if shown:
            app.wait_shown()
        return app

    def port_box(self, app):
        return app.event_list("portbox")[-1][2]

    def wire(self):
        return {n: d.data() for n, d in self.ports.items()}

    def test_the_adapter_among_300_devices_is_the_port_reset_talks_to(self):
        # Listed first, an adapter Windows only remembers (once plugged in elsewhere, as COM3).
        app = self.start("others 150", self.BRIDGE + " (COM3)", "absent", self.BRIDGE + " (COM7)",
                         "others 150")
        self.assertEqual(self.port_box(app), "COM7")
        self.assertEqual(self.wmi.calls(), self.CONNECT_QUERY)
        print("\n  " + app.event_list("devices")[0][2], file=sys.stderr)
        self.assertExchange(self.exchange(app, self.ports[7], b"OK\r\n"), "OK")
        shot(app, "wmi-com7")
        self.assertEqual(self.wire(), {1: b"", 3: b"", 7: COMMAND, 12: b""})

    def test_two_adapters_a_null_name_and_one_without_a_port(self):
        # Every adapter's port in the box, the number the portless one reads is 0, the first
        # adapter's port is the one used.
        app = self.start("others 5", "null", self.BRIDGE + " (COM12)", self.BRIDGE, "null",
                         self.BRIDGE + " (COM7)")
        self.assertEqual(self.port_box(app), "COM12COM0COM7")
        self.assertExchange(self.exchange(app, self.ports[12], b"OK\r\n"), "OK")
        self.assertEqual(self.wire(), {1: b"", 3: b"", 7: b"", 12: COMMAND})

    def test_wmi_hung_or_failing_at_start_up_is_an_error_box_then_the_end(self):
        cases = [  # script, the box's text, within seconds of the start
            (["hang next", self.BRIDGE + " (COM7)"],
             "Error 0x80041069: WMI has not listed the devices within 30 seconds.", 30 + 5),
            (["timedout 3", "others 1", "fail get 0x80070005"], r"Error 0x80070005: \S", 10),
            (["fail connect 0x80041003"], r"Error 0x80041003: \S", 10),
            (["fail query 0x80041017"], r"Error 0x80041017: \S", 10),
        ]
        for script, text, bound in cases:
            with self.subTest(script[0]):
                app = self.start(*script, shown=False)
                harness.wait_until(lambda: app.event_list("error"), bound + 10, "the error")
                took = app.event_list("error")[0][0] - app.started
                message = app.event_list("error")[0][2]
                print(f"\n  {script[0]}: {message!r} after {took:.1f} s", file=sys.stderr)
                self.assertRegex(message, "^" + text)
                self.assertLess(took, bound)
                app.window = harness.wait_until(app._find_window, 20, "the message box")
                self.assertIsNone(app.proc.poll(), "the box waits to be dismissed")
                time.sleep(0.5)
                app.xdotool("key", "--window", app.window, "Return")
                self.assertEqual(app.wait_exit(), 1)
                self.assertEqual(app.event_list("window"), [])
                self.assertEqual(self.wire(), {1: b"", 3: b"", 7: b"", 12: b""})

    def test_an_adapter_plugged_in_late_then_removed(self):
        app = self.start("others 300")
        self.assertEqual(self.port_box(app), "")

        def looks():
            return [x for _, _, x in app.event_list("devices") if x.startswith("looked again")]

        def change(*script):
            before = len(looks())
            self.wmi.script(*script)
            harness.broadcast_device_change(self.prefix)
            harness.wait_until(lambda: len(looks()) > before, 15, "a look")
            return self.port_box(app)

        self.assertEqual(change("others 300", self.BRIDGE + " (COM7)"), "COM7")
        self.assertExchange(self.exchange(app, self.ports[7], b"OK\r\n"), "OK")
        # Unplugged: the box is emptied and the port found last is kept.
        self.assertEqual(change("others 300"), "")
        self.assertExchange(self.exchange(app, self.ports[7], b"OK\r\n"), "OK")
        self.assertEqual(self.wire()[1], b"")

    def test_a_look_hanging_in_wmi_leaves_the_window_working(self):
        app = self.start(self.BRIDGE + " (COM7)")
        self.wmi.calls()
        self.wmi.script("hang connect", self.BRIDGE + " (COM12)")
        harness.broadcast_device_change(self.prefix)
        harness.wait_until(lambda: any(c.startswith("connect") for c in self.wmi.calls()), 10,
                           "the look to be in WMI")
        # A press and a repaint while it hangs; the port is still COM7.
        self.assertExchange(self.exchange(app, self.ports[7], b"OK\r\n"), "OK")
        before = shot(app, "wmi-hung-look")
        self.assertLess(harness.darkest(before, 0, 0, 100, 45), 0.4, "the lines are drawn")
        self.assertEqual(self.port_box(app), "COM7")
        self.ports[7].responder = None
        app.click_reset()
        harness.wait_until(lambda: self.ports[7].data().endswith(COMMAND * 2), 5, "a command")
        closed_at = time.monotonic()
        app.close_window()
        harness.wait_until(lambda: not self.ports[7].holders(), 1.0, "the port to be released")
        self.assertEqual(app.proc.wait(timeout=1.0), 0, "the process ends within a second")
        print(f"\n  process gone {time.monotonic() - closed_at:.2f} s after alt+F4 with a look "
              "hanging", file=sys.stderr)


class StartedMinimized(ToolCase):
    def test_keys_reach_reset_once_restored_and_the_caption_keeps_its_menu(self):
        device = harness.SimDevice()
        self.addCleanup(device.close)
        prefix.set_com_port(1, device.path)
        # Started not to be activated (SW_SHOWNOACTIVATE, SW_SHOWNA), it takes no keyboard.
        for show in (4, 8):
            with self.subTest(show=show):
                app = harness.App(EXE, prefix, display, show=show)
                self.addCleanup(app.kill)
                app.wait_shown()
                shot(app, f"started-with-show-{show}")
                self.assertEqual(harness.poke(prefix, "focus"), "inactive none")
                app.kill()
        # Started hidden (SW_HIDE): no keyboard, and an Enter that reaches it all the same
        # presses nothing.
        app = harness.App(EXE, prefix, display, show=0)
        self.addCleanup(app.kill)
        harness.wait_until(lambda: app.event_list("window"), 60, "the window to be made")
        self.assertEqual(harness.poke(prefix, "focus"), "inactive none")
        harness.poke(prefix, "enter")
        time.sleep(1.0)
        self.assertEqual((app.lines(), device.data()), ([], b""), "a stray Enter pressed Reset")
        app.kill()
        app = harness.App(EXE, prefix, display, minimized=True)
        self.addCleanup(app.kill)
        app.wait_shown()
        harness.wait_until(app.iconic, 10, "the window to be minimised")
        print(f"\n  minimized: {harness.poke(prefix, 'focus')}", file=sys.stderr)
        self.assertNotIn("Reset", harness.poke(prefix, "focus"), "Enter would press it")
        for key in ("Return", "space"):
            app.xdotool("key", "--window", app.window, key)
        time.sleep(1.0)
        self.assertEqual((app.lines(), device.data()), ([], b""), "a stray key pressed Reset")
        harness.poke(prefix, "restore")
        harness.wait_until(lambda: not app.iconic(), 10, "the window to be restored")
        self.assertEqual(harness.poke(prefix, "focus"), "active Reset")
        self.assertExchange(self.exchange(app, device, b"OK\r\n",
                                          press=lambda: app.press_key("Return")), "OK")

        # Right-clicked on the caption (above the client area): not the Copy menu.
        menus = len(app.event_list("menu"))
        harness.poke(prefix, "contextmenu", "-4")
        time.sleep(1.0)
        shot(app, "caption-context-menu")
        self.assertEqual(len(app.event_list("menu")), menus)
        app.choose_from_popup(lambda: harness.poke(prefix, "contextmenu", "4"), 12)
        harness.wait_until(lambda: app.event_list("copy"), 10, "the copy")
        # From the keyboard: the point (-1, -1), which is no LPARAM of -1 on 64-bit Windows.
        app.choose_from_popup(lambda: harness.poke(prefix, "contextmenu", "key"), 12)
        harness.wait_until(lambda: len(app.event_list("copy")) == 2, 10, "the keyboard's copy")


class Soak(ToolCase):
    EXCHANGES = 50

    def test_fifty_exchanges_in_one_run_and_the_newest_line_stays_in_view(self):
        device = harness.SimDevice()
        self.addCleanup(device.close)
        prefix.set_com_port(1, device.path)
        app = harness.App(EXE, prefix, display)
        self.addCleanup(app.kill)
        app.wait_shown()

        # Windows handle counts cannot be read from Linux; the descriptors the Windows process
        # holds stand in for them (a port handle left open would keep the device's). Counted
        # once the first exchanges have loaded whatever they load.
        results = [self.exchange(app, device, b"OK\r\n") for _ in range(3)]
        fds_before = app.open_fds()
        results += [self.exchange(app, device, b"OK\r\n") for _ in range(self.EXCHANGES - 3)]
        fds_after = app.open_fds()
        print(f"\n  open descriptors after 3 exchanges: {fds_before}, after "
              f"{self.EXCHANGES}: {fds_after}", file=sys.stderr)
        for result in results:
            self.assertExchange(result, "OK")
        self.assertLessEqual(fds_after, fds_before)

        # 150 short lines are far more than the window holds. One wide line now must show at
        # the bottom, with nothing wide above it: the view follows the newest lines.
        wide = "W" * 40
        self.assertExchange(self.exchange(app, device, wide.encode() + b"\r\n"), wide)
        width, height = app.geometry()
        png = shot(app, "soak-end")
        right_of_controls = 200
        bottom = (right_of_controls, height - 40, width - right_of_controls, 40)
        above = (right_of_controls, 0, width - right_of_controls, height - 40)
        self.assertLess(harness.darkest(png, *bottom), 0.4, "the wide line at the bottom")
        self.assertGreater(harness.darkest(png, *above), 0.6, "nothing wide above it")
        self.assertEqual(len(app.lines()), 3 * (self.EXCHANGES + 1))


if __name__ == "__main__":
    unittest.main(verbosity=2)

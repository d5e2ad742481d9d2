"""Smoke test of the real Quillomarvet.exe under Wine: the window opens as laid out, and a press
of Reset against a simulated device on COM1 puts exactly the command on the wire and draws the
three lines."""

import copy
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402

EXE = os.environ.get("QM_EXE", "build/windows/app/win32/Quillomarvet.exe")
WORK = os.environ.get("QM_E2E_DIR", "build/e2e")
COMMAND = b"AT+DEFAULT" + b"\r\n" * 10


class Smoke(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.require_tools()
        cls.display = harness.Display()
        cls.prefix = harness.WinePrefix(os.path.join(WORK, "wineprefix"), cls.display)

    @classmethod
    def tearDownClass(cls):
        cls.prefix.kill_server()
        cls.display.close()

    def start(self, device):
        self.prefix.set_com_port(1, device.path)
        app = harness.App(EXE, self.prefix, self.display)
        self.addCleanup(app.kill)
        app.wait_shown()
        return app

    def test_window_opens_and_reset_talks_to_the_device(self):
        device = harness.SimDevice(harness.answer_after_command(b"OK\r\n"))
        self.addCleanup(device.close)
        app = self.start(device)

        self.assertEqual(app.geometry(), (304, 415), "client area at 96 dpi")
        # Under Wine every device is "Wine PnP Device": no adapter, an empty box, COM1 used.
        self.assertEqual([x for _, _, x in app.event_list("portbox")][-1], "")
        query = app.event_list("devices")
        self.assertTrue(query, "the WMI walk ran")
        print("\n  " + query[0][2], file=sys.stderr)

        before = app.screenshot(os.path.join(WORK, "screenshots", "smoke-start.png"))
        self.assertGreater(harness.darkest(before, 0, 0, 100, 45), 0.5, "nothing drawn yet")

        app.click_reset()
        lines = app.wait_lines(3)
        self.assertEqual(lines, ["Open port", "OK", "Port closed"])
        self.assertEqual(device.data(), COMMAND, "exactly the 30 command bytes")
        harness.wait_until(lambda: not device.holders(), 5, "the port to be released")

        after = app.screenshot(os.path.join(WORK, "screenshots", "smoke-after-reset.png"))
        self.assertLess(harness.darkest(after, 0, 0, 100, 45), 0.4, "the lines are on the window")

        app.close_window()
        self.assertEqual(app.wait_exit(), 0)

    def test_closing_during_the_wait_releases_the_port(self):
        device = harness.SimDevice()  # never answers
        self.addCleanup(device.close)
        app = self.start(device)
        app.click_reset()
        harness.wait_until(lambda: device.data() == COMMAND, 10, "the command")
        self.assertTrue(device.holders(), "the tool holds the port during the wait")
        closed_at = time.monotonic()
        app.close_window()
        harness.wait_until(lambda: not device.holders(), 1.0, "the port to be released")
        print(f"\n  port released {time.monotonic() - closed_at:.2f} s after the close",
              file=sys.stderr)
        self.assertEqual(app.wait_exit(), 0)
        time.sleep(2.5)  # past the end of the wait the exchange would have had
        self.assertEqual(app.lines(), ["Open port"], "nothing more is drawn")

    def test_a_start_up_error_is_shown_and_ends_the_program(self):
        # Without its WMI provider the device query fails: a message box with the error's
        # number and text, then exit status 1 once it is dismissed.
        prefix = copy.copy(self.prefix)
        prefix.env = dict(self.prefix.env, WINEDLLOVERRIDES="mscoree,mshtml=;wbemprox=d")
        app = harness.App(EXE, prefix, self.display)
        self.addCleanup(app.kill)
        harness.wait_until(lambda: app.event_list("error"), 60, "the error report")
        message = app.event_list("error")[0][2]
        self.assertRegex(message, r"^Error 0x8[0-9A-F]{7}: \S")
        app.window = harness.wait_until(app._find_window, 20, "the message box")
        shot = os.path.join(WORK, "screenshots", "smoke-start-up-error.png")
        # Found as soon as it is mapped; wait for it to be painted.
        harness.wait_until(lambda: harness.darkest(app.screenshot(shot), 0, 0, 8, 8) > 0.5,
                           10, "the message box to be painted", interval=0.2)
        self.assertIsNone(app.proc.poll(), "the program waits for the box to be dismissed")
        self.assertEqual(app.event_list("window"), [], "the main window was never shown")
        # The hidden window outlives the objects behind it while the box is up: a device change
        # sent to it now must reach none of them.
        before = len(app.event_list())
        harness.post_device_change(prefix)
        time.sleep(1.5)  # past the settle time that follows a change
        self.assertEqual(app.event_list()[before:], [], "nothing handled the change")
        self.assertIsNone(app.proc.poll(), "still waiting for the box")
        app.xdotool("key", "--window", app.window, "Return")
        self.assertEqual(app.wait_exit(), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)

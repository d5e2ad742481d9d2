"""Runs Quillomarvet.exe under Wine, presses Reset as a person would, prints the report lines
and saves a screenshot. COM1 is a simulated device that answers "OK", unless a real adapter is
attached (a CP210x on /dev/ttyUSB*) or named with --device."""

import argparse
import glob
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402

CP210X = ("10c4", "ea60")  # Silicon Labs USB vendor and CP210x product ids


def attached_cp210x():
    for tty in sorted(glob.glob("/sys/class/tty/ttyUSB*")):
        usb = os.path.realpath(os.path.join(tty, "device", ".."))
        ids = []
        for name in ("idVendor", "idProduct"):
            try:
                with open(os.path.join(usb, "..", name)) as f:
                    ids.append(f.read().strip())
            except OSError:
                break
        if tuple(ids) == CP210X:
            return "/dev/" + os.path.basename(tty)
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--device", help="serial device to use as COM1, e.g. /dev/ttyUSB0")
    parser.add_argument("--exe", default=os.path.join(ROOT, "build/windows/app/win32/Quillomarvet.exe"))
    parser.add_argument("--screenshot", default=os.path.join(ROOT, "build/demo/quillomarvet.png"))
    args = parser.parse_args()

    harness.require_tools()
    harness.runs_here(args.exe, sys.stdout)  # says which build runs, and why
    real = args.device or attached_cp210x()
    display = harness.Display(existing=os.environ.get("DISPLAY"))
    device = None
    prefix = None
    app = None
    try:
        print(f"Display {display.name}; preparing Wine (the first time takes about 15 s)...")
        prefix = harness.WinePrefix(os.path.join(ROOT, "build/demo/wineprefix"), display)
        if real:
            port_path = real
            print(f"COM1 is {real}")
        else:
            device = harness.SimDevice(harness.answer_after_command(b"OK\r\n"))
            port_path = device.path
            print(f"COM1 is a simulated device on {device.path} that answers OK")
        prefix.set_com_port(1, port_path)

        app = harness.App(args.exe, prefix, display)
        app.wait_shown()
        print("Window shown; pressing Reset")
        app.click_reset()
        lines = app.wait_lines(3)
        for line in lines:
            print("  " + line)
        if device:
            print(f"The device received {device.data()!r}")
        app.screenshot(args.screenshot)
        print(f"Screenshot: {args.screenshot}")
        app.close_window()
        status = app.wait_exit()
        print(f"Closed; exit status {status}")
        return 0 if lines[-1] == "Port closed" and status == 0 else 1
    finally:
        if app:
            app.kill()
        if device:
            device.close()
        if prefix:
            prefix.kill_server()
        display.close()


if __name__ == "__main__":
    sys.exit(main())

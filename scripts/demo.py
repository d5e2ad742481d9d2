"""Runs Quillomarvet.exe under Wine, presses Reset as a person would, prints the report lines
and saves a screenshot. By default the adapter is simulated: a device that answers "OK" on COM5,
which a stand-in for Windows' device list (WMI) names as a CP210x adapter among other devices, so
the window finds it as it would on Windows. A real adapter (a CP210x on /dev/ttyUSB*, or one
named with --device) is COM1, the port the window falls back to under Wine's own device list."""

import argparse
import glob
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402

CP210X = ("10c4", "ea60")  # Silicon Labs USB vendor and CP210x product ids
SIMULATED_PORT = 5
ADAPTER = f"Silicon Labs CP210x USB to UART Bridge (COM{SIMULATED_PORT})"
# What the stand-in lists: the adapter among devices a Windows machine has.
DEVICE_LIST = ("name ACPI x64-based PC", "name Communications Port (COM1)", "name USB Root Hub",
               "name HID Keyboard Device", f"name {ADAPTER}", r"id USB\VID_10C4&PID_EA60\0001",
               "name USB Composite Device", "others 20")


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

    # The stand-in beside the build of the .exe that runs (harness.py picks the 64-bit one there).
    os.environ.setdefault("QM_FAKE_WMI", os.path.join(os.path.dirname(args.exe), "..", "..",
                                                      "tests", "e2e", "qm_fake_wmi.dll"))
    harness.require_tools()
    harness.runs_here(args.exe, sys.stdout)  # says which build runs, and why
    real = args.device or attached_cp210x()
    display = harness.Display(existing=os.environ.get("DISPLAY"))
    device = None
    prefix = None
    app = None
    try:
        print(f"Display {display.name}; preparing Wine (the first time takes about 15 s)...")
        # Each case in a prefix of its own: the stand-in stays registered in the one it is put in.
        prefix = harness.WinePrefix(
            os.path.join(ROOT, "build/demo", "wineprefix" if real else "wineprefix-simulated"),
            display)
        number = 1 if real else SIMULATED_PORT
        if real:
            port_path = real
            print(f"COM1 is {real}")
        else:
            device = harness.SimDevice(harness.answer_after_command(b"OK\r\n"))
            port_path = device.path
            harness.FakeWmi(prefix).script(*DEVICE_LIST)
            print(f"COM{SIMULATED_PORT} is a simulated device on {device.path} that answers OK")
            print(f"The adapter's listing is simulated: a stand-in for Windows' device list (WMI) "
                  f"names it \"{ADAPTER}\" among 25 other devices (Wine's own WMI calls every "
                  "device \"Wine PnP Device\")")
        prefix.set_com_port(number, port_path)

        app = harness.App(args.exe, prefix, display)
        app.wait_shown()
        [(_, _, box)] = app.event_list("portbox")[-1:] or [(0, 0, "(no port found)")]
        print(f"Window shown; its port box shows {box}; pressing Reset")
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
        reached = device is None or device.data().startswith(b"AT+DEFAULT")
        found = real or box == f"COM{SIMULATED_PORT}"
        return 0 if lines[-1] == "Port closed" and status == 0 and reached and found else 1
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

"""Measures Quillomarvet.exe under Wine against the simulated device and prints one table:
CPU per exchange, exchange duration, start-up time beside a minimal window program, the WMI
walk, the executable's size and imports, and peak memory. It asserts nothing: it reports."""

import argparse
import os
import re
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402

COMMAND = b"AT+DEFAULT" + b"\r\n" * 10
TICK = os.sysconf("SC_CLK_TCK")


def answer_every_command(answer=b"OK\r\n"):
    def respond(device, data):
        commands = data.count(COMMAND)
        if commands > getattr(device, "answered", 0):
            device.answered = commands
            device.send(answer)
    return respond


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def peak_memory_kb(pid):
    m = re.search(r"VmHWM:\s+(\d+) kB", open(f"/proc/{pid}/status").read())
    return int(m.group(1))


def progress(text):
    print(text, file=sys.stderr, flush=True)


def start_time(exe, prefix, display):
    """Seconds from starting the program to its window being shown, and the app."""
    app = harness.App(exe, prefix, display)
    harness.wait_until(lambda: app.event_list("window"), 60, "the window to be shown")
    return app.event_list("window")[0][0] - app.started, app


def print_table(rows):
    """(measure, figure) rows as a two-column table."""
    width = max(len(k) for k, _ in rows)
    print()
    print(f"{'measure'.ljust(width)} | figure")
    print(f"{'-' * width}-|-{'-' * 40}")
    for k, v in rows:
        print(f"{k.ljust(width)} | {v}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exchanges", type=int, default=20)
    parser.add_argument("--starts", type=int, default=10)
    args = parser.parse_args()

    harness.require_tools()
    # The 32-bit product, or where this host runs no 32-bit programs, the 64-bit build.
    exe = harness.runs_here(os.path.join(ROOT, "build/windows/app/win32/Quillomarvet.exe"))
    floor_exe = harness.runs_here(os.path.join(ROOT, "build/windows/bench/minimal_window.exe"))
    bits = harness.wine_runtime().bits
    display = harness.Display()
    prefix = harness.WinePrefix(os.path.join(ROOT, "build/bench/wineprefix"), display)
    device = harness.SimDevice(answer_every_command())
    prefix.set_com_port(1, device.path)
    try:
        # Start-up: one warm-up each, then alternate the two programs.
        starts, floors, walks = [], [], []
        progress(f"start-up: {args.starts} starts of each program, after a warm-up")
        for i in range(args.starts + 1):
            for exe_path, times in ((exe, starts), (floor_exe, floors)):
                took, app = start_time(exe_path, prefix, display)
                if exe_path == exe:
                    walk = re.search(r"in (\d+) ms", app.event_list("devices")[0][2])
                    if i > 0:
                        walks.append(int(walk.group(1)))
                app.kill()
                if i > 0:
                    times.append(took * 1000)

        progress(f"exchanges: {args.exchanges} in one run")
        # Exchanges, all in one running tool.
        _, app = start_time(exe, prefix, display)
        app.wait_shown()
        pid = app.proc.pid
        durations, cpu, wall = [], 0.0, 0.0
        for i in range(args.exchanges):
            before = len(app.lines())
            cpu0, t0 = cpu_seconds(pid), time.monotonic()
            app.click_reset()
            lines = app.wait_lines(before + 3)
            cpu1, t1 = cpu_seconds(pid), time.monotonic()
            events = app.event_list("report")[before:before + 3]
            if [x for _, _, x in events] != ["Open port", "OK", "Port closed"]:
                print(f"exchange {i}: unexpected lines {lines[before:]}", file=sys.stderr)
            durations.append((events[2][0] - events[0][0]) * 1000)
            cpu += cpu1 - cpu0
            wall += t1 - t0
        peak = peak_memory_kb(pid)
        app.close_window()
        app.wait_exit()
        app.kill()

        # The walk over 300 devices from the stand-in WMI, in a prefix of its own.
        progress(f"WMI walk: {args.starts} starts over 300 stand-in devices")
        wmi_prefix = harness.WinePrefix(os.path.join(ROOT, "build/bench/wineprefix-wmi"), display)
        harness.FakeWmi(wmi_prefix).script(
            "others 299", "name Silicon Labs CP210x USB to UART Bridge (COM1)")
        stand_in_walks = []
        for i in range(args.starts + 1):
            _, app = start_time(exe, wmi_prefix, display)
            walk = re.search(r"(\d+) devices in (\d+) ms", app.event_list("devices")[0][2])
            app.kill()
            if i > 0:
                stand_in_walks.append(int(walk.group(2)))
        wmi_prefix.kill_server()
        _, floor_app = start_time(floor_exe, prefix, display)
        floor_peak = peak_memory_kb(floor_app.proc.pid)
        floor_app.kill()
    finally:
        device.close()
        prefix.kill_server()
        display.close()

    objdump = "i686-w64-mingw32-objdump" if bits == 32 else "x86_64-w64-mingw32-objdump"
    imports = subprocess.run([objdump, "-p", exe], capture_output=True,
                             text=True, check=True).stdout
    dlls = sorted(set(re.findall(r"DLL Name: (\S+)", imports)), key=str.lower)

    med = statistics.median
    rows = [
        ("build measured", f"{os.path.relpath(exe, ROOT)} ({bits}-bit, under {bits}-bit Wine)"),
        ("CPU per exchange (tool process)", f"{cpu / args.exchanges * 1000:.1f} ms"),
        ("CPU share of the exchange", f"{100 * cpu / wall:.2f} %  (target < 1 %)"),
        (f"exchange, Open port to Port closed, {args.exchanges} runs",
         f"min {min(durations):.0f} / median {med(durations):.0f} / max {max(durations):.0f} ms"
         "  (target >= 2000, median <= 2050)"),
        (f"start-up to window shown, median of {args.starts}", f"{med(starts):.0f} ms"),
        ("minimal Win32 window program, same", f"{med(floors):.0f} ms"),
        ("start-up ratio to the floor", f"{med(starts) / med(floors):.2f}  (target <= 1.3)"),
        ("WMI device walk, median", f"{med(walks)} ms"),
        (f"WMI walk over 300 stand-in devices, median of {args.starts}",
         f"{med(stand_in_walks)} ms  (min {min(stand_in_walks)} / max {max(stand_in_walks)})"),
        ("Quillomarvet.exe size (stripped)", f"{os.path.getsize(exe) / 1024:.1f} KB  (target < 150 KB"
         + (")" if bits == 32 else ", for the 32-bit build)")),
        ("imported DLLs", ", ".join(dlls)),
        ("peak memory (VmHWM, tool / minimal program)", f"{peak / 1024:.1f} / {floor_peak / 1024:.1f} MB"),
    ]
    print_table(rows)


if __name__ == "__main__":
    main()

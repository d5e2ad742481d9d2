"""The supervisor's page in Debian's headless Chromium, served by a Mosquitto of the test's own
configured as deploy/mosquitto.conf and its ACL say, with two watches publishing (umockdev
benches, as in console_linux.py): both benches and their sockets in natural order, a verdict
live within 2 s, a watch killed with SIGKILL shown as lost, a hostile answer shown as text and
run never, the filters, a reload that brings everything back from the retained topics, and the
ACL keeping each bench to its own topics."""

import itertools
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from datetime import datetime

sys.path.insert(0, os.path.dirname(__file__))
import console_linux  # noqa: E402  (skips without umockdev; the preloads; the program's path)
import harness  # noqa: E402
from console_linux import CONSOLE, UMockdev  # noqa: E402

PAGE = os.path.abspath(os.environ.get("QM_PAGE", "build/host/web/page"))
NODE_MODULES = os.path.abspath(os.environ.get("QM_NODE_MODULES", "build/host/web/npm/node_modules"))
SCREENSHOT = os.environ.get("QM_SCREENSHOT")
PREFIX = "plant1/line3"  # a prefix of several levels, from ?prefix=
USERS = {"supervisor": "only-reads", "bench-a": "secret-a", "bench-b": "secret-b"}
HOSTILE = "<img src=x onerror=alert(1)>"
OK, SILENT = harness.answer_after_command(b"OK\r\n"), None

for tool in ("mosquitto", "node", "/usr/bin/chromium"):
    if not shutil.which(tool):
        print(f"skipped: {tool} not found (scripts/setup.sh installs it)")
        sys.exit(77)
if not os.path.exists(os.path.join(PAGE, "index.html")):
    print(f"skipped: no page built in {PAGE}")
    sys.exit(77)

# What the page shows, read back as a person reads it: per bench its name, status and totals,
# and each socket's cells, and whether it is shown at all.
VIEW = """(() => [...document.querySelectorAll('section.bench')].map(s => ({
  name: s.querySelector('.bench-name').textContent,
  shown: s.getClientRects().length > 0,
  status: s.querySelector('.status').textContent,
  totals: s.querySelector('.bench-totals').textContent,
  rows: [...s.querySelectorAll('tbody tr')].map(r => ({
    cells: [...r.cells].map(c => c.textContent), shown: r.getClientRects().length > 0,
    again: r.classList.contains('again')}))})))()"""


class Watch:
    """quillomarvet --watch --mqtt as its bench's user, on a umockdev testbed of its own with a
    device in each socket 1-n of `sockets` (n: responder)."""

    def __init__(self, work, broker, name, sockets):
        self.name, self.numbers, self.plugged = name, itertools.count(), {}
        self.testbed = UMockdev.Testbed.new()
        for n, responder in sockets.items():
            self.plug(n, responder)
        password = os.path.join(work, name + ".password")
        with open(password, "w") as f:
            f.write(USERS[name] + "\n")
        self.log = os.path.join(work, name + ".jsonl")
        self.proc = subprocess.Popen(
            # A moment's settling: umockdev may announce a tty a moment before its node opens.
            [CONSOLE, "--watch", "--settle", "0.2", "--log", self.log, "--bench", name, "--mqtt",
             f"mqtt://{name}@127.0.0.1:{broker.port}/{PREFIX}", "--mqtt-password-file", password],
            env=dict(os.environ, UMOCKDEV_DIR=self.testbed.get_root_dir()),
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, name + ".err"), "w"))

    def plug(self, n, responder):
        if n in self.plugged:
            harness.umockdev_unplug(self.testbed, self.plugged[n][1], self.plugged[n][0])
        (node, path), = harness.umockdev_adapters(
            self.testbed, [(f"ttyUSB{next(self.numbers)}", f"{self.name} {n}")], n)
        self.plugged[n] = harness.MockedDevice(self.testbed.get_dev_fd(node), responder), path

    def verdict_at(self, location):
        """When the log's last verdict for that socket was given, in ms since the epoch."""
        with open(self.log) as f:
            r = [json.loads(line) for line in f if f'"location":"{location}"' in line][-1]
        started = datetime.strptime(r["started"], "%Y-%m-%dT%H:%M:%S.%f%z").timestamp()
        return (started + r["seconds"]) * 1000


class Page(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="qm-page-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.broker = harness.Broker(self.work, PAGE, USERS, PREFIX)
        self.addCleanup(self.broker.stop)
        self.browser = harness.Browser(NODE_MODULES)
        self.addCleanup(self.browser.close)

    def view(self):
        return {b["name"]: b for b in self.browser.call("eval", js=VIEW)}

    def wait(self, condition, timeout=10000):
        return self.browser.call("wait", js=f"(() => {{ const v = {VIEW}; return {condition}; }})()",
                                 timeout=timeout)

    def test_two_watches_live_on_the_page(self):
        a = Watch(self.work, self.broker, "bench-a", {10: OK, 9: SILENT, 2: OK})
        b = Watch(self.work, self.broker, "bench-b", {
            10: harness.answer_after_command(HOSTILE.encode() + b"\r\n"), 2: OK})
        for watch in (a, b):
            self.addCleanup(lambda w=watch: w.proc.poll() is None and w.proc.kill())

        self.browser.call("open", url=f"http://127.0.0.1:{self.broker.ws_port}/?prefix={PREFIX}")
        # No anonymous access: the page asks for a user, and the page's user can only read.
        self.browser.call("wait", js="!document.getElementById('login').hidden")
        self.browser.call("type", selector="#login-user", text="supervisor")
        self.browser.call("type", selector="#login-password", text=USERS["supervisor"])
        self.browser.call("click", selector="#login button")
        self.wait("v.length == 2 && v[0].rows.length == 3 && v[1].rows.length == 2 && "
                  "v[0].rows[1].cells[6] == '0/1'")
        a.plug(9, SILENT)  # fails again
        self.wait("v[0].rows[1].cells[6] == '0/2'")
        self.check_drawn(self.view())

        # The ACL: a bench writes only under its own name, and the page's user nowhere.
        for user, bench in (("bench-b", "bench-a"), ("supervisor", "bench-b")):
            self.browser.call("publish", url=f"mqtt://127.0.0.1:{self.broker.port}", qos=1,
                              batches=[{"username": user, "password": USERS[user], "messages": [
                                  [f"{PREFIX}/{bench}/socket/1-1/state", "{}", True]]}])

        # A new verdict, live: on the page within 2 s of the watch giving it.
        b.plug(3, harness.answer_after_command(b"OK 2\r\n"))
        self.wait("v[1].rows.some(r => r.cells[0] == '1-3' && r.cells[4] == 'answered: OK 2') "
                  "&& (window.qmSeen = Date.now())")
        latency = self.browser.call("eval", js="window.qmSeen") - b.verdict_at("1-3")
        print(f"a verdict on the page {latency:.0f} ms after the watch gave it", file=sys.stderr)
        self.assertLess(latency, 2000)
        self.assertEqual({n: [r["cells"][0] for r in x["rows"]] for n, x in self.view().items()},
                         {"bench-a": ["1-2", "1-9", "1-10"], "bench-b": ["1-2", "1-3", "1-10"]})

        # Only failures; then one bench.
        self.browser.call("click", selector="#only-failures")
        shown = {n: [r["cells"][0] for r in x["rows"] if r["shown"]] for n, x in
                 self.view().items() if x["shown"]}
        self.assertEqual(shown, {"bench-a": ["1-9"]})
        self.browser.call("click", selector="#only-failures")
        self.browser.call("select", selector="#bench-filter", value="bench-b")
        self.assertEqual([n for n, x in self.view().items() if x["shown"]], ["bench-b"])
        self.browser.call("select", selector="#bench-filter", value="")

        # Killed: the broker gives out its will, and the page says lost at once.
        a.proc.send_signal(signal.SIGKILL)
        self.wait("v[0].status.startsWith('lost since')")
        if SCREENSHOT:
            self.browser.call("screenshot", path=SCREENSHOT)

        # A reload: everything back from the retained topics (the user kept for this tab).
        self.browser.call("reload")
        # (The states' pages may be older than the states that follow them: the last word waited.)
        self.wait("v.length == 2 && v[0].rows.length == 3 && v[1].rows.length == 3 && "
                  "v[0].rows[1].cells[3] == 'FAIL again' && "
                  "v[1].rows[1].cells[4] == 'answered: OK 2'")
        after = self.view()
        self.check_drawn(after)
        self.assertTrue(after["bench-a"]["status"].startswith("lost (last connected"))
        self.assertEqual(after["bench-b"]["rows"][1]["cells"][4], "answered: OK 2")
        self.assertEqual(self.browser.call("seen"), {"dialogs": [], "errors": []})

    def check_drawn(self, view):
        self.assertEqual(list(view), ["bench-a", "bench-b"])
        a, b = view["bench-a"], view["bench-b"]
        self.assertEqual([r["cells"][0] for r in a["rows"]], ["1-2", "1-9", "1-10"])
        self.assertEqual([r["cells"][3:5] for r in a["rows"]],
                         [["OK", "answered: OK"], ["FAIL again", "NO COMM"], ["OK", "answered: OK"]])
        self.assertEqual([r["again"] for r in a["rows"]], [False, True, False])
        self.assertIn("4 reset: 2 answered, 2 no answer", a["totals"])
        self.assertEqual(b["rows"][-1]["cells"][0], "1-10")
        # The hostile answer is those characters, and no element came of it.
        self.assertEqual(b["rows"][-1]["cells"][4], "answered: " + HOSTILE)
        self.assertEqual(self.browser.call("eval", js="document.querySelectorAll('img').length"), 0)


if __name__ == "__main__":
    unittest.main()

"""The supervisor's page in Debian's headless Chromium, served by a Mosquitto of the test's own
configured as deploy/mosquitto.conf and its ACL say, with two benches publishing: both benches
and their sockets in natural order, a verdict live within 2 s, a bench killed with SIGKILL shown
as lost, a hostile answer shown as text and run never, the filters, a reload that brings
everything back from the retained topics, and the ACL keeping each bench to its own topics."""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402

PAGE = os.path.abspath(os.environ.get("QM_PAGE", "build/host/web/page"))
NODE_MODULES = os.path.abspath(os.environ.get("QM_NODE_MODULES", "build/host/web/npm/node_modules"))
SCREENSHOT = os.environ.get("QM_SCREENSHOT")
PREFIX = "plant1/line3"  # a prefix of several levels, from ?prefix=
USERS = {"supervisor": "only-reads", "bench-a": "secret-a", "bench-b": "secret-b"}
HOSTILE = "<img src=x onerror=alert(1)>"

for tool in ("mosquitto", "mosquitto_pub", "mosquitto_sub", "node", "/usr/bin/chromium"):
    if not shutil.which(tool):
        print(f"skipped: {tool} not found (scripts/setup.sh installs it)")
        sys.exit(77)
if not os.path.exists(os.path.join(PAGE, "mqtt.min.js")):
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


class FakeBench:
    """A bench as the agreed topics make it: a connection whose will says lost, and records."""

    def __init__(self, broker, name):
        self.broker, self.name, self.seq, self.tally, self.outcomes = broker, name, 0, {}, {}
        self.topic = f"{PREFIX}/{name}"
        status = {"type": "status", "bench": name, "host": "pc-" + name, "version": "1.0.0.1",
                  "started": "2026-12-08T09:14:03.512Z", "watched": "CP210x adapters",
                  "at": "2026-12-08T09:14:03.512Z"}
        self.connection = subprocess.Popen([
            "mosquitto_sub", "-p", str(broker.port), "-u", name, "-P", USERS[name], "-t",
            self.topic + "/none", "--will-topic", self.topic + "/status", "--will-retain",
            "--will-qos", "1", "--will-payload", json.dumps(dict(status, state="lost"))])
        self.publish("status", dict(status, state="online"), retain=True)

    def publish(self, what, record, retain=False, as_bench=None):
        self.broker.publish(as_bench or self.name, USERS[as_bench or self.name],
                            f"{self.topic}/{what}", json.dumps(record), retain)

    def verdict(self, key, outcome, answer=None, reason=None):
        self.seq += 1
        record = {"type": "exchange", "port": f"/dev/ttyUSB{self.seq}", "location": key,
                  "serial": f"QM{self.seq:04}", "product": "CP2102", "outcome": outcome,
                  "answer": answer, "reason": reason, "started": "2026-12-08T09:15:00.000Z",
                  "seconds": 2.0, "bench": self.name, "seq": self.seq}
        counts = self.tally.setdefault(key, {"ok": 0, "fail": 0})
        counts["ok" if outcome == "answered" else "fail"] += 1
        self.publish(f"socket/{key}/state", record, retain=True)
        self.publish("events", record)
        self.outcomes[outcome] = self.outcomes.get(outcome, 0) + 1
        totals = {k: self.outcomes.get(k, 0) for k in
                  ("answered", "no-answer", "unexpected", "cannot-open", "interrupted")}
        self.publish("tally", dict(type="tally", bench=self.name, sockets=self.tally, **totals),
                     retain=True)


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

    def test_two_benches_live_on_the_page(self):
        a, b = FakeBench(self.broker, "bench-a"), FakeBench(self.broker, "bench-b")
        self.addCleanup(lambda: [x.connection.kill() for x in (a, b)])
        for key in ("1-1.10", "1-1.2", "1-1.9"):  # published out of the hub's order
            a.verdict(key, "answered", "OK")
        a.verdict("1-1.9", "no-answer")
        a.verdict("1-1.9", "no-answer")  # keeps failing
        b.verdict("ttyUSB10", "answered", HOSTILE)
        b.verdict("ttyUSB2", "cannot-open", reason="permission denied")

        url = f"http://127.0.0.1:{self.broker.ws_port}/?prefix={PREFIX}"
        self.browser.call("open", url=url)
        # No anonymous access: the page asks for a user, and the page's user can only read.
        self.browser.call("wait", js="!document.getElementById('login').hidden")
        self.browser.call("type", selector="#login-user", text="supervisor")
        self.browser.call("type", selector="#login-password", text=USERS["supervisor"])
        self.browser.call("click", selector="#login button")
        self.wait("v.length == 2 && v.every(b => b.rows.length >= 2 && b.status.startsWith('online'))")
        self.check_drawn(self.view())

        # A new verdict, live: on the page within 2 s.
        started = time.monotonic()
        b.verdict("ttyUSB2", "answered", "OK 2")
        self.wait("v[1].rows[0].cells[4] == 'answered: OK 2'", timeout=2000)
        self.assertLess(time.monotonic() - started, 2.0)

        # The ACL: a bench writes only under its own name (nor does the page's user write).
        a.publish("socket/1-9/state", {"type": "exchange", "outcome": "answered"}, retain=True,
                  as_bench="bench-b")
        b.publish("socket/1-9/state", {"type": "exchange", "outcome": "answered"}, retain=True,
                  as_bench="supervisor")
        b.verdict("ttyUSB3", "answered", "OK 3")  # after those, on the same path
        self.wait("v[1].rows.length == 3")
        self.assertEqual(len(self.view()["bench-a"]["rows"]), 3)

        # Only failures; then one bench.
        self.browser.call("click", selector="#only-failures")
        shown = {n: [r["cells"][0] for r in b["rows"] if r["shown"]] for n, b in
                 self.view().items() if b["shown"]}
        self.assertEqual(shown, {"bench-a": ["1-1.9"]})
        self.browser.call("click", selector="#only-failures")
        self.browser.call("select", selector="#bench-filter", value="bench-b")
        self.assertEqual([n for n, b in self.view().items() if b["shown"]], ["bench-b"])
        self.browser.call("select", selector="#bench-filter", value="")

        # Killed: the broker gives out its will, and the page says lost at once.
        a.connection.send_signal(signal.SIGKILL)
        self.wait("v[0].status.startsWith('lost since')")

        # A reload: everything back from the retained topics (the user kept for this tab).
        self.browser.call("reload")
        self.wait("v.length == 2 && v[0].rows.length == 3 && v[1].rows.length == 3")
        after = self.view()
        self.check_drawn(after)
        self.assertTrue(after["bench-a"]["status"].startswith("lost (last connected"))
        self.assertEqual(after["bench-b"]["rows"][0]["cells"][4], "answered: OK 2")
        self.assertEqual(self.browser.call("seen"), {"dialogs": [], "errors": []})
        if SCREENSHOT:
            self.browser.call("screenshot", path=SCREENSHOT)

    def check_drawn(self, view):
        self.assertEqual(list(view), ["bench-a", "bench-b"])
        a, b = view["bench-a"], view["bench-b"]
        self.assertEqual([r["cells"][0] for r in a["rows"]], ["1-1.2", "1-1.9", "1-1.10"])
        self.assertEqual([r["cells"][3:5] for r in a["rows"]],
                         [["OK", "answered: OK"], ["FAIL again", "NO COMM"], ["OK", "answered: OK"]])
        self.assertEqual([r["again"] for r in a["rows"]], [False, True, False])
        self.assertEqual(a["rows"][1]["cells"][6], "1/2")
        self.assertIn("5 reset: 3 answered, 2 no answer", a["totals"])
        self.assertEqual(b["rows"][-1]["cells"][0], "ttyUSB10")
        # The hostile answer is those characters, and no element came of it.
        self.assertEqual(b["rows"][-1]["cells"][4], "answered: " + HOSTILE)
        self.assertEqual(self.browser.call("eval", js="document.querySelectorAll('img').length"), 0)


if __name__ == "__main__":
    unittest.main()

#!/usr/bin/env python3
"""The supervisor's page with a whole line, 50 benches of 64 sockets, in Debian's headless
Chromium, against a Mosquitto on loopback configured as deploy/mosquitto.conf says: the time
to draw everything from the retained topics, and to apply a burst of 3,200 verdicts, with the
longest frame gap and the longest task while it does (how responsive the page stays).

Usage: benchmark_page.py WEB_BUILD_DIR   (the build's web/: page/ and npm/node_modules/)"""

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/e2e"))
import harness  # noqa: E402

BENCHES, SOCKETS, RUNS = 50, 64, 3
PREFIX = "quillomarvet"


def bench_name(b):
    return f"bench{b + 1:02}"


def pages(name, states, budget=3500):
    """The bench's states again in pages of several sockets, as its publisher packs them."""
    head, out, page = '{"type":"states","bench":%s,"sockets":{' % json.dumps(name), [], ""
    for key in sorted(states):
        entry = json.dumps(key) + ":" + json.dumps(states[key])
        if page and len(page) + 1 + len(entry) + 2 > budget:
            out.append(page + "}}")
            page = ""
        page += "," + entry if page else head + entry
    return out + [page + "}}"] if page else out


def line(outcome, answer, with_status, run=0):
    """One batch per bench, on its own connection: its status (if asked), then each socket's
    state and event, then its tally and its pages of states, as a bench publishes them; each
    run's records the next seqs."""
    batches = []
    for b in range(BENCHES):
        name, messages, states = bench_name(b), [], {}
        if with_status:
            messages.append([f"{PREFIX}/{name}/status", json.dumps({
                "type": "status", "bench": name, "state": "online", "version": "1.0.0.1",
                "host": "pc-" + name, "started": "2026-12-08T09:00:00.000Z",
                "watched": "CP210x adapters", "at": "2026-12-08T09:00:00.000Z"}), True])
        for s in range(SOCKETS):
            key = f"1-{s // 8 + 1}.{s % 8 + 1}"
            record = {"type": "exchange", "port": f"/dev/ttyUSB{s}", "location": key,
                      "serial": f"QM{b:02}{s:02}", "product": "CP2102", "outcome": outcome,
                      "answer": answer, "reason": None, "started": "2026-12-08T09:15:00.000Z",
                      "seconds": 2.003, "bench": name, "seq": run * SOCKETS + s + 1}
            states[key] = json.dumps(record)
            messages.append([f"{PREFIX}/{name}/socket/{key}/state", states[key], True])
            messages.append([f"{PREFIX}/{name}/events", json.dumps(record), False])
        messages.append([f"{PREFIX}/{name}/tally", json.dumps({
            "type": "tally", "bench": name, "answered": SOCKETS, "no-answer": 0,
            "unexpected": 0, "cannot-open": 0, "interrupted": 0,
            "sockets": {f"1-{s // 8 + 1}.{s % 8 + 1}": {"ok": 1, "fail": 0}
                        for s in range(SOCKETS)}}), True])
        messages += [[f"{PREFIX}/{name}/states/{n}", page, True]
                     for n, page in enumerate(pages(name, states))]
        batches.append({"username": name, "password": "pw", "messages": messages})
    return batches


# Watches the page frame by frame from before the burst: when all rows show it, the longest
# gap between two frames, and the longest task the browser reports.
WATCH = """(() => {
  window.qmBurst = { done: 0, gap: 0, task: 0 };
  new PerformanceObserver((l) => { for (const e of l.getEntries())
    qmBurst.task = Math.max(qmBurst.task, e.duration); }).observe({ type: "longtask" });
  let last = performance.now();
  (function frame(now) {
    qmBurst.gap = Math.max(qmBurst.gap, now - last);
    last = now;
    if (document.querySelectorAll("tr.v-OUTCOME").length === TOTAL)
      qmBurst.done = performance.timeOrigin + performance.now();
    else requestAnimationFrame(frame);
  })(last);
})()"""


def main():
    web = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/host/web")
    for tool in ("mosquitto", "mosquitto_passwd", "node", "/usr/bin/chromium"):
        if not shutil.which(tool):
            sys.exit(f"{tool} not found: scripts/setup.sh installs it")
    work = tempfile.mkdtemp(prefix="qm-page-bench-")
    users = {bench_name(b): "pw" for b in range(BENCHES)}
    users["supervisor"] = "pw"
    broker = harness.Broker(work, os.path.join(web, "page"), users)
    browser = harness.Browser(os.path.join(web, "npm/node_modules"))
    try:
        mqtt_url = f"mqtt://127.0.0.1:{broker.port}"
        browser.call("publish", url=mqtt_url, batches=line("answered", "OK", True), qos=1)
        page = f"http://127.0.0.1:{broker.ws_port}/"
        browser.call("open", url=page, width=1600, height=1000)
        browser.call("wait", js="!document.getElementById('login').hidden")
        browser.call("type", selector="#login-user", text="supervisor")
        browser.call("type", selector="#login-password", text="pw")
        browser.call("click", selector="#login button")
        total = BENCHES * SOCKETS
        # Every socket's row shows its retained verdict (a tally alone makes rows without one).
        drawn_rows = f"document.querySelectorAll('tbody tr:not(.v-none)').length === {total}"
        browser.call("wait", js=drawn_rows, timeout=30000)

        draws, loads, bursts, gaps, tasks, draw_cpu, burst_cpu = [], [], [], [], [], [], []
        for run in range(RUNS):
            # Drawn from the retained topics: from the navigation's start to every row there.
            cpu = browser.call("cpu")
            browser.call("reload")
            draws.append(browser.call("wait", js=f"({drawn_rows}) && (window.qmDrawn = "
                                      "window.qmDrawn || performance.now())", timeout=30000))
            draws[-1] = browser.call("eval", js="window.qmDrawn")
            loads.append(browser.call("eval", js="performance.getEntriesByType('navigation')[0]"
                                      ".loadEventEnd"))
            draw_cpu.append((browser.call("cpu") - cpu) * 1000)
            # A burst: every socket of the line gets a new verdict, from 50 benches at once.
            outcome, answer = (("no-answer", None), ("answered", f"OK {run}"))[run % 2]
            css = "fail" if outcome == "no-answer" else "pass"
            browser.call("eval", js=WATCH.replace("OUTCOME", css).replace("TOTAL", str(total)))
            cpu = browser.call("cpu")
            sent = browser.call("publish", url=mqtt_url,
                                batches=line(outcome, answer, False, run + 1), qos=0)
            browser.call("wait", js="window.qmBurst.done > 0", timeout=30000)
            burst_cpu.append((browser.call("cpu") - cpu) * 1000)
            burst = browser.call("eval", js="window.qmBurst")
            bursts.append(burst["done"] - sent["started"])
            gaps.append(burst["gap"])
            tasks.append(burst["task"])
        seen = browser.call("seen")
        if seen["errors"]:
            sys.exit(f"the page failed: {seen['errors']}")
        version = subprocess.run(["/usr/bin/chromium", "--version"], capture_output=True,
                                 text=True).stdout.strip()
    finally:
        browser.close()
        broker.stop()
        shutil.rmtree(work, True)

    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    print(f"\nThe supervisor's page: {BENCHES} benches x {SOCKETS} sockets = {total}, "
          f"{version} headless, Mosquitto on loopback, {RUNS} runs; load average {load} "
          f"on {os.cpu_count()} CPUs")
    print(f"{'measure':<62}{'median':>9}{'worst':>9}  goal")
    rows = [
        ("draw from the retained state (navigation start to all rows)", draws, "< 1000 ms"),
        ("  of which the page's files from http_dir (to the load event)", loads, ""),
        ("  the page's CPU for it (renderer processes)", draw_cpu, ""),
        ("burst of 3,200 verdicts (first sent to last drawn)", bursts, "< 1000 ms"),
        ("  the page's CPU for it (renderer processes)", burst_cpu, ""),
        ("  longest gap between two frames during the burst", gaps, "responsive"),
        ("  longest task during the burst", tasks, "responsive"),
    ]
    for what, values, goal in rows:
        print(f"{what:<62}{statistics.median(values):>7.0f}ms{max(values):>7.0f}ms  {goal}")


if __name__ == "__main__":
    main()

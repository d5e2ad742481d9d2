// Debian's headless Chromium driven over the DevTools protocol (puppeteer-core: no browser of
// its own is ever downloaded), for the supervisor page's test and benchmark in Python: one JSON
// command per line on stdin, one JSON answer per line on stdout.
"use strict";
const puppeteer = require("puppeteer-core");
const mqtt = require("mqtt");
const readline = require("readline");

let browser = null;
let page = null;
const dialogs = []; // alert(), confirm(), ... that the page opened: a hostile answer ran
const errors = []; // the page's uncaught exceptions

const ops = {
  async open({ url, width = 1280, height = 900 }) {
    if (!browser) {
      browser = await puppeteer.launch({
        executablePath: process.env.QM_CHROMIUM || "/usr/bin/chromium",
        headless: true,
        // As root, Chromium starts only without its sandbox.
        args: process.getuid() === 0 ? ["--no-sandbox"] : [],
        // No DevTools record of every request and WebSocket frame (nothing here reads them):
        // with a whole line's retained messages it doubled what the page took to draw them,
        // which a supervisor's browser never pays.
        networkEnabled: false,
      });
    }
    page = await browser.newPage();
    page.on("dialog", (d) => {
      dialogs.push(d.type() + ": " + d.message());
      d.dismiss().catch(() => {});
    });
    page.on("pageerror", (e) => errors.push(String(e)));
    await page.setViewport({ width, height });
    await page.goto(url, { waitUntil: "load" });
  },
  eval: ({ js }) => page.evaluate(js),
  async wait({ js, timeout = 10000 }) {
    const started = Date.now();
    await page.waitForFunction(js, { polling: "raf", timeout });
    return Date.now() - started;
  },
  reload: () => page.reload({ waitUntil: "load" }).then(() => null),
  type: ({ selector, text }) => page.type(selector, text),
  click: ({ selector }) => page.click(selector),
  select: ({ selector, value }) => page.select(selector, value).then(() => null),
  screenshot: ({ path, fullPage = false }) => page.screenshot({ path, fullPage }).then(() => null),
  seen: () => ({ dialogs, errors }),
  // CPU seconds used so far by the browser's renderer processes (the page's).
  async cpu() {
    const session = await browser.target().createCDPSession();
    const { processInfo } = await session.send("SystemInfo.getProcessInfo");
    await session.detach();
    return processInfo.filter((p) => p.type === "renderer").reduce((t, p) => t + p.cpuTime, 0);
  },
  // Each batch on a connection of its own, all at once; in each, messages in order:
  // {username, password, messages: [[topic, payload, retain], ...]}. Returns when the first
  // was sent (Date.now()) and how long all took.
  async publish({ url, batches, qos = 0 }) {
    const clients = await Promise.all(batches.map(({ username, password }) => {
      const client = mqtt.connect(url, { username, password, reconnectPeriod: 0 });
      return new Promise((resolve, reject) => {
        client.once("connect", () => resolve(client));
        client.once("error", reject);
      });
    }));
    const started = Date.now();
    await Promise.all(batches.map(({ messages }, i) => Promise.all(messages.map(
      ([t, p, retain]) => clients[i].publishAsync(t, p, { qos, retain })))));
    const took = Date.now() - started;
    await Promise.all(clients.map((c) => c.endAsync()));
    return { started, took };
  },
};

const lines = readline.createInterface({ input: process.stdin });
let queue = Promise.resolve();
lines.on("line", (line) => {
  queue = queue.then(async () => {
    let answer;
    try {
      const command = JSON.parse(line);
      const value = await ops[command.op](command);
      answer = { ok: true, value: value === undefined ? null : value };
    } catch (e) {
      answer = { ok: false, error: String((e && e.stack) || e) };
    }
    process.stdout.write(JSON.stringify(answer) + "\n");
  });
});
lines.on("close", () => queue.then(() => browser && browser.close()));

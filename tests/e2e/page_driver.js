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
  // Messages in order on one connection: [topic, payload, retain], ...
  async publish({ url, username, password, messages, qos = 0 }) {
    const client = mqtt.connect(url, { username, password, reconnectPeriod: 0 });
    await new Promise((resolve, reject) => {
      client.once("connect", resolve);
      client.once("error", reject);
    });
    const started = Date.now();
    await Promise.all(messages.map(([t, p, retain]) => client.publishAsync(t, p, { qos, retain })));
    await client.endAsync();
    return Date.now() - started;
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

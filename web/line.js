"use strict";
// The supervisor's page: every bench of the line, live from the broker that serves this page.
// Messages only change the model and mark what they touched; one animation frame then redraws
// just that, so a burst from a whole line costs one layout, not one per message. Everything a
// bench sends (names, answers, reasons) reaches the DOM through textContent only.
(function () {
  const params = new URLSearchParams(location.search);
  const prefix = (params.get("prefix") || "quillomarvet").replace(/^\/+|\/+$/g, "");
  const MAX_EVENTS = 30;
  const FAILURES = new Set(["no-answer", "unexpected", "cannot-open"]);
  const order = new Intl.Collator("en", { numeric: true }).compare; // ttyUSB2 before ttyUSB10
  const decoder = new TextDecoder();
  const $ = (id) => document.getElementById(id);

  const benches = new Map(); // name -> bench
  const benchNames = []; // in natural order, as drawn
  const events = []; // newest first
  const dirtyBenches = new Set();
  const dirtySockets = new Set();
  let eventsDirty = false;
  let frame = 0; // the animation frame asked for
  let frameTimer = 0; // the wait before asking for one

  function el(tag, className, text) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function str(v) {
    return v === null || v === undefined ? "" : String(v);
  }

  // A bench's time, as this browser's clock shows it; the date too when it is not today's.
  // One formatter for all: making one per call costs more than the rest of a row's drawing.
  const timeOfDay = new Intl.DateTimeFormat("en-GB", {
    hour: "2-digit", minute: "2-digit", second: "2-digit", hour12: false });
  function clock(when) {
    const t = new Date(when);
    if (isNaN(t)) return str(when);
    const time = timeOfDay.format(t);
    return t.toDateString() === new Date().toDateString()
      ? time
      : t.toISOString().slice(0, 10) + " " + time;
  }

  function insertSorted(names, name) {
    let lo = 0;
    let hi = names.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (order(names[mid], name) < 0) lo = mid + 1;
      else hi = mid;
    }
    names.splice(lo, 0, name);
    return lo;
  }

  // What an exchange's outcome means on the line: its colour and its words.
  function verdict(record) {
    const outcome = str(record && record.outcome);
    if (!record) return { cls: "none", word: "", words: "no verdict yet" };
    if (outcome === "answered")
      return { cls: "pass", word: "OK", words: "answered: " + str(record.answer) };
    if (outcome === "no-answer") return { cls: "fail", word: "FAIL", words: "NO COMM" };
    if (outcome === "unexpected")
      return { cls: "fail", word: "FAIL", words: "unexpected answer: " + str(record.answer) };
    if (outcome === "cannot-open")
      return { cls: "fail", word: "FAIL", words: "cannot open: " + str(record.reason) };
    if (outcome === "interrupted") return { cls: "warn", word: "STOP", words: "interrupted" };
    return { cls: "none", word: "?", words: outcome };
  }

  function bench(name) {
    let b = benches.get(name);
    if (b) return b;
    b = { name, status: null, tally: null, sockets: new Map(), keys: [], failing: 0, view: null };
    benches.set(name, b);
    dirtyBenches.add(b);
    return b;
  }

  function socket(b, key) {
    let s = b.sockets.get(key);
    if (s) return s;
    s = { bench: b, key, record: null, ok: 0, fail: 0, view: null };
    b.sockets.set(key, s);
    return s;
  }

  // At most one drawing per DRAW_EVERY_MS: under a burst from the whole line each one costs a
  // layout and a paint, so fewer and larger ones end sooner; a lone verdict still shows at once,
  // and the last of a burst within the pace (benches out of sight cost no layout: see .bench).
  const DRAW_EVERY_MS = 100;
  let lastDraw = 0;
  function schedule() {
    if (frame || frameTimer) return;
    const wait = lastDraw + DRAW_EVERY_MS - performance.now();
    if (wait <= 0) frame = requestAnimationFrame(draw);
    else frameTimer = setTimeout(() => {
      frameTimer = 0;
      frame = requestAnimationFrame(draw);
    }, wait);
  }

  // What is there is drawn now, not when the pace allows.
  function drawNow() {
    clearTimeout(frameTimer);
    cancelAnimationFrame(frame);
    frameTimer = 0;
    draw(performance.now());
  }

  function touch(b, s) {
    dirtyBenches.add(b);
    if (s) dirtySockets.add(s);
    schedule();
  }

  function addEvent(entry) {
    events.unshift(entry);
    if (events.length > MAX_EVENTS) events.length = MAX_EVENTS;
    eventsDirty = true;
    schedule();
  }

  // A record newer than the socket's (by the bench's seq), or the socket's first.
  function newer(s, record) {
    return !s.record || !(Number(record.seq) <= Number(s.record.seq));
  }

  function onMessage(topic, payload, packet) {
    if (!topic.startsWith(prefix + "/")) return;
    const parts = topic.slice(prefix.length + 1).split("/");
    let data;
    try {
      data = JSON.parse(decoder.decode(payload));
    } catch (e) {
      return; // not ours, or a retained message being cleared
    }
    if (!data || typeof data !== "object") return;
    const b = bench(parts[0]);
    const what = parts.slice(1).join("/");
    if (what === "status") {
      const state = str(data.state);
      const before = b.status && b.status.state;
      // A live change is timed where it is seen: a will's "at" is when it was registered.
      const live = !packet.retain && before !== state;
      b.status = { data, state, since: live ? new Date().toISOString() : str(data.at), live };
      if (live) addEvent({ bench: b.name, status: state, at: b.status.since });
      touch(b, null);
    } else if (what === "tally") {
      b.tally = data;
      const counts = data.sockets && typeof data.sockets === "object" ? data.sockets : {};
      for (const key of Object.keys(counts)) {
        const s = socket(b, key);
        const ok = Number(counts[key] && counts[key].ok) || 0;
        const fail = Number(counts[key] && counts[key].fail) || 0;
        if (s.ok === ok && s.fail === fail && s.view) continue; // a tally names every socket
        s.ok = ok;
        s.fail = fail;
        touch(b, s);
      }
      touch(b, null);
    } else if (parts.length === 4 && parts[1] === "socket" && parts[3] === "state") {
      const s = socket(b, parts[2]);
      const fresh = newer(s, data);
      // A retained state that is no newer: the bench's pages had it already.
      if (packet.retain && !fresh) return;
      // A state that arrives live is the socket's newest record, and so the line's last event
      // (the events topic says the same again, which would double what a burst costs here),
      // unless a bench that reconnects is sending its states again (no newer seq).
      if (!packet.retain && fresh) addEvent({ bench: b.name, record: data, at: str(data.started) });
      s.record = data;
      touch(b, s);
    } else if (parts.length === 3 && parts[1] === "states") {
      // The sockets' states again, a page of them to a message.
      const states = data.sockets && typeof data.sockets === "object" ? data.sockets : {};
      for (const key of Object.keys(states)) {
        let record = null;
        try {
          record = typeof states[key] === "string" ? JSON.parse(states[key]) : null;
        } catch (e) {
          record = null;
        }
        if (!record || typeof record !== "object") continue;
        const s = socket(b, key);
        if (!newer(s, record)) continue;
        s.record = record;
        touch(b, s);
      }
    }
  }

  // Drawing, once per frame, of what changed since the last one.

  function benchView(b) {
    const section = el("section", "bench");
    const head = el("div", "bench-head");
    const name = el("h2", "bench-name", b.name);
    const state = el("span", "status");
    const about = el("span", "about");
    head.append(name, state, about);
    const totals = el("div", "bench-totals");
    const table = el("table", "sockets");
    const header = table.createTHead().insertRow();
    for (const title of ["SOCKET", "PORT", "SERIAL", "", "STATE", "TIME", "OK/FAIL"])
      header.append(el("th", "", title));
    const body = table.createTBody();
    section.append(head, totals, table);
    const at = insertSorted(benchNames, b.name);
    const next = benches.get(benchNames[at + 1]);
    $("benches").insertBefore(section, next && next.view ? next.view.section : null);
    const option = el("option", "", b.name);
    option.value = b.name;
    const select = $("bench-filter");
    select.insertBefore(option, select.options[at + 1] || null);
    section.hidden = select.value !== "" && select.value !== b.name;
    $("empty").hidden = true;
    return { section, state, about, totals, body };
  }

  function drawBench(b) {
    const v = b.view || (b.view = benchView(b));
    const st = b.status;
    const state = st ? st.state : "unknown";
    v.state.className = "status " + (["online", "offline", "lost"].includes(state) ? state : "unknown");
    if (!st) v.state.textContent = "no status yet";
    else if (state === "lost" && !st.live)
      v.state.textContent = "lost (last connected " + clock(st.since) + ")";
    else v.state.textContent = state + " since " + clock(st.since);
    if (st) {
      const d = st.data;
      v.about.textContent = [str(d.host), str(d.version) && "v" + str(d.version), str(d.watched)]
        .filter(Boolean)
        .join(" · ");
    }
    let failing = 0;
    for (const s of b.sockets.values()) if (s.record && FAILURES.has(s.record.outcome)) failing++;
    b.failing = failing;
    v.section.classList.toggle("has-failures", failing > 0 || state === "lost");
    v.section.classList.toggle("lost", state === "lost");
    v.totals.textContent = summary(b.tally) + " · " + b.sockets.size + " sockets, " + failing +
      " failing now";
  }

  function summary(t) {
    if (!t) return "no totals yet";
    const n = (k) => Number(t[k]) || 0;
    const reset = n("answered") + n("no-answer") + n("unexpected") + n("cannot-open") + n("interrupted");
    return reset + " reset: " + n("answered") + " answered, " + n("no-answer") + " no answer, " +
      n("unexpected") + " unexpected, " + n("cannot-open") + " could not be opened, " +
      n("interrupted") + " interrupted";
  }

  function drawSocket(s) {
    const b = s.bench;
    let v = s.view;
    if (!v) {
      const row = el("tr");
      const cells = [];
      for (let i = 0; i < 7; i++) cells.push(row.appendChild(el("td")));
      cells[0].textContent = s.key;
      cells[3].className = "verdict";
      v = s.view = { row, cells, texts: [] };
      const at = insertSorted(b.keys, s.key);
      const next = b.sockets.get(b.keys[at + 1]);
      b.view.body.insertBefore(row, next && next.view ? next.view.row : null);
    }
    const r = s.record;
    const w = verdict(r);
    const failing = w.cls === "fail";
    // Failing again and again: the socket (or what is plugged into it) wants a look.
    const again = failing && s.fail >= 2;
    // The time of day only: the date, when it is not today's, is in the cell's title.
    const when = r ? clock(r.started) : "";
    const texts = [s.key, str(r && r.port), str(r && r.serial), again ? "FAIL again" : w.word,
      w.words, when.slice(-8), s.ok + "/" + s.fail];
    // Only what differs is written: an unchanged cell then costs no style or layout.
    const cls = "v-" + w.cls + (again ? " again" : "");
    if (v.row.className !== cls) v.row.className = cls;
    for (let i = 1; i < texts.length; i++) {
      if (v.texts[i] === texts[i]) continue;
      v.cells[i].textContent = texts[i];
      v.texts[i] = texts[i];
    }
    v.cells[4].title = w.words; // the whole answer, where the column cuts it
    v.cells[5].title = when;
  }

  function drawEvents() {
    const list = $("events");
    const only = $("bench-filter").value;
    const failuresOnly = $("only-failures").checked;
    const items = [];
    for (const e of events) {
      if (only && e.bench !== only) continue;
      const w = e.record ? verdict(e.record) : null;
      if (failuresOnly && (w ? w.cls !== "fail" : e.status !== "lost")) continue;
      const li = el("li", w ? "v-" + w.cls : "status-" + e.status);
      li.append(el("time", "", clock(e.at)), el("b", "", e.bench));
      if (w) {
        li.append(el("span", "key", str(e.record.location) || str(e.record.port)));
        li.append(el("span", "verdict", w.word), el("span", "words", w.words));
      } else {
        li.append(el("span", "words", "is " + e.status));
      }
      items.push(li);
    }
    list.replaceChildren(...items);
  }

  function drawTotals() {
    const t = { answered: 0, "no-answer": 0, unexpected: 0, "cannot-open": 0, interrupted: 0 };
    const states = { online: 0, offline: 0, lost: 0 };
    let sockets = 0;
    let failing = 0;
    for (const b of benches.values()) {
      for (const k of Object.keys(t)) t[k] += (b.tally && Number(b.tally[k])) || 0;
      if (b.status && b.status.state in states) states[b.status.state]++;
      sockets += b.sockets.size;
      failing += b.failing;
    }
    $("totals").textContent = benches.size + " benches (" + states.online + " online, " +
      states.offline + " offline, " + states.lost + " lost) · " + sockets + " sockets, " +
      failing + " failing now · " + summary(t);
    $("totals").classList.toggle("alarm", failing > 0 || states.lost > 0);
  }

  function draw(now) {
    frame = 0;
    lastDraw = now;
    const benchesChanged = dirtyBenches.size > 0;
    for (const b of dirtyBenches) if (!b.view) b.view = benchView(b);
    for (const s of dirtySockets) drawSocket(s);
    for (const b of dirtyBenches) drawBench(b);
    dirtyBenches.clear();
    dirtySockets.clear();
    if (benchesChanged) drawTotals();
    if (eventsDirty) drawEvents();
    eventsDirty = false;
  }

  // Filters: a class on the page for failures, the hidden attribute for other benches.
  function applyFilters() {
    document.body.classList.toggle("only-failures", $("only-failures").checked);
    const only = $("bench-filter").value;
    for (const b of benches.values()) if (b.view) b.view.section.hidden = only !== "" && only !== b.name;
    drawEvents();
  }
  $("only-failures").addEventListener("change", applyFilters);
  $("bench-filter").addEventListener("change", applyFilters);

  // The broker is the one that served this page, on the same host and port.
  let client = null;
  function link(text, cls) {
    $("link").textContent = text;
    $("link").className = "link " + (cls || "");
  }

  function connect(username, password) {
    if (client) client.end(true);
    const url = (location.protocol === "https:" ? "wss://" : "ws://") + location.host;
    // Subscribed anew at every connection, below: mqtt.js's own resubscribing would get every
    // retained message twice.
    const options = { reconnectPeriod: 2000, connectTimeout: 10000, clean: true,
      resubscribe: false };
    if (username) Object.assign(options, { username, password });
    client = mqtt.connect(url, options);
    client.on("connect", () => {
      link("connected to " + location.host, "up");
      // A whole line is thousands of retained states, one message each, and a browser spends
      // far longer on each message than on what it holds: first every bench's status, tally and
      // its states in pages of many sockets, then the states themselves, which by then change
      // only what is newer (the pages follow them at a slower pace). Mosquitto queues a
      // subscription's retained messages before it reads the next request, so their SUBACK
      // comes after the pages: the line is drawn then (with a broker that orders them otherwise,
      // as the pages come), and the pages are not wanted live.
      const states = prefix + "/+/states/+";
      // (A connection lost on the way: the next one starts again.)
      client.subscribe([prefix + "/+/status", prefix + "/+/tally", states], { qos: 0 }, (err) => {
        if (err) return;
        client.subscribe(prefix + "/+/socket/+/state", { qos: 0 }, (err2) => {
          if (err2) return;
          client.unsubscribe(states);
          drawNow();
        });
      });
    });
    client.on("reconnect", () => link("reconnecting to " + location.host, "down"));
    client.on("offline", () => link("no connection to " + location.host, "down"));
    client.on("error", (err) => {
      // 4 and 5: the broker refused the user; ask for one rather than retry for ever.
      if (err && (err.code === 4 || err.code === 5 || err.code === 134 || err.code === 135)) {
        client.end(true);
        link("the broker refused the user", "down");
        $("login").hidden = false;
      }
    });
    client.on("message", onMessage);
  }

  $("login").addEventListener("submit", (e) => {
    e.preventDefault();
    const user = $("login-user").value;
    const password = $("login-password").value;
    // For this tab only, so that a reload comes back to the same view.
    sessionStorage.setItem("quillomarvet-login", JSON.stringify([user, password]));
    $("login").hidden = true;
    connect(user, password);
  });

  $("prefix").textContent = prefix;
  let saved = null;
  try {
    saved = JSON.parse(sessionStorage.getItem("quillomarvet-login"));
  } catch (e) {
    saved = null;
  }
  if (params.get("user")) $("login-user").value = params.get("user");
  if (Array.isArray(saved)) connect(saved[0], saved[1]);
  else connect(params.get("user"), undefined);
})();

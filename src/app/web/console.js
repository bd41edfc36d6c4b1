"use strict";
// The console page. Everything arrives as server-sent events from /events (a snapshot, then
// updates and log lines); a call's ladder is fetched when it is clicked. Text from the network
// goes into the page only as text (textContent, setAttribute), never as markup.
(() => {
  const SVG = "http://www.w3.org/2000/svg";
  const LOG_LINES = 2000; // lines the page keeps
  const CALL_ROWS = 200; // calls listed at once; the filter finds the others
  const HOUR = 3600;
  const RECENT = 300; // seconds shown one by one
  const BUCKET = 10; // seconds per point before that
  const FIGURES = ["Registrations", "CallAttempts", "FailedCalls", "CompletedCalls", "Errors",
    "LastRoute"];
  const $ = (id) => document.getElementById(id);
  const state = {calls: new Map(), ringSize: 200, rates: [], ratesEnd: 0, level: 0,
    canChangeLevel: false, selected: 0, proxy: ""};

  function element(tag, className, text) {
    const made = document.createElement(tag);
    if (className) made.className = className;
    if (text !== undefined) made.textContent = text;
    return made;
  }

  function vector(tag, attributes, text) {
    const made = document.createElementNS(SVG, tag);
    for (const [name, value] of Object.entries(attributes)) made.setAttribute(name, value);
    if (text !== undefined) made.textContent = text;
    return made;
  }

  function row(cells) {
    const tr = element("tr");
    for (const cell of cells) tr.append(element("td", "", String(cell)));
    return tr;
  }

  // HH:MM:SS.mmm, local time.
  function clock(ms) {
    const time = new Date(ms);
    const two = (n) => String(n).padStart(2, "0");
    return `${two(time.getHours())}:${two(time.getMinutes())}:${two(time.getSeconds())}.` +
      String(time.getMilliseconds()).padStart(3, "0");
  }

  // The six figures and the log level.
  function showFigures(figures) {
    for (const name of FIGURES) $(name).textContent = String(figures[name]);
    state.level = figures.level;
    showLevel();
  }

  function showLevel() {
    for (const option of document.querySelectorAll("#levels input[name=level]")) {
      option.checked = Number(option.value) === state.level;
      option.disabled = !state.canChangeLevel;
    }
    $("levels").title = state.canChangeLevel ? ""
      : "Only a console administrator may change the level (--users and console-admins).";
  }

  async function changeLevel(level) {
    const answer = await fetch("level", {method: "POST",
      headers: {"Content-Type": "application/json"}, body: JSON.stringify({level})});
    if (!answer.ok) {
      $("logNote").textContent = `Level not changed: ${answer.status} ${await answer.text()}`;
      showLevel();
    }
  }

  function showRoutes(routes) {
    $("routeRows").replaceChildren(...routes.shown.map((route) => row(route)));
    $("routeCount").textContent = routes.taken > routes.shown.length
      ? `(${routes.taken}, the first ${routes.shown.length} shown)` : `(${routes.taken})`;
  }

  // Log lines as the log window shows them: CR LF a line break, a lone CR as a symbol.
  function addLog(lines) {
    const box = $("logText");
    const added = document.createDocumentFragment();
    for (const [level, text] of lines) {
      const line = element("div", "level" + level,
        text.replace(/\r\n$/, "").replace(/\r(?!\n)/g, "\u240d").replace(/\r\n/g, "\n"));
      line.logText = text;
      added.append(line);
    }
    box.append(added);
    while (box.childElementCount > LOG_LINES) box.firstElementChild.remove();
    if ($("follow").checked) box.scrollTop = box.scrollHeight;
  }

  function noteGap(text) {
    $("logNote").textContent = text;
    $("logText").append(element("div", "gap", text));
  }

  // The log text as a file: CR LF line ends, one byte per character, as the window saves it.
  function saveLog() {
    const text = [...$("logText").children].map((line) => line.logText || "").join("");
    const bytes = Uint8Array.from(text, (ch) => ch.charCodeAt(0) & 0xff);
    const link = element("a");
    link.href = URL.createObjectURL(new Blob([bytes], {type: "text/plain"}));
    link.download = "tavrix-log.txt";
    link.click();
    setTimeout(() => URL.revokeObjectURL(link.href), 1000);
  }

  // Chart seconds [t, attempts, completed, failed]; t counts the proxy's seconds, so a second
  // sent twice is the same second.
  function addRates(seconds) {
    for (const [t, ...values] of seconds) {
      if (t > state.ratesEnd) {
        while (state.ratesEnd < t - 1) { state.rates.push([0, 0, 0]); state.ratesEnd++; }
        state.rates.push(values);
        state.ratesEnd = t;
      } else if (state.rates.length - 1 - (state.ratesEnd - t) >= 0) {
        state.rates[state.rates.length - 1 - (state.ratesEnd - t)] = values;
      }
    }
    state.rates.splice(0, Math.max(0, state.rates.length - HOUR));
    drawChart();
  }

  function niceCeiling(value) {
    const power = 10 ** Math.floor(Math.log10(Math.max(value, 1)));
    return [1, 1.5, 2, 2.5, 3, 4, 5, 6, 8, 10].map((step) => step * power)
      .find((top) => top >= value);
  }

  // The last hour: 10-second averages on the left half, the last five minutes second by
  // second on the right half.
  function drawChart() {
    const [left, right, top, bottom] = [44, 890, 12, 200];
    const middle = (left + right) / 2;
    const rates = state.rates;
    const points = []; // [age in seconds, [attempts, completed, failed] per second]
    for (let age = HOUR; age > RECENT; age -= BUCKET) {
      const bucket = rates.slice(Math.max(0, rates.length - age), rates.length - age + BUCKET);
      if (rates.length - age + BUCKET <= 0 || bucket.length === 0) continue;
      points.push([age - BUCKET / 2, [0, 1, 2].map(
        (i) => bucket.reduce((sum, second) => sum + second[i], 0) / bucket.length)]);
    }
    for (let age = Math.min(RECENT, rates.length); age >= 1; age--) {
      points.push([age, rates[rates.length - age]]);
    }
    const x = (age) => age > RECENT
      ? left + (HOUR - age) / (HOUR - RECENT) * (middle - left)
      : middle + (RECENT - age) / (RECENT - 1) * (right - middle);
    const most = niceCeiling(Math.max(1, ...points.flatMap(([, values]) => values)));
    const y = (value) => bottom - value / most * (bottom - top);
    const chart = $("chart");
    chart.replaceChildren();
    for (const value of [0, most / 2, most]) {
      chart.append(vector("line", {x1: left, x2: right, y1: y(value), y2: y(value), class: "grid"}),
        vector("text", {x: left - 6, y: y(value) + 4, class: "axis", "text-anchor": "end"},
          String(value)));
    }
    for (const [age, label] of [[HOUR, "\u221260 min"], [1800, "\u221230 min"],
      [RECENT, "\u22125 min"], [240, "\u22124"], [180, "\u22123"], [120, "\u22122"],
      [60, "\u22121"], [1, "now"]]) {
      chart.append(vector("line", {x1: x(age), x2: x(age), y1: top, y2: bottom, class: "grid"}),
        vector("text", {x: x(age), y: bottom + 18, class: "axis", "text-anchor": "middle"},
          label));
    }
    ["attempts", "completed", "failed"].forEach((name, i) => {
      const line = points.map(([age, values]) => `${x(age).toFixed(1)},${y(values[i]).toFixed(1)}`);
      chart.append(vector("polyline", {points: line.join(" "), class: "series " + name}));
    });
    const totals = [0, 1, 2].map((i) => rates.reduce((sum, second) => sum + second[i], 0));
    $("totalAttempts").textContent = totals[0];
    $("totalCompleted").textContent = totals[1];
    $("totalFailed").textContent = totals[2];
    $("chartSpan").textContent = rates.length >= 120
      ? `${Math.floor(rates.length / 60)} min` : `${rates.length} s`;
  }

  // How a call stands, from its method, its last final answer and whether it ended.
  function callState(call) {
    const {method, status, ended} = call;
    if (status === 0) return method === "INVITE" ? "setting up" : "sent";
    if (status === 401 || status === 407) return ended ? `failed ${status}` : "challenged";
    if (method === "REGISTER") return status < 300 ? "registered" : `refused ${status}`;
    if (status < 300) return ended ? "completed" : "in call";
    return status === 487 ? "cancelled" : `failed ${status}`;
  }

  function updateCalls(calls) {
    for (const call of calls) state.calls.set(call.id, call);
    const newest = Math.max(0, ...state.calls.keys());
    for (const id of state.calls.keys()) {
      if (id <= newest - state.ringSize) state.calls.delete(id);
    }
    showCalls();
    if (calls.some((call) => call.id === state.selected)) selectCall(state.selected, true);
  }

  function showCalls() {
    const wanted = $("filter").value.trim().toLowerCase();
    const shown = [...state.calls.values()].reverse().filter((call) => !wanted ||
      [call.from, call.to, call.callId].some((text) => text.toLowerCase().includes(wanted)));
    $("callRows").replaceChildren(...shown.slice(0, CALL_ROWS).map((call) => {
      const tr = row([clock(call.start), call.method, call.from, call.to, callState(call),
        call.steps, call.callId]);
      tr.addEventListener("click", () => selectCall(call.id));
      if (call.id === state.selected) tr.className = "selected";
      return tr;
    }));
    $("callCount").textContent = `(${Math.min(shown.length, CALL_ROWS)} shown, ` +
      `${shown.length} match, ${state.calls.size} kept)`;
  }

  // Shows a call's ladder; a refresh of one that has left the ring keeps what was drawn.
  async function selectCall(id, refresh = false) {
    state.selected = id;
    const answer = await fetch("call?id=" + id);
    if (state.selected !== id) return;
    if (!answer.ok && refresh) {
      $("ladderTitle").append(" (left the ring: as last seen)");
      return;
    }
    if (!answer.ok) {
      $("ladderTitle").textContent = "That call has left the ring; --console-calls keeps more.";
      $("ladderChart").replaceChildren();
      $("message").textContent = "";
      return;
    }
    drawLadder(await answer.json());
    showCalls();
  }

  // One lane per address: the first sender, the proxy, then the others as they come.
  function drawLadder({call, proxy, ladder}) {
    $("ladderTitle").textContent =
      `${call.method} ${call.from} \u2192 ${call.to}: ${callState(call)} (Call-ID ${call.callId})`;
    const lanes = [];
    const lane = (address) => lanes.includes(address) ? lanes.indexOf(address)
      : lanes.push(address) - 1;
    if (ladder.length) lane(ladder[0].peer);
    lane(proxy);
    ladder.forEach((step) => lane(step.peer));
    // Lanes as far apart as the pane allows, labels cut to fit between them.
    const [left, top, height] = [110, 44, 26];
    const room = ($("ladderScroll").clientWidth || 900) - left - 70;
    const width = Math.max(200, Math.min(320, room / Math.max(1, lanes.length - 1)));
    const fit = Math.floor(width / 7.5);
    const laneX = (address) => left + lane(address) * width;
    const chart = $("ladderChart");
    chart.setAttribute("width", left + width * (lanes.length - 1) + 100);
    chart.setAttribute("height", top + height * ladder.length + 10);
    chart.replaceChildren(vector("defs", {}));
    const arrow = vector("marker", {id: "arrow", viewBox: "0 0 10 10", refX: 10, refY: 5,
      markerWidth: 8, markerHeight: 8, orient: "auto-start-reverse"});
    arrow.append(vector("path", {d: "M0,0 L10,5 L0,10 z"}));
    chart.firstChild.append(arrow);
    for (const address of lanes) {
      const at = laneX(address);
      chart.append(vector("text", {x: at, y: 16, class: "lane", "text-anchor": "middle"},
        address === proxy ? `Tavrix ${address}` : address),
      vector("line", {x1: at, x2: at, y1: 24, y2: top + height * ladder.length, class: "lane"}));
    }
    ladder.forEach((step, i) => {
      const y = top + height * i + 14;
      const [from, to] = step.sent ? [proxy, step.peer] : [step.peer, proxy];
      const group = vector("g", {class: "step", tabindex: 0});
      const label = step.line.length > fit ? step.line.slice(0, fit - 1) + "\u2026" : step.line;
      group.append(vector("rect", {x: 0, y: y - 16, width: "100%", height, class: "hit"}),
        vector("text", {x: 4, y, class: "time"}, clock(step.t)),
        vector("line", {x1: laneX(from), x2: laneX(to), y1: y, y2: y, "marker-end": "url(#arrow)"}),
        vector("text", {x: (laneX(from) + laneX(to)) / 2, y: y - 4, class: "label",
          "text-anchor": "middle"}, label));
      group.addEventListener("click", () => showMessage(step));
      chart.append(group);
    });
    $("message").textContent = "Click a message to see it whole.";
  }

  function showMessage(step) {
    $("message").textContent = step.text !== undefined
      ? step.text.replace(/\r\n/g, "\n")
      : `${step.line}\n\n(The whole message is kept only while the log level is 3 or 4, up to ` +
        "32 KiB per call.)";
  }

  function onSnapshot(snapshot) {
    state.canChangeLevel = snapshot.canChangeLevel;
    state.ringSize = snapshot.ringSize;
    state.proxy = snapshot.proxy;
    $("version").textContent = snapshot.version;
    $("proxy").textContent = `SIP on ${snapshot.proxy}`;
    showFigures(snapshot.figures);
    showRoutes(snapshot.routes);
    state.rates = snapshot.rates.values;
    state.ratesEnd = snapshot.rates.end;
    drawChart();
    state.calls.clear();
    updateCalls(snapshot.calls);
    $("logText").replaceChildren();
    addLog(snapshot.log);
  }

  function onUpdate(update) {
    if (update.figures) showFigures(update.figures);
    if (update.rates) addRates(update.rates);
    if (update.routes) showRoutes(update.routes);
    if (update.calls) updateCalls(update.calls);
  }

  function connect() {
    const events = new EventSource("events");
    const connection = (text, className) => {
      $("connection").textContent = text;
      $("connection").className = className;
    };
    events.onopen = () => connection("live", "up");
    events.onerror = () => connection(events.readyState === EventSource.CLOSED
      ? "refused (too many viewers?): reload to try again" : "reconnecting", "down");
    const on = (name, handle) => events.addEventListener(name, (event) => handle(JSON.parse(event.data)));
    on("snapshot", onSnapshot);
    on("update", onUpdate);
    on("log", ({leftOut, lines}) => {
      if (leftOut) noteGap(`${leftOut} lines left out here (over 2000 a second); the proxy's own log has them`);
      addLog(lines);
    });
    on("dropped", ({lines}) => noteGap(`${lines} lines missed: this browser read too slowly`));
  }

  $("levels").addEventListener("change", (event) => {
    if (event.target.name === "level") changeLevel(Number(event.target.value));
  });
  $("clearLog").addEventListener("click", () => $("logText").replaceChildren());
  $("saveLog").addEventListener("click", saveLog);
  $("filter").addEventListener("input", showCalls);
  connect();
})();

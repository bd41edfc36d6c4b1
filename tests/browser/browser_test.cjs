"use strict";
// browser_test.cjs PROGRAM NODE_DIR: JsSIP phones in Debian's Chromium (driven by
// playwright-core; both installed from tests/node's lockfile into NODE_DIR) register to
// the headless program over WebSocket, chat, call each other with Chromium's fake media, and
// chat with a baresip phone on UDP. All on loopback; every wait is bounded, every child dies
// with this process.
const fs = require("fs");
const path = require("path");
const {LAUNCH, STEP_MS, Failure, sleep, until, install, start, exited, startProxy, stopProxy, run} =
  require("../node/harness.cjs");

const [program, nodeDir] = process.argv.slice(2);
// The browser-side entry points of the packages JsSIP requires.
const ENTRIES = {jssip: "jssip/lib/JsSIP.js", debug: "debug/src/browser.js",
  events: "events/events.js", "sdp-transform": "sdp-transform/lib/index.js", ms: "ms/index.js"};

// JsSIP ships CommonJS only: its files and those it requires, by path under node_modules, for
// the page's own small loader.
function jssipFiles() {
  const root = path.join(nodeDir, "node_modules");
  const files = {};
  const walk = (dir) => fs.readdirSync(dir, {withFileTypes: true}).forEach((entry) => {
    const file = path.join(dir, entry.name);
    if (entry.isDirectory()) walk(file);
    else if (/\.js(on)?$/.test(entry.name)) files[path.relative(root, file)] = fs.readFileSync(file, "utf8");
  });
  Object.values(ENTRIES).forEach((entry) => walk(path.join(root, entry.split("/")[0])));
  return files;
}

// Runs in the page: loads JsSIP and starts a phone that registers as user and answers calls by
// itself. What it sees goes into window.seen; only loopback ICE candidates are offered.
function phone({files, entries, url, user, domain}) {
  const cache = {};
  const resolve = (dir, wanted) => {
    const parts = [];
    for (const part of (dir + wanted).split("/")) {
      if (part === "..") parts.pop(); else if (part !== ".") parts.push(part);
    }
    const base = parts.join("/");
    return [base, base + ".js", base + ".json", base + "/index.js"].find((name) => name in files);
  };
  const load = (name) => {
    if (!cache[name]) {
      const module = cache[name] = {exports: {}};
      const require = (wanted) => load(entries[wanted] || resolve(name.replace(/[^/]*$/, ""), wanted));
      if (name.endsWith(".json")) module.exports = JSON.parse(files[name]);
      else new Function("require", "module", "exports", files[name])(require, module, module.exports);
    }
    return cache[name].exports;
  };
  const JsSIP = load(entries.jssip);
  const seen = window.seen = [];
  const media = {mediaConstraints: {audio: true, video: false}, pcConfig: {iceServers: []}};
  const ua = window.ua = new JsSIP.UA({sockets: [new JsSIP.WebSocketInterface(url)],
    uri: `sip:${user}@${domain}`, session_timers: false, register_expires: 600});
  ua.on("registered", () => seen.push("registered"));
  ua.on("registrationFailed", (event) => seen.push("registration failed: " + event.cause));
  ua.on("newMessage", ({originator, request}) => originator === "remote" &&
    seen.push(`message from ${request.from.uri}: ${request.body}`));
  ua.on("newRTCSession", ({originator, session}) => {
    window.session = session;
    session.on("sdp", (event) => {
      if (event.originator === "local") {
        event.sdp = event.sdp.replace(/^a=candidate:(?!\S+ \d+ udp \d+ 127\.0\.0\.1 ).*\r\n/gim, "");
      }
    });
    for (const state of ["confirmed", "ended", "failed"]) {
      session.on(state, (event) => seen.push(state + (event.cause ? `: ${event.originator} ${event.cause}` : "")));
    }
    if (originator === "remote") session.answer(media);
  });
  window.call = (target) => ua.call(target, media);
  window.send = (target, text) => new Promise((done) => ua.sendMessage(target, text, {eventHandlers: {
    succeeded: ({response}) => done(response.status_code),
    failed: ({response, cause}) => done(response ? response.status_code : cause)}}));
  ua.start();
}

// A baresip phone on UDP as tests/interop/peers.py starts it, fed menu commands on stdin.
function baresip(workdir, name, ip, address) {
  const driver = "import sys\nsys.path.insert(0, sys.argv[1])\nimport peers\n" +
    "phone = peers.Baresip(sys.argv[2], sys.argv[3], sys.argv[4], type('P', (), {'address': sys.argv[5]}))\n" +
    "for line in sys.stdin:\n    phone.send(line.rstrip('\\n'))\nphone.quit()\n";
  const child = start(name + "-driver", ["python3", "-B", "-c", driver, path.join(__dirname, "..", "interop"),
    workdir, name, ip, address], workdir, "pipe");
  child.send = (command) => child.stdin.write(command + "\n");
  child.wait = (what, pattern) => until(`${name}: ${what}`, () => fs.existsSync(path.join(workdir, name + ".out")) &&
    pattern.exec(fs.readFileSync(path.join(workdir, name + ".out"), "latin1")));
  return child;
}

const latin1 = (text) => Buffer.from(text).toString("latin1");

async function main(workdir, playwright) {
  const [proxy, [, sipPort, wsPort]] = await startProxy(program, workdir, ["--log-level", "4", "--ws",
    "127.0.0.1:0"], /listening on UDP port (\d+)[^]*Listening on WS 127\.0\.0\.1:(\d+)\n/);
  const domain = `127.0.0.1:${sipPort}`;
  const logged = (what, ...lines) => until(what + " in the proxy's log", () => lines.every((line) =>
    line instanceof RegExp ? line.test(proxy.text()) : proxy.text().includes(line)));
  // The trace (level 4) of a message read from or written to a far end: "SIP Read: IP=A Port=P",
  // then the message indented; answers told apart by their CSeq.
  const trace = (direction, end, first, method) => new RegExp(`SIP ${direction}: IP=` +
    `${end.replace(":", " Port=").replace(/\./g, "\\.")}\n {4}${first}[^\n]*\n(?: {4}[^\n]*\n)*? {4}CSeq: \\d+ ${method}\n`);
  // Each step [from, to, method, answer]: read from one end, written to the other.
  const relayed = (what, ...steps) => logged(what, ...steps.flatMap(([from, to, method, answer]) => {
    const first = answer ? "SIP/2\\.0 " + answer : method + " ";
    return [trace("Read", from, first, method), trace("Send", to, first, method)];
  }));
  // Where the proxy sees a phone: the far end its REGISTER came from.
  const endOf = async (ip, user) => (await until(`${user}'s REGISTER in the proxy's log`, () => new RegExp(
    `SIP Read: IP=(${ip.replace(/\./g, "\\.")}) Port=(\\d+)\n {4}REGISTER [^\n]*\n(?: {4}[^\n]*\n)*? {4}From: <sip:${user}@`)
    .exec(proxy.text()))).slice(1).join(":");

  const browser = await playwright.chromium.launch({...LAUNCH, args: [...LAUNCH.args,
    "--use-fake-device-for-media-stream", "--use-fake-ui-for-media-stream",
    "--allow-loopback-in-peer-connection"]});
  const pages = {};
  try {
    const files = jssipFiles();
    fs.writeFileSync(path.join(workdir, "phone.html"), "<!doctype html><title>phone</title>");
    for (const user of ["alice", "bob"]) {
      const page = pages[user] = await browser.newPage();
      page.on("pageerror", (error) => fs.appendFileSync(path.join(workdir, user + ".errors"), error.stack + "\n"));
      await page.goto("file://" + path.join(workdir, "phone.html"));
      await page.evaluate(phone, {files, entries: ENTRIES, url: `ws://127.0.0.1:${wsPort}`, user, domain});
    }
    const seen = (user, entry) => until(`${user}'s page to see "${entry}"`, () =>
      pages[user].evaluate((wanted) => window.seen.includes(wanted), entry));
    // A MESSAGE from a page, answered 200 within the step.
    const chat = async (from, to, text) => {
      const answer = await Promise.race([sleep(STEP_MS).then(() => "nothing"), pages[from].evaluate(
        ([target, body]) => window.send(target, body), [`sip:${to}@${domain}`, text])]);
      if (answer !== 200) throw new Failure(`${from}'s MESSAGE to ${to} was answered ${answer}`);
    };
    for (const user of ["alice", "bob"]) await seen(user, "registered");
    const at = {alice: await endOf("127.0.0.1", "alice"), bob: await endOf("127.0.0.1", "bob")};

    // Chat both ways between the pages; each text arrives whole.
    for (const [from, to, text] of [["alice", "bob", "Grüezi bob, are you there?"],
      ["bob", "alice", "Yes, in the lab until six."]]) {
      await chat(from, to, text);
      await seen(to, `message from sip:${from}@${domain}: ${text}`);
      await relayed(`${from}'s MESSAGE`, [at[from], at[to], "MESSAGE"], [at[to], at[from], "MESSAGE", "200 OK"]);
    }

    // alice calls, bob's page answers by itself, alice hangs up.
    await pages.alice.evaluate((target) => window.call(target), `sip:bob@${domain}`);
    for (const user of ["alice", "bob"]) await seen(user, "confirmed");
    await relayed("the call's set-up", [at.alice, at.bob, "INVITE"], [at.bob, at.alice, "INVITE", "200 OK"],
      [at.alice, at.bob, "ACK"]);
    await pages.alice.evaluate(() => window.session.terminate());
    await seen("alice", "ended: local Terminated");
    await seen("bob", "ended: remote Terminated");
    await relayed("the call's end", [at.alice, at.bob, "BYE"], [at.bob, at.alice, "BYE", "200 OK"]);
    await logged("the call's end", "Call completed");

    // A page chats with a baresip phone on UDP, both ways.
    const carol = baresip(workdir, "carol", "127.0.0.2", domain);
    await carol.wait("its registration answered", /^carol@.*200 OK/m);
    const toCarol = "Grüezi carol, from the browser.";
    await chat("alice", "carol", toCarol);
    await carol.wait("alice's message", new RegExp(`sip:alice@\\S+: "${latin1(toCarol)}"`));
    fs.writeFileSync(path.join(workdir, "carol", "contacts"), `"alice" <sip:alice@${domain}>\n`);
    for (const command of ["/insmod contact", "/contact_next", "/message Grüezi alice, from baresip."]) {
      carol.send(command);
    }
    await seen("alice", `message from sip:carol@${domain}: Grüezi alice, from baresip.`);
    at.carol = await endOf("127.0.0.2", "carol");
    await relayed("the MESSAGEs with carol", [at.alice, at.carol, "MESSAGE"], [at.carol, at.alice, "MESSAGE", "200 OK"],
      [at.carol, at.alice, "MESSAGE"], [at.alice, at.carol, "MESSAGE", "200 OK"]);
    carol.stdin.end();
    if (await exited(carol) !== 0) throw new Failure("carol did not quit");
  } catch (error) {
    for (const [user, page] of Object.entries(pages)) {
      await page.screenshot({path: path.join(workdir, user + ".png")}).catch(() => {});
      error.message += `\n${user}'s page saw: ` + JSON.stringify(await page.evaluate(() => window.seen).catch(() => null));
    }
    throw error;
  } finally {
    await browser.close();
  }
  await stopProxy(proxy);
}

run("browser_phones", [["baresip", "baresip-core"], ["python3", "python3"]],
  (workdir) => main(workdir, install(nodeDir)));

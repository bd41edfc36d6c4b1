"use strict";
// console_test.cjs PROGRAM NODE_DIR: the web console as an operator sees it, in Debian's
// Chromium driven by playwright-core (installed from tests/node's lockfile into
// NODE_DIR), against the headless program on loopback with SIPp as the phones. Every child
// dies with this process, and every wait is bounded.
const crypto = require("crypto");
const dgram = require("dgram");
const fs = require("fs");
const path = require("path");
const {LAUNCH, STEP_MS, Failure, sleep, until, install, start, exited, startProxy, stopProxy, run} =
  require("../node/harness.cjs");

const [program, nodeDir] = process.argv.slice(2);
const INTEROP = path.join(__dirname, "..", "interop");
const ADMIN = {username: "alice", password: "console-secret"};
const CALLER = ["-au", "caller", "-ap", "caller-secret"];

function freePort(ip) {
  return new Promise((resolve) => {
    const socket = dgram.createSocket("udp4");
    socket.bind(0, ip, () => { const {port} = socket.address(); socket.close(() => resolve(port)); });
  });
}

async function sipp(workdir, name, ip, scenario, proxy, service, count, extra = [], port = 0) {
  const where = scenario === "uas" ? ["-sn", "uas"] : ["-sf", scenario];
  const child = start(name, ["sipp", ...where, "-s", service, "-i", ip, "-p",
    String(port || await freePort(ip)), "-m", String(count), "-r", "20", "-nostdin",
    "-recv_timeout", "4000", "-timeout", "20", ...extra, proxy], workdir);
  child.name = name;
  return child;
}

async function finish(...agents) {
  for (const agent of agents) {
    const code = await exited(agent, 20000);
    if (code !== 0) throw new Failure(`${agent.name} ended with ${code}:\n${agent.text()}`);
  }
}

// Users of the users file: caller places the calls, alice administers the console.
function usersFile(workdir) {
  const line = (user, password) => `${user}:office:` +
    crypto.createHash("md5").update(`${user}:office:${password}`).digest("hex") + "\n";
  const file = path.join(workdir, "users");
  fs.writeFileSync(file, line("caller", CALLER[3]) + line(ADMIN.username, ADMIN.password));
  return file;
}

function basic(user, password) {
  return {Authorization: "Basic " + Buffer.from(`${user}:${password}`).toString("base64")};
}

// Requests the page must refuse: no credentials, a user who is no administrator, a wrong
// password; the level stays.
async function refusals(url, proxy) {
  const level = {method: "POST", body: '{"level":1}'};
  const json = {"Content-Type": "application/json"};
  for (const [who, headers] of [["nobody", {}], ["caller", basic("caller", CALLER[3])],
    ["a wrong password", basic(ADMIN.username, "guess")]]) {
    const answer = await fetch(url + "level", {...level, headers: {...json, ...headers}});
    if (answer.status !== 401 || !/^Basic realm=/.test(answer.headers.get("www-authenticate"))) {
      throw new Failure(`the level change of ${who} was answered ${answer.status}`);
    }
  }
  await until("the failed login in the log", () =>
    proxy.text().includes("Console authentication failed for 'alice' from 127.0.0.1"));
  if (proxy.text().includes("Log level changed")) throw new Failure("the level was changed");
}

// With the page watching, one more viewer may come (of 2), the next is refused.
async function viewerLimit(url) {
  const streams = [];
  for (const expected of [200, 503]) {
    const stop = new AbortController();
    streams.push(stop);
    const answer = await fetch(url + "events", {headers: basic(ADMIN.username, ADMIN.password),
      signal: stop.signal});
    if (answer.status !== expected) throw new Failure(`a viewer was answered ${answer.status}`);
  }
  streams.forEach((stream) => stream.abort());
}

// A REGISTER whose From user is a script and whose Call-ID is markup, sent as any datagram.
async function hostileRegister(proxyPort) {
  const socket = dgram.createSocket("udp4");
  await new Promise((resolve) => socket.bind(0, "127.0.0.3", resolve));
  const {port} = socket.address();
  const text = `REGISTER sip:127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.3:${port};branch=z9hG4bKx\r\n` +
    "From: <sip:<script>window.hacked=1</script>@127.0.0.1>;tag=x\r\nTo: <sip:x@127.0.0.1>\r\n" +
    'Call-ID: <img src=x onerror="window.hacked=2">\r\nCSeq: 1 REGISTER\r\n' +
    `Contact: <sip:x@127.0.0.3:${port}>\r\nContent-Length: 0\r\n\r\n`;
  await new Promise((resolve) => socket.send(text, proxyPort, "127.0.0.1", resolve));
  socket.close();
}

// The statistics line SIGUSR1 writes, as an object.
async function statistics(proxy) {
  const before = proxy.text().split("Statistics:").length;
  proxy.kill("SIGUSR1");
  await until("the statistics", () => proxy.text().split("Statistics:").length > before);
  const line = proxy.text().split("Statistics:").pop().split("\n")[0];
  return Object.fromEntries(line.trim().split(" ").map((pair) => pair.split("=")));
}

// The first-line labels of the ladder of the first call listed with this text.
async function ladderOf(page, text) {
  await page.locator("#callRows tr", {hasText: text}).first().click();
  await page.locator("#ladderTitle", {hasText: text}).waitFor({timeout: STEP_MS});
  return page.locator("#ladderChart .step .label").allTextContents();
}

async function main(workdir) {
  const calleePort = await freePort("127.0.0.2");
  fs.writeFileSync(path.join(workdir, "tavrix.conf"), "console-admins = alice\nconsole-viewers = 2\n");
  const [proxy, [, sipPort, url]] = await startProxy(program, workdir, ["--log-level", "3", "--log-format",
    "text", "--users", usersFile(workdir), "--config", "tavrix.conf", "--console", "127.0.0.1:0",
    "--default-route", `127.0.0.2:${calleePort}`],
  /listening on UDP port (\d+)[^]*Console at (http:\/\/127\.0\.0\.1:\d+\/)/);
  const address = `127.0.0.1:${sipPort}`;
  await refusals(url, proxy);

  const {chromium} = install(nodeDir);
  const context = await chromium.launchPersistentContext(path.join(workdir, "profile"),
    {...LAUNCH, httpCredentials: ADMIN});
  const page = context.pages()[0] || await context.newPage();
  const shows = (selector, hasText) => page.locator(selector, hasText ? {hasText} : {}).waitFor({timeout: STEP_MS});
  try {
    page.on("dialog", (dialog) => { throw new Failure("a dialog opened: " + dialog.message()); });
    await page.goto(url);
    await shows("#connection", "live");
    await viewerLimit(url);

    // A registration shows in the routes and in the log.
    await finish(await sipp(workdir, "register", "127.0.0.1",
      path.join(INTEROP, "uac_register_auth.xml"), address, "x", 1, CALLER));
    await shows("#routeRows td", /^sip:caller@127\.0\.0\.1:\d+$/);
    await shows("#logText", "User 'caller' successfully registered");

    // Three calls completed, one refused; the figures and the chart follow SIGUSR1.
    const callee = await sipp(workdir, "callee", "127.0.0.2", "uas", address, "x", 3, [], calleePort);
    await finish(await sipp(workdir, "calls", "127.0.0.1", path.join(INTEROP, "uac_auth.xml"),
      address, "longname", 3, CALLER), callee);
    await finish(await sipp(workdir, "refused", "127.0.0.1", path.join(__dirname, "uac_refused.xml"),
      address, "nobody", 1, CALLER));
    await hostileRegister(sipPort);
    // Registrations come and go with the calls' Contacts: the page follows the latest report.
    let counts = {};
    await until("the page to show what SIGUSR1 reports", async () => await sleep(200) ||
      (counts = await statistics(proxy)) &&
      page.evaluate((expected) => {
      const shown = (id) => document.getElementById(id).textContent;
      const chart = [...document.querySelectorAll("#chart polyline.attempts")]
        .some((line) => /,(?!200\.0)\d/.test(line.getAttribute("points")));
      return Object.entries(expected).every(([name, value]) => shown(name) === value) &&
        shown("totalAttempts") === expected.CallAttempts && chart &&
        shown("totalCompleted") === expected.CompletedCalls &&
        shown("totalFailed") === expected.FailedCalls;
    }, counts));
    if (counts.CallAttempts !== "4" || counts.CompletedCalls !== "3" || counts.FailedCalls !== "1") {
      throw new Failure("unexpected statistics: " + JSON.stringify(counts));
    }

    // A finished call's ladder: INVITE, 180, 200, ACK, BYE, 200 in order, each message whole.
    const labels = await ladderOf(page, "completed");
    let next = 0;
    for (const label of labels) {
      if (label.startsWith(["INVITE ", "SIP/2.0 180", "SIP/2.0 200", "ACK ", "BYE ", "SIP/2.0 200"][next])) next++;
    }
    if (next < 6) throw new Failure("the ladder lacks the call's messages in order: " + labels.join(" | "));
    await page.locator("#ladderChart .step").first().click();
    await shows("#message", /^INVITE sip:longname@[^]*\nCall-ID: /);

    // The hostile From and Call-ID show as text and run nothing.
    const hostile = await ladderOf(page, "<script>window.hacked=1</script>");
    const cells = await page.locator("#callRows tr", {hasText: "<script>"}).first().locator("td").allTextContents();
    if (!cells.some((cell) => cell.includes("<script>window.hacked=1</script>")) ||
        !cells.includes('<img src=x onerror="window.hacked=2">') || !hostile[0].startsWith("REGISTER") ||
        await page.evaluate(() => window.hacked !== undefined || document.querySelector("main script, main img"))) {
      throw new Failure("the hostile REGISTER did not show as plain text: " + cells.join(" | "));
    }

    // The level changed on the page: logged with the user, and the proxy's log follows it.
    await page.check("#levels input[value='2']");
    await until("the level change in the log", () =>
      proxy.text().includes("Log level changed from 3 to 2 by console user 'alice'"));
    const mark = proxy.text().length;
    const registered = page.locator("#logText div", {hasText: "successfully registered"});
    const shown = await registered.count();
    await finish(await sipp(workdir, "again", "127.0.0.1", path.join(INTEROP, "uac_register_auth.xml"),
      address, "x", 1, CALLER));
    await registered.nth(shown).waitFor({timeout: STEP_MS});
    const after = proxy.text().slice(mark);
    if (!after.includes("LOG_INFO: ") || after.includes("LOG_DEBUG")) {
      throw new Failure("the proxy's log did not follow level 2:\n" + after);
    }
    await shows("#levels input[value='2']:checked");

    // The log saved as a file (CR LF, one byte per character), then cleared.
    const [download] = await Promise.all([page.waitForEvent("download"), page.click("#saveLog")]);
    const saved = fs.readFileSync(await download.path(), "latin1");
    if (!/^LOG_\w+: .*\r\n/.test(saved) || !saved.includes("by console user 'alice'\r\n")) {
      throw new Failure("the saved log is not the log text:\n" + saved.slice(0, 400));
    }
    await page.click("#clearLog");
    if (await page.locator("#logText div").count() !== 0) throw new Failure("the log was not cleared");
  } catch (error) {
    await page.screenshot({path: path.join(workdir, "page.png"), fullPage: true});
    throw error;
  } finally {
    await context.close();
  }
  await stopProxy(proxy);
}

run("console", [["sipp", "sip-tester"]], main);

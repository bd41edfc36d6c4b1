"use strict";
// What the tests in a real browser share: bounded waits, the packages a lockfile pins installed
// into the build folder (never into the source tree), children that die with the test, and the
// run itself, which keeps the traces of a failure.
const {execFileSync, spawn} = require("child_process");
const fs = require("fs");
const os = require("os");
const path = require("path");

const CHROMIUM = "/usr/lib/chromium/chromium";
// Headless Chromium as the tests launch it: nothing fetched from outside.
const LAUNCH = {executablePath: CHROMIUM, headless: true, args: ["--no-sandbox", "--disable-gpu",
  "--disable-background-networking", "--disable-component-update", "--disable-sync", "--no-first-run"]};
const STEP_MS = 10000;
const children = [];

class Failure extends Error {}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function until(what, check, ms = STEP_MS) {
  const deadline = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Failure(`timed out after ${ms / 1000} s waiting for ${what}`);
    await sleep(50);
  }
}

// The packages the package.json beside this file pins (for both tests), installed once from its
// lockfile into nodeDir; gives playwright-core.
function install(nodeDir) {
  const dir = __dirname;
  const pinned = require(path.join(dir, "package.json")).dependencies;
  const names = Object.keys(pinned);
  const installed = (name) => path.join(nodeDir, "node_modules", name, "package.json");
  if (names.some((name) => !fs.existsSync(installed(name)) ||
      JSON.parse(fs.readFileSync(installed(name))).version !== pinned[name])) {
    fs.mkdirSync(nodeDir, {recursive: true});
    for (const name of ["package.json", "package-lock.json"]) {
      fs.copyFileSync(path.join(dir, name), path.join(nodeDir, name));
    }
    try {
      execFileSync("npm", ["ci", "--no-audit", "--no-fund", "--loglevel=error"],
        {cwd: nodeDir, stdio: "inherit", timeout: 180000});
    } catch (error) {
      throw new Failure(`${names.join(", ")} could not be installed from the npm registry ` +
        `into ${nodeDir} (npm ci: ${error.message})`);
    }
  }
  return require(path.join(nodeDir, "node_modules", "playwright-core"));
}

// A child that dies with this process, its output into a file.
function start(name, args, workdir, stdin = "ignore") {
  const output = path.join(workdir, name + ".out");
  const file = fs.openSync(output, "w");
  const child = spawn("setpriv", ["--pdeathsig", "KILL", "--", ...args],
    {stdio: [stdin, file, file], cwd: workdir});
  fs.closeSync(file);
  child.output = output;
  child.text = () => fs.readFileSync(output, "latin1").replace(/\r\n/g, "\n");
  child.done = new Promise((resolve) => child.on("exit", (code) => resolve(code)));
  children.push(child);
  return child;
}

// The child's exit status, or "time-out" after ms.
const exited = (child, ms = STEP_MS) => Promise.race([child.done, sleep(ms).then(() => "time-out")]);

// The headless program on 127.0.0.1 with these options, once its output matches pattern: the
// child and the match.
async function startProxy(program, workdir, options, pattern) {
  const child = start("proxy", [program, "--headless", "--port", "0", "--local-ip", "127.0.0.1",
    ...options], workdir);
  return [child, await until("the proxy to start", () => {
    if (child.exitCode !== null) throw new Failure("the proxy exited early:\n" + child.text());
    return pattern.exec(child.text());
  })];
}

async function stopProxy(proxy) {
  proxy.kill("SIGTERM");
  if (await exited(proxy) !== 0) throw new Failure("the proxy did not end cleanly");
}

// Runs main(workdir) as the case name once Chromium, npm and the tools ([command, package])
// are there; exits 0 (PASS) or 1 (FAIL, the traces kept), every child killed.
async function run(name, tools, main) {
  const missing = [[CHROMIUM, "chromium"], ["npm", "npm"], ...tools]
    .filter(([tool]) => execFileSync("sh", ["-c", `command -v ${tool} || true`]).length === 0);
  if (missing.length) {
    console.error(`FAIL ${name}: missing ` +
      missing.map(([tool, pkg]) => `${tool} (install ${pkg})`).join(", "));
    process.exit(1);
  }
  const workdir = fs.mkdtempSync(path.join(os.tmpdir(), `tavrix-${name}-`));
  console.log("traces go to " + workdir);
  let status = 1;
  try {
    await main(workdir);
    if (!process.env.TAVRIX_KEEP_TRACES) fs.rmSync(workdir, {recursive: true, force: true});
    console.log(`PASS ${name}`);
    status = 0;
  } catch (error) {
    console.error(`FAIL ${name}: ${error instanceof Failure ? error.message : error.stack}\n` +
      `traces kept in ${workdir}`);
  } finally {
    children.forEach((child) => child.exitCode === null && child.kill("SIGKILL"));
  }
  process.exit(status);
}

module.exports = {LAUNCH, STEP_MS, Failure, sleep, until, install, start, exited, startProxy, stopProxy, run};

// The browse page of `nasbrowse serve --http` in Debian's chromium, driven
// by puppeteer-core (run.sh starts the daemon):
//   node page.test.mjs URL SERVER OUT_DIR [--bench]
// The server exports /small (files one and two) and /big (f0 .. f99999).
// Each step says what it checks; a failed one ends the run with status 1.
// With --bench it measures the 100,000-entry folder instead, BENCH_RUNS
// times (default 3), each beside `nasbrowse browse` of the same folder.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { existsSync, mkdtempSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import puppeteer from "puppeteer-core";

const [url, server, out, mode] = process.argv.slice(2);
const BIG = Number(process.env.FILES || 100000);
const daemonRss = () =>
  Number(/VmRSS:\s+(\d+)/.exec(readFileSync(`/proc/${process.env.DAEMON_PID}/status`, "utf8"))[1]) / 1024;

// Opens /small (the daemon's RSS after it), then /big: the time from the
// click to the first of its rows drawn and to all of them listed, the
// daemon's RSS after it, then scrolls to the end and reads the JS heap.
async function measureBig(page, clickTree, waitStatus) {
  await clickTree("small");
  await waitStatus(/^2 entries/);
  const rssSmall = daemonRss();
  const timing = await page.evaluate(async (big) => {
    const label = [...document.querySelectorAll('[role="treeitem"] > .label')].find((e) => e.textContent === "big");
    const start = performance.now();
    label.click();
    let first = null;
    return new Promise((resolve) => {
      const tick = () => {
        const now = performance.now();
        const row = document.querySelector("#viewport .row:not([hidden]) .name");
        if (first === null && row && row.textContent.startsWith("f")) first = now - start;
        if (document.getElementById("status").textContent.startsWith(`${big.toLocaleString("en")} entries`))
          resolve({ first, all: now - start });
        else requestAnimationFrame(tick);
      };
      requestAnimationFrame(tick);
    });
  }, BIG);
  const rssBig = daemonRss();
  await page.$eval("#viewport", (e) => { e.scrollTop = e.scrollHeight; });
  await page.waitForSelector(`#viewport .row[aria-rowindex="${BIG + 1}"]:not([hidden])`);
  assert.match(await page.$eval(`#viewport .row[aria-rowindex="${BIG + 1}"] .name`, (e) => e.textContent), /^f\d+$/);
  const heapMiB = (await page.metrics()).JSHeapUsedSize / 1048576;
  return { ...timing, heapMiB, rssSmall, rssBig };
}

function cliMs() {
  const start = process.hrtime.bigint();
  execFileSync(process.env.NASBROWSE, ["browse", server, "/big"], { stdio: ["ignore", "ignore", "inherit"] });
  return Number(process.hrtime.bigint() - start) / 1e6;
}

const median = (values) => values.slice().sort((a, b) => a - b)[Math.floor(values.length / 2)];

async function bench(page, openServer, clickTree, waitStatus) {
  cliMs();  // the server's first listing of /big is slow: warm it
  const runs = Number(process.env.BENCH_RUNS || 3);
  const rows = [];
  for (let run = 0; run < runs; ++run) {
    await page.goto(url, { waitUntil: "networkidle0" });
    await openServer(server);
    await page.waitForFunction(() => document.querySelectorAll('[role="group"] [role="treeitem"]').length >= 2);
    const m = await measureBig(page, clickTree, waitStatus);
    const cli = cliMs();
    rows.push({ ...m, cli });
    console.log(`run ${run + 1}: first rows ${m.first.toFixed(0)} ms, page all ${m.all.toFixed(0)} ms, ` +
                `nasbrowse browse ${cli.toFixed(0)} ms (ratio ${(m.all / cli).toFixed(2)}), JS heap ` +
                `${m.heapMiB.toFixed(1)} MiB, daemon RSS ${m.rssSmall.toFixed(1)} -> ${m.rssBig.toFixed(1)} MiB`);
  }
  const pick = (key) => median(rows.map((row) => row[key]));
  const ratio = median(rows.map((row) => row.all / row.cli));
  console.log(`BENCH median of ${runs}: first_rows_ms=${pick("first").toFixed(0)} page_all_ms=${pick("all").toFixed(0)} ` +
              `cli_ms=${pick("cli").toFixed(0)} ratio=${ratio.toFixed(2)} js_heap_mib=${pick("heapMiB").toFixed(1)} ` +
              `daemon_rss_growth_mib=${median(rows.map((row) => row.rssBig - row.rssSmall)).toFixed(1)}`);
  const missed = [];
  if (pick("first") > 150) missed.push("first rows within 150 ms");
  if (ratio > 1.3) missed.push("all listed within 1.3x the command line");
  if (pick("heapMiB") > 100) missed.push("JS heap <= 100 MB");
  if (median(rows.map((row) => row.rssBig - row.rssSmall)) > 8) missed.push("daemon RSS within 8 MiB");
  console.log(missed.length ? `MISSED: ${missed.join(", ")}` : "every page target met");
  if (missed.length) process.exitCode = 3;
}

const profile = mkdtempSync(join(tmpdir(), "nasbrowse-chromium-"));
const browser = await puppeteer.launch({
  executablePath: "/usr/bin/chromium",
  headless: true,
  userDataDir: profile,
  args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         `--user-data-dir=${profile}`],
});
const problems = [];
let failed = false;

try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 800 });
  page.on("console", (message) => {
    if (message.type() === "error") problems.push(message.text());
  });
  page.on("pageerror", (error) => problems.push(error.message));
  // Nothing may be asked of another origin.
  const origin = new URL(url).origin;
  page.on("request", (request) => {
    if (!request.url().startsWith(origin) && !request.url().startsWith("blob:") &&
        !request.url().startsWith("data:"))
      problems.push(`asked another origin: ${request.url()}`);
  });

  const labels = () => page.$$eval('[role="treeitem"] > .label', (all) => all.map((e) => e.textContent));
  const rowNames = () => page.$$eval("#viewport .row:not([hidden]) .name", (all) => all.map((e) => e.textContent));
  const openServer = async (name) => {
    await page.$eval("#server", (input) => { input.value = ""; });
    await page.type("#server", name);
    await page.click('#server-form button[type="submit"]');
  };
  const clickTree = (label) => page.$$eval('[role="treeitem"] > .label',
    (all, label) => all.find((e) => e.textContent === label).click(), label);
  const waitStatus = (pattern) => page.waitForFunction(
    (source) => new RegExp(source).test(document.getElementById("status").textContent),
    { timeout: 60000 }, pattern.source);

  const steps = {
    "the address with the token opens the page, which keeps the token in a cookie": async () => {
      const response = await page.goto(url, { waitUntil: "networkidle0" });
      assert.equal(new URL(page.url()).search, "", "the token left the address bar");
      assert.equal(response.status(), 200);
      assert.match(response.headers()["content-security-policy"], /script-src 'self'/);
      const cookies = await page.cookies();
      assert.ok(cookies.some((c) => c.httpOnly && c.sameSite === "Strict"), JSON.stringify(cookies));
    },
    "the server's top level shows its exports' folders in the tree": async () => {
      await openServer(server);
      await page.waitForFunction(() => document.querySelectorAll('[role="group"] [role="treeitem"]').length >= 2);
      assert.deepEqual((await labels()).slice(0, 3), [server, "big", "small"]);
      assert.equal(await page.$eval('[role="tree"] [role="treeitem"]', (e) => e.getAttribute("aria-expanded")), "true");
    },
    "a click on a folder lists its entries, sortable by size": async () => {
      await clickTree("small");
      await waitStatus(/^2 entries/);
      assert.deepEqual((await rowNames()).sort(), ["one", "two"]);
      await page.click('[data-sort="size"]');
      await page.waitForFunction(() => document.querySelector("#viewport .row:not([hidden]) .name").textContent === "two");
      assert.equal(await page.$eval('[aria-sort="descending"] button', (e) => e.dataset.sort), "size");
      await page.click('[data-sort="size"]');
      await page.click('[data-sort="size"]');
      assert.equal(await page.$$eval('#table [aria-sort="none"]', (all) => all.length), 4, "back to the server's order");
    },
    "the arrow keys move through the tree and Enter shows a folder": async () => {
      await page.focus('[role="treeitem"][tabindex="0"]');
      await page.keyboard.press("Home");
      await page.keyboard.press("ArrowDown");
      await page.keyboard.press("ArrowDown");
      assert.equal(await page.evaluate(() => document.activeElement.firstChild.textContent), "small");
      await page.keyboard.press("ArrowLeft");
      assert.equal(await page.evaluate(() => document.activeElement.firstChild.textContent), server);
      await page.keyboard.press("ArrowLeft");
      assert.equal(await page.$eval('[role="tree"] > [role="treeitem"]', (e) => e.getAttribute("aria-expanded")), "false");
      await page.keyboard.press("ArrowRight");
      await page.keyboard.press("ArrowRight");
      await page.keyboard.press("ArrowDown");
      await page.keyboard.press("Enter");
      await waitStatus(/^2 entries/);
      assert.equal(await page.$eval("#where", (e) => e.textContent), `${server}:/small`);
    },
    "two ticked entries are in the to-back-up list, as JSON too": async () => {
      const boxes = await page.$$("#viewport .row:not([hidden]) input[type=checkbox]");
      assert.equal(boxes.length, 2);
      for (const box of boxes) await box.click();
      const listed = await page.$$eval("#backup li span", (all) => all.map((e) => e.textContent));
      assert.deepEqual(listed.sort(), [`${server}:/small/one`, `${server}:/small/two`]);
      assert.equal(await page.$eval("#backup-count", (e) => e.textContent), "2");
      const cdp = await page.createCDPSession();
      await cdp.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: out });
      const saved = join(out, "nasbrowse-backup.json");
      rmSync(saved, { force: true });
      await page.click("#save");
      for (let i = 0; i < 100 && !existsSync(saved); ++i) await new Promise((r) => setTimeout(r, 50));
      const selections = JSON.parse(readFileSync(saved, "utf8")).selections;
      assert.deepEqual(selections.map((e) => e.path).sort(), ["/small/one", "/small/two"]);
      assert.ok(selections.every((e) => e.server === server && e.folder === false));
      await page.screenshot({ path: join(out, "browse-page.png") });
    },
    "a failed folder shows the command line's sentence where its entries would be": async () => {
      await openServer("127.0.0.9");
      await page.waitForSelector("#error:not([hidden])", { timeout: 60000 });
      const text = await page.$eval("#error", (e) => e.textContent);
      assert.match(text, /cannot browse \/ on 127\.0\.0\.9: .*connection refused/);
      assert.deepEqual(await rowNames(), []);
      await page.screenshot({ path: join(out, "failed-folder.png") });
      const recent = await page.$$eval("#recent button", (all) => all.map((e) => e.textContent));
      assert.deepEqual(recent, ["127.0.0.9", server], "the servers browsed before are kept");
      await page.click("#recent li:last-child button");
      await page.waitForFunction(() => document.querySelectorAll('[role="group"] [role="treeitem"]').length >= 2);
    },
    "the 100,000-entry folder streams, and scrolls to its end": async () => {
      const m = await measureBig(page, clickTree, waitStatus);
      console.log(`     first rows ${m.first.toFixed(0)} ms, all ${BIG} listed ${m.all.toFixed(0)} ms, ` +
                  `JS heap ${m.heapMiB.toFixed(1)} MiB, daemon RSS ${m.rssSmall.toFixed(1)} -> ${m.rssBig.toFixed(1)} MiB`);
      assert.ok(m.heapMiB <= 100, `JS heap ${m.heapMiB} MiB`);
      await page.screenshot({ path: join(out, "big-folder-end.png") });
    },
  };

  if (mode === "--bench") {
    await bench(page, openServer, clickTree, waitStatus);
  } else for (const [name, step] of Object.entries(steps)) {
    try {
      await step();
      console.log(`ok   ${name}`);
    } catch (error) {
      failed = true;
      console.log(`FAIL ${name}\n     ${error.message.split("\n").join("\n     ")}`);
      await page.screenshot({ path: join(out, "failure.png") }).catch(() => {});
      break;
    }
  }
  if (problems.length) {
    failed = true;
    console.log(`FAIL the page reported problems:\n     ${problems.join("\n     ")}`);
  }
} finally {
  await browser.close();
  rmSync(profile, { recursive: true, force: true });
}
process.exit(failed ? 1 : process.exitCode || 0);

// The browse page of `nasbrowse serve --http` in Debian's chromium, driven
// by puppeteer-core (run.sh starts the daemon):
//   node page.test.mjs URL SERVER OUT_DIR [--bench]
// The server exports /small (files one and two) and /big (f0 .. f99999).
// Each step says what it checks; a failed one ends the run with status 1.
// With --bench it measures the 100,000-entry folder instead (bench.sh).
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import puppeteer from "puppeteer-core";

const [url, server, out, mode] = process.argv.slice(2);
const BIG = 100000;
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
      if (mode === "--bench") return;
      await openServer(server);
      await page.waitForFunction(() => document.querySelectorAll('[role="group"] [role="treeitem"]').length >= 2);
      assert.deepEqual((await labels()).slice(0, 3), [server, "big", "small"]);
      assert.equal(await page.$eval('[role="tree"] [role="treeitem"]', (e) => e.getAttribute("aria-expanded")), "true");
    },
    "a click on a folder lists its entries, sortable by size": async () => {
      if (mode === "--bench") return;
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
      if (mode === "--bench") return;
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
      if (mode === "--bench") return;
      const boxes = await page.$$("#viewport .row:not([hidden]) input[type=checkbox]");
      assert.equal(boxes.length, 2);
      for (const box of boxes) await box.click();
      const listed = await page.$$eval("#backup li span", (all) => all.map((e) => e.textContent));
      assert.deepEqual(listed.sort(), [`${server}:/small/one`, `${server}:/small/two`]);
      assert.equal(await page.$eval("#backup-count", (e) => e.textContent), "2");
      await page.screenshot({ path: join(out, "browse-page.png") });
    },
    "a failed folder shows the command line's sentence where its entries would be": async () => {
      if (mode === "--bench") return;
      await openServer("127.0.0.9");
      await page.waitForSelector("#error:not([hidden])", { timeout: 60000 });
      const text = await page.$eval("#error", (e) => e.textContent);
      assert.match(text, /The shares of NAS file server \[127\.0\.0\.9\] could not be listed/);
      assert.deepEqual(await rowNames(), []);
      await page.screenshot({ path: join(out, "failed-folder.png") });
      const recent = await page.$$eval("#recent button", (all) => all.map((e) => e.textContent));
      assert.deepEqual(recent, ["127.0.0.9", server], "the servers browsed before are kept");
      await page.click("#recent li:last-child button");
      await page.waitForFunction(() => document.querySelectorAll('[role="group"] [role="treeitem"]').length >= 2);
    },
    "the 100,000-entry folder streams, and scrolls to its end": async () => {
      if (mode === "--bench") {
        await openServer(server);
        await page.waitForFunction(() => document.querySelectorAll('[role="group"] [role="treeitem"]').length >= 2);
      }
      const daemonRss = () => Number(/VmRSS:\s+(\d+)/.exec(readFileSync(`/proc/${process.env.DAEMON_PID}/status`, "utf8"))[1]);
      // A small folder first, for the daemon's RSS to compare with.
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
      const last = await page.$eval(`#viewport .row[aria-rowindex="${BIG + 1}"] .name`, (e) => e.textContent);
      assert.match(last, /^f\d+$/);
      const names = new Set(await page.evaluate(() => [...document.querySelectorAll("#viewport .row:not([hidden]) .name")].map((e) => e.textContent)));
      assert.ok(names.size > 10, "rows are drawn at the end");
      await page.screenshot({ path: join(out, "big-folder-end.png") });
      const metrics = await page.metrics();
      const heapMiB = metrics.JSHeapUsedSize / 1048576;
      console.log(`first rows ${timing.first.toFixed(0)} ms, all ${BIG} listed ${timing.all.toFixed(0)} ms, ` +
                  `JS heap ${heapMiB.toFixed(1)} MiB, daemon RSS ${(rssSmall / 1024).toFixed(1)} -> ${(rssBig / 1024).toFixed(1)} MiB`);
      if (mode === "--bench") {
        const start = process.hrtime.bigint();
        execFileSync(process.env.NASBROWSE, ["browse", server, "/big"], { stdio: ["ignore", "ignore", "inherit"] });
        const cliMs = Number(process.hrtime.bigint() - start) / 1e6;
        console.log(`BENCH first_rows_ms=${timing.first.toFixed(0)} page_all_ms=${timing.all.toFixed(0)} ` +
                    `cli_ms=${cliMs.toFixed(0)} ratio=${(timing.all / cliMs).toFixed(2)} js_heap_mib=${heapMiB.toFixed(1)} ` +
                    `daemon_rss_small_mib=${(rssSmall / 1024).toFixed(1)} daemon_rss_big_mib=${(rssBig / 1024).toFixed(1)}`);
      } else {
        assert.ok(heapMiB <= 100, `JS heap ${heapMiB} MiB`);
      }
    },
  };

  for (const [name, step] of Object.entries(steps)) {
    try {
      await step();
      if (mode !== "--bench") console.log(`ok   ${name}`);
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
process.exit(failed ? 1 : 0);

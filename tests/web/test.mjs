// The page in a real browser against the Linux program: every download must hold the bytes
// the Linux program writes for the same input and target, under the name it gives with the
// page's template; what the page says a target would lose must be what `--info` says; and
// the page, once opened, must convert with the server gone.
//   node test.mjs SITE_DIR LINUX_PROGRAM WORK_DIR INPUT...
// Serves SITE_DIR on 127.0.0.1, drives Debian's chromium, writes page.png into SITE_DIR/..
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { launch, openPage, pageWithFiles, serve, waitForReports } from "./browser.mjs";

const [site, linux, work, ...inputs] = process.argv.slice(2);
const server = await serve(site);
const url = server.url;
const browser = await launch(work);

let failures = 0;
function check(ok, what) {
  console.log(`${ok ? "ok  " : "FAIL"} ${what}`);
  if (!ok) failures++;
}

// The page names a song's output after its generation ("demo.x4x.qxprj"); the other
// targets' outputs keep the plain name.
function pageNames(target) {
  return target <= 9 ? ["--name", "{stem}.{gen}"] : [];
}

// What the Linux program writes, named as the page names it: {name: bytes}, in a folder of
// its own. A folder it writes (target 13) gives its files under the names of the page's
// downloads, "FOLDER - FILE".
function linuxOutputs(input, target) {
  const dir = fs.mkdtempSync(path.join(work, "linux-"));
  try {
    execFileSync(linux, ["-t", String(target), ...pageNames(target), "-o", dir, input],
                 { stdio: "ignore" });
  } catch { /* a refused file writes nothing */ }
  const out = {};
  for (const name of fs.readdirSync(dir)) {
    const full = path.join(dir, name);
    if (!fs.statSync(full).isDirectory()) {
      out[name] = fs.readFileSync(full);
      continue;
    }
    for (const file of fs.readdirSync(full))
      out[`${name} - ${file}`] = fs.readFileSync(path.join(full, file));
  }
  return out;
}

// Converts `files` in a fresh page; gives the downloads, the failure lines and the log.
async function convertInPage(files, target) {
  return convertChosen(await pageWithFiles(browser, url, files), files.length, target);
}

// Converts the `count` files the page has read; gives what convertInPage gives.
async function convertChosen(page, count, target) {
  await page.selectOption("#target", String(target));
  await page.click("#convert");
  await page.waitForFunction((n) => document.querySelectorAll("#results li").length === n,
                             count, { timeout: 600000 });
  const links = await page.$$eval("a.download", (as) => as.map((a) => ({
    name: a.getAttribute("download"), href: a.href, ms: Number(a.dataset.ms || 0) })));
  const downloads = {};
  for (const link of links) {
    const bytes = await page.evaluate(async (href) =>
        Array.from(new Uint8Array(await (await fetch(href)).arrayBuffer())), link.href);
    downloads[link.name] = Buffer.from(bytes);
  }
  const failed = await page.$$eval("#results li.failure", (li) => li.map((l) => l.textContent));
  const log = await page.textContent("#log");
  return { page, downloads, failed, log };
}

// Outputs with decoded Ogg Vorbis (`decoded`): libvorbis compiled with emcc gives a sample
// here and there one step apart from the Linux program's (see the README); such an output
// must have the same size and all but a few bytes in a thousand the same.
function sameOutputs(downloads, expected, what, decoded = false) {
  const names = Object.keys(expected).sort();
  check(JSON.stringify(Object.keys(downloads).sort()) === JSON.stringify(names),
        `${what}: names ${Object.keys(downloads).join(", ")} = ${names.join(", ")}`);
  for (const name of names) {
    let same = downloads[name] && Buffer.compare(downloads[name], expected[name]) === 0;
    if (!same && decoded && downloads[name] && downloads[name].length === expected[name].length) {
      let differ = 0;
      for (let i = 0; i < expected[name].length; i++) differ += downloads[name][i] !== expected[name][i];
      console.log(`note ${what}: ${name}: ${differ} of ${expected[name].length} bytes differ`);
      same = differ * 1000 <= expected[name].length;
    }
    check(same, `${what}: ${name} ${decoded ? "alike but for decoded samples" : "byte for byte"}`);
    if (!same && downloads[name]) {
      // Both kept for a look at where they part.
      const dir = path.join(site, "..", "differ", what.replace(/\W+/g, "_"));
      fs.mkdirSync(dir, { recursive: true });
      fs.writeFileSync(path.join(dir, name + ".web"), downloads[name]);
      fs.writeFileSync(path.join(dir, name + ".linux"), expected[name]);
    }
  }
}

try {
  const cases = [];
  for (const input of inputs) {
    const instrument = input.endsWith(".qxi");
    for (const target of instrument ? [1, 6, 9, 11, 12] : [1, 3, 7, 10, 12])
      cases.push([input, target]);
    // The woices as WAV files, one download each: every material kind, OGG among them.
    if (/^(ogg_song|demo)\.(qxprj|qxi)$/.test(path.basename(input))) cases.push([input, 13]);
  }
  let shot = false;
  for (const [input, target] of cases) {
    const what = `${path.basename(input)} to ${target}`;
    const { page, downloads, log } = await convertInPage([input], target);
    const decoded = path.basename(input).startsWith("ogg") && (target <= 7 || target === 13);
    const expected = linuxOutputs(input, target);
    sameOutputs(downloads, expected, what, decoded);
    const named = { 1: "demo.x1x.qxprj", 3: "demo.x2x.qxprj", 7: "demo.x5x.qxprj",
                    10: "demo.qxi", 12: "demo.mid" }[target];
    if (path.basename(input) === "demo.qxprj" && named) {
      check(Object.keys(downloads).join() === named, `${what}: downloads as ${named}`);
    }
    check(log.includes(path.basename(input)), `${what}: the log names the file`);
    if (target === 13 && input.endsWith(".qxi")) {
      // Again in the same page: the folder's name stays taken, and the files come under the
      // next one.
      const again = (await convertChosen(page, 2, 13)).downloads;
      const named = Object.keys(again).filter((n) => n.startsWith("demo_00.woices - "));
      check(Object.keys(expected).length > 1 && named.length === Object.keys(expected).length &&
                named.every((n) => Buffer.compare(again[n], expected[n.replace("_00", "")]) === 0),
            `${what}, again: ${named.join(", ")}`);
    }
    if (!shot) {
      await page.screenshot({ path: path.join(site, "..", "page.png"), fullPage: true });
      shot = true;
    }
    await page.close();
  }

  // A damaged file: the failure text the Linux program gives, and no download.
  const damaged = path.join(work, "damaged.qxprj");
  fs.writeFileSync(damaged, fs.readFileSync(inputs[0]).subarray(0, 40));
  let linuxText = "";
  try {
    execFileSync(linux, ["-t", "7", "-o", work, damaged], { encoding: "utf8" });
  } catch (e) { linuxText = e.stdout + e.stderr; }
  {
    const { page, downloads, failed } = await convertInPage([damaged], 7);
    check(Object.keys(downloads).length === 0, "damaged file: no download");
    const text = failed.join("").replace(/^.*failed: /, "").trim();
    check(text.length > 0 && linuxText.includes(text),
          `damaged file: failure text "${text}" as the Linux program says it`);
    await page.close();
  }

  // Several files at once, the damaged one among them: the others convert all the same.
  {
    const files = [inputs[0], damaged, inputs[1]];
    const { page, downloads, failed } = await convertInPage(files, 7);
    const expected = { ...linuxOutputs(inputs[0], 7), ...linuxOutputs(inputs[1], 7) };
    sameOutputs(downloads, expected, "several files to 7",
                files.some((f) => path.basename(f).startsWith("ogg")));
    check(failed.length === 1, "several files: one failure");
    await page.close();
  }
  // A song and an instrument file dropped on the page together, as a user would.
  {
    const dropped = [inputs[0], inputs.find((f) => f.endsWith(".qxi"))];
    const page = await openPage(browser, url);
    await page.evaluate((files) => {
      const data = new DataTransfer();
      for (const f of files) data.items.add(new File([new Uint8Array(f.bytes)], f.name));
      const zone = document.getElementById("drop");
      for (const type of ["dragover", "drop"]) {
        zone.dispatchEvent(new DragEvent(type, { dataTransfer: data, bubbles: true,
                                                 cancelable: true }));
      }
    }, dropped.map((f) => ({ name: path.basename(f), bytes: Array.from(fs.readFileSync(f)) })));
    await waitForReports(page, dropped.length);
    const { downloads } = await convertChosen(page, dropped.length, 7);
    sameOutputs(downloads, { ...linuxOutputs(dropped[0], 7), ...linuxOutputs(dropped[1], 7) },
                "dropped song and instrument file to 7");
    await page.click("#clear");
    check((await page.$$("#results li")).length === 0, "clear results: every link let go");
    await page.close();
  }

  // The file picker from the keyboard alone: Tab reaches it, Space or Enter opens it.
  for (const key of ["Space", "Enter"]) {
    const page = await openPage(browser, url);
    // Choosers are caught from now on. Caught only from the waitForEvent below, one that
    // Enter opens at once (Space waits for the key to come up) may come first, unseen.
    page.on("filechooser", () => {});
    let focused = "";
    for (let tabs = 0; tabs < 10 && focused !== "file"; tabs++) {
      await page.keyboard.press("Tab");
      focused = await page.evaluate(() => document.activeElement.id);
    }
    check(focused === "file", "keyboard: Tab reaches the file picker");
    const [chooser] = await Promise.all([page.waitForEvent("filechooser", { timeout: 5000 }),
                                         page.keyboard.press(key)]);
    await chooser.setFiles(inputs[0]);
    await waitForReports(page, 1);
    check((await page.textContent(".report h3")) === path.basename(inputs[0]),
          `keyboard: ${key} opens the chooser, and the file chosen is read`);
    await page.close();
  }

  // A tune (a song under a tune's magic): the menu marks targets 9 to 11 as not for it, and
  // converting to them gives no download, as the Linux program writes nothing.
  const demo = inputs.find((f) => path.basename(f) === "demo.qxprj");
  const tune = path.join(work, "demo.qxtune");
  fs.writeFileSync(tune, Buffer.concat([Buffer.from("QXTUNE--20071119"),
                                        fs.readFileSync(demo).subarray(16)]));
  {
    const page = await pageWithFiles(browser, url, [tune]);
    const marked = await page.$$eval("#target option", (options) =>
        options.filter((o) => o.textContent.includes("(not for demo.qxtune)")).map((o) => o.value));
    check(marked.join() === "9,10,11", `tune: targets ${marked.join(", ")} marked as not for it`);
    for (const target of [9, 10, 11]) {
      await page.selectOption("#target", String(target));
      await page.click("#convert");
      await page.waitForFunction((n) => document.querySelectorAll("#results li.failure").length === n,
                                 target - 8);
      check(Object.keys(linuxOutputs(tune, target)).length === 0 &&
                (await page.$$("a.download")).length === 0,
            `tune to ${target}: refused, no download`);
    }
    await page.close();
  }

  // What each chosen file would lose, for every target in turn: the notes of `--info`, or
  // the target's refusal (the tune's 9 to 11).
  {
    const files = [demo, tune, inputs.find((f) => f.endsWith(".qxi"))];
    const page = await pageWithFiles(browser, url, files);
    const reports = files.map((f) => {
      const doc = JSON.parse(execFileSync(linux, ["--info", "--json", f], { encoding: "utf8" }));
      return doc.files ? doc.files[0] : doc;
    });
    for (let target = 1; target <= 13; target++) {
      await page.selectOption("#target", String(target));
      const shown = await page.$$eval(".report", (boxes) => boxes.map((b) => ({
        summary: b.querySelector(".loss summary").textContent,
        notes: [...b.querySelectorAll(".loss li")].map((li) => li.textContent) })));
      reports.forEach((report, i) => {
        const t = report.targets.find((r) => r.target === target);
        const what = `loss preview of ${path.basename(files[i])} for ${target}`;
        check(JSON.stringify(shown[i].notes) === JSON.stringify(t.notes) &&
                  (t.ok ? !shown[i].summary.includes("refuses")
                        : shown[i].summary.endsWith("refuses this file: " + t.error)),
              `${what}: ${t.ok ? `notes: ${t.notes.length}` : t.error}`);
      });
    }
    await page.close();
  }

  // Offline: on an origin of its own, the page installs its service worker, whose cache is
  // this build's alone (an older build's is deleted); the browser goes offline, the server
  // is closed, and the page reloads, converts, and gives the Linux program's bytes.
  {
    const site2 = await serve(site);
    const page = await browser.newPage();
    await page.goto(site2.url + "icon.svg");
    await page.evaluate(() => caches.open("tarvenox-0123456789abcdef"));
    await page.goto(site2.url);
    await page.waitForFunction(() => navigator.serviceWorker.controller !== null, null,
                               { timeout: 60000 });
    const version = fs.readFileSync(path.join(site, "sw.js"), "utf8").match(/"([0-9a-f]{16})"/);
    const kept = await page.evaluate(async () => Promise.all((await caches.keys()).map(
        async (name) => [name, (await (await caches.open(name)).keys()).length])));
    check(version && JSON.stringify(kept) === JSON.stringify([["tarvenox-" + version[1], 9]]),
          `offline: the build's cache alone, its files: ${JSON.stringify(kept)}`);
    const cdp = await browser.newCDPSession(page);
    const { installabilityErrors } = await cdp.send("Page.getInstallabilityErrors");
    check(installabilityErrors.length === 0,
          `offline: installable ${JSON.stringify(installabilityErrors)}`);
    await browser.setOffline(true);
    site2.close();
    await page.reload();
    await page.waitForSelector("#target option[value='11']", { state: "attached" });
    await page.setInputFiles("#file", [demo]);
    await waitForReports(page, 1);
    const { downloads } = await convertChosen(page, 1, 6);
    sameOutputs(downloads, linuxOutputs(demo, 6), "offline: demo.qxprj to 6");
    await browser.setOffline(false);
    await page.close();
  }
} finally {
  await browser.close();
  server.close();
}
console.log(failures ? `${failures} checks failed` : "all checks passed");
process.exit(failures ? 1 : 0);

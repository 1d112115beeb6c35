// The page in a real browser against the Linux program: every download must hold the bytes
// the Linux program writes for the same input and target.
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

// What the Linux program writes: {name: bytes}, in a folder of its own. A folder it writes
// (target 13) gives its files under the names of the page's downloads, "FOLDER - FILE".
function linuxOutputs(input, target) {
  const dir = fs.mkdtempSync(path.join(work, "linux-"));
  try {
    execFileSync(linux, ["-t", String(target), "-o", dir, input], { stdio: "ignore" });
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
  {
    const song = fs.readFileSync(inputs.find((f) => path.basename(f) === "demo.qxprj"));
    const tune = path.join(work, "demo.qxtune");
    fs.writeFileSync(tune, Buffer.concat([Buffer.from("QXTUNE--20071119"), song.subarray(16)]));
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
} finally {
  await browser.close();
  server.close();
}
console.log(failures ? `${failures} checks failed` : "all checks passed");
process.exit(failures ? 1 : 0);

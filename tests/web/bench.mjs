// The page against the Linux program on the large songs that bench/convert_bench.cpp makes
// (its --make-inputs): each case converted in the page and by `LINUX -t N -o DIR -j 1 FILE`,
// alternating run by run after one untimed run of each; prints a Markdown table of medians.
//   node bench.mjs SITE_DIR LINUX_PROGRAM INPUT_DIR RUNS
// The page's time runs from the click on Convert to the download link appearing: the wait
// the user sees, the worker's work included. Each run opens the page afresh, as a user
// would, and converts twice: the ratio judged is the first conversion's, as each run of the
// Linux program is a fresh process; the second is shown beside it. Every download is read
// back and must match the Linux program's output (byte for byte; in size where Ogg Vorbis
// is decoded, which libvorbis compiled with emcc does a step apart here and there).
import { spawnSync } from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import path from "node:path";
import { launch, pageWithFiles, serve } from "./browser.mjs";

const [site, linux, inputs, runsText] = process.argv.slice(2);
const runs = Number(runsText || 5);
const GOAL = 3;
const cases = [
  { what: "PCM song of 200 MB, x5x to x4x (target 6)", file: "pcm_200mb.qxprj", target: 6 },
  { what: "1,000,000 events to target 7", file: "events_1000000.qxprj", target: 7 },
  { what: "1,000,000 events to target 1", file: "events_1000000.qxprj", target: 1 },
  { what: "3-minute stereo OGG woice to PCM (target 7)", file: "ogg_3min.qxprj", target: 7,
    decoded: true },
];

const outDir = fs.mkdtempSync(path.join(inputs, "linux-"));

// One run of the Linux program: wall time from the spawn to its end, and its output.
function native(input, target) {
  const started = performance.now();
  const r = spawnSync(linux, ["-t", String(target), "-o", outDir, "-j", "1", input],
                      { stdio: "ignore" });
  const ms = performance.now() - started;
  const names = fs.readdirSync(outDir);
  if (r.status !== 0 || names.length !== 1) throw new Error(`${linux} failed on ${input}`);
  const bytes = fs.readFileSync(path.join(outDir, names[0]));
  fs.rmSync(path.join(outDir, names[0]));
  return { ms, size: bytes.length,
           hash: crypto.createHash("sha256").update(bytes).digest("hex") };
}

// One run in the page, whose file is chosen and target set: times the click to the link,
// then reads the download back and lets it go.
async function inPage(page) {
  await page.evaluate(() => {
    document.getElementById("results").textContent = "";
    window.benchDone = new Promise((resolve) => {
      let clicked = 0;
      document.getElementById("convert").addEventListener(
          "click", () => { clicked = performance.now(); }, { capture: true, once: true });
      new MutationObserver((_, observer) => {
        if (!document.querySelector("#results li")) return;
        observer.disconnect();
        resolve(performance.now() - clicked);
      }).observe(document.getElementById("results"), { childList: true });
    });
  });
  await page.click("#convert");
  const ms = await page.evaluate(() => window.benchDone);
  return page.evaluate(async (ms) => {
    const a = document.querySelector("#results a.download");
    if (!a) return { ms, failed: document.getElementById("results").textContent };
    const bytes = await (await fetch(a.href)).arrayBuffer();
    const hash = [...new Uint8Array(await crypto.subtle.digest("SHA-256", bytes))]
        .map((b) => b.toString(16).padStart(2, "0")).join("");
    URL.revokeObjectURL(a.href);
    return { ms, workerMs: Number(a.dataset.ms), size: bytes.byteLength, hash };
  }, ms);
}

function median(values) {
  const v = [...values].sort((a, b) => a - b);
  const n = v.length;
  return n % 2 ? v[(n - 1) / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

function timeText(ms) {
  return ms < 1000 ? `${Math.round(ms)} ms` : `${(ms / 1000).toFixed(2)} s`;
}

// The page's output against the Linux program's; a text for the table, or null. Not the
// name: in one page each run takes the next free name, and test.mjs checks names.
function compare(c, web, linuxRun) {
  if (web.failed) return `page failed: ${web.failed}`;
  if (web.size !== linuxRun.size) return `${web.size} bytes, not ${linuxRun.size}`;
  if (!c.decoded && web.hash !== linuxRun.hash) return "bytes differ";
  return null;
}

// One round of a case in the page: a fresh page (a fresh worker, as a user opening it),
// the file chosen, converted twice; the second conversion finds the worker's memory grown.
async function pageRound(c, input) {
  const page = await pageWithFiles(browser, server.url, [input]);
  await page.selectOption("#target", String(c.target));
  const first = await inPage(page);
  const again = await inPage(page);
  await page.close();
  return [first, again];
}

const server = await serve(site);
const browser = await launch(inputs);
const rows = [];
let failures = 0;
try {
  for (const c of cases) {
    const input = path.join(inputs, c.file);
    const first = [];
    const again = [];
    const nativeRuns = [];
    let differ = null;
    for (let round = -1; round < runs && !differ; round++) {
      let web, linuxRun;
      if (round % 2 === 0) {
        web = await pageRound(c, input);
        linuxRun = native(input, c.target);
      } else {
        linuxRun = native(input, c.target);
        web = await pageRound(c, input);
      }
      differ = compare(c, web[0], linuxRun) || compare(c, web[1], linuxRun);
      // Round -1 warms both up, untimed.
      if (round >= 0) {
        first.push(web[0]);
        again.push(web[1]);
        nativeRuns.push(linuxRun.ms);
      }
      console.error(`${c.file} to ${c.target}: page ${timeText(web[0].ms)} (worker ` +
                    `${timeText(web[0].workerMs || 0)}), again ${timeText(web[1].ms)}, ` +
                    `Linux ${timeText(linuxRun.ms)}` + (differ ? `: ${differ}` : ""));
    }
    if (differ) {
      failures++;
      rows.push([c.what, "-", "-", "-", "-", "-", `<= ${GOAL}`, `no: ${differ}`]);
      continue;
    }
    const ms = (runs, key = "ms") => median(runs.map((r) => r[key]));
    const nativeMs = median(nativeRuns);
    const ratio = ms(first) / nativeMs;
    rows.push([c.what, timeText(ms(first)), timeText(ms(first, "workerMs")),
               timeText(ms(again)), timeText(nativeMs),
               `${ratio.toFixed(2)} (again ${(ms(again) / nativeMs).toFixed(2)})`, `<= ${GOAL}`,
               (ratio <= GOAL ? "yes" : "no") + (c.decoded ? ", same size" : ", same bytes")]);
  }
} finally {
  await browser.close();
  server.close();
  fs.rmSync(outDir, { recursive: true, force: true });
}

// One Markdown table, its columns padded so that it reads in a terminal as well.
const head = ["case", "page", "in the worker", "page, again", "Linux program", "ratio", "goal",
              "met"];
const width = head.map((h, i) => Math.max(h.length, ...rows.map((r) => r[i].length)));
const line = (cells) => "| " + cells.map((c, i) => c.padEnd(width[i])).join(" | ") + " |";
console.log(line(head));
console.log("|" + width.map((w) => "-".repeat(w + 2)).join("|") + "|");
for (const r of rows) console.log(line(r));
process.exit(failures ? 1 : 0);

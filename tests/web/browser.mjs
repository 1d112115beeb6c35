// What the page's tests (test.mjs) and its benchmark (bench.mjs) share: the site served on
// 127.0.0.1, Debian's chromium with a fresh profile, and a page with files chosen.
import fs from "node:fs";
import http from "node:http";
import path from "node:path";
import { chromium } from "playwright-core";

const types = { ".html": "text/html", ".js": "text/javascript", ".css": "text/css",
                ".wasm": "application/wasm", ".webmanifest": "application/manifest+json",
                ".svg": "image/svg+xml" };

// Serves the folder `site`; gives {url, close}, close ending the connections kept open too.
export async function serve(site) {
  const server = http.createServer((req, res) => {
    const file = path.join(site, path.normalize(decodeURIComponent(req.url.split("?")[0])));
    const name = file.endsWith("/") ? path.join(file, "index.html") : file;
    if (!name.startsWith(site) || !fs.existsSync(name)) { res.writeHead(404); res.end(); return; }
    res.writeHead(200, { "Content-Type": types[path.extname(name)] || "application/octet-stream" });
    fs.createReadStream(name).pipe(res);
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  return { url: `http://127.0.0.1:${server.address().port}/`,
           close: () => { server.close(); server.closeAllConnections(); } };
}

// Debian's chromium, headless, with a fresh profile of its own under `work` (playwright
// passes it as --user-data-dir).
export function launch(work) {
  const profile = fs.mkdtempSync(path.join(work, "profile-"));
  return chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium",
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync"],
  });
}

// A fresh page, ready once the worker has filled the menu of targets.
export async function openPage(browser, url) {
  const page = await browser.newPage();
  await page.goto(url);
  await page.waitForSelector("#target option[value='11']", { state: "attached" });
  return page;
}

// Waits until the page has read the `n` chosen files and shows what each holds.
export function waitForReports(page, n) {
  return page.waitForFunction((count) => {
    const texts = [...document.querySelectorAll(".report h3 + p")];
    return texts.length === count && !texts.some((p) => p.textContent === "Reading…");
  }, n, { timeout: 600000 });
}

// A fresh page with `files` chosen and read.
export async function pageWithFiles(browser, url, files) {
  const page = await openPage(browser, url);
  await page.setInputFiles("#file", files);
  await waitForReports(page, files.length);
  return page;
}

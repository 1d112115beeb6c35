// The page: files are read in the browser and handed to the worker, which converts them
// with the same converter as the command-line program; the results come back as downloads.
"use strict";

const worker = new Worker("worker.js");
const fileInput = document.getElementById("file");
const drop = document.getElementById("drop");
const target = document.getElementById("target");
const convert = document.getElementById("convert");
const progress = document.getElementById("progress");
const log = document.getElementById("log");
const results = document.getElementById("results");
const filesBox = document.getElementById("files");

let labels = [];
let entries = [];  // {id, name, report, box, loss}; the bytes are the worker's
let nextId = 1;
const pending = new Map();  // id -> resolve of the worker's answer

worker.onmessage = (event) => {
  const msg = event.data;
  if (msg.kind === "labels") {
    labels = msg.labels;
    fillTargets();
  } else if (msg.kind === "line") {
    log.textContent += msg.text;
    log.scrollTop = log.scrollHeight;
  } else if (pending.has(msg.id)) {
    pending.get(msg.id)(msg);
    pending.delete(msg.id);
  }
};

function ask(message, transfer = []) {
  return new Promise((resolve) => {
    pending.set(message.id, resolve);
    worker.postMessage(message, transfer);
  });
}

// The menu's labels; a target that a chosen file cannot take says so.
function fillTargets() {
  const chosen = target.value || "9";
  target.textContent = "";
  labels.forEach((label, i) => {
    const n = i + 1;
    const refused = entries.filter((e) => e.report && e.report.loaded &&
        !e.report.targets[i].ok).map((e) => e.name);
    const option = document.createElement("option");
    option.value = String(n);
    option.textContent = n + ". " + label + (refused.length ? "  (not for " + refused.join(", ") + ")" : "");
    target.appendChild(option);
  });
  target.value = chosen;
}

// "1 woice", "2 woices".
function counted(n, one, many) {
  return n + " " + (n === 1 ? one : many);
}

function describe(report) {
  if (!report.loaded) return "Cannot be read: " + report.error;
  const parts = [report.kind + (report.generation ? ", generation " + report.generation : "")];
  parts.push(counted(report.units.length, "unit", "units"),
             counted(report.woices.length, "woice", "woices"),
             counted(report.measures, "measure", "measures"));
  if (report.name) parts.push("name: " + report.name);
  const refused = report.targets.filter((t) => !t.ok).map((t) => t.target);
  if (refused.length) parts.push("cannot go to " + refused.join(", "));
  return parts.join("; ");
}

// What the chosen target would lose or change of the file, from its report: the notes and
// the refusal that `tarvenox --info` gives for that target. The box stays open or closed as
// the user left it when the target changes.
function showLoss(entry) {
  if (!entry.report || !entry.report.loaded) return;
  if (!entry.loss) {
    entry.loss = document.createElement("details");
    entry.loss.className = "loss";
    entry.loss.open = true;
    entry.box.appendChild(entry.loss);
  }
  const n = Number(target.value);
  const t = entry.report.targets.find((r) => r.target === n);
  if (!t) return;
  const summary = document.createElement("summary");
  if (!t.ok) {
    summary.className = "failure";
    summary.textContent = "Target " + n + " refuses this file: " + t.error;
  } else if (t.notes.length === 0) {
    summary.textContent = "Target " + n + " keeps everything";
  } else {
    summary.textContent = "Target " + n + ": " + counted(t.notes.length, "note", "notes") +
        " on what is lost or changed";
  }
  // Nothing to list: no disclosure mark either.
  entry.loss.classList.toggle("empty", t.notes.length === 0);
  const list = document.createElement("ul");
  for (const note of t.notes) {
    const item = document.createElement("li");
    item.textContent = note;
    list.appendChild(item);
  }
  entry.loss.replaceChildren(summary, list);
}

async function addFiles(list) {
  for (const file of list) {
    const entry = { id: nextId++, name: file.name };
    const bytes = await file.arrayBuffer();
    entry.box = document.createElement("div");
    entry.box.className = "report";
    const title = document.createElement("h3");
    title.textContent = file.name;
    const text = document.createElement("p");
    text.textContent = "Reading…";
    entry.box.append(title, text);
    filesBox.appendChild(entry.box);
    entries.push(entry);
    // The bytes go to the worker, which keeps them for the conversions.
    const answer = await ask({ kind: "info", id: entry.id, name: entry.name, bytes }, [bytes]);
    entry.report = answer.report;
    text.textContent = describe(entry.report);
    if (!entry.report.loaded) text.className = "failure";
    fillTargets();
    showLoss(entry);
  }
  convert.disabled = entries.length === 0;
}

target.addEventListener("change", () => entries.forEach(showLoss));

fileInput.addEventListener("change", () => {
  for (const entry of entries) worker.postMessage({ kind: "forget", id: entry.id });
  entries = [];
  filesBox.textContent = "";
  addFiles(Array.from(fileInput.files));
});
drop.addEventListener("dragover", (e) => { e.preventDefault(); drop.classList.add("over"); });
drop.addEventListener("dragleave", () => drop.classList.remove("over"));
drop.addEventListener("drop", (e) => {
  e.preventDefault();
  drop.classList.remove("over");
  addFiles(Array.from(e.dataTransfer.files));
});

// A link that saves the output `f` ({name, blob}) under its name.
function downloadLink(f) {
  const a = document.createElement("a");
  a.className = "download";
  a.download = f.name;
  a.href = URL.createObjectURL(f.blob);
  a.textContent = f.name;
  return a;
}

// The browser holds every download's bytes until its link is let go: large outputs fill
// that store, and later downloads would fail.
document.getElementById("clear").addEventListener("click", () => {
  for (const a of results.querySelectorAll("a.download")) URL.revokeObjectURL(a.href);
  results.textContent = "";
});

document.getElementById("options").addEventListener("submit", async (e) => {
  e.preventDefault();
  convert.disabled = true;
  progress.hidden = false;
  const n = Number(target.value);
  for (const entry of entries) {
    log.textContent += entry.name + " -> " + n + "\n";
    const r = await ask({ kind: "convert", id: entry.id, target: n });
    const item = document.createElement("li");
    if (r.ok) {
      for (const f of r.files) {
        const a = downloadLink(f);
        a.dataset.ms = String(Math.round(r.ms));
        item.append(a, " ");
      }
      // A folder target of a song without woices: an empty folder, nothing to download.
      item.append(r.files.length ? "(" + entry.name + ")" : entry.name + ": no files to download");
    } else {
      item.className = "failure";
      item.textContent = entry.name + ": failed: " + r.error;
      for (const f of r.files) item.append(" ", downloadLink(f));
    }
    results.appendChild(item);
    if (!log.textContent.endsWith("\n")) log.textContent += "\n";
    log.textContent += (r.ok ? "Done." : "Failed: " + r.error) + "\n";
  }
  progress.hidden = true;
  convert.disabled = false;
});

// Installed, the page's files come from the browser's cache (sw.js): it opens and converts
// offline. Registered once the page has loaded, so that it does not hold up the first visit.
if ("serviceWorker" in navigator) {
  window.addEventListener("load", () => navigator.serviceWorker.register("sw.js").catch(() => {}));
}

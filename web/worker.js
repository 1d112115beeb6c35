// Runs the converter off the page's thread. Messages in: {kind: "info", id, name, bytes}
// (bytes transferred), {kind: "convert", id, target}, {kind: "forget", id}; out:
// {kind: "line", id, text} while converting, then {kind: "info" | "result", id, ...}, a
// result's files being its downloads, {name, blob}: one for each file of a folder target.
// Each file stays in memory under /in from its "info" until its "forget", so that
// converting it again copies nothing from the page; nothing leaves the browser.
"use strict";
importScripts("tarvenox_web.js");

let current = null;  // the id the conversion lines belong to
const paths = new Map();  // id -> the file's path under /in
const ready = createTarvenox({
  onLine: (text) => postMessage({ kind: "line", id: current, text }),
  print: () => {},
  printErr: () => {},
}).then((m) => {
  m.FS.mkdir("/in");
  m.FS.mkdir("/out");
  postMessage({ kind: "labels", labels: JSON.parse(m.ccall("tarvenox_labels", "string", [], [])) });
  return m;
});

// Each file gets a folder of its own under /in, so that two files of the same name differ.
// The file takes the page's buffer as it is.
function keep(m, id, name, bytes) {
  const dir = "/in/" + id;
  m.FS.mkdir(dir);
  const path = dir + "/" + name.replace(/\//g, "_");
  m.FS.writeFile(path, new Uint8Array(bytes), { canOwn: true });
  paths.set(id, path);
  return path;
}

// Downloads are made here, where the output lies: a Blob is its one copy, and the page
// gets it by reference.
function download(bytes) {
  return new Blob([bytes], { type: "application/octet-stream" });
}

function convert(m, msg) {
  const path = paths.get(msg.id);
  current = msg.id;
  try {
    const started = performance.now();
    const r = JSON.parse(
        m.ccall("tarvenox_convert", "string", ["string", "number"], [path, msg.target]));
    const files = [];
    const output = r.output ? r.output.slice(r.output.lastIndexOf("/") + 1) : "";
    if (r.files) {
      // A folder (the woices as WAV files) cannot be one download: each file is one,
      // named "FOLDER - FILE" ("demo.woices - 00 voice.wav"), as a download name cannot
      // hold a folder. The folder's name keeps the files of each song, and of each
      // conversion of it (demo_00.woices), apart among the user's downloads.
      for (const f of r.files) {
        files.push({ name: output + " - " + f.name,
                     blob: download(m.HEAPU8.subarray(f.data, f.data + f.size)) });
        m.ccall("tarvenox_free", null, ["number"], [f.data]);
      }
    } else if (r.output) {
      files.push({ name: output, blob: download(m.HEAPU8.subarray(r.data, r.data + r.size)) });
      m.ccall("tarvenox_free", null, ["number"], [r.data]);
    }
    if (r.listing) {
      files.push({ name: r.listing.slice(r.listing.lastIndexOf("/") + 1),
                   blob: download(m.FS.readFile(r.listing)) });
      // The name stays taken for the files that follow.
      m.FS.truncate(r.listing, 0);
    }
    const ms = performance.now() - started;
    postMessage({ kind: "result", id: msg.id, ok: r.ok, error: r.error, lines: r.lines,
                  files, ms });
  } finally {
    current = null;
  }
}

onmessage = async (event) => {
  const m = await ready;
  const msg = event.data;
  if (msg.kind === "info") {
    const path = keep(m, msg.id, msg.name, msg.bytes);
    const report = JSON.parse(m.ccall("tarvenox_info", "string", ["string"], [path]));
    postMessage({ kind: "info", id: msg.id, report });
  } else if (msg.kind === "convert") {
    convert(m, msg);
  } else if (msg.kind === "forget" && paths.has(msg.id)) {
    const path = paths.get(msg.id);
    paths.delete(msg.id);
    m.FS.unlink(path);
    m.FS.rmdir(path.slice(0, path.lastIndexOf("/")));
  }
};

// Runs the converter off the page's thread. Messages in: {kind: "info" | "convert", id,
// name, bytes, target}; out: {kind: "line", id, text} while converting, then
// {kind: "info" | "result", id, ...}. Each file is written into memory under /in; nothing
// leaves the browser.
"use strict";
importScripts("tarvenox_web.js");

let current = null;  // the id the conversion lines belong to
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
function inputPath(m, id, name) {
  const dir = "/in/" + id;
  m.FS.mkdir(dir);
  return dir + "/" + name.replace(/\//g, "_");
}

onmessage = async (event) => {
  const m = await ready;
  const msg = event.data;
  const path = inputPath(m, msg.id + "-" + msg.kind, msg.name);
  m.FS.writeFile(path, new Uint8Array(msg.bytes));
  try {
    if (msg.kind === "info") {
      const report = JSON.parse(m.ccall("tarvenox_info", "string", ["string"], [path]));
      postMessage({ kind: "info", id: msg.id, report });
      return;
    }
    current = msg.id;
    const started = performance.now();
    const r = JSON.parse(
        m.ccall("tarvenox_convert", "string", ["string", "number"], [path, msg.target]));
    const ms = performance.now() - started;
    const files = [];
    const transfer = [];
    for (const out of [r.output, r.listing]) {
      if (!out) continue;
      const bytes = m.FS.readFile(out);
      // The name stays taken for the files that follow; the bytes go to the page.
      m.FS.truncate(out, 0);
      files.push({ name: out.slice(out.lastIndexOf("/") + 1), bytes: bytes.buffer });
      transfer.push(bytes.buffer);
    }
    postMessage({ kind: "result", id: msg.id, ok: r.ok, error: r.error, lines: r.lines,
                  files, ms }, transfer);
  } finally {
    current = null;
    m.FS.unlink(path);
    m.FS.rmdir(path.slice(0, path.lastIndexOf("/")));
  }
};

// The page's service worker: on install it keeps every file the page needs in a cache of
// this build's own, and serves them from there first, so that the page opens and converts
// offline. scripts/build-web.sh writes the build's version (a hash of the site's files) in
// place of BUILD below: a new build is a new worker with a new cache, which takes over once
// no tab shows the old page, and then deletes the old cache.
"use strict";

const PREFIX = "tarvenox-";
const CACHE = PREFIX + "BUILD";
const FILES = ["./", "index.html", "page.js", "worker.js", "style.css", "tarvenox_web.js",
               "tarvenox_web.wasm", "manifest.webmanifest", "icon.svg"];

self.addEventListener("install", (event) => {
  // Asked of the server again, not taken from the browser's HTTP cache, which may hold an
  // older build's file.
  event.waitUntil(caches.open(CACHE).then((cache) =>
      cache.addAll(FILES.map((f) => new Request(f, { cache: "no-cache" })))));
});

self.addEventListener("activate", (event) => {
  event.waitUntil(caches.keys()
      .then((keys) => Promise.all(keys.filter((k) => k.startsWith(PREFIX) && k !== CACHE)
                                      .map((k) => caches.delete(k))))
      // The page that installed the worker is served by it from now on, without a reload.
      .then(() => self.clients.claim()));
});

self.addEventListener("fetch", (event) => {
  if (event.request.method !== "GET") return;
  event.respondWith(caches.open(CACHE)
      .then((cache) => cache.match(event.request, { ignoreSearch: true }))
      .then((kept) => kept || fetch(event.request)));
});

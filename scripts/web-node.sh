#!/usr/bin/env bash
# Puts the page's test and benchmark scripts (tests/web) into build-web/node with
# playwright-core from npm, which drives the machine's chromium and fetches no browser.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
node_dir="$root/build-web/node"
mkdir -p "$node_dir"
cp "$root/tests/web/package.json" "$root"/tests/web/*.mjs "$node_dir/"
if [ ! -d "$node_dir/node_modules/playwright-core" ]; then
  (cd "$node_dir" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm install --no-audit --no-fund \
    --loglevel=error >/dev/null)
fi

// The web engine's speed: the same files packed by the native twin, by the WebAssembly engine
// in node, and by it in headless Chromium (loopback only). Best of RUNS (3) each.
//   node bench/web/speed.mjs [MIB]      MIB of text (default 10), packed at the engine's level
// Needs apps/web/build.sh's two builds and Chromium.
import { spawn, spawnSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { createServer } from "node:http";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

const root = join(dirname(fileURLToPath(import.meta.url)), "../..");
const runs = Number(process.env.RUNS || 3);
const mib = Number(process.argv[2] || 10);
const dir = mkdtempSync(join(tmpdir(), "parvex-web-bench-"));
// Text that compresses as mail text does: words drawn from a small vocabulary.
const words = readFileSync("/usr/share/common-licenses/GPL-3", "utf8").split(/\s+/);
let text = "";
for (let i = 0; text.length < mib * 1024 * 1024; ++i) text += words[(i * 7919) % words.length] + (i % 12 ? " " : "\n");
const input = join(dir, "text.txt");
writeFileSync(input, text.slice(0, mib * 1024 * 1024));

const timed = (program, args) => {
  const run = spawnSync(program, [...args, join(dir, "out.zip"), input], { encoding: "utf8" });
  const ms = /packed in ([\d.]+) ms/.exec(run.stderr);
  if (!ms) throw new Error(program + " failed: " + run.stderr);
  return Number(ms[1]);
};
const best = (f) => Math.min(...Array.from({ length: runs }, f));
const native = best(() => timed(join(root, "build/web-twin/bin/parvex-web-twin"), []));
const node = best(() => timed(process.execPath, [join(root, "apps/web/pack-cli.mjs")]));

// The page loads the engine and packs the file RUNS times, then posts the times back.
const pageHtml = `<!DOCTYPE html><script src="/parvex-engine.js"></script><script src="/engine-glue.js"></script>
<script>(async () => {
  const bytes = new Uint8Array(await (await fetch("/text.txt")).arrayBuffer());
  const engine = await ParvexEngine();
  const times = [];
  for (let i = 0; i < ${runs}; ++i) {
    const t = performance.now();
    ParvexEngineGlue.pack(engine, [{ name: "text.txt", bytes }], { time: 1700000000 });
    times.push(performance.now() - t);
  }
  fetch("/result", { method: "POST", body: JSON.stringify(times) });
})();</script>`;
const served = {
  "/parvex-engine.js": join(root, "build/web/bin/parvex-engine.js"),
  "/engine-glue.js": join(root, "apps/web/engine-glue.js"),
  "/text.txt": input,
};
let done;
const result = new Promise((resolve) => (done = resolve));
const server = createServer((req, res) => {
  if (req.method === "POST") {
    let body = "";
    req.on("data", (c) => (body += c));
    req.on("end", () => done(JSON.parse(body)) || res.end());
  } else if (served[req.url]) {
    res.writeHead(200, { "Content-Type": req.url.endsWith(".js") ? "text/javascript" : "text/plain" });
    res.end(readFileSync(served[req.url]));
  } else {
    res.writeHead(200, { "Content-Type": "text/html" }).end(pageHtml);
  }
});
await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
const browser = spawn("/usr/bin/chromium", ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
  "--no-first-run", "--disable-background-networking", "--disable-component-update", "--disable-sync",
  "--user-data-dir=" + join(dir, "profile"), `http://127.0.0.1:${server.address().port}/`], { stdio: "ignore" });
const chromium = Math.min(...(await result));
const exited = new Promise((resolve) => browser.once("exit", resolve));
browser.kill();
await exited;
server.close();
rmSync(dir, { recursive: true, force: true, maxRetries: 10, retryDelay: 100 });

console.log(`${mib} MiB of text, best of ${runs}:`);
for (const [name, ms] of [["native", native], ["node (WebAssembly)", node], ["Chromium (WebAssembly)", chromium]]) {
  console.log(`  ${name.padEnd(24)} ${ms.toFixed(0).padStart(6)} ms  ${(ms / native).toFixed(2)}x`);
}

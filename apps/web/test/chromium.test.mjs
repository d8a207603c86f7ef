// One send in headless Chromium, on a loopback server only: the add-in's page with the real
// office.js and the WebAssembly engine packs a message held by the fake item.
import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { createServer } from "node:http";
import { tmpdir } from "node:os";
import { dirname, extname, join, normalize } from "node:path";
import { test } from "node:test";
import { fileURLToPath } from "node:url";

const web = join(dirname(fileURLToPath(import.meta.url)), "..");
const chromium = "/usr/bin/chromium";
const engine = join(web, "../../build/web/bin/parvex-engine.js");
const officeJs = join(web, "node_modules/@microsoft/office-js/dist");
const types = { ".html": "text/html", ".js": "text/javascript", ".mjs": "text/javascript" };

function page() {
  return readFileSync(join(web, "commands.html"), "utf8")
    .replace(/https:\/\/appsforoffice\.microsoft\.com\/lib\/1\/hosted\/office\.js/, "/office-js/office.js")
    .replace("</body>", '<script type="module" src="/test/drive.mjs"></script></body>');
}

test("a send in headless Chromium", { skip: !existsSync(chromium) && "no chromium" }, async () => {
  let resolveResult;
  const result = new Promise((resolve) => (resolveResult = resolve));
  const server = createServer((req, res) => {
    const path = new URL(req.url, "http://127.0.0.1").pathname;
    if (req.method === "POST" && path === "/result") {
      let body = "";
      req.on("data", (c) => (body += c));
      req.on("end", () => {
        res.end();
        resolveResult(JSON.parse(body));
      });
      return;
    }
    // The page's own files, the engine and office.js's folder; nothing above them.
    const inside = normalize(path).replace(/^(\/\.\.)+/, "");
    const file = inside === "/parvex-engine.js" ? engine
      : inside.startsWith("/office-js/") ? join(officeJs, inside.slice(11)) : join(web, inside);
    if (!existsSync(file)) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { "Content-Type": types[extname(file)] || "application/octet-stream" });
    res.end(path === "/commands.html" ? page() : readFileSync(file));
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  const profile = mkdtempSync(join(tmpdir(), "parvex-chromium-"));
  const browser = spawn(chromium, [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-breakpad", "--user-data-dir=" + profile,
    `http://127.0.0.1:${server.address().port}/commands.html`,
  ], { stdio: "ignore", detached: true });
  try {
    const timeout = new Promise((_, reject) => setTimeout(() => reject(new Error("no result in 120 s")), 120000).unref());
    const r = await Promise.race([result, timeout]);
    assert.equal(r.error, undefined);
    assert.deepEqual(r.outcome, { allowEvent: true });
    assert.deepEqual(r.held.map((h) => h.name), ["logo.png", "Attachments.zip"]);
    writeFileSync(join(profile, "a.zip"), Buffer.from(r.held[1].base64, "base64"));
    execFileSync("7z", ["x", "-y", "-o" + join(profile, "x"), join(profile, "a.zip")], { stdio: "ignore" });
    assert.equal(readFileSync(join(profile, "x/report.txt"), "utf8"), "Quarterly figures, row after row. ".repeat(20000));
    assert.match(readFileSync(join(profile, "x/Readme.txt"), "latin1"), /Parvex/);
    console.log(`packed in Chromium in ${r.ms.toFixed(1)} ms`);
  } finally {
    // The browser's helpers write to its profile after the browser itself has gone: the whole
    // process group is stopped and waited for before the profile is removed.
    const group = () => { try { process.kill(-browser.pid, 0); return true; } catch { return false; } };
    try { process.kill(-browser.pid, "SIGKILL"); } catch { /* gone already */ }
    for (let i = 0; i < 100 && group(); ++i) await new Promise((resolve) => setTimeout(resolve, 100));
    server.close();
    rmSync(profile, { recursive: true, force: true, maxRetries: 10, retryDelay: 100 });
  }
});

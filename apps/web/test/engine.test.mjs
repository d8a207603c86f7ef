// The engine as WebAssembly (pack-cli.mjs) and built natively gives the same archive for the
// same salts and time, with and without a password; 7-Zip tests and extracts it whole.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { randomBytes } from "node:crypto";
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { after, test } from "node:test";
import { fileURLToPath } from "node:url";
import { gzipSync } from "node:zlib";

const root = join(dirname(fileURLToPath(import.meta.url)), "../../..");
const twin = join(root, "build/web-twin/bin/parvex-web-twin");
const cli = join(root, "apps/web/pack-cli.mjs");
const dir = mkdtempSync(join(tmpdir(), "parvex-engine-"));
after(() => rmSync(dir, { recursive: true, force: true }));

const text = Buffer.from("Minutes of the meeting: figures, names, dates. ".repeat(20000));
const files = {
  "empty.txt": Buffer.alloc(0),
  "random.bin": randomBytes(200000),
  "minutes.txt": text,
  "minutes.txt.gz": gzipSync(text),
  "große Übersicht.csv": Buffer.from("a;b\n1;2\n"),
  "thirty.log": Buffer.from(randomBytes(15 * 1024 * 1024).toString("hex")),
};
const paths = Object.entries(files).map(([name, bytes]) => {
  writeFileSync(join(dir, name), bytes);
  return join(dir, name);
});
writeFileSync(join(dir, "salts"), randomBytes(16 * paths.length));
writeFileSync(join(dir, "password"), "Kennwort mit Ümlaut\n");

// level: left out, the library's default as the add-in packs; else it must reach both engines.
for (const [password, level] of [[false], [true], [true, 1], [false, 0]]) {
  test(`${password ? "with" : "without"} a password${level === undefined ? "" : ", level " + level}`, () => {
    const options = ["--random-file", join(dir, "salts"), "--time", "1700000000"];
    if (password) options.push("--password-file", join(dir, "password"));
    if (level !== undefined) options.push("--level", String(level));
    const run = (program, args, out) => {
      execFileSync(program, [...args, ...options, out, ...paths], { env: { ...process.env, TZ: "UTC" }, stdio: "pipe" });
      return readFileSync(out);
    };
    const wasm = run(process.execPath, [cli], join(dir, "wasm.zip"));
    const native = run(twin, [], join(dir, "native.zip"));
    assert.ok(wasm.equals(native), "the two archives differ");
    const key = password ? ["-pKennwort mit Ümlaut"] : [];
    execFileSync("7z", ["t", ...key, join(dir, "wasm.zip")], { stdio: "pipe" });
    const out = join(dir, `x${password}${level}`);
    mkdirSync(out);
    execFileSync("7z", ["x", "-y", ...key, "-o" + out, join(dir, "wasm.zip")], { stdio: "pipe" });
    for (const [name, bytes] of Object.entries(files)) assert.ok(readFileSync(join(out, name)).equals(bytes), name);
    // Every entry but the readme is protected: 7-Zip lists them encrypted.
    const listing = execFileSync("7z", ["l", "-slt", join(dir, "wasm.zip")]).toString();
    const encrypted = listing.split("\n").filter((l) => l === "Encrypted = +").length;
    assert.equal(encrypted, password ? paths.length : 0);
    // 7-Zip names the level from each deflated entry's flags; level 0 stores every entry.
    const deflated = listing.split("\n").filter((l) => l.startsWith("Method = ") && l.includes("Deflate"));
    assert.equal(deflated.length === 0, level === 0, deflated.join());
    for (const m of deflated) assert.ok(m.endsWith(level === 1 ? "Deflate:Fastest" : "Deflate"), m);
  });
}

test("a level outside 0 to 9 is refused, with the reason", () => {
  for (const args of [[cli, "--level", "fast"], [cli, "--level", "10"], ["--level", "10"]]) {
    const program = args[0] === cli ? process.execPath : twin;
    const run = () => execFileSync(program, [...args, join(dir, "bad.zip"), paths[1]], { stdio: "pipe" });
    assert.throws(run, (e) => e.stderr.toString().includes("0 to 9, not " + args.at(-1)), args.join(" "));
  }
});

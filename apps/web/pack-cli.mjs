// Packs files with the WebAssembly engine, as the add-in does at send: for tests, and for
// trying the engine without Outlook.
//   node apps/web/pack-cli.mjs [--password-file FILE] [--random-file FILE] [--time SECONDS]
//                              [--level 0-9] OUT.zip FILE...
// --random-file and --time fix the salts and the files' time (the tests compare archives);
// by default the salts come from the system's random source, the time is now and the level the
// zip library's default (6), as the add-in packs.
import { createRequire } from "node:module";
import { randomBytes } from "node:crypto";
import { readFileSync, writeFileSync } from "node:fs";
import { basename, dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

const require = createRequire(import.meta.url);
const here = dirname(fileURLToPath(import.meta.url));
const glue = require("./engine-glue.js");

export async function loadEngine() {
  const path = process.env.PARVEX_ENGINE || join(here, "../../build/web/bin/parvex-engine.js");
  return require(path)();
}

async function main(argv) {
  const options = { password: "", random: null, time: Math.floor(Date.now() / 1000) };
  let i = 0;
  for (; i + 1 < argv.length && argv[i].startsWith("--"); i += 2) {
    const value = argv[i + 1];
    if (argv[i] === "--password-file") {
      options.password = readFileSync(value, "utf8").replace(/[\r\n]+$/, "");
    } else if (argv[i] === "--random-file") {
      options.random = new Uint8Array(readFileSync(value));
    } else if (argv[i] === "--time") {
      options.time = Number(value);
    } else if (argv[i] === "--level") {
      // Anything but digits reaches the engine's check as written, to be named in its error.
      options.level = /^[0-9]+$/.test(value) ? Number(value) : value;
    } else {
      throw new Error("unknown option " + argv[i]);
    }
  }
  const [out, ...paths] = argv.slice(i);
  if (!out) throw new Error("usage: pack-cli.mjs [--password-file FILE] [--level 0-9] OUT.zip FILE...");
  const files = paths.map((p) => ({ name: basename(p), bytes: new Uint8Array(readFileSync(p)) }));
  options.random ??= new Uint8Array(randomBytes(glue.saltBytesFor(files.length)));
  const engine = await loadEngine();
  const started = performance.now();
  const archive = glue.pack(engine, files, options);
  process.stderr.write(`packed in ${(performance.now() - started).toFixed(1)} ms\n`);
  writeFileSync(out, archive);
}

if (process.argv[1] && fileURLToPath(import.meta.url) === process.argv[1]) {
  main(process.argv.slice(2)).catch((e) => {
    process.stderr.write(e.message + "\n");
    process.exit(1);
  });
}

// The send handler against a fake compose item, with the real WebAssembly engine.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { createHash, randomBytes } from "node:crypto";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { createRequire } from "node:module";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { test } from "node:test";
import { fileURLToPath } from "node:url";
import { validateManifest } from "office-addin-manifest";
import { loadEngine } from "../pack-cli.mjs";
import { fakeItem } from "./fake-mailbox.mjs";

const require = createRequire(import.meta.url);
const { onMessageSend, kArchiveName } = require("../handler.js");
const glue = require("../engine-glue.js");
const engine = await loadEngine();
const text = (n) => new Uint8Array(Buffer.from("Quarterly figures, row after row. ".repeat(n)));
const report = { name: "report.txt", bytes: text(3000) };
const sheet = { name: "sheet.csv", bytes: text(500) };
const picture = { name: "logo.png", bytes: text(10), isInline: true };
const cloud = { name: "plan.docx", bytes: new Uint8Array(0), attachmentType: "cloud" };
const noise = { name: "noise.bin", bytes: new Uint8Array(randomBytes(5000)) };

const digest = (bytes) => createHash("sha256").update(bytes).digest("hex");
// What leaves: the names and bytes on the item (an undone removal puts a file back last),
// the archive's entries read back by 7-Zip.
function onItem(held) {
  return held.map((h) => `${h.name} ${h.isInline} ${digest(h.bytes)}`).sort();
}
function entries(archive) {
  const dir = mkdtempSync(join(tmpdir(), "parvex-web-"));
  try {
    writeFileSync(join(dir, "a.zip"), archive);
    execFileSync("7z", ["x", "-y", "-o" + join(dir, "x"), join(dir, "a.zip")], { stdio: "ignore" });
    return (names) => names.map((n) => digest(readFileSync(join(dir, "x", n))));
  } finally {
    setTimeout(() => rmSync(dir, { recursive: true, force: true }), 0);
  }
}

const rows = [
  { row: "files packed, the picture and the cloud link stay", files: [report, picture, sheet, cloud],
    packed: [report, sheet] },
  { row: "a failed content read", files: [report, sheet], fail: { method: "getAttachmentContentAsync", at: 2 } },
  { row: "a failed add", files: [report, sheet], fail: { method: "addFileAttachmentFromBase64Async" } },
  { row: "the host refuses the archive's size", files: [report, sheet],
    fail: { method: "addFileAttachmentFromBase64Async", error: "AttachmentSizeExceeded" } },
  { row: "an archive over the host's limit is not even offered", files: [report, sheet], maxAddedBytes: 100 },
  { row: "a failed removal is undone", files: [report, sheet, picture], fail: { method: "removeAttachmentAsync", at: 2 } },
  { row: "an archive no smaller than the files", files: [noise] },
  { row: "nothing to pack", files: [picture, cloud] },
];

for (const r of rows) {
  test(r.row, async () => {
    const { item, held } = fakeItem(r.files, r.fail);
    const before = onItem(held);
    let completed;
    const outcome = await onMessageSend({ completed: (o) => (completed = o) }, item, {
      engine, random: (n) => new Uint8Array(randomBytes(n)), maxAddedBytes: r.maxAddedBytes,
    });
    assert.deepEqual(completed, { allowEvent: true });
    assert.equal(outcome, completed);
    if (!r.packed) {
      assert.deepEqual(onItem(held), before);
      return;
    }
    const stays = r.files.filter((f) => !r.packed.includes(f)).map((f) => f.name);
    assert.deepEqual(held.map((h) => h.name), [...stays, kArchiveName]);
    const archive = held.at(-1).bytes;
    assert.deepEqual(entries(archive)(r.packed.map((f) => f.name)), r.packed.map((f) => digest(f.bytes)));
    assert.deepEqual(onItem(held.slice(0, -1)), onItem(fakeItem(r.files.filter((f) => stays.includes(f.name))).held));
  });
}

test("a removal that cannot be undone stops the send", async () => {
  // The second removal fails, and so does putting the first file back.
  const { item, held } = fakeItem([report, sheet], { method: "removeAttachmentAsync", at: 2 });
  const add = item.addFileAttachmentFromBase64Async;
  let adds = 0;
  item.addFileAttachmentFromBase64Async = (b, n, o, cb) =>
    ++adds === 1 ? add(b, n, o, cb) : cb({ status: "failed", error: { name: "GenericResponseError" } });
  let completed;
  await onMessageSend({ completed: (o) => (completed = o) }, item, { engine, random: (n) => new Uint8Array(randomBytes(n)) });
  assert.equal(completed.allowEvent, false);
  assert.match(completed.errorMessage, /could not finish/);
  assert.ok(held.length > 0);
});

test("the manifest validates and sends the event to the handler's page", async () => {
  const path = fileURLToPath(new URL("../manifest.json", import.meta.url));
  assert.equal((await validateManifest(path)).isValid, true);
  const [extension] = JSON.parse(readFileSync(path, "utf8")).extensions;
  const [event] = extension.autoRunEvents.flatMap((a) => a.events);
  assert.equal(event.type, "messageSending");
  const runtime = extension.runtimes.find((r) => r.actions.some((a) => a.id === event.actionId));
  assert.match(runtime.code.page, /\/commands\.html$/);
});

test("a file added by a call that failed halfway stays out of the next archive", () => {
  const stray = engine._malloc(6);
  engine.stringToUTF8("stray", stray, 6);
  engine._pvx_add(stray, stray, 5);
  engine._free(stray);
  const archive = glue.pack(engine, [sheet], { time: 1700000000 });
  assert.ok(!Buffer.from(archive).includes(Buffer.from("stray")));
});

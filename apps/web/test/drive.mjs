// In Chromium: the add-in's page (commands.html with the real office.js) packs a message
// through the fake item, and the outcome goes back to the test's server.
import { itemCalls } from "./fake-item.mjs";

const text = new TextEncoder().encode("Quarterly figures, row after row. ".repeat(20000));
const picture = new TextEncoder().encode("not really a picture");
const { item, held } = itemCalls([
  { name: "report.txt", bytes: text },
  { name: "logo.png", bytes: picture, isInline: true },
]);
const report = (body) => fetch("/result", { method: "POST", body: JSON.stringify(body) });
const toBase64 = (bytes) => btoa(Array.from(bytes, (b) => String.fromCharCode(b)).join(""));

Office.onReady(async () => {
  try {
    Office.context.mailbox = { item };
    const started = performance.now();
    const outcome = await new Promise((completed) => self.onMessageSendHandler({ completed }));
    const ms = performance.now() - started;
    await report({
      outcome, ms,
      held: held.map((h) => ({ name: h.name, isInline: h.isInline, base64: toBase64(h.bytes) })),
    });
  } catch (e) {
    await report({ error: String(e && e.stack || e) });
  }
});

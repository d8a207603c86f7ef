// A compose item's attachment calls as the host answers them, each through its callback; for
// node (wrapped by office-addin-mock in fake-mailbox.mjs) and for the page in Chromium alike.
// fail names a call that answers with the host's failure: {method, at: n-th call, error}.
const toBase64 = (bytes) => btoa(Array.from(bytes, (b) => String.fromCharCode(b)).join(""));
const fromBase64 = (text) => Uint8Array.from(atob(text), (c) => c.charCodeAt(0));

export function itemCalls(attachments, fail = {}) {
  const held = attachments.map((a, i) => ({ id: "att" + i, attachmentType: "file", isInline: false, ...a }));
  const calls = {};
  let next = held.length;
  const answer = (method, callback, work) => {
    calls[method] = (calls[method] || 0) + 1;
    if (fail.method === method && (fail.at || 1) === calls[method]) {
      callback({ status: "failed", error: { name: fail.error || "GenericResponseError" } });
      return;
    }
    let value;
    try {
      value = work();
    } catch (e) {
      callback({ status: "failed", error: { name: e.message } });
      return;
    }
    callback({ status: "succeeded", value });
  };
  const find = (id) => {
    const at = held.findIndex((h) => h.id === id);
    if (at < 0) throw new Error("InvalidAttachmentId");
    return at;
  };
  const item = {
    getAttachmentsAsync: (callback) =>
      answer("getAttachmentsAsync", callback, () =>
        held.map(({ bytes, ...details }) => ({ ...details, size: bytes.length }))),
    getAttachmentContentAsync: (id, callback) =>
      answer("getAttachmentContentAsync", callback, () => {
        const a = held[find(id)];
        if (a.attachmentType === "cloud") return { format: "url", content: "https://example.invalid/f" };
        return { format: "base64", content: toBase64(a.bytes) };
      }),
    addFileAttachmentFromBase64Async: (base64, name, options, callback) =>
      answer("addFileAttachmentFromBase64Async", callback, () => {
        const id = "att" + next++;
        held.push({ id, name, attachmentType: "file", isInline: !!options.isInline, bytes: fromBase64(base64) });
        return id;
      }),
    removeAttachmentAsync: (id, callback) =>
      answer("removeAttachmentAsync", callback, () => {
        held.splice(find(id), 1);
      }),
  };
  return { item, held, calls };
}

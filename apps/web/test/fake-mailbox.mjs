// A compose item as Office.js hands it to the handler, over office-addin-mock: the attachment
// calls are written here, each answering through its callback as the host does. fail names
// a call that answers with the host's failure: {method: "…", at: n} fails its n-th call (1-based).
import { OfficeApp } from "office-addin-manifest";
import { OfficeMockObject } from "office-addin-mock";

export function fakeItem(attachments, fail = {}) {
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
  const item = new OfficeMockObject(
    {
      getAttachmentsAsync: (callback) =>
        answer("getAttachmentsAsync", callback, () =>
          held.map(({ bytes, ...details }) => ({ ...details, size: bytes.length }))),
      getAttachmentContentAsync: (id, callback) =>
        answer("getAttachmentContentAsync", callback, () => {
          const a = held.find((h) => h.id === id);
          if (!a) throw new Error("InvalidAttachmentId");
          if (a.attachmentType === "cloud") return { format: "url", content: "https://example.invalid/f" };
          return { format: "base64", content: Buffer.from(a.bytes).toString("base64") };
        }),
      addFileAttachmentFromBase64Async: (base64, name, options, callback) =>
        answer("addFileAttachmentFromBase64Async", callback, () => {
          const id = "att" + next++;
          held.push({ id, name, attachmentType: "file", isInline: !!options.isInline,
                      bytes: new Uint8Array(Buffer.from(base64, "base64")) });
          return id;
        }),
      removeAttachmentAsync: (id, callback) =>
        answer("removeAttachmentAsync", callback, () => {
          const at = held.findIndex((h) => h.id === id);
          if (at < 0) throw new Error("InvalidAttachmentId");
          held.splice(at, 1);
        }),
    },
    OfficeApp.Outlook,
  );
  return { item, held, calls };
}

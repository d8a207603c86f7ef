// The OnMessageSend handler: the message's file attachments packed by the WebAssembly engine
// into Attachments.zip, which takes their place. Whatever fails, the message leaves exactly as
// written: nothing is removed before the archive is on the item, and a failed swap is undone.
// A classic script for the add-in's page and a CommonJS module for the tests alike.
(function (root, factory) {
  if (typeof module === "object" && module.exports) {
    module.exports = factory(require("./engine-glue.js"));
  } else {
    root.ParvexHandler = factory(root.ParvexEngineGlue);
  }
})(typeof self !== "undefined" ? self : globalThis, function (glue) {
  "use strict";

  const kArchiveName = "Attachments.zip";
  // The largest file an add-in may add in Outlook on the web (bytes before base64); a larger
  // archive would fail at the add, after the message had been read and packed for nothing.
  const kMaxAddedBytes = 25 * 1024 * 1024;

  // One Office.js call as a promise: its value, or an Error naming the call and the host's code.
  function call(item, method, ...args) {
    return new Promise((resolve, reject) => {
      item[method](...args, (result) => {
        if (result && result.status === "succeeded") {
          resolve(result.value);
        } else {
          const error = (result && result.error) || {};
          reject(new Error(method + " failed: " + (error.name || error.code || "no result")));
        }
      });
    });
  }

  function fromBase64(text) {
    if (typeof Buffer !== "undefined") return new Uint8Array(Buffer.from(text, "base64"));
    const binary = atob(text);
    const bytes = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; ++i) bytes[i] = binary.charCodeAt(i);
    return bytes;
  }

  function toBase64(bytes) {
    if (typeof Buffer !== "undefined") return Buffer.from(bytes).toString("base64");
    let binary = "";
    for (let i = 0; i < bytes.length; i += 0x8000) {
      binary += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
    }
    return btoa(binary);
  }

  // Only what a recipient sees as a file is packed: pictures of the body, attached items and
  // cloud links stay as they are.
  function packable(attachment) {
    return attachment.attachmentType === "file" && !attachment.isInline;
  }

  // Takes the archive off and puts back what was removed. True when the item is whole again.
  async function undo(item, archiveId, removed) {
    let whole = true;
    for (const r of removed) {
      try {
        await call(item, "addFileAttachmentFromBase64Async", toBase64(r.bytes), r.name, {
          isInline: false,
        });
      } catch (e) {
        whole = false;
      }
    }
    try {
      await call(item, "removeAttachmentAsync", archiveId);
    } catch (e) {
      whole = false;
    }
    return whole;
  }

  // deps: {engine: the loaded WebAssembly module, random(n): n random bytes, log(text),
  // maxAddedBytes: the host's limit where it is not kMaxAddedBytes}.
  // Resolves to what event.completed is given.
  async function packMessage(item, deps) {
    const log = deps.log || (() => {});
    const leave = (why) => {
      log("left as written: " + why);
      return { allowEvent: true };
    };
    let files;
    try {
      const all = await call(item, "getAttachmentsAsync");
      const chosen = all.filter(packable);
      if (chosen.length === 0) return { allowEvent: true };
      files = [];
      for (const a of chosen) {
        const content = await call(item, "getAttachmentContentAsync", a.id);
        if (content.format !== "base64") return leave(a.name + " is no file (" + content.format + ")");
        files.push({ id: a.id, name: a.name, bytes: fromBase64(content.content) });
      }
    } catch (e) {
      return leave(e.message);
    }
    let archive;
    try {
      // No level given: the zip library's default, as the desktop packs.
      archive = glue.pack(deps.engine, files, {
        password: "",
        random: deps.random(glue.saltBytesFor(files.length)),
        time: Math.floor(Date.now() / 1000),
      });
    } catch (e) {
      return leave(e.message);
    }
    const total = files.reduce((sum, f) => sum + f.bytes.length, 0);
    if (archive.length >= total) return leave("the archive would not be smaller");
    if (archive.length > (deps.maxAddedBytes || kMaxAddedBytes)) return leave("the archive is larger than the host takes");
    let archiveId;
    try {
      archiveId = await call(item, "addFileAttachmentFromBase64Async", toBase64(archive),
                             kArchiveName, { isInline: false });
    } catch (e) {
      return leave(e.message);
    }
    const removed = [];
    for (const f of files) {
      try {
        await call(item, "removeAttachmentAsync", f.id);
        removed.push(f);
      } catch (e) {
        if (await undo(item, archiveId, removed)) return leave(e.message);
        // Neither packed nor as written: the user must see it before anything leaves.
        return {
          allowEvent: false,
          errorMessage: "Parvex could not finish packing the attachments. Check them before sending.",
        };
      }
    }
    log("packed " + files.length + " attachment(s) into " + kArchiveName);
    return { allowEvent: true };
  }

  // The event's entry point: never throws, always completes the event.
  function onMessageSend(event, item, deps) {
    return packMessage(item, deps)
      .catch(() => ({ allowEvent: true }))
      .then((outcome) => {
        event.completed(outcome);
        return outcome;
      });
  }

  return { onMessageSend, packMessage, kArchiveName, kMaxAddedBytes };
});

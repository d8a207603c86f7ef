// Calls into the WebAssembly engine (parvex-engine.js): the attachments in, the archive out.
// A classic script for the add-in's page and a CommonJS module for node alike.
(function (root, factory) {
  if (typeof module === "object" && module.exports) module.exports = factory();
  else root.ParvexEngineGlue = factory();
})(typeof self !== "undefined" ? self : globalThis, function () {
  "use strict";

  // Salt bytes for one archive: 16 for each AES-256 entry, with some to spare.
  function saltBytesFor(count) {
    return 16 * (count + 1);
  }

  function cString(engine, text) {
    const size = engine.lengthBytesUTF8(text) + 1;
    const at = engine._malloc(size);
    engine.stringToUTF8(text, at, size);
    return at;
  }

  // The engine's level: 0 stores, 1..9 deflate; left out, -1, the zip library's default (6).
  function levelOf(level) {
    if (level === undefined || level === null) return -1;
    if (!Number.isInteger(level) || level < 0 || level > 9) {
      throw new Error("the compression level must be a whole number from 0 to 9, not " + level);
    }
    return level;
  }

  // files: [{name, bytes: Uint8Array}]; options: {password, random: Uint8Array, time: seconds,
  // level}. Returns the archive's bytes; throws an Error with the engine's reason when it fails.
  function pack(engine, files, options) {
    const level = levelOf(options.level);
    engine._pvx_release();  // nothing left from a call that failed halfway
    for (const file of files) {
      const name = cString(engine, file.name);
      const data = engine._malloc(Math.max(file.bytes.length, 1));
      try {
        // The heap may have grown (and moved) with the allocation: its view is taken after.
        engine.HEAPU8.set(file.bytes, data);
        if (engine._pvx_add(name, data, file.bytes.length) !== 0) {
          throw new Error("the engine could not take " + file.name);
        }
      } finally {
        engine._free(name);
        engine._free(data);
      }
    }
    const random = options.random || new Uint8Array(0);
    const salts = engine._malloc(Math.max(random.length, 1));
    engine.HEAPU8.set(random, salts);
    engine._pvx_supply_random(salts, random.length);
    engine.HEAPU8.fill(0, salts, salts + random.length);
    engine._free(salts);
    const password = cString(engine, options.password || "");
    let result;
    try {
      result = engine._pvx_pack(password, options.time, level);
    } finally {
      engine.HEAPU8.fill(0, password, password + engine.lengthBytesUTF8(options.password || ""));
      engine._free(password);
    }
    const at = engine._pvx_output();
    const size = engine._pvx_output_size();
    const output = engine.HEAPU8.slice(at, at + size);
    engine._pvx_release();
    if (result !== 0) {
      throw new Error("packing failed (" + result + "): " + new TextDecoder().decode(output));
    }
    return output;
  }

  return { pack, saltBytesFor };
});

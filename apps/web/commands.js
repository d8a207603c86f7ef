// The add-in's send runtime: loads the engine once, then packs at each OnMessageSend.
/* global Office, ParvexEngine, ParvexHandler */
(function () {
  "use strict";
  let engine = null;
  function loadedEngine() {
    engine = engine || ParvexEngine();
    return engine;
  }
  function random(n) {
    return crypto.getRandomValues(new Uint8Array(n));
  }
  async function onMessageSendHandler(event) {
    let loaded;
    try {
      loaded = await loadedEngine();
    } catch (e) {
      event.completed({ allowEvent: true });  // no engine, no packing: the message as written
      return;
    }
    await ParvexHandler.onMessageSend(event, Office.context.mailbox.item, {
      engine: loaded,
      random,
      log: (text) => console.log("Parvex: " + text),
    });
  }
  self.onMessageSendHandler = onMessageSendHandler;
  Office.onReady(() => {
    if (Office.actions) Office.actions.associate("onMessageSendHandler", onMessageSendHandler);
  });
})();

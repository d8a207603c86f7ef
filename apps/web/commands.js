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
    try {
      await ParvexHandler.onMessageSend(event, Office.context.mailbox.item, {
        engine: await loadedEngine(),
        random,
        log: (text) => console.log("Parvex: " + text),
      });
    } catch (e) {
      // No engine or no handler (a script that did not load): the message as written.
      event.completed({ allowEvent: true });
    }
  }
  self.onMessageSendHandler = onMessageSendHandler;
  Office.onReady(() => {
    if (Office.actions) Office.actions.associate("onMessageSendHandler", onMessageSendHandler);
  });
})();

// Firefox offers no DevTools pipe into an extension, so here the extension
// drives itself: once loaded, it runs one session through the helpers of
// background.js and posts what it saw to the driver (firefox_e2e.py), whose
// address and options come in run.json.

(async () => {
  const run = await (await fetch(chrome.runtime.getURL("run.json"))).json();
  const seen = {};
  try {
    seen.ping = await e2e.sendNative({type: "ping"}, run.quickMs);
    const id = e2e.openSession();
    seen.unknown = await e2e.request(id, {type: "no_such_type"}, run.quickMs);
    seen.download = await e2e.request(id, {type: "add_download", url: "https://example.invalid/file.zip"},
                                      run.handoffMs);
    seen.blob = await e2e.blobTransfer(id, run.blob);
    e2e.closeSession(id);
  } catch (error) {
    seen.thrown = errorText(error);
  }
  await fetch(run.driver, {method: "POST", body: JSON.stringify(seen)});
})();

// Firefox offers no DevTools pipe into an extension, so for doctor_e2e.py the
// extension asks the driver for each message to send with sendNativeMessage
// and posts back what it heard.

(async () => {
  const run = await (await fetch(chrome.runtime.getURL("run.json"))).json();
  for (;;) {
    let command;
    try {
      command = await (await fetch(run.driver)).json();
    } catch (error) {
      await delay(200);
      continue;
    }
    if (command.stop) break;
    if (!command.message) continue;
    const heard = await e2e.sendNative(command.message, command.timeoutMs);
    await fetch(run.driver, {method: "POST", body: JSON.stringify(heard)});
  }
})();

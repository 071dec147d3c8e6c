// The end-to-end driver reaches this worker over the DevTools protocol and
// calls the helpers on globalThis.e2e with Runtime.evaluate. Every helper
// resolves to plain JSON (never rejects), so that results cross the protocol
// by value and a failure arrives as data the driver can print.

const HOST_NAME = "com.velisto.nimbra";
// Firefox's promise-returning API; Chromium's own returns promises as well.
const api = globalThis.browser ?? chrome;

function errorText(error) {
  if (error && typeof error.message === "string") return error.message;
  return String(error);
}

function delay(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// One native port and everything that arrived on it, in order.
class Session {
  constructor() {
    this.events = [];
    this.waiters = [];
    this.port = api.runtime.connectNative(HOST_NAME);
    this.port.onMessage.addListener((message) => this.push({kind: "message", message}));
    this.port.onDisconnect.addListener(() => {
      // lastError must be read inside the listener or Chromium logs it as
      // unchecked; Firefox puts the error on the port instead.
      const lastError = chrome.runtime.lastError || this.port.error;
      this.push({kind: "disconnect", error: lastError ? lastError.message : null});
    });
  }

  push(event) {
    this.events.push(event);
    const waiters = this.waiters;
    this.waiters = [];
    for (const wake of waiters) wake();
  }

  // The next event not yet taken, or {kind: "timeout"}.
  async next(timeoutMs) {
    const deadline = Date.now() + timeoutMs;
    while (this.events.length === 0) {
      const left = deadline - Date.now();
      if (left <= 0) return {kind: "timeout", after_ms: timeoutMs};
      await new Promise((resolve) => {
        this.waiters.push(resolve);
        setTimeout(resolve, left);
      });
    }
    return this.events.shift();
  }

  // Posts one message. Chromium refuses some messages synchronously
  // (too large, not serialisable); that comes back as {thrown}.
  post(message) {
    try {
      this.port.postMessage(message);
      return {posted: true};
    } catch (error) {
      return {thrown: errorText(error)};
    }
  }

  // The host answers strictly one request at a time, so the next event
  // after a post is that request's reply (or the end of the connection).
  async request(message, timeoutMs) {
    const posted = this.post(message);
    if (posted.thrown !== undefined) return {kind: "thrown", error: posted.thrown};
    return this.next(timeoutMs);
  }
}

const sessions = new Map();
let nextSessionId = 1;

function session(id) {
  const found = sessions.get(id);
  if (!found) throw new Error(`no session ${id}`);
  return found;
}

function base64OfBytes(bytes) {
  // btoa takes a binary string; build it in slices to stay clear of the
  // argument-count limit of String.fromCharCode.apply.
  const parts = [];
  for (let i = 0; i < bytes.length; i += 0x8000) {
    parts.push(String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000)));
  }
  return btoa(parts.join(""));
}

function hex(buffer) {
  return Array.from(new Uint8Array(buffer), (b) => b.toString(16).padStart(2, "0")).join("");
}

globalThis.e2e = {
  ready: true,
  extensionId: chrome.runtime.id,
  extensionVersion: chrome.runtime.getManifest().version,

  // One-shot message: Chromium starts a host for it and stops it after the reply.
  async sendNative(message, timeoutMs) {
    let timer;
    const timeout = new Promise((resolve) => {
      timer = setTimeout(() => resolve({kind: "timeout", after_ms: timeoutMs}), timeoutMs);
    });
    let exchange;
    try {
      // A message over Chromium's own size limit throws here instead of rejecting.
      exchange = api.runtime.sendNativeMessage(HOST_NAME, message).then(
        (reply) => ({kind: "message", message: reply}),
        (error) => ({kind: "error", error: errorText(error)}));
    } catch (error) {
      clearTimeout(timer);
      return {kind: "thrown", error: errorText(error)};
    }
    try {
      return await Promise.race([exchange, timeout]);
    } finally {
      clearTimeout(timer);
    }
  },

  openSession() {
    const id = nextSessionId++;
    sessions.set(id, new Session());
    return id;
  },

  request(id, message, timeoutMs) {
    return session(id).request(message, timeoutMs);
  },

  next(id, timeoutMs) {
    return session(id).next(timeoutMs);
  },

  // A request padded with `padBytes` ASCII characters, so its JSON text is
  // that much larger than the bare request.
  requestPadded(id, message, padBytes, timeoutMs) {
    return session(id).request({...message, padding: "x".repeat(padBytes)}, timeoutMs);
  },

  // A request with a member `nested` that makes the whole JSON text
  // `depth` levels deep (the request object itself is the first level).
  requestNested(id, message, depth, timeoutMs) {
    let nested = 0;
    for (let level = 2; level <= depth; level++) nested = [nested];
    return session(id).request({...message, nested}, timeoutMs);
  },

  closeSession(id) {
    const found = sessions.get(id);
    if (found) {
      try {
        found.port.disconnect();
      } catch (error) {
        // Already disconnected by the host's side.
      }
      sessions.delete(id);
    }
    return true;
  },

  // Streams `size` random bytes through blob_begin / blob_chunk / blob_end,
  // the base64 text cut into pieces of `chunkChars` characters. Stops at the
  // first event that is not a successful reply. Returns the SHA-256 of the
  // bytes as generated here, with every reply in order.
  async blobTransfer(id, options) {
    const {transferId, filename, contentType, size, chunkChars, timeoutMs} = options;
    const bytes = new Uint8Array(size);
    for (let i = 0; i < size; i += 65536) {
      crypto.getRandomValues(bytes.subarray(i, Math.min(size, i + 65536)));
    }
    // Read back through a Blob, as the extension would hold a generated file.
    const blob = new Blob([bytes], {type: contentType});
    const data = new Uint8Array(await blob.arrayBuffer());
    const sha256 = hex(await crypto.subtle.digest("SHA-256", data));
    const text = base64OfBytes(data);

    const s = session(id);
    const steps = [];
    const ok = (event) => event.kind === "message" && event.message && event.message.ok === true;

    const begin = await s.request(
        {type: "blob_begin", transfer_id: transferId, filename, content_type: contentType, size: blob.size},
        timeoutMs);
    steps.push({request: "blob_begin", event: begin});
    if (!ok(begin)) return {sha256, size: blob.size, steps, complete: false};

    for (let offset = 0; offset < text.length; offset += chunkChars) {
      const piece = text.slice(offset, offset + chunkChars);
      const event = await s.request(
          {type: "blob_chunk", transfer_id: transferId, data_base64: piece}, timeoutMs);
      steps.push({request: "blob_chunk", chars: piece.length, event});
      if (!ok(event)) return {sha256, size: blob.size, steps, complete: false};
    }

    const end = await s.request({type: "blob_end", transfer_id: transferId}, timeoutMs);
    steps.push({request: "blob_end", event: end});
    return {sha256, size: blob.size, steps, complete: ok(end)};
  },

  delay,
};

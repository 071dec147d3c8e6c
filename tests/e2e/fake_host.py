#!/usr/bin/env python3
"""A minimal native messaging host for checking the browser harness itself.

It answers `ping` as the real host does, refuses an oversized request the way
the real host does (one final error reply, then exit), and answers every other
request with the unknown-type reply. Everything else the suite checks is
missing here on purpose, so those cases must fail against it:

    python3 tests/e2e/chromium_e2e.py --host tests/e2e/fake_host.py

Only the harness uses this file; nothing is built from it.
"""

import json
import struct
import sys

MAX_REQUEST_BYTES = 2 * 1024 * 1024


def write_frame(value):
    body = json.dumps(value, separators=(",", ":"), sort_keys=True).encode("utf-8")
    sys.stdout.buffer.write(struct.pack("<I", len(body)) + body)
    sys.stdout.buffer.flush()


def read_exact(count):
    data = b""
    while len(data) < count:
        chunk = sys.stdin.buffer.read(count - len(data))
        if not chunk:
            return data
        data += chunk
    return data


def main():
    # The browser passes the extension's origin as the first argument; unused.
    while True:
        header = read_exact(4)
        if len(header) < 4:
            return 0
        (length,) = struct.unpack("<I", header)
        if length > MAX_REQUEST_BYTES:
            write_frame({"error": "Native message too large", "ok": False})
            return 0
        body = read_exact(length)
        if len(body) < length:
            write_frame({"error": "failed to fill whole buffer", "ok": False})
            return 0
        try:
            request = json.loads(body.decode("utf-8"))
        except ValueError as error:
            write_frame({"error": str(error), "ok": False})
            return 0
        if isinstance(request, dict) and request.get("type") == "ping":
            write_frame({"host": "com.velisto.nimbra", "ok": True, "version": "1.0.4"})
        else:
            write_frame({"error": "Unknown message type", "ok": False})


if __name__ == "__main__":
    sys.exit(main())

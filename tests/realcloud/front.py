#!/usr/bin/python3
"""The cloud's front for scripts/test-cloud: publishes the services under one
address the way the module expects them, and logs every exchange.

    front.py --port P --log FILE --map /keystone=5000 --map /nova-api=8774 ...

A request for /<prefix>/<rest> goes to http://127.0.0.1:<port>/<rest> (the
prefix itself to /), with method, headers and body unchanged; the reply
comes back as it is. FILE gets one JSON line per exchange: method, path,
status, request and reply bodies (cut at 64 KiB), and the reply's Location.
"""

import argparse
import http.client
import http.server
import json
import threading
import time

HOP = {"connection", "keep-alive", "proxy-connection", "transfer-encoding", "te", "trailer", "upgrade"}
CUT = 64 * 1024


def _text(body):
    text = body[:CUT].decode("utf-8", "replace")
    return text + ("...[%d bytes]" % len(body) if len(body) > CUT else "")


class Front(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, port, mapping, log_path):
        super().__init__(("127.0.0.1", port), Handler)
        self.mapping = sorted(mapping.items(), key=lambda kv: -len(kv[0]))
        self.log_lock = threading.Lock()
        self.log_file = open(log_path, "a", buffering=1)

    def route(self, path):
        for prefix, port in self.mapping:
            if path == prefix or path.startswith(prefix + "/") or path.startswith(prefix + "?"):
                rest = path[len(prefix):]
                return port, (rest if rest.startswith("/") else "/" + rest)
        return None, None

    def log(self, entry):
        with self.log_lock:
            self.log_file.write(json.dumps(entry, ensure_ascii=False) + "\n")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _relay(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        port, path = self.server.route(self.path)
        entry = {"t": round(time.time(), 3), "method": self.command, "path": self.path, "request": _text(body)}
        if port is None:
            status, headers, reply = 404, [("Content-Type", "text/plain")], b"front: no service here\n"
        else:
            headers_out = {k: v for k, v in self.headers.items() if k.lower() not in HOP}
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
            try:
                conn.request(self.command, path, body=body if (body or self.command in ("POST", "PUT")) else None,
                             headers=headers_out)
                r = conn.getresponse()
                status, headers, reply = r.status, r.getheaders(), r.read()
            except OSError as e:
                status, headers, reply = 502, [("Content-Type", "text/plain")], ("front: %s\n" % e).encode()
            finally:
                conn.close()
        entry.update(status=status, reply=_text(reply))
        location = next((v for k, v in headers if k.lower() == "location"), None)
        if location:
            entry["location"] = location
        self.server.log(entry)
        self.send_response_only(status)
        for k, v in headers:
            if k.lower() not in HOP and k.lower() != "content-length":
                self.send_header(k, v)
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(reply)

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = _relay


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--log", required=True)
    p.add_argument("--map", action="append", default=[], help="/prefix=port")
    a = p.parse_args()
    mapping = {}
    for m in a.map:
        prefix, port = m.split("=")
        mapping[prefix.rstrip("/")] = int(port)
    Front(a.port, mapping, a.log).serve_forever()


if __name__ == "__main__":
    main()

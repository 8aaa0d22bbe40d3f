#!/usr/bin/python3
"""The cloud's front for scripts/test-cloud: publishes the services under one
address the way the module expects them, and logs every exchange.

    front.py --port P --log FILE --map /keystone=5000 --map /nova-api=8774 ...

A request for /<prefix>/<rest> goes to http://127.0.0.1:<port>/<rest> (the
prefix itself to /), with method, headers and body unchanged; the reply
comes back as it is. FILE gets one JSON line per exchange: method, path,
status, request and reply bodies (cut at 64 KiB), and the reply's Location.

Fault rules, set by the checks at /_front/rules (never forwarded), change one
chosen exchange: POST a rule, GET the rules with what each did, DELETE them
all. A rule is JSON:

    {"method": "POST", "path": REGEX,   which requests count (re.search on the
                                        path with its query)
     "nth": N,                          the Nth of them fires (default 1), once
     "hold": SECONDS,                   the service's reply is held this long
                                        before it goes back
     "drop": [KEY, ...],                the member at this key path is removed
                                        from the reply (JSON)
     "cut": true,                       the connection is closed instead of
                                        the reply (after the hold), which the
                                        service has carried out
     "answer": CODE}                    answered with CODE at once, not forwarded

and GET shows for each: "seen" (requests counted), "fired", "answered" (when
the service, or the front, had the reply), "held" (true while held), "sent"
(when the reply went out), "cut" (when the connection was closed instead) or
"send_error" (the client had gone), the reply's "status", the "request" body,
the "reply" as sent and the "original" reply.
The front's own errors are JSON lines of FILE too ("front_error").
"""

import argparse
import http.client
import http.server
import json
import re
import socket
import threading
import time
import traceback

HOP = {"connection", "keep-alive", "proxy-connection", "transfer-encoding", "te", "trailer", "upgrade"}
CUT = 64 * 1024


PASSWORD = re.compile(r'("password"\s*:\s*)"(?:[^"\\]|\\.)*"')


def _text(body):
    text = body[:CUT].decode("utf-8", "replace")
    return text + ("...[%d bytes]" % len(body) if len(body) > CUT else "")


def _masked(text):
    """The text for the log file: every JSON "password" value masked (tokens
    travel in headers, which are not logged)."""
    return PASSWORD.sub(r'\1"***"', text)


class Front(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, port, mapping, log_path):
        super().__init__(("127.0.0.1", port), Handler)
        self.mapping = sorted(mapping.items(), key=lambda kv: -len(kv[0]))
        self.log_lock = threading.Lock()
        self.log_file = open(log_path, "a", buffering=1)
        self.rules_lock = threading.Lock()
        self.rules = []

    def add_rule(self, rule):
        with self.rules_lock:
            rule = dict(rule, id=len(self.rules) + 1, seen=0, fired=False, held=False)
            re.compile(rule["path"])
            self.rules.append(rule)
            return rule["id"]

    def fire(self, method, path):
        """The rule that fires for this request, if any (each fires once)."""
        with self.rules_lock:
            for rule in self.rules:
                if rule["fired"] or rule.get("method", method) != method or not re.search(rule["path"], path):
                    continue
                rule["seen"] += 1
                if rule["seen"] == rule.get("nth", 1):
                    rule["fired"] = True
                    return rule
        return None

    def note(self, rule, **values):
        with self.rules_lock:
            rule.update(values)

    def route(self, path):
        for prefix, port in self.mapping:
            if path == prefix or path.startswith(prefix + "/") or path.startswith(prefix + "?"):
                rest = path[len(prefix):]
                return port, (rest if rest.startswith("/") else "/" + rest)
        return None, None

    def log(self, entry):
        with self.log_lock:
            entry = dict(entry, **{k: _masked(entry[k]) for k in ("request", "reply") if k in entry})
            self.log_file.write(json.dumps(entry, ensure_ascii=False) + "\n")

    def handle_error(self, request, client_address):
        # One JSON line like the exchanges, not a traceback among them.
        self.log({"t": round(time.time(), 3), "front_error": traceback.format_exc()})


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _control(self, body):
        s = self.server
        if self.command == "POST":
            reply = {"id": s.add_rule(json.loads(body))}
        elif self.command == "DELETE":
            with s.rules_lock:
                s.rules = []
            reply = {}
        else:
            with s.rules_lock:
                reply = {"rules": [dict(r) for r in s.rules]}
        self._send(200, [("Content-Type", "application/json")], json.dumps(reply).encode())

    def _send(self, status, headers, reply):
        self.send_response_only(status)
        for k, v in headers:
            if k.lower() not in HOP and k.lower() != "content-length":
                self.send_header(k, v)
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(reply)
        self.wfile.flush()

    def _relay(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        if self.path.split("?")[0] == "/_front/rules":
            return self._control(body)
        port, path = self.server.route(self.path)
        entry = {"t": round(time.time(), 3), "method": self.command, "path": self.path, "request": _text(body)}
        rule = self.server.fire(self.command, self.path)
        if rule is not None and "answer" in rule:
            status, headers = rule["answer"], [("Content-Type", "application/json")]
            reply = json.dumps({"error": {"code": status, "message": "front: fault rule %d" % rule["id"]}}).encode()
        elif port is None:
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
        if rule is not None:
            reply = self._apply(rule, body, status, reply)
            entry["fault"] = rule["id"]
        entry.update(status=status, reply=_text(reply))
        location = next((v for k, v in headers if k.lower() == "location"), None)
        if location:
            entry["location"] = location
        if rule is not None and rule.get("cut"):
            entry["cut"] = True
        self.server.log(entry)
        if rule is not None and rule.get("cut"):
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            self.server.note(rule, cut=time.time())
            return
        try:
            self._send(status, headers, reply)
        except OSError as e:
            # The client gave up (it timed out): nothing more on this connection.
            self.close_connection = True
            if rule is not None:
                self.server.note(rule, send_error=str(e))
            return
        if rule is not None:
            self.server.note(rule, sent=time.time())

    def _apply(self, rule, body, status, reply):
        """The rule's changes to a reply that the front has now."""
        original = reply
        if rule.get("drop"):
            # Only from a reply that has the member (a refusal is passed on as it is).
            try:
                doc = json.loads(reply)
                *parents, last = rule["drop"]
                inner = doc
                for key in parents:
                    inner = inner[key]
                del inner[last]
                reply = json.dumps(doc).encode()
            except (ValueError, KeyError, TypeError, IndexError):
                pass
        self.server.note(rule, answered=time.time(), status=status, request=_text(body), reply=_text(reply),
                         original=_text(original), held=bool(rule.get("hold")))
        if rule.get("hold"):
            time.sleep(rule["hold"])
            self.server.note(rule, held=False)
        return reply

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

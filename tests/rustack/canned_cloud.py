#!/usr/bin/env python3
"""A tiny HTTP(S) server with canned replies, for the REST client tests.

    canned_cloud.py --script REPLIES.json --log REQUESTS.jsonl --port-file PORT
                    [--cert CERT.pem --key KEY.pem]

REPLIES.json is a list of replies handed out in order, one per request
(whatever its path); once they are used up every request gets a 599. A reply:
    {"status": 200, "reason": "OK",
     "headers": [["Name", "value"], ...],     written as "Name: value\\r\\n"
     "raw_headers": "exact header bytes",      written verbatim after those
     "body": "text",
     "delay": 0.0}                             seconds to wait before answering
Content-Length and "Connection: close" are always added. "@PORT@" in a
header value or in raw_headers stands for the server's own port.

Every request is appended to REQUESTS.jsonl as one JSON line (method, path,
headers as a list of pairs in their order, body) before it is answered. The
bound port is written to PORT once the server listens on 127.0.0.1.
"""
import argparse
import http.server
import json
import os
import ssl
import threading
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--lifetime", type=float, default=300.0,
                        help="seconds after which the server ends by itself")
    args = parser.parse_args()
    threading.Timer(args.lifetime, lambda: os._exit(0)).start()

    with open(args.script, encoding="utf-8") as f:
        replies = json.load(f)
    lock = threading.Lock()
    state = {"next": 0}

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *unused):
            pass

        def answer(self):
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length) if length else b""
            with lock:
                record = {
                    "method": self.command,
                    "path": self.path,
                    "headers": [[k, v] for k, v in self.headers.items()],
                    "body": body.decode("utf-8", "replace"),
                }
                with open(args.log, "a", encoding="utf-8") as log:
                    log.write(json.dumps(record) + "\n")
                index = state["next"]
                state["next"] += 1
            reply = replies[index] if index < len(replies) else {
                "status": 599, "reason": "No Canned Reply", "body": "no canned reply left"}
            if reply.get("delay"):
                time.sleep(reply["delay"])
            payload = reply.get("body", "").encode("utf-8")
            port = str(self.server.server_address[1])
            head = "HTTP/1.1 %d %s\r\n" % (reply.get("status", 200), reply.get("reason", "Canned"))
            for name, value in reply.get("headers", []):
                head += "%s: %s\r\n" % (name, value.replace("@PORT@", port))
            head += reply.get("raw_headers", "").replace("@PORT@", port)
            head += "Content-Length: %d\r\nConnection: close\r\n\r\n" % len(payload)
            self.wfile.write(head.encode("utf-8") + payload)
            self.wfile.flush()
            self.close_connection = True

        do_GET = answer
        do_POST = answer
        do_DELETE = answer
        do_PUT = answer

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(tmp, args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()

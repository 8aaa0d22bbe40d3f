#!/usr/bin/python3
"""Serves a WSGI application on 127.0.0.1, one request at a time (their
sqlite connections must stay on one thread), for the services of
scripts/test-cloud that ship only as WSGI applications (keystone,
placement).

    wsgi.py PORT MODULE:FACTORY      e.g. 5000 keystone.server.wsgi:initialize_public_application
"""

import importlib
import sys
import wsgiref.simple_server


class Handler(wsgiref.simple_server.WSGIRequestHandler):
    def log_message(self, fmt, *args):
        sys.stderr.write("%s %s\n" % (self.address_string(), fmt % args))


def main():
    port, target = int(sys.argv[1]), sys.argv[2]
    module, factory = target.split(":")
    sys.argv = sys.argv[:1]  # the application parses no arguments of ours
    app = getattr(importlib.import_module(module), factory)()
    server = wsgiref.simple_server.make_server("127.0.0.1", port, app, handler_class=Handler)
    server.serve_forever()


if __name__ == "__main__":
    main()

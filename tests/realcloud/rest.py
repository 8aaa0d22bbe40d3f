"""A small REST client of the real services for scripts/test-cloud: keystone
password logins and JSON requests, standard library only."""

import json
import time
import urllib.error
import urllib.request


class Error(Exception):
    def __init__(self, method, url, status, body):
        super().__init__("%s %s -> %s %s" % (method, url, status, body[:2000]))
        self.status = status
        self.body = body


def call(method, url, body=None, token=None, headers=None, timeout=120):
    """(status, parsed JSON or text, reply headers); never raises for an HTTP status."""
    data = None if body is None else (body if isinstance(body, bytes) else json.dumps(body).encode())
    h = {"Accept": "application/json"}
    if data is not None:
        h["Content-Type"] = "application/json"
    if token:
        h["X-Auth-Token"] = token
    h.update(headers or {})
    req = urllib.request.Request(url, data=data, method=method, headers=h)
    try:
        with urllib.request.urlopen(req, timeout=timeout) as r:
            status, raw, rh = r.status, r.read(), r.headers
    except urllib.error.HTTPError as e:
        status, raw, rh = e.code, e.read(), e.headers
    text = raw.decode("utf-8", "replace")
    try:
        parsed = json.loads(text) if text else None
    except ValueError:
        parsed = text
    return status, parsed, rh


class Session:
    """A keystone token of one user, project- or system-scoped, renewed when it
    is refused."""

    def __init__(self, keystone, user, password, project_id=None, project_name=None, system=False):
        self.keystone = keystone.rstrip("/")
        self.user, self.password = user, password
        self.project_id, self.project_name, self.system = project_id, project_name, system
        self.token = None

    def login(self):
        if self.system:
            scope = {"system": {"all": True}}
        elif self.project_id:
            scope = {"project": {"id": self.project_id}}
        else:
            scope = {"project": {"name": self.project_name, "domain": {"id": "default"}}}
        body = {"auth": {"identity": {"methods": ["password"], "password": {"user": {
            "name": self.user, "domain": {"id": "default"}, "password": self.password}}}, "scope": scope}}
        status, reply, headers = call("POST", self.keystone + "/v3/auth/tokens", body)
        if status != 201:
            raise Error("POST", self.keystone + "/v3/auth/tokens", status, json.dumps(reply))
        self.token = headers["X-Subject-Token"]
        return reply

    def request(self, method, url, body=None, ok=(200, 201, 202, 204), headers=None):
        if self.token is None:
            self.login()
        status, reply, _ = call(method, url, body, self.token, headers)
        if status == 401:
            self.login()
            status, reply, _ = call(method, url, body, self.token, headers)
        if ok and status not in ok:
            raise Error(method, url, status, reply if isinstance(reply, str) else json.dumps(reply))
        return reply

    def get(self, url, **kw):
        return self.request("GET", url, **kw)

    def post(self, url, body=None, **kw):
        return self.request("POST", url, body, **kw)

    def put(self, url, body=None, **kw):
        return self.request("PUT", url, body, **kw)

    def delete(self, url, **kw):
        return self.request("DELETE", url, **kw)


def wait_for(what, probe, timeout, interval=0.5):
    """Calls probe() until it returns something true; raises after timeout seconds."""
    end = time.time() + timeout
    last = None
    while True:
        try:
            value = probe()
            if value:
                return value
        except (Error, OSError) as e:
            last = e
        if time.time() > end:
            raise TimeoutError("timed out waiting for %s%s" % (what, "" if last is None else " (%s)" % last))
        time.sleep(interval)

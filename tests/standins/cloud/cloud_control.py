"""Test-side helpers for the stand-in cloud (fake_cloud.py).

  with FakeCloud(seed=standard_seed(), data_dir=d) as cloud:
      cloud.base_url                      # http://127.0.0.1:<port>
      cloud.control.add_fault(method="GET", path=r".*/snapshots/.*", nth=2, state="error")
      ...
      cloud.control.inventory()["volumes"]

`FakeCloud` runs the server as a child process on a free port and stops it
on exit; `CloudControl` wraps the /_control interface; `CloudClient` is a tiny
REST client for talking to the services themselves.
"""

import copy
import http.client
import json
import os
import select
import ssl
import subprocess
import sys
import tempfile
import time
from urllib.parse import urlsplit

HERE = os.path.dirname(os.path.abspath(__file__))
FAKE_CLOUD = os.path.join(HERE, "fake_cloud.py")
STANDARD_SEED = os.path.join(HERE, "standard_seed.json")

# Handy names from standard_seed.json.
PROJECT = "4c1e8a2f6b3d4e5fa7b8c9d0e1f2a3b4"
KESTROVA_VM = "0b7d1a52-5c3e-4f0a-9d61-2f4e8c9a7b10"
WEB = "7c4e2a91-6b3f-4d8e-9a1c-2e5f8b7d4c30"
WEB_ROOT = "3a7f1c9e-5d2b-4e8a-b6c4-0f9e8d7c6b02"
WEB_DATA = "c5d2e8f1-7a3b-4c9d-8e6f-1b2a3c4d5e03"
NETWORK = "6f2a9c1e-0d4b-4e7f-9a3c-5b8d2e1f4a60"
IMAGE = "a1f0c7e2-93d4-4b8e-8f2a-6c5d4e3b2a19"
USER, PASSWORD = "kestrova", "kestrova-pass"
ADMIN, ADMIN_PASSWORD = "cloudadmin", "admin-pass"


def standard_seed():
    with open(STANDARD_SEED, encoding="utf-8") as f:
        return json.load(f)


def make_certificate(directory, host="127.0.0.1"):
    """A self-signed certificate for `host` made with openssl; (cert, key)."""
    cert = os.path.join(directory, "cloud.crt")
    key = os.path.join(directory, "cloud.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=" + host, "-addext", "subjectAltName=IP:" + host,
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    return cert, key


class Response:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers  # (name, value) pairs in the order sent
        self.body = body

    def header(self, name):
        for n, v in self.headers:
            if n.lower() == name.lower():
                return v
        return None

    def json(self):
        return json.loads(self.body)


class CloudClient:
    """Plain HTTP(S) requests to the stand-in; one connection per request."""

    def __init__(self, base_url, cafile=None, verify=True):
        u = urlsplit(base_url)
        self.scheme, self.host, self.port = u.scheme, u.hostname, u.port
        self.context = None
        if self.scheme == "https":
            self.context = ssl.create_default_context(cafile=cafile)
            if not verify:
                self.context.check_hostname = False
                self.context.verify_mode = ssl.CERT_NONE

    def request(self, method, path, body=None, token=None, headers=None, timeout=30):
        if self.scheme == "https":
            conn = http.client.HTTPSConnection(self.host, self.port, context=self.context, timeout=timeout)
        else:
            conn = http.client.HTTPConnection(self.host, self.port, timeout=timeout)
        hdrs = {}
        if token is not None:
            hdrs.update({"X-Auth-Token": token, "Accept": "application/json",
                         "Content-Type": "application/json"})
        elif body is not None:
            hdrs["Content-Type"] = "application/json"
        hdrs.update(headers or {})
        if isinstance(body, (dict, list)):
            body = json.dumps(body)
        if isinstance(body, str):
            body = body.encode()
        try:
            conn.request(method, path, body=body, headers=hdrs)
            r = conn.getresponse()
            return Response(r.status, r.getheaders(), r.read())
        finally:
            conn.close()

    def login(self, user=USER, password=PASSWORD, project=PROJECT, system=False, domain="default"):
        """The token of a password login, or None when it was refused."""
        scope = {"system": {"all": True}} if system else {"project": {"id": project}}
        body = {"auth": {"identity": {"methods": ["password"],
                                      "password": {"user": {"name": user, "domain": {"id": domain},
                                                            "password": password}}},
                         "scope": scope}}
        r = self.request("POST", "/keystone/v3/auth/tokens", body)
        return r.header("X-Subject-Token") if r.status == 201 else None


class ControlError(Exception):
    def __init__(self, status, body):
        super().__init__("control call failed with %s: %s" % (status, body))
        self.status = status
        self.body = body


class CloudControl:
    """The stand-in's /_control interface (documented in README.md)."""

    def __init__(self, base_url, cafile=None):
        self.client = CloudClient(base_url, cafile=cafile, verify=False)

    def call(self, method, path, body=None):
        r = self.client.request(method, "/_control/" + path, body if body is not None else None)
        data = r.json() if r.body else None
        if r.status != 200:
            raise ControlError(r.status, data)
        return data

    def health(self):
        return self.call("GET", "health")

    def inventory(self):
        return self.call("GET", "inventory")

    def log(self, since=0):
        return self.call("GET", "log?since=%d" % since)["requests"]

    def clear_log(self):
        self.call("DELETE", "log")

    def add_fault(self, **rule):
        return self.call("POST", "faults", rule)["id"]

    def faults(self):
        return self.call("GET", "faults")["rules"]

    def remove_fault(self, rule_id):
        self.call("DELETE", "faults/%d" % rule_id)

    def clear_faults(self):
        self.call("DELETE", "faults")

    def expire_tokens(self, scope="all", user=None):
        body = {"scope": scope}
        if user is not None:
            body["user"] = user
        return self.call("POST", "tokens/expire", body)["expired"]

    def set_polls(self, **polls):
        return self.call("POST", "polls", polls)["polls"]

    def get_object(self, kind, oid):
        return self.call("GET", "objects/%s/%s" % (kind, oid))

    def set_object(self, kind, oid, **fields):
        return self.call("POST", "objects/%s/%s" % (kind, oid), fields)

    def add_object(self, kind, spec):
        return self.call("POST", "objects/%s" % kind, spec)

    def delete_object(self, kind, oid):
        self.call("DELETE", "objects/%s/%s" % (kind, oid))

    def reset(self, seed=None):
        self.call("POST", "reset", {"seed": seed} if seed is not None else {})

    def shutdown(self):
        self.call("POST", "shutdown", {})


class FakeCloud:
    """fake_cloud.py as a child process on a free port of 127.0.0.1.

    The child watches its standard input, so it also ends when this process
    dies without stopping it."""

    def __init__(self, seed=None, seed_file=None, cert=None, key=None, data_dir=None, hooks=None,
                 extra_args=(), start_timeout=20):
        self._tmp = tempfile.TemporaryDirectory(prefix="fake_cloud.")
        if seed_file is None:
            seed_file = os.path.join(self._tmp.name, "seed.json")
            with open(seed_file, "w", encoding="utf-8") as f:
                json.dump(copy.deepcopy(seed) if seed is not None else standard_seed(), f)
        cmd = [sys.executable, FAKE_CLOUD, "--seed", seed_file, "--watch-stdin"]
        if cert:
            cmd += ["--cert", cert, "--key", key]
        if data_dir:
            cmd += ["--data-dir", data_dir]
        if hooks:
            cmd += ["--hooks", hooks]
        cmd += list(extra_args)
        self.cert = cert
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.port = self._read_port(start_timeout)
        self.base_url = "%s://127.0.0.1:%d" % ("https" if cert else "http", self.port)
        self.control = CloudControl(self.base_url)
        self.client = CloudClient(self.base_url, cafile=cert)

    def _read_port(self, timeout):
        deadline = time.monotonic() + timeout
        line = b""
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                self.stop()
                raise RuntimeError("fake_cloud.py did not report its port")
            ch = os.read(self.proc.stdout.fileno(), 1)
            if not ch:
                self.stop()
                raise RuntimeError("fake_cloud.py ended before listening (exit %s)" % self.proc.wait())
            line += ch
        word, _, port = line.decode().strip().partition(" ")
        if word != "LISTENING":
            self.stop()
            raise RuntimeError("unexpected first line from fake_cloud.py: %r" % line)
        return int(port)

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout):
            if stream and not stream.closed:
                stream.close()
        self._tmp.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

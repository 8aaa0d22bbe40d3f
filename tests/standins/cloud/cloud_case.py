"""Shared fixture of the stand-in's own tests: one server per test class,
reset to its seed before every test."""

import json
import socket
import unittest

import cloud_control as cc


class CloudCase(unittest.TestCase):
    cloud_args = {}

    @classmethod
    def seed(cls):
        return cc.standard_seed()

    @classmethod
    def setUpClass(cls):
        cls.cloud = cc.FakeCloud(seed=cls.seed(), **cls.cloud_args)
        cls.control = cls.cloud.control
        cls.api = cls.cloud.client

    @classmethod
    def tearDownClass(cls):
        cls.cloud.stop()

    def setUp(self):
        self.control.reset(self.seed())

    # ------------------------------------------------------------ helpers
    def token(self, system=False):
        tok = (self.api.login(cc.ADMIN, cc.ADMIN_PASSWORD, system=True) if system
               else self.api.login())
        self.assertIsNotNone(tok)
        return tok

    @staticmethod
    def nova(path):
        return "/nova-api/v2" + path

    @staticmethod
    def cinder(path, project=cc.PROJECT):
        return "/cinder/v3/%s%s" % (project, path)

    def call(self, method, path, body=None, token=None, expect=None):
        r = self.api.request(method, path, body, token=token)
        if expect is not None:
            self.assertEqual(r.status, expect, "%s %s answered %s" % (method, path, r.body[:400]))
        return r

    def volume_status(self, tok, vid):
        return self.call("GET", self.cinder("/volumes/" + vid), token=tok, expect=200).json()["volume"]["status"]

    def snapshot_status(self, tok, sid):
        return self.call("GET", self.cinder("/snapshots/" + sid), token=tok, expect=200).json()["snapshot"]["status"]

    def statuses_until(self, read, final, limit=10):
        """The statuses that successive reads show, up to and with `final`."""
        seen = []
        for _ in range(limit):
            seen.append(read())
            if seen[-1] == final:
                return seen
        self.fail("never reached %s: %s" % (final, seen))

    def inventory_object(self, kind, oid):
        return next((o for o in self.control.inventory()[kind] if o["id"] == oid), None)

    def snapshot_of(self, tok, vid, name="snap"):
        r = self.call("POST", self.cinder("/snapshots"),
                      '{"snapshot": {"name": "%s", "description": "d", "volume_id": "%s", "force": true}}'
                      % (name, vid), token=tok, expect=202)
        return r.json()["snapshot"]["id"]

    def volume_from(self, tok, snapshot_id, size=2):
        r = self.call("POST", self.cinder("/volumes"), {"volume": {
            "size": size, "availability_zone": "nova", "snapshot_id": snapshot_id,
            "description": "Based on snapshot " + snapshot_id, "volume_type": "__DEFAULT__",
            "consistencygroup_id": None, "name": "copy"}}, token=tok, expect=202)
        return r.json()["volume"]["id"]

    def ready_volume(self, tok, source=cc.WEB_DATA):
        sid = self.snapshot_of(tok, source)
        self.statuses_until(lambda: self.snapshot_status(tok, sid), "available")
        vid = self.volume_from(tok, sid)
        self.statuses_until(lambda: self.volume_status(tok, vid), "available")
        return sid, vid

    def attach(self, tok, server, vid):
        r = self.call("POST", self.nova("/servers/%s/os-volume_attachments" % server),
                      '{"volumeAttachment": {"volumeId": "%s", "device": null}}' % vid, token=tok, expect=200)
        return r.json()["volumeAttachment"]["device"]


def raw_exchange(port, request):
    """Sends raw request bytes and returns (header block, body) as received."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(request)
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    return head + b"\r\n\r\n", body


def raw_post(port, path, body, content_type="application/json"):
    body = body.encode() if isinstance(body, str) else body
    req = ("POST %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nAccept: application/json\r\n"
           "Content-Type: %s\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
           % (path, port, content_type, len(body))).encode() + body
    return raw_exchange(port, req)


def as_json(body):
    return json.loads(body.decode())

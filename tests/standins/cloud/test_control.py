"""The control interface: request log, inventory, objects, reset, start-up;
backing files of volumes and snapshots; the device hooks."""

import hashlib
import json
import os
import subprocess
import sys
import tempfile
import unittest

import cloud_control as cc
from cloud_case import CloudCase, raw_exchange


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class RequestLog(CloudCase):
    def test_requests_are_logged_in_order_with_headers_and_bodies(self):
        tok = self.token()
        self.control.clear_log()
        body = b'{"volumeAttachment": {"volumeId": "x", "device": null}}'
        req = (b"POST /nova-api/v2/servers/%s/os-volume_attachments HTTP/1.1\r\nHost: 127.0.0.1\r\n"
               b"X-Auth-Token: %s\r\nAccept: application/json\r\nContent-Type: application/json\r\n"
               b"Content-Length: %d\r\nConnection: close\r\n\r\n" % (cc.KESTROVA_VM.encode(), tok.encode(), len(body))) + body
        raw_exchange(self.cloud.port, req)
        self.call("GET", "/cinder/")
        self.control.inventory()  # control calls are not logged
        self.call("DELETE", self.cinder("/volumes/nope"), token=tok)
        log = self.control.log()
        self.assertEqual([(e["seq"], e["method"], e["path"], e["status"]) for e in log],
                         [(1, "POST", "/nova-api/v2/servers/%s/os-volume_attachments" % cc.KESTROVA_VM, 404),
                          (2, "GET", "/cinder/", 200),
                          (3, "DELETE", self.cinder("/volumes/nope"), 404)])
        self.assertEqual(log[0]["headers"], [["Host", "127.0.0.1"], ["X-Auth-Token", tok],
                                             ["Accept", "application/json"], ["Content-Type", "application/json"],
                                             ["Content-Length", str(len(body))], ["Connection", "close"]])
        self.assertEqual(log[0]["body"], body.decode())
        self.assertEqual((log[0]["service"], log[0]["token_scope"], log[0]["token_user"]),
                         ("compute", "project", cc.USER))
        self.assertEqual(json.loads(log[0]["reply"])["itemNotFound"]["code"], 404)
        self.assertEqual([e["seq"] for e in self.control.log(since=2)], [3])


class Objects(CloudCase):
    def test_reset_restores_the_seed_and_can_load_another(self):
        tok = self.token()
        self.ready_volume(tok)
        self.control.add_fault(method="GET", path=".*", status=500, times=0)
        self.control.reset()
        inv = self.control.inventory()
        self.assertEqual([v["id"] for v in inv["volumes"]],
                         ["9e3c5a71-2b8d-4f6e-a1c0-7d4b3e2f1a01", cc.WEB_ROOT, cc.WEB_DATA])
        self.assertEqual((inv["snapshots"], self.control.faults(), self.control.log()), ([], [], []))
        seed = {"projects": [{"id": "p1"}], "users": [{"name": "u", "password": "pw", "projects": ["p1"]}],
                "servers": [{"id": "s1", "name": "only"}]}
        self.control.reset(seed)
        inv = self.control.inventory()
        self.assertEqual([(s["id"], s["name"], s["project_id"]) for s in inv["servers"]], [("s1", "only", "p1")])
        self.assertIsNotNone(self.api.login("u", "pw", project="p1"))

    def test_a_bad_seed_is_refused_and_the_cloud_stays(self):
        for seed in ({"volumes": [{"id": "v"}]}, {"projects": [{"id": "p"}], "servers": [{"name": "s", "volumes": ["ghost"]}]},
                     {"projects": [{"id": "p"}], "users": [{"name": "u", "projects": ["q"]}]}):
            with self.subTest(seed=seed):
                with self.assertRaises(cc.ControlError) as e:
                    self.control.reset(seed)
                self.assertEqual(e.exception.status, 400)
                self.assertEqual(len(self.control.inventory()["servers"]), 2)

    def test_objects_can_be_changed_added_and_removed(self):
        tok = self.token()
        self.control.set_object("servers", cc.WEB, status="SHUTOFF")
        s = self.call("GET", self.nova("/servers/" + cc.WEB), token=tok, expect=200).json()["server"]
        self.assertEqual((s["status"], s["OS-EXT-STS:vm_state"]), ("SHUTOFF", "stopped"))
        sid = self.snapshot_of(tok, cc.WEB_DATA)
        self.control.set_object("snapshots", sid, status="error")
        self.assertEqual(self.snapshot_status(tok, sid), "error")
        self.control.add_object("servers", {"id": "aa11", "name": "web"})
        names = [x["name"] for x in self.call("GET", self.nova("/servers/detail"), token=tok).json()["servers"]]
        self.assertEqual(names, ["kestrova-vm", "web", "web"])
        self.control.delete_object("servers", "aa11")
        self.call("GET", self.nova("/servers/aa11"), token=tok, expect=404)
        with self.assertRaises(cc.ControlError):
            self.control.set_object("volumes", cc.WEB_DATA, colour="blue")

    def test_the_program_refuses_to_start_on_a_bad_seed(self):
        with tempfile.NamedTemporaryFile("w", suffix=".json") as f:
            f.write('{"projects": [')
            f.flush()
            r = subprocess.run([sys.executable, cc.FAKE_CLOUD, "--seed", f.name], capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"cannot start", r.stderr)
        self.assertEqual(r.stdout, b"")


class BackingFiles(CloudCase):
    @classmethod
    def setUpClass(cls):
        cls.data = tempfile.TemporaryDirectory(prefix="fake_cloud_data.")
        cls.cloud_args = {"data_dir": cls.data.name}
        super().setUpClass()

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        cls.data.cleanup()

    def file_of(self, kind, oid):
        return self.inventory_object(kind, oid)["backing_file"]

    def test_snapshots_hold_the_bytes_of_their_moment_and_copies_hold_the_snapshot(self):
        tok = self.token()
        data = self.file_of("volumes", cc.WEB_DATA)
        self.assertEqual(os.path.getsize(data), 2 * 1048576)  # 2 "GiB" of 1 MiB in the standard seed
        first = os.urandom(300000)
        with open(data, "r+b") as f:
            f.seek(4096)
            f.write(first)
        expected = digest(data)
        sid = self.snapshot_of(tok, cc.WEB_DATA)
        with open(data, "r+b") as f:  # written after the snapshot
            f.write(b"later" * 1000)
        self.statuses_until(lambda: self.snapshot_status(tok, sid), "available")
        self.assertEqual(digest(self.file_of("snapshots", sid)), expected)
        vid = self.volume_from(tok, sid, size=3)
        copy = self.file_of("volumes", vid)
        self.assertEqual(os.path.getsize(copy), 3 * 1048576)
        with open(copy, "rb") as f:
            grown = f.read()
        self.assertEqual(grown[4096:4096 + len(first)], first)
        self.assertEqual(hashlib.sha256(grown[:2 * 1048576]).hexdigest(), expected)
        self.assertEqual(grown[2 * 1048576:], bytes(1048576))

        self.statuses_until(lambda: self.volume_status(tok, vid), "available")
        self.call("DELETE", self.cinder("/volumes/" + vid), token=tok, expect=202)
        self.call("DELETE", self.cinder("/snapshots/" + sid), token=tok, expect=202)
        self.assertFalse(os.path.exists(copy))
        self.assertEqual(sorted(os.listdir(os.path.join(self.data.name, "snapshots"))), [])
        self.assertTrue(os.path.exists(data))

    def test_given_backing_files_are_used_and_never_removed(self):
        given = os.path.join(self.data.name, "given.img")
        with open(given, "wb") as f:
            f.write(b"\x5a" * 8192)
        seed = self.seed()
        seed["volumes"].append({"id": "given-vol", "size": 1, "backing_file": given})
        self.control.reset(seed)
        tok = self.token()
        self.assertEqual(self.file_of("volumes", "given-vol"), given)
        sid = self.snapshot_of(tok, "given-vol")
        self.assertEqual(digest(self.file_of("snapshots", sid)), digest(given))
        self.statuses_until(lambda: self.snapshot_status(tok, sid), "available")
        self.call("DELETE", self.cinder("/snapshots/" + sid), token=tok, expect=202)
        self.call("DELETE", self.cinder("/volumes/given-vol"), token=tok, expect=202)
        self.assertTrue(os.path.exists(given))


class DeviceHooks(CloudCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory(prefix="fake_cloud_hooks.")
        cls.events = os.path.join(cls.work.name, "events")
        hooks = os.path.join(cls.work.name, "hooks.py")
        with open(hooks, "w") as f:
            f.write("import json\n"
                    "def record(kind, cloud, server, volume, attachment):\n"
                    "    with open(%r, 'a') as f:\n"
                    "        f.write(json.dumps([kind, server.id == cloud.kestrova_vm_id, volume.id,\n"
                    "                            attachment.device, attachment.state]) + '\\n')\n"
                    "def on_attach(*a): record('attach', *a)\n"
                    "def on_detach(*a): record('detach', *a)\n" % cls.events)
        cls.cloud_args = {"hooks": hooks}
        super().setUpClass()

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        cls.work.cleanup()

    def setUp(self):
        super().setUp()
        if os.path.exists(self.events):
            os.unlink(self.events)

    def events_seen(self):
        if not os.path.exists(self.events):
            return []
        with open(self.events) as f:
            return [json.loads(line) for line in f]

    def test_hooks_run_when_an_attachment_completes_and_when_a_detach_begins(self):
        tok = self.token()
        _, vid = self.ready_volume(tok)
        self.attach(tok, cc.KESTROVA_VM, vid)
        self.assertEqual(self.events_seen(), [])  # still attaching
        self.statuses_until(lambda: self.volume_status(tok, vid), "in-use")
        self.assertEqual(self.events_seen(), [["attach", True, vid, "/dev/vdb", "attached"]])
        self.call("DELETE", self.nova("/servers/%s/os-volume_attachments/%s" % (cc.KESTROVA_VM, vid)),
                  token=tok, expect=202)
        self.assertEqual(self.events_seen()[1:], [["detach", True, vid, "/dev/vdb", "detaching"]])
        self.statuses_until(lambda: self.volume_status(tok, vid), "available")
        self.assertEqual(len(self.events_seen()), 2)

    def test_reset_and_shutdown_undo_what_the_hooks_made(self):
        for stop in ("reset", "shutdown"):
            with self.subTest(stop):
                cloud = self.cloud if stop == "reset" else cc.FakeCloud(seed=self.seed(), **self.cloud_args)
                try:
                    if os.path.exists(self.events):
                        os.unlink(self.events)
                    tok = cloud.client.login()
                    self.api, saved = cloud.client, self.api
                    try:
                        _, vid = self.ready_volume(tok)
                        self.attach(tok, cc.KESTROVA_VM, vid)
                        self.statuses_until(lambda: self.volume_status(tok, vid), "in-use")
                    finally:
                        self.api = saved
                    if stop == "reset":
                        cloud.control.reset()
                    else:
                        cloud.control.shutdown()
                        cloud.proc.wait(timeout=10)
                    self.assertEqual([e[0] for e in self.events_seen()], ["attach", "detach"])
                finally:
                    if cloud is not self.cloud:
                        cloud.stop()


if __name__ == "__main__":
    unittest.main()

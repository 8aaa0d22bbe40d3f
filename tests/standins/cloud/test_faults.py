"""Fault rules: which calls they hit and what they do to them."""

import http.client
import time
import unittest

import cloud_control as cc
from cloud_case import CloudCase


class FaultRules(CloudCase):
    def test_nth_and_times_choose_the_calls_that_fail(self):
        path = self.cinder("/volumes/" + cc.WEB_DATA)
        cases = [({"nth": 2}, [200, 500, 200, 200, 200]),
                 ({"nth": 2, "times": 2}, [200, 500, 500, 200, 200]),
                 ({"nth": 3, "times": 0}, [200, 200, 500, 500, 500]),
                 ({}, [500, 200, 200, 200, 200])]
        for rule, expected in cases:
            with self.subTest(rule=rule):
                self.control.reset(self.seed())
                tok = self.token()
                rid = self.control.add_fault(method="GET", path=r"/cinder/v3/[^/]+/volumes/[^/]+", status=500, **rule)
                self.call("GET", self.nova("/servers/detail"), token=tok, expect=200)  # not counted
                got = [self.api.request("GET", path, token=tok).status for _ in expected]
                self.assertEqual(got, expected)
                r = next(x for x in self.control.faults() if x["id"] == rid)
                self.assertEqual((r["matched"], r["fired"]), (len(expected), expected.count(500)))

    def test_short_circuit_replies_do_not_touch_the_cloud(self):
        tok = self.token()
        before = self.control.inventory()["snapshots"]
        self.control.add_fault(method="POST", path=r".*/snapshots", status=413)
        r = self.api.request("POST", self.cinder("/snapshots"),
                             {"snapshot": {"name": "n", "volume_id": cc.WEB_DATA, "force": True}}, token=tok)
        self.assertEqual(r.status, 413)
        self.assertEqual(r.json(), {"overLimit": {"code": 413, "message": "Request Entity Too Large"}})
        self.assertEqual(self.control.inventory()["snapshots"], before)
        self.assertEqual(self.control.log()[-1]["faults"], [1])

    def test_replies_can_be_replaced_by_any_body(self):
        cases = [
            ({"status": 200, "body": {"versions": []}}, 200, b'{"versions": []}'),
            ({"status": 200, "raw_body": "not json{"}, 200, b"not json{"),
            ({"status": 200}, 200, b""),
            ({"status": 503}, 503, b'{"serviceUnavailable": {"code": 503, "message": "Service Unavailable"}}'),
        ]
        for rule, status, body in cases:
            with self.subTest(rule=rule):
                self.control.clear_faults()
                self.control.add_fault(method="GET", path="/nova-api/", **rule)
                r = self.api.request("GET", "/nova-api/")
                self.assertEqual((r.status, r.body), (status, body))

    def test_forced_state_ends_the_pending_transition(self):
        tok = self.token()
        self.control.add_fault(method="POST", path=r".*/snapshots", state="error")
        sid = self.snapshot_of(tok, cc.WEB_DATA)
        self.assertEqual(self.statuses_until(lambda: self.snapshot_status(tok, sid), "error"), ["creating", "error"])
        # The snapshot in error can be deleted; its volume has no snapshot left.
        self.call("DELETE", self.cinder("/snapshots/" + sid), token=tok, expect=202)

        # On a read: that read still shows the old state, the next the forced one.
        self.control.add_fault(method="GET", path=r".*/volumes/" + cc.WEB_DATA, state="error")
        self.assertEqual([self.volume_status(tok, cc.WEB_DATA), self.volume_status(tok, cc.WEB_DATA)],
                         ["in-use", "error"])

    def test_a_forced_attach_failure_leaves_the_volume_unattached(self):
        tok = self.token()
        sid, vid = self.ready_volume(tok)
        self.control.add_fault(method="POST", path=r".*/os-volume_attachments", state="error")
        self.attach(tok, cc.KESTROVA_VM, vid)
        self.assertEqual(self.statuses_until(lambda: self.volume_status(tok, vid), "error"), ["attaching", "error"])
        self.assertIsNone(self.inventory_object("volumes", vid)["attachment"])
        self.call("DELETE", self.cinder("/volumes/" + vid), token=tok, expect=202)
        self.assertEqual(self.control.inventory()["device_events"], [])

    def test_polls_keep_an_object_in_its_transition(self):
        tok = self.token()
        self.control.add_fault(method="POST", path=r".*/snapshots", polls=5)
        sid = self.snapshot_of(tok, cc.WEB_DATA)
        self.assertEqual(self.statuses_until(lambda: self.snapshot_status(tok, sid), "available"),
                         ["creating"] * 5 + ["available"])

    def test_delay_holds_the_reply_and_drop_closes_the_connection(self):
        self.control.add_fault(method="GET", path="/cinder/", delay=0.4)
        start = time.monotonic()
        self.assertEqual(self.api.request("GET", "/cinder/").status, 200)
        self.assertGreaterEqual(time.monotonic() - start, 0.4)
        self.control.add_fault(method="GET", path="/keystone/v3/", drop=True)
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionError)):
            self.api.request("GET", "/keystone/v3/")
        self.assertEqual(self.api.request("GET", "/keystone/v3/").status, 200)
        self.assertEqual(self.control.log()[-2]["status"], "dropped")

    def test_a_late_reply_comes_after_the_work_is_done(self):
        tok = self.token()
        self.control.add_fault(method="POST", path=r".*/snapshots", delay_reply=3)
        with self.assertRaises(TimeoutError):
            self.api.request("POST", self.cinder("/snapshots"),
                             {"snapshot": {"name": "late", "volume_id": cc.WEB_DATA, "force": True}},
                             token=tok, timeout=1)
        # The client gave up; the snapshot is there all the same.
        self.assertEqual([s["name"] for s in self.control.inventory()["snapshots"]], ["late"])

    def test_drop_closes_the_connection_before_or_after_the_work(self):
        # "drop" before the request is carried out, "drop_reply" after it.
        for action, made in (("drop", []), ("drop_reply", ["cut"])):
            with self.subTest(action=action):
                self.control.reset(self.seed())
                tok = self.token()
                self.control.add_fault(method="POST", path=r".*/snapshots", **{action: True})
                with self.assertRaises((http.client.RemoteDisconnected, ConnectionError)):
                    self.api.request("POST", self.cinder("/snapshots"),
                                     {"snapshot": {"name": "cut", "volume_id": cc.WEB_DATA, "force": True}},
                                     token=tok)
                self.assertEqual([s["name"] for s in self.control.inventory()["snapshots"]], made)
                entry = self.control.log()[-1]
                self.assertEqual(entry["status"], "dropped")
                # The reply that was not sent names what was made.
                self.assertEqual(bool(made), '"cut"' in (entry["reply"] or ""))

    def test_a_patched_reply_names_a_wrong_device_while_the_cloud_keeps_the_real_one(self):
        tok = self.token()
        _, vid = self.ready_volume(tok)
        self.control.add_fault(method="POST", path=r".*/os-volume_attachments",
                               patch={"volumeAttachment": {"device": "/dev/vdq"}})
        self.assertEqual(self.attach(tok, cc.KESTROVA_VM, vid), "/dev/vdq")
        self.statuses_until(lambda: self.volume_status(tok, vid), "in-use")
        self.assertEqual(self.inventory_object("volumes", vid)["attachment"]["device"], "/dev/vdb")

    def test_body_regex_picks_one_kind_of_login(self):
        self.control.add_fault(method="POST", path=r".*/auth/tokens", body_regex=r'"system"', status=401, times=0)
        self.assertIsNotNone(self.api.login())
        self.assertIsNone(self.api.login(cc.ADMIN, cc.ADMIN_PASSWORD, system=True))

    def test_bad_rules_are_refused(self):
        cases = [{"method": "GET", "statuss": 500}, {"path": "("}, {"path": ".*"}, {"nth": 0, "status": 500},
                 {"header_case": "title"}]
        for rule in cases:
            with self.subTest(rule=rule):
                with self.assertRaises(cc.ControlError) as e:
                    self.control.add_fault(**rule)
                self.assertEqual(e.exception.status, 400)
        self.assertEqual(self.control.faults(), [])

    def test_rules_can_be_removed(self):
        rid = self.control.add_fault(method="GET", path="/cinder/", status=500, times=0)
        self.assertEqual(self.api.request("GET", "/cinder/").status, 500)
        self.control.remove_fault(rid)
        self.assertEqual(self.api.request("GET", "/cinder/").status, 200)
        with self.assertRaises(cc.ControlError):
            self.control.remove_fault(rid)


if __name__ == "__main__":
    unittest.main()

"""Servers, volumes, snapshots and attachments: their states over polls, the
refusals of the real services, and strict parsing of request bodies."""

import unittest

import cloud_control as cc
from cloud_case import CloudCase

# A server request as the module composes it, with N, Z, F, B to fill in.
SERVER_BODY = ('{"server": {"name": "%s", "availability_zone": "nova", "flavorRef" : "c2-m4", '
               '"security_groups": [{"name": "default"}, {"name": "web"}], '
               '"metadata": {"role": "frontend", "weight": "3"},%s'
               '"block_device_mapping_v2": [{"uuid": "%s", "source_type": "volume", '
               '"destination_type": "volume", "boot_index": 0, "delete_on_termination": false}]}}')
NETWORK_PART = '"networks": [{"uuid": "%s","fixed_ip": "%s"}],'


class Transitions(CloudCase):
    def test_transitional_states_last_the_configured_number_of_polls(self):
        for polls in (0, 1, 3):
            with self.subTest(polls=polls):
                self.control.reset(self.seed())
                self.control.set_polls(snapshot_create=polls, volume_create=polls, volume_attach=polls,
                                       volume_detach=polls, server_build=polls)
                tok = self.token()
                sid = self.snapshot_of(tok, cc.WEB_DATA)
                self.assertEqual(self.statuses_until(lambda: self.snapshot_status(tok, sid), "available"),
                                 ["creating"] * polls + ["available"])
                vid = self.volume_from(tok, sid)
                self.assertEqual(self.statuses_until(lambda: self.volume_status(tok, vid), "available"),
                                 ["creating"] * polls + ["available"])
                self.attach(tok, cc.KESTROVA_VM, vid)
                self.assertEqual(self.statuses_until(lambda: self.volume_status(tok, vid), "in-use"),
                                 ["attaching"] * polls + ["in-use"])
                self.call("DELETE", self.nova("/servers/%s/os-volume_attachments/%s" % (cc.KESTROVA_VM, vid)),
                          token=tok, expect=202)
                self.assertEqual(self.statuses_until(lambda: self.volume_status(tok, vid), "available"),
                                 ["detaching"] * polls + ["available"])

    def test_snapshot_and_copy_replies_show_the_requested_values(self):
        tok = self.token()
        r = self.call("POST", self.cinder("/snapshots"),
                      '{"snapshot": {"name": "snapshot-web-data", "description": "c1", '
                      '"volume_id": "%s", "force": true}}' % cc.WEB_DATA, token=tok, expect=202)
        snap = r.json()["snapshot"]
        self.assertEqual((snap["status"], snap["name"], snap["description"], snap["volume_id"], snap["size"]),
                         ("creating", "snapshot-web-data", "c1", cc.WEB_DATA, 2))
        self.statuses_until(lambda: self.snapshot_status(tok, snap["id"]), "available")
        # The copy body exactly as the module writes it.
        r = self.call("POST", self.cinder("/volumes"),
                      '{"volume": {"size": 2, "availability_zone": "nova", "snapshot_id": "%s", '
                      '"description": "Based on snapshot %s", "volume_type": "__DEFAULT__", '
                      '"consistencygroup_id": null, "name": "web-data"}}' % (snap["id"], snap["id"]),
                      token=tok, expect=202)
        vol = r.json()["volume"]
        self.assertEqual((vol["status"], vol["snapshot_id"], vol["size"], vol["bootable"]),
                         ("creating", snap["id"], 2, "false"))

    def test_copies_of_a_boot_volume_keep_bootable_and_image_metadata(self):
        tok = self.token()
        sid = self.snapshot_of(tok, cc.WEB_ROOT)
        self.statuses_until(lambda: self.snapshot_status(tok, sid), "available")
        vid = self.volume_from(tok, sid, size=4)
        self.statuses_until(lambda: self.volume_status(tok, vid), "available")
        v = self.call("GET", self.cinder("/volumes/" + vid), token=tok, expect=200).json()["volume"]
        self.assertEqual(v["bootable"], "true")
        self.assertEqual(v["volume_image_metadata"]["image_id"], cc.IMAGE)
        self.assertEqual(len(v["volume_image_metadata"]), 14)

    def test_attachment_reports_the_next_free_device_and_shows_on_both_sides(self):
        tok = self.token()
        _, v1 = self.ready_volume(tok)
        _, v2 = self.ready_volume(tok)
        self.assertEqual(self.attach(tok, cc.KESTROVA_VM, v1), "/dev/vdb")
        self.assertEqual(self.attach(tok, cc.KESTROVA_VM, v2), "/dev/vdc")
        # While attaching, the block-storage side lists no attachment yet.
        vol = self.call("GET", self.cinder("/volumes/" + v1), token=tok, expect=200).json()["volume"]
        self.assertEqual((vol["status"], vol["attachments"]), ("attaching", []))
        self.statuses_until(lambda: self.volume_status(tok, v1), "in-use")
        vol = self.call("GET", self.cinder("/volumes/" + v1), token=tok, expect=200).json()["volume"]
        self.assertEqual([(a["server_id"], a["device"]) for a in vol["attachments"]], [(cc.KESTROVA_VM, "/dev/vdb")])
        srv = self.call("GET", self.nova("/servers/" + cc.KESTROVA_VM), token=tok, expect=200).json()["server"]
        self.assertEqual([a["id"] for a in srv["os-extended-volumes:volumes_attached"]],
                         ["9e3c5a71-2b8d-4f6e-a1c0-7d4b3e2f1a01", v1, v2])

    def test_refusals_while_objects_are_busy(self):
        tok = self.token()
        sid, vid = self.ready_volume(tok)
        self.attach(tok, cc.KESTROVA_VM, vid)
        detach = self.nova("/servers/%s/os-volume_attachments/%s" % (cc.KESTROVA_VM, vid))
        cases = [
            ("delete a volume while attaching", "DELETE", self.cinder("/volumes/" + vid), 400, "badRequest"),
            ("detach before the attachment completed", "DELETE", detach, 400, "badRequest"),
            ("attach a volume already attaching", "POST", None, 400, "badRequest"),
            ("delete a volume that has snapshots", "DELETE", self.cinder("/volumes/" + cc.WEB_DATA), 400, "badRequest"),
            ("detach the root volume", "DELETE", self.nova("/servers/%s/os-volume_attachments/%s"
                                                            % (cc.WEB, cc.WEB_ROOT)), 400, "badRequest"),
            ("detach a volume of another server", "DELETE", self.nova("/servers/%s/os-volume_attachments/%s"
                                                                       % (cc.WEB, vid)), 404, "itemNotFound"),
        ]
        for name, method, path, status, kind in cases:
            with self.subTest(name):
                if path is None:
                    r = self.api.request("POST", self.nova("/servers/%s/os-volume_attachments" % cc.WEB),
                                         '{"volumeAttachment": {"volumeId": "%s", "device": null}}' % vid, token=tok)
                else:
                    r = self.api.request(method, path, token=tok)
                self.assertEqual(r.status, status, r.body)
                self.assertEqual(r.json()[kind]["code"], status)
        self.statuses_until(lambda: self.volume_status(tok, vid), "in-use")
        self.call("DELETE", self.cinder("/volumes/" + vid), token=tok, expect=400)  # in-use
        self.call("DELETE", detach, token=tok, expect=202)
        self.call("DELETE", self.cinder("/volumes/" + vid), token=tok, expect=400)  # detaching
        self.statuses_until(lambda: self.volume_status(tok, vid), "available")
        self.call("DELETE", self.cinder("/volumes/" + vid), token=tok, expect=202)
        self.call("DELETE", self.cinder("/snapshots/" + sid), token=tok, expect=202)

    def test_deleted_objects_answer_404(self):
        tok = self.token()
        sid, vid = self.ready_volume(tok)
        self.call("DELETE", self.cinder("/volumes/" + vid), token=tok, expect=202)
        self.call("DELETE", self.cinder("/snapshots/" + sid), token=tok, expect=202)
        for path in (self.cinder("/volumes/" + vid), self.cinder("/snapshots/" + sid)):
            for method in ("GET", "DELETE"):
                with self.subTest(path=path, method=method):
                    r = self.call(method, path, token=tok, expect=404)
                    self.assertEqual(r.json()["itemNotFound"]["code"], 404)
        # Detaching what is gone: the error reply the module counts as detached.
        r = self.call("DELETE", self.nova("/servers/%s/os-volume_attachments/%s" % (cc.KESTROVA_VM, vid)),
                      token=tok, expect=404)
        self.assertEqual(r.json(), {"itemNotFound": {"code": 404, "message": "volume_id not found: %s" % vid}})
        inv = self.control.inventory()
        self.assertEqual(inv["deleted"]["volumes"], [vid])
        self.assertEqual(inv["deleted"]["snapshots"], [sid])
        self.assertNotIn(vid, [v["id"] for v in inv["volumes"]])

    def test_objects_cannot_be_deleted_or_copied_while_creating(self):
        tok = self.token()
        sid = self.snapshot_of(tok, cc.WEB_DATA)
        self.call("DELETE", self.cinder("/snapshots/" + sid), token=tok, expect=400)
        r = self.call("POST", self.cinder("/volumes"), {"volume": {"size": 1, "name": "new"}}, token=tok, expect=202)
        self.call("DELETE", self.cinder("/volumes/" + r.json()["volume"]["id"]), token=tok, expect=400)
        r = self.api.request("POST", self.cinder("/volumes"),
                             {"volume": {"size": 2, "snapshot_id": sid, "name": "x"}}, token=tok)
        self.assertEqual(r.status, 400)
        self.statuses_until(lambda: self.snapshot_status(tok, sid), "available")
        r = self.api.request("POST", self.cinder("/volumes"),
                             {"volume": {"size": 1, "snapshot_id": sid, "name": "x"}}, token=tok)
        self.assertEqual(r.status, 400, "a copy smaller than its snapshot")

    def test_deleting_can_take_polls(self):
        self.control.set_polls(volume_delete=2)
        tok = self.token()
        sid, vid = self.ready_volume(tok)
        self.call("DELETE", self.cinder("/volumes/" + vid), token=tok, expect=202)
        self.assertEqual([self.volume_status(tok, vid), self.volume_status(tok, vid)], ["deleting", "deleting"])
        self.call("GET", self.cinder("/volumes/" + vid), token=tok, expect=404)


class Servers(CloudCase):
    def restored_volume(self, tok):
        # An empty bootable volume from the image, as a restore asks for it.
        r = self.call("POST", self.cinder("/volumes"),
                      '{"volume": {"size": 4, "availability_zone": "nova", "imageRef": "%s", '
                      '"description": "root disk of web", "metadata": {"purpose": "root"}, '
                      '"volume_type": "__DEFAULT__", "consistencygroup_id": null, "name": "web-root"}}'
                      % cc.IMAGE, token=tok, expect=202)
        vid = r.json()["volume"]["id"]
        self.statuses_until(lambda: self.volume_status(tok, vid), "available")
        return vid

    def test_a_server_built_from_a_volume_becomes_active_and_holds_it(self):
        tok = self.token()
        boot = self.restored_volume(tok)
        vol = self.call("GET", self.cinder("/volumes/" + boot), token=tok, expect=200).json()["volume"]
        self.assertEqual((vol["bootable"], vol["volume_image_metadata"]["image_id"]), ("true", cc.IMAGE))
        r = self.call("POST", self.nova("/servers"),
                      SERVER_BODY % ("web", NETWORK_PART % (cc.NETWORK, "10.10.0.77"), boot), token=tok, expect=202)
        sid = r.json()["server"]["id"]
        seen = self.statuses_until(
            lambda: self.call("GET", self.nova("/servers/" + sid), token=tok, expect=200).json()["server"]["status"],
            "ACTIVE")
        self.assertEqual(seen, ["BUILD", "ACTIVE"])
        s = self.call("GET", self.nova("/servers/" + sid), token=self.token(True), expect=200).json()["server"]
        self.assertEqual(s["name"], "web")
        self.assertEqual(s["metadata"], {"role": "frontend", "weight": "3"})
        self.assertEqual([g["name"] for g in s["security_groups"]], ["default", "web"])
        self.assertEqual(s["addresses"]["private"][0]["addr"], "10.10.0.77")
        self.assertEqual(s["os-extended-volumes:volumes_attached"], [{"id": boot}])
        self.assertEqual(s["image"], "")
        self.assertIsInstance(s["OS-EXT-SRV-ATTR:instance_name"], str)
        vol = self.call("GET", self.cinder("/volumes/" + boot), token=tok, expect=200).json()["volume"]
        self.assertEqual((vol["status"], vol["attachments"][0]["device"]), ("in-use", "/dev/vda"))
        # Names need not be unique; the list shows both servers called web.
        names = [x["name"] for x in self.call("GET", self.nova("/servers/detail"), token=tok).json()["servers"]]
        self.assertEqual(names.count("web"), 2)

        self.call("DELETE", self.nova("/servers/" + sid), token=tok, expect=204)
        self.call("GET", self.nova("/servers/" + sid), token=tok, expect=404)
        self.assertEqual(self.volume_status(tok, boot), "available")

    def test_server_requests_the_compute_service_refuses(self):
        tok = self.token()
        boot = self.restored_volume(tok)
        two_networks = self.seed()
        two_networks["networks"].append({"id": "1d0c9b8a-7f6e-4d5c-8b4a-3f2e1d0c9b8a", "label": "public",
                                         "cidr": "172.16.0.0/24"})
        cases = [
            ("unknown flavor", SERVER_BODY.replace("c2-m4", "nope") % ("s", "", boot), 400),
            ("unknown security group", SERVER_BODY.replace('"web"}]', '"ghost"}]') % ("s", "", boot), 400),
            ("boot volume in use", SERVER_BODY % ("s", "", cc.WEB_ROOT), 400),
            ("unknown boot volume", SERVER_BODY % ("s", "", "0" * 8), 400),
            ("unknown network", SERVER_BODY % ("s", NETWORK_PART % ("0" * 8, "10.10.0.5"), boot), 400),
            ("address outside the network", SERVER_BODY % ("s", NETWORK_PART % (cc.NETWORK, "10.99.0.5"), boot), 400),
            ("address in use", SERVER_BODY % ("s", NETWORK_PART % (cc.NETWORK, "10.10.0.11"), boot), 409),
            ("metadata value not a string", SERVER_BODY.replace('"3"', "3") % ("s", "", boot), 400),
        ]
        for name, body, status in cases:
            with self.subTest(name):
                r = self.api.request("POST", self.nova("/servers"), body, token=tok)
                self.assertEqual(r.status, status, r.body)
        self.control.reset(two_networks)
        tok = self.token()
        boot = self.restored_volume(tok)
        r = self.api.request("POST", self.nova("/servers"), SERVER_BODY % ("s", "", boot), token=tok)
        self.assertEqual(r.status, 409)
        self.assertIn("Multiple possible networks", r.json()["conflictingRequest"]["message"])
        self.assertEqual(len(self.control.inventory()["servers"]), 2)

    def test_a_volume_boots_a_server_only_when_bootable(self):
        tok = self.token()
        # An empty volume without an image (imageRef null), as a restore of a
        # volume without image metadata asks for it.
        r = self.call("POST", self.cinder("/volumes"),
                      '{"volume": {"size": 4, "availability_zone": "nova", "imageRef": null, "description": null, '
                      '"metadata": {}, "volume_type": "__DEFAULT__", "consistencygroup_id": null, "name": "r"}}',
                      token=tok, expect=202)
        vid = r.json()["volume"]["id"]
        self.statuses_until(lambda: self.volume_status(tok, vid), "available")
        volume = lambda: self.call("GET", self.cinder("/volumes/" + vid), token=tok, expect=200).json()["volume"]
        self.assertEqual(volume()["bootable"], "false")
        r = self.call("POST", self.nova("/servers"), SERVER_BODY % ("s", "", vid), token=tok, expect=400)
        self.assertEqual(r.json(), {"badRequest": {"code": 400, "message": "Block Device %s is not bootable." % vid}})
        self.assertEqual(len(self.control.inventory()["servers"]), 2)

        action = self.cinder("/volumes/%s/action" % vid)
        refused = [
            ('{"os-set_bootable": {}}', 400, "Must specify bootable in request."),
            ('{"os-set_bootable": {"bootable": "maybe"}}', 400, "Bad value for 'bootable'"),
            ('{"os-extend": {"new_size": 5}}', 400, "There is no such action: os-extend"),
        ]
        for body, status, message in refused:
            with self.subTest(body=body):
                r = self.call("POST", action, body, token=tok, expect=status)
                self.assertEqual(r.json()["badRequest"]["message"], message)
        self.call("POST", self.cinder("/volumes/%s/action" % ("0" * 8)), '{"os-set_bootable": {"bootable": true}}',
                  token=tok, expect=404)
        self.assertEqual(volume()["bootable"], "false")

        r = self.call("POST", action, '{"os-set_bootable": {"bootable": true}}', token=tok, expect=200)
        self.assertEqual(r.body, b"")
        self.assertEqual(volume()["bootable"], "true")
        self.call("POST", self.nova("/servers"), SERVER_BODY % ("s", "", vid), token=tok, expect=202)
        self.call("POST", action, '{"os-set_bootable": {"bootable": "false"}}', token=tok, expect=200)
        self.assertEqual(volume()["bootable"], "false")

    def test_an_image_that_is_gone_is_refused(self):
        tok = self.token()
        r = self.call("POST", self.cinder("/volumes"),
                      '{"volume": {"size": 4, "imageRef": "%s", "name": "r"}}' % ("0" * 8), token=tok, expect=400)
        self.assertEqual(r.json(), {"badRequest": {
            "code": 400, "message": "Invalid image identifier or unable to access requested image."}})

    def test_server_lists_come_in_pages_linked_under_the_compute_endpoint(self):
        tok = self.token()
        for name in ("a", "b", "c"):
            self.control.add_object("servers", {"name": name})
        self.control.call("POST", "options", {"server_page_limit": 2})
        prefix = "http://nova-api.internal.invalid:8774/v2.1/servers/detail?"
        pages, links = [], []
        query = ""
        for _ in range(5):
            reply = self.call("GET", self.nova("/servers/detail") + query, token=tok, expect=200).json()
            pages.append([s["name"] for s in reply["servers"]])
            if "servers_links" not in reply:
                break
            self.assertEqual(list(reply), ["servers", "servers_links"])
            (link,) = reply["servers_links"]
            self.assertEqual(link["rel"], "next")
            self.assertTrue(link["href"].startswith(prefix), link["href"])
            links.append(link["href"][len(prefix):])
            query = "?" + links[-1]
        self.assertEqual(pages, [["kestrova-vm", "web"], ["a", "b"], ["c"]])
        ids = [s["id"] for s in self.control.inventory()["servers"]]
        self.assertEqual(links, ["marker=" + ids[1], "marker=" + ids[3]])

        # A smaller limit asked for is kept in the link; a page that is just
        # full links one more, empty page.
        reply = self.call("GET", self.nova("/servers/detail?limit=1&marker=" + ids[3]), token=tok, expect=200).json()
        self.assertEqual([s["name"] for s in reply["servers"]], ["c"])
        self.assertEqual(reply["servers_links"][0]["href"], prefix + "limit=1&marker=" + ids[4])
        reply = self.call("GET", self.nova("/servers/detail?marker=" + ids[4]), token=tok, expect=200).json()
        self.assertEqual(reply, {"servers": []})
        for query, message in (("?marker=ghost", "marker [ghost] not found"), ("?limit=x", "limit param must be an integer")):
            with self.subTest(query=query):
                r = self.call("GET", self.nova("/servers/detail") + query, token=tok, expect=400)
                self.assertEqual(r.json()["badRequest"]["message"], message)

    def test_attach_needs_a_running_server(self):
        tok = self.token()
        boot = self.restored_volume(tok)
        sid = self.call("POST", self.nova("/servers"), SERVER_BODY % ("s", "", boot), token=tok,
                        expect=202).json()["server"]["id"]
        _, vid = self.ready_volume(tok)
        r = self.api.request("POST", self.nova("/servers/%s/os-volume_attachments" % sid),
                             '{"volumeAttachment": {"volumeId": "%s", "device": null}}' % vid, token=tok)
        self.assertEqual(r.status, 409)
        self.statuses_until(lambda: self.call("GET", self.nova("/servers/" + sid), token=tok).json()["server"]["status"],
                            "ACTIVE")
        self.assertEqual(self.attach(tok, sid, vid), "/dev/vdb")


class StrictBodies(CloudCase):
    def test_malformed_bodies_are_400_and_change_nothing(self):
        tok = self.token()
        good = {
            "login": ("/keystone/v3/auth/tokens",
                      '{"auth": {"identity": {"methods": ["password"], "password": {"user": {"name": "kestrova", '
                      '"domain": {"id": "default"}, "password": "kestrova-pass"}}}}}'),
            "snapshot": (self.cinder("/snapshots"),
                         '{"snapshot": {"name": "n", "description": "d", "volume_id": "%s", "force": true}}'
                         % cc.WEB_DATA),
            "volume": (self.cinder("/volumes"), '{"volume": {"size": 1, "name": "n"}}'),
            "server": (self.nova("/servers"), SERVER_BODY % ("s", "", "x")),
            "attach": (self.nova("/servers/%s/os-volume_attachments" % cc.KESTROVA_VM),
                       '{"volumeAttachment": {"volumeId": "%s", "device": null}}' % cc.WEB_DATA),
        }
        spoil = [
            ("truncated", lambda b: b[:-1]),
            ("trailing text", lambda b: b + " x"),
            ("second value", lambda b: b + "{}"),
            ("unescaped quote", lambda b: b.replace('{"', '{"a"b', 1)),
            ("raw control character", lambda b: b.replace('{"', '{"\x01', 1)),
            ("NaN", lambda b: b[:-1] + ', "x": NaN}'),
            ("repeated member", lambda b: b[:-1] + ', "%s": {}}' % b[2:b.index('"', 2)]),
            ("single quotes", lambda b: b.replace('"', "'")),
            ("not an object", lambda b: "[" + b + "]"),
            ("empty", lambda b: ""),
        ]
        before = self.control.inventory()
        for what, (path, body) in good.items():
            for name, f in spoil:
                with self.subTest(request=what, body=name):
                    r = self.api.request("POST", path, f(body), token=None if what == "login" else tok)
                    self.assertEqual(r.status, 400, r.body)
                    reply = r.json()
                    if what == "login":
                        self.assertEqual(reply["error"]["code"], 400)
                    else:
                        self.assertEqual(reply, {"badRequest": {"code": 400, "message": "Malformed request body"}})
            with self.subTest(request=what, body="invalid UTF-8"):
                r = self.api.request("POST", path, body.replace('"', '"\xff', 1).encode("latin-1"),
                                     token=None if what == "login" else tok)
                self.assertEqual(r.status, 400)
        after = self.control.inventory()
        for kind in ("servers", "volumes", "snapshots", "attachments"):
            self.assertEqual(after[kind], before[kind], kind)
        self.assertEqual(after["tokens"]["issued"], before["tokens"]["issued"])


if __name__ == "__main__":
    unittest.main()

"""The volume and snapshot lists with their filters, as a client finds an
object whose create request gave no id."""

import unittest
from urllib.parse import quote

import cloud_control as cc
from cloud_case import CloudCase


class Lists(CloudCase):
    def ids(self, tok, path, kind):
        return [o["id"] for o in self.call("GET", self.cinder(path), token=tok, expect=200).json()[kind]]

    def test_volume_filters_are_exact_and_combine(self):
        tok = self.token()
        sid, first = self.ready_volume(tok)
        second = self.volume_from(tok, sid)
        self.control.set_object("volumes", second, name="copy two")
        cases = [("", [second, first, cc.WEB_DATA, cc.WEB_ROOT]),  # newest first
                 ("?name=copy", [first]),
                 ("?name=" + quote("copy two"), [second]),
                 ("?name=cop", []),
                 ("?name=copy&status=available", [first]),
                 ("?status=creating", [second]),
                 ("?bootable=true", [cc.WEB_ROOT]),
                 ("?size=2&name=copy", [first]),
                 ("?availability_zone=elsewhere", []),
                 ("?name=copy&limit=10&sort=created_at:desc", [first])]
        for query, expected in cases:
            with self.subTest(query=query):
                got = [i for i in self.ids(tok, "/volumes/detail" + query, "volumes")
                       if i in (first, second, cc.WEB_DATA, cc.WEB_ROOT)]
                self.assertEqual(got, expected)

    def test_metadata_filter_needs_every_pair(self):
        tok = self.token()
        self.control.set_object("volumes", cc.WEB_DATA, metadata={"role": "data", "tier": "1"})
        cases = [({"role": "data"}, [cc.WEB_DATA]), ({"role": "data", "tier": "1"}, [cc.WEB_DATA]),
                 ({"role": "data", "tier": "2"}, []), ({"other": "x"}, [])]
        for wanted, expected in cases:
            with self.subTest(wanted=wanted):
                query = "?metadata=" + quote('{%s}' % ", ".join('"%s": "%s"' % kv for kv in wanted.items()))
                self.assertEqual(self.ids(tok, "/volumes/detail" + query, "volumes"), expected)

    def test_snapshot_list_filters_by_volume_and_name(self):
        tok = self.token()
        a = self.snapshot_of(tok, cc.WEB_DATA, name="snapshot-web-data")
        b = self.snapshot_of(tok, cc.WEB_ROOT, name="snapshot-web-data")
        view = self.call("GET", self.cinder("/snapshots/detail?volume_id=" + cc.WEB_DATA), token=tok,
                         expect=200).json()["snapshots"]
        self.assertEqual([(s["id"], s["description"], s["status"]) for s in view], [(a, "d", "creating")])
        self.assertEqual(self.ids(tok, "/snapshots/detail?name=snapshot-web-data", "snapshots"), [b, a])
        self.assertEqual(self.ids(tok, "/snapshots/detail?name=other", "snapshots"), [])

    def test_lists_are_paged_as_cinder_pages_them(self):
        tok = self.token()
        a = self.snapshot_of(tok, cc.WEB_DATA, name="s")
        b = self.snapshot_of(tok, cc.WEB_DATA, name="s")
        c = self.snapshot_of(tok, cc.WEB_DATA, name="s")
        self.snapshot_of(tok, cc.WEB_ROOT, name="s")
        self.control.call("POST", "options", {"volume_page_limit": 2})
        base = "http://127.0.0.1:%d/cinder/v3/%s/snapshots/detail" % (self.cloud.port, cc.PROJECT)

        def page(query):
            reply = self.call("GET", self.cinder("/snapshots/detail" + query), token=tok, expect=200).json()
            return [s["id"] for s in reply["snapshots"]], reply.get("snapshots_links")

        # Newest first; a full page links the next with the same filters.
        first, links = page("?volume_id=" + cc.WEB_DATA)
        self.assertEqual(first, [c, b])
        self.assertEqual(links, [{"rel": "next", "href": "%s?volume_id=%s&marker=%s" % (base, cc.WEB_DATA, b)}])
        second, links = page(links[0]["href"][len(base):])
        self.assertEqual((second, links), ([a], None))
        # A smaller limit asked for cuts the page; the page limit caps it.
        self.assertEqual(page("?volume_id=%s&limit=1" % cc.WEB_DATA)[0], [c])
        self.assertEqual(page("?volume_id=%s&limit=5" % cc.WEB_DATA)[0], [c, b])
        # The last full page links an empty one.
        self.assertEqual(page("?volume_id=%s&marker=%s" % (cc.WEB_DATA, c))[0], [b, a])
        self.assertEqual(page("?volume_id=%s&marker=%s" % (cc.WEB_DATA, a)), ([], None))
        # The volumes the same way, under the configured public endpoint.
        self.control.call("POST", "options", {"volume_link_prefix": "http://cinder.internal.invalid:8776/"})
        vols = self.call("GET", self.cinder("/volumes/detail"), token=tok, expect=200).json()
        self.assertEqual([v["id"] for v in vols["volumes"]], [cc.WEB_DATA, cc.WEB_ROOT])
        self.assertEqual(vols["volumes_links"][0]["href"], "http://cinder.internal.invalid:8776/v3/%s/volumes/detail"
                         "?marker=%s" % (cc.PROJECT, cc.WEB_ROOT))
        for query, status in (("?marker=nope", 404), ("?limit=x", 400)):
            with self.subTest(query=query):
                self.call("GET", self.cinder("/volumes/detail" + query), token=tok, expect=status)

    def test_unknown_filters_and_other_projects_are_refused(self):
        tok = self.token()
        for path in ("/volumes/detail?description=x", "/snapshots/detail?bootable=true",
                     "/volumes/detail?name=%ff"):
            with self.subTest(path=path):
                r = self.call("GET", self.cinder(path), token=tok, expect=400)
                self.assertEqual(r.json()["badRequest"]["code"], 400)
        self.call("GET", self.cinder("/volumes/detail", project="another"), token=tok, expect=400)
        self.call("GET", self.cinder("/volumes/detail"), expect=401)


if __name__ == "__main__":
    unittest.main()

"""Version documents, password login, token scopes and token expiry."""

import re
import time
import unittest

import cloud_control as cc
from cloud_case import CloudCase, as_json, raw_post

# The login bodies exactly as the module composes them (no escaping, odd blanks).
USER_BODY = ('{ "auth": {"identity": { "methods": ["password"],"password": {"user": { "name": "%s",'
             '"domain": { "id": "%s" },"password": "%s"}}}, "scope": { "project": { "id": "%s"}}}}')
ADMIN_BODY = ('{ "auth": {"identity": { "methods": ["password"],"password": {"user": { "name": "%s",'
              '"domain": { "id": "%s" },"password": "%s"}}},"scope": { "system": { "all": true }}}}')

LOGIN_HEAD = re.compile(
    rb"HTTP/1\.1 201 Created\r\n"
    rb"Date: [A-Z][a-z]{2}, \d{2} [A-Z][a-z]{2} \d{4} \d{2}:\d{2}:\d{2} GMT\r\n"
    rb"Server: standin-cloud/1\.0\r\n"
    rb"Content-Type: application/json\r\n"
    rb"Content-Length: (\d+)\r\n"
    rb"X-Subject-Token: (gAAAAAB[A-Za-z0-9_-]{150,})\r\n"
    rb"Vary: X-Auth-Token\r\n"
    rb"x-openstack-request-id: req-[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\r\n"
    rb"\r\n")


def token_by_markers(reply):
    """The token candidate as the module finds it: after the first
    "X-Subject-Token: " up to "Vary: X-Auth-Token" (any case)."""
    low = reply.lower()
    start = low.find(b"x-subject-token: ")
    if start < 0:
        return b""
    start += len(b"x-subject-token: ")
    ends = [i for i in (low.find(b"x-subject-token: ", start), low.find(b"vary: x-auth-token", start)) if i >= 0]
    return reply[start:min(ends)] if ends else reply[start:]


class VersionDocuments(CloudCase):
    def test_each_service_answers_its_version_document_without_a_token(self):
        cases = [("/keystone/v3/", lambda d: (d["version"]["id"], d["version"]["status"]), ("v3.14", "stable")),
                 ("/keystone/v3", lambda d: (d["version"]["id"], d["version"]["status"]), ("v3.14", "stable")),
                 ("/nova-api/", lambda d: [v["id"] for v in d["versions"] if v["status"] == "CURRENT"], ["v2.1"]),
                 ("/cinder/", lambda d: [v["id"] for v in d["versions"] if v["status"] == "CURRENT"], ["v3.0"])]
        for path, pick, expected in cases:
            with self.subTest(path=path):
                r = self.call("GET", path, expect=200)
                self.assertEqual(pick(r.json()), expected)
                self.assertEqual(r.header("Content-Type"), "application/json")
        self.assertTrue(all(e["token_scope"] is None for e in self.control.log()))

    def test_the_identity_root_lists_its_versions_and_redirects_to_the_published_v3(self):
        base = "http://127.0.0.1:%d" % self.cloud.port
        cases = [("", base + "/keystone/v3/"),
                 ("http://localhost:@PORT@/keystone/", "http://localhost:%d/keystone/v3/" % self.cloud.port),
                 ("http://127.0.0.1:5000", "http://127.0.0.1:5000/v3/")]
        for endpoint, location in cases:
            with self.subTest(endpoint=endpoint):
                self.control.call("POST", "options", {"identity_endpoint": endpoint})
                root = self.call("GET", "/keystone/", expect=300)
                self.assertEqual(root.header("Location"), location)
                values = root.json()["versions"]["values"]
                self.assertEqual([(v["id"], v["status"], v["links"][0]["href"]) for v in values],
                                 [("v3.14", "stable", location)])
                self.assertNotIn("version", root.json())
                doc = self.call("GET", "/keystone/v3/", expect=200).json()["version"]
                self.assertEqual(doc["links"][0]["href"], location)

    def test_options_are_checked_and_come_back_with_a_reset(self):
        for bad in ({"identity_endpoint": 5}, {"server_page_limit": 0}, {"server_page_limit": "2"},
                    {"volume_page_limit": 0}, {"volume_link_prefix": 1}, {"colour": "blue"}):
            with self.subTest(options=bad):
                with self.assertRaises(cc.ControlError) as e:
                    self.control.call("POST", "options", bad)
                self.assertEqual(e.exception.status, 400)
        self.control.call("POST", "options", {"server_page_limit": 1})
        self.assertEqual(self.control.inventory()["options"]["server_page_limit"], 1)
        seed = cc.standard_seed()
        seed["options"]["identity_endpoint"] = "https://id.cloud.test/"
        self.control.reset(seed)
        self.assertEqual(self.control.call("GET", "options")["options"],
                         {"identity_endpoint": "https://id.cloud.test/", "server_page_limit": 1000,
                          "compute_link_prefix": "http://nova-api.internal.invalid:8774/v2.1",
                          "volume_link_prefix": "", "volume_page_limit": 1000})

    def test_services_are_served_under_the_segment_of_their_current_version(self):
        seed = cc.standard_seed()
        seed["options"]["api_versions"] = {"compute": "v3.7", "volume": "v4.0", "identity": "v5"}
        self.control.reset(seed)
        self.assertEqual(self.call("GET", "/keystone/", expect=300).json()["versions"]["values"][0]["id"], "v5")
        self.assertEqual(self.call("GET", "/keystone/v5/", expect=200).json()["version"]["id"], "v5")
        token = self.api.request("POST", "/keystone/v5/auth/tokens",
                                 USER_BODY % (cc.USER, "default", cc.PASSWORD, cc.PROJECT)).header("X-Subject-Token")
        self.assertIsNotNone(token)
        self.call("GET", "/nova-api/v3/servers/detail", token=token, expect=200)
        self.call("GET", "/cinder/v4/%s/volumes/%s" % (cc.PROJECT, cc.WEB_DATA), token=token, expect=200)
        for old in ("/nova-api/v2/servers/detail", "/nova-api/v3.7/servers/detail",
                    "/cinder/v3/%s/volumes/%s" % (cc.PROJECT, cc.WEB_DATA)):
            with self.subTest(path=old):
                self.call("GET", old, token=token, expect=404)


class Login(CloudCase):
    def login_raw(self, body, **kw):
        return raw_post(self.cloud.port, "/keystone/v3/auth/tokens", body, **kw)

    def test_project_and_system_logins_answer_201_with_the_token_header_before_vary(self):
        cases = [("project", USER_BODY % (cc.USER, "default", cc.PASSWORD, cc.PROJECT), "project"),
                 ("system", ADMIN_BODY % (cc.ADMIN, "default", cc.ADMIN_PASSWORD), "system")]
        for name, body, scope in cases:
            with self.subTest(scope=name):
                head, payload = self.login_raw(body)
                m = LOGIN_HEAD.fullmatch(head)
                self.assertIsNotNone(m, head)
                self.assertEqual(int(m.group(1)), len(payload))
                token = m.group(2)
                # The module's way of cutting the token out of the reply.
                self.assertEqual(token_by_markers(head + payload), token + b"\r\n")
                t = as_json(payload)["token"]
                self.assertEqual(t["methods"], ["password"])
                if scope == "project":
                    self.assertEqual(t["project"]["id"], cc.PROJECT)
                    self.assertNotIn("system", t)
                else:
                    self.assertEqual(t["system"], {"all": True})
                    self.assertNotIn("project", t)
                # The token works for what its scope allows.
                path = "/nova-api/v2/servers/detail" if scope == "project" else "/nova-api/v2/os-hypervisors/detail"
                self.call("GET", path, token=token.decode(), expect=200)

    def test_refused_logins_carry_no_token(self):
        cases = [
            ("wrong password", USER_BODY % (cc.USER, "default", "nope", cc.PROJECT), 401),
            ("unknown user", USER_BODY % ("ghost", "default", cc.PASSWORD, cc.PROJECT), 401),
            ("other domain", USER_BODY % (cc.USER, "elsewhere", cc.PASSWORD, cc.PROJECT), 401),
            ("unknown project", USER_BODY % (cc.USER, "default", cc.PASSWORD, "f" * 32), 401),
            ("system scope without the role", ADMIN_BODY % (cc.USER, "default", cc.PASSWORD), 401),
            ("password with an unescaped quote", USER_BODY % (cc.USER, "default", 'pa"ss', cc.PROJECT), 400),
            ("truncated body", (USER_BODY % (cc.USER, "default", cc.PASSWORD, cc.PROJECT))[:-2], 400),
            ("not an object", '["auth"]', 400),
            ("no password method", '{"auth": {"identity": {"methods": ["token"]}}}', 401),
        ]
        for name, body, status in cases:
            with self.subTest(name):
                head, payload = self.login_raw(body)
                self.assertTrue(head.startswith(b"HTTP/1.1 %d " % status), head)
                self.assertNotIn(b"x-subject-token", head.lower())
                err = as_json(payload)["error"]
                self.assertEqual(err["code"], status)
                if status == 401:
                    self.assertIn(b'WWW-Authenticate: Keystone uri="', head)
        self.assertEqual(self.control.inventory()["tokens"]["issued"], 0)

    def test_a_password_with_quote_and_backslash_logs_in_when_escaped(self):
        seed = cc.standard_seed()
        seed["users"][0]["password"] = 'a"b\\c'
        self.control.reset(seed)
        head, _ = self.login_raw(USER_BODY % (cc.USER, "default", r'a\"b\\c', cc.PROJECT))
        self.assertIsNotNone(LOGIN_HEAD.fullmatch(head), head)

    def test_a_body_that_is_not_declared_json_is_refused(self):
        head, _ = self.login_raw(USER_BODY % (cc.USER, "default", cc.PASSWORD, cc.PROJECT),
                                 content_type="application/x-www-form-urlencoded")
        self.assertTrue(head.startswith(b"HTTP/1.1 415 "), head)

    def test_the_token_header_can_be_written_in_lower_case_or_without_vary(self):
        self.control.add_fault(method="POST", path=r"/keystone/v3/auth/tokens", header_case="lower", times=0)
        head, _ = self.login_raw(USER_BODY % (cc.USER, "default", cc.PASSWORD, cc.PROJECT))
        self.assertRegex(head, rb"\r\nx-subject-token: gAAAAAB[A-Za-z0-9_-]+\r\nvary: X-Auth-Token\r\n")
        self.control.clear_faults()
        self.control.add_fault(method="POST", path=r".*/auth/tokens", drop_headers=["Vary"])
        head, _ = self.login_raw(USER_BODY % (cc.USER, "default", cc.PASSWORD, cc.PROJECT))
        self.assertRegex(head, rb"\r\nX-Subject-Token: gAAAAAB[A-Za-z0-9_-]+\r\nx-openstack-request-id: ")


class Scopes(CloudCase):
    def test_what_each_scope_may_read(self):
        project, system = self.token(), self.token(system=True)
        cases = [
            ("servers with project token", "/nova-api/v2/servers/detail", project, 200),
            ("hypervisors with project token", "/nova-api/v2/os-hypervisors/detail", project, 403),
            ("hypervisors with system token", "/nova-api/v2/os-hypervisors/detail", system, 200),
            ("networks with project token", "/nova-api/v2/os-networks", project, 200),
            ("server with system token", "/nova-api/v2/servers/" + cc.WEB, system, 200),
            ("volume with project token", self.cinder("/volumes/" + cc.WEB_DATA), project, 200),
            ("volume with system token", self.cinder("/volumes/" + cc.WEB_DATA), system, 400),
            ("volume under another project", self.cinder("/volumes/" + cc.WEB_DATA, "0" * 32), project, 400),
            ("no token", "/nova-api/v2/servers/detail", None, 401),
            ("made-up token", "/nova-api/v2/servers/detail", "gAAAAABnot-a-token", 401),
        ]
        for name, path, tok, status in cases:
            with self.subTest(name):
                r = self.api.request("GET", path, token=tok) if tok else self.api.request("GET", path)
                self.assertEqual(r.status, status, r.body)
                if status == 401:
                    self.assertEqual(r.json()["error"]["code"], 401)
                    self.assertTrue(r.header("WWW-Authenticate").startswith('Keystone uri="http://127.0.0.1:'))
                if status == 403:
                    self.assertEqual(r.json()["forbidden"]["code"], 403)

    def test_hypervisor_fields_of_a_server_need_the_system_token(self):
        admin_fields = {"OS-EXT-SRV-ATTR:host", "OS-EXT-SRV-ATTR:instance_name",
                        "OS-EXT-SRV-ATTR:hypervisor_hostname"}
        as_project = self.call("GET", self.nova("/servers/" + cc.WEB), token=self.token(), expect=200)
        self.assertFalse(admin_fields & set(as_project.json()["server"]))
        as_system = self.call("GET", self.nova("/servers/" + cc.WEB), token=self.token(True), expect=200)
        s = as_system.json()["server"]
        self.assertEqual((s["OS-EXT-SRV-ATTR:host"], s["OS-EXT-SRV-ATTR:instance_name"],
                          s["OS-EXT-SRV-ATTR:hypervisor_hostname"]),
                         ("node2", "instance-0000002a", "node2.cloud.test"))
        hyp = self.call("GET", self.nova("/os-hypervisors/detail"), token=self.token(True), expect=200).json()
        self.assertEqual([(h["hypervisor_hostname"], h["hypervisor_type"], h["host_ip"]) for h in hyp["hypervisors"]],
                         [("node1.cloud.test", "QEMU", "192.168.100.11"), ("node2.cloud.test", "QEMU", "192.168.100.12")])

    def test_expired_tokens_are_refused_until_a_new_login(self):
        project, system = self.token(), self.token(system=True)
        self.assertEqual(self.control.expire_tokens("project"), 1)
        self.call("GET", self.nova("/servers/detail"), token=project, expect=401)
        self.call("GET", self.nova("/os-hypervisors/detail"), token=system, expect=200)
        fresh = self.token()
        self.call("GET", self.nova("/servers/detail"), token=fresh, expect=200)
        self.assertEqual(self.control.expire_tokens(), 2)
        self.call("GET", self.nova("/os-hypervisors/detail"), token=system, expect=401)
        self.call("GET", self.nova("/servers/detail"), token=fresh, expect=401)
        self.assertEqual([e["token_scope"] for e in self.control.log()][-2:], ["invalid", "invalid"])

    def test_tokens_die_after_their_lifetime(self):
        seed = cc.standard_seed()
        seed["options"]["token_ttl"] = 0.3
        self.control.reset(seed)
        tok = self.token()
        self.call("GET", self.nova("/servers/detail"), token=tok, expect=200)
        time.sleep(0.5)
        self.call("GET", self.nova("/servers/detail"), token=tok, expect=401)


if __name__ == "__main__":
    unittest.main()

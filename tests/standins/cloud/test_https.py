"""HTTPS mode with a certificate made by openssl."""

import http.client
import socket
import ssl
import subprocess
import tempfile
import unittest

import cloud_control as cc


class Https(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory(prefix="fake_cloud_tls.")
        cls.cert, key = cc.make_certificate(cls.work.name)
        cls.cloud = cc.FakeCloud(cert=cls.cert, key=key)

    @classmethod
    def tearDownClass(cls):
        cls.cloud.stop()
        cls.work.cleanup()

    def test_services_answer_over_tls_to_a_client_that_trusts_the_certificate(self):
        self.assertTrue(self.cloud.base_url.startswith("https://127.0.0.1:"))
        api = cc.CloudClient(self.cloud.base_url, cafile=self.cert)
        root = api.request("GET", "/keystone/")
        self.assertEqual((root.status, root.header("Location")), (300, self.cloud.base_url + "/keystone/v3/"))
        version = api.request("GET", "/keystone/v3/")
        self.assertEqual(version.status, 200)
        self.assertEqual(version.json()["version"]["links"][0]["href"], self.cloud.base_url + "/keystone/v3/")
        tok = api.login()
        self.assertIsNotNone(tok)
        self.assertEqual(api.request("GET", "/nova-api/v2/servers/detail", token=tok).status, 200)
        self.assertEqual(self.cloud.control.health(), {"ok": True})

    def test_openssl_verifies_the_chain_and_names_the_peer(self):
        r = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % self.cloud.port,
                            "-CAfile", self.cert, "-verify_ip", "127.0.0.1", "-verify_return_error",
                            "-brief"], input=b"", capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"Verification: OK", r.stderr)

    def test_untrusting_and_plain_clients_fail_and_the_server_survives(self):
        with self.assertRaises(ssl.SSLCertVerificationError):
            cc.CloudClient(self.cloud.base_url).request("GET", "/keystone/")
        plain = http.client.HTTPConnection("127.0.0.1", self.cloud.port, timeout=10)
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionError, http.client.BadStatusLine)):
            plain.request("GET", "/keystone/")
            plain.getresponse()
        plain.close()
        # A client that connects and says nothing does not block others.
        idle = socket.create_connection(("127.0.0.1", self.cloud.port))
        try:
            api = cc.CloudClient(self.cloud.base_url, cafile=self.cert)
            self.assertEqual(api.request("GET", "/cinder/").status, 200)
        finally:
            idle.close()


if __name__ == "__main__":
    unittest.main()

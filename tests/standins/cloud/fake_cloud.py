#!/usr/bin/env python3
"""Stand-in for the cloud's identity, compute and block-storage REST services.

For tests only.  Serves under one base URL:
  /keystone/            identity root (300 with its versions and a Location
                        of the v3 document), the v3 document, password login
  /nova-api/            compute versions; /nova-api/<v>/... servers,
                        hypervisors, networks, volume attachments
  /cinder/              block-storage versions; /cinder/<v>/<project>/...
                        volumes and snapshots
  /_control/...         the tests' own interface (inventory, request log,
                        fault rules, tokens, objects, reset); see README.md

  fake_cloud.py --seed SEED.json [--port-file F] [--cert C --key K]
                [--data-dir D] [--hooks H.py] [--watch-stdin]

It binds 127.0.0.1 on a free port and prints "LISTENING <port>" once ready.
The cloud's state and its transitions live in cloud_state.py.
"""

import argparse
import email.utils
import http.server
import importlib.util
import ipaddress
import json
import os
import re
import secrets
import signal
import ssl
import sys
import threading
import time
import traceback
import uuid
from http import HTTPStatus
from urllib.parse import parse_qs, urlencode

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cloud_state as cs  # noqa: E402
from cloud_state import ApiError  # noqa: E402

SERVER_HEADER = "standin-cloud/1.0"

UNAUTHORIZED = "The request you have made requires authentication."

# Names of the fault objects the compute and block-storage services reply with.
FAULT_KINDS = {400: "badRequest", 401: "unauthorized", 403: "forbidden", 404: "itemNotFound",
               405: "badMethod", 409: "conflictingRequest", 413: "overLimit",
               415: "badMediaType", 500: "computeFault", 501: "notImplemented",
               503: "serviceUnavailable"}

OK_VOLUME_DELETE = ("available", "error", "error_restoring", "error_extending", "error_managing")
OK_SNAPSHOT_DELETE = ("available", "error")


def phrase(status):
    try:
        return HTTPStatus(status).phrase
    except ValueError:
        return "Unknown"


class BadJson(ValueError):
    pass


def parse_json_strict(raw):
    """Parses a request body as the services do, and stricter: UTF-8 only, no
    NaN or Infinity, no repeated member names, nothing after the value."""

    def pairs(items):
        seen = {}
        for k, v in items:
            if k in seen:
                raise BadJson("duplicate member %r" % k)
            seen[k] = v
        return seen

    def constant(name):
        raise BadJson("%s is not JSON" % name)

    try:
        text = raw.decode("utf-8")
        return json.loads(text, object_pairs_hook=pairs, parse_constant=constant)
    except (UnicodeDecodeError, ValueError) as e:
        raise BadJson(str(e))


class Request:
    def __init__(self, method, target, headers, body):
        self.method = method
        path, _, query = target.partition("?")
        self.path = path
        self.query = query
        self.headers = headers  # list of (name, value) in the order received
        self.body = body
        self.base = ""
        self.port = 0  # the stand-in's own port

    def header(self, name):
        name = name.lower()
        for n, v in self.headers:
            if n.lower() == name:
                return v
        return None

    def json(self):
        """The body as a JSON object, or the service's 400."""
        ctype = self.header("Content-Type")
        if ctype is not None and ctype.split(";")[0].strip().lower() != "application/json":
            raise ApiError(415, "Unsupported Content-Type")
        if not self.body:
            raise ApiError(400, "Malformed request body")
        try:
            value = parse_json_strict(self.body)
        except BadJson:
            raise ApiError(400, "Malformed request body")
        if not isinstance(value, dict):
            raise ApiError(400, "Malformed request body")
        return value


class Reply:
    def __init__(self, status, body=None, headers=None, target=None, raw=None):
        self.status = status
        self.body = body  # a JSON value, or None
        self.raw = raw  # bytes sent as they are, instead of body
        self.headers = headers or []  # service-specific headers, in order
        self.target = target  # the cloud object the request worked on

    def payload(self):
        if self.raw is not None:
            return self.raw
        if self.body is None:
            return b""
        return json.dumps(self.body).encode()


# ====================================================================== services

def _string_or_null(value, field):
    if value is not None and not isinstance(value, str):
        raise ApiError(400, "Invalid input for field/attribute %s. Value: %s. %r is not of type "
                       "'string', 'null'" % (field, json.dumps(value), value))
    return value


def _string_metadata(value, field="metadata"):
    if value is None:
        return {}
    if not isinstance(value, dict) or any(not isinstance(v, str) or len(v) > 255 for v in value.values()):
        raise ApiError(400, "Invalid input for field/attribute %s. Value: %s." % (field, json.dumps(value)))
    return dict(value)


def _bool_from(value, field):
    if isinstance(value, bool):
        return value
    if isinstance(value, str) and value.lower() in ("true", "false", "1", "0", "yes", "no", "on", "off"):
        return value.lower() in ("true", "1", "yes", "on")
    raise ApiError(400, "Invalid input received: Invalid value for %s: %s" % (field, json.dumps(value)))


class Services:
    """The three REST services over one `Cloud`."""

    def __init__(self, cloud):
        self.cloud = cloud
        self.routes = self._routes()

    # ------------------------------------------------------------ routing
    def _routes(self):
        c = self.cloud
        ks = re.escape(c.identity_version.split(".")[0])
        nv = "/nova-api/" + re.escape(c.compute_version.split(".")[0])
        cv = "/cinder/" + re.escape(c.volume_version.split(".")[0]) + "/(?P<project>[^/]+)"
        table = [
            ("identity", "GET", r"/keystone/", self.identity_versions),
            ("identity", "GET", r"/keystone/" + ks + r"/?", self.identity_version),
            ("compute", "GET", r"/nova-api/", self.compute_versions),
            ("volume", "GET", r"/cinder/", self.volume_versions),
            ("identity", "POST", r"/keystone/" + ks + r"/auth/tokens", self.login),
            ("compute", "GET", nv + r"/servers/detail", self.list_servers),
            ("compute", "GET", nv + r"/servers/(?P<sid>[^/]+)", self.show_server),
            ("compute", "DELETE", nv + r"/servers/(?P<sid>[^/]+)", self.delete_server),
            ("compute", "POST", nv + r"/servers", self.create_server),
            ("compute", "GET", nv + r"/os-hypervisors/detail", self.list_hypervisors),
            ("compute", "GET", nv + r"/os-networks", self.list_networks),
            ("compute", "POST", nv + r"/servers/(?P<sid>[^/]+)/os-volume_attachments", self.attach),
            ("compute", "DELETE", nv + r"/servers/(?P<sid>[^/]+)/os-volume_attachments/(?P<vid>[^/]+)",
             self.detach),
            ("volume", "GET", cv + r"/volumes/detail", self.list_volumes),
            ("volume", "GET", cv + r"/snapshots/detail", self.list_snapshots),
            ("volume", "GET", cv + r"/volumes/(?P<vid>[^/]+)", self.show_volume),
            ("volume", "DELETE", cv + r"/volumes/(?P<vid>[^/]+)", self.delete_volume),
            ("volume", "POST", cv + r"/volumes/(?P<vid>[^/]+)/action", self.volume_action),
            ("volume", "POST", cv + r"/volumes", self.create_volume),
            ("volume", "GET", cv + r"/snapshots/(?P<sid>[^/]+)", self.show_snapshot),
            ("volume", "DELETE", cv + r"/snapshots/(?P<sid>[^/]+)", self.delete_snapshot),
            ("volume", "POST", cv + r"/snapshots", self.create_snapshot),
        ]
        # Version documents need no token; everything else of compute and
        # block storage does.
        return [(svc, m, re.compile(p), h, svc in ("compute", "volume") and not p.endswith("/"))
                for svc, m, p, h in table]

    @staticmethod
    def service_of(path):
        if path.startswith("/keystone/"):
            return "identity"
        if path.startswith("/nova-api/"):
            return "compute"
        if path.startswith("/cinder/"):
            return "volume"
        return "none"

    def dispatch(self, req, info):
        """Answers one request; `info` receives the service and token scope."""
        info["service"] = self.service_of(req.path)
        allowed = False
        for svc, method, rx, handler, needs_token in self.routes:
            m = rx.fullmatch(req.path)
            if not m:
                continue
            if method != req.method:
                allowed = True
                continue
            info["service"] = svc
            try:
                token = None
                if needs_token:
                    info["token_scope"] = "invalid"
                    token = self.authenticate(req)
                    info["token_scope"] = token.scope
                    info["token_user"] = token.user["name"]
                    if svc == "volume" and token.project_id != m.group("project"):
                        raise ApiError(400, "Malformed request url")
                return handler(req, token, **m.groupdict())
            except ApiError as e:
                return self.error(svc, e)
        if allowed:
            return self.error(info["service"], ApiError(405, "The method is not allowed for the requested URL."))
        return self.error(info["service"], ApiError(404, "The resource could not be found."))

    def authenticate(self, req):
        text = req.header("X-Auth-Token")
        tok = self.cloud.token(text) if text else None
        if tok is None or not tok.valid():
            raise self.unauthorized(req)
        return tok

    def unauthorized(self, req, message=UNAUTHORIZED):
        return ApiError(401, message, headers=[("WWW-Authenticate", 'Keystone uri="%s/keystone/%s"'
                                                % (req.base, self.keystone_segment()))])

    def keystone_segment(self):
        return self.cloud.identity_version.split(".")[0]

    def error(self, svc, e):
        if svc in ("identity", "none") or e.status == 401:
            body = {"error": {"code": e.status, "title": phrase(e.status), "message": e.message}}
        else:
            kind = e.kind or FAULT_KINDS.get(e.status, "computeFault")
            body = {kind: {"code": e.status, "message": e.message}}
        return Reply(e.status, body, headers=list(e.headers))

    # ------------------------------------------------------------ versions
    def identity_endpoint(self, req):
        """The identity root as keystone publishes it (its public_endpoint),
        with a trailing "/"."""
        configured = self.cloud.options["identity_endpoint"].replace("@PORT@", str(req.port))
        root = configured or req.base + "/keystone/"
        return root if root.endswith("/") else root + "/"

    def identity_document(self, req):
        v = self.cloud.identity_version
        return {"id": v, "status": "stable", "updated": "2020-04-07T00:00:00Z",
                "links": [{"rel": "self", "href": "%s%s/" % (self.identity_endpoint(req), v.split(".")[0])}],
                "media-types": [{"base": "application/json",
                                 "type": "application/vnd.openstack.identity-v3+json"}]}

    def identity_versions(self, req, token):
        # The root lists the versions and points at the only one, as
        # keystone does: 300 Multiple Choices with a Location.
        doc = self.identity_document(req)
        return Reply(300, {"versions": {"values": [doc]}}, headers=[("Location", doc["links"][0]["href"])])

    def identity_version(self, req, token):
        return Reply(200, {"version": self.identity_document(req)})

    def compute_versions(self, req, token):
        c = self.cloud
        return Reply(200, {"versions": [
            {"id": "v2.0", "status": "SUPPORTED", "version": "", "min_version": "",
             "updated": "2011-01-21T11:33:21Z",
             "links": [{"rel": "self", "href": req.base + "/nova-api/v2/"}]},
            {"id": c.compute_version, "status": "CURRENT", "version": c.compute_microversion,
             "min_version": "2.1", "updated": "2013-07-23T11:33:21Z",
             "links": [{"rel": "self", "href": "%s/nova-api/%s/" % (req.base, c.compute_version)}]}]})

    def volume_versions(self, req, token):
        c = self.cloud
        return Reply(200, {"versions": [
            {"id": "v2.0", "status": "DEPRECATED", "version": "", "min_version": "",
             "updated": "2017-02-25T12:00:00Z",
             "links": [{"rel": "self", "href": req.base + "/cinder/v2/"}],
             "media-types": [{"base": "application/json",
                              "type": "application/vnd.openstack.volume+json;version=2"}]},
            {"id": c.volume_version, "status": "CURRENT", "version": c.volume_microversion,
             "min_version": "3.0", "updated": "2016-02-08T12:20:21Z",
             "links": [{"rel": "self", "href": "%s/cinder/%s/" % (req.base, c.volume_version.split(".")[0])}],
             "media-types": [{"base": "application/json",
                              "type": "application/vnd.openstack.volume+json;version=3"}]}]})

    # ------------------------------------------------------------ identity
    def login(self, req, token):
        body = req.json()
        auth = body.get("auth")
        if not isinstance(auth, dict) or not isinstance(auth.get("identity"), dict):
            raise ApiError(400, "Invalid input for field 'identity': 'identity' is a required property")
        ident = auth["identity"]
        methods = ident.get("methods")
        if not isinstance(methods, list) or "password" not in methods:
            raise self.unauthorized(req)
        pw = ident.get("password")
        user_ref = pw.get("user") if isinstance(pw, dict) else None
        if not isinstance(user_ref, dict) or not isinstance(user_ref.get("password"), str):
            raise ApiError(400, "Invalid input for field 'identity/password/user': "
                           "'password' is a required property")
        dom = user_ref.get("domain")
        if "id" in user_ref:
            user = self.cloud.find_user(user_id=user_ref["id"])
        elif isinstance(dom, dict) and isinstance(user_ref.get("name"), str):
            user = self.cloud.find_user(name=user_ref["name"], domain_id=dom.get("id"),
                                        domain_name=dom.get("name") if "id" not in dom else None)
        else:
            raise ApiError(400, "Expecting to find domain in user. The server could not comply with "
                           "the request since it is either malformed or otherwise incorrect.")
        if user is None or user.get("password") != user_ref["password"]:
            raise self.unauthorized(req)

        scope = auth.get("scope")
        if scope is None:
            tok = self.cloud.issue_token(user, "unscoped")
        elif isinstance(scope, dict) and "system" in scope:
            if scope["system"] != {"all": True}:
                raise ApiError(400, "Invalid input for field 'scope/system'")
            if not user["system_admin"]:
                raise self.unauthorized(req, "User %s has no access to the system" % user["id"])
            tok = self.cloud.issue_token(user, "system")
        elif isinstance(scope, dict) and isinstance(scope.get("project"), dict):
            pref = scope["project"]
            project = None
            if isinstance(pref.get("id"), str):
                project = self.cloud.projects.get(pref["id"])
            elif isinstance(pref.get("name"), str):
                project = next((p for p in self.cloud.projects.values() if p["name"] == pref["name"]), None)
            if project is None:
                raise self.unauthorized(req, "Could not find project: %s" % (pref.get("id") or pref.get("name")))
            if project["id"] not in user["projects"]:
                raise self.unauthorized(req, "User %s has no access to project %s" % (user["id"], project["id"]))
            tok = self.cloud.issue_token(user, "project", project["id"])
        else:
            raise ApiError(400, "Invalid input for field 'scope'")
        return Reply(201, self.token_body(req, tok),
                     headers=[("X-Subject-Token", tok.text), ("Vary", "X-Auth-Token")])

    def token_body(self, req, tok):
        u = tok.user
        dom = self.cloud.domains.get(u["domain_id"], {"id": u["domain_id"], "name": u["domain_id"]})
        t = {"methods": ["password"],
             "user": {"domain": {"id": dom["id"], "name": dom.get("name", dom["id"])},
                      "id": u["id"], "name": u["name"], "password_expires_at": None},
             "audit_ids": [tok.audit_id],
             "expires_at": time.strftime("%Y-%m-%dT%H:%M:%S.000000Z", time.gmtime(tok.expires_at)),
             "issued_at": time.strftime("%Y-%m-%dT%H:%M:%S.000000Z", time.gmtime(tok.issued_at))}
        if tok.scope == "project":
            p = self.cloud.projects[tok.project_id]
            pdom = self.cloud.domains.get(p["domain_id"], {"id": p["domain_id"], "name": p["domain_id"]})
            t["project"] = {"domain": {"id": pdom["id"], "name": pdom.get("name", pdom["id"])},
                            "id": p["id"], "name": p["name"]}
            t["is_domain"] = False
            t["roles"] = [{"id": uuid.uuid5(uuid.NAMESPACE_OID, "role:member").hex, "name": "member"},
                          {"id": uuid.uuid5(uuid.NAMESPACE_OID, "role:reader").hex, "name": "reader"}]
        elif tok.scope == "system":
            t["system"] = {"all": True}
            t["roles"] = [{"id": uuid.uuid5(uuid.NAMESPACE_OID, "role:admin").hex, "name": "admin"}]
        if tok.scope != "unscoped":
            t["catalog"] = self.catalog(req, tok)
        return {"token": t}

    def catalog(self, req, tok):
        c = self.cloud
        region = "RegionOne"

        def entry(kind, name, url):
            return {"endpoints": [{"id": uuid.uuid5(uuid.NAMESPACE_URL, url + i).hex, "interface": i,
                                   "region_id": region, "url": url, "region": region}
                                  for i in ("public", "internal")],
                    "id": uuid.uuid5(uuid.NAMESPACE_OID, name).hex, "type": kind, "name": name}

        vol = "%s/cinder/%s/%s" % (req.base, c.volume_version.split(".")[0], tok.project_id or "")
        return [entry("identity", "keystone", "%s/keystone/%s" % (req.base, self.keystone_segment())),
                entry("compute", "nova", "%s/nova-api/%s" % (req.base, c.compute_version.split(".")[0])),
                entry("volumev3", "cinderv3", vol.rstrip("/"))]

    # ------------------------------------------------------------ compute
    @staticmethod
    def require_project(token):
        if token.scope != "project":
            raise ApiError(403, "Policy doesn't allow this operation without a project-scoped token.")

    def server_for(self, token, sid):
        srv = self.cloud.servers.get(sid)
        if srv is None or (token.scope != "system" and srv.project_id != token.project_id):
            raise ApiError(404, "Instance %s could not be found." % sid)
        return srv

    def server_view(self, req, srv, admin):
        c = self.cloud
        nv = c.compute_version.split(".")[0]
        addresses = {}
        for a in srv.addresses:
            addresses.setdefault(a["network"], []).append({
                "version": a.get("version", 4), "addr": a["addr"],
                "OS-EXT-IPS:type": "fixed", "OS-EXT-IPS-MAC:mac_addr": a["mac"]})
        building = srv.status == "BUILD"
        vm_state = {"ACTIVE": "active", "BUILD": "building", "SHUTOFF": "stopped", "ERROR": "error",
                    "PAUSED": "paused", "SUSPENDED": "suspended"}.get(srv.status, srv.status.lower())
        power = {"ACTIVE": 1, "PAUSED": 3, "SHUTOFF": 4, "SUSPENDED": 7}.get(srv.status, 0)
        image = ""
        if srv.image_id:
            image = {"id": srv.image_id, "links": [{"rel": "bookmark",
                                                    "href": "%s/nova-api/images/%s" % (req.base, srv.image_id)}]}
        d = {"id": srv.id, "name": srv.name, "status": srv.status, "tenant_id": srv.project_id,
             "user_id": srv.user_id, "metadata": srv.metadata,
             "hostId": "" if building else cs.host_id(srv.project_id, srv.host),
             "image": image,
             "flavor": {"id": srv.flavor_id, "links": [{"rel": "bookmark", "href": "%s/nova-api/flavors/%s"
                                                        % (req.base, srv.flavor_id)}]},
             "created": srv.created, "updated": srv.created,
             "addresses": addresses, "accessIPv4": srv.access_ipv4, "accessIPv6": srv.access_ipv6,
             "links": [{"rel": "self", "href": "%s/nova-api/%s/servers/%s" % (req.base, nv, srv.id)},
                       {"rel": "bookmark", "href": "%s/nova-api/servers/%s" % (req.base, srv.id)}],
             "OS-DCF:diskConfig": srv.disk_config}
        if srv.status in ("ACTIVE", "BUILD"):
            d["progress"] = 0
        d["OS-EXT-AZ:availability_zone"] = srv.availability_zone
        d["config_drive"] = srv.config_drive
        d["key_name"] = srv.key_name
        d["OS-SRV-USG:launched_at"] = None if building else srv.created.replace("Z", ".000000")
        d["OS-SRV-USG:terminated_at"] = None
        if admin:
            d["OS-EXT-SRV-ATTR:host"] = None if building else srv.host
            d["OS-EXT-SRV-ATTR:instance_name"] = srv.instance_name
            d["OS-EXT-SRV-ATTR:hypervisor_hostname"] = None if building else srv.hypervisor_hostname
        d["OS-EXT-STS:task_state"] = "spawning" if building else None
        d["OS-EXT-STS:vm_state"] = vm_state
        d["OS-EXT-STS:power_state"] = power
        d["os-extended-volumes:volumes_attached"] = [{"id": a.volume_id}
                                                     for a in c.attachments_of_server(srv.id)]
        if srv.security_groups:
            d["security_groups"] = [{"name": g} for g in srv.security_groups]
        return d

    def list_servers(self, req, token):
        if token.scope == "system":
            servers = list(self.cloud.servers.values())
        elif token.scope == "project":
            servers = [s for s in self.cloud.servers.values() if s.project_id == token.project_id]
        else:
            raise ApiError(403, "Policy doesn't allow os_compute_api:servers:detail to be performed.")
        # Pages as nova cuts them: at most max_limit servers (or the "limit"
        # asked for), after the server named by "marker"; a full page links
        # the next one under nova's own endpoint.
        params = {k: v[-1] for k, v in parse_qs(req.query, keep_blank_values=True).items()}
        page_limit = self.cloud.options["server_page_limit"]
        if "limit" in params:
            if not params["limit"].isdigit():
                raise ApiError(400, "limit param must be an integer")
            page_limit = min(int(params["limit"]), page_limit)
        if "marker" in params:
            ids = [s.id for s in servers]
            if params["marker"] not in ids:
                raise ApiError(400, "marker [%s] not found" % params["marker"])
            servers = servers[ids.index(params["marker"]) + 1:]
        page = servers[:page_limit]
        body = {"servers": [self.server_view(req, s, token.scope == "system") for s in page]}
        if page and len(page) == page_limit:
            params["marker"] = page[-1].id
            body["servers_links"] = [{"rel": "next", "href": "%s/servers/detail?%s" % (
                self.cloud.options["compute_link_prefix"], urlencode(params))}]
        return Reply(200, body)

    def show_server(self, req, token, sid):
        if token.scope == "unscoped":
            raise ApiError(403, "Policy doesn't allow os_compute_api:servers:show to be performed.")
        srv = self.server_for(token, sid)
        self.cloud.observe(srv)
        if srv.id not in self.cloud.servers:
            raise ApiError(404, "Instance %s could not be found." % sid)
        return Reply(200, {"server": self.server_view(req, srv, token.scope == "system")}, target=srv)

    def delete_server(self, req, token, sid):
        self.require_project(token)
        srv = self.server_for(token, sid)
        self.cloud.delete_server(srv)
        return Reply(204, target=srv)

    def create_server(self, req, token):
        self.require_project(token)
        c = self.cloud
        body = req.json()
        s = body.get("server")
        if not isinstance(s, dict):
            raise ApiError(400, "Invalid input for field/attribute server. Value: %s. 'server' is a "
                           "required property" % json.dumps(body))
        name = s.get("name")
        if not isinstance(name, str) or not name.strip() or len(name) > 255:
            raise ApiError(400, "Invalid input for field/attribute name. Value: %s." % json.dumps(name))
        flavor = s.get("flavorRef")
        if not isinstance(flavor, str) or flavor not in c.flavors:
            raise ApiError(400, "Invalid flavorRef provided.")
        az = _string_or_null(s.get("availability_zone"), "availability_zone")
        if az is not None and az not in c.availability_zones:
            raise ApiError(400, "The requested availability zone is not available")
        groups = s.get("security_groups", [{"name": "default"}])
        if not isinstance(groups, list) or any(not isinstance(g, dict) or not isinstance(g.get("name"), str)
                                               for g in groups):
            raise ApiError(400, "Invalid input for field/attribute security_groups.")
        known = c.projects[token.project_id]["security_groups"]
        for g in groups:
            if g["name"] not in known:
                raise ApiError(400, "Unable to find security_group with name or id '%s'" % g["name"])
        metadata = _string_metadata(s.get("metadata"))

        bdms = s.get("block_device_mapping_v2")
        if bdms is None:
            raise ApiError(400, "Missing imageRef attribute")
        if not isinstance(bdms, list) or not bdms or any(not isinstance(b, dict) for b in bdms):
            raise ApiError(400, "Invalid input for field/attribute block_device_mapping_v2.")
        boot = next((b for b in bdms if b.get("boot_index") in (0, "0")), None)
        if boot is None or boot.get("source_type") != "volume" or boot.get("destination_type") != "volume":
            raise ApiError(400, "Block Device Mapping is Invalid: Boot sequence for the instance and "
                           "image/block device mapping combination is not valid.")
        vid = boot.get("uuid")
        vol = c.volumes.get(vid) if isinstance(vid, str) else None
        if vol is None or vol.project_id != token.project_id:
            raise ApiError(400, "Block Device Mapping is Invalid: failed to get volume %s." % vid)
        if vol.status != "available" or c.attachment_of(vol.id) is not None:
            raise ApiError(400, "Invalid volume: volume '%s' status must be 'available'. Currently in '%s'"
                           % (vol.id, vol.status))
        if not vol.bootable:
            raise ApiError(400, "Block Device %s is not bootable." % vol.id)
        if "delete_on_termination" in boot:
            _bool_from(boot["delete_on_termination"], "delete_on_termination")

        networks = []
        req_nets = s.get("networks")
        visible = c.visible_networks(token.project_id)
        if req_nets is None:
            if len(visible) > 1:
                raise ApiError(409, "Multiple possible networks found, use a Network ID to be more specific.")
            networks = [(n, None) for n in visible]
        else:
            if not isinstance(req_nets, list) or any(not isinstance(n, dict) for n in req_nets):
                raise ApiError(400, "Invalid input for field/attribute networks.")
            for n in req_nets:
                net = c.networks.get(n.get("uuid")) if isinstance(n.get("uuid"), str) else None
                if net is None or net not in visible:
                    raise ApiError(400, "Network %s could not be found." % n.get("uuid"))
                ip = n.get("fixed_ip")
                if ip is not None:
                    try:
                        addr = ipaddress.IPv4Address(ip)
                    except (ipaddress.AddressValueError, TypeError):
                        raise ApiError(400, "Invalid input for field/attribute fixed_ip. Value: %s. %r is not "
                                       "a 'ipv4'" % (json.dumps(ip), ip))
                    if addr not in ipaddress.ip_network(net["cidr"], strict=False):
                        raise ApiError(400, "Fixed IP address %s is not valid on network %s" % (ip, net["id"]))
                    if any(a["addr"] == ip for sv in c.servers.values() for a in sv.addresses):
                        raise ApiError(409, "Fixed IP address %s is already in use." % ip)
                networks.append((net, ip))

        srv = c.create_server(token.project_id, token.user["id"], name, flavor, vol, networks=networks,
                              availability_zone=az, metadata=metadata,
                              security_groups=[g["name"] for g in groups])
        nv = c.compute_version.split(".")[0]
        link = "%s/nova-api/%s/servers/%s" % (req.base, nv, srv.id)
        return Reply(202, {"server": {"id": srv.id,
                                      "links": [{"rel": "self", "href": link},
                                                {"rel": "bookmark",
                                                 "href": "%s/nova-api/servers/%s" % (req.base, srv.id)}],
                                      "OS-DCF:diskConfig": "MANUAL",
                                      "security_groups": [{"name": g} for g in srv.security_groups],
                                      "adminPass": secrets.token_urlsafe(9)}},
                     headers=[("Location", link)], target=srv)

    def list_hypervisors(self, req, token):
        if token.scope != "system":
            raise ApiError(403, "Policy doesn't allow os_compute_api:os-hypervisors:list-detail to be performed.")
        out = []
        for h in self.cloud.hypervisors:
            vms = sum(1 for s in self.cloud.servers.values() if s.hypervisor_hostname == h["hypervisor_hostname"])
            out.append({"id": h["id"], "hypervisor_hostname": h["hypervisor_hostname"], "state": "up",
                        "status": "enabled", "hypervisor_type": h["hypervisor_type"],
                        "hypervisor_version": h.get("hypervisor_version", 4002000),
                        "host_ip": h["host_ip"],
                        "service": {"host": h["host"], "id": 10 + h["id"], "disabled_reason": None},
                        "vcpus": 16, "memory_mb": 65536, "local_gb": 500, "vcpus_used": vms,
                        "memory_mb_used": 512 + 2048 * vms, "local_gb_used": 0,
                        "free_ram_mb": 65024 - 2048 * vms, "free_disk_gb": 500, "current_workload": 0,
                        "running_vms": vms, "disk_available_least": 480,
                        "cpu_info": json.dumps({"arch": "x86_64", "vendor": "Intel",
                                                "topology": {"cells": 1, "sockets": 1, "cores": 8,
                                                             "threads": 2}})})
        return Reply(200, {"hypervisors": out})

    def list_networks(self, req, token):
        if token.scope == "system":
            nets = list(self.cloud.networks.values())
        elif token.scope == "project":
            nets = self.cloud.visible_networks(token.project_id)
        else:
            raise ApiError(403, "Policy doesn't allow os_compute_api:os-networks:list to be performed.")
        out = []
        for n in nets:
            out.append({"id": n["id"], "label": n["label"], "cidr": n["cidr"], "cidr_v6": None,
                        "bridge": None, "bridge_interface": None, "broadcast": None,
                        "dhcp_start": None, "dns1": None, "dns2": None, "gateway": None,
                        "gateway_v6": None, "netmask": None, "netmask_v6": None,
                        "project_id": n["project_id"], "vlan": None, "mtu": None})
        return Reply(200, {"networks": out})

    def attach(self, req, token, sid):
        self.require_project(token)
        c = self.cloud
        srv = self.server_for(token, sid)
        body = req.json()
        va = body.get("volumeAttachment")
        if not isinstance(va, dict) or not isinstance(va.get("volumeId"), str):
            raise ApiError(400, "Invalid input for field/attribute volumeAttachment. Value: %s. "
                           "'volumeId' is a required property" % json.dumps(va))
        device = va.get("device")
        if device is not None and (not isinstance(device, str) or not re.fullmatch(r"/dev/[a-zA-Z0-9]+", device)):
            raise ApiError(400, "Invalid input for field/attribute device. Value: %s." % json.dumps(device))
        if srv.status not in ("ACTIVE", "SHUTOFF", "PAUSED", "SUSPENDED"):
            raise ApiError(409, "Cannot 'attach_volume' instance %s while it is in vm_state %s"
                           % (srv.id, self.server_view(req, srv, False)["OS-EXT-STS:vm_state"]))
        vol = c.volumes.get(va["volumeId"])
        if vol is None or vol.project_id != token.project_id:
            raise ApiError(404, "Volume %s could not be found." % va["volumeId"])
        if vol.status != "available" or c.attachment_of(vol.id) is not None:
            raise ApiError(400, "Invalid volume: volume '%s' status must be 'available'. Currently in '%s'"
                           % (vol.id, vol.status))
        att = c.attach(srv, vol)  # the device asked for is only a hint, as with the real hypervisors
        return Reply(200, {"volumeAttachment": {"device": att.device, "id": vol.id, "serverId": srv.id,
                                                "volumeId": vol.id}}, target=vol)

    def detach(self, req, token, sid, vid):
        self.require_project(token)
        c = self.cloud
        srv = self.server_for(token, sid)
        if srv.status == "BUILD":
            raise ApiError(409, "Cannot 'detach_volume' instance %s while it is in vm_state building" % srv.id)
        att = c.attachment_of(vid)
        if att is None or att.server_id != srv.id:
            raise ApiError(404, "volume_id not found: %s" % vid)
        vol = c.volumes[vid]
        if att.device == srv.device_prefix + "a" and not srv.image_id:
            raise ApiError(400, "Can't detach root device volume")
        if vol.status != "in-use" or att.state != "attached":
            raise ApiError(400, "Invalid volume: Unable to detach volume. Volume status must be 'in-use' "
                           "and attach_status must be 'attached' to detach.")
        c.detach(srv, vol, att)
        return Reply(202, target=vol)

    # ------------------------------------------------------------ block storage
    def volume_for(self, token, vid):
        vol = self.cloud.volumes.get(vid)
        if vol is None or vol.project_id != token.project_id:
            raise ApiError(404, "Volume %s could not be found." % vid)
        return vol

    def snapshot_for(self, token, sid):
        snap = self.cloud.snapshots.get(sid)
        if snap is None or snap.project_id != token.project_id:
            raise ApiError(404, "Snapshot %s could not be found." % sid)
        return snap

    def volume_view(self, req, vol):
        c = self.cloud
        cv = c.volume_version.split(".")[0]
        attachments = []
        att = c.attachment_of(vol.id)
        if att is not None and att.state in ("attached", "detaching"):
            attachments.append({"server_id": att.server_id, "attachment_id": att.id,
                                "attached_at": att.attached_at, "host_name": None,
                                "volume_id": vol.id, "device": att.device, "id": vol.id})
        d = {"attachments": attachments,
             "links": [{"href": "%s/cinder/%s/%s/volumes/%s" % (req.base, cv, vol.project_id, vol.id),
                        "rel": "self"},
                       {"href": "%s/cinder/%s/volumes/%s" % (req.base, vol.project_id, vol.id),
                        "rel": "bookmark"}],
             "availability_zone": vol.availability_zone, "encrypted": vol.encrypted,
             "updated_at": None, "replication_status": None, "snapshot_id": vol.snapshot_id,
             "id": vol.id, "size": vol.size, "user_id": vol.user_id,
             "os-vol-tenant-attr:tenant_id": vol.project_id, "metadata": vol.metadata,
             "status": vol.status}
        if vol.volume_image_metadata is not None:
            d["volume_image_metadata"] = vol.volume_image_metadata
        d.update({"description": vol.description, "multiattach": vol.multiattach,
                  "source_volid": vol.source_volid, "consistencygroup_id": None, "name": vol.name,
                  "bootable": "true" if vol.bootable else "false", "created_at": vol.created_at,
                  "volume_type": vol.volume_type})
        return d

    def snapshot_view(self, snap):
        return {"status": snap.status, "size": snap.size, "metadata": snap.metadata, "name": snap.name,
                "volume_id": snap.volume_id, "created_at": snap.created_at,
                "description": snap.description, "id": snap.id, "updated_at": None,
                "os-extended-snapshot-attributes:progress": "100%" if snap.status == "available" else "0%",
                "os-extended-snapshot-attributes:project_id": snap.project_id}

    def show_volume(self, req, token, project, vid):
        vol = self.volume_for(token, vid)
        self.cloud.observe(vol)
        if vol.id not in self.cloud.volumes:
            raise ApiError(404, "Volume %s could not be found." % vid)
        return Reply(200, {"volume": self.volume_view(req, vol)}, target=vol)

    # Query keys of the lists: the filters the service allows for each kind
    # (compared exactly), the paging keys and the sorting keys (accepted,
    # unused).
    VOLUME_FILTERS = ("name", "status", "metadata", "availability_zone", "bootable", "size")
    SNAPSHOT_FILTERS = ("name", "status", "volume_id", "metadata")
    LIST_KEYS = ("limit", "marker", "offset", "sort", "sort_key", "sort_dir", "with_count")

    def list_filters(self, req, allowed):
        try:
            query = parse_qs(req.query, keep_blank_values=True, strict_parsing=bool(req.query),
                             errors="strict")
        except (ValueError, UnicodeDecodeError):
            raise ApiError(400, "Invalid input received: malformed query string")
        bad = sorted(k for k in query if k not in allowed and k not in self.LIST_KEYS)
        if bad:
            raise ApiError(400, "Invalid input received: Invalid filter keys: %s" % ", ".join(bad))
        filters = {}
        for k, values in query.items():
            if k in allowed:
                filters[k] = values[-1]
        if "metadata" in filters:
            try:
                wanted = json.loads(filters["metadata"])
            except ValueError:
                raise ApiError(400, "Invalid input received: metadata filter is no JSON object")
            if not isinstance(wanted, dict):
                raise ApiError(400, "Invalid input received: metadata filter is no JSON object")
            filters["metadata"] = {str(k): str(v) for k, v in wanted.items()}
        return filters

    @staticmethod
    def matches(obj, filters):
        for k, want in filters.items():
            if k == "metadata":
                if any(obj.metadata.get(mk) != mv for mk, mv in want.items()):
                    return False
            elif k == "bootable":
                if obj.bootable != (want.lower() in ("true", "1", "yes", "on")):
                    return False
            elif k == "size":
                if str(obj.size) != want:
                    return False
            elif (getattr(obj, k, None) or "") != want:
                return False
        return True

    def list_page(self, req, project, collection, objects, view):
        """One page of a list, as cinder cuts it: at most osapi_max_limit
        objects (or the "limit" asked for if smaller), after the one named
        by "marker"; a full page links the next one, under the service's
        public endpoint, with the query of this one and a new marker."""
        params = {k: v[-1] for k, v in parse_qs(req.query, keep_blank_values=True).items()}
        page_limit = self.cloud.options["volume_page_limit"]
        if "limit" in params:
            if not params["limit"].isdigit():
                raise ApiError(400, "Invalid input received: limit param must be an integer")
            page_limit = min(int(params["limit"]), page_limit)
        if "marker" in params:
            ids = [o.id for o in objects]
            if params["marker"] not in ids:
                raise ApiError(404, "Marker %s could not be found." % params["marker"])
            objects = objects[ids.index(params["marker"]) + 1:]
        page = objects[:page_limit]
        body = {collection: [view(o) for o in page]}
        if page and len(page) == page_limit:
            params["marker"] = page[-1].id
            prefix = self.cloud.options["volume_link_prefix"].replace("@PORT@", str(req.port)) or req.base + "/cinder"
            body[collection + "_links"] = [{"rel": "next", "href": "%s/%s/%s/%s/detail?%s" % (
                prefix.rstrip("/"), self.cloud.volume_version.split(".")[0], project, collection,
                urlencode(params))}]
        return Reply(200, body)

    def list_volumes(self, req, token, project):
        filters = self.list_filters(req, self.VOLUME_FILTERS)
        vols = [v for v in self.cloud.volumes.values() if v.project_id == project and self.matches(v, filters)]
        # Newest first, as the service sorts by default.
        return self.list_page(req, project, "volumes", list(reversed(vols)), lambda v: self.volume_view(req, v))

    def list_snapshots(self, req, token, project):
        filters = self.list_filters(req, self.SNAPSHOT_FILTERS)
        snaps = [s for s in self.cloud.snapshots.values()
                 if s.project_id == project and self.matches(s, filters)]
        return self.list_page(req, project, "snapshots", list(reversed(snaps)), self.snapshot_view)

    def create_volume(self, req, token, project):
        c = self.cloud
        body = req.json()
        v = body.get("volume")
        if not isinstance(v, dict):
            raise ApiError(400, "Missing required element 'volume' in request body.")
        name = _string_or_null(v.get("name"), "name")
        description = _string_or_null(v.get("description"), "description")
        metadata = _string_metadata(v.get("metadata"))
        snapshot = image = None
        if v.get("snapshot_id") is not None:
            sid = v["snapshot_id"]
            snapshot = c.snapshots.get(sid) if isinstance(sid, str) else None
            if snapshot is None or snapshot.project_id != project:
                raise ApiError(404, "Snapshot %s could not be found." % sid)
            if snapshot.status != "available":
                raise ApiError(400, "Invalid snapshot: Originating snapshot status must be one of "
                               "'available' values")
        if v.get("imageRef") is not None:
            if snapshot is not None:
                raise ApiError(400, "Invalid input received: only one of snapshot_id, source_volid "
                               "and imageRef may be given")
            image = c.images.get(v["imageRef"]) if isinstance(v["imageRef"], str) else None
            if image is None:
                raise ApiError(400, "Invalid image identifier or unable to access requested image.")
        size = v.get("size")
        if isinstance(size, str) and size.isdigit():
            size = int(size)
        if size is None and snapshot is not None:
            size = snapshot.size
        if isinstance(size, bool) or not isinstance(size, int) or size < 1:
            raise ApiError(400, "Invalid input received: 'size' parameter must be an integer greater than 0")
        if snapshot is not None and size < snapshot.size:
            raise ApiError(400, "Invalid input received: Volume size '%d'GB cannot be smaller than the "
                           "snapshot size %dGB. They must be >= original snapshot size." % (size, snapshot.size))
        az = _string_or_null(v.get("availability_zone"), "availability_zone")
        if az is None:
            az = c.availability_zones[0] if c.availability_zones else "nova"
        elif az not in c.availability_zones:
            raise ApiError(400, "Invalid input received: Availability zone '%s' is invalid." % az)
        vtype = _string_or_null(v.get("volume_type"), "volume_type")
        if vtype is None:
            vtype = c.volume_types[0] if c.volume_types else "__DEFAULT__"
        elif vtype not in c.volume_types:
            raise ApiError(404, "Volume type with name %s could not be found." % vtype)
        cg = v.get("consistencygroup_id")
        if cg is not None:
            raise ApiError(404, "ConsistencyGroup %s could not be found." % cg)
        vol = c.create_volume(project, token.user["id"], size, name=name, description=description,
                              availability_zone=az, volume_type=vtype, metadata=metadata,
                              snapshot=snapshot, image=image)
        return Reply(202, {"volume": self.volume_view(req, vol)}, target=vol)

    def delete_volume(self, req, token, project, vid):
        c = self.cloud
        vol = self.volume_for(token, vid)
        if vol.status not in OK_VOLUME_DELETE or c.attachment_of(vol.id) is not None or c.snapshots_of(vol.id):
            raise ApiError(400, "Invalid volume: Volume status must be available or error or error_restoring "
                           "or error_extending or error_managing and must not be migrating, attached, "
                           "belong to a group, have snapshots or be disassociated from snapshots after "
                           "volume transfer.")
        c.delete_volume(vol)
        return Reply(202, target=vol)

    def volume_action(self, req, token, project, vid):
        body = req.json()
        if len(body) != 1:
            raise ApiError(400, "Malformed request body")
        action, args = next(iter(body.items()))
        if action != "os-set_bootable":
            raise ApiError(400, "There is no such action: %s" % action)
        vol = self.volume_for(token, vid)
        if not isinstance(args, dict) or "bootable" not in args:
            raise ApiError(400, "Must specify bootable in request.")
        try:
            bootable = _bool_from(args["bootable"], "bootable")
        except ApiError:
            raise ApiError(400, "Bad value for 'bootable'")
        if vol.status == "maintenance":
            raise ApiError(400, "Invalid volume: Volume is in maintenance.")
        vol.bootable = bootable
        return Reply(200, target=vol)

    def create_snapshot(self, req, token, project):
        body = req.json()
        s = body.get("snapshot")
        if not isinstance(s, dict):
            raise ApiError(400, "Missing required element 'snapshot' in request body.")
        name = _string_or_null(s.get("name"), "name")
        description = _string_or_null(s.get("description"), "description")
        if not isinstance(s.get("volume_id"), str):
            raise ApiError(400, "Invalid input for field/attribute volume_id. Value: %s."
                           % json.dumps(s.get("volume_id")))
        force = _bool_from(s.get("force", False), "force")
        vol = self.volume_for(token, s["volume_id"])
        if vol.status == "in-use" and not force:
            raise ApiError(400, "Invalid volume: Volume %s status must be available, but current status "
                           "is: in-use." % vol.id)
        if vol.status not in ("available", "in-use"):
            raise ApiError(400, "Invalid volume: Volume %s status must be available or in-use, but current "
                           "status is: %s." % (vol.id, vol.status))
        snap = self.cloud.create_snapshot(vol, name=name, description=description)
        return Reply(202, {"snapshot": self.snapshot_view(snap)}, target=snap)

    def show_snapshot(self, req, token, project, sid):
        snap = self.snapshot_for(token, sid)
        self.cloud.observe(snap)
        if snap.id not in self.cloud.snapshots:
            raise ApiError(404, "Snapshot %s could not be found." % sid)
        return Reply(200, {"snapshot": self.snapshot_view(snap)}, target=snap)

    def delete_snapshot(self, req, token, project, sid):
        snap = self.snapshot_for(token, sid)
        if snap.status not in OK_SNAPSHOT_DELETE:
            raise ApiError(400, "Invalid snapshot: Volume Snapshot status must be available or error "
                           "and must not be part of a group.")
        self.cloud.delete_snapshot(snap)
        return Reply(202, target=snap)


# ====================================================================== faults

class FaultRule:
    MATCH = {"method", "path", "nth", "times", "body_regex"}
    ACTIONS = {"status", "body", "raw_body", "headers", "delay", "delay_reply", "drop", "drop_reply", "state", "polls",
               "patch", "header_case", "drop_headers", "extra_headers"}

    def __init__(self, rid, spec):
        unknown = set(spec) - self.MATCH - self.ACTIONS
        if unknown:
            raise ValueError("unknown fault rule fields: %s" % ", ".join(sorted(unknown)))
        if not set(spec) & self.ACTIONS:
            raise ValueError("a fault rule needs at least one action")
        self.id = rid
        self.spec = dict(spec)
        self.method = spec.get("method", "*").upper()
        self.path = re.compile(spec.get("path", ".*"))
        self.body_regex = re.compile(spec["body_regex"]) if "body_regex" in spec else None
        self.nth = int(spec.get("nth", 1))
        times = spec.get("times", 1)
        self.times = None if times in (None, 0) else int(times)
        if self.nth < 1:
            raise ValueError("nth counts from 1")
        if spec.get("header_case") not in (None, "lower", "upper"):
            raise ValueError("header_case is lower or upper")
        self.matched = 0
        self.fired = 0

    def match(self, req):
        if self.method not in ("*", req.method) or not self.path.fullmatch(req.path):
            return False
        if self.body_regex and not self.body_regex.search(req.body.decode("utf-8", "replace")):
            return False
        self.matched += 1
        if self.matched < self.nth:
            return False
        if self.times is not None and self.matched >= self.nth + self.times:
            return False
        self.fired += 1
        return True

    def as_dict(self):
        d = dict(self.spec)
        d.update({"id": self.id, "matched": self.matched, "fired": self.fired})
        return d


def _deep_merge(into, patch):
    for k, v in patch.items():
        if isinstance(v, dict) and isinstance(into.get(k), dict):
            _deep_merge(into[k], v)
        elif v is None:
            into.pop(k, None)
        else:
            into[k] = v


# ====================================================================== the application

class App:
    def __init__(self, seed, data_dir=None, hooks=None):
        self.lock = threading.RLock()
        self.seed = seed
        self.data_dir = data_dir
        self.hooks = hooks
        self.cloud = cs.Cloud(seed, data_dir, hooks)
        self.services = Services(self.cloud)
        self.log = []
        self.rules = []
        self.next_rule = 1
        self.scheme = "http"
        self.stop = None  # set by main: stops the server

    # ------------------------------------------------------------ one request
    def handle(self, req):
        """Returns (status, headers, body) or None to drop the connection."""
        if req.path.startswith("/_control/") or req.path == "/_control":
            with self.lock:
                return self.control(req)
        with self.lock:
            entry = {"seq": len(self.log) + 1, "time": time.time(), "method": req.method,
                     "path": req.path, "query": req.query, "headers": [list(h) for h in req.headers],
                     "body": req.body.decode("utf-8", "replace"), "service": None,
                     "token_scope": None, "token_user": None, "status": None, "reply": None,
                     "faults": []}
            self.log.append(entry)
            firing = [r for r in self.rules if r.match(req)]
            entry["faults"] = [r.id for r in firing]
        delay = sum(float(r.spec.get("delay", 0)) for r in firing)
        if delay > 0:
            time.sleep(delay)
        if any(r.spec.get("drop") for r in firing):
            entry["status"] = "dropped"
            return None
        with self.lock:
            info = {"service": Services.service_of(req.path), "token_scope": None, "token_user": None}
            short = next((r for r in firing if {"status", "body", "raw_body"} & set(r.spec)), None)
            if short is not None:
                reply = self.canned(short.spec, info["service"])
            else:
                try:
                    reply = self.services.dispatch(req, info)
                except Exception:
                    traceback.print_exc()
                    reply = self.services.error(info["service"], ApiError(500, "Unexpected error in the stand-in"))
                self.apply_effects(firing, reply)
            status, headers, body = self.finish(reply, info["service"], req)
            headers = self.transform_headers(firing, headers)
            entry.update(service=info["service"], token_scope=info["token_scope"],
                         token_user=info["token_user"], status=status,
                         reply=body.decode("utf-8", "replace"))
        # The request is carried out at once, its reply comes late.
        late = sum(float(r.spec.get("delay_reply", 0)) for r in firing)
        if late > 0:
            time.sleep(late)
        # Carried out, and the connection closed instead of the reply (the
        # log keeps the reply that was not sent).
        if any(r.spec.get("drop_reply") for r in firing):
            with self.lock:
                entry["status"] = "dropped"
            return None
        return status, headers, body

    def canned(self, spec, service):
        status = int(spec.get("status", 200))
        if "raw_body" in spec:
            reply = Reply(status, raw=spec["raw_body"].encode())
        elif "body" in spec:
            reply = Reply(status, spec["body"])
        elif status >= 400:
            reply = self.services.error(service, ApiError(status, phrase(status)))
        else:
            reply = Reply(status)
        reply.headers += [tuple(h) for h in spec.get("headers", [])]
        return reply

    def apply_effects(self, firing, reply):
        for r in firing:
            spec = r.spec
            target = reply.target
            if target is not None and "state" in spec:
                self.cloud.force_state(target, spec["state"], spec.get("polls"))
            elif target is not None and "polls" in spec:
                self.cloud.set_polls(target, spec["polls"])
            if "patch" in spec and isinstance(reply.body, dict):
                _deep_merge(reply.body, spec["patch"])

    @staticmethod
    def transform_headers(firing, headers):
        for r in firing:
            spec = r.spec
            drop = {h.lower() for h in spec.get("drop_headers", [])}
            headers = [h for h in headers if h[0].lower() not in drop]
            headers += [tuple(h) for h in spec.get("extra_headers", [])]
            case = spec.get("header_case")
            if case == "lower":
                headers = [(n.lower(), v) for n, v in headers]
            elif case == "upper":
                headers = [(n.upper(), v) for n, v in headers]
        return headers

    def finish(self, reply, service, req):
        """The reply's header lines in the order the real services send them."""
        body = reply.payload()
        rid = "req-" + str(uuid.uuid4())
        h = [("Date", email.utils.formatdate(usegmt=True)), ("Server", SERVER_HEADER)]
        typed = [("Content-Type", "application/json")] if body else []
        length = [("Content-Length", str(len(body)))]
        extra = list(reply.headers)
        if service == "identity":
            subject = [x for x in extra if x[0] in ("X-Subject-Token", "Vary")]
            rest = [x for x in extra if x not in subject]
            if not any(x[0] == "Vary" for x in subject):
                subject.append(("Vary", "X-Auth-Token"))
            h += typed + length + subject + rest + [("x-openstack-request-id", rid)]
        elif service == "compute":
            v = "2.1"  # no microversion is asked for, so the base one answers
            h += length + typed + [("OpenStack-API-Version", "compute " + v),
                                   ("X-OpenStack-Nova-API-Version", v),
                                   ("Vary", "OpenStack-API-Version, X-OpenStack-Nova-API-Version")]
            h += extra + [("x-openstack-request-id", rid), ("x-compute-request-id", rid)]
        elif service == "volume":
            h += typed + length + [("OpenStack-API-Version", "volume 3.0"), ("Vary", "OpenStack-API-Version")]
            h += extra + [("x-openstack-request-id", rid)]
        else:
            h += typed + length + extra
        return reply.status, h, body

    # ------------------------------------------------------------ control
    def control(self, req):
        try:
            status, body = self.control_dispatch(req)
        except (ValueError, KeyError, TypeError, cs.SeedError, re.error) as e:
            status, body = 400, {"error": str(e)}
        except ApiError as e:
            status, body = e.status, {"error": e.message}
        data = json.dumps(body).encode()
        return status, [("Content-Type", "application/json"), ("Content-Length", str(len(data)))], data

    def control_body(self, req):
        if not req.body:
            return {}
        value = parse_json_strict(req.body)
        if not isinstance(value, dict):
            raise ValueError("control bodies are JSON objects")
        return value

    def control_dispatch(self, req):
        m, p = req.method, req.path.rstrip("/")
        q = parse_qs(req.query)
        if p == "/_control/health" and m == "GET":
            return 200, {"ok": True}
        if p == "/_control/inventory" and m == "GET":
            return 200, self.cloud.inventory()
        if p == "/_control/log":
            if m == "GET":
                since = int(q.get("since", ["0"])[0])
                return 200, {"requests": [e for e in self.log if e["seq"] > since]}
            if m == "DELETE":
                self.log = []
                return 200, {"ok": True}
        if p == "/_control/faults":
            if m == "GET":
                return 200, {"rules": [r.as_dict() for r in self.rules]}
            if m == "POST":
                rule = FaultRule(self.next_rule, self.control_body(req))
                self.next_rule += 1
                self.rules.append(rule)
                return 200, {"id": rule.id}
            if m == "DELETE":
                self.rules = []
                return 200, {"ok": True}
        fm = re.fullmatch(r"/_control/faults/(\d+)", p)
        if fm and m == "DELETE":
            before = len(self.rules)
            self.rules = [r for r in self.rules if r.id != int(fm.group(1))]
            if len(self.rules) == before:
                raise ApiError(404, "no fault rule %s" % fm.group(1))
            return 200, {"ok": True}
        if p == "/_control/tokens/expire" and m == "POST":
            b = self.control_body(req)
            scope = b.get("scope", "all")
            if scope not in ("all", "project", "system", "unscoped"):
                raise ValueError("scope is all, project, system or unscoped")
            return 200, {"expired": self.cloud.expire_tokens(scope, b.get("user"))}
        if p == "/_control/options":
            if m == "POST":
                return 200, {"options": self.cloud.set_options(self.control_body(req))}
            if m == "GET":
                return 200, {"options": self.cloud.options}
        if p == "/_control/polls" and m == "POST":
            b = self.control_body(req)
            for k, v in b.items():
                if k not in cs.POLL_DEFAULTS:
                    raise ValueError("unknown poll setting %s" % k)
                self.cloud.polls[k] = max(0, int(v))
            return 200, {"polls": self.cloud.polls}
        om = re.fullmatch(r"/_control/objects/(servers|volumes|snapshots|networks)(?:/([^/]+))?", p)
        if om:
            return self.control_object(m, om.group(1), om.group(2), req)
        if p == "/_control/reset" and m == "POST":
            b = self.control_body(req)
            seed = b.get("seed", self.seed)
            cs.Cloud(seed)  # a bad seed fails here and leaves the old cloud as it is
            self.cloud.shutdown()
            cloud = cs.Cloud(seed, self.data_dir, self.hooks)
            self.seed = seed
            self.cloud = cloud
            self.services = Services(cloud)
            self.log = []
            self.rules = []
            self.next_rule = 1
            return 200, {"ok": True}
        if p == "/_control/shutdown" and m == "POST":
            if self.stop:
                threading.Thread(target=self.stop, daemon=True).start()
            return 200, {"ok": True}
        raise ApiError(404, "no control path %s %s" % (m, req.path))

    def control_object(self, method, kind, oid, req):
        c = self.cloud
        if oid is None:
            if method != "POST":
                raise ApiError(405, "POST adds an object")
            obj = c.add(kind, self.control_body(req))
            return 200, obj if isinstance(obj, dict) else obj.as_dict(c)
        if kind == "networks":
            raise ApiError(405, "networks can only be added")
        obj = c.object(kind, oid)
        if obj is None:
            raise ApiError(404, "no %s %s" % (kind, oid))
        if method == "GET":
            return 200, obj.as_dict(c)
        if method == "DELETE":
            if kind == "servers":
                c.delete_server(obj)
            else:
                if kind == "volumes":
                    att = c.attachment_of(oid)
                    if att is not None:
                        raise ValueError("volume %s is attached" % oid)
                c._remove(obj)
            return 200, {"ok": True}
        if method != "POST":
            raise ApiError(405, "GET, POST or DELETE")
        b = self.control_body(req)
        fixed = {"id", "pending", "kind", "owns_file"}
        for k, v in b.items():
            if k == "status":
                continue
            if k == "end_status":
                c.force_state(obj, v)
            elif k == "polls":
                c.set_polls(obj, v)
            elif k in fixed or not hasattr(obj, k):
                raise ValueError("%s has no settable field %s" % (kind, k))
            else:
                setattr(obj, k, v)
        if "status" in b:
            c.set_state_now(obj, b["status"])
        return 200, obj.as_dict(c)


# ====================================================================== HTTP glue

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = SERVER_HEADER
    app = None  # set by main

    def setup(self):
        if isinstance(self.request, ssl.SSLSocket):
            self.request.settimeout(10)
            self.request.do_handshake()
            self.request.settimeout(None)
        super().setup()

    def log_message(self, fmt, *args):
        pass

    def read_body(self):
        if (self.headers.get("Transfer-Encoding") or "").lower() == "chunked":
            out = b""
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return out
                out += self.rfile.read(size)
                self.rfile.readline()
        n = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(n) if n > 0 else b""

    def handle_any(self):
        body = self.read_body()
        req = Request(self.command, self.path, list(self.headers.items()), body)
        req.base = "%s://%s" % (self.app.scheme, self.headers.get("Host") or "127.0.0.1")
        req.port = self.server.server_address[1]
        result = self.app.handle(req)
        if result is None:
            self.close_connection = True
            try:
                self.request.shutdown(2)
            except OSError:
                pass
            return
        status, headers, data = result
        lines = ["HTTP/1.1 %d %s" % (status, phrase(status))] + ["%s: %s" % h for h in headers]
        out = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")
        if self.command != "HEAD":
            out += data
        try:
            self.wfile.write(out)
            self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    do_GET = do_POST = do_DELETE = do_PUT = do_PATCH = do_HEAD = handle_any


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        exc = sys.exc_info()[1]
        if isinstance(exc, (ssl.SSLError, ConnectionError, TimeoutError, OSError)):
            return  # a client that gave up or failed the TLS handshake
        super().handle_error(request, client_address)


def load_hooks(path):
    spec = importlib.util.spec_from_file_location("fake_cloud_hooks", path)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    hooks = cs.DeviceHooks()
    for name in ("on_attach", "on_detach"):
        fn = getattr(mod, name, None)
        if fn is not None:
            setattr(hooks, name, fn)
    return hooks


def main(argv=None):
    ap = argparse.ArgumentParser(description="Stand-in cloud for the tests.")
    ap.add_argument("--seed", required=True, help="JSON file describing the initial cloud")
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=0, help="0 picks a free port")
    ap.add_argument("--port-file", help="write the chosen port here once listening")
    ap.add_argument("--cert", help="PEM certificate: serve HTTPS")
    ap.add_argument("--key", help="PEM private key of --cert")
    ap.add_argument("--data-dir", help="give volumes and snapshots backing files under this directory")
    ap.add_argument("--hooks", help="Python file with on_attach/on_detach(cloud, server, volume, attachment)")
    ap.add_argument("--watch-stdin", action="store_true", help="stop when standard input reaches its end")
    args = ap.parse_args(argv)

    try:
        with open(args.seed, encoding="utf-8") as f:
            seed = parse_json_strict(f.read().encode())
        if args.data_dir:
            os.makedirs(args.data_dir, exist_ok=True)
        hooks = load_hooks(args.hooks) if args.hooks else None
        app = App(seed, args.data_dir, hooks)
    except (OSError, BadJson, cs.SeedError, KeyError, TypeError, ValueError) as e:
        print("fake_cloud: cannot start: %s" % e, file=sys.stderr)
        return 2

    Handler.app = app
    httpd = Server((args.host, args.port), Handler)
    if args.cert:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.cert, args.key)
        httpd.socket = ctx.wrap_socket(httpd.socket, server_side=True, do_handshake_on_connect=False)
        app.scheme = "https"

    stopping = threading.Event()

    def stop():
        if not stopping.is_set():
            stopping.set()
            httpd.shutdown()

    app.stop = stop
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=stop, daemon=True).start())
    signal.signal(signal.SIGINT, lambda *_: threading.Thread(target=stop, daemon=True).start())
    if args.watch_stdin:
        def watch():
            try:
                while os.read(0, 4096):
                    pass
            except OSError:
                pass
            stop()
        threading.Thread(target=watch, daemon=True).start()

    port = httpd.server_address[1]
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % port)
        os.replace(tmp, args.port_file)
    print("LISTENING %d" % port, flush=True)
    try:
        httpd.serve_forever(poll_interval=0.1)
    finally:
        with app.lock:
            app.cloud.shutdown()
        httpd.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())

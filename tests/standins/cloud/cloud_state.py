"""State model of the stand-in cloud (identity, compute, block storage).

Everything the stand-in knows lives here: the seed, the tokens, servers,
volumes, snapshots and attachments, their state transitions over polls, the
backing files of volumes and snapshots, and the two device hooks
(`Cloud.on_attach`, `Cloud.on_detach`).  The HTTP side (fake_cloud.py) only
checks requests the way the real services do, calls into `Cloud` and turns the
results into replies.

Transitions advance by reads: an object in a transitional state (a volume
"creating", "attaching" or "detaching", a snapshot "creating", a server
"BUILD") keeps showing it for `polls` reads of the object through its own URL
and shows the end state on the next read.  A forced state (fault rule or
control call) replaces the end state of the pending transition.
"""

import copy
import errno
import hashlib
import ipaddress
import os
import secrets
import time
import uuid

DELETED = "<deleted>"

# Reads that still show the transitional state before the end state appears.
POLL_DEFAULTS = {
    "volume_create": 1,
    "snapshot_create": 1,
    "volume_attach": 1,
    "volume_detach": 1,
    "server_build": 1,
    "volume_delete": 0,
    "snapshot_delete": 0,
}

GIB = 1024 ** 3

# Settings of how the services publish themselves (seed "options", or the
# control call /_control/options):
# - identity_endpoint: the identity root its version documents and redirect
#   name (keystone's public_endpoint); "" is the address the request came to,
#   "@PORT@" in it stands for the stand-in's port;
# - compute_link_prefix: the compute URL the "next" links of paged lists
#   name (nova's own endpoint, which a path-mapping front does not rewrite);
# - server_page_limit: the most servers one list reply holds (nova's
#   max_limit);
# - volume_link_prefix: the block-storage URL the "next" links of its paged
#   lists name, up to the version segment (cinder's public_endpoint); "" is
#   the address the request came to plus "/cinder", "@PORT@" in it stands for
#   the stand-in's port;
# - volume_page_limit: the most volumes or snapshots one list reply holds
#   (cinder's osapi_max_limit).
OPTION_DEFAULTS = {
    "identity_endpoint": "",
    "compute_link_prefix": "http://nova-api.internal.invalid:8774/v2.1",
    "server_page_limit": 1000,
    "volume_link_prefix": "",
    "volume_page_limit": 1000,
}


def now_compute():
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())


def now_volume():
    return time.strftime("%Y-%m-%dT%H:%M:%S.000000", time.gmtime())


class ApiError(Exception):
    """A refusal as the service would answer it; the HTTP side formats it."""

    def __init__(self, status, message, kind=None, headers=None):
        super().__init__(message)
        self.status = status
        self.message = message
        self.kind = kind
        self.headers = headers or []


class SeedError(Exception):
    pass


class Pending:
    """A transition in progress: `polls` more reads show the current state."""

    def __init__(self, status, polls, done=None, abort=None):
        self.status = status
        self.polls = max(0, int(polls))
        self.done = done
        self.abort = abort
        self.forced = False

    def as_dict(self):
        return {"status": self.status, "polls_left": self.polls, "forced": self.forced}


class Token:
    def __init__(self, text, user, scope, project_id, ttl):
        self.text = text
        self.user = user
        self.scope = scope  # "project", "system" or "unscoped"
        self.project_id = project_id
        self.issued_at = time.time()
        self.expires_at = self.issued_at + ttl
        self.revoked = False
        self.audit_id = secrets.token_urlsafe(16)[:22]

    def valid(self):
        return not self.revoked and time.time() < self.expires_at


class Attachment:
    def __init__(self, server_id, volume_id, device):
        self.id = str(uuid.uuid4())
        self.server_id = server_id
        self.volume_id = volume_id
        self.device = device
        self.state = "attaching"  # then "attached", "detaching"
        self.attached_at = None
        self.hooked = False  # on_attach ran and on_detach has not yet

    def as_dict(self):
        return {"id": self.id, "server_id": self.server_id, "volume_id": self.volume_id,
                "device": self.device, "state": self.state, "attached_at": self.attached_at}


class Volume:
    kind = "volumes"

    def __init__(self, **f):
        self.id = f.get("id") or str(uuid.uuid4())
        self.name = f.get("name")
        self.project_id = f["project_id"]
        self.user_id = f.get("user_id", "")
        self.size = int(f.get("size", 1))
        self.status = f.get("status", "available")
        self.availability_zone = f.get("availability_zone", "nova")
        self.description = f.get("description")
        self.volume_type = f.get("volume_type", "__DEFAULT__")
        self.bootable = bool(f.get("bootable", False))
        self.snapshot_id = f.get("snapshot_id")
        self.source_volid = f.get("source_volid")
        self.metadata = dict(f.get("metadata") or {})
        self.volume_image_metadata = copy.deepcopy(f.get("volume_image_metadata"))
        self.encrypted = bool(f.get("encrypted", False))
        self.multiattach = bool(f.get("multiattach", False))
        self.created_at = f.get("created_at") or now_volume()
        self.backing_file = f.get("backing_file")
        self.owns_file = False
        self.pending = None

    def as_dict(self, cloud):
        att = cloud.attachment_of(self.id)
        return {"id": self.id, "name": self.name, "project_id": self.project_id,
                "status": self.status, "pending": self.pending and self.pending.as_dict(),
                "size": self.size, "bootable": self.bootable, "volume_type": self.volume_type,
                "availability_zone": self.availability_zone, "description": self.description,
                "metadata": self.metadata, "volume_image_metadata": self.volume_image_metadata,
                "snapshot_id": self.snapshot_id, "source_volid": self.source_volid,
                "user_id": self.user_id, "backing_file": self.backing_file,
                "attachment": att and att.as_dict()}


class Snapshot:
    kind = "snapshots"

    def __init__(self, **f):
        self.id = f.get("id") or str(uuid.uuid4())
        self.name = f.get("name")
        self.description = f.get("description")
        self.volume_id = f["volume_id"]
        self.project_id = f["project_id"]
        self.size = int(f.get("size", 1))
        self.status = f.get("status", "available")
        self.metadata = dict(f.get("metadata") or {})
        self.created_at = f.get("created_at") or now_volume()
        self.backing_file = f.get("backing_file")
        self.owns_file = False
        self.pending = None

    def as_dict(self, cloud):
        return {"id": self.id, "name": self.name, "description": self.description,
                "volume_id": self.volume_id, "project_id": self.project_id,
                "status": self.status, "pending": self.pending and self.pending.as_dict(),
                "size": self.size, "backing_file": self.backing_file}


class Server:
    kind = "servers"

    def __init__(self, **f):
        self.id = f.get("id") or str(uuid.uuid4())
        self.name = f["name"]
        self.project_id = f["project_id"]
        self.user_id = f.get("user_id", "")
        self.status = f.get("status", "ACTIVE")
        self.flavor_id = f.get("flavor_id")
        self.image_id = f.get("image")
        self.availability_zone = f.get("availability_zone", "nova")
        self.hypervisor_hostname = f.get("hypervisor_hostname")
        self.host = f.get("host")
        self.instance_name = f.get("instance_name")
        self.addresses = list(f.get("addresses") or [])  # {"network", "addr", "mac"}
        self.metadata = dict(f.get("metadata") or {})
        self.security_groups = list(f.get("security_groups", ["default"]))
        self.key_name = f.get("key_name")
        self.config_drive = f.get("config_drive", "")
        self.disk_config = f.get("disk_config", "MANUAL")
        self.access_ipv4 = f.get("accessIPv4", "")
        self.access_ipv6 = f.get("accessIPv6", "")
        self.device_prefix = f.get("device_prefix", "/dev/vd")
        self.created = f.get("created") or now_compute()
        self.pending = None

    def as_dict(self, cloud):
        return {"id": self.id, "name": self.name, "project_id": self.project_id,
                "user_id": self.user_id, "status": self.status,
                "pending": self.pending and self.pending.as_dict(),
                "flavor_id": self.flavor_id, "image": self.image_id,
                "availability_zone": self.availability_zone,
                "hypervisor_hostname": self.hypervisor_hostname, "host": self.host,
                "instance_name": self.instance_name, "addresses": self.addresses,
                "metadata": self.metadata, "security_groups": self.security_groups,
                "key_name": self.key_name,
                "volumes": [a.volume_id for a in cloud.attachments_of_server(self.id)]}


class DeviceHooks:
    """What happens on the Kestrova VM's side of an attachment.

    The stand-in calls `on_attach` when an attachment completes (the volume
    turns "in-use") and `on_detach` when a detachment begins.  These default
    versions do nothing; `fake_cloud.py --hooks FILE` loads functions
    on_attach(cloud, server, volume, attachment) and on_detach(...) from FILE
    instead, for example to put a loop device over `volume.backing_file` at
    `attachment.device` when `server.id == cloud.kestrova_vm_id`.
    """

    def on_attach(self, cloud, server, volume, attachment):
        pass

    def on_detach(self, cloud, server, volume, attachment):
        pass


def _sparse_copy(src, dst, size=None):
    """Copies src to dst keeping holes, then extends dst to `size` if larger."""
    with open(src, "rb") as fi, open(dst, "wb") as fo:
        end = os.fstat(fi.fileno()).st_size
        off = 0
        while off < end:
            try:
                data = os.lseek(fi.fileno(), off, os.SEEK_DATA)
            except OSError as e:
                if e.errno == errno.ENXIO:
                    break
                raise
            hole = os.lseek(fi.fileno(), data, os.SEEK_HOLE)
            pos = data
            while pos < hole:
                chunk = os.pread(fi.fileno(), min(1 << 20, hole - pos), pos)
                if not chunk:
                    break
                os.pwrite(fo.fileno(), chunk, pos)
                pos += len(chunk)
            off = hole
        fo.truncate(max(end, size or 0))


class Cloud:
    def __init__(self, seed, data_dir=None, hooks=None):
        self.seed = copy.deepcopy(seed)
        self.data_dir = data_dir
        self.hooks = hooks or DeviceHooks()
        self.load(self.seed)

    # ----------------------------------------------------------- seed
    def load(self, seed):
        opts = seed.get("options", {})
        self.polls = dict(POLL_DEFAULTS)
        self.polls.update(opts.get("polls", {}))
        self.bytes_per_gib = int(opts.get("bytes_per_gib", GIB))
        self.token_ttl = float(opts.get("token_ttl", 3600))
        self.kestrova_vm_id = opts.get("kestrova_vm_id")
        versions = opts.get("api_versions", {})
        self.identity_version = versions.get("identity", "v3.14")
        self.compute_version = versions.get("compute", "v2.1")
        self.volume_version = versions.get("volume", "v3.0")
        self.compute_microversion = versions.get("compute_microversion", "2.79")
        self.volume_microversion = versions.get("volume_microversion", "3.59")
        self.options = dict(OPTION_DEFAULTS)
        self.set_options({k: opts[k] for k in OPTION_DEFAULTS if k in opts})

        self.domains = {d["id"]: dict(d) for d in seed.get("domains", [{"id": "default", "name": "Default"}])}
        self.projects = {}
        for p in seed.get("projects", []):
            p = dict(p)
            p.setdefault("domain_id", "default")
            p.setdefault("name", p["id"])
            p.setdefault("security_groups", ["default"])
            self.projects[p["id"]] = p
        self.users = {}
        for u in seed.get("users", []):
            u = dict(u)
            u.setdefault("id", uuid.uuid5(uuid.NAMESPACE_OID, "user:" + u["name"]).hex)
            u.setdefault("domain_id", "default")
            u.setdefault("projects", [])
            u.setdefault("system_admin", False)
            for pid in u["projects"]:
                if pid not in self.projects:
                    raise SeedError("user %s names unknown project %s" % (u["name"], pid))
            self.users[u["id"]] = u
        self.flavors = {f["id"]: dict(f) for f in seed.get("flavors", [{"id": "1", "name": "m1.small"}])}
        self.images = {i["id"]: dict(i) for i in seed.get("images", [])}
        self.availability_zones = list(seed.get("availability_zones", ["nova"]))
        self.volume_types = list(seed.get("volume_types", ["__DEFAULT__"]))
        self.networks = {}
        for n in seed.get("networks", []):
            self._seed_network(dict(n))
        self.hypervisors = []
        for i, h in enumerate(seed.get("hypervisors", []), start=1):
            h = dict(h)
            h.setdefault("id", i)
            h.setdefault("hypervisor_type", "QEMU")
            h.setdefault("host_ip", "192.168.0.%d" % (10 + i))
            h.setdefault("host", h["hypervisor_hostname"].split(".")[0])
            self.hypervisors.append(h)

        self.tokens = {}
        self.servers = {}
        self.volumes = {}
        self.snapshots = {}
        self.attachments = []
        self.deleted = {"servers": [], "volumes": [], "snapshots": []}
        self.device_events = []
        self._instance_counter = 0

        for v in seed.get("volumes", []):
            self._seed_volume(dict(v))
        for s in seed.get("snapshots", []):
            self._seed_snapshot(dict(s))
        for s in seed.get("servers", []):
            self._seed_server(dict(s))

    def set_options(self, options):
        for k, v in options.items():
            if k not in OPTION_DEFAULTS:
                raise SeedError("unknown option %s" % k)
            if k in ("server_page_limit", "volume_page_limit"):
                if isinstance(v, bool) or not isinstance(v, int) or v < 1:
                    raise SeedError("%s is a number of at least 1" % k)
            elif not isinstance(v, str):
                raise SeedError("%s is a text" % k)
            self.options[k] = v
        return self.options

    def add(self, kind, spec):
        """Adds one object described as in the seed; returns it."""
        adders = {"servers": self._seed_server, "volumes": self._seed_volume,
                  "snapshots": self._seed_snapshot, "networks": self._seed_network}
        if kind not in adders:
            raise SeedError("cannot add objects of kind %s" % kind)
        return adders[kind](dict(spec))

    def _seed_network(self, n):
        n.setdefault("id", str(uuid.uuid4()))
        n.setdefault("label", n["id"])
        n.setdefault("cidr", "10.0.0.0/24")
        n.setdefault("project_id", None)
        self.networks[n["id"]] = n
        return n

    def _seed_volume(self, v):
        v.setdefault("project_id", self._default_project())
        v.setdefault("user_id", self._default_user(v["project_id"]))
        if v.get("id") in self.volumes:
            raise SeedError("volume id %s given twice" % v["id"])
        vol = Volume(**v)
        self._place_volume_file(vol, explicit=v.get("backing_file"))
        self.volumes[vol.id] = vol
        return vol

    def _seed_snapshot(self, s):
        vol = self.volumes.get(s.get("volume_id"))
        if vol is None:
            raise SeedError("snapshot names unknown volume %s" % s.get("volume_id"))
        s.setdefault("project_id", vol.project_id)
        s.setdefault("size", vol.size)
        snap = Snapshot(**s)
        self._copy_into_snapshot(snap, vol)
        self.snapshots[snap.id] = snap
        return snap

    def _default_user(self, project_id):
        return next((u["id"] for u in self.users.values() if project_id in u["projects"]), "")

    def _default_project(self):
        if not self.projects:
            raise SeedError("the seed has no project")
        return next(iter(self.projects))

    def _seed_server(self, s):
        s.setdefault("project_id", self._default_project())
        s.setdefault("user_id", self._default_user(s["project_id"]))
        if s.get("id") in self.servers:
            raise SeedError("server id %s given twice" % s["id"])
        if s.get("flavor_id") is None and self.flavors:
            s["flavor_id"] = next(iter(self.flavors))
        if s.get("hypervisor_hostname") is None and self.hypervisors:
            s["hypervisor_hostname"] = self.hypervisors[0]["hypervisor_hostname"]
        addresses = []
        nets = s.pop("networks", None)
        if nets is None:
            nets = [{"network": n["id"]} for n in list(self.networks.values())[:1]]
        for n in nets:
            net = self.find_network(n.get("network"))
            if net is None:
                raise SeedError("server %s names unknown network %s" % (s.get("name"), n.get("network")))
            addresses.append(self._address(net, n.get("addr"), n.get("mac")))
        s["addresses"] = addresses
        volumes = s.pop("volumes", [])
        srv = Server(**s)
        self._complete_server_fields(srv)
        self.servers[srv.id] = srv
        for i, v in enumerate(volumes):
            vid = v if isinstance(v, str) else v["id"]
            vol = self.volumes.get(vid)
            if vol is None:
                raise SeedError("server %s names unknown volume %s" % (srv.name, vid))
            device = None if isinstance(v, str) else v.get("device")
            if device is None:
                device = srv.device_prefix + "a" if i == 0 and not srv.image_id else self.next_device(srv)
            att = Attachment(srv.id, vid, device)
            att.state = "attached"
            att.attached_at = now_volume()
            self.attachments.append(att)
            vol.status = "in-use"
        return srv

    def _complete_server_fields(self, srv):
        hyp = self.find_hypervisor(srv.hypervisor_hostname)
        if srv.host is None:
            srv.host = hyp["host"] if hyp else (srv.hypervisor_hostname or "").split(".")[0]
        if srv.instance_name is None:
            self._instance_counter += 1
            srv.instance_name = "instance-%08x" % self._instance_counter

    def _address(self, net, addr=None, mac=None):
        if addr is None:
            netw = ipaddress.ip_network(net["cidr"], strict=False)
            used = {a["addr"] for s in self.servers.values() for a in s.addresses}
            for host in netw.hosts():
                if int(host) - int(netw.network_address) < 10 or str(host) in used:
                    continue
                addr = str(host)
                break
        if mac is None:
            mac = "fa:16:3e:%02x:%02x:%02x" % tuple(secrets.token_bytes(3))
        return {"network": net["label"], "network_id": net["id"], "addr": addr, "mac": mac,
                "version": ipaddress.ip_address(addr).version}

    # ----------------------------------------------------------- lookups
    def find_network(self, ref):
        if ref in self.networks:
            return self.networks[ref]
        for n in self.networks.values():
            if n["label"] == ref:
                return n
        return None

    def find_hypervisor(self, hostname):
        for h in self.hypervisors:
            if h["hypervisor_hostname"] == hostname:
                return h
        return None

    def visible_networks(self, project_id):
        return [n for n in self.networks.values() if n["project_id"] in (None, project_id)]

    def attachment_of(self, volume_id):
        for a in self.attachments:
            if a.volume_id == volume_id:
                return a
        return None

    def attachments_of_server(self, server_id):
        return [a for a in self.attachments if a.server_id == server_id]

    def snapshots_of(self, volume_id):
        return [s for s in self.snapshots.values() if s.volume_id == volume_id]

    def next_device(self, server):
        used = {a.device for a in self.attachments_of_server(server.id)}
        used.add(server.device_prefix + "a")  # the root disk, from an image or a volume
        for c in "bcdefghijklmnopqrstuvwxyz":
            if server.device_prefix + c not in used:
                return server.device_prefix + c
        raise ApiError(400, "No free device name left on server %s" % server.id)

    def object(self, kind, oid):
        return {"servers": self.servers, "volumes": self.volumes,
                "snapshots": self.snapshots}[kind].get(oid)

    # ----------------------------------------------------------- identity
    def find_user(self, name=None, user_id=None, domain_id=None, domain_name=None):
        if domain_name is not None:
            domain_id = next((d["id"] for d in self.domains.values() if d.get("name") == domain_name), None)
            if domain_id is None:
                return None
        for u in self.users.values():
            if user_id is not None:
                if u["id"] == user_id:
                    return u
            elif u["name"] == name and u["domain_id"] == domain_id:
                return u
        return None

    def issue_token(self, user, scope, project_id=None):
        text = "gAAAAAB" + secrets.token_urlsafe(132)
        tok = Token(text, user, scope, project_id, self.token_ttl)
        self.tokens[text] = tok
        return tok

    def token(self, text):
        return self.tokens.get(text)

    def expire_tokens(self, scope="all", user=None):
        n = 0
        for t in self.tokens.values():
            if t.revoked or (scope != "all" and t.scope != scope):
                continue
            if user is not None and t.user["name"] != user:
                continue
            t.revoked = True
            n += 1
        return n

    # ----------------------------------------------------------- transitions
    def observe(self, obj):
        """One read of `obj` through its own URL: advances its transition."""
        p = obj.pending
        if p is None:
            return
        if p.polls > 0:
            p.polls -= 1
            return
        self._finish(obj)

    def _finish(self, obj):
        p = obj.pending
        obj.pending = None
        if p.status == DELETED:
            self._remove(obj)
            return
        obj.status = p.status
        if p.forced:
            if p.abort:
                p.abort()
        elif p.done:
            p.done()

    def force_state(self, obj, status, polls=None):
        """The object's pending transition ends in `status`; without one, it is
        in `status` at once."""
        if obj.pending is not None:
            obj.pending.status = status
            obj.pending.forced = True
            if polls is not None:
                obj.pending.polls = max(0, int(polls))
        else:
            obj.status = status

    def set_polls(self, obj, polls):
        if obj.pending is not None:
            obj.pending.polls = max(0, int(polls))

    def set_state_now(self, obj, status):
        if obj.pending is not None:
            obj.pending.status = status
            obj.pending.forced = True
            obj.pending.polls = 0
            self._finish(obj)
        else:
            obj.status = status

    def _remove(self, obj):
        if isinstance(obj, Volume):
            self.volumes.pop(obj.id, None)
        elif isinstance(obj, Snapshot):
            self.snapshots.pop(obj.id, None)
        elif isinstance(obj, Server):
            self.servers.pop(obj.id, None)
        if getattr(obj, "owns_file", False) and obj.backing_file:
            try:
                os.unlink(obj.backing_file)
            except FileNotFoundError:
                pass
        self.deleted[obj.kind].append(obj.id)

    # ----------------------------------------------------------- device hooks
    def on_attach(self, server, volume, attachment):
        attachment.hooked = True
        self.device_events.append({"event": "attach", "server_id": server.id, "volume_id": volume.id,
                                   "device": attachment.device, "backing_file": volume.backing_file})
        self.hooks.on_attach(self, server, volume, attachment)

    def on_detach(self, server, volume, attachment):
        """Runs only for attachments that went through on_attach (seed
        attachments exist from the start and have no device of ours)."""
        if not attachment.hooked:
            return
        attachment.hooked = False
        self.device_events.append({"event": "detach", "server_id": server.id, "volume_id": volume.id,
                                   "device": attachment.device, "backing_file": volume.backing_file})
        self.hooks.on_detach(self, server, volume, attachment)

    # ----------------------------------------------------------- backing files
    def _file_path(self, sub, oid):
        d = os.path.join(self.data_dir, sub)
        os.makedirs(d, exist_ok=True)
        return os.path.join(d, oid + ".img")

    def _place_volume_file(self, vol, explicit=None, source=None):
        """Gives a volume its bytes: the explicit file, a copy of `source`, or
        zeros of its size (only with a data directory)."""
        size = vol.size * self.bytes_per_gib
        if explicit:
            vol.backing_file = explicit
            if not os.path.exists(explicit):
                with open(explicit, "wb") as f:
                    f.truncate(size)
            return
        if self.data_dir is None:
            vol.backing_file = None
            return
        vol.backing_file = self._file_path("volumes", vol.id)
        vol.owns_file = True
        if source:
            _sparse_copy(source, vol.backing_file, size)
        else:
            with open(vol.backing_file, "wb") as f:
                f.truncate(size)

    def _copy_into_snapshot(self, snap, vol):
        if snap.backing_file or self.data_dir is None or not vol.backing_file:
            return
        snap.backing_file = self._file_path("snapshots", snap.id)
        snap.owns_file = True
        _sparse_copy(vol.backing_file, snap.backing_file)

    # ----------------------------------------------------------- volumes
    def create_volume(self, project_id, user_id, size, name=None, description=None,
                      availability_zone="nova", volume_type="__DEFAULT__", metadata=None,
                      snapshot=None, image=None):
        vol = Volume(project_id=project_id, user_id=user_id, size=size, name=name,
                     description=description, availability_zone=availability_zone,
                     volume_type=volume_type, metadata=metadata, status="creating")
        source = None
        if snapshot is not None:
            vol.snapshot_id = snapshot.id
            origin = self.volumes.get(snapshot.volume_id)
            if origin is not None:
                vol.bootable = origin.bootable
                vol.volume_image_metadata = copy.deepcopy(origin.volume_image_metadata)
            source = snapshot.backing_file
        elif image is not None:
            vol.bootable = True
            vol.volume_image_metadata = self.image_metadata(image)
            source = image.get("file")
        self._place_volume_file(vol, source=source)
        vol.pending = Pending("available", self.polls["volume_create"])
        self.volumes[vol.id] = vol
        return vol

    def image_metadata(self, image):
        meta = {"image_id": image["id"], "image_name": image.get("name", image["id"])}
        for k, v in image.get("properties", {}).items():
            meta[k] = v if isinstance(v, str) else str(v)
        return meta

    def delete_volume(self, vol):
        if self.polls["volume_delete"] > 0:
            vol.status = "deleting"
            vol.pending = Pending(DELETED, self.polls["volume_delete"])
        else:
            self._remove(vol)

    # ----------------------------------------------------------- snapshots
    def create_snapshot(self, vol, name=None, description=None):
        snap = Snapshot(volume_id=vol.id, project_id=vol.project_id, size=vol.size,
                        name=name, description=description, status="creating")
        self._copy_into_snapshot(snap, vol)  # the point in time is the request
        snap.pending = Pending("available", self.polls["snapshot_create"])
        self.snapshots[snap.id] = snap
        return snap

    def delete_snapshot(self, snap):
        if self.polls["snapshot_delete"] > 0:
            snap.status = "deleting"
            snap.pending = Pending(DELETED, self.polls["snapshot_delete"])
        else:
            self._remove(snap)

    # ----------------------------------------------------------- attachments
    def attach(self, server, vol):
        att = Attachment(server.id, vol.id, self.next_device(server))
        self.attachments.append(att)
        vol.status = "attaching"

        def done():
            att.state = "attached"
            att.attached_at = now_volume()
            self.on_attach(server, vol, att)

        def abort():
            if att in self.attachments:
                self.attachments.remove(att)

        vol.pending = Pending("in-use", self.polls["volume_attach"], done, abort)
        return att

    def detach(self, server, vol, att):
        att.state = "detaching"
        vol.status = "detaching"
        self.on_detach(server, vol, att)

        def done():
            if att in self.attachments:
                self.attachments.remove(att)

        # A forced state leaves the attachment stuck in "detaching".
        vol.pending = Pending("available", self.polls["volume_detach"], done)

    # ----------------------------------------------------------- servers
    def create_server(self, project_id, user_id, name, flavor_id, boot_volume, networks=(),
                      availability_zone=None, metadata=None, security_groups=None):
        """networks: (network, fixed ip or None) pairs."""
        hyp = self.hypervisors[0] if self.hypervisors else None
        srv = Server(name=name, project_id=project_id, user_id=user_id, status="BUILD",
                     flavor_id=flavor_id, availability_zone=availability_zone or "nova",
                     hypervisor_hostname=hyp and hyp["hypervisor_hostname"],
                     metadata=metadata, security_groups=security_groups or ["default"])
        srv.addresses = [self._address(net, ip) for net, ip in networks]
        self._complete_server_fields(srv)
        self.servers[srv.id] = srv
        att = Attachment(srv.id, boot_volume.id, srv.device_prefix + "a")
        self.attachments.append(att)
        boot_volume.status = "attaching"

        def done():
            for a in self.attachments_of_server(srv.id):
                v = self.volumes.get(a.volume_id)
                if a.state == "attaching" and v is not None and v.pending is None:
                    a.state = "attached"
                    a.attached_at = now_volume()
                    v.status = "in-use"
                    self.on_attach(srv, v, a)

        srv.pending = Pending("ACTIVE", self.polls["server_build"], done)
        return srv

    def delete_server(self, srv):
        for att in self.attachments_of_server(srv.id):
            vol = self.volumes.get(att.volume_id)
            if vol is not None:
                self.on_detach(srv, vol, att)
                vol.status = "available"
                vol.pending = None
            self.attachments.remove(att)
        srv.pending = None
        self._remove(srv)

    # ----------------------------------------------------------- inventory
    def inventory(self):
        return {
            "projects": list(self.projects.values()),
            "users": [{k: v for k, v in u.items() if k != "password"} for u in self.users.values()],
            "flavors": list(self.flavors.values()),
            "images": list(self.images.values()),
            "networks": list(self.networks.values()),
            "hypervisors": self.hypervisors,
            "servers": [s.as_dict(self) for s in self.servers.values()],
            "volumes": [v.as_dict(self) for v in self.volumes.values()],
            "snapshots": [s.as_dict(self) for s in self.snapshots.values()],
            "attachments": [a.as_dict() for a in self.attachments],
            "deleted": self.deleted,
            "polls": self.polls,
            "tokens": {"issued": len(self.tokens),
                       "valid": sum(1 for t in self.tokens.values() if t.valid())},
            "device_events": self.device_events,
            "kestrova_vm_id": self.kestrova_vm_id,
            "api_versions": {"identity": self.identity_version, "compute": self.compute_version,
                             "volume": self.volume_version},
            "options": self.options,
        }

    def shutdown(self):
        """Tears down what the hooks made, then the files this stand-in made."""
        for att in list(self.attachments):
            srv, vol = self.servers.get(att.server_id), self.volumes.get(att.volume_id)
            if srv is not None and vol is not None:
                try:
                    self.on_detach(srv, vol, att)
                except Exception:  # keep tearing down the rest
                    pass
        for obj in list(self.volumes.values()) + list(self.snapshots.values()):
            if obj.owns_file and obj.backing_file:
                try:
                    os.unlink(obj.backing_file)
                except FileNotFoundError:
                    pass


def host_id(project_id, host):
    """The compute service's opaque host id: unique per project and host."""
    if not host:
        return ""
    return hashlib.sha224((project_id + host).encode()).hexdigest()

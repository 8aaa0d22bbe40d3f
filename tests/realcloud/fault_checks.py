"""The moments in between, against the real services: a signal while a
create request is out, a reply without the new object's id, a request that
times out, a signal after the restore's server create, a hang-up while ksfd
reads, one refused clean-up request, two backups at once on the one
Kestrova VM with no serial links and the hints crossed, and two restores of
one server at once whose first volume create loses its reply.

The front (front.py) holds, changes or answers one chosen exchange; the LVM
stand-in can keep what cinder makes "creating" for a while
(tests/standins/lvm/lvm.py); the device mapper can leave out the by-id links
and put disks elsewhere than nova says (device_mapper.py). Each check
asserts the module's exit code and that nothing the run made is left: no
snapshot, no volume, no server, nothing attached to the Kestrova VM.
"""

import json
import os
import re
import signal
import struct
import time
import urllib.parse

import rest
from scenario import MEDIA_SERVER, MIB, MODULE_LOG, TASK_ID, CheckFailed, require

SNAPSHOTS = r"^/cinder/v3/[0-9a-f]+/snapshots$"
VOLUMES = r"^/cinder/v3/[0-9a-f]+/volumes$"
SERVERS = r"^/nova-api/v2(\.1)?/servers$"
SNAPSHOT = r"^/cinder/v3/[0-9a-f]+/snapshots/[0-9a-f-]+$"
SECOND_TASK = "7002"



def archive_digests(path):
    """{item name: SHA-256 of its bytes} of the block devices in an archive of
    the ksfd stand-in, as the stand-in recorded them while it read each device
    (records of a type byte, 64-bit length, payload and 32-byte chain digest;
    an item's end record names the digest of the whole item). The blocks
    themselves are enciphered with the task's key."""
    items, name = {}, None
    with open(path, "rb") as f:
        require(f.read(8) == b"KSFDSA01", "%s is no archive" % path)
        while True:
            head = f.read(9)
            if not head:
                break
            kind, length = head[:1], struct.unpack("<Q", head[1:])[0]
            payload = f.read(length)
            f.read(32)
            if kind not in (b"H", b"I", b"E"):
                continue
            fields = {k: urllib.parse.unquote(v) for k, v in
                      (line.split(" ", 1) for line in payload.decode().splitlines())}
            if kind == b"H":
                require(fields["hash"] == "sha256", "%s is hashed with %s" % (path, fields["hash"]))
            elif kind == b"I":
                name = fields["name"] if fields["type"] == "blockdev" else None
            elif name is not None:
                items[name] = fields["digest"]
                name = None
    return items


class FaultChecks:
    def __init__(self, scenario):
        self.s = scenario
        self.front_rules = scenario.c.front + "/_front/rules"
        self.lvm_delays = os.path.join(scenario.w, "lvm", "delays.json")
        self.mapper_mode = os.path.join(scenario.w, "device-mapper.json")

    # ---- the harness's knobs ----------------------------------------------------------

    def rule(self, **rule):
        status, reply, _ = rest.call("POST", self.front_rules, rule)
        require(status == 200, "the front refused the rule %r: %s" % (rule, reply))
        return reply["id"]

    def rule_state(self, rid):
        return next(r for r in rest.call("GET", self.front_rules)[1]["rules"] if r["id"] == rid)

    def wait_rule(self, rid, key, run, timeout=180):
        """Waits until the rule's `key` is set; fails early when the module ended first."""
        def probe():
            r = self.rule_state(rid)
            if r.get(key):
                return r
            if run["proc"].poll() is not None:
                raise CheckFailed("the module ended (exit %d) before the front's rule %d did (%s)"
                                  % (run["proc"].returncode, rid, json.dumps(r)))
            return None
        return rest.wait_for("the front's rule %d (%s)" % (rid, key), probe, timeout, 0.05)

    def end(self, run):
        """A run a failed check leaves: stopped as a client would stop it, its output kept."""
        if run is not None and not run["done"]:
            if run["proc"].poll() is None:
                run["proc"].send_signal(signal.SIGTERM)
            self.s.finish(run, 300)

    def clear_rules(self):
        rest.call("DELETE", self.front_rules)

    def set_file(self, path, value):
        if value is None:
            if os.path.exists(path):
                os.remove(path)
            return
        with open(path + ".tmp", "w") as f:
            json.dump(value, f)
        os.replace(path + ".tmp", path)

    # ---- the runs -----------------------------------------------------------------------

    def backup_args(self, server, name, task_dir=None, task=TASK_ID):
        return ["-1", "-b", server, "-d", task_dir or self.s.task, "-m", MEDIA_SERVER, "-T", task, "-n", name]

    def restore_args(self, name):
        return ["-r", name, "-d", self.s.task, "-m", MEDIA_SERVER, "-T", TASK_ID, "-M", self.s.handover(name),
                "-e", "last:true"]

    def inventory(self):
        s = self.s
        return ({x["id"] for x in s.snapshots()}, {v["id"] for v in s.volumes()}, {x["id"] for x in s.servers()})

    def error_lines(self, log_mark):
        if not os.path.exists(MODULE_LOG):
            return []
        with open(MODULE_LOG, "rb") as f:
            f.seek(log_mark)
            return [l for l in f.read().decode("utf-8", "replace").splitlines() if "Error: " in l]

    def module_log_since(self, log_mark):
        with open(MODULE_LOG, "rb") as f:
            f.seek(log_mark)
            return f.read().decode("utf-8", "replace")

    def left(self, before, log_mark, settle=180):
        """What the runs since `before` (an inventory()) left: snapshots,
        volumes and servers that were not there, and volumes on the Kestrova VM
        besides its own. nova and cinder delete after they have answered:
        objects on their way out are waited for (bounded). Each with whether an
        Error line of the module names it."""
        s = self.s
        end = time.time() + settle
        while True:
            snaps = [x for x in s.snapshots() if x["id"] not in before[0]]
            vols = [v for v in s.volumes() if v["id"] not in before[1]]
            servers = [x for x in s.servers() if x["id"] not in before[2]]
            going = (any(x["status"] == "deleting" for x in snaps + vols) or
                     any(x.get("OS-EXT-STS:task_state") == "deleting" or x["status"] == "DELETED" for x in servers))
            if not going or time.time() > end:
                break
            time.sleep(1)
        errors = self.error_lines(log_mark)
        named = lambda oid: any(oid in line for line in errors)  # noqa: E731
        problems = []
        for kind, objs in (("snapshot", snaps), ("volume", vols), ("server", servers)):
            for o in objs:
                problems.append("%s %s (%s, %s) is left%s" % (kind, o["id"], o.get("name"), o["status"],
                                                             " (named at Error)" if named(o["id"]) else ""))
        for vid in s.attached_to(s.kvm):
            if vid != s.kvm_root:
                problems.append("volume %s is still attached to the Kestrova VM" % vid)
        return problems

    def require_clean(self, code, expected, before, log_mark, what):
        require(code == expected, "%s exited %d, not %d" % (what, code, expected))
        problems = self.left(before, log_mark)
        require(not problems, "; ".join(problems))

    def requests(self, front_mark, method, pattern):
        return [e for e in self.s.exchanges(front_mark) if e["method"] == method and re.search(pattern, e["path"])]

    def descendants(self, pid):
        children = {}
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open("/proc/%s/stat" % entry) as f:
                        ppid = int(f.read().rsplit(")", 1)[1].split()[1])
                except (OSError, IndexError, ValueError):
                    continue
                children.setdefault(ppid, []).append(int(entry))
        out, todo = [], [pid]
        while todo:
            for child in children.get(todo.pop(), []):
                out.append(child)
                todo.append(child)
        return out

    def alive(self, pid):
        try:
            with open("/proc/%d/stat" % pid) as f:
                return f.read().rsplit(")", 1)[1].split()[0] != "Z"
        except (OSError, IndexError):
            return False

    def ksfd_of(self, pid):
        for child in self.descendants(pid):
            try:
                with open("/proc/%d/cmdline" % child, "rb") as f:
                    argv0 = f.read().split(b"\0")[0]
            except OSError:
                continue
            if argv0.endswith(b"/ksfd"):
                return child
        return None

    # ---- preparation --------------------------------------------------------------------

    def prepare(self):
        """The servers the fault checks back up: one with one volume, one with two."""
        s = self.s
        print("preparing: the servers of the fault checks", flush=True)
        # The project's default quotas (10 volumes, 10 snapshots, 10 servers)
        # are too few for the servers, copies and restores of all checks.
        c = s.c
        c.admin.put("%s/v3/%s/os-quota-sets/%s" % (c.cinder, c.admin_project, c.project),
                    {"quota_set": {"volumes": 100, "snapshots": 100, "gigabytes": 1000}})
        c.admin.put("%s/v2.1/os-quota-sets/%s" % (c.nova, c.project),
                    {"quota_set": {"instances": 100, "cores": 100, "ram": 100000}})
        self.a_root = s.make_volume("fault-a-root", True)
        self.b_root = s.make_volume("fault-b-root", True)
        self.b_data = s.make_volume("fault-b-data", False)
        for vid in (self.a_root, self.b_root, self.b_data):
            s.write_lv(vid, 0, os.urandom(4 * MIB))
            s.write_lv(vid, 700 * MIB, os.urandom(1 * MIB))
        self.a = s.make_server("ks-fault-a", [self.a_root])
        self.b = s.make_server("ks-fault-b", [self.b_root, self.b_data])
        s.originals.update((self.a_root, self.b_root, self.b_data))
        self.task_b = os.path.join(s.w, "task-b")
        os.makedirs(self.task_b, exist_ok=True)
        with open("/opt/kestrova/var/tasks/task_secret_" + SECOND_TASK, "w") as f:
            f.write("secret of task %s\n" % SECOND_TASK)

    # ---- the checks ---------------------------------------------------------------------

    def signal_in_flight(self, label, pattern, sig, delays):
        """A backup of ks-fault-a, `sig` while the front holds the reply of the
        first create request matching `pattern` (the service has answered, so
        the object exists) and the LVM stand-in keeps it "creating"."""
        s = self.s
        before, log_mark, front_mark = self.inventory(), s.module_log_size(), s.front_lines()
        self.set_file(self.lvm_delays, delays)
        run = None
        try:
            rid = self.rule(method="POST", path=pattern, hold=4)
            run = s.start(label, self.backup_args(self.a, label))
            r = self.wait_rule(rid, "held", run)
            require(r["status"] == 202, "the create was refused: %s %s" % (r["status"], r["reply"]))
            kind = "snapshot" if "snapshot" in json.loads(r["reply"]) else "volume"
            made = json.loads(r["reply"])[kind]["id"]
            url = "%s/%ss/%s" % (s.cinder, kind, made)
            state = s.m.get(url)[kind]["status"]
            run["proc"].send_signal(sig)
            code, _, _ = s.finish(run, 600)
        finally:
            self.end(run)
            self.set_file(self.lvm_delays, None)
            self.clear_rules()
        self.require_clean(code, 17, before, log_mark, "the backup")
        require("Module was terminated. PID: " in self.module_log_since(log_mark), "no termination line")
        deletes = self.requests(front_mark, "DELETE", "/%ss/%s$" % (kind, made))
        require(deletes, "no DELETE of %s %s through the front" % (kind, made))
        return "%s %s was %s when %s came; deleted by the module (%s)" % (
            kind, made, state, signal.Signals(sig).name, ", ".join(str(d["status"]) for d in deletes))

    def c_snapshot_signal(self):
        return self.signal_in_flight("fault-sigterm-snapshot", SNAPSHOTS, signal.SIGTERM, {"snapshot": 10})

    def c_copy_signal(self):
        return self.signal_in_flight("fault-sigint-copy", VOLUMES, signal.SIGINT, {"volume": 10})

    def c_copy_without_id(self):
        s = self.s
        before, log_mark, front_mark = self.inventory(), s.module_log_size(), s.front_lines()
        try:
            rid = self.rule(method="POST", path=VOLUMES, drop=["volume", "id"])
            code, _, _ = s.run("fault-copy-without-id", self.backup_args(self.a, "fault-copy-without-id"))
            r = self.rule_state(rid)
        finally:
            self.clear_rules()
        require(r.get("sent"), "the front's rule did not fire: %s" % json.dumps(r))
        require(r["reply"] != r["original"], "the reply had no id to drop: %s" % r["reply"])
        made = json.loads(r["original"])["volume"]["id"]
        self.require_clean(code, 6, before, log_mark, "the backup")
        deletes = self.requests(front_mark, "DELETE", "/volumes/%s$" % made)
        require(deletes, "the module sent no DELETE of the copy %s" % made)
        return "the copy %s found and deleted (%s)" % (made, ", ".join(str(d["status"]) for d in deletes))

    def c_terminate_during_ksfd(self):
        self.signal_during_ksfd(signal.SIGTERM, "fault-sigterm-ksfd")

    def c_hangup_during_ksfd(self):
        self.signal_during_ksfd(signal.SIGHUP, "fault-sighup-ksfd")

    def signal_during_ksfd(self, sig, label):
        s = self.s
        before, log_mark = self.inventory(), s.module_log_size()
        run = s.start(label, self.backup_args(self.a, label),
                      {"KSFD_STANDIN_DELAY_ITEM_MS": "2000"})
        try:
            ksfd = rest.wait_for("ksfd under the module", lambda: self.ksfd_of(run["proc"].pid) or
                                 (run["proc"].poll() is not None and -1), 300, 0.1)
            require(ksfd != -1, "the module ended (exit %s) before it ran ksfd" % run["proc"].returncode)
            run["proc"].send_signal(sig)
            code, _, _ = s.finish(run, 600)
        finally:
            self.end(run)
        rest.wait_for("ksfd %d to end with the module" % ksfd, lambda: not self.alive(ksfd), 10, 0.1)
        self.require_clean(code, 17, before, log_mark, "the backup")
        require("Module was terminated. PID: " in self.module_log_since(log_mark), "no termination line")

    def c_one_failed_snapshot_delete(self):
        s = self.s
        before, log_mark, front_mark = self.inventory(), s.module_log_size(), s.front_lines()
        try:
            rid = self.rule(method="DELETE", path=SNAPSHOT, answer=500)
            code, _, _ = s.backup("fault-full", self.a, "fault-full")
            r = self.rule_state(rid)
        finally:
            self.clear_rules()
        require(r["fired"], "no DELETE of a snapshot came")
        self.require_clean(code, 0, before, log_mark, "the backup")
        tries = self.requests(front_mark, "DELETE", SNAPSHOT)
        return "the snapshot's deletes: %s" % ", ".join(str(e["status"]) for e in tries)

    def c_two_at_once(self):
        s = self.s
        before, log_mark = self.inventory(), s.module_log_size()
        expected = {"a": {s.digest(self.a_root)}, "b": {s.digest(self.b_root), s.digest(self.b_data)}}
        self.set_file(self.mapper_mode, {"by_id": False, "cross": True})
        runs = {}
        try:
            runs = {"a": s.start("fault-together-a", self.backup_args(self.a, "fault-together-a")),
                    "b": s.start("fault-together-b", self.backup_args(self.b, "fault-together-b", self.task_b,
                                                                      SECOND_TASK))}
            codes = {k: s.finish(r, 900)[0] for k, r in runs.items()}
        finally:
            for r in runs.values():
                self.end(r)
            self.set_file(self.mapper_mode, None)
        require(codes == {"a": 0, "b": 0}, "the backups exited %s" % codes)
        for k in ("a", "b"):
            found = archive_digests(os.path.join(s.media, "fault-together-%s.ksfd" % k))
            other = expected["b" if k == "a" else "a"]
            require(not other & set(found.values()),
                    "the archive of ks-fault-%s holds the other server's bytes: %s" % (k, found))
            require(set(found.values()) == expected[k],
                    "the archive of ks-fault-%s holds %s, its LVs are %s" % (k, found, sorted(expected[k])))
        problems = self.left(before, log_mark)
        require(not problems, "; ".join(problems))
        told = re.findall(r"The cloud reported device '([^']+)' for volume '[^']+', the one new disk is '([^']+)'",
                          self.module_log_since(log_mark))
        require(told, "no device was told by the one-new-disk rule (were the hints crossed?)")
        return "each archive equals its own LVs; the one new disk instead of the hint: %s" % ", ".join(
            "%s for %s" % (d, h) for h, d in told)

    def c_restore_times_out(self):
        s = self.s
        before, log_mark = self.inventory(), s.module_log_size()
        # Long enough for every other request of a loaded cloud (a network
        # list took over 8 s once), well short of the hold.
        s.write_config(s.c.front, timeout=30)
        try:
            rid = self.rule(method="POST", path=VOLUMES, hold=70)
            code, _, _ = s.run("fault-restore-times-out", self.restore_args("fault-full"))
            # The service made the volume before the hold: it counts too.
            r = rest.wait_for("the held reply", lambda: (lambda x: x if x.get("sent") or x.get("send_error")
                                                         else None)(self.rule_state(rid)), 120, 0.2)
        finally:
            s.write_config(s.c.front)
            self.clear_rules()
        made = json.loads(r["reply"])["volume"]["id"]
        self.require_clean(code, 7, before, log_mark, "the restore")
        return "volume %s (its reply held 70 s, time-out 30 s) found and deleted" % made

    def c_signal_after_server_create(self):
        s = self.s
        before, log_mark = self.inventory(), s.module_log_size()
        run = None
        try:
            rid = self.rule(method="POST", path=SERVERS)
            run = s.start("fault-sigterm-after-server-create", self.restore_args("fault-full"))
            r = self.wait_rule(rid, "sent", run, 600)
            server = json.loads(r["reply"])["server"]["id"]
            state = s.server(server)["status"]
            run["proc"].send_signal(signal.SIGTERM)
            code, _, _ = s.finish(run, 600)
        finally:
            self.end(run)
            self.clear_rules()
        self.require_clean(code, 17, before, log_mark, "the restore")
        return "server %s was %s when SIGTERM came; it and the restored volumes are gone" % (server, state)

    def c_two_restores_at_once(self):
        """Two restores of ks-fault-a's two backup records at once, the second
        started a second after cinder answered the first's volume create; the
        front holds that reply and then closes the connection instead, and
        the LVM stand-in keeps every new volume "creating" meanwhile, so both
        copies (same name, description and size) are in a state a create
        gives while the first restore looks for its own. The first finds its
        own volume, deletes it and ends 7; the second waits for that lookup
        and restores the server (0); nothing of the second is deleted."""
        s = self.s
        code, _, _ = s.backup("fault-second-record", self.a, "fault-second")
        require(code == 0, "the second backup of ks-fault-a exited %d" % code)
        before, log_mark, front_mark = self.inventory(), s.module_log_size(), s.front_lines()
        self.set_file(self.lvm_delays, {"volume": 30})
        runs = {}
        try:
            rid = self.rule(method="POST", path=VOLUMES, hold=25, cut=True)
            runs["first"] = s.start("fault-together-restore-first", self.restore_args("fault-full"))
            self.wait_rule(rid, "answered", runs["first"])
            time.sleep(1)
            runs["second"] = s.start("fault-together-restore-second", self.restore_args("fault-second"))
            codes = {k: s.finish(r, 1200)[0] for k, r in runs.items()}
            r = self.rule_state(rid)
        finally:
            for run in runs.values():
                self.end(run)
            self.set_file(self.lvm_delays, None)
            self.clear_rules()
        require(r.get("cut"), "the front did not cut the first volume create: %s" % json.dumps(r))
        require(r["status"] == 202, "the first volume create was refused: %s %s" % (r["status"], r["original"]))
        first_made = json.loads(r["original"])["volume"]["id"]
        # The second restore's server and its volume stay (it succeeded).
        new_servers = [x for x in s.servers() if x["id"] not in before[2]]
        require(len(new_servers) == 1, "%d new servers: %s" % (len(new_servers), [x["name"] for x in new_servers]))
        server = new_servers[0]
        its_volumes = set(s.attached_to(server["id"]))
        s.originals.update(its_volumes)
        require(codes == {"first": 7, "second": 0}, "the restores exited %s" % codes)
        require(len(its_volumes) == 1, "the restored server has the volumes %s" % sorted(its_volumes))
        self.s.wait_server(server["id"], "ACTIVE", 120)
        deleted = self.requests(front_mark, "DELETE", r"/volumes/[0-9a-f-]+$")
        touched = [e["path"] for e in deleted if any(e["path"].endswith("/" + v) for v in its_volumes)]
        require(not touched, "the second restore's volume was deleted: %s" % touched)
        require(any(e["path"].endswith("/" + first_made) for e in deleted),
                "the first restore's own volume %s was not deleted" % first_made)
        problems = [p for p in self.left(before, log_mark)
                    if server["id"] not in p and not any(v in p for v in its_volumes)]
        require(not problems, "; ".join(problems))
        log = self.module_log_since(log_mark)
        require("Waiting while another module process creates an object in the cloud" in log,
                "the second restore did not wait for the first one's lookup")
        require("that the failed request made: '%s'" % first_made in log,
                "the first restore did not find its own volume %s" % first_made)
        return "the first found its own volume %s and deleted it (7); the second waited and restored %s (0)" % (
            first_made, server["name"])

    def run_all(self, check):
        self.prepare()
        check("SIGTERM while the backup's snapshot create is in flight: 17, the snapshot removed",
              self.c_snapshot_signal)
        check("SIGINT while the backup's volume create is in flight: 17, the copy and snapshot removed",
              self.c_copy_signal)
        check("the backup's volume create answered without the id: the copy found and removed, 6",
              self.c_copy_without_id)
        check("SIGTERM while ksfd runs in a backup: 17, nothing left", self.c_terminate_during_ksfd)
        check("SIGHUP while ksfd runs in a backup: 17, nothing left", self.c_hangup_during_ksfd)
        full = "one failed snapshot delete in the backup's release: retried, 0, nothing left"
        check(full, self.c_one_failed_snapshot_delete)
        check("two backups at once, no by-id links, crossed hints: 0 and each archive its own server's bytes",
              self.c_two_at_once)
        check("the restore's first volume create times out: 7, nothing of the restore left",
              self.c_restore_times_out, [full])
        check("SIGTERM after the restore's server create was answered: 17, the server and volumes deleted",
              self.c_signal_after_server_create, [full])
        check("two restores of one server at once, the first's volume create cut after cinder made it: "
              "the first finds its own volume (7), the second restores (0), nothing of it deleted",
              self.c_two_restores_at_once, [full])

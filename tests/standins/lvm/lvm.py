#!/usr/bin/python3 -S
"""A stand-in for the LVM tools, for scripts/test-cloud only: the volume
groups and logical volumes that cinder's LVM driver asks for, on a machine
whose kernel has no device-mapper.

    lvm.py --state DIR COMMAND [ARG]...      (COMMAND: lvm vgcreate vgs pvs lvs
                                              lvcreate lvremove lvchange
                                              lvdisplay lvextend lvrename)
    lvm.py --state DIR teardown              detaches every loop device

Each logical volume is a sparse file DIR/<vg>/<lv> bound to a loop device, so
it is a real block device with real bytes: /dev/mapper/<vg>-<lv> (dashes
doubled, as device-mapper names them) is a node of that loop device and
/dev/<vg>/<lv> links to it. A snapshot is a copy of its origin's bytes taken
after the origin's device was flushed; later writes to either do not reach
the other, as with an LVM snapshot. Output and exit codes follow the LVM
commands in the forms cinder's driver reads (--noheadings, --separator,
--unit=g --nosuffix, -o with the fields it names).

Only inside the test sandbox's private /dev (ks-sandbox --private-dev, marked
by /dev/.ks-private-dev): anywhere else it refuses, so the machine's own /dev
is never written. Loop devices outlive the command (they are what cinder
reads and writes); teardown lets them go.

DIR/delays.json, when there, makes lvcreate slower by itself, so that the
cloud's volumes and snapshots stay "creating" for a while:
{"snapshot": SECONDS, "volume": SECONDS} (a snapshot's lvcreate, any other).
The wait comes before the command takes the state's lock, so other commands
go on meanwhile.
"""

import errno
import fcntl
import json
import os
import stat
import struct
import subprocess
import sys
import time
import uuid

MARKER = "/dev/.ks-private-dev"

# linux/loop.h
LOOP_SET_CAPACITY = 0x4C07
LOOP_CLR_FD = 0x4C01
LOOP_CONFIGURE = 0x4C0A
LOOP_CTL_GET_FREE = 0x4C82
LO_NAME_SIZE = 64
BLKFLSBUF = 0x1261

GIB = 1 << 30
VERSION_TEXT = ("  LVM version:     2.03.16(2) (2022-05-18)\n"
                "  Library version: 1.02.185 (2022-05-18)\n"
                "  Driver version:  4.47.0\n")


class Failure(Exception):
    def __init__(self, text, code=5):
        super().__init__(text)
        self.code = code


# ---- loop devices -----------------------------------------------------------------

def _loop_config(backing_fd, name):
    info = struct.pack("=5Q4I%ds%ds32s2Q" % (LO_NAME_SIZE, LO_NAME_SIZE),
                       0, 0, 0, 0, 0, 0, 0, 0, 0,
                       name.encode()[:LO_NAME_SIZE - 1], b"", b"", 0, 0)
    return struct.pack("=II", backing_fd, 0) + info + bytes(8 * 8)


def _rdev_of(n):
    with open("/sys/block/loop%d/dev" % n) as f:
        major, minor = f.read().strip().split(":")
    return os.makedev(int(major), int(minor))


def _bind_loop(path):
    """A free loop device bound to the file, without autoclear: /dev/loopN."""
    backing = os.open(path, os.O_RDWR | os.O_CLOEXEC)
    ctl = os.open("/dev/loop-control", os.O_RDWR | os.O_CLOEXEC)
    try:
        # Other processes take free devices too: try again when one is gone.
        for _ in range(50):
            n = fcntl.ioctl(ctl, LOOP_CTL_GET_FREE)
            node = "/dev/loop%d" % n
            if not os.path.exists(node):
                os.mknod(node, stat.S_IFBLK | 0o660, _rdev_of(n))
            fd = os.open(node, os.O_RDWR | os.O_CLOEXEC)
            try:
                fcntl.ioctl(fd, LOOP_CONFIGURE, _loop_config(backing, path))
                return node
            except OSError as e:
                if e.errno != errno.EBUSY:
                    raise
                time.sleep(0.01)
            finally:
                os.close(fd)
        raise Failure("no free loop device")
    finally:
        os.close(ctl)
        os.close(backing)


def _release_loop(node):
    try:
        fd = os.open(node, os.O_RDWR | os.O_CLOEXEC)
    except FileNotFoundError:
        return
    try:
        fcntl.ioctl(fd, LOOP_CLR_FD)  # still open elsewhere: it goes when closed
    except OSError as e:
        if e.errno != errno.ENXIO:
            raise
    finally:
        os.close(fd)


def _flush(node):
    fd = os.open(node, os.O_RDWR | os.O_CLOEXEC)
    try:
        os.fsync(fd)
        fcntl.ioctl(fd, BLKFLSBUF)
    finally:
        os.close(fd)


# ---- state ------------------------------------------------------------------------

class State:
    """DIR/state.json under an exclusive lock for the whole command."""

    def __init__(self, root):
        self.root = root
        os.makedirs(root, exist_ok=True)
        self._lock = open(os.path.join(root, "state.lock"), "a")
        fcntl.flock(self._lock, fcntl.LOCK_EX)
        self.path = os.path.join(root, "state.json")
        try:
            with open(self.path) as f:
                self.data = json.load(f)
        except FileNotFoundError:
            self.data = {"vgs": {}, "lvs": {}}

    def save(self):
        tmp = self.path + ".tmp"
        with open(tmp, "w") as f:
            json.dump(self.data, f, indent=1, sort_keys=True)
        os.replace(tmp, self.path)

    def vg(self, name):
        vg = self.data["vgs"].get(name)
        if vg is None:
            raise Failure('  Volume group "%s" not found\n  Cannot process volume group %s' % (name, name))
        return vg

    def lv(self, ref):
        vg, _, name = ref.partition("/")
        self.vg(vg)
        lv = self.data["lvs"].get(vg + "/" + name)
        if lv is None:
            raise Failure('  Failed to find logical volume "%s/%s"' % (vg, name))
        return lv

    def lvs_of(self, vg):
        return sorted((k, v) for k, v in self.data["lvs"].items() if k.split("/")[0] == vg)

    def used_g(self, vg):
        return sum(v["size_g"] for _, v in self.lvs_of(vg))


def _mapper_name(vg, lv):
    return "/dev/mapper/%s-%s" % (vg.replace("-", "--"), lv.replace("-", "--"))


def _activate(vg, name, lv):
    if lv.get("loop"):
        return
    lv["loop"] = _bind_loop(lv["file"])
    rdev = os.stat(lv["loop"]).st_rdev
    os.makedirs("/dev/mapper", exist_ok=True)
    os.makedirs("/dev/" + vg, exist_ok=True)
    mapper = _mapper_name(vg, name)
    if os.path.lexists(mapper):
        os.unlink(mapper)
    os.mknod(mapper, stat.S_IFBLK | 0o660, rdev)
    link = "/dev/%s/%s" % (vg, name)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink("../mapper/" + os.path.basename(mapper), link)


def _deactivate(vg, name, lv):
    for path in (_mapper_name(vg, name), "/dev/%s/%s" % (vg, name)):
        if os.path.lexists(path):
            os.unlink(path)
    if lv.get("loop"):
        _release_loop(lv["loop"])
        lv["loop"] = None


# ---- arguments --------------------------------------------------------------------

VALUED = {"-n", "--name", "-L", "--size", "-o", "--options", "--separator", "--unit", "--config",
          "-a", "--activate", "-k", "--setactivationskip"}


def _parse(args):
    opts, pos = {}, []
    i = 0
    while i < len(args):
        a = args[i]
        if a.startswith("--") and "=" in a:
            k, v = a.split("=", 1)
            opts[k] = v
        elif a in VALUED:
            if i + 1 >= len(args):
                raise Failure("option %s needs a value" % a, 3)
            opts[a] = args[i + 1]
            i += 1
        elif a.startswith("-"):
            opts[a] = True
        else:
            pos.append(a)
        i += 1
    return opts, pos


def _opt(opts, *names, default=None):
    for n in names:
        if n in opts:
            return opts[n]
    return default


def _size_g(text):
    t = text.strip().lower()
    units = {"g": 1.0, "m": 1.0 / 1024, "t": 1024.0}
    if t and t[-1] in units:
        return float(t[:-1]) * units[t[-1]]
    return float(t) / 1024  # LVM's default unit is MiB


def _fmt_g(value, opts):
    return "%.2f" % value + ("" if "--nosuffix" in opts else "g")


def _report(rows, fields, opts):
    sep = _opt(opts, "--separator")
    for row in rows:
        values = [str(row[f]) for f in fields]
        print("  " + (sep.join(values) if sep is not None else " ".join(values)))


# ---- commands ---------------------------------------------------------------------

def cmd_lvm(state, args):
    if args[:1] == ["version"]:
        sys.stdout.write(VERSION_TEXT)
        return
    raise Failure("unsupported: lvm %s" % " ".join(args), 3)


def cmd_vgcreate(state, args):
    opts, pos = _parse(args)
    size = _size_g(_opt(opts, "-L", "--size", default="100g"))
    name = pos[0]
    if name in state.data["vgs"]:
        raise Failure('  A volume group called %s already exists.' % name)
    state.data["vgs"][name] = {"size_g": size, "uuid": str(uuid.uuid4())}
    os.makedirs(os.path.join(state.root, name), exist_ok=True)
    state.save()
    print('  Volume group "%s" successfully created' % name)


def cmd_vgs(state, args):
    opts, pos = _parse(args)
    names = pos or sorted(state.data["vgs"])
    fields = _opt(opts, "-o", "--options", default="name,size,free,lv_count,uuid").split(",")
    rows = []
    for n in names:
        vg = state.vg(n)
        rows.append({"name": n, "vg_name": n, "size": _fmt_g(vg["size_g"], opts),
                     "free": _fmt_g(vg["size_g"] - state.used_g(n), opts),
                     "lv_count": len(state.lvs_of(n)), "uuid": vg["uuid"]})
    _report(rows, fields, opts)


def cmd_pvs(state, args):
    opts, _ = _parse(args)
    fields = _opt(opts, "-o", "--options", default="vg_name,name,size,free").split(",")
    rows = [{"vg_name": n, "name": "/dev/ks-standin-pv-" + n, "size": _fmt_g(vg["size_g"], opts),
             "free": _fmt_g(vg["size_g"] - state.used_g(n), opts)}
            for n, vg in sorted(state.data["vgs"].items())]
    _report(rows, fields, opts)


def cmd_lvs(state, args):
    opts, pos = _parse(args)
    fields = _opt(opts, "-o", "--options", default="vg_name,name,size").split(",")
    rows = []
    targets = pos or sorted(state.data["vgs"])
    for t in targets:
        if "/" in t:
            state.lv(t)
            keys = [t]
        else:
            state.vg(t)
            keys = [k for k, _ in state.lvs_of(t)]
        for k in keys:
            lv = state.data["lvs"][k]
            vg, name = k.split("/")
            rows.append({"vg_name": vg, "name": name, "lv_name": name, "size": _fmt_g(lv["size_g"], opts),
                         "origin": lv.get("origin") or ""})
    _report(rows, fields, opts)


def _attr(state, key, lv):
    vg = key.split("/")[0]
    has_snapshots = any(v.get("origin") == key.split("/")[1] for _, v in state.lvs_of(vg))
    kind = "s" if lv.get("origin") else ("o" if has_snapshots else "-")
    return kind + "wi-" + ("a" if lv.get("loop") else "-") + "-" + ("s" if lv.get("origin") else "-") + "---"


def cmd_lvdisplay(state, args):
    opts, pos = _parse(args)
    field = _opt(opts, "-o", "--options", default="Attr")
    key = pos[0]
    lv = state.lv(key)
    print("  " + (_attr(state, key, lv) if field.lower() == "attr" else (lv.get("origin") or "")))


def cmd_lvcreate(state, args):
    opts, pos = _parse(args)
    name = _opt(opts, "-n", "--name")
    if not name:
        raise Failure("lvcreate: no name given", 3)
    size = _size_g(_opt(opts, "-L", "--size", default="0"))
    if "--snapshot" in opts or "-s" in opts:
        origin_key = pos[0]
        origin = state.lv(origin_key)
        vg = origin_key.split("/")[0]
        origin_name = origin_key.split("/")[1]
    else:
        vg, origin, origin_name = pos[0], None, None
    vgrec = state.vg(vg)
    key = vg + "/" + name
    if key in state.data["lvs"]:
        raise Failure('  Logical Volume "%s" already exists in volume group "%s"' % (name, vg))
    if size <= 0:
        raise Failure("lvcreate: a size is needed", 3)
    if state.used_g(vg) + size > vgrec["size_g"] + 1e-9:
        raise Failure('  Volume group "%s" has insufficient free space' % vg)
    path = os.path.join(state.root, vg, name)
    if origin:
        if origin.get("loop"):
            _flush(origin["loop"])
        subprocess.run(["cp", "--sparse=always", origin["file"], path + ".tmp"], check=True)
        os.truncate(path + ".tmp", int(origin["size_g"] * GIB))
        os.replace(path + ".tmp", path)
        size = origin["size_g"]
    else:
        with open(path, "wb") as f:
            f.truncate(int(size * GIB))
    lv = {"size_g": size, "file": path, "loop": None, "origin": origin_name}
    state.data["lvs"][key] = lv
    state.save()
    _activate(vg, name, lv)
    state.save()
    print('  Logical volume "%s" created.' % name)


def cmd_lvremove(state, args):
    _, pos = _parse(args)
    for key in pos:
        lv = state.lv(key)
        _deactivate(*key.split("/"), lv)
        if os.path.exists(lv["file"]):
            os.unlink(lv["file"])
        del state.data["lvs"][key]
        state.save()
        print('  Logical volume "%s" successfully removed.' % key.split("/")[1])


def cmd_lvchange(state, args):
    opts, pos = _parse(args)
    mode = _opt(opts, "-a", "--activate", default="")
    for key in pos:
        lv = state.lv(key)
        if mode.startswith("y"):
            _activate(*key.split("/"), lv)
        elif mode.startswith("n"):
            _deactivate(*key.split("/"), lv)
        state.save()


def cmd_lvextend(state, args):
    opts, pos = _parse(args)
    key = pos[0]
    lv = state.lv(key)
    size = _size_g(_opt(opts, "-L", "--size"))
    vg = key.split("/")[0]
    if state.used_g(vg) - lv["size_g"] + size > state.vg(vg)["size_g"] + 1e-9:
        raise Failure('  Insufficient free space')
    os.truncate(lv["file"], int(size * GIB))
    lv["size_g"] = size
    if lv.get("loop"):
        fd = os.open(lv["loop"], os.O_RDWR | os.O_CLOEXEC)
        try:
            fcntl.ioctl(fd, LOOP_SET_CAPACITY)
        finally:
            os.close(fd)
    state.save()


def cmd_lvrename(state, args):
    _, pos = _parse(args)
    vg, old, new = pos[0], pos[1], pos[2]
    lv = state.lv(vg + "/" + old)
    active = bool(lv.get("loop"))
    _deactivate(vg, old, lv)
    path = os.path.join(state.root, vg, new)
    os.replace(lv["file"], path)
    lv["file"] = path
    del state.data["lvs"][vg + "/" + old]
    state.data["lvs"][vg + "/" + new] = lv
    for _, other in state.lvs_of(vg):
        if other.get("origin") == old:
            other["origin"] = new
    if active:
        _activate(vg, new, lv)
    state.save()


def cmd_teardown(state, args):
    for key, lv in sorted(state.data["lvs"].items()):
        _deactivate(*key.split("/"), lv)
    state.save()


COMMANDS = {name[4:]: fn for name, fn in globals().items() if name.startswith("cmd_")}


def _creation_delay(root, args):
    try:
        with open(os.path.join(root, "delays.json")) as f:
            delays = json.load(f)
    except (FileNotFoundError, ValueError):
        return
    kind = "snapshot" if ("--snapshot" in args or "-s" in args) else "volume"
    time.sleep(float(delays.get(kind, 0)))


def main(argv):
    if len(argv) < 4 or argv[1] != "--state":
        sys.stderr.write("usage: lvm.py --state DIR COMMAND [ARG]...\n")
        return 3
    root, command, args = argv[2], argv[3], argv[4:]
    fn = COMMANDS.get(command)
    if fn is None:
        sys.stderr.write("lvm stand-in: unsupported command %s\n" % command)
        return 3
    if command != "lvm" and not os.path.exists(MARKER):
        sys.stderr.write("lvm stand-in: /dev is not the sandbox's private /dev\n")
        return 5
    os.makedirs(root, exist_ok=True)
    with open(os.path.join(root, "calls.log"), "a") as log:
        log.write(json.dumps([command] + args) + "\n")
    if command == "lvcreate":
        _creation_delay(root, args)
    try:
        fn(State(root), args)
    except Failure as e:
        sys.stderr.write(str(e) + "\n")
        return e.code
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

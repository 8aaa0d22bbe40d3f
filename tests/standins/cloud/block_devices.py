"""Device hooks of the stand-in cloud (tests only): real block devices.

    fake_cloud.py --seed S --data-dir D --hooks block_devices.py

When an attachment to the Kestrova VM completes, a loop device over the
volume's backing file appears at the device path the attachment names (for
example /dev/vdb), together with the link
/dev/disk/by-id/virtio-<first 20 characters of the volume id> -> ../../vdb
that udev makes for a virtio disk. When the detachment begins, the node and
the link go and the loop device is let go again.

Only inside the test sandbox's private /dev (ks-sandbox --private-dev, marked
by /dev/.ks-private-dev): anywhere else every hook refuses, so the machine's
own /dev is never written. A hook that fails raises, and the stand-in answers
the request that ran it with a 500.

The loop devices carry the autoclear flag and this process holds the only
descriptor of each: if the stand-in dies without detaching, the kernel lets
the devices go by itself when the process ends.

D/block_devices.json lists the devices that exist now (a JSON array of
{"attachment_id", "server_id", "volume_id", "device", "by_id", "loop",
"backing_file", "kind"}); D/block_devices.log tells what the hooks did.

A test can make the next attachments go wrong the way a Kestrova VM can see
them, with D/block_devices.faults.json (read at every attachment):
  {"device": "block" | "file" | "none",   what appears at the device path: the
                                          loop device (the default), an empty
                                          regular file, or nothing
   "by_id": true | false | "virtio" | "scsi",
                                          whether the by-id link is made (it
                                          points to whatever the path holds),
                                          and in which form: virtio-<first 20
                                          characters> (true, the default) or
                                          scsi-0QEMU_QEMU_HARDDISK_<first 20>
                                          as for a disk on a virtio SCSI bus
   "volumes": [ids]}                      only for these volumes (default: all)
or a list of such rules, of which the first that names the volume (or names
no volumes) applies.
"""

import errno
import fcntl
import json
import os
import stat
import struct
import time

MARKER = "/dev/.ks-private-dev"
BY_ID = "/dev/disk/by-id"

# linux/loop.h
LOOP_CLR_FD = 0x4C01
LOOP_CONFIGURE = 0x4C0A
LOOP_CTL_GET_FREE = 0x4C82
LO_FLAGS_AUTOCLEAR = 4
LO_NAME_SIZE = 64

_devices = {}  # attachment id -> _Device


class _Device:
    def __init__(self, attachment, server, volume, path, link, loop, made_loop_node, fd, kind):
        self.attachment_id = attachment.id
        self.server_id = server.id
        self.volume_id = volume.id
        self.path = path
        self.link = link
        self.loop = loop
        self.made_loop_node = made_loop_node
        self.fd = fd
        self.kind = kind
        self.backing_file = volume.backing_file

    def as_dict(self):
        return {"attachment_id": self.attachment_id, "server_id": self.server_id,
                "volume_id": self.volume_id, "device": self.path, "by_id": self.link,
                "loop": self.loop, "backing_file": self.backing_file, "kind": self.kind}


LINK_PREFIXES = {"virtio": "virtio-", "scsi": "scsi-0QEMU_QEMU_HARDDISK_"}


def by_id_link(volume_id, form="virtio"):
    """The path udev gives a disk whose serial is the volume id: a virtio
    disk, or a SCSI disk of QEMU."""
    return os.path.join(BY_ID, LINK_PREFIXES[form] + volume_id[:20])


def _require_private_dev():
    if not os.path.exists(MARKER):
        raise RuntimeError("block_devices: /dev is not the sandbox's private /dev "
                           "(run under tests/sandbox/ks-sandbox --private-dev)")


def _dev_path(path):
    """The device path of an attachment, refused unless it names a node
    directly below /dev (never a path that leaves it)."""
    if not isinstance(path, str) or os.path.dirname(path) != "/dev" or os.path.basename(path) in ("", ".", ".."):
        raise RuntimeError("block_devices: refusing device path %r" % (path,))
    return path


def _loop_config(backing_fd, name):
    info = struct.pack("=5Q4I%ds%ds32s2Q" % (LO_NAME_SIZE, LO_NAME_SIZE),
                       0, 0, 0, 0, 0, 0, 0, 0, LO_FLAGS_AUTOCLEAR,
                       name.encode()[:LO_NAME_SIZE - 1], b"", b"", 0, 0)
    return struct.pack("=II", backing_fd, 0) + info + bytes(8 * 8)


def _rdev_of(n):
    with open("/sys/block/loop%d/dev" % n) as f:
        major, minor = f.read().strip().split(":")
    return os.makedev(int(major), int(minor))


def _bind_loop(backing_file):
    """A free loop device bound to the file: (fd, /dev/loopN, rdev, node made)."""
    backing = os.open(backing_file, os.O_RDWR | os.O_CLOEXEC)
    ctl = os.open("/dev/loop-control", os.O_RDWR | os.O_CLOEXEC)
    try:
        # Other sandboxes take free devices too: try again when one is gone.
        for _ in range(50):
            n = fcntl.ioctl(ctl, LOOP_CTL_GET_FREE)
            rdev = _rdev_of(n)
            node = "/dev/loop%d" % n
            made = False
            if not os.path.exists(node):
                os.mknod(node, stat.S_IFBLK | 0o660, rdev)
                made = True
            fd = os.open(node, os.O_RDWR | os.O_CLOEXEC)
            try:
                fcntl.ioctl(fd, LOOP_CONFIGURE, _loop_config(backing, backing_file))
            except OSError as e:
                os.close(fd)
                if made:
                    os.unlink(node)
                if e.errno == errno.EBUSY:
                    time.sleep(0.01)
                    continue
                raise
            return fd, node, rdev, made
        raise RuntimeError("block_devices: no free loop device")
    finally:
        os.close(ctl)
        os.close(backing)


def _release_loop(fd):
    if fd is None:
        return
    try:
        fcntl.ioctl(fd, LOOP_CLR_FD)  # a device still open elsewhere goes when it is closed
    except OSError as e:
        if e.errno != errno.ENXIO:
            raise
    finally:
        os.close(fd)


def _state_dir(cloud):
    return cloud.data_dir


def _write_state(cloud):
    d = _state_dir(cloud)
    if not d:
        return
    path = os.path.join(d, "block_devices.json")
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        json.dump([dev.as_dict() for dev in _devices.values()], f)
    os.replace(tmp, path)


def _log(cloud, text):
    d = _state_dir(cloud)
    if d:
        with open(os.path.join(d, "block_devices.log"), "a") as f:
            f.write(text + "\n")


def _faults(cloud, volume):
    """(what appears at the device path, the form of the by-id link or None)."""
    d = _state_dir(cloud)
    path = os.path.join(d, "block_devices.faults.json") if d else None
    if not path or not os.path.exists(path):
        return "block", "virtio"
    with open(path) as f:
        rules = json.load(f)
    if isinstance(rules, dict):
        rules = [rules]
    rule = next((r for r in rules if "volumes" not in r or volume.id in r["volumes"]), {})
    kind = rule.get("device", "block")
    if kind not in ("block", "file", "none"):
        raise RuntimeError("block_devices: unknown device kind %r" % (kind,))
    form = rule.get("by_id", True)
    if form is True:
        form = "virtio"
    elif form is False:
        form = None
    elif form not in LINK_PREFIXES:
        raise RuntimeError("block_devices: unknown by-id form %r" % (form,))
    return kind, form


def _replace_link(link, target):
    tmp = link + ".ks-new"
    if os.path.lexists(tmp):
        os.unlink(tmp)
    os.symlink(target, tmp)
    os.replace(tmp, link)


def on_attach(cloud, server, volume, attachment):
    if server.id != cloud.kestrova_vm_id:
        return
    _require_private_dev()
    if not volume.backing_file:
        raise RuntimeError("block_devices: volume %s has no backing file (start the cloud with --data-dir)"
                           % volume.id)
    path = _dev_path(attachment.device)
    if os.path.lexists(path):
        raise RuntimeError("block_devices: %s exists already" % path)
    kind, link_form = _faults(cloud, volume)
    fd, loop, made, link = None, "", False, ""
    try:
        if kind == "block":
            fd, loop, rdev, made = _bind_loop(volume.backing_file)
            os.mknod(path, stat.S_IFBLK | 0o660, rdev)
        elif kind == "file":
            open(path, "wb").close()
        if link_form and kind != "none":
            os.makedirs(BY_ID, exist_ok=True)
            link = by_id_link(volume.id, link_form)
            _replace_link(link, os.path.relpath(path, BY_ID))
    except Exception:
        if os.path.lexists(path):
            os.unlink(path)
        _release_loop(fd)
        raise
    _devices[attachment.id] = _Device(attachment, server, volume, path, link, loop, made, fd, kind)
    _write_state(cloud)
    _log(cloud, "attach %s %s %s %s %s" % (volume.id, kind, path, link, loop))


def on_detach(cloud, server, volume, attachment):
    dev = _devices.pop(attachment.id, None)
    if dev is None:
        return
    try:
        rel = os.path.relpath(dev.path, BY_ID)
        if dev.link and os.path.islink(dev.link) and os.readlink(dev.link) == rel:
            os.unlink(dev.link)
        if dev.kind != "none" and os.path.lexists(dev.path):
            os.unlink(dev.path)
        if dev.made_loop_node and os.path.lexists(dev.loop):
            os.unlink(dev.loop)
    finally:
        _release_loop(dev.fd)
        _write_state(cloud)
        _log(cloud, "detach %s %s %s %s" % (volume.id, dev.path, dev.link, dev.loop))

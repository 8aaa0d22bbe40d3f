#!/usr/bin/python3
"""The hypervisor side of the Kestrova VM in scripts/test-cloud, which nova's
fake compute driver does not have: while nova records an attachment of a
volume to that server, the volume's block device is in the VM's /dev at the
attachment's device path (a node of the cinder volume's LV, so the module
reads and writes the LV itself) together with the link udev makes for a
virtio disk, /dev/disk/by-id/virtio-<first 20 characters of the volume id>;
when the attachment goes, so do they.

    device_mapper.py W/cloud.json SERVER_ID VM_DEV

VM_DEV is the directory that is the VM's /dev (make_vm_dev(); the module
runs with it bound on /dev), so that the LVs the LVM stand-in makes for
cinder in the sandbox's /dev are not among the VM's disks, as on a real
Kestrova VM. Polls nova's attachment list of the server five times a
second. Only into a VM_DEV marked by .ks-private-dev. Logs to standard
output; W/devices.json lists the devices that exist now (by their paths in
the VM).

W/device-mapper.json, when there, changes how the disks attached from then on
appear: {"by_id": false} makes no /dev/disk/by-id link (a hypervisor whose
disks show no serial), {"cross": true} puts each disk not at the path nova
reported but at its neighbour's (sdb and sdc swapped, sdd and sde, ..., the
same for vd names), as a hypervisor that names its disks by itself may.
"""

import json
import os
import signal
import stat
import subprocess
import sys
import time

import rest

MARKER = ".ks-private-dev"
BY_ID = "disk/by-id"


def lv_path(vg, volume_id):
    """cinder's LVM driver's path of a volume (device-mapper name, dashes doubled)."""
    return "/dev/mapper/%s-%s" % (vg.replace("-", "--"), ("volume-" + volume_id).replace("-", "--"))


def make_vm_dev(root):
    """The Kestrova VM's own /dev at `root`: a tmpfs with the character devices
    and links a program needs, an empty disk/by-id, shm and the marker; block
    devices come only as the mapper attaches them. Inside the sandbox only
    (the mount goes with its mount namespace)."""
    if not os.path.exists("/dev/" + MARKER):
        sys.exit("device_mapper: /dev is not the sandbox's private /dev")
    os.makedirs(root, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755,nosuid", "ks-vm-dev", root], check=True)
    for name in ("null", "zero", "full", "random", "urandom", "tty"):
        path = os.path.join(root, name)
        os.mknod(path, stat.S_IFCHR, os.stat("/dev/" + name).st_rdev)
        os.chmod(path, 0o666)
    for name, target in (("fd", "/proc/self/fd"), ("stdin", "/proc/self/fd/0"), ("stdout", "/proc/self/fd/1"),
                         ("stderr", "/proc/self/fd/2")):
        os.symlink(target, os.path.join(root, name))
    os.makedirs(os.path.join(root, BY_ID))
    os.mkdir(os.path.join(root, "shm"))
    os.chmod(os.path.join(root, "shm"), 0o1777)
    open(os.path.join(root, MARKER), "w").close()


def crossed(device):
    """The neighbour of /dev/sdX or /dev/vdX in the pairs b-c, d-e, ...; the
    first disk and other names stay."""
    base = os.path.basename(device)
    if len(base) != 3 or base[:2] not in ("sd", "vd") or not "b" <= base[2] <= "y":
        return device
    i = ord(base[2]) - ord("a")
    return os.path.join(os.path.dirname(device), base[:2] + chr(ord("a") + (i + 1 if i % 2 else i - 1)))


def log(text):
    print("%s %s" % (time.strftime("%H:%M:%S"), text), flush=True)


class Mapper:
    def __init__(self, info, server, root, state_file, mode_file):
        self.info, self.server, self.root = info, server, root
        self.state_file, self.mode_file = state_file, mode_file
        self.admin = rest.Session(info["keystone"], "admin", info["password"], project_name="admin")
        self.devices = {}  # device path -> volume id
        self.links = {}  # device path -> its by-id link

    def mode(self):
        try:
            with open(self.mode_file) as f:
                return json.load(f)
        except (FileNotFoundError, ValueError):
            return {}

    def attachments(self):
        url = "%s/v2.1/servers/%s/os-volume_attachments" % (self.info["nova"], self.server)
        return {a["device"]: a["volumeId"] for a in self.admin.get(url)["volumeAttachments"] if a.get("device")}

    def make(self, device, volume, mode):
        if os.path.dirname(device) != "/dev":
            log("refusing device path %r of volume %s" % (device, volume))
            return
        source = lv_path(self.info["volume_group"], volume)
        rdev = os.stat(source).st_rdev
        self.remove(device)
        os.mknod(self.here(device), stat.S_IFBLK | 0o660, rdev)
        self.devices[device] = volume
        link = None
        if mode.get("by_id", True):
            link = "/dev/%s/virtio-%s" % (BY_ID, volume[:20])
            if os.path.lexists(self.here(link)):
                os.unlink(self.here(link))
            os.symlink("../../" + os.path.basename(device), self.here(link))
            self.links[device] = link
        log("attached %s at %s (%d:%d, %s) and %s" % (volume, device, os.major(rdev), os.minor(rdev), source,
                                                      link or "no by-id link"))

    def here(self, path):
        """The path in VM_DEV of the VM's /dev/... `path`."""
        return os.path.join(self.root, os.path.relpath(path, "/dev"))

    def remove(self, device):
        volume = self.devices.pop(device, None)
        if os.path.lexists(self.here(device)):
            os.unlink(self.here(device))
        link = self.links.pop(device, None)
        if link and os.path.lexists(self.here(link)):
            os.unlink(self.here(link))
        if volume:
            log("detached %s from %s" % (volume, device))

    def save(self):
        tmp = self.state_file + ".tmp"
        with open(tmp, "w") as f:
            json.dump(self.devices, f)
        os.replace(tmp, self.state_file)

    def step(self):
        mode = self.mode()
        attached = self.attachments()
        # A disk stays where it appeared; only new ones follow the mode, and
        # one whose place is taken goes where nova says.
        where = {v: d for d, v in self.devices.items()}
        wanted = {where[v]: v for v in attached.values() if v in where}
        for device, volume in sorted(attached.items()):
            if volume in where:
                continue
            path = crossed(device) if mode.get("cross") else device
            path = device if path in wanted else path
            if path in wanted:
                log("no place for %s: %s is %s's" % (volume, path, wanted[path]))
                continue
            wanted[path] = volume
        for device in [d for d, v in self.devices.items() if wanted.get(d) != v]:
            self.remove(device)
        for device, volume in sorted(wanted.items()):
            if self.devices.get(device) != volume:
                try:
                    self.make(device, volume, mode)
                except OSError as e:
                    log("cannot attach %s at %s yet: %s" % (volume, device, e))
        self.save()


def main():
    root = sys.argv[3]
    if not os.path.exists(os.path.join(root, MARKER)):
        sys.exit("device_mapper: %s is no private /dev of the Kestrova VM" % root)
    with open(sys.argv[1]) as f:
        info = json.load(f)
    work = os.path.dirname(sys.argv[1])
    m = Mapper(info, sys.argv[2], root, os.path.join(work, "devices.json"), os.path.join(work, "device-mapper.json"))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    log("mapping the attachments of server %s" % sys.argv[2])
    try:
        while True:
            try:
                m.step()
            except (rest.Error, OSError) as e:
                log("poll failed: %s" % e)
            time.sleep(0.2)
    finally:
        for device in list(m.devices):
            m.remove(device)
        m.save()


if __name__ == "__main__":
    main()

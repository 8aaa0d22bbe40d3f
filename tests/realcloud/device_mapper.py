#!/usr/bin/python3
"""The hypervisor side of the Kestrova VM in scripts/test-cloud, which nova's
fake compute driver does not have: while nova records an attachment of a
volume to that server, the volume's block device is in /dev at the
attachment's device path (a node of the cinder volume's LV, so the module
reads and writes the LV itself) together with the link udev makes for a
virtio disk, /dev/disk/by-id/virtio-<first 20 characters of the volume id>;
when the attachment goes, so do they.

    device_mapper.py W/cloud.json SERVER_ID

Polls nova's attachment list of the server five times a second. Only inside
the test sandbox's private /dev (marked by /dev/.ks-private-dev). Logs to
standard output; W/devices.json lists the devices that exist now.
"""

import json
import os
import signal
import stat
import sys
import time

import rest

MARKER = "/dev/.ks-private-dev"
BY_ID = "/dev/disk/by-id"


def lv_path(vg, volume_id):
    """cinder's LVM driver's path of a volume (device-mapper name, dashes doubled)."""
    return "/dev/mapper/%s-%s" % (vg.replace("-", "--"), ("volume-" + volume_id).replace("-", "--"))


def log(text):
    print("%s %s" % (time.strftime("%H:%M:%S"), text), flush=True)


class Mapper:
    def __init__(self, info, server, state_file):
        self.info, self.server, self.state_file = info, server, state_file
        self.admin = rest.Session(info["keystone"], "admin", info["password"], project_name="admin")
        self.devices = {}  # device path -> volume id

    def attachments(self):
        url = "%s/v2.1/servers/%s/os-volume_attachments" % (self.info["nova"], self.server)
        return {a["device"]: a["volumeId"] for a in self.admin.get(url)["volumeAttachments"] if a.get("device")}

    def make(self, device, volume):
        if os.path.dirname(device) != "/dev":
            log("refusing device path %r of volume %s" % (device, volume))
            return
        source = lv_path(self.info["volume_group"], volume)
        rdev = os.stat(source).st_rdev
        self.remove(device)
        os.mknod(device, stat.S_IFBLK | 0o660, rdev)
        link = os.path.join(BY_ID, "virtio-" + volume[:20])
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink("../../" + os.path.basename(device), link)
        self.devices[device] = volume
        log("attached %s at %s (%d:%d, %s) and %s" % (volume, device, os.major(rdev), os.minor(rdev), source, link))

    def remove(self, device):
        volume = self.devices.pop(device, None)
        if os.path.lexists(device):
            os.unlink(device)
        if volume:
            link = os.path.join(BY_ID, "virtio-" + volume[:20])
            if os.path.lexists(link):
                os.unlink(link)
            log("detached %s from %s" % (volume, device))

    def save(self):
        tmp = self.state_file + ".tmp"
        with open(tmp, "w") as f:
            json.dump(self.devices, f)
        os.replace(tmp, self.state_file)

    def step(self):
        wanted = self.attachments()
        for device in [d for d, v in self.devices.items() if wanted.get(d) != v]:
            self.remove(device)
        for device, volume in sorted(wanted.items()):
            if self.devices.get(device) != volume:
                try:
                    self.make(device, volume)
                except OSError as e:
                    log("cannot attach %s at %s yet: %s" % (volume, device, e))
        self.save()


def main():
    if not os.path.exists(MARKER):
        sys.exit("device_mapper: /dev is not the sandbox's private /dev")
    with open(sys.argv[1]) as f:
        info = json.load(f)
    m = Mapper(info, sys.argv[2], os.path.join(os.path.dirname(sys.argv[1]), "devices.json"))
    os.makedirs(BY_ID, exist_ok=True)
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

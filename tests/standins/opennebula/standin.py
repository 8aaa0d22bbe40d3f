#!/usr/bin/python3 -S
"""Stand-in for the tools the OpenNebula library runs: onevm, oneimage,
onedatastore, onetemplate, onehost, virsh, lvs, rbd, and a loopback ssh.

The tool is told by the name it is called under. The directory named by
KS_ONE_FIXTURES holds:
  answers.json  a list of {"argv": [tool, arg...], "out": text, "rc": n}
                (the argv as the tool receives it, tool by its base name);
  calls.log     one JSON list per call, appended: [tool, arg...].
A call without an answer prints an error like the real tools and exits 255.

ssh logs [ "ssh", destination, remote command ] and, unless answered,
runs the remote command through a second shell (sh -c) on this machine,
so a value quoted only for the local shell breaks as it would remotely.
"""
import json
import os
import sys


def fixtures_dir():
    d = os.environ.get("KS_ONE_FIXTURES")
    if not d:
        sys.stderr.write("standin: KS_ONE_FIXTURES is not set\n")
        sys.exit(127)
    return d


def log_call(d, argv):
    with open(os.path.join(d, "calls.log"), "a", encoding="utf-8") as f:
        f.write(json.dumps(argv) + "\n")


def find_answer(d, argv):
    path = os.path.join(d, "answers.json")
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as f:
        answers = json.load(f)
    for a in answers:
        if a["argv"] == argv:
            return a
    return None


def ssh_split(args):
    # ssh [options] destination [command...]; options that take a value.
    with_value = set("BbcDEeFIiJLlmOoPpQRSWw")
    i = 0
    while i < len(args) and args[i].startswith("-") and len(args[i]) > 1:
        opt = args[i]
        i += 1
        if len(opt) == 2 and opt[1] in with_value:
            i += 1
    if i >= len(args):
        sys.stderr.write("usage: ssh destination command\n")
        sys.exit(255)
    return args[i], " ".join(args[i + 1:])


def main():
    tool = os.path.basename(sys.argv[0])
    d = fixtures_dir()
    if tool == "ssh":
        destination, remote = ssh_split(sys.argv[1:])
        argv = ["ssh", destination, remote]
    else:
        argv = [tool] + sys.argv[1:]
    log_call(d, argv)

    answer = find_answer(d, argv)
    if answer is None and tool == "ssh":
        sys.stdout.flush()
        os.execv("/bin/sh", ["sh", "-c", remote])
    if answer is None:
        sys.stderr.write("[%s] Error: no such object or command: %s\n" % (tool, " ".join(sys.argv[1:])))
        sys.exit(255)
    sys.stdout.write(answer.get("out", ""))
    sys.stdout.flush()
    sys.exit(int(answer.get("rc", 0)))


if __name__ == "__main__":
    main()

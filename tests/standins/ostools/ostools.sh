#!/bin/sh
# Test stand-in for the system tools the framework drives: ssh and scp (a
# loopback "remote host"), lvcreate and lvremove, lsmod, dbdctl, and lsblk
# and umount in front of the real ones. Placed at the tools' fixed paths
# inside the test sandbox only, never installed.
# One script for all of them: the name it is called by picks the tool.
#
# Every call appends one line to $KS_OSTOOLS_DIR/calls.log: the tool's name
# and each argument in the form a POSIX shell reads back.
#
# $KS_OSTOOLS_DIR/fail holds forced failures, one per line,
#   TOOL<TAB>STATUS<TAB>TEXT
# the first line whose TOOL matches and whose TEXT occurs in the arguments
# (joined with blanks) ends the call with STATUS before it does anything.
#
# ssh   -q -l USER HOST [-o OPT]... COMMAND...  runs the words of COMMAND,
#       joined with blanks, through /bin/sh as a remote shell would; inside
#       chroot $KS_REMOTE_ROOT when that is set. Without -o BatchMode=yes it
#       refuses (a real ssh would wait at a password prompt).
# scp   [-q] [-o OPT]... SRC DST  copies; USER@HOST:PATH is PATH under
#       $KS_REMOTE_ROOT, taken literally; remote paths need BatchMode=yes.
# lvcreate --size=NB --snapshot --name PATH SOURCE  makes PATH a readable
#       file; a dangling link when $KS_OSTOOLS_DIR/lvm-unreadable exists.
# lvremove -y PATH  removes it.
# lsmod prints the modules listed in $KS_OSTOOLS_DIR/modules.
# lsblk FLAGS ...  prints $KS_OSTOOLS_DIR/lsblk<FLAGS> (say lsblk-bfJ) when
#       that file exists, else runs the real /usr/bin/lsblk.
# umount ARGS...  runs the real /usr/bin/umount (logged, and failing when
#       told to).
# dbdctl setup-snapshot -f MIB DEVICE COWFILE MINOR  makes /dev/datto<MINOR>
#       a read-only block device holding the device's content of this
#       moment (the file system frozen while it is copied); dbdctl destroy
#       MINOR removes it. Both rewrite /proc/datto-info.
set -u

tool=${0##*/}
state=${KS_OSTOOLS_DIR:-/opt/ks-ostools}
[ -d "$state" ] || mkdir -p "$state"

# Appends a blank and the argument in shell form to $line, within the shell
# itself (the tools are called hundreds of times per test program): each '
# becomes '\'', and trailing newlines go, as a command substitution drops them.
nl='
'
append_quoted() {
  case $1 in
    '' | *[!A-Za-z0-9_@%+=:,./-]*)
      rest=$1 q=
      while :; do
        case $rest in
          *\'*) q="$q${rest%%\'*}'\\''"; rest=${rest#*\'} ;;
          *) q=$q$rest; break ;;
        esac
      done
      while :; do
        case $q in
          *"$nl") q=${q%"$nl"} ;;
          *) break ;;
        esac
      done
      line="$line '$q'" ;;
    *) line="$line $1" ;;
  esac
}

line=$tool
for a in "$@"; do append_quoted "$a"; done
printf '%s\n' "$line" >>"$state/calls.log"

die() { echo "$tool: $*" >&2; exit "${status:-1}"; }

if [ -f "$state/fail" ]; then
  tab=$(printf '\t')
  joined="$*"
  while IFS=$tab read -r t st text; do
    [ "$t" = "$tool" ] || continue
    case $joined in *"$text"*) status=$st die "forced failure" ;; esac
  done <"$state/fail"
fi

# ---- ssh and scp --------------------------------------------------------------

remote_path() { # USER@HOST:PATH -> the local path standing for it
  p=${1#*:}
  case $p in /*) ;; *) status=1 die "remote path must be absolute: $1" ;; esac
  printf '%s%s' "${KS_REMOTE_ROOT:-}" "$p"
}

is_remote() {
  case $1 in /* | ./*) return 1 ;; *:*) return 0 ;; *) return 1 ;; esac
}

ssh_main() {
  host= user= batch=no
  while [ $# -gt 0 ]; do
    case $1 in
      -q) shift ;;
      -l) [ $# -ge 2 ] || status=255 die "-l needs a user"; user=$2; shift 2 ;;
      -o) [ $# -ge 2 ] || status=255 die "-o needs an option"
          [ "$2" = BatchMode=yes ] && batch=yes
          shift 2 ;;
      -*) status=255 die "unsupported option $1" ;;
      *) [ -z "$host" ] || break; host=$1; shift ;;
    esac
  done
  [ -n "$host" ] || status=255 die "no host"
  [ -n "$user" ] || status=255 die "no user"
  [ "$batch" = yes ] || status=255 die "$user@$host: no BatchMode=yes: a password prompt would wait here"
  [ $# -gt 0 ] || status=255 die "no remote command (an interactive login)"
  if [ -n "${KS_REMOTE_ROOT:-}" ]; then
    exec chroot "$KS_REMOTE_ROOT" /bin/sh -c "$*"
  fi
  exec /bin/sh -c "$*"
}

scp_main() {
  batch=no
  while [ $# -gt 0 ]; do
    case $1 in
      -q) shift ;;
      -o) [ $# -ge 2 ] || die "-o needs an option"
          [ "$2" = BatchMode=yes ] && batch=yes
          shift 2 ;;
      -*) die "unsupported option $1" ;;
      *) break ;;
    esac
  done
  [ $# -eq 2 ] || die "needs exactly a source and a destination, got $#"
  src=$1 dst=$2
  for a in "$src" "$dst"; do
    if is_remote "$a"; then
      [ "$batch" = yes ] || status=255 die "${a%%:*}: no BatchMode=yes: a password prompt would wait here"
    fi
  done
  is_remote "$src" && src=$(remote_path "$src")
  is_remote "$dst" && dst=$(remote_path "$dst")
  exec cp -- "$src" "$dst"
}

# ---- LVM --------------------------------------------------------------------------

lvcreate_main() {
  size= name= snap=no source=
  while [ $# -gt 0 ]; do
    case $1 in
      --size=*) size=${1#--size=}; shift ;;
      --snapshot) snap=yes; shift ;;
      --name) [ $# -ge 2 ] || die "--name needs a value"; name=$2; shift 2 ;;
      -*) die "unsupported option $1" ;;
      *) [ -z "$source" ] || die "a second source: $1"; source=$1; shift ;;
    esac
  done
  case $size in '' | *[!0-9B]* | B*) die "bad size: '$size'" ;; *B) ;; *) die "size without unit B: $size" ;; esac
  [ "$snap" = yes ] || die "only snapshots are made here"
  [ -n "$name" ] && [ -n "$source" ] || die "needs --name and a source"
  [ -e "$name" ] && die "\"$name\" already exists"
  mkdir -p "$(dirname "$name")" || die "cannot make the folder of $name"
  if [ -e "$state/lvm-unreadable" ]; then
    # The volume exists but its device node does not come up.
    ln -s /nonexistent/ks-snapshot-node "$name" || die "cannot make $name"
  else
    printf 'snapshot of %s\n' "$source" >"$name" || die "cannot make $name"
  fi
  echo "  Logical volume \"${name##*/}\" created."
}

lvremove_main() {
  [ $# -eq 2 ] && [ "$1" = -y ] || die "usage: lvremove -y PATH"
  [ -e "$2" ] || [ -L "$2" ] || { status=5 die "Failed to find logical volume \"$2\""; }
  rm -f -- "$2" && echo "  Logical volume \"${2##*/}\" successfully removed."
}

lsmod_main() {
  echo "Module                  Size  Used by"
  [ -f "$state/modules" ] && while read -r m; do [ -n "$m" ] && printf '%-24s%6s  %s\n' "$m" 61440 0; done <"$state/modules"
  return 0
}

lsblk_main() {
  reply=$state/lsblk${1:-}
  if [ -f "$reply" ]; then
    cat "$reply"
    exit 0
  fi
  exec /usr/bin/lsblk "$@"
}

umount_main() { exec /usr/bin/umount "$@"; }

# ---- dattobd ----------------------------------------------------------------------

datto_dir=$state/datto

write_datto_info() {
  {
    printf '{\n\t"version": "0.11.2",\n\t"devices": ['
    sep=
    for f in "$datto_dir"/*.state; do
      [ -e "$f" ] || continue
      read -r minor device loop cow <"$f"
      printf '%s\n\t\t{\n\t\t\t"minor": %s,\n\t\t\t"cow_file": "%s",\n\t\t\t"block_device": "%s",\n' \
        "$sep" "$minor" "$cow" "$device"
      printf '\t\t\t"max_cache": 314572800,\n\t\t\t"fallocate": 1073741824,\n\t\t\t"seq_id": 1,\n'
      printf '\t\t\t"nr_changed_blocks": 0,\n\t\t\t"version": 1,\n\t\t\t"state": 3\n\t\t}'
      sep=,
    done
    printf '\n\t]\n}\n'
  } >/proc/datto-info || status=1 die "cannot write /proc/datto-info"
}

dbdctl_setup() {
  [ $# -eq 5 ] && [ "$1" = -f ] || die "usage: dbdctl setup-snapshot -f MIB DEVICE COWFILE MINOR"
  mib=$2 device=$3 cow=$4 minor=$5
  case $mib in '' | *[!0-9]*) die "bad cache size: $mib" ;; esac
  case $minor in '' | *[!0-9]*) die "bad minor: $minor" ;; esac
  [ -b "$device" ] || die "not a block device: $device"
  [ -d "$(dirname "$cow")" ] || die "no directory for the cow file: $cow"
  mkdir -p "$datto_dir"
  [ -e "$datto_dir/$minor.state" ] && die "minor $minor is in use"
  grep -q " $device " "$datto_dir"/*.state 2>/dev/null && die "$device already has a snapshot"
  mountpoint=$(dirname "$cow")
  : >"$cow" || die "cannot create the cow file $cow"
  image=$datto_dir/$minor.img
  fsfreeze -f "$mountpoint" || die "cannot freeze $mountpoint"
  dd if="$device" of="$image" bs=1M status=none
  copied=$?
  fsfreeze -u "$mountpoint"
  [ $copied -eq 0 ] || { rm -f "$image"; die "cannot copy $device"; }
  loop=$(losetup -f --show -r "$image") || { rm -f "$image"; die "no loop device for the snapshot"; }
  numbers=$(stat -L -c '%t %T' "$loop")
  if ! mknod "/dev/datto$minor" b $((0x${numbers% *})) $((0x${numbers#* })); then
    losetup -d "$loop"; rm -f "$image"; die "cannot make /dev/datto$minor"
  fi
  printf '%s %s %s %s\n' "$minor" "$device" "$loop" "$cow" >"$datto_dir/$minor.state"
  write_datto_info
}

dbdctl_destroy() {
  [ $# -eq 1 ] || die "usage: dbdctl destroy MINOR"
  f=$datto_dir/$1.state
  [ -e "$f" ] || die "ioctl to dattobd failed: no snapshot with minor $1"
  read -r minor device loop cow <"$f"
  losetup -d "$loop"
  rm -f "/dev/datto$minor" "$datto_dir/$minor.img" "$f" "$cow"
  write_datto_info
}

case $tool in
  ssh) ssh_main "$@" ;;
  scp) scp_main "$@" ;;
  lvcreate) lvcreate_main "$@" ;;
  lvremove) lvremove_main "$@" ;;
  lsmod) lsmod_main "$@" ;;
  lsblk) lsblk_main "$@" ;;
  umount) umount_main "$@" ;;
  dbdctl)
    [ $# -ge 1 ] || die "no command"
    cmd=$1; shift
    case $cmd in
      setup-snapshot) dbdctl_setup "$@" ;;
      destroy) dbdctl_destroy "$@" ;;
      *) die "unsupported command $cmd" ;;
    esac ;;
  *) die "called by an unknown name" ;;
esac

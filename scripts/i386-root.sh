#!/usr/bin/env bash
# Runs a command in a 32-bit (i386) Debian 12 root, set up on first use from a
# 64-bit Debian machine, with this repository at /src:
#
#   scripts/i386-root.sh scripts/test.sh        # the README's commands, on i386
#   scripts/i386-root.sh                        # a shell in the root
#   scripts/i386-root.sh --install wine32 --bind /some/dir --cwd /some/dir -- cmd args...
#   KORV_I386_CACHE=/var/cache/korv-wine32 scripts/i386-root.sh --bare --install wine32 -- cmd
#
# KORV_I386_SUITE=trixie makes a Debian 13 root (give it a cache of its own).
# The root lives outside the repository, in $KORV_I386_CACHE (default
# /var/cache/korv-i386): root/ is the Debian tree, build/ is what /src/build
# shows inside, so the i386 build never mixes with the host's build/.
# i386 programs run natively where the kernel can (IA32 emulation on), through
# qemu-user otherwise; KORV_I386_EMULATE=1 forces qemu-user. qemu is registered
# with binfmt_misc by hand, with the F flag so that it works inside the chroot:
# Debian registers no format that the host CPU can run natively. The qemu is
# Debian 13's (see below), or KORV_I386_QEMU.
#
# Options: --install PKG (make sure a package of the root is installed),
# --bare (a root only for running the --install packages: none of the
# project's build dependencies, no recommended packages; give it a cache of
# its own),
# --bind DIR (show a host directory at the same path inside), --tmpfs DIR (an
# empty directory of this run's own), --cwd DIR (start there instead of /src),
# --session KEEPER (join the namespace of a long-running command: see below),
# --session-id ID (sessions with different IDs are apart; default: one),
# --if-running (with --session: run the command only in a session that is
# already running, else do nothing).
# Everything runs in a private mount namespace, so no mount outlives the
# command (or the session). Needs root (sudo is used otherwise).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${KORV_I386_CACHE:-/var/cache/korv-i386}
root=$cache/root
mirror=${KORV_I386_MIRROR:-http://deb.debian.org/debian}
suite=${KORV_I386_SUITE:-bookworm}

if [ "$(id -u)" -ne 0 ]; then
    exec sudo --preserve-env "$0" "$@"
fi

install=() binds=() tmpfs=() cwd=/src session= session_id=default bare=0 if_running=0
while [ $# -gt 0 ]; do
    case "$1" in
        --install) install+=("$2"); shift 2 ;;
        --bind)    binds+=("$(realpath "$2")"); shift 2 ;;
        --tmpfs)   tmpfs+=("$2"); shift 2 ;;
        --cwd)     cwd=$2; shift 2 ;;
        --session) session=$2; shift 2 ;;
        --session-id) session_id=$2; shift 2 ;;
        --bare)    bare=1; shift ;;
        --if-running) if_running=1; shift ;;
        --)        shift; break ;;
        *)         break ;;
    esac
done
[ $# -gt 0 ] || set -- bash
if [ $if_running = 1 ]; then
    pid=$(cat "$cache/session-$session_id.pid" 2>/dev/null || true)
    { [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; } || exit 0
fi

say() { echo "i386-root: [$(date +%T)] $*" >&2; }

host_install() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Setting up is done by one command at a time (parallel tests may all start
# with a root not made yet); the lock is given back before the command runs.
mkdir -p "$cache"
exec 8>"$cache/setup.lock"
flock 8

# Only the qemu-user route needs binfmt_misc; a kernel with IA32 emulation runs
# the root's programs as they are (an entry for i386 would take them over).
host_install debootstrap arch-test
if [ "${KORV_I386_EMULATE:-0}" = 1 ] || ! arch-test -n i386 >/dev/null 2>&1; then
    binfmt=/proc/sys/fs/binfmt_misc
    [ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt
    if [ ! -e $binfmt/qemu-i386 ]; then
        # Debian 12's qemu-user (7.2) runs the root and its compiler, but CMake's
        # AUTOMOC aborts under it ("Resource deadlock avoided") and Wine hangs in
        # wineboot. Debian 13's (10.0) runs both; it is statically linked, so it
        # is unpacked into the cache rather than installed.
        qemu=${KORV_I386_QEMU:-$cache/qemu/usr/bin/qemu-i386}
        if [ ! -x "$qemu" ]; then
            qa=$cache/qemu-apt
            apt=(-o Dir::Etc::sourcelist="$qa/sources.list" -o Dir::Etc::sourceparts="$qa/none"
                 -o Dir::State::Lists="$qa/lists" -o Dir::Cache="$qa/cache" -o APT::Sandbox::User=root)
            mkdir -p "$qa/lists/partial" "$qa/cache/archives/partial"
            echo "deb $mirror trixie main" > "$qa/sources.list"
            apt-get "${apt[@]}" update -qq
            (cd "$qa" && rm -f qemu-user_*.deb && apt-get "${apt[@]}" download -qq qemu-user)
            mkdir -p "$cache/qemu"
            dpkg-deb --fsys-tarfile "$qa"/qemu-user_*.deb | tar -x -C "$cache/qemu" ./usr/bin/qemu-i386
            rm -rf "$qa"
        fi
        # ELF, 32-bit, little-endian, executable or shared object, machine 3 (i386)
        printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
            > $binfmt/register
        say "i386 programs run through $qemu from now on (binfmt_misc qemu-i386; echo -1 > $binfmt/qemu-i386 ends it)"
    fi
    grep -q '^enabled' $binfmt/qemu-i386 || { say "binfmt entry qemu-i386 is disabled"; exit 1; }
fi

if [ ! -e "$root/.korv-bootstrapped" ]; then
    say "debootstrap --arch=i386 $suite into $root"
    rm -rf "$root"
    debootstrap --arch=i386 --variant=minbase "$suite" "$root" "$mirror" >"$cache/debootstrap.log" 2>&1 \
        || { tail -n 20 "$cache/debootstrap.log" >&2; exit 1; }
    # No security suite: a test root does without, and a mirror's i386 index
    # of it out of step with its Release file stops every apt-get update.
    printf 'deb %s %s main\ndeb %s %s-updates main\ndeb-src %s %s main\n' \
        "$mirror" "$suite" "$mirror" "$suite" "$mirror" "$suite" \
        > "$root/etc/apt/sources.list"
    touch "$root/.korv-bootstrapped"
    say "bootstrapped"
fi
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
mkdir -p "$root/src" "$cache/build" "$repo/build"
for d in "${binds[@]}"; do mkdir -p "$root$d"; done

# Debian builds no i386 ISA-L: its 32-bit assembly fails in nasm. Its own
# source package, configured for no known CPU, builds the portable C code
# (hence other symbols than the amd64 list), and installs as libisal-dev.
isal_from_source='set -e
dpkg-query -W -f="\${Status}" libisal-dev 2>/dev/null | grep -q "install ok installed" && exit 0
export DEBIAN_FRONTEND=noninteractive DEB_BUILD_OPTIONS=nocheck
apt-get update -qq
apt-get install -y -qq dpkg-dev >/dev/null
apt-get build-dep -y -qq libisal >/dev/null
rm -rf /var/cache/korv-isal && mkdir /var/cache/korv-isal && cd /var/cache/korv-isal
apt-get source -qq libisal >/dev/null 2>&1
cd libisal-*/
# Debian 13 builds it for 64-bit architectures only; its C code does not care.
sed -i "s/^Architecture: amd64 .*/Architecture: any/" debian/control
sed -i "s/^export DPKG_GENSYMBOLS_CHECK_LEVEL=.*/export DPKG_GENSYMBOLS_CHECK_LEVEL=0/;
        s/--disable-static/--disable-static ac_cv_host=generic-pc-linux-gnu/" debian/rules
echo "i386-root: building ISA-L from Debian source (C only)" >&2
dpkg-buildpackage -b -uc -us >../build.log 2>&1 || { tail -n 30 ../build.log >&2; exit 1; }
dpkg -i ../libisal2_*.deb ../libisal-dev_*.deb >/dev/null'

mount_root() {
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    mount --bind "$repo" "$root/src"
    mount --bind "$cache/build" "$root/src/build"
}
# Skips what is mounted already, for a session's later commands.
mount_extra() {
    local d
    for d in "${binds[@]}"; do mountpoint -q "$root$d" || mount --bind "$d" "$root$d"; done
    for d in "${tmpfs[@]}"; do
        mkdir -p "$root$d"
        mountpoint -q "$root$d" || mount -t tmpfs -o mode=0700 tmpfs "$root$d"
    done
}
run_in_root() {
    unset LD_LIBRARY_PATH LD_PRELOAD
    [ -z "${TMPDIR:-}" ] || [ -d "$root$TMPDIR" ] || unset TMPDIR
    export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
    export LANG=${LANG:-C.UTF-8}
    # uname -m says i686, as on a 32-bit kernel
    exec setarch i686 chroot "$root" /bin/sh -c 'cd "$0" && exec "$@"' "$cwd" "$@"
}
in_namespace() {
    exec unshare --mount --propagation private -- bash -c \
        "set -euo pipefail; $(declare -f mount_root mount_extra run_in_root);
         $(declare -p repo cache root cwd binds tmpfs isal_from_source bare_install install); $1" bash "${@:2}"
}

# A bare root gets the wanted packages alone, without what they recommend.
bare_install='set -e
missing=
for p; do dpkg-query -W -f="\${Status}" "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"; done
[ -n "$missing" ] || exit 0
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends $missing >/dev/null'

# The project's install-deps.sh fetches the root's apt lists and brings the
# build deps; checked once per set of wanted packages (seconds when emulated).
stamp="$root/.korv-deps-$(cat "$repo/scripts/install-deps.sh" - <<<"$bare ${install[*]}" | md5sum | cut -c1-12)"
if [ ! -e "$stamp" ]; then
    say "checking the root's packages"
    if [ $bare = 1 ]; then
        (in_namespace 'mount_root; chroot "$root" /bin/sh -c "$bare_install" sh "${install[@]}"')
    else
        (in_namespace 'mount_root
            chroot "$root" /bin/sh -c "$isal_from_source"
            chroot "$root" /src/scripts/install-deps.sh "${install[@]}"')
    fi
    touch "$stamp"
    say "packages in place"
fi
exec 8>&-

if [ -z "$session" ]; then
    in_namespace 'mount_root; mount_extra; run_in_root "$@"' "$@"
fi

# A session: one mount namespace held by a long-running keeper command, which
# every later command with the same --session joins, its folders added to the
# others'. The keeper touches $KORV_I386_READY once it is ready; the session
# ends with it.
# (nsenter enters the root directory of the namespace too: a session needs /
# to be that root, as on a machine or in a container, not in a chroot.)
exec 9>"$cache/session.lock"
flock 9
ready=/run/korv-session-$session_id.ready
pid=$(cat "$cache/session-$session_id.pid" 2>/dev/null || true)
if [ -z "$pid" ] || [ ! -e "$root$ready" ] || ! kill -0 "$pid" 2>/dev/null ||
   [ "$(readlink "/proc/$pid/ns/mnt")" = "$(readlink /proc/self/ns/mnt)" ]; then
    [ $if_running = 0 ] || exit 0
    rm -f "$root$ready"
    KORV_I386_READY=$ready setsid unshare --mount --propagation private -- bash -c \
        "set -euo pipefail; $(declare -f mount_root mount_extra run_in_root);
         $(declare -p repo cache root binds tmpfs); cwd=/; mount_root; mount_extra; run_in_root /bin/sh -c \"\$1\"" \
        bash "$session" </dev/null >"$cache/session-$session_id.log" 2>&1 &
    pid=$!
    echo "$pid" > "$cache/session-$session_id.pid"
    until [ -e "$root$ready" ]; do
        kill -0 "$pid" 2>/dev/null || { say "the session's keeper ended:"; cat "$cache/session-$session_id.log" >&2; exit 1; }
        sleep 0.1
    done
fi
nsenter --mount="/proc/$pid/ns/mnt" -- bash -c "$(declare -f mount_extra); $(declare -p root binds tmpfs); mount_extra"
flock -u 9
exec nsenter --mount="/proc/$pid/ns/mnt" -- bash -c \
    "set -euo pipefail; $(declare -f run_in_root); $(declare -p root cwd); run_in_root \"\$@\"" bash "$@"

#!/usr/bin/env bash
# Runs a 32-bit Windows program with Debian's i386 Wine, inside an i386 root
# that scripts/i386-root.sh keeps (64-bit Debian ships no 32-bit Wine):
#
#   KORV_WINE32_PATH=/usr/lib/gcc/i686-w64-mingw32/12-posix scripts/wine32.sh prog.exe args...
#   scripts/wine32.sh --setup      # sets the root up, runs nothing
#   scripts/wine32.sh --end        # ends the Wine server of the prefix, and so the session
#
# Fit for CTest: -DCMAKE_CROSSCOMPILING_EMULATOR=<repo>/scripts/wine32.sh.
# KORV_WINE32_PATH lists, ':'- or ';'-separated, the host folders holding the
# DLLs the program needs; they become WINEPATH. Those folders, the program's
# and the current one are shown in the root at the same paths (so are the
# folders in KORV_WINE32_BIND, ':'-separated), and the program starts in the
# current folder. The Wine prefix is KORV_WINE32_PREFIX, a host folder shown
# in the root as well (default: /root/.wine32 in the root); WINEDEBUG
# defaults to -all. Arguments are passed as they are: paths in them must lie
# in shown folders.
#
# The root holds Wine alone (i386-root.sh --bare), in KORV_I386_CACHE
# (default /var/cache/korv-wine32): about 1 GB, set up on first use in a
# minute or two.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
[ $# -gt 0 ] || { echo "usage: $0 program.exe [args...] | --setup | --end" >&2; exit 2; }
export KORV_I386_CACHE=${KORV_I386_CACHE:-/var/cache/korv-wine32}
root=("$here/i386-root.sh" --bare --install wine32)
[ "$1" != --setup ] || exec "${root[@]}" -- true

# A folder is shown through its top-level folder (/work, /home...) so that
# sibling paths in arguments resolve too; folders in those the root has its
# own of (/usr, /tmp...) are shown one by one.
binds=()
bind_for() {
    local dir top
    dir=$(realpath -m "$1")
    [ -d "$dir" ] || dir=$(dirname "$dir")
    top=/$(cut -d/ -f2 <<<"$dir")
    case "$top" in
        /|/usr|/etc|/bin|/sbin|/lib|/lib32|/lib64|/libx32|/proc|/sys|/dev|/run|/var|/tmp|/boot|/root|/src) ;;
        *) dir=$top ;;
    esac
    binds+=(--bind "$dir")
}

end=0
if [ "$1" = --end ]; then
    end=1
else
    program=$(realpath "$1")
    bind_for "$program"
fi
shift
bind_for "$PWD"
winepath=()
IFS=':;' read -r -a dirs <<<"${KORV_WINE32_PATH:-}"
for d in "${dirs[@]}"; do
    [ -n "$d" ] || continue
    d=$(realpath -m "$d")
    bind_for "$d"
    winepath+=("Z:${d//\//\\}")
done
IFS=':' read -r -a extra <<<"${KORV_WINE32_BIND:-}"
for d in "${extra[@]}"; do [ -z "$d" ] || bind_for "$d"; done

export WINEPATH
WINEPATH=$(IFS=';'; echo "${winepath[*]}")
export WINEPREFIX=${KORV_WINE32_PREFIX:-/root/.wine32}
if [ -n "${KORV_WINE32_PREFIX:-}" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    WINEPREFIX=$(realpath -m "$WINEPREFIX")
    bind_for "$(dirname "$WINEPREFIX")"
fi
export WINEDEBUG=${WINEDEBUG:--all}
# Mono and Gecko are never needed and would be fetched when a prefix is made.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win32
# One Wine server serves every run for the session that i386-root.sh keeps:
# a fresh server boots Wine's services, seconds per run. The keeper boots it
# with its output away from the runs' (CTest waits for pipes held open), and
# makes the prefix on first use, so parallel runs never race for it. The
# server ends after KORV_WINE32_IDLE seconds (default 120) without a program,
# or with --end.
keeper="set -e
mkdir -p \"\$WINEPREFIX\"
/usr/lib/wine/wineserver -p${KORV_WINE32_IDLE:-120}
/usr/lib/wine/wine wineboot
touch \"\$KORV_I386_READY\"
exec /usr/lib/wine/wineserver -w"
# One session (and server) for each prefix: ending one leaves the others be.
root+=(--session "$keeper" --session-id "$(printf '%s' "$WINEPREFIX" | md5sum | cut -c1-12)"
       --tmpfs "/tmp/.wine-$(id -u)" "${binds[@]}" --cwd "$PWD")
if [ $end = 1 ]; then
    exec "${root[@]}" --if-running -- /usr/lib/wine/wineserver -k
fi
exec "${root[@]}" -- /usr/lib/wine/wine "$program" "$@"

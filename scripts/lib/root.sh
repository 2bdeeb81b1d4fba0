# root.sh: sourced by the scripts that need root (or are better with it).
# When not root, they run again through sudo where sudo is installed; on a
# machine without it (a fresh Debian box, whose user is root anyway) they
# say plainly that they need root. The NORV_* and SOAK_* settings of the
# caller's environment go along, since sudo resets the environment.
#
# Source it before any cd: it remembers the script's own path.

_root_self=$(realpath "$0")
_root_name="scripts/$(basename "$0")"

# _root_again ARGS...: runs this script again as root through sudo, with the
# NORV_* and SOAK_* variables of the environment; does not return.
_root_again() {
    local keep=() v
    for v in $(compgen -e); do
        case $v in NORV_* | SOAK_*) keep+=("$v=${!v}") ;; esac
    done
    echo "$_root_name: running again as root: sudo $_root_name $*" >&2
    exec sudo -- env "${keep[@]}" "$_root_self" "$@"
}

# need_root WHY ARGS...: returns when root; otherwise runs this script again
# through sudo with ARGS, or, without sudo, says it needs root (WHY) and exits 1.
need_root() {
    local why=$1; shift
    [ "$(id -u)" = 0 ] && return 0
    command -v sudo >/dev/null && _root_again "$@"
    echo "$_root_name: needs root ($why), and sudo is not installed: run it as root" >&2
    exit 1
}

# want_root ARGS...: for a script that works without root, with less done.
# Returns when root; runs this script again through sudo when sudo works
# without asking, or asks on a terminal and that succeeds; otherwise returns
# 1 and the script goes on without root. NORV_NO_SUDO=1 never asks sudo.
want_root() {
    [ "$(id -u)" = 0 ] && return 0
    [ -z "${NORV_NO_SUDO:-}" ] && command -v sudo >/dev/null || return 1
    if sudo -n true 2>/dev/null || { [ -t 0 ] && sudo -v; }; then
        _root_again "$@"
    fi
    return 1
}

#!/usr/bin/env bash
# Interpreters that CI tests against and the machine does not have: CPython 3.14 and 3.15 from
# Debian sid's binary packages in a minimal sid chroot (whose g++ builds the modules there too),
# and free-threaded CPython 3.13 ("3.13t") compiled from Debian's python3.13 source package.
# Everything is cached in one machine-wide folder, so a machine pays for it once.
#
#   tools/interpreters.sh provision [VERSION...]  make VERSIONs ready (default: all of them)
#   tools/interpreters.sh python VERSION          print the interpreter's path, provisioning it
#                                                 first; a chroot interpreter's path is the one
#                                                 inside the chroot
#   tools/interpreters.sh run VERSION CMD...      run CMD with VERSION first on PATH as `python`,
#                                                 inside the chroot where VERSION lives there
#   tools/interpreters.sh chroot-run VERSION CMD...  the same, for a chroot VERSION only
#   tools/interpreters.sh list                    what is cached, and where
#   tools/interpreters.sh clean [VERSION...]      drop cached interpreters (default: all)
#
# VERSION is X.Y (3.14, 3.15: the chroot; one of the machine's own, such as 3.11, is used as it is)
# or X.Yt (free-threaded, built from the python3.X source package: 3.13t; a newer one drops in by
# its number where the archive serves its source).
#
# Inside the chroot the clone this script belongs to, the paths in VELMORA_CHROOT_BIND
# (colon-separated), pip's configuration and every local path it names (wheel folders, file://
# indexes, certificates, constraints) are bind-mounted at their own paths, with /proc, /sys and
# /dev. The mounts are made in a private mount namespace, so they end with the command however it
# ends; an exit trap unmounts them as well.
#
# Settings (environment):
#   VELMORA_INTERP_CACHE    the cache folder (/var/cache/velmora-interpreters)
#   VELMORA_DEBIAN_MIRROR   the Debian mirror (default: the one this machine's apt uses)
#   VELMORA_CHROOT_SUITE    the chroot's suite (sid)
#   VELMORA_SOURCE_SUITES   suites searched for free-threaded sources (sid)
#   VELMORA_JOBS            parallel compile jobs for the free-threaded build (the CPU count, at most 2)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
self="$here/$(basename "${BASH_SOURCE[0]}")"
clone=$(cd "$here/.." && pwd)
cache=${VELMORA_INTERP_CACHE:-/var/cache/velmora-interpreters}
suite=${VELMORA_CHROOT_SUITE:-sid}
source_suites=${VELMORA_SOURCE_SUITES:-sid}
chroot_versions_default="3.14 3.15"
ft_versions_default="3.13"
jobs=${VELMORA_JOBS:-$(n=$(nproc 2>/dev/null || echo 2); ((n > 2)) && n=2; echo "$n")}
chroot_dir="$cache/$suite"
stamp_name=.velmora-complete
# Bump when a recipe changes: a cached entry made by another recipe is rebuilt.
chroot_recipe=1
ft_recipe=1

log() { printf '== [interpreters] %s\n' "$*" >&2; }
die() { printf 'interpreters.sh: %s\n' "$*" >&2; exit 1; }

# ---------------------------------------------------------------------------------------------
# Cache entries: built under a temporary name, stamped, then renamed into place. An entry without
# the stamp of the current recipe (a build killed half-way, an older recipe) does not count.

stamp_key() { [[ -f "$1/$stamp_name" ]] && head -n1 "$1/$stamp_name" || true; }

is_ready() { [[ -d "$1" && "$(stamp_key "$1")" == "$2" ]]; }

# Refuses to delete a tree that still has something mounted inside it.
remove_tree() {
  local dir=$1
  [[ -e "$dir" ]] || return 0
  local real
  real=$(readlink -f "$dir")
  if awk -v d="$real/" '{ if (index($5 "/", d) == 1) found = 1 } END { exit !found }' /proc/self/mountinfo; then
    die "$dir still has mounts inside it; not removing it"
  fi
  rm -rf --one-file-system "$dir"
}

# Swaps a finished build into place: the old entry (if any) is moved aside first and removed after.
install_entry() {  # staged final
  local staged=$1 final=$2 old=""
  if [[ -e "$final" ]]; then
    old="$final.old.$$"
    mv "$final" "$old"
  fi
  mv "$staged" "$final"
  [[ -z "$old" ]] || remove_tree "$old"
}

# One provisioning of an entry at a time per machine; the others wait for it and then find the
# entry ready. Different entries build side by side.
lock_entry() {  # entry name
  mkdir -p "$cache"
  exec 9>"$cache/.lock-$1"
  flock 9
}
unlock_entry() { flock -u 9; exec 9>&-; }

# Leftovers of killed builds of an entry. Only called with the entry's lock held.
sweep_staging() {  # entry name
  local d
  for d in "$cache/.staging-$1".* "$cache/$1".old.*; do
    [[ -e "$d" ]] || continue
    log "removing the leftover $d"
    remove_tree "$d"
  done
}

# ---------------------------------------------------------------------------------------------
# The host: packages, the Debian mirror.

host_install() {  # package...
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null | grep -qx installed || missing+=("$p")
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  log "apt-get install ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Another apt on the machine may hold dpkg's lock for a while.
  local apt=(apt-get -y -q --no-install-recommends -o DPkg::Lock::Timeout=600)
  if ! "${apt[@]}" install "${missing[@]}" >/dev/null; then
    "${apt[@]}" update >/dev/null
    "${apt[@]}" install "${missing[@]}" >/dev/null
  fi
}

# The Debian archive as this machine's apt reaches it: the index targets apt has fetched, or else
# the URIs of the sources files. The security archive is not it.
debian_mirror() {
  if [[ -n "${VELMORA_DEBIAN_MIRROR:-}" ]]; then
    echo "${VELMORA_DEBIAN_MIRROR%/}"
    return
  fi
  local uri
  uri=$(apt-get indextargets --format '$(REPO_URI)' 'Label: Debian' 'Target-Of: deb' 2>/dev/null | sed -n 1p) || true
  if [[ -z "$uri" ]]; then
    uri=$({
      sed -n 's/^[[:space:]]*URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | tr ' \t' '\n\n'
      sed -nE 's/^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+).*/\2/p' \
        /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null
    } | grep -E '^(https?|file)://' | grep -v -- '-security' | grep -E '/debian/?$' | sed -n 1p) || true
  fi
  [[ -n "$uri" ]] || die "no Debian mirror in this machine's apt configuration (set VELMORA_DEBIAN_MIRROR)"
  echo "${uri%/}"
}

have_namespaces() { unshare --mount --propagation private true 2>/dev/null; }

# ---------------------------------------------------------------------------------------------
# The sid chroot with Debian's python3.X packages and its g++.

chroot_versions_of() {  # the versions a chroot has (from its stamp)
  [[ -f "$1/$stamp_name" ]] && sed -n 's/^versions=//p' "$1/$stamp_name" || true
}

chroot_key() { echo "chroot recipe=$chroot_recipe suite=$suite"; }

chroot_has() {  # version
  is_ready "$chroot_dir" "$(chroot_key)" && [[ " $(chroot_versions_of "$chroot_dir") " == *" $1 "* ]]
}

build_chroot() {  # version...
  local versions=("$@") mirror staged start=$SECONDS
  mirror=$(debian_mirror)
  host_install debootstrap
  staged=$(mktemp -d "$cache/.staging-$suite.XXXXXX")
  log "debootstrap --variant=minbase $suite from $mirror"
  local boot=(debootstrap --variant=minbase "$suite" "$staged" "$mirror")
  # debootstrap mounts /proc and /sys in the target; a private namespace takes them away with it.
  have_namespaces && boot=(unshare --mount --propagation private "${boot[@]}")
  if ! "${boot[@]}" >"$cache/.debootstrap.log" 2>&1; then
    tail -n 30 "$cache/.debootstrap.log" >&2
    [[ -f "$staged/debootstrap/debootstrap.log" ]] && tail -n 30 "$staged/debootstrap/debootstrap.log" >&2
    remove_tree "$staged"
    die "debootstrap failed"
  fi
  # The mirror may be a frozen snapshot: its signed Release can be past its Valid-Until date.
  cat >"$staged/etc/apt/apt.conf.d/90velmora" <<'EOF'
Acquire::Check-Valid-Until "false";
APT::Install-Recommends "false";
APT::Sandbox::User "root";
EOF
  cat >"$staged/etc/dpkg/dpkg.cfg.d/90velmora" <<'EOF'
path-exclude /usr/share/doc/*
path-exclude /usr/share/man/*
path-exclude /usr/share/locale/*
path-exclude /usr/share/info/*
EOF
  printf '#!/bin/sh\nexit 101\n' >"$staged/usr/sbin/policy-rc.d"
  chmod +x "$staged/usr/sbin/policy-rc.d"
  local pkgs=(g++ cmake ninja-build ca-certificates) v
  for v in "${versions[@]}"; do pkgs+=("python$v" "python$v-dev" "python$v-venv"); done
  log "installing ${pkgs[*]} in the chroot"
  if ! chroot "$staged" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
      sh -c 'apt-get update -q && apt-get install -y -q "$@" && apt-get clean' sh "${pkgs[@]}" \
      >"$cache/.chroot-apt.log" 2>&1; then
    tail -n 30 "$cache/.chroot-apt.log" >&2
    remove_tree "$staged"
    die "installing packages in the chroot failed"
  fi
  for v in "${versions[@]}"; do
    chroot "$staged" "/usr/bin/python$v" -c 'import ensurepip, sysconfig, os, sys
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' ||
      { remove_tree "$staged"; die "python$v in the chroot is incomplete"; }
    # `python` and `python3` for `run`: one small bin folder per version.
    mkdir -p "$staged/opt/velmora/bin-$v"
    ln -sf "/usr/bin/python$v" "$staged/opt/velmora/bin-$v/python"
    ln -sf "/usr/bin/python$v" "$staged/opt/velmora/bin-$v/python3"
  done
  {
    chroot_key
    echo "versions=${versions[*]}"
    echo "mirror=$mirror"
    echo "built=$(date -u +%Y-%m-%dT%H:%M:%SZ)"
    echo "gxx=$(chroot "$staged" g++ -dumpfullversion)"
  } >"$staged/$stamp_name"
  install_entry "$staged" "$chroot_dir"
  log "chroot $chroot_dir ready (python ${versions[*]}) in $((SECONDS - start)) s"
}

ensure_chroot() {  # version...
  local want=() v
  for v in "$@"; do chroot_has "$v" || want+=("$v"); done
  [[ ${#want[@]} -eq 0 ]] && return 0
  lock_entry "$suite"
  want=()
  for v in "$@"; do chroot_has "$v" || want+=("$v"); done
  if [[ ${#want[@]} -gt 0 ]]; then
    sweep_staging "$suite"
    # A rebuild keeps what the chroot had and adds what is asked for.
    local all
    all=$(printf '%s\n' $chroot_versions_default "$@" $(is_ready "$chroot_dir" "$(chroot_key)" &&
      chroot_versions_of "$chroot_dir") | sort -u -V | tr '\n' ' ')
    # shellcheck disable=SC2086
    build_chroot $all
  fi
  unlock_entry
}

# ---------------------------------------------------------------------------------------------
# Free-threaded CPython from Debian's source package.

ft_dir() { echo "$cache/cpython-$1t"; }
ft_key() { echo "cpython-ft recipe=$ft_recipe version=$1 configure=--disable-gil"; }
ft_python() { echo "$(ft_dir "$1")/bin/python$1t"; }

# Downloads the newest python3.X source package that the archive actually serves into the current
# folder, through an apt list of our own (the machine's apt configuration is left as it is).
fetch_ft_source() {  # version
  local v=$1 mirror aptdir s
  mirror=$(debian_mirror)
  aptdir="$cache/.apt-sources-$v"
  mkdir -p "$aptdir/lists/partial" "$aptdir/parts" "$aptdir/cache/archives/partial"
  : >"$aptdir/sources.list"
  for s in $source_suites; do
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $s main" >>"$aptdir/sources.list"
  done
  local apt_opts=(-o "Dir::Etc::SourceList=$aptdir/sources.list" -o "Dir::Etc::SourceParts=$aptdir/parts"
    -o "Dir::State::Lists=$aptdir/lists" -o "Dir::Cache=$aptdir/cache" -o Acquire::Check-Valid-Until=false
    -o APT::Sandbox::User=root -o Debug::NoLocking=1)
  apt-get "${apt_opts[@]}" -q update >"$aptdir/update.log" 2>&1 ||
    { cat "$aptdir/update.log" >&2; die "apt-get update of the source list failed"; }
  local versions
  versions=$(apt-cache "${apt_opts[@]}" showsrc "python$v" 2>/dev/null | sed -n 's/^Version: //p' | sort -u -V -r)
  [[ -n "$versions" ]] || die "the archive lists no python$v source package"
  local pv
  for pv in $versions; do
    if apt-get "${apt_opts[@]}" -q source --download-only "python$v=$pv" >"$aptdir/source.log" 2>&1; then
      echo "$pv"
      return 0
    fi
    log "python$v $pv is listed but not served; trying an older one"
    rm -f ./*"python$v"_*
  done
  die "no python$v source package could be downloaded (listed: $(echo $versions))"
}

build_ft() {  # version
  local v=$1 final staged work start=$SECONDS
  final=$(ft_dir "$v")
  host_install build-essential pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev \
    libsqlite3-dev libreadline-dev libncurses-dev uuid-dev
  work=$(mktemp -d "$cache/.staging-cpython-${v}t.XXXXXX")
  staged="$work/root"
  local pv
  if ! pv=$(cd "$work" && fetch_ft_source "$v"); then
    remove_tree "$work"
    exit 1
  fi
  log "building free-threaded CPython $v from python$v $pv (configure --disable-gil, no PGO, $jobs jobs)"
  local orig="" f
  for f in "$work/python${v}_"*.orig.tar.*; do [[ "$f" == *.asc ]] || orig=$f; done
  [[ -n "$orig" ]] || { remove_tree "$work"; die "no upstream tarball in the python$v source package"; }
  mkdir "$work/src"
  tar -xf "$orig" -C "$work/src" --strip-components=1
  local buildlog="$cache/.build-cpython-${v}t.log"
  if ! (cd "$work/src" &&
        ./configure --disable-gil --prefix="$final" --with-ensurepip=install &&
        make -j"$jobs" &&
        make install DESTDIR="$staged") >"$buildlog" 2>&1; then
    tail -n 40 "$buildlog" >&2
    remove_tree "$work"
    die "the free-threaded CPython $v build failed (log: $buildlog)"
  fi
  local built="$staged$final"
  ln -sf "python${v}t" "$built/bin/python"
  # The staged interpreter runs from its staging place (its prefix follows the executable).
  if ! "$built/bin/python${v}t" -c 'import sys, sysconfig, ssl, sqlite3, ctypes, lzma, bz2, zlib, venv, ensurepip
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1 and not sys._is_gil_enabled()'; then
    remove_tree "$work"
    die "the free-threaded CPython $v build is incomplete"
  fi
  {
    ft_key "$v"
    echo "source=python$v $pv"
    echo "built=$(date -u +%Y-%m-%dT%H:%M:%SZ)"
  } >"$built/$stamp_name"
  install_entry "$built" "$final"
  remove_tree "$work"
  log "free-threaded CPython $v ready at $final in $((SECONDS - start)) s"
}

ensure_ft() {  # version
  is_ready "$(ft_dir "$1")" "$(ft_key "$1")" && return 0
  lock_entry "cpython-$1t"
  if ! is_ready "$(ft_dir "$1")" "$(ft_key "$1")"; then
    sweep_staging "cpython-$1t"
    build_ft "$1"
  fi
  unlock_entry
}

# ---------------------------------------------------------------------------------------------
# Versions: where each one lives.

host_python() {  # X.Y: the machine's own interpreter, if it has one
  local p
  for p in "/root/.pyenv/versions/$1".*/bin/"python$1" "/usr/local/bin/python$1" "/usr/bin/python$1"; do
    [[ -x "$p" ]] && { echo "$p"; return 0; }
  done
  return 1
}

kind_of() {  # version -> ft | host | chroot
  local v=$1
  [[ "$v" =~ ^3\.[0-9]+t?$ ]] || die "not a version: $v (expected X.Y or X.Yt)"
  if [[ "$v" == *t ]]; then echo ft
  elif [[ " $chroot_versions_default " == *" $v "* ]]; then echo chroot
  elif host_python "$v" >/dev/null; then echo host
  else echo chroot
  fi
}

provision() {  # version...
  local chroot_want=() v
  for v in "$@"; do
    case $(kind_of "$v") in
      ft) ensure_ft "${v%t}" ;;
      chroot) chroot_want+=("$v") ;;
      host) ;;
    esac
  done
  [[ ${#chroot_want[@]} -eq 0 ]] || ensure_chroot "${chroot_want[@]}"
}

python_path() {  # version (provisioned)
  case $(kind_of "$1") in
    ft) ft_python "${1%t}" ;;
    chroot) echo "/usr/bin/python$1" ;;
    host) host_python "$1" ;;
  esac
}

# ---------------------------------------------------------------------------------------------
# Running inside the chroot.

mounted=()

unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -R "${mounted[i]}" 2>/dev/null || umount -R -l "${mounted[i]}" 2>/dev/null || true
  done
  mounted=()
}

bind_same() {  # path [ro]: bind-mount a host path at the same path inside the chroot
  local src=$1 mode=${2:-rw} dst
  src=$(readlink -f "$src") || return 0
  [[ -e "$src" ]] || return 0
  dst="$chroot_dir$src"
  # Already visible through an earlier mount (a folder inside the clone, say).
  local m
  for m in "${mounted[@]}"; do [[ "$dst" == "$m"/* || "$dst" == "$m" ]] && return 0; done
  if [[ -d "$src" ]]; then
    mkdir -p "$dst"
  else
    mkdir -p "$(dirname "$dst")"
    [[ -e "$dst" ]] || : >"$dst"
  fi
  mount --bind "$src" "$dst"
  mounted+=("$dst")
  [[ "$mode" == ro ]] && mount -o remount,bind,ro "$dst" 2>/dev/null || true
}

# Local paths named by pip's settings: find-links folders, file:// indexes, certificates,
# constraint and requirement files. A local index's pages link to files beside its `simple`
# folder, so the folder above that goes in whole.
pip_paths() {
  local files=(/etc/pip.conf /etc/xdg/pip/pip.conf "$HOME/.config/pip/pip.conf" "$HOME/.pip/pip.conf")
  [[ -n "${PIP_CONFIG_FILE:-}" ]] && files+=("$PIP_CONFIG_FILE")
  {
    local f
    for f in "${files[@]}"; do
      [[ -f "$f" ]] && sed -n 's/^[^#;=]*=//p' "$f"
    done
    env | sed -n 's/^\(PIP_[A-Z_]*\|SSL_CERT_FILE\|SSL_CERT_DIR\|REQUESTS_CA_BUNDLE\|CURL_CA_BUNDLE\)=//p'
  } | tr ' \t' '\n\n' | sed -n 's|^file://||; s|/simple/\{0,1\}$||; /^\/[^/]\+\/./p' | sort -u
}

chroot_inner() {  # version cmd...   (runs as root, normally in a private mount namespace)
  local v=$1
  shift
  trap unmount_all EXIT
  trap 'exit 130' INT TERM HUP
  mount -t proc proc "$chroot_dir/proc"
  mounted+=("$chroot_dir/proc")
  local d
  for d in /sys /dev; do
    mount --rbind "$d" "$chroot_dir$d"
    mount --make-rslave "$chroot_dir$d"
    mounted+=("$chroot_dir$d")
  done
  bind_same "$clone"
  local IFS_save=$IFS p
  IFS=:
  for p in ${VELMORA_CHROOT_BIND:-}; do [[ -n "$p" ]] && bind_same "$p"; done
  IFS=$IFS_save
  # pip's cache stays writable; the other paths pip's settings name are only read.
  if [[ -n "${PIP_CACHE_DIR:-}" ]]; then
    mkdir -p "$PIP_CACHE_DIR"
    bind_same "$PIP_CACHE_DIR"
  elif [[ -d "$HOME/.cache/pip" ]]; then
    bind_same "$HOME/.cache/pip"
  fi
  bind_same /etc/resolv.conf ro
  bind_same /etc/hosts ro
  for p in /etc/pip.conf /etc/xdg/pip "$HOME/.config/pip" "$HOME/.pip" ${PIP_CONFIG_FILE:-}; do bind_same "$p" ro; done
  while read -r p; do bind_same "$p" ro; done < <(pip_paths)

  local envs=(PATH="/opt/velmora/bin-$v:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
    HOME="$HOME" LANG=C.UTF-8 VELMORA_PYTHON="/usr/bin/python$v")
  local name
  while IFS= read -r name; do
    envs+=("$name=${!name}")
  done < <(compgen -e | grep -E '^(CI|TERM|TZ|PIP_[A-Z_]*|VELMORA_[A-Z_]*|PYTHON[A-Z_]*|PYTEST_[A-Z_]*|HYPOTHESIS_[A-Z_]*|CMAKE_[A-Z_]*|CFLAGS|CXXFLAGS|LDFLAGS|ASAN_OPTIONS|UBSAN_OPTIONS|SSL_CERT_FILE|SSL_CERT_DIR|REQUESTS_CA_BUNDLE|CURL_CA_BUNDLE|[Hh][Tt][Tt][Pp][Ss]?_[Pp][Rr][Oo][Xx][Yy]|[Nn][Oo]_[Pp][Rr][Oo][Xx][Yy])$' |
    grep -vE '^(PYTHONHOME|VELMORA_PYTHON)$')
  local rc=0
  chroot "$chroot_dir" /usr/bin/env -i "${envs[@]}" /bin/bash -c 'cd -- "$0" 2>/dev/null || cd /; exec "$@"' \
    "$PWD" "$@" || rc=$?
  exit "$rc"
}

chroot_run() {  # version cmd...
  local v=$1
  shift
  [[ $# -gt 0 ]] || die "chroot-run: no command"
  [[ "$(kind_of "$v")" == chroot ]] || die "chroot-run: $v does not live in the chroot"
  provision "$v"
  [[ $EUID -eq 0 ]] || die "chroot-run needs root"
  if have_namespaces; then
    exec unshare --mount --propagation private -- "$self" __chroot-inner "$v" "$@"
  fi
  chroot_inner "$v" "$@"
}

run() {  # version cmd...
  local v=$1
  shift
  [[ $# -gt 0 ]] || die "run: no command"
  case $(kind_of "$v") in
    chroot) chroot_run "$v" "$@" ;;
    *)
      provision "$v"
      local py
      py=$(python_path "$v")
      local bin
      bin=$(dirname "$py")
      if [[ "$(readlink -f "$bin/python" 2>/dev/null)" != "$(readlink -f "$py")" ]]; then
        # A machine interpreter without its own plain `python` beside it.
        bin="$cache/.bin-$v"
        mkdir -p "$bin"
        ln -sfn "$py" "$bin/python"
        ln -sfn "$py" "$bin/python3"
      fi
      VELMORA_PYTHON="$py" PATH="$bin:$PATH" exec "$@"
      ;;
  esac
}

list() {
  local v
  for v in $chroot_versions_default $(is_ready "$chroot_dir" "$(chroot_key)" && chroot_versions_of "$chroot_dir"); do
    echo "$v"
  done | sort -u -V | while read -r v; do
    if chroot_has "$v"; then echo "$v  ready   chroot $chroot_dir: /usr/bin/python$v"
    else echo "$v  missing chroot $chroot_dir"
    fi
  done
  local d
  for v in $ft_versions_default $(ls -d "$cache"/cpython-*t 2>/dev/null | sed 's|.*/cpython-||; s|t$||'); do
    echo "$v"
  done | sort -u -V | while read -r v; do
    d=$(ft_dir "$v")
    if is_ready "$d" "$(ft_key "$v")"; then echo "${v}t ready   $(ft_python "$v") ($(sed -n 's/^source=//p' "$d/$stamp_name"))"
    else echo "${v}t missing $d"
    fi
  done
}

clean() {  # version...
  local entries=() v
  if [[ $# -eq 0 ]]; then
    entries=("$suite")
    for v in "$cache"/cpython-*t; do [[ -e "$v" ]] && entries+=("$(basename "$v")"); done
  else
    for v in "$@"; do
      case $(kind_of "$v") in
        ft) entries+=("cpython-$v") ;;
        chroot) entries+=("$suite") ;;
        host) ;;
      esac
    done
  fi
  local e
  for e in "${entries[@]}"; do
    lock_entry "$e"
    sweep_staging "$e"
    remove_tree "$cache/$e"
    if [[ "$e" == cpython-*t ]]; then
      v=${e#cpython-}
      rm -rf "$cache/.apt-sources-${v%t}"
    fi
    unlock_entry
  done
}

all_versions() { echo $chroot_versions_default $(printf '%st ' $ft_versions_default); }

usage() { sed -n '2,/^set -euo/{/^set -euo/d; s/^# \{0,1\}//; p}' "$self"; }

cmd=${1:-}
[[ $# -gt 0 ]] && shift
case $cmd in
  provision)
    if [[ $# -gt 0 ]]; then provision "$@"; else provision $(all_versions); fi
    ;;
  python) [[ $# -eq 1 ]] || die "python: one VERSION"; provision "$1"; python_path "$1" ;;
  run) [[ $# -ge 1 ]] || die "run: VERSION CMD..."; run "$@" ;;
  chroot-run) [[ $# -ge 1 ]] || die "chroot-run: VERSION CMD..."; chroot_run "$@" ;;
  __chroot-inner) chroot_inner "$@" ;;
  list) list ;;
  clean) clean "$@" ;;
  mirror) debian_mirror ;;
  -h | --help | help | "") usage ;;
  *) usage >&2; exit 2 ;;
esac

#!/usr/bin/env bash
# Builds the Debian package from a finished build and checks it as Debian's own tools and a
# new user would: lintian, the AppStream and desktop-entry validators, the package's
# dependencies resolvable from Debian's archive, and the unpacked program working from its
# installed places (the command, the tool server, the demo's generator found in
# /usr/lib/kestrova). As root in CI (or with KESTROVA_INSTALL_PACKAGE=1) it is also installed
# with dpkg and apt-get -f install, started from the PATH and the menu entry, and removed.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/kestrova_*.deb)
echo "package: $(basename "$deb") ($(du -k "$deb" | cut -f1) KB)"

# Debian's policy checks. The package is not uploaded to the archive, so the tags about an
# archive upload (no bug-closing changelog, a non-free licence outside non-free) say nothing.
lintian --fail-on error,warning --suppress-tags \
  initial-upload-closes-no-bugs,no-manual-page,unknown-section \
  --tag-display-limit 0 "$deb" || fail "lintian"

dpkg-deb -x "$deb" "$work/root"
root=$work/root
for f in usr/bin/kestrova usr/lib/kestrova/kestrova-generate-db usr/share/man/man1/kestrova.1.gz \
  usr/share/applications/kestrova.desktop usr/share/icons/hicolor/scalable/apps/kestrova.svg \
  usr/share/metainfo/org.kestrova.Kestrova.metainfo.xml usr/lib/systemd/user/kestrova.service \
  usr/share/bash-completion/completions/kestrova usr/share/doc/kestrova/copyright; do
  [[ -e "$root/$f" ]] || fail "missing /$f"
done
appstreamcli validate --no-net "$root/usr/share/metainfo/org.kestrova.Kestrova.metainfo.xml" ||
  fail "appstream metainfo"
desktop-file-validate "$root/usr/share/applications/kestrova.desktop" || fail "desktop entry"

# The libraries opened at run time (not linked, so dpkg-shlibdeps cannot see them) are named.
depends=$(dpkg-deb -f "$deb" Depends)
for package in libcurl3-gnutls qt6-qpa-plugins libetpan20 libgnutls30 libsecret-1-0 libpcre2-8-0 \
  liburiparser1; do
  grep -q "\b$package\b" <<< "$depends" || fail "Depends lacks $package: $depends"
done

# Every dependency the package names can be installed from the archive.
apt-get install --simulate --no-install-recommends "$deb" > "$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "dependencies"; }

# The unpacked program, with a home of its own.
home=$work/home
export HOME=$home XDG_DATA_HOME=$home/data XDG_CONFIG_HOME=$home/config \
  XDG_STATE_HOME=$home/state KESTROVA_CREDENTIAL_STORE=file
"$root/usr/bin/kestrova" --version | grep -q . || fail "--version"
answer=$(printf '%s\n' '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05","capabilities":{},"clientInfo":{"name":"check","version":"1"}}}' |
  timeout 20 "$root/usr/bin/kestrova" --mcp-stdio)
grep -q '"protocolVersion"' <<< "$answer" || fail "tool server: $answer"
timeout 300 "$root/usr/bin/kestrova" demo --home "$work/demo" > "$work/demo.log" 2>&1 ||
  { cat "$work/demo.log"; fail "demo with the installed generator"; }

# Installed for real as a user would (dpkg, then apt-get -f install for what it lacks) when
# running as root in CI or when asked with KESTROVA_INSTALL_PACKAGE=1, never over a kestrova
# package that is already installed; removed again afterwards.
install_wanted() {
  [[ $(id -u) == 0 ]] || return 1
  [[ "${KESTROVA_INSTALL_PACKAGE:-}" == 1 || -n "${CI:-}" ]] || return 1
  [[ "${KESTROVA_INSTALL_PACKAGE:-}" != 0 ]] || return 1
  ! dpkg-query -W -f '${Status}' kestrova 2>/dev/null | grep -q 'install ok installed'
}
if install_wanted; then
  export DEBIAN_FRONTEND=noninteractive
  trap 'apt-get purge -y -qq kestrova > /dev/null 2>&1 || true; rm -rf "$work"' EXIT
  dpkg -i "$deb" > "$work/dpkg.log" 2>&1 || apt-get -f install -y -qq > "$work/apt-f.log" 2>&1 ||
    { cat "$work/dpkg.log" "$work/apt-f.log"; fail "installing the package"; }
  [[ "$(command -v kestrova)" == /usr/bin/kestrova ]] || fail "kestrova not on the PATH"
  kestrova --version | grep -q . || fail "installed kestrova"
  answer=$(printf '%s\n' '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05","capabilities":{},"clientInfo":{"name":"check","version":"1"}}}' |
    timeout 20 kestrova --mcp-stdio)
  grep -q '"protocolVersion"' <<< "$answer" || fail "installed tool server: $answer"
  if [[ -e /usr/lib/kestrova/kestrova-window ]]; then
    # The menu's command line, as a desktop runs it: Exec with %u replaced by a link. The
    # first start opens the window (offscreen here); a second start hands its link to it and
    # returns at once.
    export XDG_RUNTIME_DIR=$work/run QT_QPA_PLATFORM=offscreen
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    exec_line=$(sed -n 's/^Exec=//p' /usr/share/applications/kestrova.desktop)
    first=${exec_line//%u/}
    second=${exec_line//%u/kestrova://drafts}
    $first > "$work/window.log" 2>&1 &
    window=$!
    for _ in $(seq 100); do
      [[ -n "$(find "$XDG_RUNTIME_DIR" -type s 2>/dev/null)" ]] && break
      kill -0 "$window" 2>/dev/null || { cat "$work/window.log"; fail "the window did not start"; }
      sleep 0.2
    done
    [[ -n "$(find "$XDG_RUNTIME_DIR" -type s)" ]] || { kill "$window"; fail "the window never listened"; }
    timeout 20 $second > "$work/second.log" 2>&1 || { cat "$work/second.log"; kill "$window"; fail "second start"; }
    kill -0 "$window" 2>/dev/null || { cat "$work/window.log"; fail "the window ended on a handed-over link"; }
    kill "$window"; wait "$window" 2>/dev/null || true
  fi
  apt-get purge -y -qq kestrova > /dev/null 2>&1 || fail "removing the package"
  [[ ! -e /usr/bin/kestrova ]] || fail "removal left /usr/bin/kestrova"
  trap 'rm -rf "$work"' EXIT
  echo "installed, started from the PATH and the menu entry, removed"
fi
echo "package checks passed"

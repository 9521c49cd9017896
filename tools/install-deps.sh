#!/usr/bin/env bash
# Installs the Debian packages that building and testing Kestrova needs, only those that are
# missing. Safe to run again: with everything present it only checks.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git python3 sqlite3
  libsqlite3-dev libicu-dev nlohmann-json3-dev libglib2.0-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libsecret-1-dev libglib2.0-bin dbus-daemon gnome-keyring
  libpcre2-dev liburiparser-dev
  libcurl4-gnutls-dev  # HTTP client of the AI services (brings libcurl3-gnutls, loaded at run time)
  libetpan-dev libgnutls28-dev libsasl2-modules dovecot-core dovecot-imapd python3-aiosmtpd openssl
  libgmime-3.0-dev  # only the MIME differential test and the decoder benchmark use GMime
  isync             # mbsync, the peer tool of the first-load benchmark (bench/run_sync.sh)
  dbus-bin          # dbus-monitor, which times the Notify calls in bench/run_service.sh
  lintian appstream desktop-file-utils  # checks of the Debian package (make deb)
  qt6-base-dev      # the desktop window (kestrova-window): Qt 6 Widgets, Network and Test
  fonts-noto-cjk    # Chinese glyphs in the window's tests and screenshots
  qt6-translations-l10n  # Qt's own texts (dialog buttons) in Chinese in the window and its tests
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

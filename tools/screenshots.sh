#!/usr/bin/env bash
# Pictures of the mail window on the demo mailbox for the README: English and Chinese, light
# and dark, and a newsletter with its remote images blocked. Renders offscreen (no display
# needed). Usage: tools/screenshots.sh BUILD_DIR OUTPUT_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME=$home XDG_DATA_HOME=$home/data XDG_CONFIG_HOME=$home/config XDG_STATE_HOME=$home/state
export XDG_RUNTIME_DIR=$home/run QT_QPA_PLATFORM=offscreen
mkdir -p "$XDG_DATA_HOME/tivra/Email" "$XDG_CONFIG_HOME/kestrova" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
# The same mailbox `kestrova demo` makes.
"$build/tools/kestrova-generate-db" --out "$XDG_DATA_HOME/tivra/Email/email.db" \
  --messages 3000 --accounts 3 --folders 24 --seed 7 --demo >/dev/null

shot() {  # language scheme file [window options...]
  local language=$1 scheme=$2 file=$3
  shift 3
  printf '{"defaultLanguage": "%s", "featureTagSystemEnabled": true, "featureActionItemsEnabled": true, "featureInternalNotesEnabled": true}\n' \
    "$language" >"$XDG_CONFIG_HOME/kestrova/settings.json"
  "$build/kestrova-window" --screenshot "$out/$file" --scheme "$scheme" "$@"
  echo "$out/$file"
}
shot en light window-en-light.png --select 1
shot en dark window-en-dark.png --select 1
shot zh-Hans light window-zh-light.png --select 2
shot zh-Hans dark window-zh-dark.png --select 2
shot zh-Hans light conversation-zh.png --search "subject:评审会" --select 0 --open-conversation
# Settings → Accounts (the list, and the add form with a provider's presets) and the first run.
shot en light accounts-en.png --accounts-page --size 1000x720
shot zh-Hans light accounts-zh.png --accounts-page --size 1000x720
shot en light accounts-add-en.png --accounts-page --add-account ada@gmail.com --size 1000x760
shot zh-Hans light accounts-add-zh.png --accounts-page --add-account wang@qq.com --size 1000x760
shot en light first-run-en.png --first-run --size 720x620
shot zh-Hans light first-run-zh.png --first-run --size 720x620
# The demo's newsletters carry no remote images; the generated benchmark mailbox's do.
"$build/tools/kestrova-generate-db" --out "$XDG_DATA_HOME/tivra/Email/email.db" \
  --messages 3000 --accounts 3 --folders 24 --seed 7 --force >/dev/null
shot en light newsletter-blocked.png --search "from:medium" --select 0
shot zh-Hans light newsletter-zh.png --search "from:jd.example.com" --select 0

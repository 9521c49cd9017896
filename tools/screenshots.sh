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
  printf '{"defaultLanguage": "%s", "featureTagSystemEnabled": true, "featureActionItemsEnabled": true, "featureInternalNotesEnabled": true%s}\n' \
    "$language" "${extra_settings:-}" >"$XDG_CONFIG_HOME/kestrova/settings.json"
  "$build/kestrova-window" --screenshot "$out/$file" --scheme "$scheme" "$@"
  echo "$out/$file"
}
shot en light window-en-light.png --select 1
shot en dark window-en-dark.png --select 1
shot zh-Hans light window-zh-light.png --select 2
shot zh-Hans dark window-zh-dark.png --select 2
shot zh-Hans light conversation-zh.png --search "subject:评审会" --select 0 --open-conversation
# Follow-up: a few action items (one done) and two rules on the demo mailbox, then the
# action-items view, the snooze picker and the Rules page with its preview.
ids=($("$build/kestrova" list --limit 6 | cut -c1-8))
"$build/kestrova" actions add "${ids[0]}" "Review the API design notes" >/dev/null
"$build/kestrova" actions add "${ids[1]}" "Check that the parcel arrived" >/dev/null
"$build/kestrova" actions add "${ids[4]}" "Approve the expense report" >/dev/null
"$build/kestrova" actions add "${ids[5]}" "回复关于时间表的问题" >/dev/null
"$build/kestrova" actions done "$("$build/kestrova" actions list | head -1 | cut -c1-8)" >/dev/null
account=$("$build/kestrova" account list | sed -n 's/^\* [0-9A-F]*  \([^ ]*\).*/\1/p')
"$build/kestrova" rules add --account "$account" --name "Shipping notices" --subject shipped \
  --tag orders --mark-read yes >/dev/null
"$build/kestrova" rules add --account "$account" --name "Weekly reports" \
  --subject "Weekly report" --move-to Archive >/dev/null
shot en light action-items-en.png --view action-items --select 1
shot zh-Hans light action-items-zh.png --view action-items --select 1
shot en light snooze-picker-en.png --select 1 --snooze-picker
shot zh-Hans light snooze-picker-zh.png --select 1 --snooze-picker
shot en light rules-page-en.png --rules-page --size 1000x700
shot zh-Hans light rules-page-zh.png --rules-page --size 1000x700
# Writing: a reply with an attachment (en, zh) and the scheduled view.
head -c 2400000 /dev/urandom >"$home/Q3-report.pdf"
"$build/kestrova" signature add --name Work --content $'--\n{{name}}\n{{email}}' >/dev/null
shot en light composer-reply-en.png --select 1 --compose reply --attach "$home/Q3-report.pdf"
shot zh-Hans light composer-reply-zh.png --select 1 --compose reply --attach "$home/Q3-report.pdf"
"$build/kestrova" send --to ann@example.org --subject "Quarterly numbers" --body "See the figures." \
  --at +2h >/dev/null
"$build/kestrova" send --to bob@example.org,carol@example.org --subject "Team lunch on Friday" \
  --body "Who is in?" --at +1d >/dev/null
shot en light scheduled-en.png --scheduled
shot zh-Hans light scheduled-zh.png --scheduled
# The AI panel: before any AI service is ready, and a question about a folder answered (in
# Markdown, streamed) by a loopback provider speaking the OpenAI wire format.
# No profile is set up: the eight default profiles, none with its key yet.
extra_settings=', "hasMigratedAIConfig": true' \
  shot en light ai-panel-setup-en.png --select 1 --ai-panel --size 1480x860
ai_servers="$(cd "$(dirname "$0")/.." && pwd)/tests/support/ai_servers/ai_servers.py"
python3 "$ai_servers" start "$home/ai" >/dev/null
trap 'python3 "$ai_servers" stop "$home/ai" >/dev/null; rm -rf "$home"' EXIT
ai_shot() {  # language file question answer [window options...]
  local language=$1 file=$2 question=$3 answer=$4
  shift 4
  local url
  url=$(python3 - "$home/ai/servers.json" "$answer" <<'PY'
import json, sys, urllib.request
port = json.load(open(sys.argv[1]))["http"]
request = urllib.request.Request(f"http://127.0.0.1:{port}/__replies/shots",
                                 data=json.dumps([sys.argv[2]]).encode(), method="POST")
urllib.request.urlopen(request).read()
print(f"http://127.0.0.1:{port}/canned/shots/v1")
PY
)
  extra_settings=', "hasMigratedAIConfig": true, "aiServiceProfiles": [{"name": "Local", "protocolType": "openai", "endpoint": "'$url'", "defaultModel": "local", "isDefault": true}]' \
    shot "$language" light "$file" --ai-panel --ai-scope folder --ask "$question" "$@"
}
ai_shot en ai-panel-en.png "Which messages here still need something from me?" \
  "Three messages in your **Inbox** still wait for you:

1. **Expense report 71002 awaiting approval** from James Silva — needs your approval.
2. **Expense report 77928 awaiting approval** from Noah Rossi — needs your approval too.
3. **周末一起去Phoenix吗？71379** from 黄志强 — asks whether you join this weekend.

The shipping notices (*Your order #65228 has shipped*, *您的订单 96628 已发货*) need nothing from you.

*Suggestion:* approve both expense reports, then answer 黄志强." --select 1 --size 1480x860
ai_shot zh-Hans ai-panel-zh.png "这个文件夹里哪些邮件还需要我处理？" \
  "**收件箱**里有三封邮件还需要你处理：

1. **Expense report 71002 awaiting approval**（James Silva）— 报销单等你审批。
2. **Expense report 77928 awaiting approval**（Noah Rossi）— 同样需要审批。
3. **周末一起去Phoenix吗？71379**（黄志强）— 问你周末是否同去。

两封发货通知（*Your order #65228 has shipped*、*您的订单 96628 已发货*）无需处理。

*建议：* 先审批两份报销单，再回复黄志强。" --select 1 --size 1480x860
# Settings: the AI, Reading and Agent pages.
for page in ai reading agent; do
  shot en light settings-$page-en.png --settings $page
  shot zh-Hans light settings-$page-zh.png --settings $page
done
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

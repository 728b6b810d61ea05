#!/usr/bin/env bash
# Takes the pictures inside one headless sway, as the user who runs it, on a session bus of its
# own (run it under dbus-run-session). screenshots.sh prepares the data and calls it.
# Needs: WORK (scratch folder), SHOTS (this folder), OUT (where the PNGs go), XDG_RUNTIME_DIR,
# XDG_DATA_HOME holding the accounts, and quorbel-status and quorbel-tray on PATH.
set -euo pipefail

readonly width=1000 height=600
export SCREEN_WIDTH=$width SCREEN_HEIGHT=$height

started=()

# Starts a program in the background, its output in WORK/logs, and remembers its pid.
start() {
  local name=$1
  shift
  "$@" >"$WORK/logs/$name.log" 2>&1 &
  started+=("$!")
}

# Ends the programs started since the list had $1 entries, newest first.
stop_since() {
  local i
  for ((i = ${#started[@]} - 1; i >= $1; i--)); do
    kill "${started[i]}" 2>/dev/null || true
    wait "${started[i]}" 2>/dev/null || true
    unset 'started[i]'
  done
}

# tmux's server leaves its client behind: end it by its own socket, whatever went wrong.
trap 'stop_since 0; tmux -L shots kill-server 2>/dev/null || true' EXIT
trap 'exit 1' INT TERM

wait_for() {
  local tries=$1
  shift
  until "$@"; do
    ((--tries > 0)) || { echo "screenshots: gave up waiting for: $*" >&2; return 1; }
    sleep 0.2
  done
}

# "X,Y WxH" of the window whose app_id is "shot", as grim takes it.
shot_window_box() {
  swaymsg -t get_tree | python3 -c '
import json, sys
def walk(node):
    if node.get("app_id") == "shot":
        r = node["rect"]
        print("%d,%d %dx%d" % (r["x"], r["y"], r["width"], r["height"]))
        sys.exit(0)
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        walk(child)
walk(json.load(sys.stdin))
sys.exit(1)'
}

has_shot_window() { shot_window_box >/dev/null 2>&1; }

# Runs a command in a foot terminal of COLSxROWS cells, waits, and saves the window as NAME.png.
terminal_shot() {
  local name=$1 size=$2 settle=$3
  shift 3
  local mark=${#started[@]}
  start "foot-$name" foot -c "$SHOTS/foot.ini" -a shot -W "$size" -- "$@"
  wait_for 50 has_shot_window
  sleep "$settle"
  grim -g "$(shot_window_box)" "$OUT/$name.png"
  stop_since "$mark"
}

# A waybar configuration named $2: $1 is the JSON of its modules.
waybar_config() {
  cat >"$WORK/waybar-$2.json" <<JSON
{
  "layer": "top",
  "position": "top",
  "height": 30,
  $1,
  "custom/claude": {
    "exec": "quorbel-status --watch --format waybar",
    "return-type": "json"
  },
  "tray": {"icon-size": 22, "spacing": 8, "show-passive-items": true},
  "clock": {"format": "{:%a %H:%M}"}
}
JSON
  echo "$WORK/waybar-$2.json"
}

# Whether the bar named $1 has put its surface on the output.
bar_is_up() { grep -q 'Bar configured' "$WORK/logs/waybar-$1.log"; }

# Whether a program owns the bus name $1.
on_bus() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner "string:$1" | grep -q 'boolean true'
}

start_sway() {
  start sway sway -c "$SHOTS/sway.conf"
  wait_for 50 compgen -G "$XDG_RUNTIME_DIR/wayland-[0-9]" >/dev/null
  WAYLAND_DISPLAY=$(basename "$(compgen -G "$XDG_RUNTIME_DIR/wayland-[0-9]" | head -n 1)")
  export WAYLAND_DISPLAY
  wait_for 50 compgen -G "$XDG_RUNTIME_DIR/sway-ipc.*.sock" >/dev/null
  SWAYSOCK=$(compgen -G "$XDG_RUNTIME_DIR/sway-ipc.*.sock" | head -n 1)
  export SWAYSOCK
  wait_for 50 swaymsg -t get_outputs >/dev/null
}

shot_waybar() {
  local mark=${#started[@]}
  start waybar-module waybar -c "$(waybar_config '"modules-left": ["custom/claude"]' module)" \
    -s "$SHOTS/waybar-style.css"
  wait_for 50 bar_is_up module
  sleep 2
  grim -g "0,0 430x30" "$OUT/waybar.png"
  stop_since "$mark"
}

shot_overview() {
  local mark=${#started[@]}
  start waybar-overview waybar \
    -c "$(waybar_config '"modules-left": ["sway/workspaces"], "modules-center": ["custom/claude"], "modules-right": ["tray", "clock"]' overview)" \
    -s "$SHOTS/waybar-style.css"
  wait_for 50 bar_is_up overview
  wait_for 50 on_bus org.kde.StatusNotifierWatcher
  start tray-overview quorbel-tray
  sleep 3
  start pointer-overview python3 "$SHOTS/pointer.py" $((width / 2)) 15
  sleep 3
  grim -g "0,0 ${width}x404" "$OUT/overview.png"
  stop_since "$mark"
}

shot_tray() {
  local mark=${#started[@]}
  start waybar-tray waybar -c "$(waybar_config '"modules-left": ["tray"]' tray)" \
    -s "$SHOTS/waybar-style.css"
  wait_for 50 bar_is_up tray
  wait_for 50 on_bus org.kde.StatusNotifierWatcher
  start tray-menu quorbel-tray
  sleep 3
  start pointer-tray python3 "$SHOTS/pointer.py" 31 27 right
  sleep 2
  grim -g "0,0 660x580" "$OUT/tray.png"
  stop_since "$mark"
}

shot_notification() {
  local mark=${#started[@]}
  start mako mako -c "$SHOTS/mako.conf"
  wait_for 50 on_bus org.freedesktop.Notifications
  start notify quorbel-status --notify
  sleep 3
  grim -g "0,0 470x236" "$OUT/notification.png"
  stop_since "$mark"
}

shot_tmux() {
  cat >"$WORK/tmux.conf" <<'TMUX'
set -g default-shell /bin/bash
set -g default-terminal tmux-256color
set -g status-interval 5
set -g status-style bg=colour236,fg=colour250
set -g status-right-length 120
set -g status-right '#(quorbel-status) | %H:%M '
TMUX
  # The status line's #() job runs only while a client is attached: the terminal is that client.
  terminal_shot tmux 100x4 7 tmux -L shots -f "$WORK/tmux.conf" new-session \
    "env PS1='~/project \$ ' bash --norc -i"
  tmux -L shots kill-server
}

shot_statusline() {
  terminal_shot statusline 100x6 2 bash "$SHOTS/statusline-demo.sh"
}

shot_dashboard() {
  terminal_shot dashboard 90x22 3 quorbel-status --dashboard
}

export TMUX_TMPDIR=$WORK
mkdir -p "$WORK/logs" "$OUT"
start_sway
for scene in ${SCENES:-waybar overview tray notification tmux statusline dashboard}; do
  "shot_$scene"
done

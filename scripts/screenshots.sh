#!/usr/bin/env bash
# Makes the pictures in docs/images/ from the real programs: waybar and its tray under a headless
# sway, tmux, the status line and the dashboard in the foot terminal, a notification shown by
# mako, and the history chart as SVG and as PNG (rsvg-convert). Two hand-made accounts, a default
# one and "work", live in a temporary data folder; nothing of the user's own is read or changed.
#
# usage: scripts/screenshots.sh [BUILD_DIR]
#
# Without BUILD_DIR it installs the build dependencies and builds into build-shots. It installs
# the packages the pictures need (apt-get: as root, or through sudo). sway refuses to run as root,
# so as root the pictures are taken by a throwaway user, removed again at the end. Every process
# and folder it starts or makes is ended or removed on the way out.
set -euo pipefail
cd "$(dirname "$0")/.."
readonly repo=$PWD shots=$PWD/scripts/screenshots images=$PWD/docs/images
readonly shots_user=quorbel-shots

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi

# The compositor, the bar, the terminal, the notification daemon and the tools that capture and
# shrink the pictures. Kept out of install-deps.sh: building and testing need none of them.
install_picture_packages() {
  local packages=(sway swaybg waybar grim foot tmux mako-notifier librsvg2-bin optipng dbus
    gsettings-desktop-schemas fonts-dejavu-core python3 util-linux passwd procps file)
  local missing=() package
  for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
      missing+=("$package")
    fi
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
      "${missing[@]}"
  fi
}

build_programs() {
  scripts/install-deps.sh
  cmake -S . -B build-shots -DCMAKE_BUILD_TYPE=Release -DQUORBEL_BUILD_TESTS=OFF \
    -DQUORBEL_BUILD_BENCH=OFF >/dev/null
  cmake --build build-shots -j"$(nproc)" --target quorbel-status quorbel-tray
  build_dir=$repo/build-shots
}

work=
runner_pid=
made_user=no
cleanup() {
  local status=$?
  if [ "$status" -ne 0 ] && [ -n "$work" ] && [ -d "$work/logs" ]; then
    # The programs' own words are the quickest way to why a picture failed.
    tail -n 15 "$work"/logs/*.log >&2 || true
  fi
  if [ -n "$runner_pid" ]; then
    kill "$runner_pid" 2>/dev/null || true
    wait "$runner_pid" 2>/dev/null || true
  fi
  if [ "$made_user" = yes ]; then
    if pgrep -u "$shots_user" >/dev/null; then
      echo "screenshots: left running as $shots_user, so the user stays:" >&2
      pgrep -a -u "$shots_user" >&2 || true
    else
      userdel "$shots_user"
    fi
  fi
  if [ -n "$work" ]; then
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Runs a command as the user who takes the pictures, with nothing of this shell's environment.
as_shots_user() {
  local who=()
  if [ "$(id -u)" -eq 0 ]; then
    who=(setpriv --reuid="$shots_user" --regid="$shots_user" --clear-groups)
  fi
  "${who[@]}" env -i HOME="$work/home" SHELL=/bin/bash LANG=C.UTF-8 TZ=UTC TERM=xterm-256color \
    PATH="$work/bin:/usr/bin:/bin" XDG_RUNTIME_DIR="$work/run" XDG_DATA_HOME="$work/data" \
    XDG_STATE_HOME="$work/state" XDG_CONFIG_HOME="$work/config" GSETTINGS_BACKEND=keyfile \
    XCURSOR_PATH="$work/icons" XCURSOR_THEME=invisible XCURSOR_SIZE=24 NO_AT_BRIDGE=1 \
    GTK_THEME=Adwaita:dark \
    WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
    WORK="$work" SHOTS="$work/scenes" OUT="$work/out" SCENES="${SCENES:-}" "$@"
}

main() {
  local started_at=$SECONDS
  build_dir=${1:-}
  install_picture_packages
  if [ -z "$build_dir" ]; then
    build_programs
  fi
  build_dir=$(cd "$build_dir" && pwd)

  work=$(mktemp -d /tmp/quorbel-shots.XXXXXX)
  chmod 755 "$work"
  mkdir -p "$work/bin" "$work/home" "$work/run" "$work/state" "$work/config" "$work/out"
  chmod 700 "$work/run"
  # The throwaway user may not reach into the checkout (a home of mode 700): it gets copies.
  cp "$build_dir/quorbel-status" "$build_dir/quorbel-tray" "$work/bin/"
  cp -r "$shots" "$work/scenes"
  python3 "$shots/make_data.py" "$work/data" "$work/home" "$work/session.json"
  # GTK (waybar, its tooltips and menus) takes its cursor and theme from GSettings, or from
  # settings.ini where the schema is missing: the invisible cursor.
  python3 "$shots/pointer.py" --theme "$work/icons"
  mkdir -p "$work/config/glib-2.0/settings" "$work/config/gtk-3.0"
  printf "[org/gnome/desktop/interface]\ncursor-theme='invisible'\ncursor-size=24\n" \
    >"$work/config/glib-2.0/settings/keyfile"
  printf '[Settings]\ngtk-cursor-theme-name=invisible\ngtk-cursor-theme-size=24\n' \
    >"$work/config/gtk-3.0/settings.ini"
  if [ "$(id -u)" -eq 0 ]; then
    if ! id "$shots_user" >/dev/null 2>&1; then
      useradd --system --no-create-home --home-dir "$work/home" --shell /usr/sbin/nologin \
        "$shots_user"
      made_user=yes
    fi
    chown -R "$shots_user:$shots_user" "$work"
  fi

  as_shots_user timeout 300 dbus-run-session -- bash "$work/scenes/scenes.sh" &
  runner_pid=$!
  wait "$runner_pid"
  runner_pid=

  # The chart needs no display: the history command writes the SVG itself.
  as_shots_user quorbel-status --history --since 7d --format svg --output "$work/out/history.svg"
  rsvg-convert --background-color=white -o "$work/out/history.png" "$work/out/history.svg"

  mkdir -p "$images"
  local picture
  for picture in "$work"/out/*; do
    case $picture in
      *.png) optipng -quiet -o5 -strip all "$picture" ;;
    esac
    install -m 644 "$picture" "$images/"
  done
  for picture in "$images"/*; do
    printf '%-22s %6.1f KiB  %s\n' "${picture#"$repo"/}" "$(($(stat -c %s "$picture") * 10 / 1024))e-1" \
      "$(file -b "$picture" | cut -d, -f2 | tr -d ' ')"
  done
  echo "screenshots: done in $((SECONDS - started_at)) s"
}

main "$@"

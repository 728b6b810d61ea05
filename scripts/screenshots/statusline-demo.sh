#!/usr/bin/env bash
# What a terminal shows when the status line command is fed the document Claude Code sends: each
# command is printed as typed, then run.
cd "$WORK"
show() {
  printf '\033[34m~/project\033[0m $ %s\n' "$1"
  eval "$1"
}
show 'quorbel-status --format statusline < session.json'
show 'quorbel-status --format statusline --lines 2 < session.json'
exec sleep infinity

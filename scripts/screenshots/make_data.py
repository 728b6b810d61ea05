#!/usr/bin/env python3
"""Writes the two accounts the pictures show: their snapshots and a week of history.

usage: make_data.py DATA_HOME CLAUDE_HOME SESSION_JSON

SESSION_JSON gets the document Claude Code hands its status line command.

The numbers are made here, by hand, but every picture is drawn from them by the real programs.
Times are relative to now, so the reset countdowns read alike on every run; a fixed seed keeps
the history's shape the same.
"""
import json
import os
import random
import sqlite3
import sys
from datetime import datetime, timedelta, timezone

FETCH_EVERY = timedelta(seconds=180)
FIVE_HOURS = timedelta(hours=5)
WEEK = timedelta(days=7)


def iso(t):
    return t.astimezone(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def ms(t):
    return int(t.timestamp() * 1000)


class Account:
    def __init__(self, name, seed, hourly, session, session_reset_in, week, week_reset_in,
                 week_ratio, models=None, money=None):
        self.name = name
        self.rng = random.Random(seed)
        self.hourly = hourly      # five-hour percent a working hour uses, on average
        self.session, self.session_reset_in = session, session_reset_in
        # The weekly windows: name -> (percent now, reset in, five-hour percents per weekly one)
        self.weekly = {"allModels": (week, week_reset_in, week_ratio)}
        self.weekly.update(models or {})
        self.money = money        # (used, limit) in cents, or None


def working(now, t):
    # A working day of nine hours with a break, ending now; the samples stop overnight.
    into_day = (now - t) % timedelta(days=1)
    return into_day < timedelta(hours=9) and not (timedelta(hours=4) < into_day < timedelta(hours=5))


def first_reset(now, reset_in, period, start):
    reset = now + reset_in
    while reset - period > start:
        reset -= period
    return reset


def simulate(account, now):
    """One sample per fetch while working: percents climb with use and drop at each reset.

    Returns [fetched_at, {window: [percent, resets_at]}] rows; the present period of every
    window is scaled to end exactly on today's numbers, so the chart, the sparklines and the
    snapshot agree."""
    fetched = []
    t = now - WEEK
    while t <= now:
        if working(now, t):
            fetched.append(t)
        t += FETCH_EVERY
    fetched[-1] = now

    targets = {"session": (account.session, now + account.session_reset_in)}
    resets = {}
    used = {"session": 0.0}
    for name, (percent, reset_in, _) in account.weekly.items():
        targets[name] = (percent, now + reset_in)
        resets[name] = first_reset(now, reset_in, WEEK, fetched[0])
        used[name] = 0.0
    session_reset = None
    rows = []
    for t in fetched:
        if session_reset is None or t >= session_reset:
            # The five-hour window starts with the first message after the last one ended.
            session_reset = t + FIVE_HOURS
            used["session"] = 0.0
        step = account.hourly * account.rng.uniform(0.3, 1.7) * FETCH_EVERY.total_seconds() / 3600
        used["session"] += step
        for name, (_, _, ratio) in account.weekly.items():
            if t >= resets[name]:
                resets[name] += WEEK
                used[name] = 0.0
            used[name] += step / ratio
        windows = {"session": [used["session"], session_reset]}
        windows.update({name: [used[name], resets[name]] for name in account.weekly})
        rows.append([t, windows])

    # The helper's present five-hour period ends at the snapshot's reset time.
    present = rows[-1][1]["session"][1]
    for _, windows in rows:
        if windows["session"][1] == present:
            windows["session"][1] = targets["session"][1]
    for name, (percent, reset) in targets.items():
        members = [w[name] for _, w in rows if w[name][1] == reset]
        scale = percent / (members[-1][0] or 1)
        for window in members:
            window[0] *= scale
    for _, windows in rows:
        for window in windows.values():
            window[0] = min(100, round(window[0]))
    return rows


def write_history(path, account, rows):
    db = sqlite3.connect(path)
    db.executescript(
        "PRAGMA journal_mode = WAL;"
        "CREATE TABLE sample(id INTEGER PRIMARY KEY, fetched_at INTEGER NOT NULL,"
        " extra_currency TEXT, extra_exponent INTEGER, extra_used INTEGER, extra_limit INTEGER);"
        "CREATE INDEX sample_by_time ON sample(fetched_at);"
        "CREATE TABLE usage_window(sample_id INTEGER NOT NULL REFERENCES sample(id) ON DELETE"
        " CASCADE, kind INTEGER NOT NULL, model TEXT NOT NULL, percent INTEGER NOT NULL,"
        " resets_at INTEGER, PRIMARY KEY(sample_id, kind, model)) WITHOUT ROWID;"
        "PRAGMA user_version = 1;")
    kinds = {"session": 0, "allModels": 1}
    for i, (t, windows) in enumerate(rows):
        money = account.money
        used = int(money[0] * (i + 1) / len(rows)) if money else None
        cur = db.execute(
            "INSERT INTO sample(fetched_at, extra_currency, extra_exponent, extra_used, extra_limit)"
            " VALUES(?, ?, ?, ?, ?)",
            (ms(t), "USD" if money else None, 2 if money else None, used,
             money[1] if money else None))
        sid = cur.lastrowid
        for name, (percent, reset) in windows.items():
            kind = kinds.get(name, 2)
            db.execute("INSERT INTO usage_window VALUES(?, ?, ?, ?, ?)",
                       (sid, kind, "" if kind < 2 else name, percent, ms(reset)))
    db.commit()
    db.execute("PRAGMA journal_mode = DELETE")
    db.close()
    os.chmod(path, 0o600)


def write_snapshot(folder, account, now, claude_dir):
    os.makedirs(folder, exist_ok=True)
    snapshot = {
        "fetchedAt": iso(now),
        "status": "active",
        "subscriptionType": "max",
        "rateLimitTier": "default_claude_max_20x",
        "session": {"percent": account.session, "resetsAt": iso(now + account.session_reset_in)},
    }
    for name, (percent, reset_in, _) in sorted(account.weekly.items()):
        window = {"percent": percent, "resetsAt": iso(now + reset_in)}
        if name == "allModels":
            snapshot[name] = window
        else:
            snapshot.setdefault("modelWindows", []).append(dict(window, model=name))
    if account.money:
        snapshot["extraUsage"] = {"currency": "USD", "exponent": 2, "used": account.money[0],
                                  "limit": account.money[1]}
    with open(os.path.join(folder, "plan-snapshot.json"), "w") as f:
        json.dump(snapshot, f, indent=2, sort_keys=True)
    with open(os.path.join(folder, "claude-config-dir"), "w") as f:
        f.write(claude_dir + "\n")


def write_session(path, account, now):
    # As Claude Code sends it after a session's first answer: its own view of the two windows,
    # a little fresher than the helper's (one more message since the last fetch).
    week, week_reset_in, _ = account.weekly["allModels"]
    session = {
        "session_id": "5b1f0c2e-shots", "cwd": "/home/me/project", "version": "2.1.90",
        "model": {"id": "claude-opus-4-8", "display_name": "Opus"},
        "workspace": {"current_dir": "/home/me/project", "project_dir": "/home/me/project"},
        "output_style": {"name": "default"},
        "cost": {"total_cost_usd": 0.41, "total_duration_ms": 812000, "total_lines_added": 156},
        "context_window": {"context_window_size": 200000, "used_percentage": 23,
                           "remaining_percentage": 77},
        "exceeds_200k_tokens": False,
        "rate_limits": {
            "five_hour": {"used_percentage": account.session + 1.5,
                          "resets_at": int((now + account.session_reset_in).timestamp())},
            "seven_day": {"used_percentage": week + 0.2,
                          "resets_at": int((now + week_reset_in).timestamp())}},
    }
    with open(path, "w") as f:
        json.dump(session, f, indent=1)


def main():
    data_home, claude_home = sys.argv[1], sys.argv[2]
    now = datetime.now(timezone.utc).replace(microsecond=0) - timedelta(seconds=40)
    accounts = [
        Account("default", 7, 12, 41, timedelta(hours=2, minutes=13),
                14, timedelta(days=3, hours=4, minutes=20), 30),
        Account("work", 11, 19, 88, timedelta(hours=1, minutes=37),
                62, timedelta(days=1, hours=9, minutes=5), 17,
                models={"Opus": (86, timedelta(days=2, hours=6, minutes=40), 12)},
                money=(10587, 30000)),
    ]
    root = os.path.join(data_home, "QuorbelHelper")
    for account in accounts:
        if account.name == "default":
            folder, claude_dir = root, os.path.join(claude_home, ".claude")
        else:
            folder = os.path.join(root, "accounts", account.name)
            claude_dir = os.path.join(claude_home, ".claude-" + account.name)
        write_snapshot(folder, account, now, claude_dir)
        write_history(os.path.join(folder, "history.sqlite3"), account, simulate(account, now))
    write_session(sys.argv[3], accounts[0], now)


if __name__ == "__main__":
    main()

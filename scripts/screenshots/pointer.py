#!/usr/bin/env python3
"""A pointer for a compositor that has none: moves it to X,Y and optionally presses a button.

usage: pointer.py X Y [left|right]
       pointer.py --theme DIR    writes a cursor theme "invisible" under DIR


A headless seat has no pointer, and a tooltip or a tray menu only opens under one. This speaks
the Wayland wire protocol directly (wlroots' virtual pointer), so no extra package is needed. It
stays connected until it is ended: the compositor removes the pointer, and with it the tooltip,
when the connection closes.
"""
import os
import signal
import socket
import struct
import sys
import time

BUTTONS = {"left": 0x110, "right": 0x111}


class Connection:
    def __init__(self):
        path = os.path.join(os.environ["XDG_RUNTIME_DIR"], os.environ.get("WAYLAND_DISPLAY", "wayland-0"))
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.buffer = b""

    def send(self, obj, opcode, payload=b""):
        self.sock.sendall(struct.pack("<II", obj, (8 + len(payload)) << 16 | opcode) + payload)

    def events(self):
        while True:
            while len(self.buffer) >= 8:
                obj, word = struct.unpack_from("<II", self.buffer)
                size = word >> 16
                if len(self.buffer) < size:
                    break
                body, self.buffer = self.buffer[8:size], self.buffer[size:]
                yield obj, word & 0xFFFF, body
            chunk = self.sock.recv(65536)
            if not chunk:
                raise SystemExit("compositor closed the connection")
            self.buffer += chunk


def string(text):
    data = text.encode() + b"\0"
    return struct.pack("<I", len(data)) + data + b"\0" * (-len(data) % 4)


def read_string(body, at):
    (length,) = struct.unpack_from("<I", body, at)
    text = body[at + 4:at + 4 + length - 1].decode()
    return text, at + 4 + length + (-length % 4)


def globals_of(conn):
    conn.send(1, 1, struct.pack("<I", 2))  # wl_display.get_registry -> 2
    conn.send(1, 0, struct.pack("<I", 3))  # wl_display.sync -> 3
    found = {}
    for obj, opcode, body in conn.events():
        if obj == 2 and opcode == 0:
            (name,) = struct.unpack_from("<I", body)
            interface, at = read_string(body, 4)
            (version,) = struct.unpack_from("<I", body, at)
            found[interface] = (name, version)
        elif obj == 3:
            return found
        elif obj == 1 and opcode == 0:
            raise SystemExit("protocol error from the compositor")


def write_invisible_theme(root):
    """A cursor theme whose every cursor is one transparent pixel: the pointer is there for the
    programs, yet the pictures do not show it."""
    cursors = os.path.join(root, "invisible", "cursors")
    os.makedirs(cursors, exist_ok=True)
    image_type, size = 0xFFFD0002, 24
    header = b"Xcur" + struct.pack("<III", 16, 0x10000, 1)
    toc = struct.pack("<III", image_type, size, 16 + 12)
    image = struct.pack("<IIIIIIIIII", 36, image_type, size, 1, 1, 1, 0, 0, 0, 0)
    for name in ("default", "left_ptr", "arrow", "top_left_arrow", "pointer", "hand2", "text",
                 "xterm", "context-menu", "wait", "watch", "progress"):
        with open(os.path.join(cursors, name), "wb") as f:
            f.write(header + toc + image)
    with open(os.path.join(root, "invisible", "index.theme"), "w") as f:
        f.write("[Icon Theme]\nName=invisible\n")


def main():
    if sys.argv[1] == "--theme":
        write_invisible_theme(sys.argv[2])
        return
    x, y = int(sys.argv[1]), int(sys.argv[2])
    button = BUTTONS.get(sys.argv[3]) if len(sys.argv) > 3 else None
    conn = Connection()
    found = globals_of(conn)
    manager = "zwlr_virtual_pointer_manager_v1"
    if manager not in found or "wl_seat" not in found:
        raise SystemExit("the compositor offers no virtual pointer")
    seat_name, _ = found["wl_seat"]
    conn.send(2, 0, struct.pack("<I", seat_name) + string("wl_seat") + struct.pack("<II", 1, 4))
    name, _ = found[manager]
    conn.send(2, 0, struct.pack("<I", name) + string(manager) + struct.pack("<II", 1, 5))
    conn.send(5, 0, struct.pack("<II", 4, 6))  # create_virtual_pointer(seat) -> 6
    extent = 10000
    width, height = int(os.environ["SCREEN_WIDTH"]), int(os.environ["SCREEN_HEIGHT"])

    def now():
        return int(time.monotonic() * 1000) & 0xFFFFFFFF

    # Arrive from a step away, so the surface under the pointer sees it enter and then move.
    for dx in (6, 0):
        conn.send(6, 1, struct.pack("<IIIII", now(), (x - dx) * extent // width,
                                    y * extent // height, extent, extent))
        conn.send(6, 4)  # frame
        time.sleep(0.3)
    if button is not None:
        conn.send(6, 2, struct.pack("<III", now(), button, 1))
        conn.send(6, 4)
        time.sleep(0.1)
        conn.send(6, 2, struct.pack("<III", now(), button, 0))
        conn.send(6, 4)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    conn.send(1, 0, struct.pack("<I", 7))
    for obj, opcode, body in conn.events():
        if obj == 1 and opcode == 0:
            raise SystemExit("protocol error from the compositor")


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""The user's path through the real player, inside the test network (see tests/e2e/run).

Starts the player three times and checks only what a user sees and hears: the windows on
the X display (read back through the accessibility tree and from the screen's pixels), the
URL the default browser was asked to open, and the sound at the null sink's monitor. Input
goes through xdotool, as pointer moves and clicks on the real windows.

Exits 0 only when every step held; prints each step, the timings and the screenshots.
"""

import argparse
import array
import json
import math
import os
import re
import select
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request

import pyatspi
from PIL import Image
from Xlib import X, display, error, protocol

TITLE = "tamselRadio"
SITE = "https://tamselradio.com"
# The player's fixed station, and its address in the test network (tests/e2e/testnet.sh).
STREAM_URL = "http://stream.tamselradio.com/tmslradio1/listen"
STREAM_ADDR = "127.0.0.3"
RATE = 16000
BLOCK = RATE // 10  # 100 ms: 44 whole periods of 440 Hz
TONE_HZ = 440.0
# A tone block: loud enough and nearly all of its power at 440 Hz. Silence: next to nothing.
TONE_MIN_RMS = 0.02
TONE_MIN_SHARE = 0.6
SILENCE_MAX_RMS = 0.002


class StepFailed(Exception):
    pass


passed = []


def step(text):
    passed.append(text)
    print("ok - " + text, flush=True)


def check(condition, text):
    if not condition:
        raise StepFailed(text)


def wait_until(predicate, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def update_text(version):
    return "Dear friend. We've released a new version %s. Would you like to update it now?" % version


def about_text(version):
    return ("radioTamsel v%s\n"
            "From Tamsel Radio with Love (tamselradio.com)\n"
            "Developed by Tamsel Radio Team (tamselradio.com)\n"
            "Big Thanks @tamselradio Community" % version)


# ---- sound --------------------------------------------------------------------------------

def goertzel_share(samples, freq):
    """Share of the block's power at freq (1.0 for a pure sine of whole periods)."""
    n = len(samples)
    coeff = 2.0 * math.cos(2.0 * math.pi * freq / RATE)
    s1 = s2 = 0.0
    energy = 0.0
    for x in samples:
        s0 = x + coeff * s1 - s2
        s2, s1 = s1, s0
        energy += x * x
    if energy == 0.0:
        return 0.0
    power = s1 * s1 + s2 * s2 - coeff * s1 * s2
    return 2.0 * power / (n * energy)


class Listener:
    """Records the null sink's monitor and classifies each 100 ms block as it arrives."""

    def __init__(self, monitor):
        self.proc = subprocess.Popen(
            ["parec", "--device=" + monitor, "--rate=%d" % RATE, "--channels=1",
             "--format=s16le", "--latency-msec=20"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.blocks = []  # (arrival time, rms, share at 440 Hz)
        self.lock = threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        need = BLOCK * 2
        while True:
            data = b""
            while len(data) < need:
                chunk = self.proc.stdout.read(need - len(data))
                if not chunk:
                    return
                data += chunk
            now = time.monotonic()
            samples = array.array("h", data)
            floats = [s / 32768.0 for s in samples]
            rms = math.sqrt(sum(x * x for x in floats) / len(floats))
            share = goertzel_share(floats, TONE_HZ) if rms > 0 else 0.0
            with self.lock:
                self.blocks.append((now, rms, share))

    @staticmethod
    def is_tone(block):
        return block[1] >= TONE_MIN_RMS and block[2] >= TONE_MIN_SHARE

    @staticmethod
    def is_silent(block):
        return block[1] <= SILENCE_MAX_RMS

    def first_run(self, since, kind, count, timeout):
        """Arrival time of the first of `count` consecutive blocks of a kind after `since`."""
        deadline = since + timeout
        while True:
            with self.lock:
                recent = [b for b in self.blocks if b[0] > since]
            run = 0
            for i, b in enumerate(recent):
                run = run + 1 if kind(b) else 0
                if run == count:
                    return recent[i - count + 1][0]
            if time.monotonic() > deadline + 0.3:
                return None
            if self.proc.poll() is not None:
                raise StepFailed("parec ended: " + self.proc.stderr.read().decode(errors="replace"))
            time.sleep(0.05)

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()


# ---- the X display ------------------------------------------------------------------------

class Screen:
    def __init__(self):
        self.d = display.Display()
        self.root = self.d.screen().root
        self.root.change_attributes(event_mask=X.SubstructureNotifyMask)
        self.d.sync()

    def drain(self):
        while self.d.pending_events():
            self.d.next_event()

    def wait_for_map(self, timeout, name):
        """The next top-level window with this name to be mapped, and when."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.d.pending_events() == 0:
                select.select([self.d], [], [], 0.1)
                continue
            event = self.d.next_event()
            if event.type != X.MapNotify:
                continue
            try:
                wm_name = event.window.get_wm_name()
            except error.XError:
                continue
            if isinstance(wm_name, bytes):
                wm_name = wm_name.decode("latin-1")
            if wm_name == name:
                return event.window, time.monotonic()
        return None, None

    def grab_window(self, window):
        geometry = window.get_geometry()
        origin = self.root.translate_coords(window, 0, 0)
        return self.grab(origin.x, origin.y, geometry.width, geometry.height)

    def grab(self, x, y, width, height):
        raw = self.root.get_image(x, y, width, height, X.ZPixmap, 0xFFFFFFFF)
        return Image.frombytes("RGB", (width, height), raw.data, "raw", "BGRX")

    def ping(self, window, timeout):
        """A window manager's "are you alive?" (_NET_WM_PING): seconds until the window's answer
        reaches the root window, or None. On a connection of its own, so the answer is read
        apart from the map events."""
        d = display.Display()
        try:
            root = d.screen().root
            root.change_attributes(event_mask=X.SubstructureNotifyMask | X.StructureNotifyMask)
            protocols = d.intern_atom("WM_PROTOCOLS")
            ping = d.intern_atom("_NET_WM_PING")
            stamp = int(time.monotonic() * 1000) & 0x7FFFFFFF
            target = d.create_resource_object("window", window.id)
            event = protocol.event.ClientMessage(window=target, client_type=protocols,
                                                 data=(32, [ping, stamp, window.id, 0, 0]))
            sent = time.monotonic()
            target.send_event(event, event_mask=X.NoEventMask)
            d.flush()
            while time.monotonic() < sent + timeout:
                if d.pending_events() == 0:
                    select.select([d], [], [], 0.02)
                    continue
                e = d.next_event()
                if (e.type == X.ClientMessage and e.client_type == protocols
                        and list(e.data[1][:2]) == [ping, stamp]):
                    return time.monotonic() - sent
            return None
        finally:
            d.close()

    def close(self, window):
        """What a window manager's close button sends."""
        protocols = self.d.intern_atom("WM_PROTOCOLS")
        delete = self.d.intern_atom("WM_DELETE_WINDOW")
        event = protocol.event.ClientMessage(window=window, client_type=protocols,
                                             data=(32, [delete, X.CurrentTime, 0, 0, 0]))
        window.send_event(event, event_mask=X.NoEventMask)
        self.d.flush()


def xdotool(*args):
    try:
        subprocess.run(["xdotool"] + [str(a) for a in args], check=True, timeout=10)
    except (subprocess.CalledProcessError, subprocess.TimeoutExpired) as e:
        raise StepFailed("xdotool %s: %s" % (" ".join(str(a) for a in args), e))


def centre(extents):
    return extents.x + extents.width // 2, extents.y + extents.height // 2


def click_at(x, y):
    xdotool("mousemove", "--sync", x, y, "click", "1")


# ---- the accessibility tree ---------------------------------------------------------------

def states(acc):
    return {pyatspi.stateToString(s) for s in acc.getState().getStates()}


def extents(acc):
    return acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)


def find_app(pid, timeout=10):
    def look():
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            try:
                if app is not None and app.get_process_id() == pid:
                    return app
            except Exception:  # an application that just went away
                continue
        return None
    app = wait_until(look, timeout, 0.1)
    check(app is not None, "the player never appeared in the accessibility tree")
    return app


def children(acc):
    return [acc.getChildAtIndex(i) for i in range(acc.childCount)]


def descendants(acc, role):
    found = []
    for child in children(acc):
        if child is None:
            continue
        if child.getRole() == role:
            found.append(child)
        found.extend(descendants(child, role))
    return found


def alerts(app):
    return [c for c in children(app) if c is not None and c.getRole() == pyatspi.ROLE_ALERT
            and "showing" in states(c)]


def main_window(app):
    frames = [c for c in children(app) if c is not None and c.getRole() != pyatspi.ROLE_ALERT
              and c.name == TITLE]
    check(frames, "the player's window is not in the accessibility tree")
    return frames[0]


def button(parent, caption):
    found = [b for b in descendants(parent, pyatspi.ROLE_PUSH_BUTTON) if b.name == caption]
    check(len(found) == 1, "no single %r button (found %d)" % (caption, len(found)))
    return found[0]


def read_message(box):
    labels = [l.name for l in descendants(box, pyatspi.ROLE_LABEL) if l.name]
    check(len(labels) == 1, "the message box has %d text labels: %r" % (len(labels), labels))
    return labels[0]


# ---- the run ------------------------------------------------------------------------------

class Run:
    def __init__(self, args):
        self.args = args
        self.screen = Screen()
        self.timings = {}
        os.makedirs(args.screenshots, exist_ok=True)
        self.shots = []

    def offer(self, version):
        with open(self.args.version_file, "w") as f:
            f.write(version + "\n")

    def version_requests(self):
        try:
            with open(self.args.nginx_log) as f:
                return sum(1 for line in f if "GET /app/version " in line)
        except FileNotFoundError:
            return 0

    def browser_urls(self):
        with open(self.args.browser_log) as f:
            return [line.rstrip("\n") for line in f if line.strip()]

    def save(self, image, name):
        path = os.path.join(self.args.screenshots, name)
        image.save(path)
        self.shots.append(os.path.abspath(path))

    def shoot(self, acc, name):
        # Once two grabs in a row agree, the window has finished painting.
        e = extents(acc)
        image = self.screen.grab(e.x, e.y, e.width, e.height)
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline:
            time.sleep(0.1)
            again = self.screen.grab(e.x, e.y, e.width, e.height)
            if again.tobytes() == image.tobytes():
                break
            image = again
        self.save(image, name)

    def command(self):
        return [self.args.player]

    def launch(self, label):
        self.screen.drain()
        log = open(os.path.join(self.args.work, "player-%s.log" % label), "ab")
        started = time.monotonic()
        proc = subprocess.Popen(self.command(), stdout=log, stderr=log,
                                stdin=subprocess.DEVNULL)
        window, shown = self.screen.wait_for_map(30, TITLE)
        check(window is not None, "%s: no %s window within 30 s" % (label, TITLE))
        geometry = window.get_geometry()
        check((geometry.width, geometry.height) == (212, 99),
              "%s: the first window shown is %dx%d, not the 212x99 player window"
              % (label, geometry.width, geometry.height))
        ms = (shown - started) * 1000
        self.timings.setdefault("launch", []).append(ms)
        step("%s: the player's window is shown %.0f ms after launch" % (label, ms))
        return proc, window

    def wait_for_box(self, app, label, timeout=15):
        boxes = wait_until(lambda: alerts(app), timeout, 0.1)
        check(boxes, "%s: no message box within %d s" % (label, timeout))
        check(len(boxes) == 1, "%s: %d message boxes at once" % (label, len(boxes)))
        box = boxes[0]
        check(box.name == TITLE, "%s: the message box's title is %r" % (label, box.name))
        return box

    def wait_box_gone(self, app, label):
        check(wait_until(lambda: not alerts(app), 5, 0.1), "%s: the message box stayed open" % label)

    def close_and_expect_zero(self, proc, window, label):
        self.screen.close(window)
        self.expect_exit_zero(proc, label, "closing the window",
                              "closing the window ends the process with exit status 0")

    def expect_exit_zero(self, proc, label, action, success):
        try:
            status = proc.wait(15)
        except subprocess.TimeoutExpired:
            proc.kill()
            raise StepFailed("%s: %s did not end the process within 15 s" % (label, action))
        check(status == 0, "%s: closing the window ended the process with status %d" % (label, status))
        step("%s: %s" % (label, success))

    def silent_server_then_close(self):
        """The version server takes the request and says nothing (frozen), then answers with an
        offer once the user has closed the window: the window was painted all along, and the
        close ends the program without an offer."""
        label = "start 0, version server silent"
        self.offer(self.args.newer_version)
        with open(os.path.join(self.args.work, "nginx", "nginx.pid")) as f:
            nginx = int(f.read().strip())
        before = self.version_requests()
        os.kill(nginx, signal.SIGSTOP)
        try:
            proc, window = self.launch(label)
            shown = time.monotonic()
            time.sleep(1.5)
            image = self.screen.grab_window(window)
            self.save(image, "silent-server-wait.png")
            grey = image.convert("L")
            mean = sum(grey.getdata()) / (grey.width * grey.height)
            darkest = min(grey.getdata())
            # The window's light background with the captions' dark ink, not an unpainted frame.
            check(mean >= 150 and darkest <= 90,
                  "%s: the window is not painted during the wait (mean %.0f, darkest %d)"
                  % (label, mean, darkest))
            step("%s: the window is painted while the update check waits (mean level %.0f)"
                 % (label, mean))
            self.check_alive(window, shown, label)
            self.screen.close(window)
            time.sleep(1)
        finally:
            os.kill(nginx, signal.SIGCONT)
        deadline = time.monotonic() + 15
        while proc.poll() is None and time.monotonic() < deadline:
            shown, _ = self.screen.wait_for_map(0.2, TITLE)
            if shown is not None:
                proc.kill()
                raise StepFailed("%s: a window came up after the close" % label)
        if proc.poll() is None:
            proc.kill()
            raise StepFailed("%s: the closed player did not end within 15 s of the reply" % label)
        check(self.version_requests() > before, "%s: the version was never answered" % label)
        check(proc.returncode == 0, "%s: ended with status %d" % (label, proc.returncode))
        step("%s: closed during the wait, it ends with status 0 once the reply (an offer) "
             "arrives, and shows no offer" % label)

    def check_alive(self, window, shown, label):
        """At +4 s into the wait the window manager's ping is answered within 1 s."""
        time.sleep(max(0.0, shown + 4 - time.monotonic()))
        answer = self.screen.ping(window, 1.0)
        check(answer is not None, "%s: no answer to _NET_WM_PING within 1 s at +4 s" % label)
        self.timings["ping"] = [answer * 1000]
        step("%s: the window answers the window manager's ping at +4 s in %.0f ms"
             % (label, answer * 1000))

    def check_accessible(self, window, label):
        """What a screen reader hears: the window is a frame, the slider and "?" say what they
        are, the buttons say what they do."""
        check(window.getRole() == pyatspi.ROLE_FRAME,
              "%s: the window's role is %s, not frame" % (label, window.getRoleName()))
        sliders = descendants(window, pyatspi.ROLE_SLIDER)
        check([(s.name, s.description) for s in sliders] == [("Volume", "Sets the playback volume")],
              "%s: sliders' names and descriptions %r" % (label, [(s.name, s.description) for s in sliders]))
        buttons = sorted((b.name, b.description) for b in descendants(window, pyatspi.ROLE_PUSH_BUTTON))
        expected = [("About tamselRadio", "Shows the version and the credits"),
                    ("Play", "Plays the station"), ("Stop", "Stops the station")]
        check(buttons == expected, "%s: buttons' names and descriptions %r" % (label, buttons))
        step("%s: to a screen reader the window is a frame, the slider \"Volume\", \"?\" "
             "\"About tamselRadio\", each with a description" % label)

    def update_offer_no(self):
        label = "start 1, %s offered" % self.args.newer_version
        self.offer(self.args.newer_version)
        proc, window = self.launch(label)
        app = find_app(proc.pid)
        box = self.wait_for_box(app, label)
        text = read_message(box)
        expected = update_text(self.args.newer_version)
        check(text == expected, "%s: the message reads %r, not %r" % (label, text, expected))
        step("%s: the update message appears with the exact text" % label)
        self.shoot(box, "update-message.png")
        click_at(*centre(extents(button(box, "No"))))
        self.wait_box_gone(app, label)
        time.sleep(2)
        check(self.browser_urls() == [], "%s: No opened %r" % (label, self.browser_urls()))
        step("%s: No closes the message and nothing opens" % label)
        self.close_and_expect_zero(proc, window, label)

    def update_offer_yes(self):
        label = "start 2, %s offered" % self.args.newer_version
        proc, window = self.launch(label)
        app = find_app(proc.pid)
        box = self.wait_for_box(app, label)
        check(read_message(box) == update_text(self.args.newer_version),
              "%s: the update message differs" % label)
        click_at(*centre(extents(button(box, "Yes"))))
        self.wait_box_gone(app, label)
        wait_until(self.browser_urls, 10, 0.1)
        time.sleep(0.5)  # a second, unwanted opening would show up here
        urls = self.browser_urls()
        check(urls == [SITE], "%s: the browser was asked to open %r, not [%r]" % (label, urls, SITE))
        step("%s: Yes opens %s in the default browser" % (label, SITE))
        self.close_and_expect_zero(proc, window, label)

    def caption_darkness(self, acc):
        """Darkest pixel inside a button, away from its frame: the caption's ink."""
        e = extents(acc)
        image = self.screen.grab(e.x + 4, e.y + 4, e.width - 8, e.height - 8).convert("L")
        return min(image.getdata())

    def check_buttons(self, window, label, playing):
        play, stop = button(window, "Play"), button(window, "Stop")

        grey, ink = (play, stop) if playing else (stop, play)
        seen = {}

        def settled():
            # Disabled captions are drawn grey, enabled ones near black; the accessibility
            # tree must say the same.
            seen["grey"], seen["ink"] = self.caption_darkness(grey), self.caption_darkness(ink)
            seen["states"] = ("sensitive" in states(grey), "sensitive" in states(ink))
            return seen["states"] == (False, True) and seen["grey"] >= 120 and seen["ink"] <= 90
        check(wait_until(settled, 3, 0.1),
              "%s: expected %s greyed out and %s enabled; sensitive: %r, captions' darkest "
              "pixels: %d / %d" % (label, grey.name, ink.name, seen["states"], seen["grey"],
                                   seen["ink"]))
        grey_level, ink_level = seen["grey"], seen["ink"]
        step("%s: %s is greyed out and %s enabled (captions %d / %d)"
             % (label, grey.name, ink.name, grey_level, ink_level))

    def drag_slider(self, slider, to_left):
        e = extents(slider)
        y = e.y + e.height // 2
        value = slider.queryValue()
        span = value.maximumValue - value.minimumValue
        # The handle sits where the value puts it along the groove.
        fraction = (value.currentValue - value.minimumValue) / span if span else 0
        x_from = e.x + 6 + int(fraction * (e.width - 12))
        x_to = e.x - 20 if to_left else e.x + e.width + 20
        xdotool("mousemove", "--sync", x_from, y, "mousedown", "1")
        for i in range(1, 11):
            xdotool("mousemove", "--sync", x_from + (x_to - x_from) * i // 10, y)
            time.sleep(0.02)
        xdotool("mouseup", "1")
        end = value.minimumValue if to_left else value.maximumValue
        check(wait_until(lambda: slider.queryValue().currentValue == end, 3),
              "the slider did not reach %g (at %g)" % (end, slider.queryValue().currentValue))

    def playing_path(self):
        label = "start 3, %s offered" % self.args.running_version
        self.offer(self.args.running_version)
        before = self.version_requests()
        proc, window_x = self.launch(label)
        app = find_app(proc.pid)
        check(wait_until(lambda: self.version_requests() > before, 15),
              "%s: the version was never asked for" % label)
        time.sleep(2)
        check(not alerts(app), "%s: a message box appeared" % label)
        others = [c.name for c in children(app) if c is not None and "showing" in states(c)]
        check(len(others) == 1, "%s: windows showing: %r" % (label, others))
        step("%s: the version is asked for and no message appears" % label)
        window = main_window(app)
        self.check_buttons(window, label, playing=False)
        self.check_accessible(window, label)

        listener = Listener(self.args.sink_monitor)
        try:
            self.listen(listener, window, window_x, label)
        finally:
            listener.stop()

        about = button(window, "About tamselRadio")
        click_at(*centre(extents(about)))
        box = self.wait_for_box(app, label, 10)
        text = read_message(box)
        expected = about_text(self.args.running_version)
        check(text == expected, "%s: the about message reads %r, not %r" % (label, text, expected))
        step("%s: \"?\" shows the about message, read back whole" % label)
        self.shoot(box, "about-message.png")
        click_at(*centre(extents(button(box, "OK"))))
        self.wait_box_gone(app, label)
        self.close_and_expect_zero(proc, window_x, label)

    def listen(self, listener, window, window_x, label):
        start = time.monotonic()
        check(listener.first_run(start, Listener.is_silent, 3, 5) is not None,
              "%s: the sink is not silent before Play" % label)
        click_at(*centre(extents(button(window, "Play"))))
        clicked = time.monotonic()
        heard = listener.first_run(clicked, Listener.is_tone, 3, 10)
        check(heard is not None, "%s: no 440 Hz tone within 10 s of Play" % label)
        ms = (heard - clicked) * 1000
        self.timings.setdefault("play", []).append(ms)
        check(ms <= 3000, "%s: the tone came %.0f ms after Play, later than 3 s" % (label, ms))
        step("%s: Play makes the 440 Hz tone audible %.0f ms after the click" % (label, ms))
        self.check_buttons(window, label, playing=True)
        self.shoot(window, "window.png")

        slider = descendants(window, pyatspi.ROLE_SLIDER)
        check(len(slider) == 1, "%s: %d sliders" % (label, len(slider)))
        slider = slider[0]
        moved = time.monotonic()
        self.drag_slider(slider, to_left=True)
        check(listener.first_run(moved, Listener.is_silent, 5, 3) is not None,
              "%s: still sound after dragging the slider to the left end" % label)
        step("%s: dragging the slider to the left end silences it" % label)
        moved = time.monotonic()
        self.drag_slider(slider, to_left=False)
        check(listener.first_run(moved, Listener.is_tone, 3, 3) is not None,
              "%s: no tone after dragging the slider back to the right end" % label)
        step("%s: dragging it back to the right end brings the tone back" % label)

        stopped = time.monotonic()
        click_at(*centre(extents(button(window, "Stop"))))
        check(listener.first_run(stopped, Listener.is_silent, 5, 3) is not None,
              "%s: still sound after Stop" % label)
        step("%s: Stop silences it" % label)
        self.check_buttons(window, label, playing=False)


# ---- the Windows executable under Wine ----------------------------------------------------

class WaylandRun:
    """The player in a Wayland session: a headless weston of the run's own (tests/e2e/run) with
    XWayland beside it, as a desktop's session has. The player is started as a desktop starts
    it (no platform chosen); its window and the frame the compositor's window manager puts
    around it are read on XWayland's display. There is no input device there, so the media
    controls on the session bus do what the user's clicks do on X."""

    # _MOTIF_WM_HINTS: flags, functions, decorations, ...
    MWM_HINTS_FUNCTIONS, MWM_HINTS_DECORATIONS = 1, 2
    MWM_FUNC_ALL, MWM_FUNC_MAXIMIZE = 1, 16
    MWM_DECOR_ALL, MWM_DECOR_MAXIMIZE = 1, 64

    def __init__(self, run, socket, xdisplay):
        self.run = run
        self.args = run.args
        self.xdisplay = xdisplay
        self.env = dict(os.environ, WAYLAND_DISPLAY=socket, XDG_SESSION_TYPE="wayland",
                        DISPLAY=xdisplay)
        self.env.pop("QT_QPA_PLATFORM", None)

    def playerctl(self, *args):
        try:
            return subprocess.run(["playerctl", "--player=" + TITLE] + list(args), timeout=10,
                                  capture_output=True).stdout.decode().strip()
        except subprocess.TimeoutExpired:
            raise StepFailed("Wayland: playerctl %s did not return within 10 s" % " ".join(args))

    def shoot(self):
        shots = os.path.join(self.args.work, "wayland-shots")
        os.makedirs(shots, exist_ok=True)
        subprocess.run(["weston-screenshooter"], cwd=shots, env=self.env, timeout=10,
                       capture_output=True)
        for name in sorted(os.listdir(shots)):
            os.replace(os.path.join(shots, name), os.path.join(self.args.screenshots, "wayland-window.png"))
            self.run.shots.append(os.path.abspath(os.path.join(self.args.screenshots, "wayland-window.png")))

    def x(self, *argv):
        """An X tool's output on XWayland's display (python-xlib cannot open a second display
        in one process)."""
        try:
            done = subprocess.run(list(argv), env=self.env, timeout=10, capture_output=True)
        except subprocess.TimeoutExpired:
            raise StepFailed("Wayland: %s did not return within 10 s" % argv[0])
        return done.stdout.decode(errors="replace") if done.returncode == 0 else ""

    def find_window(self):
        """The player's window and the frame the compositor put around it, as
        (id, width, height) each, or None."""
        found = re.search(r'^\s*(0x[0-9a-f]+) "%s".*?(\d+)x(\d+)\+' % TITLE,
                          self.x("xwininfo", "-root", "-tree"), re.M)
        if found is None:
            return None
        window = (found.group(1), int(found.group(2)), int(found.group(3)))
        # Until the window manager has framed it, the root is its parent.
        parent = re.search(r"Parent window id: (0x[0-9a-f]+)(?! \(the root)",
                           self.x("xwininfo", "-tree", "-id", window[0]))
        size = re.search(r"Width: (\d+).*Height: (\d+)",
                         self.x("xwininfo", "-id", parent.group(1)) if parent else "", re.S)
        if size is None:
            return None
        return window, (parent.group(1), int(size.group(1)), int(size.group(2)))

    def maximizable(self, hints):
        """Whether the window's Motif hints leave a maximize button or function on, as a window
        manager reads them (with "all" set, the bits named are the ones taken away)."""
        found = re.search(r"_MOTIF_WM_HINTS\(_MOTIF_WM_HINTS\) = (.*)", hints)
        if found is None:
            return True
        flags, functions, decorations = ([int(v, 0) for v in found.group(1).split(",")] + [0] * 3)[:3]
        on = lambda given, bits, every, bit: not (flags & given) or bool(bits & bit) != bool(bits & every)
        return (on(self.MWM_HINTS_DECORATIONS, decorations, self.MWM_DECOR_ALL, self.MWM_DECOR_MAXIMIZE)
                or on(self.MWM_HINTS_FUNCTIONS, functions, self.MWM_FUNC_ALL, self.MWM_FUNC_MAXIMIZE))

    # What the frame's close button sends, from a process of its own (see x()).
    CLOSE = ("import sys; from Xlib import X, display, protocol; d = display.Display(); "
             "w = d.create_resource_object('window', int(sys.argv[1], 0)); "
             "a = d.intern_atom; w.send_event(protocol.event.ClientMessage(window=w, "
             "client_type=a('WM_PROTOCOLS'), data=(32, [a('WM_DELETE_WINDOW'), X.CurrentTime, "
             "0, 0, 0])), event_mask=X.NoEventMask); d.flush()")

    def path(self):
        label = "Wayland"
        began = time.monotonic()
        self.run.offer(self.args.running_version)
        log = open(os.path.join(self.args.work, "player-wayland.log"), "ab")
        proc = subprocess.Popen([self.args.player], env=self.env, stdout=log, stderr=log,
                                stdin=subprocess.DEVNULL)
        try:
            # The compositor starts XWayland for its first client, the player.
            found = wait_until(self.find_window, 30, 0.2)
            check(found is not None,
                  "%s: no %s window on XWayland's display %s within 30 s" % (label, TITLE, self.xdisplay))
            (window, width, height), (frame, frame_width, frame_height) = found
            hints = self.x("xprop", "-id", window, "WM_NORMAL_HINTS", "_MOTIF_WM_HINTS")
            limits = re.findall(r"program specified (minimum|maximum) size: (\d+) by (\d+)", hints)
            check(limits == [("minimum", "212", "99"), ("maximum", "212", "99")],
                  "%s: the size limits given to the window manager are %r, not 212x99" % (label, limits))
            check((frame_width, frame_height) > (width, height),
                  "%s: the compositor drew no frame around the window" % label)
            check(not self.maximizable(hints), "%s: the window offers maximize: %r" % (label, hints))
            e = extents(main_window(find_app(proc.pid)))
            check((width, height, e.width, e.height) == (212, 99, 212, 99),
                  "%s: window %dx%d, client area %dx%d" % (label, width, height, e.width, e.height))
            self.shoot()
            print("measure: Wayland window %dx%d in the compositor's frame of %dx%d; %s"
                  % (width, height, frame_width, frame_height, " ".join(hints.split())), flush=True)
            step("%s: a 212x99 client area titled %s, fixed at that size, no maximize, in the "
                 "compositor's own frame" % (label, TITLE))

            listener = Listener(self.args.sink_monitor)
            try:
                pressed = time.monotonic()
                self.playerctl("play")
                heard = listener.first_run(pressed, Listener.is_tone, 3, 10)
                check(heard is not None, "%s: no tone within 10 s of Play from the media controls" % label)
                acc = main_window(find_app(proc.pid))
                check(wait_until(lambda: "sensitive" not in states(button(acc, "Play")), 3),
                      "%s: Play is not greyed out while playing" % label)
                step("%s: Play through the media controls makes the tone audible %.0f ms later, "
                     "Play greyed out" % (label, (heard - pressed) * 1000))
            finally:
                listener.stop()
            subprocess.run([sys.executable, "-c", self.CLOSE, window], env=self.env, timeout=10)
            self.run.expect_exit_zero(proc, label, "a close",
                                      "closing the window ends the process with exit status 0")
        finally:
            if proc.poll() is None:
                proc.kill()
        self.run.timings["wayland"] = [(time.monotonic() - began) * 1000]


def plain(caption):
    """A Win32 caption without its keyboard-accelerator marks."""
    return caption.replace("&", "")


class WineRun(Run):
    """The same path for tamselRadio.exe under Wine. Its windows are read back by
    the window reader (tests/wine/window_reader.cpp) (Win32 calls, in the same prefix and display), message boxes are
    answered by key, and the volume is set from the keyboard, through the window's own
    dialog navigation, so levels at 250, 128 and 0 can be compared."""

    MAIN_CLASS = "tamselRadioWindow"
    BOX_CLASS = "#32770"

    def command(self):
        return ["wine", self.args.player]

    @staticmethod
    def click(x, y):
        # No --sync: a pointer already at the spot (the last close's click) never "moves".
        xdotool("mousemove", x, y)
        time.sleep(0.1)
        xdotool("click", "1")

    def windows(self):
        try:
            out = subprocess.run(["wine", self.args.wine_inspect], capture_output=True,
                                 timeout=20, check=True).stdout.decode("utf-8", "replace")
        except (subprocess.CalledProcessError, subprocess.TimeoutExpired) as e:
            raise StepFailed("the window inspector failed: %s" % e)
        return [json.loads(line) for line in out.splitlines() if line.startswith("{")]

    def of_class(self, name):
        return [w for w in self.windows() if w["class"] == name]

    def main(self):
        found = self.of_class(self.MAIN_CLASS)
        check(len(found) == 1, "%d player windows" % len(found))
        return found[0]

    @staticmethod
    def control(window, text, cls="Button"):
        found = [c for c in window["controls"] if c["class"] == cls and plain(c["text"]) == text]
        check(len(found) == 1, "no single %r %s (found %d)" % (text, cls, len(found)))
        return found[0]

    @staticmethod
    def centre_of(control):
        x, y, w, h = control["rect"]
        return x + w // 2, y + h // 2

    def has_icon(self, xwindow):
        icon = xwindow.get_full_property(self.screen.d.intern_atom("_NET_WM_ICON"), X.AnyPropertyType)
        return icon is not None and len(icon.value) > 2

    def wait_for_box(self, label, timeout=15):
        xbox, _ = self.screen.wait_for_map(timeout, TITLE)
        check(xbox is not None, "%s: no message box within %d s" % (label, timeout))
        boxes = wait_until(lambda: self.of_class(self.BOX_CLASS), 5, 0.2)
        check(len(boxes) == 1, "%s: %d message boxes" % (label, len(boxes)))
        box = boxes[0]
        check(box["title"] == TITLE, "%s: the message box's title is %r" % (label, box["title"]))
        check(self.has_icon(xbox), "%s: the message box does not carry the program's icon" % label)
        texts = [c["text"] for c in box["controls"] if c["class"] == "Static" and c["text"]]
        check(len(texts) == 1, "%s: the message box has texts %r" % (label, texts))
        return box, xbox, texts[0]

    def answer(self, xbox, key, label):
        xdotool("key", "--window", xbox.id, key)
        check(wait_until(lambda: not self.of_class(self.BOX_CLASS), 5, 0.2),
              "%s: the message box stayed open after %r" % (label, key))

    def close_and_expect_zero(self, proc, window, label):
        # The window's own close: a click on its empty top strip, then Alt+F4.
        x, y, _, _ = self.main()["client"]
        self.click(x + 5, y + 5)
        xdotool("key", "alt+F4")
        self.expect_exit_zero(proc, label, "Alt+F4",
                              "Alt+F4 closes the window and ends the process with exit status 0")

    def offered(self, answer_key, label):
        self.offer(self.args.newer_version)
        proc, window = self.launch(label)
        box, xbox, text = self.wait_for_box(label)
        expected = update_text(self.args.newer_version)
        check(text == expected, "%s: the message reads %r, not %r" % (label, text, expected))
        check([plain(c["text"]) for c in box["controls"] if c["class"] == "Button"] == ["Yes", "No"],
              "%s: the message box's buttons are not Yes, No" % label)
        step("%s: the update message appears with the exact text, Yes and No" % label)
        self.answer(xbox, answer_key, label)
        return proc, window

    def update_offer_no(self):
        label = "start 1, %s offered" % self.args.newer_version
        proc, window = self.offered("n", label)
        time.sleep(2)
        check(self.browser_urls() == [], "%s: No opened %r" % (label, self.browser_urls()))
        step("%s: the N key answers No and nothing opens" % label)
        self.close_and_expect_zero(proc, window, label)

    def update_offer_yes(self):
        label = "start 2, %s offered" % self.args.newer_version
        proc, window = self.offered("y", label)
        wait_until(self.browser_urls, 10, 0.1)
        time.sleep(0.5)
        urls = self.browser_urls()
        # Wine's browser bridge writes the empty path of the address as "/", which is the same
        # resource (RFC 3986, 6.2.3).
        check(urls in ([SITE], [SITE + "/"]),
              "%s: the browser was asked to open %r, not [%r]" % (label, urls, SITE))
        step("%s: the Y key answers Yes and %s opens in the default browser" % (label, SITE))
        self.close_and_expect_zero(proc, window, label)

    def reader(self, command):
        out = subprocess.run(["wine", self.args.wine_inspect, command], capture_output=True,
                             timeout=20).stdout.decode("utf-8", "replace")
        lines = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
        check(len(lines) == 1, "the window reader's %s gave %r" % (command, out))
        return lines[0]

    def check_alive(self, window, shown, label):
        """At +7 s into the wait the system does not take the window for hung, and it answers
        WM_NULL within 1 s."""
        time.sleep(max(0.0, shown + 7 - time.monotonic()))
        alive = self.reader("alive")
        check(alive["found"] and not alive["hung"] and alive["answered"] and alive["ms"] <= 1000,
              "%s: at +7 s the window is %r" % (label, alive))
        self.timings["ping"] = [alive["ms"]]
        step("%s: at +7 s IsHungAppWindow is false and WM_NULL is answered in %d ms"
             % (label, alive["ms"]))

    def check_accessible(self, label):
        """What MSAA tells a screen reader of the slider: the name on its label."""
        tree = self.reader("msaa")
        print("msaa: " + json.dumps(tree), flush=True)
        slider = [c for c in tree["controls"] if c["class"] == "msctls_trackbar32"]
        check(len(slider) == 1 and slider[0].get("name") == "Volume",
              "%s: MSAA names the slider %r" % (label, slider))
        step("%s: MSAA names the slider \"Volume\"" % label)

    def check_window(self, xwindow, label):
        w = self.main()
        x, y, width, height = w["client"]
        check((width, height) == (212, 99), "%s: client area %dx%d" % (label, width, height))
        check(w["title"] == TITLE, "%s: title %r" % (label, w["title"]))
        check((w["minimize"], w["maximize"], w["sizing"], w["close"]) == (True, False, False, True),
              "%s: frame minimise/maximise/resize/close = %r" % (label, (w["minimize"], w["maximize"], w["sizing"], w["close"])))
        check(self.has_icon(xwindow), "%s: the window does not carry the program's icon" % label)
        layout = [(plain(c["text"]) or c["class"], c["rect"][0] - x, c["rect"][1] - y, c["rect"][2],
                   c["rect"][3], c["enabled"], c["tabstop"]) for c in w["controls"]]
        expected = [("Play", 20, 68, 67, 20, True, True), ("Stop", 99, 68, 67, 20, False, True),
                    ("?", 178, 68, 22, 20, True, True),
                    ("msctls_trackbar32", 20, 33, 180, 23, True, True)]
        check(layout == expected, "%s: controls in tab order %r, not %r" % (label, layout, expected))
        slider = self.control(w, "", "msctls_trackbar32")
        steps = (slider["value"], slider["minimum"], slider["maximum"], slider["line"], slider["page"])
        check(steps == (250, 0, 250, 1, 20), "%s: slider value/range/steps %r" % (label, steps))
        step("%s: 212x99, minimise and close only, icon; Play, Stop, ?, slider in tab order at "
             "their places; Stop disabled; slider 250 of 0..250, steps 1 and 20" % label)
        # Keyboard navigation: Tab skips the disabled Stop, Shift+Tab goes back.
        focused = lambda: [plain(c["text"]) or c["class"] for c in self.main()["controls"] if c["focused"]]
        self.click(x + 5, y + 5)
        check(wait_until(lambda: focused() == ["Play"], 3, 0.2), "%s: focus at start %r" % (label, focused()))
        xdotool("key", "Tab")
        check(wait_until(lambda: focused() == ["?"], 3, 0.2), "%s: Tab went to %r" % (label, focused()))
        xdotool("key", "Tab")
        check(wait_until(lambda: focused() == ["msctls_trackbar32"], 3, 0.2), "%s: Tab went to %r" % (label, focused()))
        xdotool("key", "shift+Tab", "shift+Tab")
        check(wait_until(lambda: focused() == ["Play"], 3, 0.2), "%s: Shift+Tab went to %r" % (label, focused()))
        step("%s: Tab moves Play, ?, slider (Stop skipped while disabled), Shift+Tab back" % label)

    def focused(self):
        return [plain(c["text"]) or c["class"] for c in self.main()["controls"] if c["focused"]]

    def keyboard_play_stop(self, label):
        """A button that greys itself out hands the focus on to the next enabled control, so
        the keyboard never loses the window: Stop goes on to "?", Play to Stop."""
        state = lambda: ([self.control(self.main(), b)["enabled"] for b in ("Play", "Stop")],
                         self.focused())
        check(wait_until(lambda: state() == ([True, False], ["?"]), 3, 0.2),
              "%s: after the Stop click, Play/Stop enabled and focus %r" % (label, state()))
        for keys, playing, now in ((["shift+Tab", "space"], True, "Stop"), (["space"], False, "?"),
                                   (["shift+Tab", "space"], True, "Stop"), (["space"], False, "?")):
            xdotool("key", *keys)
            check(wait_until(lambda: state() == ([not playing, playing], [now]), 3, 0.2),
                  "%s: after %s, Play/Stop enabled and focus %r" % (label, "+".join(keys), state()))
        step("%s: the focus goes on to ? after Stop; Shift+Tab and Space play, Space stops, "
             "twice" % label)

    def check_states(self, label, playing):
        w = self.main()
        play, stop = self.control(w, "Play"), self.control(w, "Stop")
        check((play["enabled"], stop["enabled"]) == (not playing, playing),
              "%s: Play/Stop enabled %r" % (label, (play["enabled"], stop["enabled"])))
        step("%s: %s" % (label, "Play greyed out, Stop enabled" if playing else "Play enabled, Stop greyed out"))

    def level(self, listener, since, seconds=1.0):
        time.sleep(seconds + 0.3)
        with listener.lock:
            blocks = [b for b in listener.blocks if since + 0.3 < b[0] <= since + 0.3 + seconds]
        check(blocks, "no sound recorded")
        return sum(b[1] for b in blocks) / len(blocks)

    def set_volume_keys(self, keys, value, label):
        xdotool("key", *keys)
        check(wait_until(lambda: self.control(self.main(), "", "msctls_trackbar32")["value"] == value, 3, 0.2),
              "%s: the slider did not reach %d" % (label, value))
        return time.monotonic()

    def launch_past_version_check(self, label):
        """Launches the player with its own version offered; returns once the start-up's
        version check is over."""
        self.offer(self.args.running_version)
        before = self.version_requests()
        proc, xwindow = self.launch(label)
        check(wait_until(lambda: self.version_requests() > before, 15),
              "%s: the version was never asked for" % label)
        time.sleep(2)
        return proc, xwindow

    def playing_path(self):
        label = "start 3, %s offered" % self.args.running_version
        proc, xwindow = self.launch_past_version_check(label)
        check(not self.of_class(self.BOX_CLASS), "%s: a message box appeared" % label)
        step("%s: the version is asked for and no message appears" % label)
        self.check_window(xwindow, label)
        self.check_accessible(label)
        self.check_states(label, playing=False)

        listener = Listener(self.args.sink_monitor)
        try:
            start = time.monotonic()
            check(listener.first_run(start, Listener.is_silent, 3, 5) is not None,
                  "%s: the sink is not silent before Play" % label)
            self.click(*self.centre_of(self.control(self.main(), "Play")))
            clicked = time.monotonic()
            heard = listener.first_run(clicked, Listener.is_tone, 3, 10)
            check(heard is not None, "%s: no 440 Hz tone within 10 s of Play" % label)
            ms = (heard - clicked) * 1000
            self.timings.setdefault("play", []).append(ms)
            check(ms <= 3000, "%s: the tone came %.0f ms after Play, later than 3 s" % (label, ms))
            step("%s: Play makes the 440 Hz tone audible %.0f ms after the click" % (label, ms))
            self.check_states(label, playing=True)
            x, y, w, h = self.main()["client"]
            self.save(self.screen.grab(x, y, w, h), "window-wine.png")

            levels = {250: self.level(listener, time.monotonic())}
            # A click on the groove's left end focuses the slider (and pages it down once).
            slider = self.control(self.main(), "", "msctls_trackbar32")
            sx, sy, _, sh = slider["rect"]
            self.click(sx + 3, sy + sh // 2)
            moved = self.set_volume_keys(["Home"], 0, label)
            check(listener.first_run(moved, Listener.is_silent, 5, 3) is not None,
                  "%s: still sound at volume 0" % label)
            levels[0] = self.level(listener, time.monotonic())
            # Page Up and Up raise the volume, as on the other platform.
            moved = self.set_volume_keys(["Prior"] * 6 + ["Up"] * 8, 128, label)
            levels[128] = self.level(listener, moved)
            ratio = levels[128] / levels[250]
            expected = (128 / 250) ** 3
            self.timings["levels"] = [levels[250], levels[128], levels[0]]
            check(abs(ratio - expected) <= 0.25 * expected,
                  "%s: level at 128 is %.3f of the level at 250, not about %.3f" % (label, ratio, expected))
            step("%s: volume from the keyboard: 0 silences it, 128 gives %.3f of the level at 250 "
                 "(cubic curve: %.3f)" % (label, ratio, expected))
            moved = self.set_volume_keys(["End"], 250, label)
            check(listener.first_run(moved, Listener.is_tone, 3, 3) is not None,
                  "%s: no tone back at 250" % label)

            self.click(*self.centre_of(self.control(self.main(), "Stop")))
            stopped = time.monotonic()
            silent = listener.first_run(stopped, Listener.is_silent, 5, 3)
            check(silent is not None, "%s: still sound after Stop" % label)
            self.timings["stop"] = [(silent - stopped) * 1000]
            step("%s: Stop silences it" % label)
            self.check_states(label, playing=False)
            self.keyboard_play_stop(label)
        finally:
            listener.stop()

        self.click(*self.centre_of(self.control(self.main(), "?")))
        box, xbox, text = self.wait_for_box(label, 10)
        expected = about_text(self.args.running_version).replace("\n", "\r\n")
        check(text == expected, "%s: the about message reads %r, not %r" % (label, text, expected))
        step("%s: \"?\" shows the about message with CR LF line ends, read back whole" % label)
        self.answer(xbox, "Return", label)
        self.close_and_expect_zero(proc, xwindow, label)

    def media_key(self, command, label):
        try:
            out = subprocess.run(["wine", self.args.wine_inspect, "appcommand", str(command)],
                                 capture_output=True, timeout=20, check=True).stdout.decode()
        except (subprocess.CalledProcessError, subprocess.TimeoutExpired) as e:
            raise StepFailed("%s: pressing media key %d failed: %s" % (label, command, e))
        check('"appcommand"' in out, "%s: media key %d not sent: %r" % (label, command, out))

    def media_keys_path(self):
        """The keyboard's media keys (WM_APPCOMMAND) do what the window's buttons do: Play/Pause
        toggles, Play on a playing window changes nothing, Stop stops."""
        label = "media keys"
        began = time.monotonic()
        self.offer(self.args.running_version)
        before = self.version_requests()
        proc, xwindow = self.launch(label)
        check(wait_until(lambda: self.version_requests() > before, 15),
              "%s: the version was never asked for" % label)
        time.sleep(0.5)
        listener = Listener(self.args.sink_monitor)
        try:
            for command, name, playing in ((14, "Play/Pause", True), (14, "Play/Pause", False),
                                           (46, "Play", True), (46, "Play", True),
                                           (13, "Stop", False)):
                pressed = time.monotonic()
                self.media_key(command, label)
                w = self.main()
                buttons = (self.control(w, "Play")["enabled"], self.control(w, "Stop")["enabled"])
                check(buttons == (not playing, playing),
                      "%s: after %s (%d) Play/Stop enabled %r" % (label, name, command, buttons))
                kind = Listener.is_tone if playing else Listener.is_silent
                check(listener.first_run(pressed, kind, 3, 5) is not None,
                      "%s: no %s within 5 s of %s (%d)"
                      % (label, "tone" if playing else "silence", name, command))
            step("%s: Play/Pause (14) plays and stops, Play (46) plays and again changes nothing, "
                 "Stop (13) stops, heard at the null sink and read from the buttons" % label)
        finally:
            listener.stop()
        self.close_and_expect_zero(proc, xwindow, label)
        self.timings["media keys"] = [(time.monotonic() - began) * 1000]
    def retitle_station(self, every, done, count):
        """Gives the Icecast station a new title every so many seconds until done, as a
        station's next song does: each listener then gets a full metadata block once."""
        with open(os.path.join(self.args.work, "icecast", "icecast.xml")) as f:
            password = re.search(r"<admin-password>(.*?)</admin-password>", f.read()).group(1)
        auth = urllib.request.HTTPBasicAuthHandler()
        base = "http://%s/admin/" % STREAM_ADDR
        auth.add_password("Icecast2 Server", base, "admin", password)
        opener = urllib.request.build_opener(auth)
        mount = urllib.parse.quote(urllib.parse.urlsplit(STREAM_URL).path)
        while not done.wait(every):
            song = urllib.parse.quote("Song %d by an artist with a long name, live" % count[0])
            try:
                opener.open("%smetadata?mount=%s&mode=updinfo&song=%s" % (base, mount, song),
                            timeout=5).read()
                count[0] += 1
            except OSError:
                pass

    @staticmethod
    def metadata_block(text):
        """An ICY metadata block: its length in 16-byte units, then text padded to them."""
        units = (len(text) + 15) // 16
        return bytes([units]) + text.ljust(units * 16, b"\0")

    @staticmethod
    def icy_stream(audio, interval, block_for):
        """A function giving the next n bytes of audio (repeated) with a metadata block,
        block_for(k) for the k-th, after every interval audio bytes."""
        made = {"audio": 0, "blocks": 0, "buffered": b""}

        def take(n):
            while len(made["buffered"]) < n:
                at = made["audio"] % len(audio)
                piece = audio[at:at + interval]
                piece += audio[:interval - len(piece)]  # round to the start (interval < audio)
                made["buffered"] += piece + block_for(made["blocks"])
                made["audio"] += interval
                made["blocks"] += 1
            piece, made["buffered"] = made["buffered"][:n], made["buffered"][n:]
            return piece
        return take

    def soak_path(self, seconds, retitle, station):
        """Plays the station for seconds, its title changing every retitle seconds (if not 0),
        sampling the player's RSS every 30 s; prints the samples and the least-squares slope
        over all of them and over those after the first 240 s. The tone must still sound at
        the end. The station is Icecast's, or one of our own with the same frames at their
        own pace: "plain", or "icy" with a metadata block every 16,000 bytes as Icecast sends
        them (empty but for a new title now and then)."""
        label = "soak"
        done, titles = threading.Event(), [0]
        server = None
        if station == "icecast":
            if retitle:
                threading.Thread(target=self.retitle_station, args=(retitle, done, titles),
                                 daemon=True).start()
        else:
            server, audio = self.take_station()
            head, stream = self.PLAIN_HEAD, audio
            if station == "icy":
                head = self.icy_head(16000)
                every = max(1, round(retitle)) if retitle else 0  # a block a second

                def block_for(k):
                    if not every or k % every:
                        return b"\0"
                    titles[0] += 1
                    return self.metadata_block(
                        b"StreamTitle='Song %d by an artist with a long name, live';" % k)
                stream = self.icy_stream(audio, 16000, block_for)
            sent = [0]
            threading.Thread(target=self.serve, args=(server, stream, 1, done, sent, head),
                             daemon=True).start()
        proc, xwindow = self.launch_past_version_check(label)
        listener = Listener(self.args.sink_monitor)

        def slope(samples):
            n = len(samples)
            mt = sum(t for t, _ in samples) / n
            mr = sum(r for _, r in samples) / n
            var = sum((t - mt) ** 2 for t, _ in samples)
            return sum((t - mt) * (r - mr) for t, r in samples) / var * 3600 if var else 0.0

        try:
            self.click(*self.centre_of(self.control(self.main(), "Play")))
            check(listener.first_run(time.monotonic(), Listener.is_tone, 3, 10) is not None,
                  "%s: no 440 Hz tone within 10 s of Play" % label)
            samples = []
            start = time.monotonic()
            while True:
                elapsed = time.monotonic() - start
                with open("/proc/%d/status" % proc.pid) as status:
                    fields = dict(line.split(":", 1) for line in status)
                rss, anon = (int(fields[k].split()[0]) for k in ("VmRSS", "RssAnon"))
                samples.append((elapsed, rss))
                print("soak: %4.0f s  RSS %d KiB (anonymous %d KiB)" % (elapsed, rss, anon),
                      flush=True)
                if elapsed >= seconds:
                    break
                time.sleep(min(30.0, seconds - elapsed))
            with listener.lock:
                played = [b for b in listener.blocks if b[0] > start]
            missing = sum(1 for b in played if not Listener.is_tone(b))
            print("soak: the tone was missing from %d of %d 100 ms blocks (%.2f%%)"
                  % (missing, len(played), 100.0 * missing / max(1, len(played))), flush=True)
            check(missing <= len(played) // 100, "%s: the tone was missing from %d of %d "
                  "blocks of 100 ms" % (label, missing, len(played)))
            late = [s for s in samples if s[0] >= 240]
            print("soak: slope %.0f KiB per hour over %d samples (%d to %d KiB), %.0f KiB per "
                  "hour after 240 s; %d titles" % (slope(samples), len(samples), samples[0][1],
                                                   samples[-1][1], slope(late) if len(late) > 1
                                                   else 0.0, titles[0]), flush=True)
            check(listener.first_run(time.monotonic(), Listener.is_tone, 3, 5) is not None,
                  "%s: the tone stopped during the soak" % label)
            step("%s: %d s of play, %d titles, RSS slope %.0f KiB per hour"
                 % (label, seconds, titles[0], slope(samples)))
        finally:
            done.set()
            listener.stop()
            if server:
                server.close()
        self.close_and_expect_zero(proc, xwindow, label)

    def take_station(self):
        """Ends this run's Icecast and listens at the station's address instead; returns the
        listening socket and some of the Icecast station's own 440 Hz frames. No later path
        can play Icecast."""
        with urllib.request.urlopen(STREAM_URL, timeout=10) as reply:
            audio = reply.read(96 * 1024)  # the burst and a few seconds: 44.1 kHz frames
        config = os.path.join(self.args.work, "icecast", "icecast.xml").encode()
        for pid in [d for d in os.listdir("/proc") if d.isdigit()]:
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    if config in f.read():
                        os.kill(int(pid), signal.SIGTERM)
            except OSError:
                pass
        server = None
        for _ in range(100):
            try:
                server = socket.create_server((STREAM_ADDR, 80))
                break
            except OSError:
                time.sleep(0.1)
        check(server is not None, "own station: the station's address stayed taken")
        return server, audio

    def own_station_paths(self):
        """Paths with a station of our own in Icecast's place."""
        server, audio = self.take_station()
        try:
            self.fast_station_path(server, audio)
            self.format_change_path(server, audio)
            self.varying_bitrate_path(server)
        finally:
            server.close()

    PLAIN_HEAD = b"HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n"

    @classmethod
    def icy_head(cls, interval):
        """The plain reply head announcing a metadata block after every interval bytes."""
        return cls.PLAIN_HEAD[:-2] + b"icy-metaint: %d\r\n\r\n" % interval

    @staticmethod
    def serve(server, stream, pace, done, sent, head=PLAIN_HEAD, period=0.02):
        """Answers one listener with stream (repeated, or a function giving the next n bytes)
        at pace times 128 kbit/s, a piece every period seconds."""
        conn, _ = server.accept()
        conn.recv(4096)
        conn.sendall(head)
        piece = int(16000 * pace * period)
        at = 0
        try:
            while not done.is_set():
                if callable(stream):
                    chunk = stream(piece)
                else:
                    chunk = (stream[at:] + stream)[:piece]
                    at = (at + piece) % len(stream)
                view = memoryview(chunk)
                while view and not done.is_set():
                    taken = conn.send(view[:16384])  # counted as taken: TCP holds it back
                    sent[0] += taken
                    view = view[taken:]
                time.sleep(period)
        except OSError:
            pass
        conn.close()

    def play_own_station(self, label, server, stream, pace, body, head=PLAIN_HEAD, tone=True,
                         period=0.02):
        """Plays the station served from stream at pace; body(proc, listener, heard, sent)
        checks. With tone, the 440 Hz tone must sound within 10 s of Play first."""
        sent = [0]
        done = threading.Event()
        threading.Thread(target=self.serve, args=(server, stream, pace, done, sent, head, period),
                         daemon=True).start()
        proc, xwindow = self.launch_past_version_check(label)
        listener = Listener(self.args.sink_monitor)
        try:
            self.click(*self.centre_of(self.control(self.main(), "Play")))
            heard = None
            if tone:
                heard = listener.first_run(time.monotonic(), Listener.is_tone, 3, 10)
                check(heard is not None, "%s: no 440 Hz tone within 10 s of Play" % label)
            body(proc, listener, heard, sent)
        finally:
            done.set()
            listener.stop()
        self.close_and_expect_zero(proc, xwindow, label)

    def metadata_cpu_path(self, seconds, pace=50):
        """The player's own CPU time over seconds of a station of our own: the plain stream at
        128 kbit/s, then one at pace times that with ICY metadata after every audio byte, each
        block the largest there is (255 x 16 bytes), which the player reads as fast as it
        comes since it holds almost no sound. Prints the CPU per byte read of both and their
        ratio (bench/metadata_cpu)."""
        server, audio = self.take_station()
        # 4,075 bytes of title: the largest block, 255 units of 16 bytes.
        block = self.metadata_block(b"StreamTitle='" + b"A long title, " * 290 + b"';")
        interleaved = self.icy_stream(audio, 1, lambda k: block)
        icy_head = self.icy_head(1)
        ticks = os.sysconf("SC_CLK_TCK")
        per_byte = {}

        def cpu(pid):
            with open("/proc/%d/stat" % pid) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / ticks  # utime + stime

        def wineserver():
            # The prefix's own: Wine does part of a process's socket work there.
            mine = ("WINEPREFIX=" + os.environ["WINEPREFIX"]).encode()
            for pid in [d for d in os.listdir("/proc") if d.isdigit()]:
                try:
                    with open("/proc/%s/comm" % pid) as comm, open("/proc/%s/environ" % pid,
                                                                   "rb") as env:
                        if comm.read().startswith("wineserver") and mine in env.read().split(b"\0"):
                            return int(pid)
                except OSError:
                    pass
            raise StepFailed("no wineserver for this run's prefix")

        try:
            # The plain stream at its own pace: faster, the OS's buffers would hide what is read.
            for label, stream, head, times in (("plain stream", audio, self.PLAIN_HEAD, 1),
                                               ("metadata every byte", interleaved, icy_head,
                                                pace)):
                def body(proc, listener, heard, sent):
                    time.sleep(2)  # past the start: the burst, the output's opening
                    server_pid = wineserver()
                    cpu0, server0 = cpu(proc.pid), cpu(server_pid)
                    sent0, t0 = sent[0], time.monotonic()
                    time.sleep(seconds)
                    used, wire = cpu(proc.pid) - cpu0, sent[0] - sent0
                    served = cpu(server_pid) - server0
                    elapsed = time.monotonic() - t0
                    check(wire > 0, "%s: the player read nothing" % label)
                    per_byte[label] = used / wire * 1e9
                    print("metadata cpu: %s: %.2f s CPU in %.0f s (wineserver %.2f s), %d KiB "
                          "read, %.1f ns per byte" % (label, used, elapsed, served, wire // 1024,
                                                      per_byte[label]), flush=True)

                self.play_own_station("metadata cpu, " + label, server, stream, times, body, head,
                                      tone=not callable(stream))
        finally:
            server.close()
        ratio = per_byte["metadata every byte"] / per_byte["plain stream"]
        print("metadata cpu: the metadata station sent %d times 128 kbit/s" % pace, flush=True)
        print("metadata cpu: metadata every byte / plain stream, per byte read: %.3f" % ratio,
              flush=True)
        step("metadata cpu: %d s each, CPU per byte read %.1f ns plain, %.1f ns with metadata "
             "after every byte (ratio %.3f)" % (seconds, per_byte["plain stream"],
                                               per_byte["metadata every byte"], ratio))

    def fast_station_path(self, server, audio, seconds=30, pace=50):
        """The station sends 50 times faster than real time. The player reads it at the
        stream's own pace (TCP holds the server back), its memory stays within a few MiB, and
        the tone does not break off."""
        label = "fast station"

        def body(proc, listener, heard, sent):
            def kib(field):
                with open("/proc/%d/status" % proc.pid) as status:
                    return next(int(l.split()[1]) for l in status if l.startswith(field + ":"))

            # The first half fills the OS's buffers on both ends; the second shows the pace.
            start_rss = kib("VmRSS")
            gap = listener.first_run(heard, Listener.is_silent, 5, seconds / 2)
            half_sent = sent[0]
            gap = gap or listener.first_run(time.monotonic(), Listener.is_silent, 5, seconds / 2)
            peak = kib("VmHWM")
            rate = (sent[0] - half_sent) / (seconds / 2) / 16000
            check(gap is None, "%s: the tone broke off %.1f s after it began" % (label, (gap or 0) - heard))
            check(rate < 5, "%s: the player took %.1f times real time" % (label, rate))
            check(peak - start_rss < 16 * 1024, "%s: peak RSS %d KiB, %d KiB above %d KiB at the "
                  "tone's start" % (label, peak, peak - start_rss, start_rss))
            step("%s: %d s of a station sending %d times real time: read at %.1f times, peak RSS "
                 "%d KiB (%+d KiB), the tone unbroken" % (label, seconds, pace, rate, peak,
                                                          peak - start_rss))

        self.play_own_station(label, server, audio, pace, body)

    def format_change_path(self, server, audio):
        """The frames switch from 44.1 to 48 kHz mid-stream (a relay changing source): the tone
        goes on at its own pitch after a glitch of at most half a second. Played at 44.1 kHz,
        the 48 kHz frames would sound at 404 Hz."""
        label = "format change"
        encoded = os.path.join(self.args.work, "tone-48k.mp3")
        subprocess.run(["gst-launch-1.0", "-q", "audiotestsrc", "num-buffers=940", "wave=sine",
                        "freq=440", "volume=0.5", "!", "audio/x-raw,rate=48000,channels=2", "!",
                        "audioconvert", "!", "lamemp3enc", "target=bitrate", "bitrate=128", "!",
                        "filesink", "location=" + encoded], check=True, timeout=60)
        with open(encoded, "rb") as f:
            later = f.read()
        first = audio[:64 * 1024]  # about 4 s at 44.1 kHz

        def body(proc, listener, heard, sent):
            # Once the 48 kHz frames have been sent and played, for 5 s: no run of 600 ms
            # without the tone.
            check(wait_until(lambda: sent[0] > len(first) + 32 * 1024, 15),
                  "%s: the 48 kHz frames were not taken" % label)
            since = time.monotonic() + 1.0
            wrong = listener.first_run(since, lambda b: not Listener.is_tone(b), 6, 5)
            check(wrong is None, "%s: no 440 Hz tone %.1f s after the switch"
                  % (label, (wrong or 0) - since + 1))
            step("%s: 44.1 kHz then 48 kHz frames: the tone goes on at 440 Hz" % label)

        self.play_own_station(label, server, first + later, 1, body)

    def encode_tone(self, name, kbps, buffers):
        """The 440 Hz tone at 44.1 kHz, as constant-bitrate MP3 frames."""
        encoded = os.path.join(self.args.work, name)
        subprocess.run(["gst-launch-1.0", "-q", "audiotestsrc", "num-buffers=%d" % buffers,
                        "wave=sine", "freq=440", "volume=0.5", "!",
                        "audio/x-raw,rate=44100,channels=2", "!", "audioconvert", "!",
                        "lamemp3enc", "target=bitrate", "cbr=true", "bitrate=%d" % kbps, "!",
                        "audio/mpeg,rate=44100", "!", "filesink", "location=" + encoded],
                       check=True, timeout=60)
        with open(encoded, "rb") as f:
            data = f.read()
        # The frames after the encoder's information frame (MPEG-1 layer III, no CRC).
        frames, at = [], 0
        while at + 4 <= len(data) and data[at] == 0xFF and data[at + 1] & 0xFE == 0xFA:
            length = 144000 * kbps // 44100 + (data[at + 2] >> 1 & 1)
            frames.append(data[at:at + length])
            at += length
        check(len(frames) > 2, "%s: the encoder gave no frames" % name)
        return frames[1:]

    def varying_bitrate_path(self, server):
        """Frames of varying bitrate (a VBR encoder, a relay splicing sources): one 320 kbit/s
        frame, then 32 kbit/s ones, sent at 1.25 times their pace in half-second pieces. The
        tone keeps up with the stream. Decoded with the room the first frame's bitrate
        suggests, nine in ten later frames stayed in the decoder: the tone came in snatches
        and the process grew."""
        label = "varying bitrate"
        stream = b"".join(self.encode_tone("tone-320k.mp3", 320, 20)[:1] +
                          self.encode_tone("tone-32k.mp3", 32, 900))

        def body(proc, listener, heard, sent):
            time.sleep(12)
            with listener.lock:
                played = [b for b in listener.blocks if heard + 2 < b[0] <= heard + 12]
            share = sum(1 for b in played if Listener.is_tone(b)) / max(1, len(played))
            check(len(played) > 80 and share > 0.9, "%s: the tone sounded in %.0f%% of %d blocks "
                  "of 100 ms" % (label, 100 * share, len(played)))
            step("%s: one 320 kbit/s frame, then 32 kbit/s: the tone sounds in %.0f%% of the "
                 "blocks" % (label, 100 * share))

        self.play_own_station(label, server, stream, 1.25 * 32 / 128, body, period=0.5)

    def high_dpi_path(self):
        """At 144 dpi the client area and the controls are the layout scaled by 1.5."""
        label = "144 dpi"
        subprocess.run(["wine", "reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels",
                        "/t", "REG_DWORD", "/d", "144", "/f"], capture_output=True, timeout=30,
                       check=True)
        # The setting is read when the prefix's server starts.
        subprocess.run(["wineserver", "-w"], timeout=60)
        self.offer(self.args.running_version)
        self.screen.drain()
        proc = subprocess.Popen(self.command(), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        window, _ = self.screen.wait_for_map(30, TITLE)
        check(window is not None, "%s: no window" % label)
        w = self.main()
        x, y, width, height = w["client"]
        play = self.control(w, "Play")["rect"]
        check((width, height) == (318, 149) and play == [x + 30, y + 102, 101, 30],
              "%s: client %dx%d, Play at %r" % (label, width, height, play))
        step("%s: the client area is 318x149 and Play sits at (30, 102), 101x30" % label)
        self.close_and_expect_zero(proc, window, label)

    def installer_path(self):
        label = "installer"
        check(subprocess.run(["wine", self.args.installer, "/S"], timeout=120).returncode == 0,
              "%s: the silent install failed" % label)
        drive = os.path.join(os.environ["WINEPREFIX"], "drive_c")
        exe = os.path.join(drive, "Program Files", TITLE, TITLE + ".exe")
        link = os.path.join(drive, "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs",
                            TITLE + ".lnk")
        key = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall" + "\\" + TITLE

        def registered():
            out = subprocess.run(["wine", "reg", "query", key], capture_output=True, timeout=30)
            return out.stdout.decode("utf-8", "replace") if out.returncode == 0 else ""
        entry = registered()
        check(os.path.isfile(exe) and os.path.isfile(link),
              "%s: installed exe %s / shortcut %s" % (label, os.path.isfile(exe), os.path.isfile(link)))
        for value in ("DisplayVersion", "DisplayIcon", "UninstallString"):
            check(value in entry, "%s: Add/Remove Programs entry lacks %s: %r" % (label, value, entry))
        check(self.args.running_version in entry, "%s: the entry has no version %s" % (label, self.args.running_version))
        step("%s: /S installs the exe, a Start-menu shortcut and an Add/Remove Programs entry "
             "with version and icon" % label)
        self.offer(self.args.running_version)
        saved = self.args.player
        self.args.player = r"C:\Program Files\tamselRadio\tamselRadio.exe"
        uninstaller = r"C:\Program Files\tamselRadio\uninstall.exe"
        try:
            proc, xwindow = self.launch("installed")
            self.refused_while_running(label, exe, link, key, uninstaller, registered)
            self.close_and_expect_zero(proc, xwindow, "installed")
        finally:
            self.args.player = saved
        check(subprocess.run(["wine", uninstaller, "/S"], timeout=120).returncode == 0,
              "%s: the silent uninstall failed" % label)
        # The uninstaller runs on from a copy of itself; what it removes goes shortly after.
        gone = wait_until(lambda: not os.path.exists(exe) and not os.path.exists(link)
                          and not registered(), 30, 0.5)
        check(gone, "%s: after uninstalling: exe %s, shortcut %s, entry %r" %
              (label, os.path.exists(exe), os.path.exists(link), bool(registered())))
        step("%s: /S uninstalls the exe, the shortcut and the entry" % label)

    def refused_while_running(self, label, exe, link, key, uninstaller, registered):
        """With the installed player running, a silent install and uninstall exit non-zero and
        change nothing: the entry keeps a marker a rewrite would undo, no file is touched."""
        subprocess.run(["wine", "reg", "add", key, "/v", "DisplayVersion", "/d", "marker", "/f"],
                       capture_output=True, timeout=30, check=True)
        folder = os.path.dirname(exe)

        def state():
            files = {f: os.stat(os.path.join(folder, f)).st_mtime_ns for f in os.listdir(folder)}
            return files, os.path.exists(link), registered()
        before = state()
        status = subprocess.run(["wine", self.args.installer, "/S"], timeout=120).returncode
        check(status != 0 and state() == before,
              "%s: /S with the player running exited %d, changed %s" % (label, status, state() != before))
        # "_?=" runs the uninstaller in place (not from a copy), so its exit status is seen; it
        # takes the rest of the command line unquoted as the folder.
        parts = os.path.dirname(uninstaller).split(" ")
        status = subprocess.run(["wine", uninstaller, "/S", "_?=" + parts[0]] + parts[1:],
                                timeout=120).returncode
        check(status != 0 and state() == before,
              "%s: uninstall /S with the player running exited %d, changed %s"
              % (label, status, state() != before))
        step("%s: with the player running, /S install and uninstall exit non-zero and change "
             "nothing" % label)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--player", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--screenshots", required=True)
    parser.add_argument("--running-version", required=True)
    parser.add_argument("--newer-version", default="1.1.9")
    parser.add_argument("--version-file", required=True)
    parser.add_argument("--nginx-log", required=True)
    parser.add_argument("--browser-log", required=True)
    parser.add_argument("--sink-monitor", required=True)
    parser.add_argument("--wine-inspect", help="the player is a Windows .exe run under Wine; "
                        "this is the window reader (tests/wine/window_reader.cpp), built beside it")
    parser.add_argument("--installer", help="with --wine-inspect: the installer to check too")
    parser.add_argument("--wayland", help="the socket of a Wayland compositor for the Wayland step")
    parser.add_argument("--xwayland", help="with --wayland: the X display of its XWayland")
    parser.add_argument("--soak", type=int, default=0, help="with --wine-inspect: only play "
                        "this many seconds, sampling the player's memory (bench/soak)")
    parser.add_argument("--retitle", type=float, default=5, help="with --soak: the station's "
                        "title changes this often, in seconds (0: never)")
    parser.add_argument("--soak-station", choices=("icecast", "plain", "icy"),
                        default="icecast", help="with --soak: whose station plays")
    parser.add_argument("--metadata-cpu", type=int, default=0, help="with --wine-inspect: only "
                        "measure the player's CPU on two stations this many seconds each "
                        "(bench/metadata_cpu)")
    parser.add_argument("--pace", type=int, default=50, help="with --metadata-cpu: the "
                        "stations send this many times 128 kbit/s")
    args = parser.parse_args()
    if args.newer_version == args.running_version:
        sys.exit("the offered newer version %s is the running one" % args.newer_version)

    run = WineRun(args) if args.wine_inspect else Run(args)
    failed = None
    try:
        if args.soak:
            run.soak_path(args.soak, args.retitle, args.soak_station)
            return 0
        if args.metadata_cpu:
            run.metadata_cpu_path(args.metadata_cpu, args.pace)
            return 0
        run.silent_server_then_close()
        run.update_offer_no()
        run.update_offer_yes()
        run.playing_path()
        if args.installer:
            run.installer_path()
        if args.wine_inspect:
            run.media_keys_path()
            run.own_station_paths()
            run.high_dpi_path()
        elif args.wayland:
            WaylandRun(run, args.wayland, args.xwayland).path()
    except StepFailed as e:
        failed = str(e)
        print("not ok - " + failed, flush=True)
    for name, values in run.timings.items():
        if name == "levels":
            print("levels (RMS) at volume 250, 128, 0: %s" % ", ".join("%.4f" % v for v in values))
            continue
        text = {"launch": "launch to window shown", "play": "Play click to tone heard",
                "stop": "Stop click to silence", "media keys": "media-key step",
                "wayland": "Wayland step",
                "ping": "answer to the desktop's check during the frozen wait"}[name]
        print("timing: %s: %s ms" % (text, ", ".join("%.0f" % v for v in values)))
    for path in run.shots:
        print("screenshot: " + path)
    print("e2e: %d passed, %d failed" % (len(passed), 1 if failed else 0))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

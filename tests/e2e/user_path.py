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
import math
import os
import select
import signal
import subprocess
import sys
import threading
import time

import pyatspi
from PIL import Image
from Xlib import X, display, error, protocol

TITLE = "tamselRadio"
SITE = "https://tamselradio.com"
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

    def launch(self, label):
        self.screen.drain()
        log = open(os.path.join(self.args.work, "player-%s.log" % label), "ab")
        started = time.monotonic()
        proc = subprocess.Popen([self.args.player], stdout=log, stderr=log,
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
        try:
            status = proc.wait(15)
        except subprocess.TimeoutExpired:
            proc.kill()
            raise StepFailed("%s: closing the window did not end the process within 15 s" % label)
        check(status == 0, "%s: closing the window ended the process with status %d" % (label, status))
        step("%s: closing the window ends the process with exit status 0" % label)

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

        listener = Listener(self.args.sink_monitor)
        try:
            self.listen(listener, window, window_x, label)
        finally:
            listener.stop()

        about = button(window, "?")
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
    args = parser.parse_args()
    if args.newer_version == args.running_version:
        sys.exit("the offered newer version %s is the running one" % args.newer_version)

    run = Run(args)
    failed = None
    try:
        run.silent_server_then_close()
        run.update_offer_no()
        run.update_offer_yes()
        run.playing_path()
    except StepFailed as e:
        failed = str(e)
        print("not ok - " + failed, flush=True)
    for name, values in run.timings.items():
        text = {"launch": "launch to window shown", "play": "Play click to tone heard"}[name]
        print("timing: %s: %s ms" % (text, ", ".join("%.0f" % v for v in values)))
    for path in run.shots:
        print("screenshot: " + path)
    print("e2e: %d passed, %d failed" % (len(passed), 1 if failed else 0))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

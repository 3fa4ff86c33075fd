#!/usr/bin/python3
"""The web remote in a real browser: headless Chromium loads the page from a
running pipd-web, in front of the daemon playing generated media, and taps
through it. Usage: browser_test.py BUILD_DIR (a build configured with
PIPD_ROOT). Leaves a screenshot in BUILD_DIR/web-remote.png.

Exits 0 when the checks pass, and also (saying so) when Chromium cannot
start here; 1 when a check fails."""

import json
import math
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request
import wave
import zlib

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync",
                  "--window-size=390,844", "--hide-scrollbars"]


def cache_value(build, name):
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        for line in f:
            m = re.match(rf"{name}:\w+=(.*)", line.strip())
            if m:
                return m.group(1)
    return ""


def tone(path, hz, seconds, rate=44100):
    """A stereo 16-bit sine file; one period is computed and repeated."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    period = bytearray()
    n = rate // math.gcd(rate, hz)
    for i in range(n):
        v = int(8000 * math.sin(2 * math.pi * hz * i / rate))
        period += struct.pack("<hh", v, v)
    frames = rate * seconds
    data = bytes(period) * (frames // n) + bytes(period[: (frames % n) * 4])
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(data)


def tag_wav(path, fields):
    """Appends a LIST/INFO chunk with the fields (INAM, IART, ...)."""
    info = b"INFO"
    for key, value in fields.items():
        data = value.encode() + b"\0"
        info += key.encode() + struct.pack("<I", len(data)) + data + b"\0" * (len(data) & 1)
    with open(path, "r+b") as f:
        f.seek(0, 2)
        f.write(b"LIST" + struct.pack("<I", len(info)) + info)
        size = f.tell() - 8
        f.seek(4)
        f.write(struct.pack("<I", size))


def png(path, width, height, rgb):
    """A PNG shading from rgb to black."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    rows = b"".join(b"\0" + b"".join(bytes(c * (2 * width - x - y) // (2 * width) for c in rgb)
                                      for x in range(width)) for y in range(height))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


HOSTILE = "<img src=x onerror=alert(1)>"


class Sink(threading.Thread):
    """Takes the output packets about as fast as they would play."""

    def __init__(self, fifo):
        super().__init__(daemon=True)
        self.fifo = fifo
        self.stopping = False

    def run(self):
        fd = os.open(self.fifo, os.O_RDONLY)
        try:
            while not self.stopping:
                if not os.read(fd, 4112):
                    time.sleep(0.05)
                time.sleep(0.0115)
        finally:
            os.close(fd)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/test")
    root = cache_value(build, "PIPD_ROOT")
    if not root:
        print("browser test: the build has no PIPD_ROOT", file=sys.stderr)
        return 1
    chromium = shutil.which("chromium")
    driver_path = shutil.which("chromedriver")
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import WebDriverWait
    except ImportError as e:
        print(f"browser test: selenium is missing ({e}); install python3-selenium", file=sys.stderr)
        return 1
    if not chromium or not driver_path:
        print("browser test: chromium and chromium-driver are needed", file=sys.stderr)
        return 1

    # A fresh private tree: pipes and a small medium.
    tmp = os.path.join(root, "tmp")
    media = os.path.join(root, "media", "pi")
    shutil.rmtree(media, ignore_errors=True)
    os.makedirs(tmp, exist_ok=True)
    for p in ("cmdfifo", "statusfifo", "outputfifo", "queue", "pipd-web", "pipd-sink"):
        try:
            os.unlink(os.path.join(tmp, p))
        except FileNotFoundError:
            pass
    for p in ("cmdfifo", "statusfifo", "outputfifo"):
        os.mkfifo(os.path.join(tmp, p), 0o600)
    tone(os.path.join(media, "USB/Alpha/01 First.wav"), 440, 30)
    tone(os.path.join(media, "USB/Alpha/02 Second.wav"), 660, 30)
    tone(os.path.join(media, "USB/Beta/album.wav"), 330, 30)
    # Tags (a title with markup in it) and a folder cover for the first folder.
    tag_wav(os.path.join(media, "USB/Alpha/01 First.wav"),
            {"INAM": HOSTILE, "IART": "Ann Artist", "IPRD": "Alpha Album"})
    png(os.path.join(media, "USB/Alpha/cover.png"), 300, 300, (70, 110, 160))
    tag_wav(os.path.join(media, "USB/Beta/album.wav"),
            {"INAM": "Beta Suite", "IART": "The Testers", "IPRD": "Beta"})
    png(os.path.join(media, "USB/Beta/folder.png"), 300, 300, (194, 120, 60))
    with open(os.path.join(media, "USB/Beta/album.cue"), "w") as f:
        f.write('FILE "album.wav" WAVE\n'
                '  TRACK 01 AUDIO\n    TITLE "One"\n    INDEX 01 00:00:00\n'
                '  TRACK 02 AUDIO\n    TITLE "Two"\n    INDEX 01 00:10:00\n'
                '  TRACK 03 AUDIO\n    TITLE "Three"\n    INDEX 01 00:20:00\n')

    procs = []
    sink = Sink(os.path.join(tmp, "outputfifo"))
    driver = None
    profile = tempfile.mkdtemp(prefix="pipd-chromium-")
    shot = os.path.join(build, "web-remote.png")
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "detect_leaks=1")
    try:
        sink.start()
        daemon_log = open(os.path.join(build, "browser-pipd.log"), "w")
        daemon = subprocess.Popen([os.path.join(build, "pipd")], stdout=daemon_log,
                                  stderr=subprocess.STDOUT, env=env)
        procs.append(daemon)
        web_log = open(os.path.join(build, "browser-pipd-web.log"), "w")
        web = subprocess.Popen([os.path.join(build, "pipd-web"), "--listen", "127.0.0.1:0"],
                               stdout=web_log, stderr=subprocess.STDOUT, env=env)
        procs.append(web)
        runtime = os.path.join(tmp, "pipd-web")
        for _ in range(500):
            if os.path.exists(runtime):
                break
            time.sleep(0.01)
        host, port, _pid = open(runtime).read().split()
        url = f"http://{host}:{port}/"

        opts = webdriver.ChromeOptions()
        opts.binary_location = chromium
        for flag in CHROMIUM_FLAGS + [f"--user-data-dir={profile}"]:
            opts.add_argument(flag)
        opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        try:
            driver = webdriver.Chrome(service=Service(driver_path), options=opts)
        except Exception as e:  # the browser cannot run on this machine
            first = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
            print(f"browser test SKIPPED: Chromium cannot start here: {first}")
            return 0

        wait = WebDriverWait(driver, 10, poll_frequency=0.05)
        text = lambda id_: driver.find_element(By.ID, id_).get_attribute("textContent")
        def until(what, cond):
            try:
                return wait.until(lambda d: cond())
            except Exception:
                raise AssertionError(f"{what} (state {text('state')!r}, file {text('file')!r}, "
                                     f"track {text('track')!r})")
        def scale():
            style = driver.find_element(By.ID, "bar").get_attribute("style")
            m = re.search(r"scaleX\(([0-9.e-]+)\)", style)
            return float(m.group(1)) if m else -1.0

        driver.get(url)
        assert driver.title == "pipd", driver.title
        until("the page shows the player off", lambda: text("state") == "off")
        until("the queue is listed", lambda: len(driver.find_elements(By.CSS_SELECTOR, ".entry")) == 3)
        # No pipd-sink: no Snapcast indicator; one with a Snapcast output (this
        # process stands in for it): the indicator follows its state.
        rooms = driver.find_element(By.ID, "rooms")
        assert not rooms.is_displayed(), text("rooms")
        for state, shown in (("waiting", "Snapcast: waiting for snapserver"), ("playing", "Every room")):
            with open(os.path.join(tmp, "pipd-sink"), "w") as f:
                f.write(f"pid {os.getpid()}\noutput snapcast {state} 48000:24:2 /run/pipd/snapfifo\n")
            until(f"the Snapcast indicator shows {shown!r}",
                  lambda: rooms.is_displayed() and text("rooms") == shown)
        os.unlink(os.path.join(tmp, "pipd-sink"))
        cues = [e.text for e in driver.find_elements(By.CSS_SELECTOR, ".cue")]
        assert cues == ["1. One", "2. Two", "3. Three"], cues
        heads = [e.text for e in driver.find_elements(By.CSS_SELECTOR, ".folder-head")]
        assert heads == ["USB/Alpha", "USB/Beta"], heads

        driver.find_element(By.ID, "power").click()
        until("power on plays the first entry",
              lambda: text("state") == "playing" and text("file") == "01 First.wav")
        assert text("folder") == "USB/Alpha", text("folder")
        # Its tags, the markup in the title as text, no element made of it.
        until("the tags of what plays", lambda: text("title") == HOSTILE
              and text("artist") == "Ann Artist" and text("album") == "Alpha Album")
        until("the queue lists the title with its artist",
              lambda: driver.find_element(By.CSS_SELECTOR, '.entry[data-entry="0"]').text
              == HOSTILE + " \u2014 Ann Artist")
        images = driver.execute_script("return [...document.images].map((i) => i.id)")
        assert images == ["cover"], f"elements injected: {images}"
        # The cover when the server has one, else the placeholder; never a broken image.
        try:
            urllib.request.urlopen(url + "api/art?entry=0", timeout=5).close()
            has_art = True
        except urllib.error.HTTPError:
            has_art = False
        cover = lambda: driver.execute_script(
            "const i = document.getElementById('cover');"
            "const shown = (e) => getComputedStyle(e).display !== 'none';"
            "return [shown(i) && i.complete && i.naturalWidth > 0,"
            " shown(document.getElementById('cover-none'))]")
        until(f"the cover shows ({'an image' if has_art else 'the placeholder'})",
              lambda: cover() == ([True, False] if has_art else [False, True]))
        until("the clock runs", lambda: text("elapsed") not in ("0:00", ""))
        before = scale()
        time.sleep(0.6)
        after = scale()
        assert 0 < before < after < 1, (before, after)
        assert text("length") == "0:30", text("length")

        driver.find_element(By.ID, "next").click()
        until("next plays the second entry", lambda: text("file") == "02 Second.wav")
        current = driver.find_elements(By.CSS_SELECTOR, ".entry.current")
        assert [e.text for e in current] == ["02 Second.wav"], [e.text for e in current]

        driver.find_element(By.CSS_SELECTOR, '.cue[data-entry="2"][data-track="1"]').click()
        until("tapping a cue track plays it",
              lambda: text("file") == "album.wav" and text("title") == "Two"
              and text("track") == "Track 2")
        until("the cue track's own clock", lambda: text("length") == "0:10")

        driver.find_element(By.ID, "play").click()
        until("pause", lambda: text("state") == "paused")
        paused_at = text("elapsed")
        time.sleep(1.2)
        assert text("elapsed") == paused_at, "the clock stands while paused"
        # A tap at 80% of the bar: 8 s into the cue track (paused: only the seek
        # moves it there).
        seek = driver.find_element(By.ID, "seek")
        ActionChains(driver).move_to_element_with_offset(
            seek, int(seek.size["width"] * 0.3), 0).click().perform()
        def daemon_els():
            with urllib.request.urlopen(url + "api/status", timeout=5) as r:
                return int(json.load(r).get("els", -1))
        until("a tap on the bar seeks in the cue track (at 10 s in the file)",
              lambda: 17500 <= daemon_els() < 18500 and text("track") == "Track 2"
              and text("elapsed") in ("0:07", "0:08"))
        driver.find_element(By.ID, "play").click()
        until("resume", lambda: text("state") == "playing")

        driver.find_element(By.ID, "repeat").click()
        until("repeat mode", lambda: text("repeat-label") == "Repeat one")

        driver.execute_script("window.scrollTo(0, 0)")
        until("the cover of the album", lambda: cover() == [True, False])
        driver.save_screenshot(shot)
        # A narrow phone and a tablet: nothing wider than the screen, cover and
        # controls in view.
        for width, height in ((360, 740), (768, 1024), (1024, 768)):
            driver.set_window_size(width, height)
            until(f"the page fits {width} px", lambda: driver.execute_script(
                "const d = document.documentElement, c = document.querySelector('.cover');"
                "const p = document.getElementById('play').getBoundingClientRect();"
                "return d.scrollWidth <= d.clientWidth && c.getBoundingClientRect().width >= 120"
                " && p.bottom <= innerHeight && p.width > 0"))
            driver.save_screenshot(os.path.join(build, f"web-remote-{width}.png"))
        driver.set_window_size(390, 844)

        flt = driver.find_element(By.ID, "filter")
        flt.send_keys("ann artist")
        until("the filter matches tags", lambda: [e.get_attribute("data-entry") for e in
              driver.find_elements(By.CSS_SELECTOR, ".entry") if e.is_displayed()] == ["0"])
        flt.clear()
        flt.send_keys("two")
        until("the filter keeps the album", lambda: [e.text for e in driver.find_elements(
            By.CSS_SELECTOR, ".entry") if e.is_displayed()] == ["Beta Suite \u2014 The Testers"])
        flt.clear()
        flt.send_keys(" ")  # an input event with an empty filter
        until("the filter lets go", lambda: len([e for e in driver.find_elements(
            By.CSS_SELECTOR, ".entry") if e.is_displayed()]) == 3)

        bad = [e for e in driver.get_log("browser") if e.get("level") == "SEVERE"]
        assert not bad, f"browser errors: {bad}"

        # The daemon goes away: the page says so.
        daemon.send_signal(signal.SIGKILL)
        daemon.wait()
        until("the banner tells that pipd is gone",
              lambda: driver.find_element(By.ID, "banner").is_displayed()
              and "not running" in text("banner"))
        # And so it does when the server goes.
        web.send_signal(signal.SIGTERM)
        web.wait(timeout=10)
        until("the banner tells that the server is gone",
              lambda: "Cannot reach pipd-web" in text("banner"))
        print(f"browser test passed (screenshot: {shot})")
        return 0
    except AssertionError as e:
        print(f"browser test FAILED: {e}", file=sys.stderr)
        if driver:
            driver.save_screenshot(shot)
            print(f"screenshot: {shot}", file=sys.stderr)
        return 1
    finally:
        if driver:
            driver.quit()
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        sink.stopping = True
        shutil.rmtree(profile, ignore_errors=True)
        shutil.rmtree(media, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

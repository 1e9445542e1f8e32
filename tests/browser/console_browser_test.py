#!/usr/bin/env python3
"""The console's page in a real browser (headless Chromium through Selenium).

Started by run_browser_test.sh inside the PC namespace of a LAN of virtual
cameras. Runs the console command given after "--", opens the address it
prints, and drives the page as a technician would: the cameras, a damaged
and a good package and their verdicts, every camera ticked, a rollout whose
bars all reach an end state (the refusing camera's reason shown), the
report downloaded and checked; the same main flow with key presses only,
cancelled on the way; and at 1280x720 and 768x1024 every control inside the
viewport without sideways scrolling. Screenshots of the main states go to
--screenshots.

Exit status: 0 passed, 1 failed, 77 the browser or Selenium is missing.
"""

import argparse
import csv
import io
import os
import re
import subprocess
import sys
import tempfile
import threading

try:
    from selenium import webdriver
    from selenium.common.exceptions import TimeoutException, WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError as missing:
    print(f"skipped: python3-selenium is missing ({missing})", file=sys.stderr)
    sys.exit(77)

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
# Ceilings that end a hang; every wait polls what the page shows.
PAGE_SECONDS = 30
ROLLOUT_SECONDS = 240
END_PHASES = {"confirmed", "back", "acknowledged", "failed", "not-started"}
# Whatever a keyboard or a pointer can act on.
CONTROLS = "button, input, select, textarea, a[href], [tabindex]"
VIEWPORTS = [(1280, 720), (768, 1024)]


class Failure(Exception):
    pass


def check(condition, text):
    if not condition:
        raise Failure(text)


class Console:
    """The console process; its address comes from the one line it prints."""

    def __init__(self, argv):
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True)
        self.errors = []
        threading.Thread(target=self._drain_errors, daemon=True).start()
        line = self.process.stdout.readline()
        match = re.fullmatch(r"open (https?://[^/\s]+/#t=[A-Za-z0-9_-]+)\n", line)
        if not match:
            self.stop()
            raise Failure(f"the console printed {line!r}, not its address; stderr:\n"
                          + "".join(self.errors))
        self.url = match.group(1)
        self.origin = self.url.split("#", 1)[0].rstrip("/")

    def _drain_errors(self):
        for line in self.process.stderr:
            self.errors.append(line)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def start_browser(downloads):
    for path in (CHROMIUM, CHROMEDRIVER):
        if not os.access(path, os.X_OK):
            print(f"skipped: {path} is missing (setup-deps.sh browser)", file=sys.stderr)
            sys.exit(77)
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--no-first-run", "--disable-extensions", "--window-size=1280,720",
                f"--user-data-dir={downloads}/profile"):
        options.add_argument(arg)
    options.add_experimental_option("prefs", {
        "download.default_directory": downloads,
        "download.prompt_for_download": False,
    })
    # Script errors and Content-Security-Policy refusals land in the log.
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.execute_cdp_cmd("Browser.setDownloadBehavior",
                           {"behavior": "allow", "downloadPath": downloads})
    return driver


class Page:
    def __init__(self, driver, console, shots):
        self.driver = driver
        self.console = console
        self.shots = shots

    def wait(self, what, condition, seconds=PAGE_SECONDS):
        try:
            return WebDriverWait(self.driver, seconds, poll_frequency=0.1).until(
                lambda _: condition())
        except TimeoutException:
            self.shot("timeout")
            raise Failure(f"timed out waiting for {what}; the page says: {self.message()!r}")

    def by_id(self, name):
        return self.driver.find_element(By.ID, name)

    def message(self):
        shown = self.driver.find_elements(By.CSS_SELECTOR, "#message:not([hidden])")
        return shown[0].text if shown else ""

    def shot(self, name, show=None):
        os.makedirs(self.shots, exist_ok=True)
        if show:
            self.driver.execute_script(
                "document.getElementById(arguments[0]).scrollIntoView({block: 'nearest'})", show)
        self.driver.save_screenshot(os.path.join(self.shots, name + ".png"))

    def viewport(self, width, height):
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})

    # The page redraws its rows as news comes: each look is one script, so
    # no row goes stale half-way through.
    def cameras(self):
        """Each camera row's target and whether it is ticked."""
        return self.driver.execute_script("""
            const out = {};
            for (const row of document.querySelectorAll('#cameras tr[data-target]'))
              out[row.dataset.target] = {picked: row.querySelector('input.pick').checked,
                                         text: row.textContent};
            return out;""")

    def progress(self):
        """Each bar's camera, phase word and detail."""
        return {target: tuple(value) for target, value in self.driver.execute_script("""
            const out = {};
            for (const row of document.querySelectorAll('#progress [data-target]'))
              out[row.dataset.target] = [row.querySelector('.phase').textContent,
                                         row.querySelector('.detail').textContent];
            return out;""").items()}

    def finished(self):
        phases = [phase for phase, _ in self.progress().values()]
        return (bool(phases) and all(p in END_PHASES for p in phases)
                and self.by_id("report-csv").get_attribute("href"))

    def choose_package(self, path, verdict):
        self.by_id("package-file").send_keys(path)
        self.wait(f"the verdict '{verdict}' on {os.path.basename(path)}",
                  lambda: verdict in self.by_id("verdict").get_attribute("class").split()
                  and os.path.basename(path) in self.by_id("package-file-name").text)

    # ---- keys only -------------------------------------------------------

    def tab_to(self, selector, limit=120):
        """Presses Tab until the element `selector` names has the focus."""
        for _ in range(limit):
            if self.driver.execute_script(
                    "return document.activeElement.matches(arguments[0])", selector):
                return
            ActionChains(self.driver).send_keys(Keys.TAB).perform()
        raise Failure(f"Tab never reaches {selector}")

    def keys(self, *keys):
        ActionChains(self.driver).send_keys(*keys).perform()


def open_console(page, cameras):
    page.driver.get(page.console.url)
    page.wait("the console page behind the sign-in",
              lambda: page.driver.current_url.rstrip("/") == page.console.origin
              and page.driver.find_elements(By.ID, "cameras"))
    page.wait(f"the {len(cameras)} cameras in the table",
              lambda: set(cameras) <= set(page.cameras()))
    check("#t=" not in page.driver.current_url, "the token stays in the address bar")


def downloaded(downloads, name, seconds=PAGE_SECONDS):
    path = os.path.join(downloads, name)
    try:
        WebDriverWait(None, seconds, poll_frequency=0.1).until(
            lambda _: os.path.exists(path) and not os.path.exists(path + ".crdownload"))
    except TimeoutException:
        raise Failure(f"no {name} downloaded; the folder holds {os.listdir(downloads)}")
    with open(path, encoding="utf-8") as f:
        return list(csv.DictReader(io.StringIO(f.read())))


def add_cameras(page, absent):
    """A camera by address; a text that is no address gets the console's words."""
    field = page.by_id("add-target")
    field.send_keys("no camera here")
    page.by_id("add").click()
    page.wait("the refusal of a bad address", lambda: page.message() != "")
    check(page.driver.find_element(By.ID, "message").get_attribute("role") == "alert",
          "the error is not an alert")
    # The refused request is in the browser's log as a failed load: expected.
    page.driver.get_log("browser")
    field.clear()
    field.send_keys(absent)
    page.by_id("add").click()
    page.wait(f"{absent} in the table", lambda: absent in page.cameras())
    check(page.message() == "", f"an error stays after a good address: {page.message()!r}")


def main_flow(page, args, downloads):
    """Pointer and page as a technician uses them, through to the report."""
    open_console(page, args.camera)
    page.shot("1-cameras")
    page.choose_package(args.damaged, "rejected")
    page.shot("2-package-rejected")
    page.choose_package(args.package, "accepted")
    check(page.by_id("package-name").text == args.package_name,
          f"the panel names the package {page.by_id('package-name').text!r}")
    check(page.by_id("package-signer").text.strip() not in ("", "—"),
          "the signer of a signed package is not shown")
    page.shot("3-package-accepted")
    add_cameras(page, args.absent)
    page.by_id("select-none").click()
    check(not any(c["picked"] for c in page.cameras().values()), "select none left a camera ticked")
    page.by_id("select-all").click()
    check(all(c["picked"] for c in page.cameras().values()), "select all left a camera unticked")
    # Nothing answers at the added address: it stays out of the rollout.
    page.driver.find_element(
        By.CSS_SELECTOR, f'#cameras tr[data-target="{args.absent}"] input.pick').click()
    check(not page.cameras()[args.absent]["picked"], "the absent camera stays ticked")
    wait_return = page.by_id("wait-return")
    wait_return.clear()
    wait_return.send_keys("60")
    page.by_id("start").click()
    page.wait("a bar per camera", lambda: set(args.camera) <= set(page.progress()))
    page.wait("a camera under way", lambda: any(
        p not in ("waiting",) for p, _ in page.progress().values()))
    page.shot("4-running", "progress-panel")
    page.wait("every bar at its end state", page.finished, ROLLOUT_SECONDS)
    page.shot("5-finished", "progress-panel")
    bars = page.progress()
    phase, detail = bars[args.refusing]
    check(phase == "failed", f"the refusing camera's bar ends '{phase}'")
    check(detail.strip() != "", "the refusing camera's reason is not shown")
    for target in args.camera:
        if target != args.refusing:
            check(bars[target][0] in ("confirmed", "back", "acknowledged"),
                  f"{target} ends '{bars[target][0]}'")
    check(page.by_id("summary").text.strip() != "", "no summary")
    page.by_id("report-csv").click()
    report = {row["address"]: row for row in downloaded(downloads, "rollout-1.csv")}
    check(set(report) == set(args.camera), f"the report lists {sorted(report)}")
    check(args.absent not in page.progress(), "the unticked camera has a bar")
    check(report[args.refusing]["result"] == "refused",
          f"the report says {report[args.refusing]['result']} for the refusing camera")
    check(report[args.refusing]["reason"] in detail,
          f"the page's reason {detail!r} is not the report's {report[args.refusing]['reason']!r}")
    page.wait("the cameras' last results",
              lambda: "refused" in page.cameras()[args.refusing]["text"])


def keyboard_flow(page, args, downloads):
    """The main flow with key presses only, cancelled after the first start."""
    page.driver.get(page.console.origin + "/")
    page.wait("the cameras", lambda: set(args.camera) <= set(page.cameras()))
    page.driver.execute_script("document.activeElement.blur(); window.scrollTo(0, 0)")
    page.tab_to("#package-file")
    # A file chooser is the system's dialogue; the focused input takes the path.
    page.driver.switch_to.active_element.send_keys(args.package)
    page.wait("the verdict", lambda: "accepted" in page.by_id("verdict").get_attribute("class"))
    page.tab_to("#select-none")
    page.keys(Keys.SPACE)
    check(not any(c["picked"] for c in page.cameras().values()), "Space on Select none did nothing")
    for target in args.camera:
        page.tab_to(f'#cameras tr[data-target="{target}"] input.pick')
        page.keys(Keys.SPACE)
    picked = {t for t, c in page.cameras().items() if c["picked"]}
    check(picked == set(args.camera), f"Space ticked {sorted(picked)}")
    for name, value in (("parallel", "1"), ("wait-return", "60")):
        page.tab_to("#" + name)
        page.keys(Keys.CONTROL, "a", Keys.NULL, value)
    page.tab_to("#start")
    page.keys(Keys.ENTER)
    page.wait("Cancel to be offered", lambda: page.by_id("cancel").is_enabled())
    page.tab_to("#cancel")
    page.keys(Keys.ENTER)
    page.shot("6-keys-cancelling", "progress-panel")
    page.wait("every bar at its end state after Cancel", page.finished, ROLLOUT_SECONDS)
    page.shot("7-keys-cancelled", "progress-panel")
    phases = [p for p, _ in page.progress().values()]
    check("not-started" in phases, f"Cancel started every camera anyway: {phases}")
    check("interrupted" in page.by_id("summary").text, "the summary does not say it was cancelled")
    page.tab_to("#report-csv")
    page.keys(Keys.ENTER)
    report = downloaded(downloads, "rollout-2.csv")
    check(any(row["result"] == "not-started" for row in report),
          "the report of the cancelled rollout has no camera left out")


def layout(page):
    """Every control fits the viewport once scrolled to; nothing scrolls sideways."""
    for width, height in VIEWPORTS:
        page.viewport(width, height)
        page.driver.execute_script("window.scrollTo(0, 0)")
        page.shot(f"8-layout-{width}x{height}")
        wide = page.driver.execute_script(
            "const d = document.documentElement; return [d.scrollWidth, d.clientWidth]")
        check(wide[0] <= wide[1], f"at {width}x{height} the page is {wide[0]} wide")
        outside = page.driver.execute_script("""
            const out = [];
            for (const el of document.querySelectorAll(arguments[0])) {
              if (!el.getClientRects().length) continue;
              el.scrollIntoView({block: 'center', inline: 'center'});
              const r = el.getBoundingClientRect();
              if (r.left < 0 || r.top < 0 || r.right > innerWidth || r.bottom > innerHeight)
                out.push((el.id || el.className || el.tagName) + ' ' +
                         [r.left, r.top, r.right, r.bottom].map(Math.round).join(','));
            }
            return out;""", CONTROLS)
        check(not outside, f"at {width}x{height} outside the viewport: {outside}")
    page.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})


def parse():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--package", required=True, help="a package every camera takes")
    parser.add_argument("--package-name", required=True, help="its name, as its manifest gives it")
    parser.add_argument("--damaged", required=True, help="a package the console refuses")
    parser.add_argument("--camera", action="append", required=True, help="HOST:PORT, each")
    parser.add_argument("--absent", required=True, help="HOST:PORT where nothing answers")
    parser.add_argument("--refusing", required=True, help="the camera that refuses")
    parser.add_argument("--screenshots", required=True)
    parser.add_argument("console", nargs="+", help="the console's command line")
    return parser.parse_args()


def main():
    args = parse()
    with tempfile.TemporaryDirectory(prefix="qdupk-browser-") as downloads:
        console = Console(args.console)
        driver = None
        try:
            driver = start_browser(downloads)
            page = Page(driver, console, args.screenshots)
            for flow in (main_flow, keyboard_flow, layout):
                print(f"browser: {flow.__name__}", flush=True)
                flow(page, args, downloads) if flow is not layout else flow(page)
                errors = [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"]
                check(not errors, f"the browser logged errors: {errors}")
        except (Failure, WebDriverException) as e:
            print(f"FAIL: {e}", file=sys.stderr)
            print("console stderr:\n" + "".join(console.errors), file=sys.stderr)
            return 1
        finally:
            if driver is not None:
                driver.quit()
            console.stop()
    print("browser: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())

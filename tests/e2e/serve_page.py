#!/usr/bin/python3
"""Drives the page of nmx-view serve in headless Chromium, as a user would, and prints what it
saw for ListenServe_test.cpp to judge: one line "KEY<TAB>VALUE<TAB>..." for each thing seen.

serve_page.py --check                      exit 0 when Chromium, its driver and selenium are here
serve_page.py URL DOWNLOADS FRAMES -- TRAFFIC...
    opens URL, starts the capture, runs the TRAFFIC command, waits for FRAMES rows, filters
    them, shows a row's bytes, reads the plot, the response-time table and /metrics (with
    Prometheus' own parser), stops the capture and downloads it into DOWNLOADS.
The environment variable VX_SERVE_SCREENSHOT names a PNG to take of the page on the way.
"""
import os
import shutil
import subprocess
import sys
import time

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
DEADLINE = 30  # seconds for anything the page should do


def check():
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "python3-selenium is not installed"
    try:
        import prometheus_client.parser  # noqa: F401
    except ImportError:
        return "python3-prometheus-client is not installed"
    for path, package in ((CHROMIUM, "chromium"), (DRIVER, "chromium-driver")):
        if not os.access(path, os.X_OK):
            return package + " is not installed"
    return ""


def main(argv):
    if argv[1:] == ["--check"]:
        why = check()
        print(why)
        return 1 if why else 0
    url, downloads, frames = argv[1], argv[2], int(argv[3])
    traffic = argv[argv.index("--") + 1:]

    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--window-size=1500,1000", "--lang=en-US"):
        options.add_argument(a)
    # What the page's console says: a resource it could not load (a favicon's 404) shows here.
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    seen = {}
    try:
        driver.execute_cdp_cmd("Browser.setDownloadBehavior",
                               {"behavior": "allow", "downloadPath": downloads})
        wait = WebDriverWait(driver, DEADLINE, poll_frequency=0.1)
        text = lambda id: driver.find_element(By.ID, id).text
        rows = lambda: driver.find_elements(By.CSS_SELECTOR, "#frames tbody tr")

        driver.get(url)
        wait.until(lambda d: "following" in d.find_element(By.ID, "link").get_attribute("class")
                   and text("state") != "UNKNOWN")
        seen["stateBefore"] = text("state").lower()
        # No capture file yet: nothing to download.
        seen["downloadBefore"] = driver.find_element(By.ID, "download-cap").get_attribute("class")
        seen["fileMode"] = text("st-fileMode")
        seen["saveName"] = text("st-saveName")

        driver.find_element(By.ID, "start").click()
        wait.until(lambda d: text("state").lower() == "capturing")
        seen["stateStarted"] = "capturing"

        subprocess.run(traffic, check=True, stdout=subprocess.DEVNULL)
        wait.until(lambda d: len(rows()) >= frames)
        # Every request is answered: wait until the last answer has reached its row.
        wait.until(lambda d: all(c.text for c in d.find_elements(By.CSS_SELECTOR,
                                                                 "#frames tbody td.rt")))
        seen["rows"] = [{
            "title": r.get_attribute("title"),
            "cells": [c.text for c in r.find_elements(By.TAG_NAME, "td")],
            "utc": r.find_element(By.CSS_SELECTOR, "td.time").get_attribute("title"),
            "class": r.get_attribute("class"),
        } for r in rows()]
        seen["columns"] = [h.text for h in driver.find_elements(By.CSS_SELECTOR, "#frames th")]
        seen["stillCapturing"] = text("state").lower() == "capturing"

        # serve counts a second's frames and errors for the plot.
        wait.until(lambda d: int(d.find_element(By.ID, "rate-plot").get_attribute("data-points")
                                 or 0) >= 2)
        seen["plotPoints"] = driver.find_element(By.ID, "rate-plot").get_attribute("data-points")
        seen["plotInk"] = driver.execute_script(
            "const c = document.getElementById('rate-plot');"
            "const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;"
            "let n = 0; for (let i = 3; i < d.length; i += 4) if (d[i]) n++; return n;")
        wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#stats tbody tr"))
        stats = driver.find_elements(By.CSS_SELECTOR, "#stats tbody tr")
        seen["stats"] = ["\t".join(c.text for c in r.find_elements(By.TAG_NAME, "td"))
                         for r in stats]
        seen["histograms"] = len(driver.find_elements(By.CSS_SELECTOR, "#histograms svg rect"))

        from prometheus_client.parser import text_string_to_metric_families
        import urllib.request
        base = url.split("?")[0].rstrip("/")
        with urllib.request.urlopen(base + "/metrics", timeout=DEADLINE) as answer:
            seen["metricsType"] = answer.headers.get("Content-Type")
            exposition = answer.read().decode("utf-8")
        seen["metrics"] = ["%s %s %s" % (sample.name, ",".join(
            "%s=%s" % kv for kv in sorted(sample.labels.items())), sample.value)
            for family in text_string_to_metric_families(exposition)
            for sample in family.samples]

        command = driver.find_element(By.ID, "f-command")
        command.send_keys("Write")
        wait.until(lambda d: len(rows()) < frames)
        seen["filtered"] = [r.get_attribute("title") for r in rows()]
        command.clear()
        command.send_keys(" ")  # an input event for the cleared field
        command.clear()
        driver.execute_script("document.getElementById('f-command').dispatchEvent(new Event('input'))")
        wait.until(lambda d: len(rows()) >= frames)

        # The page follows the newest frames, so the first ones are out of view; the driver's
        # own scrolling would leave the row under the table's header, which stays on top.
        second = rows()[1]
        driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", second)
        second.click()
        wait.until(lambda d: d.find_element(By.ID, "hex").is_displayed())
        seen["hex"] = text("hex")
        shot = os.environ.get("VX_SERVE_SCREENSHOT")
        if shot:
            driver.save_screenshot(shot)

        driver.find_element(By.ID, "stop").click()
        wait.until(lambda d: text("state").lower() == "stopped")
        seen["stateStopped"] = "stopped"

        driver.find_element(By.ID, "download-cap").click()
        end = time.time() + DEADLINE
        got = []
        while time.time() < end:
            got = [f for f in os.listdir(downloads) if not f.endswith(".crdownload")]
            if got:
                break
            time.sleep(0.1)
        seen["download"] = os.path.join(downloads, got[0]) if got else ""
        seen["browserErrors"] = [entry["message"] for entry in driver.get_log("browser")
                                 if entry["level"] == "SEVERE"]
    except Exception as e:  # what was seen so far still helps whoever reads the failure
        seen["error"] = "%s: %s" % (type(e).__name__, str(e).strip())
        try:
            seen["page"] = " | ".join(driver.find_element(By.ID, id).text
                                      for id in ("link", "link-message", "state", "action-message"))
        except Exception:
            pass
    finally:
        driver.quit()
    for key, value in seen.items():
        if key == "rows":
            for r in value:
                print("\t".join(["row", r["title"], r["utc"], r["class"]] + r["cells"]))
        elif key in ("stats", "metrics"):
            for line in value:
                print(key + "\t" + line)
        elif key == "filtered":
            for title in value:
                print("filtered\t" + title)
        else:
            print(key + "\t" + str(value).replace("\n", "\t"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

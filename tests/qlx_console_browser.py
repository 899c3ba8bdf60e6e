#!/usr/bin/env python3
"""The web console in headless Chromium, driven by Selenium, as an operator uses it.

    qlx_console_browser.py URL QLXADM SHOTS_DIR

The broker home (QLX_HOME) holds one failed request of element E on its error queue, its
body holding markup. The script checks that a request sent with `qlxadm send` shows in
element:E's depth, that the error page shows the entry with its body as text (no markup
taken from it), that Resubmit with the token from the home's console-token puts it back
and the depth changes; it saves a screenshot of each page into SHOTS_DIR. Exit 0 passed,
1 failed, 77 skipped (no browser could start; the reason on standard output).
"""
import os
import subprocess
import sys
import tempfile
import time

SKIP = 77


def skip(reason):
    print("SKIPPED: " + reason)
    sys.exit(SKIP)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError as error:
    skip("python3-selenium is not installed (%s)" % error)


def find_program(*names):
    for name in names:
        for folder in ("/usr/bin", "/usr/lib/chromium"):
            path = os.path.join(folder, name)
            if os.access(path, os.X_OK):
                return path
    return None


def start_browser(profile):
    chromium = find_program("chromium", "chromium-browser")
    driver = find_program("chromedriver")
    if not chromium or not driver:
        skip("chromium or chromium-driver is not installed")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1400,900",
                 "--user-data-dir=" + profile):
        options.add_argument(flag)
    try:
        return webdriver.Chrome(service=Service(driver), options=options)
    except Exception as error:  # the browser cannot start here: not a failure of ours
        skip("headless Chromium did not start: %s" % str(error).splitlines()[0])


def wait_for(what, condition, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            value = condition()
            if value:
                return value
        except Exception:
            pass
        time.sleep(0.2)
    raise AssertionError("timed out waiting for " + what)


def open_view(browser, url, view):
    browser.get(url + "#" + view)
    browser.refresh()
    wait_for(view + " loaded",
             lambda: browser.find_element(By.TAG_NAME, "body").get_attribute("data-loaded") == view)


def depth(browser, queue):
    for row in browser.find_elements(By.CSS_SELECTOR, "#queue-table tbody tr"):
        if row.get_attribute("data-queue") == queue:
            return int(row.find_element(By.CLASS_NAME, "depth").text)
    return 0


def run(browser, url, qlxadm, shots):
    open_view(browser, url, "queues")
    before = depth(browser, "element:E")
    subprocess.run([qlxadm, "send", "ECHO", "--as", "C1", "sent from the test"], check=True,
                   stderr=subprocess.DEVNULL)
    # The queues view refreshes itself every two seconds.
    wait_for("the sent request in element:E's depth",
             lambda: depth(browser, "element:E") == before + 1)
    browser.save_screenshot(os.path.join(shots, "queues.png"))

    open_view(browser, url, "errors")
    entry = browser.find_element(By.CSS_SELECTOR, ".entry[data-element='E']")
    body = entry.find_element(By.CLASS_NAME, "body").text
    assert "<script>window.injected = 1</script><b id=\"markup\">bold</b>" in body, body
    assert not browser.find_elements(By.ID, "markup"), "the body's markup became an element"
    assert browser.execute_script("return window.injected === undefined"), "the body's script ran"
    assert "2001 (sub-reason 14)" in entry.text, entry.text
    assert "service ECHO, hop 1 of 2, from client:C1" in entry.text, entry.text
    browser.save_screenshot(os.path.join(shots, "errors.png"))

    with open(os.path.join(os.environ["QLX_HOME"], "console-token")) as f:
        token = f.read().strip()
    browser.find_element(By.ID, "token").send_keys(token)
    browser.find_element(By.CSS_SELECTOR, "#token-form button").click()
    entry.find_element(By.CLASS_NAME, "resubmit").click()
    wait_for("the resubmit's answer",
             lambda: "resubmit: 1 entry of E" in browser.find_element(By.ID, "status").text)
    wait_for("the error queue emptied",
             lambda: not browser.find_elements(By.CSS_SELECTOR, ".entry[data-element='E']"))
    browser.save_screenshot(os.path.join(shots, "errors-after-resubmit.png"))

    open_view(browser, url, "queues")
    wait_for("the resubmitted request in element:E's depth",
             lambda: depth(browser, "element:E") == before + 2)
    browser.save_screenshot(os.path.join(shots, "queues-after-resubmit.png"))

    open_view(browser, url, "log")
    log = browser.find_element(By.ID, "log-text").text
    assert "console resubmitted 1 entry of the error queue of E" in log, log
    browser.save_screenshot(os.path.join(shots, "log.png"))

    open_view(browser, url, "directory")
    assert "[element.E]" in browser.find_element(By.ID, "directory-text").text
    browser.save_screenshot(os.path.join(shots, "directory.png"))


def main():
    url, qlxadm, shots = sys.argv[1:4]
    os.makedirs(shots, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="qlx-chromium-") as profile:
        browser = start_browser(profile)
        try:
            run(browser, url, qlxadm, shots)
        except AssertionError as error:
            browser.save_screenshot(os.path.join(shots, "failure.png"))
            print("FAILED: %s" % error)
            return 1
        finally:
            browser.quit()
    print("passed; screenshots in " + shots)
    return 0


if __name__ == "__main__":
    sys.exit(main())

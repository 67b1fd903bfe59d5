#!/usr/bin/python3
"""The web interface in headless Chromium, as an administrator uses it.

    web_browser.py BASE-URL LOGIN PASSWORD SCREENSHOT-FOLDER

Opens the home page and the printer's pages, logs in, sets the paper type
to Thick and the density to 75%, and presses "Print Test Page". Keeps a
screenshot of every page. Exits 77 when no browser can run here.
"""
import os
import sys
import urllib.parse

try:
    from selenium import webdriver
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select
except ImportError as error:
    print(f"SKIP: no Selenium for Python ({error})")
    sys.exit(77)

base, login, password, shots = sys.argv[1:5]
os.makedirs(shots, exist_ok=True)

options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
# Root has no user namespace sandbox for Chromium here.
for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,1400", "--lang=en-US"):
    options.add_argument(arg)
try:
    browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
except (WebDriverException, OSError) as error:
    print(f"SKIP: Chromium cannot run here: {str(error).splitlines()[0]}")
    sys.exit(77)
browser.set_page_load_timeout(30)


def page(path, shot, *want, url=base):
    browser.get(url + path)
    browser.save_screenshot(os.path.join(shots, shot))
    html = browser.page_source
    for words in want:
        if words not in html:
            raise AssertionError(f"{path} does not show '{words}':\n{html}")
    print(f"ok: {path} shows {', '.join(want)} ({shot})")


def submit(button, shot, banner):
    browser.find_element(By.CSS_SELECTOR, f'input[type="submit"][value="{button}"]').click()
    browser.save_screenshot(os.path.join(shots, shot))
    shown = browser.find_element(By.CLASS_NAME, "banner").text
    if shown != banner:
        raise AssertionError(f"'{button}' answered '{shown}', expected '{banner}'")
    print(f"ok: '{button}' answered '{banner}' ({shot})")


try:
    page("/", "1-home.png", "mono", "Generic Mono Laser 600", "rastertomono Printer Application")
    page("/mono", "2-printer.png", "Idle", "Print Test Page")
    # The browser's own login prompt, answered by the address; it keeps
    # the login for the rest of the session.
    parts = urllib.parse.urlsplit(base)
    with_login = f"{parts.scheme}://{login}:{password}@{parts.netloc}"
    page("/mono/media", "3-media.png", "Plain", url=with_login)
    Select(browser.find_element(By.NAME, "ready0-type")).select_by_visible_text("Thick")
    submit("Save Changes", "4-media-saved.png", "Changes saved.")
    page("/mono/printing", "5-printing.png", "A4 (Thick)", "Density (0% Lightest, 25% Normal, 100% Darkest)",
         "Black Only, No Greys", "Draft (Lighter, Saves Toner)")
    Select(browser.find_element(By.NAME, "print-darkness")).select_by_visible_text("75%")
    submit("Save Changes", "6-printing-saved.png", "Changes saved.")
    page("/mono", "7-printer.png", "Print Test Page")
    submit("Print Test Page", "8-test-page.png", "Test page printed.")
except (AssertionError, WebDriverException) as error:
    browser.save_screenshot(os.path.join(shots, "failed.png"))
    print(f"FAIL: {error}")
    sys.exit(1)
finally:
    browser.quit()

#!/usr/bin/python3
"""The tray host and its panel in a real browser, on a fresh simulated machine.

The host starts in tray mode; a left click on its icon opens the panel's
address through the shell, which the machine journals; headless Chromium
opens that address. The page must show the state, pair a phone from its QR
code (read back from a screenshot by zbarimg), follow a language and theme
change into settings.txt, and forget a device so that its next connection is
refused. Screenshots of every view are kept in the artefact folder.

Usage: panel_browser_test.py BIN_DIR ARTEFACT_DIR
Exit 0 passed, 1 failed, 77 skipped (no browser on this machine).
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import traceback

CHROMIUM = '/usr/bin/chromium'
CHROMEDRIVER = '/usr/bin/chromedriver'


def say(text):
    print(text, flush=True)


def wait_for(what, check, seconds=10.0, step=0.05):
    end = time.monotonic() + seconds
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError('timed out waiting for ' + what)
        time.sleep(step)


class Machine:
    def __init__(self, bin_dir, root):
        self.bin_dir = bin_dir
        self.env = dict(os.environ, SORVANE_SIM_ROOT=os.path.join(root, 'machine'), LOCALAPPDATA=root,
                        SORVANE_PAIRING_PORT='0', SORVANE_VIEWER_STATE=os.path.join(root, 'viewer'),
                        XDG_RUNTIME_DIR=root)
        self.env.pop('SORVANE_SETTINGS_PATH', None)

    def run(self, program, *args, check=True):
        r = subprocess.run([os.path.join(self.bin_dir, program), *args], env=self.env, capture_output=True,
                           text=True, timeout=30)
        if check and r.returncode != 0:
            raise AssertionError(f'{program} {" ".join(args)}: exit {r.returncode}\n{r.stdout}{r.stderr}')
        return r

    def sim(self, *args, check=True):
        return self.run('sorvane-sim', *args, check=check)


def main():
    bin_dir, out_dir = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if not (os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER) and shutil.which('zbarimg')):
        print('skipped: chromium, chromedriver or zbarimg missing')
        return 77
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
        from selenium.common.exceptions import StaleElementReferenceException
        from selenium.webdriver.support.ui import Select
    except ImportError:
        print('skipped: python3-selenium missing')
        return 77
    os.makedirs(out_dir, exist_ok=True)
    for stale in ('failure.png',):
        if os.path.exists(os.path.join(out_dir, stale)):
            os.remove(os.path.join(out_dir, stale))
    root = tempfile.mkdtemp(prefix='sorvane-panel-')
    m = Machine(bin_dir, root)
    log_path = os.path.join(root, 'Sorvane', 'logs', 'sorvane-host.log')
    settings_path = os.path.join(root, 'Sorvane', 'settings.txt')
    host = driver = None

    def log_text():
        try:
            with open(log_path, encoding='utf-8', errors='replace') as f:
                return f.read()
        except FileNotFoundError:
            return ''

    def settings():
        try:
            with open(settings_path, encoding='utf-8') as f:
                return dict(line.split('=', 1) for line in f.read().splitlines() if '=' in line)
        except FileNotFoundError:
            return {}

    try:
        m.sim('init')
        # A café's Wi-Fi, which Windows treats as Public: the host's network watcher warns in the panel.
        m.sim('network', 'add', 'Wi-Fi', 'wifi', '192.168.1.20/24', '--category', 'public')
        host = subprocess.Popen([os.path.join(bin_dir, 'sorvane-host'), '--bind', '127.0.0.1', '--no-gpu-pref',
                                 '--control-port', '0', '--video-port', '0', '--input-port', '0'],
                                env=m.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for('the tray icon', lambda: 'icon 1: idle' in m.sim('tray').stdout)
        say('tray host started; sorvane-sim tray shows:\n' + m.sim('tray').stdout.rstrip())
        control_port = re.search(r'control tcp listening on 127\.0\.0\.1:(\d+)', log_text()).group(1)

        m.sim('tray', 'click', 'left')
        address = wait_for('the panel address in the shell journal',
                           lambda: next((l for l in m.sim('shell').stdout.splitlines() if '/tray.html?' in l), None))
        assert re.fullmatch(r'http://127\.0\.0\.1:\d+/tray\.html\?lang=en&theme=light&token=[0-9a-f]{32}', address), address
        secret = address.rsplit('=', 1)[1]
        say('sorvane-sim tray click left -> the shell opened ' + address.replace(secret, '<secret>'))

        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for a in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                  '--disable-background-networking', '--disable-component-update', '--disable-sync',
                  '--disable-dev-shm-usage', '--window-size=520,900',
                  '--user-data-dir=' + os.path.join(root, 'chromium')):
            options.add_argument(a)
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)

        def viewport(width, height, scale=1):
            driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                                   {'width': width, 'height': height, 'deviceScaleFactor': scale, 'mobile': False})

        def shot(name):
            driver.save_screenshot(os.path.join(out_dir, name + '.png'))

        def fits():
            # Nothing sticks out sideways, and the view's buttons are on the screen.
            overflow = driver.execute_script('return document.documentElement.scrollWidth > window.innerWidth')
            assert not overflow, 'the page is wider than the panel'

        def visible_view():
            return driver.execute_script(
                "return [...document.querySelectorAll('.view')].filter(v => !v.hidden).map(v => v.id).join()")

        def click(selector):
            # The page may redraw between finding an element and clicking it.
            def attempt():
                try:
                    driver.find_element(By.CSS_SELECTOR, selector).click()
                    return True
                except StaleElementReferenceException:
                    return False
            wait_for('a click on ' + selector, attempt)

        def text(element_id):
            return driver.find_element(By.ID, element_id).text

        viewport(380, 560)
        driver.get(address)
        wait_for('"No device connected"', lambda: text('no-device') == 'No device connected')
        fits()
        shot('1-main')
        viewport(380, 560, 1.5)
        fits()
        shot('1-main-150')
        viewport(380, 560)
        assert 'acilis: ilk durum cizildi' in wait_for('the first render', lambda: log_text().count('ilk durum') and log_text())

        # The network warning: blocked asks for the fix; fixed (sent as the watcher would, which takes
        # a firewall pass) says when it was blocked.
        warning = wait_for('the network warning', lambda: next(
            (b.text for b in driver.find_elements(By.CSS_SELECTOR, '#banners .banner.warn')), None))
        assert 'Windows treats this Wi-Fi as a public network' in warning and 'Open network settings' in warning, warning
        banners = driver.execute_script('''
            const saved = state, out = [];
            for (const net of [{wifi: false}, {wifi: false, fixed: true, blocked_at: '14:05'}]) {
              state = Object.assign({}, saved, {net});
              draw();
              const b = document.querySelector('#banners .banner');
              out.push([b.className, b.textContent, !!b.querySelector('button')]);
            }
            state = saved;
            draw();
            return out;''')
        assert banners[0][0] == 'banner warn' and 'treats this network as public' in banners[0][1] and banners[0][2], banners
        assert banners[1] == ['banner info', 'Sorvane was blocked at 14:05; this computer is reachable now.', False], banners

        # Pairing from the panel's code.
        click('#add-device')
        viewport(520, 676)
        wait_for('the pairing view', lambda: visible_view() == 'view-pairqr')
        wait_for('the QR path', lambda: driver.find_element(By.ID, 'qr-path').get_attribute('d').startswith('M'))
        fits()
        shot('2-pairing')
        qr_png = os.path.join(out_dir, '2-pairing-qr.png')
        driver.find_element(By.ID, 'qr-box').screenshot(qr_png)
        decoded = subprocess.run(['zbarimg', '--raw', '-q', qr_png], capture_output=True, text=True).stdout.strip()
        logged = re.findall(r"\[tray-window\] eslestirme URI'si: (\S+)", log_text())
        assert logged and decoded == logged[-1], f'QR {decoded!r} is not the live URI {logged[-1:]!r}'
        assert re.search(r'token=[0-9a-f]{32}', decoded)
        verify = text('verify-code')
        assert re.fullmatch(r'[0-9A-F]{4}-[0-9A-F]{4}', verify), verify
        pairing_port = wait_for('the pairing port', lambda: re.findall(
            r'eslestirme penceresi acildi \((\d+), 120 sn\)', log_text()))[-1]
        paired = m.run('sorvane-viewer', 'pair', decoded, '--address', '127.0.0.1', '--port', pairing_port,
                       '--client-id', 'phone-1', '--name', 'Ayşe "Tel"')
        assert verify in paired.stdout, paired.stdout
        say(f'the QR code of the panel reads {decoded[:40]}...; sorvane-viewer pair with it: paired (verify code {verify})')
        # The next tick or two (1 s each; room left for a busy machine): back on the main view, the phone listed.
        wait_for('the main view after pairing', lambda: visible_view() == 'view-tray', seconds=6)
        items = driver.find_elements(By.CSS_SELECTOR, '#paired li')
        assert [i.get_attribute('data-client-id') for i in items] == ['phone-1']
        assert 'Ayşe "Tel"' in items[0].text
        viewport(380, 560)
        shot('3-main-paired')
        say('the panel went back to its main view and lists the phone')

        # Language and theme reach settings.txt and the page.
        click('#open-settings')
        wait_for('the settings view', lambda: visible_view() == 'view-settings')
        Select(driver.find_element(By.ID, 'lang')).select_by_value('tr')
        wait_for('lang=tr in settings.txt', lambda: settings().get('lang') == 'tr')
        wait_for('the Turkish page', lambda: driver.execute_script('return document.documentElement.lang') == 'tr')
        Select(driver.find_element(By.ID, 'theme')).select_by_value('dark')
        wait_for('theme=dark in settings.txt', lambda: settings().get('theme') == 'dark')
        wait_for('the dark page', lambda: driver.execute_script('return document.documentElement.dataset.theme') == 'dark')
        assert text('version') == '0.1.14'
        fits()
        shot('4-settings-tr-dark')
        click('#open-licenses')
        viewport(520, 640)
        wait_for('the licences view', lambda: visible_view() == 'view-licenses')
        names = text('license-list')
        for lib in ('QR Code generator', 'OpenSSL', 'x264', 'CivetWeb', 'libcurl', 'Avahi'):
            assert lib in names, lib
        shot('5-licenses')
        click('#view-licenses [data-cmd=close_licenses]')
        wait_for('back to settings', lambda: visible_view() == 'view-settings')
        viewport(380, 560)
        click('#open-report')
        wait_for('the report view', lambda: visible_view() == 'view-report')
        click('#create-report')
        wait_for('the report state', lambda: driver.find_element(By.ID, 'report-status').get_attribute('data-state')
                 in ('done', 'error'))
        shot('6-report')
        click('#view-report [data-cmd=close_report]')
        wait_for('back to settings', lambda: visible_view() == 'view-settings')
        Select(driver.find_element(By.ID, 'lang')).select_by_value('en')
        Select(driver.find_element(By.ID, 'theme')).select_by_value('auto')
        wait_for('automatic theme', lambda: 'theme' not in settings())
        click('#view-settings [data-cmd=close_settings]')
        wait_for('the main view', lambda: visible_view() == 'view-tray')

        # Forgetting the phone: off the list, and its next connection is refused.
        click('#paired li[data-client-id="phone-1"] .remove')
        wait_for('the confirmation', lambda: 'Remove?' in text('paired'))
        click('#paired li[data-client-id="phone-1"] .remove')
        wait_for('the empty list', lambda: not driver.find_elements(By.CSS_SELECTOR, '#paired li'))
        refused = m.run('sorvane-viewer', 'connect', '--address', '127.0.0.1', '--port', control_port,
                        '--timeout-ms', '3000', '--no-input', check=False)
        assert refused.returncode == 1 and 'not_paired' in refused.stdout + refused.stderr, refused.stdout + refused.stderr

        # Refusals: no page without the secret or from another origin.
        port = re.search(r':(\d+)/', address).group(1)
        driver.get(f'http://127.0.0.1:{port}/tray.html?lang=en&theme=light')
        assert 'forbidden' in driver.page_source
        assert secret not in log_text(), 'the secret reached the log'

        # Exit from the menu stops the host once.
        m.sim('tray', 'click', 'right')
        wait_for('the open menu', lambda: '1003 Exit' in m.sim('tray').stdout)
        m.sim('tray', 'menu', '1003')
        assert host.wait(timeout=20) == 0
        say('remove device: the phone is forgotten and its next connection is refused (not_paired); '
            'Exit from the tray menu stopped the host')
        assert log_text().count('[host] stopped') == 1
        print(f'panel browser test: passed; screenshots in {out_dir}')
        return 0
    except Exception:  # noqa: BLE001 - the test reports every failure the same way
        traceback.print_exc()
        print('--- host log ---\n' + log_text()[-4000:])
        if driver is not None:
            try:
                driver.save_screenshot(os.path.join(out_dir, 'failure.png'))
            except Exception:  # noqa: BLE001
                pass
        return 1
    finally:
        if driver is not None:
            driver.quit()
        if host is not None and host.poll() is None:
            host.terminate()
            try:
                host.wait(timeout=10)
            except subprocess.TimeoutExpired:
                host.kill()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())

// The panel page: draws the host's state messages and sends its commands.
// The host sends a complete state after every command and once a second;
// the page keeps nothing the host does not send, except the countdown it
// runs between two states.
'use strict';

const TEXTS = {
  en: {
    settings: 'Settings', back: 'Back', noDevice: 'No device connected', disconnect: 'Disconnect',
    pairedDevices: 'Paired devices', noPaired: 'No paired device yet.', addDevice: 'Add device',
    scanHint: 'Open the Sorvane app on your phone or tablet and scan this code.',
    qrMissing: 'The pairing code could not be made.', expiresIn: 'Code expires in', verifyCode: 'Check code:',
    openNetSettings: 'Open network settings', address: 'Address:', copy: 'Copy', bigger: 'Larger code',
    smaller: 'Smaller code', newCode: 'New code', cancel: 'Cancel', language: 'Language', theme: 'Theme',
    auto: 'Automatic', light: 'Light', dark: 'Dark', vibrance: 'Colour vibrance', off: 'Off', vibLight: 'Light',
    vibMedium: 'Medium', vibHigh: 'High', autostart: 'Start with Windows', updateCheck: 'Check for updates',
    computer: 'Computer:', version: 'Version:', encoder: 'Encoder:', reportProblem: 'Report a problem',
    licenses: 'Licences', licensesIntro: 'Sorvane uses these libraries under their licences:',
    reportIntro: 'The report collects logs and a summary of this computer into a ZIP file on your desktop. ' +
      'Addresses and names are masked; paired devices and keys are never included.',
    createReport: 'Create report', reportIdle: 'No report created yet.', reportRunning: 'Creating the report…',
    reportDone: 'Report created on your desktop ({n} files).', reportError: 'The report failed: {e}',
    remove: 'Remove', confirmRemove: 'Remove?', connected: 'connected', phone: 'Phone', tablet: 'Tablet',
    lastSeen: 'last seen {t}', never: 'never connected', offline: 'The connection to Sorvane was lost.',
    netWifi: 'Windows treats this Wi-Fi as a public network or its firewall blocks Sorvane, so your phone ' +
      'may not reach this computer. Set the network to Private.',
    netWired: 'Windows treats this network as public or its firewall blocks Sorvane, so your device may not ' +
      'reach this computer. Set the network to Private.',
    netFixed: 'Sorvane was blocked at {t}; this computer is reachable now.',
    updateKnown: 'Sorvane {v} is out.', download: 'Download', driverProblem: 'The display driver is not ready: {d}',
    dataUnreadable: 'Paired devices could not be read; pair your devices again.',
    tlsRenewed: 'This computer\'s identity was renewed; pair your devices again.', none: '—',
    pairingsUnsaved: 'The list of paired devices could not be saved; a removed device may come back after a restart.',
    hardware: 'hardware', software: 'software',
  },
  tr: {
    settings: 'Ayarlar', back: 'Geri', noDevice: 'Bağlı cihaz yok', disconnect: 'Bağlantıyı kes',
    pairedDevices: 'Eşleşmiş cihazlar', noPaired: 'Henüz eşleşmiş cihaz yok.', addDevice: 'Cihaz ekle',
    scanHint: 'Telefonunda ya da tabletinde Sorvane uygulamasını aç ve bu kodu tara.',
    qrMissing: 'Eşleştirme kodu üretilemedi.', expiresIn: 'Kodun süresi doluyor:', verifyCode: 'Doğrulama kodu:',
    openNetSettings: 'Ağ ayarlarını aç', address: 'Adres:', copy: 'Kopyala', bigger: 'Kodu büyüt',
    smaller: 'Kodu küçült', newCode: 'Yeni kod', cancel: 'Vazgeç', language: 'Dil', theme: 'Tema',
    auto: 'Otomatik', light: 'Açık', dark: 'Koyu', vibrance: 'Renk canlılığı', off: 'Kapalı', vibLight: 'Hafif',
    vibMedium: 'Orta', vibHigh: 'Yüksek', autostart: 'Windows ile başlat', updateCheck: 'Güncellemeleri denetle',
    computer: 'Bilgisayar:', version: 'Sürüm:', encoder: 'Kodlayıcı:', reportProblem: 'Sorun bildir',
    licenses: 'Lisanslar', licensesIntro: 'Sorvane bu kitaplıkları lisanslarıyla kullanır:',
    reportIntro: 'Rapor, günlükleri ve bu bilgisayarın özetini masaüstünde bir ZIP dosyasına toplar. ' +
      'Adresler ve adlar gizlenir; eşleşmiş cihazlar ve anahtarlar asla eklenmez.',
    createReport: 'Rapor oluştur', reportIdle: 'Henüz rapor oluşturulmadı.', reportRunning: 'Rapor oluşturuluyor…',
    reportDone: 'Rapor masaüstüne kaydedildi ({n} dosya).', reportError: 'Rapor oluşturulamadı: {e}',
    remove: 'Kaldır', confirmRemove: 'Kaldırılsın mı?', connected: 'bağlı', phone: 'Telefon', tablet: 'Tablet',
    lastSeen: 'son görülme {t}', never: 'hiç bağlanmadı', offline: 'Sorvane ile bağlantı koptu.',
    netWifi: 'Windows bu Wi-Fi ağını ortak ağ sayıyor ya da güvenlik duvarı Sorvane\'i engelliyor; telefonun ' +
      'bu bilgisayara ulaşamayabilir. Ağı Özel yap.',
    netWired: 'Windows bu ağı ortak ağ sayıyor ya da güvenlik duvarı Sorvane\'i engelliyor; cihazın bu ' +
      'bilgisayara ulaşamayabilir. Ağı Özel yap.',
    netFixed: 'Sorvane engellenmişti (saat {t}); bu bilgisayara artık ulaşılabiliyor.',
    updateKnown: 'Sorvane {v} yayında.', download: 'İndir', driverProblem: 'Ekran sürücüsü hazır değil: {d}',
    dataUnreadable: 'Eşleşmiş cihazlar okunamadı; cihazlarını yeniden eşleştir.',
    tlsRenewed: 'Bu bilgisayarın kimliği yenilendi; cihazlarını yeniden eşleştir.', none: '—',
    pairingsUnsaved: 'Eşleşmiş cihaz listesi kaydedilemedi; kaldırılan bir cihaz yeniden başlatınca geri gelebilir.',
    hardware: 'donanım', software: 'yazılım',
  },
};

const params = new URLSearchParams(location.search);
const token = params.get('token') || '';
let lang = params.get('lang') === 'tr' ? 'tr' : 'en';
let state = null;
let socket = null;
let rendered = false;
let pendingRemove = '';
let countdown = {remaining: 0, total: 120, at: 0};

const $ = (id) => document.getElementById(id);
const t = (key, values) => {
  let s = (TEXTS[lang] && TEXTS[lang][key]) || TEXTS.en[key] || key;
  for (const [k, v] of Object.entries(values || {})) s = s.replace('{' + k + '}', v);
  return s;
};

function send(cmd, members) {
  if (!socket || socket.readyState !== WebSocket.OPEN) return;
  socket.send(JSON.stringify(Object.assign({cmd}, members || {})));
}

function setTheme(theme) {
  document.documentElement.dataset.theme = theme === 'dark' ? 'dark' : 'light';
}

function localise() {
  document.documentElement.lang = lang;
  for (const el of document.querySelectorAll('[data-i18n]')) el.textContent = t(el.dataset.i18n);
  for (const el of document.querySelectorAll('[data-i18n-title]')) {
    el.title = t(el.dataset.i18nTitle);
    el.setAttribute('aria-label', el.title);
  }
}

function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function showView(view) {
  for (const v of ['tray', 'pairqr', 'settings', 'licenses', 'report']) $('view-' + v).hidden = v !== view;
}

function banner(kind, text, button) {
  const b = el('div', 'banner ' + kind);
  b.appendChild(el('p', '', text));
  if (button) {
    const btn = el('button', 'secondary', button.text);
    btn.addEventListener('click', () => send(button.cmd));
    b.appendChild(btn);
  }
  return b;
}

// Redraws a part only when what it shows changed, so that a state arriving
// every second neither flickers nor takes a button away under the pointer.
const drawn = {};
function changed(part, value) {
  const key = JSON.stringify([lang, value]);
  if (drawn[part] === key) return false;
  drawn[part] = key;
  return true;
}

// The network warning stays for the run; once its cause is gone it says so
// instead of asking for the fix again.
function netText(net) {
  return net.fixed ? t('netFixed', {t: net.blocked_at}) : t(net.wifi ? 'netWifi' : 'netWired');
}

function drawBanners(s) {
  if (!changed('banners', [s.update, s.net, s.driver, s.data])) return;
  const box = $('banners');
  box.replaceChildren();
  if (s.update) box.appendChild(banner('info', t('updateKnown', {v: s.update.version}), {text: t('download'), cmd: 'open_update'}));
  if (s.net) {
    box.appendChild(s.net.fixed ? banner('info', netText(s.net))
      : banner('warn', netText(s.net), {text: t('openNetSettings'), cmd: 'open_net_settings'}));
  }
  if (s.driver) box.appendChild(banner('warn', t('driverProblem', {d: s.driver.detail})));
  if (s.data && s.data.pairings_unreadable) box.appendChild(banner('warn', t('dataUnreadable')));
  if (s.data && s.data.tls_renewed) box.appendChild(banner('warn', t('tlsRenewed')));
  if (s.data && s.data.pairings_unsaved) box.appendChild(banner('warn', t('pairingsUnsaved')));
}

function drawMain(s) {
  drawBanners(s);
  const c = s.connected;
  $('no-device').hidden = !!c;
  $('device').hidden = !c;
  if (c) {
    $('device-name').textContent = c.name;
    $('device-usb').hidden = !c.usb;
    $('device-stream').textContent = c.fps ? `${c.width} × ${c.height} · ${c.fps} Hz` : '';
  }
  $('no-paired').hidden = s.paired.length > 0;
  if (!changed('paired', [s.paired, pendingRemove])) return;
  const list = $('paired');
  list.replaceChildren();
  for (const d of s.paired) {
    const li = el('li');
    li.dataset.clientId = d.client_id;
    const info = el('div', 'grow');
    const name = el('p', 'device-name', d.name);
    if (d.connected) name.appendChild(el('span', 'tag', t('connected')));
    info.appendChild(name);
    const kind = d.kind === 'phone' ? t('phone') : d.kind === 'tablet' ? t('tablet') : '';
    const seen = d.last_seen_at ? t('lastSeen', {t: d.last_seen_at.replace('T', ' ').replace('Z', ' UTC')}) : t('never');
    info.appendChild(el('p', 'muted', [kind, seen].filter(Boolean).join(' · ')));
    li.appendChild(info);
    const remove = el('button', 'secondary remove', pendingRemove === d.client_id ? t('confirmRemove') : t('remove'));
    remove.addEventListener('click', () => {
      if (pendingRemove === d.client_id) {
        pendingRemove = '';
        send('remove_device', {client_id: d.client_id});
      } else {
        pendingRemove = d.client_id;
        draw();
      }
    });
    li.appendChild(remove);
    list.appendChild(li);
  }
}

function drawPairing(s) {
  const p = s.pairing;
  $('qr').style.display = p ? '' : 'none';
  $('qr-missing').hidden = !!p;
  $('qr-box').classList.toggle('big', !!(p && p.big));
  $('qr-size').textContent = p && p.big ? t('smaller') : t('bigger');
  if (p) {
    $('qr').setAttribute('viewBox', `0 0 ${p.qr_size} ${p.qr_size}`);
    $('qr-path').setAttribute('d', p.qr_path);
    $('verify-code').textContent = p.verify_code;
    countdown = {remaining: p.remaining_s, total: p.total_s || 120, at: Date.now()};
  } else {
    $('verify-code').textContent = '';
    countdown = {remaining: 0, total: 120, at: Date.now()};
  }
  tick();
  $('pair-net').hidden = !s.net;
  if (s.net) {
    $('pair-net').className = 'banner ' + (s.net.fixed ? 'info' : 'warn');
    $('pair-net-text').textContent = netText(s.net);
    $('pair-net-button').hidden = !!s.net.fixed;
  }
  $('pair-ip').textContent = s.settings.ip || t('none');
  $('copy-ip').hidden = !s.settings.ip;
}

function tick() {
  const left = Math.max(0, countdown.remaining - Math.floor((Date.now() - countdown.at) / 1000));
  $('remaining').textContent = `${Math.floor(left / 60)}:${String(left % 60).padStart(2, '0')}`;
  $('countdown-bar').style.width = `${Math.round((100 * left) / countdown.total)}%`;
}

function drawSettings(s) {
  const st = s.settings;
  $('lang').value = st.lang_override;
  $('theme').value = st.theme_override;
  $('vibrance').value = st.vibrance;
  $('autostart').checked = st.autostart;
  $('update-check').checked = st.update_check;
  $('host-name').textContent = st.host_name;
  $('host-ip').textContent = st.ip || t('none');
  $('version').textContent = st.version;
  $('encoder').textContent = s.encoder
    ? `${s.encoder.name} (${s.encoder.kind === 'mf-sw' ? t('software') : t('hardware')})`
    : t('none');
}

function drawLicenses() {
  const list = $('license-list');
  list.replaceChildren();
  for (const l of THIRD_PARTY_LICENSES) {
    const li = el('li');
    li.appendChild(el('p', 'device-name', l.name));
    li.appendChild(el('p', 'muted', `${l.use[lang] || l.use.en} · ${l.license}`));
    li.appendChild(el('p', 'small', l.copyright));
    const details = el('details');
    details.appendChild(el('summary', '', l.license));
    details.appendChild(el('p', 'small', l.text));
    li.appendChild(details);
    list.appendChild(li);
  }
}

function drawReport(s) {
  const r = s.report;
  const status = $('report-status');
  status.dataset.state = r.state;
  status.textContent = r.state === 'running' ? t('reportRunning')
    : r.state === 'done' ? t('reportDone', {n: r.files})
    : r.state === 'error' ? t('reportError', {e: r.error})
    : t('reportIdle');
  $('create-report').disabled = r.state === 'running';
}

function draw() {
  const s = state;
  if (!s) return;
  if (s.lang !== lang) {
    lang = s.lang;
    localise();
    drawLicenses();
  }
  setTheme(s.theme);
  document.body.dataset.view = s.view;
  showView(s.view);
  drawMain(s);
  drawPairing(s);
  drawSettings(s);
  drawReport(s);
}

function connect() {
  socket = new WebSocket(`ws://${location.host}/bridge?token=${encodeURIComponent(token)}`);
  socket.addEventListener('open', () => {
    $('offline').hidden = true;
    send('ready');
  });
  socket.addEventListener('message', (event) => {
    let message;
    try {
      message = JSON.parse(event.data);
    } catch (e) {
      return;
    }
    if (!message || message.type !== 'state') return;
    state = message;
    draw();
    if (!rendered) {
      rendered = true;
      send('rendered');
    }
  });
  socket.addEventListener('close', () => {
    $('offline').hidden = false;
    setTimeout(connect, 2000);
  });
}

function wire() {
  for (const b of document.querySelectorAll('button[data-cmd]')) {
    b.addEventListener('click', () => send(b.dataset.cmd));
  }
  $('qr-size').addEventListener('click', () => send(state && state.pairing && state.pairing.big ? 'qr_small' : 'qr_big'));
  $('lang').addEventListener('change', (e) => send('set_lang', {lang: e.target.value}));
  $('theme').addEventListener('change', (e) => send('set_theme', {theme: e.target.value}));
  $('vibrance').addEventListener('change', (e) => send('set_vibrance', {level: e.target.value}));
  $('autostart').addEventListener('change', () => send('toggle_autostart'));
  $('update-check').addEventListener('change', () => send('toggle_update_check'));
  setInterval(tick, 250);
}

setTheme(params.get('theme'));
localise();
drawLicenses();
showView('tray');
wire();
connect();

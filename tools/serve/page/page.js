'use strict';
// The page of nmx-view serve: state and actions over fetch, frames over Server-Sent Events.
(function () {
  const token = new URLSearchParams(location.search).get('token');
  const withToken = (path) => token ? path + (path.includes('?') ? '&' : '?') + 'token=' + encodeURIComponent(token) : path;
  const $ = (id) => document.getElementById(id);
  const tbody = document.querySelector('#frames tbody');

  let keep = 10000;
  let frames = [];      // newest last, at most keep
  let byN = new Map();  // the kept frames by their number
  let pending = [];     // arrived while paused
  let paused = false;
  let received = 0, trimmed = 0, dropped = 0, lost = 0;
  let selected = null;
  let filter = () => true;

  const downloads = [$('download-cap'), $('download-pcapng')];
  for (const a of downloads) a.dataset.href = withToken(a.getAttribute('href'));
  // Only while the logger answers and has a capture file; a link cannot be disabled, so it
  // loses its address.
  function enableDownloads(on) {
    for (const a of downloads) {
      a.classList.toggle('disabled', !on);
      a.setAttribute('aria-disabled', String(!on));
      if (on) a.href = a.dataset.href; else a.removeAttribute('href');
    }
  }

  // --- state -------------------------------------------------------------------------------
  const text = (v) => v === null || v === undefined || v === '' ? '-' : String(v);
  // Names come as their bytes, one character each (JSON \u00XX beyond ASCII): a name in UTF-8
  // is shown as what it says.
  const utf8 = (v) => typeof v !== 'string' || !/[\u0080-\u00ff]/.test(v) ? v :
    new TextDecoder().decode(Uint8Array.from(v, (c) => c.charCodeAt(0) & 0xff));
  function filterText(f) {
    if (!f) return '-';
    const parts = [f.active ? 'on' : 'off'];
    if (f.flags && f.flags.length) parts.push('flags ' + f.flags.join(','));
    return parts.join(', ');
  }
  // A single file numbers its frames as the page does: a row the page shows is in the file,
  // so the count is at least the row's number + 1 even before the next state says so.
  let capture = null;
  let highestN = -1;
  function showFrames() {
    if (!capture) return;
    let n = capture.frames;
    if (capture.state === 'capturing' && capture.fileMode === 'single') n = Math.max(n, highestN + 1);
    $('st-frames').textContent = text(n);
  }
  function showState(s) {
    if (s.trigger) showTrigger(s.trigger);
    const link = $('link');
    link.textContent = s.link === 'busy' ? 'another viewer holds the logger' : s.link;
    link.className = 'badge ' + s.link;
    $('link-message').textContent = s.message || '';
    $('st-logger').textContent = s.logger;
    const c = s.capture;
    const state = $('state');
    state.textContent = c ? c.state : 'unknown';
    state.className = 'state ' + (c ? c.state : '');
    $('start').disabled = !c || c.state === 'capturing';
    $('stop').disabled = !c || c.state !== 'capturing';
    enableDownloads(s.link === 'following' && !!c && !!c.captureFile);
    if (!c) return;
    // A new capture numbers its frames from 0 again.
    if (c.state === 'capturing' && (!capture || capture.state !== 'capturing')) highestN = -1;
    capture = c;
    showFrames();
    for (const k of ['frameBytes', 'captureFile', 'fileMode', 'fileSize', 'bufferSize', 'saveName'])
      $('st-' + k).textContent = text(utf8(c[k]));
    $('st-overflows').textContent = c.fileMode !== 'ring' && !c.overflows ? '-' : c.overflows + (c.overflows === 1 ? ' time' : ' times');
    $('st-autoSave').textContent = c.autoSave ? 'on' : 'off';
    $('st-filter').textContent = filterText(c.filter);
    const form = $('settings');
    if (!form.contains(document.activeElement)) {
      $('set-mode').value = c.fileMode;
      $('set-filesize').value = c.fileSize;
      $('set-savename').value = utf8(c.saveName) || '';
    }
  }

  // --- actions -----------------------------------------------------------------------------
  async function act(path, body) {
    const msg = $('action-message');
    msg.className = '';
    msg.textContent = 'working...';
    try {
      const r = await fetch(withToken(path), {
        method: 'POST', headers: { 'X-Nmx-View': '1', 'Content-Type': 'application/x-www-form-urlencoded' },
        body: body ? new URLSearchParams(body) : undefined });
      const o = await r.json();
      msg.textContent = o.ok ? 'done' : o.error;
      if (!o.ok) msg.className = 'bad';
      return o.ok;
    } catch (e) {
      msg.textContent = 'no answer from nmx-view serve: ' + e;
      msg.className = 'bad';
      return false;
    }
  }
  $('start').onclick = () => act('api/start');
  $('stop').onclick = () => act('api/stop');
  $('settings').onsubmit = async (ev) => {
    ev.preventDefault();
    if (!await act('api/set', { what: $('set-mode').value })) return;
    if (!await act('api/set', { what: 'filesize', value: $('set-filesize').value.trim() })) return;
    await act('api/set', { what: 'savename', value: $('set-savename').value.trim() });
  };

  // --- frames ------------------------------------------------------------------------------
  const two = (n) => String(n).padStart(2, '0');
  function localTime(f) {
    if (f.ms === null) return f.time;
    const d = new Date(f.ms);
    const micro = f.time.slice(f.time.indexOf('.'));
    return d.getFullYear() + '-' + two(d.getMonth() + 1) + '-' + two(d.getDate()) + ' ' +
      two(d.getHours()) + ':' + two(d.getMinutes()) + ':' + two(d.getSeconds()) + micro;
  }
  // A response's time after its request; a request shows the time of its answer.
  function micros(us) {
    return us < 1000 ? us + ' µs' : (us / 1000).toFixed(3) + ' ms';
  }
  function rtText(f) {
    if (f.rt !== null && f.rt !== undefined) return micros(f.rt);
    if (f.unanswered) return 'no answer';
    return '';
  }
  function row(f) {
    const tr = document.createElement('tr');
    tr.dataset.n = f.n;
    tr.title = f.line;
    if (f.isError) tr.classList.add('err');
    if (f.unanswered) tr.classList.add('unanswered');
    if (f.seq === selectedSeq) tr.classList.add('selected');
    const cells = [
      ['n', f.n], ['time', localTime(f)], ['sender', f.sender], ['target', f.target],
      ['command', f.command], ['dir', f.dir], ['invoke', f.invoke], ['error', f.error],
      ['length', f.length], ['rt', rtText(f)], ['krp', f.krp]];
    for (const [cls, v] of cells) {
      const td = document.createElement('td');
      td.className = cls;
      td.textContent = v;
      if (cls === 'time') td.title = f.time + ' UTC';
      if (cls === 'dir') td.title = 'flags ' + f.flags;
      if (cls === 'rt' && f.req !== null && f.req !== undefined) td.title = 'answers frame ' + f.req;
      if (cls === 'rt' && f.answeredBy !== undefined) td.title = 'answered by frame ' + f.answeredBy;
      tr.appendChild(td);
    }
    tr.frame = f;
    return tr;
  }
  function hexDump(hex, omitted) {
    let out = '';
    const n = hex.length / 2;
    for (let at = 0; at < n; at += 16) {
      let bytes = '', ascii = '';
      for (let i = at; i < at + 16; i++) {
        if (i < n) {
          const b = hex.substr(i * 2, 2);
          const c = parseInt(b, 16);
          bytes += ' ' + b;
          ascii += c >= 0x20 && c < 0x7f ? String.fromCharCode(c) : '.';
        } else {
          bytes += '   ';
        }
      }
      out += '  ' + at.toString(16).padStart(4, '0') + ' ' + bytes + '  |' + ascii + '|\n';
    }
    if (omitted) out += '  (' + omitted + ' more bytes not shown)\n';
    return out;
  }
  // The table holds rows only for the frames in view and some around them: a page keeps up
  // with a fast capture however many frames it keeps, and stays responsive.
  const wrap = $('table-wrap');
  const table = $('frames');
  const sizer = $('sizer');
  const kAround = 30;   // rows beyond the view on each side
  let rowHeight = 20;   // measured once the first row is drawn
  let shown = [];       // the kept frames that pass the filter, oldest first
  let rebuild = false;  // the rows drawn are no longer a run of shown
  let selectedSeq = null;

  function atBottom() {
    return wrap.scrollTop + wrap.clientHeight >= wrap.scrollHeight - rowHeight;
  }
  // Draws the rows of shown in view, reusing those already drawn; stick scrolls to the end.
  function render(stick) {
    const total = shown.length;
    const visible = Math.ceil(wrap.clientHeight / rowHeight) + 1;
    const head = table.tHead.offsetHeight;
    const at = stick ? total - visible : Math.floor(Math.max(0, wrap.scrollTop - head) / rowHeight);
    const first = Math.max(0, Math.min(at, total - visible) - kAround);
    const last = Math.min(total, Math.max(at, 0) + visible + kAround);
    if (rebuild || first >= last) tbody.replaceChildren();
    rebuild = false;
    if (first < last) {
      const from = shown[first].seq, to = shown[last - 1].seq;
      while (tbody.firstChild && tbody.firstChild.frame.seq < from) tbody.firstChild.remove();
      while (tbody.lastChild && tbody.lastChild.frame.seq > to) tbody.lastChild.remove();
      if (!tbody.firstChild) {
        const frag = document.createDocumentFragment();
        for (let i = first; i < last; i++) frag.appendChild(row(shown[i]));
        tbody.appendChild(frag);
      } else {
        const have = tbody.firstChild.frame.seq, haveLast = tbody.lastChild.frame.seq;
        const before = document.createDocumentFragment(), after = document.createDocumentFragment();
        for (let i = first; i < last && shown[i].seq < have; i++) before.appendChild(row(shown[i]));
        let i = last;
        while (i > first && shown[i - 1].seq > haveLast) i--;
        for (; i < last; i++) after.appendChild(row(shown[i]));
        tbody.insertBefore(before, tbody.firstChild);
        tbody.appendChild(after);
      }
    }
    table.style.marginTop = first * rowHeight + 'px';
    sizer.style.height = (total - last) * rowHeight + 'px';
    if (tbody.rows.length) {
      const h = tbody.rows[0].getBoundingClientRect().height;
      if (h > 0 && Math.abs(h - rowHeight) > 0.5) { rowHeight = h; return render(stick); }
    }
    if (stick) wrap.scrollTop = wrap.scrollHeight;
  }
  let scrolling = false;
  wrap.addEventListener('scroll', () => {
    if (scrolling) return;
    scrolling = true;
    requestAnimationFrame(() => { scrolling = false; render(false); });
  });

  tbody.onclick = (ev) => {
    const tr = ev.target.closest('tr');
    if (!tr || !tr.frame) return;
    for (const s of tbody.querySelectorAll('tr.selected')) s.classList.remove('selected');
    selectedSeq = tr.frame.seq;
    tr.classList.add('selected');
    const hex = $('hex');
    hex.hidden = false;
    hex.textContent = 'frame ' + tr.frame.n + ', ' + tr.frame.bytes.length / 2 + ' bytes\n' +
      tr.frame.line + '\n' + hexDump(tr.frame.bytes, tr.frame.bytesOmitted);
  };

  function makeFilter() {
    const addr = $('f-address').value.trim();
    const port = $('f-port').value.trim();
    const cmd = $('f-command').value.trim().toLowerCase();
    const errors = $('f-errors').checked;
    const words = $('f-text').value.trim().toLowerCase();
    const hasAddr = (a) => a.slice(0, a.lastIndexOf(':')).startsWith(addr);
    const hasPort = (a) => a.slice(a.lastIndexOf(':') + 1) === port;
    return (f) =>
      (!addr || hasAddr(f.sender) || hasAddr(f.target)) &&
      (!port || hasPort(f.sender) || hasPort(f.target)) &&
      (!cmd || f.command.toLowerCase().startsWith(cmd)) &&
      (!errors || f.isError) &&
      (!words || f.line.toLowerCase().includes(words));
  }
  function counts() {
    $('c-shown').textContent = shown.length;
    $('c-kept').textContent = frames.length;
    $('c-received').textContent = received;
    $('c-trimmed').textContent = trimmed;
    $('c-dropped').textContent = dropped;
    $('c-paused').textContent = paused ? pending.length + ' waiting (paused)' : '';
    $('c-lost').textContent = lost ? lost + ' gaps in the capture stream' : '';
  }
  // Frames beyond keep go, oldest first; a view scrolled up stays on the frames it shows.
  function trim(stick) {
    if (frames.length <= keep) return;
    const gone = frames.length - keep;
    trimmed += gone;
    const oldest = frames[gone].seq;
    for (let i = 0; i < gone; i++) if (byN.get(frames[i].n) === frames[i]) byN.delete(frames[i].n);
    frames.splice(0, gone);
    let n = 0;
    while (n < shown.length && shown[n].seq < oldest) n++;
    shown.splice(0, n);
    if (!stick && n) wrap.scrollTop = Math.max(0, wrap.scrollTop - n * rowHeight);
  }
  function redraw() {
    const stick = atBottom();
    shown = frames.filter(filter);
    rebuild = true;
    render(stick);
    counts();
  }
  let queued = [];
  let scheduled = false;
  function flush() {
    scheduled = false;
    const stick = atBottom();
    let batch = queued;
    queued = [];
    // More than keep at once: the older ones would only be drawn to go again.
    if (batch.length > keep) {
      trimmed += batch.length - keep;
      batch = batch.slice(batch.length - keep);
    }
    let marked = false;
    for (const f of batch) {
      frames.push(f);
      byN.set(f.n, f);
      highestN = Math.max(highestN, f.n);
      if (f.req !== null) {
        // The answer came, late or in time: its request shows how long it took.
        const q = byN.get(f.req);
        if (q && q.dir === 'req') { q.unanswered = false; q.rt = f.rt; q.answeredBy = f.n; marked = true; }
      }
      if (filter(f)) shown.push(f);
    }
    if (marked) rebuild = true;
    trim(stick);
    render(stick);
    counts();
    showFrames();
    analysisDirty = true;
  }
  // A request that got no answer in time; it may still wait to be drawn.
  function markUnanswered(n) {
    let q = byN.get(n);
    for (const list of [queued, pending]) {
      for (let i = list.length - 1; !q && i >= 0; i--) if (list[i].n === n) q = list[i];
    }
    if (!q || q.dir !== 'req' || (q.rt !== null && q.rt !== undefined)) return;
    q.unanswered = true;
    if (byN.get(n) !== q) return;
    rebuild = true;
    analysisDirty = true;
    if (!scheduled) { scheduled = true; requestAnimationFrame(flush); }
  }
  function take(f) {
    f.seq = ++received;
    if (paused) {
      pending.push(f);
      if (pending.length > keep) { trimmed += pending.length - keep; pending.splice(0, pending.length - keep); }
    } else {
      // A page the browser does not draw (a tab in the background) holds no more than it keeps.
      if (queued.length >= 2 * keep) { trimmed += queued.length - keep; queued.splice(0, queued.length - keep); }
      queued.push(f);
    }
    // The counts too are drawn once per frame of the browser, not once per event.
    if (!scheduled) { scheduled = true; requestAnimationFrame(flush); }
  }

  for (const id of ['f-address', 'f-port', 'f-command', 'f-text'])
    $(id).addEventListener('input', () => { filter = makeFilter(); redraw(); });
  $('f-errors').addEventListener('change', () => { filter = makeFilter(); redraw(); });
  $('filters').onsubmit = (ev) => ev.preventDefault();
  $('keep').addEventListener('change', () => {
    const n = parseInt($('keep').value, 10);
    if (n > 0) { keep = n; trim(atBottom()); redraw(); }
  });
  $('pause').onclick = () => {
    paused = !paused;
    $('pause').textContent = paused ? 'Resume' : 'Pause';
    if (!paused) {
      for (const f of pending) queued.push(f);
      pending = [];
      if (!scheduled) { scheduled = true; requestAnimationFrame(flush); }
    }
    counts();
  };
  $('clear').onclick = () => {
    frames = []; pending = []; shown = []; queued = []; byN = new Map(); analysisDirty = true;
    rebuild = true; render(true); $('hex').hidden = true; counts();
  };

  // --- frames/s and errors/s ------------------------------------------------------------
  // One sample a second from serve, which counts every frame it follows, also those a page
  // that cannot keep up never gets.
  const kRateSeconds = 300;
  let rates = [];
  function addRate(r) {
    const s = r.s > 0 ? r.s : 1;
    rates.push({ t: r.t, fps: r.frames / s, eps: r.errors / s });
    while (rates.length && rates[0].t < r.t - kRateSeconds * 1000) rates.shift();
    $('rate-now').textContent = '(now ' + Math.round(rates[rates.length - 1].fps) + ' frames/s, ' +
      Math.round(rates[rates.length - 1].eps) + ' errors/s)';
    drawRates();
  }
  // A round scale above the largest value: 1, 2 or 5 times a power of ten.
  function niceMax(v) {
    if (!(v > 0)) return 1;
    const p = Math.pow(10, Math.floor(Math.log10(v)));
    for (const m of [1, 2, 5, 10]) if (m * p >= v) return m * p;
    return 10 * p;
  }
  function drawRates() {
    const canvas = $('rate-plot');
    const w = canvas.clientWidth || canvas.width, h = canvas.clientHeight || canvas.height;
    const ratio = window.devicePixelRatio || 1;
    if (canvas.width !== Math.round(w * ratio)) { canvas.width = Math.round(w * ratio); canvas.height = Math.round(h * ratio); }
    const g = canvas.getContext('2d');
    g.setTransform(ratio, 0, 0, ratio, 0, 0);
    g.clearRect(0, 0, w, h);
    const left = 56, right = 56, top = 8, bottom = 18;
    const pw = w - left - right, ph = h - top - bottom;
    const now = rates.length ? rates[rates.length - 1].t : Date.now();
    const x = (t) => left + pw * (1 - (now - t) / (kRateSeconds * 1000));
    const fMax = niceMax(Math.max(0, ...rates.map((r) => r.fps)));
    const eMax = niceMax(Math.max(0, ...rates.map((r) => r.eps)));
    g.font = '11px system-ui, sans-serif';
    g.strokeStyle = '#d9dee7';
    g.fillStyle = '#667085';
    g.lineWidth = 1;
    for (let i = 0; i <= 4; i++) {
      const y = top + ph * i / 4;
      g.beginPath(); g.moveTo(left, y); g.lineTo(left + pw, y); g.stroke();
      g.textAlign = 'right'; g.fillStyle = '#2458c6';
      g.fillText(String(Math.round(fMax * (4 - i) / 4)), left - 6, y + 4);
      g.textAlign = 'left'; g.fillStyle = '#b42318';
      g.fillText(String(+(eMax * (4 - i) / 4).toPrecision(3)), left + pw + 6, y + 4);
    }
    g.fillStyle = '#667085';
    g.textAlign = 'center';
    for (let m = 0; m <= 5; m++) g.fillText(m ? '-' + m + ' min' : 'now', x(now - m * 60000), h - 4);
    for (const [key, max, colour] of [['fps', fMax, '#2458c6'], ['eps', eMax, '#b42318']]) {
      g.strokeStyle = colour;
      g.lineWidth = 1.5;
      g.beginPath();
      rates.forEach((r, i) => {
        const px = x(r.t), py = top + ph * (1 - r[key] / max);
        if (i) g.lineTo(px, py); else g.moveTo(px, py);
      });
      g.stroke();
    }
    canvas.dataset.points = rates.length;
  }
  window.addEventListener('resize', drawRates);

  // --- response times of the kept frames --------------------------------------------------
  // The buckets of serve's /metrics histogram, in microseconds.
  const kBuckets = [100, 250, 500, 1000, 2500, 5000, 10000, 25000, 50000, 100000, 250000, 500000,
    1000000, 2500000, 5000000, 10000000];
  let analysisDirty = false;
  const bucketLabel = (us) => us < 1000 ? us + 'µs' : us < 1000000 ? us / 1000 + 'ms' : us / 1000000 + 's';
  function percentile(sorted, p) {
    if (!sorted.length) return '';
    return sorted[Math.min(sorted.length - 1, Math.ceil(p / 100 * sorted.length) - 1)];
  }
  // As nmx-cap stats counts them: per target and command (and index group), requests, answered,
  // unanswered, errors by code and the response times.
  function analyse() {
    const groups = new Map();
    const byCommand = new Map();
    const entry = (f, target) => {
      const command = f.command.replace(/\(\d+\)$/, '');
      const key = target + ' ' + command + ' ' + (f.group || '');
      let e = groups.get(key);
      if (!e) {
        e = { target, command, group: f.group || '', requests: 0, answered: 0, unanswered: 0, errors: new Map(), times: [] };
        groups.set(key, e);
      }
      return e;
    };
    for (const f of frames) {
      if (f.dir === 'req') {
        const e = entry(f, f.target);
        e.requests++;
        if (f.unanswered) e.unanswered++;
        continue;
      }
      if (f.rt === null) continue;
      const e = entry(f, f.sender);
      e.answered++;
      e.times.push(f.rt);
      if (f.isError) {
        const m = /(?:^| )result=(0x[0-9A-Fa-f]+)/.exec(f.krp);
        const code = f.errorCode !== 0 ? 'NMX ' + f.error : m ? m[1] : '?';
        e.errors.set(code, (e.errors.get(code) || 0) + 1);
      }
      let counts = byCommand.get(e.command);
      if (!counts) { counts = new Array(kBuckets.length + 1).fill(0); byCommand.set(e.command, counts); }
      let b = 0;
      while (b < kBuckets.length && f.rt > kBuckets[b]) b++;
      counts[b]++;
    }
    return { groups: [...groups.values()].sort((a, b) => a.target.localeCompare(b.target) || a.command.localeCompare(b.command) || a.group.localeCompare(b.group)), byCommand };
  }
  function drawAnalysis() {
    analysisDirty = false;
    const { groups, byCommand } = analyse();
    const body = document.querySelector('#stats tbody');
    const rowsOut = document.createDocumentFragment();
    for (const e of groups) {
      const times = e.times.sort((a, b) => a - b);
      const errors = [...e.errors].map(([code, n]) => code + ': ' + n).join(', ');
      const tr = document.createElement('tr');
      for (const v of [e.target, e.command, e.group, e.requests, e.answered, e.unanswered, errors || '0',
        times.length ? times[0] : '', percentile(times, 50), percentile(times, 99), times.length ? times[times.length - 1] : '']) {
        const td = document.createElement('td');
        td.textContent = v;
        tr.appendChild(td);
      }
      rowsOut.appendChild(tr);
    }
    body.replaceChildren(rowsOut);
    const svgNs = 'http://www.w3.org/2000/svg';
    const figures = document.createDocumentFragment();
    for (const [command, counts] of [...byCommand].sort()) {
      const fig = document.createElement('figure');
      const svg = document.createElementNS(svgNs, 'svg');
      const bw = 14, h = 80, max = Math.max(...counts);
      svg.setAttribute('width', counts.length * bw + 4);
      svg.setAttribute('height', h + 14);
      counts.forEach((n, i) => {
        const bar = document.createElementNS(svgNs, 'rect');
        const bh = max ? Math.max(n ? 1 : 0, Math.round(h * n / max)) : 0;
        bar.setAttribute('x', 2 + i * bw);
        bar.setAttribute('y', h - bh);
        bar.setAttribute('width', bw - 2);
        bar.setAttribute('height', bh);
        bar.setAttribute('fill', '#2458c6');
        const title = document.createElementNS(svgNs, 'title');
        title.textContent = (i < kBuckets.length ? '≤ ' + bucketLabel(kBuckets[i]) : '> ' + bucketLabel(kBuckets[kBuckets.length - 1])) + ': ' + n;
        bar.appendChild(title);
        svg.appendChild(bar);
      });
      for (const [i, label] of [[0, bucketLabel(kBuckets[0])], [6, bucketLabel(kBuckets[6])], [12, bucketLabel(kBuckets[12])]]) {
        const t = document.createElementNS(svgNs, 'text');
        t.setAttribute('x', 2 + i * bw);
        t.setAttribute('y', h + 12);
        t.setAttribute('font-size', '10');
        t.setAttribute('fill', '#667085');
        t.textContent = label;
        svg.appendChild(t);
      }
      const cap = document.createElement('figcaption');
      cap.textContent = command + ' (' + counts.reduce((a, b) => a + b, 0) + ' answers)';
      fig.appendChild(cap);
      fig.appendChild(svg);
      figures.appendChild(fig);
    }
    $('histograms').replaceChildren(figures);
  }
  // At most every 2 seconds, and only while it is open.
  setInterval(() => { if (analysisDirty && $('analysis').open) drawAnalysis(); }, 2000);
  $('analysis').addEventListener('toggle', () => { if ($('analysis').open) drawAnalysis(); });

  // --- trigger ----------------------------------------------------------------------------
  $('trigger').onsubmit = (ev) => {
    ev.preventDefault();
    const body = { what: $('trigger-what').value.trim() };
    body[$('trigger-unit').value === 'ms' ? 'afterTime' : 'after'] = $('trigger-after').value.trim() || '0';
    act('api/trigger', body);
  };
  $('trigger-disarm').onclick = () => act('api/trigger', { what: '' });
  function showTrigger(t) {
    const el = $('trigger-state');
    const after = t.afterMs !== null ? t.afterMs + ' ms' : t.after + ' frames';
    el.className = t.stage === 'armed' || t.stage === 'fired' ? 'armed' : t.stage === 'stopped' ? 'done' : t.stage === 'failed' ? 'bad' : '';
    $('trigger-disarm').disabled = t.stage !== 'armed' && t.stage !== 'fired';
    if (t.stage === 'off') el.textContent = '';
    else if (t.stage === 'armed') el.textContent = 'armed: the capture stops ' + after + ' after the first "' + t.what + '"';
    else if (t.stage === 'fired') el.textContent = 'fired by frame ' + t.frame + ' (' + t.why + '); the capture stops ' + after + ' after it';
    else if (t.stage === 'stopped') el.textContent = 'frame ' + t.frame + ' (' + t.why + '): ' + utf8(t.place);
    else el.textContent = 'the trigger fired, but the capture could not be stopped: ' + t.message;
    el.title = t.line || '';
  }

  // --- events ------------------------------------------------------------------------------
  // The server counts drops per connection; a reconnected stream counts from 0 again.
  let droppedBefore = 0;
  function connect() {
    const events = new EventSource(withToken('events'));
    events.addEventListener('state', (e) => showState(JSON.parse(e.data)));
    events.addEventListener('frame', (e) => take(JSON.parse(e.data)));
    events.addEventListener('unanswered', (e) => markUnanswered(JSON.parse(e.data).n));
    events.addEventListener('rate', (e) => addRate(JSON.parse(e.data)));
    events.onopen = () => { droppedBefore = dropped; };
    events.addEventListener('dropped', (e) => { dropped = droppedBefore + JSON.parse(e.data).dropped; counts(); });
    events.addEventListener('lost', () => { lost++; counts(); });
    events.onerror = () => {
      enableDownloads(false);
      $('link').textContent = 'no connection to nmx-view serve';
      $('link').className = 'badge unreachable';
      // The browser tries again by itself, except after a refusal (too many pages open).
      if (events.readyState === EventSource.CLOSED) setTimeout(connect, 5000);
    };
  }
  enableDownloads(false);
  connect();
  counts();
})();

'use strict';
// The page of nmx-view serve: state and actions over fetch, frames over Server-Sent Events.
(function () {
  const token = new URLSearchParams(location.search).get('token');
  const withToken = (path) => token ? path + (path.includes('?') ? '&' : '?') + 'token=' + encodeURIComponent(token) : path;
  const $ = (id) => document.getElementById(id);
  const tbody = document.querySelector('#frames tbody');

  let keep = 10000;
  let frames = [];      // newest last, at most keep
  let pending = [];     // arrived while paused
  let paused = false;
  let received = 0, trimmed = 0, dropped = 0, lost = 0;
  let selected = null;
  let filter = () => true;

  for (const a of [$('download-cap'), $('download-pcapng')]) a.href = withToken(a.getAttribute('href'));

  // --- state -------------------------------------------------------------------------------
  const text = (v) => v === null || v === undefined || v === '' ? '-' : String(v);
  function filterText(f) {
    if (!f) return '-';
    const parts = [f.active ? 'on' : 'off'];
    if (f.flags && f.flags.length) parts.push('flags ' + f.flags.join(','));
    return parts.join(', ');
  }
  function showState(s) {
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
    if (!c) return;
    for (const k of ['frames', 'frameBytes', 'overflows', 'captureFile', 'fileMode', 'fileSize', 'bufferSize', 'saveName'])
      $('st-' + k).textContent = text(c[k]);
    $('st-autoSave').textContent = c.autoSave ? 'on' : 'off';
    $('st-filter').textContent = filterText(c.filter);
    const form = $('settings');
    if (!form.contains(document.activeElement)) {
      $('set-mode').value = c.fileMode;
      $('set-filesize').value = c.fileSize;
      $('set-savename').value = c.saveName || '';
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
  function row(f) {
    const tr = document.createElement('tr');
    tr.dataset.n = f.n;
    tr.title = f.line;
    if (f.errorCode !== 0) tr.classList.add('err');
    if (f.seq === selectedSeq) tr.classList.add('selected');
    const cells = [
      ['n', f.n], ['time', localTime(f)], ['sender', f.sender], ['target', f.target],
      ['command', f.command], ['dir', f.dir], ['invoke', f.invoke], ['error', f.error],
      ['length', f.length], ['krp', f.krp]];
    for (const [cls, v] of cells) {
      const td = document.createElement('td');
      td.className = cls;
      td.textContent = v;
      if (cls === 'time') td.title = f.time + ' UTC';
      if (cls === 'dir') td.title = 'flags ' + f.flags;
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
      (!errors || f.errorCode !== 0 || /(^| )result=(?!0x0\b)/.test(f.krp)) &&
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
    for (const f of batch) {
      frames.push(f);
      if (filter(f)) shown.push(f);
    }
    trim(stick);
    render(stick);
    counts();
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
    frames = []; pending = []; shown = []; queued = [];
    rebuild = true; render(true); $('hex').hidden = true; counts();
  };

  // --- events ------------------------------------------------------------------------------
  // The server counts drops per connection; a reconnected stream counts from 0 again.
  let droppedBefore = 0;
  function connect() {
    const events = new EventSource(withToken('events'));
    events.addEventListener('state', (e) => showState(JSON.parse(e.data)));
    events.addEventListener('frame', (e) => take(JSON.parse(e.data)));
    events.onopen = () => { droppedBefore = dropped; };
    events.addEventListener('dropped', (e) => { dropped = droppedBefore + JSON.parse(e.data).dropped; counts(); });
    events.addEventListener('lost', () => { lost++; counts(); });
    events.onerror = () => {
      $('link').textContent = 'no connection to nmx-view serve';
      $('link').className = 'badge unreachable';
      // The browser tries again by itself, except after a refusal (too many pages open).
      if (events.readyState === EventSource.CLOSED) setTimeout(connect, 5000);
    };
  }
  connect();
  counts();
})();

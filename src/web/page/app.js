// The web remote of pipd: shows what plays and the queue, live through
// the event stream, and sends commands.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const REPEAT_NAMES = ['Repeat all', 'Repeat one', 'Repeat folder'];
  const STATE_NAMES = { play: 'playing', pause: 'paused', poweroff: 'off' };

  let record = null;        // the newest status record
  let receivedAt = 0;       // when it came (performance.now())
  let daemonUp = false;
  let serverUp = false;
  let queue = [];           // entries as /api/queue gives them
  let byPath = new Map();   // entry path -> entry
  let queueKey = null;      // what the queue shown belongs to
  let shownEntry = null;    // entry number highlighted
  let shownCue = -2;
  let lastCommand = null;
  let seekTarget = null;    // ms into the track shown, while held or sent
  let seekPointer = null;   // the pointer holding the bar
  let token = localStorage.getItem('pipd-token') || '';
  let tagsByEntry = new Map(); // entry -> its tags, as /api/tracks gives them
  let unread = new Set();   // the first entries of batches not all read yet
  let tagsRound = 0;        // bumped by a new queue: older answers are dropped
  let tagsTimer = null;
  let shownTrackKey = null; // what the cover and tags shown belong to
  const TAG_BATCH = 500;

  // A link may carry the token: http://board:8080/#token=SECRET
  if (location.hash.startsWith('#token=')) {
    token = decodeURIComponent(location.hash.slice(7));
    localStorage.setItem('pipd-token', token);
    history.replaceState(null, '', location.pathname);
  }

  const num = (v) => {
    const n = parseInt(v, 10);
    return Number.isFinite(n) ? n : 0;
  };
  const clock = (ms) => {
    const s = Math.max(0, Math.floor(ms / 1000));
    const h = Math.floor(s / 3600);
    const m = Math.floor(s / 60) % 60;
    const ss = String(s % 60).padStart(2, '0');
    return h ? `${h}:${String(m).padStart(2, '0')}:${ss}` : `${m}:${ss}`;
  };
  const splitPath = (path) => {
    const i = path.lastIndexOf('/');
    return i < 0 ? ['', path] : [path.slice(0, i), path.slice(i + 1)];
  };
  // Folders read better without the mount point every path starts with.
  const folderName = (folder) => folder.replace(/^media\/pi\/?/, '') || '/';

  // ---- Banner ----------------------------------------------------------
  function updateBanner() {
    const b = $('banner');
    let text = '';
    if (!serverUp) text = 'Cannot reach pipd-web. Trying again…';
    else if (!daemonUp) text = 'The player (pipd) is not running.';
    b.textContent = text;
    b.hidden = !text;
  }

  // ---- What plays --------------------------------------------------------
  // The queue entry of the status's track text, and the disc image track
  // title that may follow the entry's path (" >title").
  function locate(track) {
    if (byPath.has(track)) return { entry: byPath.get(track), disc: null };
    for (let i = track.indexOf(' >'); i >= 0; i = track.indexOf(' >', i + 1)) {
      const path = track.slice(0, i);
      if (byPath.has(path)) return { entry: byPath.get(path), disc: track.slice(i + 2) };
    }
    return { entry: null, disc: null };
  }

  // The cue track playing at els (-1 before the first).
  function cueAt(entry, els) {
    if (!entry || !entry.tracks) return -1;
    let k = 0;
    while (k < entry.tracks.length && els >= entry.tracks[k].start) k++;
    return k - 1;
  }

  function current() {
    if (!record) return null;
    const state = record.status;
    const track = record.track || '';
    const length = num(record.length);
    let els = num(record.els);
    // Between records the time runs on by itself while playing.
    if (state === 'play' && daemonUp) els += performance.now() - receivedAt;
    if (length > 0) els = Math.min(els, length);
    const where = locate(track);
    const cue = cueAt(where.entry, els);
    return { state, track, length, els, entry: where.entry, disc: where.disc, cue };
  }

  function render() {
    const c = current();
    document.body.dataset.state = c && daemonUp ? c.state : 'unknown';
    if (!c) return;
    $('state').textContent = daemonUp ? STATE_NAMES[c.state] || c.state : 'not running';
    $('repeat-mode').textContent = REPEAT_NAMES[num(record.repeat)] || '';
    $('repeat-label').textContent = REPEAT_NAMES[num(record.repeat)] || 'Repeat';
    $('power-label').textContent = c.state === 'poweroff' ? 'Turn on' : 'Turn off';

    const path = c.entry ? c.entry.path : c.track;
    const hasPath = path.includes('/');
    const [folder, file] = hasPath ? splitPath(path) : ['', path];
    $('folder').textContent = hasPath ? folderName(folder) : '';
    $('file').textContent = file || '\u00a0';
    showTags(c, file);
    let title = '';
    if (c.disc !== null) title = c.disc;
    else if (c.cue >= 0) {
      // Once the tags name the cue track as the sheet does, its number is enough.
      const cueTitle = c.entry.tracks[c.cue].title;
      const named = $('title').dataset.tagged && $('title').textContent === cueTitle;
      title = named ? `Track ${c.cue + 1}` : `${c.cue + 1}. ${cueTitle}`;
    }
    $('track').textContent = title;
    $('track').hidden = !title;
    tick();
    highlight(c);
  }

  // ---- Tags and cover of what plays ------------------------------------------
  function setTags(title, artist, album) {
    $('title').textContent = title || '\u00a0';
    $('artist').textContent = artist || '';
    $('album').textContent = album || '';
  }

  function showCover(url) {
    const img = $('cover');
    // Shown only once it loaded: never a broken image.
    img.hidden = true;
    $('cover-none').hidden = false;
    if (url) img.src = url;
    else img.removeAttribute('src');
  }
  $('cover').addEventListener('load', () => {
    $('cover').hidden = false;
    $('cover-none').hidden = true;
  });
  $('cover').addEventListener('error', () => {
    $('cover').hidden = true;
    $('cover-none').hidden = false;
  });

  async function showTags(c, file) {
    const key = c.entry ? `${queueKey}/${c.entry.entry}/${c.cue}` : null;
    // Until the tags come, the file's name.
    $('file').hidden = !$('title').dataset.tagged;
    if (key === shownTrackKey) return;
    shownTrackKey = key;
    delete $('title').dataset.tagged;
    $('file').hidden = true;
    setTags(file, '', '');
    if (!c.entry) return showCover(null);
    const q = `entry=${c.entry.entry}` + (c.cue >= 0 ? `&track=${c.cue}` : '');
    let t = null;
    try {
      const r = await fetch(`/api/track?${q}`, { cache: 'no-store' });
      if (r.ok) t = await r.json();
    } catch (e) {
      /* the event stream tells when the server is gone */
    }
    if (key !== shownTrackKey) return;
    showCover(t && t.art ? `/api/art?entry=${c.entry.entry}` : null);
    if (!t || !t.title) return;
    $('title').dataset.tagged = '1';
    $('file').hidden = false;
    setTags(t.title, t.artist, t.album);
    render();
  }

  // What the clock and the bar count: the cue track's own when one plays.
  // start: where it begins in the file (els counts from there).
  function shownTrack(c) {
    let start = 0;
    let end = c.length;
    if (c.cue >= 0) {
      const tracks = c.entry.tracks;
      start = tracks[c.cue].start;
      end = c.cue + 1 < tracks.length ? tracks[c.cue + 1].start : c.length;
    }
    return { start, span: Math.max(0, end - start) };
  }

  function tick() {
    const c = current();
    if (!c) return;
    const { start, span } = shownTrack(c);
    // While the bar is held, or a seek is on its way, the target shows.
    const at = seekTarget !== null ? seekTarget : Math.max(0, c.els - start);
    $('elapsed').textContent = clock(at);
    $('length').textContent = clock(span);
    $('bar').style.transform = `scaleX(${span > 0 ? Math.min(1, at / span) : 0})`;
    const seek = $('seek');
    seek.setAttribute('aria-valuemax', String(Math.floor(span / 1000)));
    seek.setAttribute('aria-valuenow', String(Math.floor(Math.min(at, span) / 1000)));
    seek.setAttribute('aria-valuetext', `${clock(at)} of ${clock(span)}`);
  }

  function highlight(c) {
    const entryNo = c.entry ? c.entry.entry : null;
    if (entryNo === shownEntry && c.cue === shownCue) return;
    for (const el of document.querySelectorAll('.current')) el.classList.remove('current');
    for (const el of document.querySelectorAll('.cue.disc')) el.remove();
    if (entryNo !== null) {
      const el = document.querySelector(`.entry[data-entry="${entryNo}"]`);
      if (el) {
        el.classList.add('current');
        if (c.disc !== null) {
          const d = document.createElement('div');
          d.className = 'cue disc current';
          d.textContent = c.disc;
          el.after(d);
        }
        const cueEl = document.querySelector(`.cue[data-entry="${entryNo}"][data-track="${c.cue}"]`);
        if (cueEl) cueEl.classList.add('current');
        // On a phone the player scrolls away with the queue: the queue
        // follows what plays only while it is scrolled into.
        const player = document.querySelector('.player');
        const follow = getComputedStyle(player).position === 'sticky' || window.scrollY >= player.offsetHeight;
        if (entryNo !== shownEntry && follow) (cueEl || el).scrollIntoView({ block: 'nearest' });
      }
    }
    shownEntry = entryNo;
    shownCue = c.cue;
  }

  function applyRecord(r) {
    if (!r || typeof r !== 'object' || !('status' in r)) return;
    record = r;
    receivedAt = performance.now();
    daemonUp = true;
    updateBanner();
    const key = `${r.randid}/${r.playqueueCount}`;
    if (key !== queueKey) {
      queueKey = key;
      loadQueue();
    }
    render();
  }

  // ---- Queue ---------------------------------------------------------------
  async function loadQueue() {
    try {
      const r = await fetch('/api/queue', { cache: 'no-store' });
      if (!r.ok) return;
      const j = await r.json();
      queue = Array.isArray(j.entries) ? j.entries : [];
    } catch (e) {
      return;
    }
    byPath = new Map(queue.map((e) => [e.path, e]));
    tagsByEntry = new Map();
    unread = new Set();
    for (let i = 0; i < queue.length; i += TAG_BATCH) unread.add(i);
    tagsRound++;
    clearTimeout(tagsTimer);
    renderQueue();
    render();
    loadTags();
  }

  // ---- Tags of the queue ---------------------------------------------------
  // An entry's line: its title (with its artist where that is not the album's)
  // where it has one, else its file name.
  function entryLabel(e, file) {
    const t = tagsByEntry.get(e.entry);
    if (!t || !t.title) return file;
    return t.artist && t.artist !== t.albumartist ? `${t.title} \u2014 ${t.artist}` : t.title;
  }
  function searchText(e) {
    const t = tagsByEntry.get(e.entry) || {};
    const words = [e.path, t.title, t.artist, t.album, t.albumartist, t.genre, t.date];
    for (const k of e.tracks || []) words.push(k.title);
    return words.filter(Boolean).join('\n').toLowerCase();
  }

  // Asks for the tags of count entries from from; how many are not read yet.
  async function fetchTags(from, count) {
    const round = tagsRound;
    try {
      const r = await fetch(`/api/tracks?from=${from}&count=${count}`, { cache: 'no-store' });
      if (!r.ok || round !== tagsRound) return -1;
      const j = await r.json();
      const byEntry = new Map(queue.map((e) => [e.entry, e]));
      let changed = false;
      for (const t of Array.isArray(j.entries) ? j.entries : []) {
        const e = t && byEntry.get(t.entry);
        if (!e || t.pending) continue;
        tagsByEntry.set(t.entry, t);
        const b = document.querySelector(`.entry[data-entry="${t.entry}"]`);
        if (!b) continue;
        b.textContent = entryLabel(e, splitPath(e.path)[1]);
        b.dataset.search = searchText(e);
        changed = true;
      }
      if (changed && $('filter').value.trim()) applyFilter();
      return typeof j.pending === 'number' ? j.pending : -1;
    } catch (e) {
      return -1;
    }
  }

  // The entries in view: their place in the queue and how many.
  function visibleRange() {
    const entries = document.querySelectorAll('.entry');
    let first = 0;
    for (let i = 0; i < entries.length; i++) {
      if (entries[i].getBoundingClientRect().bottom > 0) {
        first = i;
        break;
      }
    }
    return [first, Math.ceil(window.innerHeight / 40) + 5];
  }

  // All batches not read yet, then those in view, which the server reads
  // first, the last asked first; again while some are not read.
  async function loadTags() {
    const round = tagsRound;
    for (const from of [...unread]) {
      const pending = await fetchTags(from, TAG_BATCH);
      if (round !== tagsRound) return;
      if (pending === 0) unread.delete(from);
    }
    if (queue.length) await fetchTags(...visibleRange());
    if (unread.size && round === tagsRound) tagsTimer = setTimeout(loadTags, 2000);
  }
  let scrollTimer = null;
  window.addEventListener('scroll', () => {
    clearTimeout(scrollTimer);
    scrollTimer = setTimeout(() => {
      if (unread.size) fetchTags(...visibleRange());
    }, 200);
  }, { passive: true });

  function renderQueue() {
    const list = $('queue');
    const parts = [];
    let lastFolder = null;
    for (const e of queue) {
      const [folder, file] = splitPath(e.path);
      if (folder !== lastFolder) {
        const h = document.createElement('div');
        h.className = 'folder-head';
        h.textContent = folderName(folder);
        h.dataset.folder = folder;
        parts.push(h);
        lastFolder = folder;
      }
      const b = document.createElement('button');
      b.type = 'button';
      b.className = 'entry';
      b.dataset.entry = e.entry;
      b.dataset.folder = folder;
      b.textContent = entryLabel(e, file);
      parts.push(b);
      for (const t of e.tracks || []) {
        const tb = document.createElement('button');
        tb.type = 'button';
        tb.className = 'cue';
        tb.dataset.entry = e.entry;
        tb.dataset.track = t.track;
        tb.textContent = `${t.track + 1}. ${t.title}`;
        parts.push(tb);
      }
      b.dataset.search = searchText(e);
    }
    list.replaceChildren(...parts);
    $('queue-empty').hidden = queue.length > 0;
    shownEntry = null;
    shownCue = -2;
    applyFilter();
  }

  function applyFilter() {
    const words = $('filter').value.toLowerCase().split(/\s+/).filter(Boolean);
    const visibleFolders = new Set();
    for (const b of document.querySelectorAll('.entry')) {
      const show = words.every((w) => b.dataset.search.includes(w));
      b.hidden = !show;
      for (const t of document.querySelectorAll(`.cue[data-entry="${b.dataset.entry}"]`)) t.hidden = !show;
      if (show) visibleFolders.add(b.dataset.folder);
    }
    for (const h of document.querySelectorAll('.folder-head')) h.hidden = !visibleFolders.has(h.dataset.folder);
  }

  // ---- Commands --------------------------------------------------------------
  async function command(body) {
    lastCommand = body;
    const headers = { 'Content-Type': 'application/json' };
    if (token) headers.Authorization = `Bearer ${token}`;
    let r;
    try {
      r = await fetch('/api/command', { method: 'POST', headers, body: JSON.stringify(body) });
    } catch (e) {
      serverUp = false;
      updateBanner();
      return;
    }
    if (r.status === 401 || r.status === 403) {
      $('token-form').hidden = false;
      $('token').focus();
      return;
    }
    const j = await r.json().catch(() => null);
    if (r.ok) applyRecord(j);
    else if (r.status === 503) {
      daemonUp = false;
      updateBanner();
      render();
    }
  }

  $('token-form').addEventListener('submit', (ev) => {
    ev.preventDefault();
    token = $('token').value;
    localStorage.setItem('pipd-token', token);
    $('token-form').hidden = true;
    if (lastCommand) command(lastCommand);
  });

  const simple = { prev: 'prev', next: 'next', 'prev-dir': 'prev-dir', 'next-dir': 'next-dir', repeat: 'repeat' };
  for (const [id, name] of Object.entries(simple)) $(id).addEventListener('click', () => command({ command: name }));
  $('play').addEventListener('click', () => {
    // Play on a player that is off turns it on; otherwise pause toggles.
    if (record && record.status === 'poweroff') command({ command: 'on' });
    else command({ command: 'pause' });
  });
  $('power').addEventListener('click', () => {
    command({ command: record && record.status === 'poweroff' ? 'on' : 'off' });
  });
  $('queue').addEventListener('click', (ev) => {
    const b = ev.target.closest('button.entry, button.cue');
    if (!b) return;
    command({ command: 'play', entry: num(b.dataset.entry), track: num(b.dataset.track || 0) });
  });
  $('filter').addEventListener('input', applyFilter);

  // ---- Seeking: a tap or a drag on the bar, arrow keys -------------------------
  const slider = $('seek');
  // The position under the pointer, in ms into the track shown; null when
  // nothing plays that could seek.
  function pointed(ev) {
    const c = current();
    if (!c || !daemonUp || c.state === 'poweroff') return null;
    const { span } = shownTrack(c);
    if (span <= 0) return null;
    const r = slider.getBoundingClientRect();
    const f = r.width > 0 ? (ev.clientX - r.left) / r.width : 0;
    return Math.round(Math.min(1, Math.max(0, f)) * span);
  }
  let seeksSent = 0;
  async function seekTo(ms) {
    const n = ++seeksSent;
    seekTarget = Math.max(0, Math.round(ms));
    tick();
    await command({ command: 'seek', ms: seekTarget });
    // The newest seek's answer shows where it went.
    if (n === seeksSent && seekPointer === null) seekTarget = null;
    tick();
  }
  slider.addEventListener('pointerdown', (ev) => {
    if (ev.button !== 0 || seekPointer !== null) return;
    const at = pointed(ev);
    if (at === null) return;
    ev.preventDefault();
    seekPointer = ev.pointerId;
    slider.setPointerCapture(ev.pointerId);
    slider.classList.add('dragging');
    slider.focus({ preventScroll: true });
    seekTarget = at;
    tick();
  });
  slider.addEventListener('pointermove', (ev) => {
    if (ev.pointerId !== seekPointer) return;
    const at = pointed(ev);
    if (at !== null) seekTarget = at;
    tick();
  });
  function release(ev, send) {
    if (ev.pointerId !== seekPointer) return;
    seekPointer = null;
    slider.classList.remove('dragging');
    const at = pointed(ev);
    if (send && (at !== null || seekTarget !== null)) seekTo(at !== null ? at : seekTarget);
    else seekTarget = null;
    tick();
  }
  slider.addEventListener('pointerup', (ev) => release(ev, true));
  slider.addEventListener('pointercancel', (ev) => release(ev, false));
  slider.addEventListener('keydown', (ev) => {
    const step = { ArrowRight: 5000, ArrowUp: 5000, ArrowLeft: -5000, ArrowDown: -5000 }[ev.key];
    const c = current();
    if (!c || !daemonUp || c.state === 'poweroff' || seekPointer !== null) return;
    const { start, span } = shownTrack(c);
    let to = null;
    // From a seek still on its way, so that presses add up.
    const from = seekTarget !== null ? seekTarget : Math.max(0, c.els - start);
    if (step) to = from + step;
    else if (ev.key === 'Home') to = 0;
    if (to === null || span <= 0) return;
    ev.preventDefault();
    seekTo(Math.min(to, span));
  });

  // ---- Outputs -----------------------------------------------------------------
  // Whether pipd-sink also sends the music to the other rooms (Snapcast).
  const ROOMS_NAMES = { playing: 'Every room', idle: 'Every room',
                        waiting: 'Snapcast: waiting for snapserver' };
  async function loadOutputs() {
    let snap = null;
    try {
      const r = await fetch('/api/outputs', { cache: 'no-store' });
      const j = r.ok ? await r.json() : {};
      const outputs = Array.isArray(j.outputs) ? j.outputs : [];
      snap = outputs.find((o) => o && o.kind === 'snapcast') || null;
    } catch (e) {
      /* shown as none */
    }
    const el = $('rooms');
    el.hidden = !snap;
    el.textContent = snap ? ROOMS_NAMES[snap.state] || `Snapcast: ${snap.state}` : '';
    el.dataset.state = snap ? String(snap.state) : '';
    el.title = snap ? `Snapcast ${snap.format || ''} through ${snap.target || ''}` : '';
  }

  // ---- Live --------------------------------------------------------------------
  function connect() {
    const es = new EventSource('/api/events');
    es.addEventListener('open', () => {
      serverUp = true;
      updateBanner();
    });
    es.addEventListener('status', (ev) => {
      serverUp = true;
      try {
        applyRecord(JSON.parse(ev.data));
      } catch (e) {
        /* not a record: ignored */
      }
    });
    es.addEventListener('offline', () => {
      serverUp = true;
      daemonUp = false;
      updateBanner();
      render();
    });
    es.addEventListener('error', () => {
      serverUp = false;
      updateBanner();
      render();
      // The browser tries again by itself, unless the server refused.
      if (es.readyState === EventSource.CLOSED) setTimeout(connect, 3000);
    });
  }

  serverUp = true;
  connect();
  setInterval(tick, 250);
  // A small file read: every few seconds while the page is in view.
  loadOutputs();
  setInterval(() => document.hidden || loadOutputs(), 5000);
  document.addEventListener('visibilitychange', () => document.hidden || loadOutputs());
})();

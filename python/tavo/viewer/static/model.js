// The trace model: one pass over the document's bytes builds columnar arrays of records and
// calls (typed arrays, a string table for names and paths); recorded values stay undecoded in
// the bytes until the detail pane asks for one record. The pass can run while the bytes are
// still arriving: feed() reads every record that has arrived whole, done() completes the model.
"use strict";
var Tavo = window.Tavo || (window.Tavo = {});

(function () {
  var encoder = new TextEncoder(), utf8 = new TextDecoder("utf-8");

  // Whether bytes [x, x + len) and [y, y + len) of a document are equal, four at a time.
  function equal(b, v, x, y, len) {
    var i = 0;
    for (; i + 4 <= len; i += 4) if (v.getUint32(x + i) !== v.getUint32(y + i)) return false;
    for (; i < len; i++) if (b[x + i] !== b[y + i]) return false;
    return true;
  }

  // Strings interned by their bytes, so that the many repeats of a name or path cost one entry.
  function StringTable() {
    this.strs = [];
    this.bytes = [];
    this.slots = new Int32Array(1 << 12);
  }

  // Long strings (paths) are hashed by their length and both ends, where they differ.
  function hash(buf, start, len) {
    var h = 0x811c9dc5 ^ len, i, end = start + len;
    if (len <= 32) {
      for (i = start; i < end; i++) h = Math.imul(h ^ buf[i], 16777619);
    } else {
      for (i = start; i < start + 16; i++) h = Math.imul(h ^ buf[i], 16777619);
      for (i = end - 16; i < end; i++) h = Math.imul(h ^ buf[i], 16777619);
    }
    return h;
  }

  StringTable.prototype.intern = function (buf, start, len) {
    var mask = this.slots.length - 1, s = hash(buf, start, len) & mask, i, id;
    for (;;) {
      id = this.slots[s] - 1;
      if (id < 0) break;
      var known = this.bytes[id];
      if (known.length === len) {
        for (i = 0; i < len && known[i] === buf[start + i]; i++);
        if (i === len) return id;
      }
      s = (s + 1) & mask;
    }
    id = this.strs.length;
    var copy = buf.slice(start, start + len);
    this.bytes.push(copy);
    this.strs.push(utf8.decode(copy));
    this.slots[s] = id + 1;
    if (this.strs.length * 2 > this.slots.length) this.grow();
    return id;
  };

  StringTable.prototype.grow = function () {
    var slots = new Int32Array(this.slots.length * 2), mask = slots.length - 1;
    for (var id = 0; id < this.bytes.length; id++) {
      var s = hash(this.bytes[id], 0, this.bytes[id].length) & mask;
      while (slots[s]) s = (s + 1) & mask;
      slots[s] = id + 1;
    }
    this.slots = slots;
  };

  StringTable.prototype.of = function (text) {
    var b = encoder.encode(text);
    return this.intern(b, 0, b.length);
  };

  // Growable typed columns.
  function Columns(layout, cap) {
    this.n = 0;
    this.cap = Math.max(cap || 0, 1024);
    this.layout = layout;
    for (var name in layout) this[name] = new layout[name](this.cap);
  }

  Columns.prototype.add = function () {
    if (this.n === this.cap) {
      this.cap *= 2;
      for (var name in this.layout) {
        var bigger = new this.layout[name](this.cap);
        bigger.set(this[name]);
        this[name] = bigger;
      }
    }
    return this.n++;
  };

  // Columns of the final length (copied only when much room was left).
  Columns.prototype.trim = function () {
    for (var name in this.layout) {
      this[name] = this.cap > this.n * 1.25 ? this[name].slice(0, this.n) : this[name].subarray(0, this.n);
    }
    this.cap = this.n;
  };

  var KIND_CALL = 1, KIND_RETURN = 2, KIND_EVENT = 3, KIND_PLUGIN = 4, KIND_EXCEPTION = 5;
  // How a call ended when an exception record follows its return: an exception, or an ending
  // that only travels as one (a clean exit, a skipped test).
  var RAISED = 1, EXITED = 2, SKIPPED = 3;
  // pytest's outcome exceptions say they are built in, so their records name them bare.
  var SKIPS = ["Skipped", "builtins.Skipped", "_pytest.outcomes.Skipped", "unittest.case.SkipTest"];
  var KEYS = ["path", "co_name", "qualname", "event", "frame_id", "thread", "thread_native_id",
              "timestamp", "type", "subtype"];
  var KEY_SLOTS = 32;  // positions in a record whose last key is remembered
  var K_PATH = 1, K_CO = 2, K_QN = 3, K_EVENT = 4, K_FID = 5, K_THREAD = 6, K_NID = 7, K_TS = 8,
      K_TYPE = 9, K_SUBTYPE = 10;
  // Slots of the one-entry caches of str(): the same text at the same key, record after record.
  var S_PATH = 0, S_CO = 1, S_QN = 2, S_THREAD = 3, S_TYPE = 4, S_OTHER = 5;
  var CALL = [99, 97, 108, 108], RETURN = [114, 101, 116, 117, 114, 110];

  // `bytes` holds the whole document once it has arrived; `avail`, when given, is how much of it
  // has so far, and the caller feeds the rest as it comes. Without it the model is built at once.
  function Trace(bytes, avail) {
    this.bytes = bytes;
    this.view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    this.total = bytes.length;
    this.avail = 0;
    this.names = new StringTable();
    this.keyCode = [];
    this.lastKeys = new Int32Array(3 * KEY_SLOTS).fill(-1);  // start, length, code by position
    this.cacheAt = new Int32Array(S_OTHER + 1).fill(-1);
    this.cacheLen = new Int32Array(S_OTHER + 1);
    this.cacheId = new Int32Array(S_OTHER + 1);
    for (var i = 0; i < KEYS.length; i++) this.keyCode[this.names.of(KEYS[i])] = i + 1;
    this.id = { frame: this.names.of("frame"), exception: this.names.of("exception"),
                start: this.names.of("start_test"), end: this.names.of("end_test"),
                unknown: this.names.of("?") };
    // Records are about 250 bytes as the engine writes them; the columns grow if there are more.
    var guess = Math.ceil(bytes.length / 250);
    this.rec = new Columns({ kind: Uint8Array, ts: Float64Array, thread: Int32Array, path: Int32Array,
                             co: Int32Array, qn: Int32Array, start: Uint32Array, end: Uint32Array,
                             fid: Uint32Array, fidLen: Int16Array, type: Int32Array, sub: Int32Array }, guess);
    this.call = new Columns({ callRec: Int32Array, retRec: Int32Array, excRec: Int32Array,
                              ending: Uint8Array, start: Float64Array, end: Float64Array,
                              parent: Int32Array, thread: Int32Array }, guess >> 1);
    this.threads = [];
    this.threadKeys = new Map();
    this.markers = [];
    this.doc = {};
    this.cursor = new Tavo.Cursor(bytes);
    // Where the walk through the document stands: entries of the top map left (-1: its header
    // is not read yet), threads of the "frames" map left, records of the current array left.
    this.walk = { top: -1, inThreads: false, threads: 0, records: 0, complete: false, safe: 0 };
    if (avail === undefined) {
      this.feed(bytes.length);
      this.done();
    }
  }

  // Reads what it can of the first `avail` bytes; a value cut by `avail` waits for the next call.
  Trace.prototype.feed = function (avail) {
    var c = this.cursor, w = this.walk;
    this.avail = avail;
    try {
      while (!w.complete && this.step(c, w)) w.safe = c.p;
    } catch (err) {
      if (avail >= this.total) throw err;  // not a value cut short: the document is damaged
    }
    c.p = w.safe;
  };

  // One step of the walk; false when what comes next has not arrived whole.
  Trace.prototype.step = function (c, w) {
    var n, avail = this.avail;
    if (w.records > 0) {
      while (w.records > 0) {
        if (!this.readRecord(c)) return false;
        w.records--;
        w.safe = c.p;
      }
      return true;
    }
    if (w.top < 0) {
      n = c.mapHeader();
      if (c.p > avail) return false;
      if (n < 0) c.fail("the document is not a map");
      w.top = n;
      return true;
    }
    if (w.inThreads && w.threads > 0) {
      c.skip();  // the thread's native id: its records carry it too
      n = c.arrayHeader();
      if (n < 0) c.skip();
      if (c.p > avail) return false;
      w.threads--;
      w.records = Math.max(n, 0);
      return true;
    }
    w.inThreads = false;
    if (w.top === 0) { w.complete = true; return true; }
    var len = c.strHeader(), key = null;
    if (len < 0) c.skip(); else { key = c.text(c.p, len); c.p += len; }
    if (key === "frames_of_interest" || key === "frames") {
      n = key === "frames" ? c.mapHeader() : c.arrayHeader();
      if (n < 0) c.skip();
      if (c.p > avail) return false;
      if (key === "frames") { w.inThreads = true; w.threads = Math.max(n, 0); } else w.records = Math.max(n, 0);
    } else {
      var value = c.decode(0);
      if (c.p > avail) return false;
      if (key !== null) this.doc[key] = Tavo.plain(value);
    }
    w.top--;
    return true;
  };

  Trace.prototype.done = function () {
    if (!this.walk.complete) this.cursor.fail("truncated document");
    this.lastKeys = this.cursor = null;
    this.finish();
  };

  // The code of the key at byte `start`, the i-th of its record. Records of one kind repeat
  // their keys in one order, so the key at the same position last time is tried first.
  Trace.prototype.keyAt = function (b, start, len, i) {
    if (start + len > this.avail) return 0;
    if (i >= KEY_SLOTS) return this.keyCode[this.names.intern(b, start, len)] | 0;
    var keys = this.lastKeys, at = keys[3 * i];
    if (at >= 0 && keys[3 * i + 1] === len && equal(b, this.view, at, start, len)) return keys[3 * i + 2];
    var code = this.keyCode[this.names.intern(b, start, len)] | 0;
    keys[3 * i] = start; keys[3 * i + 1] = len; keys[3 * i + 2] = code;
    return code;
  };

  // The string id of the bytes [at, at + len), tried first against the last one of its slot.
  Trace.prototype.intern = function (at, len, slot) {
    if (at < 0) return this.id.unknown;
    var b = this.bytes, known = this.cacheAt[slot];
    if (known >= 0 && this.cacheLen[slot] === len && equal(b, this.view, known, at, len)) return this.cacheId[slot];
    var id = this.names.intern(b, at, len);
    this.cacheAt[slot] = at; this.cacheLen[slot] = len; this.cacheId[slot] = id;
    return id;
  };

  // Start of the str at the cursor (the cursor moves past it), or -1 when it is another value.
  function strAt(c) {
    var len = c.strHeader();
    if (len < 0) { c.skip(); return -1; }
    c.p += len;
    return c.p - len;
  }

  function same(b, at, len, text) {
    if (len !== text.length) return false;
    for (var i = 0; i < len; i++) if (b[at + i] !== text[i]) return false;
    return true;
  }

  // One record: its fields are read first, and the model changes only once it is whole.
  Trace.prototype.readRecord = function (c) {
    var b = c.b, begin = c.p, R = this.rec;
    var pathAt = -1, pathLen = 0, coAt = -1, coLen = 0, qnAt = -1, qnLen = 0, typeAt = -1, typeLen = 0;
    var threadAt = -1, threadLen = 0, subAt = -1, subLen = 0, event = 0, nid = NaN, ts = NaN;
    var fid = 0, fidLen = -1, at;
    var n = c.mapHeader();
    if (n < 0) { c.skip(); n = 0; }
    for (var i = 0; i < n; i++) {
      var len = c.strHeader();
      if (len < 0) { c.skip(); c.skip(); continue; }
      c.p += len;
      switch (this.keyAt(b, c.p - len, len, i)) {
        case K_PATH: if ((pathAt = strAt(c)) >= 0) pathLen = c.p - pathAt; break;
        case K_CO: if ((coAt = strAt(c)) >= 0) coLen = c.p - coAt; break;
        case K_QN: if ((qnAt = strAt(c)) >= 0) qnLen = c.p - qnAt; break;
        case K_TYPE: if ((typeAt = strAt(c)) >= 0) typeLen = c.p - typeAt; break;
        case K_SUBTYPE: if ((subAt = strAt(c)) >= 0) subLen = c.p - subAt; break;
        case K_THREAD: if ((threadAt = strAt(c)) >= 0) threadLen = c.p - threadAt; break;
        case K_EVENT:
          at = strAt(c);
          event = at < 0 ? 3 : same(b, at, c.p - at, CALL) ? 1 : same(b, at, c.p - at, RETURN) ? 2 : 3;
          break;
        case K_NID: nid = c.number(); break;
        case K_TS: ts = c.number(); break;
        case K_FID:
          fidLen = c.strHeader();
          if (fidLen < 0) c.skip(); else { fid = c.p; c.p += fidLen; }
          break;
        default: c.skip();
      }
    }
    if (c.p > this.avail) return false;

    var r = R.add(), kind = KIND_PLUGIN, unknown = this.id.unknown;
    var type = this.intern(typeAt, typeLen, S_TYPE);
    if (type === this.id.frame) kind = event === 1 ? KIND_CALL : event === 2 ? KIND_RETURN : KIND_EVENT;
    else if (type === this.id.exception) kind = KIND_EXCEPTION;
    R.kind[r] = kind; R.ts[r] = ts; R.start[r] = begin; R.end[r] = c.p; R.fid[r] = fid; R.fidLen[r] = fidLen;
    R.type[r] = type; R.sub[r] = subAt < 0 ? -1 : this.intern(subAt, subLen, S_OTHER);
    var t = R.thread[r] = this.threadOf(this.intern(threadAt, threadLen, S_THREAD), nid);
    var th = this.threads[t], returned = th.lastReturned;
    th.lastReturned = -1;
    if (ts === ts) {
      if (!(th.first <= ts)) th.first = ts;
      if (!(th.last >= ts)) th.last = ts;
    }
    var k = -1;
    if (kind === KIND_RETURN) {
      k = this.leave(th, t, r);
      if (this.call.callRec[k] !== r) {  // the names are its call's
        var from = this.call.callRec[k];
        R.path[r] = R.path[from]; R.co[r] = R.co[from]; R.qn[r] = R.qn[from];
        return true;
      }
    }
    R.path[r] = pathAt < 0 ? unknown : this.intern(pathAt, pathLen, S_PATH);
    R.co[r] = coAt < 0 ? unknown : this.intern(coAt, coLen, S_CO);
    R.qn[r] = qnAt < 0 ? unknown : this.intern(qnAt, qnLen, S_QN);
    if (kind === KIND_CALL) {
      this.enter(th, t, r);
    } else if (kind === KIND_EXCEPTION && returned >= 0 && this.sameFrameId(this.call.callRec[returned], r)) {
      // The exception a call ended by comes right after its return.
      this.call.excRec[returned] = r;
      this.call.ending[returned] = this.endingOf(r);
    } else if (kind === KIND_PLUGIN || kind === KIND_EXCEPTION) {
      this.markers.push(r);
    }
    return true;
  };

  Trace.prototype.endingOf = function (r) {
    var rec = this.record(r), type = rec.exception_type, message = rec.message;
    type = type && type.k === "str" ? type.v : "";
    message = !message || message.k === "nil" ? "" : message.k === "str" ? message.v : null;
    // sys.exit(), sys.exit(0) and sys.exit(None) end a program as it meant to.
    if ((type === "SystemExit" || type === "builtins.SystemExit") &&
        (message === "" || message === "0" || message === "None")) return EXITED;
    return SKIPS.indexOf(type) >= 0 ? SKIPPED : RAISED;
  };

  // Threads by native id (a thread may rename itself), else by name.
  Trace.prototype.threadOf = function (name, nid) {
    var last = this.lastThread;
    if (last && (nid === nid ? last.nid === nid : last.nid !== last.nid && last.nameId === name)) return last.index;
    var key = nid === nid ? nid : "name:" + name, index = this.threadKeys.get(key);
    if (index === undefined) {
      index = this.threads.length;
      this.threadKeys.set(key, index);
      this.threads.push({ index: index, nameId: name, name: this.names.strs[name], nid: nid, stack: [], roots: [],
                          lastReturned: -1, first: NaN, last: NaN, levels: [], calls: 0 });
    }
    this.lastThread = this.threads[index];
    return index;
  };

  // Records without a frame id (not a str) match each other, as they compare equal in Python.
  Trace.prototype.sameFrameId = function (a, b) {
    var R = this.rec, len = R.fidLen[a];
    if (len !== R.fidLen[b]) return false;
    return len < 0 || equal(this.bytes, this.view, R.fid[a], R.fid[b], len);
  };

  Trace.prototype.newCall = function (t, callRec, start) {
    var C = this.call, k = C.add();
    C.callRec[k] = callRec; C.retRec[k] = -1; C.excRec[k] = -1; C.ending[k] = 0;
    C.start[k] = start; C.end[k] = NaN; C.parent[k] = -1; C.thread[k] = t;
    return k;
  };

  Trace.prototype.enter = function (th, t, r) {
    var k = this.newCall(t, r, this.rec.ts[r]);
    if (th.stack.length) this.call.parent[k] = th.stack[th.stack.length - 1];
    else th.roots.push(k);
    th.stack.push(k);
  };

  // The call that return record r ends, closing the calls above it that never saw theirs.
  Trace.prototype.leave = function (th, t, r) {
    var C = this.call, stack = th.stack, ts = this.rec.ts[r], k;
    for (var i = stack.length - 1; i >= 0; i--) {
      if (this.sameFrameId(C.callRec[stack[i]], r)) break;
    }
    if (i < 0) {
      // A return whose call was not recorded (profiling began inside the function): it
      // encloses everything recorded on this thread so far. With calls still open it cannot,
      // and stands for itself among them, as long as nothing.
      k = this.newCall(t, r, stack.length ? ts : NaN);
      C.end[k] = ts; C.retRec[k] = r;
      if (stack.length) {
        C.parent[k] = stack[stack.length - 1];
      } else {
        for (var j = 0; j < th.roots.length; j++) C.parent[th.roots[j]] = k;
        th.roots = [k];
      }
      th.lastReturned = k;
      return k;
    }
    while (stack.length > i + 1) { var inner = stack.pop(); C.end[inner] = ts; }
    k = stack.pop();
    C.end[k] = ts; C.retRec[k] = r;
    th.lastReturned = k;
    return k;
  };

  // Derived columns: depth, children, preorder, counts under each call, own time, and the
  // per-function summary.
  Trace.prototype.finish = function () {
    var C = this.call, R = this.rec, n, i, k, t;
    var origin = Infinity, endAll = -Infinity;
    for (t = 0; t < this.threads.length; t++) {
      var th = this.threads[t];
      if (th.first < origin) origin = th.first;
      if (th.last > endAll) endAll = th.last;
    }
    if (origin === Infinity) { origin = 0; endAll = 0; }
    this.origin = origin;
    this.endTime = endAll;
    R.trim();
    C.trim();
    n = C.n;
    for (k = 0; k < n; k++) {
      if (C.start[k] !== C.start[k]) C.start[k] = this.threads[C.thread[k]].first;
      if (C.end[k] !== C.end[k]) C.end[k] = this.threads[C.thread[k]].last;
    }
    var childStart = new Int32Array(n + 1), parent = C.parent;
    for (k = 0; k < n; k++) if (parent[k] >= 0) childStart[parent[k] + 1]++;
    for (k = 0; k < n; k++) childStart[k + 1] += childStart[k];
    var children = new Int32Array(childStart[n]), fill = childStart.slice(0, n);
    for (k = 0; k < n; k++) if (parent[k] >= 0) children[fill[parent[k]]++] = k;
    this.childStart = childStart;
    this.children = children;

    // Function of each call: qualified name and file (most names live in one file, which is
    // tried first).
    var S = this.names.strs.length, fnKeys = new Map(), byName = new Int32Array(S).fill(-1);
    this.fileOf = new Int32Array(S).fill(-1);
    this.lineOf = new Int32Array(S);
    this.fn = new Int32Array(n);
    this.fnQn = []; this.fnFile = [];
    for (k = 0; k < n; k++) {
      var rec = C.callRec[k], qn = R.qn[rec], file = this.file(R.path[rec]), f = byName[qn];
      if (f < 0 || this.fnFile[f] !== file) {
        var key = qn * 4294967296 + file;
        f = fnKeys.get(key);
        if (f === undefined) {
          f = this.fnQn.length;
          fnKeys.set(key, f);
          this.fnQn.push(qn);
          this.fnFile.push(file);
        }
        byName[qn] = f;
      }
      this.fn[k] = f;
    }
    var F = this.fnQn.length;
    this.fnCalls = new Int32Array(F);
    this.fnTotal = new Float64Array(F);
    this.fnOwn = new Float64Array(F);

    // One walk in preorder with exits: depth, time order per level, outermost activations.
    this.depth = new Int32Array(n);
    this.under = new Int32Array(n);
    this.own = new Float64Array(n);
    this.order = new Int32Array(n);
    var active = new Int32Array(F), pos = 0, walk = new Int32Array(2 * n + 2), top, fnOf = this.fn;
    var depth = this.depth, under = this.under, own = this.own, start = C.start, end = C.end;
    for (t = 0; t < this.threads.length; t++) {
      var thread = this.threads[t], levelSize = [];
      top = 0;
      for (i = thread.roots.length - 1; i >= 0; i--) walk[top++] = thread.roots[i] + 1;
      var firstPos = pos;
      while (top > 0) {
        var item = walk[--top];
        if (item < 0) {  // leaving a call
          k = -item - 1;
          active[fnOf[k]]--;
          var p = parent[k], dur = end[k] - start[k];
          own[k] += dur;
          this.fnOwn[fnOf[k]] += own[k];
          if (p >= 0) { under[p] += under[k] + 1; own[p] -= dur; }
          continue;
        }
        k = item - 1;
        this.order[pos++] = k;
        var d = parent[k] >= 0 ? depth[parent[k]] + 1 : 0;
        depth[k] = d;
        levelSize[d] = (levelSize[d] | 0) + 1;
        var fk = fnOf[k];
        this.fnCalls[fk]++;
        if (active[fk]++ === 0) this.fnTotal[fk] += end[k] - start[k];
        walk[top++] = -(k + 1);
        for (i = childStart[k + 1] - 1; i >= childStart[k]; i--) walk[top++] = children[i] + 1;
      }
      // Each level in time order: the preorder visits a level's calls in the order they began.
      var levels = levelSize.map(function (size) { return new Int32Array(size); }), at = new Int32Array(levels.length);
      for (i = firstPos; i < pos; i++) { k = this.order[i]; levels[depth[k]][at[depth[k]]++] = k; }
      thread.levels = levels;
      thread.calls = pos - firstPos;
      thread.orderStart = firstPos;
      thread.orderEnd = pos;
      thread.stack = null;
    }
    this.markers.sort(function (a, b) { return R.ts[a] - R.ts[b]; });
    var main = this.doc.main_thread_id;
    this.threads.forEach(function (th) { th.main = main !== undefined && main !== null && th.nid === Number(main); });
    // Threads as shown: the main thread first, then by their first record.
    this.lanes = this.threads.slice().sort(function (a, b) {
      return (b.main - a.main) || (a.first - b.first) || (a.index - b.index);
    });
    this.lanes.forEach(function (lane, i) { lane.position = i; });
  };

  // File and line of a "file:line" path string.
  Trace.prototype.file = function (pathId) {
    if (this.fileOf[pathId] >= 0) return this.fileOf[pathId];
    var text = this.names.strs[pathId], cut = text.lastIndexOf(":"), file = pathId, line = 0;
    if (cut > 0 && /^\d+$/.test(text.slice(cut + 1))) {
      file = this.names.of(text.slice(0, cut));
      line = parseInt(text.slice(cut + 1), 10);
    }
    if (file >= this.fileOf.length) {  // a file name not seen as a string before
      var more = new Int32Array(this.names.strs.length * 2).fill(-1);
      more.set(this.fileOf);
      this.fileOf = more;
      var lines = new Int32Array(more.length);
      lines.set(this.lineOf);
      this.lineOf = lines;
    }
    this.fileOf[pathId] = file;
    this.lineOf[pathId] = line;
    return file;
  };

  Trace.prototype.text = function (id) { return this.names.strs[id]; };

  Trace.prototype.qualname = function (k) {
    var r = this.call.callRec[k], qn = this.rec.qn[r];
    return qn === this.id.unknown ? this.text(this.rec.co[r]) : this.text(qn);
  };

  Trace.prototype.location = function (k) { return this.text(this.rec.path[this.call.callRec[k]]); };

  Trace.prototype.frameId = function (r) {
    var len = this.rec.fidLen[r];
    return len < 0 ? null : utf8.decode(this.bytes.subarray(this.rec.fid[r], this.rec.fid[r] + len));
  };

  // Whole record r decoded, as a plain object of tagged values (see Tavo.Cursor.decode).
  Trace.prototype.record = function (r) {
    var value = Tavo.decodeAt(this.bytes, this.rec.start[r], this.rec.end[r]), out = {};
    if (value.k !== "map") return out;
    value.entries.forEach(function (e) { if (e[0].k === "str") out[e[0].v] = e[1]; });
    return out;
  };

  // The call whose frame id is `id` (built on first use: only the detail pane needs it).
  Trace.prototype.callByFrameId = function (id) {
    if (!this.byFrameId) {
      var map = new Map(), C = this.call;
      for (var k = 0; k < C.n; k++) {
        var fid = this.frameId(C.callRec[k]);
        if (fid !== null) map.set(fid, k);
      }
      this.byFrameId = map;
    }
    var found = this.byFrameId.get(id);
    return found === undefined ? -1 : found;
  };

  Trace.prototype.isRaising = function (k) { return this.call.ending[k] === RAISED; };
  Trace.prototype.ending = function (k) { return this.call.ending[k]; };
  Trace.prototype.isUnfinished = function (k) { return this.call.retRec[k] < 0; };
  Trace.prototype.isOrphan = function (k) { return this.call.callRec[k] === this.call.retRec[k]; };

  Tavo.Trace = Trace;
  Tavo.KIND = { CALL: KIND_CALL, RETURN: KIND_RETURN, EVENT: KIND_EVENT, PLUGIN: KIND_PLUGIN,
                EXCEPTION: KIND_EXCEPTION };
  Tavo.ENDING = { RAISED: RAISED, EXITED: EXITED, SKIPPED: SKIPPED };

  // A tagged value as plain JavaScript, for the document's small fields.
  Tavo.plain = function (v) {
    switch (v.k) {
      case "array": return v.items.map(Tavo.plain);
      case "map":
        var o = {};
        v.entries.forEach(function (e) { o[String(Tavo.plain(e[0]))] = Tavo.plain(e[1]); });
        return o;
      case "bin": return "(" + v.v.length + " bytes)";
      default: return v.v;
    }
  };
})();

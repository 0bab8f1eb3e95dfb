// The trace model: one pass over the document's bytes builds columnar arrays of records and
// calls (typed arrays, a string table for names and paths); recorded values stay undecoded in
// the bytes until the detail pane asks for one record.
"use strict";
var Tavo = window.Tavo || (window.Tavo = {});

(function () {
  var encoder = new TextEncoder();

  // Strings interned by their bytes, so that the many repeats of a name or path cost one entry.
  function StringTable() {
    this.strs = [];
    this.bytes = [];
    this.slots = new Int32Array(1 << 12);
  }

  StringTable.prototype.intern = function (buf, start, len) {
    var h = 0x811c9dc5, i;
    for (i = 0; i < len; i++) h = Math.imul(h ^ buf[start + i], 16777619);
    var mask = this.slots.length - 1, s = h & mask;
    for (;;) {
      var id = this.slots[s] - 1;
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
    this.strs.push(new TextDecoder("utf-8").decode(copy));
    this.slots[s] = id + 1;
    if (this.strs.length * 2 > this.slots.length) this.grow();
    return id;
  };

  StringTable.prototype.grow = function () {
    var slots = new Int32Array(this.slots.length * 2), mask = slots.length - 1;
    for (var id = 0; id < this.bytes.length; id++) {
      var b = this.bytes[id], h = 0x811c9dc5;
      for (var i = 0; i < b.length; i++) h = Math.imul(h ^ b[i], 16777619);
      var s = h & mask;
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
  function Columns(layout) {
    this.n = 0;
    this.cap = 1024;
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

  Columns.prototype.trim = function () {
    for (var name in this.layout) this[name] = this[name].subarray(0, this.n);
  };

  var KIND_CALL = 1, KIND_RETURN = 2, KIND_EVENT = 3, KIND_PLUGIN = 4, KIND_EXCEPTION = 5;
  var KEYS = ["path", "co_name", "qualname", "event", "frame_id", "thread", "thread_native_id",
              "timestamp", "type", "subtype"];
  var K_PATH = 1, K_CO = 2, K_QN = 3, K_EVENT = 4, K_FID = 5, K_THREAD = 6, K_NID = 7, K_TS = 8,
      K_TYPE = 9, K_SUBTYPE = 10;

  function Trace(bytes) {
    this.bytes = bytes;
    this.names = new StringTable();
    this.keyCode = [];
    this.lastKeys = [];
    for (var i = 0; i < KEYS.length; i++) this.keyCode[this.names.of(KEYS[i])] = i + 1;
    this.id = { call: this.names.of("call"), ret: this.names.of("return"), frame: this.names.of("frame"),
                exception: this.names.of("exception"), start: this.names.of("start_test"),
                end: this.names.of("end_test"), unknown: this.names.of("?") };
    this.rec = new Columns({ kind: Uint8Array, ts: Float64Array, thread: Int32Array, path: Int32Array,
                             co: Int32Array, qn: Int32Array, start: Uint32Array, end: Uint32Array,
                             fid: Uint32Array, fidLen: Int16Array, type: Int32Array, sub: Int32Array });
    this.call = new Columns({ callRec: Int32Array, retRec: Int32Array, excRec: Int32Array,
                              start: Float64Array, end: Float64Array, parent: Int32Array,
                              thread: Int32Array });
    this.threads = [];
    this.threadKeys = new Map();
    this.markers = [];
    this.doc = {};
    this.parse();
    this.finish();
  }

  Trace.prototype.parse = function () {
    var c = new Tavo.Cursor(this.bytes);
    var n = c.mapHeader();
    if (n < 0) c.fail("the document is not a map");
    for (var i = 0; i < n; i++) {
      var len = c.strHeader();
      if (len < 0) { c.skip(); c.skip(); continue; }
      var key = c.text(c.p, len);
      c.p += len;
      if (key === "frames_of_interest") {
        this.readRecords(c);
      } else if (key === "frames") {
        var threads = c.mapHeader();
        if (threads < 0) { c.skip(); continue; }
        for (var t = 0; t < threads; t++) { c.skip(); this.readRecords(c); }
      } else {
        this.doc[key] = Tavo.plain(c.decode(0));
      }
    }
  };

  Trace.prototype.readRecords = function (c) {
    var count = c.arrayHeader();
    if (count < 0) { c.skip(); return; }
    for (var i = 0; i < count; i++) this.readRecord(c);
  };

  Trace.prototype.str = function (c) {
    var len = c.strHeader();
    if (len < 0) { c.skip(); return this.id.unknown; }
    c.p += len;
    return this.names.intern(c.b, c.p - len, len);
  };

  // The code of the key at byte `start`, the i-th of its record. Records of one kind repeat
  // their keys in one order, so the key at the same position last time is tried first.
  Trace.prototype.keyAt = function (b, start, len, i) {
    var last = this.lastKeys[i];
    if (last !== undefined && last.len === len) {
      var j = 0, at = last.start;
      while (j < len && b[at + j] === b[start + j]) j++;
      if (j === len) return last.code;
    }
    var code = this.keyCode[this.names.intern(b, start, len)] | 0;
    this.lastKeys[i] = { start: start, len: len, code: code };
    return code;
  };

  Trace.prototype.readRecord = function (c) {
    var R = this.rec, r = R.add(), begin = c.p;
    var path = this.id.unknown, co = path, qn = path, event = -1, type = path, sub = -1;
    var thread = path, nid = NaN, ts = NaN, fid = 0, fidLen = -1;
    var n = c.mapHeader();
    if (n < 0) { c.skip(); n = 0; }
    for (var i = 0; i < n; i++) {
      var len = c.strHeader();
      if (len < 0) { c.skip(); c.skip(); continue; }
      c.p += len;
      switch (this.keyAt(c.b, c.p - len, len, i)) {
        case K_PATH: path = this.str(c); break;
        case K_CO: co = this.str(c); break;
        case K_QN: qn = this.str(c); break;
        case K_EVENT: event = this.str(c); break;
        case K_TYPE: type = this.str(c); break;
        case K_SUBTYPE: sub = this.str(c); break;
        case K_THREAD: thread = this.str(c); break;
        case K_NID: nid = c.number(); break;
        case K_TS: ts = c.number(); break;
        case K_FID:
          fidLen = c.strHeader();
          if (fidLen < 0) c.skip(); else { fid = c.p; c.p += fidLen; }
          break;
        default: c.skip();
      }
    }
    var kind = KIND_PLUGIN;
    if (type === this.id.frame) kind = event === this.id.call ? KIND_CALL : event === this.id.ret ? KIND_RETURN : KIND_EVENT;
    else if (type === this.id.exception) kind = KIND_EXCEPTION;
    R.kind[r] = kind; R.ts[r] = ts; R.path[r] = path; R.co[r] = co; R.qn[r] = qn;
    R.start[r] = begin; R.end[r] = c.p; R.fid[r] = fid; R.fidLen[r] = fidLen;
    R.type[r] = type; R.sub[r] = sub;
    var t = R.thread[r] = this.threadOf(thread, nid);
    var th = this.threads[t];
    if (ts === ts) {
      if (!(th.first <= ts)) th.first = ts;
      if (!(th.last >= ts)) th.last = ts;
    }
    if (kind === KIND_CALL) this.enter(th, t, r);
    else if (kind === KIND_RETURN) this.leave(th, t, r);
    else if (kind === KIND_EXCEPTION && th.lastReturned >= 0 &&
             this.sameFrameId(this.call.callRec[th.lastReturned], r) &&
             this.call.excRec[th.lastReturned] < 0) {
      this.call.excRec[th.lastReturned] = r;
    } else if (kind === KIND_PLUGIN || kind === KIND_EXCEPTION) {
      this.markers.push(r);
    }
  };

  Trace.prototype.threadOf = function (name, nid) {
    var last = this.lastThread;
    if (last && last.nameId === name && (last.nid === nid || (last.nid !== last.nid && nid !== nid))) return last.index;
    var key = name + ":" + nid, index = this.threadKeys.get(key);
    if (index === undefined) {
      index = this.threads.length;
      this.threadKeys.set(key, index);
      this.threads.push({ index: index, nameId: name, name: this.names.strs[name], nid: nid, stack: [], roots: [], lastReturned: -1,
                          first: NaN, last: NaN, levels: [], calls: 0 });
    }
    this.lastThread = this.threads[index];
    return index;
  };

  Trace.prototype.sameFrameId = function (a, b) {
    var R = this.rec, len = R.fidLen[a];
    if (len < 0 || len !== R.fidLen[b]) return false;
    var x = R.fid[a], y = R.fid[b], bytes = this.bytes;
    for (var i = 0; i < len; i++) if (bytes[x + i] !== bytes[y + i]) return false;
    return true;
  };

  Trace.prototype.newCall = function (t, callRec, start) {
    var C = this.call, k = C.add();
    C.callRec[k] = callRec; C.retRec[k] = -1; C.excRec[k] = -1;
    C.start[k] = start; C.end[k] = NaN; C.parent[k] = -1; C.thread[k] = t;
    return k;
  };

  Trace.prototype.enter = function (th, t, r) {
    var k = this.newCall(t, r, this.rec.ts[r]);
    if (th.stack.length) this.call.parent[k] = th.stack[th.stack.length - 1];
    else th.roots.push(k);
    th.stack.push(k);
  };

  Trace.prototype.leave = function (th, t, r) {
    var C = this.call, stack = th.stack, ts = this.rec.ts[r], k;
    for (var i = stack.length - 1; i >= 0; i--) {
      if (this.sameFrameId(C.callRec[stack[i]], r)) break;
    }
    if (i < 0) {
      // A return whose call was not recorded (profiling began inside the function): it
      // encloses everything recorded on this thread so far.
      k = this.newCall(t, r, NaN);
      C.end[k] = ts; C.retRec[k] = r;
      for (var j = 0; j < th.roots.length; j++) C.parent[th.roots[j]] = k;
      th.roots = [k];
      while (stack.length) { var open = stack.pop(); C.end[open] = ts; }
      th.lastReturned = k;
      return;
    }
    while (stack.length > i + 1) { var inner = stack.pop(); C.end[inner] = ts; }
    k = stack.pop();
    C.end[k] = ts; C.retRec[k] = r;
    th.lastReturned = k;
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
      var thr = this.threads[C.thread[k]];
      if (C.start[k] !== C.start[k]) C.start[k] = thr.first;
      if (C.end[k] !== C.end[k]) C.end[k] = thr.last;
    }
    var childCount = new Int32Array(n + 1);
    for (k = 0; k < n; k++) if (C.parent[k] >= 0) childCount[C.parent[k]]++;
    var childStart = new Int32Array(n + 1);
    for (k = 0; k < n; k++) childStart[k + 1] = childStart[k] + childCount[k];
    var children = new Int32Array(childStart[n]), fill = childStart.slice(0, n);
    for (k = 0; k < n; k++) if (C.parent[k] >= 0) children[fill[C.parent[k]]++] = k;
    this.childStart = childStart;
    this.children = children;

    // Function of each call: qualified name and file.
    var S = this.names.strs.length, fnKeys = new Map();
    this.fileOf = new Int32Array(S).fill(-1);
    this.lineOf = new Int32Array(S);
    this.fn = new Int32Array(n);
    this.fnQn = []; this.fnFile = [];
    for (k = 0; k < n; k++) {
      var rec = C.callRec[k], file = this.file(R.path[rec]), key = R.qn[rec] * S + file;
      var f = fnKeys.get(key);
      if (f === undefined) {
        f = this.fnQn.length;
        fnKeys.set(key, f);
        this.fnQn.push(R.qn[rec]);
        this.fnFile.push(file);
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
    var active = new Int32Array(F), pos = 0, walk = new Int32Array(2 * n + 2), top;
    for (t = 0; t < this.threads.length; t++) {
      var thread = this.threads[t], levels = [];
      top = 0;
      for (i = thread.roots.length - 1; i >= 0; i--) walk[top++] = thread.roots[i] + 1;
      var firstPos = pos;
      while (top > 0) {
        var item = walk[--top];
        if (item < 0) {  // leaving a call
          k = -item - 1;
          active[this.fn[k]]--;
          var p = C.parent[k], dur = C.end[k] - C.start[k];
          this.own[k] += dur;
          this.fnOwn[this.fn[k]] += this.own[k];
          if (p >= 0) { this.under[p] += this.under[k] + 1; this.own[p] -= dur; }
          continue;
        }
        k = item - 1;
        this.order[pos++] = k;
        var d = C.parent[k] >= 0 ? this.depth[C.parent[k]] + 1 : 0;
        this.depth[k] = d;
        (levels[d] || (levels[d] = [])).push(k);
        var fk = this.fn[k];
        this.fnCalls[fk]++;
        if (active[fk]++ === 0) this.fnTotal[fk] += C.end[k] - C.start[k];
        walk[top++] = -(k + 1);
        for (i = childStart[k + 1] - 1; i >= childStart[k]; i--) walk[top++] = children[i] + 1;
      }
      thread.levels = levels.map(function (l) { return Int32Array.from(l); });
      thread.calls = pos - firstPos;
      thread.orderStart = firstPos;
      thread.orderEnd = pos;
      thread.stack = null;
    }
    this.markers.sort(function (a, b) { return R.ts[a] - R.ts[b]; });
    var main = this.doc.main_thread_id;
    this.threads.forEach(function (th) { th.main = main !== undefined && main !== null && th.nid === main; });
    // Threads as shown: the main thread first, then by their first record.
    this.lanes = this.threads.slice().sort(function (a, b) {
      return (b.main - a.main) || (a.first - b.first) || (a.index - b.index);
    });
  };

  // File and line of a "file:line" path string.
  Trace.prototype.file = function (pathId) {
    if (this.fileOf[pathId] >= 0) return this.fileOf[pathId];
    var text = this.names.strs[pathId], cut = text.lastIndexOf(":"), file = pathId, line = 0;
    if (cut > 0 && /^\d+$/.test(text.slice(cut + 1))) {
      file = this.names.of(text.slice(0, cut));
      line = parseInt(text.slice(cut + 1), 10);
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
    return len < 0 ? null : new TextDecoder().decode(this.bytes.subarray(this.rec.fid[r], this.rec.fid[r] + len));
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

  Trace.prototype.isRaising = function (k) { return this.call.excRec[k] >= 0; };
  Trace.prototype.isUnfinished = function (k) { return this.call.retRec[k] < 0; };

  Tavo.Trace = Trace;
  Tavo.KIND = { CALL: KIND_CALL, RETURN: KIND_RETURN, EVENT: KIND_EVENT, PLUGIN: KIND_PLUGIN,
                EXCEPTION: KIND_EXCEPTION };

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

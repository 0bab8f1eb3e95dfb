// The timeline: one flame chart per thread on a canvas. Only what falls on screen is drawn:
// each depth of a thread is a time-ordered list, found by binary search, and runs of calls
// narrower than a pixel are drawn as one pixel.
"use strict";
var Tavo = window.Tavo || (window.Tavo = {});

(function () {
  var ROW = 17, HEAD = 20, GAP = 8, FONT = "11px ui-monospace, monospace";
  var LINE = 160;  // characters of a tooltip line (a path loses its start, other text its end)

  function Timeline(trace, box, app) {
    this.trace = trace;
    this.app = app;
    this.box = box;
    this.canvas = Tavo.el("canvas");
    this.canvas.tabIndex = 0;
    this.tip = Tavo.el("div", "tip");
    this.tip.hidden = true;
    box.appendChild(this.canvas);
    box.appendChild(this.tip);
    this.ctx = this.canvas.getContext("2d");
    this.scrollY = 0;
    this.layout();
    this.reset();
    this.bind();
    this.testNames = new Map();
    this.laneMarkers = trace.threads.map(function () { return []; });
    for (var i = 0; i < trace.markers.length; i++) this.laneMarkers[trace.rec.thread[trace.markers[i]]].push(trace.markers[i]);
  }

  Timeline.prototype.layout = function () {
    var y = 0;
    this.tops = this.trace.lanes.map(function (lane) {
      var top = y;
      y += HEAD + Math.max(1, lane.levels.length) * ROW + GAP;
      return top;
    });
    this.height = y;
  };

  Timeline.prototype.reset = function () {
    var span = this.trace.endTime - this.trace.origin;
    span = span > 0 ? span : 1e-3;
    // A little room on both sides, so that marks at the very start and end show whole.
    this.min = this.t0 = -span * 0.005;
    this.max = this.t1 = span * 1.005;
    this.scrollY = 0;
  };

  // Keeps the view within the trace: no zooming out past all of it, no times before its start.
  Timeline.prototype.clamp = function () {
    var span = this.t1 - this.t0;
    if (!(span < this.max - this.min)) { this.t0 = this.min; this.t1 = this.max; return; }
    if (this.t0 < this.min) { this.t0 = this.min; this.t1 = this.min + span; }
    if (this.t1 > this.max) { this.t1 = this.max; this.t0 = this.max - span; }
  };

  Timeline.prototype.resize = function () {
    var ratio = window.devicePixelRatio || 1, w = this.box.clientWidth, h = this.box.clientHeight;
    this.w = w; this.h = h;
    this.canvas.width = Math.max(1, Math.floor(w * ratio));
    this.canvas.height = Math.max(1, Math.floor(h * ratio));
    this.canvas.style.width = w + "px";
    this.canvas.style.height = h + "px";
    this.ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    this.draw();
  };

  Timeline.prototype.x = function (t) { return (t - this.t0) / (this.t1 - this.t0) * this.w; };
  Timeline.prototype.time = function (x) { return this.t0 + x / this.w * (this.t1 - this.t0); };

  // First position in a level whose call ends at or after relative time t.
  function firstEnding(level, ends, origin, t) {
    var lo = 0, hi = level.length;
    while (lo < hi) {
      var mid = (lo + hi) >> 1;
      if (ends[level[mid]] - origin < t) lo = mid + 1; else hi = mid;
    }
    return lo;
  }

  Timeline.prototype.request = function () {
    var self = this;
    if (this.pending) return;
    this.pending = true;
    requestAnimationFrame(function () { self.pending = false; self.draw(); });
  };

  Timeline.prototype.draw = function () {
    var ctx = this.ctx, tr = this.trace, C = tr.call, origin = tr.origin, w = this.w, h = this.h;
    var sel = this.app.selected, matches = this.app.search.flags;
    ctx.clearRect(0, 0, w, h);
    ctx.font = FONT;
    ctx.textBaseline = "middle";
    var charW = this.charW || (this.charW = ctx.measureText("m").width);
    var selBox = null;
    for (var li = 0; li < tr.lanes.length; li++) {
      var lane = tr.lanes[li], top = this.tops[li] - this.scrollY;
      var bottom = top + HEAD + lane.levels.length * ROW;
      if (bottom < 0 || top > h) continue;
      ctx.fillStyle = "#eef1f5";
      ctx.fillRect(0, top, w, HEAD);
      ctx.fillStyle = "#223";
      var title = laneTitle(lane);
      ctx.fillText(title, 6, top + HEAD / 2);
      var titleEnd = 6 + ctx.measureText(title).width;
      for (var d = 0; d < lane.levels.length; d++) {
        var y = top + HEAD + d * ROW;
        if (y + ROW < 0 || y > h) continue;
        var level = lane.levels[d], i = firstEnding(level, C.end, origin, this.t0);
        while (i < level.length) {
          var k = level[i], s = C.start[k] - origin;
          if (s > this.t1) break;
          var x0 = this.x(s), x1 = this.x(C.end[k] - origin);
          if (x1 - x0 < 1) {
            // Everything that ends within this pixel is drawn as one pixel.
            ctx.fillStyle = "#a9b0bb";
            ctx.fillRect(Math.floor(x0), y, 1, ROW - 1);
            i = Math.max(i + 1, firstEnding(level, C.end, origin, this.time(Math.floor(x0) + 1)));
            continue;
          }
          var dim = matches && !matches[k];
          ctx.fillStyle = dim ? "#e4e6ea" : Tavo.color(tr.fn[k]);
          var bx = Math.max(x0, -1), bw = Math.min(x1, w + 1) - bx;
          ctx.fillRect(bx, y, Math.max(bw - 0.5, 1), ROW - 1);
          if (tr.isRaising(k)) {  // ended by an exception: a red underline
            ctx.fillStyle = "#c0392b";
            ctx.fillRect(bx, y + ROW - 4, Math.max(bw - 0.5, 1), 3);
          }
          if (k === sel) selBox = [bx, y, bw, ROW - 1];
          if (bw > 24) {
            var name = tr.qualname(k), room = Math.floor((bw - 6) / charW);
            ctx.fillStyle = dim ? "#99a" : "#111";
            ctx.fillText(name.length > room ? name.slice(0, Math.max(room - 1, 0)) + "…" : name, bx + 3, y + ROW / 2);
          }
          i++;
        }
      }
      this.drawMarkers(lane, top, bottom, titleEnd);
    }
    if (selBox) {
      ctx.strokeStyle = "#1a56db";
      ctx.lineWidth = 2;
      ctx.strokeRect(selBox[0], selBox[1], selBox[2], selBox[3]);
    }
    this.drawScale();
  };

  function laneTitle(lane) {
    return "thread " + lane.name + (lane.nid === lane.nid ? " (" + lane.nid + ")" : "") +
      (lane.main ? " · main" : "") + " · " + lane.calls + (lane.calls === 1 ? " call" : " calls");
  }

  // Plugin records: test boundaries as lines across the thread's chart, others as ticks.
  Timeline.prototype.drawMarkers = function (lane, top, bottom, titleEnd) {
    var tr = this.trace, R = tr.rec, ctx = this.ctx, list = this.laneMarkers[lane.index];
    for (var i = 0; i < list.length; i++) {
      var r = list[i], x = this.x(R.ts[r] - tr.origin);
      if (x < -2 || x > this.w + 2) continue;
      var type = R.type[r], boundary = type === tr.id.start || type === tr.id.end;
      ctx.fillStyle = boundary ? "#0a7f3f" : R.kind[r] === Tavo.KIND.EXCEPTION ? "#c0392b" : "#7a4bd1";
      if (boundary) {
        ctx.fillRect(Math.round(x), top, 1.5, bottom - top);
        if (type === tr.id.start) ctx.fillText("▶ " + this.testName(r), Math.max(x + 4, titleEnd + 12), top + HEAD / 2 + 1);
      }
      ctx.beginPath();
      ctx.moveTo(x - 4, top + 1); ctx.lineTo(x + 4, top + 1); ctx.lineTo(x, top + 8);
      ctx.fill();
    }
  };

  Timeline.prototype.testName = function (r) {
    if (!this.testNames.has(r)) {
      var name = this.trace.record(r).test_name;
      this.testNames.set(r, name && name.k === "str" ? name.v : "test");
    }
    return this.testNames.get(r);
  };

  // Ticks about every 100 pixels, at 1, 2 or 5 times a power of ten, from the trace's start.
  Timeline.prototype.drawScale = function () {
    var ctx = this.ctx, raw = (this.t1 - this.t0) / Math.max(this.w / 100, 1);
    var power = Math.pow(10, Math.floor(Math.log10(raw))), m = raw / power;
    var step = (m <= 1 ? 1 : m <= 2 ? 2 : m <= 5 ? 5 : 10) * power;
    if (!(step > 0)) return;
    // One unit for the whole scale, that of its largest time; as many digits as the step needs.
    var far = Math.max(Math.abs(this.t0), Math.abs(this.t1));
    var unit = far >= 1 ? [1, "s"] : far >= 1e-3 ? [1e-3, "ms"] : far >= 1e-6 ? [1e-6, "µs"] : [1e-9, "ns"];
    var digits = Math.min(9, Math.max(0, Math.ceil(-Math.log10(step / unit[0]) - 1e-9)));
    ctx.fillStyle = "rgba(255,255,255,0.85)";
    ctx.fillRect(0, this.h - 14, this.w, 14);
    ctx.fillStyle = "#556";
    for (var i = Math.ceil(Math.max(this.t0, 0) / step); i * step <= this.t1; i++) {
      var t = i * step, x = this.x(t);
      var label = (t / unit[0]).toFixed(digits) + " " + unit[1];
      ctx.fillRect(x, this.h - 14, 1, 4);
      if (x + 2 + ctx.measureText(label).width <= this.w) ctx.fillText(label, x + 2, this.h - 6);
    }
  };

  // What is under the point: {call} or {marker}, or null.
  Timeline.prototype.hit = function (px, py) {
    var tr = this.trace, C = tr.call, y = py + this.scrollY;
    for (var li = 0; li < tr.lanes.length; li++) {
      var lane = tr.lanes[li], top = this.tops[li];
      if (y < top || y >= top + HEAD + lane.levels.length * ROW) continue;
      if (y < top + HEAD) {
        var R = tr.rec, best = -1, bestDx = 5, list = this.laneMarkers[lane.index];
        for (var i = 0; i < list.length; i++) {
          var r = list[i], dx = Math.abs(this.x(R.ts[r] - tr.origin) - px);
          if (dx < bestDx) { bestDx = dx; best = r; }
        }
        return best >= 0 ? { marker: best } : null;
      }
      var level = lane.levels[Math.floor((y - top - HEAD) / ROW)];
      if (!level) return null;
      var t = this.time(px), slack = (this.t1 - this.t0) / this.w;
      var j = firstEnding(level, C.end, tr.origin, t - slack);
      if (j < level.length && C.start[level[j]] - tr.origin <= t + slack) return { call: level[j] };
      return null;
    }
    return null;
  };

  Timeline.prototype.showTip = function (px, py, hit) {
    var tr = this.trace, lines;
    if (!hit) { this.tip.hidden = true; return; }
    if (hit.call !== undefined) {
      var k = hit.call;
      lines = [Tavo.cut(tr.qualname(k), LINE), Tavo.duration(tr.call.end[k] - tr.call.start[k]) +
               (tr.isUnfinished(k) ? " (no return recorded)" : ""), Tavo.tail(tr.location(k), LINE)];
      var ending = Tavo.endingText(tr, k);
      if (ending) lines.push(Tavo.cut(ending, LINE));
    } else {
      var rec = tr.record(hit.marker), R = tr.rec, r = hit.marker;
      lines = [tr.text(R.type[r]) + (R.sub[r] >= 0 ? " / " + tr.text(R.sub[r]) : ""),
               "at " + Tavo.duration(R.ts[r] - tr.origin)];
      Object.keys(rec).forEach(function (key) {
        if (["frame_id", "timestamp", "thread", "thread_native_id", "type", "subtype", "user_code_call_site"].indexOf(key) < 0) {
          lines.push(Tavo.cut(key + ": " + Tavo.valueText(rec[key]), LINE));
        }
      });
    }
    this.tip.textContent = lines.join("\n");
    this.tip.hidden = false;
    var left = Math.min(px + 14, this.w - this.tip.offsetWidth - 4);
    this.tip.style.left = Math.max(0, left) + "px";
    this.tip.style.top = Math.min(py + 14, this.h - this.tip.offsetHeight - 4) + "px";
  };

  Timeline.prototype.zoom = function (factor, px) {
    var t = this.time(px), span = (this.t1 - this.t0) * factor;
    span = Math.max(span, 1e-9);
    this.t0 = t - (px / this.w) * span;
    this.t1 = this.t0 + span;
    this.clamp();
    this.tip.hidden = true;
    this.request();
  };

  Timeline.prototype.pan = function (dx, dy) {
    var dt = dx / this.w * (this.t1 - this.t0);
    this.t0 += dt; this.t1 += dt;
    this.clamp();
    this.tip.hidden = true;
    this.scrollY = Math.max(0, Math.min(this.scrollY + dy, Math.max(0, this.height - this.h + 20)));
    this.request();
  };

  // Brings call k into view (zooming in or out as needed), keeping its lane visible.
  Timeline.prototype.reveal = function (k) {
    var C = this.trace.call, s = C.start[k] - this.trace.origin, e = C.end[k] - this.trace.origin;
    var span = this.t1 - this.t0;
    if (e - s > span * 0.9 || (e - s) * this.w / span < 4) {
      var pad = Math.max((e - s) * 0.25, 1e-7);
      this.t0 = s - pad; this.t1 = e + pad;
    } else if (s < this.t0 || e > this.t1) {
      this.t0 = (s + e) / 2 - span / 2; this.t1 = this.t0 + span;
    }
    this.clamp();
    this.tip.hidden = true;
    var lane = this.trace.threads[C.thread[k]].position;
    var y = this.tops[lane] + HEAD + this.trace.depth[k] * ROW;
    if (y < this.scrollY || y + ROW > this.scrollY + this.h - 16) this.scrollY = Math.max(0, y - this.h / 3);
    this.request();
  };

  // Zooms to call k's span.
  Timeline.prototype.focusOn = function (k) {
    var C = this.trace.call, s = C.start[k] - this.trace.origin, e = C.end[k] - this.trace.origin;
    var pad = Math.max((e - s) * 0.05, 1e-7);
    this.t0 = s - pad; this.t1 = e + pad;
    this.reveal(k);
  };

  Timeline.prototype.bind = function () {
    var self = this, c = this.canvas, drag = null;
    c.addEventListener("wheel", function (ev) {
      ev.preventDefault();
      var rect = c.getBoundingClientRect(), px = ev.clientX - rect.left;
      if (ev.shiftKey) self.pan(0, ev.deltaY);
      else if (Math.abs(ev.deltaX) > Math.abs(ev.deltaY)) self.pan(ev.deltaX, 0);
      else self.zoom(Math.exp(ev.deltaY * 0.002), px);
    }, { passive: false });
    c.addEventListener("mousedown", function (ev) { drag = { x: ev.clientX, y: ev.clientY, moved: false }; c.focus(); });
    window.addEventListener("mouseup", function (ev) {
      if (drag && !drag.moved && ev.target === c) {
        var rect = c.getBoundingClientRect(), hit = self.hit(ev.clientX - rect.left, ev.clientY - rect.top);
        if (hit && hit.call !== undefined) self.app.select(hit.call, "timeline");
      }
      drag = null;
    });
    c.addEventListener("mousemove", function (ev) {
      var rect = c.getBoundingClientRect(), px = ev.clientX - rect.left, py = ev.clientY - rect.top;
      if (drag) {
        var dx = ev.clientX - drag.x, dy = ev.clientY - drag.y;
        if (Math.abs(dx) + Math.abs(dy) > 2) drag.moved = true;
        if (drag.moved) { self.pan(-dx, -dy); drag.x = ev.clientX; drag.y = ev.clientY; }
        self.tip.hidden = true;
        return;
      }
      self.showTip(px, py, self.hit(px, py));
    });
    c.addEventListener("dblclick", function (ev) {
      var rect = c.getBoundingClientRect(), hit = self.hit(ev.clientX - rect.left, ev.clientY - rect.top);
      if (hit && hit.call !== undefined) self.focusOn(hit.call);
    });
    c.addEventListener("mouseleave", function () { self.tip.hidden = true; });
    c.addEventListener("keydown", function (ev) {
      var step = self.w / 8, handled = true;
      switch (ev.key) {
        case "w": case "+": case "=": self.zoom(0.8, self.w / 2); break;
        case "s": case "-": self.zoom(1.25, self.w / 2); break;
        case "a": case "ArrowLeft": self.pan(-step, 0); break;
        case "d": case "ArrowRight": self.pan(step, 0); break;
        case "ArrowUp": self.pan(0, -ROW * 3); break;
        case "ArrowDown": self.pan(0, ROW * 3); break;
        case "0": self.reset(); self.tip.hidden = true; self.request(); break;
        case "f": if (self.app.selected >= 0) self.focusOn(self.app.selected); break;
        default: handled = false;
      }
      if (handled) ev.preventDefault();
    });
    window.addEventListener("resize", function () { self.resize(); });
  };

  Tavo.Timeline = Timeline;
})();

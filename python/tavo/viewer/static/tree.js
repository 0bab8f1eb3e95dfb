// The call tree: threads, then calls that fold and unfold, as a windowed list (only the rows on
// screen exist in the page; the rest is a number in an Int32Array).
"use strict";
var Tavo = window.Tavo || (window.Tavo = {});

(function () {
  var ROW = 22;

  function CallTree(trace, box, app) {
    this.trace = trace;
    this.app = app;
    this.box = box;
    box.tabIndex = 0;
    this.spacer = Tavo.el("div", "spacer");
    box.appendChild(this.spacer);
    this.pool = [];
    this.open = new Uint8Array(trace.call.n);
    this.laneOpen = trace.lanes.map(function () { return true; });
    // Start with each thread's first level of calls open.
    for (var i = 0; i < trace.lanes.length; i++) {
      var roots = trace.lanes[i].roots;
      for (var j = 0; j < roots.length && j < 50; j++) this.open[roots[j]] = 1;
    }
    this.rows = new Int32Array(0);
    this.rebuild();
    if (!trace.lanes.length) box.appendChild(Tavo.el("p", "hint", "This trace has no recorded calls."));
    this.bind();
  }

  // Row items: a call index, or -(lane position + 1) for a thread's heading.
  CallTree.prototype.rebuild = function () {
    var tr = this.trace, out = [], stack = [], cs = tr.childStart, ch = tr.children;
    for (var li = 0; li < tr.lanes.length; li++) {
      out.push(-(li + 1));
      if (!this.laneOpen[li]) continue;
      var roots = tr.lanes[li].roots;
      for (var r = roots.length - 1; r >= 0; r--) stack.push(roots[r]);
      while (stack.length) {
        var k = stack.pop();
        out.push(k);
        if (this.open[k]) for (var i = cs[k + 1] - 1; i >= cs[k]; i--) stack.push(ch[i]);
      }
    }
    this.rows = Int32Array.from(out);
    this.spacer.style.height = this.rows.length * ROW + "px";
  };

  CallTree.prototype.render = function () {
    var tr = this.trace, first = Math.floor(this.box.scrollTop / ROW);
    var count = Math.ceil(this.box.clientHeight / ROW) + 2, i;
    while (this.pool.length < count) {
      var row = Tavo.el("div", "trow");
      row.toggle = row.appendChild(Tavo.el("span", "toggle"));
      row.name = row.appendChild(Tavo.el("span", "name"));
      row.dur = row.appendChild(Tavo.el("span", "dur"));
      // A path too long for its room loses its start, not the file name (see viewer.css).
      row.loc = row.appendChild(Tavo.el("span", "loc")).appendChild(Tavo.el("bdi"));
      row.under = row.appendChild(Tavo.el("span", "under"));
      this.box.appendChild(row);
      this.pool.push(row);
    }
    for (i = 0; i < this.pool.length; i++) {
      var el = this.pool[i], at = first + i;
      if (i >= count || at >= this.rows.length) { el.hidden = true; continue; }
      el.hidden = false;
      el.style.top = at * ROW + "px";
      el.dataset.row = at;
      var item = this.rows[at];
      if (item < 0) {
        var lane = tr.lanes[-item - 1];
        el.className = "trow thread";
        el.style.paddingLeft = "4px";
        el.toggle.textContent = this.laneOpen[-item - 1] ? "▾" : "▸";
        el.name.textContent = "thread " + lane.name + (lane.main ? " (main)" : "");
        el.dur.textContent = "";
        el.loc.textContent = lane.nid === lane.nid ? "native id " + lane.nid : "";
        el.under.textContent = lane.calls + (lane.calls === 1 ? " call" : " calls");
        el.dataset.call = "";
        continue;
      }
      var k = item, leaf = tr.childStart[k + 1] === tr.childStart[k], ending = tr.ending(k);
      el.className = "trow" + (k === this.app.selected ? " selected" : "") +
        (tr.isRaising(k) ? " raising" : ending ? " ended" : "") +
        (this.app.search.flags && this.app.search.flags[k] ? " match" : "");
      el.style.paddingLeft = 4 + (tr.depth[k] + 1) * 14 + "px";
      el.toggle.textContent = leaf ? "·" : this.open[k] ? "▾" : "▸";
      el.name.textContent = tr.qualname(k) + (tr.isRaising(k) ? "  ⚠ raised" :
        ending === Tavo.ENDING.EXITED ? "  · exited" : ending === Tavo.ENDING.SKIPPED ? "  · skipped" : "");
      el.dur.textContent = Tavo.duration(tr.call.end[k] - tr.call.start[k]) + (tr.isUnfinished(k) ? "+" : "");
      el.loc.textContent = tr.location(k);
      el.under.textContent = tr.under[k] ? tr.under[k] + " under" : "";
      el.dataset.call = k;
    }
  };

  CallTree.prototype.toggle = function (item) {
    if (item < 0) this.laneOpen[-item - 1] = !this.laneOpen[-item - 1];
    else this.open[item] = this.open[item] ? 0 : 1;
    this.rebuild();
    this.render();
  };

  // Opens the call's ancestors and scrolls its row into view.
  CallTree.prototype.reveal = function (k) {
    var tr = this.trace, p = tr.call.parent[k];
    var lane = tr.threads[tr.call.thread[k]].position, changed = !this.laneOpen[lane];
    this.laneOpen[lane] = true;
    for (; p >= 0; p = tr.call.parent[p]) if (!this.open[p]) { this.open[p] = 1; changed = true; }
    if (changed) this.rebuild();
    var top = this.rows.indexOf(k) * ROW, view = this.box.clientHeight;
    if (top >= 0 && (top < this.box.scrollTop || top + ROW > this.box.scrollTop + view)) this.box.scrollTop = top - view / 3;
    this.render();
  };

  CallTree.prototype.bind = function () {
    var self = this;
    this.box.addEventListener("scroll", function () { self.render(); });
    window.addEventListener("resize", function () { self.render(); });
    this.box.addEventListener("click", function (ev) {
      var row = ev.target.closest(".trow");
      if (!row) return;
      var item = self.rows[+row.dataset.row];
      if (item === undefined) return;
      if (item < 0 || ev.target.classList.contains("toggle")) self.toggle(item);
      else self.app.select(item, "tree");
    });
    this.box.addEventListener("dblclick", function (ev) {
      var row = ev.target.closest(".trow");
      var item = row ? self.rows[+row.dataset.row] : undefined;
      if (item !== undefined && !ev.target.classList.contains("toggle")) self.toggle(item);
    });
    this.box.addEventListener("keydown", function (ev) {
      var k = self.app.selected, at = k >= 0 ? self.rows.indexOf(k) : -1, tr = self.trace;
      var handled = true;
      switch (ev.key) {
        case "ArrowDown": case "ArrowUp":
          var step = ev.key === "ArrowDown" ? 1 : -1;
          for (var i = at + step; i >= 0 && i < self.rows.length; i += step) {
            if (self.rows[i] >= 0) { self.app.select(self.rows[i], "tree"); break; }
          }
          break;
        case "ArrowRight": if (k >= 0 && !self.open[k]) self.toggle(k); break;
        case "ArrowLeft":
          if (k >= 0 && self.open[k]) self.toggle(k);
          else if (k >= 0 && tr.call.parent[k] >= 0) self.app.select(tr.call.parent[k], "tree");
          break;
        case "Enter": if (k >= 0) self.toggle(k); break;
        default: handled = false;
      }
      if (handled) ev.preventDefault();
    });
  };

  Tavo.CallTree = CallTree;
})();

// The page: the trace list (served pages) or one trace, with timeline, call tree, detail pane,
// search and summary. A page written to a file carries its trace inline and needs no server.
// Either way the trace's records are read as its bytes arrive (from the network, or inflated
// from the file), so reading overlaps the transfer.
"use strict";
var Tavo = window.Tavo || (window.Tavo = {});

(function () {
  var el = Tavo.el;
  var main = document.getElementById("main"), title = document.getElementById("title");
  var back = document.getElementById("back");

  function fail(message) {
    Tavo.clear(main).appendChild(el("p", "error", message));
    document.body.dataset.ready = "error";
  }

  function fromBase64(text) {
    if (Uint8Array.fromBase64) return Uint8Array.fromBase64(text);
    var raw = atob(text), bytes = new Uint8Array(raw.length);
    for (var i = 0; i < raw.length; i++) bytes[i] = raw.charCodeAt(i);
    return bytes;
  }

  // The model of a document of `total` bytes that `read` hands over piece by piece (a stream
  // reader); each piece's whole records are read at once.
  function readTrace(read, total) {
    var bytes = new Uint8Array(total), got = 0, shown = 0, trace;
    try { trace = new Tavo.Trace(bytes, 0); } catch (err) { return Promise.reject(err); }
    function next() {
      return read().then(function (part) {
        if (part.done) {
          performance.mark("tavo:fetched");
          if (got !== total) throw new Error("the trace document arrived incomplete (" + got + " of " + total + " bytes)");
          trace.done();
          return trace;
        }
        if (got + part.value.length > total) throw new Error("the trace document is longer than announced");
        bytes.set(part.value, got);
        got += part.value.length;
        trace.feed(got);
        if (got * 100 >= (shown + 5) * total) {
          shown = Math.floor(got * 100 / total);
          title.textContent = "loading trace… " + shown + "%";
        }
        return next();
      });
    }
    return next();
  }

  // The page's own trace, from the file: deflated slices in base64, inflated as a stream.
  function inlineTrace(summary) {
    var slices = document.querySelectorAll("script.tavo-data"), inflate = new DecompressionStream("deflate");
    var writer = inflate.writable.getWriter(), i = 0;
    function write() {
      if (i === slices.length) return writer.close();
      var slice = fromBase64(slices[i].textContent);
      slices[i++].textContent = "";
      return writer.ready.then(function () {
        writer.write(slice).catch(function () {});  // the reading side reports a damaged slice
        return write();
      });
    }
    var written = write();
    var reader = inflate.readable.getReader();
    return readTrace(function () { return reader.read(); }, summary.size).then(function (trace) {
      return written.then(function () { return trace; });
    });
  }

  var generation = 0;  // a trace still loading when the page moves on is not shown

  function route() {
    var inline = document.getElementById("tavo-summary");
    generation++;
    if (inline) {
      var summary = JSON.parse(inline.textContent);
      back.hidden = true;
      load(summary, inlineTrace(summary));
      return;
    }
    var m = /^#\/trace\/([^/]+)\/(\d+)$/.exec(location.hash);
    if (!m) { showList(); return; }
    title.textContent = "loading trace…";
    fetch("api/document/" + m[1] + "/" + m[2]).then(function (res) {
      if (!res.ok) return res.text().then(function (t) { throw new Error(t || res.statusText); });
      var summary = JSON.parse(res.headers.get("X-Tavo-Summary") || "{}");
      var reader = res.body.getReader();
      load(summary, readTrace(function () { return reader.read(); }, Number(res.headers.get("Content-Length"))));
    }).catch(function (err) { fail("Cannot open this trace: " + err.message); });
  }

  function load(summary, reading) {
    var mine = generation;
    reading.then(function (trace) {
      if (mine !== generation) return;
      performance.mark("tavo:indexed");
      openTrace(summary, trace);
    }, function (err) { if (mine === generation) fail("Cannot read this trace: " + err.message); });
  }

  function showList() {
    back.hidden = true;
    title.textContent = "traces";
    document.body.className = "list";
    fetch("api/traces").then(function (res) {
      if (!res.ok) throw new Error(res.statusText);
      return res.json();
    }).then(function (data) {
      title.textContent = "traces in " + data.db;
      Tavo.showList(Tavo.clear(main), data.traces);
      document.body.dataset.ready = "list";
    }).catch(function (err) { fail("Cannot list the traces: " + err.message); });
  }

  function openTrace(summary, trace) {
    back.hidden = !!document.getElementById("tavo-summary");
    document.body.className = "trace";
    title.textContent = "trace " + (trace.doc.trace_id || summary.trace_id || "?") +
      (summary.label ? " · " + summary.label : "") + (summary.outcome ? " · " + summary.outcome : "");
    new TraceView(trace, summary);
  }

  function TraceView(trace, summary) {
    var self = this;
    this.trace = trace;
    this.selected = -1;
    this.search = new Tavo.Search(trace);
    Tavo.clear(main);
    var lost = Tavo.lossText(summary);
    if (lost) main.appendChild(el("div", "warning", lost)).id = "lost";
    var bar = main.appendChild(el("div", "searchbar"));
    this.input = bar.appendChild(el("input"));
    this.input.type = "search";
    this.input.id = "search";
    this.input.placeholder = "search function, qualified name or file";
    this.input.title = "Enter: next match, Shift+Enter: previous match";
    var prev = bar.appendChild(el("button", null, "◀")), next = bar.appendChild(el("button", null, "▶"));
    this.count = bar.appendChild(el("span", "hint"));
    this.count.id = "search-count";
    bar.appendChild(el("span", "hint keys",
      "timeline: wheel or W/S zoom · drag or A/D pan · Shift+wheel or ↑/↓ scroll · F or double-click: zoom to call · 0 reset"));
    var timeBox = main.appendChild(el("div", "timeline"));
    timeBox.id = "timeline";
    var lower = main.appendChild(el("div", "lower"));
    var treeBox = lower.appendChild(el("div", "tree"));
    treeBox.id = "tree";
    var side = lower.appendChild(el("div", "side"));
    var tabs = side.appendChild(el("div", "tabs"));
    this.detailTab = tabs.appendChild(el("button", "tab on", "call"));
    this.summaryTab = tabs.appendChild(el("button", "tab", "summary"));
    this.detail = side.appendChild(el("div", "detail"));
    this.detail.id = "detail";
    this.summary = side.appendChild(el("div", "summarybox"));
    this.summary.id = "summary";
    this.summary.hidden = true;

    this.timeline = new Tavo.Timeline(trace, timeBox, this);
    this.tree = new Tavo.CallTree(trace, treeBox, this);
    Tavo.showDetail(this.detail, trace, -1, this);
    this.timeline.resize();
    this.tree.render();
    requestAnimationFrame(function () {
      window.tavoFirstPaint = performance.now();
      document.body.dataset.ready = "trace";
    });

    var summaryDone = false;
    this.detailTab.addEventListener("click", function () { self.tab(false); });
    this.summaryTab.addEventListener("click", function () {
      if (!summaryDone) { Tavo.showSummary(self.summary, trace, self); summaryDone = true; }
      self.tab(true);
    });
    var timer = null;
    this.input.addEventListener("input", function () {
      clearTimeout(timer);
      timer = setTimeout(function () { self.runSearch(); }, 150);
    });
    this.input.addEventListener("keydown", function (ev) {
      if (ev.key !== "Enter") return;
      clearTimeout(timer);
      if (self.search.query !== self.input.value) self.runSearch();
      self.jump(ev.shiftKey ? -1 : 1);
    });
    prev.addEventListener("click", function () { self.jump(-1); });
    next.addEventListener("click", function () { self.jump(1); });
  }

  TraceView.prototype.tab = function (summary) {
    this.summary.hidden = !summary;
    this.detail.hidden = summary;
    this.summaryTab.className = summary ? "tab on" : "tab";
    this.detailTab.className = summary ? "tab" : "tab on";
  };

  TraceView.prototype.runSearch = function () {
    this.search.run(this.input.value.trim());
    this.count.textContent = this.search.query ? this.search.matches.length + " matches" : "";
    this.timeline.request();
    this.tree.render();
  };

  TraceView.prototype.jump = function (step) {
    var k = this.search.step(step);
    if (k < 0) return;
    this.count.textContent = (this.search.at + 1) + " of " + this.search.matches.length;
    this.select(k, "search");
  };

  TraceView.prototype.searchFor = function (text) {
    this.input.value = text;
    this.runSearch();
    this.jump(1);
  };

  // Selects call k everywhere: detail pane, tree row, timeline box.
  TraceView.prototype.select = function (k, from) {
    this.selected = k;
    this.tab(false);
    Tavo.showDetail(this.detail, this.trace, k, this);
    this.tree.reveal(k);
    if (from !== "timeline") this.timeline.reveal(k); else this.timeline.request();
  };

  window.addEventListener("hashchange", route);
  route();
})();

// The list of stored traces: the columns of `tavo traces`, sortable, filtered by label or source.
"use strict";
var Tavo = window.Tavo || (window.Tavo = {});

(function () {
  var el = Tavo.el;
  var COLUMNS = [
    ["trace_id", "trace id"], ["saved_at", "saved"], ["source", "source"], ["records", "records"],
    ["size", "size"], ["lost", "lost"], ["label", "label"], ["outcome", "outcome"],
  ];

  function cell(key, t) {
    var v = t[key];
    if (key === "saved_at") return typeof v === "number" ? Tavo.clock(v).slice(0, 19) : "?";
    if (key === "size") return Tavo.size(v);
    if (key === "lost") return Tavo.lostShort(t);
    if (v === null || v === undefined) return key === "records" || key === "source" ? "?" : "";
    return String(v);
  }

  // The lost column sorts by records dropped, then values shortened (a fraction below one
  // that grows with them).
  function sortValue(t, key) {
    if (key !== "lost") return t[key];
    var shortened = (t.losses && t.losses.shortened_values) || 0;
    return (t.dropped_records || 0) + shortened / (shortened + 1);
  }

  Tavo.showList = function (box, traces) {
    Tavo.clear(box);
    var state = { key: "saved_at", down: true, filter: "" };
    // Columns that would be empty for every trace are left out.
    var columns = COLUMNS.filter(function (c) {
      if (c[0] === "lost") return traces.some(function (t) { return Tavo.lostShort(t) !== ""; });
      return c[0] !== "outcome" || traces.some(function (t) { return t.outcome !== undefined && t.outcome !== null; });
    });
    var bar = box.appendChild(el("div", "listbar"));
    var filter = bar.appendChild(el("input"));
    filter.type = "search";
    filter.placeholder = "filter by label or source";
    filter.id = "trace-filter";
    var count = bar.appendChild(el("span", "hint"));
    var table = box.appendChild(el("table", "traces"));
    table.id = "trace-list";
    var head = table.appendChild(el("thead")).appendChild(el("tr"));
    var body = table.appendChild(el("tbody"));
    columns.forEach(function (c) {
      var th = head.appendChild(el("th", null, c[1]));
      th.dataset.key = c[0];
      th.addEventListener("click", function () {
        state.down = state.key === c[0] ? !state.down : c[0] !== "label" && c[0] !== "trace_id" && c[0] !== "source";
        state.key = c[0];
        draw();
      });
    });
    filter.addEventListener("input", function () { state.filter = filter.value.toLowerCase(); draw(); });

    function draw() {
      var shown = traces.filter(function (t) {
        return !state.filter || String(t.label || "").toLowerCase().indexOf(state.filter) >= 0 ||
          String(t.source || "").toLowerCase().indexOf(state.filter) >= 0;
      });
      shown.sort(function (a, b) {
        var x = sortValue(a, state.key), y = sortValue(b, state.key);
        if (x === y) return a.id - b.id;
        if (x === null || x === undefined) return 1;
        if (y === null || y === undefined) return -1;
        return (x < y ? -1 : 1) * (state.down ? -1 : 1);
      });
      Array.prototype.forEach.call(head.children, function (th) {
        th.className = th.dataset.key === state.key ? (state.down ? "sorted down" : "sorted up") : "";
      });
      Tavo.clear(body);
      shown.forEach(function (t) {
        var row = body.appendChild(el("tr"));
        columns.forEach(function (c) {
          var td = row.appendChild(el("td", c[0], cell(c[0], t)));
          if (c[0] === "outcome") td.className = "outcome " + String(t.outcome || "");
          if (c[0] === "lost" && td.textContent) {
            td.className = "lost";
            td.title = Tavo.lossText(t);
          }
        });
        row.addEventListener("click", function () {
          location.hash = "#/trace/" + encodeURIComponent(t.trace_id) + "/" + t.id;
        });
      });
      count.textContent = shown.length + " of " + traces.length + " traces";
    }
    draw();
    if (!traces.length) box.appendChild(el("p", "hint", "No traces in this database yet."));
    if (columns.some(function (c) { return c[0] === "lost"; })) {
      box.appendChild(el("p", "warning", "The lost column says what each trace lost while " +
        "recording (point at it for more): values shortened and records dropped as its records " +
        "neared and reached its buffer budget, and records whose recording failed (a warning " +
        "was logged at the time). " + Tavo.raiseBudget));
    }
  };
})();

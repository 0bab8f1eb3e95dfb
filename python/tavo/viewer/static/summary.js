// The summary: the functions with the most total time (outermost calls only, so recursion is
// not counted twice), the most own time and the most calls.
"use strict";
var Tavo = window.Tavo || (window.Tavo = {});

(function () {
  var el = Tavo.el, TOP = 25;

  Tavo.showSummary = function (box, tr, app) {
    Tavo.clear(box);
    var ids = [];
    for (var f = 0; f < tr.fnQn.length; f++) ids.push(f);
    box.appendChild(el("p", "hint", tr.call.n + " calls of " + ids.length + " functions in " +
      tr.lanes.length + (tr.lanes.length === 1 ? " thread" : " threads") + ", " + tr.rec.n +
      " records over " + Tavo.duration(tr.endTime - tr.origin) + "."));
    [["By total time", tr.fnTotal], ["By own time", tr.fnOwn], ["By number of calls", tr.fnCalls]].forEach(function (pair) {
      var sorted = ids.slice().sort(function (a, b) { return pair[1][b] - pair[1][a]; }).slice(0, TOP);
      box.appendChild(el("h3", null, pair[0]));
      var table = box.appendChild(el("table", "summary"));
      var head = table.appendChild(el("tr"));
      [["function"], ["calls", "num"], ["total", "num"], ["own", "num"], ["file", "loc"]].forEach(function (h) {
        head.appendChild(el("th", h[1], h[0]));
      });
      sorted.forEach(function (fn) {
        var row = table.appendChild(el("tr"));
        var name = row.appendChild(el("td")).appendChild(el("button", "link", tr.text(tr.fnQn[fn])));
        name.title = tr.text(tr.fnQn[fn]);
        name.addEventListener("click", function () { app.searchFor(tr.text(tr.fnQn[fn])); });
        row.appendChild(el("td", "num", String(tr.fnCalls[fn])));
        row.appendChild(el("td", "num", Tavo.duration(tr.fnTotal[fn])));
        row.appendChild(el("td", "num", Tavo.duration(tr.fnOwn[fn])));
        var file = row.appendChild(el("td", "loc"));
        file.appendChild(el("bdi", null, tr.text(tr.fnFile[fn])));
        file.title = Tavo.tail(tr.text(tr.fnFile[fn]), 300);
      });
    });
  };
})();

// Search by function name, qualified name or file: the matching calls in display order (thread
// by thread, then in call order), with a cursor that steps through them.
"use strict";
var Tavo = window.Tavo || (window.Tavo = {});

(function () {
  function Search(trace) {
    this.trace = trace;
    this.query = "";
    this.flags = null;    // Uint8Array over calls, or null when no search is active
    this.matches = [];
    this.at = -1;
  }

  Search.prototype.run = function (query) {
    var tr = this.trace, R = tr.rec, C = tr.call;
    this.query = query;
    this.at = -1;
    this.matches = [];
    if (!query) { this.flags = null; return; }
    var needle = query.toLowerCase(), strs = tr.names.strs, hit = new Uint8Array(strs.length);
    for (var s = 0; s < strs.length; s++) if (strs[s].toLowerCase().indexOf(needle) >= 0) hit[s] = 1;
    var flags = new Uint8Array(C.n);
    for (var k = 0; k < C.n; k++) {
      var r = C.callRec[k];
      if (hit[R.co[r]] || hit[R.qn[r]] || hit[tr.fileOf[R.path[r]]]) flags[k] = 1;
    }
    this.flags = flags;
    var order = tr.order;
    for (var li = 0; li < tr.lanes.length; li++) {
      var lane = tr.lanes[li];
      for (var i = lane.orderStart; i < lane.orderEnd; i++) if (flags[order[i]]) this.matches.push(order[i]);
    }
  };

  // The next (step 1) or previous (step -1) match, or -1 when there is none.
  Search.prototype.step = function (step) {
    if (!this.matches.length) return -1;
    this.at = (this.at + step + this.matches.length) % this.matches.length;
    if (this.at < 0) this.at = this.matches.length - 1;
    return this.matches[this.at];
  };

  Tavo.Search = Search;
})();

// The detail pane of the selected call: where and when it ran, who called it, and its values
// (decoded from its call and return records only now).
"use strict";
var Tavo = window.Tavo || (window.Tavo = {});

(function () {
  var el = Tavo.el;

  // "module.Type: message" of the exception a call raised.
  Tavo.exceptionText = function (tr, k) {
    var rec = tr.record(tr.call.excRec[k]);
    var type = rec.exception_type && rec.exception_type.k === "str" ? rec.exception_type.v : "exception";
    var message = rec.message ? Tavo.valueText(rec.message) : "";
    return message ? type + ": " + message : type;
  };

  // How call k ended when that was not a plain return: "raised ...", "exited ..." (a clean
  // sys.exit) or "skipped ..." (a test skipped itself); null for a plain return.
  Tavo.endingText = function (tr, k) {
    var ending = tr.ending(k);
    if (!ending) return null;
    var verb = ending === Tavo.ENDING.EXITED ? "exited" : ending === Tavo.ENDING.SKIPPED ? "skipped" : "raised";
    return verb + " " + Tavo.exceptionText(tr, k);
  };

  function fact(table, name, value) {
    var row = table.appendChild(el("tr"));
    row.appendChild(el("th", null, name));
    var cell = row.appendChild(el("td"));
    if (value instanceof Node) cell.appendChild(value); else cell.textContent = value;
    return cell;
  }

  function section(box, title, name, body) {
    box.appendChild(el("h3", null, title));
    body.dataset.section = name;
    box.appendChild(body);
  }

  Tavo.showDetail = function (box, tr, k, app) {
    Tavo.clear(box);
    if (k < 0) { box.appendChild(el("p", "hint", "Select a call in the timeline or the tree.")); return; }
    var C = tr.call, call = tr.record(C.callRec[k]), ret = C.retRec[k] >= 0 ? tr.record(C.retRec[k]) : null;
    var orphan = C.callRec[k] === C.retRec[k];
    box.appendChild(el("h2", "qualname", tr.qualname(k)));
    var ending = Tavo.endingText(tr, k);
    if (ending) box.appendChild(el("div", tr.isRaising(k) ? "raised" : "ended", ending));
    var table = box.appendChild(el("table", "facts"));
    fact(table, "function", tr.text(tr.rec.co[C.callRec[k]]));
    fact(table, "file", tr.location(k));
    var lane = tr.threads[C.thread[k]];
    fact(table, "thread", lane.name + (lane.nid === lane.nid ? " (native id " + lane.nid + ")" : ""));
    fact(table, "frame id", tr.frameId(C.callRec[k]) || "none");
    fact(table, "called", orphan ? "before recording began" :
      Tavo.clock(C.start[k]) + "  (+" + Tavo.duration(C.start[k] - tr.origin) + ")");
    fact(table, ending ? ending.split(" ", 1)[0] : "returned", C.retRec[k] < 0 ? "no return recorded" :
      Tavo.clock(C.end[k]) + "  (+" + Tavo.duration(C.end[k] - tr.origin) + ")");
    fact(table, "duration", Tavo.duration(C.end[k] - C.start[k]) + (orphan || C.retRec[k] < 0 ? " (at least)" : ""));
    fact(table, "own time", Tavo.duration(tr.own[k]));
    fact(table, "calls under it", String(tr.under[k]));
    fact(table, "called from", callSite(tr, k, call, app));

    if (!orphan) section(box, "Arguments (locals at the call)", "arguments", Tavo.namesTree(call.locals));
    if (ending) {
      var exc = tr.record(C.excRec[k]), raised = el("div", "values");
      ["exception_type", "message"].forEach(function (key) {
        if (exc[key]) raised.appendChild(Tavo.valueTree(key, exc[key], 1));
      });
      section(box, tr.isRaising(k) ? "Raised" : "Ended by", "raised", raised);
    } else if (ret) {
      var value = el("div", "values");
      value.appendChild(Tavo.valueTree(null, ret.arg || { k: "nil", v: null }, 1));
      section(box, "Return value", "return", value);
    }
    if (ret) section(box, "Locals at the return", "locals", Tavo.namesTree(ret.locals));
  };

  // The calling call, as a link that selects it.
  function callSite(tr, k, call, app) {
    var site = call.user_code_call_site;
    if (!site || site.k !== "map") return el("span", "none", "no recorded caller");
    var fields = {};
    site.entries.forEach(function (e) { if (e[0].k === "str") fields[e[0].v] = e[1]; });
    var id = fields.call_frame_id && fields.call_frame_id.k === "str" ? fields.call_frame_id.v : null;
    var line = fields.line_number ? Tavo.valueText(fields.line_number) : "?";
    // The caller is nearly always the enclosing call in the tree; look further only if not.
    var parent = tr.call.parent[k], caller = -1;
    if (id !== null) caller = parent >= 0 && tr.frameId(tr.call.callRec[parent]) === id ? parent : tr.callByFrameId(id);
    if (caller < 0) return el("span", null, (id || "?") + " line " + line + " (call not in this trace)");
    var link = el("button", "link", tr.qualname(caller) + " line " + line);
    link.title = Tavo.tail(tr.location(caller), 120);
    link.addEventListener("click", function () { app.select(caller, "detail"); });
    return link;
  }
})();

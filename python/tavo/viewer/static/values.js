// Recorded values as folding trees. Containers build their children only when opened, so a
// large local costs nothing until someone looks inside it. Numbers read as Python prints them;
// an object (a map whose first entry is "__type__") shows its type while folded.
"use strict";
var Tavo = window.Tavo || (window.Tavo = {});

(function () {
  var el = Tavo.el;
  var PAGE = 200;         // children shown before a "more" button
  var LONG_TEXT = 2000;   // characters of a string shown before a "more" button
  var TYPE_KEY = "__type__";

  function scalarText(v) {
    switch (v.k) {
      case "nil": return "None";
      case "bool": return v.v ? "True" : "False";
      case "int": case "float": return Tavo.number(v.v, v.k === "float");
      case "str": return JSON.stringify(v.v);
      case "bin": return "bytes(" + v.v.length + ") " + hex(v.v);
      default: return String(v.v);
    }
  }

  function scalar(v) {
    if (v.k === "str") return text(v.v);
    var kind = v.k === "nil" ? "nil" : v.k === "bin" ? "bin" : v.k === "ext" ? "other" : "num";
    return el("span", "val " + kind, scalarText(v));
  }

  function hex(bytes) {
    var out = [];
    for (var i = 0; i < Math.min(bytes.length, 64); i++) out.push(bytes[i].toString(16).padStart(2, "0"));
    return out.join(" ") + (bytes.length > 64 ? " …" : "");
  }

  function text(s) {
    var span = el("span", "val str");
    if (s.length <= LONG_TEXT) { span.textContent = JSON.stringify(s); return span; }
    span.textContent = JSON.stringify(s.slice(0, LONG_TEXT)) + " ";
    var more = el("button", "more", "… " + (s.length - LONG_TEXT) + " more characters");
    more.addEventListener("click", function () { span.textContent = JSON.stringify(s); });
    span.appendChild(more);
    return span;
  }

  function keyText(k) {
    return k.k === "str" ? k.v : k.k === "array" || k.k === "map" ? "(" + k.k + " key)" : scalarText(k);
  }

  // The type an object was recorded as ("builtins." left out), or null for plain data.
  function typeOf(v) {
    if (v.k !== "map" || !v.entries.length) return null;
    var first = v.entries[0];
    if (first[0].k !== "str" || first[0].v !== TYPE_KEY || first[1].k !== "str") return null;
    return first[1].v.replace(/^builtins\./, "");
  }

  function children(v) {
    if (v.k === "array") return v.items.map(function (item, i) { return [String(i), item]; });
    var entries = typeOf(v) === null ? v.entries : v.entries.slice(1);
    return entries.map(function (e) { return [keyText(e[0]), e[1]]; });
  }

  function count(n, one, many) { return n + " " + (n === 1 ? one : many); }

  // An object told by its type alone, or by its type and name (a function, class or module).
  function named(v) {
    var type = typeOf(v);
    if (type === null || v.entries.length > 2) return null;
    if (v.entries.length === 1) return type;
    var e = v.entries[1];
    return e[0].k === "str" && e[0].v === "name" && e[1].k === "str" ? type + " " + e[1].v : null;
  }

  function summary(v) {
    var type = named(v);
    if (type !== null) return type;
    type = typeOf(v);
    if (type !== null) return type + " (" + count(v.entries.length - 1, "field", "fields") + ")";
    var items = v.k === "array" ? v.items.length : v.entries.length;
    return (v.k === "array" ? "list" : "dict") + " (" + count(items, "item", "items") + ")";
  }

  function labelled(row, label) {
    if (label !== null) { row.appendChild(el("span", "key", label + ":")); row.appendChild(document.createTextNode(" ")); }
    return row;
  }

  // A string of several lines: one line while folded, its lines when opened.
  function lines(label, s) {
    var row = el("details", "vrow"), head = labelled(el("summary"), label), first = s.split("\n", 1)[0];
    head.appendChild(el("span", "val str", JSON.stringify(Tavo.cut(first, 120)) + " …"));
    head.appendChild(el("span", "val kind", " (" + count(s.split("\n").length, "line", "lines") + ")"));
    row.appendChild(head);
    row.addEventListener("toggle", function () {
      if (row.open && row.childNodes.length === 1) row.appendChild(el("pre", "val str lines", s));
    });
    return row;
  }

  // One labelled value; `open` opens containers to that many levels. A recorded object that
  // reads as text (a date, a decimal, a path, an enum member) is shown as that text.
  function node(label, v, open) {
    var row;
    if (v.k === "str" && v.v.indexOf("\n") >= 0) return lines(label, v.v);
    var readable = (function () {
      if (v.k !== "map" || !v.entries.length || v.entries[0][0].v !== "__type__" || v.entries[0][1].k !== "str") return null;
      var type = v.entries[0][1].v, name = type.split(".").pop(), f = {};
      v.entries.slice(1).forEach(function (e) { if (e[0].k === "str") f[e[0].v] = e[1]; });
      var keys = Object.keys(f).sort().join(","), value = f.value && f.value.k === "str" ? f.value.v : null;
      if (keys === "value" && value !== null) {
        if (/^datetime\.(datetime|date|time)$/.test(type)) return value;
        if (/^(datetime\.(timedelta|timezone)|decimal\.Decimal|uuid\.UUID|pathlib\..*)$/.test(type)) return name + "(" + JSON.stringify(value) + ")";
      }
      if (keys === "member,value" && f.member.k === "str") return name + "." + f.member.v;
      if (type === "fractions.Fraction" && keys === "denominator,numerator") return "Fraction(" + f.numerator.v + ", " + f.denominator.v + ")";
      return null;
    })();
    if (readable !== null || (v.k !== "array" && v.k !== "map") || named(v) !== null) {
      row = labelled(el("div", "vrow"), label);
      row.appendChild(readable !== null ? el("span", "val other", readable)
                      : v.k === "map" ? el("span", "val kind", summary(v)) : scalar(v));
      return row;
    }
    row = el("details", "vrow");
    var head = labelled(el("summary"), label);
    head.appendChild(el("span", "val kind", summary(v)));
    row.appendChild(head);
    var filled = false;
    function fill() {
      if (filled) return;
      filled = true;
      var list = children(v), body = el("div", "vchildren"), shown = 0;
      function page() {
        var upto = Math.min(list.length, shown + PAGE);
        for (; shown < upto; shown++) body.appendChild(node(list[shown][0], list[shown][1], open - 1));
        if (shown < list.length) {
          var more = el("button", "more", "show " + Math.min(PAGE, list.length - shown) + " more of " + (list.length - shown));
          more.addEventListener("click", function () { body.removeChild(more); page(); });
          body.appendChild(more);
        }
      }
      page();
      row.appendChild(body);
    }
    row.addEventListener("toggle", function () { if (row.open) fill(); });
    if (open > 0) { fill(); row.open = true; }
    return row;
  }

  Tavo.valueTree = function (label, value, open) { return node(label, value, open === undefined ? 1 : open); };

  // A value on one line, short: for tooltips and messages.
  Tavo.valueText = function (v) {
    if (v.k === "str") return v.v;
    if (v.k === "array" || v.k === "map") return summary(v);
    return scalarText(v);
  };

  // A map of names to values (frame locals) as one row per name.
  Tavo.namesTree = function (value) {
    var box = el("div", "values");
    if (!value) { box.appendChild(el("div", "none", "not recorded")); return box; }
    if (value.k !== "map") { box.appendChild(node(null, value, 1)); return box; }
    if (!value.entries.length) { box.appendChild(el("div", "none", "none")); return box; }
    children(value).forEach(function (pair) { box.appendChild(node(pair[0], pair[1], 0)); });
    return box;
  };
})();

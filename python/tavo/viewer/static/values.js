// Recorded values as folding trees. Containers build their children only when opened, so a
// large local costs nothing until someone looks inside it.
"use strict";
var Tavo = window.Tavo || (window.Tavo = {});

(function () {
  var el = Tavo.el;
  var PAGE = 200;         // children shown before a "more" button
  var LONG_TEXT = 2000;   // characters of a string shown before a "more" button

  function scalar(v) {
    switch (v.k) {
      case "nil": return el("span", "val nil", "None");
      case "bool": return el("span", "val num", v.v ? "True" : "False");
      case "int": case "float": return el("span", "val num", String(v.v));
      case "str": return text(v.v);
      case "bin": return el("span", "val bin", "bytes(" + v.v.length + ") " + hex(v.v));
      default: return el("span", "val other", v.v);
    }
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
    return k.k === "str" ? k.v : k.k === "nil" ? "None" : k.k === "bool" ? (k.v ? "True" : "False")
      : (k.k === "int" || k.k === "float") ? String(k.v) : "(" + k.k + " key)";
  }

  function children(v) {
    if (v.k === "array") return v.items.map(function (item, i) { return [String(i), item]; });
    return v.entries.map(function (e) { return [keyText(e[0]), e[1]]; });
  }

  function summary(v) {
    var n = v.k === "array" ? v.items.length : v.entries.length;
    return (v.k === "array" ? "list" : "dict") + " (" + n + (n === 1 ? " item)" : " items)");
  }

  // One labelled value; `open` opens containers to that many levels. A recorded object that
  // reads as text (a date, a decimal, a path, an enum member) is shown as that text.
  function node(label, v, open) {
    var row;
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
    if (readable !== null || (v.k !== "array" && v.k !== "map")) {
      row = el("div", "vrow");
      if (label !== null) { row.appendChild(el("span", "key", label + ":")); row.appendChild(document.createTextNode(" ")); }
      row.appendChild(readable !== null ? el("span", "val other", readable) : scalar(v));
      return row;
    }
    row = el("details", "vrow");
    var head = el("summary");
    if (label !== null) { head.appendChild(el("span", "key", label + ":")); head.appendChild(document.createTextNode(" ")); }
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

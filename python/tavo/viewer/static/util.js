// Small helpers shared by the views. Everything that comes from a trace is put into the page
// as text (textContent), never as markup.
"use strict";
var Tavo = window.Tavo || (window.Tavo = {});

(function () {
  Tavo.el = function (tag, className, text) {
    var node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined && text !== null) node.textContent = String(text);
    return node;
  };

  Tavo.clear = function (node) {
    while (node.firstChild) node.removeChild(node.firstChild);
    return node;
  };

  // A duration in seconds, with a unit that keeps three significant digits.
  Tavo.duration = function (seconds) {
    if (!(seconds >= 0)) return "?";
    if (seconds === 0) return "0";
    if (seconds < 1e-6) return (seconds * 1e9).toFixed(0) + " ns";
    if (seconds < 1e-3) return (seconds * 1e6).toPrecision(3) + " µs";
    if (seconds < 1) return (seconds * 1e3).toPrecision(3) + " ms";
    return seconds.toPrecision(4) + " s";
  };

  // An epoch time in seconds as local date and time with microseconds.
  Tavo.clock = function (seconds) {
    if (!(seconds === seconds)) return "?";
    var d = new Date(seconds * 1000), pad = function (n, w) { return String(n).padStart(w || 2, "0"); };
    var micros = Math.round((seconds - Math.floor(seconds)) * 1e6) % 1000000;
    return d.getFullYear() + "-" + pad(d.getMonth() + 1) + "-" + pad(d.getDate()) + " " +
      pad(d.getHours()) + ":" + pad(d.getMinutes()) + ":" + pad(d.getSeconds()) + "." + pad(micros, 6);
  };

  // A recorded number as Python prints it: integers exact (BigInt beyond 2**53), floats with
  // their point or exponent as repr() gives them, nan and inf by name.
  Tavo.number = function (v, isFloat) {
    if (typeof v === "bigint" || !isFloat) return String(v);
    if (v !== v) return "nan";
    if (v === Infinity) return "inf";
    if (v === -Infinity) return "-inf";
    var sign = v < 0 || Object.is(v, -0) ? "-" : "";
    // The shortest digits that read back as the same double, as repr() chooses them.
    var parts = Math.abs(v).toExponential().split("e"), digits = parts[0].replace(".", "");
    var exp = parseInt(parts[1], 10);
    if (exp < -4 || exp >= 16) {
      var tail = exp < 0 ? "-" + String(-exp).padStart(2, "0") : "+" + String(exp).padStart(2, "0");
      return sign + digits[0] + (digits.length > 1 ? "." + digits.slice(1) : "") + "e" + tail;
    }
    if (exp < 0) return sign + "0." + "0".repeat(-exp - 1) + digits;
    if (digits.length <= exp + 1) return sign + digits + "0".repeat(exp + 1 - digits.length) + ".0";
    return sign + digits.slice(0, exp + 1) + "." + digits.slice(exp + 1);
  };

  // A path cut to `max` characters from its start, so that the file name and line stay.
  Tavo.tail = function (text, max) {
    text = String(text);
    return text.length <= max ? text : "…" + text.slice(text.length - max + 1);
  };

  // Text cut to `max` characters at its end, with an ellipsis.
  Tavo.cut = function (text, max) {
    text = String(text);
    return text.length <= max ? text : text.slice(0, max - 1) + "…";
  };

  // Why records are dropped, and what to do about it.
  Tavo.droppedWhy = "Records are dropped when a trace's records fill its buffer budget (256 MiB " +
    "unless tavo.profile() is given another \"buffer_budget\") or when recording one fails (a " +
    "warning is logged at the time). To keep them, record less (leave files out with --ignore, or " +
    "let pytest --tavo save one trace per test) or raise \"buffer_budget\".";

  // `floor`: the engine stopped reporting calls past the budget, so more went uncounted.
  Tavo.droppedText = function (count, floor) {
    return (floor ? "At least " : "") + count.toLocaleString("en") +
      (count === 1 && !floor ? " record was" : " records were") +
      " dropped while recording: this trace is missing calls. " + Tavo.droppedWhy;
  };

  Tavo.size = function (bytes) {
    if (!(bytes >= 0)) return "?";
    if (bytes < 1024) return bytes + " B";
    if (bytes < 1048576) return (bytes / 1024).toFixed(1) + " KiB";
    return (bytes / 1048576).toFixed(1) + " MiB";
  };

  // A stable colour per function, in a light palette that dark text reads on (no reds: red
  // marks calls that raised).
  var colors = [];
  Tavo.color = function (fn) {
    if (colors[fn] === undefined) {
      var h = Math.imul(fn + 1, 2654435761) >>> 0;
      colors[fn] = "hsl(" + (40 + h % 280) + ",55%," + (72 + (h >>> 9) % 12) + "%)";
    }
    return colors[fn];
  };
})();

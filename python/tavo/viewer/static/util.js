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

  // How to raise the buffer budget, wherever a trace was recorded.
  Tavo.raiseBudget = "Raise it with --buffer-budget (tavo run), --tavo-buffer-budget (pytest " +
    "--tavo), buffer-budget in [tool.tavo], TAVO_BUFFER_BUDGET, or \"buffer_budget\" in the " +
    "config of tavo.profile().";

  function count(n, one, many) {
    return n.toLocaleString("en") + (n === 1 ? one : many);
  }

  // What recording lost of a trace, from its summary (dropped_records, losses), in words that
  // say which limit was met and how to raise it; "" when nothing was lost.
  Tavo.lossText = function (t) {
    var dropped = t.dropped_records > 0 ? t.dropped_records : 0;
    var losses = t.losses;
    if (!losses) {  // a row kept before the causes were: any cause
      return dropped ? count(dropped, " record was", " records were") + " dropped while " +
        "recording: this trace is missing calls. Records are dropped when a trace's records " +
        "fill its buffer budget, or when recording one fails (a warning is logged at the " +
        "time). " + Tavo.raiseBudget : "";
    }
    var budget = losses.budget_dropped_records || 0;
    var shortened = losses.shortened_values || 0;
    // An engine that stops reporting calls past the budget leaves them uncounted.
    var floor = Boolean(losses.uncounted_after_budget);
    var parts = [];
    if (shortened) {
      parts.push(count(shortened, " value was", " values were") + " shortened" +
        (losses.shortened_from_record ? " from record " +
          losses.shortened_from_record.toLocaleString("en") + " on" : ""));
    }
    if (budget) {
      parts.push((floor ? "at least " + budget.toLocaleString("en") + " records were"
        : count(budget, " record was", " records were")) + " dropped");
    }
    var text = "";
    if (parts.length) {
      text = parts.join(" and ") + ": the trace neared" + (budget ? " and reached" : "") +
        " its buffer budget" + (budget && floor ? ", past which calls go uncounted" : "") +
        ". " + Tavo.raiseBudget;
      text = text.charAt(0).toUpperCase() + text.slice(1);
    }
    var failed = Math.max(dropped, losses.dropped_records || 0) - budget;
    if (failed > 0) {
      text += (text ? " " : "") + count(failed, " record was", " records were") +
        " dropped because recording failed (a warning was logged at the time).";
    }
    return text;
  };

  // A trace's losses in a few words, as `tavo traces` lists them; "" for none.
  Tavo.lostShort = function (t) {
    var losses = t.losses || {};
    var dropped = t.dropped_records > 0 ? t.dropped_records : (losses.dropped_records || 0);
    var parts = [];
    if (losses.shortened_values) parts.push(losses.shortened_values.toLocaleString("en") + " shortened");
    if (dropped) {
      parts.push((losses.uncounted_after_budget ? "at least " : "") +
        dropped.toLocaleString("en") + " dropped");
    }
    return parts.join(", ");
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

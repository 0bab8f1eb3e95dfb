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

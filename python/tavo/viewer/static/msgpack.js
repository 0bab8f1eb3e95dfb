// Reading MessagePack bytes: a cursor that skips values without building them (to index a
// trace quickly) and a decoder that builds one value (for the detail pane, on demand).
"use strict";
var Tavo = window.Tavo || (window.Tavo = {});

(function () {
  var utf8 = new TextDecoder("utf-8");

  function Cursor(bytes) {
    this.b = bytes;
    this.v = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    this.p = 0;
  }

  Cursor.prototype.fail = function (what) {
    throw new Error("malformed trace document: " + what + " at byte " + this.p);
  };

  // Header of a map or array: its element count, or -1 when the next value is not one.
  Cursor.prototype.mapHeader = function () {
    var t = this.b[this.p];
    if (t >= 0x80 && t <= 0x8f) { this.p += 1; return t & 0x0f; }
    if (t === 0xde) { this.p += 3; return this.v.getUint16(this.p - 2); }
    if (t === 0xdf) { this.p += 5; return this.v.getUint32(this.p - 4); }
    return -1;
  };

  Cursor.prototype.arrayHeader = function () {
    var t = this.b[this.p];
    if (t >= 0x90 && t <= 0x9f) { this.p += 1; return t & 0x0f; }
    if (t === 0xdc) { this.p += 3; return this.v.getUint16(this.p - 2); }
    if (t === 0xdd) { this.p += 5; return this.v.getUint32(this.p - 4); }
    return -1;
  };

  // Length of a str at the cursor (moving past its header), or -1 when it is not a str.
  Cursor.prototype.strHeader = function () {
    var t = this.b[this.p];
    if (t >= 0xa0 && t <= 0xbf) { this.p += 1; return t & 0x1f; }
    if (t === 0xd9) { this.p += 2; return this.b[this.p - 1]; }
    if (t === 0xda) { this.p += 3; return this.v.getUint16(this.p - 2); }
    if (t === 0xdb) { this.p += 5; return this.v.getUint32(this.p - 4); }
    return -1;
  };

  // A number at the cursor (int or float), or NaN for any other value (which is skipped).
  Cursor.prototype.number = function () {
    var t = this.b[this.p], v = this.v, p = this.p;
    if (t <= 0x7f) { this.p += 1; return t; }
    if (t >= 0xe0) { this.p += 1; return t - 0x100; }
    switch (t) {
      case 0xcb: this.p += 9; return v.getFloat64(p + 1);
      case 0xca: this.p += 5; return v.getFloat32(p + 1);
      case 0xcc: this.p += 2; return v.getUint8(p + 1);
      case 0xcd: this.p += 3; return v.getUint16(p + 1);
      case 0xce: this.p += 5; return v.getUint32(p + 1);
      case 0xcf: this.p += 9; return v.getUint32(p + 1) * 4294967296 + v.getUint32(p + 5);
      case 0xd0: this.p += 2; return v.getInt8(p + 1);
      case 0xd1: this.p += 3; return v.getInt16(p + 1);
      case 0xd2: this.p += 5; return v.getInt32(p + 1);
      case 0xd3: this.p += 9; return v.getInt32(p + 1) * 4294967296 + v.getUint32(p + 5);
    }
    this.skip();
    return NaN;
  };

  Cursor.prototype.text = function (start, length) {
    return utf8.decode(this.b.subarray(start, start + length));
  };

  // Moves past one complete value, nested ones included, without building anything.
  Cursor.prototype.skip = function () {
    var pending = 1, b = this.b, v = this.v, end = b.length;
    while (pending > 0) {
      if (this.p >= end) this.fail("truncated value");
      var t = b[this.p], p = this.p;
      pending -= 1;
      if (t <= 0x7f || t >= 0xe0 || (t >= 0xc0 && t <= 0xc3)) { this.p += 1; continue; }
      if (t <= 0x8f) { this.p += 1; pending += 2 * (t & 0x0f); continue; }
      if (t <= 0x9f) { this.p += 1; pending += t & 0x0f; continue; }
      if (t <= 0xbf) { this.p += 1 + (t & 0x1f); continue; }
      switch (t) {
        case 0xc4: case 0xd9: this.p += 2 + b[p + 1]; break;
        case 0xc5: case 0xda: this.p += 3 + v.getUint16(p + 1); break;
        case 0xc6: case 0xdb: this.p += 5 + v.getUint32(p + 1); break;
        case 0xc7: this.p += 3 + b[p + 1]; break;
        case 0xc8: this.p += 4 + v.getUint16(p + 1); break;
        case 0xc9: this.p += 6 + v.getUint32(p + 1); break;
        case 0xca: this.p += 5; break;
        case 0xcb: this.p += 9; break;
        case 0xcc: case 0xd0: this.p += 2; break;
        case 0xcd: case 0xd1: this.p += 3; break;
        case 0xce: case 0xd2: this.p += 5; break;
        case 0xcf: case 0xd3: this.p += 9; break;
        case 0xd4: this.p += 3; break;
        case 0xd5: this.p += 4; break;
        case 0xd6: this.p += 6; break;
        case 0xd7: this.p += 10; break;
        case 0xd8: this.p += 18; break;
        case 0xdc: this.p += 3; pending += v.getUint16(p + 1); break;
        case 0xdd: this.p += 5; pending += v.getUint32(p + 1); break;
        case 0xde: this.p += 3; pending += 2 * v.getUint16(p + 1); break;
        case 0xdf: this.p += 5; pending += 2 * v.getUint32(p + 1); break;
        default: this.fail("unknown type byte " + t);
      }
    }
    if (this.p > end) this.fail("truncated value");
  };

  // A decoded value is a small tagged tree, so that the detail pane can show every kind the
  // format has (maps with any keys, bytes, extension types) without guessing:
  //   {k: "nil"|"bool"|"int"|"float"|"str"|"bin"|"ext", v: ...}
  //   {k: "array", items: [...]}, {k: "map", entries: [[key, value], ...]}
  Cursor.prototype.decode = function (depth) {
    if (this.p >= this.b.length) this.fail("truncated value");
    var t = this.b[this.p], p = this.p, v = this.v, n, i;
    if (depth > 200) { this.skip(); return { k: "str", v: "(nested too deep to show)" }; }
    if (t === 0xcf || t === 0xd3) {
      // 64-bit integers beyond 2**53 stay exact, as BigInt.
      this.p += 9;
      var big = t === 0xcf ? v.getBigUint64(p + 1) : v.getBigInt64(p + 1);
      return { k: "int", v: big >= -9007199254740991n && big <= 9007199254740991n ? Number(big) : big };
    }
    if (t <= 0x7f || t >= 0xe0 || (t >= 0xca && t <= 0xd3)) {
      var isFloat = t === 0xca || t === 0xcb;
      return { k: isFloat ? "float" : "int", v: this.number() };
    }
    if (t === 0xc0) { this.p += 1; return { k: "nil", v: null }; }
    if (t === 0xc2 || t === 0xc3) { this.p += 1; return { k: "bool", v: t === 0xc3 }; }
    if ((n = this.strHeader()) >= 0) {
      if (this.p + n > this.b.length) this.fail("truncated str");
      this.p += n;
      return { k: "str", v: this.text(this.p - n, n) };
    }
    if ((n = this.arrayHeader()) >= 0) {
      var items = [];
      for (i = 0; i < n; i++) items.push(this.decode(depth + 1));
      return { k: "array", items: items };
    }
    if ((n = this.mapHeader()) >= 0) {
      var entries = [];
      for (i = 0; i < n; i++) entries.push([this.decode(depth + 1), this.decode(depth + 1)]);
      return { k: "map", entries: entries };
    }
    if (t >= 0xc4 && t <= 0xc6) {
      n = t === 0xc4 ? this.b[p + 1] : t === 0xc5 ? v.getUint16(p + 1) : v.getUint32(p + 1);
      var head = t === 0xc4 ? 2 : t === 0xc5 ? 3 : 5;
      this.p = p + head + n;
      if (this.p > this.b.length) this.fail("truncated bin");
      return { k: "bin", v: this.b.subarray(p + head, p + head + n) };
    }
    // Extension types (the serializer writes none today): shown by their size.
    this.skip();
    return { k: "ext", v: "extension value of " + (this.p - p) + " bytes" };
  };

  Tavo.Cursor = Cursor;

  Tavo.decodeAt = function (bytes, start, end) {
    var c = new Cursor(bytes);
    c.p = start;
    var value = c.decode(0);
    if (c.p !== end) c.fail("value length");
    return value;
  };
})();

// The preview runtime's framed protocol, Node side. One message is a frame:
// a 32-bit little-endian length, then that many bytes holding fields, each a
// 32-bit little-endian length and its bytes. The first field names the
// message; text fields are UTF-8; the last field of a "frame" is a JPEG.
// The C++ side is wire.h.

export function encode(fields) {
  const parts = fields.map((f) => (Buffer.isBuffer(f) ? f : Buffer.from(String(f), 'utf8')));
  const size = parts.reduce((n, p) => n + 4 + p.length, 0);
  const out = Buffer.allocUnsafe(4 + size);
  out.writeUInt32LE(size, 0);
  let at = 4;
  for (const p of parts) {
    out.writeUInt32LE(p.length, at);
    p.copy(out, at + 4);
    at += 4 + p.length;
  }
  return out;
}

// Calls onMessage(fields) for each complete frame that arrives on a socket;
// every field is a Buffer.
export function reader(onMessage) {
  let pending = Buffer.alloc(0);
  return (chunk) => {
    pending = pending.length ? Buffer.concat([pending, chunk]) : chunk;
    while (pending.length >= 4) {
      const size = pending.readUInt32LE(0);
      if (pending.length < 4 + size) break;
      const body = pending.subarray(4, 4 + size);
      pending = pending.subarray(4 + size);
      const fields = [];
      for (let at = 0; at + 4 <= body.length;) {
        const n = body.readUInt32LE(at);
        fields.push(body.subarray(at + 4, at + 4 + n));
        at += 4 + n;
      }
      onMessage(fields);
    }
  };
}

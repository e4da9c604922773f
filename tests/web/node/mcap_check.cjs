// Reads an MCAP file with npm's @mcap/core stream reader and prints, as one JSON object, what it
// found: header, schemas, channels, metadata, message counts per topic, every message's JSON
// checked against its channel's JSON Schema with npm's ajv, where each whole record ends, and
// whether the file ended cleanly. With --cut N only the first N bytes are read, as a file cut
// short by a crash would be; --cuts N,N,... prints one object per cut, one line each, from one
// start of node. Usage: node mcap_check.cjs FILE [--cut N | --cuts N,...] [--messages TOPIC]
"use strict";
const fs = require("fs");
const { McapStreamReader } = require("@mcap/core");
const Ajv = require("ajv");

const args = process.argv.slice(2);
const file = args[0];
const opt = (name) => (args.indexOf(name) >= 0 ? args[args.indexOf(name) + 1] : null);
const keep = opt("--messages");
const all = fs.readFileSync(file);
const cuts = opt("--cuts") ? opt("--cuts").split(",").map(Number) : [opt("--cut") !== null ? Number(opt("--cut")) : null];
for (const cut of cuts)
  process.stdout.write(JSON.stringify(check(cut === null ? all : all.subarray(0, cut))) + "\n");

function check(bytes) {
  const out = {
    size: bytes.length, header: null, schemas: [], channels: [], metadata: [], counts: {},
    invalid: [], messages: [], ends: [], records: 0, done: false, error: null, footer: false,
    logTimesInOrder: true,
  };
  const ajv = new Ajv({ strict: false });
  const schemas = new Map();
  const channels = new Map();
  const validators = new Map();
  let lastTime = -1n;

  const reader = new McapStreamReader({ validateCrcs: true });
  try {
    reader.append(new Uint8Array(bytes.buffer, bytes.byteOffset, bytes.byteLength));
    for (let r; (r = reader.nextRecord());) {
      out.records++;
      out.ends.push(bytes.length - reader.bytesRemaining());
      if (r.type === "Header") {
        out.header = { profile: r.profile, library: r.library };
      } else if (r.type === "Schema") {
        const text = new TextDecoder().decode(r.data);
        schemas.set(r.id, r);
        out.schemas.push({ id: r.id, name: r.name, encoding: r.encoding, data: text });
      } else if (r.type === "Channel") {
        channels.set(r.id, r);
        const s = schemas.get(r.schemaId);
        validators.set(r.id, s ? ajv.compile(JSON.parse(new TextDecoder().decode(s.data))) : null);
        out.channels.push({ id: r.id, schemaId: r.schemaId, topic: r.topic, messageEncoding: r.messageEncoding,
                            schemaName: s ? s.name : null, schemaEncoding: s ? s.encoding : null });
      } else if (r.type === "Metadata") {
        out.metadata.push({ name: r.name, metadata: Object.fromEntries(r.metadata) });
      } else if (r.type === "Message") {
        const c = channels.get(r.channelId);
        const topic = c ? c.topic : `#${r.channelId}`;
        out.counts[topic] = (out.counts[topic] || 0) + 1;
        if (r.logTime < lastTime)
          out.logTimesInOrder = false;
        lastTime = r.logTime;
        let data = null;
        try {
          data = JSON.parse(new TextDecoder().decode(r.data));
        } catch (e) {
          out.invalid.push({ topic, error: "not JSON: " + e.message });
        }
        const v = validators.get(r.channelId);
        if (data !== null && (!v || !v(data)))
          out.invalid.push({ topic, errors: v ? v.errors : "no schema" });
        if (keep === topic || keep === "*")
          out.messages.push({ topic, logTime: r.logTime.toString(), data });
      } else if (r.type === "Footer") {
        out.footer = true;
      }
    }
    out.done = reader.done();
  } catch (e) {
    out.error = String(e && e.message);
  }
  return out;
}

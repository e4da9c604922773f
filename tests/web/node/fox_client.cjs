// Drives npm's @foxglove/ws-protocol client (over npm's ws) through a script of steps against a
// Foxglove endpoint, and prints what happens as JSON lines for the Python tests to check:
//   {"ev":"open"} {"ev":"serverInfo",...} {"ev":"advertise","channels":[...]}
//   {"ev":"message","topic":...,"sub":N,"t":ns,"valid":bool,"data":{...}}
//   {"ev":"status","level":N,"message":...} {"ev":"unsubscribed","topic":...}
//   {"ev":"error"|"close",...} {"ev":"done","bytes":N,"frames":N}
// Every message is checked against its channel's JSON Schema with npm's ajv ("valid").
// Usage: node fox_client.cjs URL 'STEPS' [HEADERS], STEPS a JSON list of
//   {"subscribe":[TOPIC,...]}  {"unsubscribe":[TOPIC,...]}  {"wait":MS}
//   {"until":{"topic":T,"count":N},"ms":DEADLINE}  {"untilStatus":TEXT,"ms":DEADLINE}
//   {"advertise":TOPIC}  {"publish":TOPIC,"data":OBJECT|STRING}  {"quiet":true}: no message lines
"use strict";
const { FoxgloveClient } = require("@foxglove/ws-protocol");
const WebSocket = require("ws");
const Ajv = require("ajv");

const [url, stepsText, headersText] = process.argv.slice(2);
const steps = JSON.parse(stepsText || "[]");
const quiet = steps.some((s) => s.quiet);
const headers = JSON.parse(headersText || "{}");
const say = (o) => process.stdout.write(JSON.stringify(o, (k, v) => (typeof v === "bigint" ? v.toString() : v)) + "\n");
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

const ajv = new Ajv({ strict: false, allErrors: false });
const channels = new Map();   // topic -> channel
const validators = new Map(); // channel id -> validate
const subs = new Map();       // subscription id -> topic
const bySubTopic = new Map(); // topic -> subscription id
const clientChannels = new Map();
const counts = new Map();
const statuses = [];
let advertised = null;
let closed = false;
let bytes = 0, frames = 0;  // as they came off the socket, every frame included

const ws = new WebSocket(url, [FoxgloveClient.SUPPORTED_SUBPROTOCOL], { headers });
const client = new FoxgloveClient({ ws });
ws.on("message", (data) => { frames++; bytes += data.byteLength; });
const opened = new Promise((resolve) => {
  client.on("open", () => { say({ ev: "open", protocol: ws.protocol }); resolve(true); });
  client.on("close", (e) => { closed = true; say({ ev: "close", code: e && e.code }); resolve(false); });
  client.on("error", (e) => say({ ev: "error", message: String(e && e.message) }));
});
ws.on("unexpected-response", (req, res) => {
  say({ ev: "refused", status: res.statusCode });
  process.exit(0);
});
client.on("serverInfo", (i) => say({ ev: "serverInfo", ...i }));
client.on("status", (s) => { statuses.push(s.message); say({ ev: "status", level: s.level, message: s.message }); });
client.on("advertise", (list) => {
  for (const c of list) {
    channels.set(c.topic, c);
    let validate = null;
    try { validate = ajv.compile(JSON.parse(c.schema)); } catch (e) { say({ ev: "badSchema", topic: c.topic, message: e.message }); }
    validators.set(c.id, validate);
  }
  advertised = list;
  say({ ev: "advertise", channels: list });
});
client.on("message", (m) => {
  const topic = subs.get(m.subscriptionId);
  const text = new TextDecoder().decode(m.data);
  let data = null;
  let valid = false;
  try {
    data = JSON.parse(text);
    const v = validators.get(channels.get(topic)?.id);
    valid = v ? v(data) : false;
    if (!valid && v)
      say({ ev: "invalid", topic, errors: v.errors });
  } catch (e) {
    say({ ev: "unparsable", topic, message: e.message });
  }
  counts.set(topic, (counts.get(topic) || 0) + 1);
  if (!quiet)
    say({ ev: "message", topic, sub: m.subscriptionId, t: m.timestamp, at: Date.now(), valid, data });
});

async function until(cond, ms) {
  const end = Date.now() + ms;
  while (!cond() && !closed && Date.now() < end)
    await sleep(20);
  return cond();
}

async function run() {
  if (!(await opened))
    return;
  await until(() => advertised !== null, 10000);
  for (const s of steps) {
    if (s.subscribe) {
      for (const topic of s.subscribe) {
        const c = channels.get(topic);
        if (!c) { say({ ev: "noChannel", topic }); continue; }
        const id = client.subscribe(c.id);
        subs.set(id, topic);
        bySubTopic.set(topic, id);
      }
    } else if (s.unsubscribe) {
      for (const topic of s.unsubscribe) {
        client.unsubscribe(bySubTopic.get(topic));
        say({ ev: "unsubscribed", topic, at: Date.now() });
      }
    } else if (s.wait !== undefined) {
      await sleep(s.wait);
    } else if (s.until) {
      const ok = await until(() => (counts.get(s.until.topic) || 0) >= s.until.count, s.ms || 20000);
      if (!ok) say({ ev: "timeout", what: s.until });
    } else if (s.untilStatus) {
      const ok = await until(() => statuses.some((m) => m.includes(s.untilStatus)), s.ms || 20000);
      if (!ok) say({ ev: "timeout", what: s.untilStatus });
    } else if (s.advertise) {
      clientChannels.set(s.advertise, client.advertise({ topic: s.advertise, encoding: "json", schemaName: s.schemaName || "orvane.Command" }));
    } else if (s.publish) {
      const body = typeof s.data === "string" ? s.data : JSON.stringify(s.data);
      client.sendMessage(clientChannels.get(s.publish), new TextEncoder().encode(body));
    }
    if (closed)
      break;
  }
}

run().then(() => {
  say({ ev: "done", bytes, frames });
  client.close();
  setTimeout(() => process.exit(0), 200);
}, (e) => {
  say({ ev: "failed", message: String(e && e.stack) });
  process.exit(1);
});
setTimeout(() => { say({ ev: "deadline" }); process.exit(2); }, 120000);

// A Sparkplug B host application's view, for the gateway's tests: the Eclipse Tahu
// JavaScript codec (npm sparkplug-payload) over the npm mqtt client.
//   node client.js watch PORT [CLIENT_ID]
//     subscribes to spBv1.0/#; with a client id, in a session the broker keeps (what
//     comes at QoS 1 while it is away waits for it); one JSON line per message on stdout:
//     {"topic":..,"seq":..,"timestamp":..,"metrics":[{"name","type","value","timestamp",
//      "isHistorical","isNull","properties":{key:value}}]}
//     after a first line {"subscribed":true}
//   node client.js publish PORT TOPIC METRICS [TIMES]
//     encodes {timestamp, metrics: METRICS (JSON: [{"name","type","value"}])} and publishes
//     it TIMES times (default 1), then exits
'use strict';
const mqtt = require('mqtt');
const sparkplug = require('sparkplug-payload').get('spBv1.0');

const [mode, port, topic, metricsJson, times] = process.argv.slice(2);
const session = mode === 'watch' && topic ? {clientId: topic, clean: false} : {clean: true};
const client = mqtt.connect(`mqtt://127.0.0.1:${port}`, {...session, reconnectPeriod: 200});

// Long values (protobufjs) as plain numbers; everything else as it is.
function plain(v) {
    if (v && typeof v === 'object' && typeof v.toNumber === 'function') return v.toNumber();
    return v;
}

function metricOf(m) {
    const properties = {};
    if (m.properties)
        for (const [key, p] of Object.entries(m.properties)) properties[key] = plain(p.value);
    return {
        name: m.name,
        type: m.type,
        value: plain(m.value),
        timestamp: plain(m.timestamp),
        isHistorical: !!m.isHistorical,
        isNull: !!m.isNull,
        properties,
    };
}

if (mode === 'watch') {
    let said = false;
    client.on('connect', () => {
        client.subscribe('spBv1.0/#', {qos: 1}, (err) => {
            if (err) throw err;
            if (!said) console.log(JSON.stringify({subscribed: true}));
            said = true;
        });
    });
    client.on('message', (t, bytes) => {
        let line;
        try {
            const p = sparkplug.decodePayload(bytes);
            line = {topic: t, seq: plain(p.seq), timestamp: plain(p.timestamp), metrics: (p.metrics || []).map(metricOf)};
        } catch (e) {
            line = {topic: t, error: String(e)};
        }
        console.log(JSON.stringify(line));
    });
    process.on('SIGTERM', () => client.end(false, () => process.exit(0)));
} else if (mode === 'publish') {
    client.on('connect', () => {
        const payload = sparkplug.encodePayload({timestamp: Date.now(), metrics: JSON.parse(metricsJson)});
        let left = Number(times || 1);
        const next = () => {
            if (left-- === 0) return client.end(false, () => process.exit(0));
            client.publish(topic, payload, {qos: 0}, next);
        };
        next();
    });
} else {
    console.error('usage: node client.js watch PORT | publish PORT TOPIC METRICS [TIMES]');
    process.exit(2);
}

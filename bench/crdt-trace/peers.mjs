// Replays one editing trace into one peer engine and prints one line in the format of
// bench-crdt-trace: `node peers.mjs <automerge|yjs|loro> <trace.json.gz> <name>`.
// apply: every patch in one transaction; apply_per_change: one transaction per patch (left out
// when one transaction already takes longer than PER_CHANGE_LIMIT_MS); save/load: snapshot of
// the single-transaction document. Times are the best of three where the run is repeated.
import { readFileSync } from "node:fs";
import { gunzipSync } from "node:zlib";

const [system, path, name] = process.argv.slice(2);
const trace = JSON.parse(gunzipSync(readFileSync(path)).toString("utf8"));
const PER_CHANGE_LIMIT_MS = 3000;

const now = () => performance.now();
function best(runs, f) {
  let b = Infinity;
  for (let i = 0; i < runs; i++) b = Math.min(b, f());
  return b;
}
function peakRssKb() {
  const m = readFileSync("/proc/self/status", "utf8").match(/VmHWM:\s+(\d+) kB/);
  return m ? Number(m[1]) : 0;
}

async function engine(system) {
  if (system === "automerge") {
    const A = await import("@automerge/automerge");
    return {
      apply(perChange) {
        let doc = A.from({ text: "" });
        if (perChange) {
          for (const txn of trace.txns)
            for (const [pos, del, ins] of txn.patches) doc = A.change(doc, (d) => A.splice(d, ["text"], pos, del, ins));
        } else {
          doc = A.change(doc, (d) => {
            for (const txn of trace.txns) for (const [pos, del, ins] of txn.patches) A.splice(d, ["text"], pos, del, ins);
          });
        }
        return doc;
      },
      text: (doc) => doc.text.toString(),
      save: (doc) => A.save(doc),
      load: (bytes) => A.load(bytes),
    };
  }
  if (system === "yjs") {
    const Y = await import("yjs");
    return {
      apply(perChange) {
        const doc = new Y.Doc();
        const text = doc.getText("text");
        const run = () => {
          for (const txn of trace.txns)
            for (const [pos, del, ins] of txn.patches) {
              if (del) text.delete(pos, del);
              if (ins) text.insert(pos, ins);
            }
        };
        if (perChange) run();
        else doc.transact(run);
        return doc;
      },
      text: (doc) => doc.getText("text").toString(),
      save: (doc) => Y.encodeStateAsUpdate(doc),
      load: (bytes) => {
        const d = new Y.Doc();
        Y.applyUpdate(d, bytes);
        return d;
      },
    };
  }
  if (system === "loro") {
    const { LoroDoc } = await import("loro-crdt");
    return {
      apply(perChange) {
        const doc = new LoroDoc();
        const text = doc.getText("text");
        for (const txn of trace.txns)
          for (const [pos, del, ins] of txn.patches) {
            if (del) text.delete(pos, del);
            if (ins) text.insert(pos, ins);
            if (perChange) doc.commit();
          }
        doc.commit();
        return doc;
      },
      text: (doc) => doc.getText("text").toString(),
      save: (doc) => doc.export({ mode: "snapshot" }),
      load: (bytes) => LoroDoc.fromSnapshot(bytes),
    };
  }
  throw new Error(`unknown system ${system}`);
}

const e = await engine(system);
let doc;
let t = now();
doc = e.apply(false);
let applyMs = now() - t;
if (e.text(doc) !== trace.endContent) console.error(`peers: ${system} replayed ${name} wrong`);
if (applyMs < PER_CHANGE_LIMIT_MS) applyMs = Math.min(applyMs, best(2, () => ((t = now()), e.apply(false), now() - t)));
let perChange = "";
if (applyMs < PER_CHANGE_LIMIT_MS) {
  t = now();
  e.apply(true);
  perChange = ` apply_per_change_ms=${(now() - t).toFixed(1)}`;
}
let bytes;
const saveMs = best(3, () => ((t = now()), (bytes = e.save(doc)), now() - t));
const loadMs = best(3, () => {
  t = now();
  const d = e.load(bytes);
  const ms = now() - t;
  if (e.text(d) !== trace.endContent) console.error(`peers: ${system} loaded ${name} wrong`);
  return ms;
});
console.log(
  `bench=crdt-trace trace=${name} system=${system} apply_ms=${applyMs.toFixed(1)}${perChange} ` +
    `save_ms=${saveMs.toFixed(2)} bytes=${bytes.length} load_ms=${loadMs.toFixed(2)} peak_rss_kb=${peakRssKb()}`,
);

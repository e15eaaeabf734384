// The page's controls: built from the server's hello (the ranges, filters and recording formats the
// camera offers), kept in step with the server's state (another page may change it too), and sending
// the requests. The snapshot links name the frame this page shows and its depth range.
"use strict";

const Controls = (() => {
  const $ = (id) => document.getElementById(id);

  function option(select, value, text) {
    const o = document.createElement("option");
    o.value = value;
    o.textContent = text;
    select.appendChild(o);
  }

  // send(request): a promise of the reply; stats: the page's figures (stats.hello, stats.state,
  // stats.range); token: the access token, if any; showMessage(text, ok).
  function create({ send, stats, token, showMessage }) {
    function buildControls(hello) {
      const range = $("range");
      range.textContent = "";
      for (const r of hello.choices.range) option(range, r, `${r} mm`);
      range.onchange = () => send({ type: "range", value: Number(range.value) });
      $("frame-rate").disabled = $("frame-rate-set").disabled = !hello.choices.frame_rate;
      $("frame-rate-set").onclick = () => send({ type: "frame_rate", value: Number($("frame-rate").value) });
      $("skip-set").onclick = () => send({ type: "skip", skip: Number($("skip").value), loop: Number($("skip-loop").value) });

      const box = $("filters");
      for (const old of box.querySelectorAll(".filter")) old.remove();
      for (const [name, parameters] of Object.entries(hello.filter_parameters)) {
        const div = document.createElement("div");
        div.className = "filter";
        const label = document.createElement("label");
        const check = document.createElement("input");
        check.type = "checkbox";
        check.id = `filter-${name}`;
        label.append(check, ` ${name.replace("_", " ")}`);
        const params = document.createElement("div");
        params.className = "parameters";
        for (const p of parameters) {
          const l = document.createElement("label");
          const input = document.createElement("input");
          input.type = "number";
          input.id = `filter-${name}-${p.name}`;
          input.min = p.min;
          input.max = p.max;
          input.step = p.whole ? 1 : "any";
          input.value = p.default;
          l.append(`${p.name.replace(/_/g, " ")} `, input);
          params.appendChild(l);
        }
        div.append(label, params);
        box.appendChild(div);
      }
      box.onchange = () => {
        clearTimeout(box.timer);
        box.timer = setTimeout(sendFilters, 150);
      };

      const formats = $("record-format");
      formats.textContent = "";
      for (const f of hello.choices.record) option(formats, f, f === "bin" ? ".bin (raw, replays exactly)" : ".mcap (ROS 2)");
      $("record").disabled = !hello.choices.record.length;
      if (!hello.choices.record.length) $("record-status").textContent = "recording is not available here";
      $("record").onclick = () => {
        const running = stats.state && stats.state.recording;
        send(running ? { type: "record", action: "stop" } : { type: "record", action: "start", format: formats.value });
      };
    }

    function filterSettings() {
      const out = {};
      for (const [name, parameters] of Object.entries(stats.hello.filter_parameters)) {
        out[name] = { enabled: $(`filter-${name}`).checked };
        for (const p of parameters) out[name][p.name] = Number($(`filter-${name}-${p.name}`).value);
      }
      return out;
    }
    function sendFilters() { return send({ type: "filters", value: filterSettings() }); }

    function applyState(s) {
      stats.state = s;
      if (document.activeElement !== $("range")) $("range").value = s.range;
      if (s.frame_rate && document.activeElement !== $("frame-rate")) $("frame-rate").value = s.frame_rate;
      if (document.activeElement !== $("skip")) $("skip").value = s.skip.skip;
      if (document.activeElement !== $("skip-loop")) $("skip-loop").value = s.skip.loop;
      // Filters as the server has them (another page may have changed them), unless one is being edited.
      if (stats.hello && !$("filters").contains(document.activeElement)) {
        for (const [name, settings] of Object.entries(s.filters)) {
          for (const [key, value] of Object.entries(settings)) {
            const input = key === "enabled" ? $(`filter-${name}`) : $(`filter-${name}-${key}`);
            if (!input) continue;
            if (key === "enabled") input.checked = value;
            else input.value = value;
          }
        }
      }
      const rec = s.recording;
      $("record").textContent = rec ? "stop" : "start";
      $("record-format").disabled = !!rec;
      $("record-status").textContent = rec ? `recording to ${rec.path}: ${rec.frames} frames, ${rec.dropped} dropped` :
        ($("record-status").textContent.startsWith("recording to") ? "" : $("record-status").textContent);
      if (s.error || s.note) showMessage(s.error || s.note, false);
    }

    let paused = false;
    $("pause").onclick = () => {
      paused = !paused;
      $("pause").textContent = paused ? "resume" : "pause";
      send({ type: "pause", value: paused });
    };

    const SNAPSHOTS = { "snap-png": "depth.png", "snap-ply": "cloud.ply", "snap-depth": "depth.npy",
                        "snap-amplitude": "amplitude.npy", "snap-confidence": "confidence.npy" };
    for (const [id, name] of Object.entries(SNAPSHOTS)) {
      $(id).addEventListener("click", () => {
        const q = new URLSearchParams();
        if (stats.hello) q.set("client", stats.hello.client);
        q.set("low", stats.range[0]);
        q.set("high", stats.range[1]);
        if (token) q.set("token", token);
        $(id).href = `snapshot/${name}?${q}`;
      });
    }

    return { build: buildControls, apply: applyState };
  }

  return { create };
})();

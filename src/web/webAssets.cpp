// The style sheet and the one script of lbweb's pages, built into the program so that
// nothing is fetched at run time but the packaged chart library.
#include "web/webAssets.h"

namespace lbweb {

const char kStyleCss[] = R"CSS(
body { font: 14px/1.4 system-ui, sans-serif; margin: 0; color: #1d2330; background: #f4f6f9; }
header { display: flex; align-items: center; gap: 1.5em; padding: .5em 1.5em;
         background: #22324a; color: #fff; }
header .brand { font-weight: bold; font-size: 1.2em; }
header nav a { color: #cfe0ff; margin-right: 1em; text-decoration: none; }
header nav a.current { color: #fff; border-bottom: 2px solid #7fb0ff; }
header form.logout { margin-left: auto; display: flex; gap: .6em; align-items: center; }
main { padding: 1em 1.5em; max-width: 1100px; }
main.login { max-width: 320px; margin: 4em auto; background: #fff; padding: 1.5em 2em;
             border-radius: 6px; box-shadow: 0 1px 4px #0002; }
h1 { font-size: 1.4em; margin: .2em 0 .6em; }
h2 { font-size: 1.1em; margin: 1.4em 0 .5em; }
table { border-collapse: collapse; background: #fff; box-shadow: 0 1px 3px #0001; }
th, td { padding: .35em .7em; border-bottom: 1px solid #e3e7ee; text-align: left; }
th { background: #eef1f6; font-weight: 600; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
td.actions { display: flex; gap: .4em; align-items: center; }
td.actions form { margin: 0; }
td.bad { color: #a4161a; font-weight: 600; }
table.keyvalue th { width: 11em; }
form.server-form, #login-form { display: flex; flex-wrap: wrap; gap: .8em; align-items: flex-end; }
#login-form { flex-direction: column; align-items: stretch; }
form.inline label { flex-direction: row; align-items: center; gap: .6em; font-size: 1em; }
form.inline { margin-bottom: .5em; }
label { display: flex; flex-direction: column; font-size: .85em; color: #4a5568; gap: .2em; }
input, select { font: inherit; width: auto; padding: .3em .4em; border: 1px solid #b8c1cf; border-radius: 3px; }
input.refused { border-color: #c53030; background: #fff5f5; }
button { font: inherit; padding: .3em .8em; border-radius: 3px; border: 1px solid #2b4a7a;
         background: #2f5fa7; color: #fff; cursor: pointer; }
header button { background: transparent; border-color: #7fb0ff; }
.notice { padding: .5em 1em; border-radius: 4px; margin-bottom: 1em; }
.notice p { margin: .2em 0; }
.notice.ok { background: #e6f4ea; border: 1px solid #8bc79a; }
.notice.error { background: #fdecea; border: 1px solid #e69a94; }
.hint { color: #5a6478; font-size: .9em; }
.chart { background: #fff; padding: 1em; height: 420px; box-shadow: 0 1px 3px #0001; }
)CSS";

const char kScriptJs[] = R"JS("use strict";
(function () {
  const page = document.body.dataset.page;

  async function getJson(url) {
    const r = await fetch(url, { credentials: "same-origin", cache: "no-store" });
    if (r.status === 401) {
      window.location.href = "/login";
      throw new Error("logged out");
    }
    if (!r.ok) throw new Error("HTTP " + r.status);
    return r.json();
  }

  function row(cells, numLast) {
    const tr = document.createElement("tr");
    cells.forEach(function (c, i) {
      const td = document.createElement("td");
      td.textContent = c;
      if (numLast && i === cells.length - 1) td.className = "num";
      tr.appendChild(td);
    });
    return tr;
  }

  if (page === "connections") {
    const state = document.getElementById("conn-state");
    const refresh = async function () {
      try {
        const d = await getJson("/api/connections");
        document.querySelector("#counts tbody").replaceChildren(...d.servers.map(function (s) {
          const tr = row([s.name, s.address, String(s.count)], true);
          tr.dataset.address = s.address;
          return tr;
        }));
        document.querySelector("#conns tbody").replaceChildren(...d.connections.map(function (c) {
          return row([c.client, String(c.port), c.name, c.server], false);
        }));
        document.getElementById("conn-total").textContent = String(d.connections.length);
        state.textContent = "Updated " + new Date().toLocaleTimeString() +
          "; refreshed every 2 seconds.";
      } catch (e) {
        state.textContent = "Refresh failed (" + e.message + "); retrying.";
      }
    };
    refresh();
    setInterval(refresh, 2000);
  }

  if (page === "graph") {
    const colors = ["#2f5fa7", "#d9480f", "#2b8a3e", "#862e9c", "#c92a2a", "#0b7285",
                    "#e67700", "#5c940d"];
    const state = document.getElementById("graph-state");
    const range = document.getElementById("range");
    let chart = null;
    const draw = async function () {
      try {
        const d = await getJson("/api/graph?range=" + encodeURIComponent(range.value));
        const datasets = d.series.map(function (s, i) {
          const c = colors[i % colors.length];
          return { label: s.name, borderColor: c, backgroundColor: c, pointRadius: 2,
                   borderWidth: 2, data: s.points.map(function (p) { return { x: p[0], y: p[1] }; }) };
        });
        if (chart === null) {
          chart = new Chart(document.getElementById("chart"), {
            type: "line",
            data: { datasets: datasets },
            options: {
              animation: false, maintainAspectRatio: false,
              scales: {
                x: { type: "linear", min: d.from, max: d.to,
                     ticks: { callback: function (v) { return new Date(v).toLocaleTimeString(); } } },
                y: { beginAtZero: true, ticks: { precision: 0 },
                     title: { display: true, text: "connections" } }
              },
              plugins: { tooltip: { callbacks: { title: function (items) {
                return items.length ? new Date(items[0].parsed.x).toLocaleString() : ""; } } } }
            }
          });
          window.lbChart = chart;
        } else {
          chart.data.datasets = datasets;
          chart.options.scales.x.min = d.from;
          chart.options.scales.x.max = d.to;
          chart.update();
        }
        state.textContent = d.series.length + " server(s); updated " +
          new Date().toLocaleTimeString() + "; refreshed every 5 seconds.";
      } catch (e) {
        state.textContent = "Refresh failed (" + e.message + "); retrying.";
      }
    };
    range.addEventListener("change", draw);
    draw();
    setInterval(draw, 5000);
  }
})();
)JS";

}  // namespace lbweb

// Controller request rate, with one transfer handle kept for the process (connection
// and TLS session reused) against a fresh handle per request (a new connection and TLS
// handshake each time). Needs a controller simulator; LB_BENCH_CTRL names it as
// "address:8443". scripts/bench starts one and runs this.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "controller/lbCurl/lb_getpath_restapi.h"
#include "controller/lbCurl/restApi.h"
#include "controller/lbCtrlMsg.h"

namespace {

std::string g_ctrl;      // "address:8443"
std::string g_ctrlAddr;  // the address alone, as flow URLs take it

// Installs the same rule again and again (the controller replaces it), Arg 1 with the
// kept handle, 0 with a fresh one per request.
void BM_FlowInstall(benchmark::State &state) {
    lbRestSetHandleReuse(static_cast<int>(state.range(0)));
    char url[LB_FLOW_URL_LEN];
    char body[LB_FLOW_BODY_LEN];
    if (create_url(url, sizeof url, g_ctrlAddr.c_str(), "0000000000000001", "v2.0") < 0 ||
        format_string_flow(body, sizeof body, "192.0.2.10", "40000", "3", "203.0.113.100", "80",
                           "2", "60") < 0) {
        state.SkipWithError("cannot build the flow request");
        return;
    }
    for (auto _ : state)
        setSwitchFlow(url, body);
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(state.range(0) ? "reused handle" : "fresh handle per request");
    lbRestSetHandleReuse(1);
}
BENCHMARK(BM_FlowInstall)->Arg(1)->Arg(0)->UseRealTime();

// Forward path query of one link, read back into the link table.
void BM_PathQuery(benchmark::State &state) {
    lbRestSetHandleReuse(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        num_pathnodes = 0;
        benchmark::DoNotOptimize(lb_findpath(nullptr, "00:00:00:00:00:00:00:01",
                                             "00:00:00:00:00:00:00:02", g_ctrl.c_str(), 0, 0));
    }
    num_pathnodes = 0;
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(state.range(0) ? "reused handle" : "fresh handle per request");
    lbRestSetHandleReuse(1);
}
BENCHMARK(BM_PathQuery)->Arg(1)->Arg(0)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    const char *ctrl = std::getenv("LB_BENCH_CTRL");
    if (ctrl == nullptr || std::string(ctrl).find(':') == std::string::npos) {
        fprintf(stderr, "LB_BENCH_CTRL must name a running controller (address:8443)\n");
        return 2;
    }
    g_ctrl = ctrl;
    g_ctrlAddr = g_ctrl.substr(0, g_ctrl.rfind(':'));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    setControllerIp(g_ctrl.c_str());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

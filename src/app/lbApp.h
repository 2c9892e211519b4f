// Process entry: command line, start-up sequence and the receive loop.
#pragma once

#include "common/lbGlobals.h"

#define LB_USAGE "Usage: lbapp <ether interface of VIP>"

// Process entry: checks the command line and runs the balancer. Returns the process's
// exit status when it returns at all.
int lbAppMain(int argc, char **argv);

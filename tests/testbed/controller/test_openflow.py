"""The simulator as the OpenFlow controller of Open vSwitch bridges (--ovs-bridge): what
the switch does to a rule reaches the REST answers and /_sim/flows. Needs root and Open
vSwitch, in the host's network namespace (see CMakeLists.txt): its simulator listens on a
free port of 127.0.0.1."""

import json
import os
import shutil
import socket
import tempfile
import unittest

from simharness import FLOWS_S1, SimTestCase, bedlib, flow_body, wait_until


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class OpenFlowTest(SimTestCase):
    ADDR = "127.0.0.1"

    @classmethod
    def setUpClass(cls):
        if os.environ.get("CTRLSIM_PRIVATE_NETNS"):
            raise unittest.SkipTest("runs in the host's network namespace (ctrlsim_ovs)")
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root for Open vSwitch")
        tmp = tempfile.mkdtemp(prefix="ctrlsim-of-")
        cls.addClassCleanup(shutil.rmtree, tmp, ignore_errors=True)
        cls.bed = bedlib.Testbed(os.path.join(tmp, "bed"))
        cls.addClassCleanup(cls.bed.down)
        cls.bed.up("bridges")

    def setUp(self):
        self.restart_sim(["--ovs-bridge=%d=%s" % (i, b) for i, b in enumerate(self.bed.bridges, 1)],
                         topology_doc={"switches": [{"dpid": "%016x" % d} for d in (1, 2, 3)]},
                         port=free_port())
        self.token = self.sim.login()

    def test_a_rule_the_switch_refuses_answers_an_error_and_is_not_kept(self):
        # Output to OFPP_ANY passes the body check; the switch refuses it.
        status, data = self.sim.api("POST", FLOWS_S1, self.token, flow_body(out=0xFFFFFFFF))
        self.assertEqual(status, 502)
        self.assertIn("OFPBAC_BAD_OUT_PORT", json.loads(data)["error"]["message"])
        self.assertEqual((self.sim.flows(), self.bed.rules(1)), ([], set()))
        # The connection goes on.
        self.assertEqual(self.sim.api("POST", FLOWS_S1, self.token, flow_body())[0], 201)
        self.assertEqual(len(self.bed.rules(1)), 1)

    def test_a_rule_aged_out_by_the_switch_leaves_sim_flows(self):
        for body in (flow_body(idle=1, sport=33001), flow_body(idle=0, sport=33002)):
            self.assertEqual(self.sim.api("POST", FLOWS_S1, self.token, body)[0], 201)
        self.assertEqual(len(self.sim.flows()), 2)
        wait_until(lambda: len(self.sim.flows()) < 2, 15, 0.2)
        self.assertEqual(self.sim.flows(), [json.loads(flow_body(idle=0, sport=33002))])
        self.assertEqual([r[2] for r in self.bed.rules(1)], [33002])

"""The simulator as the OpenFlow controller of Open vSwitch bridges (--ovs-bridge): what
the switch does to a rule reaches the REST answers and /_sim/flows. Needs root and Open
vSwitch; the bridges come from testbed/ovs/ovsbed, which starts the daemons if needed, in
the namespace it runs in: so this suite runs in the host's network namespace (CTest's
ctrlsim_ovs), its simulator on a free port of 127.0.0.1, and is skipped where
CTRLSIM_PRIVATE_NETNS is set (CTest's ctrlsim, in a namespace of its own)."""

import json
import os
import shutil
import socket
import tempfile
import unittest

from simharness import FLOWS_S1, SimTestCase, bedlib, flow_body, wait_until

SWITCHES = ["%016x" % d for d in (1, 2, 3)]


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
        cls.tmp = tempfile.mkdtemp(prefix="ctrlsim-of-")
        cls.bed = bedlib.Testbed(os.path.join(cls.tmp, "bed"))
        try:
            cls.bed.up("bridges")
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.bed.down()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.restart_sim(["--ovs-bridge=%d=%s" % (i, b) for i, b in enumerate(self.bed.bridges, 1)],
                         topology_doc={"switches": [{"dpid": d} for d in SWITCHES]},
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

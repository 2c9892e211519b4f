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
import subprocess
import tempfile
import time
import unittest

from simharness import FLOWS_S1, SimTestCase, flow_body

OVSBED = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                       "..", "testbed", "ovs", "ovsbed"))
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
        cls.bed = os.path.join(cls.tmp, "bed")
        try:
            subprocess.run(["bash", OVSBED, "bridges", cls.bed], check=True,
                           stdout=subprocess.DEVNULL)
            env = subprocess.run(["bash", OVSBED, "env", cls.bed], check=True,
                                 capture_output=True, text=True).stdout
        except BaseException:
            cls.tearDownClass()
            raise
        cls.bridges = dict(l.split("=", 1) for l in env.splitlines())["BRIDGES"].strip("'").split()

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["bash", OVSBED, "down", cls.bed], stdout=subprocess.DEVNULL)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.restart_sim(["--ovs-bridge=%d=%s" % (i + 1, b) for i, b in enumerate(self.bridges)],
                         topology_doc={"switches": [{"dpid": d} for d in SWITCHES]},
                         port=free_port())
        self.token = self.sim.login()

    def switch_rules(self):
        """The bridge's priority-30000 rules as ovs-ofctl lists them."""
        out = subprocess.run(["ovs-ofctl", "-O", "OpenFlow13", "dump-flows", self.bridges[0]],
                             check=True, capture_output=True, text=True).stdout
        return [line for line in out.splitlines() if "priority=30000" in line]

    def test_a_rule_the_switch_refuses_answers_an_error_and_is_not_kept(self):
        # Output to OFPP_ANY passes the body check; the switch refuses it.
        status, data = self.sim.api("POST", FLOWS_S1, self.token, flow_body(out=0xFFFFFFFF))
        self.assertEqual(status, 502)
        self.assertIn("OFPBAC_BAD_OUT_PORT", json.loads(data)["error"]["message"])
        self.assertEqual((self.sim.flows(), self.switch_rules()), ([], []))
        # The connection goes on.
        self.assertEqual(self.sim.api("POST", FLOWS_S1, self.token, flow_body())[0], 201)
        self.assertEqual(len(self.switch_rules()), 1)

    def test_a_rule_aged_out_by_the_switch_leaves_sim_flows(self):
        for body in (flow_body(idle=1, sport=33001), flow_body(idle=0, sport=33002)):
            self.assertEqual(self.sim.api("POST", FLOWS_S1, self.token, body)[0], 201)
        self.assertEqual(len(self.sim.flows()), 2)
        deadline = time.monotonic() + 15
        while len(self.sim.flows()) == 2 and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(self.sim.flows(), [json.loads(flow_body(idle=0, sport=33002))])
        rules = self.switch_rules()
        self.assertEqual((len(rules), "tp_src=33002" in rules[0]), (1, True), rules)

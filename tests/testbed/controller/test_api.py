"""The controller requests: login, token check, flow install, removal and idle expiry,
host attachment and forward path, each in the reply shape the balancer reads."""

import json

from simharness import (FLOWS_S1, LOGIN_BODY, NODES, S1, S2, S3, S4, SimTestCase, flow_body,
                        wait_until)


def ordered(text):  # JSON objects as lists of (member, value) pairs, in order
    return json.loads(text, object_pairs_hook=list)


class ApiTest(SimTestCase):
    ADDR = "127.0.0.21"

    def send(self, method, body, path=FLOWS_S1):
        return self.sim.api(method, path, self.token, body)[0]

    def test_login_and_tokens(self):
        self.assertRegex(self.token, r"^[0-9a-f]{32}$")  # login() checks the 200
        self.assertNotEqual(self.sim.login(), self.token)
        for what, method, body, expected in [
                ("wrong password", "POST", LOGIN_BODY.replace("quorbit", "quorbix"), 401),
                ("wrong user", "POST", LOGIN_BODY.replace('"sdn",', '"admin",', 1), 401),
                ("not JSON", "POST", '{"login":', 400), ("GET instead of POST", "GET", None, 405)]:
            status, data = self.sim.request(method, "/sdn/v2.0/auth", body)
            self.assertEqual((status, "token" in data), (expected, False), what)
        # Requests without a valid token get 401 and change nothing.
        for method, path, body in [("GET", NODES, None), ("POST", FLOWS_S1, flow_body()),
                                   ("DELETE", FLOWS_S1, flow_body())]:
            for headers in [{}, {"X-Auth-Token": "0" * 32}, {"X-Auth-Token": self.token + "0"}]:
                self.assertEqual(self.sim.request(method, path, body, headers)[0], 401,
                                 (method, headers))
        self.assertEqual(self.sim.flows(), [])

    def test_install_replace_remove_per_switch(self):
        # Same match, other time-out: replaced, not added; another match is another rule.
        first, replacement, other = flow_body(idle=10), flow_body(idle=20), flow_body(sport=1)
        self.assertEqual([self.send("POST", b) for b in (first, replacement, other)], [201] * 3)
        self.assertEqual(self.sim.flows(), [json.loads(replacement), json.loads(other)])
        # Removal names the rule by its match only; an absent rule is 404.
        self.assertEqual([self.send("DELETE", flow_body(idle=99, out=1)) for _ in "12"], [200, 404])
        self.assertEqual(self.sim.flows(S1), [json.loads(other)])
        self.assertEqual(self.send("POST", first, FLOWS_S1.replace("01/", "ff/")), 404)
        self.assertEqual(self.send("PUT", first), 405)
        self.assertEqual(self.sim.request("POST", "/_sim/reset", "")[0], 200)
        self.assertEqual(self.send("GET", None), 401)

    def test_only_the_balancers_body_shape_is_taken(self):
        good = flow_body()
        self.assertEqual(self.send("POST", good), 201)
        bad = [good.replace(old, new) for old, new in [  # one fault each
            ('"idle_timeout":60,', ''), ('"idle_timeout":60', '"idle_timeout":"60"'),
            ('"idle_timeout":60', '"idle_timeout":60.0'), ('"in_port":2', '"in_port":true'),
            ('"tcp_src":33000', '"tcp_src":"33000"'), ('"tcp_dst":80', '"tcp_dst":null'),
            ('"ipv4_src":"192.0.2.10"', '"ipv4_src":3221225994'), ('"output":4', '"output":"4"'),
            ('"ipv4_dst":"203.0.113.100"', '"ipv4_dst":"203.0.113"'), ('{"eth_type":"ipv4"},', ''),
            ('"ip_proto":"tcp"', '"ip_proto":"udp"'), ('"table_id":0', '"table_id":false'),
            ('"priority":30000', '"priority":600'), ('{"flow":', '{"x":1,"flow":'),
            ('}]}]', '},{"output":5}]}]'), ('}}', ',"cookie":1}}')]] + [
                '{"flow":{"priority":600,"idle_timeout":10,"match":[{"in_port":2 }],'
                '"actions":[{"output":3}]}}', "[]", '{"flow":{"match":[']
        for body in bad:
            self.assertEqual([self.send("POST", body), self.send("DELETE", body)], [400] * 2, body)
        self.assertEqual(self.sim.flows(), [json.loads(good)], "nothing added nor removed")

    def test_idle_rules_expire_unless_posted_again(self):
        kept, idle, lasting = (flow_body(idle=t, sport=p) for t, p in ((1, 1), (1, 2), (0, 3)))
        self.assertEqual([self.send("POST", b) for b in (kept, idle, lasting)], [201] * 3)
        flows = []

        def idle_gone():
            self.assertEqual(self.send("POST", kept), 201)  # restarts its idle time
            flows[:] = self.sim.flows()
            return json.loads(idle) not in flows
        self.assertTrue(wait_until(idle_gone, 10), "an idle rule outlived its time-out")
        # kept's first second is over too: it lives, in its place, as it was posted again.
        self.assertEqual(flows, [json.loads(kept), json.loads(lasting)])
        self.assertEqual(json.loads(self.sim.api("GET", FLOWS_S1, self.token)[1])["flows"], flows)
        self.assertEqual(self.send("DELETE", idle), 404)

    def test_hosts_and_paths(self):
        status, data = self.sim.api("GET", "/sdn/v2.0/net/nodes?vid=0&ip=198.51.100.11", self.token)
        self.assertEqual((status, ordered(data)), (200, [("nodes", [[
            ("ip", "198.51.100.11"), ("mac", "02:00:00:00:00:11"), ("dpid", S3), ("port", 3)]])]))
        for query in ("vid=0&ip=192.0.2.99", "vid=0&ip=192.0.2.1", "vid=5&ip=192.0.2.10"):
            status, data = self.sim.api("GET", "/sdn/v2.0/net/nodes?" + query, self.token)
            self.assertEqual((status, json.loads(data)), (200, {"nodes": []}), query)
        for src, dst, expected in [
                (S3, S1, [(S3, 9, S2, 6), (S2, 5, S1, 2)]), (S1, S4, 404), (S1, "zz", 400)]:
            status, data = self.sim.api("GET", "/sdn/v2.0/net/paths/forward?src_dpid=%s&dst_dpid"
                                        "=%s" % (src, dst), self.token)
            links = dict(dict(ordered(data))["path"])["links"] if status == 200 else []
            self.assertEqual([tuple(v for _, v in link) for link in links] or status, expected)
            self.assertLessEqual({tuple(k for k, _ in link) for link in links},
                                 {("src_dpid", "src_port", "dst_dpid", "dst_port")})

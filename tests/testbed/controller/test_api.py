"""The controller requests: login, token check, flow install and removal, host
attachment and forward path, each in the reply shape the balancer reads."""

import json
import unittest

from simharness import (FLOWS_S1, LOGIN_BODY, NODES, S1, S2, S3, S4, SimTestCase, flow_body,
                        ordered)


class LoginTokenTest(SimTestCase):
    ADDR = "127.0.0.21"

    def test_login_puts_a_fresh_token_in_the_first_member(self):
        status, data = self.sim.request("POST", "/sdn/v2.0/auth", LOGIN_BODY)
        self.assertEqual(status, 200)
        first = dict(ordered(data)[0][1])
        self.assertRegex(first.get("token", ""), r"^[0-9a-f]{32}$")
        self.assertNotEqual(self.sim.login(), first["token"])
        for what, method, body, expected in [
                ("wrong password", "POST", LOGIN_BODY.replace("quorbit", "quorbix"), 401),
                ("wrong user", "POST", LOGIN_BODY.replace('"sdn",', '"admin",', 1), 401),
                ("not JSON", "POST", '{"login":', 400),
                ("GET instead of POST", "GET", None, 405)]:
            with self.subTest(what):
                status, data = self.sim.request(method, "/sdn/v2.0/auth", body)
                self.assertEqual(status, expected)
                self.assertNotIn("token", data)

    def test_requests_without_a_valid_token_get_401_and_change_nothing(self):
        token = self.sim.login()
        for method, path, body in [("GET", NODES, None), ("POST", FLOWS_S1, flow_body()),
                                   ("DELETE", FLOWS_S1, flow_body())]:
            for what, headers in [("no header", {}), ("unknown", {"X-Auth-Token": "0" * 32}),
                                  ("with a suffix", {"X-Auth-Token": token + "0"})]:
                with self.subTest(method=method, token=what):
                    self.assertEqual(self.sim.request(method, path, body, headers)[0], 401)
        self.assertEqual(self.sim.flows(), [])
        # The balancer's transfer library writes the header without a blank.
        status, _ = self.sim.raw(("GET %s HTTP/1.1\r\nHost: x\r\nX-Auth-Token:%s\r\n"
                                  "Connection: close\r\n\r\n" % (NODES, token)).encode())
        self.assertEqual(status, 200)


class FlowTest(SimTestCase):
    ADDR = "127.0.0.23"

    def test_install_replace_remove_per_switch(self):
        token = self.sim.login()
        post = lambda path, body: self.sim.api("POST", path, token, body)[0]
        delete = lambda path, body: self.sim.api("DELETE", path, token, body)[0]
        first, other = flow_body(idle=10), flow_body(sport=33001)
        self.assertEqual(post(FLOWS_S1, first), 201)
        # Same match, other time-out: replaced, not added; another match is another rule.
        teardown = flow_body(idle=2)
        self.assertEqual(post(FLOWS_S1, teardown), 201)
        self.assertEqual(post(FLOWS_S1, other), 201)
        self.assertEqual(self.sim.flows(), [json.loads(teardown), json.loads(other)])
        self.assertEqual(self.sim.flows("0000000000000002"), [])
        # Removal names the rule by its match only; an absent rule is 404.
        self.assertEqual(delete(FLOWS_S1, flow_body(idle=99, out=1)), 200)
        self.assertEqual(delete(FLOWS_S1, flow_body(idle=99, out=1)), 404)
        self.assertEqual(self.sim.flows(S1), [json.loads(other)])
        for what, method, path, body, expected in [
                ("unknown switch", "POST", FLOWS_S1.replace("01/", "ff/"), first, 404),
                ("body not JSON", "POST", FLOWS_S1, '{"flow":{"match":[', 400),
                ("no match array", "POST", FLOWS_S1, '{"flow":{"match":{}}}', 400),
                ("PUT", "PUT", FLOWS_S1, first, 405)]:
            with self.subTest(what):
                self.assertEqual(self.sim.api(method, path, token, body)[0], expected)
        self.assertEqual(len(self.sim.flows()), 1)
        self.assertEqual(self.sim.request("POST", "/_sim/reset", "")[0], 200)
        self.assertEqual(self.sim.flows(), [])
        self.assertEqual(self.sim.api("GET", NODES, token)[0], 401)


def links_of(data):
    return [(l["src_dpid"], l["src_port"], l["dst_dpid"], l["dst_port"])
            for l in json.loads(data)["path"]["links"]]


class NodesPathTest(SimTestCase):
    ADDR = "127.0.0.24"

    def test_hosts_and_paths(self):
        token = self.sim.login()
        status, data = self.sim.api("GET", "/sdn/v2.0/net/nodes?vid=0&ip=198.51.100.11", token)
        self.assertEqual(status, 200)
        self.assertEqual(ordered(data), [("nodes", [[
            ("ip", "198.51.100.11"), ("mac", "02:00:00:00:00:11"), ("dpid", S3), ("port", 3)]])])
        for query in ("vid=0&ip=192.0.2.99", "vid=0&ip=192.0.2.1", "vid=5&ip=192.0.2.10"):
            with self.subTest(query):
                status, data = self.sim.api("GET", "/sdn/v2.0/net/nodes?" + query, token)
                self.assertEqual((status, json.loads(data)), (200, {"nodes": []}))

        for src, dst, expected in [
                (S1, S2, [(S1, 2, S2, 5)]),
                (S3, S1, [(S3, 9, S2, 6), (S2, 5, S1, 2)]),
                ("0000000000000001", "0000000000000003", [(S1, 2, S2, 5), (S2, 6, S3, 9)]),
                (S1, S4, 404), (S1, "zz", 400)]:
            with self.subTest(src=src, dst=dst):
                status, data = self.sim.api(
                    "GET", "/sdn/v2.0/net/paths/forward?src_dpid=%s&dst_dpid=%s" % (src, dst),
                    token)
                if isinstance(expected, int):
                    self.assertEqual(status, expected)
                    continue
                self.assertEqual((status, links_of(data)), (200, expected))
                for link in ordered(data)[0][1][0][1]:
                    self.assertEqual([k for k, _ in link],
                                     ["src_dpid", "src_port", "dst_dpid", "dst_port"])


if __name__ == "__main__":
    unittest.main()

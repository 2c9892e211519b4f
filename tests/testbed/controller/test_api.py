"""The five controller requests: login, token check, flow install and removal, host
attachment and forward path, each checked for the reply shape the balancer reads."""

import json
import re
import unittest

from simharness import LOGIN_BODY, S1, S2, S3, S4, SimTestCase, flow_body, ordered

FLOWS_S1 = "/sdn/v2.0/of/datapaths/0000000000000001/flows"
FLOWS_S2 = "/sdn/v2.0/of/datapaths/0000000000000002/flows"


class LoginTest(SimTestCase):
    ADDR = "127.0.0.21"

    def test_login_reply_puts_token_in_first_member(self):
        status, data, headers = self.sim.request("POST", "/sdn/v2.0/auth", LOGIN_BODY)
        self.assertEqual(status, 200)
        self.assertIn(("Content-Type", "application/json"), headers)
        members = ordered(data)
        first_name, first_value = members[0]
        self.assertIsInstance(first_value, list, "first member must be an object")
        inner = dict(first_value)
        self.assertRegex(inner.get("token", ""), r"^[0-9a-f]{32}$")

    def test_each_login_gets_a_new_token_and_both_work(self):
        a, b = self.sim.login(), self.sim.login()
        self.assertNotEqual(a, b)
        for token in (a, b):
            status, _, _ = self.sim.api("GET", "/sdn/v2.0/net/nodes?vid=0&ip=192.0.2.10", token)
            self.assertEqual(status, 200)

    def test_rejected_logins(self):
        cases = [
            ("wrong password", "POST",
             '{"login":{"user":"sdn","password":"quorbix","domain":"sdn"}}', 401),
            ("wrong user", "POST",
             '{"login":{"user":"admin","password":"quorbit","domain":"sdn"}}', 401),
            ("wrong domain", "POST",
             '{"login":{"user":"sdn","password":"quorbit","domain":"x"}}', 401),
            ("not JSON", "POST", '{"login":', 400),
            ("no login member", "POST", '{"user":"sdn"}', 400),
            ("GET instead of POST", "GET", None, 405),
        ]
        for what, method, body, expected in cases:
            with self.subTest(what):
                status, data, _ = self.sim.request(method, "/sdn/v2.0/auth", body)
                self.assertEqual(status, expected)
                self.assertNotIn("token", data)


class TokenTest(SimTestCase):
    ADDR = "127.0.0.22"

    def test_requests_without_a_valid_token_get_401_and_change_nothing(self):
        token = self.sim.login()
        requests = [
            ("GET", "/sdn/v2.0/net/nodes?vid=0&ip=192.0.2.10", None),
            ("GET", "/sdn/v2.0/net/paths/forward?src_dpid=%s&dst_dpid=%s" % (S1, S3), None),
            ("POST", FLOWS_S1, flow_body()),
            ("DELETE", FLOWS_S1, flow_body()),
            ("GET", "/sdn/v2.0/no/such/thing", None),
        ]
        tokens = [
            ("no header", {}),
            ("unknown token", {"X-Auth-Token": "0" * 32}),
            ("empty token", {"X-Auth-Token": ""}),
            ("valid token with a suffix", {"X-Auth-Token": token + "0"}),
        ]
        for method, path, body in requests:
            for what, headers in tokens:
                with self.subTest(path=path, method=method, token=what):
                    status, _, _ = self.sim.request(method, path, body, headers)
                    self.assertEqual(status, 401)
        self.assertEqual(self.sim.flows("0000000000000001"), [])

    def test_token_header_with_and_without_blank(self):
        token = self.sim.login()
        for header in ("X-Auth-Token:%s" % token, "X-Auth-Token: %s" % token,
                       "x-auth-token:%s" % token):
            with self.subTest(header=header):
                raw = ("GET /sdn/v2.0/net/nodes?vid=0&ip=192.0.2.10 HTTP/1.1\r\n"
                       "Host: %s:8443\r\nContent-Type: application/json\r\n%s\r\n"
                       "Connection: close\r\n\r\n" % (self.sim.addr, header))
                status, _, data = self.sim.raw(raw.encode())
                self.assertEqual(status, 200, data)
                self.assertEqual(json.loads(data)["nodes"][0]["port"], 7)


class FlowTest(SimTestCase):
    ADDR = "127.0.0.23"

    def setUp(self):
        super().setUp()
        self.token = self.sim.login()

    def post(self, path, body):
        return self.sim.api("POST", path, self.token, body)[0]

    def delete(self, path, body):
        return self.sim.api("DELETE", path, self.token, body)[0]

    def test_install_replace_and_remove(self):
        first = flow_body(idle=10, sport=33000, out=4)
        self.assertEqual(self.post(FLOWS_S1, first), 201)
        self.assertEqual(self.sim.flows("0000000000000001"), [json.loads(first)])

        # Same match, other time-out: the rule is replaced, not added.
        teardown = flow_body(idle=2, sport=33000, out=4)
        self.assertEqual(self.post(FLOWS_S1, teardown), 201)
        self.assertEqual(self.sim.flows("0000000000000001"), [json.loads(teardown)])

        # Another connection (other source port) is another rule.
        other = flow_body(idle=10, sport=33001, out=4)
        self.assertEqual(self.post(FLOWS_S1, other), 201)
        self.assertEqual(self.sim.flows("0000000000000001"),
                         [json.loads(teardown), json.loads(other)])
        self.assertEqual(self.sim.flows("0000000000000002"), [])

        # Removal names the rule by its match only: time-out and output may differ.
        self.assertEqual(self.delete(FLOWS_S1, flow_body(idle=99, sport=33000, out=1)), 200)
        self.assertEqual(self.sim.flows("0000000000000001"), [json.loads(other)])
        self.assertEqual(self.delete(FLOWS_S1, other), 200)
        self.assertEqual(self.sim.flows("0000000000000001"), [])

    def test_rules_are_kept_per_switch(self):
        body = flow_body()
        self.assertEqual(self.post(FLOWS_S1, body), 201)
        self.assertEqual(self.post(FLOWS_S2, body), 201)
        self.assertEqual(self.delete(FLOWS_S2, body), 200)
        self.assertEqual(self.sim.flows("0000000000000001"), [json.loads(body)])
        self.assertEqual(self.sim.flows("0000000000000002"), [])
        # The control listing also takes the colon form.
        self.assertEqual(self.sim.flows(S1), [json.loads(body)])

    def test_removing_an_absent_rule_is_404_and_logged(self):
        self.post(FLOWS_S1, flow_body(sport=1000))
        self.assertEqual(self.delete(FLOWS_S1, flow_body(sport=2000)), 404)
        self.assertEqual(len(self.sim.flows("0000000000000001")), 1)
        last = self.sim.log_entries()[-1]
        self.assertEqual((last["method"], last["status"]), ("DELETE", 404))

    def test_unknown_switch_and_malformed_bodies(self):
        cases = [
            ("unknown switch", "POST", "/sdn/v2.0/of/datapaths/00000000000000ff/flows",
             flow_body(), 404),
            ("unknown switch, removal", "DELETE",
             "/sdn/v2.0/of/datapaths/00000000000000ff/flows", flow_body(), 404),
            ("dpid that is not hex", "POST", "/sdn/v2.0/of/datapaths/xyz/flows",
             flow_body(), 404),
            ("body not JSON", "POST", FLOWS_S1, '{"flow":{"match":[', 400),
            ("empty body", "POST", FLOWS_S1, "", 400),
            ("no flow member", "POST", FLOWS_S1, '{"match":[]}', 400),
            ("match not an array", "POST", FLOWS_S1, '{"flow":{"match":{"in_port":1}}}', 400),
            ("body an array", "POST", FLOWS_S1, "[]", 400),
            ("removal body not JSON", "DELETE", FLOWS_S1, "match=1", 400),
            ("PUT on flows", "PUT", FLOWS_S1, flow_body(), 405),
        ]
        for what, method, path, body, expected in cases:
            with self.subTest(what):
                status, _, _ = self.sim.api(method, path, self.token, body)
                self.assertEqual(status, expected)
        self.assertEqual(self.sim.flows("0000000000000001"), [])

    def test_reset_clears_rules_and_tokens(self):
        self.post(FLOWS_S1, flow_body())
        status, _, _ = self.sim.request("POST", "/_sim/reset", "")
        self.assertEqual(status, 200)
        self.assertEqual(self.sim.flows("0000000000000001"), [])
        status, _, _ = self.sim.api("GET", "/sdn/v2.0/net/nodes?vid=0&ip=192.0.2.10",
                                    self.token)
        self.assertEqual(status, 401)

    def test_flow_listing_of_unknown_switch_is_404(self):
        status, _, _ = self.sim.request("GET", "/_sim/flows?dpid=00000000000000ff")
        self.assertEqual(status, 404)


class NodesTest(SimTestCase):
    ADDR = "127.0.0.24"

    def nodes(self, query):
        status, data, _ = self.sim.api("GET", "/sdn/v2.0/net/nodes?" + query,
                                       self.sim.login())
        self.assertEqual(status, 200)
        return data

    def test_known_host_in_the_order_the_balancer_reads(self):
        data = self.nodes("vid=0&ip=198.51.100.11")
        members = ordered(data)
        self.assertEqual(members[0][0], "nodes")
        elements = members[0][1]
        self.assertEqual(len(elements), 1)
        self.assertEqual(elements[0], [("ip", "198.51.100.11"), ("mac", "02:00:00:00:00:11"),
                                       ("dpid", S3), ("port", 3)])

    def test_host_lookup_table(self):
        # (query, what it is, expected (dpid, port) list)
        cases = [
            ("vid=0&ip=192.0.2.10", "host on s1", [(S1, 7)]),
            ("vid=0&ip=198.51.100.12", "host without a VLAN matches vid 0", [(S3, 4)]),
            ("vid=5&ip=198.51.100.12", "host without a VLAN matches any vid", [(S3, 4)]),
            ("vid=5&ip=192.0.2.10", "host on VLAN 0 asked with vid 5", []),
            ("vid=0&ip=192.0.2.99", "unknown host", []),
            ("vid=0&ip=192.0.2.1", "leading part of a known address", []),
        ]
        for query, what, expected in cases:
            with self.subTest(what):
                nodes = json.loads(self.nodes(query))["nodes"]
                self.assertEqual([(n["dpid"], n["port"]) for n in nodes], expected)

    def test_bad_vid_is_400(self):
        status, _, _ = self.sim.api("GET", "/sdn/v2.0/net/nodes?vid=x&ip=192.0.2.10",
                                    self.sim.login())
        self.assertEqual(status, 400)


def walk_links(text):
    """Reads a path reply the way the balancer does: depth first over every member,
    "src_dpid", "src_port", "dst_dpid" filling a pending link and "dst_port" closing
    it. Returns the closed links as (src_dpid, src_port, dst_dpid, dst_port)."""
    links, pending = [], {}

    def visit(node):
        if isinstance(node, list):
            for item in node:
                if isinstance(item, tuple):
                    key, value = item
                    if key in ("src_dpid", "src_port", "dst_dpid"):
                        pending[key] = value
                    elif key == "dst_port":
                        links.append((pending.get("src_dpid"), pending.get("src_port"),
                                      pending.get("dst_dpid"), value))
                        pending.clear()
                    visit(value)
                else:
                    visit(item)

    visit(json.loads(text, object_pairs_hook=lambda pairs: [tuple(p) for p in pairs]))
    return links


class PathTest(SimTestCase):
    ADDR = "127.0.0.25"

    def path(self, src, dst):
        return self.sim.api("GET", "/sdn/v2.0/net/paths/forward?src_dpid=%s&dst_dpid=%s"
                            % (src, dst), self.sim.login())

    def test_paths_on_a_line_of_three_switches(self):
        # (src, dst, what it is, expected links in path order)
        cases = [
            (S1, S2, "one link", [(S1, 2, S2, 5)]),
            (S2, S1, "one link backwards", [(S2, 5, S1, 2)]),
            (S1, S3, "two links", [(S1, 2, S2, 5), (S2, 6, S3, 9)]),
            (S3, S1, "two links backwards", [(S3, 9, S2, 6), (S2, 5, S1, 2)]),
            ("0000000000000001", "0000000000000003", "dpids as 16 hex digits",
             [(S1, 2, S2, 5), (S2, 6, S3, 9)]),
            (S2, S2, "same switch", []),
        ]
        for src, dst, what, expected in cases:
            with self.subTest(what):
                status, data, _ = self.path(src, dst)
                self.assertEqual(status, 200)
                self.assertEqual(walk_links(data), expected)
                self.assertEqual(len(json.loads(data)["path"]["links"]), len(expected))

    def test_link_members_in_fixed_order(self):
        status, data, _ = self.path(S1, S3)
        self.assertEqual(status, 200)
        for link in ordered(data)[0][1][0][1]:
            self.assertEqual([k for k, _ in link],
                             ["src_dpid", "src_port", "dst_dpid", "dst_port"])

    def test_failed_path_queries(self):
        cases = [
            (S1, S4, "switch without links", 404),
            (S1, "00:00:00:00:00:00:00:ff", "unknown switch", 404),
            (S1, "zz", "dpid not hex", 400),
        ]
        for src, dst, what, expected in cases:
            with self.subTest(what):
                status, data, _ = self.path(src, dst)
                self.assertEqual(status, expected)
                self.assertEqual(walk_links(data), [])
        status, _, _ = self.sim.api("GET", "/sdn/v2.0/net/paths/forward?src_dpid=" + S1,
                                    self.sim.login())
        self.assertEqual(status, 400)


if __name__ == "__main__":
    unittest.main()

"""Fault modes, set by start flags and at run time through /_sim/control."""

import json
import time
import unittest

from simharness import FLOWS_S1, LOGIN_BODY, NODES, SimTestCase, flow_body


class FaultModeTest(SimTestCase):
    ADDR = "127.0.0.26"

    def test_no_token_not_json_and_status500(self):
        token = self.sim.login()
        self.sim.control(fault="no_token")
        status, data = self.sim.request("POST", "/sdn/v2.0/auth", LOGIN_BODY)
        self.assertEqual(status, 200)
        self.assertNotIn("token", json.loads(data)["record"])
        self.sim.control(fault="not_json")
        for method, path, body, headers in [("POST", "/sdn/v2.0/auth", LOGIN_BODY, {}),
                                            ("POST", FLOWS_S1, flow_body(), {"X-Auth-Token": token}),
                                            ("GET", NODES, None, {})]:
            with self.subTest(not_json=path):
                data = self.sim.request(method, path, body, headers)[1]
                self.assertNotEqual(data, "")
                self.assertRaises(ValueError, json.loads, data)
        self.assertEqual(len(self.sim.flows()), 1, "the request itself still took effect")

        self.restart_sim(["--fault", "status500"])
        self.assertEqual(self.sim.request("POST", "/sdn/v2.0/auth", LOGIN_BODY)[0], 500)
        self.assertEqual(self.sim.api("POST", FLOWS_S1, token, flow_body())[0], 500)
        self.assertEqual(self.sim.flows(), [])
        self.sim.control(fault="none")
        self.assertEqual(self.sim.api("POST", FLOWS_S1, self.sim.login(), flow_body())[0], 201)

    def test_delay_holds_sdn_replies_only(self):
        token = self.sim.login()
        self.sim.control(delay=1.0)
        started = time.monotonic()
        self.assertEqual(self.sim.api("GET", NODES, token)[0], 200)
        self.assertGreaterEqual(time.monotonic() - started, 1.0)
        started = time.monotonic()
        self.sim.flows()
        self.sim.control(delay=0)
        self.sim.api("GET", NODES, token)
        self.assertLess(time.monotonic() - started, 1.0)
        for body in ['{"fault":"sometimes"}', '{"delay":-1}', '{"token_expire_after":1.5}', "{"]:
            with self.subTest(body=body):
                self.assertEqual(self.sim.request("POST", "/_sim/control", body)[0], 400)

    def test_refuse_then_recover(self):
        conn = self.sim.connection()
        token = self.sim.login()
        self.sim.api("GET", NODES, token, conn=conn)
        self.sim.control(refuse=2)
        self.assertTrue(self.sim.refused())
        # A connection opened before the refusal keeps being served.
        self.assertEqual(self.sim.api("GET", NODES, token, conn=conn)[0], 200)
        conn.close()
        deadline = time.monotonic() + 10
        while self.sim.refused():
            self.assertLess(time.monotonic(), deadline, "still refusing after 10 s")
            time.sleep(0.1)
        self.assertEqual(self.sim.api("GET", NODES, token)[0], 200)


class TokenExpiryTest(SimTestCase):
    ADDR = "127.0.0.27"

    def test_token_refused_after_n_requests_and_relogin_works(self):
        self.restart_sim(["--token-expire-after", "2"])
        token = self.sim.login()
        # A failed request counts too.
        self.assertEqual(self.sim.api("DELETE", FLOWS_S1, token, flow_body())[0], 404)
        self.assertEqual([self.sim.api("GET", NODES, token)[0] for _ in range(3)],
                         [200, 401, 401])
        fresh = self.sim.login()
        self.assertNotEqual(fresh, token)
        self.assertEqual([self.sim.api("GET", NODES, fresh)[0] for _ in range(3)],
                         [200, 200, 401])
        self.sim.control(token_expire_after=0)
        token = self.sim.login()
        self.assertEqual([self.sim.api("GET", NODES, token)[0] for _ in range(3)], [200] * 3)
        self.sim.control(expire_tokens=True)
        self.assertEqual(self.sim.api("GET", NODES, token)[0], 401)
        self.assertEqual(self.sim.api("GET", NODES, self.sim.login())[0], 200)


if __name__ == "__main__":
    unittest.main()

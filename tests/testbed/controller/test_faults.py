"""Fault modes, set by start flags and at run time through /_sim/control."""

import json
import time
import unittest

from simharness import LOGIN_BODY, SimTestCase, flow_body

NODES = "/sdn/v2.0/net/nodes?vid=0&ip=192.0.2.10"
FLOWS_S1 = "/sdn/v2.0/of/datapaths/0000000000000001/flows"


def is_json(text):
    try:
        json.loads(text)
        return True
    except ValueError:
        return False


class FaultModeTest(SimTestCase):
    ADDR = "127.0.0.26"

    def test_no_token_login_succeeds_without_token(self):
        for start_flag in (True, False):
            with self.subTest(start_flag=start_flag):
                if start_flag:
                    self.restart_sim(["--fault", "no_token"])
                else:
                    self.restart_sim()
                    self.sim.control(fault="no_token")
                status, data, _ = self.sim.request("POST", "/sdn/v2.0/auth", LOGIN_BODY)
                self.assertEqual(status, 200)
                record = json.loads(data)["record"]
                self.assertNotIn("token", record)
                self.sim.control(fault="none")
                self.assertRegex(self.sim.login(), r"^[0-9a-f]{32}$")

    def test_not_json_spoils_every_sdn_reply_but_not_control(self):
        token = self.sim.login()
        self.sim.control(fault="not_json")
        requests = [
            ("POST", "/sdn/v2.0/auth", LOGIN_BODY, {}),
            ("GET", NODES, None, {"X-Auth-Token": token}),
            ("GET", "/sdn/v2.0/net/paths/forward?src_dpid=1&dst_dpid=3", None,
             {"X-Auth-Token": token}),
            ("POST", FLOWS_S1, flow_body(), {"X-Auth-Token": token}),
            ("GET", NODES, None, {}),  # the 401 too
        ]
        for method, path, body, headers in requests:
            with self.subTest(method=method, path=path):
                status, data, _ = self.sim.request(method, path, body, headers)
                self.assertNotEqual(data, "")
                self.assertFalse(is_json(data), data)
        # The request itself still took effect; control replies stay JSON.
        self.assertEqual(len(self.sim.flows("0000000000000001")), 1)
        self.sim.control(fault="none")
        status, data, _ = self.sim.request("GET", NODES, None, {"X-Auth-Token": token})
        self.assertTrue(is_json(data))

    def test_status500_answers_everything_with_500_and_does_nothing(self):
        token = self.sim.login()
        self.restart_sim(["--fault", "status500"])
        for method, path, body in [("POST", "/sdn/v2.0/auth", LOGIN_BODY), ("GET", NODES, None),
                                   ("POST", FLOWS_S1, flow_body())]:
            with self.subTest(path=path):
                status, _, _ = self.sim.request(method, path, body, {"X-Auth-Token": token})
                self.assertEqual(status, 500)
        self.assertEqual(self.sim.flows("0000000000000001"), [])
        self.assertEqual([e["status"] for e in self.sim.log_entries()], [500, 500, 500])
        self.sim.control(fault="none")
        token = self.sim.login()
        status, _, _ = self.sim.api("POST", FLOWS_S1, token, flow_body())
        self.assertEqual(status, 201)

    def test_delay_holds_sdn_replies_only(self):
        token = self.sim.login()
        self.sim.control(delay=1.0)
        started = time.monotonic()
        status, _, _ = self.sim.api("GET", NODES, token)
        self.assertEqual(status, 200)
        self.assertGreaterEqual(time.monotonic() - started, 1.0)
        started = time.monotonic()
        self.sim.flows("0000000000000001")
        self.assertLess(time.monotonic() - started, 1.0)
        self.sim.control(delay=0)
        started = time.monotonic()
        self.sim.api("GET", NODES, token)
        self.assertLess(time.monotonic() - started, 1.0)

    def test_delay_as_start_flag(self):
        self.restart_sim(["--fault", "delay=1"])
        started = time.monotonic()
        self.sim.login()
        self.assertGreaterEqual(time.monotonic() - started, 1.0)

    def test_refuse_then_recover(self):
        conn = self.sim.connection()
        token = self.sim.login()
        self.sim.api("GET", NODES, token, conn=conn)
        self.sim.control(refuse=2)
        self.assertTrue(self.sim.refused())
        # A connection opened before the refusal keeps being served.
        status, _, _ = self.sim.api("GET", NODES, token, conn=conn)
        self.assertEqual(status, 200)
        conn.close()
        deadline = time.monotonic() + 10
        while self.sim.refused():
            self.assertLess(time.monotonic(), deadline, "still refusing after 10 s")
            time.sleep(0.1)
        status, _, _ = self.sim.api("GET", NODES, token)
        self.assertEqual(status, 200)

    def test_refuse_as_start_flag_delays_ready(self):
        started = time.monotonic()
        self.restart_sim(["--fault", "refuse=1.5"])
        self.assertGreaterEqual(time.monotonic() - started, 1.5)
        self.assertEqual(len(self.sim.login()), 32)

    def test_bad_control_requests_are_rejected(self):
        for body in ['{"fault":"sometimes"}', '{"delay":-1}', '{"refuse":"x"}',
                     '{"token_expire_after":1.5}', '{"colour":"red"}', "[]", "{"]:
            with self.subTest(body=body):
                status, _, _ = self.sim.request("POST", "/_sim/control", body)
                self.assertEqual(status, 400)
        status, data, _ = self.sim.request("GET", "/_sim/state")
        self.assertEqual(json.loads(data)["fault"], "none")
        self.assertEqual(json.loads(data)["delay"], 0)

    def test_reset_clears_faults(self):
        self.sim.control(fault="status500", delay=0.5, token_expire_after=1)
        status, _, _ = self.sim.request("POST", "/_sim/reset", "")
        self.assertEqual(status, 200)
        status, data, _ = self.sim.request("GET", "/_sim/state")
        state = json.loads(data)
        self.assertEqual((state["fault"], state["delay"], state["token_expire_after"]),
                         ("none", 0, 0))
        token = self.sim.login()
        for _ in range(3):
            self.assertEqual(self.sim.api("GET", NODES, token)[0], 200)


class TokenExpiryTest(SimTestCase):
    ADDR = "127.0.0.27"
    EXTRA_ARGS = ("--token-expire-after", "2")

    def test_token_refused_after_n_requests_and_relogin_works(self):
        token = self.sim.login()
        statuses = [self.sim.api("GET", NODES, token)[0] for _ in range(3)]
        self.assertEqual(statuses, [200, 200, 401])
        self.assertEqual(self.sim.api("GET", NODES, token)[0], 401)
        fresh = self.sim.login()
        self.assertNotEqual(fresh, token)
        self.assertEqual([self.sim.api("GET", NODES, fresh)[0] for _ in range(3)],
                         [200, 200, 401])

    def test_failed_requests_count_too(self):
        token = self.sim.login()
        self.assertEqual(self.sim.api("DELETE", FLOWS_S1, token, flow_body())[0], 404)
        self.assertEqual(self.sim.api("GET", NODES, token)[0], 200)
        self.assertEqual(self.sim.api("GET", NODES, token)[0], 401)

    def test_limit_and_expiry_at_run_time(self):
        token = self.sim.login()
        self.sim.control(token_expire_after=0)
        self.assertEqual([self.sim.api("GET", NODES, token)[0] for _ in range(4)], [200] * 4)
        self.sim.control(token_expire_after=1)
        self.assertEqual([self.sim.api("GET", NODES, token)[0] for _ in range(2)], [200, 401])
        self.sim.control(token_expire_after=0)
        token = self.sim.login()
        self.assertEqual(self.sim.api("GET", NODES, token)[0], 200)
        self.sim.control(expire_tokens=True)
        self.assertEqual(self.sim.api("GET", NODES, token)[0], 401)
        self.assertEqual(self.sim.api("GET", NODES, self.sim.login())[0], 200)


if __name__ == "__main__":
    unittest.main()

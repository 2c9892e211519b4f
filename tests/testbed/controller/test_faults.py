"""Fault modes, set by start flags and at run time through /_sim/control."""

import http.client
import json

from simharness import FLOWS_S1, NODES, SimTestCase, flow_body, wait_until


class FaultModeTest(SimTestCase):
    ADDR = "127.0.0.26"

    # Logins under no_token, not_json and status500 and a held reply's time-out are
    # rest_sim_test's (RestStartup, HungController): here what it leaves out.
    def test_not_json_and_status500_on_flows(self):
        self.sim.control(fault="not_json")
        for path, body, headers in [(NODES, None, {}),  # a 401
                                    (FLOWS_S1, flow_body(), {"X-Auth-Token": self.token})]:
            data = self.sim.request("POST" if body else "GET", path, body, headers)[1]
            self.assertRaises(ValueError, json.loads, data or "{}")  # not empty either
        self.assertEqual(len(self.sim.flows()), 1, "the request itself still took effect")
        self.restart_sim(["--fault", "status500"])
        self.assertEqual(self.sim.api("POST", FLOWS_S1, self.token, flow_body())[0], 500)
        self.assertEqual(self.sim.flows(), [])

    def test_bad_settings_and_a_held_reply_does_not_hold_up_a_stop(self):
        for body in ['{"fault":"sometimes"}', '{"delay":-1}', '{"token_expire_after":1.5}', "{"]:
            self.assertEqual(self.sim.request("POST", "/_sim/control", body)[0], 400, body)
        self.sim.control(delay=30)
        held = self.sim.connection()
        self.addCleanup(held.close)
        held.request("GET", NODES, headers={"X-Auth-Token": self.token})
        # Logged before it is held; /_sim/ is not held.
        self.assertTrue(wait_until(lambda: len(self.sim.log_entries()) > 1, 10, 0.05))
        self.assertEqual(self.sim.flows(), [])
        self.sim.control(delay=0)
        self.assertEqual(self.sim.api("GET", NODES, self.token)[0], 200)
        self.sim.proc.terminate()
        self.assertEqual(self.sim.proc.wait(5), 0)
        self.assertRaises(ConnectionError, held.getresponse)

    def test_refuse_then_recover(self):
        conn = self.sim.connection()
        self.sim.api("GET", NODES, self.token, conn=conn)
        self.sim.control(refuse=2)
        self.assertTrue(self.sim.refused())
        # A connection opened before the refusal keeps being served.
        self.assertEqual(self.sim.api("GET", NODES, self.token, conn=conn)[0], 200)
        conn.close()
        self.assertTrue(wait_until(lambda: not self.sim.refused(), 10), "still refusing after 10 s")
        self.assertEqual(self.sim.api("GET", NODES, self.token)[0], 200)

    def test_kept_connection_serves_many_requests_until_drop_closes_it(self):
        kept = self.sim.connection()
        self.addCleanup(kept.close)
        self.assertEqual(self.sim.api("GET", NODES, self.token, conn=kept)[0], 200)
        sock = kept.sock
        # Each body must be read whole, DELETE's too, or the next request is misparsed.
        self.assertEqual([self.sim.api(m, p, self.token, flow_body(), conn=kept)[0] for m, p in [
            ("POST", FLOWS_S1), ("DELETE", FLOWS_S1), ("DELETE", FLOWS_S1), ("GET", NODES)]],
            [201, 200, 404, 200])
        self.assertIs(kept.sock, sock, "the connection was reopened")
        self.sim.control(fault="drop")
        self.assertEqual(sock.recv(1), b"", "the idle kept connection is closed at once")
        for conn in (kept, None):  # new connections too are closed unanswered, not logged
            self.assertRaises((http.client.HTTPException, OSError),
                              self.sim.api, "GET", NODES, self.token, conn=conn)
        self.assertEqual((self.sim.flows(), len(self.sim.log_entries())), ([], 6))
        self.sim.control(fault="none")
        self.assertEqual(self.sim.api("GET", NODES, self.token)[0], 200)

    def test_token_refused_after_n_requests_and_relogin_works(self):
        self.restart_sim(["--token-expire-after", "2"])
        gets = lambda token: [self.sim.api("GET", NODES, token)[0] for _ in range(3)]
        token = self.sim.login()
        # A failed request counts too.
        self.assertEqual(self.sim.api("DELETE", FLOWS_S1, token, flow_body())[0], 404)
        self.assertEqual(gets(token), [200, 401, 401])
        fresh = self.sim.login()
        self.assertEqual((fresh == token, gets(fresh)), (False, [200, 200, 401]))
        self.sim.control(token_expire_after=0)
        token = self.sim.login()
        self.assertEqual(gets(token), [200] * 3)  # expire_tokens is rest_sim_test's

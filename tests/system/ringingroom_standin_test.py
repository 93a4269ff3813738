#!/usr/bin/python3
"""Checks the stand-in Ringing Room server (ringingroom_standin.py) from outside, with
aiohttp's client over raw Engine.IO frames, since every test of the connection leans on
it: the web API, the protocol's answers, its test controls, its log, its TLS, and that
it never sends WebSocket-level pings. Everything runs on 127.0.0.1.

Usage: ringingroom_standin_test.py   (Debian's /usr/bin/python3)
"""

import asyncio
import json
import os
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

import aiohttp

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import test_ca  # noqa: E402

TOWER = 123456789
EMAIL, PASSWORD = "ann@example.org", "pull:off"
STEP_S = 5  # a bound on any one answer; the stand-in gives them in milliseconds


class Standin:
    """The stand-in as a child process; stopped when the test ends."""

    def __init__(self, folder, *extra, port=0):
        self.log = os.path.join(folder, "standin.jsonl")
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "ringingroom_standin.py"), "--port", str(port),
             "--stop-on-eof", "--log", self.log,
             "--user", f"{EMAIL}:ann:{PASSWORD}", "--user", "bob@example.org:bob:pw",
             "--tower", f"{TOWER}:6:St Mary's", "--assign", f"{TOWER}:2:ann",
             "--assign", f"{TOWER}:5:bob", *extra],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("PORT "):
            self.stop()
            raise RuntimeError("the stand-in did not start")
        self.port = int(line.split()[1])

    def stop(self):
        self.proc.terminate()
        self.proc.wait(STEP_S)
        self.proc.stdin.close()
        self.proc.stdout.close()

    def logged(self, event):
        with open(self.log, encoding="utf-8") as f:
            return [e for e in map(json.loads, f) if e["event"] == event]


class StandinTest(unittest.IsolatedAsyncioTestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="strikewell-standin-")
        self.standins = []

    async def asyncSetUp(self):
        # A connection is never kept for the next request: a restarted stand-in would
        # not know it.
        self.http = aiohttp.ClientSession(timeout=aiohttp.ClientTimeout(total=STEP_S),
                                          connector=aiohttp.TCPConnector(force_close=True))

    async def asyncTearDown(self):
        await self.http.close()
        for standin in self.standins:
            standin.stop()
        self.folder.cleanup()

    def start(self, *extra, port=0):
        standin = Standin(self.folder.name, *extra, port=port)
        self.standins.append(standin)
        self.base = f"http://127.0.0.1:{standin.port}"
        return standin

    async def token(self, password=PASSWORD):
        async with self.http.post(self.base + "/api/tokens",
                                  auth=aiohttp.BasicAuth(EMAIL, password)) as r:
            return r.status, (await r.json()).get("token")

    async def control(self, what, body):
        async with self.http.post(f"{self.base}/standin/{what}", json=body) as r:
            self.assertEqual(r.status, 200, await r.text())

    async def socket(self, **options):
        ws = await self.http.ws_connect(
            self.base.replace("http", "ws") + "/socket.io/?EIO=4&transport=websocket", **options)
        self.assertEqual((await self.text(ws))[0], "0")
        await ws.send_str("40")
        self.assertTrue((await self.text(ws)).startswith("40{"))
        return ws

    async def text(self, ws):
        message = await asyncio.wait_for(ws.receive(), STEP_S)
        self.assertEqual(message.type, aiohttp.WSMsgType.TEXT, message)
        return message.data

    async def event(self, ws):
        frame = await self.text(ws)
        self.assertEqual(frame[:2], "42", frame)
        return json.loads(frame[2:])

    async def send(self, ws, name, payload):
        await ws.send_str("42" + json.dumps([name, payload]))

    async def joined(self, token=None):
        ws = await self.socket()
        token = token or (await self.token())[1]
        await self.send(ws, "c_join", {"tower_id": TOWER, "user_token": token,
                                       "anonymous_user": False})
        self.assertEqual(await self.event(ws),
                         ["s_user_entered", {"user_id": 101, "username": "ann"}])
        return ws

    # The web API.

    async def test_token_for_the_right_password_and_401_for_a_wrong_one(self):
        self.start()
        status, token = await self.token()
        self.assertEqual(status, 200)
        self.assertTrue(token)
        self.assertEqual((await self.token("wrong"))[0], 401)

    async def test_user_and_tower_need_a_good_token(self):
        self.start()
        token = (await self.token())[1]
        bearer = {"Authorization": "Bearer " + token}
        async with self.http.get(self.base + "/api/user", headers=bearer) as r:
            self.assertEqual(await r.json(), {"username": "ann", "email": EMAIL})
        async with self.http.get(f"{self.base}/api/tower/{TOWER}", headers=bearer) as r:
            self.assertEqual(await r.json(), {"tower_id": TOWER, "tower_name": "St Mary's",
                                              "server_address": self.base + "/"})
        async with self.http.get(self.base + "/api/tower/42", headers=bearer) as r:
            self.assertEqual(r.status, 404)
        for path in ("/api/user", f"/api/tower/{TOWER}"):
            async with self.http.get(self.base + path,
                                     headers={"Authorization": "Bearer nonsense"}) as r:
                self.assertEqual(r.status, 401, path)

    async def test_a_token_stays_good_across_a_restart_on_the_same_port(self):
        first = self.start()
        token = (await self.token())[1]
        first.stop()
        self.standins.remove(first)
        self.start(port=first.port)
        self.assertEqual((await self.token())[1], token)
        ws = await self.joined(token)
        await ws.close()

    async def test_an_old_engine_io_is_told_unsupported_version(self):
        self.start()
        async with self.http.get(self.base + "/socket.io/?EIO=3&transport=websocket") as r:
            self.assertEqual((r.status, await r.text()), (400, "unsupported version"))

    async def test_https_with_a_certificate_from_the_test_authority(self):
        test_ca.make_all(self.folder.name)
        cert = os.path.join(self.folder.name, "localhost")
        standin = self.start("--cert", cert + ".crt", "--key", cert + ".key")
        trust = ssl.create_default_context(cafile=os.path.join(self.folder.name, "ca.crt"))
        async with self.http.post(f"https://localhost:{standin.port}/api/tokens",
                                  auth=aiohttp.BasicAuth(EMAIL, PASSWORD), ssl=trust) as r:
            self.assertEqual(r.status, 200)

    # The tower.

    async def test_a_token_it_did_not_issue_gets_s_bad_token_and_no_join(self):
        self.start()
        ws = await self.socket()
        await self.send(ws, "c_join", {"tower_id": TOWER, "user_token": "forged"})
        self.assertEqual(await self.event(ws), ["s_bad_token", {}])
        await self.send(ws, "c_request_global_state", {"tower_id": TOWER})
        await self.control("emit", {"event": "marker", "data": 1})
        self.assertEqual(await self.event(ws), ["marker", 1], "no state for a ringer not joined")

    async def test_a_tower_number_that_is_a_string_joins_nothing(self):
        self.start()
        ws = await self.socket()
        await self.send(ws, "c_join", {"tower_id": str(TOWER),
                                       "user_token": (await self.token())[1]})
        await self.control("emit", {"event": "marker", "data": 1})
        self.assertEqual(await self.event(ws), ["marker", 1])

    async def test_the_state_comes_when_asked_for_with_one_assignment_per_bell(self):
        self.start()
        ws = await self.joined()
        await self.send(ws, "c_request_global_state", {"tower_id": TOWER})
        self.assertEqual(await self.event(ws), ["s_global_state", {"global_bell_state": [True] * 6}])
        users = ["", 101, "", "", 102, ""]
        for bell, user in enumerate(users, start=1):
            self.assertEqual(await self.event(ws), ["s_assign_user", {"bell": bell, "user": user}])

    async def test_a_ring_turns_the_bell_over_and_says_whether_the_stroke_agreed(self):
        standin = self.start()
        ws = await self.joined()
        rings = [  # (stroke sent, the bell's state after, disagree)
            (True, False, False),
            (True, True, True),  # the wrong stroke: rung all the same
            (1, False, True),  # not a JSON boolean
            (False, True, False),
        ]
        before = time.monotonic_ns()
        for stroke, after, disagree in rings:
            await self.send(ws, "c_bell_rung", {"bell": 2, "stroke": stroke, "tower_id": TOWER})
            state = [True] * 6
            state[1] = after
            self.assertEqual(await self.event(ws), ["s_bell_rung", {
                "global_bell_state": state, "who_rang": 2, "disagree": disagree}])
        logged = standin.logged("c_bell_rung")
        self.assertEqual([(e["bell"], e["stroke"], e["disagree"], e["username"]) for e in logged],
                         [(2, stroke, disagree, "ann") for stroke, _, disagree in rings])
        self.assertTrue(before <= logged[0]["t_ns"] <= time.monotonic_ns())

    async def test_a_ring_of_a_bell_the_tower_has_not_is_ignored(self):
        standin = self.start()
        ws = await self.joined()
        for bell in (0, 7, "2", None):
            await self.send(ws, "c_bell_rung", {"bell": bell, "stroke": True, "tower_id": TOWER})
        await self.control("emit", {"event": "marker", "data": 1})
        self.assertEqual(await self.event(ws), ["marker", 1])
        self.assertEqual([e.get("ignored") for e in standin.logged("c_bell_rung")], [True] * 4)

    async def test_controls_change_the_tower_and_tell_its_ringers(self):
        self.start()
        ws = await self.joined()
        await self.control("assign", {"tower": TOWER, "bell": 4, "username": "ann"})
        self.assertEqual(await self.event(ws), ["s_assign_user", {"bell": 4, "user": 101}])
        await self.control("assign", {"tower": TOWER, "bell": 4, "username": ""})
        self.assertEqual(await self.event(ws), ["s_assign_user", {"bell": 4, "user": ""}])
        await self.control("ring", {"tower": TOWER, "bell": 3})
        self.assertEqual(await self.event(ws), ["s_bell_rung", {
            "global_bell_state": [True, True, False, True, True, True], "who_rang": 3,
            "disagree": False}])
        await self.control("size", {"tower": TOWER, "size": 8})
        self.assertEqual(await self.event(ws), ["s_size_change", {"size": 8}])
        await self.send(ws, "c_request_global_state", {"tower_id": TOWER})
        self.assertEqual(await self.event(ws), ["s_global_state", {"global_bell_state": [True] * 8}])

    async def test_a_kicked_ringer_is_told_and_leaves_the_tower(self):
        self.start()
        ws = await self.joined()
        await self.control("kick", {"tower": TOWER, "username": "ann"})
        self.assertEqual(await self.event(ws), ["s_user_left", {
            "user_id": 101, "username": "ann", "kicked": True}])
        await self.control("ring", {"tower": TOWER, "bell": 1})
        await self.control("emit", {"event": "marker", "data": 1})
        self.assertEqual(await self.event(ws), ["marker", 1], "no rings heard once kicked")

    async def test_c_user_left_unassigns_every_bell_of_the_account(self):
        standin = self.start()
        ws = await self.joined()
        await self.send(ws, "c_user_left", {"tower_id": TOWER})
        self.assertEqual(await self.event(ws), ["s_assign_user", {"bell": 2, "user": ""}])
        self.assertEqual(len(standin.logged("c_user_left")), 1)

    async def test_binary_data_goes_as_a_placeholder_and_a_binary_frame(self):
        self.start()
        ws = await self.joined()
        await self.control("emit", {"event": "blob", "binary": 3})
        self.assertEqual(await self.text(ws), '451-["blob",{"_placeholder":true,"num":0}]')
        message = await asyncio.wait_for(ws.receive(), STEP_S)
        self.assertEqual((message.type, message.data), (aiohttp.WSMsgType.BINARY, b"\0\0\0"))

    async def test_the_heartbeat_is_engine_io_text_never_a_websocket_ping(self):
        self.start("--ping-interval", "0.2", "--ping-timeout", "5")
        ws = await self.socket(autoping=False)
        for _ in range(3):
            self.assertEqual(await self.text(ws), "2")
            await ws.send_str("3")

    async def test_disconnect_control_closes_every_connection(self):
        self.start()
        ws = await self.joined()
        await self.control("disconnect", {})
        frames = []
        while True:
            message = await asyncio.wait_for(ws.receive(), STEP_S)
            if message.type != aiohttp.WSMsgType.TEXT:
                break
            frames.append(message.data)
        self.assertEqual(frames[-1:], ["1"])
        self.assertIn(message.type, (aiohttp.WSMsgType.CLOSE, aiohttp.WSMsgType.CLOSED))


if __name__ == "__main__":
    unittest.main()

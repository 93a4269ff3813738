#!/usr/bin/python3
"""A stand-in for a Ringing Room server, for tests on loopback: its web API and its
Socket.IO tower server in one process, written from the protocol as the program uses
it. It binds 127.0.0.1 only. Run it with Debian's /usr/bin/python3, which sees the
python3-socketio (5), python3-engineio (4) and python3-aiohttp packages.

Usage:
  ringingroom_standin.py [--port N] [--cert FILE --key FILE] [--log FILE]
      [--user EMAIL:USERNAME:PASSWORD]... [--tower NUMBER:SIZE:NAME]...
      [--assign NUMBER:BELL:USERNAME]... [--server-address URL]
      [--ping-interval S] [--ping-timeout S] [--stop-on-eof]

  --port N       the port on 127.0.0.1; 0 (the default) picks a free one. Either way
                 the first line on standard output is "PORT <n>" once it listens.
                 A test stops the process (SIGTERM) and starts it again with the
                 same --port and flags to take the server away and bring it back.
  --cert, --key  serve HTTPS and WSS with this certificate (PEM), else plain HTTP
                 and WS. tests/system/test_ca.py makes a test CA and certificates.
  --log FILE     appends one JSON line per Socket.IO event received from a client:
                 {"event": "c_bell_rung", "t_ns": <time.monotonic_ns() at arrival>,
                  "tower_id": .., "bell": .., "stroke": .., "disagree": ..,
                  "username": .., "payload": {...as received}}; c_join,
                 c_request_global_state, c_user_left and unknown events likewise
                 (with their payload). t_ns is CLOCK_MONOTONIC, the clock of
                 the program's own monotonic times on the same machine.
  --user         an account; user ids are 101, 102, ... in the order given. The
                 password is last and may contain colons.
  --tower        a tower (NUMBER as in its address), SIZE bells, all at handstroke.
  --assign       gives BELL of tower NUMBER to USERNAME at start.
  --server-address  what GET /api/tower/<n> names as the tower's socket server
                 (default: this server, as the request reached it, with a final "/").
  --ping-interval, --ping-timeout  Engine.IO's heartbeat in seconds (25 and 20).
  --stop-on-eof  ends as on SIGTERM when standard input reaches its end: a test that
                 gives it a pipe it never writes cannot leave it running if it dies.

The web API: POST /api/tokens (HTTP Basic email:password) -> {"token"}, 401 refused;
GET /api/user (Bearer) -> {"username", "email"}; GET /api/tower/<n> (Bearer) ->
{"tower_id", "tower_name", "server_address"}, 404 unknown, 401 without a good token.
A token is the same for the same account on every start, so a kept token stays good
across a restart. /socket.io/ with an EIO other than 4 is answered 400 "unsupported
version". Only the WebSocket transport is served, and no WebSocket-level pings are
sent (the Engine.IO heartbeat is its text "2"/"3").

Socket.IO events: c_join {tower_id, user_token} -> s_user_entered {user_id, username}
to the tower (s_bad_token to the sender alone for a token it did not issue);
c_request_global_state {tower_id} -> s_global_state {global_bell_state}, then one
s_assign_user {bell, user} per bell (user "" for nobody); c_bell_rung {bell, stroke,
tower_id} -> s_bell_rung {global_bell_state, who_rang, disagree} to the tower, the
bell rung whatever the stroke (disagree when stroke is not the bell's state as a JSON
boolean); c_user_left unassigns every bell of the account.

Test controls (POST, JSON body; answer {"ok": true} or 400/404):
  /standin/assign {"tower": n, "bell": b, "username": "ann" or ""} -> s_assign_user
  /standin/size {"tower": n, "size": s}    -> s_size_change {size}; all at handstroke
  /standin/ring {"tower": n, "bell": b}    another ringer rings b -> s_bell_rung
  /standin/kick {"tower": n, "username": u} -> s_user_left {user_id, username,
                                              kicked: true}; that ringer leaves
  /standin/emit {"event": e, "data": any}  sends an event to every client;
                {"event": e, "binary": n}  with n bytes of binary data instead
  /standin/disconnect {}                   the server closes every connection: an
                                           Engine.IO close "1", then the TCP connection
GET /standin/state?tower=n -> {"global_bell_state", "assignments", "members"}.
"""

import argparse
import asyncio
import base64
import hashlib
import json
import os
import signal
import socket
import ssl
import sys
import time

import socketio
from aiohttp import web

FIRST_USER_ID = 101


class Tower:
    def __init__(self, number, size, name):
        self.number = number
        self.name = name
        self.resize(size)

    def resize(self, size):
        self.states = [True] * size  # True: the bell's next blow is a handstroke
        self.assignments = [0] * size  # user id per bell, 0 for nobody


class Standin:
    def __init__(self, args):
        self.args = args
        self.users = {}  # email -> {"id", "username", "password", "token"}
        for n, spec in enumerate(args.user):
            email, username, password = spec.split(":", 2)
            token = hashlib.sha256(f"{email}\0{password}".encode()).hexdigest()[:40]
            self.users[email] = {"id": FIRST_USER_ID + n, "username": username,
                                 "password": password, "token": token, "email": email}
        self.towers = {}
        for spec in args.tower:
            number, size, name = spec.split(":", 2)
            self.towers[int(number)] = Tower(int(number), int(size), name)
        for spec in args.assign:
            number, bell, username = spec.split(":", 2)
            self.towers[int(number)].assignments[int(bell) - 1] = self.user_named(username)["id"]
        self.members = {}  # sid -> (tower number, user)
        self.connections = set()  # the transports of the WebSockets open now
        self.log = open(args.log, "a", encoding="utf-8") if args.log else None
        self.sio = socketio.AsyncServer(
            async_mode="aiohttp", transports=["websocket"], cors_allowed_origins="*",
            ping_interval=args.ping_interval, ping_timeout=args.ping_timeout,
            # Each event is handled as it is read, so that its arrival time is taken
            # before anything else the server does.
            async_handlers=False)
        self.app = web.Application(middlewares=[self.socket_io_requests])
        self.sio.attach(self.app)
        self.app.add_routes([
            web.post("/api/tokens", self.api_tokens),
            web.get("/api/user", self.api_user),
            web.get("/api/tower/{number}", self.api_tower),
            web.get("/standin/state", self.control_state),
            web.post("/standin/{what}", self.control),
        ])
        for name in ("c_join", "c_request_global_state", "c_bell_rung", "c_user_left"):
            self.sio.on(name, getattr(self, name))
        self.sio.on("*", self.other_event)
        self.sio.on("disconnect", self.disconnected)

    def user_named(self, username):
        for user in self.users.values():
            if user["username"] == username:
                return user
        raise KeyError(username)

    def user_with_token(self, token):
        for user in self.users.values():
            if user["token"] == token:
                return user
        return None

    def write_log(self, entry):
        if self.log:
            self.log.write(json.dumps(entry) + "\n")
            self.log.flush()

    def logged(self, event, data, **fields):
        entry = {"event": event, "t_ns": time.monotonic_ns()}
        entry.update(fields)
        entry["payload"] = data
        return entry

    # The web API.

    @web.middleware
    async def socket_io_requests(self, request, handler):
        if not request.path.startswith("/socket.io"):
            return await handler(request)
        if request.query.get("EIO") != "4":
            return web.Response(status=400, text="unsupported version")
        # The handler returns when the WebSocket has ended.
        transport = request.transport
        self.connections.add(transport)
        try:
            return await handler(request)
        finally:
            self.connections.discard(transport)

    def bearer_user(self, request):
        auth = request.headers.get("Authorization", "")
        if not auth.startswith("Bearer "):
            return None
        return self.user_with_token(auth[len("Bearer "):])

    async def api_tokens(self, request):
        auth = request.headers.get("Authorization", "")
        try:
            email, password = base64.b64decode(auth[len("Basic "):]).decode().split(":", 1)
        except (ValueError, UnicodeDecodeError):
            email = password = None
        user = self.users.get(email)
        if not auth.startswith("Basic ") or user is None or user["password"] != password:
            return web.json_response({"error": "Unauthorized"}, status=401)
        return web.json_response({"token": user["token"]})

    async def api_user(self, request):
        user = self.bearer_user(request)
        if user is None:
            return web.json_response({"error": "Unauthorized"}, status=401)
        return web.json_response({"username": user["username"], "email": user["email"]})

    async def api_tower(self, request):
        if self.bearer_user(request) is None:
            return web.json_response({"error": "Unauthorized"}, status=401)
        try:
            tower = self.towers[int(request.match_info["number"])]
        except (KeyError, ValueError):
            return web.json_response({"error": "Not found"}, status=404)
        address = self.args.server_address or f"{request.scheme}://{request.host}/"
        return web.json_response({"tower_id": tower.number, "tower_name": tower.name,
                                  "server_address": address})

    # The tower server.

    def member(self, sid, data):
        """The tower and user of a client that joined the tower its event names."""
        if not isinstance(data, dict) or sid not in self.members:
            return None, None
        number, user = self.members[sid]
        if data.get("tower_id") != number or type(data.get("tower_id")) is not int:
            return None, None
        return self.towers[number], user

    async def c_join(self, sid, data=None):
        self.write_log(self.logged("c_join", data))
        if not isinstance(data, dict):
            return
        user = self.user_with_token(data.get("user_token"))
        if user is None:
            await self.sio.emit("s_bad_token", {}, to=sid)
            return
        number = data.get("tower_id")
        # A tower number that is not a JSON integer names no tower: the client sits in
        # an empty room and hears nothing.
        if type(number) is not int or number not in self.towers:
            return
        self.members[sid] = (number, user)
        self.sio.enter_room(sid, str(number))
        await self.sio.emit("s_user_entered", {"user_id": user["id"], "username": user["username"]},
                            room=str(number))

    async def c_request_global_state(self, sid, data=None):
        self.write_log(self.logged("c_request_global_state", data))
        tower, _ = self.member(sid, data)
        if tower is None:
            return
        await self.sio.emit("s_global_state", {"global_bell_state": tower.states}, to=sid)
        for bell, user in enumerate(tower.assignments, start=1):
            await self.sio.emit("s_assign_user", {"bell": bell, "user": user or ""}, to=sid)

    async def c_bell_rung(self, sid, data=None):
        arrived = self.logged("c_bell_rung", data)
        tower, user = self.member(sid, data)
        bell = data.get("bell") if isinstance(data, dict) else None
        if tower is None or type(bell) is not int or not 1 <= bell <= len(tower.states):
            arrived["ignored"] = True
            self.write_log(arrived)
            return
        stroke = data.get("stroke")
        disagree = not (type(stroke) is bool and stroke == tower.states[bell - 1])
        arrived.update(tower_id=tower.number, bell=bell, stroke=stroke, disagree=disagree,
                       username=user["username"])
        self.write_log(arrived)
        await self.ring(tower, bell, disagree)

    async def ring(self, tower, bell, disagree):
        tower.states[bell - 1] = not tower.states[bell - 1]
        await self.sio.emit("s_bell_rung", {"global_bell_state": tower.states, "who_rang": bell,
                                            "disagree": disagree}, room=str(tower.number))

    async def c_user_left(self, sid, data=None):
        self.write_log(self.logged("c_user_left", data))
        tower, user = self.member(sid, data)
        if tower is None:
            return
        for bell, holder in enumerate(tower.assignments, start=1):
            if holder == user["id"]:
                await self.assign(tower, bell, 0)
        await self.leave(sid, tower, user, kicked=False)

    async def other_event(self, event, sid, data=None):
        self.write_log(self.logged(event, data))

    async def disconnected(self, sid):
        self.members.pop(sid, None)

    async def assign(self, tower, bell, user_id):
        tower.assignments[bell - 1] = user_id
        await self.sio.emit("s_assign_user", {"bell": bell, "user": user_id or ""},
                            room=str(tower.number))

    async def leave(self, sid, tower, user, kicked):
        await self.sio.emit("s_user_left", {"user_id": user["id"], "username": user["username"],
                                            "kicked": kicked}, room=str(tower.number))
        self.sio.leave_room(sid, str(tower.number))
        self.members.pop(sid, None)

    # Test controls.

    async def control_state(self, request):
        try:
            tower = self.towers[int(request.query["tower"])]
        except (KeyError, ValueError):
            return web.json_response({"error": "no such tower"}, status=404)
        members = [user["username"] for number, user in self.members.values()
                   if number == tower.number]
        return web.json_response({"global_bell_state": tower.states,
                                  "assignments": tower.assignments, "members": members})

    async def control(self, request):
        what = request.match_info["what"]
        try:
            body = await request.json()
            if what == "emit":
                data = bytes(body["binary"]) if "binary" in body else body.get("data")
                await self.sio.emit(body["event"], data)
            elif what == "disconnect":
                # Engine.IO's close ("1") waits for the client to end the connection;
                # this server ends it itself.
                for eio_sid in list(self.sio.eio.sockets):
                    await self.sio.eio.disconnect(eio_sid)
                for transport in list(self.connections):
                    transport.close()
            else:
                tower = self.towers[int(body["tower"])]
                if what == "assign":
                    user_id = self.user_named(body["username"])["id"] if body["username"] else 0
                    await self.assign(tower, int(body["bell"]), user_id)
                elif what == "size":
                    tower.resize(int(body["size"]))
                    await self.sio.emit("s_size_change", {"size": len(tower.states)},
                                        room=str(tower.number))
                elif what == "ring":
                    await self.ring(tower, int(body["bell"]), False)
                elif what == "kick":
                    user = self.user_named(body["username"])
                    for sid, (number, member) in list(self.members.items()):
                        if number == tower.number and member is user:
                            await self.leave(sid, tower, user, kicked=True)
                else:
                    return web.json_response({"error": "no such control"}, status=404)
        except (KeyError, ValueError, TypeError, IndexError) as e:
            return web.json_response({"error": repr(e)}, status=400)
        return web.json_response({"ok": True})


async def serve(args):
    standin = Standin(args)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    # A test restarts the stand-in on the port it had, whose old connections may still
    # be in TIME_WAIT.
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(64)
    tls = None
    if args.cert:
        tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls.load_cert_chain(args.cert, args.key)
    runner = web.AppRunner(standin.app, access_log=None)
    await runner.setup()
    await web.SockSite(runner, listener, ssl_context=tls).start()
    print(f"PORT {listener.getsockname()[1]}", flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    if args.stop_on_eof:
        def at_input():
            if not os.read(sys.stdin.fileno(), 4096):
                stop.set()
        loop.add_reader(sys.stdin.fileno(), at_input)
    await stop.wait()
    # Gone at once, as a server that fails is: the system closes every connection
    # without a WebSocket or Socket.IO goodbye.
    sys.stdout.flush()
    os._exit(0)


def main():
    parser = argparse.ArgumentParser(description="A stand-in Ringing Room server on 127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--log")
    parser.add_argument("--user", action="append", default=[])
    parser.add_argument("--tower", action="append", default=[])
    parser.add_argument("--assign", action="append", default=[])
    parser.add_argument("--server-address")
    parser.add_argument("--ping-interval", type=float, default=25)
    parser.add_argument("--ping-timeout", type=float, default=20)
    parser.add_argument("--stop-on-eof", action="store_true")
    args = parser.parse_args()
    if bool(args.cert) != bool(args.key):
        parser.error("--cert and --key go together")
    asyncio.run(serve(args))


if __name__ == "__main__":
    main()

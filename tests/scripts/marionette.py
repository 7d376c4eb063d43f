"""A small client of Firefox's Marionette protocol, enough for the tests.

Marionette speaks JSON over TCP: each message is "LENGTH:JSON", where a
command is [0, ID, NAME, PARAMS] and its answer [1, ID, ERROR, RESULT].
"""
import json
import socket
import time


class MarionetteError(Exception):
    pass


class Marionette:
    def __init__(self, port, tries=600):
        # Firefox listens once it has started; counted tries, not a clock.
        for attempt in range(tries):
            try:
                self.sock = socket.create_connection(("127.0.0.1", port), timeout=60)
                break
            except OSError:
                if attempt == tries - 1:
                    raise
                time.sleep(0.1)
        self.buffer = b""
        self.next_id = 0
        hello = self._receive()
        if hello.get("marionetteProtocol") != 3:
            raise MarionetteError("unexpected greeting: %r" % hello)

    def _receive(self):
        while b":" not in self.buffer:
            self._fill()
        length, _, self.buffer = self.buffer.partition(b":")
        length = int(length)
        while len(self.buffer) < length:
            self._fill()
        body, self.buffer = self.buffer[:length], self.buffer[length:]
        return json.loads(body)

    def _fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise MarionetteError("Firefox closed the connection")
        self.buffer += chunk

    def command(self, name, params=None):
        self.next_id += 1
        body = json.dumps([0, self.next_id, name, params or {}]).encode()
        self.sock.sendall(str(len(body)).encode() + b":" + body)
        while True:
            kind, ident, error, result = self._receive()
            if kind == 1 and ident == self.next_id:
                break
        if error:
            raise MarionetteError("%s: %s" % (name, error.get("message", error)))
        return result

    def value(self, name, params=None):
        result = self.command(name, params)
        return result.get("value") if isinstance(result, dict) else result

    def context(self, which):
        self.command("Marionette:SetContext", {"value": which})

    def script(self, source, args=None):
        return self.value("WebDriver:ExecuteScript", {"script": source, "args": args or []})

    def close(self):
        try:
            self.command("Marionette:Quit", {"flags": ["eForceQuit"]})
        except (MarionetteError, OSError):
            pass
        self.sock.close()

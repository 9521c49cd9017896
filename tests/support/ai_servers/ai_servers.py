#!/usr/bin/env python3
"""Loopback AI providers for the tests: one HTTP and one HTTPS (test CA) listener that speak
the public wire formats of OpenAI chat completions and /models, MiniMax chatcompletion_v2,
DashScope (compatible and native), Ollama (/api/generate, /api/chat, /api/tags, /api/pull),
Anthropic /v1/messages and Gemini generateContent / streamGenerateContent?alt=sse.

  ai_servers.py start DIR   start the servers in the background, write DIR/servers.json
  ai_servers.py stop DIR    stop the server recorded in DIR (by pid)
  ai_servers.py serve DIR   run in the foreground (what start runs)

Request paths are /BEHAVIOUR/TAG/<provider path>. Every request is recorded under TAG
(method, path, lower-cased headers, body) and GET /__requests/TAG returns the list, so a
test can check exactly what was sent. BEHAVIOUR chooses the reply:
  ok        the provider's normal reply (streamed when the request asks for a stream)
  split     a streamed reply written a few bytes at a time (lines split anywhere)
  thinking  replies that carry reasoning next to the answer
  slow      nothing for 5 seconds, then the normal reply
  status401 HTTP 401 with the provider's error body, quoting the key it was sent
  status500 HTTP 500 with a plain-text body
  streamerr a stream that carries an error event after its first delta
  metadata  the tag and priority analysis answered in prose around a JSON object: tags
            "invoice" and "finance" with priority "HIGH", or no tags and "normal" for a
            prompt with the subject "plain"; metadata50 the same after 50 ms
  canned    the texts queued by POST /__replies/TAG (a JSON list of strings), one per
            request in order, the last repeated; awkward model answers for the parsers
            (OpenAI style: streamed a word at a time when the request asks for a stream)
  hang      nothing at all for ten minutes (a provider that never answers)
Hostile OpenAI-style streams (a plain request gets the normal reply):
  endless   text deltas of 4 KiB as fast as the client reads, never ending
  keepalive keep-alive comments every 0.2 s, never an event
  trickle   one small delta every 0.2 s, never ending
  afterdone the normal stream, then keep-alive comments after [DONE], never closing
"""
import json
import os
import re
import signal
import ssl
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

RECORDS = {}
REPLIES = {}
LOCK = threading.Lock()
REPLY_WORDS = ["Hello", " from", " "]


def reply_text(model):
    return "Hello from " + model


def canned_or(handler, model):
    if handler.behaviour != "canned":
        return reply_text(model)
    with LOCK:
        queue = REPLIES.get(handler.tag) or [""]
        return queue.pop(0) if len(queue) > 1 else queue[0]


def deltas(model):
    return REPLY_WORDS + [model]


def words(text):
    """The text in pieces of one word and the white space after it."""
    return re.findall(r"\S+\s*|\s+", text) or [""]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"  # the body ends when the connection closes

    def log_message(self, fmt, *args):
        pass

    # ---- plumbing ----
    def do_GET(self):
        self.handle_request("GET")

    def do_POST(self):
        self.handle_request("POST")

    def handle_request(self, method):
        if self.path.startswith("/__requests/"):
            tag = self.path[len("/__requests/"):]
            with LOCK:
                self.send_json(200, RECORDS.get(tag, []))
            return
        if self.path.startswith("/__replies/") and method == "POST":
            length = int(self.headers.get("Content-Length") or 0)
            with LOCK:
                REPLIES[self.path[len("/__replies/"):]] = json.loads(self.rfile.read(length))
            self.send_json(200, {})
            return
        parts = self.path.split("/", 3)
        if len(parts) < 4:
            self.send_json(404, {"error": "path must be /BEHAVIOUR/TAG/..."})
            return
        _, behaviour, tag, rest = parts
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length else b""
        headers = {k.lower(): v for k, v in self.headers.items()}
        record = {"method": method, "path": "/" + rest, "headers": headers,
                  "body": raw.decode("utf-8", "replace")}
        with LOCK:
            RECORDS.setdefault(tag, []).append(record)
        try:
            body = json.loads(raw) if raw else {}
        except ValueError:
            self.send_json(400, {"error": "body is not JSON"})
            return
        self.behaviour = behaviour
        self.tag = tag
        self.key = headers.get("x-api-key") or headers.get("x-goog-api-key") or \
            headers.get("authorization", "").replace("Bearer ", "")
        if behaviour == "slow":
            time.sleep(5)
        if behaviour == "hang":
            time.sleep(600)
            return
        if behaviour == "metadata50":
            time.sleep(0.05)
        if behaviour == "status500":
            self.send_raw(500, "text/plain", b"upstream exploded")
            return
        if behaviour == "hostile500":  # an error page that attacks the terminal, 200 KB long
            self.send_raw(500, "text/plain", b"\x1b]0;owned\x07\x1b[2J" + b"x" * 200000)
            return
        self.route(method, "/" + rest, headers, body)

    def send_raw(self, status, content_type, data):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def send_json(self, status, value):
        self.send_raw(status, "application/json", json.dumps(value).encode())

    def start_stream(self, content_type):
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.end_headers()

    def write(self, text):
        data = text.encode()
        # "split": pieces of 1 to 7 bytes, so lines and UTF-8 sequences break anywhere.
        step, at = 1, 0
        while at < len(data):
            size = step if self.behaviour == "split" else len(data)
            self.wfile.write(data[at:at + size])
            self.wfile.flush()
            at, step = at + size, step % 7 + 1
            if self.behaviour == "split":
                time.sleep(0.001)

    def unauthorized(self, value, status=401):
        if self.behaviour == "status401":
            self.send_json(status, value)
            return True
        return False

    # ---- dialects ----
    def route(self, method, path, headers, body):
        base = path.split("?", 1)[0]
        if method == "GET" and base.endswith("/api/tags"):
            return self.ollama_tags()
        if method == "GET" and base.endswith("/models"):
            return self.openai_models()
        if base.endswith("/api/pull"):
            return self.ollama_pull(body)
        if base.endswith("/api/generate") or base.endswith("/api/chat"):
            return self.ollama(base, body)
        if base.endswith("/v1/messages"):
            return self.anthropic(body)
        if ":generateContent" in base or ":streamGenerateContent" in base:
            return self.gemini(base, path, body)
        if "/services/aigc/" in base:
            return self.dashscope_native(headers, body)
        if base.endswith("/chat/completions") or base.endswith("/text/chatcompletion_v2"):
            return self.openai(body)
        self.send_json(404, {"error": "unknown path " + path})

    def openai(self, body):
        if self.unauthorized({"error": {"message": "Incorrect API key provided: " + self.key,
                                        "type": "invalid_request_error", "code": "invalid_api_key"}}):
            return
        model = body.get("model", "")
        if self.behaviour.startswith("metadata"):
            prompt = body.get("messages", [{}])[-1].get("content", "")
            value = {"tags": [], "priority": "normal"} if "Subject: plain\n" in prompt else \
                {"tags": ["invoice", "finance"], "priority": "HIGH"}
            message = {"role": "assistant", "content": "Sure. " + json.dumps(value) + " Done."}
            self.send_json(200, {"choices": [{"index": 0, "message": message}]})
            return
        if not body.get("stream"):
            message = {"role": "assistant", "content": canned_or(self, model)}
            if self.behaviour == "thinking":
                message["reasoning_content"] = "thinking it over"
            self.send_json(200, {"object": "chat.completion", "choices": [
                {"index": 0, "message": message, "finish_reason": "stop"}]})
            return
        self.start_stream("text/event-stream")
        self.write('data: {"choices":[{"index":0,"delta":{"role":"assistant"}}]}\n\n')
        if self.behaviour in ("endless", "keepalive", "trickle"):
            return self.hostile_stream()
        pieces = words(canned_or(self, model)) if self.behaviour == "canned" else deltas(model)
        for i, piece in enumerate(pieces):
            delta = {"content": piece}
            if self.behaviour == "thinking":
                delta["reasoning_content"] = "hmm"
            self.write("data: " + json.dumps({"object": "chat.completion.chunk",
                                               "choices": [{"index": 0, "delta": delta}]}) + "\n\n")
            if i == 0 and self.behaviour == "streamerr":
                self.write('data: {"error":{"message":"overloaded"}}\n\n')
                return
        self.write('data: {"choices":[],"usage":{"total_tokens":9}}\n\n')
        self.write("data: [DONE]\n\n")
        if self.behaviour == "afterdone":
            self.hostile_stream()

    def hostile_stream(self):
        """Writes until the client goes away (or for an hour)."""
        def chunk(text):
            return ("data: " + json.dumps({"choices": [{"index": 0, "delta": {"content": text}}]})
                    + "\n\n")
        big = chunk("x" * 4096)
        deadline = time.monotonic() + 3600
        try:
            while time.monotonic() < deadline:
                if self.behaviour == "endless":
                    self.write(big)
                    continue
                time.sleep(0.2)
                self.write(chunk(".") if self.behaviour == "trickle" else ": keep-alive\n\n")
        except OSError:
            pass

    def openai_models(self):
        if self.unauthorized({"error": {"message": "Incorrect API key provided: " + self.key}}):
            return
        self.send_json(200, {"object": "list", "data": [
            {"id": "model-b", "object": "model"}, {"id": "model-a", "object": "model"},
            {"id": "", "object": "model"}, {"id": "model-a", "object": "model"}],
            "models": ["model-c", {"name": "model-d"}, {"id": "model-e", "name": "ignored"}]})

    def ollama(self, path, body):
        model = body.get("model", "")
        chat = path.endswith("/api/chat")
        if self.behaviour == "status401":
            self.send_json(404, {"error": "model '%s' not found" % model})
            return

        def piece(text, done):
            if chat:
                message = {"role": "assistant", "content": text}
                if self.behaviour == "thinking":
                    message["thinking"] = "hmm"
                value = {"model": model, "message": message, "done": done}
            else:
                value = {"model": model, "response": text, "done": done}
                if self.behaviour == "thinking":
                    value["thinking"] = "hmm"
            return value

        if body.get("stream", True) is False:
            self.send_json(200, piece(reply_text(model), True))
            return
        self.start_stream("application/x-ndjson")
        for i, text in enumerate(deltas(model)):
            self.write(json.dumps(piece(text, False)) + "\n")
            if i == 0 and self.behaviour == "streamerr":
                self.write('{"error":"model runner has unexpectedly stopped"}\n')
                return
        final = piece("", True)
        final["done_reason"] = "stop"
        self.write(json.dumps(final) + "\n")

    def ollama_tags(self):
        self.send_json(200, {"models": [
            {"name": "gemma2:2b", "size": 1629518495, "digest": "8ccf136fdd52",
             "details": {"parameter_size": "2.6B", "quantization_level": "Q4_0"}},
            {"name": "qwen2.5:7b", "size": 4683087332, "digest": "845dbda0ea48",
             "details": {"parameter_size": "7.6B"}}]})

    def ollama_pull(self, body):
        name = body.get("model", "")
        self.start_stream("application/x-ndjson")
        self.write(json.dumps({"status": "pulling manifest"}) + "\n")
        if self.behaviour == "streamerr":
            self.write(json.dumps({"error": "pull model manifest: file does not exist"}) + "\n")
            return
        total = 4000000
        for completed in (0, 1000000, 2500000, 4000000):
            self.write(json.dumps({"status": "downloading sha256:abc", "digest": "sha256:abc",
                                   "total": total, "completed": completed}) + "\n")
        for status in ("verifying sha256 digest", "writing manifest", "success"):
            self.write(json.dumps({"status": status}) + "\n")

    def anthropic(self, body):
        if self.unauthorized({"type": "error", "error": {
                "type": "authentication_error", "message": "invalid x-api-key " + self.key}}):
            return
        model = body.get("model", "")
        # Anthropic takes the system prompt only as the top-level "system" field.
        if any(m.get("role") not in ("user", "assistant") for m in body.get("messages", [])):
            self.send_json(400, {"type": "error", "error": {
                "type": "invalid_request_error",
                "message": "messages: roles must be user or assistant"}})
            return
        if not body.get("stream"):
            content = [{"type": "text", "text": canned_or(self, model)}]
            if self.behaviour == "thinking":
                content.insert(0, {"type": "thinking", "thinking": "hmm", "signature": "x"})
            self.send_json(200, {"id": "msg_1", "type": "message", "role": "assistant",
                                 "content": content, "stop_reason": "end_turn"})
            return
        self.start_stream("text/event-stream")

        def event(name, value):
            self.write("event: %s\ndata: %s\n\n" % (name, json.dumps(value)))

        event("message_start", {"type": "message_start", "message": {"id": "msg_1", "content": []}})
        event("content_block_start", {"type": "content_block_start", "index": 0,
                                       "content_block": {"type": "text", "text": ""}})
        event("ping", {"type": "ping"})
        for i, piece in enumerate(deltas(model)):
            if self.behaviour == "thinking":
                event("content_block_delta", {"type": "content_block_delta", "index": 0,
                                              "delta": {"type": "thinking_delta", "thinking": "hmm"}})
            event("content_block_delta", {"type": "content_block_delta", "index": 0,
                                          "delta": {"type": "text_delta", "text": piece}})
            if i == 0 and self.behaviour == "streamerr":
                event("error", {"type": "error", "error": {"type": "overloaded_error",
                                                           "message": "Overloaded"}})
                return
        event("content_block_stop", {"type": "content_block_stop", "index": 0})
        event("message_delta", {"type": "message_delta", "delta": {"stop_reason": "end_turn"},
                                "usage": {"output_tokens": 5}})
        event("message_stop", {"type": "message_stop"})

    def gemini(self, base, path, body):
        if self.unauthorized({"error": {"code": 400, "message": "API key not valid: " + self.key,
                                        "status": "INVALID_ARGUMENT"}}, 400):
            return
        for key in ("temperature", "topP", "maxOutputTokens"):
            if key in body:
                self.send_json(400, {"error": {"code": 400, "status": "INVALID_ARGUMENT",
                                               "message": 'Unknown name "%s": Cannot find field.' % key}})
                return
        model = base.rsplit("/", 1)[-1].split(":", 1)[0]

        def chunk(text):
            parts = [{"text": text}]
            if self.behaviour == "thinking":
                parts.insert(0, {"text": "hmm", "thought": True})
            return {"candidates": [{"content": {"role": "model", "parts": parts}}]}

        if ":streamGenerateContent" not in base:
            self.send_json(200, chunk(reply_text(model)))
            return
        if "alt=sse" not in path:
            self.send_json(400, {"error": {"message": "expected alt=sse"}})
            return
        self.start_stream("text/event-stream")
        for piece in deltas(model):
            self.write("data: " + json.dumps(chunk(piece)) + "\r\n\r\n")

    def dashscope_native(self, headers, body):
        if self.unauthorized({"code": "InvalidApiKey", "message": "Invalid API-key provided."}):
            return
        model = body.get("model", "")
        if headers.get("x-dashscope-sse") != "enable":
            self.send_json(200, {"output": {"choices": [{"message": {
                "role": "assistant", "content": reply_text(model)}, "finish_reason": "stop"}]},
                "request_id": "r1"})
            return
        self.start_stream("text/event-stream")
        for i, piece in enumerate(deltas(model)):
            value = {"output": {"choices": [{"message": {"role": "assistant", "content": piece},
                                             "finish_reason": "null"}]}}
            self.write("id:%d\nevent:result\n:HTTP_STATUS/200\ndata:%s\n\n" % (i + 1, json.dumps(value)))


# ---- process management ----

def make_certificates(root):
    ca_key, ca = os.path.join(root, "ca.key"), os.path.join(root, "ca.pem")
    key, csr, cert = (os.path.join(root, n) for n in ("server.key", "server.csr", "server.pem"))
    ext = os.path.join(root, "server.ext")
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "check": True}
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=Kestrova Test CA", "-keyout", ca_key, "-out", ca], **quiet)
    subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                    "-keyout", key, "-out", csr], **quiet)
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    subprocess.run(["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key,
                    "-CAcreateserial", "-days", "2", "-extfile", ext, "-out", cert], **quiet)
    return ca, cert, key


def serve(root):
    os.makedirs(root, exist_ok=True)
    ca, cert, key = make_certificates(root)
    plain = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    secure = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    secure.socket = context.wrap_socket(secure.socket, server_side=True)
    for server in (plain, secure):
        server.daemon_threads = True
        threading.Thread(target=server.serve_forever, daemon=True).start()
    info = {"http": plain.server_address[1], "https": secure.server_address[1], "ca": ca,
            "pid": os.getpid()}
    with open(os.path.join(root, "servers.json.tmp"), "w") as f:
        json.dump(info, f)
    os.replace(os.path.join(root, "servers.json.tmp"), os.path.join(root, "servers.json"))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    while True:
        time.sleep(3600)


def recorded_pid(root):
    try:
        with open(os.path.join(root, "servers.json")) as f:
            pid = int(json.load(f)["pid"])
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            line = f.read().decode(errors="replace")
    except (OSError, ValueError, KeyError):
        return None
    return pid if "ai_servers.py" in line and root in line else None


def stop(root):
    pid = recorded_pid(root)
    if pid:
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + 10
        while os.path.exists("/proc/%d" % pid) and time.monotonic() < deadline:
            time.sleep(0.05)
    try:
        os.remove(os.path.join(root, "servers.json"))
    except OSError:
        pass


def start(root):
    root = os.path.abspath(root)
    stop(root)
    os.makedirs(root, exist_ok=True)
    log = open(os.path.join(root, "server.log"), "w")
    subprocess.Popen([sys.executable, os.path.abspath(__file__), "serve", root],
                     stdout=log, stderr=log, stdin=subprocess.DEVNULL, start_new_session=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        if recorded_pid(root):
            return 0
        time.sleep(0.05)
    print("ai_servers: the server did not start; see " + os.path.join(root, "server.log"),
          file=sys.stderr)
    return 1


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop", "serve"):
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    command, directory = sys.argv[1], os.path.abspath(sys.argv[2])
    if command == "serve":
        serve(directory)
    elif command == "start":
        sys.exit(start(directory))
    else:
        stop(directory)

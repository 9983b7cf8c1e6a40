"""Helpers of the namespace tests: a wait for zornfhost's control endpoint, an
uplink capture, a TCP sink that answers with the digest of what it got, a
sender that asks the gateway for a key change half way through, an idle
connection whose two ends report how it ended, a flood of random and
mutated tunnel datagrams, captured datagrams sent again, and a UDP echo
with a sender that checks what comes back."""
import hashlib
import os
import signal
import socket
import struct
import sys

MARKER = b"ZORTUNNELMARKER-"
# zornfhost's control endpoint: NETLINK_USERSOCK, its fixed port, the
# request family the daemon looks up.
NETLINK_USERSOCK = 2
HOST_PORT = 0x7A4E0001
REQUEST_FAMILY = b"/tmp/SolvrnVpn"


def wait_host(seconds):
    """Waits until zornfhost answers the generic-netlink controller's look-up
    of its request family (CTRL_CMD_GETFAMILY), as the daemon asks it."""
    import time
    name = REQUEST_FAMILY + b"\0"
    attr = struct.pack("=HH", 4 + len(name), 2) + name  # CTRL_ATTR_FAMILY_NAME
    attr += b"\0" * (-len(attr) % 4)
    body = struct.pack("=BBH", 3, 1, 0) + attr
    msg = struct.pack("=IHHII", 16 + len(body), 0x10, 1, 1, 0) + body  # GENL_ID_CTRL, NLM_F_REQUEST
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        s = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, NETLINK_USERSOCK)
        s.settimeout(0.1)
        try:
            s.bind((0, 0))
            s.sendto(msg, (HOST_PORT, 0))
            reply = s.recv(4096)
            if len(reply) >= 16 and struct.unpack_from("=H", reply, 4)[0] == 0x10:
                return
        except OSError:  # no endpoint yet (refused), or no answer in time
            pass
        finally:
            s.close()
        time.sleep(0.05)
    sys.exit("zornfhost did not answer within %d s" % seconds)


def capture(ifname, path):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))
    # Room for a stream's frames while this process lags behind (a loaded
    # machine, a sanitizer build): a frame the socket drops is missing from
    # the capture, and a test that looks for it there fails.
    SO_RCVBUFFORCE = 33
    s.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 64 << 20)
    s.bind((ifname, 0))
    # SIGTERM may come while a write is under way (the handler then runs
    # inside it): it only ends the loop, and the file is closed on the way
    # out, once that write has let go of it.
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
    with open(path, "wb") as out:
        open(path + ".ready", "w").close()
        while True:
            frame = s.recv(70000)
            out.write(struct.pack("<I", len(frame)) + frame)
            out.flush()


def check_capture(path):
    """Every IPv4 frame on the uplink is UDP to or from port 87 and no frame
    carries the inner payload's marker."""
    frames, tunnel = 0, 0
    for f in captured_frames(path):
        frames += 1
        if MARKER in f or b"ZorMark" in f:
            sys.exit("clear inner payload on the uplink")
        etype = struct.unpack_from("!H", f, 12)[0]
        if etype == 0x0806:
            continue
        if etype != 0x0800 or f[23] != 17:
            sys.exit("a frame that is not UDP: type %04x" % etype)
        ihl = (f[14] & 15) * 4
        sport, dport = struct.unpack_from("!HH", f, 14 + ihl)
        if 87 not in (sport, dport):
            sys.exit("UDP not of the tunnel: %d -> %d" % (sport, dport))
        tunnel += 1
    print("capture: %d frames, %d tunnel datagrams" % (frames, tunnel))
    if tunnel < 100:
        sys.exit("too few tunnel datagrams captured")


def sink(addr, port):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((addr, port))
    s.listen(4)
    while True:
        c, _ = s.accept()
        h = hashlib.sha256()
        while True:
            b = c.recv(65536)
            if not b:
                break
            h.update(b)
        c.sendall(h.hexdigest().encode())
        c.close()


def send(addr, port, total, control):
    block = (MARKER * 4096)[:65536]
    h = hashlib.sha256()
    c = socket.create_connection((addr, port), timeout=20)
    sent, asked = 0, False
    while sent < total:
        chunk = block[: min(len(block), total - sent)]
        c.sendall(chunk)
        h.update(chunk)
        sent += len(chunk)
        if not asked and sent >= total // 3:
            with open(control, "w") as f:
                f.write("keychange\n")
            asked = True
    c.shutdown(socket.SHUT_WR)
    got = b""
    while True:
        b = c.recv(1024)
        if not b:
            break
        got += b
    if got.decode() != h.hexdigest():
        sys.exit("the stream arrived changed")
    print("stream of %d bytes arrived whole" % total)


def inet_sum(b):
    if len(b) % 2:
        b += b"\0"
    total = sum(struct.unpack("!%dH" % (len(b) // 2), b))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total


def udp_datagram(src, dst, sport, dport, payload):
    """An IPv4 packet around one UDP datagram, both checksums filled in."""
    length = 8 + len(payload)
    pseudo = socket.inet_aton(src) + socket.inet_aton(dst) + struct.pack("!BBH", 0, 17, length)
    udp = struct.pack("!HHHH", sport, dport, length, 0) + payload
    csum = 0xFFFF - inet_sum(pseudo + udp) or 0xFFFF
    udp = udp[:6] + struct.pack("!H", csum) + udp[8:]
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + length, 0, 0, 64, 17, 0,
                     socket.inet_aton(src), socket.inet_aton(dst))
    ip = ip[:10] + struct.pack("!H", 0xFFFF - inet_sum(ip)) + ip[12:]
    return ip + udp


def captured_frames(path):
    """The frames of a capture, as far as they are written whole."""
    data = open(path, "rb").read()
    at = 0
    while at + 4 <= len(data):
        (n,) = struct.unpack_from("<I", data, at)
        if at + 4 + n > len(data):
            return
        yield data[at + 4:at + 4 + n]
        at += 4 + n


def tunnel_packets(path, src):
    """The IPv4 packets of the tunnel datagrams that src sent, from a capture,
    with the offset of the UDP payload in each."""
    out = []
    for f in captured_frames(path):
        if len(f) < 42 or struct.unpack_from("!H", f, 12)[0] != 0x0800 or f[23] != 17:
            continue
        if socket.inet_ntoa(f[26:30]) != src:
            continue
        (total,) = struct.unpack_from("!H", f, 16)
        out.append((f[14:14 + total], (f[14] & 15) * 4 + 8))
    return out


def tunnel_payloads(path, src):
    """The UDP payloads of the tunnel datagrams that src sent, from a capture."""
    return [ip[at:] for ip, at in tunnel_packets(path, src)]


def packets_of_type(path, src, kind):
    """The IPv4 packets of the tunnel datagrams of one type (14 data, 7 key
    change) that src sent."""
    return [(ip, at) for ip, at in tunnel_packets(path, src)
            if len(ip) > at + 4 and ip[at + 4] & 15 == kind]


def count(path, src, kind):
    print(len(packets_of_type(path, src, kind)))


def resend(path, src, kind, first, n, seconds):
    """Waits until the capture holds the datagrams of that type of src from
    number `first` (from 0) to `first + n - 1`, then sends them again,
    unchanged and in their order, to where they went."""
    import time
    deadline = time.monotonic() + seconds
    while len(packets_of_type(path, src, kind)) < first + n:
        if time.monotonic() > deadline:
            sys.exit("fewer than %d datagrams of type %d of %s in %d s" % (first + n, kind, src,
                                                                       seconds))
        time.sleep(0.05)
    s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    for ip, at in packets_of_type(path, src, kind)[first:first + n]:
        # The same datagram in a packet of its own: a capture of the sender
        # may hold a checksum the device was left to finish.
        dst = socket.inet_ntoa(ip[16:20])
        sport, dport = struct.unpack_from("!HH", ip, at - 8)
        s.sendto(udp_datagram(src, dst, sport, dport, ip[at:]), (dst, 0))


def flood(src, dst, dport, count, capture_path, seed):
    """Sends count datagrams from src port 87 to dst:dport at full rate: half
    of them random bytes, half real tunnel datagrams of src (taken from a
    capture) with bytes flipped, cut, lengthened or sent again unchanged."""
    import random
    rnd = random.Random(seed)
    templates = tunnel_payloads(capture_path, src)
    if not templates:
        sys.exit("no tunnel datagrams of %s in the capture" % src)
    s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    for i in range(count):
        if i % 2:
            payload = rnd.randbytes(rnd.randrange(0, 1473))
        else:
            d = bytearray(rnd.choice(templates))
            how = rnd.randrange(4)
            if how == 0 and d:
                for _ in range(rnd.randrange(1, 5)):
                    d[rnd.randrange(len(d))] ^= 1 << rnd.randrange(8)
            elif how == 1:
                d = d[:rnd.randrange(len(d) + 1)]
            elif how == 2:
                d += rnd.randbytes(rnd.randrange(1, 64))
            payload = bytes(d)
        s.sendto(udp_datagram(src, dst, 87, dport, payload), (dst, 0))
    print("flood: %d datagrams from %d templates" % (count, len(templates)))


def idle_server(addr, port):
    """Accepts one connection and reports how it ends."""
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((addr, port))
    s.listen(1)
    c, _ = s.accept()
    try:
        while c.recv(100):
            pass
        print("peer closed")
    except ConnectionResetError:
        print("peer reset")
    sys.stdout.flush()


def idle_client(addr, port, idle, poke):
    """Opens a connection, leaves it idle, then pokes the filter (frames that
    make the firewall sweep; its ticks may run a little late) and reports
    how the connection ended."""
    import subprocess
    import time
    c = socket.create_connection((addr, port), timeout=5)
    c.sendall(b"hello")
    time.sleep(idle)
    c.settimeout(0.5)
    for _ in range(20):
        subprocess.run(["ping", "-q", "-c", "1", "-W", "1", poke], stdout=subprocess.DEVNULL)
        try:
            c.recv(100)
            print("local closed")
            return
        except ConnectionResetError:
            print("local reset")
            return
        except socket.timeout:
            pass
    print("local still open")

def udp_echo(addr, port):
    """Sends every datagram back to where it came from."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((addr, port))
    while True:
        b, peer = s.recvfrom(65535)
        s.sendto(b, peer)


def udp_check(addr, port, count, sizes):
    """Sends `count` datagrams of each size, one at a time, and waits for each
    to come back unchanged; prints what was lost and fails if anything was."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(3)
    lost = 0
    for size in sizes:
        for i in range(count):
            body = (MARKER + b"%d/%d-" % (size, i)) * (size // len(MARKER) + 1)
            body = body[:size]
            s.sendto(body, (addr, port))
            try:
                got = s.recv(65535)
            except socket.timeout:
                got = b""
            if got != body:
                lost += 1
                print("datagram %d of %d bytes: %s" % (i, size, "changed" if got else "lost"))
    print("%d of %d datagrams came back" % (count * len(sizes) - lost, count * len(sizes)))
    sys.exit(1 if lost else 0)

if __name__ == "__main__":
    cmd = sys.argv[1]
    if cmd == "wait-host":
        wait_host(int(sys.argv[2]))
    elif cmd == "capture":
        capture(sys.argv[2], sys.argv[3])
    elif cmd == "check-capture":
        check_capture(sys.argv[2])
    elif cmd == "sink":
        sink(sys.argv[2], int(sys.argv[3]))
    elif cmd == "send":
        send(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5])
    elif cmd == "count":
        count(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif cmd == "resend":
        resend(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6]),
               int(sys.argv[7]))
    elif cmd == "flood":
        flood(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]), sys.argv[6],
              int(sys.argv[7]))
    elif cmd == "idle-server":
        idle_server(sys.argv[2], int(sys.argv[3]))
    elif cmd == "idle-client":
        idle_client(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]), sys.argv[5])
    elif cmd == "udp-echo":
        udp_echo(sys.argv[2], int(sys.argv[3]))
    elif cmd == "udp-check":
        udp_check(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), [int(a) for a in sys.argv[5:]])


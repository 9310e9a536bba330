"""A small STUN client for the NAT lab's probes: a binding request that learns
the address a NAT maps a UDP socket to, and an allocation that proves the TURN
server takes the credentials the cloud hands out. Every answer is read with a deadline, at
most 2048 bytes, and parsed with bounds checks: a short or foreign datagram is
no answer.

Messages follow RFC 5389 (STUN) and RFC 5766 (TURN): a 20-byte header (type,
length, the magic cookie, a 12-byte transaction id), then attributes padded to
four bytes. With TURN's long-term credentials a request is signed with
HMAC-SHA1 under MD5("<user>:<realm>:<password>").
"""
import hashlib
import hmac
import os
import socket
import struct
import time

MAGIC_COOKIE = 0x2112A442
BINDING_REQUEST, BINDING_SUCCESS = 0x0001, 0x0101
ALLOCATE_REQUEST, ALLOCATE_SUCCESS, ALLOCATE_ERROR = 0x0003, 0x0103, 0x0113
USERNAME, MESSAGE_INTEGRITY, ERROR_CODE = 0x0006, 0x0008, 0x0009
REALM, NONCE, XOR_RELAYED_ADDRESS = 0x0014, 0x0015, 0x0016
REQUESTED_TRANSPORT, XOR_MAPPED_ADDRESS = 0x0019, 0x0020
UDP = 17
MAX_DATAGRAM = 2048


def attribute(kind, value):
    padding = b"\0" * (-len(value) % 4)
    return struct.pack("!HH", kind, len(value)) + value + padding


def message(kind, txid, attributes=b""):
    return struct.pack("!HHI", kind, len(attributes), MAGIC_COOKIE) + txid + attributes


def parse(data, txid):
    """The message type and attributes of an answer to txid; None for anything else."""
    if len(data) < 20:
        return None
    kind, length, cookie = struct.unpack("!HHI", data[:8])
    if cookie != MAGIC_COOKIE or data[8:20] != txid or length != len(data) - 20:
        return None
    attributes = {}
    at = 20
    while at + 4 <= len(data):
        name, size = struct.unpack("!HH", data[at:at + 4])
        if at + 4 + size > len(data):
            return None
        attributes.setdefault(name, data[at + 4:at + 4 + size])
        at += 4 + size + (-size % 4)
    return kind, attributes


def xor_address(value):
    """The (address, port) of an IPv4 XOR-MAPPED- or XOR-RELAYED-ADDRESS."""
    if len(value) != 8 or value[1] != 1:
        raise AssertionError("not an IPv4 address attribute: %r" % value)
    port = struct.unpack("!H", value[2:4])[0] ^ (MAGIC_COOKIE >> 16)
    address = struct.unpack("!I", value[4:8])[0] ^ MAGIC_COOKIE
    return socket.inet_ntoa(struct.pack("!I", address)), port


def exchange(sock, server, request, txid, timeout):
    """Sends request to server and waits for its answer; None when none came
    within timeout. Datagrams from elsewhere or for another request are skipped."""
    sock.sendto(request, server)
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        sock.settimeout(left)
        try:
            data, sender = sock.recvfrom(MAX_DATAGRAM)
        except socket.timeout:
            return None
        answer = parse(data, txid) if sender == server else None
        if answer:
            return answer


def binding(sock, server, timeout=1.5):
    """The address and port the server saw sock's request come from; None when
    the server did not answer within timeout."""
    txid = os.urandom(12)
    answer = exchange(sock, server, message(BINDING_REQUEST, txid), txid, timeout)
    if answer is None:
        return None
    kind, attributes = answer
    if kind != BINDING_SUCCESS or XOR_MAPPED_ADDRESS not in attributes:
        raise AssertionError("binding answered 0x%04x: %r" % (kind, attributes))
    return xor_address(attributes[XOR_MAPPED_ADDRESS])


def allocate(sock, server, user, password, timeout=3):
    """Allocates a UDP relay: first without credentials, which must be refused
    with 401 and the server's realm and nonce, then with user and password. The
    realm and the relayed (address, port)."""
    transport = attribute(REQUESTED_TRANSPORT, bytes([UDP, 0, 0, 0]))
    txid = os.urandom(12)
    answer = exchange(sock, server, message(ALLOCATE_REQUEST, txid, transport), txid, timeout)
    if answer is None:
        raise AssertionError("no answer to an allocation from %s:%d" % server)
    kind, attributes = answer
    code = attributes.get(ERROR_CODE, b"")
    if kind != ALLOCATE_ERROR or len(code) < 4 or code[2] * 100 + code[3] != 401:
        raise AssertionError("an allocation without credentials got 0x%04x %r" % (kind, code))
    realm, nonce = attributes.get(REALM, b""), attributes.get(NONCE, b"")
    key = hashlib.md5(b"%s:%s:%s" % (user.encode(), realm, password.encode())).digest()
    body = transport + attribute(USERNAME, user.encode()) + attribute(REALM, realm) + \
        attribute(NONCE, nonce)
    txid = os.urandom(12)
    # The integrity covers the header with a length that already counts it.
    signed = message(ALLOCATE_REQUEST, txid, body + b"\0" * 24)[:-24]
    digest = hmac.new(key, signed, hashlib.sha1).digest()
    answer = exchange(sock, server, signed + attribute(MESSAGE_INTEGRITY, digest), txid, timeout)
    if answer is None:
        raise AssertionError("no answer to an allocation with credentials")
    kind, attributes = answer
    if kind != ALLOCATE_SUCCESS or XOR_RELAYED_ADDRESS not in attributes:
        raise AssertionError("an allocation with credentials got 0x%04x %r" % (
            kind, attributes.get(ERROR_CODE, b"")))
    return realm.decode("utf-8", "replace"), xor_address(attributes[XOR_RELAYED_ADDRESS])

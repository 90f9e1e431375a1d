#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the three model-checked fuzz targets into
fuzz/corpus/<target>/seed-*: each one a scenario the target would take long to find alone
(a ring filled to the last sample, a compression after a second above the target, a stray
short datagram, split writes of odd sizes on a disk that fills up).  The encodings follow the
operation readers at the top of each target's LLVMFuzzerTestOneInput."""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def half(v):
    return struct.pack("<H", v)


def word(v):
    return struct.pack("<I", v)


# --- udp_receiver_fuzzer: op kind % 8 -------------------------------------------------------
def datagram(pick):
    return bytes([0]) + half(pick)


UDP_FULL = datagram(3)         # 2 560 bytes
UDP_SHORT = datagram(1000)     # 1 000 bytes
UDP_ONE = datagram(11)         # 1 byte
UDP_EMPTY = datagram(1)        # 0 bytes
UDP_LONG = datagram(2 + 8 * 100)  # 2 660 bytes, cut to 2 560


def request(pick):
    return bytes([3]) + half(pick)


def request_bytes(n):  # any count up to 10 940
    return request(4 * n)


UDP_1920 = request(4 * 6 + 1)
UDP_5120 = request(4 * 1 + 2)
UDP_BUILD, UDP_START, UDP_STOP = bytes([5, 0, 1]), bytes([5, 1]), bytes([5, 3])
UDP_PORT_TAKEN = bytes([5, 2])
UDP_BUILD_FAILS = bytes([5, 0, 0])

udp = {
    "stream": UDP_BUILD + UDP_START + UDP_FULL * 3 + UDP_1920 * 4,
    "short": UDP_BUILD + UDP_START + UDP_FULL + UDP_ONE + UDP_FULL + request_bytes(700) + UDP_1920 * 3
    + UDP_SHORT + UDP_LONG + UDP_5120 + request_bytes(333),
    "empty": UDP_BUILD + UDP_START + UDP_FULL + request_bytes(100) + UDP_EMPTY + UDP_5120 + UDP_FULL
    + request_bytes(3000) + request_bytes(4000),
    "restart": UDP_BUILD_FAILS + UDP_PORT_TAKEN + UDP_BUILD + UDP_START + UDP_FULL * 2 + request_bytes(1000) + UDP_STOP
    + UDP_FULL + UDP_1920 + UDP_BUILD + UDP_START + UDP_FULL + UDP_1920 + bytes([6, 2]),
}


# --- ring_buffer_fuzzer: a rate word (not a multiple of 16), then op kind % 10 ---------------
def ring_put(samples):  # a multiple of 320 samples, at most 2 240
    return bytes([0]) + word(4 * (samples // 320) + 1)


def ring_get(samples):
    return bytes([3]) + word(4 * (samples // 320) + 1)


def ring_get_odd(samples):
    return bytes([3]) + word(4 * (samples // 320) + 1 + 256)


RING_BUILD, RING_START, RING_STOP = bytes([6, 0]), bytes([6, 1]), bytes([6, 2])
RING_EMPTY, RING_MUTE = bytes([6, 3]), bytes([6, 4, 1])


def ring_put_bytes(n):  # any count up to 131 472
    return bytes([0]) + word(n << 4)


def ring_get_bytes(n):  # any count up to 393 217
    return bytes([3]) + word(n << 4)


def ring_target(ms):
    return bytes([7, 1, ms // 2])


def ring_rate_blocks(blocks):  # a capacity of `blocks` x 320 samples
    return word(1 + 16 * (blocks - 1))


ring = {
    "exact": ring_rate_blocks(2) + RING_BUILD + RING_START + ring_get(320) + ring_put(320) * 2 + ring_get(640)
    + ring_put(640) + ring_put(320) + ring_get(320),
    "compress": word(64002) + ring_target(100) + RING_BUILD + RING_START + ring_get(320) + ring_put(2240) * 20
    + ring_get(2240) * 10 + ring_put(1920) * 16 + ring_get(2240) * 12,
    "expand": word(64002) + ring_target(200) + RING_BUILD + RING_START + ring_get(320) + ring_put(2240)
    + ring_get(320) * 8 + ring_get_odd(640) + ring_put(320) + ring_get(960) * 3,
    "mute": ring_rate_blocks(16) + RING_BUILD + RING_START + ring_put(640) + ring_get(320) + ring_put(960)
    + RING_MUTE + ring_get(1280) + RING_STOP + ring_get(320) + RING_START + RING_EMPTY + ring_get(320)
    + ring_put(2240) * 3,
    "huge": word(65538) + RING_BUILD + RING_START + ring_get(320) + ring_put_bytes(100000) + ring_get_bytes(300001)
    + ring_put_bytes(131000) + ring_put(2240) + ring_get_bytes(140000),
    # The 101st put of 10 ms above the target, more than a second of them, compresses.
    "compress-edge": word(64002) + ring_target(100) + RING_BUILD + RING_START + ring_get(320) + ring_put(320) * 115,
    # A fill of exactly half the target less 1 ms expands; a target of 1 ms never does.
    "expand-edge": word(64002) + ring_target(100) + RING_BUILD + RING_START + ring_get(320) + ring_put_bytes(2 * 1568)
    + ring_get(320) + ring_get(320),
    "expand-never": word(64002) + bytes([7, 0]) + word(1) + RING_BUILD + RING_START + ring_get(320)
    + ring_put_bytes(3200) + ring_get(320) * 10,
    "huge-expand": word(65538) + bytes([7, 0]) + word(4000) + RING_BUILD + RING_START + ring_get(320)
    + ring_put_bytes(100000) + ring_get_bytes(300000) + ring_put(2240) + ring_get(320),
}


# --- riff_writer_fuzzer: a setup byte (name, disk size), then op kind % 8 --------------------
def fmt_pcm16_stereo():
    return bytes([0, 8, 3, 0])


def fmt_pcm8_mono():
    return bytes([0, 17, 1, 0])


def fmt_pcm8_stereo():
    return bytes([0, 25, 1, 0])


def fmt_coded(tag, extra):
    return bytes([0, 21]) + half(tag) + bytes([2]) + half(extra)


WAV_START, WAV_STOP = bytes([1]), bytes([2])


def wav_put(n):  # n % 3 == 0: exactly n bytes, up to 32 767
    assert n % 3 == 0
    return bytes([3]) + half(n)


def wav_split(n):  # n % 3 == 0: exactly n bytes per channel, up to 16 383
    assert n % 3 == 0
    return bytes([6]) + half(n)


riff = {
    "stereo": bytes([0]) + fmt_pcm16_stereo() + WAV_START + wav_split(318) + wav_split(9) + wav_put(642)
    + wav_put(201) + WAV_STOP + WAV_START + wav_split(3) + WAV_STOP,
    "coded": bytes([1]) + fmt_coded(0x55, 32) + WAV_START + wav_put(300) + fmt_pcm8_mono() + wav_split(99)
    + WAV_STOP + WAV_START + wav_split(99) + WAV_STOP,
    "full": bytes([3]) + half(700) + fmt_pcm16_stereo() + WAV_START + wav_split(300) + wav_split(303)
    + wav_put(3000) + WAV_STOP + WAV_START + wav_put(501),
    # 2 049 bytes of room after the header: the third chunk of a split write reaches the disk
    # with one byte.
    "full-split": bytes([3]) + half(1921) + fmt_pcm8_stereo() + WAV_START + wav_split(1500) + WAV_STOP,
    "directories": bytes([2]) + fmt_pcm8_mono() + WAV_START + wav_put(9) + WAV_STOP + WAV_STOP
    + bytes([7, 5]) + WAV_START + fmt_coded(2, 200) + wav_put(30),
}
for target, seeds in (("udp_receiver_fuzzer", udp), ("ring_buffer_fuzzer", ring), ("riff_writer_fuzzer", riff)):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, "seed-" + name), "wb") as out:
            out.write(data)

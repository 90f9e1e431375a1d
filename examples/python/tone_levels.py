#!/usr/bin/env python3
"""Zelmar from Python through ctypes and the engine's C functions (zelmar_c.h).

Renders one second of a 440 Hz tone with the tone generator, runs it through the amplifier
at 50 % gain, and prints the level and the pitch of both.

    python3 tone_levels.py [path/to/libzelmar.so]
"""
import ctypes
import ctypes.util
import math
import sys


def load(path):
    lib = ctypes.CDLL(path or ctypes.util.find_library("zelmar") or "libzelmar.so")
    component = ctypes.c_void_p
    signatures = {
        "ZelmarCreateComponent": ([ctypes.c_char_p], component),
        "ZelmarDisposeComponent": ([component], ctypes.c_int32),
        "ZelmarSetTimeMode": ([ctypes.c_int32], ctypes.c_int32),
        "ZelmarBuild": ([component], ctypes.c_int32),
        "ZelmarStart": ([component], ctypes.c_int32),
        "ZelmarSetProperty": ([component, ctypes.c_char_p, ctypes.c_int32, ctypes.c_void_p], ctypes.c_int32),
        "ZelmarGetData": ([component, ctypes.c_void_p, ctypes.c_int32], ctypes.c_int32),
        "ZelmarProcess": ([component, ctypes.c_void_p, ctypes.POINTER(ctypes.c_int32), ctypes.c_void_p,
                           ctypes.POINTER(ctypes.c_int32)], ctypes.c_int32),
        "ZelmarResultText": ([ctypes.c_int32], ctypes.c_char_p),
    }
    for name, (args, result) in signatures.items():
        function = getattr(lib, name)
        function.argtypes, function.restype = args, result
    return lib


class Component:
    """One engine component; every failing call raises with the engine's own words."""

    def __init__(self, lib, name, **properties):
        self.lib = lib
        self.handle = lib.ZelmarCreateComponent(name.encode())
        if not self.handle:
            raise RuntimeError(f"the engine has no component {name}")
        for key, value in properties.items():
            self.check(lib.ZelmarSetProperty(self.handle, key.encode(), value, None), f"{name} {key}={value}")
        self.check(lib.ZelmarBuild(self.handle), f"{name} Build")
        self.check(lib.ZelmarStart(self.handle), f"{name} Start")

    def check(self, result, what):
        if result < 0:
            raise RuntimeError(f"{what}: 0x{result & 0xFFFFFFFF:08X} ({self.lib.ZelmarResultText(result).decode()})")
        return result

    def get(self, samples):
        block = (ctypes.c_int16 * samples)()
        self.check(self.lib.ZelmarGetData(self.handle, block, samples * 2), "GetData")
        return block

    def process(self, block):
        out = (ctypes.c_int16 * len(block))()
        in_bytes, out_bytes = ctypes.c_int32(len(block) * 2), ctypes.c_int32(len(block) * 2)
        self.check(self.lib.ZelmarProcess(self.handle, block, ctypes.byref(in_bytes), out, ctypes.byref(out_bytes)),
                   "Process")
        return out[: out_bytes.value // 2]

    def close(self):
        self.lib.ZelmarDisposeComponent(self.handle)


def describe(samples, rate):
    rms = math.sqrt(sum(s * s for s in samples) / len(samples))
    crossings = sum(1 for a, b in zip(samples, samples[1:]) if a < 0 <= b)
    return rms, crossings * rate / len(samples)


def main():
    lib = load(sys.argv[1] if len(sys.argv) > 1 else None)
    lib.ZelmarSetTimeMode(1)  # render as fast as we read, not in real time
    rate = 16000
    tone = Component(lib, "WaveGeneratorAudioIn", SamplesPerSec=rate, Frequency=440, Amplitude=50, BlockSamples=160)
    amplifier = Component(lib, "AmplifierAudioFilter", SamplesPerSec=rate, Gain=50)
    played, amplified = [], []
    for _ in range(rate // 160):
        block = tone.get(160)
        played.extend(block)
        amplified.extend(amplifier.process(block))
    for component in (tone, amplifier):
        component.close()
    for label, samples in (("tone", played), ("amplifier", amplified)):
        rms, hz = describe(samples, rate)
        print(f"{label}: {20 * math.log10(rms / 32768):.1f} dBFS rms, {hz:.0f} Hz")


if __name__ == "__main__":
    main()

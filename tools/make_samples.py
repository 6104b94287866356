#!/usr/bin/env python3
"""Writes the project's own demo VGM files into samples/.

Every tune here is original and written by this script, so the files may be
shipped with the repository. Run from anywhere:  python3 tools/make_samples.py
"""
import os
import struct
import sys

SAMPLE_RATE = 44100
EIGHTH = SAMPLE_RATE // 8  # 120 BPM, eighth notes: 5512 samples

# A short original phrase (MIDI note numbers, 0 = rest), 16 eighth notes, and a bass line.
MELODY = [72, 76, 79, 76, 74, 77, 81, 77, 76, 79, 84, 79, 77, 74, 71, 0]
BASS = [48, 48, 55, 55, 50, 50, 57, 57, 52, 52, 60, 60, 55, 55, 43, 43]


def song(passes=2):
    """(step in the phrase, melody note) for the phrase played `passes` times."""
    for k in range(passes * len(MELODY)):
        yield k % len(MELODY), MELODY[k % len(MELODY)]


def hz(note):
    return 440.0 * 2 ** ((note - 69) / 12)


class VGM:
    """Collects commands; writes the header, data and GD3 block."""

    def __init__(self, version=0x171):
        self.version = version
        self.header = bytearray(0x100)
        self.data = bytearray()
        self.total = 0
        self.loop_pos = None
        self.loop_total = 0

    def field(self, offset, value):
        struct.pack_into("<I", self.header, offset, value)

    def cmd(self, *b):
        self.data += bytes(b)

    def wait(self, n):
        self.total += n
        while n > 0:
            if n == 735:
                self.cmd(0x62)
                n = 0
            elif n <= 16:
                self.cmd(0x70 + n - 1)
                n = 0
            else:
                step = min(n, 0xFFFF)
                self.cmd(0x61, step & 0xFF, step >> 8)
                n -= step

    def mark_loop(self):
        self.loop_pos = len(self.data)
        self.loop_total = self.total

    def build(self, tags):
        self.cmd(0x66)
        h = self.header
        h[0:4] = b"Vgm "
        self.field(0x08, self.version)
        self.field(0x18, self.total)
        self.field(0x34, 0x100 - 0x34)
        if self.loop_pos is not None:
            self.field(0x1C, 0x100 + self.loop_pos - 0x1C)
            self.field(0x20, self.total - self.loop_total)
        gd3_at = 0x100 + len(self.data)
        text = b"".join(s.encode("utf-16-le") + b"\0\0" for s in tags)
        gd3 = b"Gd3 " + struct.pack("<II", 0x100, len(text)) + text
        self.field(0x14, gd3_at - 0x14)
        out = bytes(h) + bytes(self.data) + gd3
        out = bytearray(out)
        struct.pack_into("<I", out, 0x04, len(out) - 0x04)
        return bytes(out)


def tags(title_en, title_ja, system_en, system_ja, notes):
    return [title_en, title_ja, "KLINKdev demo tunes", "KLINKdev デモ曲集", system_en, system_ja,
            "KLINKdev project", "KLINKdev プロジェクト", "2026", "tools/make_samples.py", notes]


# ---------------------------------------------------------------- YM2151
OPM_NOTE = {0: 0xE, 1: 0x0, 2: 0x1, 3: 0x2, 4: 0x4, 5: 0x5, 6: 0x6, 7: 0x8, 8: 0x9, 9: 0xA, 10: 0xC, 11: 0xD}


def opm_keycode(note):
    # Key codes count from C#; C belongs to the octave below.
    octave = (note - 1) // 12 - 1
    return max(0, min(7, octave)) << 4 | OPM_NOTE[note % 12]


def opm_voice(v, ch, write, tl_carrier):
    w = lambda r, d: write(r, d)
    w(0x20 + ch, 0xC4)  # both outputs, FB 0, algorithm 4 (two 2-op pairs)
    w(0x38 + ch, 0x00)
    for op, (mul, tl) in enumerate([(1, 0x22), (1, tl_carrier), (2, 0x28), (1, tl_carrier)]):
        slot = ch + 8 * op
        w(0x40 + slot, mul)
        w(0x60 + slot, tl)
        w(0x80 + slot, 0x1F)
        w(0xA0 + slot, 0x08)
        w(0xC0 + slot, 0x04)
        w(0xE0 + slot, 0x36)


def ym2151_tune(v, with_loop=True):
    write = lambda r, d: v.cmd(0x54, r, d)
    write(0x01, 0x00)
    write(0x18, 0x00)
    write(0x1B, 0x00)
    opm_voice(v, 0, write, 0x08)
    opm_voice(v, 1, write, 0x10)
    if with_loop:
        v.mark_loop()
    for i in range(2 * len(MELODY)):
        m = MELODY[i % len(MELODY)]
        b = BASS[i % len(BASS)]
        yield i
        for ch, note in ((0, m), (1, b)):
            write(0x08, ch)  # key off
            if note:
                write(0x28 + ch, opm_keycode(note))
                write(0x30 + ch, 0)
                write(0x08, 0x78 | ch)
        v.wait(EIGHTH)
    write(0x08, 0)
    write(0x08, 1)


def make_ym2151():
    v = VGM(0x171)
    v.field(0x30, 3579545)
    for _ in ym2151_tune(v):
        pass
    return v.build(tags("Demo tune for YM2151", "YM2151 デモ曲", "YM2151 (OPM)", "YM2151（OPM）",
                        "An original test tune.\nSecond line of notes."))


def make_ym2151_oki():
    v = VGM(0x161)
    v.field(0x30, 4000000)
    v.field(0x90, 4000000)
    v.header[0x94] = 0x02  # divider 512
    write = lambda r, d: v.cmd(0xB7, r, d)
    for beat in ym2151_tune(v):
        if beat % 4 == 0:
            # A short burst of ADPCM data: start, feed bytes, stop.
            write(0x00, 0x02)
            for k in range(48):
                write(0x01, (0x77 if k < 8 else 0x31 + (k * 37) % 0x4C) & 0xFF)
    return v.build(tags("Demo tune for YM2151 and OKIM6258", "YM2151＋OKIM6258 デモ曲", "YM2151 + OKIM6258",
                        "YM2151＋OKIM6258", "ADPCM data register writes on every half bar."))


# ---------------------------------------------------------------- YM2612 + SN76489
def opn_voice(write, ch, port_write=None):
    for op_off in (0x0, 0x4, 0x8, 0xC):
        write(0x30 + op_off + ch, 0x01)
        write(0x40 + op_off + ch, 0x7F if op_off != 0xC else 0x10)
        write(0x50 + op_off + ch, 0x1F)
        write(0x60 + op_off + ch, 0x08)
        write(0x70 + op_off + ch, 0x04)
        write(0x80 + op_off + ch, 0x36)
        write(0x90 + op_off + ch, 0x00)
    write(0xB0 + ch, 0x07)


def opn_freq(note, clock, prescale=144):
    f = hz(note)
    block = 0
    fnum = f * prescale * (1 << 20) / clock / (1 << block)
    while fnum >= 0x800 and block < 7:
        block += 1
        fnum = f * prescale * (1 << 20) / clock / (1 << block)
    return block, int(fnum) & 0x7FF


def sn_tone(v, ch, note, clock=3579545, cmd=0x50, vol=2):
    n = int(clock / (32 * hz(note))) & 0x3FF
    v.cmd(cmd, 0x80 | ch << 5 | (n & 0x0F))
    v.cmd(cmd, (n >> 4) & 0x3F)
    v.cmd(cmd, 0x90 | ch << 5 | vol)


def sn_silence(v, cmd=0x50):
    for ch in range(4):
        v.cmd(cmd, 0x90 | ch << 5 | 0x0F)


def make_ym2612_sn():
    v = VGM(0x171)
    v.field(0x0C, 3579545)
    v.field(0x2C, 7670453)
    w0 = lambda r, d: v.cmd(0x52, r, d)
    w1 = lambda r, d: v.cmd(0x53, r, d)
    w0(0x22, 0x00)
    w0(0x27, 0x00)
    w0(0x2B, 0x80)  # DAC output on (channel 6)
    w1(0xB6, 0xC0)  # channel 6 to both speakers
    opn_voice(w0, 0)
    w0(0xB4, 0xC0)
    sn_silence(v)
    v.mark_loop()
    for i, m in song():
        w0(0x28, 0x00)
        if m:
            block, fnum = opn_freq(m - 12, 7670453)
            w0(0xA4, block << 3 | fnum >> 8)
            w0(0xA0, fnum & 0xFF)
            w0(0x28, 0xF0)
        sn_tone(v, 0, BASS[i] + 12)
        if i % 4 == 0:
            # A tiny kick on the DAC: a decaying ramp of samples.
            for k in range(24):
                w0(0x2A, 0x80 + int(100 * (1 - k / 24)) * (1 if k % 2 else -1) // 1 & 0xFF)
                v.wait(8)
            v.wait(EIGHTH - 24 * 8)
        else:
            v.wait(EIGHTH)
    w0(0x28, 0x00)
    sn_silence(v)
    return v.build(tags("Demo tune for YM2612 and SN76489", "YM2612＋SN76489 デモ曲", "YM2612 + SN76489",
                        "YM2612＋SN76489", "FM lead, PSG bass, DAC kick."))


def make_sn76489():
    v = VGM(0x171)
    v.field(0x0C, 3579545)
    sn_silence(v)
    v.mark_loop()
    for i, m in song():
        if m:
            sn_tone(v, 0, m, vol=1)
        else:
            v.cmd(0x50, 0x9F)
        sn_tone(v, 1, BASS[i] + 12, vol=3)
        v.wait(EIGHTH)
    sn_silence(v)
    return v.build(tags("Demo tune for SN76489", "SN76489 デモ曲", "SN76489 (PSG)", "SN76489（PSG）", ""))


def ay_tone(write, ch, note, clock):
    n = int(clock / (16 * hz(note))) & 0xFFF
    write(ch * 2, n & 0xFF)
    write(ch * 2 + 1, n >> 8)


def make_ay8910():
    v = VGM(0x171)
    clock = 1789772
    v.field(0x74, clock)
    write = lambda r, d: v.cmd(0xA0, r, d)
    write(0x07, 0x3C)  # tone A and B on, noise off
    v.mark_loop()
    for i, m in song():
        if m:
            ay_tone(write, 0, m, clock)
            write(0x08, 0x0D)
        else:
            write(0x08, 0x00)
        ay_tone(write, 1, BASS[i], clock)
        write(0x09, 0x0B)
        v.wait(EIGHTH)
    write(0x08, 0)
    write(0x09, 0)
    return v.build(tags("Demo tune for AY8910", "AY8910 デモ曲", "AY8910 (PSG)", "AY8910（PSG）", ""))


def make_ym2203():
    v = VGM(0x171)
    clock = 3993600
    v.field(0x44, clock)
    write = lambda r, d: v.cmd(0x55, r, d)
    write(0x07, 0x3E)  # SSG tone A only
    opn_voice(write, 0)
    v.mark_loop()
    for i, m in song():
        write(0x28, 0x00)
        if m:
            block, fnum = opn_freq(m - 12, clock, prescale=72)
            write(0xA4, block << 3 | fnum >> 8)
            write(0xA0, fnum & 0xFF)
            write(0x28, 0xF0)
        ay_tone(write, 0, BASS[i], clock // 4)
        write(0x08, 0x0A)
        v.wait(EIGHTH)
    write(0x28, 0x00)
    write(0x08, 0x00)
    return v.build(tags("Demo tune for YM2203", "YM2203 デモ曲", "YM2203 (OPN)", "YM2203（OPN）", ""))


def opl_freq(note, clock, shift=20):
    f = hz(note)
    for block in range(8):
        fnum = int(f * (1 << (shift - block)) / (clock / 72))
        if fnum < 0x400:
            return block, fnum
    return 7, 0x3FF


def make_ym3812():
    v = VGM(0x171)
    clock = 3579545
    v.field(0x50, clock)
    write = lambda r, d: v.cmd(0x5A, r, d)
    write(0x01, 0x20)
    for ch, (mod, car) in enumerate([(0x00, 0x03), (0x01, 0x04)]):
        write(0x20 + mod, 0x01)
        write(0x20 + car, 0x01)
        write(0x40 + mod, 0x18)
        write(0x40 + car, 0x00)
        write(0x60 + mod, 0xF4)
        write(0x60 + car, 0xF4)
        write(0x80 + mod, 0x55)
        write(0x80 + car, 0x55)
        write(0xC0 + ch, 0x06)
    v.mark_loop()
    for i, m in song():
        for ch, note in ((0, m), (1, BASS[i])):
            write(0xB0 + ch, 0x00)
            if note:
                block, fnum = opl_freq(note, clock)
                write(0xA0 + ch, fnum & 0xFF)
                write(0xB0 + ch, 0x20 | block << 2 | fnum >> 8)
        v.wait(EIGHTH)
    write(0xB0, 0)
    write(0xB1, 0)
    return v.build(tags("Demo tune for YM3812", "YM3812 デモ曲", "YM3812 (OPL2)", "YM3812（OPL2）", ""))


def make_ym2413():
    v = VGM(0x171)
    clock = 3579545
    v.field(0x10, clock)
    write = lambda r, d: v.cmd(0x51, r, d)
    write(0x30, 0x30)  # channel 0: instrument 3 (piano), volume 0
    write(0x31, 0xE2)  # channel 1: instrument 14 (bass)
    v.mark_loop()
    for i, m in song():
        for ch, note in ((0, m), (1, BASS[i])):
            write(0x20 + ch, 0x00)
            if note:
                block, fnum = opl_freq(note, clock, shift=19)
                fnum &= 0x1FF
                write(0x10 + ch, fnum & 0xFF)
                write(0x20 + ch, 0x10 | block << 1 | fnum >> 8)
        v.wait(EIGHTH)
    write(0x20, 0)
    write(0x21, 0)
    return v.build(tags("Demo tune for YM2413", "YM2413 デモ曲", "YM2413 (OPLL)", "YM2413（OPLL）", ""))


SAMPLES = {
    "demo_ym2151.vgm": make_ym2151,
    "demo_ym2612_sn76489.vgm": make_ym2612_sn,
    "demo_sn76489.vgm": make_sn76489,
    "demo_ay8910.vgm": make_ay8910,
    "demo_ym2203.vgm": make_ym2203,
    "demo_ym3812.vgm": make_ym3812,
    "demo_ym2413.vgm": make_ym2413,
    "demo_ym2151_okim6258.vgm": make_ym2151_oki,
}


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "samples")
    os.makedirs(out_dir, exist_ok=True)
    for name, make in SAMPLES.items():
        data = make()
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)
        print(f"{name}: {len(data)} bytes")


if __name__ == "__main__":
    main()

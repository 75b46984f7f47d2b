#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.

Run by hand when a target's input format changes; the seeds it writes are committed.
Integers that a target takes through FuzzedDataProvider come from the end of the input,
most significant byte first: the Seed class below lays them out that way.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
HEADER_SIZE = 63576
CLIENTS_AT = 12
SERVER_AT = 14412
FRAMES_AT = 14424


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = []  # bytes in the order the target consumes them

    def bytes(self, data):
        self.front += data

    def integer(self, value, lo, hi):
        span = hi - lo
        value -= lo
        width = 0
        while width < 8 and (span >> (8 * width)) > 0:
            width += 1
        for i in reversed(range(width)):
            self.back.append((value >> (8 * i)) & 0xFF)

    def boolean(self, value):
        self.back.append(1 if value else 0)

    def i32(self, value):
        self.integer(value, -(1 << 31), (1 << 31) - 1)

    def u8(self, value):
        self.integer(value, 0, 255)

    def done(self):
        return bytes(self.front) + bytes(reversed(self.back))


def write(target, name, data):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


# ---- the region ----

def frame_bytes(w, h):
    return ((w * 3 + 3) & ~3) * h


def patch(offset, data):
    return struct.pack('<HB', offset, len(data)) + data


def client(index, name, w, h, last_seen=1000):
    units = name.encode('utf-16-le').ljust(128, b'\0')[:128]
    return patch(CLIENTS_AT + 144 * index, struct.pack('<i', 1) + units[:124]) + \
        patch(CLIENTS_AT + 144 * index + 128, units[124:] + struct.pack('<iiI', w, h, last_seen))


def descriptor(index, w, h, length=None, lock=0, valid=1):
    length = frame_bytes(w, h) if length is None else length
    record = struct.pack('<B3xiiii4xqqi4x', valid, lock, w, h, 7, 11, 13, length)
    return patch(FRAMES_AT + 48 * index, record)


def header(*patches):
    return bytes([len(patches)]) + b''.join(patches)


def region_seeds():
    states = {
        'empty': header(),
        'frame_320x240': header(patch(SERVER_AT, struct.pack('<iii', 320, 240, 0)), descriptor(0, 320, 240)),
        'frame_640x360_logo': header(patch(SERVER_AT, struct.pack('<iii', 640, 360, 1)), descriptor(0, 640, 360),
                                     client(0, 'capture.exe-1D6F2A7C-0000-4000-8000-0123456789AB', 640, 480)),
        'held_frame': header(patch(8, struct.pack('<i', 1)), descriptor(0, 32, 24, lock=2),
                             client(0, 'host-a', 320, 240)),
        'clients': header(patch(8, struct.pack('<i', 3)), client(0, 'host-a', 320, 240), client(1, 'host-b', 640, 480),
                          client(99, 'x' * 63, 160, 120), descriptor(0, 8, 8)),
        'last_index': header(descriptor(5, 64, 48), descriptor(6, 1, 1), descriptor(1023, 2, 2)),
    }
    for name, state in states.items():
        # Consumer: counts, lock and unlock 0, the stream's read, the camera's FillBuffer,
        # a lease of frame 0.
        s = Seed()
        s.bytes(state)
        for operation in (0, 5, 6, 1, 3, 4, 7):
            s.integer(operation, 0, 7)
            if operation in (1, 3, 7):
                s.boolean(True)
                s.integer(0, -1, 7)  # index 0
            if operation == 7:
                s.boolean(True)
                s.integer(4, 0, 80)
                for ch in 'cam1':
                    s.integer(ord(ch), 0, 65535)
            if operation == 4:
                s.boolean(True)
                s.integer(4, 0, 80)
                for ch in 'cam1':
                    s.integer(ord(ch), 0, 65535)
                s.i32(320)
                s.i32(240)
        write('region_consumer', name, s.done())
        # Producer: write a frame at 0, list the clients, announce, wake the thread.
        s = Seed()
        s.bytes(state)
        s.integer(0, 0, 3)
        s.boolean(True)
        s.integer(0, -1, 7)
        s.i32(16)
        s.i32(12)
        s.boolean(True)
        s.integer(frame_bytes(16, 12), -1, 4096)
        s.i32(1)
        s.integer(5, -(1 << 63), (1 << 63) - 1)
        s.integer(6, -(1 << 63), (1 << 63) - 1)
        for operation in (1, 2, 3):
            s.integer(operation, 0, 3)
            if operation == 2:
                s.i32(1280)
                s.i32(720)
                s.i32(1)
        write('region_producer', name, s.done())


# ---- media types and sample properties ----

def media_type(s, major=1, sub=1, fmt=1, changes=(), length_case=0, length=None):
    s.integer(major, 0, 3)
    s.integer(sub, 0, 3)
    s.integer(fmt, 0, 3)
    s.boolean(True)
    s.i32(0)
    s.integer(230400, 0, (1 << 32) - 1)
    s.integer(len(changes), 0, 8)
    for field, value in changes:
        s.integer(field, 0, 7)
        if field in (0, 1):
            s.boolean(True)
            s.integer(value, -2, 2000)
        elif field == 2:
            s.integer(value, 0, 65535)
        else:
            s.integer(value, 0, (1 << 32) - 1)
    s.integer(length_case, 0, 3)
    if length_case == 1:
        s.integer(length, 0, 88)
    s.integer(0, 0, 7)  # aligned block
    if length_case != 3:
        s.integer(1 << 31, 0, (1 << 32) - 1)  # probability 0.5: a real block


def media_type_seeds():
    cases = {
        'check_320x240': [(0, {})],
        'set_640x480': [(1, {'changes': ((0, 640), (1, 480))})],
        'set_format_176x144': [(3, {'changes': ((0, 176), (1, 144))})],
        'fill_attached_352x288': [(6, None), (5, {'changes': ((0, 352), (1, 288))})],
        'fill_with_frame': [(7, None), (5, {})],
        'query_bitcount_32': [(2, {'changes': ((2, 32),)})],
        'decide_short_block': [(4, {'length_case': 1, 'length': 40})],
        'partial_type': [(0, {'fmt': 0}), (0, {'sub': 0})],
    }
    for name, operations in cases.items():
        s = Seed()
        for operation, kwargs in operations:
            s.integer(operation, 0, 7)
            if operation == 6:
                for v in (1280, 720):
                    s.boolean(True)
                    s.integer(v, -2, 2000)
            elif operation == 7:
                s.integer(40, 1, 64)
                s.integer(30, 1, 64)
            else:
                media_type(s, **kwargs)
        write('media_type', name, s.done())


def sample_properties_seeds():
    def record(cb, flags, actual, start, stop, type_flag=False):
        return struct.pack('<IIIiqqIQ', cb, 0, flags | (8 if type_flag else 0), actual, start, stop, 0, 0)[:36] + \
            b'\0' * 12
    cases = {
        'whole_record': (record(48, 0x111, 1000, 0, 400000), 1, False, 48),
        'time_only': (record(32, 0x10, 0, 5, 0), 0, False, 32),
        'with_type': (record(48, 0x111, 100, 0, 1, True), 1, True, 48),
        'short_count': (record(48, 0x111, 100, 0, 1), 0, False, 12),
    }
    for name, (raw, pointer, with_type, count) in cases.items():
        s = Seed()
        s.bytes(raw)
        s.integer(pointer, 0, 2)
        s.boolean(with_type)
        if with_type:
            media_type(s)
        s.boolean(False)
        s.boolean(True)
        s.integer(count, 0, 48)
        s.integer(48, 0, 56)
        write('sample_properties', name, s.done())


# ---- registry hives ----

def registry_seeds():
    text = ('Windows Registry Editor Version 5.00\r\n\r\n'
            '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline]\r\n\r\n'
            '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\Second]\r\n'
            '@="Second Camera"\r\n'
            '"Path"="/opt/amberline/Bin/amberline.so"\r\n'
            '"CLSID"="6F1C2B3A-4D5E-4F60-8172-93A4B5C6D7E8"\r\n'
            '"Count"=dword:0000001f\r\n'
            '"Blob"=hex:01,02,03,\\\r\n  04,05\r\n'
            '"Expand"=hex(2):25,00,41,00,25,00,00,00\r\n'
            '"Gone"=-\r\n\r\n'
            '[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n'
            '; a comment\r\n'
            '[HKEY_CURRENT_USER\\SOFTWARE\\Trelvox]\r\n"EnableLogging"=dword:00000001\r\n')
    write('registry_hive', 'custom_sources_utf8.reg', text.encode('utf-8'))
    write('registry_hive', 'custom_sources_utf8_bom.reg', b'\xef\xbb\xbf' + text.replace('\r\n', '\n').encode('utf-8'))
    write('registry_hive', 'custom_sources_utf16.reg', b'\xff\xfe' + text.encode('utf-16-le'))
    write('registry_hive', 'custom_sources_utf16_be.reg', b'\xfe\xff' + text.encode('utf-16-be'))
    regedit4 = ('REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\Caf\u00e9]\n'
                '@="Caf\u00e9 Cam \\"quoted\\" \\\\ back"\n"Path"="C:\\\\Cams\\\\Bin\\\\amberline.dll"\n'
                '"Multi"=hex(7):61,62,00,63,00,00\n"Type5"=hex(5):01,00,00,00\n')
    write('registry_hive', 'regedit4.reg', regedit4.encode('utf-8'))


# ---- pictures ----

def png(width, height, color_type, bit_depth, rows, palette=None, trns=None):
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF)
    out = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, bit_depth, color_type, 0, 0, 0))
    if palette:
        out += chunk(b'PLTE', palette)
    if trns:
        out += chunk(b'tRNS', trns)
    raw = b''.join(b'\0' + row for row in rows)
    return out + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b'')


def picture_seeds():
    w, h = 8, 6
    rgba = [b''.join(bytes((x * 30, y * 40, 128, 255 - x * 20)) for x in range(w)) for y in range(h)]
    rgb = [b''.join(bytes((x * 30, y * 40, 200)) for x in range(w)) for y in range(h)]
    gray16 = [b''.join(struct.pack('>H', x * 8000 + y) for x in range(w)) for y in range(h)]
    pal = [bytes(((x + y) % 4) for x in range(w)) for y in range(h)]
    write('picture', 'rgba_8x6.png', png(w, h, 6, 8, rgba))
    write('picture', 'rgb_8x6.png', png(w, h, 2, 8, rgb))
    write('picture', 'gray16_8x6.png', png(w, h, 0, 16, gray16))
    write('picture', 'palette_trns_8x6.png', png(w, h, 3, 8, pal, palette=bytes(range(12)), trns=b'\x00\x80'))
    write('picture', 'one_pixel.png', png(1, 1, 6, 8, [b'\x10\x20\x30\x40']))
    with open(os.path.join(HERE, '..', 'data', 'pictures', 'data', 'effect_data', 'logo', 'logo.png'), 'rb') as f:
        write('picture', 'shipped_logo.png', f.read())


# ---- YUV4MPEG2 streams ----

def y4m(width, height, tags, frames, chroma_size):
    out = ('YUV4MPEG2 W%d H%d %s\n' % (width, height, tags)).encode('ascii')
    for i in range(frames):
        out += b'FRAME\n' + bytes((i * 37 + j) & 0xFF for j in range(width * height + 2 * chroma_size))
    return out


def y4m_seeds():
    write('y4m_stream', 'c420jpeg_5x3.y4m', y4m(5, 3, 'F30000:1001 Ip A1:1 C420jpeg XYSCSS=420JPEG', 2, 3 * 2))
    write('y4m_stream', 'c422_4x2.y4m', y4m(4, 2, 'F25:1 C422', 2, 2 * 2))
    write('y4m_stream', 'c444_full_3x3.y4m', y4m(3, 3, 'F50:1 C444 XCOLORRANGE=FULL', 1, 9))
    write('y4m_stream', 'mono_4x4.y4m', y4m(4, 4, 'F10:1 Cmono', 2, 0))
    write('y4m_stream', 'frame_params_2x2.y4m',
          b'YUV4MPEG2 W2 H2 F1:1 C420\nFRAME Ip XFOO=1\n' + bytes(6) + b'FRAME\n' + bytes(6))
    write('y4m_stream', 'truncated_420_6x4.y4m', y4m(6, 4, 'C420', 2, 6)[:-5])


if __name__ == '__main__':
    region_seeds()
    media_type_seeds()
    sample_properties_seeds()
    registry_seeds()
    picture_seeds()
    y4m_seeds()

"""The Python package over the sender library: the context manager, numpy frames read
back through the capture host, a strided slice sent without a copy, the typed
exceptions carrying the library's sentences, and the consumer list."""
import os
import struct
import subprocess
import tempfile
import threading
import uuid
import zlib

import numpy
import pytest

import amberline

CAPTURE = os.environ["AMBERLINE_TEST_CAPTURE"]
REGSVR = os.environ["AMBERLINE_TEST_REGSVR"]
MODULE = os.environ["AMBERLINE_TEST_MODULE"]


def read_png(path):
    """An 8-bit RGB, non-interlaced PNG as a (height, width, 3) array (what the capture
    host writes), its row filters undone."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat, width, height = 8, b"", 0, 0
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert (depth, colour) == (8, 2)
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw = zlib.decompress(idat)
    stride = width * 3
    out = numpy.zeros((height, stride), numpy.int32)
    for y in range(height):
        kind, row = raw[y * (stride + 1)], numpy.frombuffer(raw, numpy.uint8, stride, y * (stride + 1) + 1)
        prior = out[y - 1] if y else numpy.zeros(stride, numpy.int32)
        line = numpy.zeros(stride, numpy.int32)
        for x in range(stride):
            left = line[x - 3] if x >= 3 else 0
            up, corner = prior[x], (prior[x - 3] if x >= 3 else 0)
            if kind == 0:
                predicted = 0
            elif kind == 1:
                predicted = left
            elif kind == 2:
                predicted = up
            elif kind == 3:
                predicted = (left + up) // 2
            else:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                predicted = left if pa <= pb and pa <= pc else (up if pb <= pc else corner)
            line[x] = (int(row[x]) + predicted) & 0xFF
        out[y] = line
    return out.reshape(height, width, 3).astype(numpy.uint8)


@pytest.fixture
def camera(monkeypatch):
    """A registered camera in a private registry, on a private channel."""
    with tempfile.TemporaryDirectory() as root:
        monkeypatch.setenv("AMBERLINE_REGISTRY_ROOT", os.path.join(root, "registry"))
        monkeypatch.setenv("XDG_STATE_HOME", os.path.join(root, "state"))
        monkeypatch.setenv("AMBERLINE_CHANNEL_NAMESPACE", "AmberlineTestPy" + uuid.uuid4().hex + "_")
        os.makedirs(os.path.join(root, "registry"))
        subprocess.run([REGSVR, "-s", MODULE], check=True, timeout=60)
        yield root


def shown(root, width, height, frames=6):
    """The last of `frames` frames the capture host records at width x height."""
    folder = os.path.join(root, "png-%s" % uuid.uuid4().hex)
    run = subprocess.run([CAPTURE, "--size", "%dx%d" % (width, height), "--frames", str(frames), "--png", folder],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    return read_png(os.path.join(folder, "frame_%06d.png" % frames))


class Feed:
    """Sends a frame at the sender's rate on a thread until the block ends."""

    def __init__(self, cam, frame):
        self.cam, self.frame, self.stop = cam, frame, False
        self.thread = threading.Thread(target=self.run)

    def run(self):
        while not self.stop:
            self.cam.send(self.frame)
            try:
                self.cam.sleep_until_next_frame()
            except amberline.InterruptedError_:
                pass

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop = True
        self.cam.interrupt()
        self.thread.join()


def picture(height, width):
    y, x = numpy.mgrid[0:height, 0:width]
    rgb = numpy.stack([(x * 4) % 256, (y * 5) % 256, ((x + y) * 3) % 256], axis=2).astype(numpy.uint8)
    rgb[2:6, 2:10] = 255  # a white mark near the top-left
    return rgb


@pytest.mark.parametrize("fmt", ["RGB", "BGR", "GRAY"])
def test_numpy_frames_are_shown_exactly(camera, fmt):
    rgb = picture(48, 64)
    frame = {"RGB": rgb, "BGR": rgb[:, :, ::-1].copy(), "GRAY": rgb[:, :, 0].copy()}[fmt]
    expected = rgb if fmt != "GRAY" else numpy.repeat(rgb[:, :, :1], 3, axis=2)
    with amberline.Sender(64, 48, 60, fmt=fmt) as cam, Feed(cam, frame):
        numpy.testing.assert_array_equal(shown(camera, 64, 48), expected)


def to_ycbcr(rgb, fmt):
    """BT.601 limited-range Y'CbCr of a picture flat on 2x2 blocks, as (height * 3 // 2, width)
    I420 or NV12 or as (height, width * 2) YUYV, and the RGB a plain per-pixel decoding of it gives."""
    rgb_f = rgb.astype(float) / 255
    r, g, b = rgb_f[:, :, 0], rgb_f[:, :, 1], rgb_f[:, :, 2]
    y = 0.299 * r + 0.587 * g + 0.114 * b
    cb, cr = (b - y) / 1.772, (r - y) / 1.402
    Y = numpy.clip(numpy.rint(16 + 219 * y), 0, 255).astype(numpy.uint8)
    U = numpy.clip(numpy.rint(128 + 224 * cb[::2, ::2]), 0, 255).astype(numpy.uint8)
    V = numpy.clip(numpy.rint(128 + 224 * cr[::2, ::2]), 0, 255).astype(numpy.uint8)
    h, w = Y.shape
    if fmt == "YUYV":  # Y0 U Y1 V: the block's chroma on both of its rows
        U2, V2 = numpy.repeat(U, 2, 0), numpy.repeat(V, 2, 0)
        frame = numpy.stack([Y[:, ::2], U2, Y[:, 1::2], V2], axis=2).reshape(h, w * 2)
    elif fmt == "I420":
        frame = numpy.concatenate([Y, numpy.concatenate([U.reshape(-1), V.reshape(-1)]).reshape(h // 2, w)])
    else:
        frame = numpy.concatenate([Y, numpy.stack([U, V], axis=2).reshape(h // 2, w)])
    yy = (Y.astype(float) - 16) / 219
    pb = (numpy.repeat(numpy.repeat(U, 2, 0), 2, 1).astype(float) - 128) / 224
    pr = (numpy.repeat(numpy.repeat(V, 2, 0), 2, 1).astype(float) - 128) / 224
    rr, bb = yy + 1.402 * pr, yy + 1.772 * pb
    gg = (yy - 0.299 * rr - 0.114 * bb) / 0.587
    decoded = numpy.clip(numpy.rint(numpy.stack([rr, gg, bb], axis=2) * 255), 0, 255).astype(numpy.uint8)
    return frame, decoded


@pytest.mark.parametrize("fmt", ["I420", "NV12", "YUYV"])
def test_ycbcr_numpy_frames_are_shown_within_two(camera, fmt):
    blocks = numpy.repeat(numpy.repeat(picture(24, 32), 2, 0), 2, 1)  # 64x48, flat on 2x2 blocks
    frame, expected = to_ycbcr(blocks, fmt)
    assert frame.shape == ((48, 128) if fmt == "YUYV" else (72, 64))
    with amberline.Sender(64, 48, 60, fmt=fmt) as cam, Feed(cam, frame):
        difference = numpy.abs(shown(camera, 64, 48).astype(int) - expected.astype(int))
    assert difference.max() <= 2, numpy.unravel_index(difference.argmax(), difference.shape)


def test_a_strided_slice_is_sent_as_it_appears(camera):
    big = picture(100, 120)
    view = big[20:68, 30:94]          # rows of 120 pixels apart, no copy needed
    upside_down = big[67:19:-1, 30:94]  # a negative row stride
    assert not view.flags["C_CONTIGUOUS"]
    with amberline.Sender(64, 48, 60, fmt="RGB") as cam:
        with Feed(cam, view):
            numpy.testing.assert_array_equal(shown(camera, 64, 48), view)
        with Feed(cam, upside_down):
            numpy.testing.assert_array_equal(shown(camera, 64, 48), upside_down)
        with Feed(cam, big[20:68, 30:94:2].repeat(2, axis=1)):  # a copy, still right
            numpy.testing.assert_array_equal(shown(camera, 64, 48), big[20:68, 30:94:2].repeat(2, axis=1))


def test_the_context_manager_counts_and_closes_and_a_new_sender_follows(camera):
    frame = bytes(64 * 48 * 3)
    with amberline.Sender(64, 48, 30) as cam:
        assert cam.send(frame) and cam.send(bytearray(frame)) and cam.send(numpy.zeros(64 * 48 * 3, numpy.uint8))
        assert cam.frames_sent == 3 and cam.frames_dropped == 0
        assert (cam.width, cam.height, cam.fps) == (64, 48, 30.0)
    with pytest.raises(amberline.AmberlineError, match="closed"):
        cam.send(frame)
    cam.close()  # twice is fine
    with amberline.Camera(64, 48, 29.97, fmt=amberline.PixelFormat.RGB) as again:
        assert again.send(frame)


def test_failures_raise_typed_exceptions_with_the_librarys_sentence(camera):
    with pytest.raises(amberline.FrameTooLargeError, match=r"3840x2160 does not fit the channel.*up to \d+x\d+"):
        amberline.Sender(3840, 2160, 30)
    with pytest.raises(amberline.InvalidArgumentError, match="I420 frames need an even width"):
        amberline.Sender(641, 480, 30, fmt="I420")
    with pytest.raises(amberline.InvalidArgumentError, match="pixel format"):
        amberline.Sender(64, 48, 30, fmt="CMYK")
    with pytest.raises(amberline.InvalidArgumentError, match=r"channel name \"my desk\" may hold only letters"):
        amberline.Sender(64, 48, 30, channel="my desk")
    with amberline.Sender(320, 240, 30):
        with pytest.raises(amberline.ChannelBusyError, match="another producer is already delivering 320x240 frames"):
            amberline.Sender(64, 48, 30)
        # Another camera's channel is free.
        with amberline.Sender(64, 48, 30, channel="desk") as other:
            assert other.device == "desk"
    with amberline.Sender(64, 48, 30) as cam:
        # Frames that do not hold what they claim never reach the library.
        for bad, words in [(numpy.zeros((48, 64, 4), numpy.uint8), r"shape \(48, 64, 4\) is not"),
                           (numpy.zeros((48, 65), numpy.uint8), r"shape \(48, 65\) is not"),
                           (numpy.zeros((48, 64, 3), numpy.uint16), "not <u2"),
                           (bytes(64 * 48 * 3 - 1), "takes 9216 bytes; 9215 were given")]:
            with pytest.raises(amberline.InvalidArgumentError, match=words):
                cam.send(bad)
        assert cam.send(numpy.zeros((48, 64 * 3), numpy.uint8))  # (height, width * 3) is fine


def test_consumers_are_listed_with_their_sizes(camera):
    with amberline.Sender(64, 48, 30) as cam, Feed(cam, bytes(64 * 48 * 3)):
        assert cam.consumers() == []
        capture = subprocess.Popen([CAPTURE, "--size", "160x120", "--seconds", "3"], stdout=subprocess.DEVNULL)
        try:
            generation = 0
            for _ in range(60):
                listed = cam.consumers()
                if listed:
                    break
                cam.wait_consumers(generation, 1.0)
                generation = cam.consumers_generation()
            assert len(listed) == 1, listed
            assert listed[0].name.startswith("amberline-capture-")
            assert (listed[0].width, listed[0].height) == (160, 120)
        finally:
            assert capture.wait(timeout=60) == 0


def test_the_c_example_builds_with_the_readme_command_and_is_shown(camera):
    stage = os.environ["AMBERLINE_TEST_STAGE"]
    program = os.path.join(camera, "send_pattern")
    source = os.path.join(os.environ["AMBERLINE_TEST_SOURCE"], "examples", "send_pattern.c")
    build = subprocess.run(["cc", "-std=c11", "-Wall", "-Werror", source, "-I%s/include" % stage, "-L%s/lib" % stage,
                            "-lamberline_sender", "-Wl,-rpath,%s/lib" % stage, "-o", program],
                           capture_output=True, text=True, timeout=120)
    assert build.returncode == 0, build.stderr
    sender = subprocess.Popen([program, "600"], stderr=subprocess.PIPE, text=True)
    try:
        frame = shown(camera, 640, 360).astype(int)
    finally:
        sender.kill()
        sender.wait()
        # A killed sender leaves its channel objects as a crash does; the next sender
        # starts the channel afresh and, closing, removes them.
        amberline.Sender(64, 48, 30, allow_second=True).close()
    # Green is the row, blue 128, and red rises by one a column (from wherever the moving
    # pattern was in that frame).
    assert (frame[:, :, 1] == numpy.arange(360)[:, None] % 256).all()
    assert (frame[:, :, 2] == 128).all()
    assert ((frame[:, 1:, 0] - frame[:, :-1, 0]) % 256 == 1).all()


def test_the_python_example_compiles():
    path = os.path.join(os.environ["AMBERLINE_TEST_SOURCE"], "examples", "opencv_to_camera.py")
    with open(path, encoding="utf-8") as source:
        compile(source.read(), path, "exec")

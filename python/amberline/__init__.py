"""Feed the Amberline virtual camera from Python.

    import amberline
    with amberline.Sender(1280, 720, fps=30, fmt="RGB") as cam:
        while True:
            cam.send(frame)                  # numpy array (720, 1280, 3) or any buffer
            cam.sleep_until_next_frame()

Every Amberline camera on the machine shows the newest frame, scaled and letterboxed to
the size each application asked for. The names follow pyvirtualcam where they overlap
(``Camera`` is an alias of ``Sender``), so moving over takes one line.

The package is plain Python over the C library ``amberline_sender`` (ctypes): it looks
for the library in ``$AMBERLINE_SENDER_LIBRARY``, then beside the package in the
installed tree (``../lib`` or ``../Bin``; ``lib/<multiarch>`` of the prefix whose
``dist-packages`` holds it), then where the system keeps libraries.
numpy is optional: any object with the buffer protocol can be sent.
"""
import collections
import ctypes
import ctypes.util
import fractions
import os
import sys
import sysconfig

__all__ = [
    "Sender", "Camera", "PixelFormat", "Consumer", "AmberlineError", "InvalidArgumentError",
    "ChannelBusyError", "FrameTooLargeError", "ChannelError", "InterruptedError_", "library_path",
]

# ---- The C interface (include/amberline/sender.h) ---------------------------------

_OK, _DROPPED, _NOT_YET = 0, 1, 2
_INVALID, _BUSY, _TOO_LARGE, _CHANNEL, _INTERRUPTED, _TIMEOUT = -1, -2, -3, -4, -5, -6

_FLAG_MIRROR, _FLAG_FLIP, _FLAG_SHOW_LOGO, _FLAG_WAIT, _FLAG_ALLOW_SECOND = 0x1, 0x2, 0x4, 0x8, 0x10


class PixelFormat:
    """Pixel formats, named as pyvirtualcam names them; the value is the library's."""
    BGR = 1
    RGB = 2
    BGRA = 3
    RGBA = 4
    GRAY = 5
    I420 = 6
    NV12 = 7
    YUYV = 8
    YUY2 = 8


_FORMAT_NAMES = {"BGR": 1, "BGR24": 1, "RGB": 2, "RGB24": 2, "BGRA": 3, "BGRA32": 3, "RGBA": 4, "RGBA32": 4,
                 "GRAY": 5, "GRAY8": 5, "I420": 6, "NV12": 7, "YUYV": 8, "YUY2": 8}
# Bytes a pixel of the first plane takes, and whether the format is planar 4:2:0.
_BYTES_PER_PIXEL = {1: 3, 2: 3, 3: 4, 4: 4, 5: 1, 6: 1, 7: 1, 8: 2}
_COLORS = {"bt601": 0, "bt601-full": 1, "bt709": 2, "bt709-full": 3}


class _Options(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("width", ctypes.c_int32), ("height", ctypes.c_int32),
                ("fps_num", ctypes.c_int32), ("fps_den", ctypes.c_int32), ("format", ctypes.c_uint32),
                ("color", ctypes.c_uint32), ("flags", ctypes.c_uint32), ("wait_ms", ctypes.c_int32),
                ("reserved", ctypes.c_uint32), ("channel", ctypes.c_uint64)]


class _Plane(ctypes.Structure):
    _fields_ = [("data", ctypes.c_uint64), ("stride", ctypes.c_int32), ("reserved", ctypes.c_int32)]


class _Frame(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("format", ctypes.c_uint32), ("width", ctypes.c_int32),
                ("height", ctypes.c_int32), ("planes", _Plane * 4)]


class _Stats(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("beside_another", ctypes.c_uint32), ("frames_sent", ctypes.c_uint64),
                ("frames_dropped", ctypes.c_uint64), ("deadlines_skipped", ctypes.c_uint64),
                ("current_fps", ctypes.c_double)]


class _Consumer(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("width", ctypes.c_int32), ("height", ctypes.c_int32),
                ("idle_ms", ctypes.c_uint32), ("name", ctypes.c_char * 192)]


assert ctypes.sizeof(_Options) == 48 and ctypes.sizeof(_Frame) == 80
assert ctypes.sizeof(_Stats) == 40 and ctypes.sizeof(_Consumer) == 208


def _candidates():
    explicit = os.environ.get("AMBERLINE_SENDER_LIBRARY")
    if explicit:
        yield explicit
        return
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(os.path.dirname(here))
    if sys.platform == "win32":
        yield os.path.join(root, "Bin", "amberline_sender.dll")
        yield "amberline_sender.dll"
    else:
        yield os.path.join(root, "lib", "libamberline_sender.so")
        # A system installation: the package in <prefix>/lib/python3/dist-packages, the
        # library in <prefix>/lib/<multiarch> (wherever <prefix> is, a scratch root too).
        multiarch = sysconfig.get_config_var("MULTIARCH")
        if multiarch and os.path.basename(os.path.dirname(here)) == "dist-packages":
            prefix = os.path.dirname(os.path.dirname(root))
            yield os.path.join(prefix, "lib", multiarch, "libamberline_sender.so.1")
        found = ctypes.util.find_library("amberline_sender")
        if found:
            yield found


def _load():
    tried = []
    for path in _candidates():
        try:
            return ctypes.CDLL(path), path
        except OSError as error:
            tried.append("%s (%s)" % (path, error))
    raise ImportError("the Amberline sender library was not found; tried: " + "; ".join(tried) +
                      ". Install Amberline, or point AMBERLINE_SENDER_LIBRARY at libamberline_sender.so"
                      " or amberline_sender.dll.")


_lib, library_path = _load()
_sender_p = ctypes.c_void_p
_lib.amberline_sender_version.restype = ctypes.c_int32
_lib.amberline_last_error.restype = ctypes.c_char_p
_lib.amberline_sender_options_init.argtypes = [ctypes.POINTER(_Options)]
_lib.amberline_sender_create.argtypes = [ctypes.POINTER(_Options), ctypes.POINTER(_sender_p)]
_lib.amberline_sender_destroy.argtypes = [_sender_p]
_lib.amberline_sender_send_frame.argtypes = [_sender_p, ctypes.POINTER(_Frame)]
_lib.amberline_sender_wait_next_frame.argtypes = [_sender_p]
_lib.amberline_sender_poll_next_frame.argtypes = [_sender_p, ctypes.POINTER(ctypes.c_int64)]
_lib.amberline_sender_interrupt.argtypes = [_sender_p]
_lib.amberline_sender_get_stats.argtypes = [_sender_p, ctypes.POINTER(_Stats)]
_lib.amberline_sender_consumers.argtypes = [_sender_p, ctypes.POINTER(_Consumer), ctypes.c_int32,
                                            ctypes.POINTER(ctypes.c_int32), ctypes.POINTER(ctypes.c_uint64)]
_lib.amberline_sender_wait_consumers.argtypes = [_sender_p, ctypes.c_uint64, ctypes.c_int32]

# ---- Errors -------------------------------------------------------------------------


class AmberlineError(Exception):
    """A failure of the sender library; str() is the library's sentence, .code its result."""

    def __init__(self, code, message):
        super().__init__(message)
        self.code = code


class InvalidArgumentError(AmberlineError, ValueError):
    pass


class ChannelBusyError(AmberlineError, RuntimeError):
    """Another sender delivers on the channel (the message names its frame size)."""


class FrameTooLargeError(AmberlineError, ValueError):
    """The frame does not fit the channel (the message gives the largest size that does)."""


class ChannelError(AmberlineError, OSError):
    pass


class InterruptedError_(AmberlineError):
    pass


_ERRORS = {_INVALID: InvalidArgumentError, _BUSY: ChannelBusyError, _TOO_LARGE: FrameTooLargeError,
           _CHANNEL: ChannelError, _INTERRUPTED: InterruptedError_}


def _check(code):
    if code < 0:
        message = (_lib.amberline_last_error() or b"").decode("utf-8", "replace")
        raise _ERRORS.get(code, AmberlineError)(code, message)
    return code


Consumer = collections.namedtuple("Consumer", "name width height idle_ms")

# ---- The sender ---------------------------------------------------------------------


def _fraction(fps):
    rate = fractions.Fraction(fps).limit_denominator(1001)
    return rate.numerator, rate.denominator


class Sender:
    """A feed into the camera.

    Sender(width, height, fps, fmt="RGB", channel=None, *, color="bt601", mirror=False,
    flip=False, logo=False, wait=None, allow_second=False)

    fmt: a PixelFormat value or name (RGB, BGR, RGBA, BGRA, GRAY, I420, NV12, YUYV).
    channel: None for the default camera's feed, or the name of a camera's channel (its
    Channel in amberline-regsvr --list). wait: seconds to wait for another sender to leave (default: refuse at
    once with ChannelBusyError). A sender may be used from any thread; close() (or the end
    of a with block, or the garbage collector) gives the cameras their placeholder.
    """

    def __init__(self, width, height, fps, fmt="RGB", channel=None, *, color="bt601", mirror=False, flip=False,
                 logo=False, wait=None, allow_second=False, device=None):
        self._handle = None
        self._format = _FORMAT_NAMES.get(str(fmt).upper(), fmt) if isinstance(fmt, str) else int(fmt)
        if self._format not in _BYTES_PER_PIXEL:
            raise InvalidArgumentError(_INVALID, "the pixel format %r is not one of %s" % (fmt, ", ".join(sorted(_FORMAT_NAMES))))
        if color not in _COLORS:
            raise InvalidArgumentError(_INVALID, "the colour space %r is not one of %s" % (color, ", ".join(_COLORS)))
        if channel is None:
            channel = device
        options = _Options()
        _lib.amberline_sender_options_init(ctypes.byref(options))
        options.width, options.height = int(width), int(height)
        try:
            options.fps_num, options.fps_den = _fraction(fps)
        except (TypeError, ValueError, OverflowError):
            raise InvalidArgumentError(_INVALID, "the frame rate %r is not a number" % (fps,)) from None
        options.format = self._format
        options.color = _COLORS[color]
        options.flags = ((_FLAG_MIRROR if mirror else 0) | (_FLAG_FLIP if flip else 0) |
                         (_FLAG_SHOW_LOGO if logo else 0) | (_FLAG_ALLOW_SECOND if allow_second else 0) |
                         (_FLAG_WAIT if wait is not None else 0))
        options.wait_ms = int(round(wait * 1000)) if wait is not None else 0
        self._channel_bytes = None if channel is None else str(channel).encode("utf-8")
        if self._channel_bytes is not None:
            options.channel = ctypes.cast(ctypes.c_char_p(self._channel_bytes), ctypes.c_void_p).value or 0
        handle = _sender_p()
        _check(_lib.amberline_sender_create(ctypes.byref(options), ctypes.byref(handle)))
        self._handle = handle
        self._width, self._height, self._fps = options.width, options.height, float(fps)
        self._channel = channel

    # pyvirtualcam's properties
    width = property(lambda self: self._width)
    height = property(lambda self: self._height)
    fps = property(lambda self: self._fps)
    fmt = property(lambda self: self._format)
    device = property(lambda self: self._channel or "Trelvox Amberline")

    def _live(self):
        if self._handle is None:
            raise AmberlineError(_INVALID, "the sender is closed")
        return self._handle

    def send(self, frame, width=None, height=None):
        """Sends one frame: a numpy array (height, width, channels) or (height, width) for
        GRAY, ((height * 3) // 2, width) for I420/NV12, or any buffer of the right size.
        Row-strided arrays (slices) are sent without a copy. A size other than the
        sender's is announced to the cameras. Returns False when a camera held the slot
        (the frame was dropped, counted), True when stored."""
        handle = self._live()
        planes, keep = self._planes(frame, width, height)
        c_frame = _Frame()
        c_frame.size = ctypes.sizeof(_Frame)
        c_frame.format = self._format
        c_frame.width, c_frame.height = planes["width"], planes["height"]
        for i, (address, stride) in enumerate(planes["planes"]):
            c_frame.planes[i].data = address
            c_frame.planes[i].stride = stride
        result = _check(_lib.amberline_sender_send_frame(handle, ctypes.byref(c_frame)))
        del keep
        return result == _OK

    def _planes(self, frame, width, height):
        """The frame's size and planes (address, stride); every byte they name lies inside
        the frame, or InvalidArgumentError."""
        interface = getattr(frame, "__array_interface__", None)
        bpp = _BYTES_PER_PIXEL[self._format]
        planar = self._format in (PixelFormat.I420, PixelFormat.NV12)
        if interface is not None and len(interface["shape"]) < 2:
            interface = None  # a flat array is a buffer of the sender's size
        if interface is not None:
            if width is not None or height is not None:
                raise InvalidArgumentError(_INVALID, "an array's shape gives its size; width and height are for buffers")
            shape, strides = tuple(interface["shape"]), interface.get("strides")
            address = interface["data"][0]
            if interface["typestr"][1:] != "u1":
                raise InvalidArgumentError(_INVALID, "frames are arrays of bytes (uint8), not %s" % interface["typestr"])
            contiguous = strides is None
            if contiguous:
                strides = [1] * len(shape)
                for i in range(len(shape) - 2, -1, -1):
                    strides[i] = strides[i + 1] * shape[i + 1]
            expected = "(height * 3 // 2, width)" if planar else (
                "(height, width)" if bpp == 1 else "(height, width, %d) or (height, width * %d)" % (bpp, bpp))
            if len(shape) > 3 or (len(shape) == 3 and (planar or shape[2] != bpp)) or \
                    (len(shape) == 2 and not planar and shape[1] % bpp != 0) or (planar and shape[0] % 3 != 0):
                raise InvalidArgumentError(_INVALID, "a %s frame of shape %r is not %s" % (
                    self._format_name(), shape, expected))
            rows_packed = strides[-1] == 1 and (len(shape) == 2 or strides[1] == shape[2])
            if rows_packed and not planar:
                w = shape[1] if len(shape) == 3 else shape[1] // bpp
                return {"width": w, "height": shape[0], "planes": [(address, strides[0])]}, frame
            if rows_packed and planar and strides[0] == shape[1]:
                return self._packed_planes(address, shape[1], shape[0] * 2 // 3, shape[1]), frame
            if contiguous:  # a planar frame whose rows are not one block cannot be split
                raise InvalidArgumentError(_INVALID, "a %s frame of shape %r is not %s" % (
                    self._format_name(), shape, expected))
            # Any other layout: one copy into rows that follow each other.
            import numpy
            copy = numpy.ascontiguousarray(frame)
            return self._planes(copy, None, None)[0], copy
        view = memoryview(frame).cast("B")
        buffer = view if not view.readonly else bytearray(view)
        w, h = width or self._width, height or self._height
        needed = w * h * 3 // 2 if planar else w * bpp * h
        if w < 1 or h < 1 or len(buffer) < needed:
            raise InvalidArgumentError(_INVALID, "a %dx%d %s frame takes %d bytes; %d were given" % (
                w, h, self._format_name(), needed, len(buffer)))
        holder = (ctypes.c_char * len(buffer)).from_buffer(buffer)
        address = ctypes.addressof(holder)
        if planar:
            return self._packed_planes(address, w, h, w), (buffer, holder)
        return {"width": w, "height": h, "planes": [(address, w * bpp)]}, (buffer, holder)

    def _packed_planes(self, address, w, h, stride):
        chroma = address + stride * h
        if self._format == PixelFormat.NV12:
            return {"width": w, "height": h, "planes": [(address, stride), (chroma, stride)]}
        half = stride // 2
        return {"width": w, "height": h,
                "planes": [(address, stride), (chroma, half), (chroma + half * (h // 2), half)]}

    def _format_name(self):
        return {1: "BGR", 2: "RGB", 3: "BGRA", 4: "RGBA", 5: "GRAY", 6: "I420", 7: "NV12", 8: "YUYV"}[self._format]

    def sleep_until_next_frame(self):
        """Sleeps until the next frame is due (drift-free; a late call returns at once)."""
        _check(_lib.amberline_sender_wait_next_frame(self._live()))

    def poll_next_frame(self):
        """Seconds until the next frame is due, or 0.0 when it is due now (and counted begun)."""
        wait = ctypes.c_int64(0)
        result = _check(_lib.amberline_sender_poll_next_frame(self._live(), ctypes.byref(wait)))
        return 0.0 if result == _OK else wait.value / 1e9

    def interrupt(self):
        """Ends a sleep_until_next_frame or wait_consumers on another thread."""
        if self._handle is not None:
            _lib.amberline_sender_interrupt(self._handle)

    def _stats(self):
        stats = _Stats()
        stats.size = ctypes.sizeof(_Stats)
        _check(_lib.amberline_sender_get_stats(self._live(), ctypes.byref(stats)))
        return stats

    frames_sent = property(lambda self: self._stats().frames_sent)
    frames_dropped = property(lambda self: self._stats().frames_dropped)
    deadlines_skipped = property(lambda self: self._stats().deadlines_skipped)
    current_fps = property(lambda self: self._stats().current_fps)

    def consumers(self):
        """The applications watching now: [Consumer(name, width, height, idle_ms)]."""
        handle = self._live()
        capacity = 8
        while True:
            entries = (_Consumer * capacity)()
            for entry in entries:
                entry.size = ctypes.sizeof(_Consumer)
            count = ctypes.c_int32(0)
            _check(_lib.amberline_sender_consumers(handle, entries, capacity, ctypes.byref(count), None))
            if count.value <= capacity:
                return [Consumer(e.name.decode("utf-8", "replace"), e.width, e.height, e.idle_ms)
                        for e in entries[:count.value]]
            capacity = count.value

    def consumers_generation(self):
        generation = ctypes.c_uint64(0)
        count = ctypes.c_int32(0)
        _check(_lib.amberline_sender_consumers(self._live(), None, 0, ctypes.byref(count), ctypes.byref(generation)))
        return generation.value

    def wait_consumers(self, generation, timeout):
        """Waits up to `timeout` seconds for the consumer list to differ from `generation`;
        True when it changed, False when the time ran out."""
        result = _lib.amberline_sender_wait_consumers(self._live(), generation, int(timeout * 1000))
        if result == _TIMEOUT:
            return False
        _check(result)
        return True

    def close(self):
        """Leaves the channel: the cameras show their placeholder. Safe to call twice."""
        handle, self._handle = self._handle, None
        if handle is not None:
            _lib.amberline_sender_destroy(handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:  # the interpreter may be shutting down
            pass


Camera = Sender

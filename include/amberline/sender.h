/* amberline/sender.h: feed the Amberline camera from any application.
 *
 * A sender puts frames into a camera channel; every Amberline camera on the machine
 * (DirectShow, Media Foundation and PipeWire applications alike) shows the newest one,
 * scaled and letterboxed to the size each application asked for. Nothing is queued: the
 * latest frame wins. With no camera installed or nobody watching, sending still works.
 *
 *   amberline_sender_options options;
 *   amberline_sender_options_init(&options);
 *   options.width = 1280; options.height = 720; options.format = AMBERLINE_FORMAT_RGB24;
 *   amberline_sender* sender = NULL;
 *   if (amberline_sender_create(&options, &sender) != AMBERLINE_OK)
 *     fprintf(stderr, "%s\n", amberline_last_error());
 *   for (;;) {
 *     amberline_sender_send(sender, pixels, 1280 * 3);
 *     amberline_sender_wait_next_frame(sender);
 *   }
 *   amberline_sender_destroy(sender);
 *
 * ABI: a plain C interface, stable across releases. Every struct starts with its own
 * size (set by the matching _init function or by the caller as sizeof), so that later
 * versions can add fields at the end; fields have fixed widths and the same offsets on
 * 32- and 64-bit targets. Strings are UTF-8. On Windows every function is __cdecl.
 *
 * Results: every function that can fail returns an amberline_result (AMBERLINE_OK = 0,
 * failures negative). After a failure amberline_last_error() gives a sentence for the
 * user about it, for the calling thread.
 *
 * Threads: a sender may be used from any thread, and from several at once (calls on one
 * sender are serialised; amberline_sender_interrupt never waits for them). The channel
 * is held by a thread the library owns, so create and destroy may run on different
 * threads (a Python finaliser, for one).
 */
#ifndef AMBERLINE_SENDER_H
#define AMBERLINE_SENDER_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define AMBERLINE_CALL __cdecl
#if defined(AMBERLINE_SENDER_BUILD)
#define AMBERLINE_API __declspec(dllexport)
#else
#define AMBERLINE_API __declspec(dllimport)
#endif
#else
#define AMBERLINE_CALL
#if defined(AMBERLINE_SENDER_BUILD)
#define AMBERLINE_API __attribute__((visibility("default")))
#else
#define AMBERLINE_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this interface; amberline_sender_version() gives the library's. */
#define AMBERLINE_SENDER_VERSION 1

typedef int32_t amberline_result;
#define AMBERLINE_OK 0
/* A frame was not stored because every camera slot was held by a reader: counted in the
 * statistics as dropped, not an error. The next frame is stored as usual. */
#define AMBERLINE_FRAME_DROPPED 1
/* amberline_sender_poll_next_frame: the next frame is not due yet. */
#define AMBERLINE_NOT_YET 2
#define AMBERLINE_ERROR_INVALID_ARGUMENT (-1) /* a NULL, a size, a stride, a format */
#define AMBERLINE_ERROR_BUSY (-2)             /* another sender delivers on the channel */
#define AMBERLINE_ERROR_TOO_LARGE (-3)        /* the frame does not fit the channel */
#define AMBERLINE_ERROR_CHANNEL (-4)          /* the channel could not be opened or written */
#define AMBERLINE_ERROR_INTERRUPTED (-5)      /* amberline_sender_interrupt ended a wait */
#define AMBERLINE_ERROR_TIMEOUT (-6)          /* a wait ended at its time limit */

/* Pixel formats, named by the order of the bytes in memory. */
#define AMBERLINE_FORMAT_BGR24 1  /* B, G, R */
#define AMBERLINE_FORMAT_RGB24 2  /* R, G, B */
#define AMBERLINE_FORMAT_BGRA32 3 /* B, G, R, A (alpha ignored) */
#define AMBERLINE_FORMAT_RGBA32 4 /* R, G, B, A (alpha ignored) */
#define AMBERLINE_FORMAT_GRAY8 5  /* one byte of luminance, full range */
#define AMBERLINE_FORMAT_I420 6   /* Y plane, U plane, V plane at half width and height */
#define AMBERLINE_FORMAT_NV12 7   /* Y plane, interleaved U/V plane at half width and height */
#define AMBERLINE_FORMAT_YUY2 8   /* Y0 U Y1 V, one plane at half horizontal chroma */

/* Y'CbCr input (I420, NV12, YUY2): the matrix and range. */
#define AMBERLINE_COLOR_BT601_LIMITED 0 /* default: standard-definition video */
#define AMBERLINE_COLOR_BT601_FULL 1    /* JPEG */
#define AMBERLINE_COLOR_BT709_LIMITED 2 /* high-definition video */
#define AMBERLINE_COLOR_BT709_FULL 3

/* Option flags. */
#define AMBERLINE_FLAG_MIRROR 0x1u       /* left and right swapped */
#define AMBERLINE_FLAG_FLIP 0x2u         /* top and bottom swapped */
#define AMBERLINE_FLAG_SHOW_LOGO 0x4u    /* the cameras blend their logo over the frames */
#define AMBERLINE_FLAG_WAIT_FOR_CHANNEL 0x8u /* wait (up to wait_ms) for another sender to leave */
#define AMBERLINE_FLAG_ALLOW_SECOND 0x10u    /* deliver beside another sender anyway */

/* What a sender announces and how it converts. Set with amberline_sender_options_init,
 * then change what differs. */
typedef struct amberline_sender_options {
  uint32_t size;    /* sizeof(amberline_sender_options) */
  int32_t width;    /* frame size announced to the cameras; frames may differ (default 640) */
  int32_t height;   /* (default 480) */
  int32_t fps_num;  /* frame rate fps_num / fps_den for the pacing (default 30 / 1) */
  int32_t fps_den;
  uint32_t format;  /* AMBERLINE_FORMAT_*, the format amberline_sender_send takes (BGR24) */
  uint32_t color;   /* AMBERLINE_COLOR_* for Y'CbCr formats */
  uint32_t flags;   /* AMBERLINE_FLAG_* */
  int32_t wait_ms;  /* with AMBERLINE_FLAG_WAIT_FOR_CHANNEL: the longest wait, 0..600000 */
  uint32_t reserved;
  /* The channel (camera feed) to deliver on: NULL or "" for the default camera's, else the
   * name of a camera's channel (its "Channel" in the camera list, amberline-regsvr --list):
   * 1 to 32 ASCII letters, digits, '-' and '_'. $AMBERLINE_CHANNEL_NAMESPACE, when set,
   * is put in front of every object name (tests). */
  union {
    const char* channel;
    uint64_t channel_storage_;
  };
} amberline_sender_options;

/* One plane of a frame: its first byte (of the picture's top row) and the bytes from one
 * row to the next (negative: the rows go upwards in memory, a bottom-up picture). */
typedef struct amberline_plane {
  union {
    const void* data;
    uint64_t data_storage_;
  };
  int32_t stride;
  int32_t reserved;
} amberline_plane;

/* A frame of any size and format (amberline_sender_send_frame). Planes: 1 for packed
 * formats and GRAY8, 3 for I420 (Y, U, V), 2 for NV12 (Y, UV). */
typedef struct amberline_frame {
  uint32_t size;   /* sizeof(amberline_frame) */
  uint32_t format; /* AMBERLINE_FORMAT_* */
  int32_t width;
  int32_t height;
  amberline_plane planes[4];
} amberline_frame;

typedef struct amberline_sender_stats {
  uint32_t size;             /* sizeof(amberline_sender_stats), set by the caller */
  uint32_t beside_another;   /* 1: another sender delivered at create (AMBERLINE_FLAG_ALLOW_SECOND) */
  uint64_t frames_sent;      /* stored in the channel */
  uint64_t frames_dropped;   /* not stored: a camera held the slot */
  uint64_t deadlines_skipped; /* frame deadlines passed over after a stall */
  double current_fps;        /* frames stored per second over the last two seconds */
} amberline_sender_stats;

/* An application watching the camera. */
typedef struct amberline_consumer {
  uint32_t size;     /* sizeof(amberline_consumer), set by the caller in every entry */
  int32_t width;     /* the frame size it negotiated */
  int32_t height;
  uint32_t idle_ms;  /* since it last took a frame */
  char name[192];    /* UTF-8, NUL-terminated: the program and a stream identifier */
} amberline_consumer;

#if defined(__cplusplus)
#define AMBERLINE_STATIC_ASSERT(condition, message) static_assert(condition, message)
#else
#define AMBERLINE_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#endif
AMBERLINE_STATIC_ASSERT(sizeof(amberline_sender_options) == 48, "options layout");
AMBERLINE_STATIC_ASSERT(offsetof(amberline_sender_options, channel_storage_) == 40, "options layout");
AMBERLINE_STATIC_ASSERT(sizeof(amberline_plane) == 16, "plane layout");
AMBERLINE_STATIC_ASSERT(sizeof(amberline_frame) == 80, "frame layout");
AMBERLINE_STATIC_ASSERT(offsetof(amberline_frame, planes) == 16, "frame layout");
AMBERLINE_STATIC_ASSERT(sizeof(amberline_sender_stats) == 40, "stats layout");
AMBERLINE_STATIC_ASSERT(offsetof(amberline_sender_stats, current_fps) == 32, "stats layout");
AMBERLINE_STATIC_ASSERT(sizeof(amberline_consumer) == 208, "consumer layout");

typedef struct amberline_sender amberline_sender;

/* The library's interface version (AMBERLINE_SENDER_VERSION it was built with). */
AMBERLINE_API int32_t AMBERLINE_CALL amberline_sender_version(void);

/* The sentence about the last failure of a call on this thread ("" when none). Valid until
 * the thread's next call into the library. */
AMBERLINE_API const char* AMBERLINE_CALL amberline_last_error(void);

/* Fills *options with the defaults: 640x480, 30/1 frames a second, BGR24, BT.601 limited,
 * no flags, the channel from the environment. */
AMBERLINE_API void AMBERLINE_CALL amberline_sender_options_init(amberline_sender_options* options);

/* Opens the channel and becomes its sender. Fails with AMBERLINE_ERROR_BUSY (naming the
 * other sender's frame size and the channel) while another sender delivers, unless
 * AMBERLINE_FLAG_ALLOW_SECOND, or AMBERLINE_FLAG_WAIT_FOR_CHANNEL and it leaves within
 * wait_ms; with AMBERLINE_ERROR_TOO_LARGE (giving the largest size of that shape that
 * fits) for a width x height that does not fit; with AMBERLINE_ERROR_INVALID_ARGUMENT for
 * sizes below 1, rates outside 1/3600..1000 frames a second, an unknown format, colour or
 * flag, or a bad channel name. *sender is NULL after a failure. */
AMBERLINE_API amberline_result AMBERLINE_CALL amberline_sender_create(const amberline_sender_options* options,
                                                                     amberline_sender** sender);

/* Leaves the channel: every camera shows its placeholder within a frame or two. Waits
 * for calls running on the sender on other threads to return (a wait is interrupted).
 * NULL is ignored. The sender must not be used afterwards. */
AMBERLINE_API void AMBERLINE_CALL amberline_sender_destroy(amberline_sender* sender);

/* Sends one frame of the options' size and format: `pixels` is the top row's first byte,
 * `stride` the bytes from a row to the next (negative: bottom-up in memory). Planar
 * formats take their planes one after another, each with its own rows of |stride| bytes
 * (chroma rows of I420 at |stride| / 2). AMBERLINE_OK when stored,
 * AMBERLINE_FRAME_DROPPED when a camera held the slot, else a failure. */
AMBERLINE_API amberline_result AMBERLINE_CALL amberline_sender_send(amberline_sender* sender, const void* pixels,
                                                                   int32_t stride);

/* Sends a frame of any size and format. A size other than the last one announces the
 * new size to the cameras (they letterbox it). Odd widths or heights of I420, NV12 and
 * YUY2 are refused with words, so is a frame that does not fit the channel. */
AMBERLINE_API amberline_result AMBERLINE_CALL amberline_sender_send_frame(amberline_sender* sender,
                                                                         const amberline_frame* frame);

/* Sleeps until the next frame is due: frame n at anchor + n x fps_den / fps_num seconds
 * on the monotonic clock, so the rate never drifts. A call at most one frame late
 * returns at once and the next one catches up; later than that, the deadlines start
 * again from now (the skipped ones are counted). AMBERLINE_ERROR_INTERRUPTED when
 * amberline_sender_interrupt ended the wait. */
AMBERLINE_API amberline_result AMBERLINE_CALL amberline_sender_wait_next_frame(amberline_sender* sender);

/* The non-blocking form: AMBERLINE_OK (and the frame counts as begun) when the next frame
 * is due, else AMBERLINE_NOT_YET with the nanoseconds still to wait in *wait_ns (may be
 * NULL). */
AMBERLINE_API amberline_result AMBERLINE_CALL amberline_sender_poll_next_frame(amberline_sender* sender,
                                                                              int64_t* wait_ns);

/* Ends the current (or the next) wait of amberline_sender_wait_next_frame or
 * amberline_sender_wait_consumers on any thread with AMBERLINE_ERROR_INTERRUPTED. */
AMBERLINE_API void AMBERLINE_CALL amberline_sender_interrupt(amberline_sender* sender);

AMBERLINE_API amberline_result AMBERLINE_CALL amberline_sender_get_stats(amberline_sender* sender,
                                                                        amberline_sender_stats* stats);

/* The applications watching now: up to `capacity` entries into `consumers` (each entry's
 * size set by the caller), their number in *count (may exceed capacity), and the list's
 * generation in *generation (may be NULL), which changes whenever the list does. */
AMBERLINE_API amberline_result AMBERLINE_CALL amberline_sender_consumers(amberline_sender* sender,
                                                                        amberline_consumer* consumers,
                                                                        int32_t capacity, int32_t* count,
                                                                        uint64_t* generation);

/* Waits until the list's generation differs from `generation` (AMBERLINE_OK), for at most
 * timeout_ms (AMBERLINE_ERROR_TIMEOUT), or until interrupted. */
AMBERLINE_API amberline_result AMBERLINE_CALL amberline_sender_wait_consumers(amberline_sender* sender,
                                                                             uint64_t generation,
                                                                             int32_t timeout_ms);

/* A test seam for the pacing: the clock (monotonic nanoseconds) and the sleep the
 * sender uses, both called with `context`; NULL restores the system's. */
typedef int64_t(AMBERLINE_CALL* amberline_clock_fn)(void* context);
typedef void(AMBERLINE_CALL* amberline_sleep_fn)(void* context, int64_t nanoseconds);
AMBERLINE_API amberline_result AMBERLINE_CALL amberline_sender_set_clock(amberline_sender* sender,
                                                                        amberline_clock_fn clock,
                                                                        amberline_sleep_fn sleep, void* context);

#ifdef __cplusplus
}
#endif

#endif /* AMBERLINE_SENDER_H */

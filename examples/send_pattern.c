/* send_pattern.c: a moving gradient into the Amberline camera, until Ctrl+C (or N frames).
 *   cc send_pattern.c -I<stage>/include -L<stage>/lib -lamberline_sender -o send_pattern */
#include <amberline/sender.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

enum { W = 640, H = 360 };
static uint8_t rgb[H][W][3];

int main(int argc, char** argv) {
  long frames = argc > 1 ? atol(argv[1]) : -1;
  amberline_sender_options options;
  amberline_sender_options_init(&options);
  options.width = W;
  options.height = H;
  options.format = AMBERLINE_FORMAT_RGB24;
  amberline_sender* sender;
  if (amberline_sender_create(&options, &sender) != AMBERLINE_OK) {
    fprintf(stderr, "send_pattern: %s\n", amberline_last_error());
    return 1;
  }
  for (long n = 0; frames < 0 || n < frames; ++n) {
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        rgb[y][x][0] = (uint8_t)(x + n); /* red moves right, frame by frame */
        rgb[y][x][1] = (uint8_t)y;       /* green grows downwards */
        rgb[y][x][2] = 128;
      }
    if (amberline_sender_send(sender, rgb, W * 3) < 0) fprintf(stderr, "send_pattern: %s\n", amberline_last_error());
    amberline_sender_wait_next_frame(sender);
  }
  amberline_sender_destroy(sender);
  return 0;
}

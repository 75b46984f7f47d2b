#!/usr/bin/env python3
"""opencv_to_camera.py: OpenCV frames into the Amberline camera.

    python3 opencv_to_camera.py talk.mp4      # a video file (looped), at its own rate
    python3 opencv_to_camera.py               # a generated pattern at 30 fps

Needs OpenCV for Python (Debian: python3-opencv) and the amberline package (staged in
<stage>/python; add it to PYTHONPATH). Ctrl+C stops; the cameras show their placeholder.
"""
import sys

import cv2
import numpy

import amberline


def frames_from_file(path):
    video = cv2.VideoCapture(path)
    if not video.isOpened():
        sys.exit("opencv_to_camera: cannot open %s" % path)
    fps = video.get(cv2.CAP_PROP_FPS) or 30
    width, height = int(video.get(cv2.CAP_PROP_FRAME_WIDTH)), int(video.get(cv2.CAP_PROP_FRAME_HEIGHT))

    def frames():
        while True:
            ok, frame = video.read()
            if not ok:  # the end: start again
                video.set(cv2.CAP_PROP_POS_FRAMES, 0)
                continue
            yield frame

    return width, height, fps, frames()


def generated_pattern(width=1280, height=720):
    def frames():
        n = 0
        while True:
            frame = numpy.zeros((height, width, 3), numpy.uint8)
            frame[:, :, 0] = (numpy.arange(width) + 4 * n) % 256
            cv2.circle(frame, ((8 * n) % width, height // 2), 60, (255, 255, 255), -1)
            cv2.putText(frame, "Amberline %d" % n, (40, 80), cv2.FONT_HERSHEY_SIMPLEX, 2, (0, 255, 255), 3)
            n += 1
            yield frame

    return width, height, 30, frames()


def main():
    width, height, fps, frames = frames_from_file(sys.argv[1]) if len(sys.argv) > 1 else generated_pattern()
    # OpenCV's frames are BGR.
    with amberline.Sender(width, height, fps, fmt="BGR") as cam:
        print("Sending %dx%d at %.3g fps to %s; Ctrl+C stops" % (width, height, fps, cam.device))
        try:
            for frame in frames:
                cam.send(frame)
                cam.sleep_until_next_frame()
        except KeyboardInterrupt:
            pass
        print("Sent %d frames, %d dropped" % (cam.frames_sent, cam.frames_dropped))


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Seeks a RealMedia file with GStreamer and says where it landed.

    gst_seek.py FILE SECONDS

Prints "keyframe=<s> first=<s>": the index entry rmdemux started reading
from, and the time of the first frame the decoder gave out after the seek.
The GStreamer Python bindings are not installed here, so the library is
called through ctypes and the two times are taken from its debug log.
"""
import ctypes
import os
import re
import sys
import tempfile

NONE = ctypes.c_uint64(-1).value
PAUSED, PLAYING, NULL = 3, 4, 1
FORMAT_TIME = 3
FLUSH, KEY_UNIT = 1, 4
EOS, ERROR = 1 << 0, 1 << 1


def clock(text):
    h, m, s = text.split(":")
    return int(h) * 3600 + int(m) * 60 + float(s)


def main():
    path, target = sys.argv[1], float(sys.argv[2])
    log = tempfile.NamedTemporaryFile(suffix=".log", delete=False).name
    os.environ["GST_DEBUG"] = "rmdemux:5,videodecoder:5"
    os.environ["GST_DEBUG_FILE"] = log
    os.environ["GST_DEBUG_NO_COLOR"] = "1"

    gst = ctypes.CDLL("libgstreamer-1.0.so.0")
    gst.gst_init(None, None)
    gst.gst_parse_launch.restype = ctypes.c_void_p
    gst.gst_parse_launch.argtypes = [ctypes.c_char_p, ctypes.c_void_p]
    gst.gst_element_set_state.argtypes = [ctypes.c_void_p, ctypes.c_int]
    gst.gst_element_get_state.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint64]
    gst.gst_element_seek_simple.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int64]
    gst.gst_element_get_bus.restype = ctypes.c_void_p
    gst.gst_element_get_bus.argtypes = [ctypes.c_void_p]
    gst.gst_bus_timed_pop_filtered.restype = ctypes.c_void_p
    gst.gst_bus_timed_pop_filtered.argtypes = [ctypes.c_void_p, ctypes.c_uint64, ctypes.c_int]

    pipeline = gst.gst_parse_launch(
        ("filesrc location=\"%s\" ! rmdemux name=d d.video_0 ! queue ! decodebin ! fakesink sync=false" % path).encode(),
        None)
    gst.gst_element_set_state(pipeline, PAUSED)
    gst.gst_element_get_state(pipeline, None, None, NONE)
    if not gst.gst_element_seek_simple(pipeline, FORMAT_TIME, FLUSH | KEY_UNIT, int(target * 1e9)):
        print("seek refused")
        return 1
    gst.gst_element_get_state(pipeline, None, None, NONE)
    gst.gst_element_set_state(pipeline, PLAYING)
    gst.gst_bus_timed_pop_filtered(gst.gst_element_get_bus(pipeline), NONE, EOS | ERROR)
    gst.gst_element_set_state(pipeline, NULL)

    with open(log, errors="replace") as f:
        text = f.read()
    os.unlink(log)
    after = text[text.find("seek with event"):]
    keyframe = re.search(r"has the latest index at (\d+:\d+:[\d.]+)", after)
    first = re.search(r"pushing buffer .*? PTS (\d+:\d+:[\d.]+)", after)
    if not keyframe or not first:
        print("no seek in the log")
        return 1
    print("keyframe=%.3f first=%.3f" % (clock(keyframe.group(1)), clock(first.group(1))))
    return 0


if __name__ == "__main__":
    sys.exit(main())

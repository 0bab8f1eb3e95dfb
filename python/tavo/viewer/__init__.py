"""The trace viewer: a page that shows stored traces (timeline, call tree, values, search,
summary), served from the trace database by a local HTTP server or written as one file.

Never runs while a program is profiled.
"""

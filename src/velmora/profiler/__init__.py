"""Measuring where a program's time goes, and what the package's modules make of it.

- ``collector``: per-function calls, own and inclusive time (sys.monitoring on 3.12+,
  sys.setprofile before), aggregated with ``velmora.monitoring.tallyhub``;
- ``run``: running a script or module as ``__main__`` under the collector, its output, exit
  status and exceptions left as they are;
- ``report``: functions ranked by time, with the compile gate's verdict on their call counts and
  the static analysis of their source.
"""

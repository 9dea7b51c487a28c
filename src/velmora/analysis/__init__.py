"""Static analysis of Python source: which units of a code base would gain from vectorising,
parallelising or a GPU, and why.

- ``source``: reading files, code without prose, units, loops and imports from the syntax tree;
- ``keywords``: the scorer's keyword tables, for the evidence;
- ``scoring``: ``Analyzer``, the native scorer applied to units, with evidence;
- ``advice``: the suggested action, its estimated speed-up and the ranking gain;
- ``files``: finding the files of a tree (exclusions, duplicates, size limit);
- ``runner``: analysing many files in worker processes, results streamed in order.
"""

from velmora.analysis.scoring import DEFAULT_THRESHOLDS, FRAMEWORKS, PATTERNS, Analyzer
from velmora.analysis.source import FileSource, SourceError

__all__ = ["Analyzer", "DEFAULT_THRESHOLDS", "FRAMEWORKS", "PATTERNS", "FileSource", "SourceError"]

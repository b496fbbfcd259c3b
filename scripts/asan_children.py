"""pytest plugin of `scripts/sanitize --pytest`: the Python programs that the tests start run
without LeakSanitizer's check at exit, and may list the ASan runtime after other preloaded
libraries (tests that compose LD_PRELOAD themselves put the SocketCAN stand-in first).

Those programs end with daemon threads or foreign threads still running, on purpose. CPython
does not free what such threads hold when it ends them, and the check's own thread tracer
crashes on a thread that is still on its way out. The test process itself, which read its
options when it started, keeps its check.
"""

import os

os.environ["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0:verify_asan_link_order=0"

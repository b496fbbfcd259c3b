"""Tools for the people who wire and tune a Quillet torso.

* ``quillet-monitor`` runs the control loop with statistics and shows the ten joints, the loop's
  timing and its errors as they happen; ``--record FILE.csv`` keeps every position read it sees
  and the loop's timing samples (:mod:`quillet_tools.recording` describes the file).
* ``quillet-plot`` draws such a recording: the joints over time and the loop's period.

Both take ``--sim`` to run against a virtual torso instead of a robot. Their terminal view and
pictures need the package's ``tools`` extra (rich, matplotlib); the module itself needs neither.
The third tool, ``quillet-scan``, is a C++ command installed beside them.
"""

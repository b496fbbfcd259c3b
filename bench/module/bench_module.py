"""Python-level overhead of the module surface: one attribute read of a QuilletTorsoPosition and
one argument conversion of a 3-float sequence, against plain-Python baselines.

Run with the module installed: python bench/module/bench_module.py
"""

import timeit

import quillet_motor_controller as qmc


def per_call_ns(statement, setup_globals, number=200_000, repeat=7):
    timer = timeit.Timer(statement, globals=setup_globals)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def main():
    position = qmc.QuilletTorsoPosition([0.1, 0.2], [0.3, 0.4], [0.0, 0.0, 0.0], [0.0, 0.1, -0.1])

    class Plain:
        __slots__ = ("neck",)

    plain = Plain()
    plain.neck = [0.0, 0.1, -0.1]
    values = [0.0, 0.1, -0.1]
    convert = qmc._convert
    names = {"position": position, "plain": plain, "values": values, "convert": convert,
             "list": list}

    rows = [
        ("attribute read: position.neck (new 3-float list)", "position.neck"),
        ("attribute read: position.timestamp (float)", "position.timestamp"),
        ("baseline: slot attribute + list copy in Python", "list(plain.neck)"),
        ("call with no conversion: _convert('none', values)", "convert('none', values)"),
        ("call converting a 3-float list: _convert('f64x3', values)", "convert('f64x3', values)"),
        ("call converting a 3-float tuple", "convert('f64x3', (0.0, 0.1, -0.1))"),
        ("call converting a 3-float list, result dropped", "convert('f64x3_drop', values)"),
    ]
    results = {}
    for label, statement in rows:
        results[statement] = per_call_ns(statement, names)
        print(f"{label:<62} {results[statement]:8.1f} ns")
    baseline = results["convert('none', values)"]
    conversion = results["convert('f64x3_drop', values)"] - baseline
    round_trip = results["convert('f64x3', values)"] - baseline
    print(f"{'=> one conversion of a 3-float sequence':<62} {conversion:8.1f} ns")
    print(f"{'=> the same and its result back as a new list':<62} {round_trip:8.1f} ns")


if __name__ == "__main__":
    main()

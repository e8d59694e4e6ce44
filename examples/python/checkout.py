#!/usr/bin/env python3
"""Reads a feature of an experiment and records an outcome, both delivered to the
collector of `orvexp serve --events DB` before the program exits.

Usage: checkout.py SERVER_URL [DATA_DIR]
"""

import sys

import orvexperiment as orv


def main() -> int:
    server = sys.argv[1]
    orv.start("checkout-app", server, bucket_id="user-42",
              data_directory=sys.argv[2] if len(sys.argv) > 2 else None)
    orv.add_otlp_exporter(server)
    try:
        orv.wait_until_ready(10.0)
    except orv.OrvError as e:
        print(f"no feature table ({e}); answering defaults", file=sys.stderr)
    color = orv.get_string("color", "red")
    print(f"button color: {color}")
    orv.track("purchase", 12.5)
    orv.flush(30.0)
    return 0


if __name__ == "__main__":
    sys.exit(main())

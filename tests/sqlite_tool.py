#!/usr/bin/env python3
"""Another process at a data directory's database, for the hostile-environment tests.

usage: sqlite_tool.py lock DATABASE    takes the database exclusively (no other process
                                       can read or write it), prints "locked", holds it
                                       until killed (or 600 s)
       sqlite_tool.py count DATABASE   prints the number of exposure records in it
       sqlite_tool.py events DATABASE  prints the name of each event in the outbox, in order
       sqlite_tool.py version DATABASE [N]  prints the schema version (after setting it to N)
"""
import sqlite3
import sys
import time

mode, path = sys.argv[1], sys.argv[2]
if mode == "lock":
    connection = sqlite3.connect(path, isolation_level=None)
    connection.execute("PRAGMA locking_mode=EXCLUSIVE")
    connection.execute("BEGIN EXCLUSIVE")
    print("locked", flush=True)
    time.sleep(600)
elif mode == "count":
    print(sqlite3.connect(path).execute("SELECT count(*) FROM orv_defaults").fetchone()[0])
elif mode == "events":
    for (name,) in sqlite3.connect(path).execute("SELECT name FROM orv_outbox ORDER BY id"):
        print(name)
elif mode == "version":
    connection = sqlite3.connect(path, isolation_level=None)
    if len(sys.argv) > 3:
        connection.execute("PRAGMA user_version=%d" % int(sys.argv[3]))
    print(connection.execute("PRAGMA user_version").fetchone()[0])

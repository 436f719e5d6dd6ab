# SPDX-License-Identifier: GPL-3.0-or-later
"""What the installation test's modules share: failures collected as they are found, and
running a program with a clean environment."""

import os
import subprocess

failures = []


def fail(message):
    failures.append(message)
    print(f"FAIL: {message}", flush=True)


def note(message):
    print(message, flush=True)


def run(argv, env=None, timeout=20, input_text=None):
    return subprocess.run(argv, env=env, capture_output=True, text=True, timeout=timeout, input=input_text)


def clean_env(**extra):
    """The environment without any TAVIK_* variable, so defaults decide."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("TAVIK_")}
    env.update(extra)
    return env

"""Shared set-up of the hook and SITE end-to-end tests."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ftp_e2e import parse_args  # noqa: E402

ARGS = parse_args()


def lib(name):
    return os.path.join(ARGS.examples, "libvantor_%s.so" % name)


def drive_form(posix):
    """A POSIX path in the drive form of the default drive table (C: = /)."""
    return "C:" + posix.replace("/", "\\")

import signal
import sys

try:
    from .cli import main

    status = main()
except KeyboardInterrupt:  # before the command could take over (while importing, say)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    print("tarnel: interrupted", file=sys.stderr)
    status = 130
sys.exit(status)

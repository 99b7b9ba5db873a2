"""Settings every test in this directory runs with."""

import signal

# A shell that starts the suite as a background job starts it with SIGINT
# ignored, and every child inherits that through exec, so the tests that
# press Ctrl-C in a child would see it do nothing. With a handler of its
# own here, children start with the ordinary disposition instead.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

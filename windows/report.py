"""How the image and INF checks report: one "ok:" or "FAIL:" line per rule, then a verdict."""


class Check:
    def __init__(self):
        self.failures = 0

    def ok(self, text):
        print("ok:   " + text)

    def fail(self, text):
        print("FAIL: " + text)
        self.failures += 1

    def verdict(self, subject, what):
        """Prints the last line and returns the exit status."""
        if self.failures:
            print("%s: %d check(s) failed" % (subject, self.failures))
            return 1
        print("%s: %s checks passed" % (subject, what))
        return 0
